// SPDX-License-Identifier: MIT
#include "boardsupport.h"

#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>

#include <QDir>
#include <QFile>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace TestSupport {

#ifndef Q_OS_WIN
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

#endif

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
