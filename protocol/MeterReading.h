#pragma once

#include <QString>

namespace protocol {

// One decoded reading as the views and the reading log see it.
// Unit texts use the display font's stand-ins: "*" ohm, "#" degrees Celsius,
// "?" degrees Fahrenheit.
struct MeterReading
{
    QString ValueText;         // the display as shown, e.g. "-12.34", or "0.L" for an overload
    float NumericValue = 0.0f; // signed display counts, the decimal point ignored
    QString AcDcText;          // "AC", "DC" or empty
    QString UnitText;          // e.g. "mV", "k*", "Hz", or empty
    QString RangeText;         // "AUTO" or "MANU"

    friend bool operator==(const MeterReading &a, const MeterReading &b)
    {
        return a.ValueText == b.ValueText && a.NumericValue == b.NumericValue &&
               a.AcDcText == b.AcDcText && a.UnitText == b.UnitText && a.RangeText == b.RangeText;
    }
    friend bool operator!=(const MeterReading &a, const MeterReading &b) { return !(a == b); }
};

} // namespace protocol
