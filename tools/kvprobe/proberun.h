#pragma once

#include <kvdevice/parserinit.h>
#include <kvdevice/portreport.h>
#include <kvdevice/type.h>

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QStringList>

#include <memory>
#include <vector>

class QSerialPort;
class QTimer;

namespace KvDevice {
class Communicator;
class Initializer;
}

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
};

/// One probing run through KvDevice::Initializer, reported line by line as it goes;
/// with details, each found board is asked once more for what it is.
class ProbeRun : public QObject
{
    Q_OBJECT
public:
    static constexpr int detailsTimeoutMs = 1000;

    explicit ProbeRun(const ProbeOptions &options, QObject *parent = nullptr);
    ~ProbeRun() override;

    void start();

signals:
    /// Every requested type is reported and every detail query is over: 0 when every type
    /// was found (and, with details, every board answered), 1 otherwise.
    void finished(int exitCode);

private:
    struct Device
    {
        KvDevice::Type type = KvDevice::NoDevice;
        QString port;
        KvDevice::Communicator *comm = nullptr;
        QTimer *timer = nullptr;
        bool waiting = false;
    };

    /// Whether the system lists a port the run would probe.
    bool hasCandidate() const;
    void onFound(KvDevice::Type type, KvDevice::Communicator *comm);
    void onReport(const KvDevice::PortReport &report);
    void onNotFound(KvDevice::Type type);
    void askDetails(Device *device);
    void readDetails(Device *device);
    void endDetails(Device *device, const QString &error);
    void maybeFinish();
    void finish();
    void releaseDevice(Device *device);

    ProbeOptions options;
    KvDevice::Initializer *initializer = nullptr;
    Nmea::ParserInit parser;
    std::vector<std::unique_ptr<Device>> devices;
    int notFound = 0;
    int detailsFailed = 0;
    bool runOver = false;
    bool finishing = false;
    QStringList undelivered; // for people: each port that delivered nothing, and why
    QElapsedTimer clock;
};
