#pragma once

#include <QString>

// Alarm limits and running extremes, all in display counts (the reading's digits read as one
// whole number, decimal point ignored).
//
// Window handlers (TFCOMM) and what they call:
//   FormCreate     presetForCount(CountFull) right after the count range is known; then, for
//                  the 6000 and 3400 count profiles, write the Setmax / SetMin texts (their
//                  change handling below runs because the text changes) and the MinText /
//                  MaxText captions.
//   SetmaxExit     (Setmax textChanged, SetMaxB clicked): SetmaxExit(Setmax->text()); on an
//                  error show it and stop; otherwise redraw the dial face (Dial::KDsetup).
//   SetMinExit     the same with SetMin / SetMinB.
//   SetmaxKeyPress a KeyFilter of kind Limit on both boxes.
//   LcdDisplayUlmara, for each frame whose value decoded, in this order:
//     CheckLimits  CheckLimits(...) true -> QApplication::beep() and show oltext; false ->
//                  hide oltext.
//     TrackPeaks   TrackPeaks(...); if rangeChanged, restart the chart (ReadingChart::New,
//                  which applies the fill choice); then set the captions.
class LimitAlarms
{
public:
    // The module state, with the names the rest of the window uses.
    struct State
    {
        float MaxLimit = 4002.0f;
        float MinLimit = -4002.0f;
        float PeakMax = -4001.0f;
        float PeakMin = 4001.0f;
        QString PeakMaxText;
        QString PeakMinText;
        // Matches no unit text, so the first reading always counts as a change of range.
        QString LastUnitText = QStringLiteral("113");
        // The unit as shown of the extremes: a new prefix of hertz starts them afresh too.
        QString LastFullUnit;
        int LastPointPosition = 0;
    };

    // Result of a limit box change.
    struct LimitChange
    {
        bool ok = true;          // false: the text is not a whole number; the limit is unchanged
        QString error;           // the conversion error to show when !ok
        bool redrawDial = false; // true: the limit was taken, redraw the dial face
    };

    // What the window shows after TrackPeaks.
    struct PeakCaptions
    {
        bool rangeChanged = false; // unit or decimal point changed: restart the chart
        QString MaxText;           // caption of MaxText
        QString MinText;           // caption of MinText
        QString UnitText;          // caption of MaxTextU and MinTextU
    };

    // The reading as the decoder formed it.
    struct Reading
    {
        float NumericValue = 0.0f;
        QString ValueText;
        QString UnitText;
        int pointPosition = 0; // 0 without a decimal point, else 1, 2 or 3
        // The unit as the display shows it ("kHz" beside the unit text "Hz"); empty: UnitText.
        QString fullUnit = {};
    };

    const State &state() const { return m_state; }

    // Start-up presets for a count range: limits CountFull + 2 below and above zero, extremes
    // one count beyond full scale so the first reading replaces them.
    void presetForCount(int countFull);

    // Change of Setmax / SetMin text (or a click on its check box, which re-reads the text).
    // "", "-" and "+" mean 0, so a limit can be typed character by character.
    LimitChange SetmaxExit(const QString &setmaxText);
    LimitChange SetMinExit(const QString &setMinText);

    // Whether a reading is in alarm: above MaxLimit with SetMaxB ticked, or below MinLimit
    // with SetMinB ticked. Equality is no alarm.
    bool CheckLimits(float numericValue, bool setMaxB, bool setMinB) const;

    // Running extremes. A new unit or decimal point (the rule for a change of range, kept
    // here only) starts them afresh from this reading.
    PeakCaptions TrackPeaks(const Reading &reading);

private:
    static LimitChange takeLimit(const QString &text, float &limit);

    State m_state;
};
