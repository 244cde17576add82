// SPDX-License-Identifier: MIT
#pragma once

// USB serial devices emulated by umockdev as the system enumerates them (sysfs, udev
// properties, /dev nodes, uevents), each tty backed by a pty whose master end a simulated
// board plays. Needs the test process to start under libumockdev-preload.

#include <QStringList>

#include <map>
#include <memory>

class SimBoard;
struct _UMockdevTestbed;

namespace TestSupport {

/// What a USB serial device tells the system about itself.
struct UsbDevice
{
    quint16 vendorId = 0x0483;
    quint16 productId = 0x5740;
    QString manufacturer = QStringLiteral("STMicroelectronics.");
    QString product = QStringLiteral("STM32 Virtual ComPort");
    QString serial;
};

class UsbTestbed
{
public:
    UsbTestbed();
    /// Unplugs every device. Close the ports opened on them first.
    ~UsbTestbed();

    /// Why this process cannot use a testbed (not started under the preload), or "".
    static QString unavailable();

    /// Plugs `device` in, with its uevents; returns the tty name, such as "ttyACM7700".
    QString add(const UsbDevice &device);
    /// Adds a legacy on-board port without USB identifiers; returns its tty name.
    QString addLegacy();
    /// Plays a board on the tty (kvboard-sim syntax, e.g. "board6100028:ignore=1").
    SimBoard *play(const QString &tty, const QString &board);
    /// Unplugs the device of `tty`: its board stops, the port hangs up, it leaves sysfs.
    void remove(const QString &tty);

private:
    QString addNode(const QString &prefix, const QString &description, const QStringList &sysPaths);

    _UMockdevTestbed *testbed = nullptr;
    QString root;
    int plugged = 0; // USB sockets and legacy ports are numbered in plug order
    std::map<QString, QStringList> sysPaths; // by tty, parents first
    std::map<QString, std::unique_ptr<SimBoard>> boards;
};

} // namespace TestSupport
