// SPDX-License-Identifier: MIT
#include "boardconsole.h"

#include "common.h"

#include <kvdevice/communicator.h>
#include <kvdevice/exception.h>
#include <kvdevice/parserabstract.h>
#include <kvdevice/version.h>

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

using KvDevice::RecordingTap;
using KvDevice::Request;

namespace {

QPushButton *button(const QString &text, const QKeySequence &shortcut, QWidget *parent)
{
    auto *result = new QPushButton(text, parent);
    if (!shortcut.isEmpty())
        result->setShortcut(shortcut);
    result->setToolTip(result->shortcut().toString(QKeySequence::NativeText));
    return result;
}

// The address of the sentence a line holds: after its start flag, to ',' '*' or its end.
QString addressOf(const QByteArray &line)
{
    int start = line.indexOf('$');
    const int bang = line.indexOf('!');
    if (start < 0 || (bang >= 0 && bang < start))
        start = bang;
    if (start < 0)
        return QString();
    int end = start + 1;
    while (end < line.size() && !QByteArray(",*\r\n").contains(line.at(end)))
        ++end;
    return QString::fromLatin1(line.mid(start + 1, end - start - 1));
}

QString fieldsText(const QJsonObject &fields)
{
    QStringList parts;
    for (auto it = fields.begin(); it != fields.end(); ++it)
        parts << it.key() + QLatin1Char('=') + it.value().toVariant().toString();
    return parts.join(QLatin1Char(' '));
}

} // namespace

BoardConsole::BoardConsole(const KvDevice::PortInfo &port, QWidget *parent)
    : QWidget(parent)
    , portInfo(port)
    , partialTimer(new QTimer(this))
{
    qRegisterMetaType<BoardConsole::Traffic>();
    parser.init();
    // Made in the order Tab visits them: the input line first.
    input = new QLineEdit(this);
    input->setPlaceholderText(QStringLiteral("A sentence to send, such as PKVVER (Enter sends, $ and the checksum added; Shift+Enter sends it as typed)"));
    input->setToolTip(QStringLiteral("Ctrl+E comes back here"));
    input->installEventFilter(this);
    versionButton = button(QStringLiteral("&Version"), {}, this);
    informationButton = button(QStringLiteral("&Information"), {}, this);
    pauseButton = button(QStringLiteral("Pause"), QKeySequence(Qt::CTRL | Qt::Key_P), this);
    pauseButton->setCheckable(true);
    QPushButton *clearButton = button(QStringLiteral("Clear"), QKeySequence(Qt::CTRL | Qt::Key_L), this);
    QPushButton *saveButton = button(QStringLiteral("Save…"), QKeySequence(Qt::CTRL | Qt::Key_S), this);
    filterEdit = new QLineEdit(this);
    filterEdit->setPlaceholderText(QStringLiteral("Only the address…"));
    filterEdit->setToolTip(QStringLiteral("Show only the sentences whose address starts so, such as PKVVER"));
    findEdit = new QLineEdit(this);
    findEdit->setPlaceholderText(QStringLiteral("Find… (Ctrl+F)"));
    QPushButton *hexButton = button(QStringLiteral("He&x"), {}, this);
    hexButton->setCheckable(true);
    log = new QPlainTextEdit(this);
    log->setReadOnly(true);
    log->setMaximumBlockCount(maxLines);
    log->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    log->setLineWrapMode(QPlainTextEdit::NoWrap);
    log->setMinimumHeight(80);
    setFocusProxy(input);

    input->setMinimumWidth(160);
    auto *controls = new QHBoxLayout;
    controls->addWidget(input, 1);
    for (QPushButton *b : {versionButton, informationButton, pauseButton, clearButton, saveButton})
        controls->addWidget(b);
    controls->addStretch(); // a recording's console has no input line to widen
    auto *view = new QHBoxLayout;
    view->addWidget(filterEdit, 1);
    view->addWidget(findEdit, 1);
    view->addWidget(hexButton);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(log, 1);
    layout->addLayout(controls);
    layout->addLayout(view);

    connect(versionButton, &QPushButton::clicked, this, &BoardConsole::askVersion);
    connect(informationButton, &QPushButton::clicked, this, &BoardConsole::askInformation);
    connect(pauseButton, &QPushButton::toggled, this, &BoardConsole::setPaused);
    connect(clearButton, &QPushButton::clicked, this, &BoardConsole::clear);
    connect(saveButton, &QPushButton::clicked, this, &BoardConsole::chooseSaveFile);
    connect(hexButton, &QPushButton::toggled, this, &BoardConsole::setHex);
    connect(filterEdit, &QLineEdit::textChanged, this, &BoardConsole::setFilter);
    connect(findEdit, &QLineEdit::returnPressed, this, [this] { find(findEdit->text()); });
    // A button pressed by its key takes the focus: typing goes on in the sentence line.
    for (QPushButton *b : {versionButton, informationButton, pauseButton, clearButton, saveButton, hexButton})
        connect(b, &QPushButton::clicked, this, &BoardConsole::refocus);
    auto *findKey = new QAction(this);
    findKey->setShortcut(QKeySequence::Find);
    findKey->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(findKey, &QAction::triggered, this, [this] { findEdit->setFocus(); });
    addAction(findKey);

    connect(log->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (!scrolling)
            following = value == log->verticalScrollBar()->maximum();
    });
    partialTimer->setSingleShot(true);
    // A line whose end does not come (half an answer, line noise) is shown all the same.
    connect(partialTimer, &QTimer::timeout, this, [this] {
        flushPartial(RecordingTap::ToBoard);
        flushPartial(RecordingTap::FromBoard);
    });
}

qint64 BoardConsole::steadyUs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.nsecsElapsed() / 1000;
}

BoardConsole *BoardConsole::fromRecording(const QJsonObject &header, const QList<QJsonObject> &records, const QString &port, QWidget *parent)
{
    KvDevice::PortInfo info;
    info.name = port;
    auto *console = new BoardConsole(info, parent);
    console->readOnly = console->gone = true;
    for (QWidget *w : {static_cast<QWidget *>(console->input), static_cast<QWidget *>(console->versionButton),
                       static_cast<QWidget *>(console->informationButton), static_cast<QWidget *>(console->pauseButton)})
        w->hide();
    console->setFocusProxy(console->findEdit);
    const QDateTime started = QDateTime::fromString(header.value(QStringLiteral("started")).toString(), Qt::ISODateWithMs);
    for (const QJsonObject &record : records) {
        if (record.value(QStringLiteral("port")).toString() != port)
            continue;
        const qint64 us = qint64(record.value(QStringLiteral("t")).toDouble());
        const QDateTime when = started.addMSecs(us / 1000).toLocalTime();
        Traffic passed{RecordingTap::ToBoard, {}, when, us};
        if (RecordingTap::recordBytes(record, &passed.direction, &passed.bytes)) {
            console->traffic(passed);
            continue;
        }
        const QString event = record.value(QStringLiteral("event")).toString();
        const QString status = record.value(QStringLiteral("status")).toString();
        QString text = event;
        if (event == QLatin1String("attached"))
            text = QStringLiteral("attached as %1: %2").arg(record.value(QStringLiteral("type")).toString(), fieldsText(record.value(QStringLiteral("fields")).toObject()));
        else if (event == QLatin1String("request_start"))
            text = QStringLiteral("request %1 sent, answered by %2").arg(record.value(QStringLiteral("id")).toInt()).arg(record.value(QStringLiteral("answer")).toString());
        else if (event == QLatin1String("request_end"))
            text = QStringLiteral("request %1: %2 after %3 ms (attempts %4) %5")
                       .arg(record.value(QStringLiteral("id")).toInt())
                       .arg(status)
                       .arg(record.value(QStringLiteral("elapsed_ms")).toInt())
                       .arg(record.value(QStringLiteral("attempts")).toInt())
                       .arg(record.value(QStringLiteral("error")).toString());
        else if (event == QLatin1String("note"))
            text = record.value(QStringLiteral("text")).toString();
        console->flushPartial(RecordingTap::ToBoard);
        console->flushPartial(RecordingTap::FromBoard);
        const QChar mark = event == QLatin1String("request_end") ? (status == QLatin1String("answered") ? QLatin1Char('=') : QLatin1Char('!')) : QLatin1Char('-');
        console->add({when, us, mark, {}, text.trimmed(), mark == QLatin1Char('-') ? record : QJsonObject()});
    }
    console->flushPartial(RecordingTap::ToBoard);
    console->flushPartial(RecordingTap::FromBoard);
    return console;
}

QString BoardConsole::text() const
{
    return log->toPlainText();
}

QString BoardConsole::defaultFileName(const QString &suffix) const
{
    const QString who = boardType == KvDevice::NoDevice ? QStringLiteral("port") : Tool::typeName(boardType);
    QString where = QFileInfo(portInfo.name).fileName();
    where.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    return QStringLiteral("%1-%2-%3.%4").arg(who, where, QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")), suffix);
}

void BoardConsole::attach(KvDevice::Type type, KvDevice::Communicator *communicator, const KvDevice::PortInfo &port, const QHash<QString, QVariant> &identified)
{
    for (const QMetaObject::Connection &connection : qAsConst(wiring))
        disconnect(connection);
    wiring.clear();
    boardType = type;
    comm = communicator;
    portInfo = port;
    answer = identified;
    gone = false;
    for (QWidget *w : {static_cast<QWidget *>(input), static_cast<QWidget *>(versionButton), static_cast<QWidget *>(informationButton),
                       static_cast<QWidget *>(pauseButton)})
        w->setEnabled(true);
    if (comm)
        wiring << connect(comm, &KvDevice::Communicator::transferFailed, this,
                          [this](uint id) { note(QLatin1Char('!'), QStringLiteral("sentence %1 was not sent whole").arg(id)); });
    QJsonObject fields;
    QStringList shown;
    KvDevice::SessionInit session;
    session.parameters = answer;
    session.sentenceId = answer.contains(KvDevice::InitField::Subcommand) ? KvDevice::InfoAnswerSentence : KvDevice::VersionSentence;
    Tool::initFields(session, &fields, &shown);
    if (type == KvDevice::NoDevice)
        note(QLatin1Char('-'), QStringLiteral("port %1 opened, without a board").arg(port.name));
    else
        note(QLatin1Char('-'), QStringLiteral("attached as %1: %2").arg(Tool::typeName(type), shown.join(QLatin1Char(' '))),
             {{QStringLiteral("event"), QStringLiteral("attached")}, {QStringLiteral("type"), Tool::typeName(type)}, {QStringLiteral("fields"), fields}});
}

void BoardConsole::traffic(const Traffic &passed)
{
    const int way = passed.direction;
    for (int from = 0; from < passed.bytes.size();) {
        if (partial[way].isEmpty())
            partialStart[way] = passed;
        const int end = passed.bytes.indexOf('\n', from);
        const int stop = end < 0 ? passed.bytes.size() : end + 1;
        partial[way] += passed.bytes.mid(from, stop - from);
        from = stop;
        if (end >= 0)
            flushPartial(way);
    }
    if (!partial[way].isEmpty() && !readOnly)
        partialTimer->start(300);
}

void BoardConsole::flushPartial(int way)
{
    if (partial[way].isEmpty())
        return;
    const Traffic &start = partialStart[way];
    add({start.when, start.us, way == RecordingTap::ToBoard ? QLatin1Char('>') : QLatin1Char('<'), partial[way], {}, {}});
    partial[way].clear();
}

void BoardConsole::note(QChar mark, const QString &text, const QJsonObject &record)
{
    add({QDateTime::currentDateTime(), steadyUs(), mark, {}, text, record});
}

void BoardConsole::add(const Entry &entry)
{
    entries.append(entry);
    if (entries.size() > maxLines)
        entries.removeFirst();
    if (paused) {
        ++heldBack;
        updatePauseText();
        return;
    }
    if (!visible(entry))
        return;
    scrolling = true;
    log->appendPlainText(render(entry));
    scrolling = false;
    if (following)
        scrollToEnd();
}

bool BoardConsole::visible(const Entry &entry) const
{
    return filter.isEmpty() || entry.bytes.isEmpty() || addressOf(entry.bytes).startsWith(filter, Qt::CaseInsensitive);
}

QString BoardConsole::render(const Entry &entry) const
{
    QString line = entry.when.toString(QStringLiteral("hh:mm:ss.zzz ")) + entry.mark + QLatin1Char(' ');
    if (entry.mark == QLatin1Char('-'))
        return entry.when.toString(QStringLiteral("hh:mm:ss.zzz ")) + QStringLiteral("— %1 —").arg(entry.text);
    if (entry.bytes.isEmpty())
        return line + entry.text;
    if (hex) {
        QString bytes = QString::fromLatin1(entry.bytes.toHex(' '));
        return line + bytes;
    }
    const QByteArray sentence = entry.bytes.endsWith("\r\n") ? entry.bytes.chopped(2) : entry.bytes;
    line += Tool::escaped(QString::fromLatin1(sentence));
    if (entry.mark != QLatin1Char('<'))
        return line;
    // What the init protocol makes of it; a sentence it does not know is shown as it is.
    KvDevice::SessionInit session;
    try {
        if (parser.parse(&session, QString::fromLatin1(entry.bytes))) {
            QJsonObject values;
            QStringList fields;
            Tool::initFields(session, &values, &fields);
            line += QStringLiteral("   ") + fields.join(QLatin1Char(' '));
        }
    } catch (const Nmea::Exception &e) {
        if (!Tool::checksumIsRight(QString::fromLatin1(sentence)))
            line += QStringLiteral("   (wrong checksum)");
        else if (!e.message().startsWith(QLatin1String("Undefined sentence ID")))
            line += QStringLiteral("   (") + e.message() + QLatin1Char(')');
    }
    return line;
}

void BoardConsole::renderAll()
{
    QStringList lines;
    for (const Entry &entry : qAsConst(entries)) {
        if (visible(entry))
            lines << render(entry);
    }
    scrolling = true;
    log->setPlainText(lines.join(QLatin1Char('\n')));
    scrolling = false;
    following = true;
    scrollToEnd();
}

void BoardConsole::scrollToEnd()
{
    scrolling = true;
    QScrollBar *bar = log->verticalScrollBar();
    bar->setValue(bar->maximum());
    log->horizontalScrollBar()->setValue(0); // the lines' beginnings, not the end of the last
    scrolling = false;
}

bool BoardConsole::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == input && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            sendLine(input->text(), key->modifiers() & Qt::ShiftModifier);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void BoardConsole::refocus()
{
    if (input->isVisible() && input->isEnabled())
        input->setFocus();
}

void BoardConsole::sendLine(const QString &line, bool asTyped)
{
    const QString sentence = Tool::frameSentence(line);
    if (sentence.isEmpty() || gone || !comm)
        return;
    if (!asTyped) {
        const QString typed = sentence.trimmed();
        const int star = typed.lastIndexOf(QLatin1Char('*'));
        const QString right = QStringLiteral("%1").arg(Nmea::calculateChecksum(typed.mid(1, star - 1), 0), 2, 16, QLatin1Char('0'));
        QString why;
        if (!Tool::checksumIsRight(sentence))
            why = QStringLiteral("its checksum is *%1, the sentence's is *%2").arg(typed.mid(star + 1), right);
        else if (sentence.size() > maxSentence)
            why = QStringLiteral("%1 characters with $ and CR LF; a board takes at most %2").arg(sentence.size()).arg(maxSentence);
        if (!why.isEmpty()) {
            note(QLatin1Char('!'), QStringLiteral("not sent: %1 (Shift+Enter sends it as typed)").arg(why));
            return; // kept in the line, to be mended
        }
    }
    input->clear();
    if (comm->writePayload(sentence) == 0)
        note(QLatin1Char('!'), QStringLiteral("not sent: the port is closed"));
}

void BoardConsole::ask(const KvDevice::Query &query, const QString &what)
{
    if (gone || !comm)
        return;
    Request *request = Request::send(comm, query);
    emit requestSent(comm, request, query);
    // The answer is the request's: its line comes from the traffic, the result from here.
    connect(request, &Request::finished, this, [this, what](const Request::Result &result) {
        if (result.status != Request::Answered)
            note(QLatin1Char('!'), QStringLiteral("%1 request: no answer: %2").arg(what, Tool::reason(result)));
        else
            note(QLatin1Char('='), QStringLiteral("%1 request answered in %2 ms (attempts %3)").arg(what).arg(result.elapsedMs).arg(result.attempts));
    });
}

void BoardConsole::askVersion()
{
    ask(KvDevice::InitQuery::version(), QStringLiteral("version"));
}

void BoardConsole::askInformation()
{
    ask(KvDevice::InitQuery::information(), QStringLiteral("information"));
}

void BoardConsole::setPaused(bool on)
{
    if (on == paused)
        return;
    paused = on;
    pauseButton->setChecked(on);
    if (!on) {
        heldBack = 0;
        renderAll();
    }
    updatePauseText();
}

void BoardConsole::updatePauseText()
{
    pauseButton->setText(paused ? QStringLiteral("Resume (%1)").arg(heldBack) : QStringLiteral("Pause"));
    pauseButton->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P)); // setText() replaced it
}

void BoardConsole::clear()
{
    entries.clear();
    heldBack = 0;
    log->clear();
    following = true;
    updatePauseText();
}

void BoardConsole::setHex(bool on)
{
    hex = on;
    renderAll();
}

void BoardConsole::setFilter(const QString &address)
{
    filter = address.trimmed().remove(QLatin1Char('$'));
    renderAll();
}

bool BoardConsole::find(const QString &text)
{
    if (text.isEmpty())
        return false;
    if (!log->find(text)) {
        log->moveCursor(QTextCursor::Start);
        if (!log->find(text)) {
            findEdit->setStyleSheet(QStringLiteral("background: #f4b8b8"));
            return false;
        }
    }
    findEdit->setStyleSheet(QString());
    following = false;
    return true;
}

bool BoardConsole::saveTo(const QString &path)
{
    QFile file(path);
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    const QDateTime first = entries.isEmpty() ? QDateTime::currentDateTime() : entries.first().when;
    const qint64 firstUs = entries.isEmpty() ? 0 : entries.first().us;
    const QString program = QStringLiteral("kvmonitor " KVDEVICE_VERSION_STRING);
    if (path.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive)) {
        QString text = QStringLiteral("# %1: port %2%3, saved %4\n")
                           .arg(program, portInfo.name,
                                boardType == KvDevice::NoDevice ? QString() : QLatin1String(", ") + Tool::typeName(boardType),
                                QDateTime::currentDateTime().toString(Qt::ISODate));
        for (const Entry &entry : qAsConst(entries))
            text += entry.when.toString(QStringLiteral("yyyy-MM-dd ")) + render(entry) + QLatin1Char('\n');
        written = written && file.write(text.toUtf8()) >= 0;
    } else {
        QJsonObject extra{{QStringLiteral("port"), RecordingTap::portIdentity(portInfo)}};
        if (boardType != KvDevice::NoDevice) {
            extra.insert(QStringLiteral("type"), Tool::typeName(boardType));
            extra.insert(QStringLiteral("fields"), QJsonObject::fromVariantHash(answer));
        }
        QByteArray lines = QJsonDocument(RecordingTap::header(first, extra)).toJson(QJsonDocument::Compact) + '\n';
        for (const Entry &entry : qAsConst(entries)) {
            QJsonObject record;
            if (!entry.bytes.isEmpty()) {
                record = RecordingTap::bytesRecord(entry.us - firstUs, portInfo.name, entry.mark == QLatin1Char('>') ? RecordingTap::ToBoard : RecordingTap::FromBoard, entry.bytes);
            } else {
                record = entry.record.isEmpty() ? QJsonObject{{QStringLiteral("event"), QStringLiteral("note")}, {QStringLiteral("text"), entry.mark + QLatin1Char(' ') + entry.text}} : entry.record;
                record.insert(QStringLiteral("t"), entry.us - firstUs);
                record.insert(QStringLiteral("port"), portInfo.name);
            }
            lines += QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
        }
        written = written && file.write(lines) == lines.size();
    }
    if (written && file.flush())
        return true;
    note(QLatin1Char('!'), QStringLiteral("cannot save to %1: %2").arg(path, file.errorString()));
    return false;
}

void BoardConsole::chooseSaveFile()
{
    static QString folder = QDir::homePath();
    const QString recording = QStringLiteral("Recording (*.jsonl)"), plain = QStringLiteral("Text (*.txt)");
    QString chosen = recording;
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save the conversation"), QDir(folder).filePath(defaultFileName(QStringLiteral("jsonl"))),
                                                recording + QStringLiteral(";;") + plain, &chosen);
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += chosen == plain ? QStringLiteral(".txt") : QStringLiteral(".jsonl");
    folder = QFileInfo(path).path();
    saveTo(path);
}

void BoardConsole::end(const QString &why, const QString &event)
{
    if (gone)
        return;
    flushPartial(RecordingTap::ToBoard);
    flushPartial(RecordingTap::FromBoard);
    setPaused(false);
    note(QLatin1Char('-'), why, {{QStringLiteral("event"), event}});
    gone = true;
    for (const QMetaObject::Connection &connection : qAsConst(wiring))
        disconnect(connection);
    wiring.clear();
    comm = nullptr;
    for (QWidget *w : {static_cast<QWidget *>(input), static_cast<QWidget *>(versionButton), static_cast<QWidget *>(informationButton),
                       static_cast<QWidget *>(pauseButton)})
        w->setEnabled(false);
    emit ended();
}
