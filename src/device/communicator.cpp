// SPDX-License-Identifier: MIT
#include <kvdevice/communicator.h>
#include <kvdevice/exception.h>
#include <kvdevice/ipayloadparser.h>
#include <kvdevice/recordingtap.h>

#include "device/answerledger.h"
#include "logging/logger.h"
#include "transport/portdevice.h"

#include <QIODevice>
#include <QPointer>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>

namespace KvDevice {

namespace {
constexpr int readChunkSize = 100;
constexpr int inputBufferLimit = 500;
constexpr int inputBufferCut = 450;

// Ids wrap modulo 2^32 but never take the value 0, which means "nothing" or "oldest".
inline uint following(uint id)
{
    return id == ~0u ? 1u : id + 1u;
}
} // namespace

Communicator::Communicator(QObject *parent)
    : QObject(parent)
    , payloadStartFlags({QLatin1Char('$'), QLatin1Char('!')})
    , payloadTerminator(QStringLiteral("\r\n"))
    , rxBufferLimit(5)
    , device(nullptr)
    , parser(nullptr)
    , rxPayloadId(1)
    , txPayloadId(1)
{
}

Communicator::~Communicator()
{
    delete ledger; // pending requests end Cancelled, from the event loop
    ledger = nullptr;
    setIODevice(nullptr);
    rxBuffer.clear();
    txPending.clear();
}

bool Communicator::setIODevice(QIODevice *newDevice)
{
    if (device) {
        disconnect(device, SIGNAL(readyRead()), this, SLOT(ioReadyRead()));
        disconnect(device, SIGNAL(bytesWritten(qint64)), this, SLOT(ioBytesWritten(qint64)));
        disconnect(deviceGoneConnection);
        disconnect(deviceErrorConnection);
    }
    if (newDevice != device) {
        inputBuffer.clear(); // text left by one device is never joined to another's
        if (ledger)
            ledger->deviceChanged(newDevice);
    }
    device = newDevice;
    readFailedReported = false;
    if (!device)
        return true;

    connect(device, SIGNAL(readyRead()), this, SLOT(ioReadyRead()));
    connect(device, SIGNAL(bytesWritten(qint64)), this, SLOT(ioBytesWritten(qint64)));
    // A host may delete the port before the communicator; forget it then instead of
    // touching freed memory later.
    deviceGoneConnection = connect(device, &QObject::destroyed, this, [this] {
        device = nullptr;
        inputBuffer.clear();
        if (ledger)
            ledger->endRequests(Request::PortFailed, QStringLiteral("the port was deleted"), false);
    });
    deviceErrorConnection = watchFailure(device, this, [this](const QString &why, bool repeating) { deviceFailed(why, repeating); });
    return true;
}

bool Communicator::setParser(IPayloadParser *newParser)
{
    parser = newParser;
    return true;
}

void Communicator::deviceFailed(const QString &why, bool repeating)
{
    // A vanished serial port keeps reporting the error in a tight loop until it is closed:
    // report it once, and from the event loop, so listeners may close or delete the port.
    // A remote port fails once per connection.
    if (readFailedReported && repeating)
        return;
    readFailedReported = true;
    // A remote port closes itself right after this: its requests end now, announced from
    // the event loop before readFailed().
    if (ledger && !repeating)
        ledger->endRequests(Request::PortFailed, why, false);
    QIODevice *const failed = device;
    QMetaObject::invokeMethod(
        this,
        [this, failed, why] {
            if (device != failed)
                return;
            // Requests hear of it first, so that a host closing the port on readFailed()
            // finds them over.
            if (ledger) {
                const QPointer<Communicator> self(this);
                ledger->endRequests(Request::PortFailed, why, true);
                if (!self || device != failed)
                    return;
            }
            emit readFailed();
        },
        Qt::QueuedConnection);
}

uint Communicator::writePayload(const QString &payload)
{
    if (!device || payload.isEmpty())
        return 0;

    const QByteArray bytes = payload.toLatin1();
    const qint64 written = device->write(bytes.constData(), bytes.size());
    if (written > 0 && !taps.isEmpty())
        tapped(true, bytes.constData(), written);
    const uint id = txPayloadId;
    txPayloadId = following(txPayloadId);

    // A refused write has no bytes that a later notification could cover, so it is not
    // kept; a short one is kept until its bytes are covered, then retired silently.
    if (written > 0)
        txPending.insert(id, written);
    if (written != bytes.size()) {
        if (written > 0)
            txShort.insert(id);
        QMetaObject::invokeMethod(this, [this, id] { emit transferFailed(id); }, Qt::QueuedConnection);
    }

    KVLOG_CAT(Trace, "Communication").write() << "-> " << payload.trimmed();
    KVLOG_CAT(Trace, "RawCommunication").write() << "-> " << payload.trimmed();
    return id;
}

uint Communicator::writePayload(const SessionAbstract *session)
{
    if (!parser)
        return 0;
    try {
        QString text;
        parser->build(session, text);
        return writePayload(text);
    } catch (const Nmea::Exception &e) {
        KVLOG(Error).write() << "Build failed: " << e.message();
        return 0;
    }
}

void Communicator::ioBytesWritten(qint64 bytes)
{
    if (txPending.isEmpty() || bytes <= 0)
        return;

    // Retire every payload that the bytes reported so far cover, oldest first; a payload
    // covered only in part keeps what was counted toward it for the next notification.
    qint64 available = txCovered + bytes;
    QVarLengthArray<uint, 16> done;
    auto it = txPending.begin();
    while (it != txPending.end() && available >= it.value()) {
        available -= it.value();
        done.append(it.key());
        it = txPending.erase(it);
    }
    txCovered = txPending.isEmpty() ? 0 : available;

    QVarLengthArray<uint, 16> transferredIds;
    for (const uint id : done) {
        if (!txShort.remove(id))
            transferredIds.append(id);
    }
    const QPointer<Communicator> self(this);
    for (const uint id : transferredIds) {
        emit transferred(id);
        if (!self)
            return;
    }
}

void Communicator::ioReadyRead()
{
    KVLOG(Trace).write("IO Data Ready");
    read(inputBuffer);
}

void Communicator::read(QString &buffer)
{
    QIODevice *const source = device;
    if (!source || source->bytesAvailable() == 0)
        return;

    const QPointer<Communicator> self(this);
    char chunk[readChunkSize];
    for (;;) {
        const qint64 count = source->read(chunk, readChunkSize);
        if (count > 0 && !taps.isEmpty()) {
            tapped(false, chunk, count);
            if (!self || device != source)
                return;
        }
        if (count > 0) {
            readFailedReported = false;
            const void *nul = std::memchr(chunk, 0, size_t(count));
            const int length = nul ? int(static_cast<const char *>(nul) - chunk) : int(count);
            const QString text = QString::fromUtf8(chunk, length);
            buffer += text;
            if (buffer.size() > inputBufferLimit) {
                KVLOG(Warning).write() << "Payload input buffer too large - truncating ...";
                buffer.remove(0, inputBufferCut);
            }
            KVLOG_CAT(Trace, "RawCommunication").write() << " <- " << text.trimmed();
        }

        for (QString payload = takePayload(buffer); !payload.isEmpty(); payload = takePayload(buffer)) {
            // A sentence cut off before its line end is joined to the next one: keep the
            // text from the last '$' on.
            const int lastStart = payload.lastIndexOf(payloadStartFlags.first());
            if (lastStart > 0)
                payload.remove(0, lastStart);
            KVLOG_CAT(Trace, "Communication").write() << " <- " << payload.trimmed();
            // An answer owed to a query of the library's (a request, an identification pass) is
            // that query's alone.
            if (ledger && ledger->offer(payload)) {
                if (!self || device != source)
                    return;
                continue;
            }
            const uint id = store(payload);

            // Listeners may delete this communicator or detach its device.
            emit readyRead(id);
            if (!self)
                return;
            emit readyRead();
            if (!self || device != source)
                return;
        }

        // A device that reports bytes but yields none would keep this loop going.
        if (count <= 0 || source->bytesAvailable() == 0)
            return;
    }
}

void Communicator::tapped(bool toBoard, const char *data, qint64 size)
{
    const QByteArray bytes(data, int(size));
    const auto observers = taps; // a tap's listener may stop it following
    for (RecordingTap *tap : observers)
        tap->observe(this, toBoard ? RecordingTap::ToBoard : RecordingTap::FromBoard, bytes);
}

uint Communicator::store(const QString &payload)
{
    rxPayloadId = following(rxPayloadId);
    if (rxBuffer.size() > rxBufferLimit)
        rxBuffer.remove(lowestRxId());
    rxBuffer.insert(rxPayloadId, payload);
    return rxPayloadId;
}

void Communicator::announceStored()
{
    QList<uint> ids = rxBuffer.keys();
    std::sort(ids.begin(), ids.end());
    const QPointer<Communicator> self(this);
    for (const uint id : qAsConst(ids)) {
        if (!rxBuffer.contains(id)) // taken by a listener meanwhile
            continue;
        emit readyRead(id);
        if (!self)
            return;
        emit readyRead();
        if (!self)
            return;
    }
}

QString Communicator::takePayload(QString &buffer)
{
    int start = -1;
    for (const QChar flag : qAsConst(payloadStartFlags)) {
        const int at = buffer.indexOf(flag);
        if (at >= 0 && (start < 0 || at < start))
            start = at;
    }
    if (start < 0)
        return QString();
    const int end = buffer.indexOf(payloadTerminator, start);
    if (end < 0)
        return QString();
    const int stop = end + payloadTerminator.size();
    QString payload = buffer.mid(start, stop - start);
    buffer.remove(0, stop);
    return payload;
}

uint Communicator::lowestRxId() const
{
    uint lowest = ~0u;
    for (auto it = rxBuffer.cbegin(); it != rxBuffer.cend(); ++it)
        lowest = qMin(lowest, it.key());
    return lowest;
}

bool Communicator::readPayload(QString &payload, uint id)
{
    if (rxBuffer.isEmpty()) {
        KVLOG(Trace).write() << "Rx buffer is empty";
        return false;
    }
    const auto it = rxBuffer.find(id == 0 ? lowestRxId() : id);
    if (it == rxBuffer.end()) {
        KVLOG(Warning).write() << "Requested payload not found";
        return false;
    }
    payload = it.value();
    rxBuffer.erase(it);
    return true;
}

bool Communicator::readPayload(SessionAbstract *session, uint id)
{
    QString text;
    if (!readPayload(text, id))
        return false;
    if (!parser) {
        KVLOG(Error).write() << "No parser attached";
        return true;
    }
    try {
        parser->parse(session, text);
    } catch (const Nmea::Exception &e) {
        KVLOG(Error).write() << "Parse failed: " << e.message();
    }
    return true;
}

} // namespace KvDevice
