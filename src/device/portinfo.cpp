#include "device/portinfo_p.h"

#include <QSerialPortInfo>

namespace KvDevice {

void fillFromQt(const QSerialPortInfo &port, PortInfo *info)
{
    info->hasUsbIds = port.hasVendorIdentifier() && port.hasProductIdentifier();
    info->vendorId = port.vendorIdentifier();
    info->productId = port.productIdentifier();
    info->manufacturer = port.manufacturer();
    info->description = port.description();
    info->serialNumber = port.serialNumber();
}

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
    return fromSystem(QList<QSerialPortInfo>{port}).first();
}

QList<PortInfo> PortInfo::fromSystem(const QList<QSerialPortInfo> &ports)
{
    QList<PortInfo> infos;
    for (const QSerialPortInfo &port : ports) {
        infos.append(PortInfo());
        infos.last().name = infos.last().systemLocation = port.systemLocation();
        fillFromQt(port, &infos.last());
    }
    fillFromSystem(ports, &infos);
    return infos;
}

} // namespace KvDevice
