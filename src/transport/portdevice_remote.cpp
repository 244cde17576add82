// SPDX-License-Identifier: MIT
// Remote ports where the library is built with Qt Network: RemotePort, and what its
// failures mean to discovery.

#include "transport/portdevice.h"

#include <kvdevice/remoteport.h>

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

QString remoteUnsupported()
{
    return QString();
}

QIODevice *createRemoteDevice(const QString &url, QObject *parent)
{
    return new RemotePort(url, parent);
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

QMetaObject::Connection watchRemoteFailure(QIODevice *device, QObject *context, std::function<void(const QString &why, bool repeating)> failed)
{
    auto *port = qobject_cast<RemotePort *>(device);
    if (!port)
        return {};
    return QObject::connect(port, &RemotePort::failed, context, [failed](RemotePort::Failure, const QString &why) { failed(why, false); });
}

} // namespace KvDevice
