#include "app/ReadingStatus.h"

#include <QtTest>

// Whether the reading shown is live and what the clock panel says, from a run of events:
// f a frame shown, d the watchdog darkening the link picture, s the record limit stopping the
// log, g the log taking readings again, n a save's notice, t a second with nothing new.
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
    QTest::addColumn<QString>("panel"); // clock, silent, stopped, unprotected or notice
    QTest::newRow("start display never goes stale") << "ddd" << "000" << false << "clock";
    QTest::newRow("frames keep it live") << "fff" << "000" << false << "clock";
    QTest::newRow("silence after frames") << "fdd" << "010" << true << "silent";
    QTest::newRow("a frame ends the silence") << "fddf" << "0101" << false << "clock";
    QTest::newRow("silent again") << "fdfd" << "0111" << true << "silent";
    QTest::newRow("limit said once") << "fsfsfs" << "010000" << false << "stopped";
    QTest::newRow("silence goes before the limit") << "fsd" << "011" << true << "silent";
    QTest::newRow("limit shows again after silence") << "fsdf" << "0111" << false << "stopped";
    QTest::newRow("log takes readings again") << "fsfg" << "0101" << false << "clock";
    QTest::newRow("notice goes before silence") << "fdn"
                                                << "010" << true << "notice";
    QTest::newRow("notice goes before the limit") << "fsnt"
                                                  << "0100" << false << "notice";
    QTest::newRow("notice stays its seconds") << "fdntttt"
                                              << "0100000" << true << "notice";
    QTest::newRow("then the silence shows again") << "fdnttttt"
                                                  << "01000000" << true << "silent";
    QTest::newRow("then the clock shows again") << "fnttttt"
                                                << "0000000" << false << "clock";
    // u: the journal cannot be written; p: it is written again.
    QTest::newRow("unprotected goes before the limit") << "fsu" << "010" << false << "unprotected";
    QTest::newRow("silence goes before unprotected") << "fud" << "001" << true << "silent";
    QTest::newRow("unprotected lasts until protected") << "futttp" << "000000" << false << "clock";
    QTest::newRow("unprotected lasts") << "futtt" << "00000" << false << "unprotected";
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
        case 'u':
            status.setUnprotected(QStringLiteral("Read-only file system"));
            break;
        case 'p':
            status.setUnprotected({});
            break;
        case 'n':
            status.showNotice(ReadingStatus::savedText(2061, QStringLiteral("run.db")),
                              now.addSecs(ReadingStatus::kNoticeSeconds));
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
    else if (panel == u"unprotected")
        QCOMPARE(text, QStringLiteral("Readings not protected: Read-only file system"));
    else if (panel == u"notice")
        QCOMPARE(text, QStringLiteral("Saved 2061 readings to run.db"));
    else
        QCOMPARE(text, QStringLiteral("Logging stopped: limit 10000"));
}

QTEST_APPLESS_MAIN(TestReadingStatus)
#include "TestReadingStatus.moc"
