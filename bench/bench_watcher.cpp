// SPDX-License-Identifier: MIT
// The watcher as a long-running host has it, with the boards played in this process:
//   sim  the simulator's links in a folder (Directory): attach and detach latency, a soak of
//        plug/unplug cycles (descriptors, memory), and the idle cost of Directory and of
//        Polling at 1 s on this machine's ports
//   usb  emulated USB ports seen through udev's events (needs umockdev's preload): attach
//        and detach latency, idle cost, a short soak
//   reprobe  silent ports asked again (1 and 16): wake-ups and CPU per minute; the attach
//        delay after a busy port is let go
//   storm  32 emulated USB boards plugged one after another
//   soak  600 replugs of slow, chatty, jumpy and returning boards under four names, a host
//        asking each again and again: every answer its own query's, memory and
//        descriptors flat
// Latencies run from the device's appearance (its link made, its uevent sent) or removal to
// the watcher's signal; the boards answer at once, so the answer's own time is a pty round
// trip within the figure.

#include "benchsupport.h"

#include "simboard.h"
#ifdef KVDEVICE_HAVE_UMOCKDEV
#include "usbtestbed.h"
#endif

#include <kvdevice/communicator.h>
#include <kvdevice/request.h>
#include <kvdevice/sessioninit.h>
#include <kvdevice/initializer.h>
#include <kvdevice/watcher.h>

#include <QAbstractEventDispatcher>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QLoggingCategory>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using KvDevice::Communicator;
using KvDevice::Watcher;

namespace {

// The host: counts what the watcher tells and deletes what it was handed once detached.
struct Host
{
    explicit Host(Watcher *w)
        : watcher(w)
    {
        QObject::connect(watcher, &Watcher::deviceAttached, watcher, [this](KvDevice::Type, Communicator *comm, const KvDevice::PortReport &) {
            ++attached;
            lastAttach = Bench::now();
            if (keep)
                comms.push_back(comm);
        });
        QObject::connect(watcher, &Watcher::deviceDetached, watcher, [this](KvDevice::Type, Communicator *, const KvDevice::PortInfo &) {
            ++detached;
            lastDetach = Bench::now();
        });
        QObject::connect(watcher, &Watcher::portConcluded, watcher, [this](const KvDevice::PortReport &report) {
            ++concluded;
            std::fprintf(stderr, "port %s concluded %d: %s\n", qPrintable(report.port.name), int(report.outcome), qPrintable(report.detail));
        });
    }
    ~Host() { release(); }
    void release()
    {
        for (Communicator *comm : comms) {
            delete comm->ioDevice();
            delete comm;
        }
        comms.clear();
    }

    Watcher *watcher;
    bool keep = true; // false: another handler lets the boards go
    int attached = 0, detached = 0, concluded = 0;
    double lastAttach = 0, lastDetach = 0;
    std::vector<Communicator *> comms;
};

// Runs the event loop until `done` holds or `ms` pass; false on the time-out.
bool waitUntil(const std::function<bool()> &done, int ms = 5000)
{
    QElapsedTimer clock;
    clock.start();
    QTimer tick; // bounds each wait; the signals themselves end it much sooner
    tick.start(qMin(ms, 50));
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

int descriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

std::unique_ptr<SimBoard> board(const QString &text)
{
    BoardConfig config;
    QString error;
    if (!BoardConfig::parse(text, &config, &error))
        qFatal("%s", qPrintable(error));
    return std::make_unique<SimBoard>(config);
}

// Event-loop wake-ups and CPU time over `seconds` with nothing happening.
void idle(const char *name, int seconds, const char *cpuGoal)
{
    int wakeups = 0;
    auto *dispatcher = QAbstractEventDispatcher::instance();
    const auto counting = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&wakeups] { ++wakeups; });
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    const double cpu = Bench::cpuNow();
    loop.exec();
    const double used = Bench::cpuNow() - cpu;
    QObject::disconnect(counting);
    // The loop's own start and the timer that ends it wake it once each.
    Bench::result((std::string("idle.") + name + ".wakeups").c_str(), qMax(0, wakeups - 2), "count", cpuGoal ? nullptr : "<1");
    if (cpuGoal)
        Bench::result((std::string("idle.") + name + ".cpu_percent").c_str(), 100.0 * used / seconds, "%", cpuGoal);
    else
        Bench::result((std::string("idle.") + name + ".cpu").c_str(), used * 1000.0, "ms", "<1");
}

bool fail(const char *what)
{
    std::fprintf(stderr, "bench_watcher: %s\n", what);
    return false;
}

bool simulator(int cycles, int idleSeconds)
{
    QTemporaryDir links;
    Watcher watcher;
    watcher.setSource(Watcher::Directory);
    watcher.setDirectory(links.path());
    Host host(&watcher);
    if (!watcher.start({KvDevice::Board6100028}))
        return fail("the Directory source did not start");

    std::vector<double> attach, detach;
    long rssAtWarm = 0;
    int fdsAtWarm = 0;
    const int warmup = qMin(20, cycles / 2);
    for (int cycle = 0; cycle < cycles; ++cycle) {
        if (cycle == warmup) {
            rssAtWarm = Bench::rssKiB();
            fdsAtWarm = descriptors();
        }
        auto sim = board(QStringLiteral("board6100028:link=") + links.filePath(QStringLiteral("board")));
        const double plugged = Bench::now();
        QString error;
        if (!sim->open(&error))
            return fail(qPrintable(error));
        if (!waitUntil([&] { return host.attached == cycle + 1; }))
            return fail("a plugged board was not attached");
        attach.push_back(host.lastAttach - plugged);
        const double unplugged = Bench::now();
        sim->close();
        if (!waitUntil([&] { return host.detached == cycle + 1; }))
            return fail("an unplugged board was not detached");
        detach.push_back(host.lastDetach - unplugged);
        host.release();
        // The folder's last change may still be on its way: let it pass before the next plug.
        waitUntil([] { return false; }, 2);
    }
    Bench::result("sim.attach.median", Bench::percentile(attach, 50) * 1000, "ms", "<2");
    Bench::result("sim.attach.p95", Bench::percentile(attach, 95) * 1000, "ms");
    Bench::result("sim.detach.median", Bench::percentile(detach, 50) * 1000, "ms", "<5");
    Bench::result("sim.detach.p95", Bench::percentile(detach, 95) * 1000, "ms");
    Bench::result("sim.soak.cycles", cycles, "count");
    Bench::result("sim.soak.extra_signals", (host.attached - cycles) + (host.detached - cycles) + host.concluded, "count", "<1");
    Bench::result("sim.soak.fd_growth", descriptors() - fdsAtWarm, "count", "<1");
    Bench::result("sim.soak.rss_growth", double(Bench::rssKiB() - rssAtWarm), "KiB", "<256");

    idle("directory", idleSeconds, nullptr);
    watcher.stop();

    Watcher polling;
    polling.setSource(Watcher::Polling);
    polling.setPollInterval(1000);
    if (!polling.start({KvDevice::Board6100028}))
        return fail("the Polling source did not start");
    idle("polling_1s", idleSeconds, "<0.1");
    return true;
}

// What asking silent ports again costs with the default policy: wake-ups and CPU in the
// first and the second minute after N silent boards appeared (the policy asks for two
// minutes), and after that. Then how soon a board whose port another program held is
// attached once that program lets go.
bool reprobe(int silent)
{
    QTemporaryDir links;
    Watcher watcher;
    watcher.setSource(Watcher::Directory);
    watcher.setDirectory(links.path());
    Host host(&watcher);
    std::vector<std::unique_ptr<SimBoard>> boards;
    QString error;
    for (int n = 0; n < silent; ++n) {
        boards.push_back(board(QStringLiteral("silent:link=") + links.filePath(QString::number(n))));
        if (!boards.back()->open(&error))
            return fail(qPrintable(error));
    }
    if (!watcher.start({KvDevice::Board6100028}))
        return fail("the Directory source did not start");
    const std::string name = "reprobe." + std::to_string(silent) + "_silent";
    idle((name + ".minute1").c_str(), 60, "<0.1");
    idle((name + ".minute2").c_str(), 60, "<0.1");
    Bench::result((name + ".reports").c_str(), host.concluded, "count");
    idle((name + ".after").c_str(), 10, nullptr);
    watcher.stop();
    if (silent > 1)
        return true;

    // Busy: another program holds the port; it lets go at a random moment.
    Watcher busy;
    busy.setSource(Watcher::Directory);
    busy.setDirectory(links.path());
    busy.setOpenRetryWindow(100); // reported Busy after 0.6 s instead of 12 s
    Host owner(&busy);
    boards.clear();
    std::vector<double> delays;
    if (!busy.start({KvDevice::Board6100028}))
        return fail("the Directory source did not start");
    for (int round = 0; round < 10; ++round) {
        const QString link = links.filePath(QStringLiteral("busy%1").arg(round));
        boards.push_back(board(QStringLiteral("board6100028:link=") + link));
        if (!boards.back()->open(&error))
            return fail(qPrintable(error));
        QSerialPort holder(KvDevice::Initializer::resolvedPortName(link));
        if (!holder.open(QIODevice::ReadWrite))
            return fail("cannot hold the port");
        const int reports = owner.concluded;
        if (!waitUntil([&] { return owner.concluded > reports; }))
            return fail("a held port was not reported");
        waitUntil([] { return false; }, 137 * round % 1000); // anywhere in the busy interval
        const int attached = owner.attached;
        const double released = Bench::now();
        holder.close();
        if (!waitUntil([&] { return owner.attached > attached; }))
            return fail("a port let go was not attached");
        delays.push_back(owner.lastAttach - released);
    }
    Bench::result("reprobe.busy_let_go.attach.median", Bench::percentile(delays, 50) * 1000, "ms", "<2000");
    Bench::result("reprobe.busy_let_go.attach.max", Bench::percentile(delays, 100) * 1000, "ms", "<2000");
    return true;
}

#ifdef KVDEVICE_HAVE_UMOCKDEV
bool usb(int cycles, int idleSeconds)
{
    TestSupport::UsbTestbed testbed; // before the watcher, whose udev monitor must find it
    Watcher watcher;
    watcher.setSource(Watcher::Udev);
    Host host(&watcher);
    if (!watcher.start({KvDevice::Board6100028}))
        return fail("the Udev source did not start");

    TestSupport::UsbDevice device;
    std::vector<double> attach, detach, emulation;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        device.serial = QString::number(cycle);
        // The emulation's own work (sysfs files, the uevent) is not the watcher's: the device
        // has appeared when add() returns.
        const double adding = Bench::now();
        const QString tty = testbed.add(device);
        const double plugged = Bench::now();
        emulation.push_back(plugged - adding);
        testbed.play(tty, QStringLiteral("board6100028"));
        if (!waitUntil([&] { return host.attached == cycle + 1; }))
            return fail("a plugged board was not attached");
        attach.push_back(host.lastAttach - plugged);
        const double unplugged = Bench::now();
        testbed.remove(tty);
        if (!waitUntil([&] { return host.detached == cycle + 1; }))
            return fail("an unplugged board was not detached");
        detach.push_back(host.lastDetach - unplugged);
        host.release();
    }
    Bench::result("usb.attach.median", Bench::percentile(attach, 50) * 1000, "ms", "<2");
    Bench::result("usb.attach.p95", Bench::percentile(attach, 95) * 1000, "ms");
    Bench::result("usb.emulation_add.median", Bench::percentile(emulation, 50) * 1000, "ms");
    Bench::result("usb.detach.median", Bench::percentile(detach, 50) * 1000, "ms", "<5");
    Bench::result("usb.detach.p95", Bench::percentile(detach, 95) * 1000, "ms");
    Bench::result("usb.soak.cycles", cycles, "count");
    Bench::result("usb.soak.extra_signals", (host.attached - cycles) + (host.detached - cycles) + host.concluded, "count", "<1");

    idle("udev", idleSeconds, nullptr);

    // What Qt's open alone costs on an emulated port (a lock file, the emulation's calls).
    std::vector<double> opens;
    const QString tty = testbed.add(device);
    for (int n = 0; n < 5; ++n) {
        QSerialPort port(QStringLiteral("/dev/") + tty);
        const double start = Bench::now();
        if (!port.open(QIODevice::ReadWrite))
            return fail("an emulated port did not open");
        opens.push_back(Bench::now() - start);
    }
    testbed.remove(tty);
    Bench::result("usb.qt_port_open.median", Bench::percentile(opens, 50) * 1000, "ms");

    watcher.stop();
    return true;
}

// A process of its own, with a fresh emulation.
bool usbStorm(int storm)
{
    TestSupport::UsbTestbed testbed;
    Watcher watcher;
    watcher.setSource(Watcher::Udev);
    Host host(&watcher);
    if (!watcher.start({KvDevice::Board6100028}))
        return fail("the Udev source did not start");
    // The emulation has room for about 25 open ports: this host lets each board go once
    // it has been handed over.
    QObject::connect(&watcher, &Watcher::deviceAttached, &watcher, [](KvDevice::Type, Communicator *comm) {
        comm->ioDevice()->deleteLater();
        comm->deleteLater();
    });
    host.keep = false;
    TestSupport::UsbDevice device;
    // The emulation's event socket holds about ten events: one turn of the loop per plug.
    const int before = host.attached;
    const double first = Bench::now();
    for (int n = 0; n < storm; ++n) {
        device.serial = QStringLiteral("S%1").arg(n);
        testbed.play(testbed.add(device), QStringLiteral("board6100028"));
        QCoreApplication::processEvents();
    }
    const double last = Bench::now();
    if (!waitUntil([&] { return host.attached == before + storm; }))
        return fail("a board of the storm was not attached");
    Bench::result("usb.storm.boards", storm, "count");
    Bench::result("usb.storm.plug_span", (last - first) * 1000, "ms");
    Bench::result("usb.storm.all_attached_after_last_plug", (host.lastAttach - last) * 1000, "ms", "<50");
    watcher.stop();
    return true;
}
#endif

// Boards that come and go under the same names for hours, compressed: numbered boards that
// are slow, chatty, jumpy or plain, and some that hang up while their link stays and a new
// board takes the link at once. A host asks each board again and again and checks that
// every answer is to a query it sent; memory and descriptors must stay flat.
bool soak(int replugs)
{
    const char *kinds[] = {"board6100028:number", "board6100028:number,delay=120", "board6100028:number,chatter=15",
                           "board6100028:number,delay=5/180/5/90"};
    constexpr int names = 4;
    QTemporaryDir folder;
    Watcher watcher;
    watcher.setSource(Watcher::Directory);
    watcher.setDirectory(folder.path());
    watcher.setAnswerTimeout(50);
    watcher.setReprobePolicy({true, 100, 100, 60000});
    watcher.setOwnership(Watcher::WatcherDeletes);
    struct Slot
    {
        std::unique_ptr<SimBoard> board;
        int heard = 0; // version queries the board heard
        double until = 0;
    };
    std::vector<Slot> boards(names);
    QHash<QString, int> slotOf;
    int plugged = 0, attached = 0, answered = 0, wrong = 0, leaked = 0, requests = 0;
    auto plug = [&](int i, bool atOnce) {
        const QString link = folder.filePath(QStringLiteral("b%1").arg(i));
        slotOf.insert(link, i);
        const QString kind = QString::fromLatin1(kinds[plugged % 4]);
        auto next = board(kind + QStringLiteral(",link=") + (atOnce ? link + QStringLiteral(".new") : link));
        Slot &slot = boards[size_t(i)];
        QString error;
        if (!next->open(&error))
            qFatal("%s", qPrintable(error));
        if (atOnce) // the link leads to the new board at once; the old one hangs up
            ::rename(QFile::encodeName(link + QStringLiteral(".new")).constData(), QFile::encodeName(link).constData());
        slot.board = std::move(next);
        slot.heard = 0;
        QObject::connect(slot.board.get(), &SimBoard::heard, slot.board.get(), [&slot](const QByteArray &line) { slot.heard += line.startsWith("$PKVVER"); });
        slot.until = Bench::now() + 0.4 + 0.1 * (plugged % 4);
        ++plugged;
    };
    // One request at a time, the host the only one to ask once the board is attached: the
    // queries of each are the next ones its board hears.
    std::function<void(Communicator *, int, std::shared_ptr<int>)> ask = [&](Communicator *comm, int i, std::shared_ptr<int> asked) {
        KvDevice::Query query = KvDevice::InitQuery::version();
        query.timeoutMs = 100;
        query.retries = 1;
        SimBoard *sim = boards[size_t(i)].board.get();
        ++requests;
        QObject::connect(KvDevice::Request::send(comm, query), &KvDevice::Request::finished, comm, [&, comm, i, sim, asked](const KvDevice::Request::Result &result) {
            const auto *answer = result.answerAs<KvDevice::SessionInit>();
            if (result.status == KvDevice::Request::Answered && answer && boards[size_t(i)].board.get() == sim) {
                ++answered;
                const int number = answer->parameters.value(KvDevice::InitField::V3).toInt();
                wrong += number <= *asked || number > *asked + result.attempts;
            }
            *asked += result.attempts;
            if (result.status != KvDevice::Request::PortFailed && result.status != KvDevice::Request::Cancelled)
                QTimer::singleShot(20, comm, [&ask, comm, i, asked] { ask(comm, i, asked); });
        });
    };
    QObject::connect(&watcher, &Watcher::deviceAttached, &watcher, [&](KvDevice::Type, Communicator *comm, const KvDevice::PortReport &report) {
        ++attached;
        QObject::connect(comm, Communicator::received, comm, [comm, &leaked](uint id) {
            QString payload;
            leaked += comm->readPayload(payload, id) && payload.startsWith(QLatin1String("$PKVVER"));
        });
        const int i = slotOf.value(report.port.name);
        ask(comm, i, std::make_shared<int>(boards[size_t(i)].heard));
    });
    if (!watcher.start({KvDevice::Board6100028}))
        return fail("the watcher did not start");
    const int fdsBefore = descriptors();
    for (int i = 0; i < names; ++i)
        plug(i, false);
    long rssAt100 = 0;
    while (plugged < replugs) {
        waitUntil([] { return false; }, 20);
        for (int i = 0; i < names && plugged < replugs; ++i) {
            Slot &slot = boards[size_t(i)];
            if (Bench::now() < slot.until)
                continue;
            // Every fifth replug hangs up under a link that stays; the others are unplugged.
            if (plugged % 5 != 0)
                slot.board.reset();
            plug(i, plugged % 5 == 0);
            if (plugged == 100)
                rssAt100 = Bench::rssKiB();
        }
    }
    waitUntil([] { return false; }, 700); // the last boards are attached
    const long rss = Bench::rssKiB();
    for (Slot &slot : boards)
        slot.board.reset();
    waitUntil([] { return false; }, 1500); // the last boards leave, and what was theirs
    const int fds = descriptors();
    Bench::result("soak.replugs", plugged, "count", ">499");
    Bench::result("soak.boards_never_attached", plugged - attached, "count", "<1");
    Bench::result("soak.requests_answered", answered, "count");
    Bench::result("soak.answers_to_another_query", wrong, "count", "<1");
    Bench::result("soak.identification_answers_to_the_host", leaked, "count", "<1");
    Bench::result("soak.rss_growth_after_100_replugs", double(rss - rssAt100), "KiB", "<1024");
    Bench::result("soak.descriptors_left_after_600_replugs", fds - fdsBefore, "count", "<1");
    std::fprintf(stderr, "soak: %d requests, %d answered\n", requests, answered);
    watcher.stop();
    return wrong == 0 && leaked == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption onlyOption(QStringLiteral("only"), QStringLiteral("sim, reprobe, soak, usb or storm (default: sim)"), QStringLiteral("WHAT"), QStringLiteral("sim"));
    const QCommandLineOption cyclesOption(QStringLiteral("cycles"), QStringLiteral("Plug/unplug cycles (default: sim 1000, usb 30)."), QStringLiteral("N"));
    const QCommandLineOption idleOption(QStringLiteral("idle"), QStringLiteral("Seconds of each idle measurement (default 10)."), QStringLiteral("S"), QStringLiteral("10"));
    parser.addOptions({onlyOption, cyclesOption, idleOption});
    parser.process(app);
    QLoggingCategory::setFilterRules(QStringLiteral("kvdevice*=false"));
    const QString only = parser.value(onlyOption);
    const int idleSeconds = parser.value(idleOption).toInt();
    std::fprintf(stderr, "/run/lock on %s\n", Bench::lockDirFs());
    if (only == QLatin1String("sim"))
        return simulator(parser.isSet(cyclesOption) ? parser.value(cyclesOption).toInt() : 1000, idleSeconds) ? 0 : 1;
    if (only == QLatin1String("reprobe"))
        return reprobe(1) && reprobe(16) ? 0 : 1;
    if (only == QLatin1String("soak"))
        return soak(parser.isSet(cyclesOption) ? parser.value(cyclesOption).toInt() : 600) ? 0 : 1;
    if (only == QLatin1String("usb") || only == QLatin1String("storm")) {
#ifdef KVDEVICE_HAVE_UMOCKDEV
        if (const QString missing = TestSupport::UsbTestbed::unavailable(); !missing.isEmpty()) {
            std::fprintf(stderr, "bench_watcher: %s\n", qPrintable(missing));
            return 1;
        }
        return (only == QLatin1String("storm") ? usbStorm(32) : usb(parser.isSet(cyclesOption) ? parser.value(cyclesOption).toInt() : 30, idleSeconds)) ? 0 : 1;
#else
        std::fprintf(stderr, "bench_watcher: built without umockdev\n");
        return 1;
#endif
    }
    std::fprintf(stderr, "bench_watcher: --only takes sim, reprobe, soak, usb or storm\n");
    return 2;
}
