#include "ChartPaging.h"

#include "protocol/IntegerText.h"

qint64 ChartPaging::pageCount(qint64 shownPoints, int pageSize)
{
    if (pageSize <= 0 || shownPoints <= 0)
        return 1;
    return shownPoints / pageSize + (shownPoints % pageSize > 0 ? 1 : 0);
}

bool ChartPaging::setCurrentPage(qint64 page, qint64 shownPoints)
{
    const qint64 clamped = qBound<qint64>(1, page, pageCount(shownPoints, m_pageSize));
    if (clamped == m_currentPage)
        return false;
    m_currentPage = clamped;
    return true;
}

void ChartPaging::showPageNumber()
{
    m_buttons.Bt10 = QString::number(m_currentPage);
}

void ChartPaging::First(qint64 shownPoints)
{
    m_buttons.BtFirst = m_buttons.BTPrevious = false;
    m_buttons.BtNext = m_buttons.BTlast = true;
    setCurrentPage(1, shownPoints);
    showPageNumber();
    m_livePaging = false;
}

void ChartPaging::Previous(qint64 shownPoints)
{
    if (m_currentPage == 1) {
        m_buttons.BtFirst = m_buttons.BTPrevious = false;
    } else {
        setCurrentPage(m_currentPage - 1, shownPoints);
    }
    m_buttons.BtNext = m_buttons.BTlast = true;
    showPageNumber();
    m_livePaging = false;
}

void ChartPaging::Next(qint64 shownPoints)
{
    if (m_currentPage == pageCount(shownPoints, m_pageSize)) {
        m_buttons.BtNext = m_buttons.BTlast = false;
    } else {
        setCurrentPage(m_currentPage + 1, shownPoints);
    }
    m_buttons.BtFirst = m_buttons.BTPrevious = true;
    showPageNumber();
    m_livePaging = false;
}

void ChartPaging::Last(qint64 shownPoints)
{
    m_buttons.BtNext = m_buttons.BTlast = false;
    m_buttons.BtFirst = m_buttons.BTPrevious = true;
    setCurrentPage(pageCount(shownPoints, m_pageSize), shownPoints);
    showPageNumber();
    m_livePaging = true;
}

bool ChartPaging::follow(qint64 shownPoints)
{
    if (!m_livePaging)
        return false;
    const bool moved = setCurrentPage(pageCount(shownPoints, m_pageSize), shownPoints);
    showPageNumber();
    return moved;
}

QString ChartPaging::MaxrecordExit(const QString &text, qint64 shownPoints)
{
    const std::optional<int> size = protocol::IntegerText::parse(text);
    if (!size)
        return protocol::IntegerText::conversionError(text);
    if (*size < 0)
        return QStringLiteral("The page size cannot be negative: %1").arg(*size);
    m_pageSize = *size;
    setCurrentPage(m_currentPage, shownPoints);
    return {};
}

qint64 ChartPaging::pageBegin(qint64 shownPoints) const
{
    if (m_pageSize <= 0)
        return 0;
    return qMin((m_currentPage - 1) * m_pageSize, qMax<qint64>(shownPoints, 0));
}

qint64 ChartPaging::pageEnd(qint64 shownPoints) const
{
    if (m_pageSize <= 0)
        return qMax<qint64>(shownPoints, 0);
    return qBound<qint64>(pageBegin(shownPoints), m_currentPage * m_pageSize, shownPoints);
}

double ChartPaging::axisMin() const
{
    return m_pageSize <= 0 ? 0.0 : double((m_currentPage - 1) * m_pageSize);
}

double ChartPaging::axisMax(qint64 shownPoints) const
{
    const double span = m_pageSize <= 0 ? double(shownPoints - 1) : double(m_pageSize - 1);
    // A one-point page still needs an axis of some width.
    return axisMin() + qMax(span, 1.0);
}
