#include "device/requestqueue.h"

#include <kvdevice/communicator.h>
#include <kvdevice/exception.h>
#include <kvdevice/ipayloadparser.h>
#include <kvdevice/sessioninit.h>

#include "logging/logger.h"

#include <QIODevice>
#include <QPointer>
#include <QStringView>

#include <algorithm>

namespace KvDevice {

namespace {
// The address field: after the start flag, up to the first ',' or '*' or the line end.
QStringView addressOf(const QString &payload)
{
    int end = 1;
    while (end < payload.size() && payload.at(end) != QLatin1Char(',') && payload.at(end) != QLatin1Char('*')
           && payload.at(end) != QLatin1Char('\r'))
        ++end;
    return QStringView(payload).mid(1, end - 1);
}
} // namespace

RequestQueue::RequestQueue(Communicator *communicator)
    : comm(communicator)
{
    watch(comm->ioDevice());
}

RequestQueue::~RequestQueue()
{
    endAll(Request::Cancelled, QStringLiteral("the communicator was deleted"), false);
}

RequestQueue *RequestQueue::of(Communicator *comm)
{
    if (!comm->requests)
        comm->requests = new RequestQueue(comm);
    return comm->requests;
}

RequestQueue *RequestQueue::existing(Communicator *comm)
{
    return comm->requests;
}

void RequestQueue::add(Request *request)
{
    expire();
    entries.emplace_back(request, request->query);
    request->queue = this;
    request->attempt();
}

void RequestQueue::expire()
{
    entries.erase(std::remove_if(entries.begin(), entries.end(), [](const Entry &entry) { return !entry.request && entry.expires.hasExpired(); }),
                  entries.end());
}

bool RequestQueue::offer(const QString &payload)
{
    if (entries.empty())
        return false;
    expire();
    const QStringView address = addressOf(payload);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (address != QStringView(entries[i].query->answer))
            continue;
        const std::shared_ptr<const Query> query = entries[i].query;
        IPayloadParser *const parser = query->parser ? query->parser : comm->parser;
        std::shared_ptr<SessionAbstract> session;
        QString error;
        if (parser) {
            session = query->newSession ? query->newSession() : std::make_shared<SessionInit>();
            try {
                parser->parse(session.get(), payload);
            } catch (const Nmea::Exception &e) {
                error = e.message();
                session.reset();
            }
            if (session && query->accepts && !query->accepts(*session))
                continue;
        }
        Entry &entry = entries[i];
        if (!entry.request) {
            KVLOG(Debug).write() << "Late answer dropped: " << payload.trimmed();
            if (--entry.owed == 0)
                entries.erase(entries.begin() + int(i));
            return true;
        }
        Request *const request = entry.request;
        request->outcome.answerText = payload;
        request->outcome.answer = session;
        request->end(error.isEmpty() ? Request::Answered : Request::ParseFailed, error);
        request->announce(); // may delete anything, this queue too
        return true;
    }
    return false;
}

void RequestQueue::release(Request *request, int owed, qint64 windowMs)
{
    const auto it = std::find_if(entries.begin(), entries.end(), [request](const Entry &entry) { return entry.request == request; });
    if (it == entries.end())
        return;
    if (owed > 0) {
        it->request = nullptr; // its place in the order stays, for the answers still owed
        it->owed = owed;
        it->expires = QDeadlineTimer::current(Qt::PreciseTimer) + windowMs;
    } else {
        entries.erase(it);
    }
}

void RequestQueue::endAll(Request::Status status, const QString &why, bool now)
{
    // Every request is ended before any slot runs: slots may send, cancel or delete.
    std::vector<QPointer<Request>> ended;
    for (const Entry &entry : entries) {
        if (Request *const request = entry.request) {
            request->queue = nullptr;
            request->end(status, why);
            ended.emplace_back(request);
        }
    }
    entries.clear();
    for (const QPointer<Request> &request : ended) {
        if (!request)
            continue;
        if (now)
            request->announce();
        else
            request->announceLater();
    }
}

void RequestQueue::deviceChanged(QIODevice *device)
{
    endAll(Request::PortFailed, QStringLiteral("the port was detached from the communicator"), false);
    watch(device);
}

void RequestQueue::watch(QIODevice *device)
{
    disconnect(closing);
    if (device)
        closing = connect(device, &QIODevice::aboutToClose, this,
                          [this] { endAll(Request::PortFailed, QStringLiteral("the port was closed"), false); });
}

void failRequests(Communicator *comm, const QString &why)
{
    if (RequestQueue *const queue = comm ? RequestQueue::existing(comm) : nullptr)
        queue->endAll(Request::PortFailed, why, true);
}

} // namespace KvDevice
