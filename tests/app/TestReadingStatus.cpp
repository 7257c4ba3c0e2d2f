#include "app/ReadingStatus.h"

#include <QtTest>

// Whether the reading shown is live and what the clock panel says, from a run of events:
// f a frame shown, d the watchdog darkening the link picture, s the record limit stopping the
// log, g the log taking readings again.
class TestReadingStatus : public QObject
{
    Q_OBJECT
private slots:
    void events_data();
    void events();
};

void TestReadingStatus::events_data()
{
    QTest::addColumn<QString>("events");
    QTest::addColumn<QString>("news"); // per event: 1 when it changed what is shown, else 0
    QTest::addColumn<bool>("stale");
    QTest::addColumn<QString>("panel"); // clock, silent or stopped
    QTest::newRow("start display never goes stale") << "ddd" << "000" << false << "clock";
    QTest::newRow("frames keep it live") << "fff" << "000" << false << "clock";
    QTest::newRow("silence after frames") << "fdd" << "010" << true << "silent";
    QTest::newRow("a frame ends the silence") << "fddf" << "0101" << false << "clock";
    QTest::newRow("silent again") << "fdfd" << "0111" << true << "silent";
    QTest::newRow("limit said once") << "fsfsfs" << "010000" << false << "stopped";
    QTest::newRow("silence goes before the limit") << "fsd" << "011" << true << "silent";
    QTest::newRow("limit shows again after silence") << "fsdf" << "0111" << false << "stopped";
    QTest::newRow("log takes readings again") << "fsfg" << "0101" << false << "clock";
}

void TestReadingStatus::events()
{
    QFETCH(QString, events);
    ReadingStatus status;
    const QDateTime start(QDate(2026, 3, 27), QTime(14, 5, 9));
    QDateTime now = start;
    QDateTime lastFrame;
    QString news;
    for (QChar e : events) {
        now = now.addSecs(1);
        bool changed = false;
        switch (e.unicode()) {
        case 'f':
            changed = status.frameShown(now.toMSecsSinceEpoch());
            lastFrame = now;
            break;
        case 'd':
            changed = status.linkDarkened();
            break;
        case 's':
            changed = status.setLogStopped(true, 10000);
            break;
        case 'g':
            changed = status.setLogStopped(false, 10000);
            break;
        }
        news += changed ? u'1' : u'0';
    }
    QTEST(news, "news");
    QTEST(status.stale(), "stale");
    QFETCH(QString, panel);
    const QString text = status.clockPanelText(now);
    if (panel == u"clock")
        QCOMPARE(text, now.toString(QStringLiteral("HH' : 'mm' : 'ss'     'MM' - 'dd' - 'yyyy")));
    else if (panel == u"silent")
        QCOMPARE(text, QStringLiteral("no data since ") +
                           lastFrame.toString(QStringLiteral("HH:mm:ss")));
    else
        QCOMPARE(text, QStringLiteral("Logging stopped: limit 10000"));
}

QTEST_APPLESS_MAIN(TestReadingStatus)
#include "TestReadingStatus.moc"
