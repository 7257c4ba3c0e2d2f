#include "app/FrameErrorGate.h"

#include <QtTest>

// The gate between frame failures and the error box, driven by scripts of events: "fail" (a
// frame failed), "ok" (a frame decoded) and "close" (the box was closed).
class TestFrameErrorGate : public QObject
{
    Q_OBJECT
private slots:
    void oneBoxPerRunOfFailures_data();
    void oneBoxPerRunOfFailures();
};

void TestFrameErrorGate::oneBoxPerRunOfFailures_data()
{
    QTest::addColumn<QStringList>("events");
    // Which "fail" events brought up a box, by their place in `events`.
    QTest::addColumn<QList<int>>("shown");
    QTest::addColumn<bool>("boxOpen");
    QTest::newRow("the first failure is shown") << QStringList{"fail"} << QList<int>{0} << true;
    QTest::newRow("failures while the box is open are dropped")
        << QStringList{"fail", "fail", "fail"} << QList<int>{0} << true;
    QTest::newRow("a failure right after the box is closed is dropped")
        << QStringList{"fail", "close", "fail"} << QList<int>{0} << false;
    QTest::newRow("a decoded frame after the box starts a new run")
        << QStringList{"fail", "close", "ok", "fail"} << QList<int>{0, 3} << true;
    QTest::newRow("frames decoded while the box is open do not end the run")
        << QStringList{"fail", "ok", "ok", "close", "fail"} << QList<int>{0} << false;
    QTest::newRow("good and bad frames mixed bring up one box while it is open")
        << QStringList{"ok", "fail", "ok", "fail", "ok", "fail"} << QList<int>{1} << true;
    QTest::newRow("decoded frames before any failure change nothing")
        << QStringList{"ok", "ok", "fail"} << QList<int>{2} << true;
    QTest::newRow("each run of failures gets its box")
        << QStringList{"fail", "close", "ok", "fail", "close", "ok", "fail"} << QList<int>{0, 3, 6}
        << true;
}

void TestFrameErrorGate::oneBoxPerRunOfFailures()
{
    QFETCH(QStringList, events);
    FrameErrorGate gate;
    QVERIFY(!gate.boxOpen());
    QList<int> boxes;
    for (int i = 0; i < events.size(); ++i) {
        if (events[i] == u"fail") {
            if (gate.failed())
                boxes << i;
        } else if (events[i] == u"ok") {
            gate.decoded();
        } else if (events[i] == u"close") {
            gate.boxClosed();
        }
    }
    QTEST(boxes, "shown");
    QTEST(gate.boxOpen(), "boxOpen");
}

QTEST_GUILESS_MAIN(TestFrameErrorGate)
#include "TestFrameErrorGate.moc"
