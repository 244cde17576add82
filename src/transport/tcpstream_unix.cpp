// SPDX-License-Identifier: MIT
// The library's own TCP stream on POSIX sockets, where Qt Network is missing. Addresses
// only: the system's name lookup blocks, and a thread for it is not the library's to start.

#include "transport/tcpstream_p.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0 // macOS: SO_NOSIGPIPE on the socket instead
#endif

namespace KvDevice {

namespace {

// What a system error means to RemotePort, in Qt Network's words where it has some.
void describe(int code, TcpStream::SocketError *error, QString *text)
{
    TcpStream::Native::meaningOf(code,
                                 {
                                     {ECONNREFUSED, TcpStream::ConnectionRefusedError, "Connection refused"},
                                     {ETIMEDOUT, TcpStream::SocketTimeoutError, "Connection timed out"},
                                     {ENETUNREACH, TcpStream::NetworkError, "Network unreachable"},
                                     {EHOSTUNREACH, TcpStream::NetworkError, "Host unreachable"},
                                     {ECONNRESET, TcpStream::RemoteHostClosedError, "The remote host closed the connection"},
                                     {EPIPE, TcpStream::RemoteHostClosedError, "The remote host closed the connection"},
                                 },
                                 error, text);
}

class UnixSocket final : public TcpStream::Native
{
public:
    explicit UnixSocket(TcpStream *stream)
        : Native(stream)
    {
    }
    ~UnixSocket() override
    {
        UnixSocket::closeSocket();
        if (addresses)
            freeaddrinfo(addresses);
    }

    void connectTo(const QString &host, quint16 port) override
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        const int found = getaddrinfo(host.toLatin1().constData(), QByteArray::number(port).constData(), &hints, &addresses);
        if (found != 0) {
            addresses = nullptr;
            if (found == EAI_NONAME)
                failLater(TcpStream::UnsupportedSocketOperationError,
                          QStringLiteral("this build of kvdevice (made without Qt Network) looks up no host names: give the host's address"));
            else
                failLater(TcpStream::HostNotFoundError, QString::fromLocal8Bit(gai_strerror(found)));
            return;
        }
        next = addresses;
        tryNext();
    }

    qint64 receive(char *data, qint64 size, TcpStream::SocketError *error, QString *text) override
    {
        const ssize_t count = ::recv(fd, data, size_t(size), 0);
        if (count > 0)
            return count;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return 0;
        describe(count == 0 ? ECONNRESET : errno, error, text);
        return -1;
    }

    qint64 send(const char *data, qint64 size, TcpStream::SocketError *error, QString *text) override
    {
        const ssize_t count = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (count >= 0)
            return count;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return 0;
        describe(errno, error, text);
        return -1;
    }

    void watchReadable(bool on) override
    {
        if (reader)
            reader->setEnabled(on);
    }

    void watchWritable(bool on) override
    {
        if (writer && !connecting)
            writer->setEnabled(on);
    }

protected:
    void closeSocket() override
    {
        // A notifier may be the one telling now: it goes once that is over.
        for (QSocketNotifier *notifier : {reader, writer}) {
            if (notifier) {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        }
        reader = writer = nullptr;
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        connecting = false;
    }

private:
    // Connects to the next address; once none is left, the last one's error is told.
    void tryNext()
    {
        while (next) {
            const addrinfo *address = next;
            next = next->ai_next;
            fd = ::socket(address->ai_family, SOCK_STREAM, 0);
            if (fd < 0) {
                lastError = errno;
                continue;
            }
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
#ifdef SO_NOSIGPIPE
            ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
            // Connected or not, the socket says when it is writable.
            if (::connect(fd, address->ai_addr, address->ai_addrlen) == 0 || errno == EINPROGRESS) {
                connecting = true;
                writer = new QSocketNotifier(fd, QSocketNotifier::Write, this);
                connect(writer, &QSocketNotifier::activated, this, [this] { onWritable(); });
                return;
            }
            lastError = errno;
            closeSocket();
        }
        TcpStream::SocketError error = TcpStream::UnknownSocketError;
        QString text;
        describe(lastError, &error, &text);
        failLater(error, text);
    }

    void onWritable()
    {
        if (!connecting) {
            writable();
            return;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error != 0) {
            lastError = error;
            closeSocket();
            tryNext();
            return;
        }
        connecting = false;
        writer->setEnabled(false);
        reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(reader, &QSocketNotifier::activated, this, [this] { readable(); });
        connected();
    }

    addrinfo *addresses = nullptr;
    const addrinfo *next = nullptr;
    int lastError = ECONNREFUSED;
    int fd = -1;
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
    bool connecting = false;
};

} // namespace

TcpStream::Native *TcpStream::Native::create(TcpStream *stream)
{
    return new UnixSocket(stream);
}

} // namespace KvDevice
