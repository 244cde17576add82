// SPDX-License-Identifier: MIT
// Fuzz target: one received sentence through the init-protocol parser.
//
// Invariants checked on every input (abort on violation):
// - parse() either returns true or throws Nmea::Exception with one of the engine's texts;
// - on success the input was framed ('$' or '!' ... CR LF), at most 74 characters long, and
//   the session holds sentence 1 or 3 with only that sentence's field names;
// - whatever happened, the session names sentence 0, 1 or 3;
// - a parsed answer built again by a parser with the mirrored tables parses back to the
//   same values (or is refused as too long), and the built text carries a correct checksum;
// - an information request built from the input text parses back to the same text.

#include <kvdevice/exception.h>
#include <kvdevice/parserabstract.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/sessioninit.h>

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using KvDevice::SessionInit;

namespace {

[[noreturn]] void violated(const char *what, const QString &input)
{
    std::fprintf(stderr, "invariant violated: %s\ninput: %s\n", what, input.toUtf8().toPercentEncoding(" $!*,").constData());
    std::abort();
}

#define CHECK(condition, input)                                                                 \
    do {                                                                                         \
        if (!(condition))                                                                        \
            violated(#condition, input);                                                         \
    } while (false)

const QHash<int, QStringList> &fieldNames()
{
    static const QHash<int, QStringList> names{
        {1, QStringList{QStringLiteral("hwversion"), QStringLiteral("v1"), QStringLiteral("v2"), QStringLiteral("v3")}},
        {3, QStringList{QStringLiteral("subcommand"), QStringLiteral("name"), QStringLiteral("devtype"), QStringLiteral("boardid"),
                        QStringLiteral("rev"), QStringLiteral("version"), QStringLiteral("hwversion"), QStringLiteral("appmode")}},
    };
    return names;
}

bool isIntField(const QString &name)
{
    return name == QLatin1String("v1") || name == QLatin1String("v2") || name == QLatin1String("v3");
}

// The init protocol's tables turned around: builds what ParserInit parses and parses what
// it builds, through the public engine, so answers and requests can go round.
class MirrorParser : public Nmea::ParserAbstract<SessionInit>
{
public:
    QHash<int, QString> initSentenceIdentifiers() override
    {
        return {{1, QStringLiteral("PKVVER")}, {2, QStringLiteral("PTKVWR")}, {3, QStringLiteral("PTKVRD")}};
    }
    QHash<int, QString> initSentenceFormatsBuild() override
    {
        return {{1, fieldNames().value(1).join(QLatin1Char(','))}, {3, fieldNames().value(3).join(QLatin1Char(','))}};
    }
    QHash<int, QString> initSentenceFormatsParse() override { return {{2, QStringLiteral("subcommand")}}; }
    QHash<QString, BuilderDelegate> initBuilderDelegates() override
    {
        QHash<QString, BuilderDelegate> delegates;
        for (const QStringList &names : fieldNames())
            for (const QString &name : names)
                delegates.insert(name, &Nmea::ParserInit::buildString);
        return delegates;
    }
    QHash<QString, ParserDelegate> initParserDelegates() override
    {
        return {{QStringLiteral("subcommand"), &Nmea::ParserInit::parseString}};
    }
    void setSentenceId(SessionInit *session, int sentenceId) override { session->sentenceId = sentenceId; }
};

bool knownFailure(const QString &message)
{
    static const QStringList texts{
        QStringLiteral("Start flag not found"),
        QStringLiteral("Sentence too long"),
        QStringLiteral("Bad end"),
        QStringLiteral("Checksum field"),
        QStringLiteral("Checksum misspelled"),
        QStringLiteral("CRC calculation failed"),
        QStringLiteral("Wrong sentence description length"),
        QStringLiteral("Format not found for sentence ID"),
        QStringLiteral("Specified parameters list and formatting string incompatible"),
    };
    // Every field of the init protocol has a delegate, so "Unknown format token" is a fault.
    return texts.contains(message) || message.startsWith(QLatin1String("Undefined sentence ID: "));
}

// A built sentence: '$', body, '*', two lower-case hex digits of the body's checksum, CR LF.
void checkBuiltFrame(const QString &built, const QString &input)
{
    const int n = int(built.size());
    CHECK(n >= 6, input);
    CHECK(built.at(0) == QLatin1Char('$'), input);
    CHECK(built.endsWith(QLatin1String("\r\n")), input);
    CHECK(built.at(n - 5) == QLatin1Char('*'), input);
    const QString digits = built.mid(n - 4, 2);
    CHECK(digits == digits.toLower(), input);
    bool ok = false;
    const int sum = digits.toInt(&ok, 16);
    CHECK(ok, input);
    CHECK(sum == Nmea::calculateChecksum(built.mid(1, n - 6), 0), input);
}

Nmea::ParserInit &initParser()
{
    static Nmea::ParserInit parser;
    static const bool ready = parser.init();
    Q_UNUSED(ready)
    return parser;
}

MirrorParser &mirrorParser()
{
    static MirrorParser parser;
    static const bool ready = parser.init();
    Q_UNUSED(ready)
    return parser;
}

// Parses `input`; returns whether it parsed, with the session filled.
bool parseChecked(const QString &input, SessionInit &session)
{
    session.clear();
    bool parsed = false;
    try {
        parsed = initParser().parse(&session, input);
        CHECK(parsed, input);
    } catch (const Nmea::Exception &e) {
        CHECK(knownFailure(e.message()), input);
        // what() is a C string: the message up to its first NUL, if it holds one.
        CHECK(QByteArray(e.what()) == QByteArray(e.message().toLocal8Bit().constData()), input);
    }
    CHECK(session.sentenceId == 0 || session.sentenceId == 1 || session.sentenceId == 3, input);
    if (!parsed)
        return false;

    CHECK(input.size() <= 74, input);
    CHECK(input.startsWith(QLatin1Char('$')) || input.startsWith(QLatin1Char('!')), input);
    CHECK(input.endsWith(QLatin1String("\r\n")), input);
    CHECK(session.sentenceId == 1 || session.sentenceId == 3, input);
    const QStringList names = fieldNames().value(session.sentenceId);
    for (auto it = session.parameters.cbegin(); it != session.parameters.cend(); ++it)
        CHECK(names.contains(it.key()), input);
    return true;
}

void roundTripAnswer(const SessionInit &answer, const QString &input)
{
    QString built;
    mirrorParser().buildSentence(&answer, answer.sentenceId, built);
    checkBuiltFrame(built, input);

    SessionInit again;
    again.clear();
    try {
        initParser().parse(&again, built);
    } catch (const Nmea::Exception &e) {
        // Lengths may grow: a checksum added, a number written out in full.
        CHECK(built.size() > 74 && e.message() == QLatin1String("Sentence too long"), input);
        return;
    }
    CHECK(built.size() <= 74, input);
    CHECK(again.sentenceId == answer.sentenceId, input);
    for (const QString &name : fieldNames().value(answer.sentenceId)) {
        if (isIntField(name))
            CHECK(again.parameters.value(name).toInt() == answer.parameters.value(name).toInt(), input);
        else
            CHECK(again.parameters.value(name).toString() == answer.parameters.value(name).toString(), input);
    }
}

void roundTripRequest(const QString &input)
{
    const QString text = input.left(60);
    SessionInit request;
    request.clear();
    request.sentenceId = 2;
    request.parameters.insert(QStringLiteral("subcommand"), text);
    QString built = QStringLiteral("unchanged");
    CHECK(initParser().build(&request, built), input);
    checkBuiltFrame(built, input);
    CHECK(built.startsWith(text.isEmpty() ? QStringLiteral("$PTKVWR*") : QStringLiteral("$PTKVWR,") + text + QLatin1Char('*')), input);

    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('*')))
        return; // such a field cannot go round by design
    SessionInit back;
    back.clear();
    try {
        mirrorParser().parseSentence(&back, built);
    } catch (const Nmea::Exception &e) {
        CHECK(built.size() > 74 && e.message() == QLatin1String("Sentence too long"), input);
        return;
    }
    CHECK(back.sentenceId == 2, input);
    CHECK(back.parameters.value(QStringLiteral("subcommand")).toString() == text, input);
}

void fuzzOne(const QString &input)
{
    SessionInit session;
    if (parseChecked(input, session))
        roundTripAnswer(session, input);
    roundTripRequest(input);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    const int n = int(size);
    // The receive path hands over UTF-8; Latin-1 reaches every byte value, UTF-16 every
    // character outside Latin-1.
    fuzzOne(QString::fromUtf8(bytes, n));
    fuzzOne(QString::fromLatin1(bytes, n));
    if (size > 0 && size % 2 == 0) {
        std::vector<char16_t> units(size / 2); // copied: the fuzzer's bytes need not be aligned
        std::memcpy(units.data(), data, size);
        fuzzOne(QString::fromUtf16(units.data(), n / 2));
    }
    return 0;
}
