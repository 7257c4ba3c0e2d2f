#pragma once

#include <QRect>
#include <QSize>

#include <optional>

// Enlarging the chart over the window and putting it back (TbFdClick, one handler for both
// icons). The window applies the result to the Chtshow container and swaps the icons:
// enlarged -> hide TbFd, show TbSx; otherwise the reverse.
class ChartEnlarge
{
public:
    struct Result
    {
        QRect bounds;          // where the chart goes
        bool enlarged = false; // the state after the click
    };

    // Decided by the chart's top edge: below y = 50 it is in its normal place and is
    // enlarged to the window (outer size) less the window's edges; otherwise it goes back to
    // SavedChartBounds. Without saved bounds (never enlarged) it stays where it is.
    Result TbFdClick(const QRect &current, const QSize &windowOuterSize);

    std::optional<QRect> SavedChartBounds() const { return m_saved; }

private:
    std::optional<QRect> m_saved;
};
