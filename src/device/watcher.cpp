#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/watcher.h>

#include "device/portprobe.h"
#include "device/portsources.h"
#include "device/requestqueue.h"
#include "logging/logger.h"

#include <QIODevice>
#include <QPointer>
#include <QTimer>

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
}

bool Watcher::start(const QList<Type> &requested)
{
    error.clear();
    if (events)
        error = QStringLiteral("it watches already");
    else if (requested.isEmpty())
        error = QStringLiteral("no device types given");
    if (!error.isEmpty()) {
        KVLOG(Error).write() << "Cannot start watching: " << error;
        return false;
    }
    usedSource = chosenSource == Automatic ? SystemSource::automatic() : chosenSource;
    if (externalSource) {
        events = externalSource;
    } else {
        if (usedSource == Directory)
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
    for (const Port &port : all) {
        delete port.probe; // closes its port; no report
        if (port.comm) // the host's now; its failures are no longer ours
            port.comm->disconnect(this);
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

bool Watcher::reprobe(const QString &name)
{
    const auto it = ports.find(name);
    if (!events || it == ports.end() || it->probe || it->type != NoDevice)
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
    const auto known = ports.keys();
    const QPointer<Watcher> alive(this); // a host may delete it from a detach
    for (const QString &name : known) {
        if (!names.contains(name))
            portRemoved(name);
        if (!alive)
            return;
    }
    for (const auto &port : present)
        portAdded(port.first, port.second);
}

void Watcher::portAdded(const PortInfo &info, bool listed)
{
    if (!events)
        return;
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
    if (listed && (!Initializer::isCandidate(info.manufacturer, info.hasUsbIds ? info.vendorId : 0) || (portFilter && !portFilter(info))))
        return;
    Port &port = ports[info.name];
    port.info = info;
    port.appearedAt = clock.elapsed();
    // Never inside the source's own slot: from the event loop, at once.
    const QString name = info.name;
    QTimer::singleShot(0, this, [this, name] { probe(name); });
}

void Watcher::probe(const QString &name)
{
    const auto it = ports.find(name);
    if (it == ports.end() || it->probe || it->type != NoDevice)
        return;
    it->dueAt = -1;
    PortProbe::Settings settings;
    settings.types = types;
    settings.maxRetries = maxRetries;
    settings.answerTimeoutMs = answerTimeoutMs;
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
        if (!comm) {
            concluded(name, report);
            return;
        }
        it->type = report.type;
        it->comm = comm;
        it->device = comm->ioDevice();
        connect(comm, &Communicator::readFailed, this, [this, name] { detach(name); });
        emit deviceAttached(report.type, comm, report);
    });
    probe->start();
}

void Watcher::concluded(const QString &name, PortReport report)
{
    Port &port = ports[name];
    const qint64 now = clock.elapsed();
    qint64 due = -1;
    if (reprobing.enabled && report.outcome == Busy) {
        due = now + reprobing.busyIntervalMs; // opening a held port disturbs nobody
    } else if (reprobing.enabled && (report.outcome == NoAnswer || report.outcome == PermissionDenied)) {
        // Slow firmware gets its time; a port of the same maker that is not a board (a
        // debug probe's serial bridge) must not get our queries forever.
        const bool again = port.attempts > 0 && port.last == report.outcome && port.pauseMs > 0;
        port.pauseMs = again ? qMin<qint64>(2 * port.pauseMs, 24 * 3600 * 1000) : reprobing.firstPauseMs;
        if (now + port.pauseMs - port.appearedAt <= reprobing.windowMs)
            due = now + port.pauseMs;
    }
    // A port still held or refused is news only the first time.
    const bool repeated = port.attempts > 0 && port.last == report.outcome && (report.outcome == Busy || report.outcome == PermissionDenied);
    ++port.attempts;
    port.last = report.outcome;
    port.dueAt = due;
    report.nextAttemptMs = due < 0 ? -1 : due - now;
    schedule();
    if (!repeated)
        emit portConcluded(report);
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
        reprobeTimer->start(int(qMax<qint64>(0, next - clock.elapsed())));
}

void Watcher::reprobeDue()
{
    const qint64 now = clock.elapsed();
    QStringList due;
    for (auto it = ports.cbegin(); it != ports.cend(); ++it) {
        if (it->dueAt >= 0 && it->dueAt <= now)
            due << it.key();
    }
    // A probe that cannot open its port concludes at once, to a host that may delete this.
    const QPointer<Watcher> alive(this);
    for (const QString &name : qAsConst(due)) {
        probe(name);
        if (!alive)
            return;
    }
    schedule();
}

void Watcher::portRemoved(const QString &name)
{
    const auto it = ports.find(name);
    if (it == ports.end())
        return;
    if (it->type != NoDevice) {
        detach(name);
        return;
    }
    const PortInfo info = it->info;
    if (it->probe) {
        const QPointer<Watcher> alive(this);
        it->probe->vanish(); // reports it Vanished, to a host that may delete this
        if (!alive)
            return;
    }
    ports.remove(name);
    schedule();
    emit portLeft(info);
}

void Watcher::detach(const QString &name)
{
    const auto it = ports.find(name);
    if (it == ports.end() || it->type == NoDevice)
        return;
    const Port port = *it;
    ports.erase(it);
    if (port.comm) {
        // Its requests end first, so that nothing of this board reaches anyone after
        // deviceDetached(): a host may free what it keeps for the board there, whichever
        // signals it listens to. Cutting the signals also keeps a board the host holds on
        // to from detaching a later one of the same name.
        port.comm->disconnect(this);
        const QPointer<Watcher> alive(this);
        failRequests(port.comm, QStringLiteral("the board's port went away"));
        if (!alive)
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
    emit deviceDetached(port.type, port.comm.data(), port.info);
}

} // namespace KvDevice
