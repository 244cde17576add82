// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/kvdevice_export.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QIODevice>
#include <QString>

#include <deque>
#include <memory>

class QTimer;

namespace KvDevice {

class TcpStream;
class TelnetClient;

/// A board's serial port on another machine, served over TCP by ser2net or any RFC 2217
/// server: a QIODevice that a Communicator uses as it uses a QSerialPort.
///
/// The name is a URL: "rfc2217://HOST:PORT" (Telnet with the com-port option: the port is
/// set to 115200 baud 8N1, no flow control, DTR and RTS on, its buffers purged) or
/// "socket://HOST:PORT" (raw TCP: the bytes as they are, the server's settings). HOST is
/// a name, an IPv4 address or an IPv6 address in brackets ("[::1]"). Parameters follow as
/// a query: "?timeout=MS", the time from open() until the port is ready (3000).
///
/// Opening is asynchronous. open() checks the URL (false, errorString() saying why, when
/// it is malformed), starts connecting and returns true: the device is open from then on,
/// and what is written is kept until the port is ready. Then, from the event loop, either
/// connected(): the port is ready (over RFC 2217 once the server has taken the settings),
/// or failed(): it never will be. After connected(), failed() comes when the connection
/// drops. Raw TCP has no handshake: a server that turns a client away (ser2net's "Port
/// already in use") is seen after connected(), as Busy or Unavailable when it hangs up
/// within a second. After failed() the device closes itself (aboutToClose()): read in the
/// slot what is still wanted. open() again starts a new connection.
///
/// Written bytes are reported by bytesWritten() once the system has taken them, from the
/// event loop; readyRead() follows received data once the port is ready. No call blocks.
class KVDEVICE_EXPORT RemotePort : public QIODevice
{
    Q_OBJECT
public:
    /// Why a remote port is not, or no longer, connected.
    enum Failure {
        NoFailure,   ///< connected, connecting, or never opened
        Refused,     ///< nothing listens there: the connection was refused
        Unreachable, ///< the host is not found, or no route leads to it
        TimedOut,    ///< no connection, or no answer to the settings, within the time-out
        Busy,        ///< the server lets no second client in (its words in the detail)
        Unavailable, ///< the server closed the connection at once for another reason, such as a serial port it cannot open (its words in the detail)
        Dropped,     ///< the connection was closed or broke after it was made
    };
    Q_ENUM(Failure)

    /// A port for `url`; nothing is checked or connected before open().
    explicit RemotePort(const QString &url, QObject *parent = nullptr);
    /// Closes the connection.
    ~RemotePort() override;

    /// Whether `name` is written as a URL ("SCHEME://..."), valid or not: such a name is
    /// a RemotePort's, every other name a local serial port's.
    static bool isRemote(const QString &name);

    /// The URL as given.
    QString url() const { return name; }
    /// The host of the URL, without brackets; empty when the URL is malformed.
    QString host() const;
    /// The TCP port of the URL; 0 when the URL is malformed.
    quint16 tcpPort() const;
    /// True for "rfc2217://", false for "socket://" (and a malformed URL).
    bool isRfc2217() const;
    /// The time-out of the URL in milliseconds.
    int connectTimeout() const;

    /// Checks the URL and starts connecting; see the class. Read and write are always
    /// both opened, whatever `mode` asks.
    bool open(OpenMode mode = ReadWrite) override;
    /// Drops the connection and what was not read or sent; failed() is not emitted.
    void close() override;
    /// Whether the port is ready: connected() came and failed() has not.
    bool isConnected() const { return ready; }
    /// Why the last connection failed, or NoFailure.
    Failure failure() const { return lastFailure; }

    /// Always true: a stream.
    bool isSequential() const override { return true; }
    /// Received bytes not read yet.
    qint64 bytesAvailable() const override;
    /// Written bytes not yet taken by the system.
    qint64 bytesToWrite() const override;
    /// Whether a whole line can be read.
    bool canReadLine() const override;

signals:
    /// The port is ready: over RFC 2217 the server has taken the settings (or does not
    /// take settings at all), over raw TCP the connection is made. What was written
    /// before is sent now.
    void connected();
    /// The port is not connected, and why; `detail` says it for people, with the server's
    /// own words when it gave some. The device closes itself right after.
    void failed(KvDevice::RemotePort::Failure failure, const QString &detail);

protected:
    /// Takes received bytes.
    qint64 readData(char *data, qint64 maxSize) override;
    /// Sends bytes (IACs doubled over RFC 2217); kept until the port is ready.
    qint64 writeData(const char *data, qint64 size) override;

private:
    struct Address;
    struct Sent
    {
        qint64 wire; // bytes on the connection
        qint64 data; // the host's bytes among them
    };

    void onConnected();
    void greet();
    void onReadable();
    void onWritten(qint64 bytes);
    void onSocketError();
    void onTimeout();
    void becomeReady();
    void announce();
    void send(const QByteArray &wire, qint64 data);
    void put(const char *data, qint64 size);
    void later(void (RemotePort::*handler)());
    void reportWritten();
    void fail(Failure failure, const QString &detail);
    void serverClosed();
    QString serverWords() const;
    void teardown();
    void report(Failure failure, const QString &detail);

    QString name;
    std::unique_ptr<Address> address;
    std::unique_ptr<TelnetClient> telnet;
    TcpStream *socket = nullptr;
    QTimer *timer = nullptr;
    QByteArray received;       // data not read yet, from `readPos` on
    qsizetype readPos = 0;
    QByteArray early;          // the first bytes the server sent on this connection
    QByteArray held;           // written before the port was ready
    std::deque<Sent> heldSent;
    std::deque<Sent> inFlight;
    qint64 wireReported = 0;   // bytes the socket reported toward inFlight.front()
    qint64 written = 0;        // the host's bytes written, not reported yet
    QElapsedTimer sinceConnect;
    bool ready = false;
    bool greeted = false;      // the Telnet options offered on this connection
    bool announcing = false;
    bool pumpQueued = false;
    bool writing = false;      // inside the socket's write: its signals wait
    bool reportQueued = false;
    bool opening = false;      // inside open(): failures are told from the event loop
    quint64 generation = 0;    // connections made so far
    Failure lastFailure = NoFailure;
};

} // namespace KvDevice
