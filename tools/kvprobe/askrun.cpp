// SPDX-License-Identifier: MIT
#include "askrun.h"

#include "common.h"

#include <kvdevice/communicator.h>
#include <kvdevice/exception.h>
#include <kvdevice/initializer.h>
#include <kvdevice/recordingtap.h>
#include <kvdevice/sessioninit.h>


using KvDevice::Request;

bool AskRun::makeQuery(const QString &line, const QString &expect, KvDevice::Query *query, QString *error)
{
    const QString sentence = Tool::frameSentence(line);
    const QString body = sentence.mid(1).section(QLatin1Char('*'), 0, 0);
    if (sentence.isEmpty()) {
        *error = QStringLiteral("--ask takes a sentence, not an empty text");
        return false;
    }
    if (!expect.isEmpty()) {
        query->answer = expect;
    } else if (body == QLatin1String("PKVVER")) {
        *query = KvDevice::InitQuery::version();
    } else if (body == QLatin1String("PTKVWR,INF")) {
        *query = KvDevice::InitQuery::information();
    } else {
        *error = QStringLiteral("--expect ID is needed: %1 is none of the init protocol's queries (PKVVER, PTKVWR,INF)").arg(sentence.trimmed());
        return false;
    }
    query->sentence = sentence; // as typed, a wrong checksum too
    return true;
}

AskRun::AskRun(const AskOptions &askOptions, QObject *parent)
    : QObject(parent)
    , options(askOptions)
{
    options.query.timeoutMs = options.probe.timeoutMs;
    options.query.retries = int(options.probe.retries);
    parser.init();
}

AskRun::~AskRun()
{
    run.reset();
    for (const auto &[port, comm] : opened) {
        port->close();
        delete comm;
        delete port;
    }
}

void AskRun::start()
{
    if (options.probe.ports.isEmpty()) {
        ProbeOptions probe = options.probe;
        probe.asker = [this](KvDevice::Type, const QString &port, KvDevice::Communicator *comm) { return ask(port, comm); };
        run = std::make_unique<ProbeRun>(probe);
        connect(run.get(), &ProbeRun::finished, this, &AskRun::maybeFinish);
        run->start();
        return;
    }
    // Named ports are asked as they are, without the identifying handshake, once ready.
    for (const QString &name : qAsConst(options.probe.ports)) {
        auto *comm = new KvDevice::Communicator;
        const auto ready = [this, name, comm] {
            connect(ask(name, comm), &Request::finished, this, [this] {
                --pending;
                maybeFinish();
            });
        };
        const auto failed = [this, name](const KvDevice::PortReport &report) {
            cannotOpen(name, report);
            --pending;
            maybeFinish();
        };
        KvDevice::PortReport report;
        QIODevice *port = Tool::openPort(name, this, ready, failed, &report, options.probe.raiseModemLines);
        if (!port) {
            delete comm;
            cannotOpen(name, report);
            continue;
        }
        comm->setIODevice(port);
        if (options.probe.tap)
            options.probe.tap->follow(comm, KvDevice::PortInfo::forName(name));
        // A vanished port keeps failing until it is closed.
        connect(comm, &KvDevice::Communicator::readFailed, port, [port] { port->close(); });
        opened.emplace_back(port, comm);
        ++pending;
    }
    maybeFinish();
}

void AskRun::cannotOpen(const QString &port, const KvDevice::PortReport &report)
{
    ++asked;
    Request::Result result;
    result.status = Request::NotSent;
    result.error = QStringLiteral("cannot open it: ") + report.detail + Tool::advice(report);
    printAnswer(port, result);
}

Request *AskRun::ask(const QString &port, KvDevice::Communicator *comm)
{
    ++asked;
    Request *request = Request::send(comm, options.query);
    if (options.probe.tap)
        options.probe.tap->recordRequest(comm, request, options.query);
    connect(request, &Request::finished, this, [this, port](const Request::Result &result) {
        answered += result.status == Request::Answered;
        printAnswer(port, result);
    });
    return request;
}

void AskRun::printAnswer(const QString &port, const Request::Result &result)
{
    if (result.status != Request::Answered) {
        if (options.probe.json)
            Tool::printJson({{QStringLiteral("event"), QStringLiteral("no_answer")},
                             {QStringLiteral("port"), port},
                             {QStringLiteral("reason"), Tool::reason(result)},
                             {QStringLiteral("attempts"), result.attempts}});
        else
            Tool::printLine(QStringLiteral("no-answer %1 %2").arg(port, Tool::reason(result)));
        return;
    }
    QJsonObject values;
    QStringList text{QStringLiteral("answer"), port, result.answerText.trimmed()};
    KvDevice::SessionInit fields;
    try {
        parser.parse(&fields, result.answerText);
        Tool::initFields(fields, &values, &text);
    } catch (const Nmea::Exception &) {
        // not a sentence the init protocol parses: the text alone
    }
    if (!options.probe.json) {
        Tool::printLine(text.join(QLatin1Char(' ')));
        return;
    }
    QJsonObject event{{QStringLiteral("event"), QStringLiteral("answer")},
                      {QStringLiteral("port"), port},
                      {QStringLiteral("sentence"), result.answerText.trimmed()}};
    if (!values.isEmpty())
        event.insert(QStringLiteral("fields"), values);
    Tool::printJson(event);
}

void AskRun::maybeFinish()
{
    if (pending == 0)
        emit finished(asked > 0 && answered == asked ? 0 : 1);
}
