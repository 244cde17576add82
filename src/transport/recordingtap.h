// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/kvdevice_export.h>
#include <kvdevice/portinfo.h>
#include <kvdevice/type.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

#include <memory>

class QIODevice;

namespace KvDevice {

class Communicator;
class Request;
struct Query;

/// Records the conversations of communicators: every byte each one writes to its device
/// and reads from it, exactly, and the events its host tells (a board attached or
/// detached, a request and how it ended), as a recording: JSON Lines, one header, then
/// one record per event (the format is described in the README, "Recordings").
///
/// A tap changes nothing a host sees: the communicator keeps its device (a QSerialPort
/// stays one), its signals and its timing; the tap only looks at the bytes as they pass.
/// Follow a communicator with follow(), or give the tap to an Initializer or a Watcher
/// (setRecordingTap()), which then has it follow every port it opens, from the opening
/// on, so that the identification is in the recording too. The tap records the opening
/// of a port it follows, its closing and its failing by itself.
///
/// Ownership: the tap owns neither its output nor the communicators; it stops following
/// a communicator that is deleted. Deleting the tap stops every following.
class KVDEVICE_EXPORT RecordingTap : public QObject
{
    Q_OBJECT
public:
    /// Which way bytes went.
    enum Direction {
        ToBoard,   ///< written by the communicator ("to" in a recording)
        FromBoard, ///< read by the communicator ("from")
    };
    Q_ENUM(Direction)

    /// The version of the format this library writes, and the newest it reads.
    static constexpr int formatVersion = 1;

    /// A tap that follows nothing and writes nothing yet.
    explicit RecordingTap(QObject *parent = nullptr);
    /// Stops following; the output is left open.
    ~RecordingTap() override;

    /// Writes the recording to `output` (open for writing; not owned) from now on: the
    /// header, an "open" record for each port followed already, then every record.
    /// `header` adds to the header (e.g. "port", "type", "fields" of a recording of one
    /// board). False, with errorString(), when the output cannot be written.
    bool start(QIODevice *output, const QJsonObject &header = {});
    /// Stops writing; the following goes on (traffic() still comes).
    void stop();
    /// Whether it writes a recording.
    bool isRecording() const { return output != nullptr; }
    /// Why start() failed, or a write after it.
    QString errorString() const { return error; }
    /// Replaces every USB serial number in what is written (the ports' identity and names)
    /// with "SERIAL1", "SERIAL2", ...; the bytes of the conversations are kept as they are.
    void setRedacting(bool on) { redacting = on; }

    /// Records what `comm` writes and reads from now on, as the port `port` (PortInfo::name
    /// names it in every record); an "open" record with its identity first.
    void follow(Communicator *comm, const KvDevice::PortInfo &port);
    /// Stops recording `comm`.
    void unfollow(Communicator *comm);
    /// Whether `comm` is followed.
    bool isFollowing(const Communicator *comm) const;

    /// Records that the board on `comm` was identified as `type`, with its answer's fields.
    void recordAttached(Communicator *comm, KvDevice::Type type, const QHash<QString, QVariant> &fields);
    /// Records that the board on `comm` went away.
    void recordDetached(Communicator *comm, KvDevice::Type type);
    /// Records `request`, just sent on `comm` with `query`, and, when it ends, its result.
    void recordRequest(Communicator *comm, Request *request, const Query &query);

    /// A record of `bytes` that went `direction` on `port`, `timeUs` after the start: the
    /// bytes as "text" when each is printable ASCII, CR, LF or TAB, else as "base64".
    static QJsonObject bytesRecord(qint64 timeUs, const QString &port, Direction direction, const QByteArray &bytes);
    /// The bytes of a record and their direction; false when it holds none.
    static bool recordBytes(const QJsonObject &record, Direction *direction, QByteArray *bytes);
    /// A header: the format and its version, the library's version, the wall-clock start,
    /// the program; `extra` adds to it.
    static QJsonObject header(const QDateTime &started, const QJsonObject &extra = {});
    /// The identity of a port as a recording keeps it ("name", "path", "vid", "pid",
    /// "serial", "location", "manufacturer", "product", where known).
    static QJsonObject portIdentity(const KvDevice::PortInfo &port);
    /// Reads a recording from `input`: its header and its records, in order. False, with
    /// `error` (naming the line), when it is not one, or of a newer version.
    static bool read(QIODevice *input, QJsonObject *header, QList<QJsonObject> *records, QString *error);

signals:
    /// `bytes` went `direction` on `comm`. Emitted from inside the communicator's reading
    /// or writing: do not delete or change `comm` in a slot connected directly.
    void traffic(KvDevice::Communicator *comm, KvDevice::RecordingTap::Direction direction, const QByteArray &bytes);

private:
    friend class Communicator;

    struct Followed
    {
        Communicator *raw;
        QPointer<Communicator> comm;
        PortInfo port;
        std::shared_ptr<QMetaObject::Connection> closing; // outlives the communicator
        QMetaObject::Connection failing;
        QMetaObject::Connection gone;
    };

    /// Called by a followed communicator for every byte that passes.
    void observe(Communicator *comm, Direction direction, const QByteArray &bytes);
    void drop(Communicator *comm, bool withClosing);
    QString nameOf(const Communicator *comm) const;
    void write(QJsonObject record);
    void writeEvent(const QString &port, const QString &event, QJsonObject fields = {});
    void writeOpen(const Followed &followed);
    void learnSerial(const QString &serial);
    QString redacted(QString text) const;
    qint64 now() const;

    QList<Followed> followed;
    QIODevice *output = nullptr;
    QElapsedTimer clock;
    QString error;
    bool redacting = false;
    QHash<QString, QString> serials; // real serial number -> its stand-in
    int requests = 0;
};

} // namespace KvDevice
