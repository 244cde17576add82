// SPDX-License-Identifier: MIT
// A minimal host: finds one board of each type, asks each found board what it is with a
// request on its communicator, and prints what it answers.
//
//   kvhost [PORT...]     (no ports: every STMicroelectronics serial port)

#include <kvdevice/kvdevice.h>

#include <QCoreApplication>
#include <QMetaEnum>
#include <QPointer>
#include <QSerialPort>
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
    const QList<Type> wanted{Board6100028, Board6100027, InfoDevice};

    QList<Communicator *> boards; // ours from deviceInitialized on, with their ports
    int reported = 0;
    int waitingForAnswers = 0;
    auto finishWhenDone = [&] {
        if (reported == wanted.size() && waitingForAnswers == 0)
            app.exit(boards.size() == wanted.size() ? 0 : 1);
    };

    //! [run]
    QPointer<Initializer> initializer = new Initializer;
    // Ports that answered nothing stay open (and locked) until the initializer goes.
    QObject::connect(initializer, &Initializer::finished, initializer, &QObject::deleteLater);
    QObject::connect(initializer, &Initializer::deviceInitialized, &app, [&](Type type, Communicator *comm) {
        ++reported;
        boards.append(comm);
        print(QStringLiteral("found %1 on %2").arg(nameOf(type), comm->ioDevice()->objectName()));
        //! [run]

        //! [talk]
        // An unplugged board: close the port, or Qt keeps reporting the failure.
        QObject::connect(comm, &Communicator::readFailed, &app, [comm] { comm->ioDevice()->close(); });
        // An information board answers only the information request, the others only the
        // version query. The request goes by itself once it has finished.
        ++waitingForAnswers;
        Request *request = Request::send(comm, type == InfoDevice ? InitQuery::information() : InitQuery::version());
        QObject::connect(request, &Request::finished, &app, [&, type](const Request::Result &result) {
            if (const auto *answer = result.answerAs<SessionInit>()) {
                QStringList fields;
                for (auto it = answer->parameters.cbegin(); it != answer->parameters.cend(); ++it)
                    fields << it.key() + QLatin1Char('=') + it.value().toString();
                fields.sort();
                print(QStringLiteral("  %1 says: %2").arg(nameOf(type), fields.join(QLatin1Char(' '))));
            } else {
                print(QStringLiteral("  %1 did not answer: %2").arg(nameOf(type), result.error));
            }
            --waitingForAnswers;
            finishWhenDone();
        });
        //! [talk]
    });
    QObject::connect(initializer, &Initializer::deviceNotFound, &app, [&](Type type) {
        ++reported;
        print(QStringLiteral("no %1").arg(nameOf(type)));
        finishWhenDone();
    });

    //! [probe]
    initializer->probe(wanted, 0, app.arguments().mid(1));
    //! [probe]
    // With no port to open, every type was reported inside probe(), before exec().
    QMetaObject::invokeMethod(&app, finishWhenDone, Qt::QueuedConnection);
    QTimer::singleShot(10000, &app, [&] {
        print(QStringLiteral("gave up waiting"));
        app.exit(2);
    });
    const int status = app.exec();

    delete initializer; // unless the run has finished already
    for (Communicator *comm : qAsConst(boards)) {
        QIODevice *port = comm->ioDevice();
        delete comm; // leaves the port open
        delete port;
    }
    return status;
}
