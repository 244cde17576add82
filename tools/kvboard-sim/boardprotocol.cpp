#include "boardprotocol.h"

#include <kvdevice/parserinit.h>

QStringList BoardProtocol::versionFields()
{
    return {QStringLiteral("hwversion"), QStringLiteral("v1"), QStringLiteral("v2"), QStringLiteral("v3")};
}

QStringList BoardProtocol::infoFields()
{
    return {QStringLiteral("subcommand"), QStringLiteral("name"),    QStringLiteral("devtype"),
            QStringLiteral("boardid"),    QStringLiteral("rev"),     QStringLiteral("version"),
            QStringLiteral("hwversion"),  QStringLiteral("appmode")};
}

QHash<int, QString> BoardProtocol::initSentenceIdentifiers()
{
    return {
        {Version, QStringLiteral("PKVVER")},
        {InfoRequest, QStringLiteral("PTKVWR")},
        {InfoAnswer, QStringLiteral("PTKVRD")},
    };
}

QHash<int, QString> BoardProtocol::initSentenceFormatsParse()
{
    // A board only ever reads queries; an answer sent to it does not parse.
    return {
        {Version, QString()},
        {InfoRequest, QStringLiteral("subcommand")},
    };
}

QHash<int, QString> BoardProtocol::initSentenceFormatsBuild()
{
    return {
        {Version, versionFields().join(QLatin1Char(','))},
        {InfoAnswer, infoFields().join(QLatin1Char(','))},
    };
}

QHash<QString, BoardProtocol::ParserDelegate> BoardProtocol::initParserDelegates()
{
    return {{QStringLiteral("subcommand"), &Nmea::ParserInit::parseString}};
}

QHash<QString, BoardProtocol::BuilderDelegate> BoardProtocol::initBuilderDelegates()
{
    QHash<QString, BuilderDelegate> delegates;
    const QStringList names = versionFields() + infoFields();
    for (const QString &name : names)
        delegates.insert(name, &Nmea::ParserInit::buildString);
    return delegates;
}

void BoardProtocol::setSentenceId(KvDevice::SessionInit *session, int sentenceId)
{
    session->sentenceId = sentenceId;
}
