// SPDX-License-Identifier: MIT
// The library's own TCP stream on Winsock, where Qt Network is missing. The socket's
// events (WSAEventSelect) and a name's lookup (GetAddrInfoExW with an OVERLAPPED,
// Windows 8 and later) each set an event that a QWinEventNotifier watches: nothing waits.

#include "transport/tcpstream_p.h"

#include <QWinEventNotifier>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

// Windows 8's; MinGW's headers do not declare them.
extern "C" {
WINSOCK_API_LINKAGE INT WSAAPI GetAddrInfoExOverlappedResult(LPOVERLAPPED overlapped);
WINSOCK_API_LINKAGE INT WSAAPI GetAddrInfoExCancel(LPHANDLE handle);
}

namespace KvDevice {

namespace {

// What a Winsock error means to RemotePort, in Qt Network's words where it has some.
void describe(int code, TcpStream::SocketError *error, QString *text)
{
    TcpStream::Native::meaningOf(code,
                                 {
                                     {WSAECONNREFUSED, TcpStream::ConnectionRefusedError, "Connection refused"},
                                     {WSAETIMEDOUT, TcpStream::SocketTimeoutError, "Connection timed out"},
                                     {WSAENETUNREACH, TcpStream::NetworkError, "Network unreachable"},
                                     {WSAEHOSTUNREACH, TcpStream::NetworkError, "Host unreachable"},
                                     {WSAECONNRESET, TcpStream::RemoteHostClosedError, "The remote host closed the connection"},
                                     {WSAECONNABORTED, TcpStream::RemoteHostClosedError, "The remote host closed the connection"},
                                     {WSAESHUTDOWN, TcpStream::RemoteHostClosedError, "The remote host closed the connection"},
                                 },
                                 error, text);
}

class WinSocket;

// A host name being looked up. It lives until the system is done with it, also when the
// socket that asked has given up meanwhile (a cancelled lookup completes too).
class Lookup : public QObject
{
public:
    Lookup(WinSocket *asker, const QString &host, quint16 port)
        : asker(asker)
        , host(host.toStdWString())
        , service(std::to_wstring(port))
    {
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        done.setHandle(overlapped.hEvent);
        done.setEnabled(true);
    }
    ~Lookup() override
    {
        done.setEnabled(false);
        CloseHandle(overlapped.hEvent);
    }

    WinSocket *asker;
    const std::wstring host;
    const std::wstring service;
    ADDRINFOEXW *result = nullptr;
    OVERLAPPED overlapped{};
    HANDLE cancel = nullptr;
    QWinEventNotifier done;
};

class WinSocket final : public TcpStream::Native
{
public:
    explicit WinSocket(TcpStream *stream)
        : Native(stream)
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        event = WSACreateEvent();
        notifier = new QWinEventNotifier(event, this);
        connect(notifier, &QWinEventNotifier::activated, this, [this] { onEvent(); });
    }
    ~WinSocket() override
    {
        WinSocket::closeSocket();
        delete notifier;
        WSACloseEvent(event);
        if (lookup) {
            lookup->asker = nullptr;
            GetAddrInfoExCancel(&lookup->cancel);
        }
        WSACleanup();
    }

    void connectTo(const QString &host, quint16 port) override
    {
        // An address is taken at once; a name is looked up from the event loop.
        ADDRINFOEXW hints{};
        hints.ai_flags = AI_NUMERICHOST;
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        ADDRINFOEXW *found = nullptr;
        const std::wstring name = host.toStdWString(), service = std::to_wstring(port);
        if (GetAddrInfoExW(name.c_str(), service.c_str(), NS_DNS, nullptr, &hints, &found, nullptr, nullptr, nullptr, nullptr) == 0) {
            resolved(0, found);
            FreeAddrInfoExW(found);
            return;
        }
        hints.ai_flags = 0;
        lookup = new Lookup(this, host, port);
        connect(&lookup->done, &QWinEventNotifier::activated, lookup, [look = lookup] {
            look->done.setEnabled(false);
            if (look->asker)
                look->asker->resolved(GetAddrInfoExOverlappedResult(&look->overlapped), look->result);
            if (look->result)
                FreeAddrInfoExW(look->result);
            look->deleteLater();
        });
        const int started = GetAddrInfoExW(lookup->host.c_str(), lookup->service.c_str(), NS_DNS, nullptr, &hints, &lookup->result, nullptr,
                                           &lookup->overlapped, nullptr, &lookup->cancel);
        if (started != WSA_IO_PENDING) {
            Lookup *const over = lookup;
            resolved(started, over->result);
            if (over->result)
                FreeAddrInfoExW(over->result);
            delete over;
        }
    }

    qint64 receive(char *data, qint64 size, TcpStream::SocketError *error, QString *text) override
    {
        const int count = ::recv(socket, data, int(qMin<qint64>(size, INT_MAX)), 0);
        if (count > 0)
            return count;
        if (count == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
            return 0;
        describe(count == 0 ? WSAECONNRESET : WSAGetLastError(), error, text);
        return -1;
    }

    qint64 send(const char *data, qint64 size, TcpStream::SocketError *error, QString *text) override
    {
        const int count = ::send(socket, data, int(qMin<qint64>(size, INT_MAX)), 0);
        if (count != SOCKET_ERROR)
            return count;
        if (WSAGetLastError() == WSAEWOULDBLOCK)
            return 0;
        describe(WSAGetLastError(), error, text);
        return -1;
    }

    // Winsock tells FD_READ again after each recv() that leaves bytes, and FD_WRITE once a
    // send() would have blocked: nothing to switch.
    void watchReadable(bool) override {}
    void watchWritable(bool) override {}

protected:
    void closeSocket() override
    {
        if (socket != INVALID_SOCKET)
            closesocket(socket);
        socket = INVALID_SOCKET;
        WSAResetEvent(event);
        connecting = false;
    }

private:
    void resolved(int code, const ADDRINFOEXW *found)
    {
        lookup = nullptr;
        if (code != 0) {
            failLater(TcpStream::HostNotFoundError, qt_error_string(code));
            return;
        }
        // MinGW's ai_next names a struct of another spelling: the same one.
        for (; found; found = reinterpret_cast<const ADDRINFOEXW *>(found->ai_next)) {
            if (found->ai_addrlen <= sizeof(sockaddr_storage)) {
                Address address;
                std::memcpy(&address.storage, found->ai_addr, found->ai_addrlen);
                address.length = int(found->ai_addrlen);
                addresses.push_back(address);
            }
        }
        tryNext();
    }

    // Connects to the next address; once none is left, the last one's error is told.
    void tryNext()
    {
        while (next < addresses.size()) {
            const Address &address = addresses[next++];
            socket = ::socket(address.storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
            if (socket == INVALID_SOCKET) {
                lastError = WSAGetLastError();
                continue;
            }
            const BOOL on = TRUE;
            setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
            // Non-blocking from here on; FD_CONNECT says how the connecting ended.
            if (WSAEventSelect(socket, event, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) == 0
                && (::connect(socket, reinterpret_cast<const sockaddr *>(&address.storage), address.length) == 0
                    || WSAGetLastError() == WSAEWOULDBLOCK)) {
                connecting = true;
                return;
            }
            lastError = WSAGetLastError();
            closeSocket();
        }
        TcpStream::SocketError error = TcpStream::UnknownSocketError;
        QString text;
        describe(lastError, &error, &text);
        failLater(error, text);
    }

    void onEvent()
    {
        WSANETWORKEVENTS events;
        if (socket == INVALID_SOCKET || WSAEnumNetworkEvents(socket, event, &events) != 0) {
            WSAResetEvent(event);
            return;
        }
        if (connecting) {
            if (!(events.lNetworkEvents & FD_CONNECT))
                return;
            if (const int error = events.iErrorCode[FD_CONNECT_BIT]) {
                lastError = error;
                closeSocket();
                tryNext();
                return;
            }
            connecting = false;
            if (!connected())
                return;
        }
        // FD_CLOSE comes once; what is still to read, and the end, are read as data.
        if ((events.lNetworkEvents & (FD_READ | FD_CLOSE)) && !readable())
            return;
        if (events.lNetworkEvents & FD_WRITE)
            writable();
    }

    struct Address
    {
        sockaddr_storage storage;
        int length;
    };
    std::vector<Address> addresses;
    size_t next = 0;
    int lastError = WSAECONNREFUSED;
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT event;
    QWinEventNotifier *notifier;
    Lookup *lookup = nullptr;
    bool connecting = false;
};

} // namespace

TcpStream::Native *TcpStream::Native::create(TcpStream *stream)
{
    return new WinSocket(stream);
}

} // namespace KvDevice
