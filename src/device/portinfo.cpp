#include <kvdevice/initializer.h>
#include <kvdevice/portinfo.h>

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

QString PortInfo::boardKey() const
{
    if (!serialNumber.isEmpty()) {
        const auto hex = [](quint16 id) { return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')); };
        return QStringLiteral("usb:%1:%2:%3").arg(hex(vendorId), hex(productId), serialNumber);
    }
    if (!usbLocation.isEmpty())
        return QStringLiteral("usb-socket:") + usbLocation;
    return QStringLiteral("port:") + name;
}

PortInfo PortInfo::fromSystem(const QSerialPortInfo &port)
{
    PortInfo info;
    info.name = info.systemLocation = port.systemLocation();
    info.hasUsbIds = port.hasVendorIdentifier() && port.hasProductIdentifier();
    info.vendorId = port.vendorIdentifier();
    info.productId = port.productIdentifier();
    info.manufacturer = port.manufacturer();
    info.description = port.description();
    info.serialNumber = port.serialNumber();
#ifdef Q_OS_LINUX
    fillFromSysfs(port.portName(), &info);
#endif
    return info;
}

PortInfo PortInfo::forName(const QString &name)
{
    PortInfo info;
    info.name = name;
    info.systemLocation = Initializer::resolvedPortName(name);
#ifdef Q_OS_UNIX
    if (!name.isEmpty() && !name.contains(QLatin1Char('/'))) // a system name, as QSerialPort reads it
        info.systemLocation = QStringLiteral("/dev/") + name;
#endif
#ifdef Q_OS_LINUX
    if (info.systemLocation.startsWith(QLatin1String("/dev/")))
        fillFromSysfs(info.systemLocation.mid(5), &info);
#endif
    return info;
}

} // namespace KvDevice
