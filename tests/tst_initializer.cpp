// Board discovery end to end: the initializer opens pseudo-terminals by name, the test's
// fake boards read the queries and answer, and the host's signals are checked.

#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/sessioninit.h>

#include "testsupport.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QtTest>

#include <memory>

using KvDevice::Communicator;
using KvDevice::Initializer;
using KvDevice::Type;
using namespace TestSupport;

Q_DECLARE_METATYPE(QList<KvDevice::Type>)

namespace {

const QByteArray versionQuery = "$PKVVER*0c\r\n";
const QByteArray infoRequest = "$PTKVWR,INF*71\r\n";

using Types = QList<Type>;

// A responder that stays silent for the first `ignored` queries.
FakeBoard::Responder ignoringFirst(int ignored, const QString &versionBody, const QString &infoBody)
{
    const auto answer = FakeBoard::answering(versionBody, infoBody);
    return [=](const QByteArray &line, int index) {
        return index < ignored ? QList<QByteArray>() : answer(line, index);
    };
}

} // namespace

class tst_Initializer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void candidates_data();
    void candidates();
    void findsEachType_data();
    void findsEachType();
    void bothGroupsOnOnePort();
    void silentPort_data();
    void silentPort();
    void foundByRetry();
    void lateAnswerStillCounts();
    void twoBoardsOfOneType();
    void nothingLeftToRetry();
    void unusableRequests();
    void noCandidatePorts();
    void stage2Delay();
    void answersThatDoNotIdentify_data();
    void answersThatDoNotIdentify();
    void laterPayloadsStayForTheHost();
    void staleInputIgnored();
    void destruction();
    void hostTalksToTheBoard();
    void secondProbeRefused();
    void queuedConnections();
};

void tst_Initializer::initTestCase()
{
    TestSupport::PtyPair pty;
    if (!pty.isValid())
        SKIP_TEST("no pseudo-terminals on this machine");
}

void tst_Initializer::candidates_data()
{
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<int>("vendor");
    QTest::addColumn<bool>("candidate");

    QTest::newRow("manufacturer text") << QStringLiteral("STMicroelectronics.") << 0 << true;
    QTest::newRow("vendor 0483") << QStringLiteral("Some vendor") << 0x0483 << true;
    QTest::newRow("no full stop, vendor 0483") << QStringLiteral("STMicroelectronics") << 0x0483 << true;
    QTest::newRow("no full stop, other vendor") << QStringLiteral("STMicroelectronics") << 0x0403 << false;
    QTest::newRow("letter case") << QStringLiteral("stmicroelectronics.") << 0 << false;
    QTest::newRow("other") << QStringLiteral("FTDI") << 0x0403 << false;
    QTest::newRow("nothing known") << QString() << 0 << false;
}

void tst_Initializer::candidates()
{
    QFETCH(QString, manufacturer);
    QFETCH(int, vendor);
    QFETCH(bool, candidate);
    QCOMPARE(Initializer::isCandidate(manufacturer, quint16(vendor)), candidate);
}

void tst_Initializer::findsEachType_data()
{
    QTest::addColumn<Type>("type");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QByteArray>("query");

    QTest::newRow("Board6100028") << KvDevice::Board6100028 << board28 << versionQuery;
    QTest::newRow("Board6100027") << KvDevice::Board6100027 << board27 << versionQuery;
    QTest::newRow("InfoDevice") << KvDevice::InfoDevice << infoBoard << infoRequest;
}

void tst_Initializer::findsEachType()
{
    QFETCH(Type, type);
    QFETCH(QString, answer);
    QFETCH(QByteArray, query);

    FakeBoard board([&](const QByteArray &line, int) { return line == query ? QList<QByteArray>{sentenceBytes(answer)} : QList<QByteArray>(); });
    LogCapture log;
    auto *initializer = new Initializer;
    Host host(initializer);
    QVERIFY(initializer->probe({type}, 0, {board.path()}));
    QCOMPARE(log.matching(QStringLiteral("Serial port opened for probing: ")).first().message,
             QStringLiteral("Serial port opened for probing:  \"%1\"").arg(board.path()));
    QTRY_COMPARE(host.found.size(), 1);

    const Handover handover = host.found.first();
    QCOMPARE(handover.type, type);
    QVERIFY(host.notFound.isEmpty());
    QCOMPARE(board.received, QList<QByteArray>{query});
    QCOMPARE(handover.comm->parent(), nullptr);
    auto *port = qobject_cast<QSerialPort *>(handover.comm->ioDevice());
    QVERIFY(port);
    QVERIFY(port->isOpen());
    QCOMPARE(port->parent(), nullptr);
    QCOMPARE(port->baudRate(), 115200);
    QCOMPARE(port->objectName(), board.path());
    QCOMPARE(log.count(endOfRun), 1); // the only port concluded: the run is over
    QCOMPARE(host.events, (QStringList{QStringLiteral("found %1").arg(int(type)), QStringLiteral("finished")}));
    QCOMPARE(log.matching(endOfRun).first().type, QtDebugMsg);
    QCOMPARE(log.count(QStringLiteral("Read succes on port: ")), 1);

    delete initializer;
    QVERIFY(port->isOpen()); // the host's now
    QCOMPARE(log.count(QStringLiteral("*** Initializer deleted ***")), 1);
}

void tst_Initializer::bothGroupsOnOnePort()
{
    FakeBoard board(FakeBoard::answering(QString(), infoBoard));
    Initializer initializer;
    initializer.setMaxRetries(0);
    Host host(&initializer);
    LogCapture log;
    initializer.probe({KvDevice::Board6100028, KvDevice::InfoDevice, KvDevice::Board6100027}, 0, {board.path()});
    QTRY_COMPARE(log.count(endOfRun), 1);
    QCOMPARE(board.received, (QList<QByteArray>{versionQuery, infoRequest}));
    QCOMPARE(host.events, (QStringList{QStringLiteral("found 3"), QStringLiteral("not found 1"), QStringLiteral("not found 2"),
                                       QStringLiteral("finished")}));
}

void tst_Initializer::silentPort_data()
{
    QTest::addColumn<int>("retries");
    QTest::addColumn<Types>("types");
    QTest::newRow("default retries") << -1 << Types{KvDevice::Board6100028};
    QTest::newRow("no retries, a type listed twice") << 0 << Types{KvDevice::InfoDevice, KvDevice::Board6100027, KvDevice::InfoDevice};
}

void tst_Initializer::silentPort()
{
    QFETCH(int, retries);
    QFETCH(Types, types);

    FakeBoard board;
    Initializer initializer;
    if (retries >= 0)
        QCOMPARE(initializer.setMaxRetries(uint(retries)), 3u);
    Host host(&initializer);
    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    initializer.probe(types, 0, {board.path()});
    QTRY_COMPARE_WITH_TIMEOUT(host.notFound.size(), types.size(), 5000);
    const qint64 elapsed = clock.elapsed();

    const int passes = retries < 0 ? 4 : 1;
    QCOMPARE(host.notFound, types);
    QCOMPARE(host.events.count(QStringLiteral("finished")), 1);
    QCOMPARE(host.events.last(), QStringLiteral("finished"));
    QCOMPARE(log.count(QStringLiteral("Retry probing")), passes - 1);
    QCOMPARE(log.count(QStringLiteral("Read timeout for: ")), passes);
    QCOMPARE(log.count(endOfRun), 1);
    // Every pass waited its full time-out before the next began.
    QVERIFY2(elapsed >= passes * 400, qPrintable(QString::number(elapsed)));
    const int queriesPerPass = types.contains(KvDevice::Board6100027) ? 2 : 1;
    QTRY_COMPARE(board.received.size(), passes * queriesPerPass);
    if (retries < 0)
        QCOMPARE(log.matching(QStringLiteral("Retry probing")).first().type, QtWarningMsg);
}

void tst_Initializer::foundByRetry()
{
    FakeBoard board(ignoringFirst(2, board27, QString()));
    Initializer initializer;
    Host host(&initializer);
    LogCapture log;
    initializer.probe({KvDevice::Board6100027}, 0, {board.path()});
    QTRY_COMPARE_WITH_TIMEOUT(host.found.size(), 1, 5000);
    QCOMPARE(host.found.first().type, KvDevice::Board6100027);
    QCOMPARE(board.received.size(), 3);
    QCOMPARE(log.count(QStringLiteral("Retry probing")), 2);
    QVERIFY(host.notFound.isEmpty());
}

void tst_Initializer::lateAnswerStillCounts()
{
    // The board answers its first query only after that query's time-out; the retry pass
    // that follows is still listening.
    FakeBoard board;
    board.setResponder([&board](const QByteArray &, int index) {
        if (index == 0)
            QTimer::singleShot(480, &board, [&board] { board.write(sentenceBytes(board28)); });
        return QList<QByteArray>();
    });
    Initializer initializer;
    initializer.setMaxRetries(1);
    Host host(&initializer);
    LogCapture log;
    initializer.probe({KvDevice::Board6100028}, 0, {board.path()});
    QTRY_COMPARE_WITH_TIMEOUT(host.found.size(), 1, 3000);
    QCOMPARE(log.count(QStringLiteral("Read timeout for: ")), 1);
    QCOMPARE(log.count(endOfRun), 1);
    QVERIFY(host.notFound.isEmpty());
}

void tst_Initializer::twoBoardsOfOneType()
{
    FakeBoard first(FakeBoard::answering(board28, QString()));
    FakeBoard second(FakeBoard::answering(board28, QString()));
    FakeBoard info(FakeBoard::answering(QString(), infoBoard));
    auto *initializer = new Initializer;
    Host host(initializer);
    LogCapture log;
    initializer->probe({KvDevice::Board6100028, KvDevice::InfoDevice}, 0, {first.path(), second.path(), info.path()});
    QTRY_COMPARE(log.count(endOfRun), 1);

    QCOMPARE(host.events.count(QStringLiteral("finished")), 1);
    QCOMPARE(host.found.size(), 2);
    QVERIFY(host.notFound.isEmpty());
    QCOMPARE(log.count(QStringLiteral("Retry probing")), 0);
    const int boardAt = host.found.at(0).type == KvDevice::Board6100028 ? 0 : 1;
    QCOMPARE(host.found.at(boardAt).type, KvDevice::Board6100028);
    QCOMPARE(host.found.at(1 - boardAt).type, KvDevice::InfoDevice);
    QCOMPARE(host.found.at(1 - boardAt).port, info.path());
    const QString winner = host.found.at(boardAt).port;
    QVERIFY(winner == first.path() || winner == second.path());

    // The board that lost stays open, owned by the initializer, until it goes.
    const QString loser = winner == first.path() ? second.path() : first.path();
    QVERIFY(!portIsFree(loser));
    delete initializer;
    QVERIFY(portIsFree(loser));
    for (const Handover &h : qAsConst(host.found))
        QVERIFY(h.comm->ioDevice()->isOpen());
}

void tst_Initializer::nothingLeftToRetry()
{
    // One port, two types asked for: once the port delivers one, nothing can deliver the
    // other, so it is reported at once instead of after a retry pass or a hang.
    FakeBoard board(FakeBoard::answering(board28, QString()));
    Initializer initializer;
    Host host(&initializer);
    LogCapture log;
    initializer.probe({KvDevice::Board6100027, KvDevice::Board6100028}, 0, {board.path()});
    QTRY_COMPARE(host.notFound.size(), 1);
    QCOMPARE(host.events, (QStringList{QStringLiteral("found 1"), QStringLiteral("not found 2"), QStringLiteral("finished")}));
    QCOMPARE(log.count(QStringLiteral("Retry probing")), 0);
    QCOMPARE(log.count(QStringLiteral("Read timeout for: ")), 0);
    QCOMPARE(board.received.size(), 1);
}

void tst_Initializer::unusableRequests()
{
    LogCapture log;
    {
        FakeBoard board;
        Initializer initializer;
        Host host(&initializer);
        QVERIFY(!initializer.probe({}, 0, {board.path()}));
        QCOMPARE(log.count(QStringLiteral("No device types specified")), 1);
        QCOMPARE(log.matching(QStringLiteral("No device types specified")).first().type, QtCriticalMsg);
        QCOMPARE(log.count(QStringLiteral("Serial port opened")), 0);
        QVERIFY(portIsFree(board.path()));
        // Nothing was started: the same initializer can still run.
        QVERIFY(initializer.probe({KvDevice::Board6100028}, 0, {board.path()}));
        QCOMPARE(log.count(QStringLiteral("Serial port opened")), 1);
    }
    {
        const QString missing = QStringLiteral("/dev/kvdevice-no-such-port");
        Initializer initializer;
        Host host(&initializer);
        QVERIFY(initializer.probe({KvDevice::Board6100028, KvDevice::Board6100028}, 0, {missing}));
        // No port opened: every requested type is reported before probe() returns.
        QCOMPARE(host.events, (QStringList{QStringLiteral("not found 1"), QStringLiteral("not found 1"), QStringLiteral("finished")}));
        QCOMPARE(log.matching(QStringLiteral("Serial port not accessible: ")).first().message,
                 QStringLiteral("Serial port not accessible:  \"%1\"  -  %2").arg(missing).arg(int(QSerialPort::DeviceNotFoundError)));
    }
}

void tst_Initializer::noCandidatePorts()
{
    const auto available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available) {
        if (Initializer::isCandidate(info))
            SKIP_TEST("a board is attached to this machine");
    }
    Initializer initializer;
    Host host(&initializer);
    QVERIFY(initializer.probe({KvDevice::InfoDevice, KvDevice::Board6100027}));
    QCOMPARE(host.notFound, (Types{KvDevice::InfoDevice, KvDevice::Board6100027}));
}

void tst_Initializer::stage2Delay()
{
    FakeBoard board(FakeBoard::answering(board28, infoBoard));
    LogCapture log;
    {
        // Without InfoDevice the delay does not apply: the port opens inside probe().
        Initializer initializer;
        initializer.probe({KvDevice::Board6100028}, 300, {board.path()});
        QCOMPARE(log.count(QStringLiteral("Serial port opened")), 1);
    }
    log.clear();
    Initializer initializer;
    Host host(&initializer);
    QElapsedTimer clock;
    clock.start();
    initializer.probe({KvDevice::InfoDevice}, 300, {board.path()});
    QCOMPARE(log.count(QStringLiteral("Serial port opened")), 0);
    QVERIFY(portIsFree(board.path()));
    QTRY_COMPARE(host.found.size(), 1);
    QVERIFY2(clock.elapsed() >= 300, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(host.found.first().type, KvDevice::InfoDevice);
}

void tst_Initializer::answersThatDoNotIdentify_data()
{
    QTest::addColumn<Types>("types");
    QTest::addColumn<QByteArrayList>("answers");
    QTest::addColumn<int>("parseFailures");

    QTest::newRow("garbage and a bad checksum") << Types{KvDevice::Board6100028}
        << QByteArrayList{"\x01\x02garbage\r\n", "$PKVVER,HW2-6100028,1,2,3*00\r\n"} << 1;
    QTest::newRow("unknown board") << Types{KvDevice::Board6100028} << QByteArrayList{sentenceBytes(QStringLiteral("PKVVER,HW2-6100099,1,2,3"))} << 0;
    QTest::newRow("board not requested") << Types{KvDevice::Board6100028} << QByteArrayList{sentenceBytes(board27)} << 0;
    QTest::newRow("both identifiers: the 27 wins") << Types{KvDevice::Board6100028}
        << QByteArrayList{sentenceBytes(QStringLiteral("PKVVER,6100028-6100027"))} << 0;
    QTest::newRow("version answer without hardware version") << Types{KvDevice::Board6100028}
        << QByteArrayList{sentenceBytes(QStringLiteral("PKVVER"))} << 0;
    QTest::newRow("subcommand in lower case") << Types{KvDevice::InfoDevice}
        << QByteArrayList{sentenceBytes(QStringLiteral("PTKVRD,inf,N,D,B,R,V,H,A"))} << 0;
    QTest::newRow("the request echoed back") << Types{KvDevice::InfoDevice} << QByteArrayList{infoRequest} << 1;
}

void tst_Initializer::answersThatDoNotIdentify()
{
    QFETCH(Types, types);
    QFETCH(QByteArrayList, answers);
    QFETCH(int, parseFailures);

    // Whatever the port says, it concludes by its time-out and the run ends.
    FakeBoard board([answers](const QByteArray &, int) { return QList<QByteArray>(answers); });
    Initializer initializer;
    initializer.setMaxRetries(0);
    Host host(&initializer);
    LogCapture log;
    initializer.probe(types, 0, {board.path()});
    QTRY_COMPARE(host.notFound, types);
    QVERIFY(host.found.isEmpty());
    QCOMPARE(log.count(QStringLiteral("Read timeout for: ")), 1);
    QCOMPARE(log.count(QStringLiteral("Parse failed: ")), parseFailures);
    if (parseFailures)
        QCOMPARE(log.matching(QStringLiteral("Parse failed: ")).first().type, QtCriticalMsg);

    // An identifying answer after such answers still wins, within the time-out.
    FakeBoard again([answers, types](const QByteArray &line, int) {
        QList<QByteArray> said(answers);
        said += FakeBoard::answering(board28, infoBoard)(line, 0);
        return said;
    });
    Initializer second;
    second.setMaxRetries(0);
    Host secondHost(&second);
    second.probe(types, 0, {again.path()});
    QTRY_COMPARE(secondHost.found.size(), 1);
    QCOMPARE(secondHost.found.first().type, types.first());
}

void tst_Initializer::laterPayloadsStayForTheHost()
{
    const QByteArray extra1 = sentenceBytes(QStringLiteral("KVDATA,1"));
    const QByteArray extra2 = sentenceBytes(QStringLiteral("KVDATA,2"));
    FakeBoard board([&](const QByteArray &, int) {
        return QList<QByteArray>{"$PKVVER,bad*00\r\n" + sentenceBytes(board28) + extra1 + extra2};
    });
    Initializer initializer;
    Host host(&initializer);
    initializer.probe({KvDevice::Board6100028}, 0, {board.path()});
    QTRY_COMPARE(host.found.size(), 1);
    // Stored by the same read that delivered the board, after the hand-over.
    Communicator *comm = host.found.first().comm;
    QString payload;
    QVERIFY(comm->readPayload(payload, 0));
    QCOMPARE(payload.toLatin1(), extra1);
    QVERIFY(comm->readPayload(payload, 0));
    QCOMPARE(payload.toLatin1(), extra2);
}

void tst_Initializer::staleInputIgnored()
{
    // What an earlier program left unread in the port is not an answer to this run.
    FakeBoard board;
    board.write(sentenceBytes(board28));
    Initializer initializer;
    initializer.setMaxRetries(0);
    Host host(&initializer);
    initializer.probe({KvDevice::Board6100028}, 0, {board.path()});
    QTRY_COMPARE(host.notFound.size(), 1);
    QVERIFY(host.found.isEmpty());
}

void tst_Initializer::destruction()
{
    FakeBoard found(FakeBoard::answering(board28, QString()));
    FakeBoard pending;
    auto *initializer = new Initializer;
    Host host(initializer);
    initializer->probe({KvDevice::Board6100028, KvDevice::InfoDevice}, 0, {found.path(), pending.path()});
    QTRY_COMPARE(host.found.size(), 1);
    QVERIFY(!portIsFree(pending.path()));
    QPointer<Communicator> kept(host.found.first().comm);
    QVERIFY(!host.events.contains(QStringLiteral("finished")));
    delete initializer; // while the other port still waits for its answer
    QVERIFY(kept);
    QVERIFY(kept->ioDevice()->isOpen());
    QVERIFY(portIsFree(pending.path()));
    QVERIFY(host.notFound.isEmpty());
}

void tst_Initializer::hostTalksToTheBoard()
{
    FakeBoard board(FakeBoard::answering(board27, QString()));
    Initializer initializer;
    Host host(&initializer);
    initializer.probe({KvDevice::Board6100027}, 0, {board.path()});
    QTRY_COMPARE(host.found.size(), 1);

    Communicator *comm = host.found.first().comm;
    Nmea::ParserInit parser;
    parser.init();
    comm->setParser(&parser);
    QSignalSpy answers(comm, SIGNAL(readyRead(uint)));
    KvDevice::SessionInit session;
    session.clear();
    session.sentenceId = 1;
    QVERIFY(comm->writePayload(&session) > 0);
    QTRY_COMPARE(answers.count(), 1);
    session.clear();
    QVERIFY(comm->readPayload(&session, answers.first().first().toUInt()));
    QCOMPARE(session.sentenceId, 1);
    QCOMPARE(session.parameters.value(QStringLiteral("hwversion")).toString(), QStringLiteral("HW2-6100027"));
    QCOMPARE(session.parameters.value(QStringLiteral("v1")).toInt(), 4);
    QCOMPARE(board.received, (QList<QByteArray>{versionQuery, versionQuery}));
}

void tst_Initializer::secondProbeRefused()
{
    FakeBoard board(FakeBoard::answering(board28, QString()));
    Initializer initializer;
    Host host(&initializer);
    LogCapture log;
    QVERIFY(initializer.probe({KvDevice::Board6100028}, 0, {board.path()}));
    QVERIFY(!initializer.probe({KvDevice::Board6100028}, 0, {board.path()}));
    QCOMPARE(log.count(QStringLiteral("Probe already started")), 1);
    QCOMPARE(log.matching(QStringLiteral("Probe already started")).first().type, QtCriticalMsg);
    QTRY_COMPARE(host.found.size(), 1);
    QCOMPARE(log.count(QStringLiteral("Serial port opened")), 1);
}

void tst_Initializer::queuedConnections()
{
    qRegisterMetaType<KvDevice::Type>();
    FakeBoard board(FakeBoard::answering(QString(), infoBoard));
    Initializer initializer;
    QSignalSpy found(&initializer, SIGNAL(deviceInitialized(KvDevice::Type,KvDevice::Communicator*)));
    QList<Handover> received;
    connect(&initializer, &Initializer::deviceInitialized, this,
            [&received](Type type, Communicator *comm) { received.append({type, comm, comm->ioDevice()->objectName()}); }, Qt::QueuedConnection);
    initializer.probe({KvDevice::InfoDevice}, 0, {board.path()});
    QTRY_COMPARE(received.size(), 1);
    QCOMPARE(received.first().type, KvDevice::InfoDevice);
    QCOMPARE(found.first().at(1).value<Communicator *>(), received.first().comm.data());
    QIODevice *port = received.first().comm->ioDevice();
    delete received.first().comm;
    delete port;
}

QTEST_GUILESS_MAIN(tst_Initializer)
#include "tst_initializer.moc"
