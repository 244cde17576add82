// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/ipayloadparser.h>
#include <kvdevice/kvdevice_export.h>
#include <kvdevice/parserabstract.h>
#include <kvdevice/sessioninit.h>

namespace Nmea {

/// Parser of the init protocol, the sentences that identify a board (KvDevice::InitSentence,
/// fields KvDevice::InitField):
///   1 "PKVVER": the version query (built, no fields) and its answer
///               (parsed: hwversion, v1, v2, v3);
///   2 "PTKVWR": the information request (built: subcommand);
///   3 "PTKVRD": the information answer (parsed: subcommand, name, devtype, boardid, rev,
///               version, hwversion, appmode).
/// Call init() once after construction. Sessions passed in must be KvDevice::SessionInit.
class KVDEVICE_EXPORT ParserInit : public KvDevice::IPayloadParser, public ParserAbstract<KvDevice::SessionInit>
{
public:
    ParserInit();
    ~ParserInit() override;

    /// Parses one received sentence into `session` (a KvDevice::SessionInit); throws
    /// Nmea::Exception when the sentence is malformed or not one the protocol parses.
    bool parse(KvDevice::SessionAbstract *session, const QString &payload) override;
    /// Builds the sentence named by the session's sentenceId (VersionSentence or
    /// InfoRequestSentence) into `payload`.
    bool build(const KvDevice::SessionAbstract *session, QString &payload) override;

    QHash<int, QString> initSentenceIdentifiers() override;
    QHash<int, QString> initSentenceFormatsParse() override;
    QHash<int, QString> initSentenceFormatsBuild() override;
    QHash<QString, ParserDelegate> initParserDelegates() override;
    QHash<QString, BuilderDelegate> initBuilderDelegates() override;
    void setSentenceId(KvDevice::SessionInit *session, int sentenceId) override;

    /// Stores the field as an int (base 10; anything else reads as 0).
    static bool parseInt(KvDevice::SessionInit *session, const QString &value, const QString &name);
    /// Stores the field text unchanged.
    static bool parseString(KvDevice::SessionInit *session, const QString &value, const QString &name);
    /// The stored value as text, or an empty text when the session has none.
    static QString buildString(const KvDevice::SessionInit *session, const QString &name);
};

} // namespace Nmea
