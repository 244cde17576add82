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
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSet>
#include <QString>

#include <functional>

class QSignalMapper;
class QTimer;

namespace Nmea {
class ParserInit;
}

namespace KvDevice {

class Communicator;
class SessionInit;

/// Finds boards: opens candidate serial ports, identifies each by a short handshake and
/// hands the host one communicator per requested device type.
///
/// Create one initializer per run, connect to deviceInitialized() and deviceNotFound(),
/// call probe(). A requested type that a board answers for is handed over once, by
/// deviceInitialized() for the first port that answered (also when the type is listed
/// twice); each listing of a type that no port answered for gets a deviceNotFound() of its
/// own. Each port is asked again in up to setMaxRetries() passes (default 3) when a
/// requested type is still missing; each pass waits at most setAnswerTimeout() (400 ms)
/// for an answer.
///
/// Ownership: at deviceInitialized(type, comm) the host takes over `comm` and its open
/// port (comm->ioDevice(): a QSerialPort at 115200 baud, or a RemotePort for a URL;
/// objectName = the name it was opened by);
/// both have no Qt parent, and the host deletes them when done. Every other port stays
/// open, and locked, until the initializer is deleted: delete it once finished() has come
/// (deleteLater() from that signal). Everything runs in the owner's event loop.
///
/// What a host may see after deviceInitialized(): a board that answers slower than the
/// answer time-out was asked again in later passes, and its answers to those passes still
/// arrive after the hand-over, as payloads the host receives (readyRead()) like any other;
/// so may payloads the board sent after the identifying answer. They are counted, so that
/// no Request takes one of them for its own answer. A Watcher hands a board over only once
/// no answer to its own queries is still to come.
///
/// A port whose board is of a type another port delivered first (Duplicate) stays among
/// the ports of the retry passes, which ask it again; it can only time out then. A port
/// the run handed over is closed for the host once it fails (after readFailed()).
class KVDEVICE_EXPORT Initializer : public QObject
{
    Q_OBJECT
public:
    /// Which boards a run hands over.
    enum HandOverPolicy {
        FirstOfType, ///< the first port that answers for a type; others of it are Duplicate
        EveryBoard,  ///< every port that answers for a requested type
    };
    Q_ENUM(HandOverPolicy)

    /// An initializer for one run; nothing is opened before probe().
    explicit Initializer(QObject *parent = nullptr);
    /// Closes and deletes every port and communicator not handed over; handed-over
    /// communicators live on with their ports open. Safe while a probe is running.
    ~Initializer() override;

    /// Starts the run for `types`. `portNames` are opened as given (device paths, symlinks
    /// or system port names, or URLs of boards on other machines: "rfc2217://HOST:PORT",
    /// "socket://HOST:PORT", see RemotePort); when empty, every system port made by
    /// STMicroelectronics (vendor 0x0483) is a candidate. A remote port connects in the
    /// background: its answer time-out starts once it is ready, and one that cannot be
    /// reached concludes at once, NotFound or Busy with why (PortReport::detail). `delay` (ms) postpones opening the ports when
    /// InfoDevice is requested. Returns false, and does nothing, for an empty type list or
    /// when this initializer has already started a run. With no port to open, every type
    /// is reported not found before probe() returns (unless delayed).
    bool probe(const QList<KvDevice::Type> &types, int delay = 0, const QList<QString> &portNames = {});
    /// Sets how many retry passes a run may start; returns the previous limit.
    unsigned int setMaxRetries(unsigned int maxRetries);

    /// Hands over every board of a requested type (EveryBoard), not only the first of each
    /// (FirstOfType, the default). With EveryBoard a type may be delivered several times,
    /// retry passes go on while any port is still silent, and deviceNotFound() comes only
    /// for a type no port delivered. Call before probe().
    void setHandOverPolicy(HandOverPolicy policy) { handOverPolicy = policy; }
    /// Narrows the candidates when probe() is given no port names, after isCandidate():
    /// only ports the filter accepts are opened. Call before probe().
    void setPortFilter(std::function<bool(const KvDevice::PortInfo &)> filter) { portFilter = std::move(filter); }
    /// How long each pass waits for a port's answer, in milliseconds (default 400, at
    /// least 1). Call before probe().
    void setAnswerTimeout(int ms) { answerTimeoutMs = qMax(1, ms); }
    /// Has `tap` follow every port the run opens, from its opening on, so that the recording
    /// holds the identification too (not owned). Call before probe().
    void setRecordingTap(KvDevice::RecordingTap *tap) { recordingTap = tap; }
    // Modem control lines.
    /// Raises DTR and RTS on each port right after opening it (default off: they stay as
    /// the system left them; Linux raises both on open, Windows leaves DTR as the driver had
    /// it and clears RTS). USB boards whose firmware sends nothing until a program has the
    /// port open (DTR) need it on Windows; a Watcher, kvprobe and kvmonitor raise them
    /// unless told not to. Call before probe().
    void setRaiseModemLines(bool raise) { raiseModemLines = raise; }
    /// Opens `port` (its name set) as a run opens its ports: 115200 baud, DTR and RTS raised
    /// when asked, input left from before dropped, objectName() set to `name`. False, with
    /// the outcome and the words of openFailure(), when it does not open or take the baud
    /// rate. For hosts and tools that open ports themselves.
    static bool openPort(QSerialPort *port, const QString &name, bool raiseModemLines, KvDevice::PortOutcome *outcome, QString *detail);

    /// The reports of the ports concluded so far, in the order of portConcluded().
    QList<KvDevice::PortReport> reports() const { return concluded; }

    /// Whether a port with this manufacturer text and USB vendor identifier is probed
    /// when no port names are given.
    static bool isCandidate(const QString &manufacturer, quint16 vendorIdentifier);
    /// Whether the system's port `port` is probed when no port names are given.
    static bool isCandidate(const QSerialPortInfo &port);
    /// The device probe() opens for a port name it is given. On Unix, symbolic links are
    /// followed to the device (a /dev/serial/by-id link to its ttyACM node, a pty's link to
    /// its /dev/pts node), so that one port is locked under one name; the name itself when
    /// it does not resolve. On Windows no link is followed: `com3` and `\\.\COM12` become
    /// `COM3` and `COM12`, other names stay as given. A URL stays as it is. Logs and the
    /// port's objectName() keep the name given.
    static QString resolvedPortName(const QString &name);
    /// Why `port` did not open, after its open() returned false: the outcome a run reports
    /// for it and, in `detail`, the words for people (who holds a busy port, which group
    /// may open a refused one). For hosts that open ports themselves.
    static KvDevice::PortOutcome openFailure(const QSerialPort &port, QString *detail);
    /// The same from the port's error and name alone. Qt's PermissionError is Busy when
    /// another program holds the port: on Windows always ("in use by another program",
    /// since Windows opens serial ports exclusively and names no holder), on Unix when
    /// its lock file names the holder or this user may open the device; otherwise it is
    /// PermissionDenied, with the group that may open it.
    static KvDevice::PortOutcome openFailure(QSerialPort::SerialPortError error, const QString &portName, QString *detail);

signals:
    /// A board of a requested `type` answered on the port of `comm`; the host owns `comm`
    /// and its port from now on. Emitted while `comm` is handling received data: do not
    /// delete it before the slot returns (deleteLater() is fine).
    void deviceInitialized(KvDevice::Type type, KvDevice::Communicator *comm);
    /// No port delivered `type`.
    void deviceNotFound(KvDevice::Type type);
    /// The run is over: every requested type was reported and every probed port has
    /// concluded; nothing reaches the initializer any more. Deleting it now closes the
    /// ports that were not handed over.
    void finished();
    /// A port the run considered has concluded; once per port (none for ports that are
    /// not candidates or that the port filter leaves out). Identified comes right after
    /// its deviceInitialized(); Duplicate, and the ports that could not be opened, at once;
    /// every other port when the run ends, after the deviceNotFound()s and before
    /// finished(). A port that timed out may still answer in a later pass, so its report
    /// waits for the end. Nothing comes once the initializer is deleted.
    void portConcluded(const KvDevice::PortReport &report);

public slots:
    /// Reads and classifies what the port of communicator `obj` has sent.
    void boardReadyRead(QObject *obj);
    /// The port of communicator `obj` gave no answer in time.
    void readTimeout(QObject *obj);
    /// Opens the candidate ports and sends the queries; run by probe() or after its delay.
    void probeStage2();

private:
    Communicator *createCommunicator(QSerialPort *port);
    QTimer *createTimeoutTimer(Communicator *comm);
    Communicator *isCommunicator(QObject *obj);
    void retryProbe();
    bool sendProtocol(Communicator *comm, SessionInit *session);
    void queryBoardVersion(Communicator *comm);
    void setCommStatus(Communicator *comm, KvDevice::Type type);

    void watchPort(Communicator *comm);
    void portVanished(Communicator *comm);
    bool openRemote(const QString &name, qint64 start);
    void remoteReady(Communicator *comm);
    void remoteFailed(Communicator *comm, KvDevice::PortOutcome outcome, const QString &detail);
    bool hasPortToRetry() const;

    QList<KvDevice::Type> requestedTypes;
    QList<QSerialPortInfo> ports;
    QHash<Communicator *, QTimer *> portTimers;
    QHash<Communicator *, KvDevice::Type> portStatus;
    QSignalMapper *readyReadMapper;
    QSignalMapper *timeoutMapper;
    Nmea::ParserInit *parser;
    QTimer *stage2Timer;
    quint32 retryCount;
    quint32 maxRetries;

    QList<QString> portNames;             // the name each entry of `ports` is opened and logged by
    QSet<Communicator *> vanishedPorts;   // closed after a read failure; never asked again
    QSet<Communicator *> connecting;      // remote ports not ready yet: their time-outs wait

    // Reports: each opened port's, pending until it concludes.
    bool publish(PortReport report, qint64 startMs);
    bool concludePort(Communicator *comm);

    HandOverPolicy handOverPolicy = FirstOfType;
    std::function<bool(const PortInfo &)> portFilter;
    int answerTimeoutMs = 400;
    bool raiseModemLines = false;
    QList<PortInfo> portInfos;                    // for each entry of `ports` the system lists
    QList<Communicator *> opened;                 // in the order they were opened
    QHash<Communicator *, PortReport> pending;    // opened and not concluded
    QHash<Communicator *, qint64> openedAt;       // ms of `clock` at the attempt to open
    QList<PortReport> concluded;
    QElapsedTimer clock;
    QHash<Communicator *, int> counted;           // the group its queries are counted in
    QHash<Communicator *, QString> garbled;       // why its last answer did not parse
    QPointer<RecordingTap> recordingTap;
};

} // namespace KvDevice
