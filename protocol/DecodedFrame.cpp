#include "DecodedFrame.h"

#include "CompletedFrame.h"
#include "IntegerText.h"

namespace protocol {

namespace {

const QString kOverloadDigit = QStringLiteral("@"); // the display font draws it as the L

std::optional<int> toInteger(const QString &text)
{
    return IntegerText::parse(text);
}

// The digit a byte shows: its low four bits as a hex digit, so a garbled byte gives a letter
// that the conversion then refuses.
QString lowDigit(QByteArrayView frame, qsizetype index)
{
    return QString(QChar(u"0123456789ABCDEF"[static_cast<quint8>(frame[index]) & 0x0F]));
}

QString unitText(const DecodedFrame &f)
{
    using A = Annunciator;
    const bool volt = f.has(A::Volt), ampere = f.has(A::Ampere), ohm = f.has(A::Ohm),
               farad = f.has(A::Farad);
    // Later rules override earlier ones, so the prefixed units win over their bare unit and
    // percent wins over a bare volt.
    QString unit;
    if (volt)
        unit = QStringLiteral("V");
    if (ampere)
        unit = QStringLiteral("A");
    if (ohm)
        unit = QStringLiteral("*");
    if (farad)
        unit = QStringLiteral("F");
    if (f.has(A::Celsius))
        unit = QStringLiteral("#");
    if (f.has(A::Fahrenheit))
        unit = QStringLiteral("?");
    if (f.has(A::Hertz))
        unit = QStringLiteral("Hz");
    if (f.has(A::Percent))
        unit = QStringLiteral("%");
    const struct
    {
        bool base;
        Annunciator prefix;
        const char *text;
    } kPrefixed[] = {
        {volt, A::Nano, "nV"},   {volt, A::Milli, "mV"},   {volt, A::Micro, "uV"},
        {ampere, A::Nano, "nA"}, {ampere, A::Milli, "mA"}, {ampere, A::Micro, "uA"},
        {farad, A::Nano, "nF"},  {farad, A::Milli, "mF"},  {farad, A::Micro, "uF"},
        {ohm, A::Kilo, "k*"},    {ohm, A::Mega, "M*"},
    };
    for (const auto &rule : kPrefixed) {
        if (rule.base && f.has(rule.prefix))
            unit = QString::fromLatin1(rule.text);
    }
    return unit;
}

int barMaximumForUnit(const QString &unit)
{
    if (unit == u"%")
        return 10;
    if (unit == u"Hz" || unit == u"#" || unit == u"?")
        return 100;
    return 60;
}

} // namespace

void DecodedFrame::applyTo(MeterReading &shared) const
{
    if (failedStep == Failure::PointCode) {
        shared.AcDcText.clear();
        shared.RangeText.clear();
        shared.UnitText.clear();
        return;
    }
    const float numericValue = shared.NumericValue;
    shared = reading;
    if (failedStep == Failure::Value)
        shared.NumericValue = numericValue;
}

std::optional<DecodedFrame> DecodedFrame::decode(QByteArrayView frame, qint32 countFullInForce)
{
    if (!passesFramingTest(frame))
        return std::nullopt;

    DecodedFrame f;

    // The digits are texts; the point code is the only conversion here.
    f.d1 = lowDigit(frame, 1);
    f.d2 = lowDigit(frame, 2);
    f.d3 = lowDigit(frame, 3);
    f.d4 = lowDigit(frame, 4);
    const QString pointDigit = lowDigit(frame, 6);
    const std::optional<int> pointCode = toInteger(pointDigit);
    if (!pointCode) {
        f.failedStep = Failure::PointCode;
        f.error = IntegerText::conversionError(pointDigit);
        return f;
    }
    f.point = *pointCode == 1 ? 1 : *pointCode == 2 ? 2 : *pointCode == 4 ? 3 : 0;

    // The status bytes are frame bytes 8 to 11.
    for (const AnnunciatorBit &bit : annunciatorBits()) {
        if (static_cast<quint8>(frame[6 + bit.statusByte]) & bit.mask)
            f.annunciators |= bit.flag;
    }

    // Range mode.
    f.reading.RangeText =
        f.has(Annunciator::AutoRange) ? QStringLiteral("AUTO") : QStringLiteral("MANU");

    // Overload: the first digit byte's low bits all set.
    f.overload = (static_cast<quint8>(frame[1]) & 0x0F) == 0x0F;
    if (f.overload) {
        f.d1.clear();
        f.d2 = QStringLiteral("0");
        f.d3 = kOverloadDigit;
        f.d4.clear();
    }

    // Sign.
    f.sign = static_cast<quint8>(frame[0]) == 0x2D ? QStringLiteral("-") : QString();

    // Coupling and unit: DC wins when the meter sets both bits.
    if (f.has(Annunciator::Ac))
        f.reading.AcDcText = QStringLiteral("AC");
    if (f.has(Annunciator::Dc))
        f.reading.AcDcText = QStringLiteral("DC");
    f.reading.UnitText = unitText(f);

    // The value as displayed, and as signed counts.
    const QString dot1 = f.point == 1 ? QStringLiteral(".") : QString();
    const QString dot2 = f.point == 2 ? QStringLiteral(".") : QString();
    const QString dot3 = f.point == 3 ? QStringLiteral(".") : QString();
    f.reading.ValueText = f.overload ? dot1 + u'0' + dot2 + u'L' + dot3
                                     : f.sign + f.d1 + dot1 + f.d2 + dot2 + f.d3 + dot3 + f.d4;
    const QString signedD3 = f.sign + f.d3;
    const bool positiveOverload = signedD3 == kOverloadDigit;
    const bool negativeOverload = signedD3 == u'-' + kOverloadDigit;
    const QString allDigits = f.sign + f.d1 + f.d2 + f.d3 + f.d4;
    if (positiveOverload) {
        f.reading.NumericValue = static_cast<float>(countFullInForce + 1);
    } else if (negativeOverload) {
        f.reading.NumericValue = -static_cast<float>(countFullInForce + 1);
    } else {
        const std::optional<int> counts = toInteger(allDigits);
        if (!counts) {
            f.failedStep = Failure::Value;
            f.error = IntegerText::conversionError(allDigits);
            return f;
        }
        f.reading.NumericValue = static_cast<float>(*counts);
    }
    // Every later conversion reads a subset of the digits just converted, so none can fail.

    // The range of this frame's unit.
    const QString &unit = f.reading.UnitText;
    f.countRange = CountRange::forUnit(unit);
    f.barMaximum = barMaximumForUnit(unit);
    const CountRange &range = f.countRange;
    if (positiveOverload) {
        f.needleValue = 10 * range.CountFiftieth;
    } else if (negativeOverload) {
        f.needleValue = 0;
    } else {
        // The needle follows the first three digits, the temperatures all four.
        const bool allFour = unit == u"#" || unit == u"?";
        const QString dialDigits = f.sign + f.d1 + f.d2 + f.d3 + (allFour ? f.d4 : QString());
        f.needleValue = toInteger(dialDigits).value_or(0) + range.CountTenth;
    }

    // The bar graph.
    if (f.d2 + f.d3 == u'0' + kOverloadDigit)
        f.barPosition = range.CountHundredth;
    else
        f.barPosition = std::max(1, toInteger(f.d1 + f.d2).value_or(0));

    // The chart.
    if (f.d3 == kOverloadDigit)
        f.chartValue = f.sign.isEmpty() ? range.CountFull : -range.CountFull;
    else
        f.chartValue = toInteger(allDigits).value_or(0);

    return f;
}

} // namespace protocol
