// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/portreport.h>
#include <kvdevice/request.h>
#include <kvdevice/type.h>

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

namespace KvDevice {
class Communicator;
class Initializer;
class RecordingTap;
}

/// Asks a board that a run found: returns the request, whose finished() the run waits for.
using Asker = std::function<KvDevice::Request *(KvDevice::Type type, const QString &port, KvDevice::Communicator *comm)>;

struct ProbeOptions
{
    QList<KvDevice::Type> types;
    QStringList ports;      // empty: the system's candidate ports
    QStringList serials;    // not empty: only candidates with one of these USB serial numbers
    int delayMs = 0;
    int timeoutMs = 400;
    unsigned int retries = 3;
    bool json = false;
    bool details = false;
    bool everyBoard = false;
    bool raiseModemLines = true; // DTR and RTS after opening a port
    Asker asker;            // asks each found board (--details: its own)
    KvDevice::RecordingTap *tap = nullptr; // --record: follows every port opened
};

/// One probing run through KvDevice::Initializer, reported line by line as it goes;
/// with an asker (or details: what it is), each found board is asked once more.
class ProbeRun : public QObject
{
    Q_OBJECT
public:
    static constexpr int detailsTimeoutMs = 1000;

    explicit ProbeRun(const ProbeOptions &options, QObject *parent = nullptr);
    ~ProbeRun() override;

    void start();

signals:
    /// Every requested type is reported and every board asked has answered or not: 0 when
    /// every type was found and every board asked answered, 1 otherwise.
    void finished(int exitCode);

private:
    struct Device
    {
        KvDevice::Type type = KvDevice::NoDevice;
        QString port;
        KvDevice::Communicator *comm = nullptr;
        bool waiting = false;
    };

    /// Whether the system lists a port the run would probe.
    bool hasCandidate() const;
    void onFound(KvDevice::Type type, KvDevice::Communicator *comm);
    void onReport(const KvDevice::PortReport &report);
    void onNotFound(KvDevice::Type type);
    KvDevice::Request *askDetails(KvDevice::Type type, const QString &port, KvDevice::Communicator *comm);
    void maybeFinish();
    void finish();
    void releaseDevice(Device *device);

    ProbeOptions options;
    KvDevice::Initializer *initializer = nullptr;
    std::vector<std::unique_ptr<Device>> devices;
    int notFound = 0;
    int unanswered = 0;
    bool runOver = false;
    bool finishing = false;
    QStringList undelivered; // for people: each port that delivered nothing, and why
    QElapsedTimer clock;
};
