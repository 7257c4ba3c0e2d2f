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
    void extremesFollowTheUnitShown_data();
    void extremesFollowTheUnitShown();
    void equalReadingsUpdateBothExtremes();
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

// The extremes across changes of unit and decimal point: each reading is "value unit point",
// and after the last one MIN and MAX show readings of the unit beside them, MIN <= MAX.
void TestLimitAlarms::extremesFollowTheUnitShown_data()
{
    QTest::addColumn<QStringList>("readings");
    QTest::addColumn<QStringList>("shown"); // MinText, MaxText, unit, and whether it restarted
    QTest::newRow("first reading") << QStringList{"1.234 V 1"}
                                   << QStringList{"1.234", "1.234", "V", "restart"};
    QTest::newRow("same setting: running extremes")
        << QStringList{"1.234 V 1", "1.500 V 1", "1.100 V 1"}
        << QStringList{"1.100", "1.500", "V", ""};
    QTest::newRow("degrees C then F: no Celsius beside the F")
        << QStringList{"046.0 # 3", "024.5 # 3", "075.0 ? 3"}
        << QStringList{"075.0", "075.0", "?", "restart"};
    QTest::newRow("hertz then volts") << QStringList{"50.0 Hz 2", "40.0 Hz 2", "3.000 V 1"}
                                      << QStringList{"3.000", "3.000", "V", "restart"};
    QTest::newRow("point moves, then readings of the new range")
        << QStringList{"1.00 V 1", "5.00 V 1", "10.0 V 2", "12.0 V 2", "11.0 V 2"}
        << QStringList{"10.0", "12.0", "V", ""};
    QTest::newRow("negative first after a change")
        << QStringList{"20.0 uA 2", "-1.50 mA 1", "-0.50 mA 1"}
        << QStringList{"-1.50", "-0.50", "mA", ""};
    // The fourth part is the unit as the display shows it, with the prefix of hertz.
    QTest::newRow("kilohertz read out as kHz")
        << QStringList{"1.261 Hz 3 kHz", "1.300 Hz 3 kHz", "1.250 Hz 3 kHz"}
        << QStringList{"1.250", "1.300", "kHz", ""};
    QTest::newRow("kHz then MHz: extremes start afresh, the range (chart) goes on")
        << QStringList{"1.261 Hz 3 kHz", "1.500 Hz 3 MHz", "1.200 Hz 3 MHz"}
        << QStringList{"1.200", "1.500", "MHz", ""};
}

void TestLimitAlarms::extremesFollowTheUnitShown()
{
    QFETCH(QStringList, readings);
    QFETCH(QStringList, shown);
    LimitAlarms limits;
    limits.presetForCount(6000);
    LimitAlarms::PeakCaptions captions;
    for (const QString &r : readings) {
        const QStringList parts = r.split(u' ');
        QString digits = parts[0];
        digits.remove(u'.');
        captions = limits.TrackPeaks(
            {digits.toFloat(), parts[0], parts[1], parts[2].toInt(), parts.value(3)});
    }
    QCOMPARE((QStringList{captions.MinText, captions.MaxText, captions.UnitText,
                          captions.rangeChanged ? QStringLiteral("restart") : QString()}),
             shown);
    QVERIFY(limits.state().PeakMin <= limits.state().PeakMax);
}

void TestLimitAlarms::equalReadingsUpdateBothExtremes()
{
    LimitAlarms limits;
    limits.TrackPeaks({500.f, QStringLiteral("0.500"), QStringLiteral("V"), 1});
    // The same count shown differently (the extremes keep the latest text: the tests are >=, <=).
    const auto captions =
        limits.TrackPeaks({500.f, QStringLiteral("0.500 again"), QStringLiteral("V"), 1});
    QCOMPARE(captions.MaxText, QStringLiteral("0.500 again"));
    QCOMPARE(captions.MinText, QStringLiteral("0.500 again"));
}

void TestLimitAlarms::movingDecimalPointRestarts()
{
    LimitAlarms limits;
    limits.TrackPeaks({100.f, QStringLiteral("1.00"), QStringLiteral("V"), 1});
    QVERIFY(!limits.TrackPeaks({100.f, QStringLiteral("1.00"), QStringLiteral("V"), 1})
                 .rangeChanged);
    QVERIFY(limits.TrackPeaks({100.f, QStringLiteral("10.0"), QStringLiteral("V"), 2})
                .rangeChanged);
    QCOMPARE(limits.state().LastPointPosition, 2);
    QVERIFY(limits.TrackPeaks({100.f, QStringLiteral("1.00"), QStringLiteral("V"), 1})
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
