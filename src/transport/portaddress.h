// SPDX-License-Identifier: MIT
#pragma once

// Where a port name leads: a local serial port, or a board served over TCP. Not
// installed: RemotePort and the port factory read it.

#include <QString>

namespace KvDevice {

/// A port name taken apart. Names of the form "SCHEME://..." are URLs; every other name
/// is a local port's and stays as it is.
struct PortAddress
{
    enum Kind { Local, Rfc2217, RawTcp };

    Kind kind = Local;
    QString name;               ///< the name as given
    QString host;               ///< host name or address, without brackets
    quint16 tcpPort = 0;
    int connectTimeoutMs = 3000; ///< "timeout": from the connect until the port is ready

    /// Whether `name` is written as a URL (a scheme, then "://"), valid or not.
    static bool isUrl(const QString &name);
    /// Takes `name` apart. A URL that cannot be used gives false, with `error` saying why
    /// for people; a local name always gives true.
    static bool parse(const QString &name, PortAddress *address, QString *error);
};

} // namespace KvDevice
