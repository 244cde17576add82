// SPDX-License-Identifier: MIT
#pragma once

#include "boardconfig.h"
#include "boardprotocol.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
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
    /// Plays the board on the master end of an existing pty instead; the descriptor stays
    /// the caller's.
    bool attach(int masterFd, QString *error);
    QString path() const { return slavePath; }
    /// Whether the board still plays (not closed).
    bool isOpen() const { return masterFd >= 0; }

    /// Sends bytes to the host as they are (paced when the board sends bytewise).
    void send(const QByteArray &bytes);
    /// Stops playing: closes what the board opened (the host's port then fails) and
    /// removes the link.
    void close();

signals:
    /// The host sent `line` (with its line end), whether the board answers it or not.
    void heard(const QByteArray &line);

private:
    bool start(QString *error);
    void onReadable();
    void handleLine(const QByteArray &line);
    /// `number`: the query it answers, as heard; `nth`: the how-manieth answer it is.
    QByteArray answerBytes(int sentenceId, QString *error, int number = 0, int nth = 0);
    void queueAnswer(const QByteArray &bytes, int delayMs);
    void sendDueAnswers();
    void sendNextByte();
    void writeOut(const QByteArray &bytes);

    BoardConfig config;
    BoardProtocol protocol;
    int masterFd = -1;
    bool ownsMaster = true;
    int slaveFd = -1; // held so the master never reads EIO while no host has the port open
    QString slavePath;
    bool linked = false;
    QSocketNotifier *notifier = nullptr;
    QTimer *byteTimer = nullptr;
    QTimer *chatterTimer = nullptr;
    QSocketNotifier *floodNotifier = nullptr;
    QByteArray received;
    QByteArray outgoing; // bytes still to send one by one
    int queriesSeen = 0;
    int answered = 0;
    int chattered = 0;
    struct Due
    {
        qint64 at; // on `clock`
        QByteArray bytes;
    };
    QList<Due> due;           // delayed answers, in the order asked
    QTimer *dueTimer = nullptr;
    QElapsedTimer clock;
};
