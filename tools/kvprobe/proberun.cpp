#include "proberun.h"

#include "common.h"

#include <kvdevice/communicator.h>
#include <kvdevice/exception.h>
#include <kvdevice/initializer.h>
#include <kvdevice/sessioninit.h>

#include <QJsonObject>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTimer>

#include <algorithm>

using KvDevice::Type;

ProbeRun::ProbeRun(const ProbeOptions &probeOptions, QObject *parent)
    : QObject(parent)
    , options(probeOptions)
{
    parser.init();
}

ProbeRun::~ProbeRun()
{
    delete initializer;
    for (auto &device : devices)
        releaseDevice(device.get());
}

void ProbeRun::start()
{
    clock.start();
    if (options.ports.isEmpty() && !hasCandidate()) {
        const QString detail = QStringLiteral("no candidate port: the system lists no serial port of STMicroelectronics "
                                              "(USB vendor 0483)%1; kvprobe --list shows every port")
                                   .arg(options.serials.isEmpty() ? QString() : QStringLiteral(" with serial number ") + options.serials.join(QStringLiteral(" or ")));
        if (options.json)
            Tool::printJson({{QStringLiteral("event"), QStringLiteral("no_candidate")}, {QStringLiteral("detail"), detail}});
        else
            Tool::printLine(detail);
        emit finished(1);
        return;
    }
    initializer = new KvDevice::Initializer;
    initializer->setMaxRetries(options.retries);
    initializer->setAnswerTimeout(options.timeoutMs);
    if (options.everyBoard)
        initializer->setHandOverPolicy(KvDevice::Initializer::EveryBoard);
    if (!options.serials.isEmpty()) {
        const QStringList serials = options.serials;
        initializer->setPortFilter([serials](const KvDevice::PortInfo &port) { return serials.contains(port.serialNumber); });
    }
    connect(initializer, &KvDevice::Initializer::deviceInitialized, this, &ProbeRun::onFound);
    connect(initializer, &KvDevice::Initializer::deviceNotFound, this, &ProbeRun::onNotFound);
    connect(initializer, &KvDevice::Initializer::portConcluded, this, &ProbeRun::onReport);
    connect(initializer, &KvDevice::Initializer::finished, this, [this] {
        runOver = true;
        maybeFinish();
    });
    initializer->probe(options.types, options.delayMs, options.ports);
}

bool ProbeRun::hasCandidate() const
{
    const auto available = QSerialPortInfo::availablePorts();
    return std::any_of(available.begin(), available.end(), [this](const QSerialPortInfo &port) {
        return KvDevice::Initializer::isCandidate(port)
               && (options.serials.isEmpty() || options.serials.contains(KvDevice::PortInfo::fromSystem(port).serialNumber));
    });
}

void ProbeRun::onFound(Type type, KvDevice::Communicator *comm)
{
    auto device = std::make_unique<Device>();
    device->type = type;
    device->comm = comm;
    device->port = comm->ioDevice() ? comm->ioDevice()->objectName() : QString();
    Device *raw = device.get();
    devices.push_back(std::move(device));
    if (options.details) {
        raw->waiting = true;
        // The communicator is still handing out received data: ask from the event loop.
        QTimer::singleShot(0, this, [this, raw] { askDetails(raw); });
    }
}

void ProbeRun::onReport(const KvDevice::PortReport &report)
{
    const QString outcome = Tool::outcomeName(report.outcome);
    if (options.json) {
        if (report.outcome == KvDevice::Identified)
            Tool::printJson(Tool::portJson(report.port, QStringLiteral("found"), report.type));
        Tool::printJson(Tool::reportJson(report));
    } else if (report.outcome == KvDevice::Identified) {
        Tool::printLine(QStringLiteral("found %1 %2%3").arg(Tool::typeName(report.type), report.port.name,
                                                            report.port.serialNumber.isEmpty() ? QString() : QStringLiteral(" serial ") + report.port.serialNumber));
    } else {
        undelivered << QStringLiteral("port %1 %2: %3%4").arg(report.port.name, outcome, report.detail, Tool::advice(report));
    }
    maybeFinish();
}

void ProbeRun::onNotFound(Type type)
{
    ++notFound;
    if (options.json)
        Tool::printJson({{QStringLiteral("event"), QStringLiteral("not_found")},
                         {QStringLiteral("type"), Tool::typeName(type)}});
    else
        Tool::printLine(QStringLiteral("not-found %1").arg(Tool::typeName(type)));
    maybeFinish();
}

void ProbeRun::askDetails(Device *device)
{
    KvDevice::Communicator *comm = device->comm;
    // Whatever the board sent before the hand-over is not an answer to this query.
    QString stale;
    while (comm->readPayload(stale, 0)) {
    }
    comm->setParser(&parser);
    connect(comm, qOverload<>(&KvDevice::Communicator::readyRead), this, [this, device] { readDetails(device); });
    connect(comm, &KvDevice::Communicator::readFailed, this,
            [this, device] { endDetails(device, QStringLiteral("port lost")); });

    device->timer = new QTimer(this);
    device->timer->setSingleShot(true);
    connect(device->timer, &QTimer::timeout, this, [this, device] {
        endDetails(device, QStringLiteral("no answer within %1 ms").arg(detailsTimeoutMs));
    });
    device->timer->start(detailsTimeoutMs);

    KvDevice::SessionInit query;
    query.clear();
    if (device->type == KvDevice::InfoDevice) {
        query.sentenceId = KvDevice::InfoRequestSentence;
        query.parameters.insert(KvDevice::InitField::Subcommand, KvDevice::InfoSubcommand);
    } else {
        query.sentenceId = KvDevice::VersionSentence;
    }
    if (comm->writePayload(&query) == 0)
        endDetails(device, QStringLiteral("query not written"));
}

void ProbeRun::readDetails(Device *device)
{
    if (!device->waiting)
        return;
    const int expected = device->type == KvDevice::InfoDevice ? KvDevice::InfoAnswerSentence : KvDevice::VersionSentence;
    QString payload;
    while (device->comm->readPayload(payload, 0)) {
        KvDevice::SessionInit answer;
        answer.clear();
        try {
            parser.parse(&answer, payload);
        } catch (const Nmea::Exception &) {
            continue; // not an answer; wait for one until the time-out
        }
        if (answer.sentenceId != expected)
            continue;

        const QStringList &fields = expected == KvDevice::InfoAnswerSentence ? KvDevice::InitField::InfoAnswer : KvDevice::InitField::VersionAnswer;
        QJsonObject values;
        QStringList text;
        for (const QString &field : fields) {
            const QVariant value = answer.parameters.value(field);
            values.insert(field, QJsonValue::fromVariant(value));
            text << field + QLatin1Char('=') + value.toString();
        }
        if (options.json)
            Tool::printJson({{QStringLiteral("event"), QStringLiteral("details")},
                             {QStringLiteral("type"), Tool::typeName(device->type)},
                             {QStringLiteral("port"), device->port},
                             {QStringLiteral("details"), values}});
        else
            Tool::printLine(QStringLiteral("details %1 %2 %3")
                                .arg(Tool::typeName(device->type), device->port, text.join(QLatin1Char(' '))));
        endDetails(device, QString());
        return;
    }
}

void ProbeRun::endDetails(Device *device, const QString &error)
{
    if (!device->waiting)
        return;
    device->waiting = false;
    device->timer->stop();
    if (!error.isEmpty()) {
        ++detailsFailed;
        if (options.json)
            Tool::printJson({{QStringLiteral("event"), QStringLiteral("details")},
                             {QStringLiteral("type"), Tool::typeName(device->type)},
                             {QStringLiteral("port"), device->port},
                             {QStringLiteral("error"), error}});
        else
            Tool::printLine(QStringLiteral("details %1 %2 failed: %3").arg(Tool::typeName(device->type), device->port, error));
    }
    // A vanished port keeps failing until it is closed.
    if (auto *port = qobject_cast<QSerialPort *>(device->comm->ioDevice()); port && !error.isEmpty())
        QTimer::singleShot(0, port, [port] { port->close(); });
    maybeFinish();
}

void ProbeRun::maybeFinish()
{
    // Every port is reported once the run is over; details may still be on their way.
    if (finishing || !runOver)
        return;
    for (const auto &device : devices) {
        if (device->waiting)
            return;
    }
    finishing = true;
    // Called from the library's signals: end the run from the event loop.
    QTimer::singleShot(0, this, &ProbeRun::finish);
}

void ProbeRun::finish()
{
    delete initializer;
    initializer = nullptr;
    for (auto &device : devices)
        releaseDevice(device.get());
    for (const QString &line : qAsConst(undelivered))
        Tool::printLine(line);

    const int found = int(devices.size());
    const qint64 elapsed = clock.elapsed();
    if (options.json)
        Tool::printJson({{QStringLiteral("event"), QStringLiteral("done")},
                         {QStringLiteral("found"), found},
                         {QStringLiteral("not_found"), notFound},
                         {QStringLiteral("elapsed_ms"), elapsed}});
    else
        Tool::printLine(QStringLiteral("done: %1 found, %2 not found, %3 ms").arg(found).arg(notFound).arg(elapsed));
    emit finished(notFound == 0 && detailsFailed == 0 ? 0 : 1);
}

void ProbeRun::releaseDevice(Device *device)
{
    if (!device->comm)
        return;
    QIODevice *port = device->comm->ioDevice();
    delete device->comm;
    device->comm = nullptr;
    if (port) {
        port->close();
        delete port;
    }
}
