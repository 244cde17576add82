#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/watcher.h>

#include "device/portprobe.h"
#include "device/portsources.h"
#include "logging/logger.h"

#include <QIODevice>
#include <QPointer>
#include <QTimer>

namespace KvDevice {

Watcher::Watcher(QObject *parent)
    : QObject(parent)
    , parser(new Nmea::ParserInit)
{
    qRegisterMetaType<KvDevice::Communicator *>("KvDevice::Communicator*");
    qRegisterMetaType<KvDevice::PortInfo>("KvDevice::PortInfo");
    qRegisterMetaType<KvDevice::PortReport>("KvDevice::PortReport");
    parser->init();
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

bool Watcher::start(const QList<Type> &requested)
{
    if (events || requested.isEmpty()) {
        KVLOG(Error).write() << (events ? "Watcher already started" : "No device types specified");
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
            ownSource = SystemSource::create(usedSource);
        if (!ownSource) {
            KVLOG(Error).write() << "Cannot watch for ports";
            return false;
        }
        events = ownSource.get();
    }
    // Listening first, then listing: nothing that appears in between is missed, and what
    // both report is known once.
    if (!events->start()) {
        KVLOG(Error).write() << "Cannot watch for ports";
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
    const auto all = ports;
    ports.clear();
    for (const Port &port : all) {
        delete port.probe; // closes its port; no report
        if (port.comm) // the host's now; its failures are no longer ours
            port.comm->disconnect(this);
    }
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
    // Queued, probed, attached or concluded: an event adds nothing until the port is gone.
    if (!events || ports.contains(info.name))
        return;
    if (listed && (!Initializer::isCandidate(info.manufacturer, info.hasUsbIds ? info.vendorId : 0) || (portFilter && !portFilter(info))))
        return;
    ports[info.name].info = info;
    // Never inside the source's own slot: from the event loop, at once.
    const QString name = info.name;
    QTimer::singleShot(0, this, [this, name] { probe(name); });
}

void Watcher::probe(const QString &name)
{
    if (!ports.contains(name) || ports[name].probe || ports[name].type != NoDevice)
        return;
    PortProbe::Settings settings;
    settings.types = types;
    settings.maxRetries = maxRetries;
    settings.answerTimeoutMs = answerTimeoutMs;
    settings.openRetryWindowMs = openRetryWindowMs;
    auto *probe = new PortProbe(ports[name].info, settings, parser.get(), this);
    ports[name].probe = probe;
    connect(probe, &PortProbe::concluded, this, [this, name, probe](const PortReport &report, Communicator *comm) {
        probe->deleteLater();
        auto it = ports.find(name);
        if (it == ports.end() || it->probe != probe)
            return;
        it->probe = nullptr;
        if (!comm) {
            emit portConcluded(report);
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

void Watcher::portRemoved(const QString &name)
{
    const auto it = ports.find(name);
    if (it == ports.end())
        return;
    if (it->type != NoDevice) {
        detach(name);
        return;
    }
    if (it->probe) {
        const QPointer<Watcher> alive(this);
        it->probe->vanish(); // reports it Vanished, to a host that may delete this
        if (!alive)
            return;
    }
    ports.remove(name);
}

void Watcher::detach(const QString &name)
{
    const auto it = ports.find(name);
    if (it == ports.end() || it->type == NoDevice)
        return;
    const Port port = *it;
    ports.erase(it);
    // A board kept by the host must not detach a later one under the same name.
    if (port.comm)
        port.comm->disconnect(this);
    // Closed at once, whatever the host does: a failed port left open keeps a core busy.
    if (auto *device = qobject_cast<QIODevice *>(port.device.data()))
        device->close();
    emit deviceDetached(port.type, port.info);
}

} // namespace KvDevice
