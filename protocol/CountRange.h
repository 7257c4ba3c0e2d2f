#pragma once

#include <QString>
#include <QStringView>

#include <optional>

namespace protocol {

// The full-scale count of the active range and the values the views derive from it.
// A default-constructed range is the 4000-count range the program starts from before the
// model profile is applied.
struct CountRange
{
    QString CountCode = QStringLiteral("4");
    qint32 CountFull = 4000;    // chart axis and the value of an overload
    qint32 CountTenth = 400;    // dial centre: where the needle of a zero reading stands
    qint32 CountHundredth = 40; // bar-graph position of an overload
    qint32 CountFiftieth = 80;  // ten times this is the dial's full deflection

    // The range for a count code: "4", "6", "34" (model profiles) and "10", "1", "13" (units).
    // Any other code has no range.
    static std::optional<CountRange> fromCode(QStringView code);

    // The range the meter's display has for a unit text: hertz, percent and the two
    // temperature units have their own; every other unit, and no unit, is the 6000-count range.
    static CountRange forUnit(QStringView unitText);

    friend bool operator==(const CountRange &a, const CountRange &b)
    {
        return a.CountCode == b.CountCode && a.CountFull == b.CountFull &&
               a.CountTenth == b.CountTenth && a.CountHundredth == b.CountHundredth &&
               a.CountFiftieth == b.CountFiftieth;
    }
    friend bool operator!=(const CountRange &a, const CountRange &b) { return !(a == b); }
};

} // namespace protocol
