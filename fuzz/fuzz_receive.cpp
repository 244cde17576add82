// SPDX-License-Identifier: MIT
// Fuzz target: the communicator's receive path, fed chunk sequences through a device of
// the target's own, with listeners that take payloads, leave them, delete the
// communicator or detach its device from inside readyRead(uint).
//
// Input: one configuration byte, then records of [operation byte][length byte][bytes].
//   configuration: bit 0 a Nmea::ParserInit is attached; bit 1 the target drives
//     read(buffer) with its own buffer instead of the device's readyRead(); bits 2-7 (if
//     not 0) cap how many bytes one read call of the device yields.
//   operation: bits 0-1 what the readyRead(uint) listener does: leave the payload, take it
//     by id, take the oldest (id 0), take it by id as a session; bit 2 check and empty the
//     Rx buffer afterwards; bit 3 only queue the bytes; bit 4 delete the communicator in
//     the listener; bit 5 detach the device in the listener; bit 6 the device claims bytes
//     but yields none for this notification; bit 7 the length counts fours.
//
// Invariants (abort on violation): ids grow, each readyRead(uint) is followed by its
// readyRead(); the Rx buffer holds exactly the payloads of a model that keeps the six
// newest unread ones; every payload runs from '$' or '!' to its only CR LF, holds no NUL and
// no '$' after its start; the caller's buffer never exceeds 500 characters after read()
// and holds no complete payload afterwards; takePayload() cuts exactly the first payload.

#include <kvdevice/communicator.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/sessioninit.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QIODevice>
#include <QList>
#include <QLoggingCategory>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

using KvDevice::Communicator;

namespace {

[[noreturn]] void violated(const char *what, int line)
{
    std::fprintf(stderr, "invariant violated (line %d): %s\n", line, what);
    std::abort();
}

#define CHECK(condition)                                                                        \
    do {                                                                                         \
        if (!(condition))                                                                        \
            violated(#condition, __LINE__);                                                      \
    } while (false)

const QLatin1String lineEnd("\r\n");

bool isStartFlag(QChar c)
{
    return c == QLatin1Char('$') || c == QLatin1Char('!');
}

int firstStartFlag(const QString &text)
{
    const int dollar = int(text.indexOf(QLatin1Char('$')));
    const int bang = int(text.indexOf(QLatin1Char('!')));
    if (dollar < 0)
        return bang;
    return bang < 0 ? dollar : qMin(dollar, bang);
}

void checkPayload(const QString &payload)
{
    CHECK(payload.size() >= 3);
    CHECK(payload.size() <= 500);
    CHECK(isStartFlag(payload.at(0)));
    CHECK(payload.endsWith(lineEnd));
    CHECK(payload.indexOf(lineEnd) == payload.size() - 2);
    CHECK(payload.lastIndexOf(QLatin1Char('$')) <= 0);
    CHECK(!payload.contains(QChar(0)));
}

// A sequential device whose bytes the target queues; each read call yields at most one
// queued chunk, and at most `readLimit` bytes when that is set.
class FuzzDevice : public QIODevice
{
public:
    FuzzDevice() { open(QIODevice::ReadWrite | QIODevice::Unbuffered); }

    void queue(const QByteArray &bytes) { chunks.append(bytes); }
    void notify() { emit readyRead(); }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override
    {
        if (stuck)
            return 7;
        qint64 total = 0;
        for (const QByteArray &chunk : chunks)
            total += chunk.size();
        return total + QIODevice::bytesAvailable();
    }

    int readLimit = 0;
    bool stuck = false;

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (stuck)
            return 0;
        while (!chunks.isEmpty() && chunks.first().isEmpty())
            chunks.removeFirst();
        if (chunks.isEmpty())
            return 0;
        QByteArray &chunk = chunks.first();
        qint64 count = qMin<qint64>(maxSize, chunk.size());
        if (readLimit > 0)
            count = qMin<qint64>(count, readLimit);
        std::memcpy(data, chunk.constData(), size_t(count));
        chunk.remove(0, int(count));
        if (chunk.isEmpty())
            chunks.removeFirst();
        return count;
    }
    qint64 writeData(const char *, qint64 size) override { return size; }

private:
    QList<QByteArray> chunks;
};

enum Policy { Leave = 0, TakeById = 1, TakeOldest = 2, TakeAsSession = 3 };

class Harness
{
public:
    Harness(bool withParser, bool ownBuffer, int readLimit)
        : withParser(withParser)
        , ownBuffer(ownBuffer)
    {
        parser.init();
        device.readLimit = readLimit;
        makeCommunicator();
    }
    ~Harness()
    {
        delete comm;
    }

    void chunk(uint8_t operation, const QByteArray &bytes)
    {
        policy = Policy(operation & 3);
        deleteInListener = operation & 0x10;
        detachInListener = operation & 0x20;
        cutShort = false;

        checkTakePayload(QString::fromUtf8(bytes));
        device.queue(bytes);
        if (!(operation & 0x08)) {
            device.stuck = operation & 0x40;
            deliver();
            device.stuck = false;
        }
        if (!comm)
            makeCommunicator(); // deleted by the listener
        else if (!comm->ioDevice())
            comm->setIODevice(&device); // detached by the listener
        if (operation & 0x04)
            drain();
    }

    // Every payload the model holds is there, under its id, and nothing else is.
    void drain()
    {
        for (const uint id : held) {
            QString payload;
            CHECK(comm->readPayload(payload, id));
            checkPayload(payload);
        }
        held.clear();
        QString payload;
        CHECK(!comm->readPayload(payload, 0));
    }

private:
    void makeCommunicator()
    {
        comm = new Communicator;
        comm->setIODevice(&device);
        if (withParser)
            comm->setParser(&parser);
        held.clear();
        lastId = 0;
        pairPending = false;
        QObject::connect(comm, qOverload<uint>(&Communicator::readyRead), comm, [this](uint id) { stored(id); });
        QObject::connect(comm, qOverload<>(&Communicator::readyRead), comm, [this] {
            CHECK(pairPending);
            pairPending = false;
        });
    }

    void deliver()
    {
        if (!ownBuffer) {
            device.notify();
            return;
        }
        const bool hadBytes = device.bytesAvailable() > 0 && !device.stuck;
        Communicator *const reader = comm;
        reader->read(buffer);
        CHECK(buffer.size() <= 500);
        if (cutShort) {
            buffer.clear(); // read() left early on purpose; start clean
            return;
        }
        if (hadBytes) {
            // read() stores every complete payload before it returns.
            QString rest = buffer;
            CHECK(comm->takePayload(rest).isEmpty());
            CHECK(rest == buffer);
        }
    }

    void stored(uint id)
    {
        CHECK(!pairPending);
        CHECK(id > lastId);
        lastId = id;
        pairPending = true;
        if (held.size() > 5)
            held.erase(held.begin());
        held.insert(id);

        switch (policy) {
        case Leave:
            break;
        case TakeById: {
            QString payload;
            CHECK(comm->readPayload(payload, id));
            checkPayload(payload);
            held.erase(id);
            break;
        }
        case TakeOldest: {
            QString payload;
            CHECK(comm->readPayload(payload, 0));
            checkPayload(payload);
            const uint oldest = *held.begin();
            held.erase(held.begin());
            QString again;
            CHECK(!comm->readPayload(again, oldest)); // it was the oldest that went
            break;
        }
        case TakeAsSession: {
            KvDevice::SessionInit session;
            session.clear();
            CHECK(comm->readPayload(&session, id));
            CHECK(session.sentenceId == 0 || session.sentenceId == 1 || session.sentenceId == 3);
            CHECK(withParser || session.parameters.isEmpty());
            held.erase(id);
            break;
        }
        }

        if (deleteInListener) {
            deleteInListener = false;
            cutShort = true;
            delete comm;
            comm = nullptr;
        } else if (detachInListener) {
            detachInListener = false;
            cutShort = true;
            comm->setIODevice(nullptr);
        }
    }

    // takePayload() on a copy of the chunk's text: the text in front of the first start
    // flag, the payload up to its first CR LF, the rest; or nothing, and no change.
    void checkTakePayload(const QString &before)
    {
        QString rest = before;
        const QString payload = comm->takePayload(rest);
        const int start = firstStartFlag(before);
        if (payload.isEmpty()) {
            CHECK(rest == before);
            CHECK(start < 0 || before.indexOf(lineEnd, start) < 0);
            return;
        }
        CHECK(start >= 0);
        const int end = int(before.indexOf(lineEnd, start));
        CHECK(end >= 0);
        CHECK(payload == before.mid(start, end + 2 - start));
        CHECK(rest == before.mid(end + 2));
    }

    const bool withParser;
    const bool ownBuffer;
    FuzzDevice device;
    Nmea::ParserInit parser;
    Communicator *comm = nullptr;
    QString buffer;

    std::set<uint> held; // ids the Rx buffer must hold
    uint lastId = 0;
    bool pairPending = false;
    Policy policy = Leave;
    bool deleteInListener = false;
    bool detachInListener = false;
    bool cutShort = false;
};

void discardMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    // Every log line is formatted (the trace lines stream payloads) and then dropped.
    QLoggingCategory::setFilterRules(QStringLiteral("kvdevice*.debug=true"));
    qInstallMessageHandler(discardMessages);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t config = data[0];
    Harness harness(config & 1, config & 2, config >> 2);
    size_t at = 1;
    while (at < size) {
        const uint8_t operation = data[at++];
        size_t length = at < size ? data[at++] : 0;
        if (operation & 0x80)
            length *= 4;
        length = qMin(length, size - at);
        harness.chunk(operation, QByteArray(reinterpret_cast<const char *>(data + at), int(length)));
        at += length;
    }
    harness.drain();
    return 0;
}
