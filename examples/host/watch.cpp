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
    QHash<QString, Communicator *> boards; // ours from deviceAttached on, by port name
    QObject::connect(&watcher, &Watcher::deviceAttached, &app, [&](Type type, Communicator *comm, const PortReport &report) {
        boards.insert(report.port.name, comm);
        print(QStringLiteral("attached %1 on %2 %3").arg(nameOf(type), report.port.name, report.port.serialNumber));
    });
    QObject::connect(&watcher, &Watcher::deviceDetached, &app, [&](Type type, Communicator *comm, const PortInfo &port) {
        // The watcher has closed the port; what is left is ours to delete.
        boards.remove(port.name);
        if (comm) {
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
