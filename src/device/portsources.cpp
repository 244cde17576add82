// SPDX-License-Identifier: MIT
#include "device/portsources.h"

#include "logging/logger.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QSerialPortInfo>

namespace KvDevice {

QList<QPair<PortInfo, bool>> ListingSource::ports()
{
    known.clear();
    for (const auto &port : list())
        known.insert(port.first.name, port);
    return known.values();
}

QList<QPair<PortInfo, bool>> systemPorts()
{
    QList<QPair<PortInfo, bool>> result;
    const auto infos = PortInfo::fromSystem(QSerialPortInfo::availablePorts());
    for (const PortInfo &info : infos)
        result.append({info, true});
    return result;
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
        if (known.contains(it.key()))
            continue;
        KVLOG(Debug).write() << "Port gone: " << it.key();
        emit portRemoved(it.key());
    }
    for (const auto &port : now) {
        if (!alive)
            return;
        if (previous.contains(port.first.name))
            continue;
        KVLOG(Debug).write() << "Port appeared: " << port.first.name;
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

bool PollingSource::start()
{
    timer.start();
    return true;
}

QList<QPair<PortInfo, bool>> PollingSource::list()
{
    ttysChanged();
    return systemPorts();
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
        const PortInfo info = PortInfo::forName(QDir::toNativeSeparators(entry.filePath())); // named as the system writes paths
        // A tty the system lists gets the candidate test; a pty is probed as named.
        result.append({info, QFileInfo::exists(QStringLiteral("/sys/class/tty/") + QFileInfo(info.systemLocation).fileName())
                                 && !info.systemLocation.startsWith(QLatin1String("/dev/pts/"))});
    }
    return result;
}

} // namespace KvDevice
