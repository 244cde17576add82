// SPDX-License-Identifier: MIT
// The watcher where the system has no source of its own here: it polls.

#include "device/portsources.h"

namespace KvDevice {

bool PollingSource::ttysChanged()
{
    return true;
}

Watcher::Source SystemSource::automatic()
{
    return Watcher::Polling;
}

std::unique_ptr<PortEventSource> SystemSource::create(Watcher::Source source, QString *error)
{
    *error = source == Watcher::Udev ? QStringLiteral("the udev source exists on Linux only")
                                     : QStringLiteral("the Windows source exists on Windows only");
    return nullptr;
}

} // namespace KvDevice
