#include "LimitAlarms.h"

#include "protocol/IntegerText.h"

void LimitAlarms::presetForCount(int countFull)
{
    m_state.MaxLimit = float(qint64(countFull) + 2);
    m_state.MinLimit = -float(qint64(countFull) + 2);
    m_state.PeakMax = -float(qint64(countFull) + 1);
    m_state.PeakMin = float(qint64(countFull) + 1);
}

LimitAlarms::LimitChange LimitAlarms::takeLimit(const QString &text, float &limit)
{
    LimitChange change;
    if (text.isEmpty() || text == QLatin1String("-") || text == QLatin1String("+")) {
        limit = 0.0f;
        change.redrawDial = true;
        return change;
    }
    const std::optional<int> value = protocol::IntegerText::parse(text);
    if (!value) {
        change.ok = false;
        change.error = protocol::IntegerText::conversionError(text);
        return change;
    }
    limit = float(*value);
    change.redrawDial = true;
    return change;
}

LimitAlarms::LimitChange LimitAlarms::SetmaxExit(const QString &setmaxText)
{
    return takeLimit(setmaxText, m_state.MaxLimit);
}

LimitAlarms::LimitChange LimitAlarms::SetMinExit(const QString &setMinText)
{
    return takeLimit(setMinText, m_state.MinLimit);
}

bool LimitAlarms::CheckLimits(float numericValue, bool setMaxB, bool setMinB) const
{
    if (setMaxB && numericValue > m_state.MaxLimit)
        return true;
    return setMinB && numericValue < m_state.MinLimit;
}

LimitAlarms::PeakCaptions LimitAlarms::TrackPeaks(const Reading &reading)
{
    PeakCaptions captions;
    const QString &shownUnit = reading.fullUnit.isEmpty() ? reading.UnitText : reading.fullUnit;
    // The range (which restarts the chart) follows the unit text alone; the extremes also
    // start afresh when the prefix of hertz changes, as 1.000 kHz and 1.000 MHz are no pair.
    const bool sameRange = reading.UnitText == m_state.LastUnitText &&
                           reading.pointPosition == m_state.LastPointPosition;
    if (sameRange && shownUnit == m_state.LastFullUnit) {
        if (reading.NumericValue >= m_state.PeakMax) {
            m_state.PeakMaxText = reading.ValueText;
            m_state.PeakMax = reading.NumericValue;
        }
        if (reading.NumericValue <= m_state.PeakMin) {
            m_state.PeakMinText = reading.ValueText;
            m_state.PeakMin = reading.NumericValue;
        }
    } else {
        // A new unit or decimal point: the old extremes are in other units, so they go, texts
        // and all, and the reading that brought the change is the first of the new extremes.
        // MIN and MAX thus always show readings of the unit beside them.
        captions.rangeChanged = !sameRange;
        m_state.LastUnitText = reading.UnitText;
        m_state.PeakMax = reading.NumericValue;
        m_state.PeakMin = reading.NumericValue;
        m_state.PeakMaxText = reading.ValueText;
        m_state.PeakMinText = reading.ValueText;
    }
    m_state.LastPointPosition = reading.pointPosition;
    m_state.LastFullUnit = shownUnit;

    captions.MaxText = m_state.PeakMaxText;
    captions.MinText = m_state.PeakMinText;
    captions.UnitText = shownUnit;
    return captions;
}
