#pragma once

// Boards played by kvboard-sim on pseudo-terminals and a host that records a run: the
// test support of the suites that need boards (on Windows, under wine: winboard.h).

#include "testsupport.h"

#include <kvdevice/portreport.h>
#include <kvdevice/type.h>

#include <QPointer>

#ifdef Q_OS_WIN
#include "winboard.h"
#else
#include "simboard.h"

#include <sys/types.h>
#endif

namespace KvDevice {
class Communicator;
class Initializer;
}

namespace TestSupport {

#ifndef Q_OS_WIN
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
