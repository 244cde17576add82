// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/portreport.h>
#include <kvdevice/request.h>
#include <kvdevice/sessioninit.h>
#include <kvdevice/type.h>
#include <kvdevice/watcher.h>

#include <QJsonObject>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QCommandLineParser;
class QCommandLineOption;

namespace Tool {

/// The enumerator name of `type`, e.g. "Board6100028".
QString typeName(KvDevice::Type type);
/// Command-line names of the types a host may ask for, and the type each names (these or
/// the enumerator names, in any case).
QStringList typeArguments();
bool typeFromArgument(const QString &argument, KvDevice::Type *type);
/// Adds the types `arguments` name to `types`, each once; false, with the error for
/// people, at an unknown name.
bool typesFromArguments(const QStringList &arguments, QList<KvDevice::Type> *types, QString *error);
/// The whole number of option `name` (its `value` on the command line) when it is at least
/// `least`; false, with the error for people, otherwise. `unit` names what it counts.
bool numberArgument(const QString &name, const QString &value, int least, const QString &unit, int *number, QString *error);

/// The port `name` opened as --monitor and --ask open it, or null with why in `report`:
/// a serial port at 115200 baud, locked as probing locks it, or a board on another machine
/// (RemotePort); DTR and RTS raised unless told not to. `ready` follows from the event loop, for a remote port once it has
/// connected; `failed` when a remote port does not connect (it closes itself then).
QIODevice *openPort(const QString &name, QObject *context, const std::function<void()> &ready,
                    const std::function<void(const KvDevice::PortReport &)> &failed, KvDevice::PortReport *report,
                    bool raiseModemLines = true);

/// --no-dtr: DTR and RTS are not raised after opening a port.
QCommandLineOption noDtrOption();

/// A usage error on stderr, with a pointer to --help; the exit status for it (2).
int usageError(const QString &message);
/// Parses the command line and answers --help, --version and stray arguments: the exit
/// status when the program ends there, -1 when it goes on.
int parseCommandLine(QCommandLineParser &parser, const QCommandLineOption &help, const QCommandLineOption &version);

/// Shows the library's log lines on stderr (`show`), or none. Written there by the program
/// itself: Qt sends them elsewhere on Windows when it sees no console window.
void showLibraryLog(bool show);

/// A line on stdout (or stderr), flushed at once so that pipes see each event as it happens.
void printLine(const QString &line);
void printError(const QString &line);
/// One compact JSON object per line.
void printJson(const QJsonObject &object);

/// An outcome as the JSON events name it: "no_answer", "permission_denied", ...
QString outcomeName(KvDevice::PortOutcome outcome);
/// A JSON event about a port: "port" its path, "location", "vid", "pid", "serial" and
/// "type" where known.
QJsonObject portJson(const KvDevice::PortInfo &port, const QString &event, KvDevice::Type type = KvDevice::NoDevice);
/// The "port" event of a concluded port: portJson() with "outcome", "queries",
/// "elapsed_ms" and, where there is one, "detail".
QJsonObject reportJson(const KvDevice::PortReport &report);
/// What to do about a port that delivered nothing, for people ("" when nothing helps).
QString advice(const KvDevice::PortReport &report);
/// `text` safe for a terminal: control characters (C0, DEL, C1) as \r, \n, \t or \xhh,
/// and a backslash as \\, so that what a board sends never drives the terminal.
QString escaped(const QString &text);

/// What kvprobe says differently per system (common_unix.cpp, common_win.cpp).
struct SystemTexts
{
    QString interrupt;  // how a user stops kvprobe
    QString endOfInput; // the keys that end typed input
    QString help;       // the help's paragraph on watching, port names and examples
    QString foundExample; // a "found" event with a port and location of this system
};
const SystemTexts &systemTexts();
/// What to do about a busy port, after its detail.
QString busyAdvice(const KvDevice::PortReport &report);
/// Four lower-case hex digits.
QString hex4(quint16 value);

/// `line` as a sentence ready to send: a "$" when it starts with neither "$" nor "!",
/// "*hh" when it has no '*', and CR LF. Empty for an empty line.
QString frameSentence(const QString &line);
/// Whether a received sentence's checksum matches its body (true when it has none).
bool checksumIsRight(const QString &sentence);

/// Why a request got no answer, for people.
QString reason(const KvDevice::Request::Result &result);
/// The fields of a parsed answer of the init protocol, in wire order, as JSON and as
/// "name=value" texts.
void initFields(const KvDevice::SessionInit &answer, QJsonObject *values, QStringList *text);

} // namespace Tool
