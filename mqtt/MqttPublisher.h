#pragma once

#include "mqtt/MqttOptions.h"
#include "mqtt/MqttSpool.h"
#include "log/LogRecord.h"
#include "log/RecordOutput.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

struct mosquitto;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;

// Publishes the logged readings to an MQTT broker and loses none of them: each reading is first
// appended to the spool and leaves it only when the broker has acknowledged it (PUBACK), in the
// order it was taken. While the broker is away the readings wait there; once it is back they go
// out before any new one. The run's state goes to a retained status topic, with "offline" as the
// Last Will.
//
// Event loop: libmosquitto runs on this object's thread without a thread of its own. The
// connection's socket is watched with two QSocketNotifiers (read, and write while the library has
// bytes queued) and a one-second timer calls mosquitto_loop_misc for the keep-alive, so every
// callback comes on this thread and nothing here needs a lock. Only a reconnect is different:
// mosquitto_connect() blocks for the name lookup, the TCP connect and the TLS handshake, which can
// take minutes for a host that does not answer, and the meter must not wait that long. So a
// reconnect builds a fresh client, hands it to a short-lived thread for mosquitto_connect()
// alone, and takes it back through a queued call; the client is never used by two threads at
// once, and a fresh client per connection keeps the library's own queue empty, so the spool
// alone decides what is sent again. The first connect, in start(), blocks: a refused login or an
// untrusted certificate then ends the run before it begins.
//
// As a RecordOutput it says what goes wrong on standard error itself (through `report`); a spool
// that cannot be written, which would lose readings, goes to the failure handler, also when it
// happens while readings go out in the background.
class MqttPublisher : public QObject, public RecordOutput
{
    Q_OBJECT

public:
    using Report = std::function<void(const QString &)>;

    // While this many readings wait for their acknowledgement, the next ones wait in the spool.
    static constexpr int kInFlight = 100;
    static constexpr int kKeepAliveS = 30;
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLastRetryMs = 30000;
    // The broker answers a connect within this long, or the attempt counts as failed.
    static constexpr int kConnackMs = 10000;
    // At the end, what waits in the spool gets this long to go out.
    static constexpr int kCloseMs = 3000;

    MqttPublisher(const MqttOptions &options, Report report, QObject *parent = nullptr);
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
    void setKeptElsewhere(bool kept);
    // Readings taken after the spool failed, with no other output: kept nowhere.
    qint64 notKept() const;
    // RecordOutput: publish(); a spool that fails goes to the failure handler.
    QString take(const LogRecord &record) override
    {
        publish(record);
        return {};
    }
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
    qint64 spoolBytes() const { return m_spool.pendingBytes(); }
    qint64 unacknowledged() const { return m_spool.pendingLines(); }
    QString status() const;

private:
    struct Client;
    struct Gate;
    enum class State
    {
        Down,
        Connecting, // mosquitto_connect() runs on its thread
        Handshake,  // connected, waiting for the CONNACK
        Up,
    };
    struct InFlight
    {
        int mid;
        MqttSpool::Position end;
        bool acked;
    };

    std::unique_ptr<Client> makeClient(QString *error);
    void beginHandshake(std::unique_ptr<Client> client);
    void attemptInBackground();
    void attempted(Client *client, int rc, int errorNumber);
    void watch();
    void afterLoop(int rc);
    void dropConnection(const QString &reason);
    void retryLater(const QString &reason);
    void connected();
    void endOutage();
    void acknowledged(int mid, int reasonCode);
    // Sends from the spool while the window has room; at the end only when `closing`.
    void pump(bool closing = false);
    void publishStatus();
    // The display's config for an empty `sensor`, else that of a numeric sensor ("V DC", "Hz").
    void publishDiscovery(const QString &sensor);
    bool send(const QString &topic, const QByteArray &payload, bool retain, int *mid = nullptr);
    void syncSpool();
    void spoolFailed();
    // Damage the spool found, on standard error.
    void tellSpoolNotices();
    // The spool cannot be written (from reading `no`, -1: the next), or can be again.
    void spoolUnwritable(const QString &reason, qint64 no);
    void spoolWritableAgain(qint64 no);
    QString unspooledText() const;
    // At the end, with readings waiting and no broker: one more connect, until `deadline`.
    void lastChance(const QDeadlineTimer &deadline);
    QString reason(int rc, int errorNumber, const QByteArray &libraryError) const;
    QString brokerName() const;

    static void onConnect(mosquitto *, void *client, int rc);
    static void onDisconnect(mosquitto *, void *client, int rc);
    static void onPublish(mosquitto *, void *client, int mid, int reasonCode,
                          const mosquitto_property *);
    static void onLog(mosquitto *, void *client, int level, const char *text);

    MqttOptions m_options;
    Report m_report;
    QByteArray m_password;
    MqttSpool m_spool;
    bool m_spoolBroken = false;
    bool m_keptElsewhere = false;
    qint64 m_notKept = 0; // readings the ending run kept nowhere
    qint64 m_firstNotKept = 0;
    bool m_spoolDown = false; // cannot be written; the run goes on
    qint64 m_firstUnspooled = -1;
    qint64 m_unspooled = 0;
    qint64 m_sentFromMemory = 0;

    std::unique_ptr<Client> m_client;
    std::shared_ptr<Gate> m_gate;
    State m_state = State::Down;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QTimer m_misc;
    QTimer m_sync;
    QTimer m_retry;
    QTimer m_connack;
    int m_retryMs = kFirstRetryMs;
    int m_refusal = 0; // the CONNACK's refusal code
    bool m_dropRequested = false;
    std::deque<InFlight> m_inFlight;
    QHash<int, QString> m_otherTopics; // status and discovery messages in flight
    QSet<QString> m_refusedTopics;     // reported once
    QString m_publishRefusal;          // why the broker would not take a reading

    bool m_outage = false;
    QDateTime m_outageSince;
    QString m_outageReason;
    qint64 m_outageSpooled = 0;

    bool m_meterLost = false;
    bool m_full = false;
    qint64 m_turnedAway = 0;
    qint32 m_firstTurnedAway = 0;
    QString m_statusSent;
    QSet<QString> m_sensors; // numeric sensors with a discovery config ("V DC", "Hz")
    bool m_closed = false;
    int m_offlineMid = -1; // the last status, at the end
    bool m_offlineAcked = false;
};
