#include "testsupport.h"

#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>
#include <kvdevice/parserabstract.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define KVDEVICE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVDEVICE_TEST_ASAN 1
#endif
#endif
#ifdef KVDEVICE_TEST_ASAN
// From the sanitizer runtime; gcc ships no header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#elif defined(__has_include)
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define KVDEVICE_TEST_VALGRIND 1
#endif
#endif

namespace TestSupport {

QString sentence(const QString &body)
{
    const quint8 sum = Nmea::calculateChecksum(body, 0);
    return QStringLiteral("$%1*%2\r\n").arg(body).arg(uint(sum), 2, 16, QLatin1Char('0'));
}

QByteArray sentenceBytes(const QString &body)
{
    return sentence(body).toLatin1();
}

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

long memoryInUseKiB()
{
#ifdef KVDEVICE_TEST_ASAN
    return long(__sanitizer_get_current_allocated_bytes() / 1024);
#else
#ifdef KVDEVICE_TEST_VALGRIND
    if (RUNNING_ON_VALGRIND) {
        // Memcheck holds 20 MB of freed blocks back and grows its own shadow memory: ask
        // it for the live heap instead (every block a leak search finds).
        VALGRIND_DO_QUICK_LEAK_CHECK;
        unsigned long leaked = 0, dubious = 0, reachable = 0, suppressed = 0;
        VALGRIND_COUNT_LEAKS(leaked, dubious, reachable, suppressed);
        return long((leaked + dubious + reachable + suppressed) / 1024);
    }
#endif
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
#endif
}

// ---- LogCapture ----------------------------------------------------------------------

namespace {
QList<LogCapture::Line> capturedLines;
QtMessageHandler previousHandler = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    capturedLines.append({type, QString::fromLatin1(context.category), message, QString::fromLatin1(context.function)});
}
} // namespace

LogCapture::LogCapture()
{
    capturedLines.clear();
    QLoggingCategory::setFilterRules(QStringLiteral("kvdevice*.debug=true"));
    previousHandler = qInstallMessageHandler(captureHandler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previousHandler);
    QLoggingCategory::setFilterRules(QString());
    capturedLines.clear();
}

QList<LogCapture::Line> LogCapture::lines() const
{
    return capturedLines;
}

QList<LogCapture::Line> LogCapture::matching(const QString &prefix) const
{
    QList<Line> result;
    for (const Line &line : qAsConst(capturedLines)) {
        if (line.message.startsWith(prefix))
            result.append(line);
    }
    return result;
}

void LogCapture::clear()
{
    capturedLines.clear();
}

// ---- ScriptedDevice ------------------------------------------------------------------

ScriptedDevice::ScriptedDevice(QObject *parent)
    : QIODevice(parent)
{
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void ScriptedDevice::deliver(const QByteArray &bytes)
{
    chunks.append(bytes);
    emit readyRead();
}

qint64 ScriptedDevice::bytesAvailable() const
{
    if (stuck)
        return 10;
    qint64 total = 0;
    for (const QByteArray &chunk : chunks)
        total += chunk.size();
    return total + QIODevice::bytesAvailable();
}

qint64 ScriptedDevice::readData(char *data, qint64 maxSize)
{
    ++readCalls;
    if (stuck || chunks.isEmpty())
        return 0;
    QByteArray &chunk = chunks.first();
    const qint64 count = qMin<qint64>(maxSize, chunk.size());
    memcpy(data, chunk.constData(), size_t(count));
    chunk.remove(0, int(count));
    if (chunk.isEmpty())
        chunks.removeFirst();
    return count;
}

qint64 ScriptedDevice::writeData(const char *data, qint64 size)
{
    const qint64 accepted = writeResult == -2 ? size : (writeResult < 0 ? -1 : qMin(writeResult, size));
    if (accepted > 0) {
        written.append(data, int(accepted));
        if (autoReport)
            QTimer::singleShot(0, this, [this, accepted] { emit bytesWritten(accepted); });
    }
    return accepted;
}

// ---- PtyPair -------------------------------------------------------------------------

PtyPair::PtyPair()
{
    char name[256] = {};
    if (openpty(&masterFd, &slaveFd, name, nullptr, nullptr) != 0) {
        masterFd = slaveFd = -1;
        return;
    }
    termios tio{};
    tcgetattr(slaveFd, &tio);
    cfmakeraw(&tio);
    tcsetattr(slaveFd, TCSANOW, &tio);
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    slavePath = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair()
{
    closeMaster();
    if (slaveFd >= 0)
        ::close(slaveFd);
}

void PtyPair::write(const QByteArray &bytes)
{
    qint64 done = 0;
    while (masterFd >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(masterFd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd pfd{masterFd, POLLOUT, 0};
            ::poll(&pfd, 1, 100);
        } else {
            break;
        }
    }
}

QByteArray PtyPair::readAvailable(int timeoutMs)
{
    QByteArray result;
    if (masterFd < 0)
        return result;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        char buffer[4096];
        const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
        if (n > 0) {
            result.append(buffer, int(n));
            continue;
        }
        const qint64 left = timeoutMs - clock.elapsed();
        if (!result.isEmpty() || left <= 0)
            return result;
        pollfd pfd{masterFd, POLLIN, 0};
        ::poll(&pfd, 1, int(left));
    }
}

void PtyPair::closeMaster()
{
    if (masterFd >= 0) {
        ::close(masterFd);
        masterFd = -1;
    }
}

// ---- FakeBoard -----------------------------------------------------------------------

FakeBoard::FakeBoard(Responder responder, QObject *parent)
    : QObject(parent)
    , responder(std::move(responder))
    , createdMs(QDateTime::currentMSecsSinceEpoch())
{
    notifier = new QSocketNotifier(pty.master(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &FakeBoard::onReadable);
}

FakeBoard::~FakeBoard() = default;

void FakeBoard::close()
{
    notifier->setEnabled(false);
    pty.closeMaster();
}

void FakeBoard::onReadable()
{
    char buffer[4096];
    const ssize_t n = ::read(pty.master(), buffer, sizeof buffer);
    if (n <= 0) {
        if (n == 0 || errno != EAGAIN)
            notifier->setEnabled(false); // no slave end open any more
        return;
    }
    pending.append(buffer, int(n));
    int end;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QByteArray line = pending.left(end + 1);
        pending.remove(0, end + 1);
        received.append(line);
        receivedAt.append(QDateTime::currentMSecsSinceEpoch() - createdMs);
        if (responder) {
            const auto answers = responder(line, received.size() - 1);
            for (const QByteArray &answer : answers)
                pty.write(answer);
        }
    }
}

FakeBoard::Responder FakeBoard::answering(const QString &versionBody, const QString &infoBody)
{
    return [versionBody, infoBody](const QByteArray &line, int) -> QList<QByteArray> {
        if (line.startsWith("$PKVVER") && !versionBody.isEmpty())
            return {sentenceBytes(versionBody)};
        if (line.startsWith("$PTKVWR,INF") && !infoBody.isEmpty())
            return {sentenceBytes(infoBody)};
        return {};
    };
}

// ---- Discovery runs ------------------------------------------------------------------

bool portIsFree(const QString &path)
{
    QSerialPort probe(path);
    const bool opened = probe.open(QIODevice::ReadWrite);
    probe.close();
    return opened;
}

Host::Host(KvDevice::Initializer *initializer)
{
    using KvDevice::Communicator;
    using KvDevice::Initializer;
    using KvDevice::Type;
    connect(initializer, &Initializer::finished, this, [this] { events << QStringLiteral("finished"); });
    connect(initializer, &Initializer::deviceInitialized, this, [this](Type type, Communicator *comm) {
        found.append({type, comm, comm->ioDevice()->objectName()});
        events << QStringLiteral("found %1").arg(int(type));
    });
    connect(initializer, &Initializer::deviceNotFound, this, [this](Type type) {
        notFound.append(type);
        events << QStringLiteral("not found %1").arg(int(type));
    });
}

Host::~Host()
{
    for (const Handover &h : qAsConst(found)) {
        if (!h.comm)
            continue;
        QIODevice *port = h.comm->ioDevice();
        delete h.comm;
        delete port;
    }
}

} // namespace TestSupport
