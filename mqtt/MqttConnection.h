#pragma once

#include "mqtt/MqttOptions.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

struct mosquitto;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;

// One connection to an MQTT broker at a time, made again after every loss with a growing pause
// (1 s doubling to 30 s), in a clean session with the status topic's "offline" as the Last Will.
// What happens goes to the handlers below; it sends what it is given and keeps nothing.
//
// Event loop: libmosquitto runs on this object's thread without a thread of its own. The
// connection's socket is watched with two QSocketNotifiers (read, and write while the library has
// bytes queued) and a one-second timer calls mosquitto_loop_misc for the keep-alive, so every
// callback comes on this thread and nothing here needs a lock. Only a reconnect is different:
// mosquitto_connect() blocks for the name lookup, the TCP connect and the TLS handshake, which can
// take minutes for a host that does not answer, and the meter must not wait that long. So a
// reconnect builds a fresh client, hands it to a short-lived thread for mosquitto_connect()
// alone, and takes it back through a queued call; the client is never used by two threads at
// once, and a fresh client per connection keeps the library's own queue empty, so the caller's
// spool alone decides what is sent again. The first connect, connectFirst(), blocks: a refused
// login or an untrusted certificate then ends the run before it begins.
class MqttConnection : public QObject
{
    Q_OBJECT

public:
    static constexpr int kKeepAliveS = 30;
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLastRetryMs = 30000;
    // The broker answers a connect within this long, or the attempt counts as failed.
    static constexpr int kConnackMs = 10000;
    // The library's own window, above what the caller keeps in flight.
    static constexpr int kLibraryInFlight = 110;

    // The broker took the connect: send the status and what waits.
    std::function<void()> connected;
    // The broker acknowledged message `mid`; a `reasonCode` of 128 or more: it will not pass it on.
    std::function<void(int mid, int reasonCode)> acknowledged;
    // The socket was served and the connection is up: what waits may be sent.
    std::function<void()> ready;
    // The connection is gone (for `reason`): what was sent and not acknowledged goes again.
    std::function<void(const QString &reason)> dropped;
    // No connection, for `reason`; the next attempt comes after retryMs() (as it was then).
    std::function<void(const QString &reason)> retrying;

    explicit MqttConnection(const MqttOptions &options, QObject *parent = nullptr);
    ~MqttConnection() override;

    // Read from --mqtt-password-file, before the first connect.
    void setPassword(const QByteArray &password) { m_password = password; }

    struct First
    {
        QString fatal;        // why the run cannot go on (login refused, TLS); else ""
        bool reached = false; // the broker answered the TCP connect (not retrying yet)
    };
    // Connects once and waits for the broker's answer, for at most kConnackMs. A broker that
    // cannot be reached is retried later (retrying); one that can, goes on with goOn().
    First connectFirst();
    // After a first connect that reached the broker: watches its socket and sends what waits,
    // or drops the connection that did not come up.
    void goOn();

    // Up and not about to be dropped: messages may be sent.
    bool isReady() const { return isUp() && !m_dropRequested; }
    // Connected, and the broker took the connect.
    bool isUp() const { return m_client && m_state == State::Up; }
    // The connection failed or was refused, and goes at the next chance.
    bool isDropping() const { return m_dropRequested; }
    // Sends one QoS 1 message; false when it could not (the connection will be dropped).
    bool publish(const QString &topic, const QByteArray &payload, bool retain, int *mid);
    // Drops the connection at the next chance, for `reason` (the broker refused readings).
    void requestDrop(const QString &reason);
    // After something was sent outside the socket's handlers: serves it.
    void settle() { afterLoop(0); }
    // The pause to the next attempt: back to the first one once readings go through again.
    int retryMs() const { return m_retryMs; }
    void resetRetry() { m_retryMs = kFirstRetryMs; }

    // The end: no more retries, and a connect still on its thread is dropped when it finishes.
    void stop();
    // With nothing connected at the end: one more connect, waited for until `deadline`.
    void lastChance(const QDeadlineTimer &deadline);
    // At the end, with the broker connected: its socket is served by loopOnce() alone.
    void holdStill();
    // One turn of the library's own loop, waiting up to 100 ms. False when the connection failed.
    bool loopOnce();
    // Disconnects, asking the broker for the Last Will unless `clean`.
    void disconnect(bool clean);
    // Lets the client go.
    void release();

    QString brokerName() const;

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

    std::unique_ptr<Client> makeClient(QString *error);
    void beginHandshake(std::unique_ptr<Client> client);
    void attemptInBackground();
    void attempted(Client *client, int rc, int errorNumber);
    void watch();
    void afterLoop(int rc);
    void dropConnection(const QString &reason);
    void retryLater(const QString &reason);
    QString reason(int rc, int errorNumber, const QByteArray &libraryError) const;
    QString statusTopic() const;

    static void onConnect(mosquitto *, void *client, int rc);
    static void onDisconnect(mosquitto *, void *client, int rc);
    static void onPublish(mosquitto *, void *client, int mid, int reasonCode,
                          const mosquitto_property *);
    static void onLog(mosquitto *, void *client, int level, const char *text);

    MqttOptions m_options;
    QByteArray m_password;
    std::unique_ptr<Client> m_client;
    std::shared_ptr<Gate> m_gate;
    State m_state = State::Down;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QTimer m_misc;
    QTimer m_retry;
    QTimer m_connack;
    int m_retryMs = kFirstRetryMs;
    int m_refusal = 0; // the CONNACK's refusal code
    bool m_dropRequested = false;
    QString m_dropReason;
    bool m_stopped = false;
    int m_firstLoopRc = 0; // connectFirst()'s loop ended with it
    int m_firstErrno = 0;
};

namespace mqttconnection {
// The CONNACK codes of a refused login: MQTT 3.1.1, then 5.
bool isLoginRefusal(int rc);
// A CONNACK's or PUBACK's refusal in words.
QString refusalText(int rc);
} // namespace mqttconnection
