// The communicator on a real serial port: a QSerialPort opened on a pseudo-terminal
// whose other end the test holds.

#include <kvdevice/communicator.h>

#include "testsupport.h"

#include <QSerialPort>
#include <QtTest>

using KvDevice::Communicator;
using TestSupport::PtyPair;
using TestSupport::sentenceBytes;

class tst_CommunicatorPty : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sentenceInPieces();
    void writeReachesTheBoard();
    void farEndClosesOnce();

private:
    PtyPair *pty = nullptr;
    QSerialPort *port = nullptr;
};

void tst_CommunicatorPty::init()
{
    pty = new PtyPair;
    if (!pty->isValid())
        SKIP_TEST("no pseudo-terminals on this machine");
    port = new QSerialPort(pty->path());
    QVERIFY2(port->open(QIODevice::ReadWrite), qPrintable(port->errorString()));
    QVERIFY(port->setBaudRate(115200));
}

void tst_CommunicatorPty::cleanup()
{
    delete port;
    port = nullptr;
    delete pty;
    pty = nullptr;
}

void tst_CommunicatorPty::sentenceInPieces()
{
    Communicator comm;
    comm.setIODevice(port);
    QSignalSpy spy(&comm, SIGNAL(readyRead(uint)));
    const QByteArray answer = sentenceBytes(QStringLiteral("PKVVER,HW2-6100028,1,2,3"));
    for (int at = 0; at < answer.size(); at += 12) {
        pty->write(answer.mid(at, 12));
        QTest::qWait(20);
    }
    QTRY_COMPARE(spy.count(), 1);
    QString payload;
    QVERIFY(comm.readPayload(payload, spy.first().first().toUInt()));
    QCOMPARE(payload.toLatin1(), answer);
}

void tst_CommunicatorPty::writeReachesTheBoard()
{
    Communicator comm;
    comm.setIODevice(port);
    QSignalSpy transferred(&comm, SIGNAL(transferred(uint)));
    QCOMPARE(comm.writePayload(QStringLiteral("$PKVVER*0c\r\n")), 1u);
    QCOMPARE(comm.writePayload(QStringLiteral("$PTKVWR,INF*71\r\n")), 2u);
    QTRY_COMPARE(transferred.count(), 2);
    QCOMPARE(transferred.at(0).first().toUInt(), 1u);
    QCOMPARE(transferred.at(1).first().toUInt(), 2u);
    QByteArray seen;
    for (int i = 0; i < 10 && seen.size() < 28; ++i)
        seen += pty->readAvailable(100);
    QCOMPARE(seen, QByteArray("$PKVVER*0c\r\n$PTKVWR,INF*71\r\n"));
}

void tst_CommunicatorPty::farEndClosesOnce()
{
    Communicator comm;
    comm.setIODevice(port);
    QSignalSpy failed(&comm, SIGNAL(readFailed()));
    pty->closeMaster();
    QTRY_COMPARE(failed.count(), 1);
    // Qt keeps reporting the error while the port is open; the communicator tells once.
    QTest::qWait(100);
    QCOMPARE(failed.count(), 1);

    // Closing the port ends the error storm: the process then idles.
    port->close();
    QTest::qWait(50);
    const double cpuBefore = TestSupport::processCpuMs();
    QTest::qWait(500);
    const double cpuUsed = TestSupport::processCpuMs() - cpuBefore;
    QVERIFY2(cpuUsed < 200, qPrintable(QStringLiteral("%1 ms of CPU in 500 ms").arg(cpuUsed)));
}

QTEST_GUILESS_MAIN(tst_CommunicatorPty)
#include "tst_communicator_pty.moc"
