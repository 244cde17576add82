// SPDX-License-Identifier: MIT
#pragma once

// What each system's file gives the library's own TcpStream: the socket, its
// notifications and the name lookup (tcpstream_unix.cpp, tcpstream_win.cpp). Not installed.

#include "transport/tcpstream.h"

#include <QObject>

#include <initializer_list>

namespace KvDevice {

class TcpStream::Native : public QObject
{
public:
    /// A socket for `stream`, not connected yet.
    static Native *create(TcpStream *stream);

    /// Connects to `host` (an address at once, a name once looked up), trying its
    /// addresses in turn; then the stream's onConnected() or onFailed(), always from the
    /// event loop; after onConnected(), onReadable() and onWritable() as the system says.
    virtual void connectTo(const QString &host, quint16 port) = 0;
    /// Bytes received: > 0; 0 when none are there now (onReadable() follows when some
    /// come); -1 when none will come, `error` and `text` saying why (RemoteHostClosedError
    /// when the server closed or reset the connection).
    virtual qint64 receive(char *data, qint64 size, SocketError *error, QString *text) = 0;
    /// Bytes the system took; 0 when it takes none now (onWritable() follows when it
    /// will); -1 when the connection failed, as for receive().
    virtual qint64 send(const char *data, qint64 size, SocketError *error, QString *text) = 0;
    /// Whether the stream wants onReadable(): not while it holds as much as it may. Where
    /// the system tells readiness once per read (Windows), nothing to do.
    virtual void watchReadable(bool on) = 0;
    /// Whether the stream wants onWritable(): once a send took less than it was given.
    virtual void watchWritable(bool on) = 0;

    /// What a system error means to RemotePort: `known` gives the errors it tells apart, in
    /// Qt Network's words; any other is UnknownSocketError with the system's text.
    struct Meaning
    {
        int code;
        SocketError error;
        const char *text;
    };
    static void meaningOf(int code, std::initializer_list<Meaning> known, SocketError *error, QString *text);

    /// Closes the socket; the stream hears nothing more. Deleted now, or later when this
    /// runs inside one of its own notifications.
    void discard()
    {
        stream = nullptr;
        closeSocket();
        if (notifying)
            deleteLater();
        else
            delete this;
    }

protected:
    explicit Native(TcpStream *owner)
        : stream(owner)
    {
    }
    virtual void closeSocket() = 0;

    // What the system says, told to the stream: false when the stream let go of this
    // meanwhile (it was aborted or deleted), and nothing more may be done.
    bool connected() { return tell([](TcpStream *s) { s->onConnected(); }); }
    bool readable() { return tell([](TcpStream *s) { s->onReadable(); }); }
    bool writable() { return tell([](TcpStream *s) { s->onWritable(); }); }
    // The connection failed, told from the event loop.
    void failLater(SocketError error, const QString &text)
    {
        QMetaObject::invokeMethod(
            this, [this, error, text] { tell([error, text](TcpStream *s) { s->onFailed(error, text); }); }, Qt::QueuedConnection);
    }

private:
    template<typename Call>
    bool tell(Call call)
    {
        if (!stream)
            return false;
        const bool outer = !notifying;
        notifying = true;
        call(stream);
        if (outer)
            notifying = false;
        return stream != nullptr;
    }

    TcpStream *stream;
    bool notifying = false;
};

} // namespace KvDevice
