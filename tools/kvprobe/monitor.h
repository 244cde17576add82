// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/communicator.h>
#include <kvdevice/recordingtap.h>

#include <QByteArray>
#include <QObject>
#include <QIODevice>

/// A terminal for the protocol: prints each sentence the port receives ("< ...") and
/// sends each line of standard input as a sentence ("> ...").
class Monitor : public QObject
{
    Q_OBJECT
public:
    static constexpr int drainMs = 300;

    /// Talks on `portName`, DTR and RTS raised after opening it when asked; `tap` (may be
    /// null) records the conversation.
    Monitor(const QString &portName, bool raiseModemLines, KvDevice::RecordingTap *tap = nullptr, QObject *parent = nullptr);

    /// Stops delivering standard input.
    ~Monitor() override;

    /// Opens the port; false, with the reason printed, when it cannot be opened. A remote
    /// port that does not connect ends with finished(1), the reason printed.
    bool start();

signals:
    void finished(int exitCode);

private:
    /// Starts delivering standard input to received() and inputEnded(), per system
    /// (monitor_unix.cpp, monitor_win.cpp).
    void startInput();
    void ready();
    /// Nothing of standard input reaches the monitor any more.
    void stopInput();
    void received(const QByteArray &chunk);
    void inputEnded();
    void sendLine(const QByteArray &line);
    void printReceived();
    void portLost();

    QString name;
    KvDevice::RecordingTap *tap;
    bool raiseLines;
    QIODevice *port = nullptr;
    KvDevice::Communicator comm;
    QByteArray pending;
    bool done = false;
};
