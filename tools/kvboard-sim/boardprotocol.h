// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/parserabstract.h>
#include <kvdevice/sessioninit.h>

/// The board's side of the init protocol, on the library's sentence engine: it parses
/// what a host sends (the version query "PKVVER" without fields, the information request
/// "PTKVWR" with its subcommand) and builds the answers (the version answer "PKVVER" and
/// the information answer "PTKVRD"). Call init() once after construction.
class BoardProtocol final : public Nmea::ParserAbstract<KvDevice::SessionInit>
{
public:
    enum SentenceId { Version = KvDevice::VersionSentence, InfoRequest = KvDevice::InfoRequestSentence, InfoAnswer = KvDevice::InfoAnswerSentence };

    QHash<int, QString> initSentenceIdentifiers() override;
    QHash<int, QString> initSentenceFormatsParse() override;
    QHash<int, QString> initSentenceFormatsBuild() override;
    QHash<QString, ParserDelegate> initParserDelegates() override;
    QHash<QString, BuilderDelegate> initBuilderDelegates() override;
    void setSentenceId(KvDevice::SessionInit *session, int sentenceId) override;
};
