// SPDX-License-Identifier: MIT
#include "mainwindow.h"

#include "common.h"
#include "porttablemodel.h"

#include <kvdevice/communicator.h>
#include <kvdevice/initializer.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIODevice>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMetaEnum>
#include <QPushButton>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSplitter>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

using KvDevice::Watcher;

namespace {

// The sources the window offers, in the combo box's order.
const QList<Watcher::Source> sources = {Watcher::Automatic, Watcher::Udev, Watcher::Polling, Watcher::Directory, Watcher::Remote};
const QList<KvDevice::Type> allTypes = {KvDevice::Board6100028, KvDevice::Board6100027, KvDevice::InfoDevice};
const QString goneMark = QStringLiteral(" (gone)");

} // namespace

MainWindow::MainWindow(const MonitorOptions &monitorOptions, QWidget *parent)
    : QMainWindow(parent)
    , options(monitorOptions)
{
    setWindowTitle(QStringLiteral("kvmonitor"));
    auto *central = new QWidget(this);

    // Made in the order Tab visits them: the source, the table, the consoles.
    auto *sourceLabel = new QLabel(QStringLiteral("&Source:"), central);
    sourceBox = new QComboBox(central);
    sourceBox->addItems({QStringLiteral("Automatic"), QStringLiteral("udev"), QStringLiteral("Polling"), QStringLiteral("Folder"),
                         QStringLiteral("None (remote only)")});
    sourceLabel->setBuddy(sourceBox);
    whereEdit = new QLineEdit(central);
    whereEdit->setMinimumWidth(120);
    auto *applyButton = new QPushButton(QStringLiteral("&Apply"), central);
    applyButton->setToolTip(QStringLiteral("Watch again with this source, these types and serial numbers"));
    for (const KvDevice::Type type : allTypes) {
        typeBoxes << new QCheckBox(Tool::typeName(type), central);
        typeBoxes.last()->setChecked(options.types.contains(type));
    }
    serialEdit = new QLineEdit(options.serials.join(QLatin1Char(' ')), central);
    serialEdit->setPlaceholderText(QStringLiteral("USB serial numbers (all)"));
    serialEdit->setToolTip(QStringLiteral("Only the system's ports with one of these USB serial numbers, separated by spaces or commas"));
    serialEdit->setMinimumWidth(80);
    auto *clearButton = new QPushButton(QStringLiteral("Clear &gone"), central);
    clearButton->setToolTip(QStringLiteral("Remove the rows and the consoles of the boards that have gone"));

    model = new PortTableModel(this);
    table = new QTableView(central);
    table->setModel(model);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setWordWrap(false);
    table->setContextMenuPolicy(Qt::CustomContextMenu);
    table->verticalHeader()->hide();
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    table->horizontalHeader()->setDefaultSectionSize(table->horizontalHeader()->minimumSectionSize()); // fitColumns() widens them
    table->horizontalHeader()->setStretchLastSection(true); // Detail takes what is left
    table->setMinimumHeight(100);

    tabs = new QTabWidget(central);
    recordings = new QTabWidget(central);
    for (QTabWidget *t : {tabs, recordings}) {
        t->setTabsClosable(true);
        t->setMinimumHeight(160);
        t->setDocumentMode(true);
    }
    tabs->setObjectName(QStringLiteral("consoles"));
    recordings->setObjectName(QStringLiteral("recordings"));
    recordings->hide();

    // Two rows, so that nothing overlaps in a window 640 pixels wide.
    auto *watching = new QHBoxLayout;
    watching->addWidget(sourceLabel);
    watching->addWidget(sourceBox);
    watching->addWidget(whereEdit, 1);
    watching->addWidget(applyButton);
    auto *choosing = new QHBoxLayout;
    for (QCheckBox *box : qAsConst(typeBoxes))
        choosing->addWidget(box);
    choosing->addWidget(serialEdit, 1);
    choosing->addWidget(clearButton);
    auto *consoles = new QSplitter(Qt::Horizontal, central);
    consoles->addWidget(tabs);
    consoles->addWidget(recordings);
    consoles->setChildrenCollapsible(false);
    consoles->setStretchFactor(0, 3);
    consoles->setStretchFactor(1, 2);
    auto *splitter = new QSplitter(Qt::Vertical, central);
    splitter->addWidget(table);
    splitter->addWidget(consoles);
    splitter->setChildrenCollapsible(false);
    splitter->setStretchFactor(1, 1);
    auto *layout = new QVBoxLayout(central);
    layout->addLayout(watching);
    layout->addLayout(choosing);
    layout->addWidget(splitter, 1);
    setCentralWidget(central);
    statusLabel = new QLabel(this);
    statusBar()->addWidget(statusLabel, 1);
    setMinimumSize(640, 420);
    resize(1100, 700);

    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction *open = file->addAction(QStringLiteral("&Open a recording…"), this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open a recording"), QDir::homePath(),
                                                          QStringLiteral("Recordings (*.jsonl);;All files (*)"));
        if (!path.isEmpty())
            openRecording(path);
    });
    open->setShortcut(QKeySequence::Open);
    recordAction = file->addAction(QStringLiteral("&Record everything to…"));
    recordAction->setCheckable(true);
    recordAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    connect(recordAction, &QAction::triggered, this, [this](bool on) {
        const QString path = !on ? QString()
                                 : QFileDialog::getSaveFileName(this, QStringLiteral("Record every port to"),
                                                                QDir::home().filePath(QDateTime::currentDateTime().toString(QStringLiteral("'kvmonitor'-yyyyMMdd-HHmmss'.jsonl'"))),
                                                                QStringLiteral("Recordings (*.jsonl)"));
        if (!on || path.isEmpty() || !record(path))
            record(QString());
    });
    file->addSeparator();
    QAction *quit = file->addAction(QStringLiteral("&Quit"), this, &QWidget::close);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    auto *closeGone = new QAction(QStringLiteral("Close the console of a gone board"), this);
    closeGone->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    connect(closeGone, &QAction::triggered, this, [this] { closeTab(tabs->currentIndex()); });
    auto *typeHere = new QAction(QStringLiteral("Type a sentence"), this);
    typeHere->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    connect(typeHere, &QAction::triggered, this, [this] {
        if (QWidget *current = tabs->currentWidget())
            current->setFocus(Qt::ShortcutFocusReason);
    });
    addActions({closeGone, typeHere});

    connect(sourceBox, qOverload<int>(&QComboBox::currentIndexChanged), this, &MainWindow::sourceChosen);
    connect(applyButton, &QPushButton::clicked, this, &MainWindow::apply);
    connect(whereEdit, &QLineEdit::returnPressed, this, &MainWindow::apply);
    connect(clearButton, &QPushButton::clicked, this, &MainWindow::clearGone);
    connect(tabs, &QTabWidget::tabCloseRequested, this, &MainWindow::closeTab);
    connect(recordings, &QTabWidget::tabCloseRequested, this, [this](int index) {
        recordings->widget(index)->deleteLater();
        recordings->removeTab(index);
        recordings->setVisible(recordings->count() > 0);
    });
    connect(table, &QTableView::clicked, this, [this](const QModelIndex &index) {
        if (BoardConsole *shown = console(model->report(index.row()).port.name))
            tabs->setCurrentWidget(shown);
    });
    connect(table, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        const QModelIndex index = table->indexAt(at);
        if (!index.isValid())
            return;
        QMenu menu;
        const QList<QAction *> actions = rowActions(index.row());
        menu.addActions(actions);
        menu.exec(table->viewport()->mapToGlobal(at));
        qDeleteAll(actions);
    });
    connect(model, &PortTableModel::countsChanged, this, &MainWindow::updateStatus);
    connect(model, &QAbstractItemModel::rowsInserted, this, &MainWindow::fitColumns);
    connect(model, &QAbstractItemModel::dataChanged, this, &MainWindow::fitColumns);
    connect(&watcher, &Watcher::deviceAttached, this, &MainWindow::onAttached);
    connect(&watcher, &Watcher::deviceDetached, this, &MainWindow::onDetached);
    connect(&watcher, &Watcher::portLeft, model, &PortTableModel::left);
    connect(&watcher, &Watcher::portConcluded, model, &PortTableModel::concluded);
    watcher.setRecordingTap(&tap);
    connect(&tap, &KvDevice::RecordingTap::traffic, this, &MainWindow::onTraffic);
    showSource();
    fitColumns();
}

MainWindow::~MainWindow()
{
    watcher.stop();
    for (const Board &board : qAsConst(boards)) {
        if (board.comm) {
            delete board.comm->ioDevice();
            delete board.comm.data();
        }
    }
}

BoardConsole *MainWindow::console(const QString &port) const
{
    for (int i = tabs->count() - 1; i >= 0; --i) {
        auto *console = qobject_cast<BoardConsole *>(tabs->widget(i));
        if (console && !console->isReadOnly() && console->port().name == port)
            return console;
    }
    return nullptr;
}

QString MainWindow::statusText() const
{
    return statusLabel->text();
}

void MainWindow::showSource()
{
    sourceBox->setCurrentIndex(sources.indexOf(options.source));
    sourceChosen(sourceBox->currentIndex());
}

void MainWindow::sourceChosen(int index)
{
    const Watcher::Source source = sources.value(index);
    whereEdit->setEnabled(source == Watcher::Polling || source == Watcher::Directory);
    whereEdit->setText(source == Watcher::Polling ? QString::number(options.pollMs) : source == Watcher::Directory ? options.directory : QString());
    whereEdit->setPlaceholderText(source == Watcher::Polling ? QStringLiteral("interval in ms") : QStringLiteral("folder of port links"));
}

bool MainWindow::apply()
{
    MonitorOptions chosen = options;
    chosen.source = sources.value(sourceBox->currentIndex());
    chosen.types.clear();
    for (int i = 0; i < typeBoxes.size(); ++i) {
        if (typeBoxes.at(i)->isChecked())
            chosen.types << allTypes.at(i);
    }
    chosen.serials = serialEdit->text().split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
    QString error;
    const QString where = whereEdit->text().trimmed();
    bool ok = true;
    if (chosen.source == Watcher::Polling)
        chosen.pollMs = where.toInt(&ok);
    if (chosen.source == Watcher::Directory)
        chosen.directory = where;
    if (chosen.types.isEmpty())
        error = QStringLiteral("choose a type to watch for");
    else if (chosen.source == Watcher::Polling && (!ok || chosen.pollMs < 10))
        error = QStringLiteral("the polling interval is in milliseconds, 10 or more");
    else if (chosen.source == Watcher::Directory && where.isEmpty())
        error = QStringLiteral("name the folder of port links to watch");
    if (!error.isEmpty()) {
        statusBar()->showMessage(error, 8000);
        return false;
    }
    options = chosen;
    return startWatching();
}

bool MainWindow::startWatching()
{
    watcher.stop();
    // A board kept open would be found busy by the new watching: let it go first.
    for (const Board &board : qAsConst(boards)) {
        if (board.type != KvDevice::NoDevice)
            model->detached(board.type, board.port);
        release(board, QStringLiteral("let go: watching again"), QStringLiteral("close"));
    }
    boards.clear();
    watcher.setSource(options.source);
    watcher.setPollInterval(options.pollMs);
    watcher.setDirectory(options.directory);
    watcher.setRemotePorts(options.remote);
    watcher.setMaxRetries(options.retries);
    watcher.setAnswerTimeout(options.timeoutMs);
    watcher.setRaiseModemLines(options.raiseModemLines);
    const QStringList serials = options.serials;
    watcher.setPortFilter(serials.isEmpty() ? std::function<bool(const KvDevice::PortInfo &)>()
                                            : [serials](const KvDevice::PortInfo &port) { return serials.contains(port.serialNumber); });
    const bool started = watcher.start(options.types);
    if (!started) {
        status = QStringLiteral("not watching: ") + watcher.errorString();
    } else {
        status = QStringLiteral("watching ") + QString::fromLatin1(QMetaEnum::fromType<Watcher::Source>().valueToKey(watcher.activeSource())).toLower();
        if (watcher.activeSource() == Watcher::Polling)
            status += QStringLiteral(" every %1 ms").arg(options.pollMs);
        if (watcher.activeSource() == Watcher::Directory)
            status += QLatin1Char(' ') + options.directory;
        if (watcher.activeSource() == Watcher::Remote)
            status += QLatin1Char(' ') + options.remote.join(QLatin1Char(' '));
        else if (!options.remote.isEmpty())
            status += QStringLiteral(" and remote ") + options.remote.join(QLatin1Char(' '));
    }
    showSource();
    updateStatus();
    return started;
}

void MainWindow::updateStatus()
{
    // Only what there is: "0 gone" says nothing.
    const PortTableModel::Counts counts = model->counts();
    QStringList said;
    const QList<QPair<int, QString>> parts = {{counts.attached, QStringLiteral("attached")},
                                              {counts.gone, QStringLiteral("gone")},
                                              {counts.withoutBoard, QStringLiteral("without a board")}};
    for (const auto &part : parts) {
        if (part.first > 0)
            said << QStringLiteral("%1 %2").arg(part.first).arg(part.second);
    }
    QString text = status + QStringLiteral("   |   ") + (said.isEmpty() ? QStringLiteral("no port yet") : said.join(QStringLiteral(", ")));
    if (tap.isRecording())
        text += QStringLiteral("   |   recording to ") + recordingFile.fileName();
    statusLabel->setText(text);
}

void MainWindow::fitColumns()
{
    // Wide enough for what they hold, never narrower than the user made them; a long by-id
    // path is cut rather than push Detail, the reason, out of sight.
    for (int column = 0; column < PortTableModel::Detail; ++column) {
        const int before = table->columnWidth(column);
        table->resizeColumnToContents(column);
        table->setColumnWidth(column, qMax(before, qMin(table->columnWidth(column), 360)));
    }
}

void MainWindow::clearGone()
{
    model->clearGone();
    for (int i = tabs->count() - 1; i >= 0; --i) {
        auto *gone = qobject_cast<BoardConsole *>(tabs->widget(i));
        if (gone && gone->hasEnded() && !gone->isReadOnly())
            closeTab(i);
    }
}

QList<QAction *> MainWindow::rowActions(int row)
{
    const KvDevice::PortReport report = model->report(row);
    const QString name = report.port.name;
    const bool withoutBoard = !model->isGone(row) && report.outcome != KvDevice::Identified;
    BoardConsole *shown = console(name);
    auto *show = new QAction(QStringLiteral("Show its console"), this);
    show->setEnabled(shown != nullptr);
    connect(show, &QAction::triggered, this, [this, name] {
        if (BoardConsole *c = console(name))
            tabs->setCurrentWidget(c);
    });
    auto *again = new QAction(QStringLiteral("Ask it again now"), this);
    again->setEnabled(withoutBoard && !boards.contains(name));
    connect(again, &QAction::triggered, this, [this, name] {
        if (!watcher.reprobe(name))
            statusBar()->showMessage(QStringLiteral("%1 cannot be asked again now: it is being asked, or is gone").arg(name), 8000);
    });
    auto *open = new QAction(QStringLiteral("Open a console on it"), this);
    open->setEnabled(withoutBoard && !boards.contains(name));
    connect(open, &QAction::triggered, this, [this, name] { openPort(name); });
    return {show, again, open};
}

bool MainWindow::openPort(const QString &name)
{
    auto *port = new QSerialPort;
    port->setPortName(KvDevice::Initializer::resolvedPortName(name));
    if (!port->open(QIODevice::ReadWrite)) {
        QString detail;
        KvDevice::Initializer::openFailure(*port, &detail);
        statusBar()->showMessage(QStringLiteral("cannot open %1: %2").arg(name, detail), 8000);
        delete port;
        return false;
    }
    port->setBaudRate(115200);
    port->setObjectName(name);
    auto *comm = new KvDevice::Communicator;
    comm->setIODevice(port);
    const int row = model->rowOf(name);
    const KvDevice::PortInfo info = row >= 0 ? model->report(row).port : KvDevice::PortInfo::forName(name);
    tap.follow(comm, info);
    // Its far end gone, it keeps failing until it is closed.
    connect(comm, &KvDevice::Communicator::readFailed, this, [this, name] {
        if (boards.value(name).type == KvDevice::NoDevice && boards.contains(name))
            release(boards.take(name), QStringLiteral("port gone"), QStringLiteral("detached"));
    });
    BoardConsole *opened = consoleFor(info, QStringLiteral("port ") + QFileInfo(name).fileName());
    opened->attach(KvDevice::NoDevice, comm, info, {});
    boards.insert(name, {KvDevice::NoDevice, info, comm, opened});
    markTab(opened, false);
    tabs->setCurrentWidget(opened);
    return true;
}

bool MainWindow::openRecording(const QString &path)
{
    QFile file(path);
    QJsonObject header;
    QList<QJsonObject> records;
    QString error;
    if (!file.open(QIODevice::ReadOnly))
        error = file.errorString();
    if (error.isEmpty() && !KvDevice::RecordingTap::read(&file, &header, &records, &error))
        error = error.isEmpty() ? QStringLiteral("not a recording") : error;
    if (!error.isEmpty()) {
        statusBar()->showMessage(QStringLiteral("cannot open %1: %2").arg(path, error), 8000);
        return false;
    }
    QStringList ports;
    for (const QJsonObject &record : qAsConst(records)) {
        const QString port = record.value(QStringLiteral("port")).toString();
        if (!ports.contains(port))
            ports << port;
    }
    for (const QString &port : qAsConst(ports)) {
        BoardConsole *recorded = BoardConsole::fromRecording(header, records, port);
        const int index = recordings->addTab(recorded, QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), QFileInfo(port).fileName()));
        recordings->setTabToolTip(index, QStringLiteral("%1, port %2 (read only)").arg(QFileInfo(path).absoluteFilePath(), port));
        recordings->setCurrentIndex(index);
        recordings->show();
    }
    if (ports.isEmpty())
        statusBar()->showMessage(QStringLiteral("%1 holds no conversation").arg(path), 8000);
    return !ports.isEmpty();
}

bool MainWindow::record(const QString &path)
{
    tap.stop();
    recordingFile.close();
    bool recording = false;
    if (!path.isEmpty()) {
        recordingFile.setFileName(path);
        recording = recordingFile.open(QIODevice::WriteOnly | QIODevice::Truncate) && tap.start(&recordingFile);
        if (!recording)
            statusBar()->showMessage(QStringLiteral("cannot record to %1: %2").arg(path, recordingFile.errorString()), 8000);
        for (const Board &board : qAsConst(boards)) {
            if (recording && board.comm && board.type != KvDevice::NoDevice)
                tap.recordAttached(board.comm, board.type, model->report(model->rowOf(board.port.name)).answer);
        }
    }
    recordAction->setChecked(recording);
    updateStatus();
    return recording || path.isEmpty();
}

BoardConsole *MainWindow::consoleFor(const KvDevice::PortInfo &port, const QString &tabText)
{
    BoardConsole *found = console(port.name);
    if (!found) {
        found = new BoardConsole(port);
        tabs->addTab(found, tabText);
        connect(found, &BoardConsole::requestSent, this, [this](KvDevice::Communicator *comm, KvDevice::Request *request, const KvDevice::Query &query) {
            tap.recordRequest(comm, request, query);
        });
    }
    const int index = tabs->indexOf(found);
    tabs->setTabText(index, tabText);
    tabs->setTabToolTip(index, port.name);
    return found;
}

void MainWindow::onTraffic(KvDevice::Communicator *comm, KvDevice::RecordingTap::Direction direction, const QByteArray &bytes)
{
    const BoardConsole::Traffic passed{direction, bytes, QDateTime::currentDateTime(), BoardConsole::steadyUs()};
    for (const Board &board : qAsConst(boards)) {
        if (board.comm == comm && board.console) {
            board.console->traffic(passed);
            return;
        }
    }
    // Not a board yet: kept for its console, should it become one.
    auto it = probing.find(comm);
    if (it == probing.end()) {
        it = probing.insert(comm, {});
        connect(comm, &QObject::destroyed, this, [this, comm] { probing.remove(comm); });
    }
    it->append(passed);
    if (it->size() > 200)
        it->removeFirst();
}

void MainWindow::onAttached(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortReport &report)
{
    model->attached(type, report);
    BoardConsole *attached = consoleFor(report.port, QStringLiteral("%1 %2").arg(Tool::typeName(type), QFileInfo(report.port.name).fileName()));
    const QList<BoardConsole::Traffic> said = probing.take(comm);
    for (const BoardConsole::Traffic &passed : said)
        attached->traffic(passed);
    attached->attach(type, comm, report.port, report.answer);
    boards.insert(report.port.name, {type, report.port, comm, attached});
    markTab(attached, false);
    tap.recordAttached(comm, type, report.answer);
    emit boardAttached(attached);
}

void MainWindow::onDetached(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortInfo &port)
{
    model->detached(type, port);
    tap.recordDetached(comm, type);
    Board board = boards.take(port.name);
    if (board.comm != comm && comm) { // not ours: still the host's to free
        comm->ioDevice()->deleteLater();
        comm->deleteLater();
    }
    release(board, QStringLiteral("board gone"), QStringLiteral("detached"));
}

void MainWindow::release(const Board &board, const QString &why, const QString &event)
{
    if (board.console) {
        board.console->end(why, event);
        markTab(board.console, true);
    }
    if (board.comm && board.comm->ioDevice()) {
        board.comm->ioDevice()->close(); // at once: watching again opens it
        board.comm->ioDevice()->deleteLater();
    }
    if (board.comm)
        board.comm->deleteLater();
}

void MainWindow::markTab(BoardConsole *console, bool gone)
{
    const int index = tabs->indexOf(console);
    QString text = tabs->tabText(index);
    if (text.endsWith(goneMark))
        text.chop(goneMark.size());
    tabs->setTabText(index, gone ? text + goneMark : text);
    tabs->tabBar()->setTabTextColor(index, gone ? Qt::gray : tabs->tabBar()->palette().color(QPalette::WindowText));
    // Only a gone board's console, or a port opened here, may be closed.
    if (QWidget *close = tabs->tabBar()->tabButton(index, QTabBar::RightSide))
        close->setVisible(gone || console->type() == KvDevice::NoDevice);
}

void MainWindow::closeTab(int index)
{
    auto *console = qobject_cast<BoardConsole *>(tabs->widget(index));
    if (!console)
        return;
    const QString name = console->port().name;
    if (!console->hasEnded() && boards.value(name).console == console && boards.value(name).type == KvDevice::NoDevice)
        release(boards.take(name), QStringLiteral("closed"), QStringLiteral("close"));
    if (!console->hasEnded())
        return;
    tabs->removeTab(index);
    console->deleteLater();
}
