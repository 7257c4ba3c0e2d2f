#include "log/StampColumn.h"

#include <QtTest>

#include <vector>

// The log's compact stamps give back exactly what was kept, whatever the clock does.
class TestStampColumn : public QObject
{
    Q_OBJECT
private slots:
    void givesBackWhatWasKept_data();
    void givesBackWhatWasKept();
};

namespace {
constexpr qint64 kNo = StampColumn::kNoTime;
constexpr qint64 kDec2026 = 1796947200000;
} // namespace

void TestStampColumn::givesBackWhatWasKept_data()
{
    QTest::addColumn<QList<qint64>>("steps"); // repeated to 300 records; kNo is a record without
    QTest::newRow("a meter's pace") << QList<qint64>{58, 59, 58};
    QTest::newRow("all at once") << QList<qint64>{0};
    QTest::newRow("clock set back") << QList<qint64>{1000, -3600000, 17};
    QTest::newRow("sampling once an hour") << QList<qint64>{3600000};
    QTest::newRow("records without a moment between") << QList<qint64>{58, kNo, kNo, 61};
    QTest::newRow("centuries apart") << QList<qint64>{qint64(1) << 50, -(qint64(1) << 51)};
}

void TestStampColumn::givesBackWhatWasKept()
{
    QFETCH(QList<qint64>, steps);
    StampColumn column;
    std::vector<qint64> whens;
    std::vector<char> prefixes;
    qint64 now = kDec2026;
    for (int row = 0; row < 300; ++row) {
        const qint64 step = steps.at(row % steps.size());
        if (step != kNo)
            now += step;
        whens.push_back(step == kNo ? kNo : now);
        prefixes.push_back("\0kM"[row % 3]);
        column.set(row, whens.back(), prefixes.back());
    }
    // The extremes of the clock, and a row kept after a gap (an opened table's records).
    whens.push_back(std::numeric_limits<qint64>::max());
    whens.push_back(0);
    whens.push_back(kNo);
    whens.push_back(-1);
    prefixes.insert(prefixes.end(), {0, 'M', 0, 'k'});
    for (std::size_t row = 300; row < whens.size(); ++row)
        column.set(qint64(row), whens[row], prefixes[row]);
    column.set(qint64(whens.size()) + 2, kDec2026, 'k');
    whens.insert(whens.end(), {kNo, kNo, kDec2026});
    prefixes.insert(prefixes.end(), {0, 0, 'k'});

    QCOMPARE(column.size(), qint64(whens.size()));
    for (std::size_t row = 0; row < whens.size(); ++row) {
        QCOMPARE(column.when(qint64(row)), whens[row]);
        QCOMPARE(column.prefix(qint64(row)), prefixes[row]);
    }
    QCOMPARE(column.when(qint64(whens.size())), kNo);

    // Keeping a row again drops the ones after it.
    column.set(100, 5, 'M');
    QCOMPARE(column.size(), 101);
    QCOMPARE(column.when(99), whens[99]);
    QCOMPARE(column.when(100), 5);
    QCOMPARE(column.prefix(100), 'M');
}

QTEST_GUILESS_MAIN(TestStampColumn)
#include "TestStampColumn.moc"
