// SPDX-License-Identifier: MIT
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

using namespace KvDevice;

QHash<int, QString> ParserInit::initSentenceIdentifiers()
{
    return {
        {VersionSentence, QStringLiteral("PKVVER")},
        {InfoRequestSentence, QStringLiteral("PTKVWR")},
        {InfoAnswerSentence, QStringLiteral("PTKVRD")},
    };
}

QHash<int, QString> ParserInit::initSentenceFormatsParse()
{
    return {
        {VersionSentence, InitField::VersionAnswer.join(QLatin1Char(','))},
        {InfoAnswerSentence, InitField::InfoAnswer.join(QLatin1Char(','))},
    };
}

QHash<int, QString> ParserInit::initSentenceFormatsBuild()
{
    return {
        {VersionSentence, QString()},
        {InfoRequestSentence, InitField::Subcommand},
    };
}

QHash<QString, ParserInit::ParserDelegate> ParserInit::initParserDelegates()
{
    QHash<QString, ParserDelegate> delegates;
    for (const QString &field : InitField::InfoAnswer)
        delegates.insert(field, &ParserInit::parseString);
    for (const QString &field : {InitField::V1, InitField::V2, InitField::V3})
        delegates.insert(field, &ParserInit::parseInt);
    return delegates;
}

QHash<QString, ParserInit::BuilderDelegate> ParserInit::initBuilderDelegates()
{
    return {
        {InitField::Subcommand, &ParserInit::buildString},
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
