#pragma once

#include <QString>

// Enabled states of the chart's page buttons and the page number shown on Bt10.
struct PageButtons
{
    bool BtFirst = true;
    bool BTPrevious = true;
    bool BtNext = true;
    bool BTlast = true;
    QString Bt10 = QStringLiteral("1");

    friend bool operator==(const PageButtons &a, const PageButtons &b)
    {
        return a.BtFirst == b.BtFirst && a.BTPrevious == b.BTPrevious && a.BtNext == b.BtNext &&
               a.BTlast == b.BTlast && a.Bt10 == b.Bt10;
    }
    friend bool operator!=(const PageButtons &a, const PageButtons &b) { return !(a == b); }
};

// Paging of the trend chart: page size, current page, following the newest page, and what
// the page buttons show. Every operation is given the point count of the shown series, which
// is all the page count depends on.
class ChartPaging
{
public:
    static constexpr int kDefaultPageSize = 100;

    // 1 for page size 0 (no paging) or no points; else the pages needed for `shownPoints`.
    static qint64 pageCount(qint64 shownPoints, int pageSize);

    int pageSize() const { return m_pageSize; }
    qint64 currentPage() const { return m_currentPage; }
    bool LivePaging() const { return m_livePaging; }
    const PageButtons &buttons() const { return m_buttons; }

    // Sets the current page, clamped to 1 .. page count. Returns whether it changed.
    bool setCurrentPage(qint64 page, qint64 shownPoints);

    // The page moves of the page buttons and the Graphic menu. First, Previous and Next stop
    // following the newest page; Last resumes it.
    void First(qint64 shownPoints);
    void Previous(qint64 shownPoints);
    void Next(qint64 shownPoints);
    void Last(qint64 shownPoints);

    // Following, between a reading's addition to the line and to the area series: go to the
    // last page and show its number. Does nothing unless LivePaging. Returns whether the page
    // changed.
    bool follow(qint64 shownPoints);

    // New page size from the Maxrecord text. Returns an error message and keeps the size when
    // the text is not a whole number or is negative; otherwise clamps the current page to the
    // new page count (Bt10 keeps its caption until the next move or followed reading).
    QString MaxrecordExit(const QString &text, qint64 shownPoints);

    // Point indices [first, last) of the current page; the whole history for page size 0.
    qint64 pageBegin(qint64 shownPoints) const;
    qint64 pageEnd(qint64 shownPoints) const;

    // The X range the page is drawn over: a partly filled last page keeps the scale of a full
    // page.
    double axisMin() const;
    double axisMax(qint64 shownPoints) const;

private:
    void showPageNumber();

    int m_pageSize = kDefaultPageSize;
    qint64 m_currentPage = 1;
    bool m_livePaging = true;
    PageButtons m_buttons;
};
