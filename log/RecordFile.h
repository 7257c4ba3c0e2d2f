#pragma once

#include "log/DurableLineFile.h"
#include "log/LogRecord.h"

#include <QByteArray>
#include <QString>

// An output file that only grows. Each record is handed to the system as it is appended, with
// one write, so a killed run loses none of them; flush() waits for them to reach the disk, so a
// power cut loses at most what was appended since the last flush.
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
    // left untouched and `foreign` says so. A CSV file that begins with the header of the older
    // CSV layout is appended to in that layout (csvLayout()). The file is locked while open, so a second run
    // cannot write into it. Returns the system's reason on failure, or "".
    QString open(const QString &path, const QByteArray &header, bool *repaired = nullptr,
                 bool *foreign = nullptr);
    bool isOpen() const { return m_file.isOpen(); }
    // The last whole line the file held when it was opened, without its end: the header, the
    // last record of an earlier run, or "" for a new file.
    const QByteArray &lastLine() const { return m_lastLine; }
    // The columns of a CSV file opened: its lines are written in them.
    CsvLayout csvLayout() const { return m_csvLayout; }

    // One record: a whole line, line end included. Written at once; a failure is told by the
    // next flush().
    void append(const QByteArray &line);
    // Bytes written and not synced yet.
    qsizetype pending() const { return qsizetype(m_file.unsyncedBytes()); }
    // Syncs what was appended. Returns the system's reason on failure, or "". A failed write (a
    // full disk) leaves the file ending in the last line it could write whole; a failed sync
    // cuts it back to what the last sync wrote. Either way the lines not in the file are
    // dropped, and the file takes no more: a later flush() or close() writes nothing and
    // returns "", so the failure is told once.
    QString flush();
    // Flushes and closes; returns the flush's failure, or "".
    QString close();
    // Records appended since open() that are in the file and synced.
    qint64 recordsInFile() const;

private:
    DurableLineFile m_file;
    QByteArray m_lastLine;
    qint64 m_headerLines = 0; // written by open(): no records
    CsvLayout m_csvLayout = CsvLayout::Current;
    bool m_failed = false;    // the file takes no more
    QString m_untold;         // the failure flush() has not told yet
};
