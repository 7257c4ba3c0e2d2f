#include "protocol/IntegerText.h"
#include "views/KeyFilter.h"
#include "views/LimitAlarms.h"

#include <QLineEdit>
#include <QtTest>

class TestLimitAlarms : public QObject
{
    Q_OBJECT
private slots:
    void limitFromTypedText_data();
    void limitFromTypedText();
    void keyFilterPassesOnlyItsCharacters_data();
    void keyFilterPassesOnlyItsCharacters();
    void checkLimits_data();
    void checkLimits();
    void firstReadingRestartsAndBlanksTheExtremes();
    void equalReadingsUpdateBothExtremes();
    void changeFromHertzToVoltsStartsFreshExtremes();
    void movingDecimalPointRestarts();
    void startUpPresetsFollowTheCountRange();
};

void TestLimitAlarms::limitFromTypedText_data()
{
    // Each row types into one box, text after text, as its change handler sees it.
    QTest::addColumn<bool>("upper"); // Setmax, else SetMin
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<float>("limit");
    QTest::addColumn<QString>("error"); // of the last text
    QTest::newRow("minus alone is 0") << false << QStringList{"-"} << 0.f << "";
    QTest::newRow("then -5") << false << QStringList{"-", "-5"} << -5.f << "";
    QTest::newRow("plus alone is 0") << true << QStringList{"+"} << 0.f << "";
    QTest::newRow("leading plus") << true << QStringList{"+", "+7"} << 7.f << "";
    QTest::newRow("clearing Setmax is 0") << true << QStringList{"6000", ""} << 0.f << "";
    QTest::newRow("12- reports and keeps 12")
        << true << QStringList{"1", "12", "12-"} << 12.f << "'12-' is not a valid integer value";
    QTest::newRow("+- reports and keeps the limit")
        << false << QStringList{"+", "+-"} << 0.f << "'+-' is not a valid integer value";
    QTest::newRow("pasted letters keep the limit")
        << true << QStringList{"3000", "3k"} << 3000.f << "'3k' is not a valid integer value";
    QTest::newRow("beyond 32 bits") << true << QStringList{"2147483648"} << 6000.f
                                    << "'2147483648' is not a valid integer value";
    QTest::newRow("lowest 32-bit value")
        << false << QStringList{"-2147483648"} << -2147483648.f << "";
}

void TestLimitAlarms::limitFromTypedText()
{
    QFETCH(bool, upper);
    QFETCH(QStringList, texts);
    QFETCH(float, limit);
    QFETCH(QString, error);
    LimitAlarms limits;
    limits.presetForCount(6000);
    limits.SetmaxExit(QStringLiteral("6000"));
    limits.SetMinExit(QStringLiteral("-6000"));

    LimitAlarms::LimitChange change;
    for (const QString &text : texts)
        change = upper ? limits.SetmaxExit(text) : limits.SetMinExit(text);
    QCOMPARE(upper ? limits.state().MaxLimit : limits.state().MinLimit, limit);
    QCOMPARE(change.ok, error.isEmpty());
    QCOMPARE(change.error, error);
    QCOMPARE(change.redrawDial, error.isEmpty()); // a refused text leaves the dial alone
    // The other box is untouched.
    QCOMPARE(upper ? limits.state().MinLimit : limits.state().MaxLimit, upper ? -6000.f : 6000.f);
}

void TestLimitAlarms::keyFilterPassesOnlyItsCharacters_data()
{
    QTest::addColumn<KeyFilter::Kind>("kind");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::newRow("limit box keeps digits and signs") << KeyFilter::Kind::Limit << "-12a+3 ."
                                                      << "-12+3";
    QTest::newRow("limit box lets 12- through") << KeyFilter::Kind::Limit << "12-"
                                                << "12-";
    QTest::newRow("page size keeps digits only") << KeyFilter::Kind::Digits << "1a0-+0"
                                                 << "100";
    QTest::newRow("letters only") << KeyFilter::Kind::Digits << "abc"
                                  << "";
}

void TestLimitAlarms::keyFilterPassesOnlyItsCharacters()
{
    QFETCH(KeyFilter::Kind, kind);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QLineEdit edit;
    KeyFilter filter(kind);
    edit.installEventFilter(&filter);
    QTest::keyClicks(&edit, typed);
    QCOMPARE(edit.text(), shown);
    // Backspace and shortcuts are no typed characters: they still work.
    QTest::keyClick(&edit, Qt::Key_Backspace);
    QCOMPARE(edit.text(), shown.left(shown.size() - 1));
    QTest::keyClick(&edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&edit, Qt::Key_Delete);
    QCOMPARE(edit.text(), QString());
}

void TestLimitAlarms::checkLimits_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<bool>("setMaxB");
    QTest::addColumn<bool>("setMinB");
    QTest::addColumn<bool>("alarm");
    // Limits 6000 and -6000 throughout.
    QTest::newRow("equal to the upper limit") << 6000.f << true << true << false;
    QTest::newRow("overload above it") << 6001.f << true << true << true;
    QTest::newRow("overload with the box unticked") << 6001.f << false << true << false;
    QTest::newRow("equal to the lower limit") << -6000.f << true << true << false;
    QTest::newRow("negative overload") << -6001.f << false << true << true;
    QTest::newRow("below with the box unticked") << -6001.f << true << false << false;
    QTest::newRow("inside") << 12.f << true << true << false;
}

void TestLimitAlarms::checkLimits()
{
    QFETCH(float, value);
    QFETCH(bool, setMaxB);
    QFETCH(bool, setMinB);
    QFETCH(bool, alarm);
    LimitAlarms limits;
    limits.presetForCount(6000);
    limits.SetmaxExit(QStringLiteral("6000"));
    limits.SetMinExit(QStringLiteral("-6000"));
    QCOMPARE(limits.CheckLimits(value, setMaxB, setMinB), alarm);
}

void TestLimitAlarms::firstReadingRestartsAndBlanksTheExtremes()
{
    LimitAlarms limits;
    limits.presetForCount(6000);
    const auto captions =
        limits.TrackPeaks({1234.f, QStringLiteral("1.234"), QStringLiteral("V"), 1}, 6000);
    QVERIFY(captions.rangeChanged);
    QCOMPARE(captions.MaxText, QString());
    QCOMPARE(captions.MinText, QString());
    QCOMPARE(captions.UnitText, QStringLiteral("V"));
    QCOMPARE(limits.state().PeakMax, -6001.f);
    QCOMPARE(limits.state().PeakMin, 6001.f);

    const auto second =
        limits.TrackPeaks({1234.f, QStringLiteral("1.234"), QStringLiteral("V"), 1}, 6000);
    QVERIFY(!second.rangeChanged);
    QCOMPARE(second.MaxText, QStringLiteral("1.234"));
    QCOMPARE(second.MinText, QStringLiteral("1.234"));
}

void TestLimitAlarms::equalReadingsUpdateBothExtremes()
{
    LimitAlarms limits;
    limits.TrackPeaks({0.f, QStringLiteral("0.000"), QStringLiteral("V"), 1}, 6000);
    limits.TrackPeaks({500.f, QStringLiteral("0.500"), QStringLiteral("V"), 1}, 6000);
    // The same count shown differently (the extremes keep the latest text: the tests are >=, <=).
    const auto captions =
        limits.TrackPeaks({500.f, QStringLiteral("0.500 again"), QStringLiteral("V"), 1}, 6000);
    QCOMPARE(captions.MaxText, QStringLiteral("0.500 again"));
    QCOMPARE(captions.MinText, QStringLiteral("0.500 again"));
}

void TestLimitAlarms::changeFromHertzToVoltsStartsFreshExtremes()
{
    LimitAlarms limits;
    limits.TrackPeaks({500.f, QStringLiteral("50.0"), QStringLiteral("Hz"), 2}, 6000);
    limits.TrackPeaks({500.f, QStringLiteral("50.0"), QStringLiteral("Hz"), 2}, 1000);
    limits.TrackPeaks({400.f, QStringLiteral("40.0"), QStringLiteral("Hz"), 2}, 1000);

    // The Hz frames set CountFull 1000; it is still in force when the volts reading arrives.
    auto captions =
        limits.TrackPeaks({3000.f, QStringLiteral("3.000"), QStringLiteral("V"), 1}, 1000);
    QVERIFY(captions.rangeChanged);
    QCOMPARE(limits.state().PeakMax, -1001.f);
    QCOMPARE(limits.state().PeakMin, 1001.f);
    QCOMPARE(captions.MaxText, QStringLiteral("50.0")); // old texts stay beside the new unit
    QCOMPARE(captions.MinText, QStringLiteral("40.0"));
    QCOMPARE(captions.UnitText, QStringLiteral("V"));

    captions = limits.TrackPeaks({3000.f, QStringLiteral("3.000"), QStringLiteral("V"), 1}, 6000);
    QCOMPARE(captions.MaxText, QStringLiteral("3.000"));
    QCOMPARE(captions.MinText, QStringLiteral("40.0"));
    captions = limits.TrackPeaks({1001.f, QStringLiteral("1.001"), QStringLiteral("V"), 1}, 6000);
    QCOMPARE(captions.MinText, QStringLiteral("1.001"));
}

void TestLimitAlarms::movingDecimalPointRestarts()
{
    LimitAlarms limits;
    limits.TrackPeaks({100.f, QStringLiteral("1.00"), QStringLiteral("V"), 1}, 6000);
    QVERIFY(!limits.TrackPeaks({100.f, QStringLiteral("1.00"), QStringLiteral("V"), 1}, 6000)
                 .rangeChanged);
    QVERIFY(limits.TrackPeaks({100.f, QStringLiteral("10.0"), QStringLiteral("V"), 2}, 6000)
                .rangeChanged);
    QCOMPARE(limits.state().LastPointPosition, 2);
    QVERIFY(limits.TrackPeaks({100.f, QStringLiteral("1.00"), QStringLiteral("V"), 1}, 6000)
                .rangeChanged);
}

void TestLimitAlarms::startUpPresetsFollowTheCountRange()
{
    LimitAlarms limits;
    QCOMPARE(limits.state().MaxLimit, 4002.f); // before any profile: the 4000 count range
    QCOMPARE(limits.state().LastUnitText, QStringLiteral("113"));
    limits.presetForCount(6000);
    QCOMPARE(limits.state().MaxLimit, 6002.f);
    QCOMPARE(limits.state().MinLimit, -6002.f);
    QCOMPARE(limits.state().PeakMax, -6001.f);
    QCOMPARE(limits.state().PeakMin, 6001.f);
    // Start-up then writes "6000" and "-6000" into the boxes, whose change handling runs.
    QVERIFY(limits.SetmaxExit(QStringLiteral("6000")).redrawDial);
    QVERIFY(limits.SetMinExit(QStringLiteral("-6000")).redrawDial);
    QCOMPARE(limits.state().MaxLimit, 6000.f);
    QCOMPARE(limits.state().MinLimit, -6000.f);
}

QTEST_MAIN(TestLimitAlarms)
#include "TestLimitAlarms.moc"
