// SPDX-License-Identifier: MIT
#pragma once

#include "boardconsole.h"

#include <kvdevice/recordingtap.h>
#include <kvdevice/type.h>
#include <kvdevice/watcher.h>

#include <QFile>
#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>

class PortTableModel;
class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QTabWidget;
class QTableView;

namespace KvDevice {
class Communicator;
}

/// What to watch, and how: kvprobe --watch's choices.
struct MonitorOptions
{
    QList<KvDevice::Type> types = {KvDevice::Board6100028, KvDevice::Board6100027, KvDevice::InfoDevice};
    QStringList serials; // not empty: only the system's ports with one of these USB serial numbers
    int timeoutMs = 400;
    unsigned int retries = 3;
    KvDevice::Watcher::Source source = KvDevice::Watcher::Automatic;
    int pollMs = 1000;
    QString directory;
    QStringList remote; // boards on other machines, by URL
    bool raiseModemLines = true; // DTR and RTS after opening a port
};

/// kvmonitor's window: the ports a watcher has seen above, a console per port below (one
/// per port, kept when its board goes and used again when it comes back), the source and
/// the counts in the status line. It owns the watcher, every board it hands over until the
/// board goes, and the ports it opens itself. A recording tap follows every port opened,
/// for the consoles and, on request, for a recording of everything.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(const MonitorOptions &options, QWidget *parent = nullptr);
    ~MainWindow() override;

    PortTableModel *ports() const { return model; }
    /// The console of `port` (PortInfo::name), or null; not a recording's.
    BoardConsole *console(const QString &port) const;
    /// What the status line says.
    QString statusText() const;
    /// What can be done with the port of table row `row`, as its context menu offers it.
    QList<QAction *> rowActions(int row);

public slots:
    /// Watches with the options set; a watching under way is stopped first, and the boards
    /// it handed over are let go. False, with the reason in the status line, when it cannot.
    bool startWatching();
    /// Watches with the source, types and serial numbers chosen in the window.
    bool apply();
    /// Removes the rows of the boards that have gone, and their consoles.
    void clearGone();
    /// Opens a console on the port `name` that delivered no board; false when it cannot.
    bool openPort(const QString &name);
    /// Shows each port of the recording `path` in a read-only console, beside the ports';
    /// false when it is none.
    bool openRecording(const QString &path);
    /// Records every port from now on to `path` (empty: stops); false when it cannot.
    bool record(const QString &path);

signals:
    /// A board was handed over and its console opened, or opened again.
    void boardAttached(BoardConsole *console);

private:
    struct Board
    {
        KvDevice::Type type = KvDevice::NoDevice; // NoDevice: a port the window opened itself
        KvDevice::PortInfo port;
        QPointer<KvDevice::Communicator> comm;
        QPointer<BoardConsole> console;
    };

    void onAttached(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortReport &report);
    void onDetached(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortInfo &port);
    void onTraffic(KvDevice::Communicator *comm, KvDevice::RecordingTap::Direction direction, const QByteArray &bytes);
    /// The console for `port`: its own when it has one, else a new one in a tab of its own.
    BoardConsole *consoleFor(const KvDevice::PortInfo &port, const QString &tabText);
    /// Ends the console of `board` with `why` and lets its communicator and port go.
    void release(const Board &board, const QString &why, const QString &event);
    void closeTab(int index);
    void markTab(BoardConsole *console, bool gone);
    void showSource();
    void fitColumns();
    /// Fills the line beside the source box for the source at `index`.
    void sourceChosen(int index);
    void updateStatus();

    MonitorOptions options;
    KvDevice::Watcher watcher;
    KvDevice::RecordingTap tap;
    QFile recordingFile;
    QHash<QString, Board> boards; // open now, by port name
    QHash<KvDevice::Communicator *, QList<BoardConsole::Traffic>> probing; // what a port said before it had a console
    QString status;               // the source in use, or why there is none

    PortTableModel *model;
    QTableView *table;
    QTabWidget *tabs;       // the ports' consoles
    QTabWidget *recordings; // recordings opened, beside them
    QComboBox *sourceBox;
    QLineEdit *whereEdit;
    QList<QCheckBox *> typeBoxes;
    QLineEdit *serialEdit;
    QLabel *statusLabel;
    QAction *recordAction;
};
