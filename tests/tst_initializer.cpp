// SPDX-License-Identifier: MIT
// Board discovery end to end: the initializer opens pseudo-terminals by name, boards
// played by kvboard-sim answer, stay silent or misbehave, and the host's signals, the
// queries each board heard and who holds which port are checked.

#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>
#include <kvdevice/request.h>

#include "boardsupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

using KvDevice::Communicator;
using KvDevice::Initializer;
using KvDevice::PortOutcome;
using KvDevice::PortReport;
using KvDevice::Type;
using namespace TestSupport;

using Types = QList<Type>;
Q_DECLARE_METATYPE(QList<KvDevice::Type>)

namespace {

const QByteArray versionQuery = "$PKVVER*0c\r\n";
const QByteArray infoRequest = "$PTKVWR,INF*71\r\n";
const QByteArray answer28 = sentenceBytes(QStringLiteral("PKVVER,HW2-6100028,3,2,3"));

// Boards played for one run, in the order their ports are given: "missing" is a port
// that does not exist, "loop" a link to itself, "=N" the pty of board N again, and
// "link=@" a board given by a link.
struct Rig
{
    explicit Rig(const QStringList &options)
    {
        for (QString board : options) {
            const QString link = dir.filePath(QString::number(ports.size()));
            boards.emplace_back();
            if (board == QLatin1String("missing"))
                ports << QStringLiteral("kvdevice-no-such-port"); // /dev/... on Linux, the folder it runs in on Windows
            else if (board == QLatin1String("loop") && QFile::link(link, link)) // a link to itself
                ports << link;
            else if (board.startsWith(QLatin1Char('=')))
                ports << boards.at(board.mid(1).toUInt())->path();
            else
                boards.back().reset(new Board(board.replace(QLatin1Char('@'), link)));
            if (boards.back())
                ports << (board.contains(link) ? link : boards.back()->path());
        }
    }
    QTemporaryDir dir;
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
    void afterHandover_data();
    void afterHandover();
    void noiseFlood();
    void requestBehindOwedQuery();
};

void tst_Initializer::run_data()
{
    QTest::addColumn<QStringList>("boards");
    QTest::addColumn<Types>("types");
    QTest::addColumn<int>("retries"); // -1: the default
    QTest::addColumn<int>("delay");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QList<int>>("queries"); // lines each board heard
    QTest::addColumn<QString>("deleteOn");   // the host deletes the initializer from this signal
    QTest::addColumn<QString>("reports");    // "PORT INDEX:OUTCOME", ordered by port

    using namespace KvDevice;
    auto list = [](const char *text) { return QString::fromUtf8(text).split(QLatin1Char('|')); };
    QTest::newRow("Board6100028; the delay is for information boards only") << list("board6100028") << Types{Board6100028} << -1 << 300 << list("found 1@0|finished") << QList<int>{1} << QString() << QStringLiteral("0:Identified");
    QTest::newRow("InfoDevice after a delay") << list("info") << Types{InfoDevice} << -1 << 300 << list("found 3@0|finished") << QList<int>{1} << QString() << QStringLiteral("0:Identified");
    QTest::newRow("a silent port is asked in every pass") << list("silent") << Types{Board6100028} << -1 << 0 << list("not found 1|finished") << QList<int>{4} << QString() << QStringLiteral("0:NoAnswer");
    QTest::newRow("no retries; a type listed twice, both groups asked") << list("silent") << Types{InfoDevice, Board6100027, InfoDevice} << 0 << 0 << list("not found 3|not found 2|not found 3|finished") << QList<int>{2} << QString() << QStringLiteral("0:NoAnswer");
    QTest::newRow("both groups on one port") << list("InfoDevice") << Types{Board6100028, InfoDevice, Board6100027} << 0 << 0 << list("found 3@0|not found 1|not found 2|finished") << QList<int>{2} << QString() << QStringLiteral("0:Identified");
    QTest::newRow("found by a retry") << list("board6100027:ignore=2") << Types{Board6100027} << -1 << 0 << list("found 2@0|finished") << QList<int>{3} << QString() << QStringLiteral("0:Identified");
    QTest::newRow("an answer late for its pass counts in the next") << list("board6100028:delay=%late") << Types{Board6100028} << 1 << 0 << list("found 1@0|finished") << QList<int>{2} << QString() << QStringLiteral("0:Identified");
    QTest::newRow("an answer after the run changes nothing") << list("board6100028:delay=%late") << Types{Board6100028} << 0 << 0 << list("not found 1|finished") << QList<int>{1} << QString() << QStringLiteral("0:NoAnswer");
    QTest::newRow("two boards of one type: the first keeps it") << list("board6100028|board6100028:delay=100|info:delay=50") << Types{Board6100028, InfoDevice} << -1 << 0 << list("found 1@0|found 3@2|finished") << QList<int>{2, 2, 2} << QString() << QStringLiteral("0:Identified|1:Duplicate|2:Identified");
    QTest::newRow("nothing left to retry") << list("board6100028") << Types{Board6100027, Board6100028} << -1 << 0 << list("found 1@0|not found 2|finished") << QList<int>{1} << QString() << QStringLiteral("0:Identified");
    QTest::newRow("stale input is no answer") << list("board6100028:stale,answers=0") << Types{Board6100028} << 0 << 0 << list("not found 1|finished") << QList<int>{1} << QString() << QStringLiteral("0:NoAnswer");
#ifndef Q_OS_WIN // links are Linux's, and wine locks no port
    QTest::newRow("a link and its target are one port") << list("board6100028:link=@|=0") << Types{Board6100028} << 0 << 0 << list("found 1@0|finished") << QList<int>{1, 0} << QString() << QStringLiteral("0:Identified|1:Busy");
    QTest::newRow("a link to itself") << list("loop") << Types{Board6100028} << -1 << 0 << list("not found 1|finished") << QList<int>{0} << QString() << QStringLiteral("0:OpenFailed");
#endif
    QTest::newRow("a port that does not exist") << list("missing") << Types{Board6100028, Board6100028} << -1 << 0 << list("not found 1|not found 1|finished") << QList<int>{0} << QString() << QStringLiteral("0:NotFound");
    QTest::newRow("no names, no candidate ports") << QStringList() << Types{InfoDevice, Board6100027} << -1 << 0 << list("not found 3|not found 2|finished") << QList<int>{} << QString() << QStringLiteral("");
    QTest::newRow("a board leaves mid-answer") << list("board6100027:close|board6100028|silent") << Types{Board6100028, Board6100027} << 1 << 0 << list("found 1@1|not found 2|finished") << QList<int>{1, 1, 2} << QString() << QStringLiteral("0:Vanished|1:Identified|2:NoAnswer");
    QTest::newRow("a board leaves mid-answer in a retry pass") << list("board6100027:ignore=1,close|board6100028|silent") << Types{Board6100028, Board6100027} << 1 << 0 << list("found 1@1|not found 2|finished") << QList<int>{2, 1, 2} << QString() << QStringLiteral("0:Vanished|1:Identified|2:NoAnswer");
    // Answers of 75 characters and others that identify nothing requested (each port
    // concludes by its time-out), next to answers of 74 characters, one after noise. An
    // answer that does not parse counts as none.
    const QString hw = QStringLiteral("board6100028:hwversion=HW2-6100028-");
    QTest::newRow("answers that identify nothing, and the length limit")
        << (QStringList{hw + QString(44, QLatin1Char('X')), hw + QString(43, QLatin1Char('X')), QStringLiteral("info:name=") + QString(27, QLatin1Char('N')), QStringLiteral("info:noise,delay=50,name=") + QString(26, QLatin1Char('N'))}
            << list("board6100028:badsum|board6100028:hwversion=HW2-6100099|board6100027|board6100028:hwversion=X-6100028-6100027|board6100028:hwversion=|info:subcommand=inf"))
        << Types{Board6100028, InfoDevice} << 0 << 0 << list("found 1@1|found 3@3|finished") << QList<int>{2, 2, 2, 2, 2, 2, 2, 2, 2, 2} << QString() << QStringLiteral("0:NoAnswer|1:Identified|2:NoAnswer|3:Identified|4:NoAnswer|5:Unrecognized|6:Unrecognized|7:Unrecognized|8:Unrecognized|9:Unrecognized");
    // A host may end the run from the initializer's own signals; nothing of the initializer
    // may run after its slot. A chatty board keeps data in flight throughout.
    const QString chatty = QStringLiteral("board6100027:hwversion=HW2-6100099,chatter=5");
    QTest::newRow("deleted from deviceInitialized") << QStringList{QStringLiteral("board6100028"), chatty, QStringLiteral("silent")} << Types{Board6100028, Board6100027, Board6100027} << 0 << 0 << list("found 1@0") << QList<int>{1, 1, 1} << "found" << QStringLiteral("");
    QTest::newRow("deleted from deviceNotFound") << QStringList{chatty, QStringLiteral("board6100028"), QStringLiteral("silent")} << Types{Board6100028, Board6100027, Board6100027} << 0 << 0 << list("found 1@1|not found 2") << QList<int>{1, 1, 1} << "not found" << QStringLiteral("1:Identified");
    QTest::newRow("deleteLater from deviceNotFound") << QStringList{chatty, QStringLiteral("board6100028"), QStringLiteral("silent")} << Types{Board6100028, Board6100027, Board6100027} << 0 << 0 << list("found 1@1|not found 2|not found 2|finished") << QList<int>{1, 1, 1} << "not found later" << QStringLiteral("0:Unrecognized|1:Identified|2:NoAnswer");
}

void tst_Initializer::run()
{
    QFETCH(QStringList, boards);
    QFETCH(Types, types);
    QFETCH(int, retries);
    QFETCH(int, delay);
    QFETCH(QStringList, events);
    QFETCH(QList<int>, queries);
    QFETCH(QString, deleteOn);
    QFETCH(QString, reports);

    const auto available = QSerialPortInfo::availablePorts();
    if (boards.isEmpty() && std::any_of(available.begin(), available.end(), [](const auto &info) { return Initializer::isCandidate(info); }))
        QSKIP("a board is attached to this machine", SkipSingle);
    // Half the default: silent ports conclude sooner. Under wine each port costs more: twice that.
#ifdef Q_OS_WIN
    const int answerMs = 400;
#else
    const int answerMs = 200;
#endif
    Rig rig(boards.replaceInStrings(QStringLiteral("%late"), QString::number(answerMs * 13 / 10))); // late for its pass
    LogCapture log;
    QPointer<Initializer> initializer = new Initializer;
    Host host(initializer, rig.ports);
    if (retries >= 0)
        QCOMPARE(initializer->setMaxRetries(uint(retries)), 3u);
    initializer->setAnswerTimeout(answerMs);
    auto finish = [&] { deleteOn.endsWith(QLatin1String("later")) ? initializer->deleteLater() : delete initializer.data(); };
    if (deleteOn == QLatin1String("found"))
        connect(initializer, &Initializer::deviceInitialized, this, finish);
    else if (!deleteOn.isEmpty())
        connect(initializer, &Initializer::deviceNotFound, this, finish);
    QVERIFY(!initializer->probe({}, 0, rig.ports)); // nothing to look for: nothing starts
    QElapsedTimer clock;
    clock.start();
    QVERIFY(initializer->probe(types, delay, rig.ports));
    QVERIFY(!initializer->probe(types, 0, rig.ports)); // one run per initializer
    // The ports open inside probe(), unless information boards are asked for after a delay;
    // with no port to open, the run is over before probe() returns.
    const bool deferred = delay > 0 && types.contains(KvDevice::InfoDevice);
    const bool opened = std::any_of(rig.boards.begin(), rig.boards.end(), [](const auto &board) { return bool(board); });
    QCOMPARE(host.events, opened || deferred ? QStringList() : events);
    for (const auto &board : rig.boards)
        QCOMPARE(board ? board->portsOpen() : 0, board && !deferred ? 1 : 0);
    QTRY_VERIFY_WITH_TIMEOUT(host.events.contains(QStringLiteral("finished")) || !initializer, 5000);
    QTest::qWait(deleteOn.isEmpty() && !boards.join(QLatin1Char('|')).contains(QLatin1String("delay=")) ? 0 : 100); // nothing more may come
    QVERIFY(clock.elapsed() >= (deferred ? delay : 0));
    QCOMPARE(host.events, events);
    QList<int> heard;
    Board::settle();
    for (const auto &board : rig.boards)
        heard << (board ? board->lines.size() : 0);
    QCOMPARE(heard, queries);
    // One report per port (none after the host deleted the initializer): an Identified one
    // right after its deviceInitialized(), all of them before finished().
    QStringList concluded;
    const int perPass = int(types.contains(KvDevice::Board6100028) || types.contains(KvDevice::Board6100027)) + int(types.contains(KvDevice::InfoDevice));
    for (int i = 0; i < host.reports.size(); ++i) {
        const PortReport &report = host.reports.at(i);
        const int index = rig.ports.indexOf(report.port.name);
        concluded << QStringLiteral("%1:%2").arg(index).arg(QString::fromLatin1(QMetaEnum::fromType<PortOutcome>().valueToKey(report.outcome)));
        QVERIFY(report.outcome == KvDevice::Identified || !report.detail.isEmpty());
        if (report.outcome != KvDevice::Duplicate)
            QCOMPARE(report.queries * perPass, heard.at(index)); // each pass that asked it
        if (report.outcome == KvDevice::Identified)
            QCOMPARE(host.events.value(host.reportedAt.at(i) - 1), QStringLiteral("found %1@%2").arg(int(report.type)).arg(index));
        QVERIFY(!host.events.mid(0, host.reportedAt.at(i)).contains(QStringLiteral("finished")));
        QVERIFY2(report.outcome != KvDevice::Busy || report.detail.contains(QStringLiteral("process %1").arg(QCoreApplication::applicationPid())), qPrintable(report.detail));
    }
    concluded.sort();
    QCOMPARE(concluded.join(QLatin1Char('|')), reports);
    if (initializer)
        QCOMPARE(initializer->reports().size(), host.reports.size());

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
    QCOMPARE(log.count(QStringLiteral("Serial port opened for probing: ")) + log.count(QStringLiteral("Serial port not accessible: ")), rig.ports.size());
    for (const QString prefix : {"Serial port opened for probing:  \"", "Read succes on port:  \"", "Read timeout for:  \"", "Serial port lost:  \""}) {
        for (const LogCapture::Line &line : log.matching(prefix))
            QVERIFY2(rig.ports.contains(line.message.mid(prefix.size()).chopped(1)), qPrintable(line.message));
    }
    // The initializer holds the ports it did not hand over, except lost ones, until it goes.
    for (const auto &board : rig.boards) {
        if (board && initializer)
            QCOMPARE(board->portsOpen(), board->isOpen() ? 1 : 0);
    }
    delete initializer;
    QCOMPARE(log.count(QStringLiteral("*** Initializer deleted ***")), 1);
    for (size_t i = 0; i < rig.boards.size(); ++i) {
        if (rig.boards.at(i))
            QCOMPARE(rig.boards.at(i)->portsOpen(), handedOver.contains(rig.ports.at(int(i))) ? 1 : 0);
    }
}

void tst_Initializer::afterHandover_data()
{
    QTest::addColumn<int>("extra");   // sentences that come in the answer's read, before the host looks
    QTest::addColumn<int>("later");   // and after the hand-over
    QTest::addColumn<bool>("leaves"); // then the board goes, in the middle of a sentence
    QTest::addColumn<bool>("closes"); // the host closes the port when it hears of it
    QTest::newRow("the rest of the answer's read is the host's") << 2 << 0 << false << true;
    QTest::newRow("the board leaves between sentences") << 0 << 2 << true << true;
    QTest::newRow("the board leaves mid-sentence, six unread before") << 3 << 3 << true << true;
    QTest::newRow("the board leaves, a host that closes nothing") << 0 << 2 << true << false;
}

void tst_Initializer::afterHandover()
{
    QFETCH(int, extra);
    QFETCH(int, later);
    QFETCH(bool, leaves);
    QFETCH(bool, closes);

    QStringList sent;
    for (int i = 0; i < extra + later; ++i)
        sent << sentence(QStringLiteral("KVDATA,%1").arg(i));
    Board board;
    connect(&board, &Board::heard, &board, [&] { // the first query only
        if (board.lines.size() == 1)
            board.send("$PKVVER,bad*00\r\n" + answer28 + sent.mid(0, extra).join(QString()).toLatin1());
    });
    Initializer initializer;
    Host host(&initializer);
    // A queued connection (made this way, without registering the type) carries the communicator.
    QList<Communicator *> queued;
    connect(&initializer, &Initializer::deviceInitialized, this, [&queued](Type, Communicator *comm) { queued << comm; }, Qt::QueuedConnection);
    initializer.probe({KvDevice::Board6100028}, 0, {board.path()});
    QTRY_COMPARE(queued.size(), 1);
    Communicator *comm = queued.first();
    QCOMPARE(comm, host.found.first().comm.data());
    // The host reads what is left and closes the port when it hears of a failure; a
    // request pending then has ended before.
    int failures = 0;
    QStringList received, order;
    connect(comm, &Communicator::readFailed, this, [&] {
        ++failures;
        order << QStringLiteral("readFailed");
        QVERIFY(comm->ioDevice()->isOpen()); // closed for the host only after it heard
        if (closes)
            comm->ioDevice()->close();
    });
    QSignalSpy transferred(comm, SIGNAL(transferred(uint)));
    const uint id = comm->writePayload(QString::fromLatin1(versionQuery));
    QTRY_COMPARE(transferred.count(), 1);
    QCOMPARE(transferred.first().first().toUInt(), id);
    board.send(sent.mid(extra).join(QString()).toLatin1() + (leaves ? "$KVDATA,cut,of" : ""));
    QTest::qWait(50);
    if (leaves) {
        connect(KvDevice::Request::send(comm, KvDevice::InitQuery::version()), &KvDevice::Request::finished, this,
                [&order](const KvDevice::Request::Result &result) { order << QString::number(result.status); });
        board.close();
    }
    QTRY_COMPARE(failures, leaves ? 1 : 0);
    QTest::qWait(100);
    QCOMPARE(failures, leaves ? 1 : 0); // once, though Qt reports the error again until the close
    QCOMPARE(order.join(QLatin1Char(' ')), leaves ? QStringLiteral("%1 readFailed").arg(KvDevice::Request::PortFailed) : QString());
    for (QString payload; comm->readPayload(payload, 0);)
        received << payload;
    QCOMPARE(received, sent); // every complete sentence, in order
    QCOMPARE(board.portsOpen(), leaves ? 0 : 1); // a failed port is closed, by the host or for it
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

// A board slower than the answer time-out is found by the first pass's answer while the
// second pass's query is still owed one: a request the host sends at once waits for that
// answer, and is on the wire as the answer reaches the host, not once it is forgotten.
void tst_Initializer::requestBehindOwedQuery()
{
#ifdef Q_OS_WIN
    const int answerMs = 400; // wine's timers
#else
    const int answerMs = 200;
#endif
    Board board(QStringLiteral("board6100028:delay=%1").arg(answerMs * 17 / 10));
    Initializer initializer;
    initializer.setMaxRetries(1);
    initializer.setAnswerTimeout(answerMs);
    QPointer<KvDevice::Request> request;
    QList<int> attemptsAtPassThrough;
    KvDevice::Request::Result result;
    connect(&initializer, &Initializer::deviceInitialized, this, [&](Type, Communicator *comm) {
        request = KvDevice::Request::send(comm, KvDevice::InitQuery::version());
        connect(request, &KvDevice::Request::finished, this, [&](const KvDevice::Request::Result &r) { result = r; });
        connect(comm, QOverload<uint>::of(&Communicator::readyRead), this, [&] {
            if (request && !request->isFinished())
                attemptsAtPassThrough << request->result().attempts;
        });
    });
    Host host(&initializer);
    initializer.probe({KvDevice::Board6100028}, 0, {board.path()});
    QTRY_COMPARE_WITH_TIMEOUT(result.status, KvDevice::Request::Answered, 5000);
    if (board.lines.size() < 3)
        QSKIP("the first answer came before the second pass: nothing was owed", SkipSingle);
    QCOMPARE(attemptsAtPassThrough, QList<int>{1});
    QCOMPARE(result.attempts, 1);
}

QTEST_GUILESS_MAIN(tst_Initializer)
#include "tst_initializer.moc"
