#include "device/portprobe.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSerialPort>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace KvDevice {

QList<int> PortProbe::querySentences(const QList<Type> &types)
{
    QList<int> sentences;
    if (types.contains(Board6100028) || types.contains(Board6100027))
        sentences << VersionSentence;
    if (types.contains(InfoDevice))
        sentences << InfoRequestSentence;
    return sentences;
}

SessionInit PortProbe::query(int sentenceId)
{
    SessionInit session;
    session.sentenceId = sentenceId;
    if (sentenceId == InfoRequestSentence)
        session.parameters.insert(InitField::Subcommand, InfoSubcommand);
    return session;
}

Type PortProbe::claimedType(const SessionInit &answer)
{
    if (answer.sentenceId == VersionSentence) {
        const QString hardware = answer.parameters.value(InitField::HwVersion).toString();
        if (hardware.contains(QLatin1String("6100027")))
            return Board6100027;
        if (hardware.contains(QLatin1String("6100028")))
            return Board6100028;
    } else if (answer.sentenceId == InfoAnswerSentence) {
        if (answer.parameters.value(InitField::Subcommand).toString() == InfoSubcommand)
            return InfoDevice;
    }
    return NoDevice;
}

PortOutcome PortProbe::openFailure(const QSerialPort &port, QString *detail)
{
    if (port.error() == QSerialPort::DeviceNotFoundError) {
        *detail = QStringLiteral("no such port");
        return NotFound;
    }
    const QFileInfo file(port.portName());
    if (file.isAbsolute() && (file.isFile() || file.isDir())) {
        *detail = QStringLiteral("it is a %1, not a serial port").arg(file.isDir() ? QStringLiteral("folder") : QStringLiteral("regular file"));
        return OpenFailed;
    }
    if (port.error() != QSerialPort::PermissionError) {
        *detail = port.errorString();
        return OpenFailed;
    }
    // Qt reports a port that another program holds like one this user may not open. Its
    // lock file (named as Qt names it) tells who holds it.
    const QString lockName = QStringLiteral("/LCK..") + QString(port.portName()).replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const QString &dir : {QStringLiteral("/var/lock"), QStringLiteral("/run/lock")}) {
        qint64 pid = 0;
        QString host, program;
        if (!QLockFile(dir + lockName).getLockInfo(&pid, &host, &program) || pid <= 0)
            continue;
#ifdef Q_OS_LINUX
        QFile command(QStringLiteral("/proc/%1/comm").arg(pid));
        if (program.isEmpty() && command.open(QIODevice::ReadOnly))
            program = QString::fromLocal8Bit(command.readAll()).trimmed();
#endif
        *detail = QStringLiteral("in use by %1 (process %2)").arg(program.isEmpty() ? QStringLiteral("another program") : program).arg(pid);
        return Busy;
    }
#ifdef Q_OS_UNIX
    // Without a lock file: either this user may not open it, or another program opened it
    // exclusively. Asking does not open the port (which would reset some boards).
    const QString path = port.portName().startsWith(QLatin1Char('/')) ? port.portName() : QStringLiteral("/dev/") + port.portName();
    if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0) {
        *detail = QStringLiteral("in use by another program, which opened it exclusively");
        return Busy;
    }
    QString group = QFileInfo(path).group();
    if (group.isEmpty() || group == QLatin1String("root"))
        group = QStringLiteral("dialout");
    *detail = QStringLiteral("permission denied: join the group that may use the port (%1: sudo usermod -aG %1 $USER), then log in again").arg(group);
    return PermissionDenied;
#else
    *detail = port.errorString();
    return PermissionDenied;
#endif
}

} // namespace KvDevice
