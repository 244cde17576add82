// SPDX-License-Identifier: MIT
// The sentence engine, driven through a small protocol of the test's own, and the init
// protocol built on it: framing, checksum, tables, format strings, delegates, sessions.

#include <kvdevice/exception.h>
#include <kvdevice/parserabstract.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/sessioninit.h>

#include "testsupport.h"

#include <QtTest>

using KvDevice::SessionInit;
using TestSupport::sentence;
using Values = QVariantHash;

namespace {

// A session that records what the engine did to it.
struct Record
{
    int sentenceId = 0;
    QStringList calls;
    QHash<QString, QString> values;
};

class TestProtocol : public Nmea::ParserAbstract<Record>
{
public:
    QHash<int, QString> identifiers{{1, QStringLiteral("abc")}, {2, QStringLiteral("XYZ")}, {3, QStringLiteral("NOFMT")}, {-9999, QStringLiteral("UNDEF")},
                                    {5, QStringLiteral("DUP")}, {6, QStringLiteral("SIX")}, {9, QStringLiteral("NINE")}};
    int tableCalls = 0;
    int talkerCalls = 0;

    QHash<int, QString> initSentenceIdentifiers() override { ++tableCalls; return identifiers; }
    QHash<QString, QString> initTalkerIdentifiers() override { ++talkerCalls; return {}; }
    QHash<int, QString> initSentenceFormatsParse() override
    {
        return {{1, QStringLiteral("a,b,c")}, {2, QStringLiteral("a,,b,a")}, {5, QStringLiteral("a,unknown,b,alsounknown")}, {-9999, QStringLiteral("a")}};
    }
    QHash<int, QString> initSentenceFormatsBuild() override
    {
        return {{1, QStringLiteral("a")}, {2, QStringLiteral("a,,b")}, {3, QStringLiteral("a,b,")}, {4, QStringLiteral("a,x")}, {5, QString()},
                {6, QStringLiteral("a,b")}, {9, QStringLiteral("a,x")}};
    }
    QHash<QString, ParserDelegate> initParserDelegates() override
    {
        return {{QStringLiteral("a"), &store}, {QStringLiteral("b"), &refuse}, {QStringLiteral("c"), &store}};
    }
    QHash<QString, BuilderDelegate> initBuilderDelegates() override { return {{QStringLiteral("a"), &text}, {QStringLiteral("b"), &text}}; }
    void setSentenceId(Record *record, int id) override { record->calls << QStringLiteral("id=%1").arg(record->sentenceId = id); }

    static bool store(Record *record, const QString &value, const QString &name)
    {
        record->calls << name + QLatin1Char('=') + value;
        record->values.insert(name, value);
        return true;
    }
    // Reports failure, which the engine must ignore.
    static bool refuse(Record *record, const QString &value, const QString &name) { return !store(record, value, name); }
    static QString text(const Record *record, const QString &name) { return record->values.value(name); }
};

QString crlf(const char *text)
{
    return QString::fromUtf8(text) + QStringLiteral("\r\n");
}

// Runs `call` and returns the message of the Nmea::Exception it throws ("" if none).
template <typename Call>
QString failureOf(Call call)
{
    try {
        call();
    } catch (const Nmea::Exception &e) {
        return e.message();
    }
    return QString();
}

QStringList words(const char *text)
{
    return QString::fromUtf8(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

} // namespace

class tst_Nmea : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse()
    {
        QFETCH(QString, text);
        QFETCH(QString, error);
        QFETCH(QStringList, calls);

        TestProtocol protocol;
        protocol.init();
        Record record;
        bool result = false;
        const QString copy = text;
        QCOMPARE(failureOf([&] { result = protocol.parseSentence(&record, text); }), error);
        QCOMPARE(result, error.isEmpty());
        QCOMPARE(record.calls, calls);
        QCOMPARE(text, copy);
    }
    void build_data();
    void build()
    {
        QFETCH(int, id);
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(QString, expected); // or the error

        TestProtocol protocol;
        protocol.init();
        Record record;
        record.values = {{QStringLiteral("a"), a}, {QStringLiteral("b"), b}};
        QString text = QStringLiteral("untouched");
        bool result = false;
        const QString error = failureOf([&] { result = protocol.buildSentence(&record, id, text); });
        QCOMPARE(result, error.isEmpty());
        QCOMPARE(error.isEmpty() ? text : error, expected);
        QCOMPARE(text, error.isEmpty() ? expected : QStringLiteral("untouched")); // a failed build leaves the output
    }
    void engine();
    void initNumbers_data();
    void initNumbers();
};

void tst_Nmea::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("calls");

    // "$abc,1," + filler + "*hh" CR LF, exactly `total` characters long.
    auto ofLength = [](int total) { return sentence(QStringLiteral("abc,1,") + QString(total - 12, QLatin1Char('x'))); };
    auto frame = [](const char *name, const QString &text, const char *error, const QStringList &calls) {
        QTest::newRow(name) << text << QString::fromUtf8(error) << calls;
    };
    auto body = [frame](const char *name, const char *text, const char *error, const char *calls) { frame(name, sentence(QString::fromUtf8(text)), error, words(calls)); };
    const QStringList oneField = words("id=1 a=1");

    frame("plain", crlf("$abc,1*7d"), "", oneField);
    frame("alternative start flag", crlf("!abc,1*7d"), "", oneField);
    frame("upper-case checksum", crlf("$abc,1*7D"), "", oneField);
    frame("only the low eight bits count", crlf("$abc,1*17d"), "", oneField);
    frame("checksum with blanks and 0x", crlf("$abc,1* 0x7d"), "", oneField);
    frame("negative checksum, same low bits", crlf("$abc,1*-83"), "", oneField);
    frame("no checksum: the CR LF reaches the last field", crlf("$abc,1"), "", {QStringLiteral("id=1"), crlf("a=1")});
    frame("no checksum, no field: the CR LF is part of the address", crlf("$abc"), "Undefined sentence ID: abc\r\n", {});
    frame("outside Latin-1 checksummed as ?", crlf("$abc,\u20ac*73"), "", {QStringLiteral("id=1"), QStringLiteral("a=\u20ac")});
    frame("74 characters", ofLength(74), "", QStringList(oneField) << QStringLiteral("b=") + QString(62, QLatin1Char('x')));
    frame("empty", QString(), "Start flag not found", {});
    frame("start flag later", crlf(" $abc,1*7d"), "Start flag not found", {});
    frame("75 characters", ofLength(75), "Sentence too long", {});
    frame("75 characters, no line end", ofLength(76).left(75), "Sentence too long", {});
    frame("no line end", QStringLiteral("$abc,1*7d"), "Bad end", {});
    frame("LF only", QStringLiteral("$abc,1*7d\n"), "Bad end", {});
    frame("two delimiters", crlf("$abc*60*60"), "Checksum field", {});
    frame("empty checksum", crlf("$abc*"), "Checksum misspelled", {});
    frame("checksum not hexadecimal", crlf("$abc,1*7g"), "Checksum misspelled", {});
    frame("checksum of a character between Z and a", crlf("$abc*]0"), "Checksum misspelled", {});
    frame("wrong checksum", crlf("$abc*61"), "CRC calculation failed", {});
    body("three fields", "abc,1,2,3", "", "id=1 a=1 b=2 c=3");
    body("fewer fields than tokens", "abc,1", "", "id=1 a=1");
    body("no fields", "abc", "", "id=1");
    body("empty fields reach their delegates", "abc,,7", "", "id=1 a= b=7");
    body("empty token skips its field, repeated token called twice", "XYZ,1,2,3,4", "", "id=2 a=1 b=3 a=4");
    body("unknown tokens beyond the last field", "DUP,1", "", "id=5 a=1");
    body("address of two characters", "ab,1", "Wrong sentence description length", "");
    body("empty address", ",1", "Wrong sentence description length", "");
    body("letter case differs", "ABC,1", "Undefined sentence ID: ABC", "");
    body("address of the undefined identifier", "UNDEF,1", "Undefined sentence ID: UNDEF", "");
    body("no parse format", "NOFMT,1", "Format not found for sentence ID", "");
    body("more fields than tokens: after the id, before any delegate", "abc,1,2,3,4", "Specified parameters list and formatting string incompatible", "id=1");
    body("unknown token at a field: earlier fields kept", "DUP,1,2", "Unknown format token in sentence formatter", "id=5 a=1");
}

void tst_Nmea::build_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<QString>("expected");

    QTest::newRow("one field") << 1 << QStringLiteral("1") << QString() << crlf("$abc,1*7d");
    QTest::newRow("empty field text: no separator") << 1 << QString() << QString() << crlf("$abc*60");
    QTest::newRow("empty format") << 5 << QStringLiteral("1") << QString() << crlf("$DUP*41");
    QTest::newRow("a,,b gives two fields") << 2 << QStringLiteral("A") << QStringLiteral("B") << sentence(QStringLiteral("XYZ,A,B"));
    QTest::newRow("a,b, gives a trailing separator") << 3 << QStringLiteral("A") << QStringLiteral("B") << sentence(QStringLiteral("NOFMT,A,B,"));
    QTest::newRow("an empty text keeps its separator") << 6 << QString() << QStringLiteral("B") << sentence(QStringLiteral("SIX,,B"));
    QTest::newRow("checksum zero-padded") << 1 << QStringLiteral("F") << QString() << crlf("$abc,F*0a");
    QTest::newRow("checksum above 0x7f, lower case") << 1 << QStringLiteral("\u00e9") << QString() << crlf("$abc,\u00e9*a5");
    QTest::newRow("no escaping") << 1 << QStringLiteral("x,y*z") << QString() << sentence(QStringLiteral("abc,x,y*z"));
    QTest::newRow("no build format") << 7 << QString() << QString() << QStringLiteral("No formatter found");
    QTest::newRow("no address") << 4 << QString() << QString() << QStringLiteral("Sentence ID not found");
    QTest::newRow("unknown token") << 9 << QString() << QString() << QStringLiteral("Unknown format token in sentence formatter: x");
}

void tst_Nmea::engine()
{
    // The checksum of the first `length` characters (0: all).
    QCOMPARE(int(Nmea::calculateChecksum(QStringLiteral("abc,1"), 3)), 0x60);
    QCOMPARE(int(Nmea::calculateChecksum(QStringLiteral("abc"), 10)), 0x60);

    TestProtocol protocol;
    Record record;
    QString text, body, checksum;
    QCOMPARE(failureOf([&] { protocol.parseSentence(&record, crlf("$abc,1*7d")); }), QStringLiteral("Undefined sentence ID: abc"));
    QCOMPARE(failureOf([&] { protocol.buildSentence(&record, 1, text); }), QStringLiteral("No formatter found"));
    QVERIFY(protocol.init() && protocol.init()); // the second reads no table
    QCOMPARE(protocol.tableCalls, 1);
    QCOMPARE(protocol.talkerCalls, 0);

    // The steps of a parse and a build, called on their own.
    QVERIFY(protocol.parseTrimmed(&record, QStringLiteral("abc,7")));
    QVERIFY(protocol.parseListed(&record, QStringLiteral("XYZ"), {QStringLiteral("p"), QStringLiteral("q")}));
    QVERIFY(protocol.parseParameters(&record, {QStringLiteral("1"), QStringLiteral("2")}, QStringLiteral("c,a")));
    QCOMPARE(record.calls, words("id=1 a=7 id=2 a=p c=1 a=2"));
    QCOMPARE(failureOf([&] { protocol.parseParameters(&record, {QStringLiteral("1")}, QStringLiteral("zz")); }), QStringLiteral("Unknown format token in sentence formatter"));
    QCOMPARE(failureOf([&] { protocol.parseParameters(&record, {QStringLiteral("1"), QString()}, QString()); }), QStringLiteral("Specified parameters list and formatting string incompatible"));
    QCOMPARE(protocol.buildParameters(&record, QStringLiteral("b,,a,")), QStringLiteral(",2,"));
    QCOMPARE(failureOf([&] { protocol.buildParameters(&record, QStringLiteral("a,q")); }), QStringLiteral("Unknown format token in sentence formatter: q"));
    // splitSentence takes the start flag off the text and hands out body and checksum.
    const QList<QStringList> splits = {{crlf("$abc,1*7d"), crlf("abc,1*7d"), QStringLiteral("abc,1"), crlf("7d")},
                                       {crlf("$abc,1"), crlf("abc,1"), crlf("abc,1"), QString()},
                                       {crlf("$*00"), crlf("*00"), QString(), crlf("00")},
                                       {crlf("$a*b*c"), crlf("a*b*c"), QStringLiteral("Checksum field")}};
    for (QStringList expected : splits) {
        text = expected.takeFirst();
        const QString error = failureOf([&] { protocol.splitSentence(text, body, checksum); });
        QCOMPARE(error.isEmpty() ? (QStringList{text, body, checksum}) : (QStringList{text, error}), expected);
    }
    // An exception keeps its text in its own bytes.
    auto *copy = new Nmea::Exception(Nmea::Exception(QStringLiteral("Bad end")));
    QCOMPARE(static_cast<std::exception *>(copy)->what(), "Bad end");
    QCOMPARE(copy->message(), QStringLiteral("Bad end"));
    delete copy;
}

void tst_Nmea::initNumbers_data()
{
    QTest::addColumn<QString>("text");
    for (const char *text : {"0", "7", "-4", "+5", "007", "-0", "123456789", "-123456789", "1234567890", "2147483647", "2147483648", "-2147483648",
                             "-2147483649", "99999999999", "", "+", "-", "--1", "+-1", "1-", " 7", "7 ", "1e3", "1.0", ".", "/", ":", "0x1f", "12a", "\xef\xbc\x91"})
        QTest::newRow(text) << QString::fromUtf8(text);
}

void tst_Nmea::initNumbers()
{
    // The version numbers are ints, whatever QString::toInt makes of the field (0 included);
    // text fields stay text. On a session cleared of what it held.
    QFETCH(QString, text);
    Nmea::ParserInit parser;
    parser.init();
    SessionInit session;
    session.sentenceId = 7;
    session.parameters.insert(QStringLiteral("stale"), 1);
    static_cast<KvDevice::SessionAbstract &>(session).clear();
    QCOMPARE(session.sentenceId, 0);
    QVERIFY(parser.parse(&session, sentence(QStringLiteral("PKVVER, HW ,%1,2").arg(text))));
    QCOMPARE(session.parameters, (Values{{KvDevice::InitField::HwVersion, QStringLiteral(" HW ")}, {KvDevice::InitField::V1, text.toInt()}, {KvDevice::InitField::V2, 2}}));
    QCOMPARE(session.parameters.value(KvDevice::InitField::V1).userType(), int(QMetaType::Int));
    QCOMPARE(session.sentenceId, 1); // the numbers are the protocol's, fixed for hosts
    QVERIFY(parser.parse(&session, crlf("$PTKVRD,INF,N,D,B,R,V,H,A*0b")) && session.sentenceId == 3);
}

QTEST_GUILESS_MAIN(tst_Nmea)
#include "tst_nmea.moc"
