// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/kvdevice_export.h>
#include <kvdevice/sessionabstract.h>

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace KvDevice {

/// The sentences of the init protocol, as SessionInit::sentenceId names them.
enum InitSentence : int {
    VersionSentence = 1,     ///< "PKVVER": the version query (no fields) and its answer
    InfoRequestSentence = 2, ///< "PTKVWR": the information request (field Subcommand)
    InfoAnswerSentence = 3,  ///< "PTKVRD": the information answer
};

/// The field names of the init protocol, the keys of SessionInit::parameters.
namespace InitField {
inline const QString HwVersion = QStringLiteral("hwversion"); ///< text; in both answers
inline const QString V1 = QStringLiteral("v1");               ///< int; version answer
inline const QString V2 = QStringLiteral("v2");               ///< int; version answer
inline const QString V3 = QStringLiteral("v3");               ///< int; version answer
inline const QString Subcommand = QStringLiteral("subcommand"); ///< text; information request and answer
inline const QString Name = QStringLiteral("name");           ///< text; information answer
inline const QString DevType = QStringLiteral("devtype");     ///< text; information answer
inline const QString BoardId = QStringLiteral("boardid");     ///< text; information answer
inline const QString Rev = QStringLiteral("rev");             ///< text; information answer
inline const QString Version = QStringLiteral("version");     ///< text; information answer
inline const QString AppMode = QStringLiteral("appmode");     ///< text; information answer
/// The fields of the version answer, in wire order.
inline const QStringList VersionAnswer = {HwVersion, V1, V2, V3};
/// The fields of the information answer, in wire order.
inline const QStringList InfoAnswer = {Subcommand, Name, DevType, BoardId, Rev, Version, HwVersion, AppMode};
} // namespace InitField

/// The subcommand of the information request, and of the answer of an information board.
inline const QString InfoSubcommand = QStringLiteral("INF");

/// Session record of the init protocol: which sentence (InitSentence) and its field
/// values by field name (InitField). Text fields hold a QString, the version numbers
/// V1..V3 an int.
class KVDEVICE_EXPORT SessionInit : public SessionAbstract
{
public:
    SessionInit();

    /// Sets sentenceId to 0 and drops every value.
    void clear() override;

    int sentenceId;                      ///< which sentence: an InitSentence value, 0 before any
    QHash<QString, QVariant> parameters; ///< the fields by wire name (InitField), as text or numbers
};

} // namespace KvDevice
