// SPDX-License-Identifier: MIT
// kvmonitor: the boards that come and go, why a port gave nothing, and each board's
// conversation, in a window.

#include "boardconsole.h"
#include "common.h"
#include "mainwindow.h"

#include <kvdevice/version.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QTabWidget>
#include <QTimer>

namespace {

const char *const description = R"(Shows the boards attached over USB virtual serial ports as they come and go, why
a port delivered no board, and a console per port: what is sent and received (the
identification too), the board's version and information requests, a line to send any
sentence, checked before it goes. A console saves its conversation as a recording (or
as text); File > Open shows a recording, File > Record keeps one of every port.

The source is udev's events where udev runs, else the port list polled each second;
--udev, --poll MS or --port-dir DIR (a folder of port links, such as /dev/serial/by-id
or kvboard-sim's) chooses one; the window can change it, and the types and serial
numbers, while it runs. Nothing is remembered between runs.

--remote URL follows a board on another machine, served at rfc2217://HOST:PORT (as
ser2net's telnet(rfc2217) accepter serves it) or socket://HOST:PORT (raw TCP); alone,
no local port is watched.

Types: board6100028, board6100027, info, or Board6100028, Board6100027, InfoDevice, in
any case. Exit status: 0 when the window was closed, 2 for bad arguments.

Examples:
  kvmonitor
  kvmonitor --serial 2061376E5748 --timeout 1000
  kvmonitor --port-dir /tmp/boards      boards whose links kvboard-sim makes there
  kvmonitor --open session.jsonl       a recording beside the boards attached
  kvmonitor --remote rfc2217://rack-3:4001 --remote rfc2217://rack-3:4002)";

// What the command line asks for, beyond the window's options.
struct Run
{
    MonitorOptions options;
    KvDevice::Type demoType = KvDevice::NoDevice;
    QStringList recordings;
    QString screenshot;
    int afterMs = 0;
};

// Reads the command line into `run`; an exit status when the program ends here, else -1.
int parseArguments(Run *run)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    QCommandLineOption udevOption(QStringLiteral("udev"), QStringLiteral("Learn of ports from udev's events (Linux)."));
#ifdef Q_OS_WIN
    udevOption.setFlags(QCommandLineOption::HiddenFromHelp);
#endif
    const QCommandLineOption pollOption(QStringLiteral("poll"), QStringLiteral("List the system's ports every MS milliseconds."), QStringLiteral("MS"));
    const QCommandLineOption dirOption(QStringLiteral("port-dir"), QStringLiteral("Watch the port links in folder DIR."), QStringLiteral("DIR"));
    const QCommandLineOption typeOption(QStringLiteral("type"), QStringLiteral("A type to watch for; repeat for more (default: all three)."),
                                        QStringLiteral("TYPE"));
    const QCommandLineOption serialOption(QStringLiteral("serial"),
                                          QStringLiteral("Watch only the system's ports with this USB serial number; repeat for more."),
                                          QStringLiteral("SN"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"), QStringLiteral("Wait MS milliseconds for each answer (default 400)."),
                                           QStringLiteral("MS"), QStringLiteral("400"));
    const QCommandLineOption retriesOption(QStringLiteral("retries"), QStringLiteral("Ask silent ports again in up to N passes (default 3)."),
                                           QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption remoteOption(QStringLiteral("remote"),
                                          QStringLiteral("Follow the board served at URL (rfc2217://HOST:PORT, socket://HOST:PORT); "
                                                         "repeat for more."),
                                          QStringLiteral("URL"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"), QStringLiteral("Show the library's debug log on standard error."));
    const QCommandLineOption openOption(QStringLiteral("open"), QStringLiteral("Show the recording FILE; repeat for more."), QStringLiteral("FILE"));
    const QCommandLineOption noDtrOption = Tool::noDtrOption();
    // For the README's picture: a board's request, then the window as a PNG, then quit.
    QCommandLineOption demoRequestOption(QStringLiteral("demo-request"), QStringLiteral("Talk to the first board of TYPE."), QStringLiteral("TYPE"));
    QCommandLineOption screenshotOption(QStringLiteral("screenshot"), QStringLiteral("Save the window to FILE and quit."), QStringLiteral("FILE"));
    QCommandLineOption afterOption(QStringLiteral("after"), QStringLiteral("With --screenshot: after MS ms."), QStringLiteral("MS"), QStringLiteral("5000"));
    for (QCommandLineOption *hidden : {&demoRequestOption, &screenshotOption, &afterOption})
        hidden->setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({udevOption, pollOption, dirOption, remoteOption, typeOption, serialOption, timeoutOption, retriesOption, verboseOption,
                       noDtrOption, openOption, demoRequestOption, screenshotOption, afterOption});

    if (const int status = Tool::parseCommandLine(parser, helpOption, versionOption); status >= 0)
        return status;
    const QList<QPair<QCommandLineOption, QCommandLineOption>> exclusive = {{udevOption, pollOption}, {udevOption, dirOption}, {pollOption, dirOption}};
    for (const auto &pair : exclusive) {
        if (parser.isSet(pair.first) && parser.isSet(pair.second))
            return Tool::usageError(QStringLiteral("--%1 and --%2 cannot be combined").arg(pair.first.names().first(), pair.second.names().first()));
    }

    MonitorOptions &options = run->options;
    QString error;
    int retries = 0;
    QList<KvDevice::Type> types, demo;
    if (!Tool::typesFromArguments(parser.values(typeOption), &types, &error)
        || !Tool::typesFromArguments(parser.values(demoRequestOption), &demo, &error)
        || !Tool::numberArgument(QStringLiteral("timeout"), parser.value(timeoutOption), 1, QStringLiteral("milliseconds"), &options.timeoutMs, &error)
        || !Tool::numberArgument(QStringLiteral("retries"), parser.value(retriesOption), 0, QStringLiteral("a count"), &retries, &error)
        || !Tool::numberArgument(QStringLiteral("after"), parser.value(afterOption), 0, QStringLiteral("milliseconds"), &run->afterMs, &error)
        || (parser.isSet(pollOption)
            && !Tool::numberArgument(QStringLiteral("poll"), parser.value(pollOption), 10, QStringLiteral("milliseconds"), &options.pollMs, &error)))
        return Tool::usageError(error);
    if (!types.isEmpty())
        options.types = types;
    run->demoType = demo.value(0, KvDevice::NoDevice);
    options.retries = unsigned(retries);
    options.serials = parser.values(serialOption);
    options.raiseModemLines = !parser.isSet(noDtrOption);
    if (parser.isSet(udevOption))
        options.source = KvDevice::Watcher::Udev;
    if (parser.isSet(pollOption))
        options.source = KvDevice::Watcher::Polling;
    if (parser.isSet(dirOption)) {
        options.source = KvDevice::Watcher::Directory;
        options.directory = parser.value(dirOption);
        if (options.directory.isEmpty())
            return Tool::usageError(QStringLiteral("--port-dir takes a folder, not an empty text"));
    }
    options.remote = parser.values(remoteOption);
    for (const QString &url : qAsConst(options.remote)) {
        if (!KvDevice::PortInfo::forName(url).isRemote())
            return Tool::usageError(QStringLiteral("--remote takes a URL (rfc2217://HOST:PORT or socket://HOST:PORT), not \"%1\"").arg(url));
    }
    if (!options.remote.isEmpty() && !parser.isSet(udevOption) && !parser.isSet(pollOption) && !parser.isSet(dirOption))
        options.source = KvDevice::Watcher::Remote;
    run->screenshot = parser.value(screenshotOption);
    run->recordings = parser.values(openOption);

    Tool::showLibraryLog(parser.isSet(verboseOption));
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    Run run;
    {
        // Read before QApplication, which needs a display even for --help.
        QCoreApplication reading(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("kvmonitor"));
        QCoreApplication::setApplicationVersion(QStringLiteral(KVDEVICE_VERSION_STRING));
        if (const int status = parseArguments(&run); status >= 0)
            return status;
    }

    QApplication app(argc, argv);
    MainWindow window(run.options);
    if (run.demoType != KvDevice::NoDevice) {
        QObject::connect(&window, &MainWindow::boardAttached, &window, [&window, &run](BoardConsole *console) {
            if (console->type() != run.demoType)
                return;
            run.demoType = KvDevice::NoDevice; // the first only
            window.findChild<QTabWidget *>(QStringLiteral("consoles"))->setCurrentWidget(console);
            // A typed sentence, then the board's own request once its answer is in.
            QTimer::singleShot(0, console, [console] { console->sendLine(QStringLiteral("PKVVER")); });
            QTimer::singleShot(300, console, console->type() == KvDevice::InfoDevice ? &BoardConsole::askInformation : &BoardConsole::askVersion);
        });
    }
    int status = 0;
    if (!run.screenshot.isEmpty()) {
        QTimer::singleShot(run.afterMs, &window, [&window, &status, file = run.screenshot] {
            if (!window.grab().save(file)) {
                Tool::printError(QStringLiteral("kvmonitor: cannot write %1").arg(file));
                status = 1;
            }
            QApplication::quit();
        });
    }
    window.show();
    window.startWatching();
    for (const QString &recording : qAsConst(run.recordings)) {
        if (!window.openRecording(recording))
            status = 1;
    }
    app.exec();
    return status;
}
