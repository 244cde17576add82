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

} // namespace KvDevice
