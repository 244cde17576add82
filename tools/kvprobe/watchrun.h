// SPDX-License-Identifier: MIT
#pragma once

#include "proberun.h"

#include <kvdevice/watcher.h>

#include <QHash>
#include <QObject>
#include <QPointer>

namespace KvDevice {
class Communicator;
}

struct WatchOptions
{
    ProbeOptions probe; // types, serials, retries, time-out, json
    KvDevice::Watcher::Source source = KvDevice::Watcher::Automatic;
    int pollMs = 1000;
    QString directory;
    QStringList remote; // boards on other machines, by URL
};

/// Watches for boards until stopped, one line per event as it happens. Boards that attach
/// stay open (as a host would keep them) until they go away or the watching ends.
class WatchRun : public QObject
{
    Q_OBJECT
public:
    explicit WatchRun(const WatchOptions &options, QObject *parent = nullptr);
    ~WatchRun() override;

    /// Starts the watching; false, with the reason printed, when it cannot.
    bool start();

private:
    void onAttached(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortReport &report);
    void onDetached(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortInfo &port);
    void onReport(const KvDevice::PortReport &report);

    WatchOptions options;
    KvDevice::Watcher watcher;
    QHash<QString, QPointer<KvDevice::Communicator>> boards; // by port name
};
