#include "views/ChartEnlarge.h"
#include "views/ChartPaging.h"
#include "views/PointStore.h"
#include "views/ReadingChart.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QLineSeries>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {
void plot(ReadingChart &chart, int readings)
{
    for (int i = 0; i < readings; ++i)
        chart.PlotReading(double(i % 7) * 100.0);
}

// Runs "first", "previous", "next", "last", "new" and "plot:<n>".
void run(ReadingChart &chart, const QStringList &ops)
{
    for (const QString &op : ops) {
        if (op == QLatin1String("first"))
            chart.First();
        else if (op == QLatin1String("previous"))
            chart.Previous();
        else if (op == QLatin1String("next"))
            chart.Next();
        else if (op == QLatin1String("last"))
            chart.Last();
        else if (op == QLatin1String("new"))
            chart.New();
        else if (op.startsWith(QLatin1String("plot:")))
            plot(chart, op.mid(5).toInt());
        else
            QFAIL(qPrintable(QStringLiteral("unknown step ") + op));
    }
}

// A run of readings with a slow swing, noise, a spike at spikeAt and a dip near the end.
PointStore sampleStore(qsizetype readings, qsizetype spikeAt)
{
    PointStore store;
    store.reset(0.0f);
    quint32 seed = 12345;
    for (qsizetype i = 1; i < readings; ++i) {
        seed = seed * 1103515245u + 12345u;
        float value = float(int(seed >> 16) % 200) - 100.0f + float((i / 1000) % 50);
        if (i == spikeAt)
            value = 5999.0f;
        if (i == readings - 2)
            value = -5999.0f;
        store.append(value);
    }
    return store;
}
} // namespace

class TestTrendChart : public QObject
{
    Q_OBJECT
private slots:
    void pageCountFromShownPoints_data();
    void pageCountFromShownPoints();
    void followingAtPageBoundary_data();
    void followingAtPageBoundary();
    void pageMoves_data();
    void pageMoves();
    void newStartsFromPlaceholderPoint();
    void pageSizeText_data();
    void pageSizeText();
    void newPageSizeClampsPageButKeepsCaption();
    void seriesListOrderAndShownSeries();
    void fillBoxAndMenuAgree_data();
    void fillBoxAndMenuAgree();
    void pageShowsItsOwnReadings();
    void longHistoryHandsChartsOnlyABoundedPage();
    void pageSummaryKeepsEveryExtreme_data();
    void pageSummaryKeepsEveryExtreme();
    void savesChartAsBitmapAndReplacesIt();
    void failedSaveReportsAndWritesNothing();
    void enlargeAndRestore_data();
    void enlargeAndRestore();
    void chartAndViewGoInEitherOrder();
};

void TestTrendChart::pageCountFromShownPoints_data()
{
    QTest::addColumn<qint64>("points");
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<qint64>("pages");
    QTest::newRow("no points") << qint64(0) << 100 << qint64(1);
    QTest::newRow("placeholder only") << qint64(1) << 100 << qint64(1);
    QTest::newRow("exactly one page") << qint64(100) << 100 << qint64(1);
    QTest::newRow("one point into page 2") << qint64(101) << 100 << qint64(2);
    QTest::newRow("page size 0 is one page") << qint64(5000) << 0 << qint64(1);
    QTest::newRow("a day of readings") << qint64(1000001) << 100 << qint64(10001);
    QTest::newRow("page size 1") << qint64(7) << 1 << qint64(7);
}

void TestTrendChart::pageCountFromShownPoints()
{
    QFETCH(qint64, points);
    QFETCH(int, pageSize);
    QFETCH(qint64, pages);
    QCOMPARE(ChartPaging::pageCount(points, pageSize), pages);
}

void TestTrendChart::followingAtPageBoundary_data()
{
    // The placeholder is point 0, so the 100th reading is point 100: the first of page 2.
    QTest::addColumn<bool>("fill");
    QTest::addColumn<int>("readings");
    QTest::addColumn<qint64>("page");
    QTest::addColumn<qreal>("firstDrawnX");
    QTest::addColumn<int>("drawn");
    QTest::newRow("area, 99th reading") << true << 99 << qint64(1) << 0.0 << 100;
    QTest::newRow("area, 100th reading stays on page 1") << true << 100 << qint64(1) << 0.0 << 100;
    QTest::newRow("area, 101st reading moves to page 2") << true << 101 << qint64(2) << 100.0 << 2;
    QTest::newRow("line, 99th reading") << false << 99 << qint64(1) << 0.0 << 100;
    QTest::newRow("line, 100th reading moves to page 2") << false << 100 << qint64(2) << 100.0 << 1;
}

void TestTrendChart::followingAtPageBoundary()
{
    QFETCH(bool, fill);
    QFETCH(int, readings);
    QFETCH(qint64, page);
    QFETCH(qreal, firstDrawnX);
    QFETCH(int, drawn);
    ReadingChart chart(nullptr);
    chart.btFillClick(fill);
    plot(chart, readings);
    QCOMPARE(chart.paging().currentPage(), page);
    QCOMPARE(chart.pageButtons().Bt10, QString::number(page));
    const QList<QPointF> points = chart.drawnPoints();
    QCOMPARE(points.size(), drawn);
    QCOMPARE(points.first().x(), firstDrawnX);
    QCOMPARE(chart.pointCount(), qint64(readings + 1));
}

void TestTrendChart::pageMoves_data()
{
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<int>("readings");
    QTest::addColumn<QStringList>("ops");
    QTest::addColumn<qint64>("page");
    QTest::addColumn<QString>("enabled"); // BtFirst, BTPrevious, BtNext, BTlast as 1 or 0
    QTest::addColumn<QString>("bt10");
    QTest::addColumn<bool>("live");

    // 250 readings and the placeholder make three pages of 100; following sits on page 3.
    QTest::newRow("First from the last page")
        << 100 << 250 << QStringList{"first"} << qint64(1) << "0011"
        << "1" << false;
    QTest::newRow("Previous on page 1")
        << 100 << 50 << QStringList{"previous"} << qint64(1) << "0011"
        << "1" << false;
    QTest::newRow("Previous from page 3")
        << 100 << 250 << QStringList{"previous"} << qint64(2) << "1111"
        << "2" << false;
    QTest::newRow("Previous after Next on the last page")
        << 100 << 250 << QStringList{"next", "previous"} << qint64(2) << "1111"
        << "2" << false;
    QTest::newRow("Next on the last page")
        << 100 << 250 << QStringList{"next"} << qint64(3) << "1100"
        << "3" << false;
    QTest::newRow("Next from page 1")
        << 100 << 250 << QStringList{"first", "next"} << qint64(2) << "1111"
        << "2" << false;
    QTest::newRow("Last resumes following")
        << 100 << 250 << QStringList{"first", "last"} << qint64(3) << "1100"
        << "3" << true;
    QTest::newRow("following after Last moves on")
        << 100 << 250 << QStringList{"first", "last", "plot:60"} << qint64(4) << "1100"
        << "4" << true;
    QTest::newRow("after Next readings do not move the page")
        << 100 << 250 << QStringList{"next", "plot:60"} << qint64(3) << "1100"
        << "3" << false;
    QTest::newRow("page size 0: First") << 0 << 250 << QStringList{"first"} << qint64(1) << "0011"
                                        << "1" << false;
    QTest::newRow("page size 0: Next") << 0 << 250 << QStringList{"next"} << qint64(1) << "1100"
                                       << "1" << false;
    QTest::newRow("page size 0: Last") << 0 << 250 << QStringList{"last"} << qint64(1) << "1100"
                                       << "1" << true;
    QTest::newRow("New on page 5 not following keeps page 5")
        << 100 << 450 << QStringList{"next", "new"} << qint64(5) << "1100"
        << "5" << false;
    QTest::newRow("after New the next move comes back in range")
        << 100 << 450 << QStringList{"next", "new", "next"} << qint64(1) << "1100"
        << "1" << false;
    QTest::newRow("after New and Last a reading comes back in range")
        << 100 << 450 << QStringList{"next", "new", "last", "plot:1"} << qint64(1) << "1100"
        << "1" << true;
    QTest::newRow("New while following, then a reading")
        << 100 << 450 << QStringList{"new", "plot:1"} << qint64(1) << "1111"
        << "1" << true;
}

void TestTrendChart::pageMoves()
{
    QFETCH(int, pageSize);
    QFETCH(int, readings);
    QFETCH(QStringList, ops);
    QFETCH(qint64, page);
    QFETCH(QString, enabled);
    QFETCH(QString, bt10);
    QFETCH(bool, live);

    ReadingChart chart(nullptr);
    QCOMPARE(chart.MaxrecordExit(QString::number(pageSize)), QString());
    plot(chart, readings);
    QSignalSpy announced(&chart, &ReadingChart::pageButtonsChanged);
    run(chart, ops);

    const PageButtons &b = chart.pageButtons();
    const QString state = QStringLiteral("%1%2%3%4")
                              .arg(int(b.BtFirst))
                              .arg(int(b.BTPrevious))
                              .arg(int(b.BtNext))
                              .arg(int(b.BTlast));
    QCOMPARE(chart.paging().currentPage(), page);
    QCOMPARE(state, enabled);
    QCOMPARE(b.Bt10, bt10);
    QCOMPARE(chart.paging().LivePaging(), live);
    // The window learns every change of the buttons, and last of all their current state.
    if (!announced.isEmpty())
        QCOMPARE(announced.last().first().value<PageButtons>(), b);
}

void TestTrendChart::newStartsFromPlaceholderPoint()
{
    ReadingChart chart(nullptr);
    plot(chart, 30);
    chart.New();
    QCOMPARE(chart.pointCount(), qint64(1));
    QCOMPARE(chart.drawnPoints().size(), 1);
    QCOMPARE(chart.drawnPoints().first().x(), 0.0);

    chart.PlotReading(-1234);
    const QList<QPointF> points = chart.drawnPoints();
    QCOMPARE(points.size(), 2);
    QCOMPARE(points.last(), QPointF(1, -1234));
    QCOMPARE(chart.pageButtons().Bt10, QStringLiteral("1"));
}

void TestTrendChart::pageSizeText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("pageSize");
    QTest::newRow("50") << "50"
                        << "" << 50;
    QTest::newRow("0 means no paging") << "0"
                                       << "" << 0;
    QTest::newRow("last digit deleted") << ""
                                        << "'' is not a valid integer value" << 100;
    QTest::newRow("pasted letters") << "12a"
                                    << "'12a' is not a valid integer value" << 100;
    QTest::newRow("beyond 32 bits") << "99999999999"
                                    << "'99999999999' is not a valid integer value" << 100;
    QTest::newRow("pasted negative size is refused")
        << "-5"
        << "The page size cannot be negative: -5" << 100;
}

void TestTrendChart::pageSizeText()
{
    QFETCH(QString, text);
    QFETCH(QString, error);
    QFETCH(int, pageSize);
    ReadingChart chart(nullptr);
    QCOMPARE(chart.MaxrecordExit(text), error);
    QCOMPARE(chart.paging().pageSize(), pageSize);
}

void TestTrendChart::newPageSizeClampsPageButKeepsCaption()
{
    ReadingChart chart(nullptr);
    plot(chart, 250);
    QCOMPARE(chart.paging().currentPage(), qint64(3));
    QCOMPARE(chart.MaxrecordExit(QStringLiteral("1000")), QString());
    QCOMPARE(chart.paging().currentPage(), qint64(1));
    QCOMPARE(chart.pageButtons().Bt10, QStringLiteral("3"));
    QCOMPARE(chart.drawnPoints().size(), 251);
}

void TestTrendChart::seriesListOrderAndShownSeries()
{
    ReadingChart chart(nullptr);
    const QList<QAbstractSeries *> list = chart.chart()->series();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list.at(0), static_cast<QAbstractSeries *>(chart.Series2()));
    QCOMPARE(list.at(1), static_cast<QAbstractSeries *>(chart.Series1()));
    QCOMPARE(list.at(0)->type(), QAbstractSeries::SeriesTypeArea);
    QCOMPARE(list.at(1)->type(), QAbstractSeries::SeriesTypeLine);

    QVERIFY(chart.Series2()->isVisible());
    QVERIFY(!chart.Series1()->isVisible());
    chart.ShowSeries(1);
    QVERIFY(!chart.Series2()->isVisible());
    QVERIFY(chart.Series1()->isVisible());
    chart.ShowSeries(2); // no such series: nothing changes
    QCOMPARE(chart.shownSeries(), 1);
    QVERIFY(chart.Series1()->isVisible());
}

void TestTrendChart::fillBoxAndMenuAgree_data()
{
    QTest::addColumn<QStringList>("clicks"); // "box on", "box off", "menu"
    QTest::addColumn<bool>("fill");
    QTest::newRow("menu once") << QStringList{"menu"} << false;
    QTest::newRow("menu twice") << QStringList{"menu", "menu"} << true;
    QTest::newRow("box off") << QStringList{"box off"} << false;
    QTest::newRow("box off, then menu") << QStringList{"box off", "menu"} << true;
    QTest::newRow("menu, then box on") << QStringList{"menu", "box on"} << true;
}

void TestTrendChart::fillBoxAndMenuAgree()
{
    QFETCH(QStringList, clicks);
    QFETCH(bool, fill);
    ReadingChart chart(nullptr);
    QSignalSpy told(&chart, &ReadingChart::fillChanged);
    for (const QString &click : clicks) {
        if (click == QLatin1String("menu"))
            chart.FillClick();
        else
            chart.btFillClick(click == QLatin1String("box on"));
    }
    QCOMPARE(chart.fill(), fill);
    QCOMPARE(told.size(), clicks.size());
    QCOMPARE(told.last().first().toBool(), fill); // box and menu item are both set to this
    QCOMPARE(chart.shownSeries(), fill ? ReadingChart::kAreaIndex : ReadingChart::kLineIndex);
    QCOMPARE(chart.Series2()->isVisible(), fill);
    QCOMPARE(chart.Series1()->isVisible(), !fill);
}

void TestTrendChart::pageShowsItsOwnReadings()
{
    ReadingChart chart(nullptr);
    for (int i = 1; i <= 250; ++i)
        chart.PlotReading(i * 10);
    chart.First();
    chart.Next();
    const QList<QPointF> points = chart.drawnPoints();
    QCOMPARE(points.size(), 100);
    for (int i = 0; i < points.size(); ++i)
        QCOMPARE(points.at(i), QPointF(100 + i, (100 + i) * 10));
    // The hidden series holds nothing for Qt Charts to keep up to date.
    QCOMPARE(chart.Series1()->count(), 0);
    chart.btFillClick(false);
    QCOMPARE(chart.Series1()->points(), points);
    QCOMPARE(chart.Series2()->upperSeries()->count(), 0);
}

void TestTrendChart::longHistoryHandsChartsOnlyABoundedPage()
{
    constexpr int kReadings = 300000;
    ReadingChart chart(nullptr);
    for (int i = 1; i <= kReadings; ++i)
        chart.PlotReading(i == 123457 ? 6000.0 : double(i % 100));
    QCOMPARE(chart.drawnPoints().size(), 100);
    QCOMPARE(chart.paging().currentPage(), qint64(3000));

    // Page size 0 puts the whole day on one page: Qt Charts still gets a bounded summary that
    // keeps the spike.
    QCOMPARE(chart.MaxrecordExit(QStringLiteral("0")), QString());
    chart.PlotReading(-6000);
    const QList<QPointF> points = chart.drawnPoints();
    QVERIFY(points.size() <= ReadingChart::kMaxDrawnPoints);
    QVERIFY(points.contains(QPointF(123457, 6000)));
    QCOMPARE(points.last(), QPointF(kReadings + 1, -6000));
    chart.btFillClick(false); // the line sweeps each bucket's range, down to the dip as well
    QVERIFY(chart.drawnPoints().size() <= ReadingChart::kMaxDrawnPoints);
    QVERIFY(chart.drawnPoints().contains(QPointF(123457, 6000)));
    QVERIFY(chart.drawnPoints().contains(QPointF(kReadings + 1, -6000)));

    // The store keeps a reading in a handful of bytes.
    QVERIFY2(chart.points().bytesUsed() <= size_t(kReadings) * 16,
             qPrintable(QString::number(chart.points().bytesUsed())));
}

void TestTrendChart::pageSummaryKeepsEveryExtreme_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<qsizetype>("spike");
    QTest::addColumn<qsizetype>("begin");
    QTest::addColumn<qsizetype>("end");
    QTest::addColumn<int>("maxPoints");
    QTest::newRow("short page, every point")
        << qsizetype(500) << qsizetype(150) << qsizetype(100) << qsizetype(200) << 1024;
    QTest::newRow("one point over the budget")
        << qsizetype(2000) << qsizetype(1000) << qsizetype(0) << qsizetype(1025) << 1024;
    QTest::newRow("whole history")
        << qsizetype(250000) << qsizetype(83333) << qsizetype(0) << qsizetype(250000) << 1024;
    QTest::newRow("unaligned middle")
        << qsizetype(250000) << qsizetype(83333) << qsizetype(12345) << qsizetype(187654) << 1024;
    // Blocks of 64 and of 4096 readings: a block must neither reach past the page nor miss
    // the reading that opens it.
    QTest::newRow("spike just past the end")
        << qsizetype(2000) << qsizetype(703) << qsizetype(0) << qsizetype(703) << 64;
    QTest::newRow("spike just past the end, large blocks")
        << qsizetype(90000) << qsizetype(81919) << qsizetype(0) << qsizetype(81919) << 64;
    QTest::newRow("spike just before the start")
        << qsizetype(2000) << qsizetype(639) << qsizetype(640) << qsizetype(2000) << 64;
    QTest::newRow("spike opening the second block")
        << qsizetype(5000) << qsizetype(64) << qsizetype(0) << qsizetype(5000) << 64;
    QTest::newRow("spike opening the second large block")
        << qsizetype(90000) << qsizetype(4096) << qsizetype(0) << qsizetype(90000) << 64;
}

void TestTrendChart::pageSummaryKeepsEveryExtreme()
{
    QFETCH(qsizetype, size);
    QFETCH(qsizetype, spike);
    QFETCH(qsizetype, begin);
    QFETCH(qsizetype, end);
    QFETCH(int, maxPoints);
    const PointStore store = sampleStore(size, spike);
    float lowest = store.at(begin), highest = store.at(begin);
    for (qsizetype i = begin; i < end; ++i) {
        lowest = std::min(lowest, store.at(i));
        highest = std::max(highest, store.at(i));
    }

    for (const auto summary : {PointStore::Summary::Envelope, PointStore::Summary::Upper}) {
        const bool envelope = summary == PointStore::Summary::Envelope;
        QList<QPointF> out;
        store.pagePoints(begin, end, maxPoints, summary, out);

        if (end - begin <= maxPoints)
            QCOMPARE(out.size(), end - begin);
        QVERIFY(out.size() <= (envelope ? maxPoints : maxPoints / 2 + 1));
        QCOMPARE(out.last(), QPointF(end - 1, store.at(end - 1))); // the newest reading
        qreal lastX = -1;
        qreal seenLow = highest, seenHigh = lowest;
        for (const QPointF &p : out) {
            QVERIFY(p.x() > lastX); // in order, no point twice
            QVERIFY(p.x() >= begin && p.x() < end);
            QCOMPARE(p.y(), qreal(store.at(qsizetype(p.x())))); // real readings, not averages
            lastX = p.x();
            seenLow = std::min(seenLow, p.y());
            seenHigh = std::max(seenHigh, p.y());
        }
        QCOMPARE(seenHigh, qreal(highest));
        if (envelope)
            QCOMPARE(seenLow, qreal(lowest));

        // Every stretch of the page keeps its own peak: the maximum of each tenth of it is
        // drawn within one summary bucket of that tenth.
        const qsizetype tenth = (end - begin) / 10;
        for (qsizetype part = 0; part < 10 && tenth > 0; ++part) {
            const qsizetype from = begin + part * tenth;
            const qsizetype to = from + tenth;
            float partHigh = store.at(from);
            for (qsizetype i = from; i < to; ++i)
                partHigh = std::max(partHigh, store.at(i));
            const qreal slack = qreal(end - begin) / (maxPoints / 4);
            const bool shown = std::any_of(out.cbegin(), out.cend(), [&](const QPointF &p) {
                return p.y() >= partHigh && p.x() >= from - slack && p.x() < to + slack;
            });
            QVERIFY2(shown, qPrintable(QStringLiteral("part %1").arg(part)));
        }
    }
}

void TestTrendChart::savesChartAsBitmapAndReplacesIt()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("databmp.bmp"));
    QChartView view;
    view.resize(329, 246);
    ReadingChart chart(&view);
    chart.setValueRange(6000);
    plot(chart, 40);

    QCOMPARE(chart.Save(path), QString());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.read(2), QByteArray("BM"));
    file.close();
    const QImage first(path, "BMP");
    QCOMPARE(first.size(), QSize(329, 246));

    plot(chart, 40);
    view.resize(400, 300);
    QCOMPARE(chart.Save(path), QString());
    QCOMPARE(QImage(path, "BMP").size(), QSize(400, 300));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"databmp.bmp"});

    QCOMPARE(ReadingChart::defaultSavePath(), QDir::home().filePath("databmp.bmp"));
    QCOMPARE(ReadingChart::savedMessage(path), "graphic has saved on " + path);
}

void TestTrendChart::failedSaveReportsAndWritesNothing()
{
    QTemporaryDir dir;
    QChartView view;
    view.resize(329, 246);
    ReadingChart chart(&view);
    const QString missingFolder = dir.filePath(QStringLiteral("gone/databmp.bmp"));
    const QString error = chart.Save(missingFolder);
    QVERIFY(!error.isEmpty());
    QVERIFY(error.contains(missingFolder));
    QVERIFY(!QFile::exists(missingFolder));

    QVERIFY(!chart.Save(dir.path()).isEmpty()); // a folder is in the way
    QVERIFY(QFileInfo(dir.path()).isDir());
}

void TestTrendChart::enlargeAndRestore_data()
{
    QTest::addColumn<QRect>("normal");
    QTest::addColumn<QSize>("window");
    QTest::addColumn<QRect>("enlarged");
    QTest::newRow("laid out window")
        << QRect(288, 173, 329, 246) << QSize(626, 478) << QRect(2, 28, 614, 373);
    QTest::newRow("design place") << QRect(288, 171, 329, 246) << QSize(630, 500)
                                  << QRect(2, 28, 618, 395);
}

void TestTrendChart::enlargeAndRestore()
{
    QFETCH(QRect, normal);
    QFETCH(QSize, window);
    QFETCH(QRect, enlarged);
    ChartEnlarge enlarge;
    const ChartEnlarge::Result big = enlarge.TbFdClick(normal, window);
    QVERIFY(big.enlarged);
    QCOMPARE(big.bounds, enlarged);
    QCOMPARE(enlarge.SavedChartBounds().value_or(QRect()), normal);
    const ChartEnlarge::Result back = enlarge.TbFdClick(big.bounds, window);
    QVERIFY(!back.enlarged);
    QCOMPARE(back.bounds, normal);

    // Never enlarged but somehow near the top: there is nothing to restore, it stays.
    ChartEnlarge fresh;
    const QRect high(288, 40, 329, 246);
    QCOMPARE(fresh.TbFdClick(high, window).bounds, high);
}

void TestTrendChart::chartAndViewGoInEitherOrder()
{
    // As the window holds them: view and chart both its children, the view created first and
    // so deleted first.
    auto *window = new QWidget;
    auto *view = new QChartView(window);
    QPointer<ReadingChart> chart = new ReadingChart(view, window);
    chart->PlotReading(1);
    delete window;
    QVERIFY(chart.isNull());

    // The chart object going first leaves the view showing its chart.
    QChartView alive;
    auto *early = new ReadingChart(&alive);
    QChart *shown = early->chart();
    delete early;
    QCOMPARE(alive.chart(), shown);
}

QTEST_MAIN(TestTrendChart)
#include "TestTrendChart.moc"
