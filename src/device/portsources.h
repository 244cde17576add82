#pragma once

// The watcher's own sources of port events: the system's port list polled, a folder of
// links watched, and udev's events (Linux, with libudev).

#include <kvdevice/porteventsource.h>

#include <QFileSystemWatcher>
#include <QHash>
#include <QTimer>

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace KvDevice {

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

/// udev's events for the tty subsystem; the monitor listens before the ports are listed.
class UdevSource : public PortEventSource
{
    Q_OBJECT
public:
    using PortEventSource::PortEventSource;
    ~UdevSource() override;
    /// Whether libudev is built in and udev runs here.
    static bool available();
    bool start() override;
    QList<QPair<PortInfo, bool>> ports() override;

private:
    void receive();

    udev *context = nullptr;
    udev_monitor *monitor = nullptr;
    QSocketNotifier *notifier = nullptr;
};

} // namespace KvDevice
