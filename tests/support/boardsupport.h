// SPDX-License-Identifier: MIT
#pragma once

// Boards played by kvboard-sim on pseudo-terminals and a host that records a run: the
// test support of the suites that need boards (on Windows, under wine: winboard.h).

#include "testsupport.h"

#include <kvdevice/portreport.h>
#include <kvdevice/type.h>

#include <QPointer>

#ifndef Q_OS_WIN
#include "simboard.h"

#include <sys/types.h>
#endif

namespace KvDevice {
class Communicator;
class Initializer;
}

namespace TestSupport {

#ifdef Q_OS_WIN
/// A board for the Windows build of the suites, which runs under wine: kvboard-sim plays it
/// on the Linux side as the test asks through its control port (KVTEST_BOARDS names that
/// COM port), on a pty that wine maps as a COM port of its own (winboard.cpp).
class Board : public QObject
{
    Q_OBJECT
public:
    explicit Board(const QString &options = QStringLiteral("silent"));
    ~Board() override;

    QString path() const { return port; }
    bool isOpen() const;
    /// 1 while a program (this test, under wine) holds the board's port open, else 0.
    int portsOpen() const;
    void send(const QByteArray &bytes);
    void close();
    /// Lets what every board heard so far reach `lines`.
    static void settle();

    QByteArrayList lines;

signals:
    void heard(const QByteArray &line);

private:
    QString link; // kvboard-sim's name of the board
    QString port;
};
#else
/// A board played by kvboard-sim on a pseudo-terminal of its own: the code under test
/// opens path() like a serial port. `options` is kvboard-sim's --board syntax.
class Board : public SimBoard
{
public:
    explicit Board(const QString &options = QStringLiteral("silent"));
    /// How many serial ports of this process have the board's port open.
    int portsOpen() const;
    /// Here, what a board hears is in `lines` at once.
    static void settle() {}

    /// The lines the host sent, with their line ends.
    QByteArrayList lines;

private:
    dev_t device = 0;
};
#endif

/// A communicator handed over by a run, with the name its port was opened by.
struct Handover
{
    QPointer<KvDevice::Communicator> comm;
    QString port;
};

/// Records what a run tells the host ("found TYPE PORT", "not found TYPE", "finished" in
/// `events`; "found TYPE@N" for the port at index N of `ports`; the reports with the
/// number of events before each) and deletes what it was handed, unless the test deleted
/// it already.
class Host : public QObject
{
public:
    explicit Host(KvDevice::Initializer *initializer, const QStringList &ports = {});
    ~Host() override;

    QList<Handover> found;
    QStringList events;
    QList<KvDevice::PortReport> reports;
    QList<int> reportedAt;
};

} // namespace TestSupport
