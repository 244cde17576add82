// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/communicator.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/portinfo.h>
#include <kvdevice/recordingtap.h>
#include <kvdevice/request.h>
#include <kvdevice/type.h>

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QWidget>

class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

/// The conversation with one port, live or recorded: every line sent ("> ") and received
/// ("< ", with the fields the init protocol parses) as the recording tap saw it, the
/// identification included, requests' results ("= ", "! ") and events ("— "). A live one
/// has a line to type any sentence, checked before it is sent. The communicator stays the
/// window's; the console only talks through it until end().
class BoardConsole : public QWidget
{
    Q_OBJECT
public:
    /// Lines kept, shown or held back while paused.
    static constexpr int maxLines = 5000;
    /// The longest sentence a board takes, "$" and CR LF included.
    static constexpr int maxSentence = 74;

    /// Bytes that passed one way, when.
    struct Traffic
    {
        KvDevice::RecordingTap::Direction direction;
        QByteArray bytes;
        QDateTime when;
        qint64 us; // on a steady clock, for a recording's times
    };
    /// One line of the conversation.
    struct Entry
    {
        QDateTime when;
        qint64 us = 0;
        QChar mark;         // '>' sent, '<' received, '=' a result, '!' a problem, '-' an event
        QByteArray bytes;   // of '>' and '<' lines, as they went
        QString text;       // of the others
        QJsonObject record; // of '-' lines: the recording's event (attached, detached, close)
    };

    /// A console for `port`, talking to nothing until attach().
    explicit BoardConsole(const KvDevice::PortInfo &port, QWidget *parent = nullptr);
    /// The port `port` of a recording (RecordingTap::read()), read only.
    static BoardConsole *fromRecording(const QJsonObject &header, const QList<QJsonObject> &records, const QString &port, QWidget *parent = nullptr);
    /// Now on a steady clock, in µs, as Traffic::us counts.
    static qint64 steadyUs();

    KvDevice::Type type() const { return boardType; }
    KvDevice::PortInfo port() const { return portInfo; }
    KvDevice::Communicator *communicator() const { return comm; }
    /// Everything shown now.
    QString text() const;
    bool hasEnded() const { return gone; }
    bool isReadOnly() const { return readOnly; }
    /// A name to save to: type, port and time, then `suffix`.
    QString defaultFileName(const QString &suffix) const;

public slots:
    /// Talks to the board on `comm` (type NoDevice: a port without a board) from now on,
    /// also after end(): the same board back.
    void attach(KvDevice::Type type, KvDevice::Communicator *comm, const KvDevice::PortInfo &port, const QHash<QString, QVariant> &answer);
    /// What the tap saw pass, cut into lines.
    void traffic(const BoardConsole::Traffic &passed);
    /// Sends `line` as a sentence ("$" and the checksum added as needed). A wrong checksum,
    /// or more than a board takes, is refused unless `asTyped`.
    void sendLine(const QString &line, bool asTyped = false);
    /// Asks the board through a request; its result is shown when it ends.
    void ask(const KvDevice::Query &query, const QString &what);
    void askVersion();
    void askInformation();
    void setPaused(bool paused);
    void clear();
    /// Shows the bytes of each line in hexadecimal.
    void setHex(bool on);
    /// Shows only the sentences whose address starts with `address` (and every note).
    void setFilter(const QString &address);
    /// Selects the next `text` in the view, from the top again at the end; false when none.
    bool find(const QString &text);
    /// Writes everything to `path`: plain text for a ".txt", else a recording. False, with
    /// the reason shown, when it cannot.
    bool saveTo(const QString &path);
    /// The board has gone (`event` "detached"), or was let go ("close"): a last line `why`,
    /// nothing more to send. The communicator may be deleted from now on.
    void end(const QString &why, const QString &event = QStringLiteral("detached"));

signals:
    /// end() has come.
    void ended();
    /// A request was sent on `comm`, for a recording.
    void requestSent(KvDevice::Communicator *comm, KvDevice::Request *request, const KvDevice::Query &query);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void add(const Entry &entry);
    void note(QChar mark, const QString &text, const QJsonObject &record = {});
    void flushPartial(int direction);
    QString render(const Entry &entry) const;
    bool visible(const Entry &entry) const;
    void renderAll();
    void scrollToEnd();
    void chooseSaveFile();
    void updatePauseText();
    void refocus();

    KvDevice::Type boardType = KvDevice::NoDevice;
    QPointer<KvDevice::Communicator> comm;
    KvDevice::PortInfo portInfo;
    QHash<QString, QVariant> answer;
    mutable Nmea::ParserInit parser; // fields for people, whatever the board says
    bool gone = false;
    bool readOnly = false;
    bool paused = false;
    int heldBack = 0;        // lines that came while paused
    bool hex = false;
    QString filter;
    bool following = true;   // the view stays at its end until the reader scrolls away
    bool scrolling = false;  // the view moves by itself, not by the reader
    QList<Entry> entries;
    QByteArray partial[2];   // a line not ended yet, per direction
    Traffic partialStart[2];
    QTimer *partialTimer;
    QList<QMetaObject::Connection> wiring;

    QPlainTextEdit *log;
    QLineEdit *input;
    QLineEdit *filterEdit;
    QLineEdit *findEdit;
    QPushButton *versionButton;
    QPushButton *informationButton;
    QPushButton *pauseButton;
};

Q_DECLARE_METATYPE(BoardConsole::Traffic)
