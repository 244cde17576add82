// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/kvdevice_export.h>

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace KvDevice {

class Communicator;
class IPayloadParser;
class AnswerLedger;
class SessionAbstract;

/// A question for a board: the sentence sent, what answers it, how long to wait.
struct KVDEVICE_EXPORT Query
{
    /// Sent as it is: a complete sentence with its checksum and CR LF (framed() makes one).
    QString sentence;
    /// The address field of the answer, such as "PKVVER": the text between the start flag
    /// and the first ',' or '*', matched exactly.
    QString answer;
    /// Optional further test of the parsed answer; an answer it rejects is not this
    /// query's. Called while answers are matched: it must not touch communicators or
    /// requests. Not used when there is no parser.
    std::function<bool(const SessionAbstract &)> accepts;
    /// Time per attempt in milliseconds, from the write.
    int timeoutMs = 1000;
    /// How many times the sentence is sent again after a time-out.
    int retries = 2;
    /// Parses the answer (not owned); null: the communicator's parser at the time the
    /// answer comes; neither: the answer is kept as text only.
    IPayloadParser *parser = nullptr;
    /// Makes the session the parser fills (create it with std::make_shared of its own
    /// type); empty: a SessionInit.
    std::function<std::shared_ptr<SessionAbstract>()> newSession;
    /// Why `sentence` is empty when fromSession() could not build it: the engine's message.
    QString buildError;

    /// "$" + `body` + "*hh" CR LF, hh being the checksum of `body`.
    static QString framed(const QString &body);
    /// A query in one call: `sentence` as a host writes it, "KVSTAT,1" or whole with its
    /// start flag and checksum (kept as given, a wrong one too), completed with what it
    /// lacks of "$", "*hh" and CR LF; answered by `answer`, or when that is empty by the
    /// sentence's own address (as "PKVVER" is answered by "PKVVER"). No parser: the answer
    /// is parsed by the communicator's, if it has one.
    static Query forSentence(const QString &sentence, const QString &answer = QString());
    /// A query whose sentence `parser` builds from `session`, answered by `answer` and
    /// parsed by `parser`. When building fails the sentence is empty and buildError says why;
    /// a request for it then ends NotSent with that text.
    static Query fromSession(IPayloadParser &parser, const SessionAbstract &session, const QString &answer);
};

/// The init protocol's questions, their answers described once. Their parser is a
/// Nmea::ParserInit of the library's own, so they work on a communicator without a parser.
namespace InitQuery {
/// "$PKVVER*0c", answered by "PKVVER"; the answer is parsed into a SessionInit.
KVDEVICE_EXPORT Query version();
/// "$PTKVWR,INF*71", answered by the "PTKVRD" whose subcommand is "INF"; parsed into a
/// SessionInit.
KVDEVICE_EXPORT Query information();
} // namespace InitQuery

/// One query sent on a communicator, and its outcome: the answer, or why there is none.
///
/// send() writes the query and returns the request; finished() comes exactly once with the
/// Result. The query is sent again after each time-out until its retries are used up.
/// Several requests may be pending on one communicator, but one per answer address is on
/// the wire: a request waits while an answer of its address is still owed to anyone (an
/// earlier request, a watcher's or an initializer's identification), and is written once
/// none is (its time-outs count from its writes). A received sentence that is the answer
/// of the request on the wire goes to it, and is then neither stored nor announced by the
/// communicator; every other sentence reaches the host through readyRead() as without
/// requests.
///
/// Counting: boards answer in the order they were asked and number nothing, so the answers
/// a port owes are counted, whoever asked. A request that ended while answers to its
/// attempts were still to come (it was answered after a resend, gave up, was cancelled or
/// deleted) keeps its place for them: they are dropped (a debug line "Late answer dropped:
/// ...") and never taken for another request's answer. They are forgotten once the request
/// has sent nothing for the bound: twice the longest delay the port has shown lately, at
/// least twice the time-out and at least as long as the request listened for. When it was
/// answered soon after its last attempt (within twice the delay the board has shown with
/// one query out, its time-out being longer than that), its earlier attempts were lost on
/// the line, and nothing more is owed. Queries written with Communicator::writePayload()
/// are not counted: a request may take the answer to one of the same address.
///
/// Failures: when the port fails (readFailed()) every pending request ends PortFailed
/// before readFailed() is emitted. A port detached, deleted or closed, or a communicator
/// deleted, ends its pending requests from the event loop (PortFailed, Cancelled).
///
/// Ownership: the request deletes itself (deleteLater()) once finished() has returned,
/// unless setAutoDelete(false), when the host deletes it. Deleting a pending request
/// withdraws it without a signal. finished() comes from the event loop (or from inside
/// cancel()), never from inside the port's read notification: inside it the host may
/// delete the request, the communicator or its port.
class KVDEVICE_EXPORT Request : public QObject
{
    Q_OBJECT
public:
    /// Where a request stands, and how it ended.
    enum Status {
        Pending,     ///< waiting for its answer
        Answered,    ///< the answer came (Result::answerText, Result::answer)
        NoAnswer,    ///< no answer to any attempt
        PortFailed,  ///< the port failed, went away or was closed or detached
        ParseFailed, ///< the answer came but did not parse (Result::error: the engine's message)
        Cancelled,   ///< cancel(), or the communicator was deleted
        NotSent,     ///< nothing was sent: no open port, or no sentence
    };
    Q_ENUM(Status)

    /// What became of a request.
    struct Result
    {
        Status status = Pending;                       ///< how it ended
        QString answerText;                            ///< the answer as received, CR LF included (also for ParseFailed)
        std::shared_ptr<const SessionAbstract> answer; ///< the parsed answer, when Answered and parsed
        QString error;                                 ///< why it was not answered, for people
        int attempts = 0;                              ///< how many times the sentence was sent
        qint64 elapsedMs = 0;                          ///< from send() to the end

        /// The parsed answer as a `S`, or null when it is none or of another type.
        template <typename S>
        const S *answerAs() const
        {
            return dynamic_cast<const S *>(answer.get());
        }
    };

    /// Sends `query` on `comm`; the result comes once, with finished(). Failures found at
    /// once (no open port, no sentence) come from the event loop too, so a host that
    /// connects after send() hears them.
    static Request *send(Communicator *comm, const Query &query);
    /// A pending request is withdrawn, without a signal; its answers still to come are
    /// dropped as late answers.
    ~Request() override;

    /// Ends a pending request as Cancelled, emitting finished() before it returns.
    void cancel();
    /// The result so far; final once isFinished().
    Result result() const { return outcome; }
    /// True once the request has ended; finished() has come or is on its way.
    bool isFinished() const { return outcome.status != Pending; }
    /// Whether the request deletes itself after finished() (default true).
    void setAutoDelete(bool on) { autoDeleting = on; }
    /// See setAutoDelete().
    bool autoDelete() const { return autoDeleting; }

signals:
    /// The request ended; emitted once.
    void finished(const KvDevice::Request::Result &result);

protected:
    /// Handles the time-out of an attempt.
    void timerEvent(QTimerEvent *event) override;

private:
    friend class AnswerLedger;

    Request();
    void attempt();
    void end(Status status, const QString &error);
    void announce();
    void announceLater();

    std::shared_ptr<const Query> query;
    Result outcome;
    AnswerLedger *ledger = nullptr; // while pending
    int group = 0;                  // its attempts in the ledger
    QBasicTimer timer;
    QElapsedTimer clock;           // from send()
    qint64 attemptedAtNs = 0;      // the last attempt's, on `clock`
    bool autoDeleting = true;
};

} // namespace KvDevice

Q_DECLARE_METATYPE(KvDevice::Request::Result)
