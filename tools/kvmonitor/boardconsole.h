#pragma once

#include <kvdevice/parserinit.h>
#include <kvdevice/portinfo.h>
#include <kvdevice/request.h>
#include <kvdevice/type.h>

#include <QPointer>
#include <QStringList>
#include <QWidget>

class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace KvDevice {
class Communicator;
}

/// The conversation with one attached board: what is sent ("> ") and received ("< ", with
/// the fields the init protocol parses), the board's own requests and their results
/// ("= ", "! "), a line to type any sentence. The communicator stays the host's; the
/// console only talks through it until end().
class BoardConsole : public QWidget
{
    Q_OBJECT
public:
    /// Lines kept in view, and held back while paused.
    static constexpr int maxLines = 5000;

    BoardConsole(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortInfo &port, QWidget *parent = nullptr);

    KvDevice::Type type() const { return boardType; }
    KvDevice::PortInfo port() const { return portInfo; }
    /// Everything shown so far.
    QString text() const;
    /// Whether the board has gone (end()).
    bool hasEnded() const { return gone; }

public slots:
    /// Sends `line` as a sentence ("$" and the checksum added as needed).
    void sendLine(const QString &line);
    /// Asks the board through a request; its result is shown when it ends.
    void ask(const KvDevice::Query &query, const QString &what);
    void askVersion();
    void askInformation();
    void setPaused(bool paused);
    void clear();
    /// Writes what is shown to `path`; false, with the reason shown, when it cannot.
    bool saveTo(const QString &path);
    /// The board has gone: a last line `why`, nothing more to send. The communicator may be
    /// deleted from now on.
    void end(const QString &why);

signals:
    /// end() has come.
    void ended();

private:
    void append(const QString &line);
    void takeReceived();
    void chooseSaveFile();
    void updatePauseText();

    KvDevice::Type boardType;
    QPointer<KvDevice::Communicator> comm;
    KvDevice::PortInfo portInfo;
    Nmea::ParserInit parser; // fields for people, whatever the board says
    bool gone = false;
    bool paused = false;
    QStringList held; // while paused, at most maxLines
    int dropped = 0;  // held lines that did not fit

    QPlainTextEdit *log;
    QLineEdit *input;
    QPushButton *versionButton;
    QPushButton *informationButton;
    QPushButton *pauseButton;
};
