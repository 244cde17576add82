// SPDX-License-Identifier: MIT
// The communicator over a scripted device: ids, the write path and its reports, how
// received text becomes payloads, how payloads are taken, and listeners that pull the
// rug away. (On real ports it is tested end to end with the initializer.)

#include <kvdevice/communicator.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/sessioninit.h>

#include "testsupport.h"

#include <QSerialPort>
#include <QtTest>

using KvDevice::Communicator;
using namespace TestSupport;

namespace {

using IdList = QList<uint>;
using Sizes = QList<qint64>;

QString payloadOfSize(int size, char fill)
{
    return QString(size - 2, QLatin1Char(fill)) + QStringLiteral("\r\n");
}

QList<uint> idsOf(const QSignalSpy &spy)
{
    QList<uint> ids;
    for (const QList<QVariant> &call : spy)
        ids << call.first().toUInt();
    return ids;
}

// A communicator on a scripted device.
struct Wired
{
    Wired() { comm.setIODevice(&device); }
    // Takes every stored payload, oldest first.
    QStringList drain()
    {
        QStringList payloads;
        QString payload;
        while (comm.readPayload(payload, 0))
            payloads << payload;
        return payloads;
    }
    ScriptedDevice device;
    Communicator comm;
};

} // namespace

class tst_Communicator : public QObject
{
    Q_OBJECT

private slots:
    void write();
    void transferred_data();
    void transferred()
    {
        QFETCH(QStringList, writes); // "SIZE" or "SIZE:WHAT THE DEVICE TAKES" (-1: refused)
        QFETCH(Sizes, notifications);
        QFETCH(IdList, expected);
        QFETCH(IdList, expectedFailed);

        Wired w;
        w.device.autoReport = false;
        QSignalSpy spy(&w.comm, SIGNAL(transferred(uint)));
        QSignalSpy failed(&w.comm, SIGNAL(transferFailed(uint)));
        const bool listener = writes.removeAll(QStringLiteral("listener")) > 0; // writes once, on the report of 1
        connect(&w.comm, &Communicator::transferred, this, [&](uint id) {
            if (id == 1 && listener)
                w.comm.writePayload(payloadOfSize(8, 'x'));
        });
        for (const QString &write : writes) {
            w.device.writeResult = write.contains(QLatin1Char(':')) ? write.section(QLatin1Char(':'), 1).toInt() : -2;
            w.comm.writePayload(payloadOfSize(write.section(QLatin1Char(':'), 0, 0).toInt(), 'w'));
        }
        QVERIFY(failed.isEmpty()); // reported from the event loop, after the caller has its id
        for (qint64 bytes : notifications)
            emit w.device.bytesWritten(bytes);
        QCOMPARE(idsOf(spy), expected);
        QCoreApplication::processEvents();
        QCOMPARE(idsOf(failed), expectedFailed);
    }
    void attach();
    void receive_data();
    void receive();
    void readPayload();
    void quietByDefault()
    {
        // Without logging rules a host sees the warnings, not the debug lines of each read.
        Wired w;
        LogCapture log{QString()};
        w.device.deliver(QByteArray(501, 'x'));
        QCOMPARE(log.messages(), QStringList{QStringLiteral("Payload input buffer too large - truncating ...")});
    }
    void readFailed_data()
    {
        QTest::addColumn<QList<int>>("errors");
        QTest::addColumn<int>("reports");
        QTest::newRow("read error, again and again") << QList<int>{QSerialPort::ReadError, QSerialPort::ReadError} << 1;
        QTest::newRow("resource error") << QList<int>{QSerialPort::ResourceError} << 1;
        QTest::newRow("other errors") << QList<int>{QSerialPort::NoError, QSerialPort::WriteError, QSerialPort::TimeoutError} << 0;
    }
    void readFailed()
    {
        // Qt reports a failed port again and again until it is closed: told once, from the event loop.
        QFETCH(QList<int>, errors);
        QFETCH(int, reports);
        QSerialPort port;
        Communicator comm;
        comm.setIODevice(&port);
        QSignalSpy spy(&comm, SIGNAL(readFailed()));
        for (const int error : errors)
            emit port.errorOccurred(QSerialPort::SerialPortError(error));
        QVERIFY(spy.isEmpty());
        QCoreApplication::processEvents();
        QCOMPARE(spy.count(), reports);
    }
    void listenerPullsTheRug_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("delete from readyRead(uint)") << "delete";
        QTest::newRow("deleteLater from readyRead(uint)") << "deleteLater";
        QTest::newRow("detach from readyRead(uint)") << "detach";
    }
    void listenerPullsTheRug()
    {
        QFETCH(QString, action);
        ScriptedDevice device;
        QPointer<Communicator> comm = new Communicator;
        comm->setIODevice(&device);
        QSignalSpy plain(comm, SIGNAL(readyRead()));
        connect(comm, QOverload<uint>::of(&Communicator::readyRead), this, [&] {
            if (action == QLatin1String("delete"))
                delete comm;
            else if (action == QLatin1String("detach"))
                comm->setIODevice(nullptr);
            else
                comm->deleteLater();
        });
        device.deliver(sentenceBytes(QStringLiteral("abc,1")) + sentenceBytes(QStringLiteral("abc,2")));
        QCOMPARE(plain.count(), action == QLatin1String("deleteLater") ? 2 : action == QLatin1String("detach") ? 1 : 0);
        QCOMPARE(device.readCalls, 1);
        QTRY_COMPARE(comm.isNull(), action != QLatin1String("detach"));
        delete comm;
    }
};

void tst_Communicator::write()
{
    Communicator comm;
    QCOMPARE(comm.writePayload(sentence(QStringLiteral("PKVVER"))), 0u); // no device
    {
        ScriptedDevice device;
        QVERIFY(comm.setIODevice(&device));
        QCOMPARE(comm.ioDevice(), &device);
        LogCapture log;
        KvDevice::SessionInit query;
        query.sentenceId = 1;
        QCOMPARE(comm.writePayload(&query), 0u); // no parser: silently nothing
        QVERIFY(log.lines.isEmpty());
        QCOMPARE(comm.writePayload(QStringLiteral("  $abc,\u00e9\u20ac*00\r\n")), 1u);
        QCOMPARE(comm.writePayload(QString()), 0u); // nothing to write
        Nmea::ParserInit parser;
        parser.init();
        QVERIFY(comm.setParser(&parser));
        QCOMPARE(comm.writePayload(&query), 2u);
        query.sentenceId = 3; // only parsed, never built: no id used up
        QCOMPARE(comm.writePayload(&query), 0u);
        QCOMPARE(comm.writePayload(QStringLiteral("no frame added")), 3u);
        QCOMPARE(device.written, QByteArray("  $abc,\xe9?*00\r\n$PKVVER*0c\r\nno frame added"));
        // Each payload in both categories, without blanks and line end; the failure as an error.
        QCOMPARE(log.lines.at(1).message, QStringLiteral("->  \"$abc,\u00e9\u20ac*00\""));
        QCOMPARE(log.lines.at(0).category + log.lines.at(1).category, QStringLiteral("kvdevice.communicationkvdevice.rawcommunication"));
        QCOMPARE(log.matching(QStringLiteral("Build failed:  \"No formatter found\"")).value(0).type, QtCriticalMsg);
    }
    QCOMPARE(comm.ioDevice(), nullptr); // the device was deleted first: forgotten
    QCOMPARE(comm.writePayload(sentence(QStringLiteral("PKVVER"))), 0u);
}

void tst_Communicator::transferred_data()
{
    QTest::addColumn<QStringList>("writes");
    QTest::addColumn<Sizes>("notifications");
    QTest::addColumn<IdList>("expected");
    QTest::addColumn<IdList>("expectedFailed");

    const QStringList two{QStringLiteral("12"), QStringLiteral("20")};
    QTest::newRow("one notification for two") << two << Sizes{32} << IdList{1, 2} << IdList{};
    QTest::newRow("less than the first, zero bytes") << two << Sizes{5, 0} << IdList{} << IdList{};
    QTest::newRow("a payload over two notifications") << two << Sizes{5, 7} << IdList{1} << IdList{};
    QTest::newRow("parts carried across three") << two << Sizes{10, 10, 12} << IdList{1, 2} << IdList{};
    QTest::newRow("each payload reported once") << QStringList{QStringLiteral("12")} << Sizes{12, 12} << IdList{1} << IdList{};
    QTest::newRow("many small") << QStringLiteral("10,10,10,10").split(QLatin1Char(',')) << Sizes{15, 15, 10} << IdList{1, 2, 3, 4} << IdList{};
    QTest::newRow("a listener's write is not covered by bytes reported before it") << QStringList{QStringLiteral("listener"), QStringLiteral("12")} << Sizes{40} << IdList{1} << IdList{};
    // A refused write is not kept; a short one's bytes count, but report no success.
    QTest::newRow("refused and short writes") << QStringList{QStringLiteral("12:-1"), QStringLiteral("12:5"), QStringLiteral("20")} << Sizes{24, 1} << IdList{3} << IdList{1, 2};
}

void tst_Communicator::attach()
{
    // Attached twice, connected once; text left by one device is never joined to another's.
    Wired w;
    QSignalSpy spy(&w.comm, SIGNAL(readyRead(uint)));
    w.comm.setIODevice(&w.device);
    w.device.deliver("$PKV");
    ScriptedDevice other;
    w.comm.setIODevice(&other);
    other.deliver("VER*0c\r\n" + sentenceBytes(QStringLiteral("abc")));
    QCOMPARE(w.device.readCalls, 1);
    QCOMPARE(idsOf(spy), IdList{2});
    auto *second = new Communicator;
    second->setIODevice(&other);
    delete second; // destroyed while attached: the device stays open
    QVERIFY(other.isOpen());
}

void tst_Communicator::receive_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QStringList>("payloads");
    QTest::addColumn<int>("truncations");

    const QByteArray a = sentenceBytes(QStringLiteral("PKVVER,HW2-6100028,1,2,3"));
    const QByteArray b = sentenceBytes(QStringLiteral("PTKVRD,INF,N,D,B,R,V,H,A"));
    const QString as = QString::fromLatin1(a), bs = QString::fromLatin1(b);
    const QByteArray x450(450, 'x');

    QTest::newRow("one sentence") << QByteArrayList{a} << QStringList{as} << 0;
    QTest::newRow("split over two notifications") << QByteArrayList{a.left(10), a.mid(10)} << QStringList{as} << 0;
    QTest::newRow("split inside the line end") << QByteArrayList{a.chopped(1), "\n"} << QStringList{as} << 0;
    QTest::newRow("several in one chunk, longer than one read") << QByteArrayList{a + b + a + b} << QStringList{as, bs, as, bs} << 0;
    QTest::newRow("line ends without a start flag are dropped") << QByteArrayList{"\r\n", "AT\r\nOK\r\n" + a} << QStringList{as} << 0;
    QTest::newRow("cut-off sentence, then a whole one") << QByteArrayList{a.left(12), b} << QStringList{bs} << 0;
    QTest::newRow("second $ inside") << QByteArrayList{"$xy$abc,1*7d\r\n"} << QStringList{QStringLiteral("$abc,1*7d\r\n")} << 0;
    QTest::newRow("! inside $, $ inside !, ! after junk") << QByteArrayList{"$abc,!x*00\r\n!ab$cd*00\r\njunk!abc*00\r\n"} << QStringList{QStringLiteral("$abc,!x*00\r\n"), QStringLiteral("$cd*00\r\n"), QStringLiteral("!abc*00\r\n")} << 0;
    QTest::newRow("NUL ends a chunk") << QByteArrayList{QByteArray("$PKVVER,HW\0lost", 15), "2*0d\r\n"} << QStringList{QStringLiteral("$PKVVER,HW2*0d\r\n")} << 0;
    QTest::newRow("UTF-8 decoded") << QByteArrayList{"$abc,\xc3\xa9*00\r\n"} << QStringList{QStringLiteral("$abc,\u00e9*00\r\n")} << 0;
    QTest::newRow("no line end yet") << QByteArrayList{a.chopped(2)} << QStringList{} << 0;
    // Over 500 characters without a payload: the first 450 go, start flags and all.
    QTest::newRow("overfull: flag in the part cut") << QByteArrayList{"$AAA" + QByteArray(446, 'x') + QByteArray(57, 'y'), "\r\n"} << QStringList{} << 1;
    QTest::newRow("overfull: flag right after the cut") << QByteArrayList{x450 + "$" + QByteArray(149, 'y'), "\r\n"} << QStringList{QStringLiteral("$") + QString(149, QLatin1Char('y')) + QStringLiteral("\r\n")} << 1;
    QTest::newRow("overfull: the rest joins what follows") << QByteArrayList{x450 + QByteArray(57, 'y'), "\r\n" + QByteArray(440, 'z') + "$KEPT", ",1\r\n"} << QStringList{QStringLiteral("$KEPT,1\r\n")} << 2;
}

void tst_Communicator::receive()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(QStringList, payloads);
    QFETCH(int, truncations);

    Wired w;
    LogCapture log;
    QList<uint> order; // readyRead(id) must come right before its readyRead()
    connect(&w.comm, QOverload<uint>::of(&Communicator::readyRead), this, [&order](uint id) { order << id; });
    connect(&w.comm, QOverload<>::of(&Communicator::readyRead), this, [&order] { order << 0; });
    for (const QByteArray &chunk : chunks)
        w.device.deliver(chunk);
    IdList expectedOrder;
    for (int i = 0; i < payloads.size(); ++i)
        expectedOrder << uint(i + 2) << 0;
    QCOMPARE(order, expectedOrder);
    QCOMPARE(w.drain(), payloads);
    const auto cut = log.matching(QStringLiteral("Payload input buffer too large - truncating ..."));
    QCOMPARE(cut.size(), truncations);
    QCOMPARE(cut.value(0, {QtWarningMsg, {}, {}}).type, QtWarningMsg);
}

void tst_Communicator::readPayload()
{
    Wired w;
    LogCapture log;
    emit w.device.readyRead(); // a notification without bytes reads nothing
    QCOMPARE(w.device.readCalls, 0);
    w.device.stuck = true; // a device that claims bytes but yields none is read once
    emit w.device.readyRead();
    QCOMPARE(w.device.readCalls, 1);
    w.device.stuck = false;
    w.device.deliver("xx$abc*60\r\n");
    QCOMPARE(log.messages().mid(2), (QStringList{QStringLiteral("IO Data Ready"), QStringLiteral(" <-  \"xx$abc*60\""), QStringLiteral(" <-  \"$abc*60\"")}));
    QCOMPARE(log.lines.at(3).category + log.lines.at(4).category, QStringLiteral("kvdevice.rawcommunicationkvdevice.communication"));
    for (int i = 2; i <= 8; ++i)
        w.device.deliver(sentenceBytes(QStringLiteral("abc,%1").arg(i)));
    // Six are kept: the seventh and eighth dropped the oldest.
    QString payload = QStringLiteral("unchanged");
    QVERIFY(!w.comm.readPayload(payload, 3));
    QCOMPARE(payload, QStringLiteral("unchanged"));
    QCOMPARE(log.matching(QStringLiteral("Requested payload not found")).value(0).type, QtWarningMsg);
    QVERIFY(w.comm.readPayload(payload, 6)); // by id
    QCOMPARE(payload, sentence(QStringLiteral("abc,5")));
    QVERIFY(!w.comm.readPayload(payload, 6)); // handed out once
    QCOMPARE(w.drain(), (QStringList{sentence(QStringLiteral("abc,3")), sentence(QStringLiteral("abc,4")), sentence(QStringLiteral("abc,6")), sentence(QStringLiteral("abc,7")), sentence(QStringLiteral("abc,8"))}));
    QCOMPARE(log.count(QStringLiteral("Rx buffer is empty")), 1);

    // As a session: taken even when it cannot be parsed.
    KvDevice::SessionInit session;
    w.device.deliver("$PKVVER,HW2*0d\r\n");
    QVERIFY(w.comm.readPayload(&session, 0));
    QCOMPARE(log.matching(QStringLiteral("No parser attached")).value(0).type, QtCriticalMsg);
    Nmea::ParserInit parser;
    parser.init();
    w.comm.setParser(&parser);
    w.device.deliver("$PKVVER,HW2*0e\r\n$PKVVER,HW2,1,2,3*11\r\n");
    QVERIFY(w.comm.readPayload(&session, 0) && w.comm.readPayload(&session, 0) && !w.comm.readPayload(&session, 0));
    QCOMPARE(log.matching(QStringLiteral("Parse failed:  \"CRC calculation failed\"")).value(0).type, QtCriticalMsg);
    QCOMPARE(session.parameters.value(QStringLiteral("v3")), QVariant(3));
}

QTEST_GUILESS_MAIN(tst_Communicator)
#include "tst_communicator.moc"
