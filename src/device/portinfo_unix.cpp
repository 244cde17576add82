// SPDX-License-Identifier: MIT
// Port identities on Unix: ports are named by their device path; on Linux sysfs tells the
// USB device above a tty, for listed ports and for names given alike.

#include "device/portinfo_p.h"

#include <kvdevice/initializer.h>

#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>

namespace KvDevice {

namespace {

#ifdef Q_OS_LINUX
QString attribute(const QString &dir, const char *name)
{
    QFile file(dir + QLatin1Char('/') + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

// Fills what sysfs knows of the USB device above the tty `tty` (such as "ttyACM0"): the
// first folder up from the tty's own that has an idVendor. Read by path, one link, no
// canonical paths.
void fillFromSysfs(const QString &tty, PortInfo *info)
{
    const QFileInfo classEntry(QStringLiteral("/sys/class/tty/") + tty);
    if (tty.isEmpty() || !classEntry.isSymLink())
        return;
    for (QString dir = classEntry.symLinkTarget(); dir.count(QLatin1Char('/')) > 2; dir = dir.section(QLatin1Char('/'), 0, -2)) {
        if (!QFileInfo::exists(dir + QStringLiteral("/idVendor")))
            continue;
        bool vendorOk = false, productOk = false;
        info->vendorId = quint16(attribute(dir, "idVendor").toUInt(&vendorOk, 16));
        info->productId = quint16(attribute(dir, "idProduct").toUInt(&productOk, 16));
        info->hasUsbIds = vendorOk && productOk;
        info->usbLocation = dir.section(QLatin1Char('/'), -1);
        if (info->manufacturer.isEmpty())
            info->manufacturer = attribute(dir, "manufacturer");
        if (info->description.isEmpty())
            info->description = attribute(dir, "product");
        if (info->serialNumber.isEmpty())
            info->serialNumber = attribute(dir, "serial");
        return;
    }
}
#endif

} // namespace

void fillFromSystem([[maybe_unused]] const QList<QSerialPortInfo> &ports, [[maybe_unused]] QList<PortInfo> *infos)
{
#ifdef Q_OS_LINUX
    for (int i = 0; i < ports.size(); ++i)
        fillFromSysfs(ports.at(i).portName(), &(*infos)[i]);
#endif
}

PortInfo localPortInfo(const QString &name)
{
    PortInfo info;
    info.name = name;
    info.systemLocation = Initializer::resolvedPortName(name);
    // A system name, as QSerialPort reads it; not a link in the current folder, which the
    // port is opened through.
    if (!name.isEmpty() && !name.contains(QLatin1Char('/')) && info.systemLocation == name)
        info.systemLocation = QStringLiteral("/dev/") + name;
#ifdef Q_OS_LINUX
    if (info.systemLocation.startsWith(QLatin1String("/dev/")))
        fillFromSysfs(info.systemLocation.mid(5), &info);
#endif
    return info;
}

} // namespace KvDevice
