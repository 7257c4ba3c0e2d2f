#include "protocol/CompletedFrame.h"
#include "protocol/CountRange.h"
#include "protocol/DecodedFrame.h"
#include "protocol/DisplayState.h"

#include <QtTest>

using namespace protocol;
using A = Annunciator;

namespace {

// The 13 bytes of a frame up to its carriage return, written out byte by byte so that the
// tables pin the frame layout independently of the encoder.
QByteArray frame(char sign, const char *digits, char pointCode, quint8 s1, quint8 s2, quint8 s3,
              quint8 s4)
{
    QByteArray b;
    b += sign;
    b += QByteArray(digits, 4);
    b += ' ';
    b += pointCode;
    b += char(s1);
    b += char(s2);
    b += char(s3);
    b += char(s4);
    b += '\0';
    b += '\r';
    return b;
}

// The failure as the tables name it.
int failedStep(DecodedFrame::Failure failure)
{
    switch (failure) {
    case DecodedFrame::Failure::None:
        return 0;
    case DecodedFrame::Failure::PointCode:
        return 4;
    case DecodedFrame::Failure::Value:
        return 12;
    }
    return -1;
}

int flags(Annunciators a)
{
    return int(a.toInt());
}

} // namespace

class TestFrameDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decodesReadingAndDrivenValues_data();
    void decodesReadingAndDrivenValues();
    void unitTextFollowsTheLastRuleThatHolds_data();
    void unitTextFollowsTheLastRuleThatHolds();
    void failedConversionStopsAtItsStep_data();
    void failedConversionStopsAtItsStep();
    void framingTestGuardsTheDecoder_data();
    void framingTestGuardsTheDecoder();
    void countRangeForCode_data();
    void countRangeForCode();
    void encodedStatesDecodeBack();
};

void TestFrameDecoder::decodesReadingAndDrivenValues_data()
{
    QTest::addColumn<QByteArray>("frameBytes");
    QTest::addColumn<int>("countFullInForce");
    QTest::addColumn<int>("annunciators");
    QTest::addColumn<QString>("valueText");
    QTest::addColumn<float>("numericValue");
    QTest::addColumn<QString>("acDc");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("range");
    QTest::addColumn<QString>("sign");
    QTest::addColumn<QString>("digits"); // D1|D2|D3|D4 as the digit captions show them
    QTest::addColumn<int>("point");
    QTest::addColumn<QString>("countCode");
    QTest::addColumn<int>("barMaximum");
    QTest::addColumn<int>("needle");
    QTest::addColumn<int>("barPosition");
    QTest::addColumn<int>("chartValue");

    const int dcAutoMilliVolt = flags(A::Dc | A::AutoRange | A::Milli | A::Volt);
    QTest::newRow("-12.34 mV DC auto") << frame('-', "1234", '2', 0x30, 0x00, 0x40, 0x80) << 6000
                                       << dcAutoMilliVolt << "-12.34" << -1234.0f << "DC"
                                       << "mV"
                                       << "AUTO"
                                       << "-"
                                       << "1|2|3|4" << 2 << "6" << 60 << -123 + 600 << 12 << -1234;
    QTest::newRow("same frame with the byte after the carriage return")
        << frame('-', "1234", '2', 0x30, 0x00, 0x40, 0x80) + "\n" << 6000 << dcAutoMilliVolt
        << "-12.34" << -1234.0f << "DC"
        << "mV"
        << "AUTO"
        << "-"
        << "1|2|3|4" << 2 << "6" << 60 << 477 << 12 << -1234;

    QTest::newRow("positive overload, megohms")
        << frame('+', "?0L0", '2', 0x20, 0x00, 0x10, 0x20) << 6000
        << flags(A::AutoRange | A::Mega | A::Ohm) << "0.L" << 6001.0f << ""
        << "M*"
        << "AUTO"
        << ""
        << "|0|@|" << 2 << "6" << 60 << 1200 << 60 << 6000;
    QTest::newRow("negative overload, volts manual")
        << frame('-', "?000", '0', 0x10, 0x00, 0x00, 0x80) << 6000 << flags(A::Dc | A::Volt) << "0L"
        << -6001.0f << "DC"
        << "V"
        << "MANU"
        << "-"
        << "|0|@|" << 0 << "6" << 60 << 0 << 60 << -6000;
    // The overload value uses the range in force when the frame arrives; the new unit's range
    // is set later in the same frame, so the chart and the dial already use it.
    QTest::newRow("overload on the first hertz frame after volts")
        << frame('+', "?000", '0', 0x20, 0x00, 0x00, 0x08) << 6000 << flags(A::AutoRange | A::Hertz)
        << "0L" << 6001.0f << ""
        << "Hz"
        << "AUTO"
        << ""
        << "|0|@|" << 0 << "10" << 100 << 2000 << 100 << 1000;
    QTest::newRow("overload on a later hertz frame")
        << frame('+', "?000", '0', 0x20, 0x00, 0x00, 0x08) << 1000 << flags(A::AutoRange | A::Hertz)
        << "0L" << 1001.0f << ""
        << "Hz"
        << "AUTO"
        << ""
        << "|0|@|" << 0 << "10" << 100 << 2000 << 100 << 1000;

    QTest::newRow("point code 1") << frame('+', "1234", '1', 0x00, 0x00, 0x00, 0x80) << 6000
                                  << flags(A::Volt) << "1.234" << 1234.0f << ""
                                  << "V"
                                  << "MANU"
                                  << ""
                                  << "1|2|3|4" << 1 << "6" << 60 << 723 << 12 << 1234;
    QTest::newRow("point code 4 is the third point")
        << frame('+', "1234", '4', 0x00, 0x00, 0x00, 0x80) << 6000 << flags(A::Volt) << "123.4"
        << 1234.0f << ""
        << "V"
        << "MANU"
        << ""
        << "1|2|3|4" << 3 << "6" << 60 << 723 << 12 << 1234;
    QTest::newRow("point code 3 shows no point")
        << frame('+', "1234", '3', 0x00, 0x00, 0x00, 0x80) << 6000 << flags(A::Volt) << "1234"
        << 1234.0f << ""
        << "V"
        << "MANU"
        << ""
        << "1|2|3|4" << 0 << "6" << 60 << 723 << 12 << 1234;
    QTest::newRow("point code 5 shows no point")
        << frame('+', "1234", '5', 0x00, 0x00, 0x00, 0x80) << 6000 << flags(A::Volt) << "1234"
        << 1234.0f << ""
        << "V"
        << "MANU"
        << ""
        << "1|2|3|4" << 0 << "6" << 60 << 723 << 12 << 1234;

    QTest::newRow("AC and DC both set: DC")
        << frame('+', "0500", '0', 0x18, 0x00, 0x00, 0x80) << 6000 << flags(A::Ac | A::Dc | A::Volt)
        << "0500" << 500.0f << "DC"
        << "V"
        << "MANU"
        << ""
        << "0|5|0|0" << 0 << "6" << 60 << 650 << 5 << 500;
    QTest::newRow("AC volts") << frame('+', "2301", '4', 0x28, 0x00, 0x00, 0x80) << 6000
                              << flags(A::Ac | A::AutoRange | A::Volt) << "230.1" << 2301.0f << "AC"
                              << "V"
                              << "AUTO"
                              << ""
                              << "2|3|0|1" << 3 << "6" << 60 << 830 << 23 << 2301;

    QTest::newRow("hertz keeps no prefix; its own range")
        << frame('+', "5001", '2', 0x20, 0x00, 0x20, 0x08) << 6000
        << flags(A::AutoRange | A::Kilo | A::Hertz) << "50.01" << 5001.0f << ""
        << "Hz"
        << "AUTO"
        << ""
        << "5|0|0|1" << 2 << "10" << 100 << 1500 << 50 << 5001;
    QTest::newRow("percent") << frame('+', "0500", '4', 0x00, 0x00, 0x02, 0x00) << 6000
                             << flags(A::Percent) << "050.0" << 500.0f << ""
                             << "%"
                             << "MANU"
                             << ""
                             << "0|5|0|0" << 3 << "1" << 10 << 150 << 5 << 500;
    QTest::newRow("degrees Celsius: the needle uses all four digits")
        << frame('+', "0235", '4', 0x00, 0x00, 0x00, 0x02) << 6000 << flags(A::Celsius) << "023.5"
        << 235.0f << ""
        << "#"
        << "MANU"
        << ""
        << "0|2|3|5" << 3 << "13" << 100 << 1235 << 2 << 235;
    QTest::newRow("negative degrees Fahrenheit")
        << frame('-', "0043", '4', 0x00, 0x00, 0x00, 0x01) << 1000 << flags(A::Fahrenheit)
        << "-004.3" << -43.0f << ""
        << "?"
        << "MANU"
        << "-"
        << "0|0|4|3" << 3 << "13" << 100 << 957 << 1 << -43;
    QTest::newRow("no unit: 6000 counts, bar of 00 raised to 1")
        << frame('+', "0012", '0', 0x00, 0x00, 0x00, 0x00) << 1000 << 0 << "0012" << 12.0f << ""
        << ""
        << "MANU"
        << ""
        << "0|0|1|2" << 0 << "6" << 60 << 601 << 1 << 12;
    QTest::newRow("bar of 01 raised to 1") << frame('+', "0199", '0', 0x00, 0x00, 0x00, 0x40)
                                           << 6000 << flags(A::Ampere) << "0199" << 199.0f << ""
                                           << "A"
                                           << "MANU"
                                           << ""
                                           << "0|1|9|9" << 0 << "6" << 60 << 619 << 1 << 199;

    // Every annunciator not yet read above, then the bits that mean nothing.
    QTest::newRow("mode annunciators")
        << frame('+', "0001", '0', 0x3E, 0x36, 0x0C, 0x44) << 6000
        << flags(A::AutoRange | A::Dc | A::Ac | A::Relative | A::Hold | A::Maximum | A::Minimum |
                 A::Battery | A::Nano | A::Beeper | A::Diode | A::Ampere | A::Farad)
        << "0001" << 1.0f << "DC"
        << "nF"
        << "AUTO"
        << ""
        << "0|0|0|1" << 0 << "6" << 60 << 600 << 1 << 1;
    QTest::newRow("micro") << frame('+', "0001", '0', 0x00, 0x00, 0x80, 0x40) << 6000
                           << flags(A::Micro | A::Ampere) << "0001" << 1.0f << ""
                           << "uA"
                           << "MANU"
                           << ""
                           << "0|0|0|1" << 0 << "6" << 60 << 600 << 1 << 1;
    QTest::newRow("unused status bits are ignored")
        << frame('+', "0001", '0', 0xC1, 0xC9, 0x01, 0x10) << 6000 << 0 << "0001" << 1.0f << ""
        << ""
        << "MANU"
        << ""
        << "0|0|0|1" << 0 << "6" << 60 << 600 << 1 << 1;
}

void TestFrameDecoder::decodesReadingAndDrivenValues()
{
    QFETCH(QByteArray, frameBytes);
    QFETCH(int, countFullInForce);

    const std::optional<DecodedFrame> f = DecodedFrame::decode(frameBytes, countFullInForce);
    QVERIFY(f);
    QCOMPARE(failedStep(f->failedStep), 0);
    QCOMPARE(f->error, QString());
    QTEST(flags(f->annunciators), "annunciators");
    QTEST(f->reading.ValueText, "valueText");
    QTEST(f->reading.NumericValue, "numericValue");
    QTEST(f->reading.AcDcText, "acDc");
    QTEST(f->reading.UnitText, "unit");
    QTEST(f->reading.RangeText, "range");
    QTEST(f->sign, "sign");
    QTEST(QStringList({f->d1, f->d2, f->d3, f->d4}).join(u'|'), "digits");
    QTEST(f->point, "point");
    QTEST(f->countRange.CountCode, "countCode");
    QCOMPARE(f->countRange, *CountRange::fromCode(f->countRange.CountCode));
    QTEST(f->barMaximum, "barMaximum");
    QTEST(f->needleValue, "needle");
    QTEST(f->barPosition, "barPosition");
    QTEST(f->chartValue, "chartValue");
}

void TestFrameDecoder::unitTextFollowsTheLastRuleThatHolds_data()
{
    QTest::addColumn<int>("annunciators");
    QTest::addColumn<QString>("unit");

    QTest::newRow("volt") << flags(A::Volt) << "V";
    QTest::newRow("farad") << flags(A::Farad) << "F";
    QTest::newRow("ohm") << flags(A::Ohm) << "*";
    QTest::newRow("nV") << flags(A::Volt | A::Nano) << "nV";
    QTest::newRow("uV") << flags(A::Volt | A::Micro) << "uV";
    QTest::newRow("nA") << flags(A::Ampere | A::Nano) << "nA";
    QTest::newRow("mA") << flags(A::Ampere | A::Milli) << "mA";
    QTest::newRow("mF") << flags(A::Farad | A::Milli) << "mF";
    QTest::newRow("uF") << flags(A::Farad | A::Micro) << "uF";
    QTest::newRow("k ohm") << flags(A::Ohm | A::Kilo) << "k*";
    QTest::newRow("ohm with prefix m stays ohm") << flags(A::Ohm | A::Milli) << "*";
    QTest::newRow("volt with prefix k stays volt") << flags(A::Volt | A::Kilo) << "V";
    QTest::newRow("percent overrides volt") << flags(A::Volt | A::Percent) << "%";
    QTest::newRow("mV overrides percent") << flags(A::Volt | A::Percent | A::Milli) << "mV";
    QTest::newRow("hertz overrides degrees") << flags(A::Celsius | A::Hertz) << "Hz";
    QTest::newRow("Fahrenheit overrides Celsius") << flags(A::Celsius | A::Fahrenheit) << "?";
    QTest::newRow("M ohm overrides k ohm") << flags(A::Ohm | A::Kilo | A::Mega) << "M*";
    QTest::newRow("micro overrides milli") << flags(A::Volt | A::Milli | A::Micro) << "uV";
}

void TestFrameDecoder::unitTextFollowsTheLastRuleThatHolds()
{
    QFETCH(int, annunciators);
    DisplayState display;
    display.annunciators = Annunciators::fromInt(annunciators);
    const std::optional<DecodedFrame> f = DecodedFrame::decode(display.toFrame().left(13), 6000);
    QVERIFY(f);
    QTEST(f->reading.UnitText, "unit");
}

void TestFrameDecoder::failedConversionStopsAtItsStep_data()
{
    QTest::addColumn<QByteArray>("frameBytes");
    QTest::addColumn<int>("failedStep");
    QTest::addColumn<QString>("error");
    // The shared reading after applyTo() over {"1.000", 1000, "AC", "V", "AUTO"}.
    QTest::addColumn<QStringList>("texts"); // ValueText, AcDcText, UnitText, RangeText
    QTest::addColumn<float>("numericValue");

    QTest::newRow("letter in a digit") << frame('+', "1:34", '2', 0x10, 0x00, 0x40, 0x80) << 12
                                       << "'1A34' is not a valid integer value"
                                       << QStringList{"1A.34", "DC", "mV", "MANU"} << 1000.0f;
    QTest::newRow("negative, letter in the last digit")
        << frame('-', "123?", '0', 0x20, 0x00, 0x00, 0x20) << 12
        << "'-123F' is not a valid integer value" << QStringList{"-123F", "", "*", "AUTO"}
        << 1000.0f;
    QTest::newRow("first digit E is no overload")
        << frame('+', ">234", '0', 0x00, 0x00, 0x00, 0x80) << 12
        << "'E234' is not a valid integer value" << QStringList{"E234", "", "V", "MANU"} << 1000.0f;
    QTest::newRow("letter in the point code")
        << frame('+', "1234", ';', 0x10, 0x00, 0x40, 0x80) << 4
        << "'B' is not a valid integer value" << QStringList{"1.000", "", "", ""} << 1000.0f;
    QTest::newRow("overload ignores letters in the other digits")
        << frame('+', "?:;<", '0', 0x10, 0x00, 0x00, 0x80) << 0 << ""
        << QStringList{"0L", "DC", "V", "MANU"} << 6001.0f;
}

void TestFrameDecoder::failedConversionStopsAtItsStep()
{
    QFETCH(QByteArray, frameBytes);
    QFETCH(QStringList, texts);

    const std::optional<DecodedFrame> f = DecodedFrame::decode(frameBytes, 6000);
    QVERIFY(f);
    QTEST(failedStep(f->failedStep), "failedStep");
    QTEST(f->error, "error");
    QCOMPARE(f->ok(), failedStep(f->failedStep) == 0);

    MeterReading shared{"1.000", 1000.0f, "AC", "V", "AUTO"};
    f->applyTo(shared);
    QCOMPARE(QStringList({shared.ValueText, shared.AcDcText, shared.UnitText, shared.RangeText}),
             texts);
    QTEST(shared.NumericValue, "numericValue");
}

void TestFrameDecoder::framingTestGuardsTheDecoder_data()
{
    QTest::addColumn<QByteArray>("frameBytes");
    QTest::addColumn<bool>("accepted");

    const QByteArray good = frame('+', "1234", '2', 0x30, 0x00, 0x40, 0x80);
    QTest::newRow("plus") << good << true;
    QTest::newRow("minus") << frame('-', "1234", '2', 0x30, 0x00, 0x40, 0x80) << true;
    QTest::newRow("sign missing") << "0" + good.mid(1) << false;
    QTest::newRow("no carriage return at byte 13") << good.left(12) + "\n" << false;
    QTest::newRow("one byte short") << good.left(12) << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestFrameDecoder::framingTestGuardsTheDecoder()
{
    QFETCH(QByteArray, frameBytes);
    QFETCH(bool, accepted);
    QCOMPARE(passesFramingTest(frameBytes), accepted);
    QCOMPARE(DecodedFrame::decode(frameBytes, 6000).has_value(), accepted);
}

void TestFrameDecoder::countRangeForCode_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("known");
    QTest::addColumn<QList<int>>("values"); // full, tenth, hundredth, fiftieth

    QTest::newRow("4") << "4" << true << QList<int>{4000, 400, 40, 80};
    QTest::newRow("6") << "6" << true << QList<int>{6000, 600, 60, 120};
    QTest::newRow("34") << "34" << true << QList<int>{3400, 340, 34, 68};
    QTest::newRow("10") << "10" << true << QList<int>{1000, 1000, 100, 200};
    QTest::newRow("1") << "1" << true << QList<int>{100, 100, 10, 20};
    QTest::newRow("13") << "13" << true << QList<int>{1000, 1000, 100, 200};
    QTest::newRow("unknown") << "5" << false << QList<int>{};
    QTest::newRow("leading zero") << "06" << false << QList<int>{};
}

void TestFrameDecoder::countRangeForCode()
{
    QFETCH(QString, code);
    QFETCH(bool, known);
    QFETCH(QList<int>, values);

    const std::optional<CountRange> range = CountRange::fromCode(code);
    QCOMPARE(range.has_value(), known);
    if (!range)
        return;
    QCOMPARE(range->CountCode, code);
    QCOMPARE(QList<int>({range->CountFull, range->CountTenth, range->CountHundredth,
                         range->CountFiftieth}),
             values);
    QCOMPARE(CountRange(), *CountRange::fromCode(u"4")); // the start-up default
}

void TestFrameDecoder::encodedStatesDecodeBack()
{
    // The simulator and the fuzz seeds make their frames with the encoder: each annunciator,
    // each point and both signs must come back from the decoder as they went in.
    for (const AnnunciatorBit &bit : annunciatorBits()) {
        for (int point = 0; point <= 3; ++point) {
            for (bool negative : {false, true}) {
                DisplayState display;
                display.negative = negative;
                display.digits = "4071";
                display.point = point;
                display.annunciators = bit.flag;
                const QByteArray bytes = display.toFrame();
                QCOMPARE(bytes.size(), 14);
                QCOMPARE(bytes.indexOf('\r'), 12);
                const std::optional<DecodedFrame> f =
                    DecodedFrame::decode(bytes.left(13), 6000);
                QVERIFY(f && f->ok());
                QCOMPARE(f->annunciators, Annunciators(bit.flag));
                QCOMPARE(f->point, point);
                QCOMPARE(f->reading.NumericValue, negative ? -4071.0f : 4071.0f);
            }
        }
    }
    DisplayState overload;
    overload.overload = true;
    overload.negative = true;
    const auto f = DecodedFrame::decode(overload.toFrame().left(13), 6000);
    QVERIFY(f && f->overload);
    QCOMPARE(f->reading.NumericValue, -6001.0f);
}

QTEST_GUILESS_MAIN(TestFrameDecoder)
#include "TestFrameDecoder.moc"
