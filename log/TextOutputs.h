#pragma once

#include "log/RecordFile.h"
#include "log/LogRecord.h"
#include "log/RecordOutput.h"

#include <cstdio>

// Each record on a stream (standard output) as a tab-separated line, as the window's text layout
// has it but ending in a plain line feed.
class StreamOutput : public RecordOutput
{
public:
    explicit StreamOutput(std::FILE *out) : m_out(out) {}

    QString take(const LogRecord &record) override
    {
        QByteArray line = logrecord::line(LogFormat::Tsv, record);
        line.chop(2);
        line += '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), m_out);
        return {};
    }
    QString flush() override
    {
        std::fflush(m_out);
        return {};
    }
    QString finish() override { return flush(); }

private:
    std::FILE *m_out;
};

// A text output file in one of the line formats (tsv, csv, jsonl), the lines gathered and
// written by the file's flush (see RecordFile).
class TextFileOutput : public RecordOutput
{
public:
    // A fast line must not pile up a second of records in memory.
    static constexpr qsizetype kMaxPending = 256 * 1024;

    TextFileOutput(RecordFile &file, LogFormat format) : m_file(file), m_format(format) {}

    QString take(const LogRecord &record) override
    {
        m_file.append(logrecord::line(m_format, record, m_file.csvLayout()));
        return m_file.pending() > kMaxPending ? m_file.flush() : QString();
    }
    QString flush() override { return m_file.flush(); }
    QString finish() override { return m_file.close(); }

private:
    RecordFile &m_file;
    LogFormat m_format;
};
