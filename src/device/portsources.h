// SPDX-License-Identifier: MIT
#pragma once

// The watcher's own sources of port events: the system's port list polled, a folder of
// links watched, and the system's own notifications (udev's events on Linux, with
// libudev; device-change messages on Windows).

#include <kvdevice/porteventsource.h>
#include <kvdevice/watcher.h>

#include <QFileSystemWatcher>
#include <QHash>
#include <QTimer>

#include <memory>

namespace KvDevice {

/// The ports the system lists, as Qt lists them.
QList<QPair<PortInfo, bool>> systemPorts();

/// Lists and compares: the ports of the last list that are gone, and the new ones.
class ListingSource : public PortEventSource
{
    Q_OBJECT
public:
    using PortEventSource::PortEventSource;
    QList<QPair<PortInfo, bool>> ports() override;

protected:
    virtual QList<QPair<PortInfo, bool>> list() = 0;
    void compare();

private:
    QHash<QString, QPair<PortInfo, bool>> known;
};

/// QSerialPortInfo::availablePorts() every interval.
class PollingSource : public ListingSource
{
    Q_OBJECT
public:
    explicit PollingSource(int intervalMs, QObject *parent = nullptr);
    bool start() override;

protected:
    QList<QPair<PortInfo, bool>> list() override;

private:
    /// Whether a listing may find something new (per system; true where it cannot tell).
    bool ttysChanged();

    QTimer timer;
    QByteArray ttys; // Linux: the names the kernel gave, as the last list saw them
};

/// The links (and device nodes) in a folder, listed again when the folder changes.
class DirectorySource : public ListingSource
{
    Q_OBJECT
public:
    explicit DirectorySource(const QString &path, QObject *parent = nullptr);
    bool start() override;

protected:
    QList<QPair<PortInfo, bool>> list() override;

private:
    void follow(bool list);

    QString path;    // absolute
    QString watched; // the folder, or its nearest parent while it does not exist
    QFileSystemWatcher watcher;
};

/// No local port at all: a watcher that follows remote ports alone.
class NoLocalPorts : public PortEventSource
{
    Q_OBJECT
public:
    using PortEventSource::PortEventSource;
    bool start() override { return true; }
    QList<QPair<PortInfo, bool>> ports() override { return {}; }
};

/// The system's own sources, per system (portsources_linux.cpp, portsources_win.cpp,
/// portsources_other.cpp).
namespace SystemSource {
/// What Watcher::Automatic means here.
Watcher::Source automatic();
/// The system's own source `source` (Udev, Windows); null, with the reason in `error`,
/// where it does not exist.
std::unique_ptr<PortEventSource> create(Watcher::Source source, QString *error);
} // namespace SystemSource

} // namespace KvDevice
