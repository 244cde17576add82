#pragma once

#include <kvdevice/portreport.h>
#include <kvdevice/sessioninit.h>
#include <kvdevice/type.h>

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>

class QTimer;

namespace Nmea {
class ParserInit;
}

namespace KvDevice {

class Communicator;

/// What probing one port needs, whoever probes it: the queries that identify the
/// requested types, what an answer says the board is, and why a port could not be opened.
/// An instance probes one port on its own, as the watcher does: it opens the port (again,
/// within a window, while it is busy or refused), asks up to 1 + maxRetries times and
/// concludes once.
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
        bool raiseModemLines = true;  // DTR and RTS
    };

    /// The sentences that ask for `types`: the version query when a board type is
    /// requested, the information request when InfoDevice is.
    static QList<int> querySentences(const QList<Type> &types);
    /// The session of one such query, ready to build.
    static SessionInit query(int sentenceId);
    /// The type an answer that parsed names, requested or not; NoDevice when it names none.
    static Type claimedType(const SessionInit &answer);
    /// Reads one answer into `report`: true when it names one of `types` (the report says
    /// Identified); otherwise it is noted as Unrecognized, but only over silence. A parse
    /// error is also given in `parseError`; the sentence that parsed in `sentenceId` (0
    /// when none did).
    static bool classify(Nmea::ParserInit &parser, const QString &payload, const QList<Type> &types, PortReport *report,
                         QString *parseError = nullptr, int *sentenceId = nullptr);
    /// The detail of a port that stayed silent.
    static QString silence(int queries, int answerTimeoutMs);
    /// The detail of a port that failed after it was opened.
    static QString failedAfterOpening();
    /// Opens `port` for probing at `baudRate`, DTR and RTS raised when asked, bytes from
    /// before dropped, named `name` (in the logs and PortInfo::name); false with why when it
    /// does not open or take the baud rate.
    static bool openForProbing(QSerialPort *port, const QString &name, qint32 baudRate, bool raiseModemLines, PortOutcome *outcome,
                               QString *detail);
    /// Why `port` did not open, as an outcome and, in `detail`, in words for people: who
    /// holds a busy port, which group may open a refused one.
    static PortOutcome openFailure(const QSerialPort &port, QString *detail);
    /// The same from Qt's error and the port's name; `systemText` (Qt's words) is the
    /// detail of errors that have no words of ours.
    static PortOutcome openFailure(QSerialPort::SerialPortError error, const QString &portName, QString *detail,
                                   const QString &systemText = QString());

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

signals:
    /// The probe is over. When the report says Identified, `comm` and its open port are
    /// handed over; otherwise `comm` is null.
    void concluded(const KvDevice::PortReport &report, KvDevice::Communicator *comm);

private:
    /// Why the system refused to open `portName` (Qt's PermissionError), per system
    /// (portprobe_unix.cpp, portprobe_win.cpp): Busy or PermissionDenied, and the detail.
    static PortOutcome refusal(const QString &portName, QString *detail);

    void open();
    void ask();
    void readAnswers();
    void awaitNextAnswer();
    void handOver();
    void conclude(PortOutcome outcome, const QString &detail);

    Settings settings;
    Nmea::ParserInit *parser;
    PortReport report;
    QElapsedTimer clock;
    Communicator *comm = nullptr;
    QTimer *timer = nullptr;
    bool over = false;

    // A board is handed over only once the answers to the passes already sent are in:
    // a slow board's late answers would otherwise be taken for the host's.
    QList<qint64> asked;           // when each pass asked, on `clock`
    QHash<int, int> answered;      // answers that parsed, by sentence
    QHash<int, qint64> firstAnswer; // when the first of each came
    int awaited = 0;               // the identifying sentence while more of it is to come
    QStringList held;              // what else the board said meanwhile: the host's
};

} // namespace KvDevice
