#pragma once

#include <QDateTime>
#include <QString>

// Whether the reading on the display is live, and what the status bar's clock panel says.
//
// A meter that has been delivering frames and falls silent leaves its last reading on the
// display: that reading is marked stale (the window greys it) from the moment the link watchdog
// darkens the link picture until the next frame's reading is shown, and the clock panel says
// since when no data came. The start display before any frame is no reading, so it is never
// stale. When the record limit (or a log as full as a table can be) stops logging, the panel says so in place of the clock until the
// log may take readings again; a silent meter is the more urgent news and goes first.
class ReadingStatus
{
public:
    // A frame's reading was shown at `when`. True when this ends a silence.
    bool frameShown(const QDateTime &when);
    // The watchdog found no frame for its three ticks. True when this starts a silence.
    bool linkDarkened();
    bool stale() const { return m_stale; }
    QDateTime lastFrame() const { return m_lastFrame; }

    // Whether the record limit `limit` keeps readings out of the log. True when that changed, so
    // the stop is said once, when it happens.
    bool setLogStopped(bool stopped, qint32 limit, bool tableFull = false);
    bool logStopped() const { return m_logStopped; }

    // The clock panel's text at `now`.
    QString clockPanelText(const QDateTime &now) const;

    static QString noDataSince(const QDateTime &lastFrame);
    static QString logStoppedText(qint32 limit);
    static QString tableFullText();

private:
    QDateTime m_lastFrame;
    bool m_stale = false;
    bool m_logStopped = false;
    qint32 m_limit = 0;
    bool m_tableFull = false; // stopped because a table holds no more, not by the limit
};
