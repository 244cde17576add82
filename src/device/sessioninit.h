#pragma once

#include <kvdevice/kvdevice_export.h>
#include <kvdevice/sessionabstract.h>

#include <QHash>
#include <QString>
#include <QVariant>

namespace KvDevice {

/// Session record of the init protocol: which sentence (1 "PKVVER", 2 "PTKVWR",
/// 3 "PTKVRD") and its field values by field name ("hwversion", "subcommand", ...).
/// Text fields hold a QString, the version numbers "v1".."v3" an int.
class KVDEVICE_EXPORT SessionInit : public SessionAbstract
{
public:
    SessionInit();

    /// Sets sentenceId to 0 and drops every value.
    void clear() override;

    int sentenceId;
    QHash<QString, QVariant> parameters;
};

} // namespace KvDevice
