// SPDX-License-Identifier: MIT
#include <kvdevice/communicator.h>
#include <kvdevice/recordingtap.h>
#include <kvdevice/request.h>
#include <kvdevice/version.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFileDevice>
#include <QIODevice>
#include <QJsonDocument>
#include <QMetaEnum>

#include <memory>

namespace KvDevice {

namespace {

const QString formatName = QStringLiteral("kvdevice-recording");

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

// "no_answer" for Request::NoAnswer, as kvprobe names outcomes.
QString statusName(Request::Status status)
{
    QString name;
    for (const QChar c : QString::fromLatin1(QMetaEnum::fromType<Request::Status>().valueToKey(status))) {
        if (c.isUpper() && !name.isEmpty())
            name += QLatin1Char('_');
        name += c.toLower();
    }
    return name;
}

} // namespace

RecordingTap::RecordingTap(QObject *parent)
    : QObject(parent)
{
}

RecordingTap::~RecordingTap()
{
    for (const Followed &f : qAsConst(followed)) {
        if (f.comm)
            f.comm->taps.removeAll(this);
    }
}

bool RecordingTap::start(QIODevice *device, const QJsonObject &extra)
{
    stop();
    if (!device || !device->isWritable()) {
        error = QStringLiteral("the output is not open for writing");
        return false;
    }
    output = device;
    error.clear();
    clock.start();
    write(header(QDateTime::currentDateTime(), extra));
    for (const Followed &f : qAsConst(followed))
        writeOpen(f);
    return output != nullptr;
}

void RecordingTap::stop()
{
    output = nullptr;
}

void RecordingTap::follow(Communicator *comm, const PortInfo &port)
{
    if (!comm || isFollowing(comm))
        return;
    Followed f{comm, comm, port, std::make_shared<QMetaObject::Connection>(), {}, {}};
    // A host may delete the communicator before it closes the port: the closing is the
    // port's, recorded once, whoever goes first.
    if (QIODevice *device = comm->ioDevice()) {
        *f.closing = connect(device, &QIODevice::aboutToClose, this, [this, name = port.name, closing = f.closing] {
            disconnect(*closing);
            writeEvent(name, QStringLiteral("close"));
        });
    }
    f.failing = connect(comm, &Communicator::readFailed, this, [this, name = port.name] { writeEvent(name, QStringLiteral("lost")); });
    f.gone = connect(comm, &QObject::destroyed, this, [this, comm] { drop(comm, false); });
    comm->taps.append(this);
    followed.append(f);
    learnSerial(port.serialNumber);
    writeOpen(f);
}

void RecordingTap::unfollow(Communicator *comm)
{
    drop(comm, true);
}

void RecordingTap::drop(Communicator *comm, bool withClosing)
{
    for (int i = followed.size() - 1; i >= 0; --i) {
        const Followed &f = followed.at(i);
        if (f.raw != comm)
            continue;
        if (withClosing)
            disconnect(*f.closing);
        disconnect(f.failing);
        disconnect(f.gone);
        if (f.comm)
            f.comm->taps.removeAll(this);
        followed.removeAt(i);
    }
}

bool RecordingTap::isFollowing(const Communicator *comm) const
{
    return comm && !nameOf(comm).isNull();
}

QString RecordingTap::nameOf(const Communicator *comm) const
{
    for (const Followed &f : followed) {
        if (f.raw == comm)
            return f.port.name;
    }
    return QString();
}

void RecordingTap::recordAttached(Communicator *comm, Type type, const QHash<QString, QVariant> &fields)
{
    writeEvent(nameOf(comm), QStringLiteral("attached"),
               {{QStringLiteral("type"), QString::fromLatin1(QMetaEnum::fromType<Type>().valueToKey(type))},
                {QStringLiteral("fields"), QJsonObject::fromVariantHash(fields)}});
}

void RecordingTap::recordDetached(Communicator *comm, Type type)
{
    writeEvent(nameOf(comm), QStringLiteral("detached"), {{QStringLiteral("type"), QString::fromLatin1(QMetaEnum::fromType<Type>().valueToKey(type))}});
}

void RecordingTap::recordRequest(Communicator *comm, Request *request, const Query &query)
{
    const QString name = nameOf(comm);
    if (name.isNull())
        return;
    const int id = ++requests;
    writeEvent(name, QStringLiteral("request_start"),
               {{QStringLiteral("id"), id},
                {QStringLiteral("sentence"), query.sentence},
                {QStringLiteral("answer"), query.answer},
                {QStringLiteral("timeout_ms"), query.timeoutMs},
                {QStringLiteral("retries"), query.retries}});
    connect(request, &Request::finished, this, [this, name, id](const Request::Result &result) {
        QJsonObject fields{{QStringLiteral("id"), id},
                           {QStringLiteral("status"), statusName(result.status)},
                           {QStringLiteral("attempts"), result.attempts},
                           {QStringLiteral("elapsed_ms"), result.elapsedMs}};
        if (!result.answerText.isEmpty())
            fields.insert(QStringLiteral("answer_text"), result.answerText);
        if (!result.error.isEmpty())
            fields.insert(QStringLiteral("error"), result.error);
        writeEvent(name, QStringLiteral("request_end"), fields);
    });
}

void RecordingTap::observe(Communicator *comm, Direction direction, const QByteArray &bytes)
{
    if (output) {
        const QString name = nameOf(comm);
        if (!name.isNull())
            write(bytesRecord(now(), name, direction, bytes));
    }
    emit traffic(comm, direction, bytes);
}

void RecordingTap::writeEvent(const QString &port, const QString &event, QJsonObject fields)
{
    if (!output || port.isNull())
        return;
    fields.insert(QStringLiteral("t"), now());
    fields.insert(QStringLiteral("port"), port);
    fields.insert(QStringLiteral("event"), event);
    write(fields);
}

void RecordingTap::writeOpen(const Followed &f)
{
    writeEvent(f.port.name, QStringLiteral("open"), portIdentity(f.port));
}

void RecordingTap::write(QJsonObject record)
{
    if (!output)
        return;
    if (redacting) {
        // Names may hold the serial number too (/dev/serial/by-id/usb-..._SERIAL-if00).
        auto redact = [this](QJsonObject *object) {
            learnSerial(object->value(QStringLiteral("serial")).toString());
            for (const QString &key : {QStringLiteral("port"), QStringLiteral("name"), QStringLiteral("path"), QStringLiteral("serial")}) {
                if (object->value(key).isString())
                    object->insert(key, redacted(object->value(key).toString()));
            }
        };
        redact(&record);
        if (record.value(QStringLiteral("port")).isObject()) { // a header's identity
            QJsonObject identity = record.value(QStringLiteral("port")).toObject();
            redact(&identity);
            record.insert(QStringLiteral("port"), identity);
        }
    }
    // Each line is flushed: what was recorded survives a program that is killed.
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    if (output->write(line) != line.size()) {
        error = output->errorString();
        output = nullptr;
        return;
    }
    if (auto *file = qobject_cast<QFileDevice *>(output))
        file->flush();
}

void RecordingTap::learnSerial(const QString &serial)
{
    if (!serial.isEmpty() && !serials.contains(serial))
        serials.insert(serial, QStringLiteral("SERIAL%1").arg(serials.size() + 1));
}

QString RecordingTap::redacted(QString text) const
{
    for (auto it = serials.cbegin(); it != serials.cend(); ++it)
        text.replace(it.key(), it.value());
    return text;
}

qint64 RecordingTap::now() const
{
    return clock.isValid() ? clock.nsecsElapsed() / 1000 : 0;
}

QJsonObject RecordingTap::bytesRecord(qint64 timeUs, const QString &port, Direction direction, const QByteArray &bytes)
{
    QJsonObject record{{QStringLiteral("t"), timeUs},
                       {QStringLiteral("port"), port},
                       {QStringLiteral("dir"), direction == ToBoard ? QStringLiteral("to") : QStringLiteral("from")}};
    bool printable = true;
    for (const char c : bytes)
        printable = printable && ((c >= 0x20 && c < 0x7f) || c == '\r' || c == '\n' || c == '\t');
    if (printable)
        record.insert(QStringLiteral("text"), QString::fromLatin1(bytes));
    else
        record.insert(QStringLiteral("base64"), QString::fromLatin1(bytes.toBase64()));
    return record;
}

bool RecordingTap::recordBytes(const QJsonObject &record, Direction *direction, QByteArray *bytes)
{
    const QString dir = record.value(QStringLiteral("dir")).toString();
    if (dir != QLatin1String("to") && dir != QLatin1String("from"))
        return false;
    *direction = dir == QLatin1String("to") ? ToBoard : FromBoard;
    if (record.contains(QStringLiteral("base64")))
        *bytes = QByteArray::fromBase64(record.value(QStringLiteral("base64")).toString().toLatin1());
    else
        *bytes = record.value(QStringLiteral("text")).toString().toLatin1();
    return true;
}

QJsonObject RecordingTap::header(const QDateTime &started, const QJsonObject &extra)
{
    QJsonObject object = extra;
    object.insert(QStringLiteral("format"), formatName);
    object.insert(QStringLiteral("version"), formatVersion);
    object.insert(QStringLiteral("library"), QStringLiteral(KVDEVICE_VERSION_STRING));
    object.insert(QStringLiteral("started"), started.toOffsetFromUtc(started.offsetFromUtc()).toString(Qt::ISODateWithMs));
    if (!QCoreApplication::applicationName().isEmpty())
        object.insert(QStringLiteral("program"), QCoreApplication::applicationName());
    return object;
}

QJsonObject RecordingTap::portIdentity(const PortInfo &port)
{
    QJsonObject identity{{QStringLiteral("name"), port.name}};
    const QList<QPair<QString, QString>> texts = {{QStringLiteral("path"), port.systemLocation},
                                                  {QStringLiteral("serial"), port.serialNumber},
                                                  {QStringLiteral("location"), port.usbLocation},
                                                  {QStringLiteral("manufacturer"), port.manufacturer},
                                                  {QStringLiteral("product"), port.description}};
    for (const auto &text : texts) {
        if (!text.second.isEmpty())
            identity.insert(text.first, text.second);
    }
    if (port.hasUsbIds) {
        identity.insert(QStringLiteral("vid"), hex4(port.vendorId));
        identity.insert(QStringLiteral("pid"), hex4(port.productId));
    }
    return identity;
}

bool RecordingTap::read(QIODevice *input, QJsonObject *head, QList<QJsonObject> *records, QString *error)
{
    int number = 0;
    bool hasHeader = false;
    while (!input->atEnd()) {
        const QByteArray line = input->readLine().trimmed();
        ++number;
        if (line.isEmpty())
            continue;
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
        if (!document.isObject()) {
            *error = QStringLiteral("line %1: not a JSON object (%2)").arg(number).arg(parseError.errorString());
            return false;
        }
        const QJsonObject object = document.object();
        if (!hasHeader) {
            if (object.value(QStringLiteral("format")).toString() != formatName) {
                *error = QStringLiteral("line %1: not a kvdevice recording (its first line names no \"format\":\"%2\")").arg(number).arg(formatName);
                return false;
            }
            const int version = object.value(QStringLiteral("version")).toInt();
            if (version < 1 || version > formatVersion) {
                *error = QStringLiteral("line %1: a recording of format version %2; this kvdevice reads up to %3")
                             .arg(number)
                             .arg(object.value(QStringLiteral("version")).toVariant().toString())
                             .arg(formatVersion);
                return false;
            }
            *head = object;
            hasHeader = true;
            continue;
        }
        if (!object.value(QStringLiteral("t")).isDouble()) {
            *error = QStringLiteral("line %1: a record without its time \"t\"").arg(number);
            return false;
        }
        records->append(object);
    }
    if (!hasHeader) {
        *error = QStringLiteral("an empty file, not a kvdevice recording");
        return false;
    }
    return true;
}

} // namespace KvDevice
