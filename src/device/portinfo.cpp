// SPDX-License-Identifier: MIT
#include "device/portinfo_p.h"
#include "transport/portaddress.h"

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
    if (isRemote() && tcpPort != 0)
        return QStringLiteral("remote:%1:%2").arg(host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host).arg(tcpPort);
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

PortInfo PortInfo::forName(const QString &name)
{
    if (!PortAddress::isUrl(name))
        return localPortInfo(name);
    PortInfo info;
    info.name = name;
    info.protocol = name.section(QStringLiteral("://"), 0, 0).toLower();
    PortAddress address;
    QString ignored;
    if (PortAddress::parse(name, &address, &ignored)) {
        info.host = address.host;
        info.tcpPort = address.tcpPort;
    }
    return info;
}

} // namespace KvDevice
