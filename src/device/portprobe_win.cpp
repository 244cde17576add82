// SPDX-License-Identifier: MIT
// Opening ports on Windows: names are Windows names (no links to follow), and a port that
// is refused is held by another program, since Windows opens serial ports exclusively.

#include "device/portprobe.h"

#include <kvdevice/initializer.h>

#include <QRegularExpression>

#include <windows.h>

namespace KvDevice {

QString Initializer::resolvedPortName(const QString &name)
{
    // Qt adds the "\\.\" that COM10 and above need, but only to names that start with an
    // upper-case "COM": com3 and \\.\COM12 become COM3 and COM12.
    static const QRegularExpression comPort(QStringLiteral(R"(^(?:\\\\\.\\)?COM([0-9]+)$)"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = comPort.match(name);
    return match.hasMatch() ? QStringLiteral("COM") + match.captured(1) : name;
}

qint64 PortProbe::lockHolder(const QString &)
{
    return 0; // Windows names no holder
}

bool PortProbe::isGone(QSerialPort &port, QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ResourceError:       // a removed device, an invalid handle, an aborted wait
    case QSerialPort::DeviceNotFoundError: // some drivers' I/O after an unplug
    case QSerialPort::PermissionError:     // others' ("access denied")
    case QSerialPort::ReadError:           // a read that the port refused outright
        return true;
    case QSerialPort::WriteError:
    case QSerialPort::UnknownError: {
        // Qt passes the system's other errors through as these, a pulled port's among them,
        // and a receive overrun too: the port says whether it is still there.
        DWORD status = 0;
        return port.isOpen() && !GetCommModemStatus(HANDLE(port.handle()), &status);
    }
    default:
        return false;
    }
}

PortOutcome PortProbe::refusal(const QString &, QString *detail)
{
    // "Access denied": serial ports are exclusive here, and Windows names no holder. A user
    // rarely lacks the right to open one.
    *detail = QStringLiteral("in use by another program");
    return Busy;
}

} // namespace KvDevice
