// SPDX-License-Identifier: MIT
// Remote ports where the library is built without Qt Network: every URL is refused with
// the reason.

#include "transport/portdevice.h"

namespace KvDevice {

QString remoteUnsupported()
{
    return QStringLiteral("remote ports (rfc2217://, socket://) are not supported by this build of kvdevice, made without Qt Network");
}

QIODevice *createRemoteDevice(const QString &, QObject *)
{
    return nullptr;
}

bool connectRemote(QIODevice *, QObject *, std::function<void()>, RemoteFailure, PortOutcome *outcome, QString *detail)
{
    *outcome = OpenFailed;
    *detail = remoteUnsupported();
    return false;
}

QMetaObject::Connection watchRemoteFailure(QIODevice *, QObject *, std::function<void(const QString &, bool)>)
{
    return {};
}

} // namespace KvDevice
