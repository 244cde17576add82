#include "monitor.h"

#include "common.h"

#include <kvdevice/initializer.h>

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <unistd.h>

Monitor::Monitor(const QString &portName, QObject *parent)
    : QObject(parent)
    , name(portName)
{
}

bool Monitor::start()
{
    port.setPortName(KvDevice::Initializer::resolvedPortName(name)); // locked as probing locks it
    if (!port.open(QIODevice::ReadWrite)) {
        KvDevice::PortReport report;
        report.port.name = name;
        report.outcome = KvDevice::Initializer::openFailure(port, &report.detail);
        Tool::printError(QStringLiteral("kvprobe: cannot open %1: %2%3").arg(name, report.detail, Tool::advice(report)));
        return false;
    }
    port.setBaudRate(115200);
    port.setObjectName(name);
    comm.setIODevice(&port);
    connect(&comm, qOverload<>(&KvDevice::Communicator::readyRead), this, &Monitor::printReceived);
    connect(&comm, &KvDevice::Communicator::readFailed, this, &Monitor::portLost);
    connect(&comm, &KvDevice::Communicator::transferFailed, this,
            [this] { Tool::printError(QStringLiteral("kvprobe: %1 did not take a whole sentence").arg(name)); });

    input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(input, &QSocketNotifier::activated, this, &Monitor::readInput);
    Tool::printError(QStringLiteral("kvprobe: monitoring %1 at 115200 baud; each line typed is sent as a sentence, "
                                    "end of input (Ctrl-D) ends")
                         .arg(name));
    return true;
}

void Monitor::readInput()
{
    char chunk[512];
    const ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count > 0) {
        pending.append(chunk, int(count));
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            sendLine(pending.left(end));
            pending.remove(0, end + 1);
        }
        return;
    }
    // End of input: send a last unterminated line, let answers arrive, then stop.
    input->setEnabled(false);
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
    while (comm.readPayload(payload, 0))
        Tool::printLine(QStringLiteral("< ") + payload.trimmed() + (Tool::checksumIsRight(payload) ? QString() : QStringLiteral("   (wrong checksum)")));
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
