#include "ReadingStatus.h"

#include "ClockText.h"

bool ReadingStatus::frameShown(qint64 when)
{
    m_lastFrame = when;
    m_linkLost.clear();
    const bool wasStale = m_stale;
    m_stale = false;
    return wasStale;
}

bool ReadingStatus::linkDarkened()
{
    // The watchdog darkens again every three ticks while the link stays silent, and it darkens
    // the start display too, which has no reading to go stale.
    if (m_stale || m_lastFrame == kNone)
        return false;
    m_stale = true;
    return true;
}

bool ReadingStatus::setLogStopped(bool stopped, qint32 limit, bool tableFull)
{
    const bool changed = stopped != m_logStopped ||
                         (stopped && (limit != m_limit || tableFull != m_tableFull));
    m_logStopped = stopped;
    m_limit = limit;
    m_tableFull = tableFull;
    return changed;
}

void ReadingStatus::showNotice(const QString &text, const QDateTime &until)
{
    m_notice = text;
    m_noticeUntil = until;
}

QString ReadingStatus::clockPanelText(const QDateTime &now) const
{
    if (!m_notice.isEmpty() && now < m_noticeUntil)
        return m_notice;
    if (!m_linkLost.isEmpty())
        return linkLostText(m_linkLost);
    if (m_stale)
        return noDataSince(lastFrame());
    if (!m_unprotected.isEmpty())
        return unprotectedText(m_unprotected);
    if (m_logStopped)
        return m_tableFull ? tableFullText() : logStoppedText(m_limit);
    return clockText(now);
}

QString ReadingStatus::noDataSince(const QDateTime &lastFrame)
{
    return QStringLiteral("no data since ") + lastFrame.toString(QStringLiteral("HH:mm:ss"));
}

QString ReadingStatus::linkLostText(const QString &reason)
{
    return QStringLiteral("Link lost: ") + reason;
}

QString ReadingStatus::logStoppedText(qint32 limit)
{
    return QStringLiteral("Logging stopped: limit %1").arg(limit);
}

QString ReadingStatus::savedText(qint64 records, const QString &file)
{
    return QStringLiteral("Saved %1 %2 to %3")
        .arg(records)
        .arg(records == 1 ? QStringLiteral("reading") : QStringLiteral("readings"), file);
}

QString ReadingStatus::tableFullText()
{
    return QStringLiteral("Logging stopped: table full");
}

QString ReadingStatus::unprotectedText(const QString &reason)
{
    return QStringLiteral("Readings not protected: ") + reason;
}
