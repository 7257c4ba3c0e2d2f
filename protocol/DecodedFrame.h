#pragma once

#include "Annunciator.h"
#include "CountRange.h"
#include "MeterReading.h"

#include <QString>
#include <QByteArrayView>

#include <optional>

namespace protocol {

// Everything one frame tells: the annunciators, the digits as the display shows them, the reading,
// the range of the unit shown and where the bar graph, the dial's needle and the chart go. Worked
// out without touching a control; the window applies it in the display's order (see
// app/ReplicaPanel.h).
//
// Decoding converts texts to whole numbers at two points, either of which can fail on a garbled
// frame: the point code (the digits and point are taken, nothing else is known yet) and the
// joined digits (the annunciators, units and range texts are known, the value is not).
// failedStep says which; the error names the offending text as a conversion error does.
struct DecodedFrame
{
    enum class Failure
    {
        None,
        PointCode, // the point code is no number: only the digits are known
        Value,     // the digits are no number: all but the numeric value is known
    };
    Failure failedStep = Failure::None;
    QString error; // "'<text>' is not a valid integer value"

    Annunciators annunciators;
    bool has(Annunciator flag) const { return annunciators.testFlag(flag); }

    QString sign;           // "" or "-"
    QString d1, d2, d3, d4; // the digit captions; on overload "", "0", "@" (drawn as L), ""
    int point = 0;          // decimal point after digit 1, 2 or 3; 0 for none
    bool overload = false;

    // Valid in full only when nothing failed; see applyTo().
    MeterReading reading;

    // The range of the unit shown, the bar graph's maximum, and where the needle goes.
    CountRange countRange;
    int barMaximum = 60;
    int needleValue = 0;
    // The bar graph's position and the chart's value.
    int barPosition = 0;
    int chartValue = 0;

    bool ok() const { return failedStep == Failure::None; }

    // Writes into the window's shared reading what decoding found before it ended: all of it
    // after success; after a failed point code only the cleared AcDcText, RangeText and
    // UnitText; after failed digits everything but NumericValue.
    void applyTo(MeterReading &shared) const;

    // Decodes a frame's bytes. countFullInForce is the CountFull set by the previous frame (or
    // at start-up): the overload value of this frame is measured against it, because the range
    // of the new unit only takes effect once the frame is shown.
    // Returns nothing for a frame that does not pass the framing test: those are never decoded.
    static std::optional<DecodedFrame> decode(QByteArrayView frame, qint32 countFullInForce);
};

} // namespace protocol
