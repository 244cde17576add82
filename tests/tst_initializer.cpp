// Board discovery end to end: the initializer opens pseudo-terminals by name, boards
// played by kvboard-sim answer, stay silent or misbehave, and the host's signals, the
// queries each board heard and who holds which port are checked.

#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>

#include "testsupport.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

using KvDevice::Communicator;
using KvDevice::Initializer;
using KvDevice::Type;
using namespace TestSupport;

using Types = QList<Type>;
Q_DECLARE_METATYPE(QList<KvDevice::Type>)

namespace {

const QByteArray versionQuery = "$PKVVER*0c\r\n";
const QByteArray infoRequest = "$PTKVWR,INF*71\r\n";
const QByteArray answer28 = sentenceBytes(QStringLiteral("PKVVER,HW2-6100028,3,2,3"));

// Boards played for one run, in the order their ports are given; "missing" is a port
// that does not exist.
struct Rig
{
    explicit Rig(const QStringList &options)
    {
        for (const QString &board : options) {
            boards.emplace_back(board == QLatin1String("missing") ? nullptr : new Board(board));
            ports << (boards.back() ? boards.back()->path() : QStringLiteral("/dev/kvdevice-no-such-port"));
        }
    }
    // "found TYPE PORT" as "found TYPE@INDEX".
    QStringList named(QStringList events) const
    {
        for (QString &event : events) {
            const int space = event.lastIndexOf(QLatin1Char(' '));
            const int index = ports.indexOf(event.mid(space + 1));
            if (event.startsWith(QLatin1String("found ")) && index >= 0)
                event = event.left(space) + QStringLiteral("@%1").arg(index);
        }
        return events;
    }
    int played() const { return int(std::count_if(boards.begin(), boards.end(), [](const auto &board) { return bool(board); })); }
    std::vector<std::unique_ptr<Board>> boards;
    QStringList ports;
};

} // namespace

class tst_Initializer : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
    void handOver();
    void boardLeavesAfterHandover_data();
    void boardLeavesAfterHandover();
    void noiseFlood();
    // Last: should it crash, the results above are in already.
    void deletedFromItsSignal_data();
    void deletedFromItsSignal();
};

void tst_Initializer::run_data()
{
    QTest::addColumn<QStringList>("boards");
    QTest::addColumn<Types>("types");
    QTest::addColumn<int>("retries"); // -1: the default
    QTest::addColumn<int>("delay");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QList<int>>("queries"); // lines each board heard

    using namespace KvDevice;
    auto list = [](const char *text) { return QString::fromUtf8(text).split(QLatin1Char('|')); };
    QTest::newRow("Board6100028; the delay is for information boards only") << list("board6100028") << Types{Board6100028} << -1 << 300 << list("found 1@0|finished") << QList<int>{1};
    QTest::newRow("InfoDevice after a delay") << list("info") << Types{InfoDevice} << -1 << 300 << list("found 3@0|finished") << QList<int>{1};
    QTest::newRow("a silent port is asked in every pass") << list("silent") << Types{Board6100028} << -1 << 0 << list("not found 1|finished") << QList<int>{4};
    QTest::newRow("no retries; a type listed twice, both groups asked") << list("silent") << Types{InfoDevice, Board6100027, InfoDevice} << 0 << 0 << list("not found 3|not found 2|not found 3|finished") << QList<int>{2};
    QTest::newRow("both groups on one port") << list("info") << Types{Board6100028, InfoDevice, Board6100027} << 0 << 0 << list("found 3@0|not found 1|not found 2|finished") << QList<int>{2};
    QTest::newRow("found by a retry") << list("board6100027:ignore=2") << Types{Board6100027} << -1 << 0 << list("found 2@0|finished") << QList<int>{3};
    QTest::newRow("an answer late for its pass counts in the next") << list("board6100028:delay=480") << Types{Board6100028} << 1 << 0 << list("found 1@0|finished") << QList<int>{2};
    QTest::newRow("two boards of one type: the first keeps it") << list("board6100028|board6100028:delay=100|info:delay=50") << Types{Board6100028, InfoDevice} << -1 << 0 << list("found 1@0|found 3@2|finished") << QList<int>{2, 2, 2};
    QTest::newRow("nothing left to retry") << list("board6100028") << Types{Board6100027, Board6100028} << -1 << 0 << list("found 1@0|not found 2|finished") << QList<int>{1};
    QTest::newRow("stale input is no answer") << list("board6100028:stale,answers=0") << Types{Board6100028} << 0 << 0 << list("not found 1|finished") << QList<int>{1};
    QTest::newRow("a port that does not exist") << list("missing") << Types{Board6100028, Board6100028} << -1 << 0 << list("not found 1|not found 1|finished") << QList<int>{0};
    QTest::newRow("no names, no candidate ports") << QStringList() << Types{InfoDevice, Board6100027} << -1 << 0 << list("not found 3|not found 2|finished") << QList<int>{};
    QTest::newRow("a board leaves mid-answer") << list("board6100027:close|board6100028|silent") << Types{Board6100028, Board6100027} << 1 << 0 << list("found 1@1|not found 2|finished") << QList<int>{1, 1, 2};
    QTest::newRow("a board leaves mid-answer in a retry pass") << list("board6100027:ignore=1,close|board6100028|silent") << Types{Board6100028, Board6100027} << 1 << 0 << list("found 1@1|not found 2|finished") << QList<int>{2, 1, 2};
    // Answers of 75 characters and others that identify nothing requested (each port
    // concludes by its time-out), next to answers of 74 characters, one after noise.
    const QString hw = QStringLiteral("board6100028:hwversion=HW2-6100028-");
    QTest::newRow("answers that identify nothing, and the length limit")
        << (QStringList{hw + QString(44, QLatin1Char('X')), hw + QString(43, QLatin1Char('X')), QStringLiteral("info:name=") + QString(27, QLatin1Char('N')), QStringLiteral("info:noise,delay=50,name=") + QString(26, QLatin1Char('N'))}
            << list("board6100028:badsum|board6100028:hwversion=HW2-6100099|board6100027|board6100028:hwversion=X-6100028-6100027|board6100028:hwversion=|info:subcommand=inf"))
        << Types{Board6100028, InfoDevice} << 0 << 0 << list("found 1@1|found 3@3|finished") << QList<int>{2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
}

void tst_Initializer::run()
{
    QFETCH(QStringList, boards);
    QFETCH(Types, types);
    QFETCH(int, retries);
    QFETCH(int, delay);
    QFETCH(QStringList, events);
    QFETCH(QList<int>, queries);

    const auto available = QSerialPortInfo::availablePorts();
    if (boards.isEmpty() && std::any_of(available.begin(), available.end(), [](const auto &info) { return Initializer::isCandidate(info); }))
        QSKIP("a board is attached to this machine", SkipSingle);
    Rig rig(boards);
    LogCapture log;
    auto *initializer = new Initializer;
    Host host(initializer);
    if (retries >= 0)
        QCOMPARE(initializer->setMaxRetries(uint(retries)), 3u);
    QVERIFY(!initializer->probe({}, 0, rig.ports)); // nothing to look for: nothing starts
    QElapsedTimer clock;
    clock.start();
    QVERIFY(initializer->probe(types, delay, rig.ports));
    QVERIFY(!initializer->probe(types, 0, rig.ports)); // one run per initializer
    // The ports open inside probe(), unless information boards are asked for after a delay;
    // with no port to open, the run is over before probe() returns.
    const bool deferred = delay > 0 && types.contains(KvDevice::InfoDevice);
    QCOMPARE(rig.named(host.events), rig.played() || deferred ? QStringList() : events);
    for (const auto &board : rig.boards)
        QCOMPARE(board ? board->portsOpen() : 0, board && !deferred ? 1 : 0);
    QTRY_VERIFY_WITH_TIMEOUT(host.events.contains(QStringLiteral("finished")), 5000);
    QVERIFY(clock.elapsed() >= (deferred ? delay : 0));
    QCOMPARE(rig.named(host.events), events);
    QList<int> heard;
    for (const auto &board : rig.boards)
        heard << (board ? board->lines.size() : 0);
    QCOMPARE(heard, queries);

    // What the host took over: no parents, open at 115200 baud (named as opened: above).
    QStringList handedOver;
    for (const Handover &h : qAsConst(host.found)) {
        auto *port = qobject_cast<QSerialPort *>(h.comm->ioDevice());
        QVERIFY(port && port->isOpen() && !port->parent() && !h.comm->parent());
        QCOMPARE(port->baudRate(), 115200);
        handedOver << h.port;
    }
    // The log: refused calls are errors, the end of the run is a debug line, ports are named.
    QCOMPARE(log.matching(QStringLiteral("No device types specified")).value(0).type, QtCriticalMsg);
    QCOMPARE(log.matching(QStringLiteral("Probe already started")).value(0).type, QtCriticalMsg);
    QCOMPARE(log.matching(endOfRun).value(0).type, QtDebugMsg);
    QCOMPARE(log.count(QStringLiteral("Serial port opened for probing: ")), rig.played());
    for (const QString prefix : {"Serial port opened for probing:  \"", "Read succes on port:  \"", "Read timeout for:  \"", "Serial port lost:  \""}) {
        for (const LogCapture::Line &line : log.matching(prefix)) {
            const QString name = line.message.mid(prefix.size()).chopped(1);
            QVERIFY2(rig.ports.contains(name) || rig.ports.contains(QStringLiteral("/dev/") + name), qPrintable(line.message));
        }
    }
    // The initializer holds the ports it did not hand over, except lost ones, until it goes.
    for (const auto &board : rig.boards) {
        if (board)
            QCOMPARE(board->portsOpen(), board->isOpen() ? 1 : 0);
    }
    delete initializer;
    QCOMPARE(log.count(QStringLiteral("*** Initializer deleted ***")), 1);
    for (const auto &board : rig.boards) {
        if (board)
            QCOMPARE(board->portsOpen(), handedOver.contains(board->path()) ? 1 : 0);
    }
}

void tst_Initializer::handOver()
{
    // The answer and what follows it arrive in one read: what follows is the host's.
    const QByteArray extra1 = sentenceBytes(QStringLiteral("KVDATA,1"));
    const QByteArray extra2 = sentenceBytes(QStringLiteral("KVDATA,2"));
    Board board;
    connect(&board, &SimBoard::heard, &board, [&] { board.send("$PKVVER,bad*00\r\n" + answer28 + extra1 + extra2); });
    Initializer initializer;
    Host host(&initializer);
    // A queued connection carries the communicator as well.
    qRegisterMetaType<KvDevice::Type>();
    QList<Communicator *> queued;
    connect(&initializer, &Initializer::deviceInitialized, this, [&queued](Type, Communicator *comm) { queued << comm; }, Qt::QueuedConnection);
    initializer.probe({KvDevice::Board6100028}, 0, {board.path()});
    QTRY_COMPARE(queued.size(), 1);
    Communicator *comm = queued.first();
    QCOMPARE(comm, host.found.first().comm.data());
    QString payload;
    QVERIFY(comm->readPayload(payload, 0) && payload.toLatin1() == extra1);
    QVERIFY(comm->readPayload(payload, 0) && payload.toLatin1() == extra2);
    // The host's own query goes out and is reported written.
    QSignalSpy transferred(comm, SIGNAL(transferred(uint)));
    const uint id = comm->writePayload(QString::fromLatin1(versionQuery));
    QTRY_COMPARE(transferred.count(), 1);
    QCOMPARE(transferred.first().first().toUInt(), id);
    QTRY_COMPARE(board.lines, (QByteArrayList{versionQuery, versionQuery}));
}

void tst_Initializer::boardLeavesAfterHandover_data()
{
    QTest::addColumn<int>("complete");
    QTest::addColumn<bool>("cutOff");
    QTest::newRow("between sentences") << 2 << false;
    QTest::newRow("mid-sentence, six unread before") << 6 << true;
}

void tst_Initializer::boardLeavesAfterHandover()
{
    QFETCH(int, complete);
    QFETCH(bool, cutOff);

    Board board(QStringLiteral("board6100028"));
    Initializer initializer;
    Host host(&initializer);
    initializer.probe({KvDevice::Board6100028}, 0, {board.path()});
    QTRY_COMPARE(host.found.size(), 1);
    Communicator *comm = host.found.first().comm;
    // The host reads what is left and closes the port when it hears of the failure.
    int failures = 0;
    QStringList leftOver, sent;
    connect(comm, &Communicator::readFailed, this, [&] {
        ++failures;
        QString payload;
        while (comm->readPayload(payload, 0))
            leftOver << payload;
        comm->ioDevice()->close();
    });
    QSignalSpy stored(comm, SIGNAL(readyRead(uint)));
    for (int i = 0; i < complete; ++i) {
        sent << sentence(QStringLiteral("KVDATA,%1").arg(i));
        board.send(sent.last().toLatin1());
    }
    QTRY_COMPARE(stored.count(), complete);
    if (cutOff) {
        board.send("$KVDATA,cut,of");
        QTest::qWait(50);
    }
    board.close();
    QTRY_COMPARE(failures, 1);
    QCOMPARE(leftOver, sent); // every complete sentence was still there, in order
    QTest::qWait(100);
    QCOMPARE(failures, 1); // once, though Qt reports the error again until the close
    QCOMPARE(board.portsOpen(), 0);
}

void tst_Initializer::noiseFlood()
{
    // One port floods as fast as the host takes it while the run goes on.
    Board flood(QStringLiteral("silent:flood")), board(QStringLiteral("board6100028"));
    LogCapture log;
    Initializer initializer;
    initializer.setMaxRetries(1);
    Host host(&initializer);
    initializer.probe({KvDevice::Board6100028, KvDevice::Board6100027}, 0, {flood.path(), board.path()});
    QTRY_VERIFY_WITH_TIMEOUT(host.events.contains(QStringLiteral("finished")), 10000);
    QCOMPARE(host.events, (QStringList{QStringLiteral("found 1 ") + board.path(), QStringLiteral("not found 2"), QStringLiteral("finished")}));
    QVERIFY2(log.count(QStringLiteral(" <-  ")) > 1000, qPrintable(QString::number(log.count(QStringLiteral(" <-  ")))));
    QVERIFY(log.count(QStringLiteral("Parse failed: ")) > 0);
}

void tst_Initializer::deletedFromItsSignal_data()
{
    QTest::addColumn<bool>("onFound");
    QTest::addColumn<bool>("later");
    QTest::addColumn<int>("notFoundHeard");
    QTest::newRow("delete from deviceInitialized") << true << false << 0;
    QTest::newRow("delete from deviceNotFound") << false << false << 1;
    QTest::newRow("deleteLater from deviceNotFound") << false << true << 2;
}

void tst_Initializer::deletedFromItsSignal()
{
    QFETCH(bool, onFound);
    QFETCH(bool, later);
    QFETCH(int, notFoundHeard);

    // A host may end the run from the initializer's own signals; nothing of the initializer
    // may run after its slot. A chatty port sends sentences that identify nothing, before
    // and after its queries, so data is in flight throughout.
    Board chatty(QStringLiteral("board6100027:hwversion=HW2-6100099,chatter=5")), silent, board(QStringLiteral("board6100028"));
    LogCapture log; // the chatty port's sentences fail to parse, by design
    auto *initializer = new Initializer;
    initializer->setMaxRetries(0);
    QPointer<Initializer> watch(initializer);
    Host host(initializer);
    const auto cleanup = qScopeGuard([&watch] { delete watch.data(); }); // should a check fail first
    auto finish = [initializer, later] { later ? initializer->deleteLater() : delete initializer; };
    if (onFound)
        connect(initializer, &Initializer::deviceInitialized, this, finish);
    else
        connect(initializer, &Initializer::deviceNotFound, this, finish);
    // 27 is asked for twice: its second report comes after the first slot has run.
    const QStringList ports = onFound ? QStringList{board.path(), chatty.path(), silent.path()} : QStringList{chatty.path(), board.path(), silent.path()};
    initializer->probe({KvDevice::Board6100028, KvDevice::Board6100027, KvDevice::Board6100027}, 0, ports);
    QTRY_VERIFY_WITH_TIMEOUT(!watch, 5000);
    QTest::qWait(100);
    QCOMPARE(host.found.size(), 1);
    QVERIFY(host.found.first().comm->ioDevice()->isOpen());
    QCOMPARE(host.events.filter(QStringLiteral("not found")).size(), notFoundHeard);
    QCOMPARE(chatty.portsOpen() + silent.portsOpen(), 0);
}

QTEST_GUILESS_MAIN(tst_Initializer)
#include "tst_initializer.moc"
