#include "testsupport.h"

#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>
#include <kvdevice/parserabstract.h>

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QTimer>

#include <sys/stat.h>

namespace TestSupport {

QString sentence(const QString &body)
{
    const quint8 sum = Nmea::calculateChecksum(body, 0);
    return QStringLiteral("$%1*%2\r\n").arg(body).arg(uint(sum), 2, 16, QLatin1Char('0'));
}

// ---- LogCapture ----------------------------------------------------------------------

namespace {
LogCapture *capturing = nullptr;
QtMessageHandler previousHandler = nullptr;
} // namespace

LogCapture::LogCapture(const QString &rules)
{
    capturing = this;
    QLoggingCategory::setFilterRules(rules);
    previousHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &message) {
        capturing->lines.append({type, QString::fromLatin1(context.category), message});
    });
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previousHandler);
    QLoggingCategory::setFilterRules(QString());
    capturing = nullptr;
}

QList<LogCapture::Line> LogCapture::matching(const QString &prefix) const
{
    QList<Line> result;
    for (const Line &line : lines) {
        if (line.message.startsWith(prefix))
            result.append(line);
    }
    return result;
}

QStringList LogCapture::messages() const
{
    QStringList result;
    for (const Line &line : lines)
        result << line.message;
    return result;
}

// ---- ScriptedDevice ------------------------------------------------------------------

void ScriptedDevice::deliver(const QByteArray &bytes)
{
    chunks.append(bytes);
    emit readyRead();
}

qint64 ScriptedDevice::bytesAvailable() const
{
    qint64 total = stuck ? 10 : 0;
    for (const QByteArray &chunk : chunks)
        total += chunk.size();
    return total + QIODevice::bytesAvailable();
}

qint64 ScriptedDevice::readData(char *data, qint64 maxSize)
{
    ++readCalls;
    if (stuck || chunks.isEmpty())
        return 0;
    const QByteArray chunk = chunks.takeFirst();
    const qint64 count = qMin<qint64>(maxSize, chunk.size());
    memcpy(data, chunk.constData(), size_t(count));
    if (count < chunk.size())
        chunks.prepend(chunk.mid(int(count)));
    return count;
}

qint64 ScriptedDevice::writeData(const char *data, qint64 size)
{
    const qint64 accepted = writeResult == -2 ? size : (writeResult < 0 ? -1 : qMin(writeResult, size));
    written.append(data, int(qMax<qint64>(accepted, 0)));
    if (accepted > 0 && autoReport)
        QTimer::singleShot(0, this, [this, accepted] { emit bytesWritten(accepted); });
    return accepted;
}

// ---- Board ---------------------------------------------------------------------------

namespace {
BoardConfig configOf(const QString &options)
{
    BoardConfig config;
    QString error;
    if (!BoardConfig::parse(options, &config, &error))
        qFatal("bad board %s: %s", qPrintable(options), qPrintable(error));
    return config;
}

dev_t deviceOf(const QString &path)
{
    struct stat info{};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISCHR(info.st_mode) ? info.st_rdev : dev_t(-1);
}
} // namespace

Board::Board(const QString &options)
    : SimBoard(configOf(options))
{
    QString error;
    if (!open(&error))
        qFatal("cannot play %s: %s", qPrintable(options), qPrintable(error));
    device = deviceOf(path());
    connect(this, &SimBoard::heard, this, [this](const QByteArray &line) { lines << line; });
}

int Board::portsOpen() const
{
    // By device number: a pty whose board end is gone has no name any more. The board
    // holds one descriptor itself while it plays.
    int count = isOpen() ? -1 : 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        count += deviceOf(fds.filePath(fd)) == device;
    return count;
}

// ---- Host ----------------------------------------------------------------------------

Host::Host(KvDevice::Initializer *initializer, const QStringList &ports)
{
    using namespace KvDevice;
    connect(initializer, &Initializer::finished, this, [this] { events << QStringLiteral("finished"); });
    connect(initializer, &Initializer::deviceInitialized, this, [this, ports](Type type, Communicator *comm) {
        found.append({comm, comm->ioDevice()->objectName()});
        const int index = ports.indexOf(found.last().port);
        events << QStringLiteral("found %1").arg(int(type)) + (index < 0 ? QLatin1Char(' ') + found.last().port : QStringLiteral("@%1").arg(index));
    });
    connect(initializer, &Initializer::deviceNotFound, this,
            [this](Type type) { events << QStringLiteral("not found %1").arg(int(type)); });
    connect(initializer, &Initializer::portConcluded, this, [this](const PortReport &report) {
        reports << report;
        reportedAt << events.size();
    });
}

Host::~Host()
{
    for (const Handover &h : qAsConst(found)) {
        if (h.comm)
            delete h.comm->ioDevice();
        delete h.comm;
    }
}

} // namespace TestSupport
