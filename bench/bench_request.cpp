// SPDX-License-Identifier: MIT
// A request's round trip against a bare write and readyRead on the same pseudo-terminal,
// and memory over rounds of 1,000 requests in flight. The board answers on the pty's
// master end in this process; both ways send the version query and parse its answer into
// a session.

#include "benchsupport.h"

#include <kvdevice/communicator.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/request.h>
#include <kvdevice/sessioninit.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <unistd.h>
#include <vector>

using KvDevice::Request;

namespace {

// The board: answers every line it hears with the version answer. What the pty cannot take
// at once waits for room, so that no answer is lost when a thousand queries come together.
class Board
{
public:
    explicit Board(int masterFd)
        : master(masterFd)
        , readable(masterFd, QSocketNotifier::Read)
        , writable(masterFd, QSocketNotifier::Write)
    {
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        writable.setEnabled(false);
        QObject::connect(&readable, &QSocketNotifier::activated, [this] { hear(); });
        QObject::connect(&writable, &QSocketNotifier::activated, [this] { flush(); });
    }

private:
    void hear()
    {
        char chunk[4096];
        for (ssize_t n; (n = ::read(master, chunk, sizeof chunk)) > 0;)
            heard.append(chunk, int(n));
        for (int end; (end = heard.indexOf('\n')) >= 0;) {
            heard.remove(0, end + 1);
            pending += "$PKVVER,HW2-6100028,3,2,3*03\r\n";
        }
        flush();
    }
    void flush()
    {
        for (ssize_t n; !pending.isEmpty() && (n = ::write(master, pending.constData(), size_t(pending.size()))) > 0;)
            pending.remove(0, int(n));
        writable.setEnabled(!pending.isEmpty());
    }

    int master;
    QSocketNotifier readable, writable;
    QByteArray heard, pending;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int blocks = argc > 1 ? std::atoi(argv[1]) : 40;     // of each way, alternating
    const int perBlock = 100;                                  // round trips one after another
    const int inFlight = 1000;
    const int memoryRounds = argc > 2 ? std::atoi(argv[2]) : 200;
    QLoggingCategory::setFilterRules(QStringLiteral("kvdevice*=false"));

    int master = -1, slave = -1;
    char name[256] = {};
    if (!Bench::rawPty("bench_request", &master, &slave, name))
        return 1;
    Board board(master); // the slave stays open here, so the master never reads EIO
    QSerialPort port(QString::fromLocal8Bit(name));
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "bench_request: cannot open %s: %s\n", name, qPrintable(port.errorString()));
        return 1;
    }
    port.setBaudRate(115200);
    Nmea::ParserInit parser;
    parser.init();
    KvDevice::Communicator comm;
    comm.setParser(&parser);
    comm.setIODevice(&port);

    QEventLoop loop;
    QTimer guard; // a lost answer ends the program, not the wait
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, [&loop] { loop.exit(1); });
    const KvDevice::Query query = KvDevice::InitQuery::version();
    std::vector<double> bare, requested;
    double started = 0;
    int left = 0;
    long wrong = 0;

    // Bare: write the query; the answer comes with readyRead and is parsed there.
    KvDevice::SessionInit session;
    auto bareNext = [&] {
        started = Bench::now();
        comm.writePayload(query.sentence);
    };
    QObject::connect(&comm, QOverload<uint>::of(&KvDevice::Communicator::readyRead), &comm, [&](uint id) {
        session.clear();
        comm.readPayload(&session, id);
        bare.push_back((Bench::now() - started) * 1e6);
        wrong += session.sentenceId != KvDevice::VersionSentence;
        if (--left > 0)
            bareNext();
        else
            loop.quit();
    });
    // A request: send(); the answer comes parsed with finished().
    std::function<void()> requestNext = [&] {
        started = Bench::now();
        QObject::connect(Request::send(&comm, query), &Request::finished, &comm, [&](const Request::Result &result) {
            requested.push_back((Bench::now() - started) * 1e6);
            wrong += result.status != Request::Answered;
            if (--left > 0)
                requestNext();
            else
                loop.quit();
        });
    };
    auto run = [&](const std::function<void()> &first, int count) {
        left = count;
        first();
        guard.start(30000);
        const int status = loop.exec();
        guard.stop();
        return status == 0;
    };

    // Warm up both ways, then alternate blocks so that a busy moment of the machine hits
    // both alike.
    if (!run(bareNext, perBlock) || !run(requestNext, perBlock))
        return 1;
    bare.clear();
    requested.clear();
    for (int b = 0; b < blocks; ++b) {
        if (!run(bareNext, perBlock) || !run(requestNext, perBlock)) {
            std::fprintf(stderr, "bench_request: an answer did not come\n");
            return 1;
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    if (wrong) {
        std::fprintf(stderr, "bench_request: %ld answers missing or wrong\n", wrong);
        return 1;
    }
    const double bareUs = Bench::percentile(bare, 50);
    const double requestUs = Bench::percentile(requested, 50);
    const double overheadUs = requestUs - bareUs;
    const double allowedUs = std::max(0.1 * bareUs, 20.0);
    char goal[32];
    std::snprintf(goal, sizeof goal, "<%.1f", allowedUs);
    std::fprintf(stderr, "bench_request: %zu round trips each way; bare p95 %.1f us, request p95 %.1f us\n", bare.size(),
                 Bench::percentile(bare, 95), Bench::percentile(requested, 95));
    Bench::result("request.bare_round_trip.median", bareUs, "us");
    Bench::result("request.round_trip.median", requestUs, "us");
    Bench::result("request.overhead.median", overheadUs, "us", goal);
    Bench::result("request.overhead.share", overheadUs / bareUs * 100, "%");

    // 1,000 requests sent together, all answered, round after round: memory stays flat.
    QObject::connect(&guard, &QTimer::timeout, &loop, [] { std::fprintf(stderr, "bench_request: requests in flight timed out\n"); });
    KvDevice::Query patient = query;
    patient.timeoutMs = 20000;
    patient.retries = 0;
    long rssWarm = 0;
    std::vector<double> roundMs;
    for (int round = 1; round <= memoryRounds; ++round) {
        int finished = 0, answered = 0;
        const double start = Bench::now();
        for (int i = 0; i < inFlight; ++i) {
            QObject::connect(Request::send(&comm, patient), &Request::finished, &comm, [&](const Request::Result &result) {
                answered += result.status == Request::Answered;
                if (++finished == inFlight)
                    loop.quit();
            });
        }
        guard.start(30000);
        const int status = loop.exec();
        guard.stop();
        roundMs.push_back((Bench::now() - start) * 1e3);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (status != 0 || answered != inFlight) {
            std::fprintf(stderr, "bench_request: round %d: %d of %d answered\n", round, answered, inFlight);
            return 1;
        }
        if (round == memoryRounds / 4)
            rssWarm = Bench::rssKiB();
        if (round % 50 == 0)
            std::fprintf(stderr, "bench_request: %d rounds of %d requests, RSS %ld KiB\n", round, inFlight, Bench::rssKiB());
    }
    const long rssEnd = Bench::rssKiB();
    Bench::result("request.in_flight_1000.round.median", Bench::percentile(roundMs, 50), "ms");
    Bench::result("request.in_flight_1000.rss_growth", double(rssEnd - rssWarm), "KiB", "<256");
    return 0;
}
