// SPDX-License-Identifier: MIT
// kvprobe on boards played on pseudo-terminals: every mode ends cleanly when stopped by a
// signal (its status, every port closed, Qt's lock files gone), and --monitor never
// passes a board's control characters to the terminal. Boards served by ser2net are found
// as on their pty, and followed while the server goes and comes back.

#include "boardsupport.h"
#ifdef KVDEVICE_REMOTE_PORTS
#include "rack.h"

#include <kvdevice/remoteport.h>

#include <QJsonDocument>
#include <QJsonObject>
#endif

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <unistd.h>

using namespace TestSupport;

class tst_Kvprobe : public QObject
{
    Q_OBJECT

private slots:
    void stopped_data();
    void stopped();
    void monitorEscapes_data();
    void monitorEscapes();
    void refused_data();
    void refused();
    void rightsComeLate();
#ifdef KVDEVICE_REMOTE_PORTS
    void remote_data();
    void remote();
    void watchRemote();
#endif
};

void tst_Kvprobe::stopped_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QString>("arguments"); // %pty: the board's port, %dir: a folder with a link to it
    QTest::addColumn<QString>("waitFor");   // in the output, before the signal
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("a run, SIGTERM") << "silent" << "--port %pty --timeout 60000 --retries 0" << "" << SIGTERM << 130;
    QTest::newRow("a run, SIGHUP") << "silent" << "--port %pty --json --timeout 60000" << "" << SIGHUP << 130;
    QTest::newRow("a run waiting for details, SIGINT") << "info:answers=1" << "--port %pty --type info --details" << "found InfoDevice" << SIGINT << 130;
    QTest::newRow("monitor, SIGTERM") << "silent" << "--monitor %pty" << "monitoring" << SIGTERM << 130;
    QTest::newRow("monitor, SIGHUP") << "silent" << "--monitor %pty" << "monitoring" << SIGHUP << 130;
    QTest::newRow("watch with an attached board, SIGHUP") << "info" << "--watch --port-dir %dir --type info" << "attached" << SIGHUP << 0;
}

void tst_Kvprobe::stopped()
{
    QFETCH(QString, board);
    QFETCH(QString, arguments);
    QFETCH(QString, waitFor);
    QFETCH(int, signal);
    QFETCH(int, exitCode);

    QTemporaryDir links;
    Board played(board + (board.contains(QLatin1Char(':')) ? QStringLiteral(",link=") : QStringLiteral(":link=")) + links.filePath(QStringLiteral("b")));
    // Qt locks a port with a file in the first lock folder it may write to.
    QStringList locks;
    for (const QString &dir : {QStringLiteral("/var/lock"), QStringLiteral("/run/lock")})
        locks << dir + QStringLiteral("/LCK..") + played.path().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    auto locked = [&locks] { return QFileInfo::exists(locks.first()) || QFileInfo::exists(locks.last()); };

    QProcess probe; // its standard input stays open
    probe.setProcessChannelMode(QProcess::MergedChannels);
    QString output;
    connect(&probe, &QProcess::readyRead, this, [&] { output += QString::fromUtf8(probe.readAll()); });
    probe.start(QStringLiteral(KVPROBE_PATH), QString(arguments).replace(QStringLiteral("%pty"), played.path()).replace(QStringLiteral("%dir"), links.path()).split(QLatin1Char(' ')));
    QTRY_VERIFY2_WITH_TIMEOUT(locked() && output.contains(waitFor), qPrintable(output), 10000);
    ::kill(pid_t(probe.processId()), signal);
    QVERIFY(probe.waitForFinished(10000));
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.exitCode(), exitCode);
    QVERIFY2(!locked(), qPrintable(locks.join(QLatin1Char(' '))));
}

void tst_Kvprobe::monitorEscapes_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QString>("shown");

    QTest::newRow("a bell, an escape sequence, a lone CR and LF") << QByteArray("$AB\x07,\x1b[2J,\r,\n*00\r\n") << R"(< $AB\x07,\x1b[2J,\r,\n*00 (wrong checksum))";
    QTest::newRow("DEL, a tab and a backslash") << QByteArray("$A\x7f\t\\*00\r\n") << R"(< $A\x7f\t\\*00 (wrong checksum))";
    QTest::newRow("a valid sentence as it is") << sentenceBytes(QStringLiteral("PKVVER,HW2-6100028,3,2,3")) << "< $PKVVER,HW2-6100028,3,2,3*03";
}

void tst_Kvprobe::monitorEscapes()
{
    QFETCH(QByteArray, sent);
    QFETCH(QString, shown);

    Board played;
    QProcess probe;
    probe.setProcessChannelMode(QProcess::MergedChannels);
    QString output;
    connect(&probe, &QProcess::readyRead, this, [&] { output += QString::fromUtf8(probe.readAll()); });
    probe.start(QStringLiteral(KVPROBE_PATH), {QStringLiteral("--monitor"), played.path()});
    QTRY_VERIFY_WITH_TIMEOUT(output.contains(QLatin1String("monitoring")), 10000);
    played.send(sent);
    QTRY_VERIFY_WITH_TIMEOUT(output.contains(QLatin1String("\n<")), 10000);
    QCOMPARE(output.section(QLatin1Char('\n'), 1).simplified(), shown);
    probe.closeWriteChannel();
    QVERIFY(probe.waitForFinished(10000));
    QCOMPARE(probe.exitCode(), 0);
}

// Sources that cannot work: refused at once, with the reason.
void tst_Kvprobe::refused_data()
{
    QTest::addColumn<QString>("arguments"); // %file: a file, not a folder
    QTest::addColumn<QString>("said");
    QTest::newRow("a file is no folder") << "--watch --port-dir %file" << "is not a folder";
    if (!QFileInfo::exists(QStringLiteral("/run/udev/control")))
        QTest::newRow("udev that does not run") << "--watch --udev" << "udev does not run here";
}

void tst_Kvprobe::refused()
{
    QFETCH(QString, arguments);
    QFETCH(QString, said);
    QProcess probe;
    probe.start(QStringLiteral(KVPROBE_PATH), arguments.replace(QStringLiteral("%file"), QCoreApplication::applicationFilePath()).split(QLatin1Char(' ')));
    QVERIFY(probe.waitForFinished(10000));
    QCOMPARE(probe.exitCode(), 1);
    QVERIFY2(probe.readAllStandardError().contains(said.toUtf8()), qPrintable(said));
}

#ifdef KVDEVICE_REMOTE_PORTS
// A port that refuses this user at first, as one does while udev still sets its rights
// after a plug: asked again meanwhile, and attached once the rights come, no refusal told.
void tst_Kvprobe::rightsComeLate()
{
    QTemporaryDir links;
    Board played(QStringLiteral("info:link=") + links.filePath(QStringLiteral("b")));
    const QString device = played.path();
    const QFile::Permissions rights = QFile::permissions(device);
    QVERIFY(QFile::setPermissions(device, {}));
    QTimer rightsCome;
    rightsCome.callOnTimeout([&] { QFile::setPermissions(device, rights); });
    rightsCome.start(700);
    QStringList arguments{QStringLiteral(KVPROBE_PATH), QStringLiteral("--watch"), QStringLiteral("--port-dir"), links.path(), QStringLiteral("--type"), QStringLiteral("info")};
    if (::geteuid() == 0) // root, but bound by the rights as anyone else
        arguments = QStringList{QStringLiteral("setpriv"), QStringLiteral("--bounding-set=-dac_override,-dac_read_search")} + arguments;
    QProcess probe;
    probe.setProcessChannelMode(QProcess::MergedChannels);
    QString output;
    connect(&probe, &QProcess::readyRead, this, [&] { output += QString::fromUtf8(probe.readAll()); });
    probe.start(arguments.first(), arguments.mid(1));
    QTRY_VERIFY2_WITH_TIMEOUT(output.contains(QStringLiteral("attached InfoDevice")), qPrintable(output), 10000);
    probe.terminate();
    QVERIFY(probe.waitForFinished(10000));
    QVERIFY2(!output.contains(QStringLiteral("permission")), qPrintable(output));
}

void tst_Kvprobe::remote_data()
{
    QTest::addColumn<QString>("port");     // "pty": the board's own; "rfc2217", "socket": served by ser2net; else a URL, FREE a port nothing listens on
    QTest::addColumn<bool>("held");        // another client has the board
    QTest::addColumn<QString>("expected"); // the lines, PORT for the port's name, T for a time

    const QString found = QStringLiteral("found Board6100028 PORT|details Board6100028 PORT hwversion=HW2-6100028 v1=3 v2=2 v3=3|done: 1 found, 0 not found, T ms");
    QTest::newRow("on its pty") << "pty" << false << found;
    QTest::newRow("over RFC 2217, as on its pty") << "rfc2217" << false << found;
    QTest::newRow("over raw TCP, as on its pty") << "socket" << false << found;
    QTest::newRow("nothing listens") << "socket://127.0.0.1:FREE" << false
                                     << "not-found Board6100028|port PORT not_found: nothing listens on 127.0.0.1:FREE (connection refused); is the server (ser2net) running there, and serving this TCP port?|done: 0 found, 1 not found, T ms";
    QTest::newRow("another client has it") << "rfc2217" << true
                                           << "not-found Board6100028|port PORT busy: the server lets no second client in: \"Port already in use\"; another client has the board: close it, or let the server hand it over (ser2net: kickolduser)|done: 0 found, 1 not found, T ms";
}

void tst_Kvprobe::remote()
{
    QFETCH(QString, port);
    QFETCH(bool, held);
    QFETCH(QString, expected);
    KVDEVICE_REQUIRE_SER2NET();

    Rack rack(port == QLatin1String("rfc2217") ? port : QStringLiteral("socket"), QStringLiteral("board6100028"));
    QVERIFY(port.contains(QLatin1String("://")) || rack.start());
    const QString free = QString::number(freePort());
    const QString name = port == QLatin1String("pty") ? rack.board->path() : port.contains(QLatin1String("://")) ? QString(port).replace(QStringLiteral("FREE"), free) : rack.url;
    KvDevice::RemotePort holder(rack.url);
    if (held) {
        QSignalSpy connected(&holder, &KvDevice::RemotePort::connected);
        QVERIFY(holder.open() && connected.wait(5000));
    }
    QProcess probe;
    probe.start(QStringLiteral(KVPROBE_PATH), {QStringLiteral("--port"), name, QStringLiteral("--type"), QStringLiteral("board6100028"),
                                               QStringLiteral("--retries"), QStringLiteral("0"), QStringLiteral("--details")});
    QTRY_VERIFY_WITH_TIMEOUT(probe.state() == QProcess::NotRunning, 10000); // the board answers from this event loop
    QCOMPARE(probe.exitCode(), expected.startsWith(QLatin1String("found")) ? 0 : 1);
    QString output = QString::fromUtf8(probe.readAllStandardOutput()).trimmed().replace(QLatin1Char('\n'), QLatin1Char('|'));
    QCOMPARE(output.replace(QRegularExpression(QStringLiteral(", \\d+ ms$")), QStringLiteral(", T ms")), QString(expected).replace(QStringLiteral("PORT"), name).replace(QStringLiteral("FREE"), free));
}

// kvprobe --watch --remote: the board attached, detached when ser2net goes, attached again
// when it is back.
void tst_Kvprobe::watchRemote()
{
    KVDEVICE_REQUIRE_SER2NET();
    Rack rack(QStringLiteral("rfc2217"), QStringLiteral("board6100028"));
    QVERIFY(rack.start());
    QProcess probe;
    QStringList events;
    connect(&probe, &QProcess::readyReadStandardOutput, this, [&] {
        while (probe.canReadLine()) {
            const QJsonObject event = QJsonDocument::fromJson(probe.readLine()).object();
            events << (event.value(QStringLiteral("event")).toString() + QLatin1Char(' ') + event.value(QStringLiteral("type")).toString()
                       + event.value(QStringLiteral("source")).toString() + event.value(QStringLiteral("outcome")).toString() + QLatin1Char(' ')
                       + event.value(QStringLiteral("port")).toString())
                          .trimmed();
        }
    });
    probe.start(QStringLiteral(KVPROBE_PATH), {QStringLiteral("--watch"), QStringLiteral("--remote"), rack.url, QStringLiteral("--json")});
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 2, 10000);
    rack.kill();
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 4, 10000); // detached, then the server not found again
    QVERIFY(rack.start());
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 5, 10000);
    probe.terminate();
    QVERIFY(probe.waitForFinished(10000));
    QCOMPARE(probe.exitCode(), 0);
    const QString attached = QStringLiteral("attached Board6100028 ") + rack.url;
    QCOMPARE(events, QStringList({QStringLiteral("watching remote"), attached, QStringLiteral("detached Board6100028 ") + rack.url,
                                  QStringLiteral("port not_found ") + rack.url, attached}));
}
#endif

QTEST_GUILESS_MAIN(tst_Kvprobe)
#include "tst_kvprobe.moc"
