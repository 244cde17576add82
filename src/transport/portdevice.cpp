#include "transport/portdevice.h"

#include <kvdevice/remoteport.h>

#include <QSerialPort>

namespace KvDevice {

QIODevice *createPortDevice(const QString &name, QObject *parent)
{
    QIODevice *device = nullptr;
    if (RemotePort::isRemote(name))
        device = new RemotePort(name, parent);
    else
        device = new QSerialPort(name, parent);
    device->setObjectName(name);
    return device;
}

} // namespace KvDevice
