// Sessions and the init protocol: the queries built, the answers parsed, what a failure
// leaves in the session.

#include <kvdevice/exception.h>
#include <kvdevice/ipayloadparser.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/sessioninit.h>

#include "testsupport.h"

#include <QtTest>

using KvDevice::SessionInit;
using TestSupport::sentence;

namespace {

QString crlf(const char *text)
{
    return QString::fromUtf8(text) + QStringLiteral("\r\n");
}

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

using Values = QVariantHash;

} // namespace

class tst_ParserInit : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void buildQueries_data();
    void buildQueries();
    void buildFailures_data();
    void buildFailures();
    void parseAnswers_data();
    void parseAnswers();
    void numbersAsQtReadsThem_data();
    void numbersAsQtReadsThem();
    void parseFailures_data();
    void parseFailures();
    void parsingAddsToWhatIsThere();
    void clearThroughTheBase();
    void tables();
    void beforeInit();
    void ownedThroughTheInterface();

private:
    Nmea::ParserInit *parser = nullptr;
};

void tst_ParserInit::init()
{
    parser = new Nmea::ParserInit;
    parser->init();
}

void tst_ParserInit::cleanup()
{
    delete parser;
    parser = nullptr;
}

void tst_ParserInit::buildQueries_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<Values>("values");
    QTest::addColumn<QString>("expected");

    QTest::newRow("version query") << 1 << Values() << crlf("$PKVVER*0c");
    QTest::newRow("version query ignores values") << 1 << Values{{QStringLiteral("subcommand"), QStringLiteral("INF")}}
                                                  << crlf("$PKVVER*0c");
    QTest::newRow("information request") << 2 << Values{{QStringLiteral("subcommand"), QStringLiteral("INF")}}
                                         << crlf("$PTKVWR,INF*71");
    QTest::newRow("request without subcommand") << 2 << Values() << crlf("$PTKVWR*1c");
    QTest::newRow("integer subcommand as decimal text") << 2 << Values{{QStringLiteral("subcommand"), 42}}
                                                        << sentence(QStringLiteral("PTKVWR,42"));
    QTest::newRow("subcommand written unescaped") << 2 << Values{{QStringLiteral("subcommand"), QStringLiteral("A,B")}}
                                                  << sentence(QStringLiteral("PTKVWR,A,B"));
}

void tst_ParserInit::buildQueries()
{
    QFETCH(int, id);
    QFETCH(Values, values);
    QFETCH(QString, expected);

    SessionInit session;
    session.clear();
    session.sentenceId = id;
    session.parameters = values;
    QString payload;
    QVERIFY(parser->build(&session, payload));
    QCOMPARE(payload, expected);
    QCOMPARE(session.parameters, values);
}

void tst_ParserInit::buildFailures_data()
{
    QTest::addColumn<int>("id");
    QTest::newRow("cleared session") << 0;
    QTest::newRow("information answer is only parsed") << 3;
    QTest::newRow("unknown identifier") << 17;
}

void tst_ParserInit::buildFailures()
{
    QFETCH(int, id);
    SessionInit session;
    session.sentenceId = id;
    QString payload = QStringLiteral("keep");
    QCOMPARE(failureOf([&] { parser->build(&session, payload); }), QStringLiteral("No formatter found"));
    QCOMPARE(payload, QStringLiteral("keep"));
}

void tst_ParserInit::parseAnswers_data()
{
    QTest::addColumn<QString>("payload");
    QTest::addColumn<int>("id");
    QTest::addColumn<Values>("values");

    QTest::newRow("version answer") << crlf("$PKVVER,HW2,1,2,3*11") << 1
        << Values{{QStringLiteral("hwversion"), QStringLiteral("HW2")}, {QStringLiteral("v1"), 1},
                  {QStringLiteral("v2"), 2}, {QStringLiteral("v3"), 3}};
    QTest::newRow("non-numeric version number is 0") << crlf("$PKVVER,HW2,1,x,3*5b") << 1
        << Values{{QStringLiteral("hwversion"), QStringLiteral("HW2")}, {QStringLiteral("v1"), 1},
                  {QStringLiteral("v2"), 0}, {QStringLiteral("v3"), 3}};
    QTest::newRow("hardware version only") << crlf("$PKVVER,HW2*0d") << 1
        << Values{{QStringLiteral("hwversion"), QStringLiteral("HW2")}};
    QTest::newRow("blanks kept in text, ignored in numbers") << sentence(QStringLiteral("PKVVER, HW 2 , 7 ,-4,+5")) << 1
        << Values{{QStringLiteral("hwversion"), QStringLiteral(" HW 2 ")}, {QStringLiteral("v1"), 7},
                  {QStringLiteral("v2"), -4}, {QStringLiteral("v3"), 5}};
    QTest::newRow("hexadecimal and fractions are 0") << sentence(QStringLiteral("PKVVER,X,0x10,1.5,99999999999")) << 1
        << Values{{QStringLiteral("hwversion"), QStringLiteral("X")}, {QStringLiteral("v1"), 0},
                  {QStringLiteral("v2"), 0}, {QStringLiteral("v3"), 0}};
    QTest::newRow("information answer") << crlf("$PTKVRD,INF,N,D,B,R,V,H,A*0b") << 3
        << Values{{QStringLiteral("subcommand"), QStringLiteral("INF")}, {QStringLiteral("name"), QStringLiteral("N")},
                  {QStringLiteral("devtype"), QStringLiteral("D")}, {QStringLiteral("boardid"), QStringLiteral("B")},
                  {QStringLiteral("rev"), QStringLiteral("R")}, {QStringLiteral("version"), QStringLiteral("V")},
                  {QStringLiteral("hwversion"), QStringLiteral("H")}, {QStringLiteral("appmode"), QStringLiteral("A")}};
    QTest::newRow("alternative start flag") << crlf("!PKVVER,HW2*0d") << 1
        << Values{{QStringLiteral("hwversion"), QStringLiteral("HW2")}};
}

void tst_ParserInit::parseAnswers()
{
    QFETCH(QString, payload);
    QFETCH(int, id);
    QFETCH(Values, values);

    SessionInit session;
    session.clear();
    KvDevice::IPayloadParser *asInterface = parser;
    QVERIFY(asInterface->parse(&session, payload));
    QCOMPARE(session.sentenceId, id);
    QCOMPARE(session.parameters, values);
    // Text fields are text and version numbers integers, not text that looks like one.
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const bool number = it.key().startsWith(QLatin1Char('v')) && it.key().size() == 2;
        QCOMPARE(int(session.parameters.value(it.key()).userType()), number ? int(QMetaType::Int) : int(QMetaType::QString));
    }
}

void tst_ParserInit::numbersAsQtReadsThem_data()
{
    QTest::addColumn<QString>("text");
    for (const char *text : {"0", "7", "-4", "+5", "007", "-0", "123456789", "-123456789", "1234567890",
                             "2147483647", "2147483648", "-2147483648", "-2147483649", "99999999999", "", "+", "-",
                             "--1", "+-1", "1-", " 7", "7 ", "1e3", "1.0", "0x1f", "12a", "\xef\xbc\x91"})
        QTest::newRow(text) << QString::fromUtf8(text);
}

void tst_ParserInit::numbersAsQtReadsThem()
{
    // The version numbers are whatever QString::toInt makes of the field, 0 included.
    QFETCH(QString, text);
    SessionInit session;
    session.clear();
    QVERIFY(parser->parse(&session, sentence(QStringLiteral("PKVVER,HW,%1").arg(text))));
    QCOMPARE(session.parameters.value(QStringLiteral("v1")), QVariant(text.toInt()));
}

void tst_ParserInit::parseFailures_data()
{
    QTest::addColumn<QString>("payload");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("idAfter");

    const QString longInfo = sentence(QStringLiteral("PTKVRD,INF,NAME-OF-A-BOARD,DEVTYPE,BOARDID,REV,VERSION,HW-6100028,APP"));
    QVERIFY(longInfo.size() == 75);
    QTest::newRow("request is only built") << crlf("$PTKVWR,INF*71") << QStringLiteral("Format not found for sentence ID") << -1;
    QTest::newRow("version answer with five fields") << crlf("$PKVVER,HW2,1,2,3,4*09")
        << QStringLiteral("Specified parameters list and formatting string incompatible") << 1;
    QTest::newRow("information answer with nine fields") << sentence(QStringLiteral("PTKVRD,INF,N,D,B,R,V,H,A,X"))
        << QStringLiteral("Specified parameters list and formatting string incompatible") << 3;
    QTest::newRow("unknown address") << sentence(QStringLiteral("ABC,1")) << QStringLiteral("Undefined sentence ID: ABC") << -1;
    QTest::newRow("address in lower case") << sentence(QStringLiteral("pkvver,HW2")) << QStringLiteral("Undefined sentence ID: pkvver") << -1;
    QTest::newRow("information answer of 75 characters") << longInfo << QStringLiteral("Sentence too long") << -1;
    QTest::newRow("bad checksum") << crlf("$PKVVER,HW2*0e") << QStringLiteral("CRC calculation failed") << -1;
    QTest::newRow("subcommand with a *") << sentence(QStringLiteral("PTKVWR,A")).replace(QLatin1Char('A'), QStringLiteral("A*B"))
        << QStringLiteral("Checksum field") << -1;
}

void tst_ParserInit::parseFailures()
{
    QFETCH(QString, payload);
    QFETCH(QString, error);
    QFETCH(int, idAfter);

    SessionInit session;
    session.sentenceId = -1;
    session.parameters.insert(QStringLiteral("appmode"), QStringLiteral("before"));
    QCOMPARE(failureOf([&] { parser->parse(&session, payload); }), error);
    // Rejected before its fields: untouched; rejected at the field count: only the id.
    QCOMPARE(session.sentenceId, idAfter);
    QCOMPARE(session.parameters, (Values{{QStringLiteral("appmode"), QStringLiteral("before")}}));
}

void tst_ParserInit::parsingAddsToWhatIsThere()
{
    SessionInit session;
    session.clear();
    QVERIFY(parser->parse(&session, crlf("$PTKVRD,INF,N,D,B,R,V,H,A*0b")));
    QVERIFY(parser->parse(&session, crlf("$PKVVER,HW2,1,2,3*11")));
    QCOMPARE(session.sentenceId, 1);
    QCOMPARE(session.parameters.value(QStringLiteral("subcommand")).toString(), QStringLiteral("INF"));
    QCOMPARE(session.parameters.value(QStringLiteral("hwversion")).toString(), QStringLiteral("HW2")); // the later one wins
    session.clear();
    QVERIFY(!session.parameters.contains(QStringLiteral("subcommand")));
}

void tst_ParserInit::clearThroughTheBase()
{
    SessionInit session;
    QCOMPARE(session.sentenceId, 0);
    session.sentenceId = 3;
    session.parameters.insert(QStringLiteral("v1"), 5);
    KvDevice::SessionAbstract &base = session;
    base.clear();
    QCOMPARE(session.sentenceId, 0);
    QVERIFY(session.parameters.isEmpty());
    // A field the session does not hold reads as empty text and as 0.
    QCOMPARE(session.parameters.value(QStringLiteral("hwversion")).toString(), QString());
    QCOMPARE(session.parameters.value(QStringLiteral("v1")).toInt(), 0);
}

void tst_ParserInit::tables()
{
    QCOMPARE(parser->initSentenceIdentifiers(),
             (QHash<int, QString>{{1, QStringLiteral("PKVVER")}, {2, QStringLiteral("PTKVWR")}, {3, QStringLiteral("PTKVRD")}}));
    QCOMPARE(parser->initSentenceFormatsParse(),
             (QHash<int, QString>{{1, QStringLiteral("hwversion,v1,v2,v3")},
                                  {3, QStringLiteral("subcommand,name,devtype,boardid,rev,version,hwversion,appmode")}}));
    QCOMPARE(parser->initSentenceFormatsBuild(), (QHash<int, QString>{{1, QString()}, {2, QStringLiteral("subcommand")}}));
    const auto parsers = parser->initParserDelegates();
    QCOMPARE(parsers.size(), 11);
    for (const char *name : {"v1", "v2", "v3"})
        QVERIFY(parsers.value(QLatin1String(name)) == &Nmea::ParserInit::parseInt);
    for (const char *name : {"hwversion", "subcommand", "name", "devtype", "boardid", "rev", "version", "appmode"})
        QVERIFY(parsers.value(QLatin1String(name)) == &Nmea::ParserInit::parseString);
    const auto builders = parser->initBuilderDelegates();
    QCOMPARE(builders.size(), 1);
    QVERIFY(builders.value(QStringLiteral("subcommand")) == &Nmea::ParserInit::buildString);
}

void tst_ParserInit::beforeInit()
{
    Nmea::ParserInit fresh;
    SessionInit session;
    session.sentenceId = 1;
    QString payload;
    QCOMPARE(failureOf([&] { fresh.build(&session, payload); }), QStringLiteral("No formatter found"));
    QCOMPARE(failureOf([&] { fresh.parse(&session, crlf("$PKVVER,HW2*0d")); }), QStringLiteral("Undefined sentence ID: PKVVER"));
    QVERIFY(fresh.init());
    QVERIFY(fresh.init());
    QVERIFY(fresh.build(&session, payload));
    QCOMPARE(payload, crlf("$PKVVER*0c"));
}

void tst_ParserInit::ownedThroughTheInterface()
{
    // Destroying through the interface runs the whole destructor (sanitizers and
    // valgrind would report the tables otherwise).
    KvDevice::IPayloadParser *owned = new Nmea::ParserInit;
    static_cast<Nmea::ParserInit *>(owned)->init();
    SessionInit session;
    QVERIFY(owned->parse(&session, crlf("$PKVVER,HW2*0d")));
    delete owned;
}

QTEST_GUILESS_MAIN(tst_ParserInit)
#include "tst_parserinit.moc"
