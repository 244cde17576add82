// SPDX-License-Identifier: MIT
#include "monitor.h"

#include "common.h"

#include <kvdevice/initializer.h>

#include <QTimer>

Monitor::Monitor(const QString &portName, bool raiseModemLines, KvDevice::RecordingTap *recordingTap, QObject *parent)
    : QObject(parent)
    , name(portName)
    , tap(recordingTap)
    , raiseLines(raiseModemLines)
{
}

Monitor::~Monitor()
{
    stopInput();
    comm.setIODevice(nullptr);
    delete port;
}

bool Monitor::start()
{
    KvDevice::PortReport report;
    const auto failed = [this](const KvDevice::PortReport &why) {
        done = true;
        Tool::printError(QStringLiteral("kvprobe: cannot open %1: %2%3").arg(name, why.detail, Tool::advice(why)));
        emit finished(1);
    };
    port = Tool::openPort(name, this, [this] { ready(); }, failed, &report, raiseLines);
    if (!port) {
        failed(report);
        return false;
    }
    comm.setIODevice(port);
    if (tap)
        tap->follow(&comm, KvDevice::PortInfo::forName(name));
    connect(&comm, qOverload<>(&KvDevice::Communicator::readyRead), this, &Monitor::printReceived);
    connect(&comm, &KvDevice::Communicator::readFailed, this, &Monitor::portLost);
    connect(&comm, &KvDevice::Communicator::transferFailed, this,
            [this] { Tool::printError(QStringLiteral("kvprobe: %1 did not take a whole sentence").arg(name)); });
    return true;
}

void Monitor::ready()
{
    startInput();
    Tool::printError(QStringLiteral("kvprobe: monitoring %1 at 115200 baud; each line typed is sent as a sentence, "
                                    "end of input (%2) ends")
                         .arg(name, Tool::systemTexts().endOfInput));
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
        port->close();
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
    port->close();
    Tool::printError(QStringLiteral("kvprobe: %1 is gone (board unplugged or its far end closed)").arg(name));
    emit finished(1);
}
