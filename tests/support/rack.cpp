// SPDX-License-Identifier: MIT
#include "rack.h"

#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>

namespace TestSupport {

namespace {
bool listening(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    const QByteArray local = ":" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') + " ";
    return table.open(QIODevice::ReadOnly) && table.readAll().contains("0100007F" + local + "00000000:0000 0A");
}
} // namespace

quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

QString ser2netProgram()
{
    const QString given = qEnvironmentVariable("KVDEVICE_SER2NET");
    const QString found = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
    return !given.isEmpty() ? given
         : !found.isEmpty() ? found
                            : QStandardPaths::findExecutable(QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
}

Rack::Rack(const QString &serving, const QString &type)
    : link(dir.filePath(QStringLiteral("board")))
    , port(freePort())
{
    plug(type);
    const QStringList parts = serving.split(QLatin1Char(','));
    url = QStringLiteral("%1://127.0.0.1:%2").arg(parts.first()).arg(port);
    QString yaml = QStringLiteral("connection: &board\n  accepter: %1tcp,127.0.0.1,%2\n  connector: serialdev,%3,115200n81,local\n  options:\n")
                       .arg(parts.first() == QLatin1String("rfc2217") ? QStringLiteral("telnet(rfc2217),") : QString())
                       .arg(port)
                       .arg(link);
    if (parts.contains(QLatin1String("banner")))
        yaml += QStringLiteral("    banner: 'kvdevice rack \\p\\r\\n'\n");
    yaml += parts.contains(QLatin1String("kick")) ? QStringLiteral("    kickolduser: true\n") : QStringLiteral("    max-connections: 1\n");
    QFile file(dir.filePath(QStringLiteral("ser2net.yaml")));
    if (!file.open(QIODevice::WriteOnly) || file.write(yaml.toUtf8()) < 0)
        qFatal("cannot write ser2net.yaml");
}

void Rack::plug(const QString &type)
{
    board.reset(); // its link goes first
    board = std::make_unique<Board>(type + (type.contains(QLatin1Char(':')) ? QStringLiteral(",link=") : QStringLiteral(":link=")) + link);
}

bool Rack::start()
{
    server.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_PRELOAD")); // a suite's emulated USB devices are not the server's
    server.setProcessEnvironment(environment);
    // -n: in the foreground; -u: no lock files in the machine's lock folder.
    server.start(ser2netProgram(), {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), dir.filePath(QStringLiteral("ser2net.yaml")),
                                    QStringLiteral("-P"), dir.filePath(QStringLiteral("pid"))});
    const bool up = QTest::qWaitFor([this] { return listening(port) || server.state() == QProcess::NotRunning; }, 10000) && listening(port);
    if (!up)
        qWarning("ser2net did not start: %s", server.readAll().constData());
    return up;
}

void Rack::kill()
{
    server.kill();
    server.waitForFinished();
}

} // namespace TestSupport
