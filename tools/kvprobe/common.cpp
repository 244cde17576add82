// SPDX-License-Identifier: MIT
#include "common.h"

#include <kvdevice/initializer.h>
#include <kvdevice/parserabstract.h>
#include <kvdevice/remoteport.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <QSerialPort>
#include <QTimer>

#include <cstdio>

namespace Tool {

QIODevice *openPort(const QString &name, QObject *context, const std::function<void()> &ready,
                    const std::function<void(const KvDevice::PortReport &)> &failed, KvDevice::PortReport *report,
                    bool raiseModemLines)
{
    report->port.name = name;
    if (KvDevice::RemotePort::isRemote(name)) {
        auto *port = new KvDevice::RemotePort(name);
        port->setObjectName(name);
        QObject::connect(port, &KvDevice::RemotePort::failed, context, [name, failed](KvDevice::RemotePort::Failure failure, const QString &why) {
            KvDevice::PortReport report;
            report.port = KvDevice::PortInfo::forName(name);
            report.outcome = failure == KvDevice::RemotePort::Busy ? KvDevice::Busy : failure == KvDevice::RemotePort::Dropped ? KvDevice::Vanished : KvDevice::NotFound;
            report.detail = why;
            failed(report);
        });
        QObject::connect(port, &KvDevice::RemotePort::connected, context, [port, context, ready] {
            QObject::disconnect(port, &KvDevice::RemotePort::failed, context, nullptr); // its communicator tells from now on
            ready();
        });
        if (port->open())
            return port;
        report->port = KvDevice::PortInfo::forName(name);
        report->outcome = KvDevice::OpenFailed;
        report->detail = port->errorString();
        delete port;
        return nullptr;
    }
    auto *port = new QSerialPort;
    port->setPortName(KvDevice::Initializer::resolvedPortName(name)); // locked as probing locks it
    if (!KvDevice::Initializer::openPort(port, name, raiseModemLines, &report->outcome, &report->detail)) {
        delete port;
        return nullptr;
    }
    QTimer::singleShot(0, context, ready);
    return port;
}

QCommandLineOption noDtrOption()
{
    return QCommandLineOption(QStringLiteral("no-dtr"), QStringLiteral("Do not raise DTR and RTS after opening a port (for boards "
                                                                       "that reset when DTR rises; Linux raises both on open itself)."));
}

int usageError(const QString &message)
{
    const QString tool = QCoreApplication::applicationName();
    printError(QStringLiteral("%1: %2\nTry '%1 --help'.").arg(tool, message));
    return 2;
}

int parseCommandLine(QCommandLineParser &parser, const QCommandLineOption &help, const QCommandLineOption &version)
{
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    // Printed here: Qt shows these in a message box on Windows when it sees no console.
    if (parser.isSet(help)) {
        printLine(parser.helpText().trimmed());
        return 0;
    }
    if (parser.isSet(version)) {
        printLine(QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion());
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));
    return -1;
}

QString typeName(KvDevice::Type type)
{
    return QString::fromLatin1(QMetaEnum::fromType<KvDevice::Type>().valueToKey(type));
}

QStringList typeArguments()
{
    return {QStringLiteral("board6100028"), QStringLiteral("board6100027"), QStringLiteral("info")};
}

bool typeFromArgument(const QString &argument, KvDevice::Type *type)
{
    // The short names and the names the tools print, in any case.
    static const QList<KvDevice::Type> types = {KvDevice::Board6100028, KvDevice::Board6100027, KvDevice::InfoDevice};
    for (int i = 0; i < types.size(); ++i) {
        if (argument.compare(typeArguments().at(i), Qt::CaseInsensitive) == 0
            || argument.compare(typeName(types.at(i)), Qt::CaseInsensitive) == 0) {
            *type = types.at(i);
            return true;
        }
    }
    return false;
}

bool typesFromArguments(const QStringList &arguments, QList<KvDevice::Type> *types, QString *error)
{
    for (const QString &argument : arguments) {
        KvDevice::Type type;
        if (!typeFromArgument(argument, &type)) {
            *error = QStringLiteral("unknown type \"%1\"; valid types: %2 (or Board6100028, Board6100027, InfoDevice)")
                         .arg(argument, typeArguments().join(QStringLiteral(", ")));
            return false;
        }
        if (!types->contains(type))
            types->append(type);
    }
    return true;
}

bool numberArgument(const QString &name, const QString &value, int least, const QString &unit, int *number, QString *error)
{
    bool ok = false;
    *number = value.toInt(&ok);
    if (ok && *number >= least)
        return true;
    *error = QStringLiteral("--%1 takes %2 (%3 or more), not \"%4\"").arg(name, unit).arg(least).arg(value);
    return false;
}

void showLibraryLog(bool show)
{
    QLoggingCategory::setFilterRules(show ? QStringLiteral("kvdevice*=true") : QStringLiteral("kvdevice*=false"));
    if (show)
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &message) {
            printError(qFormatLogMessage(type, context, message));
        });
}

void printLine(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void printError(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stderr);
    std::fflush(stderr);
}

void printJson(const QJsonObject &object)
{
    printLine(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

QString outcomeName(KvDevice::PortOutcome outcome)
{
    QString name;
    for (const QChar c : QString::fromLatin1(QMetaEnum::fromType<KvDevice::PortOutcome>().valueToKey(outcome))) {
        if (c.isUpper() && !name.isEmpty())
            name += QLatin1Char('_');
        name += c.toLower();
    }
    return name;
}

QJsonObject portJson(const KvDevice::PortInfo &port, const QString &event, KvDevice::Type type)
{
    QJsonObject object{{QStringLiteral("event"), event}, {QStringLiteral("port"), port.name}};
    if (type != KvDevice::NoDevice)
        object.insert(QStringLiteral("type"), typeName(type));
    if (!port.usbLocation.isEmpty())
        object.insert(QStringLiteral("location"), port.usbLocation);
    if (port.hasUsbIds) {
        object.insert(QStringLiteral("vid"), hex4(port.vendorId));
        object.insert(QStringLiteral("pid"), hex4(port.productId));
    }
    if (!port.serialNumber.isEmpty())
        object.insert(QStringLiteral("serial"), port.serialNumber);
    return object;
}

QJsonObject reportJson(const KvDevice::PortReport &report)
{
    QJsonObject event = portJson(report.port, QStringLiteral("port"), report.type);
    event.insert(QStringLiteral("outcome"), outcomeName(report.outcome));
    event.insert(QStringLiteral("queries"), report.queries);
    event.insert(QStringLiteral("elapsed_ms"), report.elapsedMs);
    if (!report.detail.isEmpty())
        event.insert(QStringLiteral("detail"), report.detail);
    return event;
}

namespace {
// What to do about a board on another machine that delivered nothing, from the library's
// words for why.
QString remoteAdvice(const KvDevice::PortReport &report)
{
    const QString &why = report.detail;
    switch (report.outcome) {
    case KvDevice::NotFound:
        if (why.contains(QLatin1String("nothing listens")))
            return QStringLiteral("; is the server (ser2net) running there, and serving this TCP port?");
        if (why.contains(QLatin1String("settings")))
            return QStringLiteral("; is it a raw TCP port? Then name it socket://");
        if (why.contains(QLatin1String("closed the connection")))
            return QStringLiteral("; is the board plugged in there? The server could not open its port");
        return QStringLiteral("; is the host up, and the network between open?");
    case KvDevice::Busy:
        return QStringLiteral("; another client has the board: close it, or let the server hand it over (ser2net: kickolduser)");
    case KvDevice::Vanished:
        return QStringLiteral("; was the server stopped, or the board unplugged there?");
    case KvDevice::NoAnswer:
        return QStringLiteral("; is the board's firmware running, and does the server give it 115200 baud?");
    default:
        return QString();
    }
}
} // namespace

QString advice(const KvDevice::PortReport &report)
{
    if (report.port.isRemote())
        return remoteAdvice(report);
    switch (report.outcome) {
    case KvDevice::NoAnswer:
        return QStringLiteral("; is the board's firmware running? (kvprobe --monitor %1 shows what it sends)").arg(report.port.name);
    case KvDevice::Busy:
        return busyAdvice(report);
    case KvDevice::Duplicate:
        return QStringLiteral(" (kvprobe --all takes every board)");
    case KvDevice::NotFound:
        return QStringLiteral(" (see kvprobe --list)");
    case KvDevice::Vanished:
        return QStringLiteral("; was the board unplugged or reset?");
    default:
        return QString();
    }
}

QString escaped(const QString &text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            result += QLatin1String("\\\\");
        else if (c == QLatin1Char('\r'))
            result += QLatin1String("\\r");
        else if (c == QLatin1Char('\n'))
            result += QLatin1String("\\n");
        else if (c == QLatin1Char('\t'))
            result += QLatin1String("\\t");
        else if (c.category() == QChar::Other_Control)
            result += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            result += c;
    }
    return result;
}

QString frameSentence(const QString &line)
{
    // What is typed after a '*' is sent as typed, a wrong or cut checksum too: a console
    // sends what its user means to try.
    const QString text = line.trimmed();
    if (!text.contains(QLatin1Char('*')))
        return KvDevice::Query::forSentence(text).sentence;
    return (text.startsWith(QLatin1Char('$')) || text.startsWith(QLatin1Char('!')) ? text : QLatin1Char('$') + text) + QStringLiteral("\r\n");
}

bool checksumIsRight(const QString &sentence)
{
    const QString text = sentence.trimmed();
    const int star = text.lastIndexOf(QLatin1Char('*'));
    bool ok = false;
    const uint sum = text.mid(star + 1).toUInt(&ok, 16);
    return star < 0 || (ok && sum == Nmea::calculateChecksum(text.mid(1, star - 1), 0));
}

QString reason(const KvDevice::Request::Result &result)
{
    return result.status == KvDevice::Request::ParseFailed ? QStringLiteral("its answer did not parse: ") + result.error : result.error;
}

void initFields(const KvDevice::SessionInit &answer, QJsonObject *values, QStringList *text)
{
    const QStringList &fields = answer.sentenceId == KvDevice::InfoAnswerSentence ? KvDevice::InitField::InfoAnswer : KvDevice::InitField::VersionAnswer;
    for (const QString &field : fields) {
        const QVariant value = answer.parameters.value(field);
        values->insert(field, QJsonValue::fromVariant(value));
        *text << field + QLatin1Char('=') + value.toString();
    }
}

} // namespace Tool
