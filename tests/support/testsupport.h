#pragma once

// Helpers shared by the test suites: valid sentences, captured log lines, a scriptable
// I/O device, boards played by kvboard-sim on pseudo-terminals, and a recording host.

#include "simboard.h"

#include <kvdevice/portreport.h>
#include <kvdevice/type.h>

#include <QByteArrayList>
#include <QIODevice>
#include <QList>
#include <QPointer>
#include <QStringList>

#include <sys/types.h>

namespace KvDevice {
class Communicator;
class Initializer;
}

namespace TestSupport {

// The log line that ends a run.
inline const QString endOfRun = QStringLiteral("Disconnect from signals");

/// "$" + body + "*" + checksum + CR LF: a valid sentence for `body`.
QString sentence(const QString &body);
inline QByteArray sentenceBytes(const QString &body) { return sentence(body).toLatin1(); }

/// Captures every log line for its lifetime, under `rules` (QLoggingCategory's filter rules).
class LogCapture
{
public:
    struct Line { QtMsgType type; QString category; QString message; };

    explicit LogCapture(const QString &rules = QStringLiteral("kvdevice*.debug=true"));
    ~LogCapture();

    /// The lines whose message starts with `prefix`.
    QList<Line> matching(const QString &prefix = QString()) const;
    int count(const QString &prefix) const { return matching(prefix).size(); }
    QStringList messages() const;

    QList<Line> lines;
};

/// A sequential device whose received bytes and write results the test decides.
class ScriptedDevice : public QIODevice
{
    Q_OBJECT
public:
    ScriptedDevice() { open(QIODevice::ReadWrite | QIODevice::Unbuffered); }

    /// Makes `bytes` available and emits readyRead(); each read call returns at most
    /// what one deliver() call made available.
    void deliver(const QByteArray &bytes);

    QByteArray written;
    int readCalls = 0;
    qint64 writeResult = -2; // what writes return: -1 refuses, >= 0 caps the count, -2 all
    bool autoReport = true;  // report written bytes from the event loop after each write
    bool stuck = false;      // claim bytes available while reads yield nothing

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    QByteArrayList chunks;
};

/// A board played by kvboard-sim on a pseudo-terminal of its own: the code under test
/// opens path() like a serial port. `options` is kvboard-sim's --board syntax.
class Board : public SimBoard
{
public:
    explicit Board(const QString &options = QStringLiteral("silent"));
    /// How many serial ports of this process have the board's port open.
    int portsOpen() const;

    /// The lines the host sent, with their line ends.
    QByteArrayList lines;

private:
    dev_t device = 0;
};

/// A communicator handed over by a run, with the name its port was opened by.
struct Handover
{
    QPointer<KvDevice::Communicator> comm;
    QString port;
};

/// Records what a run tells the host ("found TYPE PORT", "not found TYPE", "finished" in
/// `events`; "found TYPE@N" for the port at index N of `ports`; the reports with the
/// number of events before each) and deletes what it was handed, unless the test deleted
/// it already.
class Host : public QObject
{
public:
    explicit Host(KvDevice::Initializer *initializer, const QStringList &ports = {});
    ~Host() override;

    QList<Handover> found;
    QStringList events;
    QList<KvDevice::PortReport> reports;
    QList<int> reportedAt;
};

} // namespace TestSupport
