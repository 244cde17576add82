// SPDX-License-Identifier: MIT
// Port identities on Windows: ports are named COM3 and so on; Qt tells the USB identity,
// SetupAPI and the configuration manager where the USB device is plugged in.

#include "device/portinfo_p.h"

#include <kvdevice/initializer.h>

#include <QHash>
#include <QSerialPortInfo>

#include <windows.h>

#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>

namespace KvDevice {

namespace {

// Where Qt finds serial ports: the Ports and Modem setup classes and the COM port and modem
// device interfaces (GUID_DEVCLASS_PORTS, GUID_DEVCLASS_MODEM, GUID_DEVINTERFACE_COMPORT,
// GUID_DEVINTERFACE_MODEM, which not every MinGW's headers define).
constexpr GUID portsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID modemClass = {0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID comPortInterface = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
constexpr GUID modemInterface = {0x2c7089aa, 0x2e0e, 0x11d1, {0xb1, 0x14, 0x00, 0xc0, 0x4f, 0xc2, 0xaa, 0xe4}};
// DEVPKEY_Device_LocationPaths: where a device is, port by port from the root, stable.
const DEVPROPKEY locationPaths = {{0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 37};

// The name that a device's registry key gives its port: "PortName", or "PortNumber" as COMn.
QString portNameOf(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    const HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return QString();
    wchar_t name[64] = {};
    DWORD size = sizeof name - sizeof *name, type = 0, number = 0;
    QString result;
    if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE *>(name), &size) == ERROR_SUCCESS && type == REG_SZ)
        result = QString::fromWCharArray(name);
    else if (size = sizeof number; RegQueryValueExW(key, L"PortNumber", nullptr, &type, reinterpret_cast<BYTE *>(&number), &size) == ERROR_SUCCESS
             && type == REG_DWORD)
        result = QStringLiteral("COM%1").arg(number);
    RegCloseKey(key);
    return result;
}

// The device node of every serial port, by its name in upper case: one walk of the tree.
QHash<QString, DEVINST> portDevices()
{
    QHash<QString, DEVINST> devices;
    const QPair<const GUID *, DWORD> sets[] = {{&portsClass, DIGCF_PRESENT},
                                               {&modemClass, DIGCF_PRESENT},
                                               {&comPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE},
                                               {&modemInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE}};
    for (const auto &kind : sets) {
        const HDEVINFO set = SetupDiGetClassDevsW(kind.first, nullptr, nullptr, kind.second);
        if (set == INVALID_HANDLE_VALUE)
            continue;
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
            const QString name = portNameOf(set, &device).toUpper();
            if (!name.isEmpty() && !devices.contains(name))
                devices.insert(name, device.DevInst);
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    return devices;
}

// Where the USB device of a port's node is plugged in: the first location path of the node
// or of the first node above it that is a whole USB device (not one of its interfaces,
// "&MI_"), such as "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)"; where Windows has none,
// its location information ("Port_#0002.Hub_#0001", which follows the order hubs were
// found in). Empty where Windows gives neither.
QString locationOf(DEVINST node)
{
    for (int up = 0; node && up < 4; ++up) {
        wchar_t id[MAX_DEVICE_ID_LEN] = {};
        if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
            break;
        const QString instance = QString::fromWCharArray(id);
        if (instance.startsWith(QLatin1String("USB\\"), Qt::CaseInsensitive) && !instance.contains(QLatin1String("&MI_"), Qt::CaseInsensitive)) {
            wchar_t text[512] = {};
            ULONG size = sizeof text - 2 * sizeof *text;
            DEVPROPTYPE type = 0;
            if (CM_Get_DevNode_PropertyW(node, &locationPaths, &type, reinterpret_cast<BYTE *>(text), &size, 0) == CR_SUCCESS
                && type == DEVPROP_TYPE_STRING_LIST)
                return QString::fromWCharArray(text); // the first of the list
            size = sizeof text - sizeof *text;
            return CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_INFORMATION, nullptr, text, &size, 0) == CR_SUCCESS
                       ? QString::fromWCharArray(text)
                       : QString();
        }
        if (CM_Get_Parent(&node, node, 0) != CR_SUCCESS)
            break;
    }
    return QString();
}

} // namespace

void fillFromSystem(const QList<QSerialPortInfo> &ports, QList<PortInfo> *infos)
{
    QHash<QString, DEVINST> devices;
    for (int i = 0; i < ports.size(); ++i) {
        PortInfo &info = (*infos)[i];
        info.name = info.systemLocation = ports.at(i).portName();
        // Only USB ports have a location; the tree is walked once, when the first comes.
        if (info.hasUsbIds && devices.isEmpty())
            devices = portDevices();
        if (info.hasUsbIds)
            info.usbLocation = locationOf(devices.value(info.name.toUpper()));
    }
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
            info.usbLocation = locationOf(portDevices().value(info.systemLocation.toUpper()));
    }
    return info;
}

} // namespace KvDevice
