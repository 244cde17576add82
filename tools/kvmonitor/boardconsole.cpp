#include "boardconsole.h"

#include "common.h"

#include <kvdevice/communicator.h>
#include <kvdevice/exception.h>

#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTime>
#include <QVBoxLayout>

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

} // namespace

BoardConsole::BoardConsole(KvDevice::Type type, KvDevice::Communicator *communicator, const KvDevice::PortInfo &port, QWidget *parent)
    : QWidget(parent)
    , boardType(type)
    , comm(communicator)
    , portInfo(port)
{
    parser.init();
    // Made in the order Tab visits them: the input line first.
    input = new QLineEdit(this);
    input->setPlaceholderText(QStringLiteral("A sentence to send, such as PKVVER (Enter sends; $ and the checksum are added)"));
    versionButton = button(QStringLiteral("&Version"), {}, this);
    informationButton = button(QStringLiteral("&Information"), {}, this);
    pauseButton = button(QStringLiteral("Pause"), QKeySequence(Qt::CTRL | Qt::Key_P), this);
    pauseButton->setCheckable(true);
    QPushButton *clearButton = button(QStringLiteral("Clear"), QKeySequence(Qt::CTRL | Qt::Key_L), this);
    QPushButton *saveButton = button(QStringLiteral("Save…"), QKeySequence(Qt::CTRL | Qt::Key_S), this);
    log = new QPlainTextEdit(this);
    log->setReadOnly(true);
    log->setMaximumBlockCount(maxLines);
    log->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    log->setLineWrapMode(QPlainTextEdit::NoWrap);
    log->setMinimumHeight(80);
    setFocusProxy(input);

    auto *controls = new QHBoxLayout;
    controls->addWidget(input, 1);
    for (QPushButton *b : {versionButton, informationButton, pauseButton, clearButton, saveButton})
        controls->addWidget(b);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(log, 1);
    layout->addLayout(controls);

    connect(input, &QLineEdit::returnPressed, this, [this] {
        sendLine(input->text());
        input->clear();
    });
    connect(versionButton, &QPushButton::clicked, this, &BoardConsole::askVersion);
    connect(informationButton, &QPushButton::clicked, this, &BoardConsole::askInformation);
    connect(pauseButton, &QPushButton::toggled, this, &BoardConsole::setPaused);
    connect(clearButton, &QPushButton::clicked, this, &BoardConsole::clear);
    connect(saveButton, &QPushButton::clicked, this, &BoardConsole::chooseSaveFile);
    if (comm) {
        connect(comm, qOverload<>(&KvDevice::Communicator::readyRead), this, &BoardConsole::takeReceived);
        connect(comm, &KvDevice::Communicator::transferFailed, this,
                [this](uint id) { append(QStringLiteral("! sentence %1 was not sent whole").arg(id)); });
    }
}

QString BoardConsole::text() const
{
    return log->toPlainText();
}

void BoardConsole::append(const QString &line)
{
    const QString stamped = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz ")) + line;
    if (!paused) {
        log->appendPlainText(stamped);
        return;
    }
    held << stamped;
    if (held.size() > maxLines) {
        held.removeFirst();
        ++dropped;
    }
    updatePauseText();
}

void BoardConsole::sendLine(const QString &line)
{
    const QString sentence = Tool::frameSentence(line);
    if (sentence.isEmpty() || gone || !comm)
        return;
    if (comm->writePayload(sentence) == 0)
        append(QStringLiteral("! not sent: the port is closed"));
    else
        append(QStringLiteral("> ") + Tool::escaped(sentence.trimmed()));
}

void BoardConsole::ask(const KvDevice::Query &query, const QString &what)
{
    if (gone || !comm)
        return;
    append(QStringLiteral("> %1   (%2 request)").arg(Tool::escaped(query.sentence.trimmed()), what));
    // The answer is the request's, never readyRead()'s: it is shown from the result.
    connect(Request::send(comm, query), &Request::finished, this, [this](const Request::Result &result) {
        if (result.status != Request::Answered) {
            append(QStringLiteral("! no answer: ") + Tool::reason(result));
            return;
        }
        QStringList fields;
        if (const auto *answer = result.answerAs<KvDevice::SessionInit>()) {
            QJsonObject values;
            Tool::initFields(*answer, &values, &fields);
        } else {
            fields << Tool::escaped(result.answerText.trimmed());
        }
        append(QStringLiteral("= answered in %1 ms (attempts %2): %3").arg(result.elapsedMs).arg(result.attempts).arg(fields.join(QLatin1Char(' '))));
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

void BoardConsole::takeReceived()
{
    QString payload;
    while (comm && comm->readPayload(payload, 0)) {
        QString line = QStringLiteral("< ") + Tool::escaped(payload.endsWith(QLatin1String("\r\n")) ? payload.chopped(2) : payload);
        KvDevice::SessionInit session;
        try {
            if (parser.parse(&session, payload)) {
                QJsonObject values;
                QStringList fields;
                Tool::initFields(session, &values, &fields);
                line += QStringLiteral("   ") + fields.join(QLatin1Char(' '));
            }
        } catch (const Nmea::Exception &e) {
            line += QStringLiteral("   (") + e.message() + QLatin1Char(')');
        }
        append(line);
    }
}

void BoardConsole::setPaused(bool on)
{
    if (on == paused)
        return;
    paused = on;
    pauseButton->setChecked(on);
    if (!on) {
        for (const QString &line : qAsConst(held))
            log->appendPlainText(line);
        if (dropped > 0)
            log->appendPlainText(QStringLiteral("… %1 earlier lines were dropped while paused").arg(dropped));
        held.clear();
        dropped = 0;
    }
    updatePauseText();
}

void BoardConsole::updatePauseText()
{
    pauseButton->setText(paused ? QStringLiteral("Resume (%1)").arg(held.size() + dropped) : QStringLiteral("Pause"));
    pauseButton->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P)); // setText() replaced it
}

void BoardConsole::clear()
{
    log->clear();
    held.clear();
    dropped = 0;
    updatePauseText();
}

bool BoardConsole::saveTo(const QString &path)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text) && file.write(text().toUtf8() + '\n') >= 0 && file.flush())
        return true;
    append(QStringLiteral("! cannot save to %1: %2").arg(path, file.errorString()));
    return false;
}

void BoardConsole::chooseSaveFile()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save the conversation"), QString(),
                                                      QStringLiteral("Text (*.txt);;All files (*)"));
    if (!path.isEmpty())
        saveTo(path);
}

void BoardConsole::end(const QString &why)
{
    if (gone)
        return;
    setPaused(false);
    append(QStringLiteral("— %1 —").arg(why));
    gone = true;
    for (QWidget *w : {static_cast<QWidget *>(input), static_cast<QWidget *>(versionButton), static_cast<QWidget *>(informationButton),
                       static_cast<QWidget *>(pauseButton)})
        w->setEnabled(false);
    emit ended();
}
