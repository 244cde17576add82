// SPDX-License-Identifier: MIT
// kvprobe: finds the attached boards through the library, watches for boards that come
// and go, lists the serial ports, asks boards one question, or acts as a terminal for the
// protocol on one port.

#include "askrun.h"
#include "common.h"
#include "monitor.h"
#include "proberun.h"
#include "termination.h"
#include "watchrun.h"

#include <kvdevice/initializer.h>
#include <kvdevice/recordingtap.h>
#include <kvdevice/version.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QTimer>

namespace {

// As a shell reports a program that SIGINT ended.
constexpr int interruptedStatus = 130;

// The help; %1 is how a user stops kvprobe, %2 the system's own paragraph, %3 a found board.
const char *const description = R"(Finds boards attached over USB virtual serial ports and identifies them.

Probing (the default): one line per event as it happens, then a summary:
  found TYPE PORT [serial SN]  a board of TYPE answered on PORT (the name it was opened by)
  not-found TYPE               no port delivered TYPE
  details TYPE PORT ...        with --details: the board's answer to a second query
                               (hwversion v1 v2 v3, or the eight information fields),
                               or "details TYPE PORT failed: REASON" after 1 s of silence
  port PORT OUTCOME: WHY       after the run, each port that delivered nothing, with
                               what to do about it
  done: N found, M not found, T ms
or, without --port when no port is a candidate, one line that says so first.
With --json, one JSON object per line instead (keys in alphabetical order; "port" is
the port's path, "location" its USB socket, "vid"/"pid"/"serial" its USB identity,
each where known):
  %3
  {"event":"not_found","type":"InfoDevice"}
  {"details":{"hwversion":"HW2-6100028","v1":3,...},"event":"details","port":...,"type":...}
      or, when the board stays silent, {"error":"...","event":"details",...}
  {"detail":"...","elapsed_ms":T,"event":"port","outcome":"no_answer","port":...,"queries":4,...}
      one for every port the run considered; the outcome is one of identified, duplicate,
      unrecognized, no_answer, busy, permission_denied, not_found, vanished, open_failed
  {"elapsed_ms":T,"event":"done","found":N,"not_found":M}
  {"detail":"...","event":"no_candidate"}   first, when no port is a candidate; then
      a not_found for each type and done
Exit status: 0 when every requested type was found (and, with --details, every
board answered), 1 when one was not (or no port was a candidate, or a port failed in
--monitor), 2 for bad arguments, 130 when interrupted (%1), every port closed.

Watching (--watch): one line per event as it happens, until interrupted (%1),
then exit status 0:
  watching SOURCE              the watching started (udev, windows, polling every MS
                               ms, directory DIR, remote URL..., or one of these and
                               remote URL...)
  attached TYPE PORT [serial SN]  a board of TYPE answered on a port that appeared
                               (or was there at the start); it stays open until...
  detached TYPE PORT           ...its port went away
  port PORT OUTCOME: WHY       a port that appeared but delivered no board
With --json: {"event":"watching","source":...}, {"event":"attached",...} with the keys
of "found", {"event":"detached","port":...,"type":...}, and "port" events as above.

Boards on other machines: --port URL probes, --watch --remote URL follows, the board
served at rfc2217://HOST:PORT (Telnet with the com-port option, as ser2net's
telnet(rfc2217) accepter and any RFC 2217 server serve it) or socket://HOST:PORT (raw
TCP); HOST may be [IPv6]; ?timeout=MS (default 3000) bounds connecting. Without a
local source, --remote watches no local port. A remote board is attached once it
connects and answers, detached when the connection drops, and asked again while its
server is down, refuses or is busy. Outcomes: not_found (nothing listens, no route,
nothing in time, or the server cannot open the board's port: the detail says which),
busy (another client has the board; the server's words), vanished (the connection
dropped while the board was asked).

Asking (--ask SENTENCE): the sentence ("$" and "*hh" added as --monitor adds them) is
sent to each --port, opened as it is, or else to each board a probing run finds (with
its lines), again after each --timeout up to --retries times; one line per port:
  answer PORT SENTENCE [FIELD=VALUE...]   the answer, with its fields when the init
                               protocol parses it
  no-answer PORT REASON        no answer in time, one that did not parse, a port lost
The answer is the init protocol's for PKVVER and PTKVWR,INF; for any other sentence
--expect ID names the answer's address (such as PKVVER). With --json:
  {"event":"answer","fields":{...},"port":...,"sentence":"$..."}
  {"attempts":N,"event":"no_answer","port":...,"reason":"..."}
Exit status: 0 when every port asked answered, 1 when one did not (or none was asked).

Types: board6100028, board6100027, info, or the names printed (Board6100028,
Board6100027, InfoDevice), in any case; a type given twice is asked for once.
--list prints PORT USB VID:PID SERIAL CANDIDATE MANUFACTURER per port (--json: one
"port" object each, then {"event":"done","ports":N}).
--monitor sends each line typed as a sentence: "$" added when it starts with neither
"$" nor "!", "*hh" when it has no "*", always CR LF; received sentences are shown with
their control characters escaped (\r, \x07), and marked when their checksum is wrong.

%2)";

// Columns as wide as their widest text: serial numbers and Windows' USB locations vary a lot.
void printTable(const QList<QStringList> &rows)
{
    QList<int> widths;
    for (const QStringList &row : rows) {
        for (int i = 0; i < row.size(); ++i) {
            if (i == widths.size())
                widths.append(0);
            widths[i] = qMax(widths.at(i), row.at(i).size());
        }
    }
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(widths.at(i) + 2) : row.at(i);
        Tool::printLine(line);
    }
}

int listPorts(bool json)
{
    const auto ports = QSerialPortInfo::availablePorts();
    if (!json && ports.isEmpty()) {
        Tool::printLine(QStringLiteral("no serial ports found (pseudo-terminals, such as kvboard-sim's, are never "
                                       "listed: probe them with --port PATH)"));
        return 0;
    }
    QList<QStringList> table = {{QStringLiteral("PORT"), QStringLiteral("USB"), QStringLiteral("VID:PID"), QStringLiteral("SERIAL"),
                                 QStringLiteral("CANDIDATE"), QStringLiteral("MANUFACTURER")}};
    const auto infos = KvDevice::PortInfo::fromSystem(ports);
    for (int i = 0; i < ports.size(); ++i) {
        const KvDevice::PortInfo &info = infos.at(i);
        const bool candidate = KvDevice::Initializer::isCandidate(ports.at(i));
        if (json) {
            QJsonObject event = Tool::portJson(info, QStringLiteral("port"));
            event.insert(QStringLiteral("candidate"), candidate);
            if (!info.manufacturer.isEmpty())
                event.insert(QStringLiteral("manufacturer"), info.manufacturer);
            Tool::printJson(event);
            continue;
        }
        auto orDash = [](const QString &text) { return text.isEmpty() ? QStringLiteral("-") : text; };
        const QString ids = info.hasUsbIds ? Tool::hex4(info.vendorId) + QLatin1Char(':') + Tool::hex4(info.productId) : QString();
        table.append({info.name, orDash(info.usbLocation), orDash(ids), orDash(info.serialNumber),
                      candidate ? QStringLiteral("yes") : QStringLiteral("no"), orDash(info.manufacturer)});
    }
    if (json)
        Tool::printJson({{QStringLiteral("event"), QStringLiteral("done")}, {QStringLiteral("ports"), ports.size()}});
    else
        printTable(table);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvprobe"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KVDEVICE_VERSION_STRING));

    QCommandLineParser parser;
    const Tool::SystemTexts &texts = Tool::systemTexts();
    parser.setApplicationDescription(QString::fromUtf8(description).arg(texts.interrupt, texts.help, texts.foundExample));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption typeOption(QStringLiteral("type"),
                                        QStringLiteral("A type to look for; repeat for more (default: all three)."),
                                        QStringLiteral("TYPE"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("A port to probe, as a path, a system name or the URL of a board on "
                                                       "another machine (rfc2217://HOST:PORT, socket://HOST:PORT); repeat for "
                                                       "more (default: the system's candidate ports)."),
                                        QStringLiteral("NAME"));
    const QCommandLineOption delayOption(QStringLiteral("delay"),
                                         QStringLiteral("Wait MS milliseconds before opening the ports when info is "
                                                        "requested (default 0)."),
                                         QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption retriesOption(QStringLiteral("retries"),
                                           QStringLiteral("Ask silent ports again in up to N passes (default 3)."),
                                           QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("One JSON object per line."));
    const QCommandLineOption allOption(QStringLiteral("all"), QStringLiteral("Hand over every board, not only the first of each type."));
    const QCommandLineOption serialOption(QStringLiteral("serial"),
                                          QStringLiteral("Probe only the system's candidate ports with this USB serial number; "
                                                         "repeat for more."),
                                          QStringLiteral("SN"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
                                           QStringLiteral("Wait MS milliseconds for each answer (default 400)."),
                                           QStringLiteral("MS"), QStringLiteral("400"));
    const QCommandLineOption detailsOption(QStringLiteral("details"),
                                           QStringLiteral("Ask each found board what it is and print the answer."));
    const QCommandLineOption listOption(QStringLiteral("list"),
                                        QStringLiteral("List the system's serial ports and whether each is probed."));
    const QCommandLineOption monitorOption(QStringLiteral("monitor"),
                                           QStringLiteral("Print what PORT sends; send each line of standard input "
                                                          "as a sentence (adding $, *checksum and CR LF as needed)."),
                                           QStringLiteral("PORT"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"), QStringLiteral("Show the library's debug log on "
                                                                                     "standard error."));
    const QCommandLineOption watchOption(QStringLiteral("watch"),
                                         QStringLiteral("Watch for boards that come and go; print each event until "
                                                        "interrupted."));
    QCommandLineOption udevOption(QStringLiteral("udev"), QStringLiteral("With --watch: learn of ports from udev's events (Linux)."));
#ifdef Q_OS_WIN
    udevOption.setFlags(QCommandLineOption::HiddenFromHelp);
#endif
    const QCommandLineOption pollOption(QStringLiteral("poll"),
                                        QStringLiteral("With --watch: list the system's ports every MS milliseconds."),
                                        QStringLiteral("MS"));
    const QCommandLineOption dirOption(QStringLiteral("port-dir"),
                                       QStringLiteral("With --watch: watch the port links in folder DIR."),
                                       QStringLiteral("DIR"));
    const QCommandLineOption remoteOption(QStringLiteral("remote"),
                                          QStringLiteral("With --watch: follow the board served at URL (rfc2217://HOST:PORT or "
                                                         "socket://HOST:PORT); repeat for more. Alone, no local port is watched."),
                                          QStringLiteral("URL"));
    const QCommandLineOption askOption(QStringLiteral("ask"),
                                       QStringLiteral("Send SENTENCE to each port (or each board found) and print its "
                                                      "answer."),
                                       QStringLiteral("SENTENCE"));
    const QCommandLineOption expectOption(QStringLiteral("expect"),
                                          QStringLiteral("With --ask: the address of the answer (default: the init "
                                                         "protocol's)."),
                                          QStringLiteral("ID"));
    const QCommandLineOption recordOption(QStringLiteral("record"),
                                          QStringLiteral("Record every port's conversation, and what became of it, to FILE "
                                                         "(JSON Lines; kvboard-sim --replay plays it)."),
                                          QStringLiteral("FILE"));
    const QCommandLineOption redactOption(QStringLiteral("redact"), QStringLiteral("With --record: replace USB serial numbers "
                                                                                   "in the recording."));
    const QCommandLineOption noDtrOption = Tool::noDtrOption();
    parser.addOptions({typeOption, portOption, delayOption, retriesOption, jsonOption, detailsOption, listOption,
                       monitorOption, verboseOption, allOption, serialOption, timeoutOption, watchOption, udevOption,
                       pollOption, dirOption, remoteOption, askOption, expectOption, recordOption, redactOption, noDtrOption});

    if (const int status = Tool::parseCommandLine(parser, helpOption, versionOption); status >= 0)
        return status;
    if (parser.values(monitorOption).size() > 1)
        return Tool::usageError(QStringLiteral("--monitor takes one port"));
    // --list and --monitor are modes of their own: refuse what they would ignore.
    const QList<QPair<QCommandLineOption, QList<QCommandLineOption>>> modes = {
        {listOption, {monitorOption, typeOption, portOption, delayOption, retriesOption, detailsOption, allOption, serialOption, timeoutOption, recordOption, noDtrOption}},
        {monitorOption, {typeOption, portOption, delayOption, retriesOption, detailsOption, jsonOption, allOption, serialOption, timeoutOption}},
        {serialOption, {portOption}},
        {watchOption, {listOption, monitorOption, portOption, delayOption, detailsOption, allOption}},
        {udevOption, {pollOption, dirOption}},
        {pollOption, {dirOption}},
        {askOption, {listOption, monitorOption, watchOption, detailsOption}}};
    for (const auto &mode : modes) {
        for (const QCommandLineOption &other : mode.second) {
            if (parser.isSet(mode.first) && parser.isSet(other))
                return Tool::usageError(QStringLiteral("--%1 and --%2 cannot be combined").arg(mode.first.names().first(), other.names().first()));
        }
    }
    for (const QCommandLineOption &option : {udevOption, pollOption, dirOption, remoteOption}) {
        if (parser.isSet(option) && !parser.isSet(watchOption))
            return Tool::usageError(QStringLiteral("--%1 goes with --watch").arg(option.names().first()));
    }
    if (parser.isSet(expectOption) && !parser.isSet(askOption))
        return Tool::usageError(QStringLiteral("--expect goes with --ask"));
    if (parser.isSet(redactOption) && !parser.isSet(recordOption))
        return Tool::usageError(QStringLiteral("--redact goes with --record"));
    if (parser.isSet(recordOption) && parser.value(recordOption).isEmpty())
        return Tool::usageError(QStringLiteral("--record takes a file name, not an empty text"));
    for (const QCommandLineOption &option : {typeOption, allOption, delayOption}) {
        if (parser.isSet(askOption) && parser.isSet(portOption) && parser.isSet(option))
            return Tool::usageError(QStringLiteral("--ask asks the ports given without identifying them: --%1 means nothing there").arg(option.names().first()));
    }
    QString error;
    if (parser.isSet(dirOption) && parser.value(dirOption).isEmpty())
        return Tool::usageError(QStringLiteral("--port-dir takes a folder, not an empty text"));
    for (const QCommandLineOption &option : {portOption, monitorOption, remoteOption}) {
        if (parser.values(option).contains(QString()))
            return Tool::usageError(QStringLiteral("--%1 takes a port name or path, not an empty text").arg(option.names().first()));
    }
    for (const QString &name : parser.values(remoteOption)) {
        if (!KvDevice::PortInfo::forName(name).isRemote())
            return Tool::usageError(QStringLiteral("--remote takes a URL (rfc2217://HOST:PORT or socket://HOST:PORT), not \"%1\"").arg(name));
    }

    ProbeOptions options;
    int retries = 0;
    if (!Tool::typesFromArguments(parser.values(typeOption), &options.types, &error)
        || !Tool::numberArgument(QStringLiteral("delay"), parser.value(delayOption), 0, QStringLiteral("milliseconds"), &options.delayMs, &error)
        || !Tool::numberArgument(QStringLiteral("retries"), parser.value(retriesOption), 0, QStringLiteral("a count"), &retries, &error)
        || !Tool::numberArgument(QStringLiteral("timeout"), parser.value(timeoutOption), 1, QStringLiteral("milliseconds"), &options.timeoutMs, &error))
        return Tool::usageError(error);
    if (options.types.isEmpty())
        options.types = {KvDevice::Board6100028, KvDevice::Board6100027, KvDevice::InfoDevice};
    options.ports = parser.values(portOption);
    options.retries = unsigned(retries);
    options.serials = parser.values(serialOption);
    options.everyBoard = parser.isSet(allOption);
    options.json = parser.isSet(jsonOption);
    options.details = parser.isSet(detailsOption);
    options.raiseModemLines = !parser.isSet(noDtrOption);

    // The library's own lines stay out of the output unless asked for.
    Tool::showLibraryLog(parser.isSet(verboseOption));

    if (parser.isSet(listOption))
        return listPorts(options.json);

    // Flushed line by line: what was recorded stays when kvprobe is stopped.
    QFile recording(parser.value(recordOption));
    KvDevice::RecordingTap tap;
    if (parser.isSet(recordOption)) {
        tap.setRedacting(parser.isSet(redactOption));
        // The command line tells a reader what was run (and a replay what to run again);
        // left out when redacting, since --serial names serial numbers.
        QJsonObject header;
        if (!parser.isSet(redactOption))
            header.insert(QStringLiteral("arguments"), QJsonArray::fromStringList(QCoreApplication::arguments().mid(1)));
        if (!recording.open(QIODevice::WriteOnly | QIODevice::Truncate) || !tap.start(&recording, header)) {
            Tool::printError(QStringLiteral("kvprobe: cannot record to %1: %2").arg(recording.fileName(), recording.isOpen() ? tap.errorString() : recording.errorString()));
            return 1;
        }
        options.tap = &tap;
    }

    // Every mode below ends from the event loop, also when the user stops it: the objects
    // that ran it go before `stopped`, closing their ports (and, on Unix, their lock files).
    int status = 0;
    const Termination stopped([&status] {
        status = interruptedStatus;
        QCoreApplication::quit();
    });
    if (parser.isSet(monitorOption)) {
        Monitor monitor(parser.value(monitorOption), options.raiseModemLines, options.tap);
        if (!monitor.start())
            return 1;
        QObject::connect(&monitor, &Monitor::finished, &app, [&status](int code) {
            status = code;
            QCoreApplication::quit();
        });
        app.exec();
        return status;
    }

    if (parser.isSet(watchOption)) {
        WatchOptions watch;
        watch.probe = options;
        if (parser.isSet(udevOption))
            watch.source = KvDevice::Watcher::Udev;
        if (parser.isSet(pollOption)) {
            watch.source = KvDevice::Watcher::Polling;
            if (!Tool::numberArgument(QStringLiteral("poll"), parser.value(pollOption), 10, QStringLiteral("milliseconds"), &watch.pollMs, &error))
                return Tool::usageError(error);
        }
        if (parser.isSet(dirOption)) {
            watch.source = KvDevice::Watcher::Directory;
            watch.directory = parser.value(dirOption);
        }
        watch.remote = parser.values(remoteOption);
        if (!watch.remote.isEmpty() && !parser.isSet(udevOption) && !parser.isSet(pollOption) && !parser.isSet(dirOption))
            watch.source = KvDevice::Watcher::Remote;
        WatchRun run(watch);
        if (!run.start())
            return 1;
        app.exec();
        return 0; // stopping is how watching ends
    }

    if (parser.isSet(askOption)) {
        AskOptions ask;
        ask.probe = options;
        QString error;
        if (!AskRun::makeQuery(parser.value(askOption), parser.value(expectOption), &ask.query, &error))
            return Tool::usageError(error);
        AskRun run(ask);
        QObject::connect(&run, &AskRun::finished, &app, [&status](int code) {
            status = code;
            QCoreApplication::quit();
        });
        QTimer::singleShot(0, &run, &AskRun::start);
        app.exec();
        return status;
    }

    ProbeRun run(options);
    QObject::connect(&run, &ProbeRun::finished, &app, [&status](int code) {
        status = code;
        QCoreApplication::quit();
    });
    QTimer::singleShot(0, &run, &ProbeRun::start);
    app.exec();
    return status;
}
