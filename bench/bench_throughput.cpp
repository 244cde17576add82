// SPDX-License-Identifier: MIT
// Receive throughput over a pseudo-terminal: a forked child writes valid sentences to the
// master end as fast as the pty takes them; this process reads the slave end through a
// QSerialPort and a Communicator with a Nmea::ParserInit, taking every payload as a
// session. The child's CPU time is its own, so the process CPU time counted here is the
// host's alone. The engine's parse of the same sentence is measured in the same run.

#include "benchsupport.h"

#include <kvdevice/communicator.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/sessioninit.h>

#include <QCoreApplication>
#include <QSerialPort>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <vector>
#include <unistd.h>

namespace {

const char sentence[] = "$PKVVER,HW2-6100028,3,2,3*03\r\n";
const int sentenceLength = int(sizeof sentence - 1);

// The writer: waits for the go byte, writes `count` sentences in large blocks, then waits
// for the parent to go away before closing the master (a closed master is a read error).
[[noreturn]] void writer(int master, int go, long count)
{
    std::string block;
    const int perBlock = 2048;
    for (int i = 0; i < perBlock; ++i)
        block += sentence;
    char byte;
    if (::read(go, &byte, 1) != 1)
        _exit(1);
    long left = count;
    while (left > 0) {
        const long n = left < perBlock ? left : perBlock;
        const char *at = block.data();
        size_t size = size_t(n * sentenceLength);
        while (size > 0) {
            const ssize_t done = ::write(master, at, size);
            if (done < 0) {
                if (errno == EINTR)
                    continue;
                _exit(2);
            }
            at += done;
            size -= size_t(done);
        }
        left -= n;
    }
    while (::read(go, &byte, 1) > 0) {
    }
    _exit(0);
}

double parseAloneNs(Nmea::ParserInit &parser, int count)
{
    const QString text = QString::fromLatin1(sentence);
    KvDevice::SessionInit session;
    const double start = Bench::cpuNow();
    for (int i = 0; i < count; ++i) {
        session.clear();
        parser.parse(&session, text);
    }
    return (Bench::cpuNow() - start) / count * 1e9;
}

} // namespace

int main(int argc, char *argv[])
{
    const long count = argc > 1 ? std::atol(argv[1]) : 1000000;

    int master = -1, slave = -1;
    char name[256] = {};
    if (!Bench::rawPty("bench_throughput", &master, &slave, name))
        return 1;
    int goPipe[2];
    if (::pipe(goPipe) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(slave);
        ::close(goPipe[1]);
        writer(master, goPipe[0], count);
    }
    ::close(master);
    ::close(goPipe[0]);

    QCoreApplication app(argc, argv);
    QSerialPort port;
    port.setPortName(QString::fromLocal8Bit(name));
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "bench_throughput: cannot open %s: %s\n", name, qPrintable(port.errorString()));
        ::kill(child, SIGTERM);
        return 1;
    }
    port.setBaudRate(115200);

    Nmea::ParserInit parser;
    parser.init();
    KvDevice::Communicator comm;
    comm.setParser(&parser);
    comm.setIODevice(&port);

    KvDevice::SessionInit session;
    long received = 0, good = 0;
    double end = 0, cpuEnd = 0;
    QObject::connect(&comm, QOverload<uint>::of(&KvDevice::Communicator::readyRead), &comm, [&](uint id) {
        session.clear();
        comm.readPayload(&session, id);
        if (session.sentenceId == 1)
            ++good;
        if (++received == count) {
            end = Bench::now();
            cpuEnd = Bench::cpuNow();
            QCoreApplication::quit();
        }
    });
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, &app, &QCoreApplication::quit);
    guard.start(120000);

    // The engine alone, in batches before and after the stream: the median of the six.
    std::vector<double> parseBatches;
    for (int i = 0; i < 3; ++i)
        parseBatches.push_back(parseAloneNs(parser, 100000));

    const double start = Bench::now();
    const double cpuStart = Bench::cpuNow();
    if (::write(goPipe[1], "g", 1) != 1)
        return 1;
    app.exec();
    ::close(goPipe[1]);
    int status = 0;
    ::waitpid(child, &status, 0);

    for (int i = 0; i < 3; ++i)
        parseBatches.push_back(parseAloneNs(parser, 100000));
    const double parseNs = Bench::percentile(parseBatches, 50);

    if (received != count || good != count) {
        std::fprintf(stderr, "bench_throughput: %ld of %ld sentences received, %ld parsed\n", received, count, good);
        return 1;
    }
    const double wall = end - start;
    const double cpu = cpuEnd - cpuStart;
    const double perSentence = cpu / double(count) * 1e9;
    std::fprintf(stderr, "bench_throughput: %ld sentences in %.3f s, host CPU %.3f s\n", count, wall, cpu);
    Bench::result("pty.sentences_per_s", double(count) / wall, "1/s", ">300000");
    Bench::result("pty.host_cpu_per_sentence", perSentence, "ns");
    Bench::result("pty.host_cpu_share", cpu / wall * 100, "%");
    Bench::result("pty.engine_parse_alone", parseNs, "ns");
    Bench::result("pty.host_cpu_ratio_to_parse", perSentence / parseNs, "x");
    return 0;
}
