// SPDX-License-Identifier: MIT
// The library's default run and the tools on USB serial ports as the system enumerates
// them (emulated by umockdev): boards are picked by maker, identified and handed over,
// the ports of other makers never touched; kvprobe lists, probes, details and monitors
// them, and both tools refuse bad command lines.

#include <kvdevice/initializer.h>

#include "boardsupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSysInfo>
#include <QSerialPort>
#include <QtTest>

#include <unistd.h>

#ifdef KVDEVICE_HAVE_UMOCKDEV
#include "usbtestbed.h"
#else
namespace TestSupport {
struct UsbTestbed // stands in where umockdev is missing
{
    static QString unavailable() { return QStringLiteral("built without umockdev (apt-get install umockdev libumockdev-dev)"); }
};
}
#endif

using namespace TestSupport;

class tst_Usb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { testbed.reset(); }
    void run_data();
    void run();

private:
    Board pty; // a pseudo-terminal's board, for what the emulated ports cannot show
    std::unique_ptr<UsbTestbed> testbed;
    QStringList ttys;
    QList<QByteArrayList> heard;
};

void tst_Usb::initTestCase()
{
    if (const QString missing = UsbTestbed::unavailable(); !missing.isEmpty()) {
        if (qEnvironmentVariableIntValue("KVDEVICE_REQUIRE_UMOCKDEV"))
            QFAIL(qPrintable(missing));
        QSKIP(qPrintable(missing)); // CTest then reports the suite skipped
    }
}

void tst_Usb::init()
{
#ifdef KVDEVICE_HAVE_UMOCKDEV
    // Two boards picked by vendor, one by maker text alone, three ports of other makers:
    // an FTDI adapter, a CH340 that names no maker, a legacy on-board port. All answer (the
    // FTDI's board with a wrong checksum, the legacy port's once only).
    testbed = std::make_unique<UsbTestbed>();
    const QList<QPair<UsbDevice, QString>> rig = {
        {{0x0483, 0x5740, QStringLiteral("Acme Boards"), QStringLiteral("STM32 Virtual ComPort"), QStringLiteral("2061376E5748")}, QStringLiteral("board6100028")},
        {{0x1209, 0x5740, QStringLiteral("STMicroelectronics."), QStringLiteral("KV info"), QStringLiteral("0001")}, QStringLiteral("info")},
        {UsbDevice(), QStringLiteral("board6100027")},
        {{0x0403, 0x6001, QStringLiteral("FTDI"), QStringLiteral("FT232R USB UART"), QStringLiteral("A50285BI")}, QStringLiteral("board6100027:badsum")},
        {{0x1a86, 0x7523, QString(), QStringLiteral("USB Serial"), QString()}, QStringLiteral("board6100028")}};
    ttys.clear();
    heard.clear();
    for (const auto &device : rig)
        ttys << testbed->add(device.first);
    ttys << testbed->addLegacy();
    for (int i = 0; i < ttys.size(); ++i) {
        heard << QByteArrayList();
        connect(testbed->play(ttys.at(i), i < rig.size() ? rig.at(i).second : QStringLiteral("info:answers=1")), &SimBoard::heard, this,
                [this, i](const QByteArray &line) { heard[i] << line; });
    }
#endif
}

void tst_Usb::run_data()
{
    QTest::addColumn<QString>("command"); // kvprobe or kvboard-sim and their arguments; empty: the library
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("held");        // the device whose port this process holds open, or -1
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("expected"); // in the output lines; %N: the tty of device N

    auto rows = [](const char *text) { return QString::fromUtf8(text).split(QLatin1Char('|')); };
    const QString byId = QStringLiteral("/dev/serial/by-id/usb-Acme_Boards_STM32_Virtual_ComPort_2061376E5748-if00");
    QTest::newRow("library") << QString() << QByteArray() << -1 << 0 << rows("found 1@0|found 2@2|found 3@1|finished|usb:0483:5740:2061376E5748|usb-socket:1-3");
#if defined(KVPROBE_PATH) && defined(KVBOARD_SIM_PATH)
    QTest::newRow("kvprobe") << "kvprobe --retries 0" << QByteArray() << -1 << 0 << rows("found Board6100028 /dev/%0 serial 2061376E5748|found Board6100027 /dev/%2|found InfoDevice /dev/%1 serial 0001|done: 3 found, 0 not found");
    QTest::newRow("kvprobe --json: who the boards are") << "kvprobe --retries 0 --json" << QByteArray() << -1 << 0 << rows(R"({"event":"found","location":"1-1","pid":"5740","port":"/dev/%0","serial":"2061376E5748","type":"Board6100028","vid":"0483"}|{"event":"found","location":"1-3","pid":"5740","port":"/dev/%2","type":"Board6100027","vid":"0483"}|"event":"port","location":"1-2","outcome":"identified","pid":"5740","port":"/dev/%1","queries":1,"serial":"0001","type":"InfoDevice")");
    QTest::newRow("kvprobe: no candidate with that serial number") << "kvprobe --serial 0000NONE" << QByteArray() << -1 << 1 << rows("no candidate port: the system lists no serial port of STMicroelectronics (USB vendor 0483) with serial number 0000NONE; kvprobe --list shows every port|not-found Board6100027|done: 0 found, 3 not found");
    QTest::newRow("kvprobe --json: no candidate, then each type not found") << "kvprobe --serial 0000NONE --json --type info" << QByteArray() << -1 << 1 << rows(R"({"detail":"no candidate port:|","event":"no_candidate"}|{"event":"not_found","type":"InfoDevice"}|"event":"done","found":0,"not_found":1)");
    QTest::newRow("kvprobe --list") << "kvprobe --list" << QByteArray() << -1 << 0 << rows("/dev/%0 1-1 0483:5740 2061376E5748 yes Acme Boards|/dev/%1 1-2 1209:5740 0001 yes STMicroelectronics.|/dev/%2 1-3 0483:5740 - yes STMicroelectronics.|/dev/%3 1-4 0403:6001 A50285BI no FTDI|/dev/%4 1-5 1a86:7523 - no 1a86|/dev/%5 - - - no -");
    QTest::newRow("kvprobe --list --json") << "kvprobe --list --json" << QByteArray() << -1 << 0 << rows(R"({"candidate":true,"event":"port","location":"1-1","manufacturer":"Acme Boards","pid":"5740","port":"/dev/%0","serial":"2061376E5748","vid":"0483"}|{"candidate":false,"event":"port","port":"/dev/%5"}|{"event":"done","ports":6})");
    QTest::newRow("only the board with a serial number") << "kvprobe --serial 2061376E5748 --retries 0" << QByteArray() << -1 << 1 << rows("found Board6100028 /dev/%0 serial 2061376E5748|silent %1|silent %2");
    QTest::newRow("every board, a silent one asked again") << "kvprobe --all --port /dev/%0 --port /dev/%4 --port /dev/%5 --type board6100028 --retries 1 --timeout 50 --json" << QByteArray() << -1 << 0 << rows(R"({"event":"found","location":"1-5","pid":"7523","port":"/dev/%4","type":"Board6100028","vid":"1a86"}|"event":"found","location":"1-1"|"event":"port","outcome":"no_answer","port":"/dev/%5","queries":2)");
    QTest::newRow("the first board of a type, the other a duplicate") << "kvprobe --port /dev/%0 --port /dev/%4 --type board6100028 --json" << QByteArray() << -1 << 0 << rows(R"("outcome":"identified"|"outcome":"duplicate")");
    QTest::newRow("an answer that does not parse") << "kvprobe --port /dev/%3 --type board6100027 --retries 0 --json" << QByteArray() << -1 << 1 << rows(R"x("detail":"no answer in 1 pass of 400 ms that parsed (CRC calculation failed)"|"event":"port","location":"1-4","outcome":"no_answer","pid":"6001","port":"/dev/%3","queries":1,"serial":"A50285BI","vid":"0403")x");
    QTest::newRow("an answer of a type not asked for") << "kvprobe --port /dev/%2 --type board6100028 --retries 0" << QByteArray() << -1 << 1 << rows("port /dev/%2 unrecognized: it answered as Board6100027, which was not asked for");
    QTest::newRow("details") << "kvprobe --details --type info" << QByteArray() << -1 << 0 << rows("details InfoDevice /dev/%1 subcommand=INF name=KVINFO devtype=INFO boardid=0001 rev=A version=1.0.0 hwversion=HW1-INFO appmode=APP");
    QTest::newRow("details as JSON: numbers as numbers") << "kvprobe --details --json --type board6100028" << QByteArray() << -1 << 0 << rows(R"({"details":{"hwversion":"HW2-6100028","v1":3,"v2":2,"v3":3},"event":"details","port":"/dev/%0","type":"Board6100028"})");
    QTest::newRow("a port named is probed whatever its maker; type names as printed") << "kvprobe --port /dev/%4 --port /dev/%1 --type BOARD6100028 --type InfoDevice" << QByteArray() << -1 << 0 << rows("found Board6100028 /dev/%4|found InfoDevice /dev/%1");
    QTest::newRow("a by-id link opens its node, under the name given") << "kvprobe --port " + byId + " --type board6100028" << QByteArray() << -1 << 0 << rows(qPrintable("found Board6100028 " + byId + " serial 2061376E5748"));
    QTest::newRow("a by-id link and its node are one port: busy") << "kvprobe --port " + byId + " --retries 0 --json" << QByteArray() << 0 << 1 << rows(qPrintable(R"("outcome":"busy","pid":"5740","port":")" + byId + R"(|in use by tst_usb (process)"));
    QTest::newRow("details that get no answer") << "kvprobe --port /dev/%5 --type info --details" << QByteArray() << -1 << 1 << rows("found InfoDevice /dev/%5|details InfoDevice /dev/%5 failed: no answer within 1000 ms");
    QTest::newRow("a regular file") << "kvprobe --port /etc/hostname --type info --retries 0" << QByteArray() << -1 << 1 << rows("port /etc/hostname open_failed: it is a regular file, not a serial port");
    const QString missing = QStringLiteral("/dev/ttyACM9%1").arg(QCoreApplication::applicationPid()); // its lock file is this process's alone
    QTest::newRow("a port that does not exist") << "kvprobe --port " + missing + " --type info --retries 0" << QByteArray() << -1 << 1 << rows(qPrintable("not-found InfoDevice|port " + missing + " not_found: no such port (see kvprobe --list)"));
    QTest::newRow("a port this user may not open") << "nobody kvprobe --port %pty --type info --retries 0 --json" << QByteArray() << -1 << 1 << rows(R"("outcome":"permission_denied")");
    QTest::newRow("a lock file left by a program that ended, not this user's to remove") << "nobody kvprobe --port %pty --type info --retries 0" << QByteArray() << -2 << 1 << rows("permission_denied: a lock file left by process");
    QTest::newRow("monitor") << "kvprobe --monitor /dev/%0" << QByteArray("PKVVER\n$PKVVER*00\nPKVVER,a*b\n\n!PKVVER") << -1 << 0 << rows("> $PKVVER*0c|> $PKVVER*00|> $PKVVER,a*b|> !PKVVER*0c|< $PKVVER,HW2-6100028,3,2,3*03");
    QTest::newRow("monitor: a busy port names its holder") << "kvprobe --monitor /dev/%0" << QByteArray() << 0 << 1 << rows("kvprobe: cannot open /dev/%0: in use by tst_usb (process");
    QTest::newRow("monitor: a wrong checksum is marked") << "kvprobe --monitor /dev/%3" << QByteArray("PKVVER") << -1 << 0 << rows("< $PKVVER,HW2-6100027,2,1,0*f2 (wrong checksum)");
    QTest::newRow("ask a port") << "kvprobe --ask PKVVER --port /dev/%0" << QByteArray() << -1 << 0 << rows("answer /dev/%0 $PKVVER,HW2-6100028,3,2,3*03 hwversion=HW2-6100028 v1=3 v2=2 v3=3");
    QTest::newRow("ask the boards found") << "kvprobe --ask PTKVWR,INF --type info --json" << QByteArray() << -1 << 0 << rows(R"({"event":"answer","fields":{"appmode":"APP","boardid":"0001","devtype":"INFO","hwversion":"HW1-INFO","name":"KVINFO","rev":"A","subcommand":"INF","version":"1.0.0"},"port":"/dev/%1","sentence":"$PTKVRD,INF,KVINFO,INFO,0001,A,1.0.0,HW1-INFO,APP*6e"})");
    QTest::newRow("ask: silence, and an answer that does not parse") << "kvprobe --ask PKVVER --port /dev/%5 --port /dev/%3 --timeout 100 --retries 1 --json" << QByteArray() << -1 << 1 << rows(R"({"attempts":2,"event":"no_answer","port":"/dev/%5","reason":"no answer in 2 attempts of 100 ms"}|{"attempts":1,"event":"no_answer","port":"/dev/%3","reason":"its answer did not parse: CRC calculation failed"})");
    QTest::newRow("ask with --expect: an answer as text") << "kvprobe --ask $PKVVER --expect PKVVER --port /dev/%3" << QByteArray() << -1 << 0 << rows("answer /dev/%3 $PKVVER,HW2-6100027,2,1,0*f2");
    QTest::newRow("ask: no answer of its own") << "kvprobe --ask KVSTAT --port /dev/%0" << QByteArray() << -1 << 2 << rows("--expect ID is needed");
    QTest::newRow("ask and monitor") << "kvprobe --ask PKVVER --monitor /dev/%0" << QByteArray() << -1 << 2 << rows("--ask and --monitor cannot be combined");
    QTest::newRow("kvprobe: unknown type") << "kvprobe --type board6100029" << QByteArray() << -1 << 2 << rows("valid types: board6100028, board6100027, info");
    QTest::newRow("kvprobe: list and port") << "kvprobe --list --port /dev/null" << QByteArray() << -1 << 2 << rows("--list and --port cannot be combined");
    QTest::newRow("kvprobe: monitor and JSON") << "kvprobe --monitor /dev/%0 --json" << QByteArray() << -1 << 2 << rows("--monitor and --json cannot be combined");
    QTest::newRow("kvprobe: an empty port name") << "kvprobe --port=" << QByteArray() << -1 << 2 << rows("--port takes a port name or path, not an empty text");
    QTest::newRow("kvboard-sim: a link that is another's") << "kvboard-sim --board silent:link=" + byId << QByteArray() << -1 << 1 << rows("cannot create link");
    QTest::newRow("kvboard-sim: one link twice") << "kvboard-sim --board info:link=/tmp/kvsame --board silent:link=/tmp/kvsame" << QByteArray() << -1 << 2 << rows("link /tmp/kvsame is given twice");
    QTest::newRow("kvboard-sim: no board") << "kvboard-sim" << QByteArray() << -1 << 2 << rows("no board given");
    QTest::newRow("kvboard-sim: unknown type") << "kvboard-sim --board board6100029:delay=5" << QByteArray() << -1 << 2 << rows("valid types: board6100028, board6100027, info, silent");
    QTest::newRow("kvboard-sim: no number") << "kvboard-sim --board board6100027:v2=two" << QByteArray() << -1 << 2 << rows("v2 takes a whole number");
    QTest::newRow("kvboard-sim: escaped comma in a field") << "kvboard-sim --board info:name=a\\,b" << QByteArray() << -1 << 2 << rows("name=\"a,b\": a field value cannot hold");
    QTest::newRow("kvboard-sim: a bad board after a good one") << "kvboard-sim --board info --board info:delay=5,,ignore=1" << QByteArray() << -1 << 2 << rows("empty option");
#endif
}

void tst_Usb::run()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, input);
    QFETCH(int, held);
    QFETCH(int, exitCode);
    QFETCH(QStringList, expected);

    auto named = [this](QString text) {
        for (int i = ttys.size() - 1; i >= 0; --i)
            text.replace(QStringLiteral("%%1").arg(i), ttys.at(i));
        return text;
    };
    QSerialPort holder(held >= 0 ? QStringLiteral("/dev/") + ttys.at(held) : QString());
    QVERIFY(held < 0 || holder.open(QIODevice::ReadWrite));
    // held -2: root's lock file for the pty, left by a process that no longer runs
    QString staleLock;
    const auto removeLock = qScopeGuard([&staleLock] {
        if (!staleLock.isEmpty())
            QFile::remove(staleLock);
    });
    if (held == -2) {
        QFile pidMax(QStringLiteral("/proc/sys/kernel/pid_max")); // no process has this number
        QVERIFY(pidMax.open(QIODevice::ReadOnly));
        staleLock = QStringLiteral("/var/lock/LCK..") + pty.path().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
        QFile lock(staleLock);
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(pidMax.readAll().trimmed() + "\nghost\n" + QSysInfo::machineHostName().toUtf8() + '\n');
    }
    QStringList lines;
    int status = 0;
    if (command.isEmpty()) {
        auto *initializer = new KvDevice::Initializer;
        Host host(initializer, QStringList(ttys).replaceInStrings(QRegularExpression(QStringLiteral("^")), QStringLiteral("/dev/")));
        QVERIFY(initializer->probe({KvDevice::Board6100028, KvDevice::Board6100027, KvDevice::InfoDevice}));
        QTRY_COMPARE(host.events.size(), 4);
        lines = host.events;
        for (const KvDevice::PortReport &report : qAsConst(host.reports)) // the same board after a re-plug
            lines << report.port.boardKey();
        delete initializer; // its ports close before the testbed goes
    } else {
#if defined(KVPROBE_PATH) && defined(KVBOARD_SIM_PATH)
        // The tools inherit the preload and see the same testbed; the boards answer from here.
        QStringList args = named(command).replace(QStringLiteral("%pty"), pty.path()).split(QLatin1Char(' '));
        const QHash<QString, QString> tools{{QStringLiteral("kvprobe"), QStringLiteral(KVPROBE_PATH)}, {QStringLiteral("kvboard-sim"), QStringLiteral(KVBOARD_SIM_PATH)}};
        QProcess tool;
        if (args.first() == QLatin1String("nobody")) { // a user without rights, and without the preload
            if (::geteuid() != 0)
                QSKIP("needs root to run a program as nobody", SkipSingle);
            const QStringList asNobody{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")};
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.remove(QStringLiteral("LD_PRELOAD"));
            tool.setProcessEnvironment(environment);
            QProcess reach; // a build in a private folder (mode 700) is out of nobody's reach
            reach.setProcessEnvironment(environment);
            reach.start(QStringLiteral("setpriv"), asNobody + QStringList{QStringLiteral("test"), QStringLiteral("-x"), tools.value(args.at(1))});
            if (!reach.waitForFinished() || reach.exitCode() != 0)
                QSKIP("nobody cannot reach the tools in this build folder", SkipSingle);
            args = QStringList{QStringLiteral("setpriv")} + asNobody + QStringList{tools.value(args.at(1))} + args.mid(2);
        }
        tool.start(tools.value(args.first(), args.first()), args.mid(1));
        tool.write(input);
        tool.closeWriteChannel();
        QTRY_VERIFY_WITH_TIMEOUT(tool.state() == QProcess::NotRunning, 60000);
        status = tool.exitCode();
        lines = QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError()).split(QLatin1Char('\n'));
#else
        QFAIL("the tools are not built");
#endif
    }
    QVERIFY2(status == exitCode, qPrintable(lines.join(QLatin1Char('\n'))));
    for (const QString &line : qAsConst(expected)) {
        const QString wanted = named(line);
        if (wanted.startsWith(QLatin1String("silent "))) { // a board that must not have heard a byte
            QVERIFY2(heard.at(ttys.indexOf(wanted.mid(7))).isEmpty(), qPrintable(wanted));
            continue;
        }
        QVERIFY2(std::any_of(lines.begin(), lines.end(), [&](const QString &l) { return l.simplified().contains(wanted); }),
                 qPrintable(wanted + QStringLiteral(" not in:\n") + lines.join(QLatin1Char('\n'))));
    }
    if (command == QLatin1String("kvprobe --list")) { // a table: its columns line up, whatever their widths
        QSet<int> candidateColumn;
        for (const QString &l : qAsConst(lines))
            if (!l.isEmpty())
                candidateColumn.insert(l.indexOf(QRegularExpression(QStringLiteral("  (CANDIDATE|yes|no)  "))));
        QCOMPARE(candidateColumn.size(), 1);
        QVERIFY(!candidateColumn.contains(-1));
    }
    for (int i = 3; i < ttys.size(); ++i) // never opened unless named
        QVERIFY2(heard.at(i).isEmpty() || command.contains(QStringLiteral("%%1").arg(i)), qPrintable(ttys.at(i)));
}

QTEST_GUILESS_MAIN(tst_Usb)
#include "tst_usb.moc"
