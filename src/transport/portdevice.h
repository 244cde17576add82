// SPDX-License-Identifier: MIT
#pragma once

// Where a port name becomes a device, and what discovery and the communicator need to know
// of a device without asking which kind it is. Not installed.

#include <kvdevice/type.h>

#include <QMetaObject>
#include <QString>

#include <functional>

class QIODevice;
class QObject;

namespace KvDevice {

/// Whether `name` names a remote port: it is written as a URL ("SCHEME://..."), valid or
/// not. Every other name is a local serial port's.
bool isRemoteName(const QString &name);

/// The device for the port `name`, not opened, with `name` as its objectName(): a
/// RemotePort for a URL (a malformed one fails in open(), errorString() saying why), a
/// QSerialPort for any other name.
QIODevice *createPortDevice(const QString &name, QObject *parent = nullptr);

/// Whether the remote port `url` can be used: false, with why for people (the URL first),
/// for a malformed URL.
bool remoteNameUsable(const QString &url, QString *error);

/// Why a remote port is not, or no longer, connected, as discovery reports a port.
using RemoteFailure = std::function<void(PortOutcome outcome, const QString &detail)>;

/// Starts connecting the remote port `device` (createPortDevice() of a URL). False, with
/// why in `outcome` and `detail`, when it cannot start. Otherwise, from the event loop,
/// `ready` once the port is ready, and `failed` when it never will be or, later, when its connection ends: NotFound (nothing listens there,
/// no route, no connection or settings in time, the server cannot open its serial port),
/// Busy (the server lets no second client in) or Vanished (the connection dropped after it
/// was made). Both run in `context`; disconnecting `device` from `context` ends them.
bool connectRemote(QIODevice *device, QObject *context, std::function<void()> ready, RemoteFailure failed, PortOutcome *outcome,
                   QString *detail);

/// Calls `failed` when the open `device` fails for good: a serial port's resource or read
/// error (`repeating`: Qt reports it again and again until the port is closed), or a
/// remote port's failed(), once per connection (the port closes itself right after
/// `failed` returns). `why` says it for people.
QMetaObject::Connection watchFailure(QIODevice *device, QObject *context, std::function<void(const QString &why, bool repeating)> failed);

} // namespace KvDevice
