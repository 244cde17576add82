// Recordings: kvprobe --record in each mode, kvboard-sim --replay of the corpus in
// data/sessions (each must make kvprobe print what the recorded run printed), a board of
// each kind recorded and replayed, every byte value both ways, and what a reader refuses.

#include "boardsupport.h"

#include <kvdevice/communicator.h>
#include <kvdevice/recordingtap.h>

#include <QBuffer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

using namespace TestSupport;
using KvDevice::RecordingTap;

namespace {

// A tool run to its end in `dir`, the event loop turning meanwhile (the boards of this
// process answer); `stop` is sent once `stopWhen` shows in its output.
struct Tool
{
    QProcess process;
    QString out;

    Tool(const QString &program, const QStringList &args, const QString &dir)
    {
        process.setWorkingDirectory(dir);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { out += QString::fromUtf8(process.readAllStandardOutput()); });
        process.start(program, args);
    }
    ~Tool()
    {
        process.kill();
        process.waitForFinished();
    }
    bool waitFor(const QString &text) { return QTest::qWaitFor([&] { return out.contains(text); }, 10000); }
    bool finish() { return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000); }
};

QList<QJsonObject> recordsOf(const QString &path, QJsonObject *header = nullptr)
{
    QFile file(path);
    QJsonObject head;
    QList<QJsonObject> records;
    QString error;
    if (!file.open(QIODevice::ReadOnly) || !RecordingTap::read(&file, &head, &records, &error))
        qWarning("%s: %s", qPrintable(path), qPrintable(error));
    if (header)
        *header = head;
    return records;
}

// Each record in short: its event, or "to TEXT" / "from TEXT" for bytes.
QStringList summary(const QList<QJsonObject> &records)
{
    QStringList lines;
    for (const QJsonObject &record : records) {
        RecordingTap::Direction direction;
        QByteArray bytes;
        if (RecordingTap::recordBytes(record, &direction, &bytes))
            lines << (direction == RecordingTap::ToBoard ? QStringLiteral("to ") : QStringLiteral("from ")) + QString::fromLatin1(bytes).trimmed();
        else
            lines << record.value(QStringLiteral("event")).toString() + QLatin1Char(' ') + record.value(QStringLiteral("status")).toString();
    }
    return lines;
}

// kvprobe's JSON lines without their times, sorted: ports are asked at once.
QStringList normalized(const QString &output)
{
    QStringList lines;
    for (const QString &line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
        event.remove(QStringLiteral("elapsed_ms"));
        lines << QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact));
    }
    lines.sort();
    return lines;
}

// kvboard-sim replaying each of `ports` of `file` on a link of its name in `dir`, once it
// has printed their lines; null when it did not.
std::unique_ptr<Tool> replay(const QString &file, const QStringList &ports, const QString &dir)
{
    QStringList args;
    for (const QString &port : ports)
        args << QStringLiteral("--replay") << QStringLiteral("%1:port=%2,link=%3").arg(file, port, QDir(dir).filePath(port));
    auto sim = std::make_unique<Tool>(QStringLiteral(KVBOARD_SIM_PATH), args, dir);
    const bool playing = QTest::qWaitFor([&] { return sim->out.count(QLatin1Char('\n')) == ports.size(); }, 10000);
    return playing ? std::move(sim) : nullptr;
}

} // namespace

class tst_Recording : public QObject
{
    Q_OBJECT

private slots:
    void modes_data();
    void modes();
    void corpus_data();
    void corpus();
    void roundTrip_data();
    void roundTrip();
    void everyByte();
    void redacted();
    void refused_data();
    void refused();
};

void tst_Recording::modes_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QString>("arguments"); // %dir: a folder with the board's link "b" in it
    QTest::addColumn<QString>("input");     // standard input, then closed; "SIGHUP" stops it once attached
    QTest::addColumn<QString>("records");   // in this order, among the recording's, separated by '|'

    QTest::newRow("a run with details") << "info:name=KV3" << "--port b --type info --details" << ""
                                        << "open |to $PTKVWR,INF*71|from $PTKVRD,INF,KV3|attached |request_start |from $PTKVRD,INF,KV3|request_end answered|close ";
    QTest::newRow("a run, the board unplugged mid-answer") << "board6100028:close" << "--port b --type board6100028" << ""
                                                           << "open |to $PKVVER*0c|from $PKVVER,HW2-610|lost |close ";
    QTest::newRow("monitor") << "board6100028" << "--monitor b" << "PKVVER\n" << "open |to $PKVVER*0c|from $PKVVER,HW2-6100028,3,2,3*03|close ";
    QTest::newRow("ask a named port, unanswered") << "board6100028:answers=0" << "--ask PKVVER --port b --retries 1 --timeout 100" << ""
                                                  << "open |to $PKVVER*0c|request_start |to $PKVVER*0c|request_end no_answer|close ";
    QTest::newRow("watch, stopped") << "board6100027" << "--watch --port-dir %dir" << "SIGHUP" << "open |from $PKVVER,HW2-6100027|attached |close ";
}

void tst_Recording::modes()
{
    QFETCH(QString, board);
    QFETCH(QString, arguments);
    QFETCH(QString, input);
    QFETCH(QString, records);

    QTemporaryDir dir;
    Board played(board + (board.contains(QLatin1Char(':')) ? QStringLiteral(",link=") : QStringLiteral(":link=")) + dir.filePath(QStringLiteral("b")));
    Tool probe(QStringLiteral(KVPROBE_PATH), QString(arguments).replace(QStringLiteral("%dir"), dir.path()).split(QLatin1Char(' ')) + QStringList{QStringLiteral("--record"), QStringLiteral("r.jsonl")},
               dir.path());
    if (input == QLatin1String("SIGHUP")) {
        QVERIFY2(probe.waitFor(QStringLiteral("attached")), qPrintable(probe.out));
        ::kill(pid_t(probe.process.processId()), SIGHUP);
    } else {
        probe.process.write(input.toLatin1());
        probe.process.closeWriteChannel();
    }
    QVERIFY(probe.finish());
    const QStringList recorded = summary(recordsOf(dir.filePath(QStringLiteral("r.jsonl"))));
    int at = 0;
    for (const QString &record : records.split(QLatin1Char('|'))) {
        while (at < recorded.size() && !recorded.at(at).startsWith(record))
            ++at;
        QVERIFY2(at++ < recorded.size(), qPrintable(record + QStringLiteral(" not in order in:\n") + recorded.join(QLatin1Char('\n'))));
    }
}

void tst_Recording::corpus_data()
{
    QTest::addColumn<QString>("recording");
    const QDir sessions(QStringLiteral(KVDEVICE_SESSIONS_DIR));
    for (const QString &name : sessions.entryList({QStringLiteral("*.jsonl")}))
        QTest::newRow(qPrintable(name)) << sessions.filePath(name);
}

void tst_Recording::corpus()
{
    QFETCH(QString, recording);

    // The recorded command again, on the replay's links named as the recorded ports.
    QJsonObject header;
    QStringList ports;
    for (const QJsonObject &record : recordsOf(recording, &header)) {
        if (record.contains(QStringLiteral("dir")) && !ports.contains(record.value(QStringLiteral("port")).toString()))
            ports << record.value(QStringLiteral("port")).toString();
    }
    QStringList arguments;
    for (const QJsonValue &argument : header.value(QStringLiteral("arguments")).toArray())
        arguments << argument.toString();
    arguments.erase(arguments.begin() + arguments.indexOf(QStringLiteral("--record")), arguments.begin() + arguments.indexOf(QStringLiteral("--record")) + 2);

    QTemporaryDir dir;
    const auto sim = replay(recording, ports, dir.path());
    QVERIFY(sim);
    Tool probe(QStringLiteral(KVPROBE_PATH), arguments, dir.path());
    QVERIFY(probe.finish());
    QFile expected(recording.chopped(6) + QStringLiteral(".chk"));
    QVERIFY(expected.open(QIODevice::ReadOnly));
    QCOMPARE(normalized(probe.out), normalized(QString::fromUtf8(expected.readAll())));
}

void tst_Recording::roundTrip_data()
{
    QTest::addColumn<QString>("board");
    QTest::newRow("board6100028") << "board6100028";
    QTest::newRow("board6100027, its own fields") << "board6100027:hwversion=HW9-6100027,v1=7,v2=0,v3=12";
    QTest::newRow("info") << "info:name=KV9,boardid=0042,appmode=BOOT";
}

void tst_Recording::roundTrip()
{
    QFETCH(QString, board);

    QTemporaryDir dir;
    const QStringList arguments{QStringLiteral("--port"), QStringLiteral("b"), QStringLiteral("--details"), QStringLiteral("--json")};
    QString live;
    {
        Board played(board + (board.contains(QLatin1Char(':')) ? QStringLiteral(",link=") : QStringLiteral(":link=")) + dir.filePath(QStringLiteral("b")));
        Tool probe(QStringLiteral(KVPROBE_PATH), arguments + QStringList{QStringLiteral("--record"), QStringLiteral("r.jsonl")}, dir.path());
        QVERIFY(probe.finish());
        QCOMPARE(probe.process.exitCode(), 1); // two types not found
        live = probe.out;
    }
    QVERIFY(live.contains(QLatin1String("\"event\":\"details\"")));
    const auto sim = replay(dir.filePath(QStringLiteral("r.jsonl")), {QStringLiteral("b")}, dir.path());
    QVERIFY(sim);
    Tool probe(QStringLiteral(KVPROBE_PATH), arguments, dir.path());
    QVERIFY(probe.finish());
    QCOMPARE(normalized(probe.out), normalized(live));
}

void tst_Recording::everyByte()
{
    // Every value both ways: the host's with its line end last, so that it is one query.
    QByteArray query, answer;
    for (int value = 0; value < 256; ++value) {
        answer += char(value);
        if (value != '\n')
            query += char(value);
    }
    query += '\n';

    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("r.jsonl")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    {
        Board played;
        QSerialPort port(played.path());
        QVERIFY(port.open(QIODevice::ReadWrite));
        KvDevice::Communicator comm;
        comm.setIODevice(&port);
        RecordingTap tap;
        QVERIFY(tap.start(&file));
        KvDevice::PortInfo info;
        info.name = QStringLiteral("every");
        tap.follow(&comm, info);
        QByteArray heard;
        connect(&tap, &RecordingTap::traffic, this, [&heard](KvDevice::Communicator *, RecordingTap::Direction direction, const QByteArray &bytes) {
            if (direction == RecordingTap::FromBoard)
                heard += bytes;
        });
        QVERIFY(comm.writePayload(QString::fromLatin1(query.constData(), query.size())) > 0);
        QTRY_COMPARE_WITH_TIMEOUT(played.lines.value(0), query, 10000);
        played.send(answer);
        QTRY_COMPARE_WITH_TIMEOUT(heard, answer, 10000);
    }
    file.close();
    QByteArray recorded[2];
    for (const QJsonObject &record : recordsOf(file.fileName())) {
        RecordingTap::Direction direction;
        QByteArray bytes;
        if (RecordingTap::recordBytes(record, &direction, &bytes))
            recorded[direction] += bytes;
    }
    QCOMPARE(recorded[RecordingTap::ToBoard], query);
    QCOMPARE(recorded[RecordingTap::FromBoard], answer);

    const auto sim = replay(file.fileName(), {QStringLiteral("every")}, dir.path());
    QVERIFY(sim);
    QSerialPort port(dir.filePath(QStringLiteral("every")));
    QVERIFY(port.open(QIODevice::ReadWrite));
    QByteArray received;
    connect(&port, &QSerialPort::readyRead, this, [&] { received += port.readAll(); });
    port.write(query);
    QTRY_COMPARE_WITH_TIMEOUT(received, answer, 10000);
}

void tst_Recording::redacted()
{
    QBuffer out;
    QVERIFY(out.open(QIODevice::WriteOnly));
    Board played;
    QSerialPort port(played.path());
    QVERIFY(port.open(QIODevice::ReadWrite));
    KvDevice::Communicator comm;
    comm.setIODevice(&port);
    RecordingTap tap;
    tap.setRedacting(true);
    QVERIFY(tap.start(&out));
    KvDevice::PortInfo info;
    info.name = QStringLiteral("/dev/serial/by-id/usb-STMicroelectronics_STM32_2061376E5748-if00");
    info.serialNumber = QStringLiteral("2061376E5748");
    tap.follow(&comm, info);
    comm.writePayload(QStringLiteral("$PKVVER*0c\r\n"));
    port.close();
    const QString text = QString::fromUtf8(out.data());
    QVERIFY2(!text.contains(info.serialNumber) && text.count(QLatin1String("SERIAL1")) == 5, qPrintable(text)); // open's name, port and serial; the bytes' and the closing's port
}

void tst_Recording::refused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");

    const QByteArray header = R"({"format":"kvdevice-recording","version":1})";
    QTest::newRow("empty") << QByteArray("\n\n") << "an empty file";
    QTest::newRow("not JSON") << QByteArray("$PKVVER*0c\r\n") << "line 1: not a JSON object";
    QTest::newRow("another format") << QByteArray(R"({"format":"nmea-log","version":1})") << "line 1: not a kvdevice recording";
    QTest::newRow("a newer version") << QByteArray(R"({"format":"kvdevice-recording","version":2})") << "format version 2; this kvdevice reads up to 1";
    QTest::newRow("a record without its time") << header + "\n\n" + R"({"port":"a","dir":"to","text":"x"})" << "line 3: a record without its time";
}

void tst_Recording::refused()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);

    QBuffer in(&text);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QJsonObject header;
    QList<QJsonObject> records;
    QString why;
    QVERIFY(!RecordingTap::read(&in, &header, &records, &why));
    QVERIFY2(why.contains(error), qPrintable(why));
}

QTEST_GUILESS_MAIN(tst_Recording)
#include "tst_recording.moc"
