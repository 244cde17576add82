// The watcher where the system has no source of its own here: it polls.

#include "device/portsources.h"

#include "logging/logger.h"

namespace KvDevice {

bool PollingSource::ttysChanged()
{
    return true;
}

Watcher::Source SystemSource::automatic()
{
    return Watcher::Polling;
}

std::unique_ptr<PortEventSource> SystemSource::create(Watcher::Source source)
{
    KVLOG(Error).write() << (source == Watcher::Udev ? "The udev source exists on Linux only" : "The Windows source exists on Windows only");
    return nullptr;
}

} // namespace KvDevice
