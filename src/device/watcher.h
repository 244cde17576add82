// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/kvdevice_export.h>
#include <kvdevice/portreport.h>
#include <kvdevice/recordingtap.h>
#include <kvdevice/type.h>

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QTimer;

namespace Nmea {
class ParserInit;
}

namespace KvDevice {

class Communicator;
class PortEventSource;
class PortProbe;
struct OwedAnswers;

/// Finds boards as they come and go while the host runs: probes the candidate ports present
/// when it starts, and the remote ports it is given, then every one that appears, each on
/// its own with the handshake, answer time-out, retries, port filter and candidate test of
/// an Initializer run, and hands over every board of a requested type. Runs in the host's
/// event loop; no threads.
///
/// Signals, per port: deviceAttached() for a board, then deviceDetached() once when its
/// port goes away (a removal, or the port failing); portConcluded() for every other
/// attempt at a port. The host owns an attached communicator and its port, as after
/// Initializer::deviceInitialized(), unless setOwnership(WatcherDeletes); the watcher keeps
/// only guarded pointers to them and closes the port when it fails or goes away, so that
/// nothing spins whatever the host does. A board that comes back is probed and attached
/// anew; so is a board whose port failed while its name stays listed (it reset, or a link
/// now leads to another board), after ReprobePolicy::firstPauseMs.
///
/// Every signal comes from the event loop, never from inside a port's read notification:
/// the host may delete the communicator and its port, stop() or delete the watcher in any
/// of its slots.
///
/// The end of a board, in order: its pending requests end PortFailed; the communicator's
/// readFailed() reaches the host's slots (when the port failed); then the watcher
/// disconnects every receiver of the communicator's signals and closes its port; then
/// deviceDetached(). From then on nothing reaches the host from that communicator, so the
/// host may free what it keeps for the board inside its deviceDetached() slot.
///
/// A port that delivered no board is not given up while a board may still come: a busy
/// port is tried again every ReprobePolicy::busyIntervalMs until its holder lets go (one
/// that this very program holds, when it lets go); a silent (NoAnswer) or refused
/// (PermissionDenied) one is asked again after growing pauses, for ReprobePolicy::windowMs
/// after it appeared (a refused one also whenever the system says it changed), each time
/// listening longer: the answer time-out grows with the pause, up to 10 s. An Unrecognized
/// one, or one that is no serial port, is asked again only when it comes back or when
/// reprobe() asks. Each attempt that opens the port, or whose outcome differs from the last,
/// ends with a report of its own; PortReport::nextAttemptMs says when the port is asked
/// again by itself.
///
/// A remote port (setRemotePorts()) never appears by itself, so one whose server cannot be
/// reached (NotFound, with why: nothing listens, no route, no connection in time, the
/// server cannot open the board's port) is asked again as long as the watching lasts,
/// after pauses doubling up to ReprobePolicy::longestRemotePauseMs; a busy one (the server
/// lets no second client in) every busyIntervalMs. Once its server is reached again it
/// counts as appeared then: a silent board there is asked as a local one is.
///
/// Answers are counted per port (boards answer in order and number nothing): the n-th
/// answer of an address belongs to the n-th query still owed one, whoever asked, the
/// watcher, a request or a previous probe of the port. A board is handed over once none of
/// the watcher's queries is owed an answer, or the bound for them has passed (twice the
/// longest delay seen on the port, at least twice the answer time-out; 20 s while the
/// board has never answered), so that no answer to an identification query reaches the
/// host. Only an answer to one of these queries that names no requested board makes a
/// port Unrecognized; sentences the board sends on its own are not answers, and answers
/// that do not parse count as none.
class KVDEVICE_EXPORT Watcher : public QObject
{
    Q_OBJECT
public:
    /// Where the watcher learns of ports.
    enum Source {
        Automatic, ///< Windows on Windows; elsewhere Udev where it is built in and udev runs, Polling otherwise
        Udev,      ///< udev's events for ttys (Linux)
        Polling,   ///< the system's port list, every pollInterval()
        Directory, ///< a folder of port links (such as /dev/serial/by-id), watched for changes
        Windows,   ///< the system's device-change notifications for COM ports (Windows)
        Remote,    ///< no local port: only the remote ports of setRemotePorts()
    };
    Q_ENUM(Source)

    /// A watcher that watches nothing before start().
    explicit Watcher(QObject *parent = nullptr);
    /// Stops watching; what it probes is closed, what it handed over stays the host's.
    ~Watcher() override;

    /// Sets where it learns of ports (default Automatic). Call before start().
    void setSource(Source source) { chosenSource = source; }
    /// Where it learns of ports, as set.
    Source source() const { return chosenSource; }
    /// Feeds it from `source` (the host's; it must outlive the watching) instead of the
    /// watcher's own. Call before start().
    void setEventSource(PortEventSource *source) { externalSource = source; }
    /// How often Polling lists the ports, in milliseconds (default 1000, at least 10).
    void setPollInterval(int ms) { pollMs = qMax(10, ms); }
    /// How often Polling lists the ports, in milliseconds.
    int pollInterval() const { return pollMs; }
    /// The folder Directory watches.
    void setDirectory(const QString &path) { folder = path; }
    /// The folder Directory watches.
    QString directory() const { return folder; }
    /// Follows these boards on other machines too ("rfc2217://HOST:PORT",
    /// "socket://HOST:PORT", see RemotePort), whatever the source: each is a port that
    /// comes and goes, attached once it connects and identifies, detached when its
    /// connection drops, and asked again while its server is down, refuses or is busy (see
    /// ReprobePolicy). Call before start(), which refuses a malformed URL.
    void setRemotePorts(const QStringList &urls) { remoteUrls = urls; }
    /// The remote ports it follows.
    QStringList remotePorts() const { return remoteUrls; }
    /// How many times a silent port is asked again in one probe (default 3; UINT_MAX: until
    /// it answers).
    void setMaxRetries(unsigned int retries);
    /// How long each try waits for an answer, in milliseconds (default 400, at least 1).
    void setAnswerTimeout(int ms);
    /// Narrows the candidates the system lists, as Initializer::setPortFilter().
    void setPortFilter(std::function<bool(const KvDevice::PortInfo &)> filter) { portFilter = std::move(filter); }
    /// How long a port that is refused right after it appeared is tried again, every 250
    /// ms, before it concludes PermissionDenied (default 2000, while udev sets its rights);
    /// a busy one is tried six times as long (ModemManager looks at new ports for ~10 s).
    void setOpenRetryWindow(int ms);

    // Modem control lines.
    /// Whether DTR and RTS are raised on each port right after it is opened (default true;
    /// see Initializer::setRaiseModemLines()). Off for boards that reset when DTR rises.
    void setRaiseModemLines(bool raise) { raiseModemLines = raise; }

    /// How ports that delivered no board are tried again while they stay plugged in.
    struct ReprobePolicy
    {
        bool enabled = true;      ///< false: a port is probed again only when it comes back (or by reprobe())
        int busyIntervalMs = 1000; ///< a busy port is tried this often, for as long as it is busy
        int firstPauseMs = 2000;  ///< a silent or refused port: the first pause; each later one doubles
        int windowMs = 120000;    ///< silent or refused ports are asked again by themselves this long after they appeared
        /// A remote port that cannot be reached (NotFound: its server is down, refuses, or
        /// cannot open the board's port; Vanished: the connection dropped while probed) is
        /// asked again for as long as the watching lasts, the pause doubling from
        /// firstPauseMs up to this. Once the pause has reached it, the same outcome again is
        /// news no more (no portConcluded()).
        int longestRemotePauseMs = 30000;
    };
    /// Has `tap` follow every port the watcher opens, from its opening on (not owned).
    void setRecordingTap(KvDevice::RecordingTap *tap) { recordingTap = tap; }
    /// Sets how ports that delivered no board are tried again (defaults: see ReprobePolicy).
    void setReprobePolicy(const ReprobePolicy &policy);
    /// How ports that delivered no board are tried again.
    ReprobePolicy reprobePolicy() const { return reprobing; }

    /// Probes the candidate ports present now and the remote ports for `types`, then
    /// watches. False when it watches already, `types` is empty, the source cannot work
    /// here or a remote port cannot be used; errorString() says why (udev that does not
    /// run, Udev anywhere but on Linux and Windows anywhere but on Windows, a folder that
    /// is a file, a malformed URL, a build without remote ports, ...).
    bool start(const QList<KvDevice::Type> &types);
    /// Why the last start() failed; empty after a successful one.
    QString errorString() const { return error; }
    /// Ends the watching: nothing more is emitted; probes in flight end without a report.
    /// A host may call it, or delete the watcher, from any of the watcher's signals.
    void stop();
    /// Between a successful start() and stop().
    bool isWatching() const { return events != nullptr; }
    /// The source in use while watching (Automatic resolved), else source().
    Source activeSource() const { return usedSource; }
    /// The port of a board this watcher attached and that has not left yet: which board
    /// `comm` is. An empty PortInfo for any other communicator.
    KvDevice::PortInfo portInfo(const KvDevice::Communicator *comm) const;
    /// Probes the port `name` (PortInfo::name) again at once, whatever its last outcome; any
    /// port the source lists, also one the candidate test or the filter left out. False
    /// when the source does not list it, it is probed already, or a board attached there is
    /// still held (its communicator alive and its port open).
    bool reprobe(const QString &name);

    /// Who deletes an attached board's communicator and port.
    enum Ownership {
        HostDeletes,    ///< the host, as after Initializer::deviceInitialized() (default)
        WatcherDeletes, ///< the watcher, after deviceDetached() has returned (deleteLater()), and at stop()
    };
    Q_ENUM(Ownership)
    /// Sets who deletes attached boards (default HostDeletes); boards attached already
    /// follow the new choice too.
    void setOwnership(Ownership ownership) { owner = ownership; }
    /// Who deletes attached boards.
    Ownership ownership() const { return owner; }
    /// With WatcherDeletes: the host takes this attached board over, and deletes its
    /// communicator and port itself. False for a communicator the watcher did not attach.
    bool keep(KvDevice::Communicator *comm);

public slots:
    /// Compares the ports present with what the watcher knows: probes new ones, treats
    /// gone ones as removed. Done by itself when its source lost events.
    void rescan();

signals:
    /// A board of a requested type answered on the port of `comm`; the host owns `comm`
    /// and its open port from now on (see setOwnership()). What the board said meanwhile
    /// that answered none of the watcher's queries is announced (readyRead()) right after
    /// this slot returns, so connect to `comm` here.
    void deviceAttached(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortReport &report);
    /// The port of the board attached as `type` with `comm` went away: the watcher has
    /// closed it and cut every receiver of `comm`'s signals. Delete `comm` and its port
    /// (deleteLater(), or delete) here or later; `comm` is null when the host deleted it
    /// already.
    void deviceDetached(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortInfo &port);
    /// An attempt at a port that delivered no board concluded: why, and when the port is
    /// asked again by itself (PortReport::nextAttemptMs).
    void portConcluded(const KvDevice::PortReport &report);
    /// A port that delivered no board went away (after its last report); a board's port
    /// gives deviceDetached() instead.
    void portLeft(const KvDevice::PortInfo &port);

private:
    struct Port
    {
        PortInfo info;
        QPointer<PortProbe> probe;      // while it is probed
        QPointer<Communicator> comm;    // once attached: the host's
        QPointer<QObject> device;       // its port, the host's
        Type type = NoDevice;           // NoDevice until attached
        bool kept = false;              // WatcherDeletes: the host took it over
        qint64 appearedAt = 0;          // on `clock`
        int attempts = 0;               // probes concluded without a board
        PortOutcome last = NoAnswer;    // the last of them
        bool selfHeld = false;          // the last was refused because this program holds it
        bool afterDetach = false;       // its board failed while the name stayed listed
        bool leaving = false;           // gone while probed: its report, then portLeft()
        int pauseMs = 0;                // the last pause before asking a silent or refused port again
        qint64 concludedAt = 0;         // when the last probe concluded, on `clock`
        qint64 dueAt = -1;              // when it is asked again by itself, on `clock`; -1: not by itself
        QString lastDetail;             // the detail of the last probe without a board
        std::shared_ptr<const OwedAnswers> owed; // answers still owed when it was last closed
    };

    void portAdded(const PortInfo &info, bool listed);
    void portRemoved(const QString &name);
    void probe(const QString &name);
    void attach(const QString &name, const PortReport &report, Communicator *comm);
    void concluded(const QString &name, PortReport report);
    void schedule();
    void reprobeDue();
    void released(const QString &device);
    void detach(const QString &name, bool failed);
    void dispose(Port &port);

    Source chosenSource = Automatic;
    Source usedSource = Automatic;
    PortEventSource *externalSource = nullptr;
    PortEventSource *events = nullptr; // while watching
    std::unique_ptr<PortEventSource> ownSource;
    int pollMs = 1000;
    QString folder;
    unsigned int maxRetries = 3;
    int answerTimeoutMs = 400;
    int openRetryWindowMs = 2000;
    bool raiseModemLines = true;
    ReprobePolicy reprobing;
    std::function<bool(const PortInfo &)> portFilter;
    QList<Type> types;
    QHash<QString, Port> ports; // by PortInfo::name
    QHash<QString, QPair<PortInfo, bool>> listed; // every port the source lists, and the remote ports, by name
    QStringList remoteUrls;
    Ownership owner = HostDeletes;
    std::unique_ptr<Nmea::ParserInit> parser;
    QString error;
    QElapsedTimer clock;
    QTimer *reprobeTimer;
    QPointer<RecordingTap> recordingTap;
};

} // namespace KvDevice
