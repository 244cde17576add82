// The command-line tools as their users run them: kvboard-sim plays boards on
// pseudo-terminals, kvprobe finds them through the library, asks them for details and
// talks to them.

#include <kvdevice/initializer.h>
#include <kvdevice/parserabstract.h>

#include "testsupport.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

const QString probeProgram = QStringLiteral(KVPROBE_PATH);
const QString simProgram = QStringLiteral(KVBOARD_SIM_PATH);
// Generous: a loaded machine must not fail a test; a hang still ends in a failure.
constexpr int runTimeoutMs = 60000;

const QMap<QString, QString> enumNames = {{QStringLiteral("board6100028"), QStringLiteral("Board6100028")},
                                          {QStringLiteral("board6100027"), QStringLiteral("Board6100027")},
                                          {QStringLiteral("info"), QStringLiteral("InfoDevice")}};

struct Run
{
    bool finished = false;
    int exitCode = -1; // -1: crashed or killed
    QStringList out;
    QString err;
};

Run run(const QString &program, const QStringList &args, const QByteArray &input = QByteArray())
{
    Run result;
    QProcess process;
    process.start(program, args);
    if (!process.waitForStarted())
        return result;
    process.write(input);
    process.closeWriteChannel();
    result.finished = process.waitForFinished(runTimeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    if (process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

// kvboard-sim with the given boards, stopped (SIGTERM) when it goes out of scope.
class Sim
{
public:
    explicit Sim(const QStringList &boards)
        : expected(boards.size())
    {
        QStringList args;
        for (const QString &board : boards)
            args << QStringLiteral("--board") << board;
        process.start(simProgram, args);
    }
    ~Sim() { stop(SIGTERM); }

    /// Waits for the "TYPE PATH" line of every board.
    bool ready()
    {
        if (!process.waitForStarted())
            return false;
        QDeadlineTimer deadline(runTimeoutMs);
        for (;;) {
            while (process.canReadLine())
                lines << QString::fromUtf8(process.readLine()).trimmed();
            if (lines.size() >= expected)
                return true;
            if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
                return false;
            process.waitForReadyRead(200);
        }
    }
    QString type(int board) const { return lines.value(board).section(QLatin1Char(' '), 0, 0); }
    QString path(int board) const { return lines.value(board).section(QLatin1Char(' '), 1); }
    QStringList portArgs() const
    {
        QStringList args;
        for (int i = 0; i < lines.size(); ++i)
            args << QStringLiteral("--port") << path(i);
        return args;
    }

    /// Sends `signal` and returns the exit code (-1: did not exit normally in time).
    int stop(int signal)
    {
        if (process.state() == QProcess::NotRunning)
            return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        ::kill(pid_t(process.processId()), signal);
        if (!process.waitForFinished(runTimeoutMs)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QString errors() { return QString::fromUtf8(process.readAllStandardError()); }

private:
    QProcess process;
    int expected;
    QStringList lines;
};

// What kvprobe reported, the same from its human and its JSON output.
struct Events
{
    QStringList found;              // "Type@port"
    QStringList notFound;           // "Type"
    QMap<QString, QStringList> details; // "Type@port" -> sorted "field=value", or "error=..."
    QStringList portErrors;         // JSON port_error events: the ports
    int doneFound = -1;
    int doneNotFound = -1;
    bool doneLast = false;
    QStringList unexpected;         // lines that fit no event
};

Events parseHuman(const QStringList &lines)
{
    static const QRegularExpression done(QStringLiteral("^done: (\\d+) found, (\\d+) not found, \\d+ ms$"));
    static const QRegularExpression failed(QStringLiteral("^details (\\S+) (\\S+) failed: (.*)$"));
    Events events;
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        const QStringList words = line.split(QLatin1Char(' '));
        const auto doneMatch = done.match(line);
        const auto failedMatch = failed.match(line);
        if (doneMatch.hasMatch()) {
            events.doneFound = doneMatch.captured(1).toInt();
            events.doneNotFound = doneMatch.captured(2).toInt();
            events.doneLast = i == lines.size() - 1;
        } else if (words.first() == QLatin1String("found") && words.size() >= 3) {
            events.found << words.at(1) + QLatin1Char('@') + line.section(QLatin1Char(' '), 2); // the port may hold blanks
        } else if (words.first() == QLatin1String("not-found") && words.size() == 2) {
            events.notFound << words.at(1);
        } else if (failedMatch.hasMatch()) {
            events.details.insert(failedMatch.captured(1) + QLatin1Char('@') + failedMatch.captured(2),
                                  {QStringLiteral("error=") + failedMatch.captured(3)});
        } else if (words.first() == QLatin1String("details") && words.size() > 3) {
            QStringList fields = words.mid(3);
            fields.sort();
            events.details.insert(words.at(1) + QLatin1Char('@') + words.at(2), fields);
        } else {
            events.unexpected << line;
        }
    }
    return events;
}

Events parseJson(const QStringList &lines)
{
    Events events;
    for (int i = 0; i < lines.size(); ++i) {
        QJsonParseError error{};
        const QJsonObject object = QJsonDocument::fromJson(lines.at(i).toUtf8(), &error).object();
        const QString event = object.value(QStringLiteral("event")).toString();
        const QString where =
            object.value(QStringLiteral("type")).toString() + QLatin1Char('@') + object.value(QStringLiteral("port")).toString();
        if (error.error != QJsonParseError::NoError) {
            events.unexpected << lines.at(i);
        } else if (event == QLatin1String("found") && object.size() == 3) {
            events.found << where;
        } else if (event == QLatin1String("not_found") && object.size() == 2) {
            events.notFound << object.value(QStringLiteral("type")).toString();
        } else if (event == QLatin1String("details") && object.contains(QStringLiteral("error"))) {
            events.details.insert(where, {QStringLiteral("error=") + object.value(QStringLiteral("error")).toString()});
        } else if (event == QLatin1String("details")) {
            const QJsonObject values = object.value(QStringLiteral("details")).toObject();
            QStringList fields;
            for (auto it = values.begin(); it != values.end(); ++it)
                fields << it.key() + QLatin1Char('=') + it.value().toVariant().toString();
            fields.sort();
            events.details.insert(where, fields);
        } else if (event == QLatin1String("port_error")) {
            events.portErrors << object.value(QStringLiteral("port")).toString();
        } else if (event == QLatin1String("done") && object.value(QStringLiteral("elapsed_ms")).isDouble()) {
            events.doneFound = object.value(QStringLiteral("found")).toInt(-1);
            events.doneNotFound = object.value(QStringLiteral("not_found")).toInt(-1);
            events.doneLast = i == lines.size() - 1;
        } else {
            events.unexpected << lines.at(i);
        }
    }
    return events;
}

Events parse(const Run &result, bool json)
{
    return json ? parseJson(result.out) : parseHuman(result.out);
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// "link=PATH" for a board option, with the option syntax's escapes.
QString linkOption(const QString &path)
{
    QString escaped = path;
    escaped.replace(QStringLiteral("\\"), QStringLiteral("\\\\")).replace(QStringLiteral(","), QStringLiteral("\\,"));
    return QStringLiteral("link=") + escaped;
}

QString withOption(const QString &board, const QString &option)
{
    return board + (board.contains(QLatin1Char(':')) ? QLatin1Char(',') : QLatin1Char(':')) + option;
}

} // namespace

class tst_Tools : public QObject
{
    Q_OBJECT

private slots:
    void probeFindsBoards_data();
    void probeFindsBoards();
    void faults_data();
    void faults();
    void details_data();
    void details();
    void monitor_data();
    void monitor();
    void monitorPortLost();
    void portErrors_data();
    void portErrors();
    void commandLineErrors_data();
    void commandLineErrors();
    void listPorts_data();
    void listPorts();
    void simStopsOnSignal_data();
    void simStopsOnSignal();
    void simLinks();
};

void tst_Tools::probeFindsBoards_data()
{
    QTest::addColumn<QStringList>("boards");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("viaLinks");
    QTest::addColumn<QStringList>("found");    // "Type@board index"
    QTest::addColumn<QStringList>("notFound");
    QTest::addColumn<int>("exitCode");

    const QStringList all = {QStringLiteral("board6100028"), QStringLiteral("board6100027"), QStringLiteral("info"),
                             QStringLiteral("silent")};
    const QStringList allFound = {QStringLiteral("Board6100028@0"), QStringLiteral("Board6100027@1"),
                                  QStringLiteral("InfoDevice@2")};
    for (const bool json : {false, true}) {
        const QStringList format = json ? QStringList{QStringLiteral("--json")} : QStringList();
        const char *mode = json ? "json" : "human";
        QTest::addRow("%s: one board of each type and a silent port", mode) << all << format << false << allFound
                                                                           << QStringList() << 0;
        QTest::addRow("%s: through links", mode) << all << format << true << allFound << QStringList() << 0;
        QTest::addRow("%s: one type asked for", mode)
            << all << format + QStringList{QStringLiteral("--type"), QStringLiteral("board6100027")} << false
            << QStringList{QStringLiteral("Board6100027@1")} << QStringList() << 0;
        QTest::addRow("%s: a type that is missing", mode)
            << QStringList{QStringLiteral("board6100028"), QStringLiteral("silent")}
            << format + QStringList{QStringLiteral("--retries"), QStringLiteral("0")} << false
            << QStringList{QStringLiteral("Board6100028@0")}
            << QStringList{QStringLiteral("Board6100027"), QStringLiteral("InfoDevice")} << 1;
    }
    QTest::newRow("a type given twice is asked for once")
        << QStringList{QStringLiteral("info")}
        << QStringList{QStringLiteral("--type"), QStringLiteral("info"), QStringLiteral("--type"), QStringLiteral("INFO")}
        << false << QStringList{QStringLiteral("InfoDevice@0")} << QStringList() << 0;
    QTest::newRow("stage-2 delay")
        << QStringList{QStringLiteral("info"), QStringLiteral("board6100028")}
        << QStringList{QStringLiteral("--delay"), QStringLiteral("150")} << false
        << QStringList{QStringLiteral("InfoDevice@0"), QStringLiteral("Board6100028@1")}
        << QStringList{QStringLiteral("Board6100027")} << 1;
    QTest::newRow("both board identifiers: 6100027 wins")
        << QStringList{QStringLiteral("board6100028:hwversion=X-6100028-6100027")} << QStringList() << false
        << QStringList{QStringLiteral("Board6100027@0")}
        << QStringList{QStringLiteral("Board6100028"), QStringLiteral("InfoDevice")} << 1;
    QTest::newRow("two boards of one type: one is delivered")
        << QStringList{QStringLiteral("board6100028"), QStringLiteral("board6100028:delay=150")}
        << QStringList{QStringLiteral("--type"), QStringLiteral("board6100028")} << false
        << QStringList{QStringLiteral("Board6100028@0")} << QStringList() << 0;
}

void tst_Tools::probeFindsBoards()
{
    QFETCH(QStringList, boards);
    QFETCH(QStringList, args);
    QFETCH(bool, viaLinks);
    QFETCH(QStringList, found);
    QFETCH(QStringList, notFound);
    QFETCH(int, exitCode);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QStringList links;
    if (viaLinks) {
        for (int i = 0; i < boards.size(); ++i) {
            links << dir.filePath(QStringLiteral("board %1").arg(i));
            boards[i] = withOption(boards.at(i), linkOption(links.last()));
        }
    }
    Sim sim(boards);
    QVERIFY(sim.ready());
    QStringList ports;
    for (int i = 0; i < boards.size(); ++i) {
        ports << (viaLinks ? links.at(i) : sim.path(i));
        args << QStringLiteral("--port") << ports.last();
    }

    const Run result = run(probeProgram, args);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, exitCode);

    const bool json = args.contains(QStringLiteral("--json"));
    const Events events = parse(result, json);
    QVERIFY2(events.unexpected.isEmpty(), qPrintable(events.unexpected.join(QLatin1Char('\n'))));
    QStringList expectedFound;
    for (const QString &entry : qAsConst(found))
        expectedFound << entry.section(QLatin1Char('@'), 0, 0) + QLatin1Char('@')
                             + ports.at(entry.section(QLatin1Char('@'), 1).toInt());
    QCOMPARE(sorted(events.found), sorted(expectedFound));
    QCOMPARE(sorted(events.notFound), sorted(notFound));
    QVERIFY(events.doneLast);
    QCOMPARE(events.doneFound, found.size());
    QCOMPARE(events.doneNotFound, notFound.size());
    QVERIFY(events.details.isEmpty()); // only with --details
}

void tst_Tools::faults_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QString>("type"); // empty: all three
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("found");    // the board's own type

    const QStringList noRetry = {QStringLiteral("--retries"), QStringLiteral("0")};
    QTest::newRow("ignores two queries: a retry finds it")
        << "board6100028:ignore=2" << "board6100028" << QStringList() << true;
    QTest::newRow("ignores two queries: one retry is too few")
        << "board6100028:ignore=2" << "board6100028" << QStringList{QStringLiteral("--retries"), QStringLiteral("1")}
        << false;
    QTest::newRow("info ignores two requests") << "info:ignore=2" << "info" << QStringList() << true;
    QTest::newRow("ignores two queries, all types asked") << "board6100027:ignore=2" << "" << QStringList() << true;
    QTest::newRow("silent port") << "silent" << "" << noRetry << false;
    QTest::newRow("silent port, default retries") << "silent" << "info" << QStringList() << false;
    QTest::newRow("noise before the answer") << "board6100027:noise" << "board6100027" << QStringList() << true;
    QTest::newRow("answer byte by byte") << "info:bytewise" << "info" << QStringList() << true;
    QTest::newRow("noise, byte by byte") << "board6100028:noise,bytewise=1" << "board6100028" << QStringList() << true;
    QTest::newRow("late answer within the time-out") << "board6100028:delay=100" << "board6100028" << QStringList()
                                                     << true;
    QTest::newRow("wrong checksum") << "board6100028:badsum" << "board6100028" << noRetry << false;
    QTest::newRow("wrong checksum, info, with retries") << "info:badsum" << "info" << QStringList() << false;
    QTest::newRow("closes its pty at the first query") << "board6100028:close" << "board6100028" << QStringList()
                                                       << false;
    QTest::newRow("closes its pty, all types asked") << "info:close" << "" << QStringList() << false;
    QTest::newRow("hardware version without a board identifier")
        << "board6100028:hwversion=HW2-0000000" << "" << noRetry << false;
    QTest::newRow("information answer with subcommand in lower case") << "info:subcommand=inf" << "info" << noRetry
                                                                       << false;
}

void tst_Tools::faults()
{
    QFETCH(QString, board);
    QFETCH(QString, type);
    QFETCH(QStringList, args);
    QFETCH(bool, found);

    Sim sim({board});
    QVERIFY(sim.ready());
    if (!type.isEmpty())
        args << QStringLiteral("--type") << type;
    args << sim.portArgs();
    const bool bytewise = board.contains(QLatin1String("bytewise"));
    if (bytewise)
        args << QStringLiteral("--verbose"); // the library logs each chunk it reads

    // Bounded: a prober that hangs on a board that vanished fails here, not in CTest's kill.
    const Run result = run(probeProgram, args);
    QVERIFY2(result.finished, "kvprobe did not end");

    const Events events = parseHuman(result.out);
    QVERIFY2(events.unexpected.isEmpty(), qPrintable(events.unexpected.join(QLatin1Char('\n'))));
    QStringList missing = type.isEmpty() ? enumNames.values() : QStringList{enumNames.value(type)};
    const QString boardType = enumNames.value(board.section(QLatin1Char(':'), 0, 0));
    if (found) {
        QCOMPARE(events.found, QStringList{boardType + QLatin1Char('@') + sim.path(0)});
        missing.removeOne(boardType);
    } else {
        QVERIFY(events.found.isEmpty());
    }
    QCOMPARE(sorted(events.notFound), sorted(missing));
    QCOMPARE(result.exitCode, missing.isEmpty() ? 0 : 1);
    QVERIFY(events.doneLast);
    if (bytewise) {
        // The answer came in pieces, not in one read that the pauses failed to split.
        const int chunks = result.err.split(QLatin1Char('\n')).filter(QStringLiteral("rawcommunication:  <-")).size();
        QVERIFY2(chunks > 1, qPrintable(result.err));
    }
}

void tst_Tools::details_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("json");
    QTest::addColumn<QStringList>("expected");

    const QStringList silent = {QStringLiteral("error=no answer within 1000 ms")};
    for (const bool json : {false, true}) {
        const char *mode = json ? "json" : "human";
        QTest::addRow("%s: board6100028 with its own versions", mode)
            << "board6100028:hwversion=HW5-6100028,v1=7,v2=8,v3=19" << "Board6100028" << json
            << QStringList{QStringLiteral("hwversion=HW5-6100028"), QStringLiteral("v1=7"), QStringLiteral("v2=8"),
                           QStringLiteral("v3=19")};
        QTest::addRow("%s: board6100027 as it comes", mode)
            << "board6100027" << "Board6100027" << json
            << QStringList{QStringLiteral("hwversion=HW2-6100027"), QStringLiteral("v1=2"), QStringLiteral("v2=1"),
                           QStringLiteral("v3=0")};
        QTest::addRow("%s: info with its own fields", mode)
            << "info:name=KV1,devtype=SENSOR,boardid=42,rev=C,version=2.1,hwversion=HW3,appmode=BOOT" << "InfoDevice"
            << json
            << QStringList{QStringLiteral("appmode=BOOT"), QStringLiteral("boardid=42"),   QStringLiteral("devtype=SENSOR"),
                           QStringLiteral("hwversion=HW3"), QStringLiteral("name=KV1"),     QStringLiteral("rev=C"),
                           QStringLiteral("subcommand=INF"), QStringLiteral("version=2.1")};
        QTest::addRow("%s: board that answers once only", mode) << "board6100028:answers=1" << "Board6100028" << json
                                                                << silent;
        QTest::addRow("%s: info that answers once only", mode) << "info:answers=1" << "InfoDevice" << json << silent;
    }
    QTest::newRow("late detail answer") << "board6100027:noise,bytewise=1" << "Board6100027" << false
                                        << QStringList{QStringLiteral("hwversion=HW2-6100027"), QStringLiteral("v1=2"),
                                                       QStringLiteral("v2=1"), QStringLiteral("v3=0")};
}

void tst_Tools::details()
{
    QFETCH(QString, board);
    QFETCH(QString, type);
    QFETCH(bool, json);
    QFETCH(QStringList, expected);

    Sim sim({board});
    QVERIFY(sim.ready());
    QStringList args = sim.portArgs() << QStringLiteral("--details") << QStringLiteral("--type")
                                      << enumNames.key(type);
    if (json)
        args << QStringLiteral("--json");

    const Run result = run(probeProgram, args);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0); // the type was found; the details do not change that
    const Events events = parse(result, json);
    QVERIFY2(events.unexpected.isEmpty(), qPrintable(events.unexpected.join(QLatin1Char('\n'))));
    const QString where = type + QLatin1Char('@') + sim.path(0);
    QCOMPARE(events.found, QStringList{where});
    QCOMPARE(events.details.keys(), QStringList{where});
    QCOMPARE(events.details.value(where), sorted(expected));
    QVERIFY(events.doneLast);
}

void tst_Tools::monitor_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("received");

    using TestSupport::sentence;
    const QString version28 = sentence(QStringLiteral("PKVVER,HW2-6100028,3,2,3")).trimmed();
    QTest::newRow("a bare name is framed") << "board6100028" << QByteArray("PKVVER\n")
                                           << QStringList{QStringLiteral("$PKVVER*0c")} << QStringList{version28};
    QTest::newRow("a start flag without checksum")
        << "info:name=KV1" << QByteArray("$PTKVWR,INF\n") << QStringList{QStringLiteral("$PTKVWR,INF*71")}
        << QStringList{sentence(QStringLiteral("PTKVRD,INF,KV1,INFO,0001,A,1.0.0,HW1-INFO,APP")).trimmed()};
    QTest::newRow("a complete sentence is sent as is")
        << "board6100027:hwversion=HW9-6100027" << QByteArray("  $PKVVER*0C\r\n") << QStringList{QStringLiteral("$PKVVER*0C")}
        << QStringList{sentence(QStringLiteral("PKVVER,HW9-6100027,2,1,0")).trimmed()};
    QTest::newRow("a wrong checksum is sent as is and not answered")
        << "board6100028" << QByteArray("$PKVVER*00\n\n!PKVVER\n")
        << QStringList{QStringLiteral("$PKVVER*00"), QStringLiteral("!PKVVER*0c")} << QStringList{version28};
    const quint8 sum = Nmea::calculateChecksum(QStringLiteral("PKVVER,HW2-6100028,3,2,3"), 0);
    QTest::newRow("a wrong checksum from the board")
        << "board6100028:badsum" << QByteArray("PKVVER\n") << QStringList{QStringLiteral("$PKVVER*0c")}
        << QStringList{QStringLiteral("$PKVVER,HW2-6100028,3,2,3*%1").arg(uint(sum ^ 0xff), 2, 16, QLatin1Char('0'))};
    QTest::newRow("the first query ignored")
        << "board6100028:ignore=1" << QByteArray("PKVVER\nPKVVER\n")
        << QStringList{QStringLiteral("$PKVVER*0c"), QStringLiteral("$PKVVER*0c")} << QStringList{version28};
    QTest::newRow("one answer only")
        << "board6100028:answers=1" << QByteArray("PKVVER\nPKVVER\n")
        << QStringList{QStringLiteral("$PKVVER*0c"), QStringLiteral("$PKVVER*0c")} << QStringList{version28};
    QTest::newRow("a version board ignores the information request")
        << "board6100028" << QByteArray("PTKVWR,INF\nPKVVER\n")
        << QStringList{QStringLiteral("$PTKVWR,INF*71"), QStringLiteral("$PKVVER*0c")} << QStringList{version28};
    QTest::newRow("noise arrives as sentences")
        << "board6100028:noise" << QByteArray("PKVVER\n") << QStringList{QStringLiteral("$PKVVER*0c")}
        << QStringList{QStringLiteral("$GPXYZ,1,2*00"), version28};
}

void tst_Tools::monitor()
{
    QFETCH(QString, board);
    QFETCH(QByteArray, input);
    QFETCH(QStringList, sent);
    QFETCH(QStringList, received);

    Sim sim({board});
    QVERIFY(sim.ready());
    QProcess monitor;
    monitor.start(probeProgram, {QStringLiteral("--monitor"), sim.path(0)});
    QVERIFY(monitor.waitForStarted());
    monitor.write(input);

    // Stdin stays open until the last answer is in, so the drain's length does not matter.
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += monitor.readAllStandardOutput()).contains(received.last().toLatin1()), runTimeoutMs);
    monitor.closeWriteChannel();
    QVERIFY(monitor.waitForFinished(runTimeoutMs));
    QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitor.exitCode(), 0);
    out += monitor.readAllStandardOutput();

    QStringList actualSent;
    QStringList actualReceived;
    const QStringList lines = QString::fromLatin1(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("> ")))
            actualSent << line.mid(2);
        else if (line.startsWith(QLatin1String("< ")))
            actualReceived << line.mid(2);
        else
            QFAIL(qPrintable(QStringLiteral("unexpected line: ") + line));
    }
    QCOMPARE(actualSent, sent);
    QCOMPARE(actualReceived, received);
}

void tst_Tools::monitorPortLost()
{
    Sim sim({QStringLiteral("board6100028:close")});
    QVERIFY(sim.ready());
    QProcess monitor;
    monitor.start(probeProgram, {QStringLiteral("--monitor"), sim.path(0)});
    QVERIFY(monitor.waitForStarted());
    monitor.write("PKVVER\n"); // stdin stays open: only the lost port can end the monitor
    QVERIFY2(monitor.waitForFinished(runTimeoutMs), "the monitor did not notice the port going away");
    QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitor.exitCode(), 1);
    const QString err = QString::fromUtf8(monitor.readAllStandardError());
    QVERIFY2(err.contains(sim.path(0) + QStringLiteral(" is gone")), qPrintable(err));
}

void tst_Tools::portErrors_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("held"); // another process has the port open; otherwise it does not exist
    QTest::addColumn<QString>("message");

    const QString permission = QStringLiteral("permission denied");
    const QString fix = QStringLiteral("sudo usermod -aG dialout $USER, then log in again");
    for (const QString &mode : {QStringLiteral("probe"), QStringLiteral("probe-json"), QStringLiteral("monitor")}) {
        QTest::addRow("%s: held by another program", qPrintable(mode)) << mode << true << permission + QLatin1Char('|') + fix;
        QTest::addRow("%s: missing", qPrintable(mode)) << mode << false << QStringLiteral("no such port");
    }
}

void tst_Tools::portErrors()
{
    QFETCH(QString, mode);
    QFETCH(bool, held);
    QFETCH(QString, message);

    Sim sim({QStringLiteral("board6100028")});
    QVERIFY(sim.ready());
    QTemporaryDir dir;
    const QString port = held ? sim.path(0) : dir.filePath(QStringLiteral("no-such-port"));

    // Qt locks a port while one process has it open; a second open is refused.
    QProcess holder;
    if (held) {
        holder.start(probeProgram, {QStringLiteral("--monitor"), port});
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += holder.readAllStandardError()).contains("monitoring"), runTimeoutMs);
    }

    QStringList args;
    if (mode == QLatin1String("monitor"))
        args << QStringLiteral("--monitor") << port;
    else
        args << QStringLiteral("--port") << port << QStringLiteral("--retries") << QStringLiteral("0");
    if (mode == QLatin1String("probe-json"))
        args << QStringLiteral("--json");
    const Run result = run(probeProgram, args);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    for (const QString &part : message.split(QLatin1Char('|')))
        QVERIFY2(result.err.contains(port) && result.err.contains(part), qPrintable(result.err));
    if (mode == QLatin1String("probe-json")) {
        const Events events = parseJson(result.out);
        QCOMPARE(events.portErrors, QStringList{port});
        QCOMPARE(events.doneNotFound, 3);
    }

    if (held) {
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(runTimeoutMs));
        QCOMPARE(holder.exitCode(), 0);
    }
}

void tst_Tools::commandLineErrors_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    const QString probe = probeProgram;
    const QString sim = simProgram;
    QTest::newRow("kvprobe: unknown type lists the valid ones")
        << probe << QStringList{QStringLiteral("--type"), QStringLiteral("board6100029")}
        << QStringLiteral("valid types: board6100028, board6100027, info");
    QTest::newRow("kvprobe: one bad type among good ones")
        << probe << QStringList{QStringLiteral("--type"), QStringLiteral("info"), QStringLiteral("--type"), QStringLiteral("")}
        << QStringLiteral("unknown type \"\"");
    QTest::newRow("kvprobe: negative retries") << probe << QStringList{QStringLiteral("--retries"), QStringLiteral("-1")}
                                               << QStringLiteral("--retries takes a count");
    QTest::newRow("kvprobe: delay that is no number")
        << probe << QStringList{QStringLiteral("--delay"), QStringLiteral("soon")} << QStringLiteral("--delay takes");
    QTest::newRow("kvprobe: unknown option") << probe << QStringList{QStringLiteral("--bogus")}
                                             << QStringLiteral("Unknown option 'bogus'");
    QTest::newRow("kvprobe: stray argument") << probe << QStringList{QStringLiteral("board6100028")}
                                             << QStringLiteral("unexpected argument");
    QTest::newRow("kvprobe: list and monitor")
        << probe << QStringList{QStringLiteral("--list"), QStringLiteral("--monitor"), QStringLiteral("/dev/null")}
        << QStringLiteral("cannot be combined");
    QTest::newRow("kvboard-sim: no board") << sim << QStringList() << QStringLiteral("no board given");
    QTest::newRow("kvboard-sim: unknown type lists the valid ones")
        << sim << QStringList{QStringLiteral("--board"), QStringLiteral("board6100029:delay=5")}
        << QStringLiteral("valid types: board6100028, board6100027, info, silent");
    QTest::newRow("kvboard-sim: option of another type")
        << sim << QStringList{QStringLiteral("--board"), QStringLiteral("info:v1=3")}
        << QStringLiteral("unknown option \"v1\" for info");
    QTest::newRow("kvboard-sim: silent takes only a link")
        << sim << QStringList{QStringLiteral("--board"), QStringLiteral("silent:delay=5")}
        << QStringLiteral("silent board takes only link");
    QTest::newRow("kvboard-sim: negative count")
        << sim << QStringList{QStringLiteral("--board"), QStringLiteral("board6100028:ignore=-1")}
        << QStringLiteral("ignore takes a whole number");
    QTest::newRow("kvboard-sim: version number that is no number")
        << sim << QStringList{QStringLiteral("--board"), QStringLiteral("board6100027:v2=two")}
        << QStringLiteral("v2 takes a whole number");
    QTest::newRow("kvboard-sim: escaped comma in a field")
        << sim << QStringList{QStringLiteral("--board"), QStringLiteral("info:name=a\\,b")}
        << QStringLiteral("name=\"a,b\": a field value cannot hold");
    QTest::newRow("kvboard-sim: flag with a value")
        << sim << QStringList{QStringLiteral("--board"), QStringLiteral("board6100028:badsum=1")}
        << QStringLiteral("badsum takes no value");
    QTest::newRow("kvboard-sim: trailing backslash")
        << sim << QStringList{QStringLiteral("--board"), QStringLiteral("info:name=KV\\")}
        << QStringLiteral("a backslash ends the options");
    QTest::newRow("kvboard-sim: a bad board after a good one")
        << sim << QStringList{QStringLiteral("--board"), QStringLiteral("info"), QStringLiteral("--board"),
                             QStringLiteral("info:delay=5,,ignore=1")}
        << QStringLiteral("empty option");
}

void tst_Tools::commandLineErrors()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    const Run result = run(program, args);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QVERIFY2(result.out.isEmpty(), qPrintable(result.out.join(QLatin1Char('\n')))); // nothing started
}

void tst_Tools::listPorts_data()
{
    QTest::addColumn<bool>("json");
    QTest::newRow("human") << false;
    QTest::newRow("json") << true;
}

void tst_Tools::listPorts()
{
    QFETCH(bool, json);
    const auto ports = QSerialPortInfo::availablePorts();
    const Run result = run(probeProgram, json ? QStringList{QStringLiteral("--list"), QStringLiteral("--json")}
                                              : QStringList{QStringLiteral("--list")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);

    if (json) {
        QCOMPARE(result.out.size(), ports.size() + 1);
        for (int i = 0; i < ports.size(); ++i) {
            const QJsonObject object = QJsonDocument::fromJson(result.out.at(i).toUtf8()).object();
            QCOMPARE(object.value(QStringLiteral("event")).toString(), QStringLiteral("port"));
            QCOMPARE(object.value(QStringLiteral("port")).toString(), ports.at(i).portName());
            QCOMPARE(object.value(QStringLiteral("manufacturer")).toString(), ports.at(i).manufacturer());
            QCOMPARE(object.value(QStringLiteral("candidate")).toBool(), KvDevice::Initializer::isCandidate(ports.at(i)));
        }
        const QJsonObject done = QJsonDocument::fromJson(result.out.last().toUtf8()).object();
        QCOMPARE(done.value(QStringLiteral("ports")).toInt(-1), ports.size());
        return;
    }
    if (ports.isEmpty()) {
        QCOMPARE(result.out.size(), 1);
        QVERIFY(result.out.first().startsWith(QLatin1String("no serial ports found")));
        return;
    }
    QCOMPARE(result.out.size(), ports.size() + 1);
    QVERIFY(result.out.first().startsWith(QLatin1String("PORT")));
    for (int i = 0; i < ports.size(); ++i) {
        const QStringList columns = result.out.at(i + 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QCOMPARE(columns.first(), ports.at(i).portName());
        QCOMPARE(columns.last(),
                 KvDevice::Initializer::isCandidate(ports.at(i)) ? QStringLiteral("yes") : QStringLiteral("no"));
    }
}

void tst_Tools::simStopsOnSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_Tools::simStopsOnSignal()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A comma in the path exercises the option syntax's escape.
    const QString first = dir.filePath(QStringLiteral("kv,1"));
    const QString second = dir.filePath(QStringLiteral("silent"));
    Sim sim({withOption(QStringLiteral("board6100028:delay=5"), linkOption(first)),
             QStringLiteral("silent:") + linkOption(second)});
    QVERIFY(sim.ready());
    QCOMPARE(sim.type(0), QStringLiteral("board6100028"));
    QCOMPARE(sim.type(1), QStringLiteral("silent"));
    QCOMPARE(QFileInfo(first).symLinkTarget(), sim.path(0));
    QCOMPARE(QFileInfo(second).symLinkTarget(), sim.path(1));

    QCOMPARE(sim.stop(signal), 0);
    QVERIFY(!QFileInfo(first).isSymLink());
    QVERIFY(!QFileInfo(second).isSymLink());
}

void tst_Tools::simLinks()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    // A link left by an earlier run is replaced.
    const QString stale = dir.filePath(QStringLiteral("stale"));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone")), stale));
    {
        Sim sim({QStringLiteral("info:") + linkOption(stale)});
        QVERIFY(sim.ready());
        QCOMPARE(QFileInfo(stale).symLinkTarget(), sim.path(0));
        const Run result = run(probeProgram, {QStringLiteral("--port"), stale, QStringLiteral("--type"), QStringLiteral("info")});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out.value(0), QStringLiteral("found InfoDevice ") + stale);
        QCOMPARE(sim.stop(SIGTERM), 0);
    }
    QVERIFY(!QFileInfo::exists(stale) && !QFileInfo(stale).isSymLink());

    // A real file is never replaced.
    const QString file = dir.filePath(QStringLiteral("file"));
    {
        QFile keep(file);
        QVERIFY(keep.open(QIODevice::WriteOnly));
        keep.write("keep");
    }
    const Run result = run(simProgram, {QStringLiteral("--board"), QStringLiteral("board6100028:") + linkOption(file)});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains(QStringLiteral("cannot create link")), qPrintable(result.err));
    QVERIFY(!QFileInfo(file).isSymLink());
    QFile kept(file);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("keep"));
}

QTEST_GUILESS_MAIN(tst_Tools)
#include "tst_tools.moc"
