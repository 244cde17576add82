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

PortInfo PortInfo::fromSystem(const QSerialPortInfo &port)
{
    PortInfo info;
    info.name = info.systemLocation = port.systemLocation();
    fillFromQt(port, &info);
    fillFromSystem(port, &info);
    return info;
}

} // namespace KvDevice
