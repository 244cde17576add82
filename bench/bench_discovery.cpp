// SPDX-License-Identifier: MIT
// Board discovery against kvboard-sim in a separate process, over pseudo-terminals, with a
// listener for the port reports as a host that explains its runs has:
//   latency  probe() to deviceInitialized() for one board that answers at once, many runs
//   scale    64 ports: one board per type, 29 more boards of those types, 32 silent ports
//   silent   64 silent ports with the default retries
// Result names carry the file system of /run/lock, where QSerialPort's lock files go.

#include "benchsupport.h"

#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QSerialPort>
#include <QIODevice>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using KvDevice::Communicator;
using KvDevice::Initializer;
using KvDevice::Type;

namespace {

QString lockTag;
int libraryMessages = 0;
std::vector<double> retryTimes; // when each retry pass began, from the library's log

std::string metric(const char *name)
{
    return std::string(name) + "[" + lockTag.toStdString() + "]";
}

void result(const char *name, double value, const char *unit, const char *goal = nullptr)
{
    Bench::result(metric(name).c_str(), value, unit, goal);
}

// The library's own log lines are formatted as in any host, then dropped: the "Retry
// probing" warnings would bury the results.
QtMessageHandler previousHandler = nullptr;
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (context.category && qstrncmp(context.category, "kvdevice", 8) == 0) {
        ++libraryMessages;
        if (text.contains(QLatin1String("Retry probing")))
            retryTimes.push_back(Bench::now());
        return;
    }
    previousHandler(type, context, text);
}

// kvboard-sim playing the given boards; stopped with the object, or when this process
// dies (a benchmark killed half-way must not leave simulators behind).
class Simulator
{
public:
    bool start(const QString &program, const QStringList &boards)
    {
        std::vector<QByteArray> words{QFile::encodeName(program)};
        for (const QString &board : boards)
            words.insert(words.end(), {QByteArrayLiteral("--board"), board.toLocal8Bit()});
        std::vector<char *> argv;
        for (QByteArray &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);

        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return false;
        const pid_t parent = ::getpid();
        pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent)
                _exit(1);
            ::dup2(out[1], 1);
            ::execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(out[1]);
        lines = ::fdopen(out[0], "r");
        char line[512];
        while (paths.size() < boards.size() && std::fgets(line, sizeof line, lines)) {
            const QStringList fields = QString::fromLocal8Bit(line).trimmed().split(QLatin1Char(' '));
            if (fields.size() >= 2)
                paths << fields.at(1);
        }
        if (paths.size() < boards.size()) {
            std::fprintf(stderr, "bench_discovery: %s gave %d of %d ports\n", qPrintable(program), int(paths.size()),
                         int(boards.size()));
            return false;
        }
        return true;
    }
    ~Simulator()
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (lines)
            std::fclose(lines);
    }
    QStringList paths;

private:
    pid_t pid = -1;
    FILE *lines = nullptr;
};

// One Initializer run; records when each signal came.
struct Run
{
    double start = 0, probeReturned = 0, lastFound = 0, firstNotFound = 0, end = 0;
    double cpuAtProbeReturn = 0, cpuAtLastFound = 0, cpuAtEnd = 0, cpuAtStart = 0, cpuAtFirstFound = 0;
    std::vector<Type> found, notFound;
    std::vector<KvDevice::PortOutcome> outcomes; // of every report, which every run listens to
    std::vector<Communicator *> handed;
    bool finished = false;
    double probeUser = 0, probeSystem = 0; // CPU inside probe(), user and kernel

    static void times(double &user, double &system)
    {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        user = double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) * 1e-6;
        system = double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) * 1e-6;
    }

    void execute(const QList<Type> &types, const QStringList &ports, int maxRetries, int limitMs)
    {
        auto *init = new Initializer;
        if (maxRetries >= 0)
            init->setMaxRetries(unsigned(maxRetries));
        QEventLoop loop;
        QObject::connect(init, &Initializer::deviceInitialized, [&](Type type, Communicator *comm) {
            lastFound = Bench::now();
            cpuAtLastFound = Bench::cpuNow();
            if (found.empty())
                cpuAtFirstFound = cpuAtLastFound;
            found.push_back(type);
            handed.push_back(comm);
        });
        QObject::connect(init, &Initializer::portConcluded, [&](const KvDevice::PortReport &report) { outcomes.push_back(report.outcome); });
        QObject::connect(init, &Initializer::deviceNotFound, [&](Type type) {
            if (notFound.empty())
                firstNotFound = Bench::now();
            notFound.push_back(type);
        });
        QObject::connect(init, &Initializer::finished, [&] {
            end = Bench::now();
            cpuAtEnd = Bench::cpuNow();
            finished = true;
            loop.quit();
        });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);

        double user0, system0, user1, system1;
        times(user0, system0);
        cpuAtStart = Bench::cpuNow();
        start = Bench::now();
        init->probe(types, 0, ports);
        probeReturned = Bench::now();
        cpuAtProbeReturn = Bench::cpuNow();
        times(user1, system1);
        probeUser = (user1 - user0) * 1e3;
        probeSystem = (system1 - system0) * 1e3;
        if (!finished) {
            guard.start(limitMs);
            loop.exec();
        }
        delete init;
        // The host owns what it was handed: the communicator first, then its port.
        for (Communicator *comm : handed) {
            QIODevice *port = comm->ioDevice();
            delete comm;
            delete port;
        }
        handed.clear();
    }
    double ms(double t) const { return (t - start) * 1e3; }
};

double median(const std::vector<double> &v) { return Bench::percentile(v, 50); }

bool latency(const QString &sim, int runs)
{
    Simulator boards;
    if (!boards.start(sim, {QStringLiteral("board6100028")}))
        return false;
    std::vector<double> total, inProbe, afterProbe, cpu, portSetup;
    int failed = 0;
    const int warmup = 5;
    for (int i = 0; i < warmup + runs; ++i) {
        // What Qt and the OS take to make the port ready, as probe() does, alternating with
        // the runs so both see the same machine.
        {
            QSerialPort port;
            port.setPortName(boards.paths.first());
            const double start = Bench::now();
            if (port.open(QIODevice::ReadWrite)) {
                port.setBaudRate(115200);
                port.clear(QSerialPort::Input);
                if (i >= warmup)
                    portSetup.push_back((Bench::now() - start) * 1e3);
            }
        }
        Run run;
        run.execute({KvDevice::Board6100028}, boards.paths, 0, 2000);
        if (run.found.size() != 1 || !run.finished || run.outcomes != std::vector<KvDevice::PortOutcome>{KvDevice::Identified}) {
            ++failed;
            continue;
        }
        if (i < warmup)
            continue;
        total.push_back(run.ms(run.lastFound));
        inProbe.push_back(run.ms(run.probeReturned));
        afterProbe.push_back((run.lastFound - run.probeReturned) * 1e3);
        cpu.push_back((run.cpuAtLastFound - run.cpuAtStart) * 1e3);
    }
    std::fprintf(stderr, "latency: %d runs, %d failed, min %.3f ms, max %.3f ms\n", int(total.size()), failed,
                 Bench::percentile(total, 0), Bench::percentile(total, 100));
    result("identify.median", median(total), "ms", "<2");
    result("identify.p95", Bench::percentile(total, 95), "ms");
    result("identify.in_probe.median", median(inProbe), "ms");
    result("identify.after_probe.median", median(afterProbe), "ms");
    result("identify.host_cpu.median", median(cpu), "ms");
    result("identify.qt_port_open.median", median(portSetup), "ms");
    return failed == 0;
}

QStringList shuffled(QStringList list)
{
    std::mt19937 random(8);
    std::shuffle(list.begin(), list.end(), random);
    return list;
}

const QList<Type> allTypes{KvDevice::Board6100028, KvDevice::Board6100027, KvDevice::InfoDevice};

bool scale(const QString &sim, int runs)
{
    QStringList boardArgs{QStringLiteral("board6100028"), QStringLiteral("board6100027"), QStringLiteral("info")};
    for (int i = 0; i < 29; ++i)
        boardArgs << boardArgs.at(i % 3);
    for (int i = 0; i < 32; ++i)
        boardArgs << QStringLiteral("silent");
    Simulator boards;
    if (!boards.start(sim, boardArgs))
        return false;
    const QStringList ports = shuffled(boards.paths);
    // How far into the opening order the first board of each type sits: a run that
    // classified answers while still opening ports could deliver the types from there.
    int lastFirst = 0;
    for (int kind = 0; kind < 3; ++kind) {
        int first = ports.size();
        for (int i = kind; i < boardArgs.size(); i += 3) {
            if (boardArgs.at(i) == boardArgs.at(kind))
                first = std::min(first, int(ports.indexOf(boards.paths.at(i))));
        }
        lastFirst = std::max(lastFirst, first + 1);
    }
    std::fprintf(stderr, "scale: every type has a board among the first %d ports opened\n", lastFirst);

    std::vector<double> probeCall, delivered, endAfter, waitCpu, waitShare;
    bool ok = true;
    for (int i = 0; i < runs; ++i) {
        Run run;
        run.execute(allTypes, ports, -1, 5000);
        std::vector<Type> types = run.found;
        std::sort(types.begin(), types.end());
        std::vector<KvDevice::PortOutcome> outcomes = run.outcomes;
        std::sort(outcomes.begin(), outcomes.end());
        std::vector<KvDevice::PortOutcome> expected(3, KvDevice::Identified);
        expected.insert(expected.end(), 29, KvDevice::Duplicate);
        expected.insert(expected.end(), 32, KvDevice::NoAnswer);
        if (!run.finished || types != std::vector<Type>{KvDevice::Board6100028, KvDevice::Board6100027, KvDevice::InfoDevice}
            || !run.notFound.empty() || outcomes != expected) {
            std::fprintf(stderr, "scale: run %d wrong: finished %d, found %d, not found %d\n", i, run.finished,
                         int(run.found.size()), int(run.notFound.size()));
            ok = false;
            continue;
        }
        probeCall.push_back(run.ms(run.probeReturned));
        delivered.push_back(run.ms(run.lastFound));
        endAfter.push_back(run.ms(run.end) - 400);
        waitCpu.push_back((run.cpuAtEnd - run.cpuAtLastFound) * 1e3);
        waitShare.push_back((run.cpuAtEnd - run.cpuAtLastFound) / (run.end - run.lastFound) * 100);
        std::fprintf(stderr, "scale run %d: probe() %.1f ms (CPU %.1f ms user, %.1f ms kernel), types at %.1f ms, end at %.1f ms\n",
                     i, probeCall.back(), run.probeUser, run.probeSystem, delivered.back(), run.ms(run.end));
    }
    result("scale64.probe_call", median(probeCall), "ms");
    result("scale64.types_delivered", median(delivered), "ms", "<20");
    result("scale64.end_minus_400ms", median(endAfter), "ms", "<25");
    result("scale64.wait_cpu", median(waitCpu), "ms");
    result("scale64.wait_cpu_share", median(waitShare), "%", "<1");
    return ok;
}

bool silent(const QString &sim, int runs)
{
    QStringList boardArgs;
    for (int i = 0; i < 64; ++i)
        boardArgs << QStringLiteral("silent");
    Simulator boards;
    if (!boards.start(sim, boardArgs))
        return false;

    std::vector<double> probeCall, notFoundAfter, endAfter, waitCpu, waitShare;
    bool ok = true;
    for (int i = 0; i < runs; ++i) {
        Run run;
        retryTimes.clear();
        run.execute(allTypes, boards.paths, -1, 10000);
        if (!run.finished || !run.found.empty() || run.notFound.size() != 3
            || run.outcomes != std::vector<KvDevice::PortOutcome>(64, KvDevice::NoAnswer)) {
            std::fprintf(stderr, "silent: run %d wrong: finished %d, found %d, not found %d\n", i, run.finished,
                         int(run.found.size()), int(run.notFound.size()));
            ok = false;
            continue;
        }
        probeCall.push_back(run.ms(run.probeReturned));
        notFoundAfter.push_back(run.ms(run.firstNotFound) - 1600);
        endAfter.push_back(run.ms(run.end) - 1600);
        const double cpu = run.cpuAtEnd - run.cpuAtProbeReturn;
        waitCpu.push_back(cpu * 1e3);
        waitShare.push_back(cpu / (run.end - run.probeReturned) * 100);
        std::fprintf(stderr, "silent run %d: probe() %.1f ms (CPU %.1f ms user, %.1f ms kernel), not found at %.1f ms, end at %.1f ms, wait CPU %.2f ms\n",
                     i, probeCall.back(), run.probeUser, run.probeSystem, run.ms(run.firstNotFound), run.ms(run.end), waitCpu.back());
        // Each pass ends when the last port's 400 ms are over: what a pass takes beyond that.
        double passStart = run.probeReturned;
        retryTimes.push_back(run.firstNotFound);
        for (size_t pass = 0; pass < retryTimes.size(); ++pass) {
            std::fprintf(stderr, "  pass %d ended %.2f ms after its 400 ms\n", int(pass + 1),
                         (retryTimes[pass] - passStart) * 1e3 - 400);
            passStart = retryTimes[pass];
        }
    }
    result("silent64.probe_call", median(probeCall), "ms");
    result("silent64.not_found_minus_1600ms", median(notFoundAfter), "ms", "<25");
    result("silent64.end_minus_1600ms", median(endAfter), "ms");
    result("silent64.wait_cpu", median(waitCpu), "ms");
    result("silent64.wait_cpu_share", median(waitShare), "%", "<1");
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    previousHandler = qInstallMessageHandler(messageHandler);

    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Discovery latency and scale against kvboard-sim."));
    options.addHelpOption();
    const QCommandLineOption simOption(QStringLiteral("sim"), QStringLiteral("kvboard-sim to run."),
                                       QStringLiteral("PATH"), QStringLiteral(KVBOARD_SIM_PATH));
    const QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("Latency runs (200)."),
                                        QStringLiteral("N"), QStringLiteral("200"));
    const QCommandLineOption scaleRunsOption(QStringLiteral("scale-runs"),
                                             QStringLiteral("Runs of each 64-port case (3)."), QStringLiteral("N"),
                                             QStringLiteral("3"));
    const QCommandLineOption onlyOption(QStringLiteral("only"), QStringLiteral("latency, scale or silent."),
                                        QStringLiteral("CASE"));
    options.addOptions({simOption, runsOption, scaleRunsOption, onlyOption});
    options.process(app);

    lockTag = QString::fromLatin1(Bench::lockDirFs());
    std::fprintf(stderr, "bench_discovery: /run/lock is on %s\n", qPrintable(lockTag));
    const QString sim = options.value(simOption);
    const QString only = options.value(onlyOption);
    const int runs = std::max(1, options.value(runsOption).toInt());
    const int scaleRuns = std::max(1, options.value(scaleRunsOption).toInt());

    bool ok = true;
    if (only.isEmpty() || only == QLatin1String("latency"))
        ok = latency(sim, runs) && ok;
    if (only.isEmpty() || only == QLatin1String("scale"))
        ok = scale(sim, scaleRuns) && ok;
    if (only.isEmpty() || only == QLatin1String("silent"))
        ok = silent(sim, scaleRuns) && ok;
    return ok ? 0 : 1;
}
