#include "common.h"

#include <kvdevice/parserabstract.h>

#include <QFileInfo>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QRegularExpression>

#include <cstdio>

namespace Tool {

QString typeName(KvDevice::Type type)
{
    return QString::fromLatin1(QMetaEnum::fromType<KvDevice::Type>().valueToKey(type));
}

QStringList typeArguments()
{
    return {QStringLiteral("board6100028"), QStringLiteral("board6100027"), QStringLiteral("info")};
}

bool typeFromArgument(const QString &argument, KvDevice::Type *type)
{
    static const QList<KvDevice::Type> types = {KvDevice::Board6100028, KvDevice::Board6100027, KvDevice::InfoDevice};
    const int index = typeArguments().indexOf(argument.toLower());
    if (index < 0)
        return false;
    *type = types.at(index);
    return true;
}

void printLine(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void printError(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stderr);
    std::fflush(stderr);
}

void printJson(const QJsonObject &object)
{
    printLine(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

QString openProblem(const QString &portName, QSerialPort::SerialPortError error, const QString &errorString)
{
    switch (error) {
    case QSerialPort::PermissionError: {
        // Qt reports a port that another program holds (its lock file) the same way.
        const QFileInfo file(portName.contains(QLatin1Char('/')) ? portName : QStringLiteral("/dev/") + portName);
        QString group = file.exists() ? file.group() : QString();
        const bool known = !group.isEmpty() && group != QLatin1String("root");
        if (!known)
            group = QStringLiteral("dialout");
        return QStringLiteral("cannot open %1: permission denied (%2). Unless another program holds it, join "
                              "the group that owns the device (%3%4): sudo usermod -aG %4 $USER, then log in again.")
            .arg(portName, errorString, known ? QString() : QStringLiteral("usually "), group);
    }
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("cannot open %1: no such port (see kvprobe --list)").arg(portName);
    default:
        return QStringLiteral("cannot open %1: %2").arg(portName, errorString);
    }
}

QString frameSentence(const QString &line)
{
    QString text = line.trimmed();
    if (text.isEmpty())
        return QString();
    if (!text.startsWith(QLatin1Char('$')) && !text.startsWith(QLatin1Char('!')))
        text.prepend(QLatin1Char('$'));
    static const QRegularExpression checksum(QStringLiteral("\\*[0-9A-Fa-f]{2}$"));
    if (!checksum.match(text).hasMatch()) {
        const quint8 sum = Nmea::calculateChecksum(text.mid(1), 0);
        text += QStringLiteral("*%1").arg(uint(sum), 2, 16, QLatin1Char('0'));
    }
    return text + QStringLiteral("\r\n");
}

} // namespace Tool
