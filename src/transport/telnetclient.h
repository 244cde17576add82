// SPDX-License-Identifier: MIT
#pragma once

// The client's side of a Telnet connection with the com-port control option (RFC 854,
// 855, 856, 858, 2217): what the server sends becomes data and answers, the host's data
// becomes bytes for the server. No I/O and no Qt objects: RemotePort feeds it, and the
// tests feed it recorded exchanges cut at every byte. Not installed.

#include <QByteArray>
#include <QtGlobal>

namespace KvDevice {

class TelnetClient
{
public:
    enum : quint8 {
        Se = 240, Sb = 250, Will = 251, Wont = 252, Do = 253, Dont = 254, Iac = 255,
        Binary = 0, Echo = 1, SuppressGoAhead = 3, ComPort = 44,
    };
    /// Com-port commands, client to server; the server answers each with the code + 100.
    enum ComPortCommand : quint8 {
        SetBaudRate = 1, SetDataSize = 2, SetParity = 3, SetStopSize = 4, SetControl = 5,
        NotifyLineState = 6, NotifyModemState = 7, PurgeData = 12, ServerOffset = 100,
    };

    /// What the client offers: BINARY and SUPPRESS-GO-AHEAD both ways, and COM-PORT-OPTION;
    /// after what the server said first, only what is not agreed or asked for yet.
    QByteArray greeting();
    /// Feeds `size` bytes from the server, in any split: the data among them is appended
    /// to `data`, what the client answers to `reply`. When the server agrees to the com-port
    /// option the client purges the port's buffers, and sends the settings, once, when the
    /// purge is answered: ser2net answers a purge at once and settings once the port has
    /// taken them, and sent together the later answers would wait for the first one's
    /// delayed acknowledgement (40 ms on Linux) behind the server's Nagle algorithm.
    void receive(const char *bytes, qsizetype size, QByteArray &data, QByteArray &reply);
    /// Appends `size` bytes of data to `out` with every IAC doubled.
    static void escape(const char *bytes, qsizetype size, QByteArray &out);

    /// The port may be used: the server took the settings (it answered the baud rate), or
    /// it refused the com-port option and the port keeps whatever settings it has.
    bool ready() const { return baudAcknowledged || comPortRefused; }
    bool comPortRefused = false;
    bool baudAcknowledged = false;
    quint32 baudRate = 0;     ///< as the server answered it
    quint8 lineState = 0;     ///< the last NOTIFY-LINESTATE
    quint8 modemState = 0;    ///< the last NOTIFY-MODEMSTATE
    int subnegotiations = 0;  ///< com-port answers and notifications seen

    /// The settings: 115200 baud, 8 data bits, no parity, 1 stop bit, no flow control,
    /// DTR and RTS on.
    static QByteArray settings();

private:
    enum State : quint8 { Data, Command, Option, SubOption, SubData, SubCommand };
    // Q-method states (RFC 1143), without its queues: nothing here changes its mind.
    enum Side : quint8 { No, Yes, WantYes };

    void negotiate(quint8 said, quint8 option, QByteArray &reply);
    void subnegotiation(QByteArray &reply);

    State state = Data;
    quint8 verb = 0;
    quint8 subOption = 0;
    QByteArray sub;           // the current sub-negotiation's bytes, bounded
    Side local[256] = {};     // what we do
    Side remote[256] = {};    // what the server does
    bool purgeSent = false;
    bool settingsSent = false;
};

} // namespace KvDevice
