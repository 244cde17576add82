// SPDX-License-Identifier: MIT
#include <kvdevice/communicator.h>
#include <kvdevice/exception.h>
#include <kvdevice/parserabstract.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/request.h>
#include <kvdevice/sessioninit.h>

#include "device/answerledger.h"

#include <QIODevice>
#include <QPointer>
#include <QTimerEvent>

#include <utility>

namespace KvDevice {

QString Query::framed(const QString &body)
{
    return QStringLiteral("$%1*%2\r\n").arg(body).arg(uint(Nmea::calculateChecksum(body, 0)), 2, 16, QLatin1Char('0'));
}

Query Query::forSentence(const QString &text, const QString &answer)
{
    Query query;
    QString sentence = text.trimmed();
    if (sentence.isEmpty())
        return query;
    if (!sentence.startsWith(QLatin1Char('$')) && !sentence.startsWith(QLatin1Char('!')))
        sentence.prepend(QLatin1Char('$'));
    // A checksum given ("*hh") is kept, a wrong one too; a '*' without one gets it.
    const int star = sentence.lastIndexOf(QLatin1Char('*'));
    bool given = false;
    if (star >= 0 && sentence.size() - star == 3)
        sentence.mid(star + 1).toUInt(&given, 16);
    if (!given) {
        if (star >= 0 && sentence.size() - star <= 3)
            sentence.truncate(star);
        sentence += QStringLiteral("*%1").arg(uint(Nmea::calculateChecksum(sentence.mid(1), 0)), 2, 16, QLatin1Char('0'));
    }
    query.sentence = sentence + QStringLiteral("\r\n");
    query.answer = answer.isEmpty() ? sentence.mid(1).section(QLatin1Char(','), 0, 0).section(QLatin1Char('*'), 0, 0) : answer;
    return query;
}

Query Query::fromSession(IPayloadParser &parser, const SessionAbstract &session, const QString &answer)
{
    Query query;
    query.answer = answer;
    query.parser = &parser;
    try {
        parser.build(&session, query.sentence);
    } catch (const Nmea::Exception &e) {
        query.buildError = e.message();
    }
    return query;
}

namespace {
// The init queries' parser: the library's own, so that they need none from the host.
Nmea::ParserInit &initParser()
{
    thread_local Nmea::ParserInit parser;
    thread_local const bool ready = parser.init();
    Q_UNUSED(ready)
    return parser;
}

Query initQuery(int sentenceId, const QString &subcommand, const QString &answer)
{
    SessionInit session;
    session.sentenceId = sentenceId;
    if (!subcommand.isEmpty())
        session.parameters.insert(InitField::Subcommand, subcommand);
    return Query::fromSession(initParser(), session, answer);
}
} // namespace

namespace InitQuery {

Query version()
{
    return initQuery(VersionSentence, QString(), QStringLiteral("PKVVER"));
}

Query information()
{
    Query query = initQuery(InfoRequestSentence, InfoSubcommand, QStringLiteral("PTKVRD"));
    // Only an information board's answer carries its subcommand back.
    query.accepts = [](const SessionAbstract &answer) {
        const auto *init = dynamic_cast<const SessionInit *>(&answer);
        return init && init->parameters.value(InitField::Subcommand).toString() == InfoSubcommand;
    };
    return query;
}

} // namespace InitQuery

Request::Request()
{
    clock.start();
}

Request::~Request()
{
    if (ledger)
        ledger->release(group);
}

Request *Request::send(Communicator *comm, const Query &query)
{
    static const int registered = qRegisterMetaType<Request::Result>("KvDevice::Request::Result");
    Q_UNUSED(registered)

    auto *request = new Request;
    request->query = std::make_shared<const Query>(query);
    QIODevice *device = comm ? comm->ioDevice() : nullptr;
    QString notSent;
    if (!device || !device->isWritable())
        notSent = QStringLiteral("no open port to send on");
    else if (query.sentence.isEmpty())
        notSent = query.buildError.isEmpty() ? QStringLiteral("no sentence to send") : query.buildError;
    if (notSent.isEmpty()) {
        request->ledger = AnswerLedger::of(comm);
        request->group = request->ledger->openFor(request, query.timeoutMs);
        request->ledger->enqueue(request->group);
    } else {
        request->end(NotSent, notSent);
        request->announceLater();
    }
    return request;
}

void Request::cancel()
{
    if (isFinished())
        return;
    end(Cancelled, QStringLiteral("cancelled"));
    announce();
}

void Request::attempt()
{
    ++outcome.attempts;
    ledger->comm->writePayload(query->sentence);
    ledger->sent(group, query->answer, query);
    attemptedAtNs = clock.nsecsElapsed();
    timer.start(qMax(0, query->timeoutMs), Qt::PreciseTimer, this);
}

void Request::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != timer.timerId())
        return; // not the attempt's
    // Windows' timers may fire up to a millisecond early: an attempt gets all of its time.
    const qint64 leftNs = qint64(query->timeoutMs) * 1000000 - (clock.nsecsElapsed() - attemptedAtNs);
    if (leftNs > 0) {
        timer.start(int((leftNs + 999999) / 1000000), Qt::PreciseTimer, this);
        return;
    }
    if (outcome.attempts <= query->retries) {
        attempt();
        return;
    }
    const int tries = outcome.attempts;
    end(NoAnswer, QStringLiteral("no answer in %1 %2 of %3 ms").arg(tries).arg(tries == 1 ? QStringLiteral("attempt") : QStringLiteral("attempts")).arg(query->timeoutMs));
    announce();
}

void Request::end(Status status, const QString &error)
{
    timer.stop();
    outcome.status = status;
    outcome.error = error;
    outcome.elapsedMs = clock.elapsed();
    // Answers still owed to its other attempts stay counted, and are dropped when they come.
    if (AnswerLedger *const from = std::exchange(ledger, nullptr))
        from->release(group);
}

void Request::announce()
{
    const QPointer<Request> self(this);
    emit finished(outcome);
    if (self && autoDeleting)
        deleteLater();
}

void Request::announceLater()
{
    QMetaObject::invokeMethod(this, &Request::announce, Qt::QueuedConnection);
}

} // namespace KvDevice
