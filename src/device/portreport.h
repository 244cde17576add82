// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/portinfo.h>
#include <kvdevice/type.h>

#include <QHash>
#include <QMetaType>
#include <QString>
#include <QVariant>

namespace KvDevice {

/// How one probed port concluded, for the host and the people it shows this to.
struct PortReport
{
    PortInfo port;                       ///< which port, and what the system knows of it
    PortOutcome outcome = NoAnswer;      ///< how it concluded
    Type type = NoDevice;                ///< the type delivered, or the one the board claimed
    QHash<QString, QVariant> answer;     ///< the identification answer's fields (InitField)
    QString detail;                      ///< why, in words; for Busy who holds the port
    int queries = 0;                     ///< how many passes asked the port
    qint64 elapsedMs = 0;                ///< from the attempt to open it to this report
    qint64 nextAttemptMs = -1;           ///< Watcher: in how many ms it asks the port again by itself; -1: not by itself
};

} // namespace KvDevice

Q_DECLARE_METATYPE(KvDevice::PortReport)
