#include "mqtt/HomeAssistantDiscovery.h"

#include "mqtt/MqttOptions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// A topic level for a unit: "Ω" gives "ohm", "°C" gives "degC".
QString unitSlug(QString unit)
{
    unit.replace(QChar(0x03A9), QStringLiteral("ohm"));
    unit.replace(QChar(0x00B0), QStringLiteral("deg"));
    unit.replace(QChar(0x00B5), QStringLiteral("u"));
    return mqttoptions::topicSafe(unit);
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

} // namespace

HomeAssistantDiscovery::HomeAssistantDiscovery(const QString &id, const QString &readingTopic,
                                               const QString &statusTopic)
    : m_id(id), m_readingTopic(readingTopic), m_statusTopic(statusTopic)
{
}

QString HomeAssistantDiscovery::configTopic(const QString &id, const QString &slug)
{
    return QStringLiteral("homeassistant/sensor/%1/%2/config").arg(id, slug);
}

QString HomeAssistantDiscovery::sensorOf(const LogRecord &record)
{
    const SensorKey key = SensorKey::of(record);
    return key.unit.isEmpty() ? QString() : key.text();
}

QList<RetainedMessage> HomeAssistantDiscovery::onConnect() const
{
    // Earlier releases had one sensor for AC and DC volts (and amperes), which mixed the two in
    // Home Assistant's statistics. Their retained configs are removed (an empty retained config
    // deletes the entity); those of the units that keep one sensor are replaced in place, below,
    // as their units come.
    QList<RetainedMessage> messages;
    for (const char *unit : kMixedCouplingUnits)
        messages.append({configTopic(m_id, QString::fromLatin1(unit)), QByteArray()});
    messages.append(config(QString()));
    for (const QString &sensor : m_sensors)
        messages.append(config(sensor));
    return messages;
}

std::optional<RetainedMessage> HomeAssistantDiscovery::take(const LogRecord &record)
{
    const QString sensor = sensorOf(record);
    if (sensor.isEmpty() || m_sensors.contains(sensor))
        return std::nullopt;
    m_sensors.insert(sensor);
    return config(sensor);
}

RetainedMessage HomeAssistantDiscovery::config(const QString &sensor) const
{
    QJsonObject config{
        {QStringLiteral("state_topic"), m_readingTopic},
        {QStringLiteral("availability"),
         QJsonArray{QJsonObject{
             {QStringLiteral("topic"), m_statusTopic},
             {QStringLiteral("value_template"),
              QStringLiteral(
                  "{{ 'online' if value in ('online', 'spool-full') else 'offline' }}")}}}},
        {QStringLiteral("device"),
         QJsonObject{{QStringLiteral("identifiers"), QJsonArray{QStringLiteral("vorlatt_") + m_id}},
                     {QStringLiteral("name"), m_id},
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
        // Every other reading (another unit or coupling, an overload, a display that is no
        // number) renders as an empty text, which leaves the sensor's state as it was; anything
        // else non-numeric would be refused by Home Assistant as the state of a sensor with a
        // unit.
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
    config.insert(QStringLiteral("unique_id"), QStringLiteral("vorlatt_%1_%2").arg(m_id, slug));
    return {configTopic(m_id, slug), QJsonDocument(config).toJson(QJsonDocument::Compact)};
}
