// SPDX-License-Identifier: MIT
#include "transport/portdevice.h"

#include "device/portprobe.h"

#include "transport/portaddress.h"

#include <kvdevice/remoteport.h>

#include <QSerialPort>

namespace KvDevice {

namespace {
PortOutcome outcomeOf(RemotePort::Failure failure)
{
    switch (failure) {
    case RemotePort::Busy:
        return Busy;
    case RemotePort::Dropped:
        return Vanished;
    default:
        // Nothing to talk to there: nothing listens, no route, nothing in time, or the
        // server cannot open the board's port ("Device open failure": it is unplugged).
        return NotFound;
    }
}
} // namespace

bool isRemoteName(const QString &name)
{
    return PortAddress::isUrl(name);
}

bool remoteNameUsable(const QString &url, QString *error)
{
    PortAddress address;
    if (!PortAddress::parse(url, &address, error))
        return false;
    if (address.kind == PortAddress::Local) {
        *error = url + QStringLiteral(": not a URL");
        return false;
    }
    return true;
}

QIODevice *createPortDevice(const QString &name, QObject *parent)
{
    QIODevice *device = isRemoteName(name) ? static_cast<QIODevice *>(new RemotePort(name, parent)) : new QSerialPort(name, parent);
    device->setObjectName(name);
    return device;
}

bool connectRemote(QIODevice *device, QObject *context, std::function<void()> ready, RemoteFailure failed, PortOutcome *outcome,
                   QString *detail)
{
    auto *port = qobject_cast<RemotePort *>(device);
    if (!port) {
        *outcome = OpenFailed;
        *detail = QStringLiteral("not a remote port");
        return false;
    }
    QObject::connect(port, &RemotePort::connected, context, std::move(ready));
    QObject::connect(port, &RemotePort::failed, context,
                     [failed](RemotePort::Failure failure, const QString &why) { failed(outcomeOf(failure), why); });
    if (port->open())
        return true;
    QObject::disconnect(port, nullptr, context, nullptr);
    *outcome = OpenFailed; // a malformed URL: its errorString() names it first
    *detail = port->errorString().mid(port->errorString().startsWith(port->url() + QStringLiteral(": ")) ? port->url().size() + 2 : 0);
    return false;
}

QMetaObject::Connection watchFailure(QIODevice *device, QObject *context, std::function<void(const QString &why, bool repeating)> failed)
{
    if (auto *port = qobject_cast<QSerialPort *>(device)) {
        return QObject::connect(port, &QSerialPort::errorOccurred, context, [port, failed](QSerialPort::SerialPortError error) {
            if (PortProbe::isGone(*port, error))
                failed(QStringLiteral("the port failed: unplugged, or its far end closed"), true);
        });
    }
    if (auto *port = qobject_cast<RemotePort *>(device))
        return QObject::connect(port, &RemotePort::failed, context, [failed](RemotePort::Failure, const QString &why) { failed(why, false); });
    return {};
}

} // namespace KvDevice
