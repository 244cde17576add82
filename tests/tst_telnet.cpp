// SPDX-License-Identifier: MIT
// The Telnet client's parser fed what ser2net really sent (recorded on a pty, 4.3.11) and
// what other servers may send, cut into every split of three pieces: the data, the answers
// and what it learned must not depend on where TCP cut the bytes.

#include "transport/telnetclient.h"

#include <QtTest>

using KvDevice::TelnetClient;

namespace {
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// What the client says when the server agrees to the com-port option: purge both buffers;
// once that is answered: 115200 baud, 8 bits, no parity, 1 stop bit, no flow control, DTR
// on, RTS on.
const char *const purge = "fffa2c 0c 03 fff0";
const char *const settings = "fffa2c 01 0001c200 fff0 fffa2c 02 08 fff0 fffa2c 03 01 fff0 fffa2c 04 01 fff0 "
                             "fffa2c 05 01 fff0 fffa2c 05 08 fff0 fffa2c 05 0b fff0";
// ser2net's first words on a telnet(rfc2217) accepter: WILL SGA, DO SGA, WILL ECHO,
// DONT ECHO, DO BINARY, WILL BINARY, DO COM-PORT.
const char *const ser2netHello = "fffb03 fffd03 fffb01 fffe01 fffd00 fffb00 fffd2c";
} // namespace

class tst_Telnet : public QObject
{
    Q_OBJECT

private slots:
    void greeting()
    {
        // BINARY and SUPPRESS-GO-AHEAD both ways, COM-PORT-OPTION offered.
        TelnetClient client;
        QCOMPARE(client.greeting(), hex("fffb00 fffd00 fffb03 fffd03 fffb2c"));
        // After ser2net's hello, answered, nothing is left to offer; once offered, nothing twice.
        TelnetClient answered;
        QByteArray data, reply;
        answered.receive(hex(ser2netHello).constData(), hex(ser2netHello).size(), data, reply);
        QCOMPARE(reply, hex("fffd03 fffb03 fffe01 fffb00 fffd00 fffb2c") + hex(purge));
        QCOMPARE(answered.greeting(), QByteArray());
        QCOMPARE(client.greeting(), QByteArray());
    }

    void escape_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("nothing") << QByteArray() << QByteArray();
        QTest::newRow("no IAC") << QByteArray("$PKVVER*0c\r\n") << QByteArray("$PKVVER*0c\r\n");
        QTest::newRow("IAC alone") << hex("ff") << hex("ffff");
        QTest::newRow("IACs around and together") << hex("ff 41 ffff 42 ff") << hex("ffff 41 ffffffff 42 ffff");
    }
    void escape()
    {
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, wire);
        QByteArray out("x");
        TelnetClient::escape(data.constData(), data.size(), out);
        QCOMPARE(out, "x" + wire);
    }

    void exchange_data()
    {
        QTest::addColumn<QByteArray>("server");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("ready");
        QTest::addColumn<QList<int>>("learned"); // baud rate, line state, modem state, sub-negotiations

        // An open: ser2net's hello, its answer to the greeting (DO SGA again and the modem
        // lines), to the purge, to the settings (DTR and RTS unanswered: a pty has no modem
        // lines), then a board's bytes with an IAC.
        QTest::newRow("ser2net opens a pty")
            << hex(ser2netHello) + hex("fffd03 fffa2c6b00fff0")
                   + hex("fffa2c7003fff0 fffa2c650001c200fff0 fffa2c6608fff0 fffa2c6701fff0 fffa2c6801fff0 fffa2c6901fff0")
                   + hex("78ffff790d0a")
            << hex("78ff790d0a") << hex("fffe01") + hex(purge) + hex(settings) << true << QList<int>{115200, 0, 0, 7};
        QTest::newRow("ser2net turns a second client away")
            << hex(ser2netHello) + "Port already in use\r\n" << QByteArray("Port already in use\r\n") << hex("fffe01") + hex(purge)
            << false << QList<int>{0, 0, 0, 0};
        // A plain Telnet server: no binary, no com-port option (the port keeps its
        // settings, ready at once); NOP and GA between data; DO TERMINAL-TYPE refused.
        QTest::newRow("plain telnet server")
            << hex("fffc00 fffe00 fffe2c fffd18") + "a" + hex("fff1") + "b" + hex("fff9") + "c"
            << QByteArray("abc") << hex("fffc18") << true << QList<int>{0, 0, 0, 0};
        QTest::newRow("options numbered as IAC, SB, SE, WILL and NOP, refused, data after each")
            << hex("fffe2c fffbff") + "y" + hex("fffbfa") + "y" + hex("fffbf0") + "y" + hex("fffbfb") + "y" + hex("fffbf1") + "y" << QByteArray("yyyyy")
            << hex("fffeff fffefa fffef0 fffefb fffef1") << true << QList<int>{0, 0, 0, 0};
        // Notifications, an answer holding an IAC (255 baud), a sub-negotiation of another
        // option, one broken off by a command, and an option offered twice.
        QTest::newRow("notifications and odd sub-negotiations")
            << hex("fffd2c fffa2c6a60fff0 fffa2c6bb0fff0 fffa1801fff0 fffa2c6a ff f1") + "x"
                   + hex("fffa2c65000000ffff fff0 fffb01 fffb01 fffd2c")
            << QByteArray("x") << hex(purge) + hex("fffe01 fffe01") << true << QList<int>{255, 0x60, 0xb0, 3};
        // A server that ends what it agreed to: DONT COM-PORT after DO is answered WONT.
        QTest::newRow("com-port taken back")
            << hex("fffd2c fffe2c fffc00 fffb00") << QByteArray() << hex(purge) + hex("fffc2c fffd00") << true
            << QList<int>{0, 0, 0, 0};
    }
    void exchange()
    {
        QFETCH(QByteArray, server);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, reply);
        QFETCH(bool, ready);
        QFETCH(QList<int>, learned);

        for (int i = 0; i <= server.size(); ++i) {
            for (int j = i; j <= server.size(); ++j) {
                TelnetClient client;
                client.greeting();
                QByteArray gotData, gotReply;
                const std::pair<int, int> pieces[] = {{0, i}, {i, j}, {j, int(server.size())}};
                for (const auto &[from, to] : pieces)
                    client.receive(server.constData() + from, to - from, gotData, gotReply);
                const QByteArray where = "cut at " + QByteArray::number(i) + " and " + QByteArray::number(j);
                QVERIFY2(gotData == data, where + ": data " + gotData.toHex(' '));
                QVERIFY2(gotReply == reply, where + ": reply " + gotReply.toHex(' '));
                QVERIFY2(client.ready() == ready, where);
                const QList<int> got{int(client.baudRate), client.lineState, client.modemState, client.subnegotiations};
                QVERIFY2(got == learned, where);
            }
        }
    }
};

QTEST_GUILESS_MAIN(tst_Telnet)
#include "tst_telnet.moc"
