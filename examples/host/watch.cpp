// SPDX-License-Identifier: MIT
// A host that runs for a while: it takes every board of the three types as it is plugged
// in, asks each what it is every second while it stays, and prints what comes and goes,
// what the boards answer or why they did not, and what they say on their own.
//
//   kvwatch SECONDS [FOLDER]   (no folder: the system's ports, through udev or by polling;
//                               a folder: the port links in it, such as /dev/serial/by-id)

#include <kvdevice/kvdevice.h>

#include <QCoreApplication>
#include <QHash>
#include <QMetaEnum>
#include <QTimer>

#include <cstdio>

using namespace KvDevice;

static void print(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

template <typename Enum>
static QString nameOf(Enum value)
{
    return QString::fromLatin1(QMetaEnum::fromType<Enum>().valueToKey(value));
}

// What a request came to, for people.
static QString outcome(const Request::Result &result)
{
    if (const auto *answer = result.answerAs<SessionInit>()) {
        const QString field = answer->sentenceId == InfoAnswerSentence ? InitField::Name : InitField::HwVersion;
        return QStringLiteral("answered %1 after %2 ms").arg(answer->parameters.value(field).toString()).arg(result.elapsedMs);
    }
    // NoAnswer, ParseFailed, PortFailed, Cancelled or NotSent: the error says why.
    return QStringLiteral("%1: %2").arg(nameOf(result.status), result.error);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2 || args.at(1).toInt() <= 0) {
        std::fprintf(stderr, "usage: kvwatch SECONDS [FOLDER]\n");
        return 2;
    }

    //! [watch]
    Watcher watcher;
    if (args.size() > 2) {
        watcher.setSource(Watcher::Directory);
        watcher.setDirectory(args.at(2));
    }
    // Each board's communicator and port are deleted by the watcher once the board left,
    // and with them what hangs on them here: the timer, the connections.
    watcher.setOwnership(Watcher::WatcherDeletes);
    // A board keeps its key when it is plugged back, whatever its port is called then
    // (its USB serial number, else its USB socket).
    QHash<QString, int> visits;
    QObject::connect(&watcher, &Watcher::deviceAttached, &app, [&](Type type, Communicator *comm, const PortReport &report) {
        const QString name = report.port.name;
        print(QStringLiteral("attached %1 on %2 (%3, visit %4)").arg(nameOf(type), name, report.port.boardKey()).arg(++visits[report.port.boardKey()]));
        // What it says of its own accord; what it said while identified comes right after.
        QObject::connect(comm, Communicator::received, comm, [comm, name](uint id) {
            QString sentence;
            if (comm->readPayload(sentence, id))
                print(QStringLiteral("%1 says %2").arg(name, sentence.trimmed()));
        });
        // Asked every second, one question at a time; every answer is its own question's.
        auto *every = new QTimer(comm);
        const Query query = type == InfoDevice ? InitQuery::information() : InitQuery::version();
        QObject::connect(every, &QTimer::timeout, comm, [comm, every, query, name] {
            every->stop();
            QObject::connect(Request::send(comm, query), &Request::finished, comm, [every, name](const Request::Result &result) {
                print(QStringLiteral("%1 %2").arg(name, outcome(result)));
                every->start();
            });
        });
        every->start(1000);
    });
    QObject::connect(&watcher, &Watcher::deviceDetached, &app,
                     [](Type type, Communicator *, const PortInfo &port) { print(QStringLiteral("detached %1 from %2").arg(nameOf(type), port.name)); });
    QObject::connect(&watcher, &Watcher::portConcluded, &app,
                     [](const PortReport &report) { print(QStringLiteral("no board on %1: %2").arg(report.port.name, report.detail)); });
    if (!watcher.start({Board6100028, Board6100027, InfoDevice})) {
        print(QStringLiteral("cannot watch: ") + watcher.errorString());
        return 1;
    }
    //! [watch]

    QTimer::singleShot(args.at(1).toInt() * 1000, &app, &QCoreApplication::quit);
    return app.exec(); // the watcher deletes the boards still attached as it goes
}
