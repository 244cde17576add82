// SPDX-License-Identifier: MIT
// kvboard-sim: plays boards on pseudo-terminals, answering the init protocol as real
// boards do, so that hosts can be tried and tested without hardware.

#include "boardconfig.h"
#include "replay.h"
#include "controlport.h"
#include "simboard.h"

#include <kvdevice/recordingtap.h>
#include <kvdevice/version.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

const char *const syntaxHelp = R"(Plays boards on pseudo-terminals: each --board gets a pty of its own
that a host opens like a serial port (e.g. kvprobe --port PATH). Prints one line
per board as it appears, "TYPE PATH" (and " LINK" when it has one), and
"unplugged TYPE PATH [LINK]" when it vanishes; serves until SIGINT or SIGTERM.
Exit status: 0 after a signal (its links removed), 1 when a pty or link cannot be
made, 2 for bad arguments.

Board syntax:  TYPE[:OPTION[,OPTION...]]   OPTION is KEY=VALUE or a flag.
Types:
  board6100028, board6100027   answer the version query PKVVER
  info                         answers the information request PTKVWR,INF (PTKVRD)
  silent                       opens a pty and never answers (takes link, chatter, flood)
  (or the library's names Board6100028, Board6100027, InfoDevice; in any case)
Answer fields (the wire field names):
  board6100028/27: hwversion=TEXT (default HW2-6100028 / HW2-6100027),
                   v1=N, v2=N, v3=N (defaults 3,2,3 / 2,1,0)
  info:            subcommand=INF name=KVINFO devtype=INFO boardid=0001 rev=A
                   version=1.0.0 hwversion=HW1-INFO appmode=APP (the defaults)
  Field values cannot hold , * $ ! or control characters.
Every type:
  link=PATH    create a symlink PATH to the pty, removed on exit; an existing PATH is
               refused unless it is a link to a pty that is gone
  plug=MS      appear MS milliseconds after the start (its pty and link made then)
  unplug=MS    vanish MS milliseconds after appearing: the link is removed and the pty
               closed, as when the board's cable is pulled (the host's port fails)
Faults (not for silent):
  delay=MS     answer MS milliseconds late; delay=MS/MS/... one per answer in turn, then
               again from the first (answers still leave in the order asked)
  number       each answer carries the number of the query it answers, as heard (1, 2,
               ...: v3 of the version answer, rev of the information answer)
  ignore=N     leave the first N queries unanswered
  answers=N    answer N queries (after the ignored ones), then fall silent
  badsum[=N]   send answers with a wrong checksum (only the first N: a board booting)
  noise        send line noise before each answer
  bytewise[=MS]  send answers one byte per write, MS apart (default 2)
  close        send half of the first answer, then close the pty (unplugged mid-answer)
  stale        an answer waits in the port before any host asks (left from an earlier session)
  chatter=MS   send a sentence that identifies nothing every MS milliseconds
  flood        send line noise as fast as the host takes it
  ignore, answers and close count only the queries the board answers (PKVVER for the two
  boards, PTKVWR with subcommand INF for info); other queries and malformed lines
  are ignored.
Escaping: a backslash takes the next character literally: link=/tmp/a\,b makes
  the link "/tmp/a,b"; \\ is one backslash.

Replaying:  --replay FILE[:OPTION[,OPTION...]]   plays each port of a recording (kvprobe
  --record, kvmonitor's Save) as a board of its own, printing "replay PATH [LINK]": each
  query it hears gets the answer that followed the same query in the recording (the
  first, second, ... answer for the first, second, ... time it is asked; the last one
  again beyond), with the recorded delays; what the board sent on its own comes at its
  time after the query before it; a recorded unplug is played ("unplugged replay PATH"),
  and a board plugged back is plugged in again.
  link=PATH    a symlink to the pty (for a recording of one port, or with port=)
  port=NAME    play only the recorded port NAME (as the recording names it)
  anysum       match queries whatever their checksum
  unknown=BODY answer a query the recording never saw with $BODY*hh (default: silence)
  --speed N divides every delay by N (2: twice as fast); --as-fast drops them.

Control port (--control LINK): a pty linked at LINK on which another program, such as
a test that runs under wine, plays boards as it goes; one command per line:
  play BOARD     play a board (syntax above), linked beside LINK and named as it with the
                 next number not given yet (com40: com41, com42, ...) unless it has a
                 link of its own; answers "played LINK" or "error WHY"
  send LINK HEX  the board sends these bytes     close LINK  the board is unplugged
  drop LINK      the board goes, its link removed
  state LINK     answers "state LINK PLAYING HELD": 1 while the board plays; 1 while
                 another program holds its port open
Each line a board hears is told as "heard LINK HEX" (HEX: its bytes in hexadecimal).

kvboard-sim [OPTIONS] -- PROGRAM [ARGUMENT...] runs PROGRAM while it plays, and ends when it
ends, with its exit status: a test that needs the boards.

Examples:
  kvboard-sim --board board6100028 --board info:name=KV1,delay=50
  kvboard-sim --board board6100027:hwversion=HW3-6100027,v1=4,link=/tmp/kvb27
  kvboard-sim --board info:ignore=2 --board board6100028:noise,bytewise=5 --board silent
  kvboard-sim --board board6100028:link=/tmp/boards/a,plug=1000,unplug=2000
      appears after 1 s, is unplugged 2 s later (kvprobe --watch --port-dir /tmp/boards))";

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const char byte = char(number);
    const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvboard-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KVDEVICE_VERSION_STRING));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(syntaxHelp));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption boardOption(QStringLiteral("board"),
                                         QStringLiteral("A board to play; repeat for more (syntax above)."),
                                         QStringLiteral("TYPE[:OPTIONS]"));
    const QCommandLineOption replayOption(QStringLiteral("replay"), QStringLiteral("A recording to play as boards; repeat for more."),
                                          QStringLiteral("FILE[:OPTIONS]"));
    const QCommandLineOption speedOption(QStringLiteral("speed"), QStringLiteral("Replay N times as fast (default 1)."), QStringLiteral("N"));
    const QCommandLineOption fastOption(QStringLiteral("as-fast"), QStringLiteral("Replay without the recorded delays."));
    const QCommandLineOption controlOption(QStringLiteral("control"),
                                           QStringLiteral("Serve a control port linked at LINK (see above)."),
                                           QStringLiteral("LINK"));
    parser.addOptions({boardOption, replayOption, speedOption, fastOption, controlOption});

    auto fail = [](const QString &message) {
        std::fprintf(stderr, "kvboard-sim: %s\nTry 'kvboard-sim --help'.\n", qPrintable(message));
        return 2;
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText());
    if (parser.isSet(helpOption))
        parser.showHelp(0);
    if (parser.isSet(versionOption))
        parser.showVersion();
    // After "--": a program to run with the boards, such as a test, which ends the serving.
    const QStringList program = parser.positionalArguments();
    if (!program.isEmpty() && !QCoreApplication::arguments().contains(QStringLiteral("--")))
        return fail(QStringLiteral("unexpected argument \"%1\"").arg(program.first()));
    const QStringList boardArgs = parser.values(boardOption);
    if (boardArgs.isEmpty() && !parser.isSet(replayOption) && !parser.isSet(controlOption) && program.isEmpty())
        return fail(QStringLiteral("no board given: use --board TYPE[:OPTIONS] or --replay FILE"));
    double speed = 1;
    if (parser.isSet(fastOption) && parser.isSet(speedOption))
        return fail(QStringLiteral("--speed and --as-fast cannot be combined"));
    if (parser.isSet(fastOption))
        speed = 0;
    if (parser.isSet(speedOption)) {
        bool ok = false;
        speed = parser.value(speedOption).toDouble(&ok);
        if (!ok || !(speed > 0) || speed > 1e6)
            return fail(QStringLiteral("--speed takes a number above 0, such as 2 or 0.5, not \"%1\"").arg(parser.value(speedOption)));
    }
    if ((parser.isSet(fastOption) || parser.isSet(speedOption)) && !parser.isSet(replayOption))
        return fail(QStringLiteral("--%1 goes with --replay").arg(parser.isSet(fastOption) ? QStringLiteral("as-fast") : QStringLiteral("speed")));

    QList<BoardConfig> configs;
    for (const QString &board : boardArgs) {
        BoardConfig config;
        QString error;
        if (!BoardConfig::parse(board, &config, &error))
            return fail(QStringLiteral("--board %1: %2").arg(board, error));
        for (const BoardConfig &other : qAsConst(configs)) {
            if (!config.link.isEmpty() && QFileInfo(other.link).absoluteFilePath() == QFileInfo(config.link).absoluteFilePath())
                return fail(QStringLiteral("--board %1: link %2 is given twice").arg(board, config.link));
        }
        configs.append(config);
    }

    // Each recording read now: a bad one is refused before any board plays.
    struct Replay
    {
        ReplayConfig config;
        QList<ReplayScript> scripts;
    };
    QList<Replay> replays;
    QStringList links;
    for (const BoardConfig &config : qAsConst(configs))
        links << config.link;
    for (const QString &argument : parser.values(replayOption)) {
        ReplayConfig config;
        QString error;
        if (!ReplayConfig::parse(argument, &config, &error))
            return fail(QStringLiteral("--replay %1: %2").arg(argument, error));
        QFile file(config.file);
        QJsonObject header;
        QList<QJsonObject> records;
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("--replay %1: %2").arg(config.file, file.errorString()));
        if (!KvDevice::RecordingTap::read(&file, &header, &records, &error))
            return fail(QStringLiteral("--replay %1: %2").arg(config.file, error));
        QStringList ports;
        for (const QJsonObject &record : qAsConst(records)) {
            const QString port = record.value(QStringLiteral("port")).toString();
            if (!ports.contains(port) && record.contains(QStringLiteral("dir")))
                ports << port;
        }
        if (!config.port.isEmpty()) {
            if (!ports.contains(config.port))
                return fail(QStringLiteral("--replay %1: no conversation on port %2; the recording has %3")
                                .arg(config.file, config.port, ports.isEmpty() ? QStringLiteral("none") : ports.join(QStringLiteral(", "))));
            ports = QStringList{config.port};
        }
        if (ports.isEmpty())
            return fail(QStringLiteral("--replay %1: the recording holds no conversation").arg(config.file));
        if (ports.size() > 1 && !config.link.isEmpty())
            return fail(QStringLiteral("--replay %1: link= names one board, and the recording has %2 ports (%3): choose one with port=NAME")
                            .arg(config.file).arg(ports.size()).arg(ports.join(QStringLiteral(", "))));
        if (!config.link.isEmpty()) {
            for (const QString &other : qAsConst(links)) {
                if (!other.isEmpty() && QFileInfo(other).absoluteFilePath() == QFileInfo(config.link).absoluteFilePath())
                    return fail(QStringLiteral("--replay %1: link %2 is given twice").arg(argument, config.link));
            }
            links << config.link;
        }
        for (const QString &port : qAsConst(ports)) {
            config.port = port;
            replays.append({config, ReplayScript::fromRecording(records, port, config.anySum)});
        }
    }

    // SIGINT and SIGTERM reach the event loop through a pipe.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("kvboard-sim: pipe");
        return 1;
    }
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });

    std::vector<std::unique_ptr<SimBoard>> boards;
    auto say = [](const char *what, const BoardConfig &config, const SimBoard &board) {
        std::printf("%s%s %s%s\n", what, qPrintable(config.typeName), qPrintable(board.path()),
                    qPrintable(config.link.isEmpty() ? QString() : QLatin1Char(' ') + config.link));
        std::fflush(stdout);
    };
    // Plugs a board in; false (printed) when its pty or link cannot be made.
    auto plug = [&say](const BoardConfig &config, SimBoard *board) {
        QString error;
        if (!board->open(&error)) {
            std::fprintf(stderr, "kvboard-sim: --board %s: %s\n", qPrintable(config.typeName), qPrintable(error));
            return false;
        }
        say("", config, *board);
        if (config.unplugMs > 0) {
            QTimer::singleShot(config.unplugMs, board, [&say, config, board] {
                say("unplugged ", config, *board);
                board->close();
            });
        }
        return true;
    };
    for (const BoardConfig &config : qAsConst(configs)) {
        boards.push_back(std::make_unique<SimBoard>(config));
        SimBoard *board = boards.back().get();
        if (config.plugMs > 0) {
            QTimer::singleShot(config.plugMs, board, [&plug, config, board] {
                if (!plug(config, board))
                    QCoreApplication::exit(1);
            });
        } else if (!plug(config, board)) {
            return 1; // the boards opened so far remove their links as they go
        }
    }

    std::vector<std::unique_ptr<ReplayBoard>> replayBoards;
    for (const Replay &replay : qAsConst(replays)) {
        replayBoards.push_back(std::make_unique<ReplayBoard>(replay.config, replay.scripts, speed));
        ReplayBoard *board = replayBoards.back().get();
        auto line = [](const char *what, const QString &path, const QString &link) {
            std::printf("%sreplay %s%s\n", what, qPrintable(path), qPrintable(link.isEmpty() ? QString() : QLatin1Char(' ') + link));
            std::fflush(stdout);
        };
        QObject::connect(board, &ReplayBoard::plugged, board, [line](const QString &path, const QString &link) { line("", path, link); });
        QObject::connect(board, &ReplayBoard::unplugged, board, [line](const QString &path, const QString &link) { line("unplugged ", path, link); });
        QString error;
        if (!board->plug(&error)) {
            std::fprintf(stderr, "kvboard-sim: --replay %s: %s\n", qPrintable(replay.config.file), qPrintable(error));
            return 1;
        }
    }


    ControlPort control(parser.value(controlOption));
    if (QString error; parser.isSet(controlOption) && !control.open(&error)) {
        std::fprintf(stderr, "kvboard-sim: --control: %s\n", qPrintable(error));
        return 1;
    }
    if (parser.isSet(controlOption)) {
        std::printf("control %s\n", qPrintable(parser.value(controlOption)));
        std::fflush(stdout);
    }

    QProcess run;
    if (!program.isEmpty()) {
        run.setProcessChannelMode(QProcess::ForwardedChannels);
        run.setInputChannelMode(QProcess::ForwardedInputChannel);
        QObject::connect(&run, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &app,
                         [](int code, QProcess::ExitStatus how) { QCoreApplication::exit(how == QProcess::NormalExit ? code : 1); });
        QObject::connect(&run, &QProcess::errorOccurred, &app, [&run](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart) {
                std::fprintf(stderr, "kvboard-sim: %s\n", qPrintable(run.errorString()));
                QCoreApplication::exit(1);
            }
        });
        run.start(program.first(), program.mid(1));
    }

    const int status = app.exec();
    if (run.state() != QProcess::NotRunning) { // stopped by a signal: so is the program
        run.kill();
        run.waitForFinished();
    }
    replayBoards.clear();
    boards.clear();
    return status;
}
