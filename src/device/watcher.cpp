// SPDX-License-Identifier: MIT
#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/watcher.h>

#include "device/answerledger.h"
#include "device/portprobe.h"
#include "device/portsources.h"
#include "logging/logger.h"
#include "transport/portdevice.h"

#include <QIODevice>
#include <QPointer>
#include <QSerialPort>
#include <QSet>
#include <QTimer>

#include <climits>

namespace KvDevice {

Watcher::Watcher(QObject *parent)
    : QObject(parent)
    , parser(new Nmea::ParserInit)
    , reprobeTimer(new QTimer(this))
{
    qRegisterMetaType<KvDevice::Communicator *>("KvDevice::Communicator*");
    qRegisterMetaType<KvDevice::PortInfo>("KvDevice::PortInfo");
    qRegisterMetaType<KvDevice::PortReport>("KvDevice::PortReport");
    parser->init();
    clock.start();
    reprobeTimer->setSingleShot(true);
    connect(reprobeTimer, &QTimer::timeout, this, &Watcher::reprobeDue);
    // After the port's own close has run: from the event loop.
    connect(HeldPorts::instance(), &HeldPorts::released, this, &Watcher::released, Qt::QueuedConnection);
}

Watcher::~Watcher()
{
    stop();
}

void Watcher::setMaxRetries(unsigned int retries)
{
    maxRetries = retries;
}

void Watcher::setAnswerTimeout(int ms)
{
    answerTimeoutMs = qMax(1, ms);
}

void Watcher::setOpenRetryWindow(int ms)
{
    openRetryWindowMs = qMax(0, ms);
}

void Watcher::setReprobePolicy(const ReprobePolicy &policy)
{
    reprobing = policy;
    reprobing.busyIntervalMs = qMax(10, policy.busyIntervalMs);
    reprobing.firstPauseMs = qMax(10, policy.firstPauseMs);
    reprobing.windowMs = qMax(0, policy.windowMs);
    reprobing.longestRemotePauseMs = qMax(10, policy.longestRemotePauseMs);
}

bool Watcher::start(const QList<Type> &requested)
{
    error.clear();
    if (events)
        error = QStringLiteral("it watches already");
    else if (requested.isEmpty())
        error = QStringLiteral("no device types given");
    for (const QString &url : qAsConst(remoteUrls)) {
        if (error.isEmpty())
            remoteNameUsable(url, &error);
    }
    if (!error.isEmpty()) {
        KVLOG(Error).write() << "Cannot start watching: " << error;
        return false;
    }
    usedSource = chosenSource == Automatic ? SystemSource::automatic() : chosenSource;
    if (externalSource) {
        events = externalSource;
    } else {
        if (usedSource == Remote)
            ownSource = std::make_unique<NoLocalPorts>();
        else if (usedSource == Directory)
            ownSource = std::make_unique<DirectorySource>(folder);
        else if (usedSource == Polling)
            ownSource = std::make_unique<PollingSource>(pollMs);
        else
            ownSource = SystemSource::create(usedSource, &error);
        if (!ownSource) {
            KVLOG(Error).write() << "Cannot watch for ports: " << error;
            return false;
        }
        ownSource->setParent(this); // it follows the watcher to another thread
        events = ownSource.get();
    }
    // Listening first, then listing: nothing that appears in between is missed, and what
    // both report is known once.
    if (!events->start()) {
        error = events->errorString().isEmpty() ? QStringLiteral("the source of port events did not start") : events->errorString();
        KVLOG(Error).write() << "Cannot watch for ports: " << error;
        events = nullptr;
        ownSource.reset();
        return false;
    }
    types = requested;
    connect(events, &PortEventSource::portAdded, this, &Watcher::portAdded);
    connect(events, &PortEventSource::portRemoved, this, &Watcher::portRemoved);
    connect(events, &PortEventSource::eventsLost, this, &Watcher::rescan);
    const auto present = events->ports();
    for (const auto &port : present)
        portAdded(port.first, port.second);
    for (const QString &url : qAsConst(remoteUrls))
        portAdded(PortInfo::forName(url), false);
    return true;
}

void Watcher::stop()
{
    if (!events)
        return;
    events->disconnect(this);
    events = nullptr;
    ownSource.reset();
    reprobeTimer->stop();
    const auto all = ports;
    ports.clear();
    listed.clear();
    for (Port port : all) {
        delete port.probe; // closes its port; no report
        if (port.comm) // its failures are no longer ours
            port.comm->disconnect(this);
        if (port.type != NoDevice)
            dispose(port);
    }
}

PortInfo Watcher::portInfo(const Communicator *comm) const
{
    for (const Port &port : ports) {
        if (comm && port.comm == comm)
            return port.info;
    }
    return PortInfo();
}

bool Watcher::keep(Communicator *comm)
{
    for (Port &port : ports) {
        if (comm && port.comm == comm) {
            port.kept = true;
            return true;
        }
    }
    return false;
}

void Watcher::dispose(Port &port)
{
    if (owner != WatcherDeletes || port.kept)
        return;
    if (port.comm)
        port.comm->deleteLater();
    if (port.device)
        port.device->deleteLater();
}

bool Watcher::reprobe(const QString &name)
{
    if (!events)
        return false;
    auto it = ports.find(name);
    if (it != ports.end() && it->type != NoDevice) {
        // A board the host still holds is not disturbed; one it let go is asked anew (a
        // port the watcher owns is let go with it: once deleted, it is free again).
        const auto *device = qobject_cast<const QIODevice *>(it->device.data());
        const bool ours = owner == WatcherDeletes && !it->kept;
        if (device && device->isOpen() && (it->comm || !ours))
            return false;
        if (it->comm)
            it->comm->disconnect(this);
        Port let = *it;
        ports.erase(it);
        it = ports.end();
        dispose(let);
    }
    if (it == ports.end()) {
        if (!listed.contains(name))
            return false;
        it = ports.insert(name, Port());
        it->info = listed.value(name).first;
        it->appearedAt = clock.elapsed();
    }
    if (it->probe)
        return false;
    it->dueAt = clock.elapsed();
    schedule();
    return true;
}

void Watcher::rescan()
{
    if (!events)
        return;
    const auto present = events->ports();
    QSet<QString> names;
    for (const auto &port : present)
        names.insert(port.first.name);
    const auto known = ports.keys() + listed.keys();
    const QPointer<Watcher> alive(this); // a host may delete it from a detach
    for (const QString &name : known) {
        if (!names.contains(name) && !remoteUrls.contains(name))
            portRemoved(name);
        if (!alive || !events)
            return;
    }
    for (const auto &port : present)
        portAdded(port.first, port.second);
}

void Watcher::portAdded(const PortInfo &info, bool isListed)
{
    if (!events)
        return;
    listed.insert(info.name, {info, isListed});
    const auto it = ports.find(info.name);
    if (it != ports.end()) {
        // Told again ("change"): rights that refused the port may have changed. Anything
        // else adds nothing until the port is gone.
        if (reprobing.enabled && !it->probe && it->type == NoDevice && it->attempts > 0 && it->last == PermissionDenied) {
            it->dueAt = clock.elapsed();
            schedule();
        }
        return;
    }
    if (isListed && (!Initializer::isCandidate(info.manufacturer, info.hasUsbIds ? info.vendorId : 0) || (portFilter && !portFilter(info))))
        return;
    Port &port = ports[info.name];
    port.info = info;
    port.appearedAt = clock.elapsed();
    // Never inside the source's own slot: from the event loop, at once.
    const QString name = info.name;
    QTimer::singleShot(0, this, [this, name] { probe(name); });
}

namespace {
// A re-probe listens longer the longer it waited: a board slower than the answer time-out
// is heard by the next probe, up to this.
constexpr int longestAnswerTimeoutMs = 10000;
} // namespace

void Watcher::probe(const QString &name)
{
    const auto it = ports.find(name);
    if (!events || it == ports.end() || it->probe || it->type != NoDevice)
        return;
    it->dueAt = -1;
    it->afterDetach = false;
    PortProbe::Settings settings;
    settings.types = types;
    settings.maxRetries = maxRetries;
    settings.answerTimeoutMs = answerTimeoutMs;
    settings.tap = recordingTap;
    if (it->attempts > 0 && it->last == NoAnswer) // as long as it waited, up to a bound
        settings.answerTimeoutMs = int(qMin(qint64(longestAnswerTimeoutMs), qMax(qint64(answerTimeoutMs), clock.elapsed() - it->concludedAt)));
    if (it->owed)
        settings.carried = *it->owed;
    settings.raiseModemLines = raiseModemLines;
    // Only a port that has just appeared may still be settling (udev setting its rights,
    // another program looking at it); later attempts open it once.
    settings.openRetryWindowMs = it->attempts == 0 ? openRetryWindowMs : 0;
    auto *probe = new PortProbe(it->info, settings, parser.get(), this);
    it->probe = probe;
    connect(probe, &PortProbe::concluded, this, [this, name, probe](const PortReport &report, Communicator *comm) {
        probe->deleteLater();
        auto it = ports.find(name);
        if (it == ports.end() || it->probe != probe)
            return;
        it->probe = nullptr;
        if (it->leaving) { // gone while it was probed
            if (comm) { // handed over as it went: nobody's board
                if (QIODevice *port = comm->ioDevice()) {
                    port->close();
                    port->deleteLater();
                }
                comm->deleteLater();
            }
            const PortInfo info = it->info;
            const bool quietly = it->afterDetach;
            ports.erase(it);
            schedule();
            const QPointer<Watcher> alive(this);
            emit portConcluded(report);
            if (alive && events && !quietly)
                emit portLeft(info);
            return;
        }
        if (report.queries > 0) // it was open: what it owes now
            it->owed = std::make_shared<const OwedAnswers>(probe->carried());
        it->selfHeld = probe->refusedByThisProgram();
        if (comm)
            attach(name, report, comm);
        else
            concluded(name, report);
    });
    probe->start();
}

void Watcher::attach(const QString &name, const PortReport &report, Communicator *comm)
{
    Port &port = ports[name];
    port.type = report.type;
    port.comm = comm;
    port.device = comm->ioDevice();
    port.owed.reset();
    // Queued: the host's own slots on readFailed() run first.
    connect(
        comm, &Communicator::readFailed, this,
        [this, name, comm] {
            const auto it = ports.find(name);
            if (it != ports.end() && it->comm == comm) // not a later board of the same name
                detach(name, true);
        },
        Qt::QueuedConnection);
    if (auto *serial = qobject_cast<QSerialPort *>(comm->ioDevice()))
        PortProbe::closeWhenGone(serial);
    const QPointer<Watcher> alive(this);
    const QPointer<Communicator> board(comm);
    emit deviceAttached(report.type, comm, report);
    if (alive && events && board)
        board->announceStored(); // what it said meanwhile, to the slots connected just now
}

void Watcher::concluded(const QString &name, PortReport report)
{
    Port &port = ports[name];
    const qint64 now = clock.elapsed();
    qint64 due = -1;
    const PortOutcome outcome = report.outcome;
    const bool remote = isRemoteName(name);
    const bool unreachable = remote && (outcome == NotFound || outcome == Vanished);
    const bool again = port.attempts > 0 && port.last == outcome && port.pauseMs > 0;
    const int lastPause = port.pauseMs;
    // A remote port whose server is reached again counts as appeared now.
    if (remote && !unreachable && port.attempts > 0 && (port.last == NotFound || port.last == Vanished))
        port.appearedAt = now - report.elapsedMs;
    if (reprobing.enabled && outcome == Busy) {
        // Opening a held port disturbs nobody; one this program holds is not even opened
        // until its lock is gone (or HeldPorts says it was let go).
        due = now + reprobing.busyIntervalMs;
    } else if (reprobing.enabled && unreachable) {
        // It never appears by itself: its server is asked as long as the watching lasts.
        port.pauseMs = again ? int(qMin(2 * qint64(port.pauseMs), qint64(reprobing.longestRemotePauseMs))) : qMin(reprobing.firstPauseMs, reprobing.longestRemotePauseMs);
        due = now + port.pauseMs;
    } else if (reprobing.enabled && (outcome == NoAnswer || outcome == PermissionDenied || outcome == Vanished || outcome == NotFound)) {
        // Slow firmware gets its time; a port of the same maker that is not a board (a
        // debug probe's serial bridge) must not get our queries forever. A port listed but
        // failing, or not there yet, is settling.
        port.pauseMs = again ? int(qMin(2 * qint64(port.pauseMs), qint64(INT_MAX))) : reprobing.firstPauseMs;
        if (now + port.pauseMs - port.appearedAt <= reprobing.windowMs)
            due = now + port.pauseMs;
    }
    // A port still held or refused is news only the first time; a server still down once
    // the pause stopped growing.
    const bool repeated = (port.attempts > 0 && port.last == outcome && (outcome == Busy || outcome == PermissionDenied))
                          || (reprobing.enabled && unreachable && again && port.pauseMs == lastPause && report.detail == port.lastDetail);
    ++port.attempts;
    port.last = outcome;
    port.lastDetail = report.detail;
    port.concludedAt = now;
    port.dueAt = due;
    report.nextAttemptMs = due < 0 || port.selfHeld ? -1 : due - now;
    schedule();
    if (!repeated)
        emit portConcluded(report);
}

void Watcher::released(const QString &device)
{
    // A port this program held is free again.
    QStringList due;
    for (auto it = ports.cbegin(); it != ports.cend(); ++it) {
        if (it->selfHeld && !it->probe && it->type == NoDevice && Initializer::resolvedPortName(it.key()) == device)
            due << it.key();
    }
    const QPointer<Watcher> alive(this);
    for (const QString &name : qAsConst(due)) {
        probe(name);
        if (!alive)
            return;
    }
}

void Watcher::schedule()
{
    qint64 next = -1;
    for (const Port &port : qAsConst(ports)) {
        if (port.dueAt >= 0 && (next < 0 || port.dueAt < next))
            next = port.dueAt;
    }
    if (next < 0)
        reprobeTimer->stop();
    else
        reprobeTimer->start(int(qBound(qint64(0), next - clock.elapsed(), qint64(INT_MAX))));
}

void Watcher::reprobeDue()
{
    const qint64 now = clock.elapsed();
    QStringList due;
    for (auto it = ports.begin(); it != ports.end(); ++it) {
        if (it->dueAt < 0 || it->dueAt > now)
            continue;
        if (it->selfHeld && PortProbe::heldHere(Initializer::resolvedPortName(it.key())))
            it->dueAt = now + reprobing.busyIntervalMs; // still ours: nothing new to tell
        else
            due << it.key();
    }
    const QPointer<Watcher> alive(this);
    for (const QString &name : qAsConst(due)) {
        probe(name);
        if (!alive || !events)
            return;
    }
    schedule();
}

void Watcher::portRemoved(const QString &name)
{
    listed.remove(name);
    const auto it = ports.find(name);
    if (it == ports.end())
        return;
    if (it->type != NoDevice) {
        detach(name, false);
        return;
    }
    if (it->probe) { // its report comes first, then portLeft()
        it->leaving = true;
        it->dueAt = -1;
        it->probe->vanish();
        return;
    }
    const PortInfo info = it->info;
    const bool quietly = it->afterDetach; // its board's end was told already
    ports.remove(name);
    schedule();
    if (!quietly)
        emit portLeft(info);
}

void Watcher::detach(const QString &name, bool failed)
{
    const auto it = ports.find(name);
    if (!events || it == ports.end() || it->type == NoDevice)
        return;
    Port port = *it;
    ports.erase(it);
    // Deleted later, after the signals below: so also when a host's slot stops or deletes
    // the watcher meanwhile.
    dispose(port);
    const QPointer<Watcher> alive(this);
    if (port.comm) {
        // Its requests end first, so that nothing of this board reaches anyone after
        // deviceDetached(): a host may free what it keeps for the board there, whichever
        // signals it listens to. Cutting the signals also keeps a board the host holds on
        // to from detaching a later one of the same name.
        port.comm->disconnect(this);
        failRequests(port.comm, QStringLiteral("the board's port went away"));
        if (!alive || !events) // stopped from a request's slot
            return;
    }
    if (Communicator *comm = port.comm) { // unless a request's host deleted it
        for (const char *signal : {SIGNAL(transferred(uint)), SIGNAL(transferFailed(uint)), SIGNAL(readyRead(uint)),
                                   SIGNAL(readyRead()), SIGNAL(readFailed())})
            comm->disconnect(signal);
    }
    // Closed at once, whatever the host does: a failed port left open keeps a core busy.
    if (auto *device = qobject_cast<QIODevice *>(port.device.data()))
        device->close();
    // A port that failed while its name stays listed (the board reset, a link now leads to
    // another board) is asked again, as one that has just appeared.
    if (failed && reprobing.enabled && listed.contains(name)) {
        Port &again = ports[name];
        again.info = listed.value(name).first;
        again.appearedAt = clock.elapsed();
        again.afterDetach = true;
        again.dueAt = again.appearedAt + reprobing.firstPauseMs;
        schedule();
    }
    emit deviceDetached(port.type, port.comm.data(), port.info);
}

} // namespace KvDevice
