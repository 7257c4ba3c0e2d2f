#include "JournalOutput.h"

#include "log/JournalFormat.h"
#include "log/ReadingLog.h"
#include "log/engine/Cp1252.h"
#include "log/engine/EngineError.h"

#include <algorithm>
#include <utility>

void JournalOutput::setPort(const QString &port)
{
    if (port.isEmpty())
        return; // a link ended: the next one names its own
    m_port = port;
    m_port.remove(u'\t').remove(u'\n').remove(u'\r');
}

QString JournalOutput::startIfNeeded()
{
    if (m_journal.isStarted())
        return {};
    m_journalPort.clear();
    return m_journal.start(RecoveryJournal::defaultFolder(), JournalFormat::header());
}

QString JournalOutput::take(const LogRecord &record)
{
    if (QString error = startIfNeeded(); !error.isEmpty())
        return error;
    // Which meter the records came from: said again whenever the port changes.
    if (!m_port.isEmpty() && m_port != m_journalPort) {
        if (QString error = m_journal.append(JournalFormat::portLine(m_port)); !error.isEmpty())
            return error;
        m_journalPort = m_port;
    }
    return m_journal.append(JournalFormat::line(record));
}

QString JournalOutput::appendRestored(const QList<QByteArray> &lines)
{
    if (lines.isEmpty())
        return {};
    if (QString error = startIfNeeded(); !error.isEmpty())
        return error;
    if (QString error = m_journal.append(lines); !error.isEmpty())
        return error;
    for (const QByteArray &line : lines)
        if (std::optional<QString> port = JournalFormat::portOf(line))
            m_journalPort = *port;
    return {};
}

QString JournalOutput::flush()
{
    return m_journal.isStarted() ? m_journal.sync() : QString();
}

QString JournalOutput::rebuild(const ReadingLog &log, std::int64_t fromRow)
{
    const table::Table &t = log.table();
    if (!t.isOpen())
        return QStringLiteral("the log is not open");
    QString missing;
    const std::optional<ReadingLog::RecordFields> fields = log.recordFields(&missing);
    if (!fields)
        return QStringLiteral("the log has no field \"%1\"").arg(missing);
    const std::int64_t records = t.recordCount();

    // In parts, so that a long log is not held twice in memory.
    constexpr qsizetype kPart = 1 << 20;
    QByteArray first;
    if (!m_port.isEmpty())
        first = JournalFormat::portLine(m_port) + '\n';
    std::int64_t row = std::max<std::int64_t>(0, fromRow);
    const auto next = [&](QString &error) -> QByteArray {
        QByteArray part = std::exchange(first, {});
        try {
            for (; row < records && part.size() < kPart; ++row)
                part += JournalFormat::line(log.recordAt(row, *fields)) + '\n';
        } catch (const table::EngineError &e) {
            // Not every record could be read back: a journal holding less than the log is not
            // whole.
            error = QString::fromStdString(e.what());
        }
        return part;
    };
    const QString error =
        m_journal.rewrite(RecoveryJournal::defaultFolder(), JournalFormat::header(), next);
    if (error.isEmpty())
        m_journalPort = m_port;
    return error;
}
