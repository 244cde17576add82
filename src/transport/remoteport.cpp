// SPDX-License-Identifier: MIT
#include <kvdevice/remoteport.h>

#include "logging/logger.h"
#include "transport/portaddress.h"
#include "transport/tcpstream.h"
#include "transport/telnetclient.h"

#include <QPointer>
#include <QTimer>

#include <cstring>
#include <utility>

namespace KvDevice {

namespace {
constexpr qint64 receiveLimit = 64 * 1024; // unread bytes held before the server is left waiting
constexpr int earlyLimit = 160;            // the server's words kept for a failure's detail
constexpr qint64 graceMs = 1000;           // a raw connection closed this soon was turned away
constexpr int serverFirstMs = 50;          // an RFC 2217 server silent this long is greeted first
} // namespace

struct RemotePort::Address : PortAddress
{
};

RemotePort::RemotePort(const QString &url, QObject *parent)
    : QIODevice(parent)
    , name(url)
    , address(new Address)
    , timer(new QTimer(this))
{
    qRegisterMetaType<Failure>("KvDevice::RemotePort::Failure"); // for queued connections and spies
    QString ignored;
    if (!PortAddress::parse(url, address.get(), &ignored) || address->kind == PortAddress::Local)
        *address = Address();
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &RemotePort::onTimeout);
}

RemotePort::~RemotePort()
{
    close();
}

bool RemotePort::isRemote(const QString &name)
{
    return PortAddress::isUrl(name);
}

QString RemotePort::host() const
{
    return address->host;
}

quint16 RemotePort::tcpPort() const
{
    return address->tcpPort;
}

bool RemotePort::isRfc2217() const
{
    return address->kind == PortAddress::Rfc2217;
}

int RemotePort::connectTimeout() const
{
    return address->connectTimeoutMs;
}

bool RemotePort::open(OpenMode)
{
    if (isOpen()) {
        setErrorString(QStringLiteral("%1 is open already").arg(name));
        return false;
    }
    QString error;
    PortAddress parsed;
    if (!PortAddress::parse(name, &parsed, &error) || parsed.kind == PortAddress::Local) {
        setErrorString(error.isEmpty() ? name + QStringLiteral(": not a URL: write rfc2217://HOST:PORT or socket://HOST:PORT") : error);
        return false;
    }

    ++generation;
    greeted = false;
    lastFailure = NoFailure;
    early.clear();
    sinceConnect.invalidate();
    telnet.reset(parsed.kind == PortAddress::Rfc2217 ? new TelnetClient : nullptr);
    QIODevice::open(ReadWrite | Unbuffered);
    setErrorString(QString());

    socket = new TcpStream(this);
    socket->setReadBufferSize(receiveLimit);
    connect(socket, &TcpStream::connected, this, &RemotePort::onConnected);
    connect(socket, &QIODevice::readyRead, this, &RemotePort::onReadable);
    connect(socket, &QIODevice::bytesWritten, this, &RemotePort::onWritten);
    connect(socket, &TcpStream::errorOccurred, this, &RemotePort::onSocketError);
    timer->start(parsed.connectTimeoutMs);
    KVLOG(Debug).write() << "Connecting to " << name;
    opening = true;
    socket->connectToHost(parsed.host, parsed.tcpPort);
    opening = false;
    return true;
}

void RemotePort::close()
{
    if (!isOpen())
        return;
    QIODevice::close(); // aboutToClose() first
    teardown();
    received.clear();
    readPos = 0;
    held.clear();
    heldSent.clear();
}

void RemotePort::teardown()
{
    timer->stop();
    ready = false;
    inFlight.clear();
    wireReported = 0;
    written = 0;
    reportQueued = false;
    if (socket) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        socket = nullptr;
    }
}

qint64 RemotePort::bytesAvailable() const
{
    return received.size() - readPos + QIODevice::bytesAvailable();
}

qint64 RemotePort::bytesToWrite() const
{
    return held.size() + (socket ? socket->bytesToWrite() : 0);
}

bool RemotePort::canReadLine() const
{
    return received.indexOf('\n', int(readPos)) >= 0 || QIODevice::canReadLine();
}

qint64 RemotePort::readData(char *data, qint64 maxSize)
{
    const qint64 count = qMin(maxSize, qint64(received.size() - readPos));
    std::memcpy(data, received.constData() + readPos, size_t(count));
    readPos += count;
    if (readPos == received.size()) {
        received.clear();
        readPos = 0;
    }
    // Reading was held back while too much lay unread: go on from the event loop.
    if (socket && socket->bytesAvailable() > 0 && !pumpQueued) {
        pumpQueued = true;
        QMetaObject::invokeMethod(this, &RemotePort::onReadable, Qt::QueuedConnection);
    }
    return count;
}

qint64 RemotePort::writeData(const char *data, qint64 size)
{
    if (!socket) {
        setErrorString(QStringLiteral("%1 is not connected").arg(name));
        return -1;
    }
    if (ready && !telnet) {
        inFlight.push_back({size, size});
        put(data, size);
        return size;
    }
    QByteArray wire;
    if (telnet)
        TelnetClient::escape(data, size, wire);
    else
        wire = QByteArray(data, int(size));
    if (ready) {
        send(wire, size);
    } else {
        held += wire;
        heldSent.push_back({wire.size(), size});
    }
    return size;
}

void RemotePort::send(const QByteArray &wire, qint64 data)
{
    inFlight.push_back({wire.size(), data});
    put(wire.constData(), wire.size());
}

void RemotePort::put(const char *data, qint64 size)
{
    // Qt has closed a socket whose connection broke by the time it tells, and the failure
    // is reported from the event loop: what is written meanwhile goes nowhere.
    if (!socket->isWritable())
        return;
    // Written now rather than from the next pass of the event loop: a round trip then costs
    // one wake-up, not two. What the socket says meanwhile is handled after the write.
    writing = true;
    socket->write(data, size);
    socket->flush();
    writing = false;
}

void RemotePort::later(void (RemotePort::*handler)())
{
    const QPointer<TcpStream> from(socket);
    QMetaObject::invokeMethod(
        this,
        [this, from, handler] {
            if (from && from == socket)
                (this->*handler)();
        },
        Qt::QueuedConnection);
}

void RemotePort::onConnected()
{
    sinceConnect.start();
    socket->setSocketOption(TcpStream::LowDelayOption, 1);
    if (!telnet) {
        becomeReady();
        return;
    }
    // ser2net speaks first, and turns a second client away in the same breath: greeted
    // after that, nothing of ours is unread there when it hangs up, which would make its
    // system reset the connection and ours drop the words. A server that waits for the
    // client is greeted after a moment.
    const quint64 connection = generation;
    QTimer::singleShot(serverFirstMs, this, [this, connection] {
        if (socket && generation == connection)
            greet();
    });
}

void RemotePort::greet()
{
    if (greeted)
        return;
    greeted = true;
    const QByteArray hello = telnet->greeting();
    if (!hello.isEmpty())
        send(hello, 0);
}

void RemotePort::onReadable()
{
    pumpQueued = false;
    const QPointer<RemotePort> self(this);
    char chunk[16 * 1024];
    // What was read goes once it is the larger part: a reader that never quite catches up
    // would keep it all.
    if (readPos > 0 && readPos >= received.size() / 2) {
        received.remove(0, int(readPos));
        readPos = 0;
    }
    // Qt has closed a socket the server hung up on by the time it tells: nothing to read.
    while (socket && socket->isReadable() && received.size() - readPos < receiveLimit) {
        const qint64 count = socket->read(chunk, sizeof chunk);
        if (count <= 0)
            break;
        const int before = received.size();
        if (telnet) {
            QByteArray reply;
            telnet->receive(chunk, count, received, reply);
            if (!reply.isEmpty())
                send(reply, 0);
        } else {
            received.append(chunk, int(count));
        }
        if (early.size() < earlyLimit)
            early += received.mid(before, earlyLimit - early.size());
    }
    if (!socket)
        return;
    if (telnet && !greeted && socket->state() == TcpStream::ConnectedState)
        greet();
    if (!ready && telnet && telnet->ready())
        becomeReady();
    else
        announce();
}

void RemotePort::becomeReady()
{
    timer->stop();
    ready = true;
    if (telnet && telnet->comPortRefused) {
        KVLOG(Warning).write() << name << ": the server takes no serial port settings; the port keeps its own";
    } else if (telnet && telnet->baudRate != 115200) {
        KVLOG(Warning).write() << name << ": the server set " << telnet->baudRate << " baud, not 115200";
    }
    KVLOG(Debug).write() << "Connected to " << name;
    if (!held.isEmpty()) {
        inFlight.insert(inFlight.end(), heldSent.begin(), heldSent.end());
        heldSent.clear();
        const QByteArray bytes = std::exchange(held, QByteArray());
        put(bytes.constData(), bytes.size());
    }
    const QPointer<RemotePort> self(this);
    const quint64 connection = generation;
    emit connected();
    if (self && generation == connection)
        announce();
}

void RemotePort::announce()
{
    if (!ready || announcing || received.size() == readPos)
        return;
    announcing = true; // readyRead() is not emitted from inside its own slots
    const QPointer<RemotePort> self(this);
    emit readyRead();
    if (self)
        announcing = false;
}

void RemotePort::onWritten(qint64 bytes)
{
    wireReported += bytes;
    while (!inFlight.empty() && wireReported >= inFlight.front().wire) {
        wireReported -= inFlight.front().wire;
        written += inFlight.front().data;
        inFlight.pop_front();
    }
    // Never from inside write(): a communicator counts a payload once its write returned.
    if (writing && written > 0 && !reportQueued) {
        reportQueued = true;
        later(&RemotePort::reportWritten);
    } else if (!writing) {
        reportWritten();
    }
}

void RemotePort::reportWritten()
{
    reportQueued = false;
    if (written > 0)
        emit bytesWritten(std::exchange(written, 0));
}

void RemotePort::onSocketError()
{
    if (writing) {
        later(&RemotePort::onSocketError);
        return;
    }
    const TcpStream::SocketError error = socket->error();
    const QString where = QStringLiteral("%1:%2").arg(address->host).arg(address->tcpPort);
    if (error == TcpStream::RemoteHostClosedError) {
        serverClosed();
    } else if (sinceConnect.isValid()) {
        fail(Dropped, QStringLiteral("the connection to %1 broke: %2").arg(where, socket->errorString()));
    } else if (error == TcpStream::ConnectionRefusedError) {
        fail(Refused, QStringLiteral("nothing listens on %1 (connection refused)").arg(where));
    } else if (error == TcpStream::SocketTimeoutError) {
        onTimeout();
    } else if (error == TcpStream::HostNotFoundError) {
        fail(Unreachable, QStringLiteral("the host \"%1\" is not found").arg(address->host));
    } else {
        fail(Unreachable, QStringLiteral("no connection to %1: %2").arg(where, socket->errorString()));
    }
}

void RemotePort::serverClosed()
{
    // What came before the end is the reader's, and may be the server's reason.
    const QPointer<RemotePort> self(this);
    onReadable();
    if (!self || !socket)
        return;
    const QString words = serverWords();
    const bool turnedAway = !ready || (!telnet && sinceConnect.elapsed() < graceMs);
    if (!turnedAway)
        fail(Dropped, QStringLiteral("the server closed the connection"));
    else if (words.contains(QLatin1String("in use"), Qt::CaseInsensitive))
        fail(Busy, QStringLiteral("the server lets no second client in: \"%1\"").arg(words));
    else if (!words.isEmpty())
        fail(Unavailable, QStringLiteral("the server closed the connection at once: \"%1\"").arg(words));
    else
        fail(Unavailable, QStringLiteral("the server closed the connection at once, without a word"));
}

QString RemotePort::serverWords() const
{
    QString words;
    for (const char c : early)
        words += (uchar(c) >= 0x20 && uchar(c) < 0x7f) ? QLatin1Char(c) : QLatin1Char(' ');
    return words.simplified();
}

void RemotePort::onTimeout()
{
    const int ms = address->connectTimeoutMs;
    if (sinceConnect.isValid())
        fail(TimedOut, QStringLiteral("the server did not take the serial port settings within %1 ms").arg(ms));
    else
        fail(TimedOut, QStringLiteral("no connection to %1:%2 within %3 ms").arg(address->host).arg(address->tcpPort).arg(ms));
}

void RemotePort::fail(Failure failure, const QString &detail)
{
    if (!socket)
        return;
    lastFailure = failure;
    setErrorString(detail);
    teardown();
    KVLOG(Warning).write() << "Remote port failed: " << QString(name + QStringLiteral(": ") + detail);
    if (opening) {
        const quint64 connection = generation;
        QMetaObject::invokeMethod(
            this,
            [this, failure, detail, connection] {
                if (isOpen() && generation == connection)
                    report(failure, detail);
            },
            Qt::QueuedConnection);
    } else {
        report(failure, detail);
    }
}

void RemotePort::report(Failure failure, const QString &detail)
{
    const QPointer<RemotePort> self(this);
    const quint64 connection = generation;
    emit failed(failure, detail);
    // A slot may have deleted the port, closed it, or opened it again.
    if (self && generation == connection)
        close();
}

} // namespace KvDevice
