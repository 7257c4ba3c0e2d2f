#include "JournalOutput.h"

#include "log/ReadingLog.h"

#include <cstring>

#include <charconv>

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

QString JournalOutput::appendRestored(const QByteArray &line)
{
    if (QString error = startIfNeeded(); !error.isEmpty())
        return error;
    QString error = m_journal.append(line);
    if (error.isEmpty() && line.startsWith(ReadingLog::kPortLine))
        m_journalPort = QString::fromUtf8(line.mid(qsizetype(std::strlen(ReadingLog::kPortLine))));
    return error;
}

QString JournalOutput::flush()
{
    return m_journal.isStarted() ? m_journal.sync() : QString();
}
