// SPDX-License-Identifier: MIT
#include "device/answerledger.h"

#include <kvdevice/communicator.h>
#include <kvdevice/exception.h>
#include <kvdevice/ipayloadparser.h>
#include <kvdevice/sessioninit.h>

#include "logging/logger.h"

#include <QDeadlineTimer>
#include <QIODevice>
#include <QPointer>
#include <QStringView>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace KvDevice {

namespace {
// More owed answers than any host keeps in flight: the oldest go first.
constexpr size_t maxOwed = 4096;

// The address field: after the start flag, up to the first ',' or '*' or the line end.
QStringView addressOf(const QString &payload)
{
    int end = 1;
    while (end < payload.size() && payload.at(end) != QLatin1Char(',') && payload.at(end) != QLatin1Char('*')
           && payload.at(end) != QLatin1Char('\r'))
        ++end;
    return QStringView(payload).mid(1, end - 1);
}

struct Parsed
{
    std::shared_ptr<SessionAbstract> session;
    QString error;
};

// The answer as `query` reads it: its parser, else the communicator's; none: text only.
Parsed parse(const Query &query, IPayloadParser *fallback, const QString &payload)
{
    Parsed parsed;
    IPayloadParser *const parser = query.parser ? query.parser : fallback;
    if (!parser)
        return parsed;
    parsed.session = query.newSession ? query.newSession() : std::make_shared<SessionInit>();
    try {
        parser->parse(parsed.session.get(), payload);
    } catch (const Nmea::Exception &e) {
        parsed.error = e.message();
        parsed.session.reset();
    }
    return parsed;
}
} // namespace

AnswerLedger::AnswerLedger(Communicator *communicator)
    : comm(communicator)
    , pumpTimer(new QTimer(this))
{
    pumpTimer->setSingleShot(true);
    connect(pumpTimer, &QTimer::timeout, this, [this] {
        expire(nowUs());
        pump();
    });
    watch(comm->ioDevice());
}

AnswerLedger::~AnswerLedger()
{
    endRequests(Request::Cancelled, QStringLiteral("the communicator was deleted"), false);
}

AnswerLedger *AnswerLedger::of(Communicator *comm)
{
    if (!comm->ledger)
        comm->ledger = new AnswerLedger(comm);
    return comm->ledger;
}

AnswerLedger *AnswerLedger::existing(Communicator *comm)
{
    return comm->ledger;
}

qint64 AnswerLedger::now()
{
    return nowUs() / 1000;
}

qint64 AnswerLedger::nowUs()
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs() / 1000;
}

int AnswerLedger::open(Kind kind, int timeoutMs, int patienceMs, Listener listener)
{
    const int id = nextGroup;
    nextGroup = nextGroup == INT_MAX ? 1 : nextGroup + 1;
    Group &group = groups[id];
    group.kind = kind;
    group.timeoutMs = qMax(0, timeoutMs);
    group.patienceMs = qMax(0, patienceMs);
    group.listener = std::move(listener);
    group.firstSentAt = group.lastSentAt = nowUs();
    return id;
}

int AnswerLedger::openFor(Request *request, int timeoutMs)
{
    const int id = open(ForRequest, timeoutMs);
    groups[id].request = request;
    return id;
}

void AnswerLedger::enqueue(int group)
{
    Request *const request = groups.value(group).request;
    if (!request)
        return;
    const QString &address = request->query->answer;
    const bool behind = std::any_of(waiting.cbegin(), waiting.cend(), [&](int id) {
        const Request *queued = groups.value(id).request;
        return queued && queued->query->answer == address;
    });
    if (behind || busy(address)) {
        waiting << group;
        pump(); // arms the timer for what it waits for
        return;
    }
    request->attempt();
}

bool AnswerLedger::busy(const QString &address) const
{
    return std::any_of(queue.cbegin(), queue.cend(), [&address](const Owed &owed) { return owed.address == address; });
}

void AnswerLedger::pump()
{
    // In the order sent: a request waits for the answers owed before it of its address only.
    QSet<QString> blocked;
    for (const int id : QList<int>(waiting)) {
        Request *const request = groups.value(id).request;
        if (!request) {
            waiting.removeAll(id);
            continue;
        }
        const QString address = request->query->answer;
        if (blocked.contains(address) || busy(address)) {
            blocked.insert(address);
            continue;
        }
        waiting.removeAll(id);
        blocked.insert(address); // on the wire now
        request->attempt();
    }
    // Woken when the owed answers it waits for are forgotten, if none comes before.
    qint64 wake = -1;
    for (auto it = groups.cbegin(); it != groups.cend() && !waiting.isEmpty(); ++it) {
        const int id = it.key();
        if (std::any_of(queue.cbegin(), queue.cend(), [id, &blocked](const Owed &owed) { return owed.group == id && blocked.contains(owed.address); })) {
            const qint64 at = it->lastSentAt + bound(*it);
            wake = wake < 0 ? at : qMin(wake, at);
        }
    }
    if (wake < 0)
        pumpTimer->stop();
    else
        pumpTimer->start(int(qBound(qint64(0), (wake - nowUs()) / 1000 + 1, qint64(INT_MAX))));
}

void AnswerLedger::sent(int group, const QString &address, const std::shared_ptr<const Query> &query)
{
    const qint64 at = nowUs();
    expire(at); // a board that never answers leaves no trail
    const auto it = groups.find(group);
    if (it == groups.end())
        return;
    it->lastSentAt = at;
    if (!it->sentAny)
        it->firstSentAt = it->lastSentAt;
    it->sentAny = true;
    if (queue.size() >= maxOwed)
        queue.erase(queue.begin());
    queue.push_back({group, address, it->lastSentAt, query});
}

namespace {
constexpr int remembered = 16; // answers whose delays count

void note(QList<qint64> &delays, qint64 delay)
{
    delays << delay;
    if (delays.size() > remembered)
        delays.removeFirst();
}

qint64 longestOf(const QList<qint64> &delays, qint64 carried)
{
    qint64 most = carried;
    for (const qint64 delay : delays)
        most = qMax(most, delay);
    return most;
}
} // namespace

qint64 AnswerLedger::longest() const
{
    return longestOf(recent, carriedLongest);
}

qint64 AnswerLedger::reliable() const
{
    return longestOf(certain, carriedReliable);
}

qint64 AnswerLedger::bound(const Group &group) const
{
    // Until the board has answered once, its delay may be anything up to the patience. A
    // query asked again and again was listened to for the whole span: its answer may come
    // as late again after the last time.
    // While no delay is certain (each answer came with several queries owed), it may be
    // longer than any counted.
    const qint64 most = longest();
    const qint64 span = group.lastSentAt - group.firstSentAt + 1000 * qint64(group.timeoutMs);
    const qint64 patience = reliable() < 0 ? 1000 * qint64(group.patienceMs) : 0;
    return qMax(qMax(2000 * qint64(group.timeoutMs), span), qMax(patience, 2 * most));
}

void AnswerLedger::expire(qint64 at)
{
    QList<int> gone;
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        if (at > it->lastSentAt + bound(*it))
            gone << it.key();
    }
    if (gone.isEmpty())
        return;
    const size_t before = queue.size();
    queue.erase(std::remove_if(queue.begin(), queue.end(), [&gone](const Owed &owed) { return gone.contains(owed.group); }), queue.end());
    for (const int id : qAsConst(gone)) {
        if (groups.value(id).released)
            groups.remove(id);
    }
    if (queue.size() != before && !waiting.isEmpty())
        QMetaObject::invokeMethod(this, &AnswerLedger::pump, Qt::QueuedConnection);
}

bool AnswerLedger::offer(const QString &payload)
{
    if (queue.empty())
        return false;
    const qint64 at = nowUs();
    expire(at);
    const QStringView address = addressOf(payload);

    // The queries this could answer, oldest first; a query's own test may turn it down.
    std::vector<size_t> candidates;
    int owedOfAddress = 0;
    QHash<const Query *, Parsed> parsed;
    for (size_t i = 0; i < queue.size(); ++i) {
        const Owed &owed = queue[i];
        if (address != QStringView(owed.address))
            continue;
        ++owedOfAddress;
        if (owed.query && owed.query->accepts) {
            auto found = parsed.find(owed.query.get());
            if (found == parsed.end())
                found = parsed.insert(owed.query.get(), parse(*owed.query, comm->parser, payload));
            if (found->session && !owed.query->accepts(*found->session))
                continue;
        }
        candidates.push_back(i);
    }
    if (candidates.empty())
        return false;

    const Owed taken = queue[candidates.front()];
    queue.erase(queue.begin() + qptrdiff(candidates.front()));
    const qint64 delay = at - taken.sentAt;
    note(recent, delay);
    if (owedOfAddress == 1) // it cannot be another query's answer
        note(certain, delay);
    answered.insert(taken.address);
    lastAnswerAt = at;

    const auto group = groups.find(taken.group);
    if (group == groups.end())
        return false;
    if (group->released) {
        KVLOG(Debug).write() << "Late answer dropped: " << payload.trimmed();
        if (std::none_of(queue.cbegin(), queue.cend(), [&taken](const Owed &owed) { return owed.group == taken.group; }))
            groups.erase(group);
        pump();
        return true;
    }
    if (group->kind == PassThrough) {
        pump();
        return false;
    }
    if (group->kind == ForListener) {
        const Listener listener = group->listener; // it may release its group
        listener(payload, taken.group);
        return true;
    }
    Request *const request = group->request;
    if (!request || !taken.query)
        return false;
    const Parsed answer = parsed.contains(taken.query.get()) ? parsed.value(taken.query.get()) : parse(*taken.query, comm->parser, payload);
    request->outcome.answerText = payload;
    request->outcome.answer = answer.session;
    presumeLost(taken.group);
    request->end(answer.error.isEmpty() ? Request::Answered : Request::ParseFailed, answer.error);
    pump();
    // Not from inside the device's read notification: a host may delete the port there.
    request->announceLater();
    return true;
}

bool AnswerLedger::presumeLost(int group)
{
    // Within twice the board's delay of the last query, the answer is that query's, when
    // the earlier ones had a time-out longer than that to be answered in.
    const auto it = groups.constFind(group);
    const qint64 delay = reliable();
    if (it == groups.cend() || delay < 0 || lastAnswerAt - it->lastSentAt > 2 * delay || 1000 * qint64(it->timeoutMs) <= 2 * delay)
        return false;
    queue.erase(std::remove_if(queue.begin(), queue.end(), [group](const Owed &owed) { return owed.group == group; }), queue.end());
    return true;
}

int AnswerLedger::owed(int group)
{
    expire(nowUs());
    return int(std::count_if(queue.cbegin(), queue.cend(), [group](const Owed &owed) { return owed.group == group; }));
}

qint64 AnswerLedger::forgottenAt(int group) const
{
    const auto it = groups.constFind(group);
    if (it == groups.cend() || std::none_of(queue.cbegin(), queue.cend(), [group](const Owed &owed) { return owed.group == group; }))
        return -1;
    return (it->lastSentAt + bound(*it)) / 1000 + 1;
}

void AnswerLedger::release(int group)
{
    waiting.removeAll(group);
    const auto it = groups.find(group);
    if (it == groups.end())
        return;
    it->released = true;
    it->request = nullptr;
    it->listener = {};
    if (std::none_of(queue.cbegin(), queue.cend(), [group](const Owed &owed) { return owed.group == group; }))
        groups.erase(it);
    // The next request of its address may go, now or once what it still owes is forgotten.
    if (!waiting.isEmpty())
        QMetaObject::invokeMethod(this, &AnswerLedger::pump, Qt::QueuedConnection);
}

void AnswerLedger::remove(int group)
{
    waiting.removeAll(group);
    queue.erase(std::remove_if(queue.begin(), queue.end(), [group](const Owed &owed) { return owed.group == group; }), queue.end());
    groups.remove(group);
    if (!waiting.isEmpty())
        QMetaObject::invokeMethod(this, &AnswerLedger::pump, Qt::QueuedConnection);
}

void AnswerLedger::forgetOthers(int group, const QString &address)
{
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [&](const Owed &owed) { return owed.group == group && owed.address != address && !answered.contains(owed.address); }),
                queue.end());
}

OwedAnswers AnswerLedger::carry(int group)
{
    expire(nowUs());
    OwedAnswers carried;
    const auto it = groups.constFind(group);
    if (it == groups.cend())
        return carried;
    for (const Owed &owed : queue) {
        if (owed.group == group)
            carried.owed.append({owed.address, owed.sentAt});
    }
    carried.lastSentAt = it->lastSentAt;
    carried.timeoutMs = it->timeoutMs;
    carried.patienceMs = it->patienceMs;
    carried.longestDelay = longest();
    carried.reliableDelay = reliable();
    return carried;
}

int AnswerLedger::adopt(int group, const OwedAnswers &carried)
{
    carriedLongest = qMax(carriedLongest, carried.longestDelay);
    carriedReliable = qMax(carriedReliable, carried.reliableDelay);
    const auto it = groups.find(group);
    if (it == groups.end() || carried.isEmpty())
        return 0;
    // Owed to the same listener, forgotten on the bound of the opening that sent them.
    const int id = open(it->kind, carried.timeoutMs, qMax(carried.patienceMs, it->patienceMs), it->listener);
    groups[id].lastSentAt = carried.lastSentAt;
    groups[id].firstSentAt = carried.owed.first().sentAt;
    groups[id].sentAny = true;
    std::vector<Owed> earlier;
    for (const OwedAnswers::Query &query : carried.owed)
        earlier.push_back({id, query.address, query.sentAt, {}});
    queue.insert(queue.begin(), earlier.begin(), earlier.end());
    return id;
}

void AnswerLedger::endRequests(Request::Status status, const QString &why, bool at)
{
    // Every request is ended before any slot runs: slots may send, cancel or delete.
    std::vector<QPointer<Request>> ended;
    const auto all = groups;
    waiting.clear();
    pumpTimer->stop();
    for (auto it = all.cbegin(); it != all.cend(); ++it) {
        if (Request *const request = it->request) {
            request->ledger = nullptr;
            request->end(status, why);
            ended.emplace_back(request);
            groups.remove(it.key());
        }
    }
    // What was owed on this line will not come now.
    queue.clear();
    for (auto it = groups.begin(); it != groups.end();) {
        if (it->released)
            it = groups.erase(it);
        else
            ++it;
    }
    for (const QPointer<Request> &request : ended) {
        if (!request)
            continue;
        if (at)
            request->announce();
        else
            request->announceLater();
    }
}

void AnswerLedger::deviceChanged(QIODevice *device)
{
    endRequests(Request::PortFailed, QStringLiteral("the port was detached from the communicator"), false);
    watch(device);
}

void AnswerLedger::watch(QIODevice *device)
{
    disconnect(closing);
    if (device)
        closing = connect(device, &QIODevice::aboutToClose, this,
                          [this] { endRequests(Request::PortFailed, QStringLiteral("the port was closed"), false); });
}

void failRequests(Communicator *comm, const QString &why)
{
    if (AnswerLedger *const ledger = comm ? AnswerLedger::existing(comm) : nullptr)
        ledger->endRequests(Request::PortFailed, why, true);
}

} // namespace KvDevice
