#include "monitor.h"

#include "common.h"

#include <kvdevice/initializer.h>

#include <QTimer>

Monitor::Monitor(const QString &portName, bool raiseModemLines, QObject *parent)
    : QObject(parent)
    , name(portName)
    , raiseLines(raiseModemLines)
{
}

Monitor::~Monitor()
{
    stopInput();
}

bool Monitor::start()
{
    port.setPortName(KvDevice::Initializer::resolvedPortName(name)); // locked as probing locks it
    KvDevice::PortReport report;
    report.port.name = name;
    if (!KvDevice::Initializer::openPort(&port, name, raiseLines, &report.outcome, &report.detail)) {
        Tool::printError(QStringLiteral("kvprobe: cannot open %1: %2%3").arg(name, report.detail, Tool::advice(report)));
        return false;
    }
    comm.setIODevice(&port);
    connect(&comm, qOverload<>(&KvDevice::Communicator::readyRead), this, &Monitor::printReceived);
    connect(&comm, &KvDevice::Communicator::readFailed, this, &Monitor::portLost);
    connect(&comm, &KvDevice::Communicator::transferFailed, this,
            [this] { Tool::printError(QStringLiteral("kvprobe: %1 did not take a whole sentence").arg(name)); });

    startInput();
    Tool::printError(QStringLiteral("kvprobe: monitoring %1 at 115200 baud; each line typed is sent as a sentence, "
                                    "end of input (%2) ends")
                         .arg(name, Tool::systemTexts().endOfInput));
    return true;
}

void Monitor::received(const QByteArray &chunk)
{
    pending.append(chunk);
    int end;
    while ((end = pending.indexOf('\n')) >= 0) {
        sendLine(pending.left(end));
        pending.remove(0, end + 1);
    }
}

void Monitor::inputEnded()
{
    // Send a last unterminated line, let answers arrive, then stop.
    if (!pending.isEmpty())
        sendLine(pending);
    pending.clear();
    QTimer::singleShot(drainMs, this, [this] {
        if (done)
            return;
        done = true;
        port.close();
        emit finished(0);
    });
}

void Monitor::sendLine(const QByteArray &line)
{
    if (done)
        return;
    const QString sentence = Tool::frameSentence(QString::fromLatin1(line));
    if (sentence.isEmpty())
        return;
    Tool::printLine(QStringLiteral("> ") + sentence.trimmed());
    comm.writePayload(sentence);
}

void Monitor::printReceived()
{
    QString payload;
    while (comm.readPayload(payload, 0)) {
        const QString sentence = payload.endsWith(QLatin1String("\r\n")) ? payload.chopped(2) : payload;
        Tool::printLine(QStringLiteral("< ") + Tool::escaped(sentence) + (Tool::checksumIsRight(payload) ? QString() : QStringLiteral("   (wrong checksum)")));
    }
}

void Monitor::portLost()
{
    if (done)
        return;
    done = true;
    port.close();
    Tool::printError(QStringLiteral("kvprobe: %1 is gone (board unplugged or its far end closed)").arg(name));
    emit finished(1);
}
