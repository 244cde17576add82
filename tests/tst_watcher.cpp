// SPDX-License-Identifier: MIT
// The watcher on boards that come and go: emulated USB devices seen through udev's events
// or by polling, a folder of the simulator's links, and a source the test feeds itself.
// Each row is a script of what happens; the host records what the watcher tells it.

#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>
#include <kvdevice/porteventsource.h>
#include <kvdevice/request.h>
#include <kvdevice/sessioninit.h>
#include <kvdevice/watcher.h>

#include "boardsupport.h"

#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <climits>
#include <functional>
#include <map>

#include <cstdio>

#ifdef KVDEVICE_HAVE_UMOCKDEV
#include "usbtestbed.h"
#endif
#ifdef KVDEVICE_REMOTE_PORTS
#include "rack.h"

#include <kvdevice/remoteport.h>
#endif

using namespace KvDevice;
using namespace TestSupport;

namespace {

// A source the test feeds: what it lists, and what it tells.
class FedSource : public PortEventSource
{
public:
    bool start() override { return true; }
    QList<QPair<PortInfo, bool>> ports() override { return present; }
    QList<QPair<PortInfo, bool>> present;
};

} // namespace

class tst_Watcher : public QObject
{
    Q_OBJECT

private slots:
    void watch_data();
    void watch();
    void attribution_data();
    void attribution();
};

void tst_Watcher::watch_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("script");   // steps, separated by '|'
    QTest::addColumn<QString>("expected"); // events, separated by '|'; @N: the board plugged Nth

    QTest::newRow("udev: present, plugged, unplugged, back under a new name") << "udev" << "plug board6100028|start|await 1|plug info|await 2|unplug 0|await 3|plug board6100028|await 4" << "attached 1@0|attached 3@1|detached 1@0|attached 1@2";
    QTest::newRow("udev: unplugged while probed") << "udev" << "start|plug silent|heard 0|unplug 0|await 2" << "concluded@0 Vanished|left@0";
    QTest::newRow("udev: a port of another maker is never opened") << "udev" << "start|plug foreign|plug board6100027|await 1|wait 300" << "attached 2@1";
    QTest::newRow("udev: sixteen, one after another") << "udev" << "start|burst 16|await 16" << QStringLiteral("attached 1@%1|").repeated(16).chopped(1);
    QTest::newRow("polling: a port of another maker is never opened") << "polling" << "start|plug foreign|plug board6100027|await 1|wait 300" << "attached 2@1";
    QTest::newRow("udev: busy right after the plug") << "udev" << "start|plug board6100028 held|wait 400|release 0|await 1" << "attached 1@0";
    QTest::newRow("udev: a silent port, a host that deleted its board") << "udev" << "start|plug silent|plug info|await 2|drop 1|unplug 1|await 3" << "attached 3@1|concluded@0 NoAnswer|detached 3@1";
    QTest::newRow("polling: plugged and unplugged") << "polling" << "start|plug board6100027|await 1|unplug 0|await 2" << "attached 2@0|detached 2@0";
    QTest::newRow("directory: plugged, unplugged, back") << "directory" << "plug info|start|await 1|plug board6100028|await 2|unplug 0|await 3|plug info|await 4" << "attached 3@0|attached 1@1|detached 3@0|attached 3@2";
    QTest::newRow("directory: silent at the start, back under its name") << "directory" << "plug silent|start|await 1|unplug 0|await 2|plug info as 0|await 3" << "concluded@0 NoAnswer|left@0|attached 3@0";
    QTest::newRow("directory: an old board kept by the host fails after its port came back") << "directory" << "plug info|start|await 1|unplug 0|await 2|plug info as 0|await 3|fail 0|wait 50" << "attached 3@0|detached 3@0|attached 3@0";
    QTest::newRow("udev: the host deletes the watcher when its board leaves") << "udev" << "start|plug info|await 1|leave|unplug 0|await 2|wait 50" << "attached 3@0|detached 3@0";
    QTest::newRow("udev: the host deletes the watcher when a probed port goes") << "udev" << "start|plug silent|heard 0|leave|unplug 0|await 1|wait 50" << "concluded@0 Vanished";
    QTest::newRow("directory: the watcher deletes the boards that leave, not one the host keeps") << "directory" << "own|plug info|start|await 1|plug board6100028|await 2|keep 1|unplug 0|await 3|unplug 1|await 4|freed 0|wait 50|kept 1" << "attached 3@0|attached 1@1|detached 3@0|detached 1@1";
    QTest::newRow("directory: the host deletes the watcher when its board comes") << "directory" << "start|leave|plug info|await 1|wait 50" << "attached 3@0";
    QTest::newRow("directory: started again, the ports present are probed again") << "directory" << "plug silent|start|await 1|restart|await 2" << "concluded@0 NoAnswer|concluded@0 NoAnswer";
    QTest::newRow("directory: stopped with a probe in flight") << "directory" << "start|plug board6100028:delay=200|heard 0|stop|wait 300" << "";
    QTest::newRow("directory: a link to no serial port concludes at once, not retried") << "directory" << "start|plug silent|plug file|await 2" << "concluded@1 OpenFailed|concluded@0 NoAnswer";
    QTest::newRow("directory: the folder made after the start") << "directory" << "rmdir|start|mkdir|plug info|await 1" << "attached 3@0";
    QTest::newRow("directory: the folder deleted and made again") << "directory" << "plug info|start|await 1|rmdir|await 2|mkdir|plug board6100028|await 3" << "attached 3@0|detached 3@0|attached 1@1";
    QTest::newRow("directory: a board that answers only later is asked again") << "directory" << "reprobe|plug board6100028:ignore=2|start|await 2" << "concluded@0 NoAnswer +100|attached 1@0";
    QTest::newRow("directory: a silent port, pauses doubling within the window") << "directory" << "reprobe 100 1700|plug silent|start|await 3|wait 1000" << "concluded@0 NoAnswer +100|concluded@0 NoAnswer +200|concluded@0 NoAnswer";
    QTest::newRow("directory: a busy port let go is attached") << "directory" << "reprobe|window 50|plug board6100028 held|start|await 1|wait 300|release 0|await 2" << "concluded@0 Busy +100|attached 1@0";
    QTest::newRow("directory: a busy port let go that stays silent: pauses from the first") << "directory" << "reprobe|window 50|plug silent held|start|await 1|release 0|await 2" << "concluded@0 Busy +100|concluded@0 NoAnswer +100";
    QTest::newRow("directory: an unrecognized port is asked again only when asked") << "directory" << "reprobe|plug board6100028:hwversion=HW9|start|await 1|wait 400|ask 0|await 2|wait 200" << "concluded@0 Unrecognized|concluded@0 Unrecognized";
    QTest::newRow("directory: a slow board's late answers never reach the host") << "directory" << "plug board6100028:delay=200|start|await 1|request 0|await 2|wait 400" << "attached 1@0|answered@0";
    QTest::newRow("directory: a slow board that answers once is handed over all the same") << "directory" << "plug board6100028:delay=200,answers=1|start|await 1" << "attached 1@0";
    QTest::newRow("directory: a request pending when the board leaves ends first") << "directory" << "plug board6100028:answers=1|start|await 1|request 0|wait 100|unplug 0|await 3" << "attached 1@0|failed@0 PortFailed|detached 1@0";
    QTest::newRow("fed: a board's port fails with no removal event: the host hears it first") << "fed" << "start|plug info|await 1|unplug 0|await 3" << "attached 3@0|readFailed@0|detached 3@0";
    // Boards that are slow, talk on their own, boot, come back, or are held by this program.
    QTest::newRow("directory: a board much slower than the time-out is attached by its second probe") << "directory" << "pause 400|plug board6100028:delay=1000|start|await 2|wait 1200" << "concluded@0 NoAnswer +400|attached 1@0";
    QTest::newRow("directory: a slow board that talks on its own is asked again") << "directory" << "pause 300|plug board6100028:delay=400,chatter=30|start|await 2|wait 300" << "concluded@0 NoAnswer +300|attached 1@0";
    QTest::newRow("directory: a board whose first answers are garbled is asked again") << "directory" << "pause 100|plug board6100028:badsum=2|start|await 2" << "concluded@0 NoAnswer +100|attached 1@0";
    QTest::newRow("directory: a board that hangs up while its link stays: the link's next board") << "directory" << "pause 100|plug board6100028|start|await 1|replace 0 info|await 3" << "attached 1@0|detached 1@0|attached 3@0";
    QTest::newRow("directory: what a board said while identified reaches the host after") << "directory" << "plug board6100028:delay=200|start|heard 0|say 0|await 2" << "attached 1@0|said@0";
    QTest::newRow("directory: asked again after the host let its board go") << "directory" << "plug board6100028|start|await 1|drop 0|ask 0|await 2" << "attached 1@0|attached 1@0";
    QTest::newRow("directory: a port this program holds is told once, asked when let go") << "directory" << "reprobe|plug board6100028 held here|start|await 1|wait 400|release 0|await 2" << "concluded@0 Busy|attached 1@0";
    QTest::newRow("directory: watching anew while the host holds the last watching's board") << "directory" << "locking|plug board6100028|start|await 1|restart|await 2|drop 0|await 3" << "attached 1@0|concluded@0 Busy|attached 1@0";
    // (Under wine the answers' delays jitter past the check that the identification makes
    // sure with: the board comes once its owed answers are given up, within 20 s.)
    QTest::newRow("directory: retries without end: asked until it answers") << "directory" << "retries max|plug board6100028:ignore=4|start|await 1 30000" << "attached 1@0";
    QTest::newRow("directory: a first pause of months doubles without overflow") << "directory" << "pause 1500000000|plug silent|start|await 1|ask 0|await 2" << "concluded@0 NoAnswer +1500000000|concluded@0 NoAnswer";
    // stop() from the host's slots: nothing follows, and the boards stay the host's.
    QTest::newRow("directory: stopped from a probed port's report") << "directory" << "start|plug silent|heard 0|halt|unplug 0|await 1|wait 200" << "concluded@0 Vanished";
    QTest::newRow("directory: stopped from a request's end as its board goes") << "directory" << "plug board6100028:answers=1|start|await 1|request 0|wait 100|halt|unplug 0|await 2|closed 0|wait 100" << "attached 1@0|failed@0 PortFailed";
    QTest::newRow("fed: events lost, the ports listed again") << "fed" << "start|plug board6100028 quietly|plug info|await 1|lose|await 2" << "attached 3@1|attached 1@0";
    // Boards served by ser2net: "down N" kills the Nth server, "up N" starts it again.
    QTest::newRow("remote: the server killed and back; pauses doubling to their longest, then quiet") << "remote" << "remote 100 200|plug board6100028|start|await 1|down 0|await 4|wait 300|up 0|await 5" << "attached 1@0|detached 1@0|concluded@0 NotFound +100|concluded@0 NotFound +200|attached 1@0";
    QTest::newRow("remote: unplugged at the server, another board plugged there") << "remote" << "remote 100 100|plug board6100028|start|await 1|unplug 0|await 3|wait 200|plug info as 0|await 4" << "attached 1@0|detached 1@0|concluded@0 NotFound +100|attached 3@0";
    QTest::newRow("remote: a server back after its first refusal: a silent board there has its window from then") << "remote" << "remote 1000 1000 1800|plug silent|down 0|start|await 1|up 0|await 2" << "concluded@0 NotFound +1000|concluded@0 NoAnswer +1000";
    QTest::newRow("remote: another client has it until it lets go") << "remote" << "remote 100 100|plug board6100028 held|start|await 1|wait 300|release 0|await 2" << "concluded@0 Busy +100|attached 1@0";
}

void tst_Watcher::watch()
{
    QFETCH(QString, source);
    QFETCH(QString, script);
    QFETCH(QString, expected);

#ifdef KVDEVICE_HAVE_UMOCKDEV
    if (source == QLatin1String("udev") || source == QLatin1String("polling")) {
        if (const QString missing = UsbTestbed::unavailable(); !missing.isEmpty()) {
            if (qEnvironmentVariableIntValue("KVDEVICE_REQUIRE_UMOCKDEV"))
                QFAIL(qPrintable(missing));
            QSKIP(qPrintable(missing), SkipSingle);
        }
    }
    UsbTestbed usb; // before the watcher, whose udev monitor must find it
#else
    if (source == QLatin1String("udev") || source == QLatin1String("polling"))
        QSKIP("built without umockdev", SkipSingle);
#endif
#ifdef KVDEVICE_REMOTE_PORTS
    if (source == QLatin1String("remote"))
        KVDEVICE_REQUIRE_SER2NET();
    std::vector<std::unique_ptr<Rack>> racks; // the remote boards' servers
#else
    if (source == QLatin1String("remote"))
        QSKIP("built without remote ports", SkipSingle);
#endif
#ifdef Q_OS_WIN
    // Under wine the boards are COM ports that kvboard-sim plays on the Linux side: no
    // folder of links, and wine locks no port (rows that need it say "locking"). The
    // folder's rows run on the source the test feeds, told of each plug and unplug as by
    // Windows' device notifications.
    for (const char *word : {" as ", "replace", "file", "mkdir", "held", "here", "locking"}) {
        if (script.contains(QLatin1String(word)))
            QSKIP("links and locked ports are Linux's here", SkipSingle);
    }
    const bool feedsAll = source == QLatin1String("directory");
#else
    const bool feedsAll = false;
#endif
    const bool fedSource = feedsAll || source == QLatin1String("fed");
    QTemporaryDir top;
    const QDir links(top.filePath(QStringLiteral("serial/by-id"))); // deleted when its last port goes, as udev's
    QVERIFY(links.mkpath(QStringLiteral(".")));
    FedSource fed;
    auto watcher = std::make_unique<Watcher>();
    watcher->setSource(source == QLatin1String("udev") ? Watcher::Udev : source == QLatin1String("polling") ? Watcher::Polling : Watcher::Directory);
    watcher->setPollInterval(20);
    watcher->setDirectory(links.path());
    if (fedSource)
        watcher->setEventSource(&fed);
    watcher->setMaxRetries(1); // room for a loaded machine: the boards answer from this process
    watcher->setAnswerTimeout(150);
    watcher->setOpenRetryWindow(1000);
    watcher->setReprobePolicy({false}); // rows that look at asking again say so

    // The host: records the events, owns what it was handed.
    QStringList ports, events, detached;
    std::vector<std::unique_ptr<Board>> boards; // the ptys' boards
    QList<QByteArrayList> heard;
    QList<QPointer<Communicator>> handed;
    std::vector<std::unique_ptr<QObject>> held; // a port held by this process, or by another program
    QString next; // "delete" or "stop": what the host does to the watcher on its next event
    auto react = [&] {
        if (next == QLatin1String("delete"))
            watcher.reset();
        else if (next == QLatin1String("stop") && watcher)
            watcher->stop();
    };
    auto index = [&ports](const QString &name) { return ports.indexOf(name); };
    // What the host keeps for each board, freed when the board leaves; its slots use it.
    std::map<Communicator *, std::unique_ptr<QString>> kept;
    connect(watcher.get(), &Watcher::deviceAttached, this, [&](Type type, Communicator *comm, const PortReport &report) {
        events << QStringLiteral("attached %1@%2").arg(int(type)).arg(index(report.port.name));
        handed << comm;
        kept[comm] = std::make_unique<QString>(report.port.name);
        QCOMPARE(watcher->portInfo(comm).name, report.port.name);
        // ...so none of the board's signals may reach the host after its detach. Its own
        // readFailed() slot runs (told where no removal event races with it).
        connect(comm, &Communicator::readFailed, this, [&, comm] {
            if (source == QLatin1String("fed"))
                events << QStringLiteral("readFailed@%1").arg(index(*kept.at(comm)));
        });
        // No answer to the watcher's queries ever reaches the host; what else the board
        // says does.
        connect(comm, Communicator::received, this, [&, comm](uint id) {
            QString payload;
            QVERIFY(comm->readPayload(payload, id));
            if (payload.startsWith(QLatin1String("$PKVVER")) || payload.startsWith(QLatin1String("$PTKVRD")))
                events << QStringLiteral("leak@%1").arg(index(*kept.at(comm)));
            else if (payload.startsWith(QLatin1String("$KVSAID")))
                events << QStringLiteral("said@%1").arg(index(*kept.at(comm)));
        });
        react();
    });
    connect(watcher.get(), &Watcher::deviceDetached, this, [&](Type type, Communicator *comm, const PortInfo &port) {
        events << QStringLiteral("detached %1@%2").arg(int(type)).arg(index(port.name));
        detached << port.name;
        if (comm)
            kept.erase(comm);
        react();
    });
    connect(watcher.get(), &Watcher::portLeft, this, [&](const PortInfo &port) {
        events << QStringLiteral("left@%1").arg(index(port.name));
        react();
    });
    connect(watcher.get(), &Watcher::portConcluded, this, [&](const PortReport &report) {
        events << QStringLiteral("concluded@%1 %2").arg(index(report.port.name)).arg(QString::fromLatin1(QMetaEnum::fromType<PortOutcome>().valueToKey(report.outcome)))
                      + (report.nextAttemptMs < 0 ? QString() : QStringLiteral(" +%1").arg(report.nextAttemptMs));
        react();
    });

    for (const QString &step : script.split(QLatin1Char('|'))) {
        const QStringList words = step.split(QLatin1Char(' '));
        const QString what = words.first(), arg = words.value(1);
        if (what == QLatin1String("start")) {
            if (source == QLatin1String("remote")) {
                watcher->setSource(Watcher::Remote);
                watcher->setRemotePorts(ports);
            }
            QVERIFY(watcher->start({Board6100028, Board6100027, InfoDevice}));
        } else if (what == QLatin1String("plug") || what == QLatin1String("burst")) {
            for (int n = 0; n < (what == QLatin1String("burst") ? arg.toInt() : 1); ++n) {
                const QString board = what == QLatin1String("burst") ? QStringLiteral("board6100028") : arg;
                heard << QByteArrayList();
                const int i = heard.size() - 1;
                if (source == QLatin1String("udev") || source == QLatin1String("polling")) {
#ifdef KVDEVICE_HAVE_UMOCKDEV
                    UsbDevice device;
                    device.serial = QString::number(i); // by-id links of their own
                    if (board == QLatin1String("foreign"))
                        device = {0x0403, 0x6001, QStringLiteral("FTDI"), QStringLiteral("FT232R USB UART"), QString()};
                    ports << QStringLiteral("/dev/") + usb.add(device);
                    connect(usb.play(ports.last().mid(5), board == QLatin1String("foreign") ? QStringLiteral("board6100028") : board),
                            &SimBoard::heard, this, [&heard, i](const QByteArray &line) { heard[i] << line; });
#endif
#ifdef KVDEVICE_REMOTE_PORTS
                } else if (source == QLatin1String("remote")) { // "as N": behind the Nth board's server
                    int at = i;
                    if (words.contains(QStringLiteral("as"))) {
                        heard.removeLast();
                        at = words.last().toInt();
                        racks.at(at)->plug(board);
                    } else {
                        racks.emplace_back(new Rack(QStringLiteral("rfc2217"), board));
                        QVERIFY(racks.back()->start());
                        ports << racks.back()->url;
                    }
                    connect(racks.at(at)->board.get(), &SimBoard::heard, this, [&heard, at](const QByteArray &line) { heard[at] << line; });
                    if (words.contains(QStringLiteral("held"))) { // another client has it at once
                        auto *client = new RemotePort(ports.last());
                        held.emplace_back(client);
                        QSignalSpy connected(client, &RemotePort::connected);
                        QVERIFY(client->open() && connected.wait(5000));
                    }
                    continue;
#endif
                } else if (board == QLatin1String("file")) { // a link to something that is no serial port
                    ports << links.filePath(QString::number(i));
                    QVERIFY(QFile::link(QStringLiteral("/etc/hostname"), ports.last()));
                    boards.emplace_back();
                } else {
#ifdef Q_OS_WIN
                    boards.emplace_back(new Board(board));
                    ports << boards.back()->path();
#else
                    // "as N": under the link of the Nth board, as a by-id link comes back
                    const QString link = links.filePath(words.contains(QStringLiteral("as")) ? words.last() : QString::number(i));
                    boards.emplace_back(new Board(board + (board.contains(QLatin1Char(':')) ? QStringLiteral(",link=") : QStringLiteral(":link=")) + link));
                    ports << (source == QLatin1String("fed") ? boards.back()->path() : link);
#endif
                    connect(boards.back().get(), &Board::heard, this, [&heard, i](const QByteArray &line) { heard[i] << line; });
                    fed.present.append({PortInfo::forName(ports.last()), false});
                    if (fedSource && !words.contains(QStringLiteral("quietly")))
                        emit fed.portAdded(fed.present.last().first, false);
                }
                if (words.contains(QStringLiteral("here"))) { // this process has it at once
                    auto *port = new QSerialPort(Initializer::resolvedPortName(ports.last()));
                    held.emplace_back(port);
                    QVERIFY(port->open(QIODevice::ReadWrite));
                } else if (words.contains(QStringLiteral("held"))) { // another program has it at once
#ifdef KVPROBE_PATH
                    auto *monitor = new QProcess;
                    held.emplace_back(monitor);
                    monitor->setReadChannel(QProcess::StandardError);
                    monitor->start(QStringLiteral(KVPROBE_PATH), {QStringLiteral("--monitor"), ports.last()});
                    QVERIFY(monitor->waitForReadyRead(10000)); // its banner: the port is open
#else
                    QSKIP("built without kvprobe, which holds the port");
#endif
                }
                if (what == QLatin1String("burst"))
                    QCoreApplication::processEvents();
            }
#ifdef KVDEVICE_REMOTE_PORTS
        } else if (source == QLatin1String("remote") && what == QLatin1String("unplug")) {
            racks.at(arg.toInt())->unplug();
        } else if (what == QLatin1String("down") || what == QLatin1String("up")) {
            if (what == QLatin1String("down"))
                racks.at(arg.toInt())->kill();
            else
                QVERIFY(racks.at(arg.toInt())->start());
        } else if (what == QLatin1String("remote")) { // the first and the longest pause before a server is asked again, the window
            Watcher::ReprobePolicy policy{true, 100, arg.toInt(), words.value(3, QStringLiteral("2147483647")).toInt()};
            policy.longestRemotePauseMs = words.value(2).toInt();
            watcher->setReprobePolicy(policy);
#endif
        } else if (what == QLatin1String("unplug")) {
            const int i = arg.toInt();
#ifdef KVDEVICE_HAVE_UMOCKDEV
            if (source == QLatin1String("udev") || source == QLatin1String("polling"))
                usb.remove(ports.at(i).mid(5));
#endif
            if (i < int(boards.size()) && boards.at(i))
                boards.at(i)->close(); // its link goes with it
            if (feedsAll) {
                fed.present.erase(std::remove_if(fed.present.begin(), fed.present.end(), [&](const QPair<PortInfo, bool> &port) { return port.first.name == ports.at(i); }),
                                  fed.present.end());
                emit fed.portRemoved(ports.at(i));
            }
        } else if (what == QLatin1String("replace")) { // "replace N TYPE": N's link leads to a new board at once, N's board hangs up
            const int i = arg.toInt();
            const QString link = links.filePath(QString::number(i)), spare = link + QStringLiteral(".new");
            auto board = std::make_unique<Board>(words.at(2) + QStringLiteral(":link=") + spare);
            QVERIFY(::rename(QFile::encodeName(spare).constData(), QFile::encodeName(link).constData()) == 0);
            boards.at(i)->close(); // the link is no longer its own: it stays
            boards.at(i) = std::move(board);
        } else if (what == QLatin1String("closed")) { // the port handed over for the Nth board is closed, by whoever
            for (const QPointer<Communicator> &comm : qAsConst(handed)) {
                if (comm && comm->ioDevice()->objectName() == ports.at(arg.toInt()))
                    QTRY_VERIFY(!comm->ioDevice()->isOpen());
            }
        } else if (what == QLatin1String("say")) { // the Nth board says something of its own
            boards.at(arg.toInt())->send(sentenceBytes(QStringLiteral("KVSAID")));
        } else if (what == QLatin1String("retries")) {
            watcher->setMaxRetries(arg == QLatin1String("max") ? UINT_MAX : arg.toUInt());
        } else if (what == QLatin1String("pause")) { // the first pause before a silent port is asked again
            watcher->setReprobePolicy({true, 100, arg.toInt(), INT_MAX});
        } else if (what == QLatin1String("rmdir")) { // the folder goes, with the links in it
            QVERIFY(QDir(top.filePath(QStringLiteral("serial"))).removeRecursively());
        } else if (what == QLatin1String("mkdir")) {
            QVERIFY(links.mkpath(QStringLiteral(".")));
        } else if (what == QLatin1String("reprobe")) { // asking again, with short pauses, for WINDOW ms
            watcher->setReprobePolicy({true, 100, 100, words.value(2, QStringLiteral("5000")).toInt()});
        } else if (what == QLatin1String("window")) {
            watcher->setOpenRetryWindow(arg.toInt());
        } else if (what == QLatin1String("ask")) {
            QVERIFY(watcher->reprobe(ports.at(arg.toInt())));
        } else if (what == QLatin1String("request")) { // the host asks the Nth board what it is
            const int i = arg.toInt();
            for (const QPointer<Communicator> &comm : qAsConst(handed)) {
                if (comm && kept.count(comm) && *kept.at(comm) == ports.at(i))
                    connect(Request::send(comm, InitQuery::version()), &Request::finished, this, [&, i](const Request::Result &result) {
                        events << (result.status == Request::Answered ? QStringLiteral("answered@%1").arg(i)
                                                                       : QStringLiteral("failed@%1 %2").arg(i).arg(QString::fromLatin1(QMetaEnum::fromType<Request::Status>().valueToKey(result.status))));
                        react();
                    });
            }
        } else if (what == QLatin1String("release")) {
            if (auto *monitor = qobject_cast<QProcess *>(held.front().get())) {
                monitor->terminate();
                QVERIFY(monitor->waitForFinished(10000));
            }
            held.erase(held.begin());
        } else if (what == QLatin1String("drop")) { // the host is done with the board
            for (const QPointer<Communicator> &comm : qAsConst(handed)) {
                if (comm && comm->ioDevice()->objectName() == ports.at(arg.toInt())) {
                    delete comm->ioDevice();
                    delete comm.data();
                }
            }
        } else if (what == QLatin1String("fail")) { // the Nth board handed over fails
            emit handed.at(arg.toInt())->readFailed();
        } else if (what == QLatin1String("own")) {
            watcher->setOwnership(Watcher::WatcherDeletes);
        } else if (what == QLatin1String("keep")) { // the host takes the Nth board handed over back
            QVERIFY(watcher->keep(handed.at(arg.toInt())) && !watcher->keep(nullptr));
        } else if (what == QLatin1String("freed") || what == QLatin1String("kept")) {
            QTRY_COMPARE(handed.at(arg.toInt()).isNull(), what == QLatin1String("freed"));
        } else if (what == QLatin1String("leave") || what == QLatin1String("halt")) {
            next = what == QLatin1String("leave") ? QStringLiteral("delete") : QStringLiteral("stop");
        } else if (what == QLatin1String("lose")) {
            emit fed.eventsLost();
        } else if (what == QLatin1String("restart")) {
            watcher->stop();
            QVERIFY(watcher->start({Board6100028, Board6100027, InfoDevice}));
        } else if (what == QLatin1String("stop")) {
            watcher.reset();
        } else if (what == QLatin1String("heard")) { // the board was asked
            QTRY_VERIFY_WITH_TIMEOUT(!heard.at(arg.toInt()).isEmpty(), 10000);
        } else if (what == QLatin1String("await")) {
            QTRY_VERIFY2_WITH_TIMEOUT(events.size() >= arg.toInt(), qPrintable(events.join(QLatin1Char('|'))), words.value(2, QStringLiteral("10000")).toInt());
        } else {
            QTest::qWait(what == QLatin1String("wait") ? arg.toInt() : 0);
        }
    }
    QStringList wanted = expected.isEmpty() ? QStringList() : expected.split(QLatin1Char('|'));
    for (int i = 0; i < wanted.size(); ++i) // a burst: the boards in plug order
        wanted[i].replace(QStringLiteral("%1"), QString::number(i));
    QCOMPARE(events, wanted);
    for (int i = 0; i < heard.size(); ++i) { // the foreign board heard nothing; a deleted watcher holds no port
        if (script.contains(QStringLiteral("plug foreign")) && i == 0)
            QVERIFY(heard.at(i).isEmpty());
        int hosts = 0;
        for (const QPointer<Communicator> &comm : qAsConst(handed))
            hosts += comm && comm->ioDevice()->isOpen() && comm->ioDevice()->objectName() == ports.at(i);
        if (i < int(boards.size()) && boards.at(i) && !watcher)
            QCOMPARE(boards.at(i)->portsOpen(), hosts);
    }
    watcher.reset();
    for (const QPointer<Communicator> &comm : qAsConst(handed)) {
        if (comm && detached.removeOne(comm->ioDevice()->objectName())) // closed for the host; a name's detaches take its boards in order
            QVERIFY(!comm->ioDevice()->isOpen());
        if (comm)
            delete comm->ioDevice();
        delete comm.data();
    }
    for (const auto &holder : held) { // a monitor still running ends as by Ctrl-C
        if (auto *monitor = qobject_cast<QProcess *>(holder.get()))
            monitor->terminate(), monitor->waitForFinished(10000);
    }
}

// A board that numbers its answers (the number of the query each answers, as the board
// heard them) and a host that asks it again and again, one request after another: no
// request may take the answer to a query sent before it, and no answer to the watcher's
// queries may reach the host.
void tst_Watcher::attribution_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("answerTimeout"); // the watcher's; 0: the host opens the port itself
    QTest::addColumn<int>("requestTimeout");
    QTest::addColumn<int>("pause");        // between one request's end and the next
    QTest::addColumn<int>("answered");     // at least, of 6
    QTest::addColumn<QString>("attempts"); // of the host's first requests, or empty

    QTest::newRow("slower than the answer time-out, unevenly") << "delay=245/350/280/300" << 40 << 100 << 0 << 2 << "";
    QTest::newRow("five times slower than the answer time-out") << "delay=500" << 100 << 100 << 0 << 0 << "";
    QTest::newRow("the delay jumping") << "delay=12/1000/12/500" << 100 << 250 << 120 << 3 << "";
    QTest::newRow("the delay varying around the answer time-out") << "delay=450/620/300" << 400 << 1000 << 0 << 6 << "";
    QTest::newRow("the delay halving while requests are resent") << "delay=155/75" << 100 << 100 << 0 << 6 << "";
    QTest::newRow("the delay jumping while the board is identified") << "delay=125/625" << 100 << 250 << 0 << 3 << "";
    QTest::newRow("the first query lost: the next request pays nothing") << "ignore=1" << 0 << 100 << 0 << 6 << "2 1 1";
    QTest::newRow("every attempt of a request lost: the next ones are answered") << "ignore=3" << 0 << 100 << 0 << 5 << "3 1 1";
}

void tst_Watcher::attribution()
{
    QFETCH(QString, board);
    QFETCH(int, answerTimeout);
    QFETCH(int, requestTimeout);
    QFETCH(int, pause);
    QFETCH(int, answered);
    QFETCH(QString, attempts);

    Watcher watcher;
#ifdef Q_OS_WIN
    Board numbered(QStringLiteral("board6100028:number,") + board); // a COM port, as Windows lists it
    FedSource fed;
    fed.present.append({PortInfo::forName(numbered.path()), false});
    watcher.setEventSource(&fed);
#else
    QTemporaryDir links;
    Board numbered(QStringLiteral("board6100028:number,link=%1/b,").arg(links.path()) + board);
    watcher.setSource(Watcher::Directory);
    watcher.setDirectory(links.path());
#endif
    auto heard = [&numbered] { return int(std::count_if(numbered.lines.cbegin(), numbered.lines.cend(), [](const QByteArray &line) { return line.startsWith("$PKVVER"); })); };
    watcher.setAnswerTimeout(answerTimeout);
    watcher.setReprobePolicy({true, 100, 200, 10000});
    QPointer<Communicator> comm;
    std::unique_ptr<QSerialPort> ownPort;
    std::unique_ptr<Communicator> ownComm;
    QStringList results, wrong;
    int leaks = 0, answers = 0, asked = 0;
    std::function<void()> ask = [&] {
        if (!comm || results.size() == 6)
            return;
        Query query = InitQuery::version();
        query.timeoutMs = requestTimeout;
        connect(Request::send(comm, query), &Request::finished, this, [&](const Request::Result &result) {
            // One request at a time, the host the only one to ask: its queries are the next
            // ones the board hears.
            results << QString::number(result.attempts);
            answers += result.status == Request::Answered;
            const auto *answer = result.answerAs<SessionInit>();
            const int number = answer ? answer->parameters.value(InitField::V3).toInt() : 0;
            if (result.status == Request::Answered && (number <= asked || number > asked + result.attempts))
                wrong << QStringLiteral("answer %1 to the queries after %2").arg(number).arg(asked);
            asked += result.attempts;
            QTimer::singleShot(pause, this, ask); // a host that asks now and then
        });
    };
    auto attach = [&](Communicator *board) {
        comm = board;
        Board::settle();
        asked = heard(); // the watcher's queries
        connect(comm, Communicator::received, this, [&](uint id) {
            QString payload;
            leaks += comm->readPayload(payload, id) && payload.startsWith(QLatin1String("$PKVVER"));
        });
        ask();
    };
    connect(&watcher, &Watcher::deviceAttached, this, [&](Type, Communicator *board) { attach(board); });
    if (answerTimeout > 0) {
        watcher.setOwnership(Watcher::WatcherDeletes);
        QVERIFY(watcher.start({Board6100028}));
    } else {
        ownPort = std::make_unique<QSerialPort>(numbered.path());
        QVERIFY(ownPort->open(QIODevice::ReadWrite));
        ownComm = std::make_unique<Communicator>();
        ownComm->setIODevice(ownPort.get());
        attach(ownComm.get());
    }
    QTRY_VERIFY_WITH_TIMEOUT(results.size() == 6, 30000);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QStringLiteral(", "))));
    QCOMPARE(leaks, 0);
    QVERIFY2(answers >= answered, qPrintable(QString::number(answers)));
    if (!attempts.isEmpty())
        QCOMPARE(results.mid(0, 3).join(QLatin1Char(' ')), attempts);
    watcher.stop();
}


QTEST_GUILESS_MAIN(tst_Watcher)
#include "tst_watcher.moc"
