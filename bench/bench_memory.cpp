// SPDX-License-Identifier: MIT
// Memory of a long-running host: ten million payloads written and received through one
// communicator over an in-process loopback device, every one taken as a session. The
// peak resident set size must not grow with the count.

#include "benchsupport.h"

#include <kvdevice/communicator.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/sessioninit.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QIODevice>

#include <cstdio>
#include <cstring>

namespace {

// Hands written bytes back as received ones; deliver() reports them written, then readable.
class Loopback : public QIODevice
{
public:
    Loopback() { open(QIODevice::ReadWrite | QIODevice::Unbuffered); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return incoming.size() - at + QIODevice::bytesAvailable(); }

    void deliver()
    {
        const qint64 written = pending.size();
        if (at == incoming.size()) {
            incoming.clear();
            at = 0;
        }
        incoming += pending;
        pending.clear();
        emit bytesWritten(written);
        emit readyRead();
    }

protected:
    qint64 readData(char *out, qint64 max) override
    {
        const qint64 n = qMin(max, qint64(incoming.size() - at));
        std::memcpy(out, incoming.constData() + at, size_t(n));
        at += int(n);
        return n;
    }
    qint64 writeData(const char *data, qint64 size) override
    {
        pending.append(data, int(size));
        return size;
    }

private:
    QByteArray pending, incoming;
    int at = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const long total = argc > 1 ? std::atol(argv[1]) : 10000000;

    Loopback device;
    Nmea::ParserInit parser;
    parser.init();
    KvDevice::Communicator comm;
    comm.setParser(&parser);
    comm.setIODevice(&device);

    KvDevice::SessionInit session;
    long received = 0, parsed = 0, transferred = 0;
    QObject::connect(&comm, QOverload<uint>::of(&KvDevice::Communicator::readyRead), &comm, [&](uint id) {
        session.clear();
        comm.readPayload(&session, id);
        ++received;
        if (session.sentenceId == 1)
            ++parsed;
    });
    QObject::connect(&comm, &KvDevice::Communicator::transferred, &comm, [&](uint) { ++transferred; });

    const QString answer = QStringLiteral("$PKVVER,HW2-6100028,3,2,3*03\r\n");
    const long marks[] = {1000000, 5000000, 10000000};
    long peaks[3] = {};
    const double start = Bench::cpuNow();
    for (long i = 1; i <= total; ++i) {
        comm.writePayload(answer);
        device.deliver();
        // A host's event loop runs between payloads; let whatever was posted run.
        if (i % 1000 == 0)
            QCoreApplication::processEvents();
        if (i % 1000000 == 0)
            std::fprintf(stderr, "bench_memory: %ld payloads, peak RSS %ld KiB, RSS %ld KiB\n", i,
                         Bench::peakRssKiB(), Bench::rssKiB());
        for (int m = 0; m < 3; ++m) {
            if (i == marks[m])
                peaks[m] = Bench::peakRssKiB();
        }
    }
    const double cpu = Bench::cpuNow() - start;

    if (received != total || parsed != total || transferred != total) {
        std::fprintf(stderr, "bench_memory: %ld written, %ld received, %ld parsed, %ld transferred\n", total,
                     received, parsed, transferred);
        return 1;
    }
    if (total >= marks[2]) {
        Bench::result("memory.peak_rss_1M", double(peaks[0]), "KiB");
        Bench::result("memory.peak_rss_5M", double(peaks[1]), "KiB");
        Bench::result("memory.peak_rss_10M", double(peaks[2]), "KiB");
        Bench::result("memory.growth_1M_to_10M", double(peaks[2] - peaks[0]), "KiB", "<256");
    }
    Bench::result("memory.cpu_per_round_trip", cpu / double(total) * 1e9, "ns");
    return 0;
}
