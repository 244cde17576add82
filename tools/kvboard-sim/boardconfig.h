// SPDX-License-Identifier: MIT
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

/// One KEY[=VALUE] of an option list.
struct BoardOption
{
    QString key;
    QString value;
    bool hasValue = false;
};
/// Splits "k=v,k2,k3=v3" at unescaped ',' and each item at its first unescaped '='; a
/// backslash takes the next character literally. False, with `error`, at a trailing one.
bool splitOptions(const QString &text, QList<BoardOption> *options, QString *error);

/// One simulated board as the command line describes it: "TYPE[:KEY[=VALUE][,...]]".
struct BoardConfig
{
    enum Kind { Board6100028, Board6100027, Info, Silent };

    Kind kind = Silent;
    QString typeName;                 // as written on the command line
    QHash<QString, QVariant> fields;  // the answer's field values by wire name
    QString link;                     // symlink to the pty, or empty
    int plugMs = 0;                   // the board appears this long after the start
    int unplugMs = 0;                 // > 0: it vanishes this long after it appeared
    int delayMs = 0;                  // before each answer (the first of `delays`)
    QList<int> delays;                // before the 1st, 2nd, ... answer, then again from the 1st
    bool numbered = false;            // each answer carries the number of the query it answers
    int ignore = 0;                   // answerable queries left unanswered first
    int answers = -1;                 // >= 0: answer this many, then fall silent
    bool badChecksum = false;
    int badAnswers = -1;              // with badChecksum: this many answers garbled first (-1: all)
    bool noise = false;               // garbage before each answer
    int bytePauseMs = -1;             // >= 0: one byte per write, this far apart
    bool closeOnQuery = false;        // half an answer, then close the pty
    bool stale = false;               // an answer waits in the port before anyone asks
    int chatterMs = 0;                // > 0: a sentence that identifies nothing this often
    bool flood = false;               // line noise as fast as the port takes it

    static QStringList typeNames();
    /// Fills `config` from `text`; false, with `error` saying why, when it is not valid.
    static bool parse(const QString &text, BoardConfig *config, QString *error);

    bool answersVersion() const { return kind == Board6100028 || kind == Board6100027; }
    bool answersInfo() const { return kind == Info; }
};
