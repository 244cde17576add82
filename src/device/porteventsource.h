// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/kvdevice_export.h>
#include <kvdevice/portinfo.h>

#include <QList>
#include <QObject>
#include <QString>

namespace KvDevice {

/// Where a Watcher learns which ports come and go. The watcher has its own (udev, polling,
/// a folder of links); a host with device notifications of its own feeds it through a
/// subclass (Watcher::setEventSource()).
class KVDEVICE_EXPORT PortEventSource : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    /// Starts reporting; false when it cannot. Called once, before ports().
    virtual bool start() = 0;
    /// The ports present now, each with whether the system lists it (see portAdded()).
    /// Called after start(), and again after eventsLost().
    virtual QList<QPair<KvDevice::PortInfo, bool>> ports() = 0;
    /// Why start() returned false, in words for people; empty when it did not.
    QString errorString() const { return failure; }

signals:
    /// A port appeared (or changed). `listed`: the system lists it, so the candidate test
    /// and the port filter apply; otherwise (a pseudo-terminal) it is probed like a name
    /// given to Initializer::probe().
    void portAdded(const KvDevice::PortInfo &port, bool listed);
    /// The port opened by `name` (PortInfo::name) went away.
    void portRemoved(const QString &name);
    /// Events were lost (a full buffer): the watcher compares ports() with what it knows.
    void eventsLost();

protected:
    /// Sets what errorString() says; for start() to call when it fails.
    void setErrorString(const QString &text) { failure = text; }

private:
    QString failure;
};

} // namespace KvDevice
