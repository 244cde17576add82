#include "mainwindow.h"

#include "boardconsole.h"
#include "common.h"
#include "porttablemodel.h"

#include <kvdevice/communicator.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIODevice>
#include <QLabel>
#include <QLineEdit>
#include <QMetaEnum>
#include <QPushButton>
#include <QRegularExpression>
#include <QSplitter>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

using KvDevice::Watcher;

namespace {

// The sources the window offers, in the combo box's order.
const QList<Watcher::Source> sources = {Watcher::Automatic, Watcher::Udev, Watcher::Polling, Watcher::Directory};
const QList<KvDevice::Type> allTypes = {KvDevice::Board6100028, KvDevice::Board6100027, KvDevice::InfoDevice};

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
    sourceBox->addItems({QStringLiteral("Automatic"), QStringLiteral("udev"), QStringLiteral("Polling"), QStringLiteral("Folder")});
    sourceLabel->setBuddy(sourceBox);
    whereEdit = new QLineEdit(central);
    whereEdit->setMinimumWidth(160);
    for (const KvDevice::Type type : allTypes) {
        typeBoxes << new QCheckBox(Tool::typeName(type), central);
        typeBoxes.last()->setChecked(options.types.contains(type));
    }
    serialEdit = new QLineEdit(options.serials.join(QLatin1Char(' ')), central);
    serialEdit->setPlaceholderText(QStringLiteral("USB serial numbers (all)"));
    serialEdit->setToolTip(QStringLiteral("Only the system's ports with one of these USB serial numbers, separated by spaces or commas"));
    auto *applyButton = new QPushButton(QStringLiteral("&Apply"), central);
    applyButton->setToolTip(QStringLiteral("Watch again with this source, these types and serial numbers"));
    auto *clearButton = new QPushButton(QStringLiteral("Clear &gone"), central);
    clearButton->setToolTip(QStringLiteral("Remove the rows of the boards that have gone"));

    model = new PortTableModel(this);
    table = new QTableView(central);
    table->setModel(model);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setWordWrap(false);
    table->verticalHeader()->hide();
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    table->horizontalHeader()->setDefaultSectionSize(table->horizontalHeader()->minimumSectionSize()); // fitColumns() widens them
    table->horizontalHeader()->setStretchLastSection(true); // Detail takes what is left
    table->setMinimumHeight(100);

    tabs = new QTabWidget(central);
    tabs->setTabsClosable(true);
    tabs->setMinimumHeight(160);
    tabs->setDocumentMode(true);

    auto *bar = new QHBoxLayout;
    bar->addWidget(sourceLabel);
    bar->addWidget(sourceBox);
    bar->addWidget(whereEdit, 1);
    for (QCheckBox *box : qAsConst(typeBoxes))
        bar->addWidget(box);
    bar->addWidget(serialEdit, 1);
    bar->addWidget(applyButton);
    bar->addWidget(clearButton);
    auto *splitter = new QSplitter(Qt::Vertical, central);
    splitter->addWidget(table);
    splitter->addWidget(tabs);
    splitter->setChildrenCollapsible(false);
    splitter->setStretchFactor(1, 1);
    auto *layout = new QVBoxLayout(central);
    layout->addLayout(bar);
    layout->addWidget(splitter, 1);
    setCentralWidget(central);
    statusLabel = new QLabel(this);
    statusBar()->addWidget(statusLabel, 1);
    setMinimumSize(640, 420);
    resize(1100, 700);

    auto *quit = new QAction(QStringLiteral("Quit"), this);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &QWidget::close);
    auto *closeGone = new QAction(QStringLiteral("Close the console of a gone board"), this);
    closeGone->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    connect(closeGone, &QAction::triggered, this, [this] { closeTab(tabs->currentIndex()); });
    addActions({quit, closeGone});

    connect(sourceBox, qOverload<int>(&QComboBox::currentIndexChanged), this, &MainWindow::sourceChosen);
    connect(applyButton, &QPushButton::clicked, this, &MainWindow::apply);
    connect(whereEdit, &QLineEdit::returnPressed, this, &MainWindow::apply);
    connect(clearButton, &QPushButton::clicked, this, &MainWindow::clearGone);
    connect(tabs, &QTabWidget::tabCloseRequested, this, &MainWindow::closeTab);
    connect(model, &PortTableModel::countsChanged, this, &MainWindow::updateStatus);
    connect(model, &QAbstractItemModel::rowsInserted, this, &MainWindow::fitColumns);
    connect(model, &QAbstractItemModel::dataChanged, this, &MainWindow::fitColumns);
    connect(&watcher, &Watcher::deviceAttached, this, &MainWindow::onAttached);
    connect(&watcher, &Watcher::deviceDetached, this, &MainWindow::onDetached);
    connect(&watcher, &Watcher::portLeft, model, &PortTableModel::left);
    connect(&watcher, &Watcher::portConcluded, model, &PortTableModel::concluded);
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
        if (console && console->port().name == port)
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
        model->detached(board.type, board.port);
        release(board, QStringLiteral("let go: watching again"));
    }
    boards.clear();
    watcher.setSource(options.source);
    watcher.setPollInterval(options.pollMs);
    watcher.setDirectory(options.directory);
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
    }
    showSource();
    updateStatus();
    return started;
}

void MainWindow::updateStatus()
{
    const PortTableModel::Counts counts = model->counts();
    statusLabel->setText(QStringLiteral("%1   |   %2 attached, %3 gone, %4 concluded without a board")
                             .arg(status)
                             .arg(counts.attached)
                             .arg(counts.gone)
                             .arg(counts.withoutBoard));
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
}

void MainWindow::onAttached(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortReport &report)
{
    model->attached(type, report);
    auto *console = new BoardConsole(type, comm, report.port);
    const int index = tabs->addTab(console, QStringLiteral("%1 %2").arg(Tool::typeName(type), QFileInfo(report.port.name).fileName()));
    tabs->setTabToolTip(index, report.port.name);
    // Only a gone board's console may be closed.
    if (QWidget *close = tabs->tabBar()->tabButton(index, QTabBar::RightSide))
        close->hide();
    boards.insert(report.port.name, {type, report.port, comm, console});
    emit boardAttached(console);
}

void MainWindow::onDetached(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortInfo &port)
{
    model->detached(type, port);
    Board board = boards.take(port.name);
    if (board.comm != comm && comm) { // not ours: still the host's to free
        comm->ioDevice()->deleteLater();
        comm->deleteLater();
    }
    release(board, QStringLiteral("board gone"));
}

void MainWindow::release(const Board &board, const QString &why)
{
    if (board.console) {
        board.console->end(why);
        const int index = tabs->indexOf(board.console);
        tabs->setTabText(index, tabs->tabText(index) + QStringLiteral(" (gone)"));
        tabs->tabBar()->setTabTextColor(index, Qt::gray);
        if (QWidget *close = tabs->tabBar()->tabButton(index, QTabBar::RightSide))
            close->show();
    }
    if (board.comm && board.comm->ioDevice()) {
        board.comm->ioDevice()->close(); // at once: watching again opens it
        board.comm->ioDevice()->deleteLater();
    }
    if (board.comm)
        board.comm->deleteLater();
}

void MainWindow::closeTab(int index)
{
    auto *console = qobject_cast<BoardConsole *>(tabs->widget(index));
    if (!console || !console->hasEnded())
        return;
    tabs->removeTab(index);
    console->deleteLater();
}
