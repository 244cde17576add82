#pragma once

#include <kvdevice/type.h>
#include <kvdevice/watcher.h>

#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>

class BoardConsole;
class PortTableModel;
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
    bool raiseModemLines = true; // DTR and RTS after opening a port
};

/// kvmonitor's window: the ports a watcher has seen above, a console per board below, the
/// source and the counts in the status line. It owns the watcher and every board it hands
/// over, until the board goes.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(const MonitorOptions &options, QWidget *parent = nullptr);
    ~MainWindow() override;

    PortTableModel *ports() const { return model; }
    /// The console opened last for the board on `port` (PortInfo::name), or null.
    BoardConsole *console(const QString &port) const;
    /// What the status line says.
    QString statusText() const;

public slots:
    /// Watches with the options set; a watching under way is stopped first, and the boards
    /// it handed over are let go. False, with the reason in the status line, when it cannot.
    bool startWatching();
    /// Watches with the source, types and serial numbers chosen in the window.
    bool apply();
    /// Removes the rows of the boards that have gone.
    void clearGone();

signals:
    /// A board was handed over and its console opened.
    void boardAttached(BoardConsole *console);

private:
    struct Board
    {
        KvDevice::Type type = KvDevice::NoDevice;
        KvDevice::PortInfo port;
        QPointer<KvDevice::Communicator> comm;
        QPointer<BoardConsole> console;
    };

    void onAttached(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortReport &report);
    void onDetached(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortInfo &port);
    /// Ends the console of `board` with `why` and lets its communicator and port go.
    void release(const Board &board, const QString &why);
    void closeTab(int index);
    void showSource();
    void fitColumns();
    /// Fills the line beside the source box for the source at `index`.
    void sourceChosen(int index);
    void updateStatus();

    MonitorOptions options;
    KvDevice::Watcher watcher;
    QHash<QString, Board> boards; // attached now, by port name
    QString status;               // the source in use, or why there is none

    PortTableModel *model;
    QTableView *table;
    QTabWidget *tabs;
    QComboBox *sourceBox;
    QLineEdit *whereEdit;
    QList<QCheckBox *> typeBoxes;
    QLineEdit *serialEdit;
    QLabel *statusLabel;
};
