// SPDX-License-Identifier: MIT
#include "transport/portdevice.h"

#include "device/portprobe.h"

#include "transport/portaddress.h"

#include <QSerialPort>

namespace KvDevice {

bool isRemoteName(const QString &name)
{
    return PortAddress::isUrl(name);
}

bool remoteNameUsable(const QString &url, QString *error)
{
    PortAddress address;
    if (!PortAddress::parse(url, &address, error))
        return false;
    if (address.kind == PortAddress::Local || !remoteUnsupported().isEmpty()) {
        *error = url + QStringLiteral(": ") + (address.kind == PortAddress::Local ? QStringLiteral("not a URL") : remoteUnsupported());
        return false;
    }
    return true;
}

QIODevice *createPortDevice(const QString &name, QObject *parent)
{
    QIODevice *device = isRemoteName(name) ? createRemoteDevice(name, parent) : new QSerialPort(name, parent);
    if (device)
        device->setObjectName(name);
    return device;
}

QMetaObject::Connection watchFailure(QIODevice *device, QObject *context, std::function<void(const QString &why, bool repeating)> failed)
{
    if (auto *port = qobject_cast<QSerialPort *>(device)) {
        return QObject::connect(port, &QSerialPort::errorOccurred, context, [port, failed](QSerialPort::SerialPortError error) {
            if (PortProbe::isGone(*port, error))
                failed(QStringLiteral("the port failed: unplugged, or its far end closed"), true);
        });
    }
    return watchRemoteFailure(device, context, std::move(failed));
}

} // namespace KvDevice
