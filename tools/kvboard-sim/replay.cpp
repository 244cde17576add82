// SPDX-License-Identifier: MIT
#include "replay.h"

#include "boardconfig.h"
#include "simboard.h"

#include <kvdevice/parserabstract.h>
#include <kvdevice/recordingtap.h>

#include <QRegularExpression>
#include <QTimer>

namespace {

// Where the sentence of a line starts: its last start flag, as a board reads it.
int sentenceStart(const QByteArray &text)
{
    return qMax(text.lastIndexOf('$'), text.lastIndexOf('!'));
}

// The address of the sentence in `text`: after its start flag, up to ',' '*' or the line end.
QByteArray addressOf(const QByteArray &text)
{
    const int start = sentenceStart(text);
    if (start < 0)
        return QByteArray();
    int end = start + 1;
    while (end < text.size() && !QByteArray(",*\r\n").contains(text.at(end)))
        ++end;
    return text.mid(start + 1, end - start - 1);
}

// The answers of the init protocol's queries; other queries are taken to be answered by
// their own address, unless a recorded request said otherwise.
QByteArray initAnswer(const QByteArray &address)
{
    return address == "PTKVWR" ? QByteArray("PTKVRD") : address;
}

} // namespace

// ---- ReplayConfig --------------------------------------------------------------------

bool ReplayConfig::parse(const QString &text, ReplayConfig *config, QString *error)
{
    // FILE may hold ':' itself: the options start at the first ':' that something shaped
    // like an option follows ("key=", "flag," or a flag at the end).
    static const QRegularExpression option(QStringLiteral("^[a-z]+(=|,|$)"));
    int colon = -1;
    for (int at = text.indexOf(QLatin1Char(':')); at >= 0 && colon < 0; at = text.indexOf(QLatin1Char(':'), at + 1)) {
        if (option.match(text.mid(at + 1)).hasMatch())
            colon = at;
    }
    *config = ReplayConfig();
    config->file = colon < 0 ? text : text.left(colon);
    if (config->file.isEmpty()) {
        *error = QStringLiteral("--replay needs a recording: FILE[:OPTIONS]");
        return false;
    }
    QList<BoardOption> options;
    if (colon >= 0 && !splitOptions(text.mid(colon + 1), &options, error))
        return false;
    for (const BoardOption &option : qAsConst(options)) {
        if (option.key == QLatin1String("anysum") && !option.hasValue) {
            config->anySum = true;
        } else if (option.key == QLatin1String("link") && !option.value.isEmpty()) {
            config->link = option.value;
        } else if (option.key == QLatin1String("port") && !option.value.isEmpty()) {
            config->port = option.value;
        } else if (option.key == QLatin1String("unknown") && !option.value.isEmpty()) {
            const QString body = option.value.startsWith(QLatin1Char('$')) ? option.value.mid(1) : option.value;
            config->unknown = QStringLiteral("$%1*%2\r\n").arg(body).arg(Nmea::calculateChecksum(body, 0), 2, 16, QLatin1Char('0')).toLatin1();
        } else {
            *error = QStringLiteral("unknown replay option \"%1\"; valid: link=PATH, port=NAME, anysum, unknown=BODY").arg(option.key);
            return false;
        }
    }
    return true;
}

// ---- ReplayScript --------------------------------------------------------------------

QByteArray ReplayScript::queryKey(const QByteArray &line, bool anySum)
{
    QByteArray key = line.mid(qMax(0, sentenceStart(line)));
    while (key.endsWith('\n') || key.endsWith('\r'))
        key.chop(1);
    const int star = key.lastIndexOf('*');
    if (anySum && star >= 0)
        key.truncate(star);
    return key;
}

QList<ReplayScript> ReplayScript::fromRecording(const QList<QJsonObject> &records, const QString &port, bool anySum)
{
    // Requests recorded by the host say what answers them; their records come after the
    // bytes they sent, so they are read first.
    QHash<QByteArray, QByteArray> requested;
    for (const QJsonObject &record : records) {
        if (record.value(QStringLiteral("port")).toString() == port && record.value(QStringLiteral("event")).toString() == QLatin1String("request_start"))
            requested.insert(queryKey(record.value(QStringLiteral("sentence")).toString().toLatin1(), anySum),
                             record.value(QStringLiteral("answer")).toString().toLatin1());
    }

    struct Query
    {
        qint64 t;
        QByteArray key;
        int occurrence;
        QByteArray answeredBy;
        bool answered = false;
    };
    QList<ReplayScript> scripts{ReplayScript()};
    QList<Query> queries;
    QHash<QByteArray, int> occurrences;
    qint64 pluggedAt = -1;
    qint64 unpluggedAt = -1;
    QByteArray fromHost;
    QList<QPair<qint64, QByteArray>> unit; // what the board sent since its last line end

    // Whatever comes before the query it follows is timed from that query.
    auto timedOwn = [&](qint64 t, const QByteArray &bytes, bool unplug) {
        int anchor = 0;
        while (anchor < queries.size() && queries.at(anchor).t <= t)
            ++anchor;
        const qint64 base = anchor > 0 ? queries.at(anchor - 1).t : pluggedAt;
        scripts.last().onItsOwn.append({anchor, qMax<qint64>(0, t - base), bytes, unplug});
    };
    // A line the board sent (with any junk before it), or what was left when it went.
    auto endUnit = [&](bool forced) {
        if (unit.isEmpty())
            return;
        QByteArray text;
        for (const auto &piece : qAsConst(unit))
            text += piece.second;
        if (sentenceStart(text) < 0 && !forced)
            return; // junk: it goes with the sentence after it
        const QByteArray address = addressOf(text);
        const qint64 first = unit.first().first;
        for (Query &query : queries) {
            if (query.answered || query.t > first || address.isEmpty() || query.answeredBy != address)
                continue;
            query.answered = true;
            QList<Piece> &answer = scripts.last().answers[query.key][query.occurrence];
            for (const auto &piece : qAsConst(unit))
                answer.append({piece.first - query.t, piece.second});
            unit.clear();
            return;
        }
        for (const auto &piece : qAsConst(unit))
            timedOwn(piece.first, piece.second, false);
        unit.clear();
    };

    for (const QJsonObject &record : records) {
        if (record.value(QStringLiteral("port")).toString() != port)
            continue;
        const qint64 t = qint64(record.value(QStringLiteral("t")).toDouble());
        const QString event = record.value(QStringLiteral("event")).toString();
        if (pluggedAt < 0)
            pluggedAt = t;
        if (unpluggedAt >= 0) { // plugged in again: a new script
            if (event == QLatin1String("close") || event == QLatin1String("lost") || event == QLatin1String("detached"))
                continue; // the same going, told again
            scripts.last().replugAfterUs = t - unpluggedAt;
            scripts.append(ReplayScript());
            queries.clear();
            occurrences.clear();
            fromHost.clear();
            pluggedAt = t;
            unpluggedAt = -1;
        }
        if (event == QLatin1String("lost") || event == QLatin1String("detached")) {
            endUnit(true);
            timedOwn(t, QByteArray(), true);
            unpluggedAt = t;
            continue;
        }
        KvDevice::RecordingTap::Direction direction;
        QByteArray bytes;
        if (!KvDevice::RecordingTap::recordBytes(record, &direction, &bytes))
            continue;
        if (direction == KvDevice::RecordingTap::ToBoard) {
            fromHost += bytes;
            for (int end = fromHost.indexOf('\n'); end >= 0; end = fromHost.indexOf('\n')) {
                const QByteArray line = fromHost.left(end + 1);
                fromHost.remove(0, end + 1);
                const QByteArray key = queryKey(line, anySum);
                const QByteArray address = addressOf(line);
                const int occurrence = occurrences[key]++;
                queries.append({t, key, occurrence, requested.value(key, initAnswer(address))});
                scripts.last().answers[key].append(QList<Piece>());
            }
            continue;
        }
        for (int from = 0; from < bytes.size();) {
            const int end = bytes.indexOf('\n', from);
            const int stop = end < 0 ? bytes.size() : end + 1;
            unit.append({t, bytes.mid(from, stop - from)});
            from = stop;
            if (end >= 0)
                endUnit(false);
        }
    }
    endUnit(true);
    return scripts;
}

// ---- ReplayBoard ---------------------------------------------------------------------

ReplayBoard::ReplayBoard(const ReplayConfig &replayConfig, QList<ReplayScript> replayScripts, double replaySpeed, QObject *parent)
    : QObject(parent)
    , config(replayConfig)
    , scripts(std::move(replayScripts))
    , speed(replaySpeed)
    , timer(new QTimer(this))
{
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &ReplayBoard::runDue);
}

ReplayBoard::~ReplayBoard() = default;

bool ReplayBoard::plug(QString *error)
{
    BoardConfig silent;
    silent.typeName = QStringLiteral("replay");
    silent.link = config.link;
    board = std::make_unique<SimBoard>(silent);
    if (!board->open(error))
        return false;
    connect(board.get(), &SimBoard::heard, this, &ReplayBoard::heard);
    heardCount.clear();
    queriesHeard = 0;
    due.clear();
    clock.start();
    emit plugged(board->path(), config.link);
    scheduleOwn(0);
    return true;
}

void ReplayBoard::heard(const QByteArray &line)
{
    const ReplayScript &script = scripts.at(current);
    const QByteArray key = ReplayScript::queryKey(line, config.anySum);
    const auto answers = script.answers.value(key);
    ++queriesHeard;
    if (answers.isEmpty()) {
        if (!config.unknown.isEmpty())
            schedule(0, config.unknown);
    } else {
        // Asked more often than recorded: the last answer again, as a board would.
        const int occurrence = qMin(heardCount[key]++, answers.size() - 1);
        for (const ReplayScript::Piece &piece : answers.at(occurrence))
            schedule(piece.delayUs, piece.bytes);
    }
    scheduleOwn(queriesHeard);
}

void ReplayBoard::scheduleOwn(int anchor)
{
    for (const ReplayScript::Timed &timed : scripts.at(current).onItsOwn) {
        if (timed.anchor == anchor)
            schedule(timed.delayUs, timed.bytes, timed.unplug);
    }
}

void ReplayBoard::schedule(qint64 delayUs, const QByteArray &bytes, bool unplug)
{
    const qint64 at = clock.elapsed() + (speed > 0 ? qint64(double(delayUs) / 1000.0 / speed) : 0);
    due.emplace(at, std::make_pair(bytes, unplug));
    timer->start(int(qMax<qint64>(0, due.begin()->first - clock.elapsed())));
}

void ReplayBoard::runDue()
{
    while (!due.empty() && due.begin()->first <= clock.elapsed()) {
        const auto [bytes, unplugging] = due.begin()->second;
        due.erase(due.begin());
        if (unplugging) {
            unplug();
            return;
        }
        board->send(bytes);
    }
    if (!due.empty())
        timer->start(int(qMax<qint64>(0, due.begin()->first - clock.elapsed())));
}

void ReplayBoard::unplug()
{
    const QString path = board->path();
    board->close();
    due.clear();
    emit unplugged(path, config.link);
    const qint64 gap = scripts.at(current).replugAfterUs;
    if (gap < 0 || current + 1 >= scripts.size())
        return;
    ++current;
    QTimer::singleShot(speed > 0 ? int(double(gap) / 1000.0 / speed) : 0, this, [this] {
        QString error;
        if (!plug(&error))
            qWarning("kvboard-sim: cannot plug the replay in again: %s", qPrintable(error));
    });
}
