#pragma once

// The one place where a port name becomes a device. Not installed: discovery calls it.

#include <QString>

class QIODevice;
class QObject;

namespace KvDevice {

/// The device for the port `name`, not opened, with `name` as its objectName(): a
/// RemotePort for a URL ("rfc2217://HOST:PORT", "socket://HOST:PORT"; a malformed one
/// fails in open(), errorString() saying why), a QSerialPort for any other name.
QIODevice *createPortDevice(const QString &name, QObject *parent = nullptr);

} // namespace KvDevice
