// kvprobe on boards played on pseudo-terminals: every mode ends cleanly when stopped by a
// signal (its status, every port closed, Qt's lock files gone), and --monitor never
// passes a board's control characters to the terminal.

#include "boardsupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace TestSupport;

class tst_Kvprobe : public QObject
{
    Q_OBJECT

private slots:
    void stopped_data();
    void stopped();
    void monitorEscapes_data();
    void monitorEscapes();
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

QTEST_GUILESS_MAIN(tst_Kvprobe)
#include "tst_kvprobe.moc"
