// SPDX-License-Identifier: MIT
// The library's own TCP stream, where Qt Network is missing: buffers and signals; the
// system's part is in tcpstream_unix.cpp or tcpstream_win.cpp.

#include "transport/tcpstream_p.h"

#include <QPointer>

#include <cstring>

namespace KvDevice {

void TcpStream::Native::meaningOf(int code, std::initializer_list<Meaning> known, SocketError *error, QString *text)
{
    for (const Meaning &meaning : known) {
        if (meaning.code == code) {
            *error = meaning.error;
            *text = QString::fromLatin1(meaning.text);
            return;
        }
    }
    *error = UnknownSocketError;
    *text = qt_error_string(code);
}

TcpStream::TcpStream(QObject *parent)
    : QIODevice(parent)
{
}

TcpStream::~TcpStream()
{
    abort();
}

void TcpStream::connectToHost(const QString &host, quint16 port)
{
    abort();
    QIODevice::open(ReadWrite | Unbuffered);
    socketState = HostLookupState;
    native.reset(Native::create(this));
    native->connectTo(host, port);
}

void TcpStream::abort()
{
    if (native)
        native.release()->discard();
    socketState = UnconnectedState;
    incoming.clear();
    incomingPos = 0;
    outgoing.clear();
    paused = flushQueued = blocked = false;
    if (isOpen())
        QIODevice::close();
}

void TcpStream::onConnected()
{
    socketState = ConnectedState;
    const QPointer<TcpStream> self(this);
    emit connected();
    if (self && socketState == ConnectedState && !outgoing.isEmpty())
        queueFlush();
}

void TcpStream::onReadable()
{
    // Read until the system has no more or as much is held as may be; the rest waits there.
    // What was read goes once it is the larger part: a reader that never quite catches up
    // would keep it all.
    if (incomingPos > 0 && incomingPos >= incoming.size() / 2) {
        incoming.remove(0, int(incomingPos));
        incomingPos = 0;
    }
    SocketError error = UnknownSocketError;
    QString text;
    bool ended = false;
    const qsizetype before = incoming.size() - incomingPos;
    while (!ended && (readLimit <= 0 || incoming.size() - incomingPos < readLimit)) {
        char chunk[16 * 1024];
        const qint64 count = native->receive(chunk, sizeof chunk, &error, &text);
        if (count > 0)
            incoming.append(chunk, int(count));
        else if (count < 0)
            ended = true;
        else
            break;
    }
    paused = !ended && readLimit > 0 && incoming.size() - incomingPos >= readLimit;
    native->watchReadable(!paused && !ended);
    // Not connected any more when its last bytes are told: the reader answers none of them.
    if (ended)
        socketState = UnconnectedState;
    const QPointer<TcpStream> self(this);
    const QPointer<Native> connection(native.get());
    if (incoming.size() - incomingPos > before)
        emit readyRead();
    if (self && ended && connection && native.get() == connection)
        onFailed(error, text);
}

void TcpStream::onWritable()
{
    blocked = false;
    native->watchWritable(false);
    flush();
}

void TcpStream::onFailed(SocketError error, const QString &text)
{
    socketState = UnconnectedState;
    socketError = error;
    setErrorString(text);
    if (native)
        native.release()->discard();
    emit errorOccurred(error);
}

qint64 TcpStream::bytesAvailable() const
{
    return incoming.size() - incomingPos + QIODevice::bytesAvailable();
}

qint64 TcpStream::readData(char *data, qint64 maxSize)
{
    const qint64 count = qMin(maxSize, qint64(incoming.size() - incomingPos));
    std::memcpy(data, incoming.constData() + incomingPos, size_t(count));
    incomingPos += count;
    if (incomingPos == incoming.size()) {
        incoming.clear();
        incomingPos = 0;
    }
    // Room again: read on from the event loop (where the system told readiness once, it
    // will not tell it again before it is read).
    if (paused && count > 0 && native) {
        paused = false;
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (native && socketState == ConnectedState)
                    onReadable();
            },
            Qt::QueuedConnection);
    }
    return count;
}

qint64 TcpStream::writeData(const char *data, qint64 size)
{
    if (!native) {
        setErrorString(QStringLiteral("not connected"));
        return -1;
    }
    outgoing.append(data, int(size));
    if (socketState == ConnectedState)
        queueFlush();
    return size;
}

void TcpStream::queueFlush()
{
    if (flushQueued || blocked)
        return;
    flushQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            flushQueued = false;
            flush();
        },
        Qt::QueuedConnection);
}

bool TcpStream::flush()
{
    if (socketState != ConnectedState || blocked || outgoing.isEmpty())
        return false;
    qint64 taken = 0;
    SocketError error = UnknownSocketError;
    QString text;
    while (taken < outgoing.size()) {
        const qint64 count = native->send(outgoing.constData() + taken, outgoing.size() - taken, &error, &text);
        if (count < 0) {
            onFailed(error, text);
            return false;
        }
        if (count == 0) {
            blocked = true;
            native->watchWritable(true);
            break;
        }
        taken += count;
    }
    outgoing.remove(0, int(taken));
    if (taken > 0)
        emit bytesWritten(taken);
    return taken > 0;
}

} // namespace KvDevice
