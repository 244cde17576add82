// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/kvdevice_export.h>

#include <QList>
#include <QMetaType>
#include <QString>

class QSerialPortInfo;

namespace KvDevice {

/// What the system tells about a serial port: the name it is opened by and, for a USB
/// device, who made it and where it is plugged in; for a port on another machine, where it
/// is served. What the system does not know stays empty (or 0); a pseudo-terminal has
/// nothing but its names, a remote port its name, host, TCP port and protocol.
struct KVDEVICE_EXPORT PortInfo
{
    QString name;           ///< the name the port is opened by: given to probe(), or its path
    QString systemLocation; ///< the device path, such as "/dev/ttyACM0", or the Windows name, such as "COM3"
    quint16 vendorId = 0;   ///< USB vendor identifier, when hasUsbIds
    quint16 productId = 0;  ///< USB product identifier, when hasUsbIds
    bool hasUsbIds = false; ///< false where the system gives no USB identifiers
    QString manufacturer;   ///< the USB manufacturer text
    QString description;    ///< the USB product text
    QString serialNumber;   ///< the USB serial number
    /// Where the USB device is plugged in: on Linux the socket as the kernel names the
    /// device, such as "1-2.3"; on Windows the USB device's location path, such as
    /// `PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)`, or where Windows has none its
    /// location information (`Port_#0003.Hub_#0002`, which depends on the order hubs were
    /// found in); empty where Windows provides neither.
    QString usbLocation;
    /// A remote port's host, as its URL names it (an IPv6 address without brackets);
    /// empty for a local port.
    QString host;
    /// A remote port's TCP port; 0 for a local port.
    quint16 tcpPort = 0;
    /// How a remote port is reached, the scheme of its URL in lower case: "rfc2217"
    /// (Telnet with the com-port option) or "socket" (raw TCP); empty for a local port.
    QString protocol;

    /// Whether the port is on another machine: its name is a URL ("rfc2217://...").
    bool isRemote() const { return !protocol.isEmpty(); }
    /// A text that names the same board again after it was unplugged and plugged back,
    /// whatever name its port gets then: "usb:VID:PID:SERIAL" when the USB serial number is
    /// known, else "usb-socket:LOCATION" (the same socket), else "port:NAME"; for a remote
    /// port "remote:HOST:PORT" (the server's port it is served on). Boards whose makers give
    /// them all one serial number share a key: key those by usbLocation.
    QString boardKey() const;

    /// What the system knows about a port it lists; `name` is its path (on Windows its
    /// name, such as "COM3").
    static PortInfo fromSystem(const QSerialPortInfo &info);
    /// The same for each of `ports` (such as QSerialPortInfo::availablePorts()), in their
    /// order, in one pass: on Windows the device tree is walked once for them all.
    static QList<PortInfo> fromSystem(const QList<QSerialPortInfo> &ports);
    /// What the system knows about the port `name` leads to. On Linux links are followed,
    /// without listing every port, and sysfs tells the rest (a /dev/serial/by-id link gives
    /// its ttyACM's USB device); on Windows the ports are listed and the one with the name
    /// (Initializer::resolvedPortName()) tells; elsewhere only the names. For a URL, what
    /// it says: host, tcpPort and protocol (host and tcpPort stay empty when it is malformed).
    static PortInfo forName(const QString &name);
};

} // namespace KvDevice

Q_DECLARE_METATYPE(KvDevice::PortInfo)
