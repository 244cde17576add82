// SPDX-License-Identifier: MIT
#include "controlport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
BoardConfig controlConfig(const QString &link)
{
    BoardConfig config;
    config.typeName = QStringLiteral("control");
    config.link = link;
    return config;
}

// Whether a process other than this one holds the pty `device` open.
bool heldElsewhere(dev_t device)
{
    const QString self = QString::number(QCoreApplication::applicationPid());
    const auto processes = QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
    for (const QString &process : processes) {
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(process));
        for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
            struct stat info{};
            if (process != self && ::stat(QFile::encodeName(fds.filePath(fd)).constData(), &info) == 0 && info.st_rdev == device)
                return true;
        }
    }
    return false;
}
} // namespace

ControlPort::Played::~Played()
{
    if (hold >= 0)
        ::close(hold);
}

ControlPort::ControlPort(const QString &controlLink, QObject *parent)
    : QObject(parent)
    , port(controlConfig(controlLink))
    , link(controlLink)
{
    connect(&port, &SimBoard::heard, this, &ControlPort::command);
}

bool ControlPort::open(QString *error)
{
    return port.open(error);
}

QString ControlPort::freeLink()
{
    // Named as the control link with the next number not given yet: com40 plays com41,
    // com42, ...
    const QRegularExpressionMatch name = QRegularExpression(QStringLiteral("^(.*?)([0-9]*)$")).match(link);
    for (int number = qMax(lastNumber, name.captured(2).toInt()) + 1;; ++number) {
        const QString candidate = name.captured(1) + QString::number(number);
        if (!QFileInfo(candidate).isSymLink() && !QFileInfo::exists(candidate)) {
            lastNumber = number;
            return candidate;
        }
    }
}

void ControlPort::reply(const QString &line)
{
    port.send(line.toUtf8() + '\n');
}

void ControlPort::command(const QByteArray &line)
{
    const QStringList words = QString::fromUtf8(line).trimmed().split(QLatin1Char(' '));
    const QString verb = words.value(0), name = words.value(1);
    if (verb == QLatin1String("play")) {
        BoardConfig config;
        QString error;
        if (!BoardConfig::parse(name, &config, &error)) {
            reply(QStringLiteral("error ") + error);
            return;
        }
        if (config.link.isEmpty())
            config.link = freeLink();
        Played &played = boards[config.link];
        played.board = std::make_unique<SimBoard>(config);
        if (!played.board->open(&error)) {
            boards.erase(config.link);
            reply(QStringLiteral("error ") + error);
            return;
        }
        struct stat info{};
        played.hold = ::open(QFile::encodeName(played.board->path()).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::fstat(played.hold, &info);
        played.device = info.st_rdev;
        const QString boardLink = config.link;
        connect(played.board.get(), &SimBoard::heard, this,
                [this, boardLink](const QByteArray &heard) { reply(QStringLiteral("heard %1 %2").arg(boardLink, QString::fromLatin1(heard.toHex()))); });
        reply(QStringLiteral("played ") + boardLink);
        return;
    }
    const auto it = boards.find(name);
    if (it == boards.end()) {
        if (verb == QLatin1String("state"))
            reply(QStringLiteral("state %1 0 0").arg(name));
        return; // a board dropped already
    }
    SimBoard &board = *it->second.board;
    if (verb == QLatin1String("send"))
        board.send(QByteArray::fromHex(words.value(2).toLatin1()));
    else if (verb == QLatin1String("close"))
        board.close();
    else if (verb == QLatin1String("drop"))
        boards.erase(it);
    else if (verb == QLatin1String("state"))
        reply(QStringLiteral("state %1 %2 %3").arg(name).arg(int(board.isOpen())).arg(int(heldElsewhere(it->second.device))));
}
