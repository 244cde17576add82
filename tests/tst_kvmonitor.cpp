// SPDX-License-Identifier: MIT
// kvmonitor's window on a folder of the simulator's links: the port table and the consoles
// as boards come and go, a console's conversation with a board, where typing goes, the
// table's actions, consoles that follow their last line, and a board that goes
// mid-conversation. Each row is a script; what is checked is the model's data, the
// consoles' text and what the boards heard.

#include "boardconsole.h"
#include "boardsupport.h"
#include "mainwindow.h"
#include "porttablemodel.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QJsonObject>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
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
    QTemporaryDir scratch; // outside the folder watched
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
    int row(const QString &name) const { return window->ports()->rowOf(link(name)); }
    BoardConsole *console(const QString &name) const { return window->console(link(name)); }
    bool live(const QString &name) const { return console(name) && !console(name)->hasEnded(); }
    QTabWidget *tabs(const QString &which = QStringLiteral("consoles")) const { return window->findChild<QTabWidget *>(which); }
    // One board "b", watched until its console is there; null when it never comes.
    BoardConsole *attachOne(const QString &board)
    {
        plug(QStringLiteral("b"), board);
        if (!start(links.path()))
            return nullptr;
        const bool attached = QTest::qWaitFor([this] { return live(QStringLiteral("b")); }, 10000);
        return attached ? console(QStringLiteral("b")) : nullptr;
    }
    // Triggers the table's action `text` on the row of `name`.
    bool act(const QString &name, const QString &text)
    {
        const QList<QAction *> actions = window->rowActions(row(name));
        bool done = false;
        for (QAction *action : actions) {
            if (action->text() == text && action->isEnabled()) {
                action->trigger();
                done = true;
            }
        }
        qDeleteAll(actions);
        return done;
    }
};

QLineEdit *lineEdit(QWidget *in, const QString &placeholder)
{
    for (QLineEdit *edit : in->findChildren<QLineEdit *>()) {
        if (edit->placeholderText().startsWith(placeholder))
            return edit;
    }
    return nullptr;
}

} // namespace

class tst_Kvmonitor : public QObject
{
    Q_OBJECT

private slots:
    void table_data();
    void table();
    void console_data();
    void console();
    void focus_data();
    void focus();
    void following_data();
    void following();
    void gone_data();
    void gone();
};

void tst_Kvmonitor::table_data()
{
    QTest::addColumn<QString>("script");   // steps, separated by '|'
    QTest::addColumn<QString>("expected"); // the rows, sorted, separated by '|'
    QTest::addColumn<QString>("cells");    // NAME=TEXT: a cell of NAME's row holds TEXT
    QTest::addColumn<QString>("status");   // the status line's counts

    QTest::newRow("a board and a silent port") << "plug a board6100028|plug s silent|start|await 2|narrow" << "a identified Board6100028|s no answer "
                                               << "s=no answer in 1 pass of 100 ms; is the board's firmware running?" << "1 attached, 1 without a board";
    QTest::newRow("a silent port asked again later, at its time") << "plug s silent|start|await 1" << "s no answer " << "s=| at " << "1 without a board";
    QTest::newRow("a port that answers as nothing asked again only when plugged again")
        << "plug s board6100028:hwversion=HW2-9999999|start|await 1" << "s unrecognized " << "s=when plugged in again" << "1 without a board";
    QTest::newRow("an unplugged board's row stays, greyed") << "start|plug a info:name=KV1|await 1|unplug a|await gone" << "a detached InfoDevice grey"
                                                            << "a=subcommand=INF name=KV1" << "1 gone";
    QTest::newRow("a silent port that goes stays, greyed") << "start|plug s silent|await 1|unplug s|await gone" << "s gone  grey"
                                                           << "s=no answer in 1 pass" << "1 gone";
    QTest::newRow("clear gone removes the rows and the consoles of the gone")
        << "start|plug a info|plug b board6100027|await 2|unplug a|await gone|clear|tabs 1" << "b identified Board6100027" << "b=hwversion=HW2-6100027"
        << "1 attached";
    QTest::newRow("a board plugged back finds its console") << "start|plug a info|await console a|unplug a|await gone|plug a board6100028|await console a|tabs 1"
                                                            << "a identified Board6100028" << "a=hwversion=HW2-6100028 v1=3" << "1 attached";
    QTest::newRow("watching again keeps the consoles") << "plug a info|plug b board6100028|start|await console a|await console b|apply|await console a|await console b|tabs 2"
                                                       << "a identified InfoDevice|b identified Board6100028" << "" << "2 attached";
    QTest::newRow("a row clicked shows its console") << "plug a info|plug b board6100028|start|await console a|await console b|click a|current a|click b|current b"
                                                     << "a identified InfoDevice|b identified Board6100028" << "" << "2 attached";
    QTest::newRow("a silent port asked again from its row") << "plug s silent|start|await 1|heard s 2|act s Ask it again now|heard s 4" << "s no answer " << "" << "1 without a board";
    QTest::newRow("a console on a port without a board") << "plug s silent|start|await 1|act s Open a console on it|await console s|type s KVHELLO|heard s 3|tabs 1"
                                                         << "s no answer " << "" << "1 without a board";
    QTest::newRow("everything recorded") << "plug a board6100028|start|record|await console a|unplug a|await gone|recorded open attached close detached"
                                         << "a detached Board6100028 grey" << "" << "1 gone";
    QTest::newRow("a folder that is a file") << "plug a info|start a" << "" << "" << "no port yet";
}

void tst_Kvmonitor::table()
{
    QFETCH(QString, script);
    QFETCH(QString, expected);
    QFETCH(QString, cells);
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
        } else if (what == QLatin1String("await") && arg == QLatin1String("console")) {
            QTRY_VERIFY_WITH_TIMEOUT(bench.live(words.value(2)), 10000);
        } else if (what == QLatin1String("await")) {
            QTRY_VERIFY2_WITH_TIMEOUT(bench.window->ports()->rowCount() >= arg.toInt(), qPrintable(bench.rows().join(QLatin1Char('|'))), 10000);
        } else if (what == QLatin1String("clear")) {
            bench.window->clearGone();
        } else if (what == QLatin1String("apply")) {
            QVERIFY(bench.window->apply());
        } else if (what == QLatin1String("tabs")) {
            QCOMPARE(bench.tabs()->count(), arg.toInt());
        } else if (what == QLatin1String("click")) {
            auto *table = bench.window->findChild<QTableView *>();
            QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualRect(bench.window->ports()->index(bench.row(arg), 0)).center());
        } else if (what == QLatin1String("current")) {
            QCOMPARE(bench.tabs()->currentWidget(), bench.console(arg));
        } else if (what == QLatin1String("act")) {
            QVERIFY(bench.act(arg, words.mid(2).join(QLatin1Char(' '))));
        } else if (what == QLatin1String("heard")) { // how many queries the board heard
            QTRY_COMPARE_WITH_TIMEOUT(bench.boards.at(arg)->lines.size(), words.value(2).toInt(), 10000);
        } else if (what == QLatin1String("type")) {
            bench.console(arg)->sendLine(words.value(2));
        } else if (what == QLatin1String("record")) {
            QVERIFY(bench.window->record(bench.scratch.filePath(QStringLiteral("all.jsonl"))));
        } else if (what == QLatin1String("recorded")) { // these events, in this order
            QVERIFY(bench.window->record(QString()));
            QFile file(bench.scratch.filePath(QStringLiteral("all.jsonl")));
            QJsonObject header;
            QList<QJsonObject> records;
            QString error;
            QVERIFY(file.open(QIODevice::ReadOnly) && KvDevice::RecordingTap::read(&file, &header, &records, &error));
            QStringList events;
            for (const QJsonObject &record : qAsConst(records))
                events << record.value(QStringLiteral("event")).toString();
            events.removeAll(QString());
            QCOMPARE(events.join(QLatin1Char(' ')), words.mid(1).join(QLatin1Char(' ')));
        } else if (what == QLatin1String("narrow")) { // the smallest window: nothing above the table overlaps
            bench.window->resize(640, 420);
            bench.window->show();
            QVERIFY(QTest::qWaitForWindowExposed(bench.window.get()));
            QList<QWidget *> bar;
            for (QWidget *w : bench.window->centralWidget()->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
                bar << (w->isVisible() && !qobject_cast<QSplitter *>(w) ? w : nullptr);
            bar.removeAll(nullptr);
            for (QWidget *a : qAsConst(bar)) {
                for (QWidget *b : qAsConst(bar))
                    QVERIFY2(a == b || !a->geometry().intersects(b->geometry()), qPrintable(a->metaObject()->className() + QStringLiteral(" and ") + b->metaObject()->className()));
            }
        }
    }
    QCOMPARE(bench.rows().join(QLatin1Char('|')), expected);
    if (!cells.isEmpty()) {
        const int row = bench.row(cells.section(QLatin1Char('='), 0, 0));
        QVERIFY(row >= 0);
        QStringList texts;
        for (int column = 0; column < PortTableModel::ColumnCount; ++column)
            texts << bench.window->ports()->index(row, column).data().toString();
        QVERIFY2(texts.join(QLatin1String(" | ")).contains(cells.section(QLatin1Char('='), 1)), qPrintable(texts.join(QLatin1String(" | "))));
        const QModelIndex detail = bench.window->ports()->index(row, PortTableModel::Detail);
        QCOMPARE(detail.data(Qt::ToolTipRole), detail.data());
    }
    QCOMPARE(bench.window->statusText().section(QStringLiteral("   |   "), 1, 1), status);
}

void tst_Kvmonitor::console_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QString>("actions"); // ';'-separated: type TEXT (shift: Shift+Enter), a button's text, "$" and a body the board sends, held N, filter TEXT
    QTest::addColumn<QString>("heard");   // the last line the board heard; "-": nothing after the identification
    QTest::addColumn<QString>("shown");   // in the console, each of these, separated by '|'
    QTest::addColumn<QString>("hidden");  // and none of these

    QTest::newRow("the identification") << "board6100028" << "" << ""
                                        << "> $PKVVER*0c|< $PKVVER,HW2-6100028,3,2,3*03   hwversion=HW2-6100028 v1=3|— attached as Board6100028: hwversion=HW2-6100028" << "";
    QTest::newRow("a sentence typed, its answer with its fields") << "board6100028" << "type PKVVER" << "$PKVVER*0c\r\n"
                                                                  << "> $PKVVER*0c|< $PKVVER,HW2-6100028,3,2,3*03   hwversion=HW2-6100028 v1=3 v2=2 v3=3" << "";
    QTest::newRow("the version button, the raw answer") << "board6100027:hwversion=HW5-6100027" << "Version" << "$PKVVER*0c\r\n"
                                                        << "< $PKVVER,HW5-6100027,2,1,0*|= version request answered in" << "";
    QTest::newRow("the information button") << "info:name=KV7" << "Information" << "$PTKVWR,INF*71\r\n"
                                            << "< $PTKVRD,INF,KV7,INFO|subcommand=INF name=KV7 devtype=INFO|= information request answered" << "";
    QTest::newRow("a request left unanswered") << "board6100028:answers=1" << "Version" << "$PKVVER*0c\r\n" << "! version request: no answer: no answer in 3 attempts" << "";
    QTest::newRow("a control byte, a sentence the init protocol does not know") << "board6100028" << "$KVX,\a" << "" << "< $KVX,\\x07*6e" << "Undefined";
    QTest::newRow("paused, then resumed") << "board6100028" << "Pause;$KVY,1;$KVY,2;held 2;Resume (2)" << "" << "< $KVY,1*|< $KVY,2*" << "";
    QTest::newRow("a filter by address") << "board6100028" << "$KVY,1;$PKVVER,HW2-X,1,2,3;filter pkvv" << "" << "< $PKVVER,HW2-X|— attached" << "KVY,1";
    QTest::newRow("found") << "board6100028" << "$KVY,1;$KVY,2;find KVY,2;find KVY" << "" << "< $KVY,2" << "";
    QTest::newRow("in hexadecimal") << "board6100028" << "$KVZ;Hex" << "" << "< 24 4b 56 5a 2a" << "< $KVZ";
    QTest::newRow("a wrong checksum is not sent") << "board6100028" << "type $PKVVER*00" << "-"
                                                  << "! not sent: its checksum is *00, the sentence's is *0c (Shift+Enter sends it as typed)" << "";
    QTest::newRow("nor a sentence longer than a board takes")
        << "board6100028" << "type KVLONG,01234567890123456789012345678901234567890123456789012345678901" << "-"
        << "! not sent: 75 characters with $ and CR LF; a board takes at most 74" << "";
    QTest::newRow("unless sent as typed") << "board6100028" << "shift $PKVVER*00" << "$PKVVER*00\r\n" << "> $PKVVER*00" << "not sent";
}

void tst_Kvmonitor::console()
{
    QFETCH(QString, board);
    QFETCH(QString, actions);
    QFETCH(QString, heard);
    QFETCH(QString, shown);
    QFETCH(QString, hidden);

    Bench bench;
    BoardConsole *console = bench.attachOne(board);
    QVERIFY(console);
    Board *played = bench.boards.at(QStringLiteral("b")).get();
    const int identifying = played->lines.size();
    QPushButton *pause = nullptr; // the one that stays down and changes its text
    for (QPushButton *button : console->findChildren<QPushButton *>())
        pause = button->shortcut() == QKeySequence(Qt::CTRL | Qt::Key_P) ? button : pause;
    for (const QString &action : actions.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (action.startsWith(QLatin1String("type ")) || action.startsWith(QLatin1String("shift "))) {
            QLineEdit *input = lineEdit(console, QStringLiteral("A sentence"));
            QTest::keyClicks(input, action.section(QLatin1Char(' '), 1));
            QTest::keyClick(input, Qt::Key_Return, action.startsWith(QLatin1String("shift")) ? Qt::ShiftModifier : Qt::NoModifier);
        } else if (action.startsWith(QLatin1Char('$'))) {
            played->send(sentence(action.mid(1)).toLatin1());
            QTest::qWait(20);
        } else if (action.startsWith(QLatin1String("held "))) { // what came while paused is counted, not shown
            QTRY_COMPARE_WITH_TIMEOUT(pause->text(), QStringLiteral("Resume (%1)").arg(action.mid(5)), 10000);
            QVERIFY(!console->text().contains(QLatin1String("KVY")));
        } else if (action.startsWith(QLatin1String("find "))) {
            QLineEdit *find = lineEdit(console, QStringLiteral("Find"));
            find->setText(action.mid(5));
            QTest::keyClick(find, Qt::Key_Return);
            QCOMPARE(console->findChild<QPlainTextEdit *>()->textCursor().selectedText(), action.mid(5));
        } else if (action.startsWith(QLatin1String("filter "))) {
            lineEdit(console, QStringLiteral("Only the address"))->setText(action.mid(7));
        } else {
            for (QPushButton *button : console->findChildren<QPushButton *>()) {
                if (button->text().remove(QLatin1Char('&')) == action)
                    button->click();
            }
        }
    }
    for (const QString &text : shown.split(QLatin1Char('|')))
        QTRY_VERIFY2_WITH_TIMEOUT(console->text().contains(text), qPrintable(console->text()), 10000);
    for (const QString &text : hidden.split(QLatin1Char('|'), Qt::SkipEmptyParts))
        QVERIFY2(!console->text().contains(text), qPrintable(console->text()));
    if (heard == QLatin1String("-"))
        QCOMPARE(played->lines.size(), identifying);
    else if (!heard.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromLatin1(played->lines.last()), heard, 10000);
}

void tst_Kvmonitor::focus_data()
{
    QTest::addColumn<QString>("keys"); // pressed in the window, separated by ';'
    QTest::newRow("Alt+V asks for the version") << "Alt+V";
    QTest::newRow("Alt+I asks for the information") << "Alt+I";
    QTest::newRow("Ctrl+P pauses and resumes") << "Ctrl+P;Ctrl+P";
    QTest::newRow("Ctrl+E from the table") << "Table;Ctrl+E";
}

void tst_Kvmonitor::focus()
{
    QFETCH(QString, keys);

    Bench bench;
    BoardConsole *console = bench.attachOne(QStringLiteral("board6100028"));
    QVERIFY(console);
    bench.window->show();
    QVERIFY(QTest::qWaitForWindowActive(bench.window.get()));
    QLineEdit *input = lineEdit(console, QStringLiteral("A sentence"));
    for (const QString &key : keys.split(QLatin1Char(';'))) {
        if (key == QLatin1String("Table")) {
            bench.window->findChild<QTableView *>()->setFocus();
            QTRY_VERIFY(!input->hasFocus());
            continue;
        }
        QTest::keySequence(QApplication::focusWidget(), QKeySequence(key));
    }
    // Typing goes on in the sentence line, whatever was pressed.
    QTRY_VERIFY(input->hasFocus());
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("KVPING"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromLatin1(bench.boards.at(QStringLiteral("b"))->lines.last()), sentence(QStringLiteral("KVPING")), 10000);
}

void tst_Kvmonitor::following_data()
{
    QTest::addColumn<QString>("steps"); // ';'-separated: behind (another tab shown), front, up (the reader scrolls up), save, lines N, gone
    QTest::addColumn<bool>("atEnd");    // the view shows the last line at the end

    QTest::newRow("in a tab behind another") << "behind;lines 300;front" << true;
    QTest::newRow("after a save") << "save;lines 300" << true;
    QTest::newRow("the board gone while behind") << "lines 300;behind;gone;front" << true;
    QTest::newRow("not while the reader looks further up") << "lines 300;up;lines 50" << false;
}

void tst_Kvmonitor::following()
{
    QFETCH(QString, steps);
    QFETCH(bool, atEnd);

    Bench bench;
    BoardConsole *console = bench.attachOne(QStringLiteral("board6100028"));
    QVERIFY(console);
    bench.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(bench.window.get()));
    QTemporaryDir folder;
    Board *played = bench.boards.at(QStringLiteral("b")).get();
    QWidget other;
    QScrollBar *bar = console->findChild<QPlainTextEdit *>()->verticalScrollBar();
    int sent = 0;
    for (const QString &step : steps.split(QLatin1Char(';'))) {
        if (step == QLatin1String("behind")) {
            bench.tabs()->setCurrentIndex(bench.tabs()->addTab(&other, QStringLiteral("other")));
        } else if (step == QLatin1String("front")) {
            bench.tabs()->setCurrentWidget(console);
        } else if (step == QLatin1String("up")) {
            QTRY_VERIFY(bar->maximum() > 0);
            bar->setValue(0);
        } else if (step == QLatin1String("save")) {
            QVERIFY(console->saveTo(folder.filePath(QStringLiteral("s.txt"))));
        } else if (step == QLatin1String("gone")) {
            played->close();
            QTRY_VERIFY_WITH_TIMEOUT(console->hasEnded(), 10000);
        } else {
            for (int i = 0, n = step.section(QLatin1Char(' '), 1).toInt(); i < n; ++i)
                played->send(sentence(QStringLiteral("KVLINE,%1").arg(++sent)).toLatin1());
            QTRY_VERIFY_WITH_TIMEOUT(console->text().contains(QStringLiteral("KVLINE,%1*").arg(sent)), 10000);
        }
    }
    QTest::qWait(50);
    QCOMPARE(bar->value() == bar->maximum() && bar->maximum() > 0, atEnd);
}

void tst_Kvmonitor::gone_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QString>("how");  // close: the board; link: its link first; again: watching again
    QTest::addColumn<QString>("shown"); // in the console, in this order, separated by '|'

    QTest::newRow("the board closes") << "board6100028" << "close" << "> $PKVVER*0c|— board gone —";
    QTest::newRow("its link goes first") << "info" << "link" << "— board gone —";
    QTest::newRow("with a request pending") << "board6100028:answers=1" << "close" << "! version request: no answer: the|— board gone —";
    QTest::newRow("watching again lets it go, and finds it again") << "info" << "again" << "— let go: watching again —|— attached as InfoDevice";
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
        QTRY_VERIFY_WITH_TIMEOUT(console->hasEnded(), 10000);
        QVERIFY(bench.window->ports()->index(0, 0).data(PortTableModel::GoneRole).toBool());
        QVERIFY(!lineEdit(console, QStringLiteral("A sentence"))->isEnabled());
    }
    int at = 0;
    for (const QString &text : shown.split(QLatin1Char('|'))) {
        QTRY_VERIFY2_WITH_TIMEOUT(console->text().indexOf(text, at) >= 0, qPrintable(console->text()), 10000);
        at = console->text().indexOf(text, at);
    }

    // Saved as text, with a header and dated lines, or as a recording that opens read-only.
    QTemporaryDir folder;
    QVERIFY(console->defaultFileName(QStringLiteral("jsonl")).contains(QRegularExpression(QStringLiteral("^\\w+-b-\\d{8}-\\d{6}\\.jsonl$"))));
    QVERIFY(console->saveTo(folder.filePath(QStringLiteral("saved.txt"))));
    QFile saved(folder.filePath(QStringLiteral("saved.txt")));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(saved.readAll());
    QVERIFY2(text.startsWith(QStringLiteral("# kvmonitor ")) && text.contains(QDate::currentDate().toString(Qt::ISODate) + QLatin1Char(' ')), qPrintable(text));
    QVERIFY(console->saveTo(folder.filePath(QStringLiteral("saved.jsonl"))));
    QVERIFY(!console->saveTo(folder.path()));
    QVERIFY(bench.window->openRecording(folder.filePath(QStringLiteral("saved.jsonl"))));
    auto *recorded = qobject_cast<BoardConsole *>(bench.tabs(QStringLiteral("recordings"))->currentWidget());
    QVERIFY(recorded && recorded->isReadOnly() && recorded != console);
    for (const QString &line : console->text().split(QLatin1Char('\n')).filter(QStringLiteral("> $PKVVER")))
        QVERIFY2(recorded->text().contains(line.mid(13)), qPrintable(recorded->text()));

    if (how == QLatin1String("again")) { // the board comes back, in the same console
        QTRY_VERIFY_WITH_TIMEOUT(!console->hasEnded(), 10000);
        QCOMPARE(bench.console(QStringLiteral("b")), console.data());
        return;
    }
    // A gone board hears nothing more.
    const int heard = played->lines.size();
    console->sendLine(QStringLiteral("PKVVER"));
    console->askVersion();
    QTest::qWait(50);
    QCOMPARE(played->lines.size(), heard);
    // A gone board's console closes; the rest of the window stays.
    const int open = bench.tabs()->count();
    emit bench.tabs()->tabCloseRequested(bench.tabs()->indexOf(console));
    QCOMPARE(bench.tabs()->count(), open - 1);
    QTRY_VERIFY(!console);
}

QTEST_MAIN(tst_Kvmonitor)
#include "tst_kvmonitor.moc"
