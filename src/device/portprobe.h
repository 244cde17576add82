// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/portreport.h>
#include <kvdevice/recordingtap.h>
#include <kvdevice/sessioninit.h>
#include <kvdevice/type.h>

#include "device/answerledger.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QString>

class QTimer;

namespace Nmea {
class ParserInit;
}

namespace KvDevice {

class Communicator;

/// The ports this thread's probes and runs opened and that are still open, handed over or
/// not: a port refused because this very program holds it is asked again once it is let go.
class HeldPorts : public QObject
{
    Q_OBJECT
public:
    static HeldPorts *instance();
    /// `port` is open as the device `device` (Initializer::resolvedPortName()).
    void add(QIODevice *port, const QString &device);
    bool holds(const QString &device) const { return ports.contains(device); }

signals:
    /// The port opened as `device` was closed or deleted.
    void released(const QString &device);

private:
    QHash<QString, QPointer<QIODevice>> ports;
};

/// What probing one port needs, whoever probes it: the queries that identify the
/// requested types, what an answer says the board is, and why a port could not be opened.
/// An instance probes one port on its own, as the watcher does: it opens the port (again,
/// within a window, while it is busy or refused; a remote port once, asked when it is
/// ready), asks up to 1 + maxRetries times and concludes once. Its queries are counted in the port's AnswerLedger, so that only
/// answers to them identify the board, and a board is handed over once none of them is
/// owed an answer any more (or the ledger's bound for them has passed).
class PortProbe : public QObject
{
    Q_OBJECT
public:
    struct Settings
    {
        QList<Type> types;
        unsigned int maxRetries = 3;
        int answerTimeoutMs = 400;
        int openRetryWindowMs = 2000; // refused ports are tried this long, busy ones six times as long
        int patienceMs = 20000;       // at most this long answers are waited for while the board's delay is uncertain
        OwedAnswers carried; // answers owed since the port was last open
        QPointer<RecordingTap> tap;   // follows the port from its opening
        bool raiseModemLines = true;  // DTR and RTS
    };

    /// The sentences that ask for `types`: the version query when a board type is
    /// requested, the information request when InfoDevice is.
    static QList<int> querySentences(const QList<Type> &types);
    /// The session of one such query, ready to build.
    static SessionInit query(int sentenceId);
    /// The address of the answer to the query `sentenceId`.
    static QString answerAddress(int sentenceId);
    /// The type an answer that parsed names, requested or not; NoDevice when it names none.
    static Type claimedType(const SessionInit &answer);
    /// Reads one answer into `report`: true when it names one of `types` (the report says
    /// Identified). An answer to the identification queries that names no requested type
    /// is noted as Unrecognized, but only over silence; one that does not parse changes
    /// nothing (it counts as no answer) and is given in `parseError`.
    static bool classify(Nmea::ParserInit &parser, const QString &payload, const QList<Type> &types, PortReport *report,
                         QString *parseError = nullptr);
    /// The detail of a port that stayed silent; `garbled`: why its last answer did not parse.
    static QString silence(int queries, int answerTimeoutMs, const QString &garbled = QString());
    /// The detail of a port that failed after it was opened.
    static QString failedAfterOpening();
    /// Opens `port` for probing at `baudRate`, DTR and RTS raised when asked, bytes from
    /// before dropped unless `keepInput`, named `name` (in the logs and PortInfo::name); false
    /// with why when it does not open or take the baud rate.
    static bool openForProbing(QSerialPort *port, const QString &name, qint32 baudRate, bool raiseModemLines, PortOutcome *outcome,
                               QString *detail, bool keepInput = false);
    /// Why `port` did not open, as an outcome and, in `detail`, in words for people: who
    /// holds a busy port, which group may open a refused one.
    static PortOutcome openFailure(const QSerialPort &port, QString *detail);
    /// The same from Qt's error and the port's name; `systemText` (Qt's words) is the
    /// detail of errors that have no words of ours.
    static PortOutcome openFailure(QSerialPort::SerialPortError error, const QString &portName, QString *detail,
                                   const QString &systemText = QString());
    /// Whether this very program holds the port `device` open (a probe's, a board handed
    /// over, or the host's own where the system tells).
    static bool heldHere(const QString &device);
    /// Closes `port` from the event loop once it fails for good, whoever holds it then: a
    /// failed port left open keeps a core busy.
    static void closeWhenGone(QSerialPort *port);

    /// Whether `error`, reported by the open `port`, means that its device is gone
    /// (unplugged, its far end closed), per system: on Windows Qt passes the system's errors
    /// of a pulled port through as they come, on Linux a hung-up tty fails with EIO.
    static bool isGone(QSerialPort &port, QSerialPort::SerialPortError error);

    /// Probes `port` (opened by its name) with `parser`, which must outlive the probe.
    PortProbe(const PortInfo &port, const Settings &settings, Nmea::ParserInit *parser, QObject *parent = nullptr);
    /// Closes and deletes what it has not handed over.
    ~PortProbe() override;

    void start();
    /// The port is gone: concludes Vanished, unless the probe is over.
    void vanish();
    /// What the port still owed when the probe concluded without a board.
    OwedAnswers carried() const { return owedOnClose; }
    /// Whether the port was refused because this program holds it.
    bool refusedByThisProgram() const { return selfHeld; }

signals:
    /// The probe is over. When the report says Identified, `comm` and its open port are
    /// handed over; otherwise `comm` is null. Always from the event loop.
    void concluded(const KvDevice::PortReport &report, KvDevice::Communicator *comm);

private:
    /// Why the system refused to open `portName` (Qt's PermissionError), per system
    /// (portprobe_unix.cpp, portprobe_win.cpp): Busy or PermissionDenied, and the detail.
    static PortOutcome refusal(const QString &portName, QString *detail);
    /// The process that holds `portName` by its lock file, per system; 0: none known.
    static qint64 lockHolder(const QString &portName);

    void open();
    void openRemote();
    void begin(QIODevice *port);
    void ask(const QList<int> &sentences);
    void answered(const QString &payload, int owner);
    void timedOut();
    int owed();
    void awaitOwed();
    void handOver();
    void discard();
    void conclude(PortOutcome outcome, const QString &detail);

    Settings settings;
    Nmea::ParserInit *parser;
    PortReport report;
    QElapsedTimer clock;
    Communicator *comm = nullptr;
    QPointer<QIODevice> remote; // a remote port until it is ready
    AnswerLedger *ledger = nullptr;
    int group = 0;        // the passes of this probe
    int earlier = 0;      // answers owed since the port was last open
    QTimer *timer = nullptr;
    bool over = false;
    bool identified = false;
    bool selfHeld = false;
    bool gone = false;    // the port went while it was being handed over
    qint64 lastAskedUs = 0; // when the last pass was sent, on AnswerLedger::nowUs()
    qint64 confirmFrom = 0, confirmBy = 0; // identified, asked once more: an answer between was to that query
    QString garbled;      // why the last answer did not parse
    OwedAnswers owedOnClose;
};

} // namespace KvDevice
