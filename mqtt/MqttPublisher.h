#pragma once

#include "mqtt/HomeAssistantDiscovery.h"
#include "mqtt/MqttConnection.h"
#include "mqtt/MqttOptions.h"
#include "mqtt/SpoolPump.h"
#include "log/LogRecord.h"
#include "log/RecordOutput.h"

#include <QHash>
#include <QObject>
#include <QSet>

#include <functional>

// Publishes the logged readings to an MQTT broker and loses none of them: each reading is first
// appended to the spool and leaves it only when the broker has acknowledged it (PUBACK), in the
// order it was taken (SpoolPump). While the broker is away the readings wait there; once it is
// back they go out before any new one (MqttConnection). The run's state goes to a retained status
// topic, with "offline" as the Last Will; with --mqtt-discovery, Home Assistant's configs go out
// too (HomeAssistantDiscovery).
//
// As a RecordOutput it says what goes wrong on standard error itself (through `report`); a spool
// that cannot be written, which would lose readings, goes to the failure handler, also when it
// happens while readings go out in the background or when flush() syncs it.
class MqttPublisher : public QObject, public RecordOutput
{
    Q_OBJECT

public:
    using Report = std::function<void(const QString &)>;
    // The time now, in milliseconds since the epoch (UTC), for the outage's report.
    using Clock = std::function<qint64()>;

    // At the end, what waits in the spool gets this long to go out.
    static constexpr int kCloseMs = 3000;

    // `clock`: none, the system's.
    MqttPublisher(const MqttOptions &options, Report report, QObject *parent = nullptr,
                  Clock clock = {});
    ~MqttPublisher() override;

    // Reads the password, opens the spool and connects once. The reason when the run cannot go
    // on (password file, spool, login refused, certificate not trusted); a broker that is merely
    // unreachable is not one: the readings are spooled until it answers.
    QString start();
    // Takes one logged reading.
    void publish(const LogRecord &record);
    // Another output (a file, standard output) gets every reading too. A spool that cannot be
    // written then does not end the run: it is said once, the status says "spool-full",
    // readings go straight to a connected broker, and the spool takes them again once it can.
    // Without another output, it ends the run (through the failure handler).
    void setKeptElsewhere(bool kept) { m_pump.setKeptElsewhere(kept); }
    // Readings taken after the spool failed, with no other output: kept nowhere.
    qint64 notKept() const { return m_pump.notKept(); }
    // RecordOutput: publish(); a spool that fails goes to the failure handler.
    QString take(const LogRecord &record) override
    {
        publish(record);
        return {};
    }
    // RecordOutput: puts the spool on the disk; one that fails goes to the failure handler (or,
    // with another output, is said and the run goes on), as a failure to append does.
    QString flush() override;
    // RecordOutput: the meter's link is down (status "lost": gone, or silent for as long as the
    // run counts as a loss) or back.
    void linkChanged(const LinkState &state) override;
    // Sends what waits for a moment, says "offline", leaves the rest in the spool.
    void close();
    // RecordOutput: close(), which reports what goes wrong itself.
    QString finish() override
    {
        close();
        return {};
    }

    // One reading as published: a JSON object on one line (logrecord::readingJson).
    static QByteArray readingJson(const LogRecord &record)
    {
        return logrecord::readingJson(record);
    }

    QString readingTopic() const;
    QString statusTopic() const;

    // For the live page's status: bytes and readings in the spool not yet acknowledged, and
    // the status as the status topic says it (online, lost, spool-full).
    qint64 spoolBytes() const { return m_pump.pendingBytes(); }
    qint64 unacknowledged() const { return m_pump.pendingLines(); }
    QString status() const;

private:
    QString readPassword();
    void connected();
    void acknowledged(int mid, int reasonCode);
    void dropped();
    void retrying(const QString &reason);
    void endOutage();
    // Sends from the spool while the connection is up; at the end only when `closing`.
    void pump(bool closing = false);
    void publishStatus();
    // A status or discovery message, retained; its acknowledgement is checked for a refusal.
    bool sendRetained(const QString &topic, const QByteArray &payload);
    // A reading that is not in the spool, straight from memory.
    bool sendUnspooled(const QByteArray &json);
    QString stamp(qint64 ms) const;

    MqttOptions m_options;
    Report m_report;
    Clock m_clock;
    SpoolPump m_pump;
    HomeAssistantDiscovery m_discovery;
    MqttConnection m_connection;

    QHash<int, QString> m_otherTopics; // status and discovery messages in flight
    QSet<QString> m_refusedTopics;     // reported once

    bool m_outage = false;
    qint64 m_outageSinceMs = 0;
    QString m_outageReason;
    qint64 m_outageSpooled = 0;

    bool m_meterLost = false;
    QString m_statusSent;
    bool m_closed = false;
    int m_offlineMid = -1; // the last status, at the end
    bool m_offlineAcked = false;
};
