#include "mqtt/MqttConnection.h"

#include <QFile>

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>

namespace {

// A notifier may be the sender of the call that drops the connection: it goes later.
void retire(std::unique_ptr<QSocketNotifier> &notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    notifier->disconnect();
    notifier.release()->deleteLater();
}

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

} // namespace

namespace mqttconnection {

bool isLoginRefusal(int rc)
{
    return rc == 4 || rc == 5 || rc == 134 || rc == 135;
}

QString refusalText(int rc)
{
    return QString::fromUtf8(rc < 128 ? mosquitto_connack_string(rc) : mosquitto_reason_string(rc));
}

} // namespace mqttconnection

using mqttconnection::isLoginRefusal;
using mqttconnection::refusalText;

// One connection's client and what the library said while it was made.
struct MqttConnection::Client
{
    mosquitto *mosq = nullptr;
    MqttConnection *owner = nullptr; // set when the client is handed to this thread
    QByteArray lastError;
    ~Client()
    {
        if (mosq)
            mosquitto_destroy(mosq);
    }
};

// The connect thread hands its client back through here; cleared when the connection stops.
struct MqttConnection::Gate
{
    std::mutex mutex;
    MqttConnection *owner = nullptr;
};

MqttConnection::MqttConnection(const MqttOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_gate(std::make_shared<Gate>())
{
    initLibrary();
    m_gate->owner = this;
    m_misc.setInterval(1000);
    connect(&m_misc, &QTimer::timeout, this, [this] {
        if (m_client && (m_state == State::Handshake || m_state == State::Up))
            afterLoop(mosquitto_loop_misc(m_client->mosq));
    });
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttConnection::attemptInBackground);
    m_connack.setSingleShot(true);
    m_connack.setInterval(kConnackMs);
    connect(&m_connack, &QTimer::timeout, this,
            [this] { dropConnection(QStringLiteral("no answer to the connect")); });
}

MqttConnection::~MqttConnection()
{
    stop();
    release();
}

QString MqttConnection::brokerName() const
{
    return QStringLiteral("%1:%2").arg(m_options.host).arg(m_options.port);
}

QString MqttConnection::statusTopic() const
{
    return m_options.prefix + u'/' + m_options.id + QStringLiteral("/status");
}

MqttConnection::First MqttConnection::connectFirst()
{
    First first;
    std::unique_ptr<Client> client = makeClient(&first.fatal);
    if (!client)
        return first;
    const int rc = mosquitto_connect(client->mosq, m_options.host.toUtf8().constData(),
                                     m_options.port, kKeepAliveS);
    const int errorNumber = errno;
    m_misc.start();
    if (rc == MOSQ_ERR_TLS) {
        first.fatal = QStringLiteral("TLS with the MQTT broker %1 failed: %2")
                          .arg(brokerName(), reason(rc, errorNumber, client->lastError));
        return first;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        retryLater(reason(rc, errorNumber, client->lastError));
        return first;
    }

    // Wait for the broker's answer here, with the library's own loop: the run has not begun, and
    // a refusal ends it.
    beginHandshake(std::move(client));
    const QDeadlineTimer deadline(kConnackMs);
    int loopRc = MOSQ_ERR_SUCCESS;
    while (m_state == State::Handshake && !m_dropRequested && !deadline.hasExpired()) {
        loopRc = mosquitto_loop(m_client->mosq, 100, 1);
        if (loopRc != MOSQ_ERR_SUCCESS)
            break;
    }
    m_firstLoopRc = loopRc;
    m_firstErrno = errno;
    if (isLoginRefusal(m_refusal)) {
        first.fatal = QStringLiteral("the MQTT broker %1 refused the login as %2: %3")
                          .arg(brokerName(),
                               m_options.user.isEmpty() ? QStringLiteral("anonymous")
                                                        : m_options.user,
                               refusalText(m_refusal));
        return first;
    }
    if (loopRc == MOSQ_ERR_TLS) {
        first.fatal = QStringLiteral("TLS with the MQTT broker %1 failed: %2")
                          .arg(brokerName(), reason(loopRc, m_firstErrno, m_client->lastError));
        return first;
    }
    first.reached = true;
    return first;
}

void MqttConnection::goOn()
{
    if (!m_client)
        return;
    if (m_state == State::Up) {
        watch();
        if (isReady() && ready)
            ready();
        return;
    }
    dropConnection(m_refusal ? refusalText(m_refusal)
                   : m_firstLoopRc != MOSQ_ERR_SUCCESS
                       ? reason(m_firstLoopRc, m_firstErrno, m_client->lastError)
                       : QStringLiteral("no answer to the connect"));
}

// A connected client becomes this connection's, its callbacks set, waiting for the broker's
// answer.
void MqttConnection::beginHandshake(std::unique_ptr<Client> client)
{
    m_client = std::move(client);
    m_client->owner = this;
    mosquitto_connect_callback_set(m_client->mosq, onConnect);
    mosquitto_disconnect_callback_set(m_client->mosq, onDisconnect);
    mosquitto_publish_v5_callback_set(m_client->mosq, onPublish);
    m_state = State::Handshake;
}

std::unique_ptr<MqttConnection::Client> MqttConnection::makeClient(QString *error)
{
    auto client = std::make_unique<Client>();
    // A clean session: the caller's spool, not the broker, keeps what is not acknowledged.
    const QByteArray clientId = "vorlatt-log-" + m_options.id.toUtf8();
    client->mosq = mosquitto_new(clientId.constData(), true, client.get());
    if (!client->mosq) {
        *error = QStringLiteral("cannot make an MQTT client: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    mosquitto *m = client->mosq;
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_log_callback_set(m, onLog);
    mosquitto_max_inflight_messages_set(m, kLibraryInFlight);
    const QByteArray will = statusTopic().toUtf8();
    int rc = mosquitto_will_set(m, will.constData(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !m_options.user.isEmpty())
        rc = mosquitto_username_pw_set(m, m_options.user.toUtf8().constData(),
                                       m_password.isEmpty() ? nullptr : m_password.constData());
    if (rc == MOSQ_ERR_SUCCESS && m_options.tls) {
        if (m_options.caFile.isEmpty()) {
            rc = mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        } else {
            rc = mosquitto_tls_set(m, QFile::encodeName(m_options.caFile).constData(), nullptr,
                                   nullptr, nullptr, nullptr);
            if (rc != MOSQ_ERR_SUCCESS) {
                *error = QStringLiteral("cannot use the CA file %1: %2")
                             .arg(m_options.caFile, QString::fromUtf8(mosquitto_strerror(rc)));
                return nullptr;
            }
        }
        if (rc == MOSQ_ERR_SUCCESS && m_options.insecure) {
            rc = mosquitto_tls_opts_set(m, 0, nullptr, nullptr);
            if (rc == MOSQ_ERR_SUCCESS)
                rc = mosquitto_tls_insecure_set(m, true);
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = QStringLiteral("cannot set up the MQTT client: %1")
                     .arg(QString::fromUtf8(mosquitto_strerror(rc)));
        return nullptr;
    }
    return client;
}

QString MqttConnection::reason(int rc, int errorNumber, const QByteArray &libraryError) const
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errorNumber));
    if (rc == MOSQ_ERR_EAI)
        return QStringLiteral("the host name %1 is not known").arg(m_options.host);
    if (rc == MOSQ_ERR_TLS) {
        const QString detail = QString::fromUtf8(libraryError).trimmed();
        const QString ca =
            m_options.caFile.isEmpty() ? QStringLiteral("the system's CA store") : m_options.caFile;
        return QStringLiteral("the broker's certificate could not be verified with %1%2")
            .arg(ca, detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail));
    }
    return QString::fromUtf8(mosquitto_strerror(rc));
}

void MqttConnection::attemptInBackground()
{
    if (m_stopped || m_state != State::Down)
        return;
    QString error;
    std::unique_ptr<Client> client = makeClient(&error);
    if (!client) {
        retryLater(error);
        return;
    }
    m_state = State::Connecting;
    Client *raw = client.release();
    const QByteArray host = m_options.host.toUtf8();
    const int port = m_options.port;
    std::thread([raw, gate = m_gate, host, port] {
        const int rc = mosquitto_connect(raw->mosq, host.constData(), port, kKeepAliveS);
        const int errorNumber = errno;
        const std::lock_guard<std::mutex> lock(gate->mutex);
        if (!gate->owner) {
            delete raw;
            return;
        }
        MqttConnection *owner = gate->owner;
        QMetaObject::invokeMethod(
            owner, [owner, raw, rc, errorNumber] { owner->attempted(raw, rc, errorNumber); },
            Qt::QueuedConnection);
    }).detach();
}

void MqttConnection::attempted(Client *raw, int rc, int errorNumber)
{
    std::unique_ptr<Client> client(raw);
    m_state = State::Down;
    if (m_stopped)
        return;
    if (rc != MOSQ_ERR_SUCCESS) {
        retryLater(reason(rc, errorNumber, client->lastError));
        return;
    }
    beginHandshake(std::move(client));
    m_connack.start();
    watch();
}

void MqttConnection::watch()
{
    const int fd = mosquitto_socket(m_client->mosq);
    // The library copes with a socket that would block; the event loop must never wait on it.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    m_readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, [this] {
        if (m_client)
            afterLoop(mosquitto_loop_read(m_client->mosq, 1));
    });
    m_writeNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, [this] {
        if (m_client)
            afterLoop(mosquitto_loop_write(m_client->mosq, 1));
    });
    afterLoop(MOSQ_ERR_SUCCESS);
}

void MqttConnection::afterLoop(int rc)
{
    if (!m_client)
        return;
    if (rc == MOSQ_ERR_SUCCESS && !m_dropRequested && m_state == State::Up && ready)
        ready();
    if (!m_client)
        return;
    if (rc != MOSQ_ERR_SUCCESS || m_dropRequested) {
        dropConnection(!m_dropReason.isEmpty() ? m_dropReason
                       : m_refusal ? QStringLiteral("login refused: %1").arg(refusalText(m_refusal))
                       : rc != MOSQ_ERR_SUCCESS
                           ? reason(rc, errno, m_client->lastError)
                           : QStringLiteral("the broker closed the connection"));
        return;
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_client->mosq));
}

void MqttConnection::dropConnection(const QString &why)
{
    retire(m_readNotifier);
    retire(m_writeNotifier);
    m_connack.stop();
    m_client.reset();
    m_state = State::Down;
    m_dropRequested = false;
    m_refusal = 0;
    m_dropReason.clear();
    if (dropped)
        dropped(why);
    if (!m_stopped)
        retryLater(why);
}

void MqttConnection::retryLater(const QString &why)
{
    if (retrying)
        retrying(why);
    m_retry.start(m_retryMs);
    m_retryMs = std::min(m_retryMs * 2, kLastRetryMs);
}

bool MqttConnection::publish(const QString &topic, const QByteArray &payload, bool retain,
                             int *mid)
{
    const QByteArray t = topic.toUtf8();
    const int rc = mosquitto_publish(m_client->mosq, mid, t.constData(), int(payload.size()),
                                     payload.constData(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        m_dropRequested = true;
        return false;
    }
    return true;
}

void MqttConnection::requestDrop(const QString &why)
{
    m_dropReason = why;
    m_dropRequested = true;
}

void MqttConnection::stop()
{
    m_stopped = true;
    m_misc.stop();
    m_retry.stop();
    m_connack.stop();
    const std::lock_guard<std::mutex> lock(m_gate->mutex);
    m_gate->owner = nullptr;
}

void MqttConnection::holdStill()
{
    retire(m_readNotifier);
    retire(m_writeNotifier);
}

bool MqttConnection::loopOnce()
{
    return m_client && mosquitto_loop(m_client->mosq, 100, 1) == MOSQ_ERR_SUCCESS;
}

void MqttConnection::disconnect(bool clean)
{
    if (!m_client)
        return;
    mosquitto_disconnect_v5(m_client->mosq, clean ? 0 : 4, nullptr);
    mosquitto_loop_write(m_client->mosq, 1);
}

void MqttConnection::release()
{
    retire(m_readNotifier);
    retire(m_writeNotifier);
    m_client.reset();
    m_state = State::Down;
    m_dropRequested = false;
}

void MqttConnection::lastChance(const QDeadlineTimer &deadline)
{
    release();
    QString error;
    std::unique_ptr<Client> client = makeClient(&error);
    if (!client)
        return;
    // The connect blocks (name lookup, TCP, TLS) on a thread of its own, so that a host that does
    // not answer cannot hold the end of the run past the deadline; a late answer is dropped.
    struct Attempt
    {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool abandoned = false;
        int rc = MOSQ_ERR_UNKNOWN;
        Client *client = nullptr;
    };
    auto attempt = std::make_shared<Attempt>();
    attempt->client = client.release();
    std::thread([attempt, host = m_options.host.toUtf8(), port = m_options.port] {
        const int rc = mosquitto_connect(attempt->client->mosq, host.constData(), port,
                                         kKeepAliveS);
        const std::lock_guard<std::mutex> lock(attempt->mutex);
        if (attempt->abandoned) {
            delete attempt->client;
            return;
        }
        attempt->rc = rc;
        attempt->finished = true;
        attempt->done.notify_all();
    }).detach();
    {
        std::unique_lock<std::mutex> lock(attempt->mutex);
        attempt->done.wait_for(lock, std::chrono::milliseconds(deadline.remainingTime()),
                               [&] { return attempt->finished; });
        if (!attempt->finished) {
            attempt->abandoned = true;
            return;
        }
        client.reset(attempt->client);
    }
    if (attempt->rc != MOSQ_ERR_SUCCESS)
        return;
    beginHandshake(std::move(client));
    while (m_state == State::Handshake && !m_dropRequested && !deadline.hasExpired())
        if (mosquitto_loop(m_client->mosq, 100, 1) != MOSQ_ERR_SUCCESS)
            break;
}

void MqttConnection::onConnect(mosquitto *, void *obj, int rc)
{
    auto *client = static_cast<Client *>(obj);
    MqttConnection *self = client->owner;
    if (!self)
        return;
    if (rc != 0) {
        self->m_refusal = rc;
        self->m_dropRequested = true;
        return;
    }
    self->m_state = State::Up;
    self->m_connack.stop();
    if (self->connected)
        self->connected();
}

void MqttConnection::onDisconnect(mosquitto *, void *obj, int)
{
    auto *client = static_cast<Client *>(obj);
    if (client->owner && !client->owner->m_stopped)
        client->owner->m_dropRequested = true;
}

void MqttConnection::onPublish(mosquitto *, void *obj, int mid, int reasonCode,
                               const mosquitto_property *)
{
    auto *client = static_cast<Client *>(obj);
    if (client->owner && client->owner->acknowledged)
        client->owner->acknowledged(mid, reasonCode);
}

void MqttConnection::onLog(mosquitto *, void *obj, int level, const char *text)
{
    // Called on the connect thread too, which alone holds the client then.
    if (level & MOSQ_LOG_ERR)
        static_cast<Client *>(obj)->lastError = QByteArray(text);
}
