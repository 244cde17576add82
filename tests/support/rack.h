// SPDX-License-Identifier: MIT
#pragma once

// Boards on another machine, played on this one: ser2net 4.3 serving a board played by
// kvboard-sim behind a link, on 127.0.0.1, started by the tests with a YAML of their own.

#include "boardsupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace TestSupport {

/// A TCP port nothing listens on now.
quint16 freePort();
/// ser2net's program: KVDEVICE_SER2NET, else the one on the path or in sbin; empty: none.
QString ser2netProgram();

/// Skips the test where ser2net is not installed, fails it where it must run
/// (KVDEVICE_REQUIRE_SER2NET, as in CI).
#define KVDEVICE_REQUIRE_SER2NET()                                                                                                         \
    do {                                                                                                                                   \
        if (TestSupport::ser2netProgram().isEmpty()) {                                                                                     \
            if (qEnvironmentVariableIntValue("KVDEVICE_REQUIRE_SER2NET"))                                                                  \
                QFAIL("ser2net is not installed (scripts/dev.sh deps installs it)");                                                       \
            QSKIP("ser2net is not installed (scripts/dev.sh deps installs it)");                                                           \
        }                                                                                                                                  \
    } while (false)

/// One board of `type` behind a link (once it is unplugged ser2net finds nothing there,
/// never a pty that reuses its number), served as `serving` says: "rfc2217" or "socket",
/// then ",banner" or ",kick" (kickolduser), one client at a time otherwise; at `url` once
/// started.
class Rack
{
public:
    Rack(const QString &serving, const QString &type);
    ~Rack() { kill(); }

    /// Starts ser2net; true once it listens.
    bool start();
    /// Kills ser2net, as a machine that goes down.
    void kill();
    /// The board unplugged, or a new one of `type` plugged in behind the link.
    void unplug() { board->close(); }
    void plug(const QString &type);

    QTemporaryDir dir;
    const QString link;
    std::unique_ptr<Board> board;
    const quint16 port;
    QString url;

private:
    QProcess server;
};

} // namespace TestSupport
