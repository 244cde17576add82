// SPDX-License-Identifier: MIT
#include "watchrun.h"

#include "common.h"

#include <kvdevice/communicator.h>
#include <kvdevice/recordingtap.h>

#include <QDir>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonObject>
#include <QMetaEnum>

using KvDevice::Type;
using KvDevice::Watcher;

WatchRun::WatchRun(const WatchOptions &watchOptions, QObject *parent)
    : QObject(parent)
    , options(watchOptions)
{
    watcher.setSource(options.source);
    watcher.setPollInterval(options.pollMs);
    watcher.setDirectory(options.directory);
    watcher.setRemotePorts(options.remote);
    watcher.setMaxRetries(options.probe.retries);
    watcher.setAnswerTimeout(options.probe.timeoutMs);
    watcher.setRecordingTap(options.probe.tap);
    watcher.setRaiseModemLines(options.probe.raiseModemLines);
    if (!options.probe.serials.isEmpty()) {
        const QStringList serials = options.probe.serials;
        watcher.setPortFilter([serials](const KvDevice::PortInfo &port) { return serials.contains(port.serialNumber); });
    }
    connect(&watcher, &Watcher::deviceAttached, this, &WatchRun::onAttached);
    connect(&watcher, &Watcher::deviceDetached, this, &WatchRun::onDetached);
    connect(&watcher, &Watcher::portConcluded, this, &WatchRun::onReport);
}

WatchRun::~WatchRun()
{
    watcher.stop();
    for (const QPointer<KvDevice::Communicator> &comm : qAsConst(boards)) {
        QIODevice *port = comm ? comm->ioDevice() : nullptr;
        if (port)
            port->close();
        delete comm.data();
        delete port;
    }
}

bool WatchRun::start()
{
    if (!watcher.start(options.probe.types)) {
        Tool::printError(QStringLiteral("kvprobe: cannot watch: %1").arg(watcher.errorString()));
        return false;
    }
    const QString source = QString::fromLatin1(QMetaEnum::fromType<Watcher::Source>().valueToKey(watcher.activeSource())).toLower();
    if (options.probe.json) {
        QJsonObject event{{QStringLiteral("event"), QStringLiteral("watching")}, {QStringLiteral("source"), source}};
        if (watcher.activeSource() == Watcher::Polling)
            event.insert(QStringLiteral("interval_ms"), options.pollMs);
        if (watcher.activeSource() == Watcher::Directory)
            event.insert(QStringLiteral("directory"), QDir::toNativeSeparators(options.directory));
        if (!options.remote.isEmpty())
            event.insert(QStringLiteral("remote"), QJsonArray::fromStringList(options.remote));
        Tool::printJson(event);
    } else {
        QString where = source;
        if (watcher.activeSource() == Watcher::Polling)
            where += QStringLiteral(" every %1 ms").arg(options.pollMs);
        if (watcher.activeSource() == Watcher::Directory)
            where += QLatin1Char(' ') + QDir::toNativeSeparators(options.directory);
        if (watcher.activeSource() == Watcher::Remote)
            where += QLatin1Char(' ') + options.remote.join(QLatin1Char(' '));
        else if (!options.remote.isEmpty())
            where += QStringLiteral(" and remote ") + options.remote.join(QLatin1Char(' '));
        Tool::printLine(QStringLiteral("watching %1 (Ctrl-C stops)").arg(where));
    }
    return true;
}

void WatchRun::onAttached(Type type, KvDevice::Communicator *comm, const KvDevice::PortReport &report)
{
    boards.insert(report.port.name, comm);
    if (options.probe.tap)
        options.probe.tap->recordAttached(comm, type, report.answer);
    if (options.probe.json)
        Tool::printJson(Tool::portJson(report.port, QStringLiteral("attached"), type));
    else
        Tool::printLine(QStringLiteral("attached %1 %2%3").arg(Tool::typeName(type), report.port.name,
                                                               report.port.serialNumber.isEmpty() ? QString() : QStringLiteral(" serial ") + report.port.serialNumber));
}

void WatchRun::onDetached(Type type, KvDevice::Communicator *comm, const KvDevice::PortInfo &port)
{
    // The watcher has closed the port; what is left is ours to delete.
    boards.remove(port.name);
    if (options.probe.tap)
        options.probe.tap->recordDetached(comm, type);
    if (comm) {
        comm->ioDevice()->deleteLater();
        comm->deleteLater();
    }
    if (options.probe.json)
        Tool::printJson({{QStringLiteral("event"), QStringLiteral("detached")}, {QStringLiteral("type"), Tool::typeName(type)},
                         {QStringLiteral("port"), port.name}});
    else
        Tool::printLine(QStringLiteral("detached %1 %2").arg(Tool::typeName(type), port.name));
}

void WatchRun::onReport(const KvDevice::PortReport &report)
{
    if (options.probe.json) {
        QJsonObject event = Tool::reportJson(report);
        if (report.nextAttemptMs >= 0)
            event.insert(QStringLiteral("next_attempt_ms"), report.nextAttemptMs);
        Tool::printJson(event);
        return;
    }
    const QString again = report.nextAttemptMs < 0 ? QString() : QStringLiteral(" (asked again in %1 s)").arg((report.nextAttemptMs + 500) / 1000);
    Tool::printLine(QStringLiteral("port %1 %2: %3%4%5").arg(report.port.name, Tool::outcomeName(report.outcome), report.detail, Tool::advice(report), again));
}
