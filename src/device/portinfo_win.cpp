// Port identities on Windows: ports are named COM3 and so on; Qt tells the USB identity,
// SetupAPI where the USB device is plugged in.

#include "device/portinfo_p.h"

#include <kvdevice/initializer.h>

#include <QSerialPortInfo>

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

namespace KvDevice {

namespace {

// The setup classes that hold serial ports (GUID_DEVCLASS_PORTS and GUID_DEVCLASS_MODEM,
// which need INITGUID from those who include devguid.h).
constexpr GUID portClasses[] = {{0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
                                {0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}}};

// The device node whose registry key names it `portName`; 0 when there is none.
DEVINST portDevice(const QString &portName)
{
    DEVINST found = 0;
    for (const GUID &portClass : portClasses) {
        const HDEVINFO set = SetupDiGetClassDevsW(&portClass, nullptr, nullptr, DIGCF_PRESENT);
        if (set == INVALID_HANDLE_VALUE)
            continue;
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
            const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
            if (key == INVALID_HANDLE_VALUE)
                continue;
            wchar_t name[64] = {};
            DWORD size = sizeof name - sizeof *name, type = 0;
            if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE *>(name), &size) == ERROR_SUCCESS
                && type == REG_SZ && QString::fromWCharArray(name).compare(portName, Qt::CaseInsensitive) == 0)
                found = device.DevInst;
            RegCloseKey(key);
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    return found;
}

// Where the USB device of the port is plugged in, as Windows words it ("Port_#0002.Hub_#0001"):
// the location of the port's node or of the first node above it that is a whole USB
// device (not one of its interfaces, "&MI_"). Empty where Windows gives none.
QString locationOf(const QString &portName)
{
    DEVINST node = portDevice(portName);
    for (int up = 0; node && up < 4; ++up) {
        wchar_t id[MAX_DEVICE_ID_LEN] = {};
        if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
            break;
        const QString instance = QString::fromWCharArray(id);
        if (instance.startsWith(QLatin1String("USB\\"), Qt::CaseInsensitive) && !instance.contains(QLatin1String("&MI_"), Qt::CaseInsensitive)) {
            wchar_t location[256] = {};
            ULONG size = sizeof location - sizeof *location;
            return CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_INFORMATION, nullptr, location, &size, 0) == CR_SUCCESS
                       ? QString::fromWCharArray(location)
                       : QString();
        }
        if (CM_Get_Parent(&node, node, 0) != CR_SUCCESS)
            break;
    }
    return QString();
}

} // namespace

void fillFromSystem(const QSerialPortInfo &port, PortInfo *info)
{
    info->name = info->systemLocation = port.portName();
    // Each look-up walks every port's device node: spare it the ports that are no USB device.
    if (info->hasUsbIds)
        info->usbLocation = locationOf(port.portName());
}

PortInfo localPortInfo(const QString &name)
{
    PortInfo info;
    info.name = name;
    info.systemLocation = Initializer::resolvedPortName(name);
    const QSerialPortInfo port(info.systemLocation);
    if (!port.isNull()) {
        fillFromQt(port, &info);
        if (info.hasUsbIds)
            info.usbLocation = locationOf(info.systemLocation);
    }
    return info;
}

} // namespace KvDevice
