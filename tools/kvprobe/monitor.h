#pragma once

#include <kvdevice/communicator.h>

#include <QByteArray>
#include <QObject>
#include <QSerialPort>

class QSocketNotifier;

/// A terminal for the protocol: prints each sentence the port receives ("< ...") and
/// sends each line of standard input as a sentence ("> ...").
class Monitor : public QObject
{
    Q_OBJECT
public:
    static constexpr int drainMs = 300;

    explicit Monitor(const QString &portName, QObject *parent = nullptr);

    /// Opens the port; false, with the reason printed, when it cannot be opened.
    bool start();

signals:
    void finished(int exitCode);

private:
    void readInput();
    void sendLine(const QByteArray &line);
    void printReceived();
    void portLost();

    QString name;
    QSerialPort port;
    KvDevice::Communicator comm;
    QSocketNotifier *input = nullptr;
    QByteArray pending;
    bool done = false;
};
