// SPDX-License-Identifier: MIT
#include "simboard.h"

#include <kvdevice/exception.h>

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr int maxPendingInput = 512;
constexpr int maxSentenceLength = 74; // with start flag and CR LF

// Line noise as a real port shows it: stray bytes, a line without a start flag, a
// sentence that does not parse, and a sentence cut off before its line end.
const QByteArray noiseBytes("\xfe\x7f~#noise\r\n$GPXYZ,1,2*00\r\n$PKV");

void warn(const QString &text)
{
    std::fprintf(stderr, "kvboard-sim: %s\n", qPrintable(text));
}
} // namespace

SimBoard::SimBoard(const BoardConfig &boardConfig, QObject *parent)
    : QObject(parent)
    , config(boardConfig)
{
    protocol.init();
}

SimBoard::~SimBoard()
{
    close();
}

bool SimBoard::open(QString *error)
{
    char name[256] = {};
    if (::openpty(&masterFd, &slaveFd, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("openpty failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    slavePath = QString::fromLocal8Bit(name);
    termios raw{};
    ::tcgetattr(slaveFd, &raw);
    ::cfmakeraw(&raw);
    ::cfsetspeed(&raw, B115200);
    ::tcsetattr(slaveFd, TCSANOW, &raw);
    return start(error);
}

bool SimBoard::attach(int fd, QString *error)
{
    const char *name = ::ptsname(fd);
    slaveFd = name ? ::open(name, O_RDWR | O_NOCTTY) : -1;
    if (slaveFd < 0) {
        *error = QStringLiteral("no pty behind descriptor %1: %2").arg(fd).arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    masterFd = fd;
    ownsMaster = false;
    slavePath = QString::fromLocal8Bit(name);
    return start(error);
}

bool SimBoard::start(QString *error)
{
    ::fcntl(masterFd, F_SETFL, ::fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    ::fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    ::fcntl(slaveFd, F_SETFD, FD_CLOEXEC);

    if (!config.link.isEmpty()) {
        const QByteArray link = QFile::encodeName(config.link);
        // Replace a link whose pty is gone (left by a run that was killed); never a file,
        // nor a link to something that exists, such as another simulator's pty.
        const QFileInfo existing(config.link);
        if (existing.isSymLink() && !existing.exists())
            ::unlink(link.constData());
        if (::symlink(QFile::encodeName(slavePath).constData(), link.constData()) != 0) {
            *error = QStringLiteral("cannot create link %1: %2")
                         .arg(config.link, QString::fromLocal8Bit(std::strerror(errno)));
            close();
            return false;
        }
        linked = true;
    }

    // Hosts reject longer sentences; say so, but play the board as asked.
    const int answerId = config.answersInfo() ? BoardProtocol::InfoAnswer : BoardProtocol::Version;
    QString ignored;
    const int length = config.kind == BoardConfig::Silent ? 0 : answerBytes(answerId, &ignored).size();
    if (length > maxSentenceLength)
        warn(QStringLiteral("%1 %2: its answer has %3 characters; hosts take at most %4")
                 .arg(config.typeName, slavePath).arg(length).arg(maxSentenceLength));

    notifier = new QSocketNotifier(masterFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SimBoard::onReadable);
    clock.start();
    dueTimer = new QTimer(this);
    dueTimer->setSingleShot(true);
    dueTimer->setTimerType(Qt::PreciseTimer);
    connect(dueTimer, &QTimer::timeout, this, &SimBoard::sendDueAnswers);
    byteTimer = new QTimer(this);
    byteTimer->setTimerType(Qt::PreciseTimer);
    byteTimer->setInterval(qMax(0, config.bytePauseMs));
    connect(byteTimer, &QTimer::timeout, this, &SimBoard::sendNextByte);

    if (config.stale)
        send(answerBytes(answerId, &ignored));
    if (config.chatterMs > 0) {
        chatterTimer = new QTimer(this);
        connect(chatterTimer, &QTimer::timeout, this, [this] {
            const QString body = QStringLiteral("KVDATA,%1").arg(++chattered);
            writeOut(QStringLiteral("$%1*%2\r\n").arg(body).arg(Nmea::calculateChecksum(body, 0), 2, 16, QLatin1Char('0')).toLatin1());
        });
        chatterTimer->start(config.chatterMs);
    }
    if (config.flood) {
        // Written whenever the pty has room: nothing spins while no host reads.
        floodNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Write, this);
        connect(floodNotifier, &QSocketNotifier::activated, this, [this] {
            const ssize_t ignored = ::write(masterFd, noiseBytes.constData(), size_t(noiseBytes.size()));
            Q_UNUSED(ignored)
        });
    }
    return true;
}

void SimBoard::close()
{
    if (notifier) {
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }
    delete byteTimer;
    delete chatterTimer;
    delete dueTimer;
    dueTimer = nullptr;
    due.clear();
    delete floodNotifier;
    byteTimer = chatterTimer = nullptr;
    floodNotifier = nullptr;
    if (masterFd >= 0 && ownsMaster)
        ::close(masterFd);
    if (slaveFd >= 0)
        ::close(slaveFd);
    masterFd = slaveFd = -1;
    // Only a link that is still ours: someone may have replaced it meanwhile.
    if (linked && QFileInfo(config.link).symLinkTarget() == slavePath)
        ::unlink(QFile::encodeName(config.link).constData());
    linked = false;
}

void SimBoard::onReadable()
{
    char chunk[256];
    for (;;) {
        const ssize_t count = ::read(masterFd, chunk, sizeof chunk);
        if (count > 0) {
            received.append(chunk, int(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // Not expected while the slave is held open; stop instead of spinning.
            warn(QStringLiteral("%1: read failed: %2").arg(slavePath, QString::fromLocal8Bit(std::strerror(errno))));
            close();
            return;
        }
        break;
    }

    int end;
    while (masterFd >= 0 && (end = received.indexOf('\n')) >= 0) {
        const QByteArray line = received.left(end + 1);
        received.remove(0, end + 1);
        emit heard(line);
        handleLine(line);
    }
    if (received.size() > maxPendingInput)
        received = received.right(maxPendingInput);
}

void SimBoard::handleLine(const QByteArray &line)
{
    // Whatever came before the last start flag is noise of an earlier, cut-off line.
    const int start = qMax(line.lastIndexOf('$'), line.lastIndexOf('!'));
    if (start < 0)
        return;
    KvDevice::SessionInit query;
    query.clear();
    try {
        protocol.parseSentence(&query, QString::fromLatin1(line.mid(start)));
    } catch (const Nmea::Exception &) {
        return; // a malformed line gets no answer, as on a real board
    }

    const bool answerable =
        (query.sentenceId == BoardProtocol::Version && config.answersVersion())
        || (query.sentenceId == BoardProtocol::InfoRequest && config.answersInfo()
            && query.parameters.value(KvDevice::InitField::Subcommand).toString() == KvDevice::InfoSubcommand);
    if (!answerable)
        return;
    if (queriesSeen++ < config.ignore)
        return;
    if (config.answers >= 0 && answered >= config.answers)
        return;
    ++answered;
    const int id = query.sentenceId == BoardProtocol::Version ? BoardProtocol::Version : BoardProtocol::InfoAnswer;
    QString error;
    QByteArray bytes = answerBytes(id, &error, queriesSeen, answered); // numbered as heard, ignored ones too
    if (bytes.isEmpty()) {
        warn(QStringLiteral("%1: cannot build the answer: %2").arg(slavePath, error));
        return;
    }
    if (config.closeOnQuery) {
        // Unplugged in the middle of its answer.
        writeOut(bytes.left(bytes.size() / 2));
        QTimer::singleShot(30, this, [this] {
            warn(QStringLiteral("%1 %2 closed").arg(config.typeName, slavePath));
            close();
        });
        return;
    }
    if (config.noise)
        bytes.prepend(noiseBytes);
    const int delay = config.delays.isEmpty() ? 0 : config.delays.at((answered - 1) % config.delays.size());
    if (delay > 0 || !due.isEmpty())
        queueAnswer(bytes, delay);
    else
        send(bytes);
}

void SimBoard::queueAnswer(const QByteArray &bytes, int delayMs)
{
    // A board answers in the order it was asked: never before the answer queued before.
    const qint64 at = qMax(clock.elapsed() + delayMs, due.isEmpty() ? 0 : due.last().at);
    due.append({at, bytes});
    if (!dueTimer->isActive())
        dueTimer->start(int(qMax<qint64>(0, due.first().at - clock.elapsed())));
}

void SimBoard::sendDueAnswers()
{
    while (!due.isEmpty() && due.first().at <= clock.elapsed())
        send(due.takeFirst().bytes);
    if (!due.isEmpty())
        dueTimer->start(int(qMax<qint64>(0, due.first().at - clock.elapsed())));
}

QByteArray SimBoard::answerBytes(int sentenceId, QString *error, int number, int nth)
{
    KvDevice::SessionInit reply;
    reply.clear();
    reply.parameters = config.fields;
    if (config.numbered && number > 0) // which query this answers, for hosts that check
        reply.parameters.insert(sentenceId == BoardProtocol::Version ? KvDevice::InitField::V3 : KvDevice::InitField::Rev, number);
    QString text;
    try {
        protocol.buildSentence(&reply, sentenceId, text);
    } catch (const Nmea::Exception &e) {
        *error = e.message();
        return QByteArray();
    }
    QByteArray bytes = text.toLatin1();
    if (config.badChecksum && (config.badAnswers < 0 || nth <= config.badAnswers)) {
        // Flip every bit of the checksum: "*hh" sits just before CR LF.
        const int at = bytes.size() - 4;
        const uint sum = bytes.mid(at, 2).toUInt(nullptr, 16) ^ 0xffu;
        bytes.replace(at, 2, QByteArray::number(sum, 16).rightJustified(2, '0'));
    }
    return bytes;
}

void SimBoard::send(const QByteArray &bytes)
{
    if (masterFd < 0)
        return;
    if (config.bytePauseMs < 0) {
        writeOut(bytes);
        return;
    }
    outgoing += bytes;
    if (!byteTimer->isActive()) {
        sendNextByte();
        byteTimer->start();
    }
}

void SimBoard::sendNextByte()
{
    if (outgoing.isEmpty() || masterFd < 0) {
        byteTimer->stop();
        return;
    }
    writeOut(outgoing.left(1));
    outgoing.remove(0, 1);
}

void SimBoard::writeOut(const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(masterFd, bytes.constData() + done, size_t(bytes.size() - done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            // The pty's queue is full: no host reads it. The answer is lost, as on a real line.
            warn(QStringLiteral("%1: answer dropped: %2").arg(slavePath, QString::fromLocal8Bit(std::strerror(errno))));
            return;
        }
        done += count;
    }
}
