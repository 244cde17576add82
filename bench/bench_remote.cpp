// SPDX-License-Identifier: MIT
// Boards on other machines, on this one: three boards played by kvboard-sim in a process
// of their own, one opened here as a local pty, two served by ser2net (another process)
// over loopback TCP, raw and RFC 2217. Requests one after another on each, in alternating
// blocks: the round trip, and this process's CPU time per request (the event loop, the
// device, the communicator and the request; not the board's, not ser2net's), whose excess
// over the local pty is the remote client's own cost. Then opening: open() to connected()
// and to the first answer; and identification, Initializer::probe() to deviceInitialized(). ser2net's chardelay is off: by default it waits for more
// characters before it sends what the port said (about 3 ms per answer at 115200 baud).

#include "benchsupport.h"

#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>
#include <kvdevice/remoteport.h>
#include <kvdevice/request.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using KvDevice::Communicator;
using KvDevice::RemotePort;
using KvDevice::Request;

namespace {

quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

bool listening(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    const QByteArray local = ":" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') + " ";
    return table.open(QIODevice::ReadOnly) && table.readAll().contains("0100007F" + local + "00000000:0000 0A");
}

// Runs the event loop until `done` or 10 s; false on the time-out.
bool waitFor(const std::function<bool()> &done)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(0);
    QTimer::singleShot(10000, &loop, [&loop] { loop.exit(1); });
    return done() || loop.exec() == 0;
}

struct Way
{
    Way(const char *wayName, std::unique_ptr<QIODevice> port)
        : name(wayName)
        , device(std::move(port))
    {
    }
    const char *name;
    std::unique_ptr<QIODevice> device;
    Communicator comm;
    std::vector<double> trips; // us
    double cpu = 0;            // s, over the measured blocks
};

// `count` requests one after another on `way`; false when one is not answered.
bool block(Way &way, int count, bool measure)
{
    QEventLoop loop;
    int left = count;
    bool ok = true;
    double started = 0;
    std::function<void()> next = [&] {
        started = Bench::now();
        QObject::connect(Request::send(&way.comm, KvDevice::InitQuery::version()), &Request::finished, &loop, [&](const Request::Result &result) {
            if (measure)
                way.trips.push_back((Bench::now() - started) * 1e6);
            ok = ok && result.status == Request::Answered;
            if (--left > 0 && ok)
                next();
            else
                loop.quit();
        });
    };
    const double cpu = Bench::cpuNow();
    next();
    QTimer::singleShot(30000, &loop, [&] { ok = false; loop.quit(); });
    loop.exec();
    if (measure)
        way.cpu += Bench::cpuNow() - cpu;
    return ok;
}

std::unique_ptr<QIODevice> openLocal(const QString &path)
{
    auto port = std::make_unique<QSerialPort>(path);
    if (!port->open(QIODevice::ReadWrite))
        return nullptr;
    port->setBaudRate(115200);
    return port;
}

std::unique_ptr<QIODevice> openRemote(const QString &url)
{
    auto port = std::make_unique<RemotePort>(url);
    QEventLoop loop;
    QObject::connect(port.get(), &RemotePort::connected, &loop, &QEventLoop::quit);
    QObject::connect(port.get(), &RemotePort::failed, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    port->open();
    loop.exec();
    if (!port->isConnected()) {
        std::fprintf(stderr, "bench_remote: %s: %s\n", qPrintable(url), qPrintable(port->errorString()));
        return nullptr;
    }
    return port;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("kvdevice*=false"));
    const int blocks = argc > 1 ? std::atoi(argv[1]) : 20;
    const int perBlock = 100;
    const int opens = argc > 2 ? std::atoi(argv[2]) : 30;

    QString ser2net = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
    if (ser2net.isEmpty())
        ser2net = QStandardPaths::findExecutable(QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    if (ser2net.isEmpty()) {
        std::fprintf(stderr, "bench_remote: ser2net is not installed (scripts/dev.sh deps installs it)\n");
        return 1;
    }

    QProcess sim;
    sim.start(QStringLiteral(KVBOARD_SIM_PATH), {QStringLiteral("--board"), QStringLiteral("board6100028"), QStringLiteral("--board"),
                                                  QStringLiteral("board6100028"), QStringLiteral("--board"), QStringLiteral("board6100028")});
    QStringList paths;
    while (paths.size() < 3 && (sim.canReadLine() || sim.waitForReadyRead(10000)))
        paths << QString::fromLocal8Bit(sim.readLine()).split(QLatin1Char(' ')).value(1).trimmed();
    if (paths.size() < 3 || paths.contains(QString())) {
        std::fprintf(stderr, "bench_remote: kvboard-sim did not start\n");
        return 1;
    }

    QTemporaryDir dir;
    const quint16 rfcPort = freePort(), rawPort = freePort();
    QFile yaml(dir.filePath(QStringLiteral("ser2net.yaml")));
    if (!yaml.open(QIODevice::WriteOnly))
        return 1;
    yaml.write(QStringLiteral("connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%1\n  connector: serialdev,%2,115200n81,local\n  options:\n    chardelay: false\n"
                              "connection: &raw\n  accepter: tcp,127.0.0.1,%3\n  connector: serialdev,%4,115200n81,local\n  options:\n    chardelay: false\n")
                   .arg(rfcPort)
                   .arg(paths.at(1))
                   .arg(rawPort)
                   .arg(paths.at(2))
                   .toUtf8());
    yaml.close();
    QProcess server;
    server.start(ser2net, {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), yaml.fileName(), QStringLiteral("-P"), dir.filePath(QStringLiteral("pid"))});
    if (!waitFor([&] { return listening(rfcPort) && listening(rawPort); })) {
        std::fprintf(stderr, "bench_remote: ser2net did not start\n");
        return 1;
    }
    const QString rfcUrl = QStringLiteral("rfc2217://127.0.0.1:%1").arg(rfcPort), rawUrl = QStringLiteral("socket://127.0.0.1:%1").arg(rawPort);

    Way ways[3] = {{"local_pty", openLocal(paths.at(0))}, {"raw", openRemote(rawUrl)}, {"rfc2217", openRemote(rfcUrl)}};
    for (Way &way : ways) {
        if (!way.device)
            return 1;
        way.comm.setIODevice(way.device.get());
        if (!block(way, perBlock, false)) { // warm-up
            std::fprintf(stderr, "bench_remote: %s: a request was not answered\n", way.name);
            return 1;
        }
    }
    for (int i = 0; i < blocks; ++i) {
        for (Way &way : ways) {
            if (!block(way, perBlock, true)) {
                std::fprintf(stderr, "bench_remote: %s: a request was not answered\n", way.name);
                return 1;
            }
        }
    }
    // The client's own cost: what a request costs this process over TCP beyond what the
    // same request costs it over the local pty (the communicator, the request and the event
    // loop are the same on both).
    char name[96];
    const double localCpu = ways[0].cpu / double(ways[0].trips.size()) * 1e6;
    for (Way &way : ways) {
        const double cpu = way.cpu / double(way.trips.size()) * 1e6;
        std::snprintf(name, sizeof name, "remote.%s.round_trip.median", way.name);
        Bench::result(name, Bench::percentile(way.trips, 50), "us");
        std::snprintf(name, sizeof name, "remote.%s.host_cpu_per_request", way.name);
        Bench::result(name, cpu, "us");
        if (&way == &ways[0])
            continue;
        std::snprintf(name, sizeof name, "remote.%s.client_cost_per_request", way.name);
        Bench::result(name, cpu - localCpu, "us", std::strcmp(way.name, "raw") == 0 ? "<20" : nullptr);
    }
    for (Way &way : ways) {
        way.comm.setIODevice(nullptr);
        way.device.reset();
    }

    // Opening, one port after another: open() to connected() (a local port is ready when
    // open() returns), and to the first answer.
    const struct
    {
        const char *name;
        QString where;
    } targets[] = {{"local_pty", paths.at(0)}, {"raw", rawUrl}, {"rfc2217", rfcUrl}};
    for (const auto &target : targets) {
        std::vector<double> ready, answered;
        for (int i = 0; i < opens; ++i) {
            const double start = Bench::now();
            std::unique_ptr<QIODevice> device = target.where.contains(QLatin1String("://")) ? openRemote(target.where) : openLocal(target.where);
            if (!device)
                return 1;
            ready.push_back((Bench::now() - start) * 1e3);
            Way way(target.name, std::move(device));
            way.comm.setIODevice(way.device.get());
            if (!block(way, 1, false))
                return 1;
            answered.push_back((Bench::now() - start) * 1e3);
            way.comm.setIODevice(nullptr);
            way.device.reset();
            QTimer::singleShot(20, &app, &QCoreApplication::quit); // ser2net lets the pty go
            app.exec();
        }
        std::snprintf(name, sizeof name, "remote.%s.open_to_ready.median", target.name);
        Bench::result(name, Bench::percentile(ready, 50), "ms");
        std::snprintf(name, sizeof name, "remote.%s.open_to_answer.median", target.name);
        Bench::result(name, Bench::percentile(answered, 50), "ms");
    }
    // Identification as a host starts it: Initializer::probe() with the port's name to
    // deviceInitialized(), a QSerialPort opened (and locked) or a RemotePort connected, the
    // handshake, the answer; one run after another.
    double localIdentify = 0;
    for (const auto &target : targets) {
        std::vector<double> found;
        for (int i = 0; i < opens; ++i) {
            KvDevice::Initializer initializer;
            Communicator *handed = nullptr;
            double at = 0;
            QEventLoop loop;
            QObject::connect(&initializer, &KvDevice::Initializer::deviceInitialized, &loop, [&](KvDevice::Type, Communicator *comm) {
                at = Bench::now();
                handed = comm;
                loop.quit();
            });
            QTimer::singleShot(10000, &loop, &QEventLoop::quit);
            const double start = Bench::now();
            initializer.probe({KvDevice::Board6100028}, 0, {target.where});
            loop.exec();
            if (!handed) {
                std::fprintf(stderr, "bench_remote: %s: no board identified\n", target.name);
                return 1;
            }
            found.push_back((at - start) * 1e3);
            QIODevice *port = handed->ioDevice();
            delete handed;
            delete port;
            QTimer::singleShot(20, &app, &QCoreApplication::quit); // ser2net lets the pty go
            app.exec();
        }
        const double median = Bench::percentile(found, 50);
        std::snprintf(name, sizeof name, "remote.%s.identify.median", target.name);
        Bench::result(name, median, "ms");
        if (&target == &targets[0]) {
            localIdentify = median;
            continue;
        }
        std::snprintf(name, sizeof name, "remote.%s.identify_beyond_local.median", target.name);
        Bench::result(name, median - localIdentify, "ms", "<2");
    }

    server.kill();
    server.waitForFinished();
    sim.kill();
    sim.waitForFinished();
    return 0;
}
