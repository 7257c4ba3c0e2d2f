#include "JournalOutput.h"

#include "log/LogTableLayout.h"
#include "log/ReadingLog.h"
#include "log/engine/Cp1252.h"
#include "log/engine/EngineError.h"

#include <cstring>

#include <algorithm>
#include <charconv>
#include <utility>

QByteArray JournalOutput::header()
{
    return QByteArrayLiteral("No\tTime\tDC/AC\tValue\tUnit\tAUTO\tNval\tDateTime\tFullUnit");
}

QByteArray JournalOutput::line(const LogRecord &record)
{
    const protocol::MeterReading &m = record.reading;
    // The numeric value as the table's Number field gives it back.
    char number[64];
    const auto written = std::to_chars(number, number + sizeof number, double(m.NumericValue),
                                       std::chars_format::general, 15);
    QByteArray out;
    out.reserve(96);
    out += QByteArray::number(record.no);
    out += '\t';
    out += logrecord::timeText(record).toLatin1();
    out += '\t';
    out += m.AcDcText.toUtf8();
    out += '\t';
    out += m.ValueText.toUtf8();
    out += '\t';
    out += m.UnitText.toUtf8();
    out += '\t';
    out += m.RangeText.toUtf8();
    out += '\t';
    out += QByteArray(number, int(written.ptr - number));
    out += '\t';
    out += logrecord::isoStamp(record.when).toLatin1();
    out += '\t';
    out += record.unit().toUtf8();
    return out;
}

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
    return m_journal.start(RecoveryJournal::defaultFolder(), header());
}

QString JournalOutput::take(const LogRecord &record)
{
    if (QString error = startIfNeeded(); !error.isEmpty())
        return error;
    // Which meter the records came from: said again whenever the port changes.
    if (!m_port.isEmpty() && m_port != m_journalPort) {
        if (QString error = m_journal.append(ReadingLog::kPortLine + m_port.toUtf8());
            !error.isEmpty())
            return error;
        m_journalPort = m_port;
    }
    return m_journal.append(line(record));
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
        if (line.startsWith(ReadingLog::kPortLine))
            m_journalPort =
                QString::fromUtf8(line.mid(qsizetype(std::strlen(ReadingLog::kPortLine))));
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
        first = ReadingLog::kPortLine + m_port.toUtf8() + '\n';
    std::int64_t row = std::max<std::int64_t>(0, fromRow);
    const auto next = [&](QString &error) -> QByteArray {
        QByteArray part = std::exchange(first, {});
        try {
            for (; row < records && part.size() < kPart; ++row)
                part += line(log.recordAt(row, *fields)) + '\n';
        } catch (const table::EngineError &e) {
            // Not every record could be read back: a journal holding less than the log is not
            // whole.
            error = QString::fromStdString(e.what());
        }
        return part;
    };
    const QString error = m_journal.rewrite(RecoveryJournal::defaultFolder(), header(), next);
    if (error.isEmpty())
        m_journalPort = m_port;
    return error;
}
