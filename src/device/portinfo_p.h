// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/portinfo.h>

#include <QList>

class QSerialPortInfo;

namespace KvDevice {

/// What Qt knows of a port it lists: USB identifiers and texts, not the names.
void fillFromQt(const QSerialPortInfo &port, PortInfo *info);
/// Per system (portinfo_unix.cpp, portinfo_win.cpp): what the system tells beyond Qt of
/// the ports it lists, such as the USB location, for all of them at once (Windows walks its
/// device tree once); called after fillFromQt() on each of `infos`.
void fillFromSystem(const QList<QSerialPortInfo> &ports, QList<PortInfo> *infos);
/// Per system: PortInfo::forName() of a local port's name.
PortInfo localPortInfo(const QString &name);

} // namespace KvDevice
