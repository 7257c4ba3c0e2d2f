#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

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
    // line, and `repaired` says so. `header` is written when the file is empty; a file that is
    // not empty must begin with it (with "{" for a format without one, JSON lines), or it is
    // left untouched and `foreign` says so. The file is locked while open, so a second run
    // cannot write into it. Returns the system's reason on failure, or "".
    QString open(const QString &path, const QByteArray &header, bool *repaired = nullptr,
                 bool *foreign = nullptr);
    bool isOpen() const { return m_fd >= 0; }
    // The last whole line the file held when it was opened, without its end: the header, the
    // last record of an earlier run, or "" for a new file.
    const QByteArray &lastLine() const { return m_lastLine; }

    // One record: a whole line, line end included.
    void append(const QByteArray &line) { m_pending += line; }
    qsizetype pending() const { return m_pending.size(); }
    // Writes what is pending and syncs it. Returns the system's reason on failure, or "". A
    // failed write (a full disk) leaves the file ending in the last line it could write whole;
    // a failed sync cuts it back to what the last sync wrote. Either way the lines not in the
    // file are dropped, and the file takes no more: a later flush() or close() writes nothing
    // and returns "", so the failure is told once.
    QString flush();
    // Flushes and closes; returns the flush's failure, or "".
    QString close();
    // Records appended since open() that are in the file and synced.
    qint64 recordsInFile() const { return m_inFile; }

private:
    // Marks the file failed with `why`, cut back to its length before the flush plus `keep`
    // bytes of what was pending; returns `why`, and what else went wrong.
    QString fail(const QString &why, qsizetype keep);

    int m_fd = -1;
    QString m_path;
    QByteArray m_pending;
    QByteArray m_lastLine;
    off_t m_size = 0; // the file's length after the last successful flush
    qint64 m_inFile = 0;
    bool m_failed = false;
};
