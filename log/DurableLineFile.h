#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <sys/types.h>

// A text file that only grows by whole lines and that a crash, a killed process or a power cut
// leaves ending in a whole line.
//
// - open() takes an exclusive lock (flock) on the file for as long as it is open, so no second
//   writer (another process, or another open of it in this one) appends to it, and cuts off a
//   half-written last line an earlier writer left.
// - append() hands each line to the system with one write(), so a killed process leaves it whole
//   or not at all. A write the system refuses (a full disk, an I/O error) cuts the file back to
//   its last whole line and syncs what is there; the reason is returned.
// - sync() puts what was appended on the disk (fdatasync). The owner calls it at least once a
//   second from its own timer; close() syncs too. It does nothing when nothing was appended since
//   the last one, so calling it every second costs nothing on an idle file. A failed sync cuts
//   the file back to what the last sync put on the disk: what the system could not keep is not
//   counted as kept.
//
// After a failure the file is still open and usable (the disk may get room again), unless it
// could not even be cut back: then it is broken and takes nothing more until it is opened again,
// which drops the half line.
class DurableLineFile
{
public:
    struct Options
    {
        mode_t permissions = 0600;
        // Refuse a file that exists already (Refusal::Exists), for names made up to be unique.
        bool createNew = false;
        // A file that is not empty must begin with these bytes (or be a start of them, cut short
        // by a crash), else it is refused and left as it is: a file of another kind must never be
        // appended to, nor cut back to a line end that is none.
        QByteArray mustBeginWith;
    };
    enum class Refusal
    {
        None,
        Failed,  // the system's reason in `error`
        InUse,   // another writer holds the lock
        Exists,  // createNew, and the name is taken
        Foreign, // does not begin with `mustBeginWith`
    };
    struct Opened
    {
        QString error; // "<path>: <reason>" unless opened
        Refusal refusal = Refusal::None;
        qint64 droppedBytes = 0; // of a half-written last line cut off
        bool created = false;
        bool ok() const { return refusal == Refusal::None; }
    };

    DurableLineFile() = default;
    ~DurableLineFile();
    DurableLineFile(const DurableLineFile &) = delete;
    DurableLineFile &operator=(const DurableLineFile &) = delete;

    Opened open(const QString &path, const Options &options);
    bool isOpen() const { return m_fd >= 0; }
    QString path() const { return m_path; }

    // One or more whole lines, each ending in '\n'. Empty, or "<path>: <the system's reason>".
    QString append(QByteArrayView lines);
    // To the disk; empty, or why not.
    QString sync();
    // Syncs and lets go of the file (and its lock). Empty, or why the sync or close failed.
    QString close();

    // Bytes in the file, always up to a line end.
    qint64 size() const { return m_size; }
    // Bytes appended and not synced yet.
    qint64 unsyncedBytes() const { return m_size - m_syncedSize; }
    // Lines appended since open() that are in the file, and of them those on the disk.
    qint64 linesAppended() const { return m_lines; }
    qint64 linesSynced() const { return m_linesSynced; }
    // fdatasync calls made since open().
    qint64 syncCalls() const { return m_syncCalls; }
    bool broken() const { return m_broken; }

    // The file's last line, without its end; "" for an empty file or a line longer than
    // `longest` bytes.
    QByteArray lastLine(qsizetype longest = 4096) const;

private:
    QString reason(int error) const;
    // A write failed with `error`: back to the last whole line, which is then synced.
    QString writeFailed(int error);
    // Back to `size` bytes; false (errno set) when the system refuses.
    bool cutBackTo(off_t size);

    int m_fd = -1;
    QString m_path;
    off_t m_size = 0;
    off_t m_syncedSize = 0;
    qint64 m_lines = 0;
    qint64 m_linesSynced = 0;
    qint64 m_syncCalls = 0;
    bool m_folderUnsynced = false; // made by open(): its folder entry is not on the disk yet
    bool m_broken = false;
    QString m_brokenReason;
};
