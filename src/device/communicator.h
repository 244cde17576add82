// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/kvdevice_export.h>

#include <QChar>
#include <QHash>
#include <QIODevice>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

namespace KvDevice {

class IPayloadParser;
class AnswerLedger;
class RecordingTap;
class SessionAbstract;

/// Carries sentence text over one I/O device, in practice the serial port of one board.
///
/// Writing: writePayload() sends a complete sentence (or a session built by the attached
/// parser) and returns its id (1, 2, ...); transferred(id) follows once the device reports
/// the bytes written, transferFailed(id) when the device refused the bytes or took only
/// part of them. Each written payload ends with exactly one of the two.
///
/// Receiving: each payload runs from a start flag ('$' or '!') to its CR LF; each is stored
/// under a new id (2, 3, ...) and announced with readyRead(id) and readyRead(). Take
/// payloads with readPayload(), by id or oldest first (id 0), as text or parsed into a
/// session. What the device gives is read 100 bytes at a time, and each such chunk is
/// decoded as UTF-8 on its own (a character split between two chunks is garbled) up to its
/// first NUL byte (the rest of that chunk is dropped). A payload is cut back to its last
/// '$' (text in front of it, such as a sentence cut off before its CR LF, is dropped; a '!'
/// inside stays). Incomplete text waits for the rest; once more than 500 characters of it
/// collect, the first 450 are dropped, a sentence in the middle of it too. At most six
/// unread payloads are kept; the one with the lowest id is dropped for a new one, and the
/// lowest id counts as the oldest also after the ids wrapped past 2^32.
///
/// Answers to queries the library sent (requests, a watcher's identification) are counted
/// per port (see Request): such an answer is taken before it is stored, gets no id and no
/// readyRead().
///
/// When the attached device is a QSerialPort that fails (unplugged board, far end closed)
/// or a RemotePort that fails (its connection dropped or was never made), readFailed() is
/// emitted once, from the event loop, after the pending requests ended. A serial port the
/// library handed over (Initializer, Watcher) is closed for the host right after; a serial
/// port the host opened itself must be closed (or deleted) by the host then, or Qt reports
/// the failure again and again, keeping a CPU core busy. A RemotePort closes itself.
///
/// The communicator owns neither its device nor its parser, and never closes the device.
/// It lives in one thread; its signals are emitted synchronously. Deleting it from a slot
/// connected to readyRead() or transferred() is safe; deleting its port there is not (Qt's
/// serial port is still inside its own notification of what it read or wrote, and writes
/// to itself afterwards): use the port's deleteLater() there.
class KVDEVICE_EXPORT Communicator : public QObject
{
    Q_OBJECT
public:
    /// A communicator without device or parser.
    explicit Communicator(QObject *parent = nullptr);
    /// Detaches the device (it stays open); the parser is not deleted.
    ~Communicator() override;

    /// Attaches `device` (null detaches) and connects its readyRead() and bytesWritten().
    /// The previous device is only disconnected. Stored payloads and ids are kept.
    bool setIODevice(QIODevice *device);
    /// The attached device, or null.
    QIODevice *ioDevice() const { return device; }
    /// Attaches the parser used by the session overloads (null detaches). Not owned.
    bool setParser(IPayloadParser *parser);

    /// Writes `payload` as Latin-1, unchanged: pass a complete sentence with its CR LF.
    /// Returns the payload's id, or 0 when no device is attached.
    uint writePayload(const QString &payload);
    /// Builds `session` with the attached parser and writes it. Returns the id, or 0 when
    /// no parser is attached or building failed (logged as an error).
    uint writePayload(const SessionAbstract *session);

    /// Takes the received payload `id` (0: the oldest) out of the buffer into `payload`,
    /// with its CR LF. False when the buffer is empty or does not hold `id`.
    bool readPayload(QString &payload, uint id);
    /// Takes a payload as readPayload(QString&, uint) does and parses it into `session`.
    /// True whenever a payload was taken, also when it could not be parsed (logged as an
    /// error); the payload is gone either way.
    bool readPayload(SessionAbstract *session, uint id);

    /// Drains the device into `buffer` and stores every complete payload found there.
    void read(QString &buffer);
    /// Cuts the first complete payload out of `buffer`; an empty text when there is none.
    QString takePayload(QString &buffer);

signals:
    /// The device has written every byte of payload `id`. In ascending id order, once.
    void transferred(uint id);
    /// The device refused payload `id` or took only part of it; from the event loop.
    void transferFailed(uint id);
    /// A received payload was stored under `id`; take it with readPayload().
    void readyRead(uint id);
    /// The same event without the id, right after readyRead(uint).
    void readyRead();
    /// The attached port failed (unplugged, far end closed; a remote port's connection
    /// dropped or refused); emitted once, from the event loop. The communicator never
    /// closes the port: the library closes a serial port it handed over right after this
    /// signal; the host closes one it opened itself, or Qt keeps reporting the failure,
    /// keeping a CPU core busy. A remote port has closed itself already.
    void readFailed();

public slots:
    /// Drains the device; connected to its readyRead() by setIODevice().
    void ioReadyRead();
    /// Counts `bytes` written by the device; connected to its bytesWritten() by setIODevice().
    void ioBytesWritten(qint64 bytes);

public:
    /// readyRead(uint) under a name of its own, for connecting without qOverload:
    /// `connect(comm, Communicator::received, host, [comm](uint id) { ... })`. A constant
    /// in the header: a DLL's users cannot import an inline variable.
    static constexpr void (Communicator::*received)(uint) = &Communicator::readyRead;

private:
    friend class AnswerLedger;
    friend class Initializer;
    friend class PortProbe;
    friend class RecordingTap;
    friend class Watcher;

    /// Announces the payloads stored now, oldest first, as if they had just come: what a
    /// board said while it was being identified, for the host that took it over.
    void announceStored();

    uint store(const QString &payload);
    uint lowestRxId() const;
    void deviceFailed(const QString &why, bool repeating);
    /// Shows the taps the bytes that passed, `toBoard` or from it.
    void tapped(bool toBoard, const char *data, qint64 size);

    QList<QChar> payloadStartFlags;
    QString payloadTerminator;
    int rxBufferLimit;
    QIODevice *device;
    QHash<uint, QString> rxBuffer;
    QMap<uint, qint64> txPending;
    IPayloadParser *parser;
    uint rxPayloadId;
    uint txPayloadId;

    QString inputBuffer;     // received text after the last complete payload
    qint64 txCovered = 0;    // reported bytes that already count toward the oldest pending payload
    QSet<uint> txShort;      // pending payloads written short: already reported as failed
    bool readFailedReported = false;
    QMetaObject::Connection deviceGoneConnection;
    QMetaObject::Connection deviceErrorConnection;
    AnswerLedger *ledger = nullptr; // the answers its port owes; made when first needed
    QList<RecordingTap *> taps;     // see every byte both ways; change nothing
};

} // namespace KvDevice
