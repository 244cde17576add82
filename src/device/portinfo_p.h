#pragma once

#include <kvdevice/portinfo.h>

class QSerialPortInfo;

namespace KvDevice {

/// What Qt knows of a port it lists: USB identifiers and texts, not the names.
void fillFromQt(const QSerialPortInfo &port, PortInfo *info);
/// Per system (portinfo_unix.cpp, portinfo_win.cpp): the names of a port the system lists
/// and what it tells beyond Qt, such as the USB location; called after fillFromQt().
void fillFromSystem(const QSerialPortInfo &port, PortInfo *info);
/// Per system: PortInfo::forName() of a local port's name.
PortInfo localPortInfo(const QString &name);

} // namespace KvDevice
