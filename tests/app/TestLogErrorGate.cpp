#include "app/LogErrorGate.h"

#include <QtTest>

// The gate between the log's failures and the error box, driven by scripts of events:
// "fail:M" (the log failed with message M), "close" (the box was closed) and "fresh" (another
// file, New or a new interval).
class TestLogErrorGate : public QObject
{
    Q_OBJECT
private slots:
    void failuresShownOncePerFreshStart_data();
    void failuresShownOncePerFreshStart();
};

void TestLogErrorGate::failuresShownOncePerFreshStart_data()
{
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<bool>("admitsReadings");
    QTest::newRow("the first failure is shown and holds readings back")
        << QStringList{"fail:A"} << QStringList{"A"} << false;
    QTest::newRow("closing the box lets readings in again")
        << QStringList{"fail:A", "close"} << QStringList{"A"} << true;
    QTest::newRow("the same failure again stays hidden")
        << QStringList{"fail:A", "close", "fail:A", "fail:A"} << QStringList{"A"} << true;
    QTest::newRow("another failure is shown")
        << QStringList{"fail:A", "close", "fail:B"} << QStringList{"A", "B"} << false;
    QTest::newRow("the first failure after another is shown again")
        << QStringList{"fail:A", "close", "fail:B", "close", "fail:A"} << QStringList{"A", "B", "A"}
        << false;
    QTest::newRow("a fresh start shows the same failure again")
        << QStringList{"fail:A", "close", "fresh", "fail:A"} << QStringList{"A", "A"} << false;
    QTest::newRow("a fresh start leaves an open box open")
        << QStringList{"fail:A", "fresh"} << QStringList{"A"} << false;
    QTest::newRow("a fresh start before any failure changes nothing")
        << QStringList{"fresh", "fail:A", "close", "fail:A"} << QStringList{"A"} << true;
}

void TestLogErrorGate::failuresShownOncePerFreshStart()
{
    QFETCH(QStringList, events);
    QFETCH(QStringList, shown);
    LogErrorGate gate;
    QVERIFY(gate.admitsReadings());
    QStringList boxes;
    for (const QString &event : std::as_const(events)) {
        if (event.startsWith(u"fail:")) {
            const QString message = event.mid(5);
            if (gate.failed(message))
                boxes << message;
        } else if (event == u"close") {
            gate.boxClosed();
        } else if (event == u"fresh") {
            gate.freshStart();
        }
    }
    QCOMPARE(boxes, shown);
    QTEST(gate.admitsReadings(), "admitsReadings");
}

QTEST_GUILESS_MAIN(TestLogErrorGate)
#include "TestLogErrorGate.moc"
