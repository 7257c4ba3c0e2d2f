#include "tests/support/LocalBroker.h"
#include "mqtt/MqttConnection.h"

#include <QtTest>

// One connection to a real Mosquitto on 127.0.0.1: the first connect's answers, the
// acknowledgement of what is sent, and the retries while the broker is away.
class TestMqttConnection : public QObject
{
    Q_OBJECT

    struct Heard
    {
        int connected = 0;
        QList<int> acknowledged;
        QStringList dropped;
        QStringList retrying;
    };

    static MqttOptions options(int port)
    {
        MqttOptions o;
        o.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(port);
        o.host = QStringLiteral("127.0.0.1");
        o.port = port;
        o.prefix = QStringLiteral("lab");
        o.id = QStringLiteral("conn");
        return o;
    }
    static void listen(MqttConnection &c, Heard &h)
    {
        c.connected = [&h] { ++h.connected; };
        c.acknowledged = [&h](int mid, int) { h.acknowledged << mid; };
        c.dropped = [&h](const QString &why) { h.dropped << why; };
        c.retrying = [&h](const QString &why) { h.retrying << why; };
    }

private slots:
    // A broker that takes the connect: connected before connectFirst() returns, and a QoS 1
    // message sent through the event loop's notifiers comes back acknowledged by its id.
    void sentMessageIsAcknowledged()
    {
        LocalBroker broker;
        QVERIFY(broker.start());
        MqttConnection c(options(broker.port()));
        Heard h;
        listen(c, h);
        const MqttConnection::First first = c.connectFirst();
        QCOMPARE(first.fatal, QString());
        QVERIFY(first.reached);
        QCOMPARE(h.connected, 1);
        c.goOn();
        QVERIFY(c.isReady());
        int mid = 0;
        QVERIFY(c.publish(QStringLiteral("lab/conn/reading"), "{\"no\":1}", false, &mid));
        c.settle();
        QTRY_VERIFY(h.acknowledged.contains(mid));
        QVERIFY(h.dropped.isEmpty());
    }

    // A login the broker refuses ends the run before it begins, in words naming who.
    void refusedLoginIsFatal()
    {
        LocalBroker broker(false);
        QVERIFY(broker.start());
        MqttConnection c(options(broker.port()));
        Heard h;
        listen(c, h);
        const MqttConnection::First first = c.connectFirst();
        QVERIFY2(first.fatal.contains(QStringLiteral("refused the login as anonymous")),
                 qPrintable(first.fatal));
        QCOMPARE(h.connected, 0);
        QVERIFY(h.retrying.isEmpty());
    }

    // No broker at the start is no failure: the connection says why, waits twice as long before
    // each next attempt, takes the broker once it is there, and after losing it says so and
    // tries again from the first pause.
    void absentBrokerIsRetried()
    {
        LocalBroker broker;
        MqttConnection c(options(broker.port()));
        Heard h;
        listen(c, h);
        const MqttConnection::First first = c.connectFirst();
        QCOMPARE(first.fatal, QString());
        QVERIFY(!first.reached);
        QCOMPARE(h.retrying.size(), 1);
        QVERIFY2(h.retrying.front().contains(QStringLiteral("refused")),
                 qPrintable(h.retrying.front()));
        QCOMPARE(c.retryMs(), 2 * MqttConnection::kFirstRetryMs);

        QVERIFY(broker.start());
        QTRY_COMPARE_WITH_TIMEOUT(h.connected, 1, 20000);
        QTRY_VERIFY(c.isReady());
        c.resetRetry();
        broker.stop();
        QTRY_COMPARE_WITH_TIMEOUT(h.dropped.size(), 1, 20000);
        QVERIFY(!c.isUp());
        QCOMPARE(h.retrying.size(), 2);
        QCOMPARE(h.retrying.back(), h.dropped.front());
        QCOMPARE(c.retryMs(), 2 * MqttConnection::kFirstRetryMs);
    }
};

QTEST_GUILESS_MAIN(TestMqttConnection)
#include "TestMqttConnection.moc"
