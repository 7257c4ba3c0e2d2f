#include "mqtt/MqttPublisher.h"

#include "log/StateFolders.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

MqttPublisher::MqttPublisher(const MqttOptions &options, Report report, QObject *parent,
                             Clock clock)
    : QObject(parent), m_options(options), m_report(std::move(report)),
      m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentMSecsSinceEpoch(); })),
      m_pump(m_report), m_discovery(options.id, readingTopic(), statusTopic()),
      m_connection(options)
{
    m_pump.broken = [this](const QString &why) { failed(why); };
    m_pump.changed = [this] { publishStatus(); };
    m_connection.connected = [this] { connected(); };
    m_connection.acknowledged = [this](int mid, int reasonCode) { acknowledged(mid, reasonCode); };
    m_connection.ready = [this] { pump(); };
    m_connection.dropped = [this](const QString &) { dropped(); };
    m_connection.retrying = [this](const QString &why) { retrying(why); };
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

QString MqttPublisher::stamp(qint64 ms) const
{
    return logrecord::isoStamp(QDateTime::fromMSecsSinceEpoch(ms));
}

QString MqttPublisher::readPassword()
{
    if (m_options.passwordFile.isEmpty())
        return {};
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
    QByteArray password = file.readLine();
    while (password.endsWith('\n') || password.endsWith('\r'))
        password.chop(1);
    if (password.isEmpty())
        return QStringLiteral("the password file %1 is empty").arg(m_options.passwordFile);
    m_connection.setPassword(password);
    return {};
}

QString MqttPublisher::start()
{
    if (const QString error = readPassword(); !error.isEmpty())
        return error;
    if (m_options.insecure)
        m_report(QStringLiteral("warning: --mqtt-insecure: the broker's certificate is not "
                                "verified, so anyone between here and %1 can read the readings "
                                "and the password")
                     .arg(m_options.host));

    const QString folder = statefolders::state() + QStringLiteral("/mqtt/") + m_options.id;
    if (const QString error = m_pump.open(folder, m_options.spoolMaxBytes(), m_options.id);
        !error.isEmpty())
        return error;

    const MqttConnection::First first = m_connection.connectFirst();
    if (!first.fatal.isEmpty())
        return first.fatal;
    if (!first.reached)
        return {};
    m_report(QStringLiteral("publishing to %1 as %2").arg(m_options.url, readingTopic()));
    m_connection.goOn();
    return {};
}

void MqttPublisher::connected()
{
    // The outage ends with the first reading the broker takes, or now if none waits: a broker
    // that lets the logger in but refuses its readings is still out of reach.
    if (m_outage && m_pump.pendingLines() == 0)
        endOutage();
    publishStatus();
    if (m_options.discovery)
        for (const RetainedMessage &message : m_discovery.onConnect())
            sendRetained(message.topic, message.payload);
}

void MqttPublisher::dropped()
{
    m_otherTopics.clear();
    // What was in flight goes again, from the first reading not acknowledged.
    m_pump.rewind();
    m_statusSent.clear();
}

void MqttPublisher::retrying(const QString &why)
{
    if (!m_outage) {
        m_outage = true;
        m_outageSinceMs = m_clock();
        m_outageSpooled = 0;
        m_outageReason = why;
        m_report(QStringLiteral("MQTT broker %1 unreachable (%2); readings are spooled until it "
                                "is back")
                     .arg(m_connection.brokerName(), why));
    } else if (why != m_outageReason) {
        m_outageReason = why;
        m_report(QStringLiteral("MQTT broker %1 still unreachable (%2)")
                     .arg(m_connection.brokerName(), why));
    }
}

void MqttPublisher::endOutage()
{
    m_outage = false;
    m_connection.resetRetry();
    m_report(QStringLiteral("MQTT broker %1 back: out from %2 to %3, %4 reading%5 spooled "
                            "meanwhile; %6 waiting to go out now")
                 .arg(m_connection.brokerName(), stamp(m_outageSinceMs), stamp(m_clock()))
                 .arg(m_outageSpooled)
                 .arg(m_outageSpooled == 1 ? "" : "s")
                 .arg(m_pump.pendingLines()));
}

bool MqttPublisher::sendRetained(const QString &topic, const QByteArray &payload)
{
    int mid = 0;
    if (!m_connection.publish(topic, payload, true, &mid))
        return false;
    m_otherTopics.insert(mid, topic);
    return true;
}

bool MqttPublisher::sendUnspooled(const QByteArray &json)
{
    int mid = 0;
    if (!m_connection.publish(readingTopic(), json, false, &mid))
        return false;
    m_otherTopics.insert(mid, readingTopic());
    return true;
}

QString MqttPublisher::status() const
{
    return m_meterLost                             ? QStringLiteral("lost")
           : m_pump.full() || m_pump.unwritable() ? QStringLiteral("spool-full")
                                                  : QStringLiteral("online");
}

void MqttPublisher::publishStatus()
{
    if (!m_connection.isUp() || status() == m_statusSent)
        return;
    if (sendRetained(statusTopic(), status().toUtf8()))
        m_statusSent = status();
}

void MqttPublisher::publish(const LogRecord &record)
{
    if (m_closed)
        return;
    // A broken spool counts the reading as kept nowhere (take()); it announces no sensor.
    if (m_options.discovery && !m_pump.isBroken())
        if (const auto config = m_discovery.take(record); config && m_connection.isUp())
            sendRetained(config->topic, config->payload);
    const QByteArray json = readingJson(record);
    switch (m_pump.take(json, record.no)) {
    case SpoolPump::Taken::Spooled:
        if (!m_connection.isUp())
            ++m_outageSpooled;
        break;
    case SpoolPump::Taken::TurnedAway:
        break;
    case SpoolPump::Taken::Unspooled:
        // Straight from memory while the broker is there: no acknowledgement can keep it, but
        // the broker gets it.
        if (m_connection.isUp() && sendUnspooled(json))
            m_pump.sentFromMemory();
        break;
    case SpoolPump::Taken::NotKept:
        return;
    }
    if (m_connection.isUp())
        m_connection.settle();
}

void MqttPublisher::pump(bool closing)
{
    if (!m_connection.isReady() || (m_closed && !closing))
        return;
    m_pump.pump([this](const QByteArray &line, int *mid) {
        return m_connection.publish(readingTopic(), line, false, mid);
    });
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
                         .arg(m_connection.brokerName(), *other,
                              mqttconnection::refusalText(reasonCode)));
        }
        m_otherTopics.erase(other);
        return;
    }
    if (refused) {
        // Not delivered: the reading stays in the spool, and goes again after a reconnect.
        m_connection.requestDrop(QStringLiteral("it refuses readings on %1: %2; check its ACL")
                                     .arg(readingTopic(), mqttconnection::refusalText(reasonCode)));
        return;
    }
    if (m_outage)
        endOutage();
    m_pump.acknowledged(mid);
}

void MqttPublisher::linkChanged(const LinkState &state)
{
    const bool lost = state.kind == LinkState::Kind::Lost ||
                      (state.kind == LinkState::Kind::Silent && state.countsAsLoss);
    if (lost == m_meterLost)
        return;
    m_meterLost = lost;
    publishStatus();
    if (m_connection.isUp())
        m_connection.settle();
}

QString MqttPublisher::flush()
{
    if (!m_closed)
        m_pump.sync();
    return {};
}

void MqttPublisher::close()
{
    if (m_closed)
        return;
    m_closed = true;
    m_connection.stop();
    QDeadlineTimer deadline(kCloseMs);
    if (!m_connection.isUp() && m_pump.waiting() && m_options.drainSeconds > 0) {
        // The broker may be back within the reconnect back-off: a run that ends now (a script's
        // --duration) gives it one more chance at what waits, rather than leave it to a next run
        // that may never come.
        deadline = QDeadlineTimer(qint64(m_options.drainSeconds) * 1000);
        m_pump.rewind();
        m_connection.lastChance(deadline);
    }
    if (m_connection.isUp()) {
        // What waits in the spool gets a moment to go out, then the status says "offline"; what
        // is still not acknowledged stays for the next run.
        m_connection.holdStill();
        m_offlineAcked = false;
        bool offlineSent = false;
        while (!m_connection.isDropping() && !deadline.hasExpired() && !m_offlineAcked) {
            pump(true);
            if (!offlineSent && m_pump.idle()) {
                if (!m_connection.publish(statusTopic(), "offline", true, &m_offlineMid))
                    break;
                offlineSent = true;
            }
            if (!m_connection.loopOnce())
                break;
        }
        // Without the status sent, the broker is asked for the Last Will, which says the same.
        m_connection.disconnect(m_offlineAcked);
    }
    m_connection.release();
    if (m_outage)
        m_report(QStringLiteral("MQTT broker %1 unreachable since %2, to the end of the run; %3 "
                                "reading%4 spooled meanwhile")
                     .arg(m_connection.brokerName(), stamp(m_outageSinceMs))
                     .arg(m_outageSpooled)
                     .arg(m_outageSpooled == 1 ? "" : "s"));
    m_pump.finish(m_options.id);
}
