#pragma once

// The answers a port still owes, whoever asked: requests, the watcher's identification
// passes, the initializer's queries. Not installed.

#include <kvdevice/request.h>

#include <QHash>
#include <QMap>
#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QIODevice;

namespace KvDevice {

class Communicator;

/// What a port still owed when it was closed, for the next time it is opened.
struct OwedAnswers
{
    struct Query
    {
        QString address;
        qint64 sentAt;
    };
    QList<Query> owed;
    qint64 lastSentAt = 0;
    int timeoutMs = 0;
    int patienceMs = 0;
    qint64 longestDelay = -1;
    bool isEmpty() const { return owed.isEmpty(); }
};

/// Boards answer in the order they were asked and number nothing, so answers are counted:
/// the n-th answer with an address belongs to the n-th query still owed an answer of that
/// address. Made for a communicator when it first needs one, deleted with it.
///
/// An owed answer is forgotten once its group (a request's attempts, a probe's passes)
/// sent nothing for the bound: twice the longest delay seen on the port, at least twice
/// the group's time-out and at least the span it listened for (from its first query to
/// the time-out of its last), and while no delay has been seen at least the group's
/// patience.
/// An answer that comes when the oldest owed one could not have been answered yet, by the
/// delay of the previous answer of that address (less than half of it, and that answer
/// came after the query was sent), while a younger query is owed too, is taken to answer
/// the younger one: the older query's answer was the previous one, an earlier query having
/// been lost on the line.
class AnswerLedger : public QObject
{
public:
    /// Who waits for the answers of a group.
    enum Kind {
        ForRequest,  ///< a pending request: it takes the answer
        ForListener, ///< a callback takes the answer (the watcher's probe)
        PassThrough, ///< counted only: the answer is stored and announced as any sentence
    };
    using Listener = std::function<void(const QString &payload)>;

    explicit AnswerLedger(Communicator *comm);
    /// Pending requests end Cancelled, from the event loop.
    ~AnswerLedger() override;

    /// The communicator's ledger, made when it has none.
    static AnswerLedger *of(Communicator *comm);
    /// The communicator's ledger, or null.
    static AnswerLedger *existing(Communicator *comm);
    /// Milliseconds on the monotonic clock every ledger uses.
    static qint64 now();

    /// A new group of queries; `timeoutMs` and `patienceMs` make its bound.
    int open(Kind kind, int timeoutMs, int patienceMs = 0, Listener listener = {});
    /// The group of a request's attempts.
    int openFor(Request *request, int timeoutMs);
    /// A query of `group` was sent now; its answer has `address` (and passes `query`'s test).
    void sent(int group, const QString &address, const std::shared_ptr<const KvDevice::Query> &query = {});
    /// Offers a received payload; true when it was taken (by a request, a listener, or as
    /// an ended request's late answer). May end a request (its finished() comes from the
    /// event loop) or call a listener, which may delete anything.
    bool offer(const QString &payload);
    /// Answers of `group` still owed, after forgetting those past their bound.
    int owed(int group);
    /// When the owed answers of `group` will be forgotten (on now()'s clock); -1: none owed.
    qint64 forgottenAt(int group) const;
    /// The group's owner is gone: answers still owed are dropped when they come (requests:
    /// late answers), until the bound has passed.
    void release(int group);
    /// Forgets the group's owed answers at once.
    void remove(int group);
    /// Forgets the answers `group` is owed with another address than `address`, of the
    /// addresses no answer ever came with on this port: a board that answered one kind of
    /// query does not answer the other kind.
    void forgetOthers(int group, const QString &address);
    /// What `group` still owes, to be carried to the next opening of the port.
    OwedAnswers carry(int group);
    /// Owed answers carried from an earlier opening, now owed to the listener of `group`:
    /// a group of their own (0: nothing carried), forgotten on the bound they had.
    int adopt(int group, const OwedAnswers &carried);
    /// Ends every pending request with `status`: now (finished() one after another, safe
    /// whatever the slots delete) or from the event loop. Their owed answers are forgotten.
    void endRequests(Request::Status status, const QString &why, bool now);
    /// The communicator's device changed: requests on the old one end PortFailed, and what
    /// the old one owed is forgotten.
    void deviceChanged(QIODevice *device);
    /// The longest delay seen between a query and its answer; -1: none yet.
    qint64 longestDelay() const { return longest; }

    Communicator *const comm;

private:
    struct Group
    {
        Kind kind = PassThrough;
        bool released = false;
        Request *request = nullptr; // ForRequest, while pending
        Listener listener;          // ForListener, while not released
        qint64 firstSentAt = 0;
        qint64 lastSentAt = 0;
        bool sentAny = false;
        int timeoutMs = 0;
        int patienceMs = 0;
    };
    struct Owed
    {
        int group;
        QString address;
        qint64 sentAt;
        std::shared_ptr<const KvDevice::Query> query; // its test and parser, if any
    };
    struct Last
    {
        qint64 at;
        qint64 delay;
    };

    qint64 bound(const Group &group) const;
    void expire(qint64 now);
    void watch(QIODevice *device);

    std::vector<Owed> queue;     // in the order sent
    QMap<int, Group> groups;    // in the order they were opened
    QHash<QString, Last> last;   // the previous answer of each address
    qint64 longest = -1;
    int nextGroup = 1;
    QMetaObject::Connection closing;
};

/// Ends every pending request of `comm` as PortFailed with `why`, before this returns; for
/// the watcher, right before it tells the host that the board went away. Safe when a slot
/// deletes a request, the communicator or its port.
void failRequests(Communicator *comm, const QString &why);

} // namespace KvDevice
