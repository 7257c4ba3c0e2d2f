#include "LogFolder.h"
#include "log/LogReport.h"
#include "log/ReadingLog.h"
#include "log/ReportPreview.h"

#include <QAction>
#include <QLabel>
#include <QToolBar>
#include <QtTest>

#include <memory>

// The report's preview over a long log.
class TestReportPreview : public QObject
{
    Q_OBJECT
private slots:
    void buttonsStayAsThePageLabelChanges();
};

// Paging from the first page to the last of a 100000-record log ("1 / 2703" to "2703 / 2703")
// leaves every button where it was.
void TestReportPreview::buttonsStayAsThePageLabelChanges()
{
    LogFolder folder;
    ReadingLog log;
    LogFeed feed(
        log, [] { return QDateTime(QDate(2026, 12, 10), QTime(10, 20, 30)).toMSecsSinceEpoch(); });
    openAsAtStartUp(log);
    log.rules().setLimit(ReadingLog::kLimitItems.back());
    const protocol::MeterReading reading{QStringLiteral("1.000"), 1000.0f, QStringLiteral("DC"),
                                         QStringLiteral("V"), QStringLiteral("AUTO")};
    for (int i = 0; i < 100000; ++i)
        QVERIFY(feed.offer(reading).logged);
    const LogReport report(log.table());
    QCOMPARE(report.pageCount(), 2703);

    ReportPreview preview(report);
    preview.show();
    QVERIFY(QTest::qWaitForWindowExposed(&preview));
    auto *bar = preview.findChild<QToolBar *>();
    QVERIFY(bar);
    auto *label = bar->findChild<QLabel *>();
    QVERIFY(label);
    auto buttons = [&] {
        QList<int> xs;
        for (QAction *a : bar->actions())
            if (QWidget *button = bar->widgetForAction(a))
                xs << button->x();
        return xs;
    };
    QCOMPARE(label->text(), QStringLiteral("1 / 2703"));
    const QList<int> first = buttons();
    preview.action(QStringLiteral("lastPage"))->trigger();
    QCOMPARE(label->text(), QStringLiteral("2703 / 2703"));
    QCoreApplication::sendPostedEvents(); // the tool bar lays out again
    QCOMPARE(buttons(), first);
    // The widest text fits the label whole.
    QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width());
}

QTEST_MAIN(TestReportPreview)
#include "TestReportPreview.moc"
