// SPDX-License-Identifier: MIT
#include "testsupport.h"

#include <kvdevice/parserabstract.h>

#include <QLoggingCategory>
#include <QTimer>

#include <cstring>

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

} // namespace TestSupport
