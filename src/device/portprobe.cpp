// SPDX-License-Identifier: MIT
#include "device/portprobe.h"

#include <kvdevice/communicator.h>
#include <kvdevice/exception.h>
#include <kvdevice/initializer.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/recordingtap.h>

#include "logging/logger.h"
#include "transport/portdevice.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaEnum>
#include <QSerialPort>
#include <QTimer>

#include <climits>
#include <utility>

namespace KvDevice {

QList<int> PortProbe::querySentences(const QList<Type> &types)
{
    QList<int> sentences;
    if (types.contains(Board6100028) || types.contains(Board6100027))
        sentences << VersionSentence;
    if (types.contains(InfoDevice))
        sentences << InfoRequestSentence;
    return sentences;
}

SessionInit PortProbe::query(int sentenceId)
{
    SessionInit session;
    session.sentenceId = sentenceId;
    if (sentenceId == InfoRequestSentence)
        session.parameters.insert(InitField::Subcommand, InfoSubcommand);
    return session;
}

Type PortProbe::claimedType(const SessionInit &answer)
{
    if (answer.sentenceId == VersionSentence) {
        const QString hardware = answer.parameters.value(InitField::HwVersion).toString();
        if (hardware.contains(QLatin1String("6100027")))
            return Board6100027;
        if (hardware.contains(QLatin1String("6100028")))
            return Board6100028;
    } else if (answer.sentenceId == InfoAnswerSentence) {
        if (answer.parameters.value(InitField::Subcommand).toString() == InfoSubcommand)
            return InfoDevice;
    }
    return NoDevice;
}

QString PortProbe::answerAddress(int sentenceId)
{
    return sentenceId == InfoRequestSentence ? QStringLiteral("PTKVRD") : QStringLiteral("PKVVER");
}

bool PortProbe::classify(Nmea::ParserInit &parser, const QString &payload, const QList<Type> &types, PortReport *report,
                         QString *parseError)
{
    SessionInit answer;
    try {
        parser.parse(&answer, payload);
    } catch (const Nmea::Exception &e) {
        // A garbled answer is no answer: a board still booting may say more later.
        if (parseError)
            *parseError = e.message();
        return false;
    }
    const Type type = claimedType(answer);
    if (type != NoDevice && types.contains(type)) {
        report->outcome = Identified;
        report->type = type;
        report->answer = answer.parameters;
        report->detail.clear();
        return true;
    }
    // Only an answer to the identification queries says what else the port is, and only
    // over silence: the board may still answer as asked.
    const bool isAnswer = answer.sentenceId == VersionSentence || answer.sentenceId == InfoAnswerSentence;
    if (isAnswer && report->outcome == NoAnswer) {
        report->outcome = Unrecognized;
        report->type = type;
        report->answer = answer.parameters;
        report->detail = type == NoDevice ? QStringLiteral("it answered, but named no board type")
                                          : QStringLiteral("it answered as %1, which was not asked for").arg(QString::fromLatin1(QMetaEnum::fromType<Type>().valueToKey(type)));
    }
    return false;
}

QString PortProbe::silence(int queries, int answerTimeoutMs, const QString &garbled)
{
    QString text = QStringLiteral("no answer in %1 %2 of %3 ms").arg(queries).arg(queries == 1 ? QStringLiteral("pass") : QStringLiteral("passes")).arg(answerTimeoutMs);
    if (!garbled.isEmpty())
        text += QStringLiteral(" that parsed (%1)").arg(garbled);
    return text;
}

QString PortProbe::failedAfterOpening()
{
    return QStringLiteral("the port failed after it was opened: unplugged, or its far end closed");
}

bool PortProbe::openForProbing(QSerialPort *port, const QString &name, qint32 baudRate, bool raiseModemLines, PortOutcome *outcome,
                               QString *detail, bool keepInput)
{
    if (!port->open(QIODevice::ReadWrite)) {
        *outcome = openFailure(*port, detail);
        return false;
    }
    if (!port->setBaudRate(baudRate)) {
        *outcome = OpenFailed;
        *detail = QStringLiteral("it does not take %1 baud: %2").arg(baudRate).arg(port->errorString());
        port->close();
        return false;
    }
    // USB boards may send nothing until a program says it has the port open (DTR), which
    // Windows does not say by itself. A pseudo-terminal has no modem lines to raise.
    if (raiseModemLines && !(port->setDataTerminalReady(true) && port->setRequestToSend(true))) {
        if (port->error() != QSerialPort::UnsupportedOperationError) {
            KVLOG(Warning).write() << "Cannot raise DTR and RTS on " << name << ": " << port->errorString();
        }
        port->clearError();
    }
    // Bytes left from an earlier program would be read as an answer to our queries; those
    // our own earlier queries are owed are counted instead.
    if (!keepInput)
        port->clear(QSerialPort::Input);
    port->setObjectName(name);
    return true;
}

PortOutcome PortProbe::openFailure(const QSerialPort &port, QString *detail)
{
    return openFailure(port.error(), port.portName(), detail, port.errorString());
}

PortOutcome PortProbe::openFailure(QSerialPort::SerialPortError error, const QString &portName, QString *detail,
                                   const QString &systemText)
{
    if (error == QSerialPort::DeviceNotFoundError) {
        *detail = QStringLiteral("no such port");
        return NotFound;
    }
    const QFileInfo file(portName);
    if (file.isAbsolute() && (file.isFile() || file.isDir())) {
        *detail = QStringLiteral("it is a %1, not a serial port").arg(file.isDir() ? QStringLiteral("folder") : QStringLiteral("regular file"));
        return OpenFailed;
    }
    if (error != QSerialPort::PermissionError) {
        *detail = systemText.isEmpty() ? QStringLiteral("cannot open it (%1)").arg(QString::fromLatin1(QMetaEnum::fromType<QSerialPort::SerialPortError>().valueToKey(error)))
                                       : systemText;
        return OpenFailed;
    }
    return refusal(portName, detail);
}

bool PortProbe::heldHere(const QString &device)
{
    return HeldPorts::instance()->holds(device) || lockHolder(device) == QCoreApplication::applicationPid();
}

void PortProbe::closeWhenGone(QSerialPort *port)
{
    auto *guard = new QObject(port); // goes with the port
    connect(port, &QSerialPort::errorOccurred, guard, [port, guard](QSerialPort::SerialPortError error) {
        if (!isGone(*port, error))
            return;
        // After the communicator's readFailed(), which is on its way: hosts hear of it first.
        QObject::disconnect(port, nullptr, guard, nullptr); // once
        QMetaObject::invokeMethod(
            guard,
            [port] {
                if (port->isOpen())
                    port->close();
            },
            Qt::QueuedConnection);
    });
}

HeldPorts *HeldPorts::instance()
{
    thread_local HeldPorts held;
    return &held;
}

void HeldPorts::add(QIODevice *port, const QString &device)
{
    ports.insert(device, port);
    const auto letGo = [this, device, port] {
        const auto it = ports.find(device);
        if (it == ports.end() || (it.value() && it.value() != port))
            return;
        ports.erase(it);
        emit released(device);
    };
    connect(port, &QIODevice::aboutToClose, this, letGo);
    connect(port, &QObject::destroyed, this, letGo);
}

PortProbe::PortProbe(const PortInfo &port, const Settings &probeSettings, Nmea::ParserInit *sentenceParser, QObject *parent)
    : QObject(parent)
    , settings(probeSettings)
    , parser(sentenceParser)
{
    report.port = port;
}

PortProbe::~PortProbe()
{
    if (comm) {
        QIODevice *port = comm->ioDevice();
        delete comm;
        delete port;
    }
    delete remote.data(); // still connecting
}

void PortProbe::start()
{
    clock.start();
    open();
}

void PortProbe::open()
{
    if (over)
        return;
    if (isRemoteName(report.port.name)) {
        openRemote();
        return;
    }
    auto *port = new QSerialPort;
    const QString device = Initializer::resolvedPortName(report.port.name);
    port->setPortName(device);
    PortOutcome outcome = NoAnswer;
    QString detail;
    if (!openForProbing(port, report.port.name, 115200, settings.raiseModemLines, &outcome, &detail, !settings.carried.isEmpty())) {
        delete port;
        if (outcome == Busy && heldHere(device)) {
            selfHeld = true; // trying again changes nothing until it is let go
            conclude(Busy, QStringLiteral("in use by this program (process %1)").arg(QCoreApplication::applicationPid()));
            return;
        }
        // Right after a plug udev may still be setting the rights, or another program
        // (ModemManager) may be looking at the port.
        const qint64 waited = clock.elapsed();
        if ((outcome == PermissionDenied && waited < settings.openRetryWindowMs)
            || (outcome == Busy && waited < 6 * qint64(settings.openRetryWindowMs))) {
            QTimer::singleShot(250, this, &PortProbe::open);
            return;
        }
        conclude(outcome, detail);
        return;
    }
    HeldPorts::instance()->add(port, device);
    begin(port);
}

void PortProbe::openRemote()
{
    // Asked once it is ready; a failure before or after concludes with why (Dropped as
    // Vanished), before the communicator's readFailed() would.
    QIODevice *port = createPortDevice(report.port.name);
    remote = port;
    PortOutcome outcome = NoAnswer;
    QString detail;
    const auto ready = [this, port] {
        remote = nullptr;
        begin(port);
    };
    const auto failed = [this](PortOutcome failure, const QString &why) { conclude(failure, why); };
    if (!connectRemote(port, this, ready, failed, &outcome, &detail)) {
        delete port;
        conclude(outcome, detail);
    }
}

void PortProbe::begin(QIODevice *port)
{
    comm = new Communicator;
    comm->setIODevice(port);
    if (settings.tap)
        settings.tap->follow(comm, report.port);
    ledger = AnswerLedger::of(comm);
    // Answers owed while no delay is certain are waited for as long as twice this probe
    // listens, at most the patience.
    const qint64 listens = qint64(settings.answerTimeoutMs) * qMin<qint64>(qint64(settings.maxRetries) + 1, 64);
    group = ledger->open(AnswerLedger::ForListener, settings.answerTimeoutMs, int(qMin<qint64>(settings.patienceMs, 2 * listens)),
                         [this](const QString &payload, int owner) { answered(payload, owner); });
    earlier = ledger->adopt(group, settings.carried);
    connect(comm, &Communicator::readFailed, this, [this] { conclude(Vanished, failedAfterOpening()); });
    timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &PortProbe::timedOut);
    ask(querySentences(settings.types));
}

void PortProbe::ask(const QList<int> &sentences)
{
    ++report.queries;
    for (const int sentence : sentences) {
        const SessionInit session = query(sentence);
        QString text;
        parser->build(&session, text);
        comm->writePayload(text);
        ledger->sent(group, answerAddress(sentence));
    }
    lastAskedUs = AnswerLedger::nowUs();
    timer->start(settings.answerTimeoutMs);
}

void PortProbe::answered(const QString &payload, int owner)
{
    if (over)
        return;
    if (!identified) {
        QString error;
        identified = classify(*parser, payload, settings.types, &report, &error);
        if (!error.isEmpty())
            garbled = error;
        if (identified) { // a board of one kind leaves the other kind's query unanswered
            const QString address = report.type == InfoDevice ? answerAddress(InfoRequestSentence) : answerAddress(VersionSentence);
            ledger->forgetOthers(group, address);
            if (earlier)
                ledger->forgetOthers(earlier, address);
            // A board whose delay is known, answering soon after the last pass: the passes
            // before went unanswered.
            if (ledger->presumeLost(group) && earlier)
                ledger->remove(earlier);
            // Otherwise it may have answered the last pass, the ones before lost (a board still
            // booting), or an earlier one (a board slower than the passes). Asked once more:
            // an answer about as soon as the last pass's came says the first; the next answer
            // of a slower board comes a pass later.
            if (owner == group && owed() > 0) {
                const qint64 delay = AnswerLedger::nowUs() - lastAskedUs;
                ask({report.type == InfoDevice ? InfoRequestSentence : VersionSentence});
                --report.queries; // not a pass
                confirmFrom = lastAskedUs + delay / 2 - 2000; // a pty or USB round trip jitters by a millisecond or so
                // A slower board's next answer comes a pass after this one: nearer that, it
                // is not the answer to this query.
                confirmBy = lastAskedUs + qMin(2 * delay + 2000, (delay + 1000 * qint64(settings.answerTimeoutMs)) / 2);
                timer->start(int((confirmBy - lastAskedUs) / 1000 + 1));
                return;
            }
        }
    }
    if (identified && confirmBy > 0) {
        const qint64 at = AnswerLedger::nowUs();
        if (at >= confirmFrom && at <= confirmBy) { // answered as the last pass was: the passes before were lost
            ledger->remove(group);
            if (earlier)
                ledger->remove(earlier);
        }
        confirmBy = 0;
    }
    if (identified)
        awaitOwed(); // no more passes: only the answers to those sent are awaited
}

void PortProbe::timedOut()
{
    if (over)
        return;
    confirmBy = 0; // no quick answer: every answer owed is counted
    if (identified)
        awaitOwed();
    else if (quint64(report.queries) <= quint64(settings.maxRetries))
        ask(querySentences(settings.types));
    else if (report.outcome == NoAnswer)
        conclude(NoAnswer, silence(report.queries, settings.answerTimeoutMs, garbled));
    else
        conclude(report.outcome, report.detail);
}

int PortProbe::owed()
{
    return ledger->owed(group) + (earlier ? ledger->owed(earlier) : 0);
}

void PortProbe::awaitOwed()
{
    // A board is the host's once no answer to the queries sent is still to come: none of
    // them may be taken for the host's.
    if (owed() == 0) {
        handOver();
        return;
    }
    const qint64 until = qMax(ledger->forgottenAt(group), earlier ? ledger->forgottenAt(earlier) : -1);
    timer->start(int(qBound(qint64(0), until + 1 - AnswerLedger::now(), qint64(INT_MAX))));
}

void PortProbe::handOver()
{
    over = true;
    timer->stop();
    comm->disconnect(this);
    if (QIODevice *port = comm->ioDevice())
        port->disconnect(this);
    ledger->remove(group);
    if (earlier)
        ledger->remove(earlier);
    report.elapsedMs = clock.elapsed();
    // From the event loop, not from inside the port's read notification: a host may
    // delete the port and the communicator in its slot.
    QMetaObject::invokeMethod(
        this,
        [this] {
            Communicator *handed = std::exchange(comm, nullptr);
            const QIODevice *port = handed->ioDevice();
            if (gone || handed->readFailedReported || !port || !port->isOpen()) { // gone or failed meanwhile
                comm = handed;
                discard();
                report.outcome = Vanished;
                report.detail = failedAfterOpening();
                emit concluded(report, nullptr);
                return;
            }
            emit concluded(report, handed);
        },
        Qt::QueuedConnection);
}

void PortProbe::vanish()
{
    if (over && comm) // going while it is handed over: it is not
        gone = true;
    conclude(Vanished, QStringLiteral("the port went away while it was probed"));
}

void PortProbe::discard()
{
    // Not from inside the communicator's own signal: closed now, deleted later.
    comm->disconnect(this);
    if (QIODevice *port = comm->ioDevice()) {
        port->disconnect(this);
        port->close();
        port->deleteLater();
    }
    comm->deleteLater();
    comm = nullptr;
    ledger = nullptr;
}

void PortProbe::conclude(PortOutcome outcome, const QString &detail)
{
    if (over)
        return;
    over = true;
    if (timer)
        timer->stop();
    if (comm) {
        // What the port still owes may come once it is open again.
        owedOnClose = earlier ? ledger->carry(earlier) : OwedAnswers();
        const OwedAnswers mine = ledger->carry(group);
        owedOnClose.owed += mine.owed;
        owedOnClose.lastSentAt = qMax(owedOnClose.lastSentAt, mine.lastSentAt);
        owedOnClose.timeoutMs = qMax(owedOnClose.timeoutMs, mine.timeoutMs);
        owedOnClose.patienceMs = qMax(owedOnClose.patienceMs, mine.patienceMs);
        owedOnClose.longestDelay = mine.longestDelay;
        owedOnClose.reliableDelay = mine.reliableDelay;
        discard();
    } else if (remote) { // never ready; it closes itself when it failed
        remote->disconnect(this);
        remote->close();
        remote->deleteLater();
        remote = nullptr;
    }
    report.outcome = outcome;
    report.detail = detail;
    report.elapsedMs = clock.isValid() ? clock.elapsed() : 0;
    QMetaObject::invokeMethod(this, [this] { emit concluded(report, nullptr); }, Qt::QueuedConnection);
}

} // namespace KvDevice
