// The communicator over a scripted device: ids, the write path and its reports, how
// received text becomes payloads, and how payloads are taken.

#include <kvdevice/communicator.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/sessioninit.h>

#include "testsupport.h"

#include <QtTest>

using KvDevice::Communicator;
using TestSupport::LogCapture;
using TestSupport::ScriptedDevice;
using TestSupport::sentence;
using TestSupport::sentenceBytes;

namespace {

using IdList = QList<uint>;
using Sizes = QList<qint64>;

QByteArray bytesOfSize(int size, char fill)
{
    QByteArray bytes(size - 2, fill);
    return bytes + "\r\n";
}

QList<uint> idsOf(const QSignalSpy &spy)
{
    QList<uint> ids;
    for (const QList<QVariant> &call : spy)
        ids << call.first().toUInt();
    return ids;
}

} // namespace

class tst_Communicator : public QObject
{
    Q_OBJECT

private slots:
    // write path
    void writeIds();
    void writeBytes();
    void writeWithoutDevice();
    void transferred_data();
    void transferred();
    void transferredWalkIgnoresWritesFromListeners();
    void failedWrites();
    void writeSession();
    void writeLogLines();

    // attaching
    void attachTwice();
    void detachLeavesDeviceOpen();
    void deviceDeletedFirst();

    // receive path
    void receive_data();
    void receive();
    void receiveLogLines();
    void inputBufferLimit();
    void inputBufferIsPerCommunicator();
    void rxBufferKeepsSix();
    void readPayloadById();
    void readPayloadAsSession();
    void notificationWithoutBytes();
    void deviceThatYieldsNothing();
    void listenerDeletesCommunicator();
    void listenerDetachesDevice();
    void memoryStaysFlat();
};

void tst_Communicator::writeIds()
{
    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    QCOMPARE(comm.writePayload(sentence(QStringLiteral("PKVVER"))), 1u);
    QCOMPARE(comm.writePayload(sentence(QStringLiteral("PKVVER"))), 2u);
    QCOMPARE(comm.writePayload(sentence(QStringLiteral("PKVVER"))), 3u);
}

void tst_Communicator::writeBytes()
{
    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    comm.writePayload(QStringLiteral("$abc,\u00e9\u20ac*00\r\n"));
    comm.writePayload(QStringLiteral("no frame added"));
    QCOMPARE(device.written, QByteArray("$abc,\xe9?*00\r\nno frame added"));
}

void tst_Communicator::writeWithoutDevice()
{
    Communicator comm;
    QCOMPARE(comm.writePayload(sentence(QStringLiteral("PKVVER"))), 0u);
    ScriptedDevice device;
    comm.setIODevice(&device);
    QCOMPARE(comm.writePayload(QString()), 0u); // nothing to write
    QCOMPARE(comm.writePayload(sentence(QStringLiteral("PKVVER"))), 1u);
}

void tst_Communicator::transferred_data()
{
    QTest::addColumn<Sizes>("writes");
    QTest::addColumn<Sizes>("notifications");
    QTest::addColumn<IdList>("expected");

    QTest::newRow("12+20, then 32") << Sizes{12, 20} << Sizes{32} << IdList{1, 2};
    QTest::newRow("12+20, then 12") << Sizes{12, 20} << Sizes{12} << IdList{1};
    QTest::newRow("less than the first") << Sizes{12, 20} << Sizes{5} << IdList{};
    QTest::newRow("zero bytes") << Sizes{12, 20} << Sizes{0} << IdList{};
    QTest::newRow("more than all") << Sizes{12, 20} << Sizes{100} << IdList{1, 2};
    QTest::newRow("a payload over two notifications") << Sizes{12, 20} << Sizes{5, 7} << IdList{1};
    QTest::newRow("parts carried across three") << Sizes{12, 20} << Sizes{10, 10, 12} << IdList{1, 2};
    QTest::newRow("each payload reported once") << Sizes{12} << Sizes{12, 12} << IdList{1};
    QTest::newRow("many small") << Sizes{10, 10, 10, 10} << Sizes{15, 15, 10} << IdList{1, 2, 3, 4};
}

void tst_Communicator::transferred()
{
    QFETCH(Sizes, writes);
    QFETCH(Sizes, notifications);
    QFETCH(IdList, expected);

    ScriptedDevice device;
    device.setAutoReport(false);
    Communicator comm;
    comm.setIODevice(&device);
    QSignalSpy spy(&comm, SIGNAL(transferred(uint)));
    QSignalSpy failed(&comm, SIGNAL(transferFailed(uint)));
    for (qint64 size : writes)
        comm.writePayload(QString::fromLatin1(bytesOfSize(int(size), 'w')));
    for (qint64 bytes : notifications)
        emit device.bytesWritten(bytes);
    QCOMPARE(idsOf(spy), expected);
    QCoreApplication::processEvents();
    QCOMPARE(failed.count(), 0);
}

void tst_Communicator::transferredWalkIgnoresWritesFromListeners()
{
    ScriptedDevice device;
    device.setAutoReport(false);
    Communicator comm;
    comm.setIODevice(&device);
    QSignalSpy spy(&comm, SIGNAL(transferred(uint)));
    connect(&comm, &Communicator::transferred, &comm, [&comm](uint id) {
        if (id == 1)
            comm.writePayload(QString::fromLatin1(bytesOfSize(8, 'x')));
    });
    comm.writePayload(QString::fromLatin1(bytesOfSize(12, 'w')));
    emit device.bytesWritten(40); // covers payload 1; the 28 left over predate payload 2
    QCOMPARE(idsOf(spy), IdList{1});
    emit device.bytesWritten(8);
    QCOMPARE(idsOf(spy), (IdList{1, 2}));
}

void tst_Communicator::failedWrites()
{
    ScriptedDevice device;
    device.setAutoReport(false);
    Communicator comm;
    comm.setIODevice(&device);
    QSignalSpy transferred(&comm, SIGNAL(transferred(uint)));
    QSignalSpy failed(&comm, SIGNAL(transferFailed(uint)));

    device.setWriteResult(-1);
    QCOMPARE(comm.writePayload(QString::fromLatin1(bytesOfSize(12, 'a'))), 1u);
    device.setWriteResult(5);
    QCOMPARE(comm.writePayload(QString::fromLatin1(bytesOfSize(12, 'b'))), 2u);
    device.setWriteResult(-2);
    QCOMPARE(comm.writePayload(QString::fromLatin1(bytesOfSize(20, 'c'))), 3u);
    QCOMPARE(device.written, QByteArray("bbbbb") + bytesOfSize(20, 'c'));

    QVERIFY(failed.isEmpty()); // reported from the event loop, after the caller has its id
    QTRY_COMPARE(idsOf(failed), (IdList{1, 2}));

    // The 5 bytes of the short write go out first; they count, but report no success.
    emit device.bytesWritten(24);
    QCOMPARE(idsOf(transferred), IdList{});
    emit device.bytesWritten(1);
    QCOMPARE(idsOf(transferred), IdList{3});
    QCOMPARE(idsOf(failed), (IdList{1, 2}));
}

void tst_Communicator::writeSession()
{
    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    LogCapture log;

    KvDevice::SessionInit query;
    query.clear();
    query.sentenceId = 1;
    QCOMPARE(comm.writePayload(&query), 0u); // no parser
    QVERIFY(device.written.isEmpty());
    QVERIFY(log.lines().isEmpty());

    Nmea::ParserInit parser;
    parser.init();
    comm.setParser(&parser);
    QCOMPARE(comm.writePayload(&query), 1u);
    QCOMPARE(device.written, QByteArray("$PKVVER*0c\r\n"));

    query.sentenceId = 3; // only parsed, never built
    log.clear();
    QCOMPARE(comm.writePayload(&query), 0u);
    QCOMPARE(log.lines().size(), 1);
    QCOMPARE(log.lines().first().type, QtCriticalMsg);
    QCOMPARE(log.lines().first().message, QStringLiteral("Build failed:  \"No formatter found\""));
    QCOMPARE(log.lines().first().category, QStringLiteral("kvdevice"));
    QCOMPARE(device.written, QByteArray("$PKVVER*0c\r\n"));
    QCOMPARE(comm.writePayload(sentence(QStringLiteral("PKVVER"))), 2u); // no id was used up
}

void tst_Communicator::writeLogLines()
{
    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    LogCapture log;
    comm.writePayload(QStringLiteral("  $PKVVER*0c\r\n"));
    const auto lines = log.lines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0).category, QStringLiteral("kvdevice.communication"));
    QCOMPARE(lines.at(1).category, QStringLiteral("kvdevice.rawcommunication"));
    for (const auto &line : lines) {
        QCOMPARE(line.type, QtDebugMsg);
        QCOMPARE(line.message, QStringLiteral("->  \"$PKVVER*0c\""));
        QVERIFY2(line.function.contains(QLatin1String("KvDevice::Communicator::writePayload(const QString")), qPrintable(line.function));
    }
}

void tst_Communicator::attachTwice()
{
    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    comm.setIODevice(&device);
    QCOMPARE(comm.ioDevice(), &device);
    QSignalSpy spy(&comm, SIGNAL(readyRead()));
    device.deliver(sentenceBytes(QStringLiteral("abc")));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(device.readCalls, 1);
}

void tst_Communicator::detachLeavesDeviceOpen()
{
    auto *device = new ScriptedDevice;
    QPointer<ScriptedDevice> alive(device);
    {
        Communicator first;
        first.setIODevice(device);
        QVERIFY(first.setIODevice(nullptr));
        QCOMPARE(first.ioDevice(), nullptr);
        QVERIFY(device->isOpen());
        first.setIODevice(device);
    } // destroyed while attached
    QVERIFY(alive);
    QVERIFY(device->isOpen());

    Communicator second;
    second.setIODevice(device);
    QSignalSpy spy(&second, SIGNAL(readyRead(uint)));
    device->deliver(sentenceBytes(QStringLiteral("abc")));
    QCOMPARE(idsOf(spy), IdList{2});
    delete device;
}

void tst_Communicator::deviceDeletedFirst()
{
    Communicator comm;
    {
        ScriptedDevice device;
        comm.setIODevice(&device);
    }
    QCOMPARE(comm.ioDevice(), nullptr);
    QCOMPARE(comm.writePayload(sentence(QStringLiteral("PKVVER"))), 0u);
}

void tst_Communicator::receive_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QStringList>("payloads");

    const QByteArray a = sentenceBytes(QStringLiteral("PKVVER,HW2-6100028,1,2,3"));
    const QByteArray b = sentenceBytes(QStringLiteral("PTKVRD,INF,N,D,B,R,V,H,A"));
    const QString as = QString::fromLatin1(a), bs = QString::fromLatin1(b);

    QTest::newRow("one sentence") << QByteArrayList{a} << QStringList{as};
    QTest::newRow("split over two notifications") << QByteArrayList{a.left(10), a.mid(10)} << QStringList{as};
    QTest::newRow("split inside the line end") << QByteArrayList{a.chopped(1), "\n"} << QStringList{as};
    QTest::newRow("two in one chunk") << QByteArrayList{a + b} << QStringList{as, bs};
    QTest::newRow("longer than one read") << QByteArrayList{a + b + a + b} << QStringList{as, bs, as, bs};
    QTest::newRow("junk first") << QByteArrayList{"noise" + a} << QStringList{as};
    QTest::newRow("junk with its own line end") << QByteArrayList{"AT\r\nOK\r\n" + a} << QStringList{as};
    QTest::newRow("line end before any start flag is dropped") << QByteArrayList{"\r\n", a} << QStringList{as};
    QTest::newRow("cut-off sentence, then a whole one") << QByteArrayList{a.left(12), b} << QStringList{bs};
    QTest::newRow("second $ inside") << QByteArrayList{"$xy$abc,1*7d\r\n"} << QStringList{QStringLiteral("$abc,1*7d\r\n")};
    QTest::newRow("! inside a $ payload") << QByteArrayList{"$abc,!x*00\r\n"} << QStringList{QStringLiteral("$abc,!x*00\r\n")};
    QTest::newRow("! payload with a later $") << QByteArrayList{"!ab$cd*00\r\n"} << QStringList{QStringLiteral("$cd*00\r\n")};
    QTest::newRow("! payload") << QByteArrayList{"junk!abc*00\r\n"} << QStringList{QStringLiteral("!abc*00\r\n")};
    QTest::newRow("NUL ends a chunk") << QByteArrayList{"$PKVVER,HW\0lost", "2*0d\r\n"}
                                      << QStringList{QStringLiteral("$PKVVER,HW2*0d\r\n")};
    QTest::newRow("UTF-8 decoded") << QByteArrayList{"$abc,\xc3\xa9*00\r\n"} << QStringList{QStringLiteral("$abc,\u00e9*00\r\n")};
    QTest::newRow("no line end yet") << QByteArrayList{a.chopped(2)} << QStringList{};
}

void tst_Communicator::receive()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(QStringList, payloads);

    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    QSignalSpy withId(&comm, SIGNAL(readyRead(uint)));
    QSignalSpy plain(&comm, SIGNAL(readyRead()));
    QList<uint> order; // readyRead(id) must come right before its readyRead()
    connect(&comm, QOverload<uint>::of(&Communicator::readyRead), this, [&order](uint id) { order << id; });
    connect(&comm, QOverload<>::of(&Communicator::readyRead), this, [&order] { order << 0; });

    for (const QByteArray &chunk : chunks)
        device.deliver(chunk);

    IdList ids, expectedOrder;
    for (int i = 0; i < payloads.size(); ++i) {
        ids << uint(i + 2);
        expectedOrder << uint(i + 2) << 0;
    }
    QCOMPARE(idsOf(withId), ids);
    QCOMPARE(plain.count(), payloads.size());
    QCOMPARE(order, expectedOrder);
    for (const QString &expected : payloads) {
        QString payload;
        QVERIFY(comm.readPayload(payload, 0));
        QCOMPARE(payload, expected);
    }
    QString none;
    QVERIFY(!comm.readPayload(none, 0));
}

void tst_Communicator::receiveLogLines()
{
    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    LogCapture log;
    device.deliver("xx$abc*60\r\n");
    QString payload;
    QVERIFY(comm.readPayload(payload, 0));
    QVERIFY(!comm.readPayload(payload, 0));

    const auto lines = log.lines();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(0).message, QStringLiteral("IO Data Ready"));
    QCOMPARE(lines.at(0).category, QStringLiteral("kvdevice"));
    QCOMPARE(lines.at(1).message, QStringLiteral(" <-  \"xx$abc*60\""));
    QCOMPARE(lines.at(1).category, QStringLiteral("kvdevice.rawcommunication"));
    QCOMPARE(lines.at(2).message, QStringLiteral(" <-  \"$abc*60\""));
    QCOMPARE(lines.at(2).category, QStringLiteral("kvdevice.communication"));
    QCOMPARE(lines.at(3).message, QStringLiteral("Rx buffer is empty"));
    for (const auto &line : lines)
        QCOMPARE(line.type, QtDebugMsg);
}

void tst_Communicator::inputBufferLimit()
{
    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    QSignalSpy spy(&comm, SIGNAL(readyRead(uint)));
    LogCapture log;

    // A start flag in the first 450 characters is cut away with them; text after stays.
    device.deliver("$AAA" + QByteArray(446, 'x') + QByteArray(57, 'y'));
    QCOMPARE(log.count(QStringLiteral("Payload input buffer too large - truncating ...")), 1);
    QCOMPARE(log.matching(QStringLiteral("Payload input buffer")).first().type, QtWarningMsg);
    device.deliver("\r\n");
    QCOMPARE(spy.count(), 0);

    // The text after the first 450 characters stays and joins what comes next.
    device.deliver(QByteArray(440, 'z') + "$KEPT");
    device.deliver(",1\r\n");
    QCOMPARE(spy.count(), 1);
    QString payload;
    QVERIFY(comm.readPayload(payload, 0));
    QCOMPARE(payload, QStringLiteral("$KEPT,1\r\n"));
    QCOMPARE(log.count(QStringLiteral("Payload input buffer too large")), 2); // 57 + 2 + 445 > 500
}

void tst_Communicator::inputBufferIsPerCommunicator()
{
    ScriptedDevice deviceA, deviceB;
    Communicator a, b;
    a.setIODevice(&deviceA);
    b.setIODevice(&deviceB);
    QSignalSpy spyA(&a, SIGNAL(readyRead(uint)));
    QSignalSpy spyB(&b, SIGNAL(readyRead(uint)));
    deviceA.deliver("$PKV");
    deviceB.deliver("VER*0c\r\n");
    QCOMPARE(spyB.count(), 0);
    deviceA.deliver("VER*0c\r\n");
    QCOMPARE(spyA.count(), 1);

    // Another device attached to the same communicator starts from clean text too.
    ScriptedDevice deviceC;
    deviceA.deliver("$PKV");
    a.setIODevice(&deviceC);
    deviceC.deliver("VER*0c\r\n");
    QCOMPARE(spyA.count(), 1);
}

void tst_Communicator::rxBufferKeepsSix()
{
    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    for (int i = 1; i <= 7; ++i)
        device.deliver(sentenceBytes(QStringLiteral("abc,%1").arg(i)));

    LogCapture log;
    QString payload;
    QVERIFY(!comm.readPayload(payload, 2)); // the first stored was dropped by the seventh
    QCOMPARE(log.count(QStringLiteral("Requested payload not found")), 1);
    QCOMPARE(log.lines().first().type, QtWarningMsg);
    for (int i = 2; i <= 7; ++i) {
        QVERIFY(comm.readPayload(payload, 0));
        QCOMPARE(payload, sentence(QStringLiteral("abc,%1").arg(i)));
    }
    QVERIFY(!comm.readPayload(payload, 0));
}

void tst_Communicator::readPayloadById()
{
    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    device.deliver(sentenceBytes(QStringLiteral("abc,1")) + sentenceBytes(QStringLiteral("abc,2")) +
                   sentenceBytes(QStringLiteral("abc,3")));
    QString payload = QStringLiteral("unchanged");
    QVERIFY(!comm.readPayload(payload, 9));
    QCOMPARE(payload, QStringLiteral("unchanged"));
    QVERIFY(comm.readPayload(payload, 3));
    QCOMPARE(payload, sentence(QStringLiteral("abc,2")));
    QVERIFY(!comm.readPayload(payload, 3)); // handed out once
    QVERIFY(comm.readPayload(payload, 0));
    QCOMPARE(payload, sentence(QStringLiteral("abc,1")));
    QVERIFY(comm.readPayload(payload, 0));
    QCOMPARE(payload, sentence(QStringLiteral("abc,3")));
}

void tst_Communicator::readPayloadAsSession()
{
    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    LogCapture log;
    KvDevice::SessionInit session;

    device.deliver("$PKVVER,HW2*0d\r\n");
    QVERIFY(comm.readPayload(&session, 0)); // taken, though nothing could parse it
    QCOMPARE(log.count(QStringLiteral("No parser attached")), 1);
    QCOMPARE(log.matching(QStringLiteral("No parser attached")).first().type, QtCriticalMsg);
    QString left;
    QVERIFY(!comm.readPayload(left, 0));

    Nmea::ParserInit parser;
    parser.init();
    comm.setParser(&parser);
    device.deliver("$PKVVER,HW2*0e\r\n$PKVVER,HW2,1,2,3*11\r\n");
    QVERIFY(comm.readPayload(&session, 0));
    const auto failures = log.matching(QStringLiteral("Parse failed: "));
    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures.first().message, QStringLiteral("Parse failed:  \"CRC calculation failed\""));
    QCOMPARE(failures.first().type, QtCriticalMsg);

    session.clear();
    QVERIFY(comm.readPayload(&session, 0));
    QCOMPARE(session.sentenceId, 1);
    QCOMPARE(session.parameters.value(QStringLiteral("v3")).toInt(), 3);
    QVERIFY(!comm.readPayload(&session, 0));
}

void tst_Communicator::notificationWithoutBytes()
{
    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    QSignalSpy spy(&comm, SIGNAL(readyRead()));
    LogCapture log;
    emit device.readyRead();
    QCOMPARE(device.readCalls, 0);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(log.lines().size(), 1);
    QCOMPARE(log.lines().first().message, QStringLiteral("IO Data Ready"));
}

void tst_Communicator::deviceThatYieldsNothing()
{
    ScriptedDevice device;
    device.setStuck(true);
    Communicator comm;
    comm.setIODevice(&device);
    emit device.readyRead(); // would loop for ever if read kept trying
    QCOMPARE(device.readCalls, 1);
}

void tst_Communicator::listenerDeletesCommunicator()
{
    ScriptedDevice device;
    auto *direct = new Communicator;
    direct->setIODevice(&device);
    connect(direct, QOverload<uint>::of(&Communicator::readyRead), direct, [direct] { delete direct; });
    device.deliver(sentenceBytes(QStringLiteral("abc,1")) + sentenceBytes(QStringLiteral("abc,2")));

    auto *deferred = new Communicator;
    QPointer<Communicator> watch(deferred);
    deferred->setIODevice(&device);
    QSignalSpy spy(deferred, SIGNAL(readyRead()));
    connect(deferred, QOverload<>::of(&Communicator::readyRead), deferred, &QObject::deleteLater);
    device.deliver(sentenceBytes(QStringLiteral("abc,1")) + sentenceBytes(QStringLiteral("abc,2")));
    QCOMPARE(spy.count(), 2);
    QTRY_VERIFY(!watch);
}

void tst_Communicator::listenerDetachesDevice()
{
    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    QSignalSpy spy(&comm, SIGNAL(readyRead()));
    connect(&comm, QOverload<>::of(&Communicator::readyRead), this, [&comm] { comm.setIODevice(nullptr); });
    device.deliver(sentenceBytes(QStringLiteral("abc,1")) + sentenceBytes(QStringLiteral("abc,2")));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(device.readCalls, 1);
}

void tst_Communicator::memoryStaysFlat()
{
    ScriptedDevice device;
    Communicator comm;
    comm.setIODevice(&device);
    Nmea::ParserInit parser;
    parser.init();
    comm.setParser(&parser);
    int transferred = 0; // a spy would itself grow with the count
    connect(&comm, &Communicator::transferred, this, [&transferred] { ++transferred; });
    const QByteArray answer = sentenceBytes(QStringLiteral("PKVVER,HW2-6100028,1,2,3"));
    KvDevice::SessionInit session;

    auto exchange = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            comm.writePayload(QStringLiteral("$PKVVER*0c\r\n"));
            device.deliver(answer); // nobody takes these: the Rx buffer must not grow
            if (i % 1000 == 0)
                QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
    };
    exchange(20000);
    transferred = 0;
    const long before = TestSupport::memoryInUseKiB();
    exchange(200000);
    const long grown = TestSupport::memoryInUseKiB() - before;
    QCOMPARE(transferred, 200000);
    QVERIFY2(grown < 4096, qPrintable(QStringLiteral("memory in use grew by %1 KiB").arg(grown)));
    QVERIFY(comm.readPayload(&session, 0));
    QCOMPARE(session.parameters.value(QStringLiteral("hwversion")).toString(), QStringLiteral("HW2-6100028"));
}

QTEST_GUILESS_MAIN(tst_Communicator)
#include "tst_communicator.moc"
