// SPDX-License-Identifier: MIT
#include "boardsupport.h"

#include <QFileInfo>
#include <QHash>
#include <QSerialPort>

namespace TestSupport {

namespace {

struct Control
{
    QSerialPort port;
    QByteArray input;
    QList<QStringList> answers;     // to the commands, in order
    bool asking = false;            // waitForReadyRead() sees only what readyRead() left
    QHash<QString, Board *> boards; // by link
};

// Takes what came: each "heard" goes to its board, every other line is an answer.
void handle(Control &control)
{
    control.input += control.port.readAll();
    for (int end; (end = control.input.indexOf('\n')) >= 0;) {
        const QStringList words = QString::fromUtf8(control.input.left(end)).trimmed().split(QLatin1Char(' '));
        control.input.remove(0, end + 1); // before a board's listener may ask something
        Board *board = control.boards.value(words.value(1));
        if (words.first() != QLatin1String("heard"))
            control.answers << words;
        else if (board) {
            board->lines << QByteArray::fromHex(words.value(2).toLatin1());
            emit board->heard(board->lines.last());
        }
    }
}

Control &control()
{
    static Control *const control = [] {
        auto *opened = new Control; // used until the program ends
        opened->port.setPortName(qEnvironmentVariable("KVTEST_BOARDS"));
        if (!opened->port.open(QIODevice::ReadWrite))
            qFatal("no control port of kvboard-sim (KVTEST_BOARDS): %s", qPrintable(opened->port.errorString()));
        QObject::connect(&opened->port, &QSerialPort::readyRead, [opened] {
            if (!opened->asking)
                handle(*opened);
        });
        return opened;
    }();
    return *control;
}

void tell(const QString &command)
{
    control().port.write(command.toUtf8() + '\n');
    control().port.flush();
}

QStringList ask(const QString &command)
{
    Control &c = control();
    tell(command);
    for (c.asking = true; c.answers.isEmpty(); handle(c)) {
        if (!c.port.waitForReadyRead(5000))
            qFatal("kvboard-sim does not answer \"%s\"", qPrintable(command));
    }
    c.asking = false;
    return c.answers.takeFirst();
}

} // namespace

Board::Board(const QString &options)
{
    const QStringList answer = ask(QStringLiteral("play ") + options);
    if (answer.first() != QLatin1String("played"))
        qFatal("cannot play %s: %s", qPrintable(options), qPrintable(answer.join(QLatin1Char(' '))));
    link = answer.value(1);
    port = QFileInfo(link).fileName().toUpper(); // a COM port of the prefix: dosdevices/com41 is COM41
    control().boards.insert(link, this);
}

Board::~Board()
{
    control().boards.remove(link);
    tell(QStringLiteral("drop ") + link);
}

bool Board::isOpen() const
{
    return ask(QStringLiteral("state ") + link).value(2) == QLatin1String("1");
}

int Board::portsOpen() const
{
    return ask(QStringLiteral("state ") + link).value(3).toInt();
}

void Board::send(const QByteArray &bytes)
{
    tell(QStringLiteral("send %1 %2").arg(link, QString::fromLatin1(bytes.toHex())));
}

void Board::close()
{
    tell(QStringLiteral("close ") + link);
}

void Board::settle()
{
    ask(QStringLiteral("state -"));
}

} // namespace TestSupport
