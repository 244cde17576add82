#pragma once

#include <kvdevice/kvdevice_export.h>
#include <kvdevice/portreport.h>
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

/// Finds boards as they come and go while the host runs: probes the candidate ports present
/// when it starts, then every one that appears, each on its own with the handshake, answer
/// time-out, retries, port filter and candidate test of an Initializer run, and hands over
/// every board of a requested type. Runs in the host's event loop; no threads.
///
/// Signals, per port: deviceAttached() for a board, then deviceDetached() once when its
/// port goes away (a removal, or the port failing); portConcluded() for every other
/// attempt at a port. The host owns an attached communicator and its port, as after
/// Initializer::deviceInitialized(); the watcher keeps only guarded pointers to them, closes
/// the port when it goes away (so nothing spins whatever the host does) and never deletes
/// them. A board that comes back is probed and attached anew.
///
/// The end of a board, in order: the communicator's readFailed() may reach the host first
/// (when the port failed before the watcher heard of its removal), after its pending
/// requests ended PortFailed; otherwise the watcher ends them (Request::finished()); then
/// it disconnects every receiver of the communicator's signals and closes its port; then
/// deviceDetached(). From then on nothing reaches the host from that communicator, so the
/// host may free what it keeps for the board inside its deviceDetached() slot.
///
/// A port that delivered no board is not given up while a board may still come: a busy
/// port is tried again every ReprobePolicy::busyIntervalMs until its holder lets go; a
/// silent (NoAnswer) or refused (PermissionDenied) one is asked again after growing pauses,
/// for ReprobePolicy::windowMs after it appeared (a refused one also whenever the system
/// says it changed); an Unrecognized one, or one that is no serial port, only when it comes
/// back or when reprobe() asks. Each attempt that opens the port, or whose outcome differs
/// from the last, ends with a report of its own; PortReport::nextAttemptMs says when the
/// port is asked again by itself.
///
/// Boards are handed over with no answer to the watcher's own queries still to come: a
/// board that answers slower than the answer time-out is handed over once its answers to
/// the passes already sent have arrived, so that none of them is taken for the host's.
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
    /// How many times a silent port is asked again (default 3).
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
    };
    /// Sets how ports that delivered no board are tried again (defaults: see ReprobePolicy).
    void setReprobePolicy(const ReprobePolicy &policy);
    /// How ports that delivered no board are tried again.
    ReprobePolicy reprobePolicy() const { return reprobing; }

    /// Probes the candidate ports present now for `types`, then watches. False when it
    /// watches already, `types` is empty or the source cannot work here; errorString()
    /// says why (udev that does not run, Udev anywhere but on Linux and Windows anywhere
    /// but on Windows, a folder that is a file, ...).
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
    /// Probes the port `name` (PortInfo::name) again at once, whatever its last outcome.
    /// False when the watcher does not know the port, probes it already, or it is attached.
    bool reprobe(const QString &name);

public slots:
    /// Compares the ports present with what the watcher knows: probes new ones, treats
    /// gone ones as removed. Done by itself when its source lost events.
    void rescan();

signals:
    /// A board of a requested type answered on the port of `comm`; the host owns `comm`
    /// and its open port from now on. Emitted while `comm` still handles what it
    /// received: inside this slot use deleteLater(), not delete.
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
        qint64 appearedAt = 0;          // on `clock`
        int attempts = 0;               // probes concluded without a board
        PortOutcome last = NoAnswer;    // the last of them
        int pauseMs = 0;                // the last pause before asking a silent or refused port again
        qint64 dueAt = -1;              // when it is asked again by itself, on `clock`; -1: not by itself
    };

    void portAdded(const PortInfo &info, bool listed);
    void portRemoved(const QString &name);
    void probe(const QString &name);
    void concluded(const QString &name, PortReport report);
    void schedule();
    void reprobeDue();
    void detach(const QString &name);

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
    std::unique_ptr<Nmea::ParserInit> parser;
    QString error;
    QElapsedTimer clock;
    QTimer *reprobeTimer;
};

} // namespace KvDevice
