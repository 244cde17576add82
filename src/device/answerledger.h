// SPDX-License-Identifier: MIT
#pragma once

// The answers a port still owes, whoever asked: requests, the watcher's identification
// passes, the initializer's queries. Not installed.

#include <kvdevice/request.h>

#include <QHash>
#include <QMap>
#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QIODevice;
class QTimer;

namespace KvDevice {

class Communicator;

/// What a port still owed when it was closed, for the next time it is opened.
struct OwedAnswers
{
    struct Query
    {
        QString address;
        qint64 sentAt; // microseconds, AnswerLedger::nowUs()
    };
    QList<Query> owed;
    qint64 lastSentAt = 0;
    int timeoutMs = 0;
    int patienceMs = 0;
    qint64 longestDelay = -1;
    qint64 reliableDelay = -1;
    bool isEmpty() const { return owed.isEmpty(); }
};

/// Boards answer in the order they were asked and number nothing, so answers are counted:
/// the n-th answer with an address belongs to the n-th query still owed an answer of that
/// address. Made for a communicator when it first needs one, deleted with it.
///
/// Requests are put on the wire one per answer address: a request waits while any answer
/// of its address is owed (to another request, a probe's passes, the initializer's
/// queries), so that whichever of its own attempts an answer is to, it is its own.
///
/// An owed answer is forgotten once its group (a request's attempts, a probe's passes)
/// sent nothing for the bound: twice the longest delay seen lately on the port, at least
/// twice the group's time-out and at least the span it listened for (from its first query
/// to the time-out of its last), and while no delay is certain (none came with a single
/// query owed) at least the group's patience. When a group with several queries out gets an answer soon after its last
/// query (within twice the longest delay seen with one query out), and its time-out is
/// longer than that, its earlier queries were lost on the line: nothing more is owed.
class AnswerLedger : public QObject
{
public:
    /// Who waits for the answers of a group.
    enum Kind {
        ForRequest,  ///< a pending request: it takes the answer
        ForListener, ///< a callback takes the answer (the watcher's probe)
        PassThrough, ///< counted only: the answer is stored and announced as any sentence
    };
    /// Takes an answer owed to `group`.
    using Listener = std::function<void(const QString &payload, int group)>;

    explicit AnswerLedger(Communicator *comm);
    /// Pending requests end Cancelled, from the event loop.
    ~AnswerLedger() override;

    /// The communicator's ledger, made when it has none.
    static AnswerLedger *of(Communicator *comm);
    /// The communicator's ledger, or null.
    static AnswerLedger *existing(Communicator *comm);
    /// Milliseconds on the monotonic clock every ledger uses.
    static qint64 now();
    /// The same clock in microseconds, as the ledger counts.
    static qint64 nowUs();

    /// A new group of queries; `timeoutMs` and `patienceMs` make its bound.
    int open(Kind kind, int timeoutMs, int patienceMs = 0, Listener listener = {});
    /// The group of a request's attempts.
    int openFor(Request *request, int timeoutMs);
    /// Sends the request's first attempt now, or once no answer of its address is owed.
    void enqueue(int group);
    /// After an answer to `group`: when it came soon after the group's last query by the
    /// board's reliable delay, the earlier queries were lost; forgets them, true. False
    /// when that cannot be told.
    bool presumeLost(int group);
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
    /// The longest delay seen lately between a query and its answer, in microseconds; -1:
    /// none yet.
    qint64 longestDelay() const { return longest(); }

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

    qint64 bound(const Group &group) const;
    qint64 longest() const;
    qint64 reliable() const;
    void expire(qint64 now);
    bool busy(const QString &address) const;
    void pump();
    void watch(QIODevice *device);

    std::vector<Owed> queue;     // in the order sent
    QMap<int, Group> groups;    // in the order they were opened
    QList<int> waiting;          // requests not on the wire yet, in the order sent
    QSet<QString> answered;      // addresses an answer ever came with
    // The delays of the latest answers, and of those that came with one query owed (which
    // cannot be another query's), in microseconds.
    QList<qint64> recent, certain;
    qint64 carriedLongest = -1, carriedReliable = -1;
    qint64 lastAnswerAt = 0;
    int nextGroup = 1;
    QTimer *pumpTimer = nullptr;
    QMetaObject::Connection closing;
};

/// Ends every pending request of `comm` as PortFailed with `why`, before this returns; for
/// the watcher, right before it tells the host that the board went away. Safe when a slot
/// deletes a request, the communicator or its port.
void failRequests(Communicator *comm, const QString &why);

} // namespace KvDevice
