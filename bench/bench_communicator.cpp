// SPDX-License-Identifier: MIT
// The communicator's receive and write paths without a port: bytes in, payloads stored,
// signalled and taken (as text or parsed), and payloads written and reported.
// Prints result lines per payload after the console table.

#include <kvdevice/communicator.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/sessioninit.h>

#include "benchsupport.h"
#include "gbresults.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QIODevice>

namespace {

// Hands out whatever was fed to it; reports every write as done at once.
class MemoryDevice : public QIODevice
{
public:
    MemoryDevice() { open(QIODevice::ReadWrite | QIODevice::Unbuffered); }
    void feed(const QByteArray &bytes)
    {
        data = bytes;
        at = 0;
        emit readyRead();
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return data.size() - at; }

protected:
    qint64 readData(char *out, qint64 max) override
    {
        const qint64 n = qMin(max, qint64(data.size() - at));
        memcpy(out, data.constData() + at, size_t(n));
        at += int(n);
        return n;
    }
    qint64 writeData(const char *, qint64 size) override { return size; }

private:
    QByteArray data;
    int at = 0;
};

QByteArray stream(int sentences)
{
    QByteArray bytes;
    for (int i = 0; i < sentences; ++i)
        bytes += "$PKVVER,HW2-6100028,3,2,3*03\r\n";
    return bytes;
}

void receiveAsText(benchmark::State &state)
{
    MemoryDevice device;
    KvDevice::Communicator comm;
    comm.setIODevice(&device);
    QString payload;
    QObject::connect(&comm, QOverload<uint>::of(&KvDevice::Communicator::readyRead), &comm,
                     [&](uint id) { comm.readPayload(payload, id); });
    const QByteArray bytes = stream(128);
    for (auto _ : state)
        device.feed(bytes);
    state.SetItemsProcessed(state.iterations() * 128);
    state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(receiveAsText);

void receiveAsSession(benchmark::State &state)
{
    MemoryDevice device;
    KvDevice::Communicator comm;
    Nmea::ParserInit parser;
    parser.init();
    comm.setParser(&parser);
    comm.setIODevice(&device);
    KvDevice::SessionInit session;
    QObject::connect(&comm, QOverload<uint>::of(&KvDevice::Communicator::readyRead), &comm, [&](uint id) {
        session.clear();
        comm.readPayload(&session, id);
    });
    const QByteArray bytes = stream(128);
    for (auto _ : state)
        device.feed(bytes);
    state.SetItemsProcessed(state.iterations() * 128);
}
BENCHMARK(receiveAsSession);

void writeAndReport(benchmark::State &state)
{
    MemoryDevice device;
    KvDevice::Communicator comm;
    comm.setIODevice(&device);
    const QString query = QStringLiteral("$PKVVER*0c\r\n");
    for (auto _ : state) {
        comm.writePayload(query);
        comm.ioBytesWritten(12);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(writeAndReport);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Bench::Collector runs;
    benchmark::RunSpecifiedBenchmarks(&runs);
    // The receive benchmarks feed 128 payloads per iteration.
    Bench::result("memory_device.receive_text_per_payload", runs.ns("receiveAsText") / 128, "ns");
    Bench::result("memory_device.receive_session_per_payload", runs.ns("receiveAsSession") / 128, "ns");
    Bench::result("memory_device.write_and_report", runs.ns("writeAndReport"), "ns");
    benchmark::Shutdown();
    return 0;
}
