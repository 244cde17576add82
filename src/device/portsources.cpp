#include "device/portsources.h"

#include "logging/logger.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QSerialPortInfo>
#include <QSocketNotifier>

#ifdef Q_OS_LINUX
#include <dirent.h>
#endif

#ifdef KVDEVICE_HAVE_LIBUDEV
#include <libudev.h>

#include <cerrno>
#endif

namespace KvDevice {

QList<QPair<PortInfo, bool>> ListingSource::ports()
{
    known.clear();
    for (const auto &port : list())
        known.insert(port.first.name, port);
    return known.values();
}

void ListingSource::compare()
{
    const auto previous = known;
    const auto now = list();
    known.clear();
    for (const auto &port : now)
        known.insert(port.first.name, port);
    // A host may stop the watcher, and with it this source, from any of these signals.
    const QPointer<ListingSource> alive(this);
    for (auto it = previous.cbegin(); it != previous.cend() && alive; ++it) {
        if (!known.contains(it.key()))
            emit portRemoved(it.key());
    }
    for (const auto &port : now) {
        if (!alive)
            return;
        if (!previous.contains(port.first.name))
            emit portAdded(port.first, port.second);
    }
}

PollingSource::PollingSource(int intervalMs, QObject *parent)
    : ListingSource(parent)
{
    timer.setInterval(intervalMs);
    connect(&timer, &QTimer::timeout, this, [this] {
        if (ttysChanged())
            compare();
    });
}

bool PollingSource::ttysChanged()
{
#ifdef Q_OS_LINUX
    // Listing the ports reads every tty's sysfs entries (~15 ms of CPU with seventy of
    // them); a port that comes or goes changes the names in this folder, read in ~0.1 ms.
    QByteArray now;
    if (DIR *dir = ::opendir("/sys/class/tty")) {
        while (const dirent *entry = ::readdir(dir))
            now.append(entry->d_name).append('/');
        ::closedir(dir);
    }
    if (now == ttys)
        return false;
    ttys = now;
#endif
    return true;
}

bool PollingSource::start()
{
    timer.start();
    return true;
}

QList<QPair<PortInfo, bool>> PollingSource::list()
{
    ttysChanged();
    QList<QPair<PortInfo, bool>> result;
    const auto available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available)
        result.append({PortInfo::fromSystem(info), true});
    return result;
}

DirectorySource::DirectorySource(const QString &folder, QObject *parent)
    : ListingSource(parent)
    , path(QFileInfo(folder).absoluteFilePath())
{
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        const QPointer<DirectorySource> alive(this);
        compare(); // a host may stop the watching from what this tells
        if (alive)
            follow(true);
    });
}

bool DirectorySource::start()
{
    // The folder may come later (/dev/serial/by-id appears with the first USB serial
    // device): then its nearest parent is watched. Something in the way that is no
    // folder would never become one by itself.
    for (QFileInfo info(path); !info.isRoot(); info.setFile(info.absolutePath())) {
        if (info.exists() && !info.isDir()) {
            setErrorString(QStringLiteral("%1 is not a folder").arg(QDir::toNativeSeparators(info.absoluteFilePath())));
            return false;
        }
        if (info.isDir())
            break;
    }
    follow(false); // the watcher lists what is there itself
    return !watched.isEmpty();
}

void DirectorySource::follow(bool list)
{
    // Down to the folder as far as it exists; a folder that went is watched from its
    // parent again. Checked once more after each move: what appeared meanwhile is listed.
    for (;;) {
        QString anchor = path;
        while (!QFileInfo(anchor).isDir() && !QFileInfo(anchor).isRoot())
            anchor = QFileInfo(anchor).absolutePath();
        // A deleted folder's watch is gone even when a new one has its name.
        const bool watching = watcher.directories().contains(watched);
        if (anchor == watched && watching)
            return;
        if (watching)
            watcher.removePath(watched);
        watched = watcher.addPath(anchor) ? anchor : QString();
        if (watched.isEmpty()) {
            KVLOG(Warning).write() << "Cannot watch the folder: " << anchor;
            return;
        }
        if (anchor == path && list) {
            const QPointer<DirectorySource> alive(this);
            compare();
            if (!alive)
                return;
        }
    }
}

QList<QPair<PortInfo, bool>> DirectorySource::list()
{
    QList<QPair<PortInfo, bool>> result;
    const auto entries = QDir(path).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (!entry.exists()) // a link whose port is gone
            continue;
        const PortInfo info = PortInfo::forName(entry.filePath());
        // A tty the system lists gets the candidate test; a pty is probed as named.
        result.append({info, QFileInfo::exists(QStringLiteral("/sys/class/tty/") + QFileInfo(info.systemLocation).fileName())
                                 && !info.systemLocation.startsWith(QLatin1String("/dev/pts/"))});
    }
    return result;
}

#ifdef KVDEVICE_HAVE_LIBUDEV
namespace {
QString property(udev_device *device, const char *name)
{
    return QString::fromLocal8Bit(udev_device_get_property_value(device, name));
}

// What Qt's QSerialPortInfo makes of the same device, read from the event itself.
PortInfo fromUdev(udev_device *device)
{
    PortInfo info;
    info.name = info.systemLocation = QString::fromLocal8Bit(udev_device_get_devnode(device));
    bool vendorOk = false, productOk = false;
    info.vendorId = quint16(property(device, "ID_VENDOR_ID").toUInt(&vendorOk, 16));
    info.productId = quint16(property(device, "ID_MODEL_ID").toUInt(&productOk, 16));
    info.hasUsbIds = vendorOk && productOk;
    info.manufacturer = property(device, "ID_VENDOR").replace(QLatin1Char('_'), QLatin1Char(' '));
    info.description = property(device, "ID_MODEL").replace(QLatin1Char('_'), QLatin1Char(' '));
    info.serialNumber = property(device, "ID_SERIAL_SHORT");
    if (udev_device *usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device"))
        info.usbLocation = QString::fromLocal8Bit(udev_device_get_sysname(usb));
    return info;
}
} // namespace

UdevSource::~UdevSource()
{
    delete notifier;
    udev_monitor_unref(monitor);
    udev_unref(context);
}

bool UdevSource::available()
{
    // Without udev running, libudev's monitor stays silent on purpose (containers).
    // umockdev's emulation brings events of its own.
    return QFileInfo::exists(QStringLiteral("/run/udev/control")) || qEnvironmentVariableIsSet("UMOCKDEV_DIR");
}

bool UdevSource::start()
{
    if (!available()) {
        setErrorString(QStringLiteral("udev does not run here (no /run/udev/control), so its events would never come; "
                                      "watch by polling instead"));
        return false;
    }
    context = udev_new();
    monitor = context ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
    if (!monitor || udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0
        || udev_monitor_enable_receiving(monitor) < 0) {
        setErrorString(QStringLiteral("cannot listen to udev's events"));
        return false;
    }
    udev_monitor_set_receive_buffer_size(monitor, 4 * 1024 * 1024); // asks; may be refused without privilege
    notifier = new QSocketNotifier(udev_monitor_get_fd(monitor), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UdevSource::receive);
    return true;
}

QList<QPair<PortInfo, bool>> UdevSource::ports()
{
    QList<QPair<PortInfo, bool>> result;
    const auto available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available)
        result.append({PortInfo::fromSystem(info), true});
    return result;
}

void UdevSource::receive()
{
    // A host may stop the watcher, and with it this source, from any of these signals.
    const QPointer<UdevSource> alive(this);
    while (alive) {
        udev_device *device = udev_monitor_receive_device(monitor);
        if (!device) {
            if (errno == ENOBUFS)
                emit eventsLost();
            return;
        }
        const QString action = QString::fromLatin1(udev_device_get_action(device));
        const char *node = udev_device_get_devnode(device);
        const QString path = node ? QString::fromLocal8Bit(node) : QString();
        const bool removed = action == QLatin1String("remove");
        // add, change, move: look at it (again)
        const bool changed = node && !removed && action != QLatin1String("bind") && action != QLatin1String("unbind");
        const PortInfo info = changed ? fromUdev(device) : PortInfo();
        udev_device_unref(device);
        if (node && removed)
            emit portRemoved(path);
        else if (changed)
            emit portAdded(info, true);
    }
}
#else
UdevSource::~UdevSource() = default;

bool UdevSource::available()
{
    return false;
}

bool UdevSource::start()
{
    setErrorString(QStringLiteral("built without libudev, so udev's events cannot be used; watch by polling instead"));
    return false;
}

QList<QPair<PortInfo, bool>> UdevSource::ports()
{
    return {};
}

void UdevSource::receive()
{
}
#endif

} // namespace KvDevice
