#include "mqtt/HomeAssistantDiscovery.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>

// Home Assistant's configs as the meter's readings bring their units: which sensor a reading
// goes to, the fields Home Assistant keys its entities and statistics on, and what goes on every
// connect.
class TestHomeAssistantDiscovery : public QObject
{
    Q_OBJECT

    static LogRecord record(const QString &unit, const QString &coupling = QString())
    {
        LogRecord r;
        r.no = 1;
        r.reading.UnitText = unit;
        r.reading.AcDcText = coupling;
        return r;
    }
    static HomeAssistantDiscovery discovery()
    {
        return HomeAssistantDiscovery(QStringLiteral("lab1"), QStringLiteral("lab/lab1/reading"),
                                      QStringLiteral("lab/lab1/status"));
    }
    static QJsonObject json(const RetainedMessage &m)
    {
        return QJsonDocument::fromJson(m.payload).object();
    }

private slots:
    // Volts and amperes split by coupling; every other unit keeps one sensor, whose topic and
    // unique id are the unit's alone (those of earlier releases, so its history stays).
    void sensorPerUnitAndCoupling_data()
    {
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("coupling");
        QTest::addColumn<QString>("slug");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("unitOfMeasurement");
        QTest::addColumn<QString>("deviceClass");

        QTest::newRow("mV DC") << "mV" << "DC" << "V_DC" << "V DC" << "V" << "voltage";
        QTest::newRow("V AC") << "V" << "AC" << "V_AC" << "V AC" << "V" << "voltage";
        QTest::newRow("V, no coupling") << "V" << "" << "V_none" << "V without AC/DC" << "V"
                                        << "voltage";
        QTest::newRow("mA AC") << "mA" << "AC" << "A_AC" << "A AC" << "A" << "current";
        QTest::newRow("kHz keeps one") << "kHz" << "AC" << "Hz" << "Hz" << "Hz" << "frequency";
        QTest::newRow("degC") << QStringLiteral("\u00B0C") << "" << "degC"
                              << QStringLiteral("\u00B0C") << QStringLiteral("\u00B0C")
                              << "temperature";
        QTest::newRow("ohm, no class") << QStringLiteral("k\u03A9") << "" << "ohm"
                                       << QStringLiteral("\u03A9") << QStringLiteral("\u03A9")
                                       << "";
    }
    void sensorPerUnitAndCoupling()
    {
        QFETCH(QString, unit);
        QFETCH(QString, coupling);
        QFETCH(QString, slug);
        QFETCH(QString, name);
        QFETCH(QString, unitOfMeasurement);
        QFETCH(QString, deviceClass);

        HomeAssistantDiscovery d = discovery();
        const std::optional<RetainedMessage> config = d.take(record(unit, coupling));
        QVERIFY(config);
        QCOMPARE(config->topic, QStringLiteral("homeassistant/sensor/lab1/%1/config").arg(slug));
        const QJsonObject o = json(*config);
        QCOMPARE(o.value(u"unique_id").toString(), QStringLiteral("vorlatt_lab1_") + slug);
        QCOMPARE(o.value(u"name").toString(), name);
        QCOMPARE(o.value(u"unit_of_measurement").toString(), unitOfMeasurement);
        QCOMPARE(o.value(u"device_class").toString(), deviceClass);
        QCOMPARE(o.value(u"state_class").toString(), QStringLiteral("measurement"));
        QCOMPARE(o.value(u"state_topic").toString(), QStringLiteral("lab/lab1/reading"));
        // Announced once: the next reading of the same sensor brings nothing.
        QVERIFY(!d.take(record(unit, coupling)));
    }

    // A reading without a unit has no numeric sensor.
    void noUnitNoSensor()
    {
        HomeAssistantDiscovery d = discovery();
        QVERIFY(!d.take(record(QString())));
        QCOMPARE(d.onConnect().size(), 3);
    }

    // Every connect removes the mixed AC/DC sensors of earlier releases first (an empty retained
    // config), then sends the display and every sensor seen so far, so a broker that lost its
    // retained messages gets them all again.
    void everyConnectSendsRemovalsDisplayAndKnownSensors()
    {
        HomeAssistantDiscovery d = discovery();
        QVERIFY(d.take(record(QStringLiteral("V"), QStringLiteral("DC"))));
        QVERIFY(d.take(record(QStringLiteral("Hz"))));
        const QList<RetainedMessage> messages = d.onConnect();
        QCOMPARE(messages.size(), 5);
        QCOMPARE(messages[0].topic, QStringLiteral("homeassistant/sensor/lab1/V/config"));
        QVERIFY(messages[0].payload.isEmpty());
        QCOMPARE(messages[1].topic, QStringLiteral("homeassistant/sensor/lab1/A/config"));
        QVERIFY(messages[1].payload.isEmpty());
        QCOMPARE(messages[2].topic, QStringLiteral("homeassistant/sensor/lab1/display/config"));
        QCOMPARE(json(messages[2]).value(u"unique_id").toString(),
                 QStringLiteral("vorlatt_lab1_display"));
        QStringList rest{messages[3].topic, messages[4].topic};
        rest.sort();
        QCOMPARE(rest, (QStringList{QStringLiteral("homeassistant/sensor/lab1/Hz/config"),
                                    QStringLiteral("homeassistant/sensor/lab1/V_DC/config")}));
        for (const RetainedMessage &m : messages.mid(2))
            QCOMPARE(json(m)
                         .value(u"availability")
                         .toArray()
                         .at(0)
                         .toObject()
                         .value(u"topic")
                         .toString(),
                     QStringLiteral("lab/lab1/status"));
    }
};

QTEST_GUILESS_MAIN(TestHomeAssistantDiscovery)
#include "TestHomeAssistantDiscovery.moc"
