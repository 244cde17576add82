// The sentence engine: framing, checksum, tables, format strings and delegates, driven
// through a small protocol of the test's own.

#include <kvdevice/exception.h>
#include <kvdevice/parserabstract.h>

#include "testsupport.h"

#include <QtTest>

using TestSupport::sentence;

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
    QHash<int, QString> identifiers{{1, QStringLiteral("abc")}, {2, QStringLiteral("XYZ")},
                                    {3, QStringLiteral("NOFMT")}, {-9999, QStringLiteral("UNDEF")},
                                    {5, QStringLiteral("DUP")},   {6, QStringLiteral("SIX")},
                                    {9, QStringLiteral("NINE")}};
    QHash<int, QString> parseFormats{{1, QStringLiteral("a,b,c")}, {2, QStringLiteral("a,,b,a")},
                                     {5, QStringLiteral("a,unknown,b,alsounknown")}, {-9999, QStringLiteral("a")}};
    QHash<int, QString> buildFormats{{1, QStringLiteral("a")},       {2, QStringLiteral("a,,b")},
                                     {3, QStringLiteral("a,b,")},     {4, QStringLiteral("a,x")},
                                     {5, QString()},                  {6, QStringLiteral("a,b")},
                                     {9, QStringLiteral("a,x")}};
    int tableCalls = 0;
    int talkerCalls = 0;

    QHash<int, QString> initSentenceIdentifiers() override { ++tableCalls; return identifiers; }
    QHash<QString, QString> initTalkerIdentifiers() override { ++talkerCalls; return {}; }
    QHash<int, QString> initSentenceFormatsParse() override { ++tableCalls; return parseFormats; }
    QHash<int, QString> initSentenceFormatsBuild() override { ++tableCalls; return buildFormats; }
    QHash<QString, ParserDelegate> initParserDelegates() override
    {
        ++tableCalls;
        return {{QStringLiteral("a"), &store}, {QStringLiteral("b"), &refuse}, {QStringLiteral("c"), &store}};
    }
    QHash<QString, BuilderDelegate> initBuilderDelegates() override
    {
        ++tableCalls;
        return {{QStringLiteral("a"), &text}, {QStringLiteral("b"), &text}};
    }
    void setSentenceId(Record *record, int id) override
    {
        record->sentenceId = id;
        record->calls << QStringLiteral("id=%1").arg(id);
    }

    static bool store(Record *record, const QString &value, const QString &name)
    {
        record->calls << name + QLatin1Char('=') + value;
        record->values.insert(name, value);
        return true;
    }
    // Reports failure, which the engine must ignore.
    static bool refuse(Record *record, const QString &value, const QString &name)
    {
        store(record, value, name);
        return false;
    }
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

} // namespace

class tst_Engine : public QObject
{
    Q_OBJECT

private slots:
    void checksum_data();
    void checksum();
    void parseFrame_data();
    void parseFrame();
    void parseLeavesTextAlone();
    void splitSentence_data();
    void splitSentence();
    void parseTables_data();
    void parseTables();
    void parseStepsDirectly();
    void build_data();
    void build();
    void buildFailureLeavesOutput_data();
    void buildFailureLeavesOutput();
    void beforeInit();
    void initRunsOnce();
    void exceptionText();
};

void tst_Engine::checksum_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("expected");

    QTest::newRow("empty") << QString() << 0 << 0x00;
    QTest::newRow("address only") << QStringLiteral("abc") << 0 << 0x60;
    QTest::newRow("with a field") << QStringLiteral("abc,1") << 0 << 0x7d;
    QTest::newRow("first characters") << QStringLiteral("abc,1") << 3 << 0x60;
    QTest::newRow("length past the end") << QStringLiteral("abc") << 10 << 0x60;
    QTest::newRow("outside Latin-1 counts as ?") << QStringLiteral("ab\u20ac") << 0 << (0x61 ^ 0x62 ^ 0x3f);
    QTest::newRow("Latin-1 above 0x7f") << QStringLiteral("\u00e9") << 0 << 0xe9;
    QTest::newRow("version query") << QStringLiteral("PKVVER") << 0 << 0x0c;
}

void tst_Engine::checksum()
{
    QFETCH(QString, text);
    QFETCH(int, length);
    QFETCH(int, expected);
    QCOMPARE(int(Nmea::calculateChecksum(text, length)), expected);
}

void tst_Engine::parseFrame_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("calls");

    const QStringList oneField{QStringLiteral("id=1"), QStringLiteral("a=1")};
    // "$abc,1," + filler + "*hh" CR LF, exactly `total` characters long.
    auto ofLength = [](int total) {
        const QString body = QStringLiteral("abc,1,") + QString(total - 12, QLatin1Char('x'));
        return sentence(body);
    };
    QCOMPARE(ofLength(74).size(), 74);

    QTest::newRow("plain") << crlf("$abc,1*7d") << QString() << oneField;
    QTest::newRow("alternative start flag") << crlf("!abc,1*7d") << QString() << oneField;
    QTest::newRow("upper-case checksum") << crlf("$abc,1*7D") << QString() << oneField;
    QTest::newRow("only the low eight bits count") << crlf("$abc,1*17d") << QString() << oneField;
    QTest::newRow("checksum with blanks") << crlf("$abc,1* 7d") << QString() << oneField;
    QTest::newRow("checksum with 0x") << crlf("$abc,1*0x7d") << QString() << oneField;
    QTest::newRow("negative checksum, same low bits") << crlf("$abc,1*-83") << QString() << oneField;
    QTest::newRow("no checksum: the CR LF reaches the last field") << crlf("$abc,1")
        << QString() << QStringList{QStringLiteral("id=1"), crlf("a=1")};
    QTest::newRow("no checksum, no field: the CR LF is part of the address") << crlf("$abc")
        << crlf("Undefined sentence ID: abc") << QStringList();
    QTest::newRow("outside Latin-1 checksummed as ?") << crlf("$abc,\u20ac*73") << QString()
        << QStringList{QStringLiteral("id=1"), QStringLiteral("a=\u20ac")};
    QTest::newRow("74 characters") << ofLength(74) << QString()
        << QStringList{QStringLiteral("id=1"), QStringLiteral("a=1"), QStringLiteral("b=") + QString(62, QLatin1Char('x'))};

    QTest::newRow("empty") << QString() << QStringLiteral("Start flag not found") << QStringList();
    QTest::newRow("no start flag") << crlf("abc,1*7d") << QStringLiteral("Start flag not found") << QStringList();
    QTest::newRow("start flag later") << crlf(" $abc,1*7d") << QStringLiteral("Start flag not found") << QStringList();
    QTest::newRow("75 characters") << ofLength(75) << QStringLiteral("Sentence too long") << QStringList();
    QTest::newRow("75 characters, no line end") << ofLength(76).left(75)
        << QStringLiteral("Sentence too long") << QStringList();
    QTest::newRow("no line end") << QStringLiteral("$abc,1*7d") << QStringLiteral("Bad end") << QStringList();
    QTest::newRow("LF only") << QStringLiteral("$abc,1*7d\n") << QStringLiteral("Bad end") << QStringList();
    QTest::newRow("two delimiters") << crlf("$abc*60*60") << QStringLiteral("Checksum field") << QStringList();
    QTest::newRow("empty checksum") << crlf("$abc*") << QStringLiteral("Checksum misspelled") << QStringList();
    QTest::newRow("checksum not hexadecimal") << crlf("$abc,1*7g") << QStringLiteral("Checksum misspelled") << QStringList();
    QTest::newRow("wrong checksum") << crlf("$abc*61") << QStringLiteral("CRC calculation failed") << QStringList();
}

void tst_Engine::parseFrame()
{
    QFETCH(QString, text);
    QFETCH(QString, error);
    QFETCH(QStringList, calls);

    TestProtocol protocol;
    protocol.init();
    Record record;
    bool result = false;
    QCOMPARE(failureOf([&] { result = protocol.parseSentence(&record, text); }), error);
    QCOMPARE(result, error.isEmpty());
    QCOMPARE(record.calls, calls);
}

void tst_Engine::parseLeavesTextAlone()
{
    TestProtocol protocol;
    protocol.init();
    Record record;
    const QString text = sentence(QStringLiteral("abc,1,2"));
    const QString copy = text;
    QVERIFY(protocol.parseSentence(&record, text));
    QCOMPARE(text, copy);
    QCOMPARE(record.values.value(QStringLiteral("b")), QStringLiteral("2"));
}

void tst_Engine::splitSentence_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("rest");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("checksum");
    QTest::addColumn<QString>("error");

    QTest::newRow("with checksum") << crlf("$abc,1*7d") << crlf("abc,1*7d") << QStringLiteral("abc,1") << crlf("7d") << QString();
    QTest::newRow("without checksum") << crlf("$abc,1") << crlf("abc,1") << crlf("abc,1") << QString() << QString();
    QTest::newRow("empty body") << crlf("$*00") << crlf("*00") << QString() << crlf("00") << QString();
    QTest::newRow("two delimiters") << crlf("$a*b*c") << crlf("a*b*c") << QString() << QString() << QStringLiteral("Checksum field");
}

void tst_Engine::splitSentence()
{
    QFETCH(QString, text);
    QFETCH(QString, rest);
    QFETCH(QString, body);
    QFETCH(QString, checksum);
    QFETCH(QString, error);

    TestProtocol protocol;
    QString gotBody, gotChecksum = QStringLiteral("stale");
    QCOMPARE(failureOf([&] { protocol.splitSentence(text, gotBody, gotChecksum); }), error);
    QCOMPARE(text, rest);
    if (error.isEmpty()) {
        QCOMPARE(gotBody, body);
        QCOMPARE(gotChecksum, checksum);
    }
}

void tst_Engine::parseTables_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("calls");

    QTest::newRow("three fields") << QStringLiteral("abc,1,2,3") << QString()
        << QStringList{QStringLiteral("id=1"), QStringLiteral("a=1"), QStringLiteral("b=2"), QStringLiteral("c=3")};
    QTest::newRow("fewer fields than tokens") << QStringLiteral("abc,1") << QString()
        << QStringList{QStringLiteral("id=1"), QStringLiteral("a=1")};
    QTest::newRow("no fields") << QStringLiteral("abc") << QString() << QStringList{QStringLiteral("id=1")};
    QTest::newRow("empty fields reach their delegates") << QStringLiteral("abc,,7") << QString()
        << QStringList{QStringLiteral("id=1"), QStringLiteral("a="), QStringLiteral("b=7")};
    QTest::newRow("empty token skips its field, repeated token called twice") << QStringLiteral("XYZ,1,2,3,4") << QString()
        << QStringList{QStringLiteral("id=2"), QStringLiteral("a=1"), QStringLiteral("b=3"), QStringLiteral("a=4")};
    QTest::newRow("unknown tokens beyond the last field") << QStringLiteral("DUP,1") << QString()
        << QStringList{QStringLiteral("id=5"), QStringLiteral("a=1")};

    QTest::newRow("address of two characters") << QStringLiteral("ab,1") << QStringLiteral("Wrong sentence description length") << QStringList();
    QTest::newRow("empty address") << QStringLiteral(",1") << QStringLiteral("Wrong sentence description length") << QStringList();
    QTest::newRow("letter case differs") << QStringLiteral("ABC,1") << QStringLiteral("Undefined sentence ID: ABC") << QStringList();
    QTest::newRow("unknown address") << QStringLiteral("qqq") << QStringLiteral("Undefined sentence ID: qqq") << QStringList();
    QTest::newRow("address of the undefined identifier") << QStringLiteral("UNDEF,1") << QStringLiteral("Undefined sentence ID: UNDEF") << QStringList();
    QTest::newRow("no parse format") << QStringLiteral("NOFMT,1") << QStringLiteral("Format not found for sentence ID") << QStringList();
    QTest::newRow("more fields than tokens: after the id, before any delegate") << QStringLiteral("abc,1,2,3,4")
        << QStringLiteral("Specified parameters list and formatting string incompatible") << QStringList{QStringLiteral("id=1")};
    QTest::newRow("unknown token at a field: earlier fields kept") << QStringLiteral("DUP,1,2")
        << QStringLiteral("Unknown format token in sentence formatter") << QStringList{QStringLiteral("id=5"), QStringLiteral("a=1")};
}

void tst_Engine::parseTables()
{
    QFETCH(QString, body);
    QFETCH(QString, error);
    QFETCH(QStringList, calls);

    TestProtocol protocol;
    protocol.init();
    // Through the frame, and straight into the body parser.
    Record framed;
    QCOMPARE(failureOf([&] { protocol.parseSentence(&framed, sentence(body)); }), error);
    QCOMPARE(framed.calls, calls);
    Record trimmed;
    QCOMPARE(failureOf([&] { protocol.parseTrimmed(&trimmed, body); }), error);
    QCOMPARE(trimmed.calls, calls);
}

void tst_Engine::parseStepsDirectly()
{
    TestProtocol protocol;
    protocol.init();

    Record listed;
    QVERIFY(protocol.parseListed(&listed, QStringLiteral("XYZ"), {QStringLiteral("p"), QStringLiteral("q")}));
    QCOMPARE(listed.calls, (QStringList{QStringLiteral("id=2"), QStringLiteral("a=p")}));

    Record parameters;
    QVERIFY(protocol.parseParameters(&parameters, {QStringLiteral("1"), QStringLiteral("2")}, QStringLiteral("c,a")));
    QCOMPARE(parameters.calls, (QStringList{QStringLiteral("c=1"), QStringLiteral("a=2")}));
    QCOMPARE(failureOf([&] { protocol.parseParameters(&parameters, {QStringLiteral("1")}, QStringLiteral("zz")); }),
             QStringLiteral("Unknown format token in sentence formatter"));
    QCOMPARE(failureOf([&] { protocol.parseParameters(&parameters, {QStringLiteral("1"), QString()}, QString()); }),
             QStringLiteral("Specified parameters list and formatting string incompatible"));

    Record source;
    source.values = {{QStringLiteral("a"), QStringLiteral("A")}, {QStringLiteral("b"), QStringLiteral("B")}};
    QCOMPARE(protocol.buildParameters(&source, QStringLiteral("b,,a,")), QStringLiteral("B,A,"));
    QCOMPARE(failureOf([&] { protocol.buildParameters(&source, QStringLiteral("a,q")); }),
             QStringLiteral("Unknown format token in sentence formatter: q"));
}

void tst_Engine::build_data()
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
}

void tst_Engine::build()
{
    QFETCH(int, id);
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(QString, expected);

    TestProtocol protocol;
    protocol.init();
    Record record;
    record.values = {{QStringLiteral("a"), a}, {QStringLiteral("b"), b}};
    QString text = QStringLiteral("old");
    QVERIFY(protocol.buildSentence(&record, id, text));
    QCOMPARE(text, expected);
}

void tst_Engine::buildFailureLeavesOutput_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("error");

    QTest::newRow("no build format") << 7 << QStringLiteral("No formatter found");
    QTest::newRow("no address") << 4 << QStringLiteral("Sentence ID not found");
    QTest::newRow("unknown token") << 9 << QStringLiteral("Unknown format token in sentence formatter: x");
}

void tst_Engine::buildFailureLeavesOutput()
{
    QFETCH(int, id);
    QFETCH(QString, error);

    TestProtocol protocol;
    protocol.init();
    Record record;
    QString text = QStringLiteral("untouched");
    QCOMPARE(failureOf([&] { protocol.buildSentence(&record, id, text); }), error);
    QCOMPARE(text, QStringLiteral("untouched"));
}

void tst_Engine::beforeInit()
{
    TestProtocol protocol;
    Record record;
    QString text = QStringLiteral("untouched");
    QCOMPARE(failureOf([&] { protocol.parseSentence(&record, crlf("$abc,1*7d")); }), QStringLiteral("Undefined sentence ID: abc"));
    QCOMPARE(failureOf([&] { protocol.buildSentence(&record, 1, text); }), QStringLiteral("No formatter found"));
    QCOMPARE(text, QStringLiteral("untouched"));
    QCOMPARE(protocol.tableCalls, 0);
}

void tst_Engine::initRunsOnce()
{
    TestProtocol protocol;
    QVERIFY(protocol.init());
    QCOMPARE(protocol.tableCalls, 5);
    QCOMPARE(protocol.talkerCalls, 0);
    protocol.identifiers.clear(); // a second init() must not read the tables again
    QVERIFY(protocol.init());
    QCOMPARE(protocol.tableCalls, 5);
    Record record;
    QVERIFY(protocol.parseSentence(&record, crlf("$abc,1*7d")));
}

void tst_Engine::exceptionText()
{
    const Nmea::Exception empty{QString()};
    QCOMPARE(empty.what(), "");
    QVERIFY(empty.message().isEmpty());

    const char *original = nullptr;
    Nmea::Exception *copy = nullptr;
    {
        Nmea::Exception first(QStringLiteral("Bad end"));
        original = first.what();
        QCOMPARE(original, "Bad end");
        copy = new Nmea::Exception(first);
    }
    QCOMPARE(copy->what(), "Bad end");
    QCOMPARE(copy->message(), QStringLiteral("Bad end"));
    const std::exception &base = *copy;
    QCOMPARE(base.what(), "Bad end");
    delete copy;
}

QTEST_GUILESS_MAIN(tst_Engine)
#include "tst_engine.moc"
