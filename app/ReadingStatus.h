#pragma once

#include <QDateTime>
#include <QString>

#include <limits>

// Whether the reading on the display is live, and what the status bar's clock panel says.
//
// A meter that has been delivering frames and falls silent leaves its last reading on the
// display: that reading is marked stale (the window greys it) from the moment the link watchdog
// darkens the link picture until the next frame's reading is shown, and the clock panel says
// since when no data came. The start display before any frame is no reading, so it is never
// stale. When the record limit (or a log as full as a table can be) stops logging, the panel
// says so in place of the clock until the log may take readings again; a silent meter is the more urgent news and goes first.
// While the recovery journal cannot be written, the panel says the readings are not protected.
// A short notice (such as what a save wrote) takes the panel for a few seconds before either: it
// answers what the user just did, and the clock panel is where the window says such things
// without a box.
class ReadingStatus
{
public:
    // A frame's reading was shown at `when`, milliseconds since the epoch: taken as it comes,
    // turned into local time only for the panel's text. True when this ends a silence.
    bool frameShown(qint64 when);
    // The watchdog found no frame for its three ticks. True when this starts a silence.
    bool linkDarkened();
    bool stale() const { return m_stale; }
    // The link went away on its own (`reason` in a few words: "the device is gone"), or "" once
    // it is back: while it lasts, the panel says so first of all, since nothing is read.
    void setLinkLost(const QString &reason) { m_linkLost = reason; }
    const QString &linkLost() const { return m_linkLost; }
    QDateTime lastFrame() const
    {
        return m_lastFrame == kNone ? QDateTime() : QDateTime::fromMSecsSinceEpoch(m_lastFrame);
    }

    // Whether the record limit `limit` keeps readings out of the log. True when that changed, so
    // the stop is said once, when it happens.
    bool setLogStopped(bool stopped, qint32 limit, bool tableFull = false);
    bool logStopped() const { return m_logStopped; }

    // Why the recovery journal cannot be written ("" once it is again): the panel says the
    // readings are not protected for as long as it lasts, before a stop of the log (the unsaved
    // readings are at risk either way) and after a silent meter.
    void setUnprotected(const QString &reason) { m_unprotected = reason; }
    bool unprotected() const { return !m_unprotected.isEmpty(); }

    // Shows `text` in the clock panel until `until`.
    void showNotice(const QString &text, const QDateTime &until);
    // How long a notice stays.
    static constexpr int kNoticeSeconds = 5;

    // The clock panel's text at `now`.
    QString clockPanelText(const QDateTime &now) const;

    static QString noDataSince(const QDateTime &lastFrame);
    // "Link lost: the device is gone".
    static QString linkLostText(const QString &reason);
    static QString logStoppedText(qint32 limit);
    // "Saved 2061 readings to run.db".
    static QString savedText(qint64 records, const QString &file);
    static QString tableFullText();
    // "Readings not protected: Read-only file system".
    static QString unprotectedText(const QString &reason);

private:
    static constexpr qint64 kNone = std::numeric_limits<qint64>::min();
    qint64 m_lastFrame = kNone;
    bool m_stale = false;
    bool m_logStopped = false;
    qint32 m_limit = 0;
    QString m_notice;
    QDateTime m_noticeUntil;
    bool m_tableFull = false; // stopped because a table holds no more, not by the limit
    QString m_unprotected;
    QString m_linkLost;
};
