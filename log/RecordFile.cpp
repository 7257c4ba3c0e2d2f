#include "log/RecordFile.h"

#include <utility>

RecordFile::~RecordFile()
{
    close();
}

QString RecordFile::open(const QString &path, const QByteArray &header, bool *repaired,
                         bool *foreign)
{
    close();
    m_lastLine.clear();
    m_headerLines = 0;
    m_failed = false;
    m_untold.clear();
    if (repaired)
        *repaired = false;
    if (foreign)
        *foreign = false;
    DurableLineFile::Options options;
    options.permissions = 0644;
    // A file that is not a log of this format (a table, a photo, a text of another layout) is
    // not appended to, and above all not cut back to a line end that is none. A header cut
    // short by a crash is the start of one, and is cut back like half a line.
    options.mustBeginWith = header.isEmpty() ? QByteArray("{") : header;
    m_csvLayout = CsvLayout::Current;
    DurableLineFile::Opened opened = m_file.open(path, options);
    // A CSV file begun by an earlier version goes on in its own columns.
    if (opened.refusal == DurableLineFile::Refusal::Foreign &&
        logrecord::csvLayoutOf(header) == CsvLayout::Current) {
        options.mustBeginWith = logrecord::header(LogFormat::Csv, CsvLayout::Older);
        opened = m_file.open(path, options);
        if (opened.refusal != DurableLineFile::Refusal::Foreign)
            m_csvLayout = CsvLayout::Older;
    }
    if (opened.refusal == DurableLineFile::Refusal::Foreign) {
        if (foreign)
            *foreign = true;
        return QStringLiteral("%1 is not a log of this format (it does not begin with %2); "
                              "it was left as it is")
            .arg(path, header.isEmpty() ? QStringLiteral("'{'")
                                        : QStringLiteral("the format's header line"));
    }
    if (!opened.ok())
        return opened.error;
    if (repaired)
        *repaired = opened.droppedBytes > 0;
    m_lastLine = m_file.lastLine();
    QString error;
    if (m_file.size() == 0 && !header.isEmpty()) {
        error = m_file.append(header);
        m_headerLines = m_file.linesAppended();
    }
    if (error.isEmpty())
        error = m_file.sync();
    if (!error.isEmpty())
        m_failed = true; // told here, once
    return error;
}

void RecordFile::append(const QByteArray &line)
{
    if (!m_file.isOpen() || m_failed)
        return;
    const QString error = m_file.append(line);
    if (!error.isEmpty()) {
        m_failed = true;
        m_untold = error;
    }
}

QString RecordFile::flush()
{
    if (!m_file.isOpen())
        return {};
    if (!m_untold.isEmpty())
        return std::exchange(m_untold, QString());
    if (m_failed)
        return {};
    const QString error = m_file.sync();
    if (!error.isEmpty())
        m_failed = true;
    return error;
}

QString RecordFile::close()
{
    if (!m_file.isOpen())
        return {};
    QString error = flush();
    const QString closed = m_file.close();
    if (error.isEmpty() && !m_failed)
        error = closed;
    return error;
}

qint64 RecordFile::recordsInFile() const
{
    return m_file.linesSynced() - m_headerLines;
}
