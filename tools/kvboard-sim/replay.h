// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

class SimBoard;
class QTimer;

/// A recording played as a board, as the command line describes it:
/// "FILE[:link=PATH,port=NAME,anysum,unknown=BODY]".
struct ReplayConfig
{
    QString file;
    QString link;            // a symlink to the pty (one port only)
    QString port;            // the recorded port to play; empty: every port of the file
    bool anySum = false;     // queries match whatever their checksum
    QByteArray unknown;      // the answer to a query the recording never saw; empty: silence

    /// Fills `config` from `text`; false, with `error` saying why, when it is not valid.
    static bool parse(const QString &text, ReplayConfig *config, QString *error);
};

/// What one port of a recording does between two unplugs, ready to play: for each query
/// heard, the answer that followed it; what the board sent on its own; its unplug.
struct ReplayScript
{
    struct Piece
    {
        qint64 delayUs; // from what it follows
        QByteArray bytes;
    };
    struct Timed
    {
        int anchor;      // after this many queries heard (0: from the plug)
        qint64 delayUs;  // from that query
        QByteArray bytes;
        bool unplug = false;
    };
    /// By query (queryKey()): for its first, second, ... occurrence, what answered it.
    QHash<QByteArray, QList<QList<Piece>>> answers;
    QList<Timed> onItsOwn;
    qint64 replugAfterUs = -1; // >= 0: the next script plugs in this long after the unplug

    /// A line the host sent, as queries are matched: from its last start flag on, without
    /// its line end (and without its checksum when `anySum`).
    static QByteArray queryKey(const QByteArray &line, bool anySum);
    /// The scripts of `port` in `records` (RecordingTap::read()), one per time it was
    /// plugged in. Each answer goes to the earliest query still unanswered that it answers
    /// (by its address: a request's recorded answer, the init protocol's, else the query's
    /// own); everything else is the board's own, timed from the query before it.
    static QList<ReplayScript> fromRecording(const QList<QJsonObject> &records, const QString &port, bool anySum);
};

/// One recorded port played on a pseudo-terminal (a silent SimBoard that the script
/// drives), plugged in again as the recording was; `speed` divides every delay (0: none).
class ReplayBoard : public QObject
{
    Q_OBJECT
public:
    ReplayBoard(const ReplayConfig &config, QList<ReplayScript> scripts, double speed, QObject *parent = nullptr);
    ~ReplayBoard() override;

    /// Plugs the first script in; false with `error` when its pty or link cannot be made.
    bool plug(QString *error);

signals:
    /// The board appeared on `path` (its link when it has one), or vanished from it.
    void plugged(const QString &path, const QString &link);
    void unplugged(const QString &path, const QString &link);

private:
    void heard(const QByteArray &line);
    void schedule(qint64 delayUs, const QByteArray &bytes, bool unplug = false);
    void scheduleOwn(int anchor);
    void runDue();
    void unplug();

    ReplayConfig config;
    QList<ReplayScript> scripts;
    double speed;
    int current = 0;
    std::unique_ptr<SimBoard> board;
    QHash<QByteArray, int> heardCount;
    int queriesHeard = 0;
    QElapsedTimer clock;
    QTimer *timer;
    std::multimap<qint64, std::pair<QByteArray, bool>> due; // ms on `clock`: bytes, or an unplug
};
