#pragma once

#include "boardconfig.h"
#include "boardprotocol.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;

/// One simulated board on a pseudo-terminal: the host opens path() like a serial port,
/// the board answers the init protocol through its master end, with the faults that its
/// configuration asks for.
class SimBoard : public QObject
{
    Q_OBJECT
public:
    explicit SimBoard(const BoardConfig &config, QObject *parent = nullptr);
    /// Closes the pty and removes the link.
    ~SimBoard() override;

    /// Opens the pty (and the link); false with `error` set when that fails.
    bool open(QString *error);
    QString path() const { return slavePath; }

private:
    void onReadable();
    void handleLine(const QByteArray &line);
    void answer(const KvDevice::SessionInit &query);
    QByteArray answerBytes(int sentenceId, QString *error);
    void send(const QByteArray &bytes);
    void sendNextByte();
    void writeOut(const QByteArray &bytes);
    void close();

    BoardConfig config;
    BoardProtocol protocol;
    int masterFd = -1;
    int slaveFd = -1; // held so the master never reads EIO while no host has the port open
    QString slavePath;
    bool linked = false;
    QSocketNotifier *notifier = nullptr;
    QTimer *byteTimer = nullptr;
    QByteArray received;
    QByteArray outgoing; // bytes still to send one by one
    int queriesSeen = 0;
    int answered = 0;
};
