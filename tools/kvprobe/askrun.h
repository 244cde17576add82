// SPDX-License-Identifier: MIT
#pragma once

#include "proberun.h"

#include <kvdevice/parserinit.h>
#include <kvdevice/request.h>

#include <QJsonObject>
#include <QObject>
#include <QStringList>

#include <memory>
#include <vector>

class QIODevice;

struct AskOptions
{
    ProbeOptions probe;    // with ports: those are opened and asked; without: each board a run finds
    KvDevice::Query query; // its time-out and retries are the probe's
};

/// kvprobe --ask: sends one sentence to each port named, or to each board a probing run
/// finds, and prints the answer ("answer PORT SENTENCE [FIELD=VALUE...]") or why there is
/// none ("no-answer PORT REASON").
class AskRun : public QObject
{
    Q_OBJECT
public:
    /// The query for a sentence typed as --monitor takes it, answered by `expect`; without
    /// `expect`, `line` must be one of the init protocol's queries. False, with `error`,
    /// when it is not.
    static bool makeQuery(const QString &line, const QString &expect, KvDevice::Query *query, QString *error);

    explicit AskRun(const AskOptions &options, QObject *parent = nullptr);
    ~AskRun() override;

    void start();

signals:
    /// Every port asked has answered or not: 0 when ports were asked and each answered.
    void finished(int exitCode);

private:
    KvDevice::Request *ask(const QString &port, KvDevice::Communicator *comm);
    void cannotOpen(const QString &port, const KvDevice::PortReport &report);
    void printAnswer(const QString &port, const KvDevice::Request::Result &result);
    void maybeFinish();

    AskOptions options;
    Nmea::ParserInit parser; // fields for people, whatever the query parsed
    std::unique_ptr<ProbeRun> run;
    std::vector<std::pair<QIODevice *, KvDevice::Communicator *>> opened;
    int asked = 0;
    int answered = 0;
    int pending = 0;
};
