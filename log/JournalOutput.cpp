#include "JournalOutput.h"

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

QString JournalOutput::take(const LogRecord &record)
{
    if (!m_journal.isStarted()) {
        const QString error = m_journal.start(RecoveryJournal::defaultFolder(), header());
        if (!error.isEmpty())
            return error;
    }
    return m_journal.append(line(record));
}

QString JournalOutput::flush()
{
    return m_journal.isStarted() ? m_journal.sync() : QString();
}
