// SPDX-License-Identifier: MIT
#pragma once

// Helpers shared by every test suite, on every system: valid sentences, captured log
// lines, a scriptable I/O device. boardsupport.h adds boards on pseudo-terminals (Linux).

#include <QByteArrayList>
#include <QIODevice>
#include <QList>
#include <QStringList>

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

} // namespace TestSupport
