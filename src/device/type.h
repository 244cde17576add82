// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/kvdevice_export.h>

#include <QObject>

namespace KvDevice {
Q_NAMESPACE_EXPORT(KVDEVICE_EXPORT)

/// Device types: what a host asks the initializer for, and what each probed port turns
/// out to be.
enum Type {
    NoDevice = 0,     ///< nothing requested answered on the port
    Board6100028 = 1, ///< answers the version query with "6100028" in its hardware version
    Board6100027 = 2, ///< answers the version query with "6100027" in its hardware version
    InfoDevice = 3,   ///< answers the information request with subcommand "INF"
};
Q_ENUM_NS(Type)

/// How a probed port concluded (PortReport::outcome). Of the outcomes a port can reach by
/// answering, the strongest seen in any pass counts: Identified, Duplicate, Unrecognized,
/// NoAnswer.
enum PortOutcome {
    Identified,       ///< a board of a requested type, handed over
    Duplicate,        ///< a board of a requested type that another port delivered first
    Unrecognized,     ///< answered the identification queries, but named no requested type
    NoAnswer,         ///< no answer in any pass, or only answers that did not parse (the detail says why)
    Busy,             ///< another program holds the port, or this one (the detail says which)
    PermissionDenied, ///< this user may not open the port
    NotFound,         ///< no such device
    Vanished,         ///< the port failed after it was opened (unplugged)
    OpenFailed,       ///< could not be opened for another reason
};
Q_ENUM_NS(PortOutcome)

} // namespace KvDevice
