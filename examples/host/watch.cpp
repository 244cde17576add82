// A host that runs for a while and takes every board of the three types as it is plugged
// in, printing what comes and goes.
//
//   kvwatch SECONDS [FOLDER]   (no folder: the system's ports, through udev or by polling;
//                               a folder: the port links in it, such as /dev/serial/by-id)

#include <kvdevice/kvdevice.h>

#include <QCoreApplication>
#include <QHash>
#include <QIODevice>
#include <QMetaEnum>
#include <QSet>
#include <QTimer>

#include <cstdio>

using namespace KvDevice;

static void print(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

static QString nameOf(Type type)
{
    return QString::fromLatin1(QMetaEnum::fromType<Type>().valueToKey(type));
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
    // A board keeps its key when it is plugged back, whatever its port is called then
    // (its USB serial number, else its USB socket).
    QHash<QString, int> visits;
    QSet<Communicator *> boards; // ours from deviceAttached on
    QObject::connect(&watcher, &Watcher::deviceAttached, &app, [&](Type type, Communicator *comm, const PortReport &report) {
        boards.insert(comm);
        const int visit = ++visits[report.port.boardKey()];
        print(QStringLiteral("attached %1 on %2 (%3, visit %4)").arg(nameOf(type), report.port.name, report.port.boardKey()).arg(visit));
    });
    QObject::connect(&watcher, &Watcher::deviceDetached, &app, [&](Type type, Communicator *comm, const PortInfo &port) {
        // The port is closed and comm says nothing more: what is left is ours to delete.
        if (comm) {
            boards.remove(comm);
            comm->ioDevice()->deleteLater();
            comm->deleteLater();
        }
        print(QStringLiteral("detached %1 from %2").arg(nameOf(type), port.name));
    });
    if (!watcher.start({Board6100028, Board6100027, InfoDevice}))
        return 1;
    //! [watch]

    QTimer::singleShot(args.at(1).toInt() * 1000, &app, &QCoreApplication::quit);
    const int status = app.exec();
    watcher.stop();
    for (Communicator *comm : qAsConst(boards)) {
        QIODevice *port = comm->ioDevice();
        delete comm;
        delete port;
    }
    return status;
}
