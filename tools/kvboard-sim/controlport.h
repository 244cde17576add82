// SPDX-License-Identifier: MIT
#pragma once

#include "simboard.h"

#include <QObject>

#include <map>
#include <memory>
#include <sys/types.h>

/// A port on which another program plays boards as it goes (kvboard-sim --control): a
/// silent board whose lines are commands, answered on the same port.
class ControlPort : public QObject
{
    Q_OBJECT
public:
    /// `link`: where the control port's pty is linked; boards are linked beside it.
    explicit ControlPort(const QString &link, QObject *parent = nullptr);

    /// Opens the port; false with `error` set when that fails.
    bool open(QString *error);

private:
    struct Played
    {
        std::unique_ptr<SimBoard> board;
        dev_t device = 0;
        int hold = -1; // the pty kept from being reused by another until the board is dropped
        ~Played();
    };

    void command(const QByteArray &line);
    QString freeLink();
    void reply(const QString &line);

    SimBoard port;
    QString link;
    int lastNumber = 0; // the last board's: a new board never gets an unplugged one's, as on Windows
    std::map<QString, Played> boards; // by link
};
