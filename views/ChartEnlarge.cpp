#include "ChartEnlarge.h"

ChartEnlarge::Result ChartEnlarge::TbFdClick(const QRect &current, const QSize &windowOuterSize)
{
    if (current.top() > 50) {
        m_saved = current;
        return {QRect(2, 28, qMax(0, windowOuterSize.width() - 12),
                      qMax(0, windowOuterSize.height() - 105)),
                true};
    }
    return {m_saved.value_or(current), false};
}
