// SPDX-License-Identifier: MIT
#include "boardprotocol.h"

#include <kvdevice/parserinit.h>

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
        {InfoRequest, KvDevice::InitField::Subcommand},
    };
}

QHash<int, QString> BoardProtocol::initSentenceFormatsBuild()
{
    return {
        {Version, KvDevice::InitField::VersionAnswer.join(QLatin1Char(','))},
        {InfoAnswer, KvDevice::InitField::InfoAnswer.join(QLatin1Char(','))},
    };
}

QHash<QString, BoardProtocol::ParserDelegate> BoardProtocol::initParserDelegates()
{
    return {{KvDevice::InitField::Subcommand, &Nmea::ParserInit::parseString}};
}

QHash<QString, BoardProtocol::BuilderDelegate> BoardProtocol::initBuilderDelegates()
{
    QHash<QString, BuilderDelegate> delegates;
    const QStringList names = KvDevice::InitField::VersionAnswer + KvDevice::InitField::InfoAnswer;
    for (const QString &name : names)
        delegates.insert(name, &Nmea::ParserInit::buildString);
    return delegates;
}

void BoardProtocol::setSentenceId(KvDevice::SessionInit *session, int sentenceId)
{
    session->sentenceId = sentenceId;
}
