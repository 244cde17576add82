// SPDX-License-Identifier: MIT
// Remote ports: names taken apart, and the device against servers: ser2net 4.3 serving
// boards played by kvboard-sim on ptys through its telnet(rfc2217) and raw accepters,
// started by the tests on 127.0.0.1; small servers of the test's own for what ser2net does
// not do. Requests go through a Communicator as on a serial port.

#include <kvdevice/communicator.h>
#include <kvdevice/remoteport.h>
#include <kvdevice/request.h>

#include "rack.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

using namespace KvDevice;
using namespace TestSupport;

namespace {

// A RemotePort with a communicator and what the port said.
struct Client
{
    explicit Client(const QString &url)
        : port(url)
        , connected(&port, &RemotePort::connected)
        , failed(&port, &RemotePort::failed)
    {
        comm.setIODevice(&port);
        port.open();
    }
    bool reopen()
    {
        connected.clear();
        failed.clear();
        return port.open();
    }
    // Waits for connected() or failed(); true when the port is ready.
    bool settle()
    {
        return QTest::qWaitFor([this] { return !connected.isEmpty() || !failed.isEmpty(); }, 10000) && port.isConnected();
    }
    bool fails()
    {
        return QTest::qWaitFor([this] { return !failed.isEmpty(); }, 10000);
    }
    QString failure() const
    {
        return failed.isEmpty() ? QStringLiteral("none")
                                : QString::fromLatin1(QMetaEnum::fromType<RemotePort::Failure>().valueToKey(failed.last().at(0).toInt())) + QStringLiteral(": ")
                                      + failed.last().at(1).toString();
    }
    Request::Result ask()
    {
        Request *const request = Request::send(&comm, InitQuery::version());
        QSignalSpy finished(request, &Request::finished);
        finished.wait(5000);
        return finished.isEmpty() ? Request::Result() : finished.first().first().value<Request::Result>();
    }

    RemotePort port;
    Communicator comm;
    QSignalSpy connected;
    QSignalSpy failed;
};

} // namespace

class tst_RemotePort : public QObject
{
    Q_OBJECT

private slots:
    void names_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parts"); // remote: "host port rfc2217|socket timeout boardKey"; local: "local"; bad: "error: ..."
        QTest::newRow("a Linux port") << "/dev/ttyUSB0" << "local";
        QTest::newRow("a Windows port") << "COM3" << "local";
        QTest::newRow("rfc2217") << "rfc2217://127.0.0.1:7000" << "127.0.0.1 7000 rfc2217 3000 remote:127.0.0.1:7000";
        QTest::newRow("socket, a host name, a time-out") << "socket://rack-3.lab:4001?timeout=500" << "rack-3.lab 4001 socket 500 remote:rack-3.lab:4001";
        QTest::newRow("IPv6, scheme in capitals, a slash") << "RFC2217://[::1]:7000/" << "::1 7000 rfc2217 3000 remote:[::1]:7000";
        QTest::newRow("IPv6 without brackets") << "rfc2217://::1:7000" << "error: an IPv6 address goes in brackets";
        QTest::newRow("unclosed bracket") << "rfc2217://[::1:7000" << "error: the IPv6 address has no closing \"]\"";
        QTest::newRow("IPv4 in brackets") << "rfc2217://[10.0.0.1]:7000" << "error: \"10.0.0.1\" is no IPv6 address";
        QTest::newRow("IPv6 of nine groups") << "rfc2217://[1:2:3:4:5:6:7:8:9]:7000" << "error: \"1:2:3:4:5:6:7:8:9\" is no IPv6 address";
        QTest::newRow("no port") << "rfc2217://rack" << "error: no TCP port: write rfc2217://HOST:PORT";
        QTest::newRow("port 0") << "socket://rack:0" << "error: the TCP port \"0\" is not a number from 1 to 65535";
        QTest::newRow("port too large") << "socket://rack:65536" << "error: the TCP port \"65536\"";
        QTest::newRow("no host") << "socket://:7000" << "error: no host";
        QTest::newRow("bad host") << "socket://ra ck:7000" << "error: \"ra ck\" is no host name or address";
        const QString longest = QStringLiteral("%1.%1.%1.%2").arg(QString(63, QLatin1Char('a')), QString(61, QLatin1Char('b')));
        QTest::newRow("a host name of 253 characters") << "socket://" + longest + ":7" << longest + " 7 socket 3000 remote:" + longest + ":7";
        QTest::newRow("a host name of 254 characters") << "socket://b" + longest + ":7" << "error: \"b" + longest + "\" is no host name or address";
        QTest::newRow("a path") << "socket://rack:7000/ttyUSB0" << "error: unexpected \"/ttyUSB0\" after the port";
        QTest::newRow("unknown parameter") << "socket://rack:7000?baud=9600" << "error: unknown parameter \"baud\" (known: timeout)";
        QTest::newRow("bad time-out") << "socket://rack:7000?timeout=0" << "error: timeout=0: give milliseconds";
        QTest::newRow("unknown scheme") << "telnet://rack:7000" << "error: unknown scheme \"telnet\"";
    }
    void names()
    {
        QFETCH(QString, name);
        QFETCH(QString, parts);
        const PortInfo info = PortInfo::forName(name);
        QCOMPARE(info.name, name);
        QCOMPARE(RemotePort::isRemote(name), parts != QLatin1String("local"));
        QCOMPARE(info.isRemote(), parts != QLatin1String("local"));
        if (parts == QLatin1String("local"))
            return;
        RemotePort port(name);
        if (parts.startsWith(QLatin1String("error: "))) {
            QVERIFY(!port.open());
            QVERIFY(!port.isOpen());
            QVERIFY2(port.errorString().startsWith(name + QStringLiteral(": ") + parts.mid(7)), qPrintable(port.errorString()));
            QCOMPARE(info.tcpPort, quint16(0));
            return;
        }
        const QString got = QStringLiteral("%1 %2 %3 %4").arg(port.host()).arg(port.tcpPort()).arg(port.isRfc2217() ? "rfc2217" : "socket").arg(port.connectTimeout());
        QCOMPARE(got, parts.section(QLatin1Char(' '), 0, 3));
        QCOMPARE(QStringLiteral("%1 %2 %3 %4 %5").arg(info.host).arg(info.tcpPort).arg(info.protocol).arg(port.connectTimeout()).arg(info.boardKey()), parts);
    }

    // Servers of the test's own: one that stays silent, one that answers and hangs up.
    void failures_data()
    {
        QTest::addColumn<QString>("url");     // PORT: a listening server's port; FREE: nothing listens
        QTest::addColumn<QByteArray>("words"); // what the server says before hanging up; "-" silent
        QTest::addColumn<QString>("failure");
        QTest::newRow("nothing listens") << "socket://127.0.0.1:FREE" << QByteArray("-") << "Refused: nothing listens on 127.0.0.1:";
        QTest::newRow("no settings taken") << "rfc2217://127.0.0.1:PORT?timeout=300" << QByteArray("-")
                                           << "TimedOut: the server did not take the serial port settings within 300 ms";
        QTest::newRow("turned away, raw") << "socket://127.0.0.1:PORT" << QByteArray("Sorry\r\n") << "Unavailable: the server closed the connection at once: \"Sorry\"";
        QTest::newRow("turned away, telnet") << "rfc2217://127.0.0.1:PORT" << QByteArray("\xff\xfd\x2c No more \xff\xff\r\n")
                                             << "Unavailable: the server closed the connection at once: \"No more\"";
        QTest::newRow("turned away without a word") << "socket://127.0.0.1:PORT" << QByteArray() << "Unavailable: the server closed the connection at once, without a word";
    }
    void failures()
    {
        QFETCH(QString, url);
        QFETCH(QByteArray, words);
        QFETCH(QString, failure);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, &server, [&] {
            QTcpSocket *const socket = server.nextPendingConnection(); // the server's child
            if (words != "-") {
                socket->write(words);
                socket->disconnectFromHost();
            }
        });
        url.replace(QLatin1String("FREE"), QString::number(freePort())).replace(QLatin1String("PORT"), QString::number(server.serverPort()));
        Client client(url);
        QVERIFY(client.fails());
        QVERIFY2(client.failure().startsWith(failure), qPrintable(client.failure()));
        QCOMPARE(client.connected.size(), url.startsWith(QLatin1String("socket")) && words != "-" ? 1 : 0);
        QVERIFY(!client.port.isOpen());
        QCOMPARE(client.failed.size(), 1);
    }

    // The server resets the connection while the port writes on: one failure, and Qt is
    // not given the writes that follow (it warned of each, the socket being closed).
    void resetWhileWriting()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        Client client(QStringLiteral("socket://127.0.0.1:%1").arg(server.serverPort()));
        QVERIFY2(client.settle(), qPrintable(client.failure()));
        QTRY_VERIFY(server.hasPendingConnections());
        server.nextPendingConnection()->abort();
        LogCapture log{QString()};
        for (int i = 0; i < 20; ++i)
            client.port.write("$PKVX,1*08\r\n");
        QVERIFY(client.fails());
        QCOMPARE(log.count(QStringLiteral("QIODevice::write")), 0);
        QCOMPARE(client.failed.size(), 1);
    }

    // A reader that lets 64 KiB lie unread holds the rest back in the connection; once it
    // reads, the rest comes, down to a last single byte, with nothing more sent.
    void readerCatchesUp()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        RemotePort port(QStringLiteral("socket://127.0.0.1:%1").arg(server.serverPort()));
        QSignalSpy connected(&port, &RemotePort::connected);
        QVERIFY(port.open());
        QVERIFY(connected.wait(5000));
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *board = server.nextPendingConnection();
        board->write(QByteArray(64 * 1024, 'a'));
        QTRY_COMPARE(port.bytesAvailable(), qint64(64 * 1024));
        board->write("b");
        QTest::qWait(100); // in the connection, past what the port holds
        QByteArray got = port.readAll();
        QTRY_COMPARE_WITH_TIMEOUT(port.bytesAvailable(), qint64(1), 2000);
        got += port.readAll();
        QVERIFY(got == QByteArray(64 * 1024, 'a') + 'b');
    }

    // A board's conversation through ser2net: requests through the communicator, then
    // every byte value both ways through the device.
    void exchange_data()
    {
        QTest::addColumn<QString>("serving");
        QTest::newRow("rfc2217") << "rfc2217";
        QTest::newRow("socket") << "socket";
        QTest::newRow("rfc2217 with a banner") << "rfc2217,banner";
    }
    void exchange()
    {
        QFETCH(QString, serving);
        KVDEVICE_REQUIRE_SER2NET();
        Rack rack(serving, QStringLiteral("board6100028"));
        Board &board = *rack.board;
        QVERIFY(rack.start());
        Client client(rack.url);
        QSignalSpy transferred(&client.comm, &Communicator::transferred);
        QVERIFY2(client.settle(), qPrintable(client.failure()));
        for (int i = 0; i < 2; ++i) {
            const Request::Result result = client.ask();
            QCOMPARE(result.status, Request::Answered);
            QVERIFY(result.answerText.startsWith(QLatin1String("$PKVVER,HW2-6100028,")));
        }
        QCOMPARE(board.lines, QByteArrayList({"$PKVVER*0c\r\n", "$PKVVER*0c\r\n"}));
        QCOMPARE(transferred.size(), 2);

        client.comm.setIODevice(nullptr);
        client.port.readAll(); // a banner
        QByteArray all;
        for (int i = 0; i < 256; ++i) {
            if (i != '\n')
                all += char(i);
        }
        all += '\n'; // the board hears lines
        board.lines.clear();
        QCOMPARE(client.port.write(all), qint64(all.size()));
        QVERIFY(QTest::qWaitFor([&] { return !board.lines.isEmpty(); }, 5000));
        QCOMPARE(board.lines, QByteArrayList{all});
        // Read in part while more comes: nothing read twice, nothing lost. More than Qt's read
        // chunk (16 KiB) waits in the port, sent in pieces the board's pty takes.
        const QByteArray piece = all.repeated(12);
        for (int i = 1; i <= 7; ++i) {
            board.send(piece);
            QVERIFY(QTest::qWaitFor([&] { return client.port.bytesAvailable() == i * piece.size(); }, 5000));
        }
        QByteArray got = client.port.read(20000);
        board.send(piece);
        QVERIFY(QTest::qWaitFor([&] { return client.port.bytesAvailable() == 8 * piece.size() - 20000; }, 5000));
        QVERIFY(got + client.port.readAll() == piece.repeated(8));
    }

    // The board unplugged (the simulator stops): the connection drops and a pending request
    // ends; asked again, the server cannot open its port.
    void boardUnplugged_data()
    {
        QTest::addColumn<QString>("serving");
        QTest::newRow("rfc2217") << "rfc2217";
        QTest::newRow("socket") << "socket";
    }
    void boardUnplugged()
    {
        QFETCH(QString, serving);
        KVDEVICE_REQUIRE_SER2NET();
        Rack rack(serving, QStringLiteral("silent"));
        QVERIFY(rack.start());
        Client client(rack.url);
        QVERIFY2(client.settle(), qPrintable(client.failure()));
        // The host hears of its request first, then of the port, once each time.
        QStringList heard;
        connect(Request::send(&client.comm, InitQuery::version()), &Request::finished, this, [&heard](const Request::Result &result) {
            heard << QString::fromLatin1(QMetaEnum::fromType<Request::Status>().valueToKey(result.status)) + QStringLiteral(": ") + result.error;
        });
        connect(&client.comm, &Communicator::readFailed, this, [&heard] { heard << QStringLiteral("readFailed"); });
        QTest::qWait(1100); // after the raw grace period: a drop, not a turning away
        rack.unplug();
        QVERIFY(client.fails());
        QCOMPARE(client.failure(), QStringLiteral("Dropped: the server closed the connection"));
        QTRY_COMPARE(heard, QStringList({QStringLiteral("PortFailed: the server closed the connection"), QStringLiteral("readFailed")}));

        QVERIFY(client.reopen());
        QVERIFY(client.fails());
        QTRY_COMPARE(heard.size(), 3); // refused again: told again
        QVERIFY2(client.failure().startsWith(QLatin1String("Unavailable: the server closed the connection at once: \"Device open failure")),
                 qPrintable(client.failure()));
    }

    // ser2net killed and started again: dropped, refused while it is away, then served.
    void serverRestarted()
    {
        KVDEVICE_REQUIRE_SER2NET();
        Rack rack(QStringLiteral("rfc2217"), QStringLiteral("board6100028"));
        QVERIFY(rack.start());
        Client client(rack.url);
        QVERIFY2(client.settle(), qPrintable(client.failure()));
        rack.kill();
        QVERIFY(client.fails());
        QCOMPARE(client.failure(), QStringLiteral("Dropped: the server closed the connection"));
        QVERIFY(client.reopen());
        QVERIFY(client.fails());
        QVERIFY2(client.failure().startsWith(QLatin1String("Refused: ")), qPrintable(client.failure()));
        QVERIFY(rack.start());
        QVERIFY(client.reopen());
        QVERIFY2(client.settle(), qPrintable(client.failure()));
        QCOMPARE(client.ask().status, Request::Answered);
    }

    // A second client: turned away in the server's words, or taking the port over.
    void secondClient_data()
    {
        QTest::addColumn<QString>("serving");
        QTest::addColumn<QString>("first");  // what becomes of the first client
        QTest::addColumn<QString>("second"); // and of the second
        QTest::newRow("rfc2217") << "rfc2217" << "none" << "Busy: the server lets no second client in: \"Port already in use\"";
        QTest::newRow("socket") << "socket" << "none" << "Busy: the server lets no second client in: \"Port already in use\"";
        QTest::newRow("rfc2217, kickolduser") << "rfc2217,kick" << "Dropped: the server closed the connection" << "none";
    }
    void secondClient()
    {
        QFETCH(QString, serving);
        QFETCH(QString, first);
        QFETCH(QString, second);
        KVDEVICE_REQUIRE_SER2NET();
        Rack rack(serving, QStringLiteral("board6100028"));
        QVERIFY(rack.start());
        Client one(rack.url);
        QVERIFY2(one.settle(), qPrintable(one.failure()));
        QTest::qWait(1100); // past the raw grace period
        Client two(rack.url);
        QVERIFY(second == QLatin1String("none") ? two.settle() : two.fails());
        QVERIFY(first == QLatin1String("none") || one.fails());
        QCOMPARE(one.failure(), first);
        QCOMPARE(two.failure(), second);
        Client &holder = first == QLatin1String("none") ? one : two;
        QCOMPARE(holder.ask().status, Request::Answered);
    }
};

QTEST_GUILESS_MAIN(tst_RemotePort)
#include "tst_remoteport.moc"
