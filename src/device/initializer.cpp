// SPDX-License-Identifier: MIT
#include <kvdevice/communicator.h>
#include <kvdevice/exception.h>
#include <kvdevice/initializer.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/recordingtap.h>
#include <kvdevice/sessioninit.h>

#include "device/answerledger.h"
#include "device/portprobe.h"
#include "logging/logger.h"
#include "transport/portdevice.h"

#include <QMetaEnum>
#include <QPointer>
#include <QSerialPort>
#include <QSignalMapper>
#include <QTimer>

namespace KvDevice {

namespace {
constexpr qint32 baudRate = 115200;

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
const char *const mappedObjectSignal = SIGNAL(mapped(QObject *));
#else
const char *const mappedObjectSignal = SIGNAL(mappedObject(QObject *));
#endif

// How many of the initializers' slots are running in this thread. A host may destroy an
// initializer from a slot connected to its signals; the mapper, timer, port or
// communicator whose signal led there is then still on the call stack and must outlive
// the initializer until the stack has unwound.
thread_local int slotDepth = 0;
struct InSlot
{
    InSlot() { ++slotDepth; }
    ~InSlot() { --slotDepth; }
    InSlot(const InSlot &) = delete;
    InSlot &operator=(const InSlot &) = delete;
};

// The name the port was opened by: the host's for names given to probe().
QString portNameOf(const Communicator *comm)
{
    const QIODevice *port = comm->ioDevice();
    return port ? port->objectName() : QString();
}

} // namespace

Initializer::Initializer(QObject *parent)
    : QObject(parent)
    , readyReadMapper(nullptr)
    , timeoutMapper(nullptr)
    , parser(nullptr)
    , stage2Timer(nullptr)
    , retryCount(0)
    , maxRetries(3)
{
    qRegisterMetaType<KvDevice::Communicator *>("KvDevice::Communicator*");
    qRegisterMetaType<KvDevice::PortInfo>("KvDevice::PortInfo");
    qRegisterMetaType<KvDevice::PortReport>("KvDevice::PortReport");
    qRegisterMetaType<KvDevice::PortOutcome>("KvDevice::PortOutcome");
    clock.start();

    readyReadMapper = new QSignalMapper(this);
    connect(readyReadMapper, mappedObjectSignal, this, SLOT(boardReadyRead(QObject*)));
    timeoutMapper = new QSignalMapper(this);
    connect(timeoutMapper, mappedObjectSignal, this, SLOT(readTimeout(QObject*)));
    parser = new Nmea::ParserInit;
    parser->init();
    stage2Timer = new QTimer(this);
    stage2Timer->setSingleShot(true);
    stage2Timer->setTimerType(Qt::PreciseTimer); // no byte may reach a board before the delay
    connect(stage2Timer, SIGNAL(timeout()), this, SLOT(probeStage2()));
}

Initializer::~Initializer()
{
    const bool fromOwnSlot = slotDepth > 0;
    auto dispose = [fromOwnSlot](QObject *object) {
        if (fromOwnSlot) {
            object->setParent(nullptr);
            object->deleteLater();
        } else {
            delete object;
        }
    };

    stage2Timer->stop();
    for (QObject *helper : {static_cast<QObject *>(stage2Timer), static_cast<QObject *>(readyReadMapper),
                            static_cast<QObject *>(timeoutMapper)}) {
        helper->disconnect();
        dispose(helper);
    }

    const auto timers = portTimers;
    for (auto it = timers.cbegin(); it != timers.cend(); ++it) {
        it.value()->stop();
        it.value()->disconnect();
        dispose(it.value());
        Communicator *comm = it.key();
        if (portStatus.value(comm, NoDevice) != NoDevice)
            continue; // the host's
        comm->disconnect();
        if (QIODevice *port = comm->ioDevice()) {
            comm->setIODevice(nullptr);
            if (port->isOpen())
                port->close();
            dispose(port);
        }
        dispose(comm);
    }
    portStatus.clear();
    portTimers.clear();
    requestedTypes.clear();
    delete parser;
    KVLOG(Trace).write() << "*** Initializer deleted ***";
}

bool Initializer::isCandidate(const QString &manufacturer, quint16 vendorIdentifier)
{
    return manufacturer == QLatin1String("STMicroelectronics.") || vendorIdentifier == 0x0483;
}

bool Initializer::isCandidate(const QSerialPortInfo &port)
{
    return isCandidate(port.manufacturer(), port.hasVendorIdentifier() ? port.vendorIdentifier() : 0);
}

bool Initializer::openPort(QSerialPort *port, const QString &name, bool raiseModemLines, PortOutcome *outcome, QString *detail)
{
    return PortProbe::openForProbing(port, name, baudRate, raiseModemLines, outcome, detail);
}

PortOutcome Initializer::openFailure(const QSerialPort &port, QString *detail)
{
    return PortProbe::openFailure(port, detail);
}

PortOutcome Initializer::openFailure(QSerialPort::SerialPortError error, const QString &portName, QString *detail)
{
    return PortProbe::openFailure(error, portName, detail);
}

bool Initializer::probe(const QList<Type> &types, int delay, const QList<QString> &names)
{
    if (!requestedTypes.isEmpty()) { // a run with types has been started
        KVLOG(Error).write() << "Probe already started: use a new Initializer for another run";
        return false;
    }
    requestedTypes = types;
    if (requestedTypes.isEmpty()) {
        KVLOG(Error).write() << "No device types specified";
        return false;
    }

    if (!names.isEmpty()) {
        // Given names are opened by name. QSerialPortInfo(name) would be null for ports
        // the system does not list (pseudo-terminals, /dev/serial/by-id links), would
        // open a listed port by the same path, and costs a scan of every port (~15 ms).
        for (const QString &name : names) {
            ports.append(QSerialPortInfo());
            portNames.append(name);
            portInfos.append(PortInfo());
        }
    } else {
        ports.clear();
        portNames.clear();
        portInfos.clear();
        const auto available = QSerialPortInfo::availablePorts();
        const auto identities = PortInfo::fromSystem(available);
        for (int i = 0; i < available.size(); ++i) {
            const QSerialPortInfo &info = available.at(i);
            const PortInfo &identity = identities.at(i);
            if (isCandidate(info) && (!portFilter || portFilter(identity))) {
                ports.append(info);
                portNames.append(info.portName());
                portInfos.append(identity);
            }
        }
    }

    if (requestedTypes.contains(InfoDevice) && delay > 0)
        stage2Timer->start(delay);
    else
        probeStage2();
    return true;
}

void Initializer::probeStage2()
{
    const InSlot inSlot;
    const auto candidates = ports;
    const auto names = portNames;
    const auto identities = portInfos;
    for (int i = 0; i < candidates.size(); ++i) {
        const QSerialPortInfo &info = candidates.at(i);
        const QString &name = names.at(i);
        const qint64 start = clock.elapsed();
        if (info.isNull() && isRemoteName(name)) {
            if (!openRemote(name, start))
                return;
            continue;
        }
        auto *port = new QSerialPort;
        if (info.isNull())
            port->setPortName(resolvedPortName(name));
        else
            port->setPort(info);
        PortReport report;
        report.port = info.isNull() ? PortInfo::forName(name) : identities.at(i);
        if (!PortProbe::openForProbing(port, info.isNull() ? name : identities.at(i).name, baudRate, raiseModemLines, &report.outcome,
                                       &report.detail)) {
            KVLOG(Trace).write() << "Serial port not accessible: " << name << " - " << int(port->error());
            delete port;
            if (!publish(report, start))
                return;
            continue;
        }
        KVLOG(Trace).write() << "Serial port opened for probing: " << name;
        HeldPorts::instance()->add(port, resolvedPortName(info.isNull() ? name : identities.at(i).name));

        Communicator *comm = createCommunicator(port);
        if (recordingTap)
            recordingTap->follow(comm, report.port);
        // Its answers are counted, so that a host's requests never take a late one.
        counted.insert(comm, AnswerLedger::of(comm)->open(AnswerLedger::PassThrough, answerTimeoutMs));
        opened.append(comm);
        openedAt.insert(comm, start);
        pending[comm] = report;
        portTimers.insert(comm, createTimeoutTimer(comm));
        watchPort(comm);
        queryBoardVersion(comm);
        connect(comm, SIGNAL(readyRead()), readyReadMapper, SLOT(map()));
        readyReadMapper->setMapping(comm, comm);
    }

    if (portTimers.isEmpty()) {
        const QPointer<Initializer> self(this);
        const auto wanted = requestedTypes;
        for (const Type type : wanted) {
            emit deviceNotFound(type);
            if (!self)
                return;
        }
        emit finished();
    }
}

bool Initializer::openRemote(const QString &name, qint64 start)
{
    PortReport report;
    report.port = PortInfo::forName(name);
    QIODevice *port = createPortDevice(name);
    auto *comm = new Communicator(nullptr);
    comm->setIODevice(port);
    const auto ready = [this, comm] {
        const InSlot inSlot;
        remoteReady(comm);
    };
    const auto failed = [this, comm](PortOutcome outcome, const QString &detail) {
        const InSlot inSlot;
        remoteFailed(comm, outcome, detail);
    };
    if (!connectRemote(port, this, ready, failed, &report.outcome, &report.detail)) {
        KVLOG(Trace).write() << "Remote port not accessible: " << name << " - " << report.detail;
        delete comm;
        delete port;
        return publish(report, start);
    }
    KVLOG(Trace).write() << "Remote port connecting for probing: " << name;
    connecting.insert(comm);
    opened.append(comm);
    openedAt.insert(comm, start);
    pending[comm] = report;
    QTimer *timer = createTimeoutTimer(comm);
    timer->stop(); // the answer time-out starts once the port is ready
    portTimers.insert(comm, timer);
    watchPort(comm);
    connect(comm, SIGNAL(readyRead()), readyReadMapper, SLOT(map()));
    readyReadMapper->setMapping(comm, comm);
    return true;
}

void Initializer::remoteReady(Communicator *comm)
{
    if (!connecting.remove(comm))
        return;
    KVLOG(Trace).write() << "Remote port opened for probing: " << portNameOf(comm);
    counted.insert(comm, AnswerLedger::of(comm)->open(AnswerLedger::PassThrough, answerTimeoutMs));
    portTimers.value(comm)->start(answerTimeoutMs);
    queryBoardVersion(comm);
}

void Initializer::remoteFailed(Communicator *comm, PortOutcome outcome, const QString &detail)
{
    if (!portTimers.contains(comm) || vanishedPorts.contains(comm))
        return;
    // Never asked again: the port concludes with why, at once when it was never ready (as
    // a port that did not open), else when the run ends (as a port that vanished).
    const bool neverReady = connecting.remove(comm);
    vanishedPorts.insert(comm);
    portTimers.value(comm)->stop();
    KVLOG(Trace).write() << (neverReady ? "Remote port not accessible: " : "Remote port lost: ") << portNameOf(comm) << " - " << detail;
    if (pending.contains(comm)) {
        pending[comm].outcome = outcome;
        pending[comm].detail = detail;
    }
    if (neverReady && !concludePort(comm))
        return;
    if (!portStatus.contains(comm))
        setCommStatus(comm, NoDevice);
}

unsigned int Initializer::setMaxRetries(unsigned int limit)
{
    const unsigned int previous = maxRetries;
    maxRetries = limit;
    return previous;
}

Communicator *Initializer::createCommunicator(QSerialPort *port)
{
    auto *comm = new Communicator(nullptr);
    comm->setIODevice(port);
    return comm;
}

QTimer *Initializer::createTimeoutTimer(Communicator *comm)
{
    auto *timer = new QTimer(this);
    // A coarse timer may fire up to 5 % early and miss a board that answers at 390 ms.
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, SIGNAL(timeout()), timeoutMapper, SLOT(map()));
    timeoutMapper->setMapping(timer, comm);
    timer->setSingleShot(true);
    timer->start(answerTimeoutMs);
    return timer;
}

Communicator *Initializer::isCommunicator(QObject *obj)
{
    auto *comm = qobject_cast<Communicator *>(obj);
    return comm && portTimers.contains(comm) ? comm : nullptr;
}

void Initializer::watchPort(Communicator *comm)
{
    connect(comm, &Communicator::readFailed, this, [this, comm] { portVanished(comm); });
}

void Initializer::portVanished(Communicator *comm)
{
    const InSlot inSlot;
    // An unplugged board: close its port at once, which also ends Qt's stream of read
    // errors, and let the port conclude without waiting for its time-out.
    if (!portTimers.contains(comm) || vanishedPorts.contains(comm))
        return;
    vanishedPorts.insert(comm);
    portTimers.value(comm)->stop();
    if (QIODevice *port = comm->ioDevice())
        port->close();
    KVLOG(Warning).write() << "Serial port lost: " << portNameOf(comm);
    if (pending.contains(comm)) {
        pending[comm].outcome = Vanished;
        pending[comm].detail = PortProbe::failedAfterOpening();
    }
    if (!portStatus.contains(comm))
        setCommStatus(comm, NoDevice);
}

bool Initializer::hasPortToRetry() const
{
    for (auto it = portTimers.cbegin(); it != portTimers.cend(); ++it) {
        if (portStatus.value(it.key(), NoDevice) == NoDevice && !vanishedPorts.contains(it.key()))
            return true;
    }
    return false;
}

void Initializer::retryProbe()
{
    KVLOG(Warning).write() << "Retry probing";
    const auto timers = portTimers;
    for (auto it = timers.cbegin(); it != timers.cend(); ++it) {
        Communicator *comm = it.key();
        if (portStatus.value(comm, NoDevice) != NoDevice || vanishedPorts.contains(comm))
            continue;
        portStatus.remove(comm);
        it.value()->start(answerTimeoutMs);
        queryBoardVersion(comm);
    }
}

void Initializer::readTimeout(QObject *obj)
{
    const InSlot inSlot;
    Communicator *comm = isCommunicator(obj);
    if (!comm)
        return;
    KVLOG(Trace).write() << "Read timeout for: " << portNameOf(comm);
    setCommStatus(comm, NoDevice);
}

bool Initializer::sendProtocol(Communicator *comm, SessionInit *session)
{
    try {
        QString sentence;
        parser->build(session, sentence);
        comm->writePayload(sentence);
        return true;
    } catch (const Nmea::Exception &e) {
        KVLOG(Error).write() << "Build failed: " << e.message();
        return false;
    }
}

void Initializer::queryBoardVersion(Communicator *comm)
{
    const auto sentences = PortProbe::querySentences(requestedTypes);
    for (const int sentence : sentences) {
        SessionInit session = PortProbe::query(sentence);
        if (sendProtocol(comm, &session))
            AnswerLedger::of(comm)->sent(counted.value(comm), PortProbe::answerAddress(sentence));
    }
    if (pending.contains(comm))
        ++pending[comm].queries;
}

void Initializer::boardReadyRead(QObject *obj)
{
    const InSlot inSlot;
    Communicator *comm = isCommunicator(obj);
    if (!comm)
        return;
    KVLOG(Trace).write() << "Read succes on port: " << portNameOf(comm);

    QString payload;
    while (comm->readPayload(payload, 0)) {
        PortReport report = pending.value(comm);
        QString parseError;
        const bool identified = PortProbe::classify(*parser, payload, requestedTypes, &report, &parseError);
        if (!parseError.isEmpty()) {
            KVLOG(Error).write() << "Parse failed: " << parseError;
            garbled.insert(comm, parseError);
        }
        if (!identified) {
            // The time-out still concludes a port that says nothing useful.
            if (pending.contains(comm))
                pending[comm] = report;
            continue;
        }

        Type type = report.type;
        portTimers.value(comm)->stop();
        comm->disconnect();
        pending[comm] = report;
        for (auto it = portStatus.cbegin(); handOverPolicy == FirstOfType && it != portStatus.cend(); ++it) {
            if (it.value() == type && it.key() != comm) {
                type = NoDevice; // the first port that delivered the type keeps it
                watchPort(comm);  // still ours: close it if it vanishes
                pending[comm].outcome = Duplicate;
                pending[comm].detail = QStringLiteral("another port delivered this type first");
                if (!concludePort(comm))
                    return;
                break;
            }
        }
        setCommStatus(comm, type);
        return;
    }
}

void Initializer::setCommStatus(Communicator *comm, Type type)
{
    portStatus.insert(comm, type);
    const QPointer<Initializer> self(this);
    if (type != NoDevice) {
        // The host's from now on; a port that fails is closed all the same, or it keeps a
        // core busy until the host closes it (a remote port closes itself: the run stops
        // listening to it).
        if (auto *port = qobject_cast<QSerialPort *>(comm->ioDevice()))
            PortProbe::closeWhenGone(port);
        else if (QIODevice *device = comm->ioDevice())
            device->disconnect(this);
        emit deviceInitialized(type, comm);
        if (!self || !concludePort(comm))
            return;
    }
    if (portStatus.size() < portTimers.size())
        return;

    QSet<Type> held;
    for (const Type status : qAsConst(portStatus))
        held.insert(status);
    const auto wanted = requestedTypes;
    for (const Type wantedType : wanted) {
        if (held.contains(wantedType) && handOverPolicy == FirstOfType)
            continue;
        // A pass that would ask no port would also never time out. With EveryBoard any
        // silent port is asked again, wanted types found or not.
        if (retryCount < maxRetries && hasPortToRetry()) {
            ++retryCount;
            retryProbe();
            return;
        }
        if (held.contains(wantedType))
            continue;
        emit deviceNotFound(wantedType);
        if (!self)
            return;
    }

    readyReadMapper->disconnect();
    timeoutMapper->disconnect();
    KVLOG(Debug).write() << "Disconnect from signals";
    const auto ports = opened;
    for (Communicator *port : ports) {
        if (!concludePort(port))
            return;
    }
    emit finished();
}

bool Initializer::publish(PortReport report, qint64 startMs)
{
    report.elapsedMs = clock.elapsed() - startMs;
    concluded.append(report);
    const QPointer<Initializer> self(this);
    emit portConcluded(report);
    return self;
}

bool Initializer::concludePort(Communicator *comm)
{
    if (!pending.contains(comm))
        return true;
    PortReport report = pending.take(comm);
    if (report.outcome == NoAnswer)
        report.detail = PortProbe::silence(report.queries, answerTimeoutMs, garbled.value(comm));
    return publish(report, openedAt.value(comm));
}

} // namespace KvDevice
