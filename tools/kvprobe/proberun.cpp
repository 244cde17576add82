// SPDX-License-Identifier: MIT
#include "proberun.h"

#include "askrun.h"
#include "common.h"

#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>
#include <kvdevice/recordingtap.h>
#include <kvdevice/sessioninit.h>

#include <QIODevice>
#include <QJsonObject>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTimer>


using KvDevice::Type;

ProbeRun::ProbeRun(const ProbeOptions &probeOptions, QObject *parent)
    : QObject(parent)
    , options(probeOptions)
{
    if (options.details)
        options.asker = [this](Type type, const QString &port, KvDevice::Communicator *comm) { return askDetails(type, port, comm); };
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
        // Then as any run that found nothing: scripts wait for each type's verdict.
        for (const Type type : qAsConst(options.types))
            onNotFound(type);
        runOver = true;
        maybeFinish();
        return;
    }
    initializer = new KvDevice::Initializer;
    initializer->setMaxRetries(options.retries);
    initializer->setAnswerTimeout(options.timeoutMs);
    initializer->setRaiseModemLines(options.raiseModemLines);
    if (options.everyBoard)
        initializer->setHandOverPolicy(KvDevice::Initializer::EveryBoard);
    if (!options.serials.isEmpty()) {
        const QStringList serials = options.serials;
        initializer->setPortFilter([serials](const KvDevice::PortInfo &port) { return serials.contains(port.serialNumber); });
    }
    initializer->setRecordingTap(options.tap);
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
    const auto infos = KvDevice::PortInfo::fromSystem(available);
    for (int i = 0; i < available.size(); ++i) {
        if (KvDevice::Initializer::isCandidate(available.at(i)) && (options.serials.isEmpty() || options.serials.contains(infos.at(i).serialNumber)))
            return true;
    }
    return false;
}

void ProbeRun::onFound(Type type, KvDevice::Communicator *comm)
{
    auto device = std::make_unique<Device>();
    device->type = type;
    device->comm = comm;
    device->port = comm->ioDevice() ? comm->ioDevice()->objectName() : QString();
    Device *raw = device.get();
    devices.push_back(std::move(device));
    if (options.asker) {
        raw->waiting = true;
        // The communicator is still handing out received data: ask from the event loop.
        QTimer::singleShot(0, this, [this, raw] {
            KvDevice::Request *request = options.asker(raw->type, raw->port, raw->comm);
            connect(request, &KvDevice::Request::finished, this, [this, raw](const KvDevice::Request::Result &result) {
                raw->waiting = false;
                // A vanished port keeps failing until it is closed.
                if (result.status != KvDevice::Request::Answered) {
                    ++unanswered;
                    if (QIODevice *port = raw->comm->ioDevice())
                        QTimer::singleShot(0, port, [port] { port->close(); });
                }
                maybeFinish();
            });
        });
    }
}

void ProbeRun::onReport(const KvDevice::PortReport &report)
{
    const QString outcome = Tool::outcomeName(report.outcome);
    if (options.tap && report.outcome == KvDevice::Identified) {
        for (const auto &device : devices) {
            if (device->port == report.port.name)
                options.tap->recordAttached(device->comm, report.type, report.answer);
        }
    }
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

KvDevice::Request *ProbeRun::askDetails(Type type, const QString &port, KvDevice::Communicator *comm)
{
    KvDevice::Query query = type == KvDevice::InfoDevice ? KvDevice::InitQuery::information() : KvDevice::InitQuery::version();
    query.timeoutMs = detailsTimeoutMs;
    query.retries = 0;
    auto *request = KvDevice::Request::send(comm, query);
    if (options.tap)
        options.tap->recordRequest(comm, request, query);
    connect(request, &KvDevice::Request::finished, this, [this, type, port](const KvDevice::Request::Result &result) {
        const auto *answer = result.answerAs<KvDevice::SessionInit>();
        if (!answer) {
            const QString error = result.status == KvDevice::Request::NoAnswer ? QStringLiteral("no answer within %1 ms").arg(detailsTimeoutMs)
                                  : result.status == KvDevice::Request::PortFailed ? QStringLiteral("port lost")
                                                                                 : Tool::reason(result);
            if (options.json)
                Tool::printJson({{QStringLiteral("event"), QStringLiteral("details")},
                                 {QStringLiteral("type"), Tool::typeName(type)},
                                 {QStringLiteral("port"), port},
                                 {QStringLiteral("error"), error}});
            else
                Tool::printLine(QStringLiteral("details %1 %2 failed: %3").arg(Tool::typeName(type), port, error));
            return;
        }
        QJsonObject values;
        QStringList text;
        Tool::initFields(*answer, &values, &text);
        if (options.json)
            Tool::printJson({{QStringLiteral("event"), QStringLiteral("details")},
                             {QStringLiteral("type"), Tool::typeName(type)},
                             {QStringLiteral("port"), port},
                             {QStringLiteral("details"), values}});
        else
            Tool::printLine(QStringLiteral("details %1 %2 %3").arg(Tool::typeName(type), port, text.join(QLatin1Char(' '))));
    });
    return request;
}

void ProbeRun::maybeFinish()
{
    // Every port is reported once the run is over; answers may still be on their way.
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
    emit finished(notFound == 0 && unanswered == 0 ? 0 : 1);
}

void ProbeRun::releaseDevice(Device *device)
{
    if (!device->comm)
        return;
    QIODevice *port = device->comm->ioDevice();
    if (port)
        port->close();
    delete device->comm;
    device->comm = nullptr;
    delete port;
}
