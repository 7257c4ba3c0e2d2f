#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

// A temporary file that stands in for the logger's standard output or error, read back whole.
class CapturedStream
{
public:
    CapturedStream() : m_file(std::tmpfile()) {}
    ~CapturedStream() { std::fclose(m_file); }
    CapturedStream(const CapturedStream &) = delete;
    CapturedStream &operator=(const CapturedStream &) = delete;

    std::FILE *file() const { return m_file; }

    QString text() const
    {
        std::fflush(m_file);
        std::rewind(m_file);
        QByteArray bytes;
        char buffer[4096];
        while (const size_t n = std::fread(buffer, 1, sizeof buffer, m_file))
            bytes.append(buffer, qsizetype(n));
        std::fseek(m_file, 0, SEEK_END);
        return QString::fromLocal8Bit(bytes);
    }

    // "No:Value" of each record line (the tab-separated lines of standard output).
    QStringList records() const
    {
        QStringList list;
        for (const QString &line : text().split(u'\n', Qt::SkipEmptyParts)) {
            const QStringList fields = line.split(u'\t');
            list << fields.at(0) + u':' + fields.value(3);
        }
        return list;
    }

private:
    std::FILE *m_file = nullptr;
};
