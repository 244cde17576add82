#pragma once

#include <kvdevice/communicator.h>

#include <QByteArray>
#include <QObject>
#include <QSerialPort>

/// A terminal for the protocol: prints each sentence the port receives ("< ...") and
/// sends each line of standard input as a sentence ("> ...").
class Monitor : public QObject
{
    Q_OBJECT
public:
    static constexpr int drainMs = 300;

    /// `raiseModemLines`: DTR and RTS after opening the port.
    Monitor(const QString &portName, bool raiseModemLines, QObject *parent = nullptr);

    /// Stops delivering standard input.
    ~Monitor() override;

    /// Opens the port; false, with the reason printed, when it cannot be opened.
    bool start();

signals:
    void finished(int exitCode);

private:
    /// Starts delivering standard input to received() and inputEnded(), per system
    /// (monitor_unix.cpp, monitor_win.cpp).
    void startInput();
    /// Nothing of standard input reaches the monitor any more.
    void stopInput();
    void received(const QByteArray &chunk);
    void inputEnded();
    void sendLine(const QByteArray &line);
    void printReceived();
    void portLost();

    QString name;
    bool raiseLines;
    QSerialPort port;
    KvDevice::Communicator comm;
    QByteArray pending;
    bool done = false;
};
