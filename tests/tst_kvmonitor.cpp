// kvmonitor's window on a folder of the simulator's links: the port table as boards come
// and go, a console's conversation with a board, and a board that goes mid-conversation.
// Each row is a script; what is checked is the model's data and the console's text.

#include "boardconsole.h"
#include "boardsupport.h"
#include "mainwindow.h"
#include "porttablemodel.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <map>
#include <memory>

using namespace TestSupport;

namespace {

// The window on a folder of links, each made by a board played here; boards by link name.
struct Bench
{
    QTemporaryDir links;
    std::map<QString, std::unique_ptr<Board>> boards;
    std::unique_ptr<MainWindow> window;

    // Watches `folder`, quickly: one pass of 100 ms per port.
    bool start(const QString &folder)
    {
        MonitorOptions options;
        options.source = KvDevice::Watcher::Directory;
        options.directory = folder;
        options.timeoutMs = 100;
        options.retries = 0;
        window = std::make_unique<MainWindow>(options);
        return window->startWatching();
    }
    QString link(const QString &name) const { return links.filePath(name); }
    void plug(const QString &name, const QString &board)
    {
        boards[name] = std::make_unique<Board>(board + (board.contains(QLatin1Char(':')) ? QStringLiteral(",link=") : QStringLiteral(":link=")) + link(name));
    }
    // "name outcome type", and "grey" for a gone board, per row.
    QStringList rows() const
    {
        QStringList rows;
        const PortTableModel *model = window->ports();
        for (int r = 0; r < model->rowCount(); ++r) {
            auto cell = [model, r](int column) { return model->index(r, column).data().toString(); };
            rows << QStringList{QFileInfo(cell(PortTableModel::Port)).fileName(), cell(PortTableModel::Outcome), cell(PortTableModel::Type)}.join(QLatin1Char(' '))
                        + (model->index(r, 0).data(PortTableModel::GoneRole).toBool() ? QStringLiteral(" grey") : QString());
        }
        rows.sort();
        return rows;
    }
    BoardConsole *console(const QString &name) const { return window->console(link(name)); }
    // One board "b", watched until its console is there; null when it never comes.
    BoardConsole *attachOne(const QString &board)
    {
        plug(QStringLiteral("b"), board);
        if (!start(links.path()))
            return nullptr;
        const bool attached = QTest::qWaitFor([this] { return console(QStringLiteral("b")) != nullptr; }, 10000);
        return attached ? console(QStringLiteral("b")) : nullptr;
    }
};

} // namespace

class tst_Kvmonitor : public QObject
{
    Q_OBJECT

private slots:
    void table_data();
    void table();
    void console_data();
    void console();
    void gone_data();
    void gone();
};

void tst_Kvmonitor::table_data()
{
    QTest::addColumn<QString>("script");   // steps, separated by '|'
    QTest::addColumn<QString>("expected"); // the rows, sorted, separated by '|'
    QTest::addColumn<QString>("detail");   // NAME=TEXT: the Detail cell and tooltip of NAME's row contain TEXT
    QTest::addColumn<QString>("status");   // in the status line

    QTest::newRow("a board and a silent port") << "plug a board6100028|plug s silent|start|await 2" << "a identified Board6100028|s no answer "
                                               << "s=no answer in 1 pass of 100 ms; is the board's firmware running?" << "1 attached, 0 gone, 1 concluded without a board";
    QTest::newRow("an unplugged board's row stays, greyed") << "start|plug a info:name=KV1|await 1|unplug a|await gone" << "a detached InfoDevice grey"
                                                            << "a=subcommand=INF name=KV1" << "0 attached, 1 gone, 0 concluded";
    QTest::newRow("a silent port that goes stays, greyed") << "start|plug s silent|await 1|unplug s|await gone" << "s gone  grey"
                                                           << "s=no answer in 1 pass" << "0 attached, 1 gone, 0 concluded";
    QTest::newRow("clear gone removes only the gone") << "start|plug a info|plug b board6100027|await 2|unplug a|await gone|clear" << "b identified Board6100027"
                                                      << "b=hwversion=HW2-6100027" << "1 attached, 0 gone, 0 concluded";
    QTest::newRow("a board plugged back under its link") << "start|plug a info|await 1|unplug a|await gone|plug a board6100028|await identified"
                                                         << "a identified Board6100028" << "a=hwversion=HW2-6100028 v1=3" << "1 attached, 0 gone";
    QTest::newRow("a folder that is a file") << "plug a info|start a" << "" << "" << "a is not a folder";
}

void tst_Kvmonitor::table()
{
    QFETCH(QString, script);
    QFETCH(QString, expected);
    QFETCH(QString, detail);
    QFETCH(QString, status);

    Bench bench;
    auto has = [&bench](const QString &outcome) {
        const PortTableModel *model = bench.window->ports();
        return !model->match(model->index(0, PortTableModel::Outcome), Qt::DisplayRole, outcome).isEmpty();
    };
    for (const QString &step : script.split(QLatin1Char('|'))) {
        const QStringList words = step.split(QLatin1Char(' '));
        const QString what = words.first(), arg = words.value(1);
        if (what == QLatin1String("plug")) {
            bench.plug(arg, words.value(2));
        } else if (what == QLatin1String("unplug")) {
            bench.boards.at(arg)->close(); // its link goes with it
        } else if (what == QLatin1String("start")) { // the folder, or a link in it
            QCOMPARE(bench.start(arg.isEmpty() ? bench.links.path() : bench.link(arg)), arg.isEmpty());
        } else if (what == QLatin1String("await") && arg == QLatin1String("gone")) {
            QTRY_VERIFY_WITH_TIMEOUT(has(QStringLiteral("detached")) || has(QStringLiteral("gone")), 10000);
        } else if (what == QLatin1String("await") && arg == QLatin1String("identified")) {
            QTRY_VERIFY_WITH_TIMEOUT(has(QStringLiteral("identified")), 10000);
        } else if (what == QLatin1String("await")) {
            QTRY_VERIFY2_WITH_TIMEOUT(bench.window->ports()->rowCount() >= arg.toInt(), qPrintable(bench.rows().join(QLatin1Char('|'))), 10000);
        } else if (what == QLatin1String("clear")) {
            bench.window->clearGone();
        }
    }
    QCOMPARE(bench.rows().join(QLatin1Char('|')), expected);
    const PortTableModel *model = bench.window->ports();
    if (!detail.isEmpty()) {
        const QModelIndexList found = model->match(model->index(0, PortTableModel::Port), Qt::DisplayRole, bench.link(detail.section(QLatin1Char('='), 0, 0)));
        QCOMPARE(found.size(), 1);
        const QModelIndex cell = found.first().siblingAtColumn(PortTableModel::Detail);
        QVERIFY2(cell.data().toString().contains(detail.section(QLatin1Char('='), 1)), qPrintable(cell.data().toString()));
        QCOMPARE(cell.data(Qt::ToolTipRole), cell.data());
    }
    QVERIFY2(bench.window->statusText().contains(status), qPrintable(bench.window->statusText()));
}

void tst_Kvmonitor::console_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QString>("actions"); // ';'-separated: type TEXT, a button's text, "$" and a body the board sends, held N
    QTest::addColumn<QString>("heard");  // the last line the board heard
    QTest::addColumn<QString>("shown");  // in the console, each of these, separated by '|'

    QTest::newRow("a sentence typed, its answer with its fields") << "board6100028" << "type PKVVER" << "$PKVVER*0c\r\n"
                                                                  << "> $PKVVER*0c|< $PKVVER,HW2-6100028,3,2,3*03   hwversion=HW2-6100028 v1=3 v2=2 v3=3";
    QTest::newRow("the version button") << "board6100027:hwversion=HW5-6100027" << "Version" << "$PKVVER*0c\r\n"
                                        << "> $PKVVER*0c   (version request)|(attempts 1): hwversion=HW5-6100027 v1=";
    QTest::newRow("the information button") << "info:name=KV7" << "Information" << "$PTKVWR,INF*71\r\n" << "(attempts 1): subcommand=INF name=KV7 devtype=INFO";
    QTest::newRow("a request left unanswered") << "board6100028:answers=1" << "Version" << "$PKVVER*0c\r\n" << "! no answer: no answer in 3 attempts";
    QTest::newRow("a control byte from the board, a sentence that does not parse") << "board6100028" << "$KVX,\a" << ""
                                                                                   << "< $KVX,\\x07*6e   (Undefined sentence ID: KVX)";
    QTest::newRow("paused, then resumed") << "board6100028" << "Pause;$KVY,1;$KVY,2;held 2;Resume (2)" << "" << "< $KVY,1*|< $KVY,2*";
}

void tst_Kvmonitor::console()
{
    QFETCH(QString, board);
    QFETCH(QString, actions);
    QFETCH(QString, heard);
    QFETCH(QString, shown);

    Bench bench;
    BoardConsole *console = bench.attachOne(board);
    QVERIFY(console);
    Board *played = bench.boards.at(QStringLiteral("b")).get();
    QPushButton *pause = nullptr; // the one that stays down
    for (QPushButton *button : console->findChildren<QPushButton *>())
        pause = button->isCheckable() ? button : pause;
    for (const QString &action : actions.split(QLatin1Char(';'))) {
        if (action.startsWith(QLatin1String("type "))) {
            QTest::keyClicks(console->findChild<QLineEdit *>(), action.mid(5));
            QTest::keyClick(console->findChild<QLineEdit *>(), Qt::Key_Return);
        } else if (action.startsWith(QLatin1Char('$'))) {
            played->send(sentence(action.mid(1)).toLatin1());
        } else if (action.startsWith(QLatin1String("held "))) { // what came while paused is counted, not shown
            QTRY_COMPARE_WITH_TIMEOUT(pause->text(), QStringLiteral("Resume (%1)").arg(action.mid(5)), 10000);
            QVERIFY(!console->text().contains(QLatin1String("KVY")));
        } else {
            for (QPushButton *button : console->findChildren<QPushButton *>()) {
                if (button->text().remove(QLatin1Char('&')) == action)
                    button->click();
            }
        }
    }
    for (const QString &text : shown.split(QLatin1Char('|')))
        QTRY_VERIFY2_WITH_TIMEOUT(console->text().contains(text), qPrintable(console->text()), 10000);
    if (!heard.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromLatin1(played->lines.last()), heard, 10000);
}

void tst_Kvmonitor::gone_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QString>("how");  // close: the board; link: its link first; again: watching again
    QTest::addColumn<QString>("shown"); // in the console, in this order, separated by '|'

    QTest::newRow("the board closes") << "board6100028" << "close" << "— board gone —";
    QTest::newRow("its link goes first") << "info" << "link" << "— board gone —";
    QTest::newRow("with a request pending") << "board6100028:answers=1" << "close" << "! no answer: the|— board gone —";
    QTest::newRow("watching again lets it go") << "info" << "again" << "— let go: watching again —";
}

void tst_Kvmonitor::gone()
{
    QFETCH(QString, board);
    QFETCH(QString, how);
    QFETCH(QString, shown);

    Bench bench;
    QPointer<BoardConsole> console = bench.attachOne(board);
    QVERIFY(console);
    Board *played = bench.boards.at(QStringLiteral("b")).get();
    console->askVersion();
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromLatin1(played->lines.last()), sentence(QStringLiteral("PKVVER")), 10000);
    if (how == QLatin1String("again")) {
        QVERIFY(bench.window->apply());
    } else {
        if (how == QLatin1String("link"))
            QVERIFY(QFile::remove(bench.link(QStringLiteral("b"))));
        else
            played->close();
    }
    QTRY_VERIFY_WITH_TIMEOUT(console->hasEnded(), 10000);
    QVERIFY(bench.window->ports()->index(0, 0).data(PortTableModel::GoneRole).toBool());
    QVERIFY(!console->findChild<QLineEdit *>()->isEnabled());
    int at = 0;
    for (const QString &text : shown.split(QLatin1Char('|'))) {
        QTRY_VERIFY2_WITH_TIMEOUT(console->text().indexOf(text, at) >= 0, qPrintable(console->text()), 10000);
        at = console->text().indexOf(text, at);
    }
    QTemporaryDir folder; // its text stays, to be saved
    QVERIFY(console->saveTo(folder.filePath(QStringLiteral("saved.txt"))));
    QFile saved(folder.filePath(QStringLiteral("saved.txt")));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(saved.readAll()), console->text() + QLatin1Char('\n'));
    QVERIFY(!console->saveTo(folder.path()));
    if (how == QLatin1String("again")) { // the board comes back, with a console of its own
        QTRY_VERIFY_WITH_TIMEOUT(bench.console(QStringLiteral("b")) != console, 10000);
        QVERIFY(!bench.console(QStringLiteral("b"))->hasEnded());
    } else { // a gone board hears nothing more
        const int heard = played->lines.size();
        console->sendLine(QStringLiteral("PKVVER"));
        console->askVersion();
        QTest::qWait(50);
        QCOMPARE(played->lines.size(), heard);
    }
    // A gone board's console closes; the rest of the window stays.
    QTabWidget *tabs = bench.window->findChild<QTabWidget *>();
    const int open = tabs->count();
    emit tabs->tabCloseRequested(tabs->indexOf(console));
    QCOMPARE(tabs->count(), open - 1);
    QTRY_VERIFY(!console);
}

QTEST_MAIN(tst_Kvmonitor)
#include "tst_kvmonitor.moc"
