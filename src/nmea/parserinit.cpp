#include <kvdevice/parserinit.h>

namespace Nmea {

ParserInit::ParserInit() = default;

ParserInit::~ParserInit() = default;

bool ParserInit::parse(KvDevice::SessionAbstract *session, const QString &payload)
{
    return parseSentence(static_cast<KvDevice::SessionInit *>(session), payload);
}

bool ParserInit::build(const KvDevice::SessionAbstract *session, QString &payload)
{
    const auto *init = static_cast<const KvDevice::SessionInit *>(session);
    return buildSentence(init, init->sentenceId, payload);
}

QHash<int, QString> ParserInit::initSentenceIdentifiers()
{
    return {
        {1, QStringLiteral("PKVVER")},
        {2, QStringLiteral("PTKVWR")},
        {3, QStringLiteral("PTKVRD")},
    };
}

QHash<int, QString> ParserInit::initSentenceFormatsParse()
{
    return {
        {1, QStringLiteral("hwversion,v1,v2,v3")},
        {3, QStringLiteral("subcommand,name,devtype,boardid,rev,version,hwversion,appmode")},
    };
}

QHash<int, QString> ParserInit::initSentenceFormatsBuild()
{
    return {
        {1, QString()},
        {2, QStringLiteral("subcommand")},
    };
}

QHash<QString, ParserInit::ParserDelegate> ParserInit::initParserDelegates()
{
    return {
        {QStringLiteral("hwversion"), &ParserInit::parseString},
        {QStringLiteral("v1"), &ParserInit::parseInt},
        {QStringLiteral("v2"), &ParserInit::parseInt},
        {QStringLiteral("v3"), &ParserInit::parseInt},
        {QStringLiteral("subcommand"), &ParserInit::parseString},
        {QStringLiteral("name"), &ParserInit::parseString},
        {QStringLiteral("devtype"), &ParserInit::parseString},
        {QStringLiteral("boardid"), &ParserInit::parseString},
        {QStringLiteral("rev"), &ParserInit::parseString},
        {QStringLiteral("version"), &ParserInit::parseString},
        {QStringLiteral("appmode"), &ParserInit::parseString},
    };
}

QHash<QString, ParserInit::BuilderDelegate> ParserInit::initBuilderDelegates()
{
    return {
        {QStringLiteral("subcommand"), &ParserInit::buildString},
    };
}

void ParserInit::setSentenceId(KvDevice::SessionInit *session, int sentenceId)
{
    session->sentenceId = sentenceId;
}

namespace {
// QString::toInt in base 10, with the usual case (a few digits, maybe a sign) read
// directly: Qt's conversion goes through its locale code and costs ten times as much.
int toInt(const QString &value)
{
    const QChar *text = value.constData();
    const int size = value.size();
    int at = size > 0 && (text[0] == QLatin1Char('-') || text[0] == QLatin1Char('+')) ? 1 : 0;
    if (size - at < 1 || size - at > 9) // empty, or possibly out of range
        return value.toInt();
    int result = 0;
    for (int i = at; i < size; ++i) {
        const ushort c = text[i].unicode();
        if (c < '0' || c > '9')
            return value.toInt();
        result = result * 10 + (c - '0');
    }
    return text[0] == QLatin1Char('-') ? -result : result;
}
} // namespace

bool ParserInit::parseInt(KvDevice::SessionInit *session, const QString &value, const QString &name)
{
    session->parameters.insert(name, toInt(value));
    return true;
}

bool ParserInit::parseString(KvDevice::SessionInit *session, const QString &value, const QString &name)
{
    session->parameters.insert(name, value);
    return true;
}

QString ParserInit::buildString(const KvDevice::SessionInit *session, const QString &name)
{
    return session->parameters.value(name).toString();
}

} // namespace Nmea
