#include "link/LinkWatchdog.h"

#include <QtTest>

// The watchdog's tick from the two counters: the indicator goes dark on the third tick without a
// frame, and a cable that sent 1900 or more empty reports in a row ends its link then.
class TestLinkWatchdog : public QObject
{
    Q_OBJECT
private slots:
    void tick_data();
    void tick();
};

void TestLinkWatchdog::tick_data()
{
    QTest::addColumn<int>("ticks");
    QTest::addColumn<int>("idle");
    QTest::addColumn<bool>("darken");
    QTest::addColumn<bool>("endUsb");
    QTest::addColumn<int>("ticksAfter");
    QTest::addColumn<int>("idleAfter");
    QTest::newRow("frame just seen") << 0 << 5000 << false << false << 1 << 5000;
    QTest::newRow("second tick") << 1 << 5000 << false << false << 2 << 5000;
    QTest::newRow("third tick, serial link") << 2 << 0 << true << false << 0 << 0;
    QTest::newRow("third tick, 1899 empty reports") << 2 << 1899 << true << false << 0 << 1899;
    QTest::newRow("third tick, 1900 empty reports") << 2 << 1900 << true << true << 0 << 0;
    QTest::newRow("third tick, more") << 2 << 250000 << true << true << 0 << 0;
}

void TestLinkWatchdog::tick()
{
    QFETCH(int, ticks);
    QFETCH(int, idle);
    qint32 LinkWatchTicks = ticks;
    qint32 UsbIdleReports = idle;
    const LinkWatchdog::Tick t = LinkWatchdog::ConTimerTick(LinkWatchTicks, UsbIdleReports);
    QTEST(t.darken, "darken");
    QTEST(t.endUsbLink, "endUsb");
    QTEST(int(LinkWatchTicks), "ticksAfter");
    QTEST(int(UsbIdleReports), "idleAfter");
}

QTEST_APPLESS_MAIN(TestLinkWatchdog)
#include "TestLinkWatchdog.moc"
