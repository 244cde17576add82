// SPDX-License-Identifier: MIT
// First: glib names a member "signals", which Qt defines as a keyword.
#include <umockdev.h>

#include "usbtestbed.h"

#include "simboard.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TestSupport {

namespace {

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

// What udev's usb_id makes of a USB string: blanks and unusual characters become '_'.
QString udevEncoded(const QString &text)
{
    return text.trimmed().replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9#+.:=@_-]")), QStringLiteral("_"));
}

} // namespace

UsbTestbed::UsbTestbed()
    : testbed(umockdev_testbed_new())
{
    gchar *dir = umockdev_testbed_get_root_dir(testbed);
    root = QString::fromLocal8Bit(dir);
    g_free(dir);
    QDir(root).mkpath(QStringLiteral("dev")); // without a /dev of its own the machine's ports show through
}

UsbTestbed::~UsbTestbed()
{
    while (!sysPaths.empty())
        remove(QString(sysPaths.begin()->first)); // a copy: remove() erases the key
    g_object_unref(testbed);
}

QString UsbTestbed::unavailable()
{
    // Only a process started under the preload sees a testbed's /sys as /sys.
    UsbTestbed probe;
    struct stat real{}, mock{};
    if (::stat("/sys", &real) == 0 && ::stat(qPrintable(probe.root + QStringLiteral("/sys")), &mock) == 0 && real.st_ino == mock.st_ino)
        return QString();
    return QStringLiteral("not started under umockdev (LD_PRELOAD=libumockdev-preload.so.0)");
}

QString UsbTestbed::add(const UsbDevice &device)
{
    const QString usb = QStringLiteral("/devices/pci0000:00/0000:00:14.0/usb1/1-%1").arg(++plugged);
    const QString interface = usb + QLatin1Char('/') + usb.section(QLatin1Char('/'), -1) + QStringLiteral(":1.0");
    QStringList text{QStringLiteral("P: ") + usb, QStringLiteral("E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device"), QStringLiteral("A: idVendor=") + hex4(device.vendorId),
                     QStringLiteral("A: idProduct=") + hex4(device.productId), QStringLiteral("A: product=") + device.product};
    if (!device.manufacturer.isEmpty())
        text << QStringLiteral("A: manufacturer=") + device.manufacturer;
    if (!device.serial.isEmpty())
        text << QStringLiteral("A: serial=") + device.serial;
    // The tty's properties are the ones udev's rules would set: Qt reads only these.
    const QString vendor = device.manufacturer.isEmpty() ? hex4(device.vendorId) : udevEncoded(device.manufacturer);
    QStringList idParts{vendor, udevEncoded(device.product), udevEncoded(device.serial)};
    idParts.removeAll(QString());
    const QString id = idParts.join(QLatin1Char('_'));
    text << QStringLiteral("\nP: %1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=cdc_acm\n").arg(interface)
         << QStringLiteral("P: %1/tty/TTY\nN: TTY\nS: serial/by-id/usb-%2-if00\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/TTY\nE: ID_BUS=usb").arg(interface, id)
         << QStringLiteral("E: ID_VENDOR=%1\nE: ID_VENDOR_ID=%2\nE: ID_MODEL=%3\nE: ID_MODEL_ID=%4\nE: ID_SERIAL=%5")
                .arg(vendor, hex4(device.vendorId), udevEncoded(device.product), hex4(device.productId), id);
    if (!device.serial.isEmpty())
        text << QStringLiteral("E: ID_SERIAL_SHORT=") + device.serial;
    return addNode(QStringLiteral("ttyACM"), text.join(QLatin1Char('\n')), {usb, interface});
}

QString UsbTestbed::addLegacy()
{
    const QString parent = QStringLiteral("/devices/pnp0/00:%1").arg(++plugged);
    return addNode(QStringLiteral("ttyS"), QStringLiteral("P: %1\nE: SUBSYSTEM=pnp\nE: DRIVER=serial\n\nP: %1/tty/TTY\nN: TTY\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/TTY").arg(parent), {parent});
}

QString UsbTestbed::addNode(const QString &prefix, const QString &description, const QStringList &parents)
{
    // A tty name of its own: the port lock files in /run/lock are shared by every process
    // on the machine, and a testbed cannot make the same node twice.
    static int count = 0;
    const QString tty = prefix + QString::number(100 * (::getpid() % 1000) + count++);
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, qPrintable(QString(description).replace(QStringLiteral("TTY"), tty)), &error))
        qFatal("umockdev cannot add %s: %s", qPrintable(tty), error ? error->message : "?");
    sysPaths[tty] = QStringList(parents) << parents.last() + QStringLiteral("/tty/") + tty;
    return tty;
}

SimBoard *UsbTestbed::play(const QString &tty, const QString &options)
{
    BoardConfig config;
    QString error;
    const int master = umockdev_testbed_get_dev_fd(testbed, qPrintable(QStringLiteral("/dev/") + tty));
    auto &board = boards[tty];
    if (master < 0 || !BoardConfig::parse(options, &config, &error) || !(board = std::make_unique<SimBoard>(config))->attach(master, &error))
        qFatal("cannot play %s on %s: %s", qPrintable(options), qPrintable(tty), qPrintable(error));
    return board.get();
}

void UsbTestbed::remove(const QString &tty)
{
    const QStringList paths = sysPaths[tty];
    sysPaths.erase(tty);
    boards.erase(tty);
    // The kernel announces the removal while sysfs still has the device.
    umockdev_testbed_uevent(testbed, qPrintable(QStringLiteral("/sys") + paths.last()), "remove");
    // Hang up the port; the testbed keeps (and later closes) the master's descriptor. The
    // kernel hands the pty's number out again: the testbed's notes of it must go.
    const int master = umockdev_testbed_get_dev_fd(testbed, qPrintable(QStringLiteral("/dev/") + tty));
    if (const char *pts = master >= 0 ? ::ptsname(master) : nullptr)
        QFile::remove(root + QStringLiteral("/dev/.ptymap/") + QString::fromLocal8Bit(pts).replace(QLatin1Char('/'), QLatin1Char('_')));
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, master);
    ::close(null);
    QFile::remove(root + QStringLiteral("/dev/") + tty);
    for (const QFileInfo &link : QDir(root + QStringLiteral("/dev/serial/by-id")).entryInfoList(QDir::System)) {
        if (link.symLinkTarget().endsWith(QLatin1Char('/') + tty))
            QFile::remove(link.filePath());
    }
    for (int i = paths.size() - 1; i >= 0; --i) // children first: a parent's path may come back
        umockdev_testbed_remove_device(testbed, qPrintable(QStringLiteral("/sys") + paths.at(i)));
}

} // namespace TestSupport
