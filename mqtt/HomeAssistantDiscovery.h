#pragma once

#include "log/LogRecord.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>

// One retained MQTT message: a topic and its payload (empty: the retained message is removed).
struct RetainedMessage
{
    QString topic;
    QByteArray payload;
};

// Home Assistant's discovery configs for one meter: a "Display" text sensor showing what the meter
// shows, and one numeric sensor per unit the readings have had (per coupling for volts and
// amperes, so its statistics never average AC with DC). Only the messages: the publisher sends
// them, retained, on every connect and when a reading brings a new unit.
class HomeAssistantDiscovery
{
public:
    // `id`: the meter's topic level; the readings and the status are on the two topics given.
    HomeAssistantDiscovery(const QString &id, const QString &readingTopic,
                           const QString &statusTopic);

    // What goes on every connect: the removal of the mixed AC/DC sensors of earlier releases, the
    // display's config, and the config of every sensor the readings have had so far.
    QList<RetainedMessage> onConnect() const;
    // The config of the reading's sensor when this is the first reading of it, else none (also
    // for a reading with no unit).
    std::optional<RetainedMessage> take(const LogRecord &record);

    // The sensor a reading goes to, as "V DC", "V" (volts with no coupling shown), "Hz"; empty
    // for a reading with no unit.
    static QString sensorOf(const LogRecord &record);
    // The config topic of a sensor's topic level ("display", "V_DC", "Hz", "ohm").
    static QString configTopic(const QString &id, const QString &slug);

private:
    // The display's config for an empty `sensor`, else that of a numeric sensor ("V DC", "Hz").
    RetainedMessage config(const QString &sensor) const;

    QString m_id;
    QString m_readingTopic;
    QString m_statusTopic;
    QSet<QString> m_sensors;
};
