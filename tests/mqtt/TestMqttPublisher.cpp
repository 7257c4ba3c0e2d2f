#include "tests/support/LocalBroker.h"
#include "mqtt/MqttPublisher.h"

#include <QtTest>

#include <QDateTime>

// The publisher over a real Mosquitto on 127.0.0.1, with a clock of the test's own: what it says
// of an outage names the times the clock gave, so nothing here waits for the time to pass.
class TestMqttPublisher : public QObject
{
    Q_OBJECT

    QTemporaryDir m_state;

private slots:
    void initTestCase()
    {
        QVERIFY(m_state.isValid());
        qputenv("XDG_STATE_HOME", m_state.path().toUtf8());
    }

    // A broker absent at the start: the readings are spooled, and once it is back the report
    // says from when to when it was out (the clock's times) and how many were spooled meanwhile.
    void outageIsToldWithTheClocksTimes()
    {
        LocalBroker broker;
        MqttOptions o;
        o.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port());
        o.host = QStringLiteral("127.0.0.1");
        o.port = broker.port();
        o.prefix = QStringLiteral("lab");
        o.id = QStringLiteral("pub");
        o.drainSeconds = 0;
        const qint64 down = QDateTime(QDate(2026, 3, 1), QTime(8, 0)).toMSecsSinceEpoch();
        const qint64 back = QDateTime(QDate(2026, 3, 1), QTime(9, 30, 15)).toMSecsSinceEpoch();
        qint64 now = down;
        QStringList reports;
        MqttPublisher publisher(
            o, [&](const QString &s) { reports << s; }, nullptr, [&] { return now; });
        QCOMPARE(publisher.start(), QString());
        QVERIFY(reports.join(u'\n').contains(QStringLiteral("unreachable")));
        for (qint32 no = 1; no <= 3; ++no) {
            LogRecord r;
            r.no = no;
            r.when = down;
            r.reading.ValueText = QStringLiteral("1.000");
            r.reading.UnitText = QStringLiteral("V");
            QCOMPARE(publisher.take(r), QString());
        }
        QCOMPARE(publisher.flush(), QString());
        QCOMPARE(publisher.unacknowledged(), qint64(3));
        now = back;
        QVERIFY(broker.start());
        const QString said =
            QStringLiteral("back: out from %1 to %2, 3 readings spooled meanwhile")
                .arg(logrecord::isoStamp(QDateTime::fromMSecsSinceEpoch(down)),
                     logrecord::isoStamp(QDateTime::fromMSecsSinceEpoch(back)));
        QTRY_VERIFY_WITH_TIMEOUT(reports.join(u'\n').contains(said), 20000);
        QTRY_COMPARE(publisher.unacknowledged(), qint64(0));
        publisher.close();
    }
};

QTEST_GUILESS_MAIN(TestMqttPublisher)
#include "TestMqttPublisher.moc"
