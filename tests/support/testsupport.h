#pragma once

// Helpers shared by the test suites: valid sentences, captured log lines, a scriptable
// I/O device, pseudo-terminal pairs and fake boards on them.

#include <kvdevice/type.h>

#include <QByteArray>
#include <QIODevice>
#include <QPointer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

class QSocketNotifier;

namespace KvDevice {
class Communicator;
class Initializer;
}

// QSKIP with one argument trips clang's -Wpedantic in C++17 (the macro is variadic).
#define SKIP_TEST(reason)                                                                     \
    do {                                                                                       \
        QTest::qSkip(reason, __FILE__, __LINE__);                                              \
        return;                                                                                \
    } while (false)

namespace TestSupport {

// Answers of the fake boards.
inline const QString board28 = QStringLiteral("PKVVER,HW2-6100028,1,2,3");
inline const QString board27 = QStringLiteral("PKVVER,HW2-6100027,4,5,6");
inline const QString infoBoard = QStringLiteral("PTKVRD,INF,KV-INFO,DT,61,R2,1.4.0,HW3,APP");
// The log line that ends a run.
inline const QString endOfRun = QStringLiteral("Disconnect from signals");

/// "$" + body + "*" + checksum + CR LF: a valid sentence for `body`.
QString sentence(const QString &body);
QByteArray sentenceBytes(const QString &body);

/// CPU time this process has used, in milliseconds.
double processCpuMs();

/// Memory this process holds, in KiB: its resident set, or the heap in use under
/// AddressSanitizer or valgrind memcheck (both hold freed blocks back, tens or hundreds of
/// MB, which the resident set would count).
long memoryInUseKiB();

/// Captures every log line for its lifetime, with debug output of the library enabled.
class LogCapture
{
public:
    struct Line
    {
        QtMsgType type;
        QString category;
        QString message;
        QString function;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QList<Line> lines() const;
    /// The lines whose message starts with `prefix`.
    QList<Line> matching(const QString &prefix) const;
    int count(const QString &prefix) const { return matching(prefix).size(); }
    void clear();
};

/// A sequential device whose received bytes and write results the test decides.
class ScriptedDevice : public QIODevice
{
    Q_OBJECT
public:
    explicit ScriptedDevice(QObject *parent = nullptr);

    /// Makes `bytes` available and emits readyRead(); each read call returns at most
    /// what one deliver() call made available.
    void deliver(const QByteArray &bytes);
    /// What the next writes return: -1 refuses, a number >= 0 caps the count (-2: all).
    void setWriteResult(qint64 result) { writeResult = result; }
    /// Reports bytes as written from the event loop after each write (default), or not.
    void setAutoReport(bool on) { autoReport = on; }
    /// Claims bytes available while reads yield nothing.
    void setStuck(bool on) { stuck = on; }

    QByteArray written;
    int readCalls = 0;

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    QList<QByteArray> chunks;
    qint64 writeResult = -2;
    bool autoReport = true;
    bool stuck = false;
};

/// A Linux pseudo-terminal in raw mode: the test holds the master end, the code under
/// test opens `path()` like a serial port.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return masterFd >= 0; }
    QString path() const { return slavePath; }
    int master() const { return masterFd; }
    void write(const QByteArray &bytes);
    /// Reads what has arrived at the master end within `timeoutMs`.
    QByteArray readAvailable(int timeoutMs = 0);
    void closeMaster();

private:
    int masterFd = -1;
    int slaveFd = -1;
    QString slavePath;
};

/// A board in the test: answers every complete line it receives on its pty through
/// `responder` (the answers are written back at once).
class FakeBoard : public QObject
{
    Q_OBJECT
public:
    using Responder = std::function<QList<QByteArray>(const QByteArray &line, int index)>;

    explicit FakeBoard(Responder responder = {}, QObject *parent = nullptr);
    ~FakeBoard() override;

    QString path() const { return pty.path(); }
    void setResponder(Responder answer) { responder = std::move(answer); }
    void write(const QByteArray &bytes) { pty.write(bytes); }
    void close();

    /// Lines received so far, with their CR LF.
    QList<QByteArray> received;
    /// Milliseconds since the board was made at which each line arrived.
    QList<qint64> receivedAt;

    static Responder answering(const QString &versionBody, const QString &infoBody);

private:
    void onReadable();

    PtyPair pty;
    Responder responder;
    QSocketNotifier *notifier = nullptr;
    QByteArray pending;
    qint64 createdMs;
};

/// Whether no part of this process holds the port open (Qt locks what it opens).
bool portIsFree(const QString &path);

/// A communicator handed over by a run, with the name its port was opened by.
struct Handover
{
    KvDevice::Type type;
    QPointer<KvDevice::Communicator> comm;
    QString port;
};

/// Records what a run tells the host ("found N", "not found N", "finished" in `events`)
/// and deletes what it was handed, unless the test deleted it already.
class Host : public QObject
{
public:
    explicit Host(KvDevice::Initializer *initializer);
    ~Host() override;

    QList<Handover> found;
    QList<KvDevice::Type> notFound;
    QStringList events;
};

} // namespace TestSupport
