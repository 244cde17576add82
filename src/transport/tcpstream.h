// SPDX-License-Identifier: MIT
#pragma once

// The TCP connection a RemotePort talks through. Where the library is built with Qt
// Network it is Qt's QTcpSocket. Elsewhere (the Qt for Windows that CI builds with has no
// Qt Network) it is the library's own, on QtCore and the system's sockets: non-blocking,
// driven by the event loop, no thread; it has the few members of QTcpSocket that
// RemotePort uses, under the same names, so that RemotePort reads the same over both.
// Not installed.

#ifdef KVDEVICE_HAVE_QT_NETWORK

#include <QTcpSocket>

namespace KvDevice {

class TcpStream : public QTcpSocket
{
public:
    using QTcpSocket::QTcpSocket;
};

} // namespace KvDevice

#else

#include <QByteArray>
#include <QIODevice>

#include <memory>

namespace KvDevice {

class TcpStream : public QIODevice
{
    Q_OBJECT
public:
    /// QAbstractSocket's names for the errors that RemotePort tells apart.
    enum SocketError {
        UnknownSocketError = -1,
        ConnectionRefusedError = 0,
        RemoteHostClosedError = 1,
        HostNotFoundError = 2,
        SocketTimeoutError = 5,
        NetworkError = 7,
        UnsupportedSocketOperationError = 10,
    };
    enum SocketState { UnconnectedState, HostLookupState, ConnectingState, ConnectedState };
    enum SocketOption { LowDelayOption };
    class Native; // the system's socket (tcpstream_p.h)

    explicit TcpStream(QObject *parent = nullptr);
    ~TcpStream() override;

    /// Opens the device and connects to `host` (looked up first unless it is an address),
    /// trying its addresses in turn; connected() or errorOccurred() follows, from the
    /// event loop.
    void connectToHost(const QString &host, quint16 port);
    /// Closes the connection at once; what was not sent is dropped.
    void abort();
    /// Hands the system what it takes now; bytesWritten() says how much. False when
    /// nothing was taken.
    bool flush();
    /// The received bytes held here at most; more waits in the system until some are read.
    void setReadBufferSize(qint64 size) { readLimit = size; }
    /// TCP_NODELAY is set on every connection: nothing to choose.
    void setSocketOption(SocketOption, int) {}
    SocketState state() const { return socketState; }
    SocketError error() const { return socketError; }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    qint64 bytesToWrite() const override { return outgoing.size(); }

signals:
    void connected();
    void errorOccurred(KvDevice::TcpStream::SocketError error);

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    friend class Native;

    void onConnected();
    void onReadable();
    void onWritable();
    void onFailed(SocketError error, const QString &text);
    void queueFlush();

    std::unique_ptr<Native> native;
    QByteArray incoming; // received, not read yet, from `incomingPos` on
    qsizetype incomingPos = 0;
    QByteArray outgoing; // written, not taken by the system yet
    qint64 readLimit = 0;
    SocketState socketState = UnconnectedState;
    SocketError socketError = UnknownSocketError;
    bool paused = false;       // `readLimit` reached: the system keeps the rest
    bool flushQueued = false;
    bool blocked = false;      // the system took no more: its "writable" comes next
};

} // namespace KvDevice

#endif
