// SPDX-License-Identifier: MIT
// Requests over a scripted device (a serial port without a system port for its failures):
// answers on the first try, after a resend or never, answers that do not parse or are
// late, sentences for the host in between, several requests in flight, and a port,
// communicator or request that goes while a request is pending. Each row is a script; the
// host records the results and what readyRead() delivered, in order.

#include <kvdevice/communicator.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/request.h>
#include <kvdevice/sessioninit.h>

#include "testsupport.h"

#include <QSerialPort>
#include <QtTest>

#include <utility>

using namespace KvDevice;
using namespace TestSupport;

namespace {

// The queries a script sends, by name: the init queries; "c" and "r" (one that rejects every
// parsed answer) answered by "PKVVER" through the communicator's parser; "b" that did not
// build; "e" with no sentence.
Query queryNamed(const QString &name, Nmea::ParserInit &parser)
{
    if (name == QLatin1String("v"))
        return InitQuery::version();
    if (name == QLatin1String("i"))
        return InitQuery::information();
    SessionInit unbuildable;
    unbuildable.sentenceId = InfoAnswerSentence;
    Query query = name == QLatin1String("b") ? Query::fromSession(parser, unbuildable, QStringLiteral("PTKVRD")) : Query();
    if (name == QLatin1String("c") || name == QLatin1String("r")) {
        query.sentence = Query::framed(QStringLiteral("KVQ"));
        query.answer = QStringLiteral("PKVVER");
    }
    if (name == QLatin1String("r"))
        query.accepts = [](const SessionAbstract &) { return false; };
    return query;
}

// A serial port that is open without a system port behind it: it keeps what it is sent,
// and the test makes it fail as an unplugged one does.
class FakePort : public QSerialPort
{
public:
    FakePort() { QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered); }
    ~FakePort() override { QIODevice::close(); }
    QByteArray written;

protected:
    qint64 writeData(const char *data, qint64 size) override
    {
        written.append(data, int(size));
        return size;
    }
};

QString body(const QString &sentence)
{
    return sentence.trimmed().section(QLatin1Char('*'), 0, 0).mid(1);
}

} // namespace

class tst_Request : public QObject
{
    Q_OBJECT

private slots:
    void script_data();
    void script();
    void framing()
    {
        QCOMPARE(Query::framed(QStringLiteral("PTKVWR,INF")), QStringLiteral("$PTKVWR,INF*71\r\n"));
        QCOMPARE(InitQuery::version().sentence, QStringLiteral("$PKVVER*0c\r\n"));
        QCOMPARE(InitQuery::information().sentence, Query::framed(QStringLiteral("PTKVWR,INF")));
        QVERIFY(InitQuery::version().buildError.isEmpty());
        // In one call: completed as needed, a checksum given kept, answered by its own address.
        const QList<std::pair<QStringList, QStringList>> made = {
            {{QStringLiteral("KVSTAT,1"), QString()}, {Query::framed(QStringLiteral("KVSTAT,1")), QStringLiteral("KVSTAT")}},
            {{QStringLiteral(" $PKVVER*0c\r\n"), QString()}, {QStringLiteral("$PKVVER*0c\r\n"), QStringLiteral("PKVVER")}},
            {{QStringLiteral("$PTKVWR,INF*00"), QStringLiteral("PTKVRD")}, {QStringLiteral("$PTKVWR,INF*00\r\n"), QStringLiteral("PTKVRD")}},
            {{QStringLiteral("KVSTAT,1*"), QString()}, {Query::framed(QStringLiteral("KVSTAT,1")), QStringLiteral("KVSTAT")}},
            {{QStringLiteral("  "), QString()}, {QString(), QString()}}};
        for (const auto &[given, wanted] : made) {
            const Query query = Query::forSentence(given.at(0), given.at(1));
            QCOMPARE(QStringList({query.sentence, query.answer}), wanted);
        }
    }
};

void tst_Request::script_data()
{
    QTest::addColumn<QString>("script");   // steps separated by '|'
    QTest::addColumn<QString>("expected"); // results ("N STATUS ATTEMPTS DETAIL") and host events, in order
    QTest::addColumn<QString>("sent");     // the bodies of the sentences the board got
    QTest::addColumn<int>("dropped");      // late answers dropped

    const QString info = QStringLiteral("PTKVRD,INF,KV1,INFO,0001,A,1.0.0,HW1,APP");
    QTest::newRow("answered at once") << "send v|board PKVVER,HW2,1,2,3|await 1" << "0 Answered 1 HW2" << "PKVVER" << 0;
    QTest::newRow("answered after a resend; the second answer is late") << "send v 300 1|heard 2|board PKVVER,HW2,1,2,3|await 1|board PKVVER,HW3,1,2,3+KVDATA,1" << "0 Answered 2 HW2|rx2 KVDATA,1" << "PKVVER PKVVER" << 1;
    QTest::newRow("never answered") << "send v 30 2|await 1" << "0 NoAnswer 3 no answer in 3 attempts of 30 ms" << "PKVVER PKVVER PKVVER" << 0;
    QTest::newRow("an answer that does not parse") << "send v|raw $PKVVER,HW2*00|await 1|board PKVVER,HW2,1,2,3" << "0 ParseFailed 1 CRC calculation failed $PKVVER,HW2*00|rx2 PKVVER,HW2,1,2,3" << "PKVVER" << 0;
    QTest::newRow("sentences for the host before, between and after") << "board KVDATA,1|send v|board KVDATA,2|board PKVVER,HW2,1,2,3+KVDATA,3|await 1|board KVDATA,4" << "rx2 KVDATA,1|rx3 KVDATA,2|rx4 KVDATA,3|0 Answered 1 HW2|rx5 KVDATA,4" << "PKVVER" << 0;
    QTest::newRow("two requests in flight, answered out of order") << "send v|send i|board " + info + "|board PKVVER,HW2,1,2,3|await 2" << "1 Answered 1 KV1|0 Answered 1 HW2" << "PKVVER PTKVWR,INF" << 0;
    QTest::newRow("two requests for one answer: the oldest first") << "send v|send v|board PKVVER,A,1,2,3+PKVVER,B,1,2,3|await 2" << "0 Answered 1 A|1 Answered 1 B" << "PKVVER PKVVER" << 0;
    QTest::newRow("the answer's address, exactly") << "send v|board PKVVERX,1|board PKVVE|raw $PKVVER|await 1" << "rx2 PKVVERX,1|rx3 PKVVE|0 ParseFailed 1 Undefined sentence ID: PKVVER\r\n $PKVVER" << "PKVVER" << 0;
    QTest::newRow("a predicate rejects an answer") << "send i|board PTKVRD,XYZ,1|board " + info + "|await 1" << "rx2 PTKVRD,XYZ,1|0 Answered 1 KV1" << "PTKVWR,INF" << 0;
    QTest::newRow("a late answer after giving up is dropped, not the next request's") << "send v 30 0|then send v;board PKVVER,LATE,1,2,3;board PKVVER,B,1,2,3|await 2" << "0 NoAnswer 1 no answer in 1 attempt of 30 ms|1 Answered 1 B" << "PKVVER PKVVER" << 1;
    // Owed answers are kept for twice the longest delay the board has shown (200 ms here).
    QTest::newRow("a late answer past twice the board's delay is the host's") << "send v 1000 0|wait 200|board PKVVER,A,1,2,3|await 1|send v 50 0|await 2|wait 450|board PKVVER,LATE,1,2,3"
                                                                              << "0 Answered 1 A|1 NoAnswer 1 no answer in 1 attempt of 50 ms|rx2 PKVVER,LATE,1,2,3" << "PKVVER PKVVER" << 0;
    // Answered within twice the board's known delay of a resend: the resend's answer, the
    // first attempt's taken as lost, so that its answer, if it comes, is the host's.
    QTest::newRow("an answer right after a resend: the first attempt lost") << "send v 1000 0|wait 100|board PKVVER,A,1,2,3|await 1|send v 300 1|heard 3|board PKVVER,B,1,2,3|await 2|board PKVVER,LATE,1,2,3"
                                                                           << "0 Answered 1 A|1 Answered 2 B|rx2 PKVVER,LATE,1,2,3" << "PKVVER PKVVER PKVVER" << 0;
    QTest::newRow("a late answer after its time is the host's") << "send v 100 0|await 1|wait 150|board PKVVER,LATE,1,2,3" << "0 NoAnswer 1 no answer in 1 attempt of 100 ms|rx2 PKVVER,LATE,1,2,3" << "PKVVER" << 0;
    QTest::newRow("no parser: the text, no predicate") << "send r|board PKVVER,HW2,1,2,3|await 1" << "0 Answered 1 text PKVVER,HW2,1,2,3" << "KVQ" << 0;
    QTest::newRow("the communicator's parser") << "parser|send c|board PKVVER,HW2,1,2,3|await 1" << "0 Answered 1 HW2" << "KVQ" << 0;
    QTest::newRow("the communicator deleted") << "parser|send r|board PKVVER,HW2,1,2,3|kill|await 1" << "rx2 PKVVER,HW2,1,2,3|kill|0 Cancelled 1 the communicator was deleted" << "KVQ" << 0;
    QTest::newRow("cancelled: its one answer comes late") << "send v|cancel 0|board PKVVER,HW2,1,2,3+PKVVER,HW3,1,2,3" << "0 Cancelled 1 cancelled|cancel|rx2 PKVVER,HW3,1,2,3" << "PKVVER" << 1;
    QTest::newRow("another port: the old one forgotten, its late answers too") << "send v|cancel 0|swap|board PKVVER,HW2,1,2,3|send i|close old|board " + info + "|send v|close|await 3" << "0 Cancelled 1 cancelled|cancel|swap|rx2 PKVVER,HW2,1,2,3|close|close|1 Answered 1 KV1|2 PortFailed 1 the port was closed" << "PTKVWR,INF PKVVER" << 0;
    QTest::newRow("deleted while pending: no signal, its answer late") << "send v|delete 0|board PKVVER,HW2,1,2,3+KVDATA,1" << "delete|rx2 KVDATA,1" << "PKVVER" << 1;
    QTest::newRow("the port closed") << "send v|send i|close|await 2" << "close|0 PortFailed 1 the port was closed|1 PortFailed 1 the port was closed" << "PKVVER PTKVWR,INF" << 0;
    QTest::newRow("the port deleted") << "send v|destroy|await 1" << "destroy|0 PortFailed 1 the port was deleted" << "PKVVER" << 0;
    QTest::newRow("the port detached") << "send v|detach|await 1" << "detach|0 PortFailed 1 the port was detached from the communicator" << "PKVVER" << 0;
    const QString failed = QStringLiteral(" PortFailed 1 the port failed: unplugged, or its far end closed");
    QTest::newRow("the port fails: its requests end before readFailed") << "port|send v|send i|fail|await 2" << "fail|0" + failed + "|1" + failed + "|readFailed" << "PKVVER PTKVWR,INF" << 0;
    QTest::newRow("the host deletes the communicator inside finished") << "send v|send i|then kill|board PKVVER,HW2,1,2,3+KVDATA,1|await 2" << "rx2 KVDATA,1|0 Answered 1 HW2|kill|1 Cancelled 1 the communicator was deleted" << "PKVVER PTKVWR,INF" << 0;
    QTest::newRow("the host deletes the port inside finished") << "send v|send i|then destroy|board PKVVER,HW2,1,2,3+KVDATA,1|await 2" << "rx2 KVDATA,1|0 Answered 1 HW2|destroy|1 PortFailed 1 the port was deleted" << "PKVVER PTKVWR,INF" << 0;
    QTest::newRow("the host deletes the communicator inside a failure") << "port|send v|send i|then kill|fail|await 2" << "fail|0" + failed + "|kill|1" + failed << "PKVVER PTKVWR,INF" << 0;
    QTest::newRow("the host deletes the port inside a failure") << "port|send v|send i|then destroy|fail|await 2" << "fail|0" + failed + "|destroy|1" + failed << "PKVVER PTKVWR,INF" << 0;
    QTest::newRow("the host deletes the next request inside a failure") << "port|send v|send v|then delete 1|fail|await 1" << "fail|0" + failed + "|delete|readFailed" << "PKVVER" << 0;
    QTest::newRow("kept by the host, its time-out long over") << "send v 30 1 keep|board PKVVER,HW2,1,2,3|await 1|wait 100" << "0 Answered 1 HW2" << "PKVVER" << 0;
    QTest::newRow("the host deletes the request inside finished") << "send v|then delete 0|board PKVVER,HW2,1,2,3" << "0 Answered 1 HW2|delete" << "PKVVER" << 0;
    QTest::newRow("nothing sent: no sentence, one that did not build") << "send e|send b|await 2" << "0 NotSent 0 no sentence to send|1 NotSent 0 No formatter found" << "" << 0;
    QTest::newRow("nothing sent: a closed port, no port, no communicator") << "close|send v|detach|send v|kill|send v|await 3" << "close|detach|kill|0 NotSent 0 no open port to send on|1 NotSent 0 no open port to send on|2 NotSent 0 no open port to send on" << "" << 0;
}

void tst_Request::script()
{
    QFETCH(QString, script);
    QFETCH(QString, expected);
    QFETCH(QString, sent);
    QFETCH(int, dropped);

    LogCapture log;
    Nmea::ParserInit parser;
    parser.init();
    QPointer<QIODevice> device = new ScriptedDevice;
    std::unique_ptr<QIODevice> parked; // detached, still open
    QPointer<Communicator> comm = new Communicator;
    comm->setIODevice(device);
    QStringList events;
    QList<QPointer<Request>> requests;
    QList<bool> kept;
    QList<int> statuses;
    QString then; // what the host does inside the next finished()
    int awaited = 0, finished = 0;

    connect(comm, QOverload<uint>::of(&Communicator::readyRead), this, [&](uint id) {
        QString text;
        QVERIFY(comm->readPayload(text, id));
        events << QStringLiteral("rx%1 %2").arg(id).arg(body(text));
    });
    connect(comm, &Communicator::readFailed, this, [&] { events << QStringLiteral("readFailed"); });
    QByteArray writtenBefore; // by a device deleted since
    auto written = [&] {
        if (auto *port = dynamic_cast<FakePort *>(device.data()))
            return port->written;
        return device ? static_cast<ScriptedDevice *>(device.data())->written : writtenBefore;
    };
    std::function<void(const QString &)> act = [&](const QString &step) {
        const QStringList words = step.split(QLatin1Char(' '));
        const QString what = words.first();
        if (what == QLatin1String("send")) {
            Query query = queryNamed(words.at(1), parser);
            query.timeoutMs = words.value(2, QStringLiteral("5000")).toInt();
            query.retries = words.value(3, QStringLiteral("0")).toInt();
            Request *request = Request::send(comm, query);
            const int index = requests.size();
            requests << request;
            kept << words.contains(QStringLiteral("keep"));
            request->setAutoDelete(!kept.last());
            connect(request, &Request::finished, this, [&, request, index, query](const Request::Result &result) {
                QCOMPARE(request->result().status, result.status);
                QVERIFY(request->isFinished());
                QVERIFY(!result.answer || result.status == Request::Answered);
                statuses << result.status;
                QVERIFY(result.elapsedMs >= (result.status == Request::NoAnswer ? qint64(result.attempts) * query.timeoutMs : 0));
                const auto *answer = result.answerAs<SessionInit>();
                QString detail = result.error;
                if (result.status == Request::Answered)
                    detail = answer ? answer->parameters.value(answer->sentenceId == InfoAnswerSentence ? InitField::Name : InitField::HwVersion).toString()
                                    : QStringLiteral("text ") + body(result.answerText);
                else if (!result.answerText.isEmpty())
                    detail += QLatin1Char(' ') + result.answerText.trimmed();
                events << QStringLiteral("%1 %2 %3 %4").arg(index).arg(QString::fromLatin1(QMetaEnum::fromType<Request::Status>().valueToKey(result.status))).arg(result.attempts).arg(detail).trimmed();
                if (++finished >= awaited)
                    QTestEventLoop::instance().exitLoop();
                for (const QString &next : std::exchange(then, QString()).split(QLatin1Char(';'), Qt::SkipEmptyParts))
                    act(next);
            });
        } else if (what == QLatin1String("board") || what == QLatin1String("raw")) {
            QByteArray bytes;
            for (const QString &part : words.at(1).split(QLatin1Char('+')))
                bytes += what == QLatin1String("raw") ? part.toLatin1() + "\r\n" : sentenceBytes(part);
            static_cast<ScriptedDevice *>(device.data())->deliver(bytes);
        } else if (what == QLatin1String("port")) { // a serial port instead
            delete device;
            device = new FakePort;
            comm->setIODevice(device);
        } else if (what == QLatin1String("swap")) { // another scripted device
            parked.reset(device.data());
            device = new ScriptedDevice;
            comm->setIODevice(device);
            events << what;
        } else if (what == QLatin1String("parser")) {
            comm->setParser(&parser);
        } else if (what == QLatin1String("await")) {
            awaited = words.at(1).toInt();
            if (finished < awaited)
                QTestEventLoop::instance().enterLoopMSecs(5000);
            QVERIFY2(finished >= awaited, qPrintable(events.join(QLatin1Char('|'))));
        } else if (what == QLatin1String("heard")) {
            QTRY_COMPARE(written().count("\r\n"), words.at(1).toInt());
        } else if (what == QLatin1String("wait")) {
            QTest::qWait(words.at(1).toInt());
        } else if (what == QLatin1String("then")) {
            then = step.mid(5);
        } else {
            // Something happens to a request, the port or the communicator: noted after it.
            if (what == QLatin1String("cancel"))
                requests.at(words.at(1).toInt())->cancel();
            else if (what == QLatin1String("delete"))
                delete requests.at(words.at(1).toInt());
            else if (what == QLatin1String("close"))
                (words.value(1) == QLatin1String("old") ? parked.get() : device.data())->close();
            else if (what == QLatin1String("destroy")) {
                writtenBefore = written();
                delete device;
            } else if (what == QLatin1String("detach"))
                comm->setIODevice(nullptr);
            else if (what == QLatin1String("kill"))
                delete comm;
            else if (what == QLatin1String("fail"))
                emit static_cast<QSerialPort *>(device.data())->errorOccurred(QSerialPort::ResourceError);
            else
                QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
            events << what;
        }
    };
    for (const QString &step : script.split(QLatin1Char('|'))) {
        act(step);
        if (QTest::currentTestFailed())
            return;
    }
    QTest::qWait(20); // nothing more may come
    QCOMPARE(events.join(QLatin1Char('|')), expected);
    QStringList bodies;
    for (const QByteArray &line : written().split('\n')) {
        if (!line.isEmpty())
            bodies << body(QString::fromLatin1(line));
    }
    QCOMPARE(bodies.join(QLatin1Char(' ')), sent);
    QCOMPARE(log.count(QStringLiteral("Late answer dropped: ")), dropped);
    QCOMPARE(log.matching(QStringLiteral("Late answer dropped: ")).value(0, {QtDebugMsg, {}, {}}).type, QtDebugMsg);

    // Nothing outlives the communicator: pending requests end and go, kept ones stay.
    delete comm;
    delete device;
    for (int i = 0; i < requests.size(); ++i) {
        QTRY_COMPARE(requests.at(i).isNull(), !kept.at(i));
        if (requests.at(i)) // its result as told
            QCOMPARE(int(requests.at(i)->result().status), statuses.at(i));
        delete requests.at(i);
    }
}

QTEST_GUILESS_MAIN(tst_Request)
#include "tst_request.moc"
