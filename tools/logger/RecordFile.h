#pragma once

#include <QByteArray>
#include <QString>

// An output file that only grows. Lines are gathered in memory and handed to the system by
// flush(), which also waits for them to reach the disk, so a crash or a power cut loses at most
// what was gathered since the last flush. Each flush writes whole lines only.
class RecordFile
{
public:
    RecordFile() = default;
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;
    ~RecordFile();

    // Opens `path` for appending, creating it when missing. A file that an earlier run left
    // ending in half a line (a crash in the middle of a write) is cut back to its last whole
    // line, and `repaired` says so. `header` is written when the file is empty. The file is
    // locked while open, so a second run cannot write into it. Returns the system's reason on
    // failure, or "".
    QString open(const QString &path, const QByteArray &header, bool *repaired = nullptr);
    bool isOpen() const { return m_fd >= 0; }

    void append(const QByteArray &line) { m_pending += line; }
    qsizetype pending() const { return m_pending.size(); }
    // Writes what is pending and syncs it. Returns the system's reason on failure, or "".
    QString flush();
    // Flushes and closes; returns the flush's failure, or "".
    QString close();

private:
    int m_fd = -1;
    QString m_path;
    QByteArray m_pending;
};
