#include "device/portprobe.h"

#include <kvdevice/communicator.h>
#include <kvdevice/exception.h>
#include <kvdevice/initializer.h>
#include <kvdevice/parserinit.h>

#include "logging/logger.h"

#include <QFileInfo>
#include <QMetaEnum>
#include <QSerialPort>
#include <QTimer>

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

bool PortProbe::classify(Nmea::ParserInit &parser, const QString &payload, const QList<Type> &types, PortReport *report,
                         QString *parseError, int *sentenceId)
{
    SessionInit answer;
    Type type = NoDevice;
    QString detail;
    try {
        parser.parse(&answer, payload);
        type = claimedType(answer);
        if (sentenceId)
            *sentenceId = answer.sentenceId;
    } catch (const Nmea::Exception &e) {
        if (parseError)
            *parseError = e.message();
        answer.parameters.clear();
        detail = QStringLiteral("its answer did not parse: ") + e.message();
    }
    if (type != NoDevice && types.contains(type)) {
        report->outcome = Identified;
        report->type = type;
        report->answer = answer.parameters;
        report->detail.clear();
        return true;
    }
    // An answer that identifies nothing counts only over silence.
    if (report->outcome == NoAnswer) {
        report->outcome = Unrecognized;
        report->type = type;
        report->answer = answer.parameters;
        if (detail.isEmpty())
            detail = type == NoDevice ? QStringLiteral("it answered, but named no board type")
                                      : QStringLiteral("it answered as %1, which was not asked for").arg(QString::fromLatin1(QMetaEnum::fromType<Type>().valueToKey(type)));
        report->detail = detail;
    }
    return false;
}

QString PortProbe::silence(int queries, int answerTimeoutMs)
{
    return QStringLiteral("no answer in %1 %2 of %3 ms").arg(queries).arg(queries == 1 ? QStringLiteral("pass") : QStringLiteral("passes")).arg(answerTimeoutMs);
}

QString PortProbe::failedAfterOpening()
{
    return QStringLiteral("the port failed after it was opened: unplugged, or its far end closed");
}

bool PortProbe::openForProbing(QSerialPort *port, const QString &name, qint32 baudRate, bool raiseModemLines, PortOutcome *outcome,
                               QString *detail)
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
    // Bytes left from an earlier program would be read as an answer to our queries.
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
    auto *port = new QSerialPort;
    port->setPortName(Initializer::resolvedPortName(report.port.name));
    PortOutcome outcome = NoAnswer;
    QString detail;
    if (!openForProbing(port, report.port.name, 115200, settings.raiseModemLines, &outcome, &detail)) {
        delete port;
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
    comm = new Communicator;
    comm->setIODevice(port);
    connect(comm, qOverload<>(&Communicator::readyRead), this, &PortProbe::readAnswers);
    connect(comm, &Communicator::readFailed, this,
            [this] { conclude(Vanished, failedAfterOpening()); });
    timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, [this] {
        if (awaited)
            handOver(); // the answers still expected are not coming
        else if (report.queries <= int(settings.maxRetries))
            ask();
        else if (report.outcome == NoAnswer)
            conclude(NoAnswer, silence(report.queries, settings.answerTimeoutMs));
        else
            conclude(report.outcome, report.detail);
    });
    ask();
}

void PortProbe::ask()
{
    ++report.queries;
    asked << clock.elapsed();
    for (const int sentence : querySentences(settings.types)) {
        const SessionInit session = query(sentence);
        QString text;
        parser->build(&session, text);
        comm->writePayload(text);
    }
    timer->start(settings.answerTimeoutMs);
}

void PortProbe::readAnswers()
{
    QString payload;
    while (!over && comm->readPayload(payload, 0)) {
        int sentence = 0;
        if (!awaited) {
            const bool identified = classify(*parser, payload, settings.types, &report, nullptr, &sentence);
            if (sentence && !answered[sentence]++)
                firstAnswer[sentence] = clock.elapsed();
            if (!identified)
                continue;
            awaited = sentence;
            timer->stop();
        } else {
            SessionInit answer;
            try {
                parser->parse(&answer, payload);
            } catch (const Nmea::Exception &) {
            }
            if (answer.sentenceId != awaited) {
                held << payload;
                continue;
            }
            ++answered[awaited];
        }
        if (answered.value(awaited) >= report.queries) {
            handOver(); // may delete this
            return;
        }
        awaitNextAnswer();
    }
}

void PortProbe::awaitNextAnswer()
{
    // Answers come in the order asked, each as late as the first one came: the next is the
    // one to the first pass not answered yet.
    const qint64 delay = firstAnswer.value(awaited) - asked.first();
    const qint64 due = asked.value(answered.value(awaited)) + delay + qMax<qint64>(100, delay / 4);
    timer->start(int(qMax<qint64>(0, due - clock.elapsed())));
}

void PortProbe::handOver()
{
    report.elapsedMs = clock.elapsed();
    over = true;
    timer->stop();
    comm->disconnect(this);
    comm->keep(held);
    Communicator *handed = comm;
    comm = nullptr;
    emit concluded(report, handed); // may delete this
}

void PortProbe::vanish()
{
    conclude(Vanished, QStringLiteral("the port went away while it was probed"));
}

void PortProbe::conclude(PortOutcome outcome, const QString &detail)
{
    if (over)
        return;
    over = true;
    if (timer)
        timer->stop();
    if (comm) {
        // Not from inside the communicator's own signal: closed now, deleted later.
        comm->disconnect(this);
        if (QIODevice *port = comm->ioDevice()) {
            port->close();
            port->deleteLater();
        }
        comm->deleteLater();
        comm = nullptr;
    }
    report.outcome = outcome;
    report.detail = detail;
    report.elapsedMs = clock.isValid() ? clock.elapsed() : 0;
    emit concluded(report, nullptr);
}

} // namespace KvDevice
