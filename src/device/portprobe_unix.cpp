// SPDX-License-Identifier: MIT
// Opening ports on Unix: names given are followed to their device, and a refused port is
// told apart as busy (its lock file names the holder) or not this user's to open.

#include "device/portprobe.h"

#include <kvdevice/initializer.h>

#include "transport/portdevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <termios.h>
#include <unistd.h>

namespace KvDevice {

QString Initializer::resolvedPortName(const QString &name)
{
    // One link at a time, never a canonical path: that would resolve device nodes too,
    // which emulated ones (umockdev) do not survive. Stops at a tty the system lists, so
    // that the port is locked by its own name (Qt names the lock file after the port).
    if (isRemoteName(name))
        return name;
    QString path = name;
    for (int links = 0; links < 40; ++links) {
        const QFileInfo info(path);
        if (!info.exists())
            return name;
        if (info.dir().dirName() == QLatin1String("dev") && QFileInfo::exists(QStringLiteral("/sys/class/tty/") + info.fileName()))
            return QStringLiteral("/dev/") + info.fileName();
        if (!info.isSymLink())
            return path;
        path = info.symLinkTarget();
    }
    return name;
}

namespace {
const QStringList lockFolders = {QStringLiteral("/var/lock"), QStringLiteral("/run/lock")};

// The lock file Qt makes for a port: "LCK..ttyACM0", "LCK..pts_3".
QString lockNameOf(const QString &portName)
{
    const QString name = portName.startsWith(QLatin1String("/dev/")) ? portName.mid(5) : portName;
    return QStringLiteral("/LCK..") + QString(name).replace(QLatin1Char('/'), QLatin1Char('_'));
}
} // namespace

qint64 PortProbe::lockHolder(const QString &portName)
{
    const QString lockName = lockNameOf(portName);
    for (const QString &dir : lockFolders) {
        qint64 pid = 0;
        QString host, program;
        if (QLockFile(dir + lockName).getLockInfo(&pid, &host, &program) && pid > 0 && host == QSysInfo::machineHostName())
            return pid;
    }
    return 0;
}

bool PortProbe::isGone(QSerialPort &port, QSerialPort::SerialPortError error)
{
    // Qt reads EIO (a hung-up tty: unplugged, or a pty whose far end closed) as ResourceError;
    // other read failures leave nothing to read from. A write to a device that went away
    // may fail otherwise (ENODEV): then the tty, hung up, refuses even its settings.
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError)
        return true;
    termios settings = {};
    return error == QSerialPort::WriteError && ::tcgetattr(int(port.handle()), &settings) != 0 && errno == EIO;
}

PortOutcome PortProbe::refusal(const QString &portName, QString *detail)
{
    // Qt reports a port that another program holds like one this user may not open. Its
    // lock file (named as Qt names it) tells who holds it.
    const QString name = portName.startsWith(QLatin1String("/dev/")) ? portName.mid(5) : portName;
    const QString lockName = lockNameOf(portName);
    for (const QString &dir : lockFolders) {
        qint64 pid = 0;
        QString host, program;
        if (!QLockFile(dir + lockName).getLockInfo(&pid, &host, &program) || pid <= 0)
            continue;
        // Qt removes a lock whose process has ended, unless this user may not (another
        // user's, in the sticky lock folder).
        if (host == QSysInfo::machineHostName() && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH) {
            *detail = QStringLiteral("a lock file left by process %1, which has ended, that this user may not remove: %2 (sudo rm %2)")
                          .arg(pid)
                          .arg(dir + lockName);
            return PermissionDenied;
        }
#ifdef Q_OS_LINUX
        QFile command(QStringLiteral("/proc/%1/comm").arg(pid));
        if (program.isEmpty() && command.open(QIODevice::ReadOnly))
            program = QString::fromLocal8Bit(command.readAll()).trimmed();
#endif
        *detail = QStringLiteral("in use by %1 (process %2)").arg(program.isEmpty() ? QStringLiteral("another program") : program).arg(pid);
        return Busy;
    }
    // Without a lock file: either this user may not open it, or another program opened it
    // exclusively. Asking does not open the port (which would reset some boards).
    const QString path = name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
    if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0) {
        *detail = QStringLiteral("in use by another program, which opened it exclusively");
        return Busy;
    }
    QString group = QFileInfo(path).group();
    if (group.isEmpty() || group == QLatin1String("root"))
        group = QStringLiteral("dialout");
    *detail = QStringLiteral("permission denied: join the group that may use the port (%1: sudo usermod -aG %1 $USER), then log in again").arg(group);
    return PermissionDenied;
}

} // namespace KvDevice
