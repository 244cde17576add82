// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/exception.h>
#include <kvdevice/kvdevice_export.h>

#include <QChar>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QVector>

namespace Nmea {

/// XOR checksum of the first `length` characters of `text` (0: the whole text), each
/// character taken as its Latin-1 byte; characters outside Latin-1 count as '?'.
KVDEVICE_EXPORT quint8 calculateChecksum(const QString &text, int length);

namespace Detail {

inline quint8 checksum(QStringView text) noexcept
{
    quint8 sum = 0;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        sum ^= quint8(u > 0xff ? '?' : u);
    }
    return sum;
}

inline int hexValue(QChar c) noexcept
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// Sentences are short: a plain scan beats a call into Qt's search per field.
inline qsizetype indexOf(QStringView text, QChar c, qsizetype from = 0) noexcept
{
    const QChar *data = text.data();
    for (qsizetype i = from; i < text.size(); ++i) {
        if (data[i] == c)
            return i;
    }
    return -1;
}

inline QChar hexDigit(int value) noexcept
{
    return QLatin1Char("0123456789abcdef"[value & 0xf]);
}

// The checksum text as QString::toInt(base 16) reads it (white space around it ignored,
// a sign or "0x" accepted). The common "hh" CR LF form is read without converting.
inline int checksumValue(QStringView text, bool *ok)
{
    if (text.size() == 4 && text.at(2) == QLatin1Char('\r') && text.at(3) == QLatin1Char('\n')) {
        const int high = hexValue(text.at(0));
        const int low = hexValue(text.at(1));
        if (high >= 0 && low >= 0) {
            *ok = true;
            return high * 16 + low;
        }
    }
    return text.toString().toInt(ok, 16);
}

} // namespace Detail

/// Table-driven parser and builder of NMEA-0183-style sentences for sessions of type
/// `Session`. A protocol derives from it, returns its tables from the init...() operations
/// and stores the received sentence identifier in setSentenceId(); the owner calls init()
/// once before the first parse or build. Every failure is thrown as Nmea::Exception.
///
/// A concrete parser is destroyed through its own type (or an interface with a virtual
/// destructor), never through this base.
template <typename Session>
class ParserAbstract
{
public:
    /// Stores the received text `value` of the field `name` in `session`.
    using ParserDelegate = bool (*)(Session *session, const QString &value, const QString &name);
    /// Returns the wire text of the field `name` of `session`, without separators.
    using BuilderDelegate = QString (*)(const Session *session, const QString &name);

    /// An engine with the NMEA-0183 constants and empty tables; init() fills them.
    ParserAbstract();

    /// Fills the tables from the init...() operations; only the first call does anything.
    bool init();

    /// Checks the frame and checksum of one received sentence (start flag to CR LF) and
    /// hands its fields to their delegates, which fill `session`. Returns true or throws.
    bool parseSentence(Session *session, const QString &sentence);
    /// Replaces `sentence` with the framed sentence `sentenceId` built from `session`.
    /// Returns true or throws; on failure `sentence` is left as it was.
    bool buildSentence(const Session *session, int sentenceId, QString &sentence);
    /// Drops the start flag of `sentence` and splits the rest at the checksum delimiter.
    void splitSentence(QString &sentence, QString &body, QString &checksum);

    /// Parses a sentence body: the address field and the fields, without start flag and
    /// checksum.
    bool parseTrimmed(Session *session, const QString &body);
    /// Resolves `address` to its sentence identifier and hands `fields` to their delegates.
    bool parseListed(Session *session, const QString &address, const QStringList &fields);
    /// Hands field i to the delegate named by token i of `format`.
    bool parseParameters(Session *session, const QStringList &fields, const QString &format);
    /// The field text of a sentence to build: the delegates' texts for the tokens of
    /// `format`, joined by the field separator.
    QString buildParameters(const Session *session, const QString &format);

    /// Sentence identifier -> address text.
    virtual QHash<int, QString> initSentenceIdentifiers() { return {}; }
    /// Not used by the engine; there for protocols that name their talkers.
    virtual QHash<QString, QString> initTalkerIdentifiers() { return {}; }
    /// Sentence identifier -> comma-separated field names for parsing.
    virtual QHash<int, QString> initSentenceFormatsParse() { return {}; }
    /// Sentence identifier -> comma-separated field names for building.
    virtual QHash<int, QString> initSentenceFormatsBuild() { return {}; }
    /// Field name -> parse delegate.
    virtual QHash<QString, ParserDelegate> initParserDelegates() { return {}; }
    /// Field name -> build delegate.
    virtual QHash<QString, BuilderDelegate> initBuilderDelegates() { return {}; }
    /// Tells `session` which sentence it is receiving, before any field delegate runs.
    virtual void setSentenceId(Session *session, int sentenceId)
    {
        Q_UNUSED(session)
        Q_UNUSED(sentenceId)
    }

protected:
    ~ParserAbstract() = default;

    QHash<int, QString> sentenceIdentifiers;   ///< from initSentenceIdentifiers()
    QHash<int, QString> sentenceFormatsParse;  ///< from initSentenceFormatsParse()
    QHash<int, QString> sentenceFormatsBuild;  ///< from initSentenceFormatsBuild()
    QChar startFlag;                           ///< '$', which every built sentence starts with
    QChar altStartFlag;                        ///< '!', also accepted on receipt
    QString lineEnd;                           ///< CR LF
    int maxSentenceLength;                     ///< 74 characters on receipt, start flag and line end included
    QChar checksumDelimiter;                   ///< '*'
    QChar fieldSeparator;                      ///< ','
    QChar formatSeparator;                     ///< ',' between the field names of a format
    int undefinedSentenceId;                   ///< the identifier of an address no table names (-9999)
    bool initialized;                          ///< init() has filled the tables
    QHash<QString, ParserDelegate> parserDelegates;   ///< from initParserDelegates()
    QHash<QString, BuilderDelegate> builderDelegates; ///< from initBuilderDelegates()

private:
    // A format string taken apart once: its tokens with their delegates resolved
    // (null where no delegate has the name).
    template <typename Delegate>
    struct Step
    {
        QString name;
        Delegate delegate;
    };
    using ParsePlan = QVector<Step<ParserDelegate>>;
    using BuildPlan = QVector<Step<BuilderDelegate>>;

    ParsePlan parsePlan(const QString &format) const;
    BuildPlan buildPlan(const QString &format) const;
    bool parseBody(Session *session, QStringView body);
    int resolveAddress(QStringView address) const;
    bool parseResolved(Session *session, int sentenceId, const QStringList &fields);
    bool applyParsePlan(Session *session, const QStringList &fields, const ParsePlan &plan) const;
    QString applyBuildPlan(const Session *session, const BuildPlan &plan) const;

    // Filled by init() from the format tables, so no format is split per sentence.
    QHash<int, ParsePlan> parsePlans;
    QHash<int, BuildPlan> buildPlans;
};

template <typename Session>
ParserAbstract<Session>::ParserAbstract()
    : startFlag(QLatin1Char('$'))
    , altStartFlag(QLatin1Char('!'))
    , lineEnd(QStringLiteral("\r\n"))
    , maxSentenceLength(74)
    , checksumDelimiter(QLatin1Char('*'))
    , fieldSeparator(QLatin1Char(','))
    , formatSeparator(QLatin1Char(','))
    , undefinedSentenceId(-9999)
    , initialized(false)
{
}

template <typename Session>
bool ParserAbstract<Session>::init()
{
    if (initialized)
        return true;
    sentenceIdentifiers = initSentenceIdentifiers();
    sentenceFormatsParse = initSentenceFormatsParse();
    sentenceFormatsBuild = initSentenceFormatsBuild();
    parserDelegates = initParserDelegates();
    builderDelegates = initBuilderDelegates();

    parsePlans.clear();
    for (auto it = sentenceFormatsParse.cbegin(); it != sentenceFormatsParse.cend(); ++it)
        parsePlans.insert(it.key(), parsePlan(it.value()));
    buildPlans.clear();
    for (auto it = sentenceFormatsBuild.cbegin(); it != sentenceFormatsBuild.cend(); ++it)
        buildPlans.insert(it.key(), buildPlan(it.value()));

    initialized = true;
    return true;
}

template <typename Session>
bool ParserAbstract<Session>::parseSentence(Session *session, const QString &sentence)
{
    if (sentence.isEmpty() || (sentence.at(0) != startFlag && sentence.at(0) != altStartFlag))
        throw Exception(QStringLiteral("Start flag not found"));
    if (sentence.size() > maxSentenceLength)
        throw Exception(QStringLiteral("Sentence too long"));
    if (!sentence.endsWith(lineEnd))
        throw Exception(QStringLiteral("Bad end"));

    // What splitSentence() does to a copy, read in place. The start flag is never the
    // delimiter, so searching from 1 sees every delimiter of the copy.
    const QStringView text(sentence);
    const auto delimiter = Detail::indexOf(text, checksumDelimiter, 1);
    if (delimiter < 0)
        return parseBody(session, text.mid(1));
    if (Detail::indexOf(text, checksumDelimiter, delimiter + 1) >= 0)
        throw Exception(QStringLiteral("Checksum field"));

    const QStringView body = text.mid(1, delimiter - 1);
    bool ok = false;
    const int received = Detail::checksumValue(text.mid(delimiter + 1), &ok);
    if (!ok)
        throw Exception(QStringLiteral("Checksum misspelled"));
    if (quint8(received) != Detail::checksum(body))
        throw Exception(QStringLiteral("CRC calculation failed"));
    return parseBody(session, body);
}

template <typename Session>
bool ParserAbstract<Session>::buildSentence(const Session *session, int sentenceId, QString &sentence)
{
    // buildPlans holds exactly the identifiers of sentenceFormatsBuild.
    const auto plan = buildPlans.constFind(sentenceId);
    if (plan == buildPlans.cend())
        throw Exception(QStringLiteral("No formatter found"));
    const auto address = sentenceIdentifiers.constFind(sentenceId);
    if (address == sentenceIdentifiers.cend())
        throw Exception(QStringLiteral("Sentence ID not found"));
    const QString fields = applyBuildPlan(session, *plan);

    QString result;
    result.reserve(1 + address->size() + 1 + fields.size() + 3 + lineEnd.size());
    result += startFlag;
    result += *address;
    if (!fields.isEmpty()) {
        result += fieldSeparator;
        result += fields;
    }
    const quint8 sum = Detail::checksum(QStringView(result).mid(1));
    result += checksumDelimiter;
    result += Detail::hexDigit(sum >> 4);
    result += Detail::hexDigit(sum);
    result += lineEnd;
    sentence.swap(result);
    return true;
}

template <typename Session>
void ParserAbstract<Session>::splitSentence(QString &sentence, QString &body, QString &checksum)
{
    sentence.remove(0, 1);
    if (!sentence.contains(checksumDelimiter)) {
        body = sentence;
        checksum.clear();
        return;
    }
    const QStringList parts = sentence.split(checksumDelimiter);
    if (parts.size() != 2)
        throw Exception(QStringLiteral("Checksum field"));
    body = parts.at(0);
    checksum = parts.at(1);
}

template <typename Session>
bool ParserAbstract<Session>::parseTrimmed(Session *session, const QString &body)
{
    return parseBody(session, QStringView(body));
}

template <typename Session>
bool ParserAbstract<Session>::parseListed(Session *session, const QString &address, const QStringList &fields)
{
    return parseResolved(session, resolveAddress(address), fields);
}

template <typename Session>
bool ParserAbstract<Session>::parseParameters(Session *session, const QStringList &fields, const QString &format)
{
    return applyParsePlan(session, fields, parsePlan(format));
}

template <typename Session>
QString ParserAbstract<Session>::buildParameters(const Session *session, const QString &format)
{
    return applyBuildPlan(session, buildPlan(format));
}

template <typename Session>
typename ParserAbstract<Session>::ParsePlan ParserAbstract<Session>::parsePlan(const QString &format) const
{
    ParsePlan plan;
    const QStringList tokens = format.split(formatSeparator);
    plan.reserve(tokens.size());
    for (const QString &token : tokens)
        plan.append({token, token.isEmpty() ? nullptr : parserDelegates.value(token, nullptr)});
    return plan;
}

template <typename Session>
typename ParserAbstract<Session>::BuildPlan ParserAbstract<Session>::buildPlan(const QString &format) const
{
    BuildPlan plan;
    const QStringList tokens = format.split(formatSeparator);
    plan.reserve(tokens.size());
    for (const QString &token : tokens)
        plan.append({token, token.isEmpty() ? nullptr : builderDelegates.value(token, nullptr)});
    return plan;
}

template <typename Session>
bool ParserAbstract<Session>::parseBody(Session *session, QStringView body)
{
    const auto firstSeparator = Detail::indexOf(body, fieldSeparator);
    const QStringView address = firstSeparator < 0 ? body : body.left(firstSeparator);
    if (address.size() < 3)
        throw Exception(QStringLiteral("Wrong sentence description length"));

    QStringList fields;
    if (firstSeparator >= 0) {
        int count = 1;
        for (auto at = firstSeparator + 1; (at = Detail::indexOf(body, fieldSeparator, at)) >= 0; ++at)
            ++count;
        fields.reserve(count);
        for (auto from = firstSeparator + 1;;) {
            const auto next = Detail::indexOf(body, fieldSeparator, from);
            if (next < 0) {
                fields.append(body.mid(from).toString());
                break;
            }
            fields.append(body.mid(from, next - from).toString());
            from = next + 1;
        }
    }
    return parseResolved(session, resolveAddress(address), fields);
}

template <typename Session>
int ParserAbstract<Session>::resolveAddress(QStringView address) const
{
    for (auto it = sentenceIdentifiers.cbegin(); it != sentenceIdentifiers.cend(); ++it) {
        if (address == QStringView(it.value())) {
            if (it.key() == undefinedSentenceId)
                break;
            return it.key();
        }
    }
    throw Exception(QStringLiteral("Undefined sentence ID: %1").arg(address.toString()));
}

template <typename Session>
bool ParserAbstract<Session>::parseResolved(Session *session, int sentenceId, const QStringList &fields)
{
    // parsePlans holds exactly the identifiers of sentenceFormatsParse.
    const auto plan = parsePlans.constFind(sentenceId);
    if (plan == parsePlans.cend())
        throw Exception(QStringLiteral("Format not found for sentence ID"));
    setSentenceId(session, sentenceId);
    return applyParsePlan(session, fields, *plan);
}

template <typename Session>
bool ParserAbstract<Session>::applyParsePlan(Session *session, const QStringList &fields, const ParsePlan &plan) const
{
    if (plan.size() < fields.size())
        throw Exception(QStringLiteral("Specified parameters list and formatting string incompatible"));
    for (int i = 0; i < fields.size(); ++i) {
        const auto &step = plan.at(i);
        if (step.name.isEmpty())
            continue;
        if (!step.delegate)
            throw Exception(QStringLiteral("Unknown format token in sentence formatter"));
        step.delegate(session, fields.at(i), step.name);
    }
    return true;
}

template <typename Session>
QString ParserAbstract<Session>::applyBuildPlan(const Session *session, const BuildPlan &plan) const
{
    QString result;
    const int last = plan.size() - 1;
    for (int i = 0; i <= last; ++i) {
        const auto &step = plan.at(i);
        if (step.name.isEmpty())
            continue;
        if (!step.delegate)
            throw Exception(QStringLiteral("Unknown format token in sentence formatter: %1").arg(step.name));
        result += step.delegate(session, step.name);
        if (i != last)
            result += fieldSeparator;
    }
    return result;
}

} // namespace Nmea
