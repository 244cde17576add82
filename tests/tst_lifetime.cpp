// SPDX-License-Identifier: MIT
// Hosts that free a board inside the library's signals, on real ports over ptys: neither
// the library nor Qt's serial port under it may touch what they freed. CTest also runs
// this suite under valgrind (tst_lifetime_memcheck), which sees what Qt itself writes.

#include <kvdevice/communicator.h>
#include <kvdevice/request.h>
#include <kvdevice/watcher.h>

#include "boardsupport.h"

#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

using namespace KvDevice;
using namespace TestSupport;

class tst_Lifetime : public QObject
{
    Q_OBJECT

private slots:
    void freedInSlot_data();
    void freedInSlot();
};

void tst_Lifetime::freedInSlot_data()
{
    QTest::addColumn<QString>("board"); // chatty: bytes keep coming while the host frees
    QTest::addColumn<QString>("where"); // the slot that frees the communicator and its port

    QTest::newRow("a request's answer") << "board6100028:chatter=2" << "answered";
    QTest::newRow("a request's end as the port fails") << "board6100028:answers=0,chatter=2" << "failed";
    QTest::newRow("the port's failure") << "board6100028:chatter=2" << "readFailed";
    QTest::newRow("the communicator's readyRead, the port later") << "board6100028:chatter=2" << "readyRead";
    QTest::newRow("a watched board attached") << "board6100028:chatter=2" << "attached";
    QTest::newRow("a watched board gone") << "board6100028:chatter=2" << "detached";
}

void tst_Lifetime::freedInSlot()
{
    QFETCH(QString, board);
    QFETCH(QString, where);

    QTemporaryDir links;
    auto sim = std::make_unique<Board>(board + QStringLiteral(",link=") + links.filePath(QStringLiteral("b")));
    Watcher watcher;
    QPointer<Communicator> comm;
    QPointer<QIODevice> port;
    bool freed = false;
    auto free = [&] {
        delete comm.data();
        if (where != QLatin1String("readyRead")) // Qt's read notification is still running
            delete port.data();
        freed = true;
    };
    auto use = [&](Communicator *board) {
        comm = board;
        port = board->ioDevice();
        if (where == QLatin1String("answered") || where == QLatin1String("failed"))
            connect(Request::send(comm, InitQuery::version()), &Request::finished, this, free);
        else if (where == QLatin1String("readFailed"))
            connect(comm, &Communicator::readFailed, this, free);
        else if (where == QLatin1String("readyRead"))
            connect(comm, Communicator::received, this, free);
        if (where == QLatin1String("failed") || where == QLatin1String("readFailed"))
            sim->close();
    };
    if (where == QLatin1String("attached") || where == QLatin1String("detached")) {
        watcher.setSource(Watcher::Directory);
        watcher.setDirectory(links.path());
        connect(&watcher, &Watcher::deviceAttached, this, [&](Type, Communicator *board) {
            use(board);
            if (where == QLatin1String("attached"))
                free();
            else
                sim->close();
        });
        connect(&watcher, &Watcher::deviceDetached, this, free);
        QVERIFY(watcher.start({Board6100028}));
    } else {
        auto *own = new QSerialPort(sim->path());
        QVERIFY(own->open(QIODevice::ReadWrite));
        auto *board = new Communicator;
        board->setIODevice(own);
        use(board);
    }
    QTRY_VERIFY_WITH_TIMEOUT(freed, 10000);
    QTest::qWait(50); // what the board still sends, and what the library had queued
    QVERIFY(!comm);
    delete port.data();
}

QTEST_GUILESS_MAIN(tst_Lifetime)
#include "tst_lifetime.moc"
