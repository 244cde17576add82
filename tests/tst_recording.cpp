// SPDX-License-Identifier: MIT
// Recordings: kvprobe --record in each mode, kvboard-sim --replay of the corpus in
// data/sessions (each must make kvprobe print what the recorded run printed), a board of
// each kind recorded and replayed, every byte value both ways, and what a reader refuses.

#include "boardsupport.h"
#include "replay.h"

#include <kvdevice/communicator.h>
#include <kvdevice/recordingtap.h>

#include <QBuffer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
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
std::unique_ptr<Tool> startReplay(const QString &file, const QStringList &ports, const QString &dir)
{
    QStringList args;
    for (const QString &port : ports)
        args << QStringLiteral("--replay") << QStringLiteral("%1:port=%2,link=%3").arg(file, port, QDir(dir).filePath(port));
    auto sim = std::make_unique<Tool>(QStringLiteral(KVBOARD_SIM_PATH), args, dir);
    const bool playing = QTest::qWaitFor([&] { return sim->out.count(QLatin1Char('\n')) == ports.size(); }, 10000);
    return playing ? std::move(sim) : nullptr;
}

// Records of port "p" from "MS WHAT" steps separated by '|': "> BODY" and "< BODY" the
// sentences sent and received, else an event's name.
QList<QJsonObject> recordsFrom(const QString &steps)
{
    QList<QJsonObject> records;
    for (const QString &step : steps.split(QLatin1Char('|'))) {
        const qint64 us = step.section(QLatin1Char(' '), 0, 0).toLongLong() * 1000;
        const QString what = step.section(QLatin1Char(' '), 1, 1), body = step.section(QLatin1Char(' '), 2);
        if (what == QLatin1String(">") || what == QLatin1String("<"))
            records << RecordingTap::bytesRecord(us, QStringLiteral("p"), what == QLatin1String(">") ? RecordingTap::ToBoard : RecordingTap::FromBoard,
                                                 sentenceBytes(body));
        else
            records << QJsonObject{{QStringLiteral("t"), us}, {QStringLiteral("port"), QStringLiteral("p")}, {QStringLiteral("event"), what}};
    }
    return records;
}

// A host on a replayed board's pty: what it sends, the bodies of what it receives.
struct PtyHost
{
    QSerialPort port;
    QByteArray received;

    explicit PtyHost(const QString &path)
        : port(path)
    {
        port.open(QIODevice::ReadWrite);
        QObject::connect(&port, &QSerialPort::readyRead, [this] { received += port.readAll(); });
    }
    void send(const QString &body) { port.write(body.startsWith(QLatin1Char('$')) ? body.toLatin1() + "\r\n" : sentenceBytes(body)); }
    QString bodies() const
    {
        QStringList lines;
        for (const QByteArray &line : received.split('\n'))
            lines << QString::fromLatin1(line.mid(1, line.indexOf('*') - 1));
        lines.removeAll(QString());
        return lines.join(QLatin1Char('|'));
    }
};

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
    void replay_data();
    void replay();
    void replug();
    void options_data();
    void options();
    void usage_data();
    void usage();
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
    const auto sim = startReplay(recording, ports, dir.path());
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
    const auto sim = startReplay(dir.filePath(QStringLiteral("r.jsonl")), {QStringLiteral("b")}, dir.path());
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

    const auto sim = startReplay(file.fileName(), {QStringLiteral("every")}, dir.path());
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

    // Once a start fails, nothing more is recorded; once it stops following, nothing is told.
    QVERIFY(port.open(QIODevice::ReadWrite));
    int told = 0;
    connect(&tap, &RecordingTap::traffic, this, [&told] { ++told; });
    QBuffer unopened;
    QVERIFY(!tap.start(&unopened));
    comm.writePayload(QStringLiteral("$PKVVER*0c\r\n"));
    QCOMPARE(out.data(), text.toUtf8());
    QCOMPARE(told, 1);
    tap.unfollow(&comm);
    comm.writePayload(QStringLiteral("$PKVVER*0c\r\n"));
    QCOMPARE(told, 1);
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

void tst_Recording::replay_data()
{
    QTest::addColumn<QString>("recorded"); // recordsFrom()'s steps
    QTest::addColumn<QString>("options");  // --replay's, after FILE:
    QTest::addColumn<double>("speed");     // 0: as fast
    QTest::addColumn<QString>("sent");     // bodies the host sends, or "$..." as it is
    QTest::addColumn<QString>("expected"); // the bodies it receives, in order

    const QString twice = QStringLiteral("0 > PKVVER|1 < PKVVER,1|2 > PKVVER|3 < PKVVER,2");
    QTest::newRow("a query asked again gets the next answer, then the last again") << twice << "" << 1.0 << "PKVVER|PKVVER|PKVVER" << "PKVVER,1|PKVVER,2|PKVVER,2";
    QTest::newRow("a query never recorded: silence") << twice << "" << 1.0 << "KVX|PKVVER" << "PKVVER,1";
    QTest::newRow("or the error sentence asked for") << twice << "unknown=KVERR" << 1.0 << "KVX" << "KVERR";
    QTest::newRow("another checksum is another query") << twice << "" << 1.0 << "$PKVVER*00|KVX" << "";
    QTest::newRow("unless checksums are ignored") << twice << "anysum" << 1.0 << "$PKVVER*00" << "PKVVER,1";
    QTest::newRow("the board's own sentences, timed from the query before them")
        << "0 < KVDATA,0|10 > PKVVER|11 < PKVVER,1|30 < KVDATA,1" << "" << 1.0 << "PKVVER" << "KVDATA,0|PKVVER,1|KVDATA,1";
    QTest::newRow("a slow answer answers the query it came after first") << "0 > PKVVER|400 > PKVVER|600 < PKVVER,1" << "" << 10.0 << "PKVVER" << "PKVVER,1";
    QTest::newRow("a minute's delay, as fast") << "0 > PKVVER|60000 < PKVVER,1" << "" << 0.0 << "PKVVER" << "PKVVER,1";
    QTest::newRow("a minute's delay, a thousand times as fast") << "0 > PKVVER|60000 < PKVVER,1" << "" << 1000.0 << "PKVVER" << "PKVVER,1";
}

void tst_Recording::replay()
{
    QFETCH(QString, recorded);
    QFETCH(QString, options);
    QFETCH(double, speed);
    QFETCH(QString, sent);
    QFETCH(QString, expected);

    ReplayConfig config;
    QString error;
    QVERIFY2(ReplayConfig::parse(QStringLiteral("r.jsonl:") + (options.isEmpty() ? QStringLiteral("port=p") : options), &config, &error), qPrintable(error));
    ReplayBoard board(config, ReplayScript::fromRecording(recordsFrom(recorded), QStringLiteral("p"), config.anySum), speed);
    QSignalSpy plugged(&board, &ReplayBoard::plugged);
    QVERIFY(board.plug(&error));
    PtyHost host(plugged.first().first().toString());
    QVERIFY(host.port.isOpen());
    for (const QString &body : sent.split(QLatin1Char('|')))
        host.send(body);
    if (!expected.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(host.bodies(), expected, 10000);
    QTest::qWait(100); // and nothing more
    QCOMPARE(host.bodies(), expected);
}

void tst_Recording::replug()
{
    // Unplugged (the port failed, then closed, then the board detached), plugged back: a
    // second conversation on a new pty, its queries counted anew.
    const QString recorded = QStringLiteral("0 open|1 > PKVVER|2 < PKVVER,1|20 lost|20 close|21 detached|40 open|41 > PKVVER|42 < PKVVER,2");
    ReplayBoard board({}, ReplayScript::fromRecording(recordsFrom(recorded), QStringLiteral("p"), false), 1.0);
    QSignalSpy plugged(&board, &ReplayBoard::plugged), unplugged(&board, &ReplayBoard::unplugged);
    QString error;
    QVERIFY(board.plug(&error));
    {
        PtyHost host(plugged.first().first().toString());
        host.send(QStringLiteral("PKVVER"));
        QTRY_COMPARE_WITH_TIMEOUT(host.bodies(), QStringLiteral("PKVVER,1"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(unplugged.count(), 1, 10000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(plugged.count(), 2, 10000);
    PtyHost host(plugged.last().first().toString());
    host.send(QStringLiteral("PKVVER"));
    QTRY_COMPARE_WITH_TIMEOUT(host.bodies(), QStringLiteral("PKVVER,2"), 10000);
    QTest::qWait(50);
    QCOMPARE(unplugged.count(), 1);
}

void tst_Recording::options_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("parsed"); // file|link|port|anysum|unknown, or the error

    QTest::newRow("a file alone") << "site.jsonl" << "site.jsonl||||";
    QTest::newRow("every option") << "a:b.jsonl:link=/tmp/x:y,port=/dev/ttyACM0,anysum,unknown=$KVERR\\,1"
                                  << "a:b.jsonl|/tmp/x:y|/dev/ttyACM0|1|$KVERR,1*45\r\n";
    QTest::newRow("an unknown option") << "site.jsonl:speed=2" << "unknown replay option \"speed\"";
    QTest::newRow("no file") << ":link=/tmp/x" << "needs a recording";
}

void tst_Recording::options()
{
    QFETCH(QString, text);
    QFETCH(QString, parsed);

    ReplayConfig config;
    QString error;
    if (ReplayConfig::parse(text, &config, &error))
        QCOMPARE(QStringList({config.file, config.link, config.port, config.anySum ? QStringLiteral("1") : QString(), QString::fromLatin1(config.unknown)}).join(QLatin1Char('|')), parsed);
    else
        QVERIFY2(error.contains(parsed), qPrintable(error));
}

void tst_Recording::usage_data()
{
    QTest::addColumn<QString>("arguments"); // %three: a recording of three ports
    QTest::addColumn<QString>("error");

    QTest::newRow("one link for three ports") << "--replay %three:link=x" << "link= names one board, and the recording has 3 ports (b28, b27, info)";
    QTest::newRow("a port it does not have") << "--replay %three:port=b29" << "no conversation on port b29; the recording has b28, b27, info";
    QTest::newRow("no such recording") << "--replay missing.jsonl" << "--replay missing.jsonl: No such file or directory";
    QTest::newRow("no speed") << "--speed 0 --replay %three" << "--speed takes a number above 0";
    QTest::newRow("as fast, but nothing to replay") << "--as-fast --board info" << "--as-fast goes with --replay";
}

void tst_Recording::usage()
{
    QFETCH(QString, arguments);
    QFETCH(QString, error);

    QTemporaryDir dir;
    Tool sim(QStringLiteral(KVBOARD_SIM_PATH),
             arguments.replace(QStringLiteral("%three"), QStringLiteral(KVDEVICE_SESSIONS_DIR "/three-boards.jsonl")).split(QLatin1Char(' ')), dir.path());
    QVERIFY(sim.finish());
    QCOMPARE(sim.process.exitCode(), 2);
    const QString said = QString::fromUtf8(sim.process.readAllStandardError());
    QVERIFY2(said.contains(error), qPrintable(said));
}

QTEST_GUILESS_MAIN(tst_Recording)
#include "tst_recording.moc"

