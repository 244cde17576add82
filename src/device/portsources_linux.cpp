// SPDX-License-Identifier: MIT
// The watcher on Linux: udev's events for ttys (with libudev), and a polling that lists the
// ports only when the kernel's ttys changed.

#include "device/portsources.h"

#include "logging/logger.h"

#include <QFileInfo>
#include <QPointer>
#include <QSocketNotifier>

#include <dirent.h>

#ifdef KVDEVICE_HAVE_LIBUDEV
#include <libudev.h>

#include <cerrno>
#endif

struct udev;
struct udev_monitor;

namespace KvDevice {

namespace {

/// udev's events for the tty subsystem; the monitor listens before the ports are listed.
class UdevSource : public PortEventSource
{
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

} // namespace

bool PollingSource::ttysChanged()
{
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
    return true;
}

Watcher::Source SystemSource::automatic()
{
    return UdevSource::available() ? Watcher::Udev : Watcher::Polling;
}

std::unique_ptr<PortEventSource> SystemSource::create(Watcher::Source source, QString *error)
{
    if (source != Watcher::Udev) {
        *error = QStringLiteral("the Windows source exists on Windows only");
        return nullptr;
    }
    return std::make_unique<UdevSource>();
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
    return systemPorts();
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
