#include "mqtt/MqttPublisher.h"

#include "log/StateFolders.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

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

// A topic level for a unit: "Ω" gives "ohm", "°C" gives "degC".
QString unitSlug(QString unit)
{
    unit.replace(QChar(0x03A9), QStringLiteral("ohm"));
    unit.replace(QChar(0x00B0), QStringLiteral("deg"));
    unit.replace(QChar(0x00B5), QStringLiteral("u"));
    return mqttoptions::topicSafe(unit);
}

// Home Assistant's discovery config topic of one of the meter's sensors.
QString discoveryTopic(const QString &id, const QString &slug)
{
    return QStringLiteral("homeassistant/sensor/%1/%2/config").arg(id, slug);
}

// Volts and amperes are measured as AC or as DC: two quantities, two sensors. Other units
// (ohms, hertz, degrees, farads, percent) get one sensor whatever the coupling sign says.
bool splitsByCoupling(const QString &baseUnit)
{
    return baseUnit == u"V" || baseUnit == u"A";
}

// The units of the sensors of earlier releases, one per base unit, whose topics and unique ids
// were the unit's slug alone: "V" took AC and DC alike.
const char *const kMixedCouplingUnits[] = {"V", "A"};

// Home Assistant's device class for a base unit, where it has one.
QString haDeviceClass(const QString &baseUnit)
{
    if (baseUnit == u"V")
        return QStringLiteral("voltage");
    if (baseUnit == u"A")
        return QStringLiteral("current");
    if (baseUnit == u"Hz")
        return QStringLiteral("frequency");
    if (baseUnit == u"\u00B0C" || baseUnit == u"\u00B0F")
        return QStringLiteral("temperature");
    return {};
}

// The numeric sensor a reading goes to: its base unit, and for volts and amperes its coupling
// ("DC", "AC" or none shown, as in the diode test). Written as one text, "V DC", "V", "Hz",
// for the set of sensors announced.
struct SensorKey
{
    QString unit;
    QString coupling;

    static SensorKey of(const LogRecord &record)
    {
        SensorKey key;
        key.unit = logrecord::baseUnit(record.unit());
        if (key.coupled())
            key.coupling = record.reading.AcDcText;
        return key;
    }
    static SensorKey parse(const QString &text)
    {
        return {text.section(u' ', 0, 0), text.section(u' ', 1)};
    }
    bool coupled() const { return splitsByCoupling(unit); }
    QString text() const { return coupling.isEmpty() ? unit : unit + u' ' + coupling; }
    QString name() const
    {
        if (!coupled())
            return unit;
        return coupling.isEmpty() ? unit + QStringLiteral(" without AC/DC")
                                  : unit + u' ' + coupling;
    }
    // Units that keep one sensor keep the topic and unique id of earlier releases (and so the
    // entity and its history in Home Assistant); the split ones take new ones.
    QString slug() const
    {
        if (!coupled())
            return unitSlug(unit);
        return unitSlug(unit) + u'_' + (coupling.isEmpty() ? QStringLiteral("none") : coupling);
    }
};

// The CONNACK codes of a refused login: MQTT 3.1.1, then 5.
bool isLoginRefusal(int rc)
{
    return rc == 4 || rc == 5 || rc == 134 || rc == 135;
}

QString refusalText(int rc)
{
    return QString::fromUtf8(rc < 128 ? mosquitto_connack_string(rc) : mosquitto_reason_string(rc));
}

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

} // namespace

// One connection's client and what the library said while it was made.
struct MqttPublisher::Client
{
    mosquitto *mosq = nullptr;
    MqttPublisher *owner = nullptr; // set when the client is handed to this thread
    QByteArray lastError;
    ~Client()
    {
        if (mosq)
            mosquitto_destroy(mosq);
    }
};

// The connect thread hands its client back through here; cleared when the publisher goes.
struct MqttPublisher::Gate
{
    std::mutex mutex;
    MqttPublisher *owner = nullptr;
};

MqttPublisher::MqttPublisher(const MqttOptions &options, Report report, QObject *parent)
    : QObject(parent), m_options(options), m_report(std::move(report)),
      m_gate(std::make_shared<Gate>())
{
    initLibrary();
    m_gate->owner = this;
    m_misc.setInterval(1000);
    connect(&m_misc, &QTimer::timeout, this, [this] {
        if (m_client && (m_state == State::Handshake || m_state == State::Up))
            afterLoop(mosquitto_loop_misc(m_client->mosq));
    });
    // Spooled readings reach the disk at least once a second.
    m_sync.setInterval(1000);
    connect(&m_sync, &QTimer::timeout, this, &MqttPublisher::syncSpool);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttPublisher::attemptInBackground);
    m_connack.setSingleShot(true);
    m_connack.setInterval(kConnackMs);
    connect(&m_connack, &QTimer::timeout, this,
            [this] { dropConnection(QStringLiteral("no answer to the connect")); });
}

MqttPublisher::~MqttPublisher()
{
    close();
}

QString MqttPublisher::readingTopic() const
{
    return m_options.prefix + u'/' + m_options.id + QStringLiteral("/reading");
}

QString MqttPublisher::statusTopic() const
{
    return m_options.prefix + u'/' + m_options.id + QStringLiteral("/status");
}

QString MqttPublisher::brokerName() const
{
    return QStringLiteral("%1:%2").arg(m_options.host).arg(m_options.port);
}

QString MqttPublisher::start()
{
    if (!m_options.passwordFile.isEmpty()) {
        const QByteArray path = QFile::encodeName(m_options.passwordFile);
        struct stat st
        {
        };
        if (::stat(path.constData(), &st) != 0)
            return QStringLiteral("cannot read the password file %1: %2")
                .arg(m_options.passwordFile, QString::fromLocal8Bit(std::strerror(errno)));
        if (st.st_mode & (S_IRGRP | S_IROTH))
            return QStringLiteral("the password file %1 can be read by other users (mode %2); "
                                  "make it private first: chmod 600 %1")
                .arg(m_options.passwordFile)
                .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
        QFile file(m_options.passwordFile);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("cannot read the password file %1: %2")
                .arg(m_options.passwordFile, file.errorString());
        m_password = file.readLine();
        while (m_password.endsWith('\n') || m_password.endsWith('\r'))
            m_password.chop(1);
        if (m_password.isEmpty())
            return QStringLiteral("the password file %1 is empty").arg(m_options.passwordFile);
    }
    if (m_options.insecure)
        m_report(QStringLiteral("warning: --mqtt-insecure: the broker's certificate is not "
                                "verified, so anyone between here and %1 can read the readings "
                                "and the password")
                     .arg(m_options.host));

    const QString folder = statefolders::state() + QStringLiteral("/mqtt/") + m_options.id;
    QString error = m_spool.open(folder, m_options.spoolMaxBytes());
    if (!error.isEmpty())
        return error;
    tellSpoolNotices();
    if (m_spool.pendingLines() > 0)
        m_report(QStringLiteral("%1 reading%2 left in the spool by an earlier run as %3 go out "
                                "first")
                     .arg(m_spool.pendingLines())
                     .arg(m_spool.pendingLines() == 1 ? "" : "s")
                     .arg(m_options.id));

    std::unique_ptr<Client> client = makeClient(&error);
    if (!client)
        return error;
    const int rc = mosquitto_connect(client->mosq, m_options.host.toUtf8().constData(),
                                     m_options.port, kKeepAliveS);
    const int errorNumber = errno;
    m_misc.start();
    m_sync.start();
    if (rc == MOSQ_ERR_TLS)
        return QStringLiteral("TLS with the MQTT broker %1 failed: %2")
            .arg(brokerName(), reason(rc, errorNumber, client->lastError));
    if (rc != MOSQ_ERR_SUCCESS) {
        retryLater(reason(rc, errorNumber, client->lastError));
        return {};
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
    if (isLoginRefusal(m_refusal))
        return QStringLiteral("the MQTT broker %1 refused the login as %2: %3")
            .arg(brokerName(),
                 m_options.user.isEmpty() ? QStringLiteral("anonymous") : m_options.user,
                 refusalText(m_refusal));
    if (loopRc == MOSQ_ERR_TLS)
        return QStringLiteral("TLS with the MQTT broker %1 failed: %2")
            .arg(brokerName(), reason(loopRc, errno, m_client->lastError));
    m_report(QStringLiteral("publishing to %1 as %2").arg(m_options.url, readingTopic()));
    if (m_state == State::Up) {
        watch();
        pump();
    } else {
        dropConnection(m_refusal                    ? refusalText(m_refusal)
                       : loopRc != MOSQ_ERR_SUCCESS ? reason(loopRc, errno, m_client->lastError)
                                                    : QStringLiteral("no answer to the connect"));
    }
    return {};
}

// A connected client becomes the publisher's, its callbacks set, waiting for the broker's answer.
void MqttPublisher::beginHandshake(std::unique_ptr<Client> client)
{
    m_client = std::move(client);
    m_client->owner = this;
    mosquitto_connect_callback_set(m_client->mosq, onConnect);
    mosquitto_disconnect_callback_set(m_client->mosq, onDisconnect);
    mosquitto_publish_v5_callback_set(m_client->mosq, onPublish);
    m_state = State::Handshake;
}

std::unique_ptr<MqttPublisher::Client> MqttPublisher::makeClient(QString *error)
{
    auto client = std::make_unique<Client>();
    // A clean session: the spool, not the broker, keeps what is not acknowledged.
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
    mosquitto_max_inflight_messages_set(m, kInFlight + 10);
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

QString MqttPublisher::reason(int rc, int errorNumber, const QByteArray &libraryError) const
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

void MqttPublisher::attemptInBackground()
{
    if (m_closed || m_state != State::Down)
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
        MqttPublisher *owner = gate->owner;
        QMetaObject::invokeMethod(
            owner, [owner, raw, rc, errorNumber] { owner->attempted(raw, rc, errorNumber); },
            Qt::QueuedConnection);
    }).detach();
}

void MqttPublisher::attempted(Client *raw, int rc, int errorNumber)
{
    std::unique_ptr<Client> client(raw);
    m_state = State::Down;
    if (m_closed)
        return;
    if (rc != MOSQ_ERR_SUCCESS) {
        retryLater(reason(rc, errorNumber, client->lastError));
        return;
    }
    beginHandshake(std::move(client));
    m_connack.start();
    watch();
}

void MqttPublisher::watch()
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

void MqttPublisher::afterLoop(int rc)
{
    if (!m_client)
        return;
    if (rc == MOSQ_ERR_SUCCESS && !m_dropRequested && m_state == State::Up)
        pump();
    if (rc != MOSQ_ERR_SUCCESS || m_dropRequested) {
        dropConnection(!m_publishRefusal.isEmpty() ? m_publishRefusal
                       : m_refusal ? QStringLiteral("login refused: %1").arg(refusalText(m_refusal))
                       : rc != MOSQ_ERR_SUCCESS
                           ? reason(rc, errno, m_client->lastError)
                           : QStringLiteral("the broker closed the connection"));
        return;
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_client->mosq));
}

void MqttPublisher::dropConnection(const QString &why)
{
    retire(m_readNotifier);
    retire(m_writeNotifier);
    m_connack.stop();
    m_client.reset();
    m_state = State::Down;
    m_dropRequested = false;
    m_refusal = 0;
    m_publishRefusal.clear();
    m_otherTopics.clear();
    // What was in flight goes again, from the first reading not acknowledged.
    m_inFlight.clear();
    m_spool.rewind();
    m_statusSent.clear();
    if (!m_closed)
        retryLater(why);
}

void MqttPublisher::retryLater(const QString &why)
{
    if (!m_outage) {
        m_outage = true;
        m_outageSince = QDateTime::currentDateTime();
        m_outageSpooled = 0;
        m_outageReason = why;
        m_report(QStringLiteral("MQTT broker %1 unreachable (%2); readings are spooled until it "
                                "is back")
                     .arg(brokerName(), why));
    } else if (why != m_outageReason) {
        m_outageReason = why;
        m_report(QStringLiteral("MQTT broker %1 still unreachable (%2)").arg(brokerName(), why));
    }
    m_retry.start(m_retryMs);
    m_retryMs = std::min(m_retryMs * 2, kLastRetryMs);
}

void MqttPublisher::connected()
{
    m_state = State::Up;
    m_connack.stop();
    // The outage ends with the first reading the broker takes, or now if none waits: a broker
    // that lets the logger in but refuses its readings is still out of reach.
    if (m_outage && m_spool.pendingLines() == 0)
        endOutage();
    publishStatus();
    if (m_options.discovery) {
        // Earlier releases had one sensor for AC and DC volts (and amperes), which mixed the two
        // in Home Assistant's statistics. Their retained configs are removed (an empty retained
        // config deletes the entity); those of the units that keep one sensor are replaced in
        // place, below, as their units come.
        for (const char *unit : kMixedCouplingUnits)
            send(discoveryTopic(m_options.id, QString::fromLatin1(unit)), QByteArray(), true);
        publishDiscovery(QString());
        const QSet<QString> sensors = m_sensors;
        for (const QString &sensor : sensors)
            publishDiscovery(sensor);
    }
}

void MqttPublisher::endOutage()
{
    m_outage = false;
    m_retryMs = kFirstRetryMs;
    m_report(QStringLiteral("MQTT broker %1 back: out from %2 to %3, %4 reading%5 spooled "
                            "meanwhile; %6 waiting to go out now")
                 .arg(brokerName(), logrecord::isoStamp(m_outageSince),
                      logrecord::isoStamp(QDateTime::currentDateTime()))
                 .arg(m_outageSpooled)
                 .arg(m_outageSpooled == 1 ? "" : "s")
                 .arg(m_spool.pendingLines()));
}

bool MqttPublisher::send(const QString &topic, const QByteArray &payload, bool retain, int *mid)
{
    const QByteArray t = topic.toUtf8();
    int sent = 0;
    const int rc = mosquitto_publish(m_client->mosq, &sent, t.constData(), int(payload.size()),
                                     payload.constData(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        m_dropRequested = true;
        return false;
    }
    if (mid)
        *mid = sent;
    else
        m_otherTopics.insert(sent, topic);
    return true;
}

QString MqttPublisher::status() const
{
    return m_meterLost               ? QStringLiteral("lost")
           : m_full || m_spoolDown ? QStringLiteral("spool-full")
                                   : QStringLiteral("online");
}

void MqttPublisher::publishStatus()
{
    if (m_state != State::Up || status() == m_statusSent)
        return;
    if (send(statusTopic(), status().toUtf8(), true))
        m_statusSent = status();
}

void MqttPublisher::publishDiscovery(const QString &sensor)
{
    QJsonObject config{
        {QStringLiteral("state_topic"), readingTopic()},
        {QStringLiteral("availability"),
         QJsonArray{QJsonObject{
             {QStringLiteral("topic"), statusTopic()},
             {QStringLiteral("value_template"),
              QStringLiteral(
                  "{{ 'online' if value in ('online', 'spool-full') else 'offline' }}")}}}},
        {QStringLiteral("device"),
         QJsonObject{
             {QStringLiteral("identifiers"), QJsonArray{QStringLiteral("vorlatt_") + m_options.id}},
             {QStringLiteral("name"), m_options.id},
             {QStringLiteral("model"), QStringLiteral("vorlatt-log")}}},
    };
    QString slug;
    if (sensor.isEmpty()) {
        // The display as the meter shows it, "OL" for an overload.
        slug = QStringLiteral("display");
        config.insert(QStringLiteral("name"), QStringLiteral("Display"));
        config.insert(QStringLiteral("value_template"),
                      QStringLiteral("{{ [value_json.acdc, 'OL' if value_json.overload is defined "
                                     "else value_json.value, value_json.plain_unit] "
                                     "| select | join(' ') }}"));
    } else {
        // One sensor per unit and, for volts and amperes, per coupling, so each keeps one
        // quantity and Home Assistant's statistics never average AC with DC. Every other reading
        // (another unit or coupling, an overload, a display that is no number) renders as an
        // empty text, which leaves the sensor's state as it was; anything else non-numeric would
        // be refused by Home Assistant as the state of a sensor with a unit.
        const SensorKey key = SensorKey::parse(sensor);
        slug = key.slug();
        config.insert(QStringLiteral("name"), key.name());
        config.insert(QStringLiteral("unit_of_measurement"), key.unit);
        config.insert(QStringLiteral("state_class"), QStringLiteral("measurement"));
        const QString deviceClass = haDeviceClass(key.unit);
        if (!deviceClass.isEmpty())
            config.insert(QStringLiteral("device_class"), deviceClass);
        QString test = QStringLiteral("value_json.base_unit == '%1'").arg(key.unit);
        if (key.coupled())
            test += QStringLiteral(" and value_json.acdc == '%1'").arg(key.coupling);
        config.insert(QStringLiteral("value_template"),
                      QStringLiteral("{% if ") + test +
                          QStringLiteral(" and value_json.base_value is defined %}"
                                         "{{ value_json.base_value }}{% endif %}"));
    }
    config.insert(QStringLiteral("unique_id"),
                  QStringLiteral("vorlatt_%1_%2").arg(m_options.id, slug));
    send(discoveryTopic(m_options.id, slug), QJsonDocument(config).toJson(QJsonDocument::Compact),
         true);
}

void MqttPublisher::publish(const LogRecord &record)
{
    if (m_spoolBroken && !m_closed) {
        // The run ends: this reading is in no output.
        if (m_notKept++ == 0)
            m_firstNotKept = record.no;
        return;
    }
    if (m_closed)
        return;
    if (m_options.discovery) {
        const SensorKey key = SensorKey::of(record);
        const QString sensor = key.text();
        if (!key.unit.isEmpty() && !m_sensors.contains(sensor)) {
            m_sensors.insert(sensor);
            if (m_state == State::Up)
                publishDiscovery(sensor);
        }
    }
    const QByteArray json = readingJson(record);
    switch (m_spool.append(json, record.no)) {
    case MqttSpool::Append::Spooled:
        if (m_spoolDown)
            spoolWritableAgain(record.no);
        if (m_full) {
            m_full = false;
            m_report(QStringLiteral("the MQTT spool takes readings again from no. %1; %2 "
                                    "reading%3 from no. %4 on were not published (the output "
                                    "file has them)")
                         .arg(record.no)
                         .arg(m_turnedAway)
                         .arg(m_turnedAway == 1 ? "" : "s")
                         .arg(m_firstTurnedAway));
            publishStatus();
        }
        if (m_state != State::Up)
            ++m_outageSpooled;
        break;
    case MqttSpool::Append::Full:
        if (!m_full) {
            m_full = true;
            m_turnedAway = 0;
            m_firstTurnedAway = record.no;
            m_report(QStringLiteral("the MQTT spool is full (%1 MB, --mqtt-spool-max): from "
                                    "no. %2 on, readings are not published until the broker has "
                                    "taken the spooled ones; the output file still gets every "
                                    "reading")
                         .arg(m_options.spoolMaxMb)
                         .arg(record.no));
            publishStatus();
        }
        ++m_turnedAway;
        break;
    case MqttSpool::Append::Failed:
        if (!m_keptElsewhere) {
            m_notKept = 1;
            m_firstNotKept = record.no;
            spoolFailed();
            return;
        }
        spoolUnwritable(m_spool.error(), record.no);
        ++m_unspooled;
        // Straight from memory while the broker is there: no acknowledgement can keep it, but
        // the broker gets it.
        if (m_state == State::Up && send(readingTopic(), json, false))
            ++m_sentFromMemory;
        break;
    }
    if (m_state == State::Up)
        afterLoop(MOSQ_ERR_SUCCESS);
}

void MqttPublisher::pump(bool closing)
{
    while (m_state == State::Up && (!m_closed || closing) && !m_dropRequested &&
           m_inFlight.size() < size_t(kInFlight)) {
        QByteArray line;
        MqttSpool::Position end;
        const bool more = m_spool.next(&line, &end);
        tellSpoolNotices();
        if (!more) {
            if (!m_spool.error().isEmpty())
                spoolFailed();
            return;
        }
        int mid = 0;
        if (!send(readingTopic(), line, false, &mid))
            return;
        m_inFlight.push_back({mid, end, false});
    }
}

void MqttPublisher::acknowledged(int mid, int reasonCode)
{
    if (mid == m_offlineMid) {
        m_offlineAcked = true;
        return;
    }
    // MQTT 5 says when the broker takes a message but will not pass it on (its ACL, say).
    const bool refused = reasonCode >= 128;
    if (const auto other = m_otherTopics.constFind(mid); other != m_otherTopics.cend()) {
        if (refused && !m_refusedTopics.contains(*other)) {
            m_refusedTopics.insert(*other);
            m_report(QStringLiteral("the MQTT broker %1 refuses %2: %3")
                         .arg(brokerName(), *other, refusalText(reasonCode)));
        }
        m_otherTopics.erase(other);
        return;
    }
    if (refused) {
        // Not delivered: the reading stays in the spool, and goes again after a reconnect.
        m_publishRefusal = QStringLiteral("it refuses readings on %1: %2; check its ACL")
                               .arg(readingTopic(), refusalText(reasonCode));
        m_dropRequested = true;
        return;
    }
    // The acknowledgements come in order; one that does not is marked and waits for the others.
    for (InFlight &f : m_inFlight)
        if (f.mid == mid) {
            f.acked = true;
            break;
        }
    if (m_outage)
        endOutage();
    qint64 done = 0;
    MqttSpool::Position end;
    while (!m_inFlight.empty() && m_inFlight.front().acked) {
        end = m_inFlight.front().end;
        m_inFlight.pop_front();
        ++done;
    }
    if (done > 0)
        m_spool.acknowledge(end, done);
}

void MqttPublisher::linkChanged(const LinkState &state)
{
    const bool lost = state.kind == LinkState::Kind::Lost ||
                      (state.kind == LinkState::Kind::Silent && state.countsAsLoss);
    if (lost == m_meterLost)
        return;
    m_meterLost = lost;
    publishStatus();
    if (m_state == State::Up)
        afterLoop(MOSQ_ERR_SUCCESS);
}

void MqttPublisher::syncSpool()
{
    if (m_spoolBroken)
        return;
    const QString error = m_spool.sync();
    if (error.isEmpty())
        return;
    if (!m_keptElsewhere)
        spoolFailed();
    else
        spoolUnwritable(error, -1);
}

void MqttPublisher::spoolUnwritable(const QString &reason, qint64 no)
{
    if (m_spoolDown)
        return;
    m_spoolDown = true;
    m_unspooled = 0;
    m_sentFromMemory = 0;
    m_firstUnspooled = no;
    m_report(QStringLiteral("the MQTT spool cannot be written: %1; %2, readings are published "
                            "straight from memory while the broker is connected, without the "
                            "spool's guarantee (one the broker does not take is lost to it), and "
                            "none while it is not; the other outputs still get every reading")
                 .arg(reason, no >= 0 ? QStringLiteral("from no. %1 on").arg(no)
                                      : QStringLiteral("from the next reading on")));
    publishStatus();
}

void MqttPublisher::spoolWritableAgain(qint64 no)
{
    // Back only once what is spooled can be put on the disk too.
    if (!m_spool.sync().isEmpty())
        return;
    m_spoolDown = false;
    m_report(QStringLiteral("the MQTT spool takes readings again from no. %1; %2")
                 .arg(no)
                 .arg(unspooledText()));
    publishStatus();
}

QString MqttPublisher::unspooledText() const
{
    if (m_unspooled == 0)
        return QStringLiteral("no reading was left out of it");
    return QStringLiteral("%1 reading%2 from no. %3 on were not spooled: %4 sent straight from "
                          "memory, %5 not published (the other outputs have them)")
        .arg(m_unspooled)
        .arg(m_unspooled == 1 ? "" : "s")
        .arg(m_firstUnspooled)
        .arg(m_sentFromMemory)
        .arg(m_unspooled - m_sentFromMemory);
}

void MqttPublisher::tellSpoolNotices()
{
    for (const QString &notice : m_spool.takeNotices())
        m_report(notice);
}

void MqttPublisher::spoolFailed()
{
    if (m_spoolBroken)
        return;
    m_spoolBroken = true;
    const QString why = QStringLiteral("cannot keep the MQTT spool: %1").arg(m_spool.error());
    m_report(why);
    // The readings would be lost: the run should end.
    failed(why);
}

qint64 MqttPublisher::notKept() const
{
    return m_notKept;
}

void MqttPublisher::setKeptElsewhere(bool kept)
{
    m_keptElsewhere = kept;
}

void MqttPublisher::close()
{
    if (m_closed)
        return;
    m_closed = true;
    m_misc.stop();
    m_sync.stop();
    m_retry.stop();
    m_connack.stop();
    {
        const std::lock_guard<std::mutex> lock(m_gate->mutex);
        m_gate->owner = nullptr;
    }
    QDeadlineTimer deadline(kCloseMs);
    if (m_state != State::Up && !m_spoolBroken && m_spool.isOpen() &&
        m_spool.pendingLines() > 0 && m_options.drainSeconds > 0) {
        // The broker may be back within the reconnect back-off: a run that ends now (a script's
        // --duration) gives it one more chance at what waits, rather than leave it to a next run
        // that may never come.
        deadline = QDeadlineTimer(qint64(m_options.drainSeconds) * 1000);
        retire(m_readNotifier);
        retire(m_writeNotifier);
        m_client.reset();
        m_state = State::Down;
        m_dropRequested = false;
        m_inFlight.clear();
        m_spool.rewind();
        lastChance(deadline);
    }
    if (m_client && m_state == State::Up) {
        // What waits in the spool gets a moment to go out, then the status says "offline"; what
        // is still not acknowledged stays for the next run.
        retire(m_readNotifier);
        retire(m_writeNotifier);
        m_offlineAcked = false;
        bool offlineSent = false;
        while (!m_dropRequested && !deadline.hasExpired() && !m_offlineAcked) {
            pump(true);
            if (!offlineSent && m_inFlight.empty()) {
                const QByteArray topic = statusTopic().toUtf8();
                if (mosquitto_publish(m_client->mosq, &m_offlineMid, topic.constData(), 7,
                                      "offline", 1, true) != MOSQ_ERR_SUCCESS)
                    break;
                offlineSent = true;
            }
            if (mosquitto_loop(m_client->mosq, 100, 1) != MOSQ_ERR_SUCCESS)
                break;
        }
        // Without the status sent, the broker is asked for the Last Will, which says the same.
        mosquitto_disconnect_v5(m_client->mosq, m_offlineAcked ? 0 : 4, nullptr);
        mosquitto_loop_write(m_client->mosq, 1);
    }
    retire(m_readNotifier);
    retire(m_writeNotifier);
    m_client.reset();
    m_state = State::Down;
    if (m_outage)
        m_report(QStringLiteral("MQTT broker %1 unreachable since %2, to the end of the run; %3 "
                                "reading%4 spooled meanwhile")
                     .arg(brokerName(), logrecord::isoStamp(m_outageSince))
                     .arg(m_outageSpooled)
                     .arg(m_outageSpooled == 1 ? "" : "s"));
    if (m_notKept > 0)
        m_report(QStringLiteral("%1 reading%2 from no. %3 on %4 kept nowhere: the MQTT spool "
                                "was the only output")
                     .arg(m_notKept)
                     .arg(m_notKept == 1 ? "" : "s")
                     .arg(m_firstNotKept)
                     .arg(m_notKept == 1 ? "is" : "are"));
    if (m_spoolDown)
        m_report(QStringLiteral("the MQTT spool could not be written to the end of the run; %1")
                     .arg(unspooledText()));
    // A spool this run never had (another run holds it) is not this run's to report on.
    if (!m_spoolBroken && m_spool.isOpen()) {
        const QString error = m_spool.sync();
        if (!error.isEmpty()) {
            if (!m_spoolDown) // else said already
                m_report(QStringLiteral("cannot keep the MQTT spool: %1").arg(error));
        } else if (m_spool.pendingLines() > 0) {
            m_report(QStringLiteral("%1 reading%2 not yet acknowledged stay in %3; the next run "
                                    "with --mqtt-id %4 publishes them first")
                         .arg(m_spool.pendingLines())
                         .arg(m_spool.pendingLines() == 1 ? "" : "s")
                         .arg(m_spool.folder(), m_options.id));
        }
    }
}

void MqttPublisher::lastChance(const QDeadlineTimer &deadline)
{
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

void MqttPublisher::onConnect(mosquitto *, void *obj, int rc)
{
    auto *client = static_cast<Client *>(obj);
    MqttPublisher *self = client->owner;
    if (!self)
        return;
    if (rc != 0) {
        self->m_refusal = rc;
        self->m_dropRequested = true;
        return;
    }
    self->connected();
}

void MqttPublisher::onDisconnect(mosquitto *, void *obj, int)
{
    auto *client = static_cast<Client *>(obj);
    if (client->owner && !client->owner->m_closed)
        client->owner->m_dropRequested = true;
}

void MqttPublisher::onPublish(mosquitto *, void *obj, int mid, int reasonCode,
                              const mosquitto_property *)
{
    auto *client = static_cast<Client *>(obj);
    if (client->owner)
        client->owner->acknowledged(mid, reasonCode);
}

void MqttPublisher::onLog(mosquitto *, void *obj, int level, const char *text)
{
    // Called on the connect thread too, which alone holds the client then.
    if (level & MOSQ_LOG_ERR)
        static_cast<Client *>(obj)->lastError = QByteArray(text);
}
