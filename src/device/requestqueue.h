#pragma once

// The requests of one communicator, with what their answers are matched against. Not
// installed: the communicator and the watcher use it.

#include <kvdevice/request.h>

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class QIODevice;

namespace KvDevice {

class Communicator;

/// Pending requests and the late answers of ended ones, in the order they were sent.
/// Created by the first request on a communicator, deleted with it.
class RequestQueue : public QObject
{
public:
    explicit RequestQueue(Communicator *comm);
    /// Pending requests end Cancelled, from the event loop.
    ~RequestQueue() override;

    /// The communicator's queue, created when it has none.
    static RequestQueue *of(Communicator *comm);
    /// The communicator's queue, or null.
    static RequestQueue *existing(Communicator *comm);

    /// Sends the first attempt of `request` and queues it.
    void add(Request *request);
    /// Offers a received payload to the requests; true when one of them (or a late answer
    /// owed to one) took it. May emit a request's finished(), which may delete anything.
    bool offer(const QString &payload);
    /// Takes `request` out of the queue; `owed` answers it is still to get are dropped
    /// when they come within `windowMs` from now.
    void release(Request *request, int owed, qint64 windowMs);
    /// Ends every pending request with `status`: now (finished() one after another, safe
    /// whatever the slots delete) or from the event loop. Late answers are forgotten.
    void endAll(Request::Status status, const QString &why, bool now);
    /// The communicator's device changed: requests on the old one end PortFailed.
    void deviceChanged(QIODevice *device);

    Communicator *const comm;

private:
    struct Entry
    {
        Entry(Request *pending, std::shared_ptr<const Query> asked)
            : request(pending)
            , query(std::move(asked))
        {
        }
        Request *request;                 // null: an ended request's late answers
        std::shared_ptr<const Query> query;
        int owed = 0;                     // late answers still to drop
        QDeadlineTimer expires;           // for late answers
    };

    void expire();
    void watch(QIODevice *device);

    std::vector<Entry> entries;
    QMetaObject::Connection closing;
};

/// Ends every pending request of `comm` as PortFailed with `why`, before this returns; for
/// the watcher, right before it tells the host that the board went away. Safe when a slot
/// deletes a request, the communicator or its port.
void failRequests(Communicator *comm, const QString &why);

} // namespace KvDevice
