// SPDX-License-Identifier: MIT
// The library's own TCP stream (what remote ports use where Qt Network is missing),
// compiled in, against Qt's servers on the loopback: what goes both ways arrives whole
// and in order, the system's refusals are told in QAbstractSocket's terms, and a host may
// let the stream go inside any of its signals.

#include "transport/tcpstream.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include <sys/socket.h>

using KvDevice::TcpStream;

namespace {

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + i / 251);
    return bytes;
}

// A server that takes one client.
struct Server
{
    Server()
    {
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QObject::connect(&server, &QTcpServer::newConnection, [this] { client.reset(server.nextPendingConnection()); });
    }
    bool accepted() { return QTest::qWaitFor([this] { return bool(client); }, 5000); }
    QTcpServer server;
    std::unique_ptr<QTcpSocket> client;
};

} // namespace

class tst_TcpStream : public QObject
{
    Q_OBJECT

private slots:
    void failures_data()
    {
        QTest::addColumn<QString>("host"); // on a port listened on a moment ago: nothing listens there now
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("text");

        QTest::newRow("nothing listens") << "127.0.0.1" << int(TcpStream::ConnectionRefusedError) << "Connection refused";
        QTest::newRow("nothing listens on IPv6's loopback") << "::1" << int(TcpStream::ConnectionRefusedError) << "Connection refused";
        QTest::newRow("a name, where names are not looked up") << "localhost" << int(TcpStream::UnsupportedSocketOperationError) << "give the host's address";
    }

    void failures()
    {
        QFETCH(QString, host);
        QFETCH(int, error);
        QFETCH(QString, text);

        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(host == QLatin1String("::1") ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost));
            port = probe.serverPort();
        }
        TcpStream stream;
        int failed = 0;
        connect(&stream, &TcpStream::errorOccurred, this, [&] { ++failed; });
        QSignalSpy connected(&stream, &TcpStream::connected);
        stream.connectToHost(host, port);
        QCOMPARE(failed, 0); // from the event loop, never inside the call
        QTRY_COMPARE_WITH_TIMEOUT(failed, 1, 5000);
        QCOMPARE(int(stream.error()), error);
        QVERIFY2(stream.errorString().contains(text), qPrintable(stream.errorString()));
        QCOMPARE(stream.state(), TcpStream::UnconnectedState);
        QCOMPARE(connected.count(), 0);
        QCOMPARE(stream.write("lost"), qint64(-1)); // no connection to write to

        // The same stream connects anew.
        Server server;
        stream.connectToHost(QStringLiteral("127.0.0.1"), server.server.serverPort());
        QVERIFY(connected.wait(5000));
        QCOMPARE(stream.state(), TcpStream::ConnectedState);
    }

    // Bytes each way, the server sending more than the stream may hold and the stream more
    // than the server reads at first: nothing lost, nothing reordered, the memory bounded.
    void bothWays_data()
    {
        QTest::addColumn<int>("toServer");
        QTest::addColumn<int>("toStream");
        QTest::addColumn<int>("readLimit"); // 0: none
        QTest::addColumn<int>("readSize");  // what the host reads at each readyRead()

        QTest::newRow("a sentence each way") << 20 << 30 << 0 << 4096;
        QTest::newRow("written before the connection is up") << 64 << 0 << 0 << 4096;
        QTest::newRow("more than the system takes at once, both ways") << (16 << 20) << (4 << 20) << 0 << (1 << 20);
        QTest::newRow("a read limit, read in small pieces") << 10 << 40000 << 1000 << 333;
    }

    void bothWays()
    {
        QFETCH(int, toServer);
        QFETCH(int, toStream);
        QFETCH(int, readLimit);
        QFETCH(int, readSize);
        const QByteArray up = pattern(toServer), down = pattern(toStream).toBase64().left(toStream);

        Server server;
        TcpStream stream;
        stream.setReadBufferSize(readLimit);
        QByteArray received;
        qint64 written = 0, held = 0;
        connect(&stream, &TcpStream::readyRead, this, [&] {
            held = qMax(held, stream.bytesAvailable());
            received += stream.read(readSize);
        });
        connect(&stream, &TcpStream::bytesWritten, this, [&](qint64 count) { written += count; });
        stream.connectToHost(QStringLiteral("127.0.0.1"), server.server.serverPort());
        QCOMPARE(stream.write(up), qint64(up.size())); // held until the connection is up
        QVERIFY(server.accepted());
        server.client->write(down);
        QByteArray atServer;
        QVERIFY(QTest::qWaitFor([&] {
            atServer += server.client->readAll();
            if (received.size() < down.size())
                received += stream.read(readSize);
            return atServer.size() >= up.size() && received.size() >= down.size();
        }, 20000));
        QCOMPARE(atServer, up);
        QVERIFY(received == down);
        QCOMPARE(written, qint64(up.size()));
        QCOMPARE(stream.bytesToWrite(), qint64(0));
        if (readLimit > 0) // what the system keeps stays there: at most one read beyond the limit
            QVERIFY2(held < readLimit + 16 * 1024, qPrintable(QString::number(held)));
    }

    // The server's last bytes, then its close: the bytes are read, then the error told, once.
    void serverCloses()
    {
        Server server;
        TcpStream stream;
        int failed = 0;
        connect(&stream, &TcpStream::errorOccurred, this, [&] { ++failed; });
        QByteArray received;
        TcpStream::SocketState stateAtRead = TcpStream::UnconnectedState;
        connect(&stream, &TcpStream::readyRead, this, [&] {
            stateAtRead = stream.state();
            received += stream.readAll();
        });
        stream.connectToHost(QStringLiteral("127.0.0.1"), server.server.serverPort());
        QVERIFY(server.accepted());
        server.client->write("$PKVVER,HW2*00\r\n");
        server.client->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(failed, 1, 5000);
        QCOMPARE(received, QByteArray("$PKVVER,HW2*00\r\n"));
        QCOMPARE(stateAtRead, TcpStream::UnconnectedState); // told as it ends: nobody answers these
        QCOMPARE(int(stream.error()), int(TcpStream::RemoteHostClosedError));
        QTest::qWait(50);
        QCOMPARE(failed, 1);
        QCOMPARE(stream.write("late"), qint64(-1));
    }

    // The server resets the connection while the host reads nothing, reading being held
    // back at the limit: the host's next write tells the failure.
    void resetWhileHeldBack()
    {
        Server server;
        TcpStream stream;
        stream.setReadBufferSize(1000);
        int failed = 0;
        connect(&stream, &TcpStream::errorOccurred, this, [&] { ++failed; });
        stream.connectToHost(QStringLiteral("127.0.0.1"), server.server.serverPort());
        QVERIFY(server.accepted());
        server.client->write(pattern(100000));
        QTRY_VERIFY(stream.bytesAvailable() >= 1000);
        const linger reset{1, 0};
        QCOMPARE(::setsockopt(int(server.client->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
        server.client->abort();
        QTest::qWait(50);
        QCOMPARE(failed, 0); // not read: not known yet
        stream.write("$PKVVER*0c\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(failed, 1, 5000);
        QCOMPARE(int(stream.error()), int(TcpStream::RemoteHostClosedError));
    }

    // A host that deletes or aborts the stream inside one of its signals: nothing is told
    // after, and nothing is touched that went with it (the sanitizers and valgrind watch).
    void letGoInsideSignals_data()
    {
        QTest::addColumn<QString>("signal");
        QTest::addColumn<bool>("deleted"); // else aborted
        for (const char *signal : {"connected", "readyRead", "bytesWritten", "errorOccurred"}) {
            QTest::addRow("deleted in %s", signal) << signal << true;
            QTest::addRow("aborted in %s", signal) << signal << false;
        }
    }

    void letGoInsideSignals()
    {
        QFETCH(QString, signal);
        QFETCH(bool, deleted);

        Server server;
        QPointer<TcpStream> stream = new TcpStream;
        int told = 0, after = 0;
        const auto letGo = [&] {
            if (told++ > 0)
                return;
            if (deleted)
                delete stream.data();
            else
                stream->abort();
        };
        if (signal == QLatin1String("connected"))
            connect(stream, &TcpStream::connected, this, letGo);
        else if (signal == QLatin1String("readyRead"))
            connect(stream, &TcpStream::readyRead, this, letGo);
        else if (signal == QLatin1String("bytesWritten"))
            connect(stream, &TcpStream::bytesWritten, this, letGo);
        else
            connect(stream, &TcpStream::errorOccurred, this, letGo);
        connect(stream, &TcpStream::errorOccurred, this, [&] { after += told > 0 && signal != QLatin1String("errorOccurred"); });
        stream->connectToHost(QStringLiteral("127.0.0.1"), server.server.serverPort());
        stream->write(pattern(100000));
        QVERIFY(server.accepted());
        server.client->write(pattern(100000));
        if (signal == QLatin1String("errorOccurred"))
            server.client->abort();
        QTRY_VERIFY_WITH_TIMEOUT(told > 0, 5000);
        server.client->abort(); // the connection ends: a stream still listening would hear it
        QTest::qWait(100);
        QCOMPARE(told, 1);
        QCOMPARE(after, 0);
        QCOMPARE(stream.isNull(), deleted);
        if (!deleted) {
            QCOMPARE(stream->state(), TcpStream::UnconnectedState);
            QVERIFY(!stream->isOpen());
            delete stream.data();
        }
    }
};

QTEST_GUILESS_MAIN(tst_TcpStream)
#include "tst_tcpstream.moc"
