// Faults on real pseudo-terminals: boards that vanish in the middle of a sentence, flood
// noise or answer at the length limit, ports that cannot be opened, and hosts that delete
// what they were handed, or the initializer, at awkward moments.

#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>

#include "testsupport.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSerialPort>
#include <QtTest>

#include <atomic>
#include <memory>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using KvDevice::Communicator;
using KvDevice::Initializer;
using KvDevice::Type;
using namespace TestSupport;

namespace {

const char *const childSwitch = "--probe-unprivileged";

using Types = QList<Type>;

// The device number of a pty's port end.
dev_t deviceOf(const QString &path)
{
    struct stat info{};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_rdev : dev_t(0);
}

// How many descriptors of this process refer to `device`: a closed port leaves only the
// test's own end. (A pty whose board end is gone can neither be opened nor found by name.)
int descriptorsOf(dev_t device)
{
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        struct stat info{};
        if (::stat(QFile::encodeName(fds.filePath(fd)).constData(), &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device)
            ++count;
    }
    return count;
}

// Writes what the pty takes at once; a board that keeps talking must not wait for a
// reader that may be gone.
void writeNow(int fd, const QByteArray &bytes)
{
    if (fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) < 0 && errno != EAGAIN)
        qWarning("write to the board's pty failed: %s", strerror(errno));
}

// Runs the event loop until the board's end of `pty` has received something: a
// QSerialPort writes from the event loop, not inside write().
QByteArray awaitQuery(PtyPair &pty)
{
    QByteArray bytes;
    QElapsedTimer clock;
    clock.start();
    while (bytes.isEmpty() && clock.elapsed() < 3000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        bytes += pty.readAvailable(5);
    }
    return bytes;
}

// Counts "Parse failed" lines without keeping any line: a flood logs without end.
struct ParseFailureCounter
{
    static inline int count = 0;
    static inline QtMessageHandler previous = nullptr;

    ParseFailureCounter()
    {
        count = 0;
        previous = qInstallMessageHandler(&ParseFailureCounter::handle);
    }
    ~ParseFailureCounter() { qInstallMessageHandler(previous); }

    static void handle(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        if (message.startsWith(QLatin1String("Parse failed: ")))
            ++count;
    }
};

// Writes `text` over and over to a pty's board end from a thread of its own, as fast as
// the pty takes it, for `durationMs` or until finished.
class Flood
{
public:
    Flood(int fd, QByteArray text, int durationMs)
        : text(std::move(text))
        , writer([this, fd, durationMs] { run(fd, durationMs); })
    {
    }
    ~Flood() { finish(); }

    // Stops the writer; returns how many bytes it wrote.
    qint64 finish()
    {
        stop = true;
        if (writer.joinable())
            writer.join();
        return written;
    }

private:
    void run(int fd, int durationMs)
    {
        QElapsedTimer clock;
        clock.start();
        int at = 0;
        while (!stop && clock.elapsed() < durationMs) {
            const ssize_t n = ::write(fd, text.constData() + at, size_t(text.size() - at));
            if (n > 0) {
                written += n;
                at = (at + int(n)) % text.size();
            } else {
                pollfd pfd{fd, POLLOUT, 0};
                ::poll(&pfd, 1, 10);
            }
        }
    }

    const QByteArray text;
    std::atomic<bool> stop{false};
    std::atomic<qint64> written{0};
    std::thread writer;
};

// The text a noisy board sends, generated from a fixed seed.
QByteArray noise(const QString &kind, int size)
{
    QRandomGenerator random(7);
    QByteArray bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        if (kind == QLatin1String("random bytes")) {
            char c = char(random.bounded(256));
            if (c == '\n')
                c = 'n';
            bytes.append(c);
        } else if (kind == QLatin1String("random bytes with line ends")) {
            bytes.append(random.bounded(40) == 0 ? QByteArray("\r\n") : QByteArray(1, char(random.bounded(256))));
        } else { // start flags, some followed by sentence-like text and a line end
            const int pick = int(random.bounded(4));
            if (pick == 0)
                bytes.append("$$$$$$$$");
            else if (pick == 1)
                bytes.append("$PKVVER,HW2-6100027,1,2*00\r\n");
            else if (pick == 2)
                bytes.append("!$PTKVRD,INF\r\n");
            else
                bytes.append(char('!' + random.bounded(90)));
        }
    }
    return bytes;
}

// The unprivileged side of permissionDenied(): probes the given ports as user "nobody"
// when started as root (root opens any file whatever its mode) and prints what it saw.
int probeUnprivileged(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
        std::printf("skip: cannot drop root privileges: %s\n", strerror(errno));
        return 0;
    }
    const int fd = ::open(argv[3], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0 || errno != EACCES) {
        std::printf("skip: %s is not refused with permission denied here\n", argv[3]);
        if (fd >= 0)
            ::close(fd);
        return 0;
    }

    QCoreApplication app(argc, argv);
    Types types;
    for (const QString &t : QString::fromLocal8Bit(argv[2]).split(QLatin1Char(',')))
        types.append(Type(t.toInt()));
    QList<QString> ports;
    for (int i = 3; i < argc; ++i)
        ports.append(QString::fromLocal8Bit(argv[i]));

    LogCapture log;
    auto *initializer = new Initializer;
    {
        Host host(initializer);
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.start(10000);
        initializer->probe(types, 0, ports);
        while (deadline.isActive() && host.found.size() + host.notFound.size() < types.size())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

        for (const Handover &h : qAsConst(host.found))
            std::printf("found %d %s\n", int(h.type), qPrintable(h.port));
        for (const Type t : qAsConst(host.notFound))
            std::printf("notfound %d\n", int(t));
        for (const LogCapture::Line &line : log.matching(QStringLiteral("Serial port")))
            std::printf("log %s\n", qPrintable(line.message));
        delete initializer;
    }
    std::fflush(stdout);
    return 0;
}

} // namespace

Q_DECLARE_METATYPE(QList<KvDevice::Type>)

class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void boardClosesWhileProbing_data();
    void boardClosesWhileProbing();
    void boardClosesAfterHandover_data();
    void boardClosesAfterHandover();
    void permissionDenied_data();
    void permissionDenied();
    void noiseFlood_data();
    void noiseFlood();
    void sentenceAtTheLengthLimit_data();
    void sentenceAtTheLengthLimit();
    void handedOverDeletedFromReadyRead_data();
    void handedOverDeletedFromReadyRead();
    void initializerDeletedWithDataInFlight_data();
    void initializerDeletedWithDataInFlight();
    // Last: should it crash, the results above are in already.
    void initializerDeletedFromItsSignal_data();
    void initializerDeletedFromItsSignal();
};

void tst_Faults::initTestCase()
{
    PtyPair pty;
    if (!pty.isValid())
        SKIP_TEST("no pseudo-terminals on this machine");
}

void tst_Faults::boardClosesWhileProbing_data()
{
    QTest::addColumn<int>("ignored");
    QTest::newRow("at the first query") << 0;
    QTest::newRow("in a retry pass") << 1;
}

void tst_Faults::boardClosesWhileProbing()
{
    QFETCH(int, ignored);

    // One board starts its answer and goes away; the other ports carry the run to its end.
    const QByteArray answer = sentenceBytes(board27);
    FakeBoard vanishing;
    vanishing.setResponder([&vanishing, ignored, answer](const QByteArray &, int index) {
        if (index == ignored) {
            vanishing.write(answer.left(answer.size() / 2));
            QTimer::singleShot(30, &vanishing, [&vanishing] { vanishing.close(); });
        }
        return QList<QByteArray>();
    });
    FakeBoard board(FakeBoard::answering(board28, QString()));
    FakeBoard silent;

    Initializer initializer;
    Host host(&initializer);
    LogCapture log;
    initializer.probe({KvDevice::Board6100028, KvDevice::Board6100027}, 0, {vanishing.path(), board.path(), silent.path()});
    QTRY_COMPARE_WITH_TIMEOUT(log.count(QStringLiteral("Serial port lost: ")), 1, 5000);
    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = TestSupport::processCpuMs();
    QTRY_COMPARE_WITH_TIMEOUT(log.count(endOfRun), 1, 5000);
    const double cpu = TestSupport::processCpuMs() - cpuBefore;

    QCOMPARE(host.found.size(), 1);
    QCOMPARE(host.found.first().type, KvDevice::Board6100028);
    QCOMPARE(host.found.first().port, board.path());
    QCOMPARE(host.notFound, Types{KvDevice::Board6100027});
    QCOMPARE(log.count(QStringLiteral("Serial port lost: ")), 1);
    QCOMPARE(log.count(QStringLiteral("Parse failed: ")), 0); // half a sentence is no payload
    QCOMPARE(vanishing.received.size(), ignored + 1);           // a lost port is not asked again
    QCOMPARE(silent.received.size(), 4);
    QVERIFY2(cpu < clock.elapsed() / 2.0 + 50, qPrintable(QStringLiteral("%1 ms CPU in %2 ms").arg(cpu).arg(clock.elapsed())));
}

void tst_Faults::boardClosesAfterHandover_data()
{
    QTest::addColumn<int>("complete");
    QTest::addColumn<bool>("cutOff");
    QTest::newRow("between sentences") << 2 << false;
    QTest::newRow("in the middle of a sentence") << 0 << true;
    QTest::newRow("mid-sentence, six unread before") << 6 << true;
}

void tst_Faults::boardClosesAfterHandover()
{
    QFETCH(int, complete);
    QFETCH(bool, cutOff);

    FakeBoard board(FakeBoard::answering(board28, QString()));
    Initializer initializer;
    Host host(&initializer);
    initializer.probe({KvDevice::Board6100028}, 0, {board.path()});
    QTRY_COMPARE(host.found.size(), 1);
    Communicator *comm = host.found.first().comm;
    auto *port = qobject_cast<QSerialPort *>(comm->ioDevice());
    QVERIFY(port);

    // The host reads what is left and closes the port when it hears of the failure.
    int failures = 0;
    QStringList leftOver;
    connect(comm, &Communicator::readFailed, this, [&] {
        ++failures;
        QString payload;
        while (comm->readPayload(payload, 0))
            leftOver << payload;
        port->close();
    });
    QSignalSpy stored(comm, SIGNAL(readyRead(uint)));

    QStringList sent;
    for (int i = 0; i < complete; ++i) {
        sent << sentence(QStringLiteral("KVDATA,%1").arg(i));
        board.write(sent.last().toLatin1());
    }
    QTRY_COMPARE(stored.count(), complete);
    if (cutOff) {
        board.write("$KVDATA,cut,of");
        QTest::qWait(50);
    }
    board.close();
    QTRY_COMPARE(failures, 1);
    QVERIFY(!port->isOpen());
    QCOMPARE(leftOver, sent); // every complete sentence was still there, in order
    QCOMPARE(stored.count(), complete);

    const double cpuBefore = TestSupport::processCpuMs();
    QTest::qWait(1000);
    const double cpu = TestSupport::processCpuMs() - cpuBefore;
    QCOMPARE(failures, 1);
    QVERIFY2(cpu < 400, qPrintable(QStringLiteral("%1 ms CPU in the second after the close").arg(cpu)));
}

void tst_Faults::permissionDenied_data()
{
    QTest::addColumn<bool>("withBoard");
    QTest::newRow("the only port") << false;
    QTest::newRow("next to a board") << true;
}

void tst_Faults::permissionDenied()
{
    QFETCH(bool, withBoard);

    // A board of type 27 sits behind a port this user may not open.
    FakeBoard locked(FakeBoard::answering(board27, QString()));
    FakeBoard board(FakeBoard::answering(board28, QString()));
    QCOMPARE(::chmod(QFile::encodeName(locked.path()).constData(), 0), 0);
    QCOMPARE(::chmod(QFile::encodeName(board.path()).constData(), 0666), 0);

    QStringList arguments{QString::fromLatin1(childSwitch)};
    if (withBoard)
        arguments << QStringLiteral("%1,%2").arg(int(KvDevice::Board6100028)).arg(int(KvDevice::Board6100027)) << locked.path() << board.path();
    else
        arguments << QString::number(int(KvDevice::Board6100027)) << locked.path();
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    QVERIFY2(child.waitForStarted(), qPrintable(child.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(child.state() == QProcess::NotRunning, 30000);
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    const QStringList lines = QString::fromLocal8Bit(child.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!lines.isEmpty() && lines.first().startsWith(QLatin1String("skip: ")))
        SKIP_TEST(qPrintable(lines.first()));

    const QString refused = QStringLiteral("log Serial port not accessible:  \"%1\"  -  %2").arg(locked.path()).arg(int(QSerialPort::PermissionError));
    QVERIFY2(lines.contains(refused), qPrintable(lines.join(QLatin1Char('\n'))));
    QVERIFY(lines.contains(QStringLiteral("notfound %1").arg(int(KvDevice::Board6100027))));
    QVERIFY(locked.received.isEmpty());
    if (withBoard) {
        QVERIFY(lines.contains(QStringLiteral("found %1 %2").arg(int(KvDevice::Board6100028)).arg(board.path())));
        QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^(found|notfound) "))).size(), 2);
    } else {
        QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^(found|notfound) "))).size(), 1);
        QCOMPARE(lines.filter(QStringLiteral("Serial port opened")).size(), 0);
    }
}

void tst_Faults::noiseFlood_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("random bytes") << QStringLiteral("random bytes");
    QTest::newRow("random bytes with line ends") << QStringLiteral("random bytes with line ends");
    QTest::newRow("start flags") << QStringLiteral("start flags");
}

void tst_Faults::noiseFlood()
{
    QFETCH(QString, kind);

    // One port floods for 2.5 s, as fast as the pty takes it, while the run goes on.
    PtyPair flood;
    FakeBoard board(FakeBoard::answering(board28, QString()));
    const long memoryBefore = TestSupport::memoryInUseKiB();
    ParseFailureCounter parseFailures;
    Flood writer(flood.master(), noise(kind, 64 * 1024), 2500);

    auto initializer = std::make_unique<Initializer>();
    Host host(initializer.get());
    initializer->probe({KvDevice::Board6100028, KvDevice::Board6100027}, 0, {flood.path(), board.path()});
    QTRY_COMPARE_WITH_TIMEOUT(host.notFound.size(), 1, 15000); // the run's last word
    const long memoryGrown = TestSupport::memoryInUseKiB() - memoryBefore;
    const qint64 flooded = writer.finish();
    initializer.reset();

    QCOMPARE(host.found.size(), 1);
    QCOMPARE(host.found.first().port, board.path());
    QCOMPARE(host.notFound, Types{KvDevice::Board6100027});
    QVERIFY2(flooded > 64 * 1024, qPrintable(QStringLiteral("only %1 bytes flooded").arg(flooded)));
    if (kind == QLatin1String("start flags"))
        QVERIFY(ParseFailureCounter::count > 0);
    QVERIFY2(memoryGrown < 8 * 1024,
             qPrintable(QStringLiteral("memory grew by %1 KiB while %2 bytes of noise arrived").arg(memoryGrown).arg(flooded)));
}

void tst_Faults::sentenceAtTheLengthLimit_data()
{
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<Type>("type");
    QTest::addColumn<int>("length");

    const QString version = QStringLiteral("PKVVER,HW2-6100028");
    const QString info = QStringLiteral("PTKVRD,INF,");
    const QString infoRest = QStringLiteral(",DT,61,R2,1.4.0,HW3,APP");
    QTest::newRow("version answer, 74") << version << QStringLiteral(",1,2,3") << KvDevice::Board6100028 << 74;
    QTest::newRow("version answer, 75") << version << QStringLiteral(",1,2,3") << KvDevice::Board6100028 << 75;
    QTest::newRow("information answer, 74") << info << infoRest << KvDevice::InfoDevice << 74;
    QTest::newRow("information answer, 75") << info << infoRest << KvDevice::InfoDevice << 75;
}

void tst_Faults::sentenceAtTheLengthLimit()
{
    QFETCH(QString, prefix);
    QFETCH(QString, suffix);
    QFETCH(Type, type);
    QFETCH(int, length);

    // "$" + body + "*hh" + CR LF: the padding makes the whole sentence `length` long.
    const int padding = length - 6 - int(prefix.size() + suffix.size());
    const QByteArray answer = sentenceBytes(prefix + QString(padding, QLatin1Char('X')) + suffix);
    QCOMPARE(answer.size(), length);

    FakeBoard board([answer](const QByteArray &, int) { return QList<QByteArray>{answer}; });
    Initializer initializer;
    initializer.setMaxRetries(0);
    Host host(&initializer);
    LogCapture log;
    initializer.probe({type}, 0, {board.path()});
    QTRY_COMPARE(log.count(endOfRun), 1);
    if (length <= 74) {
        QCOMPARE(host.found.size(), 1);
        QCOMPARE(host.found.first().type, type);
        QVERIFY(host.notFound.isEmpty());
        QCOMPARE(log.count(QStringLiteral("Parse failed: ")), 0);
    } else {
        QVERIFY(host.found.isEmpty());
        QCOMPARE(host.notFound, Types{type});
        const auto failures = log.matching(QStringLiteral("Parse failed: "));
        QCOMPARE(failures.size(), 1);
        QVERIFY2(failures.first().message.contains(QLatin1String("Sentence too long")), qPrintable(failures.first().message));
    }
}

void tst_Faults::handedOverDeletedFromReadyRead_data()
{
    QTest::addColumn<bool>("withId");
    QTest::addColumn<bool>("portFirst");
    QTest::newRow("readyRead(uint), communicator first") << true << false;
    QTest::newRow("readyRead(), communicator first") << false << false;
    QTest::newRow("readyRead(uint), port first") << true << true;
}

void tst_Faults::handedOverDeletedFromReadyRead()
{
    QFETCH(bool, withId);
    QFETCH(bool, portFirst);

    PtyPair pty;
    Initializer initializer;
    QPointer<Communicator> comm;
    QPointer<QIODevice> port;
    connect(&initializer, &Initializer::deviceInitialized, this, [&](Type, Communicator *handed) {
        comm = handed;
        port = handed->ioDevice();
    });
    initializer.probe({KvDevice::Board6100028}, 0, {pty.path()});
    QVERIFY(!awaitQuery(pty).isEmpty());
    pty.write(sentenceBytes(board28));
    QTRY_VERIFY(comm);

    // The host is done after its first payload; the board is not, and keeps talking.
    int calls = 0;
    auto done = [&] {
        ++calls;
        QString payload;
        comm->readPayload(payload, 0);
        if (portFirst)
            port->deleteLater();
        comm->deleteLater();
        if (!portFirst)
            port->deleteLater();
    };
    if (withId)
        connect(comm, qOverload<uint>(&Communicator::readyRead), this, done);
    else
        connect(comm, qOverload<>(&Communicator::readyRead), this, done);
    QTimer talk;
    int sentences = 0;
    connect(&talk, &QTimer::timeout, this, [&] {
        QByteArray burst;
        for (int i = 0; i < 3; ++i)
            burst += sentenceBytes(QStringLiteral("KVDATA,%1").arg(sentences++));
        writeNow(pty.master(), burst);
    });
    talk.start(2);
    QTRY_VERIFY(!comm && !port);
    QTest::qWait(200);
    talk.stop();
    QVERIFY(calls >= 1);
    QVERIFY(sentences > 3);
    QVERIFY(portIsFree(pty.path())); // the port was closed with its deletion
}

void tst_Faults::initializerDeletedFromItsSignal_data()
{
    QTest::addColumn<bool>("onFound");
    QTest::addColumn<bool>("later");
    QTest::addColumn<int>("notFoundHeard");
    QTest::newRow("delete from deviceInitialized") << true << false << 0;
    QTest::newRow("delete from deviceNotFound") << false << false << 1;
    QTest::newRow("deleteLater from deviceNotFound") << false << true << 2;
}

void tst_Faults::initializerDeletedFromItsSignal()
{
    QFETCH(bool, onFound);
    QFETCH(bool, later);
    QFETCH(int, notFoundHeard);

    // A host may end the run from the initializer's own signals; nothing of the initializer
    // may run after its slot. A chatty port sends sentences that identify nothing, before
    // and after its queries, so data is in flight throughout.
    FakeBoard chatty([](const QByteArray &, int) {
        return QList<QByteArray>{sentenceBytes(QStringLiteral("KVDATA,1")) + sentenceBytes(board27).left(20)};
    });
    QTimer talk;
    connect(&talk, &QTimer::timeout, this, [&chatty] { chatty.write(sentenceBytes(QStringLiteral("KVDATA,2"))); });
    talk.start(5);
    FakeBoard board(FakeBoard::answering(board28, QString()));
    FakeBoard silent;
    LogCapture log; // the chatty port's sentences fail to parse, by design

    auto *initializer = new Initializer;
    initializer->setMaxRetries(0);
    QPointer<Initializer> watch(initializer);
    Host host(initializer);
    const auto cleanup = qScopeGuard([&watch] { delete watch.data(); }); // should a check fail first
    auto finish = [initializer, later] {
        if (later)
            initializer->deleteLater();
        else
            delete initializer;
    };
    if (onFound)
        connect(initializer, &Initializer::deviceInitialized, this, finish);
    else
        connect(initializer, &Initializer::deviceNotFound, this, finish);
    // 27 is asked for twice: its second report comes after the first slot has run.
    const QList<QString> ports = onFound ? QList<QString>{board.path(), chatty.path(), silent.path()}
                                         : QList<QString>{chatty.path(), board.path(), silent.path()};
    initializer->probe({KvDevice::Board6100028, KvDevice::Board6100027, KvDevice::Board6100027}, 0, ports);
    QTRY_VERIFY_WITH_TIMEOUT(!watch, 5000);
    QTest::qWait(100);
    talk.stop();

    QCOMPARE(host.found.size(), 1);
    QVERIFY(host.found.first().comm);
    QVERIFY(host.found.first().comm->ioDevice()->isOpen());
    QCOMPARE(host.notFound.size(), notFoundHeard);
    QVERIFY(portIsFree(chatty.path()));
    QVERIFY(portIsFree(silent.path()));
}

void tst_Faults::initializerDeletedWithDataInFlight_data()
{
    QTest::addColumn<bool>("boardGone");
    QTest::newRow("answers waiting") << false;
    QTest::newRow("answers waiting, boards gone") << true;
}

void tst_Faults::initializerDeletedWithDataInFlight()
{
    QFETCH(bool, boardGone);

    PtyPair first;
    PtyPair second;
    const dev_t firstPort = deviceOf(first.path());
    const dev_t secondPort = deviceOf(second.path());
    auto initializer = std::make_unique<Initializer>();
    Host host(initializer.get());
    LogCapture log;
    initializer->probe({KvDevice::Board6100028, KvDevice::Board6100027}, 0, {first.path(), second.path()});
    // The queries go out; the answers arrive while the initializer is not looking.
    QVERIFY(!awaitQuery(first).isEmpty());
    QVERIFY(!awaitQuery(second).isEmpty());
    first.write(sentenceBytes(board28) + sentenceBytes(QStringLiteral("KVDATA,1")));
    second.write(sentenceBytes(board27).left(15));
    if (boardGone) {
        first.closeMaster();
        second.closeMaster();
    }
    const int portsOpen = descriptorsOf(firstPort) + descriptorsOf(secondPort);
    initializer.reset();

    const double cpuBefore = TestSupport::processCpuMs();
    QTest::qWait(300);
    const double cpu = TestSupport::processCpuMs() - cpuBefore;
    QVERIFY(host.found.isEmpty());
    QVERIFY(host.notFound.isEmpty());
    QCOMPARE(log.count(QStringLiteral("Read succes on port: ")), 0);
    QCOMPARE(portsOpen, 4); // the test's ends and the initializer's ports
    QCOMPARE(descriptorsOf(firstPort), 1);
    QCOMPARE(descriptorsOf(secondPort), 1);
    QVERIFY2(cpu < 150, qPrintable(QStringLiteral("%1 ms CPU in 300 ms").arg(cpu)));
}

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], childSwitch) == 0)
        return probeUnprivileged(argc, argv);
    QCoreApplication app(argc, argv);
    tst_Faults test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults.moc"
