#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QString>

// The logger's MQTT settings: where the readings are published, as whom, and how much may wait
// on disk while the broker is away. Empty `url`: nothing is published.
struct MqttOptions
{
    QString url;
    bool tls = false; // mqtts://
    QString host;
    int port = 0;
    QString prefix; // topics start with it; may have several levels, no wildcards
    QString id;     // the meter's level in the topics, topic-safe
    QString caFile; // empty: the system's CA store
    QString user;
    QString passwordFile;
    bool discovery = false;
    bool insecure = false;
    qint64 spoolMaxMb = 512;
    // At the end of a run with readings not yet acknowledged, how long one more connect and
    // drain may take; 0: none.
    int drainSeconds = 5;

    bool enabled() const { return !url.isEmpty(); }
    qint64 spoolMaxBytes() const { return spoolMaxMb * 1024 * 1024; }
};

namespace mqttoptions {

// The range of --mqtt-spool-max, in megabytes.
constexpr qint64 kSpoolMinMb = 1;
constexpr qint64 kSpoolMaxMb = 1024 * 1024;
// The range of --mqtt-drain-seconds.
constexpr int kDrainMaxSeconds = 600;

// The MQTT options, for the logger's command-line parser.
QList<QCommandLineOption> commandLineOptions();
// True when `arg` ("--mqtt", ...) is one of the MQTT options, then taken into `o`; `error` says
// what is wrong with its value, if anything.
bool take(const QString &arg, const QString &value, MqttOptions *o, QString *error);
// After the whole command line: the checks between the options, and the default id made from the
// host name and `sourceName`. `idElsewhere`: --mqtt-id names the meter for something else too
// (the live page), so it may come without --mqtt. Returns what is wrong, or an empty string.
QString finish(MqttOptions *o, const QString &sourceName, bool idElsewhere = false);
// The meter's id when none is given: the host name and the source, as in lab1-ttyUSB0.
QString defaultId(const QString &sourceName);
// `text` with every character that has no place in a topic level replaced by '_'.
QString topicSafe(const QString &text);
// The help text's section on these options.
QString help();

} // namespace mqttoptions
