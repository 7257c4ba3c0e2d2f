#pragma once

#include "Annunciator.h"
#include "CountRange.h"
#include "MeterReading.h"

#include <QString>
#include <QStringView>

#include <optional>

namespace protocol {

// Everything one frame tells the window, worked out without touching a control. The window's
// LcdDisplayUlmara decodes FrameHex with decode() and then runs the steps below in this order,
// applying each field where its step says. The order binds: the alarm check sees the reading
// before the chart restarts, the dial is set up for the new range before the log sees the
// reading, and so on.
//
//  1. Link indicators: show CONok, hide CONokN, show Image1; LinkWatchTicks := 0.
//  2. (The status bits are read by decode().)
//  3. Clear AcDcText, RangeText and UnitText of the shared MeterReading; hide the replica's
//     annunciators (LcdDc1, LcdV, LcdAC, LCDHold, LCDHz, LCDBF, LCDDI, LCDFm, LCDCS, LCDFS,
//     LCDREL, LCDBATT, LCDn, LCDohm, LcdFH, LcdAuto, Labmax, Labmin, LcdRPM, LCDBT, LCDk,
//     LCDM1, LCDu, Lcdm, LCDF, LCDA, EF, LCDsend); show Memo2 when Data_display is ticked,
//     hide it otherwise; show LCDsend.
//  4. Digits and point are taken: nothing to show yet. May fail (failedStep == 4).
//  5. For every annunciatorBits() row with step 5: show its control when has(flag).
//  6. LcdAuto visible = has(Annunciator::AutoRange). (reading.RangeText is "AUTO"/"MANU".)
//  7. (Overload digits are already in d1..d4.)
//  8. LcdFH visible = (sign == "-").
//  9. LcdP1, LcdP2, LcdP3 visible when point equals 1, 2, 3.
// 10. For every annunciatorBits() row with step 10: control visible = has(flag).
// 11. (reading.AcDcText and reading.UnitText.)
// 12. (reading.ValueText and reading.NumericValue.) May fail (failedStep == 12).
//     applyTo(shared MeterReading) writes what steps 3 to 12 wrote, also after a failure.
// 13. CheckLimits with reading.NumericValue.
// 14. TrackPeaks: changesRange(LastUnitText, LastPointPosition) chooses between updating the
//     extremes with reading.NumericValue/ValueText and restarting the chart and the extremes
//     (ShowSeries, BtNewClick, LastUnitText := reading.UnitText, extremes reset with the
//     CountFull in force when the frame arrived, not countRange.CountFull); then
//     LastPointPosition := point and the extreme captions take reading.UnitText.
// 15. Captions of LcdDa, LcdDb, LcdDc, LcdDd := d1, d2, d3, d4; maximum of PBar2 :=
//     barMaximum; CountCode and CountRange := countRange; KDsetup; KDrun(countRange.CountTenth);
//     KDrun(needleValue).
// 16. INDataToTable with the shared MeterReading.
// 17. Position of PBar2 := barPosition.
// 18. Add chartValue to Series1 and to Series2 (label "paper", blue); follow the last page
//     when LivePaging is on.
//
// When failedStep is not 0, the window runs steps 1 up to failedStep - 1, calls applyTo(), and
// reports `error` ("'%s' is not a valid integer value") the way a conversion error is reported;
// the fields the failed step and later ones would have set are not valid.
struct DecodedFrame
{
    // 0 when every step succeeded; otherwise the step (4 or 12) whose text-to-integer
    // conversion failed, and the error text naming the offending text.
    int failedStep = 0;
    QString error;

    Annunciators annunciators;
    bool has(Annunciator flag) const { return annunciators.testFlag(flag); }

    QString sign;           // "" or "-"
    QString d1, d2, d3, d4; // the digit captions; on overload "", "0", "@" (drawn as L), ""
    int point = 0;          // decimal point after digit 1, 2 or 3; 0 for none
    bool overload = false;

    // Steps 6, 11 and 12. Valid in full only when failedStep is 0; see applyTo().
    MeterReading reading;

    // Step 15: the range of the unit shown, the bar graph's maximum, and where the needle goes.
    CountRange countRange;
    int barMaximum = 60;
    int needleValue = 0;
    // Step 17 and step 18.
    int barPosition = 0;
    int chartValue = 0;

    bool ok() const { return failedStep == 0; }

    // A new unit or a moved decimal point starts a fresh chart and fresh extremes.
    bool changesRange(QStringView lastUnitText, int lastPointPosition) const
    {
        return reading.UnitText != lastUnitText || point != lastPointPosition;
    }

    // Writes into the window's shared reading what the decoding steps wrote before they ended:
    // all of it after success; after a failure at step 4 only the cleared AcDcText, RangeText
    // and UnitText; after one at step 12 everything but NumericValue.
    void applyTo(MeterReading &shared) const;

    // Decodes an accepted frame. countFullInForce is the CountFull set by the previous frame
    // (or at start-up): the overload value of this frame is measured against it, because the
    // range of the new unit is only set at step 15.
    // Returns nothing for a text that does not pass the framing test: the program never
    // decodes those.
    static std::optional<DecodedFrame> decode(QStringView frameHex, qint32 countFullInForce);
};

} // namespace protocol
