#pragma once

#include "log/DurableLineFile.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <set>
#include <vector>

// The readings on their way to the broker, on disk until it has acknowledged them.
//
// One folder per meter id holds numbered segment files of one JSON line per reading, only ever
// appended to, and a small file ("acked") naming the first byte not acknowledged yet. Every
// reading goes through here, also while the broker is up, so that a run killed at any moment
// leaves its unacknowledged readings for the next run with the same id. A segment is deleted once
// all of it is acknowledged and that is on disk; skipping a reading is never allowed, and sending
// an acknowledged one again is not either: "acked" is written (not synced) with each
// acknowledgement, so a killed run, whose writes the system keeps, leaves it exact; only a power
// cut may set it back by the last second, whose readings then go again. A lock file keeps two
// runs from sharing a folder.
//
// What was lost is told exactly. Beside each segment, its index ("NNN.index") has a line
// "END NO" per reading, written with it: where its line ends in the segment and its number. A
// segment found shorter than its index (cut, or gone) costs the readings past its last whole line
// that were not acknowledged, and the next run names exactly those; the acknowledged mark past
// the new end still counts, so nothing acknowledged goes again. Beside them, "segments" keeps
// what each held at the last sync (lines, bytes, first and last number): the only account of a
// spool of earlier versions, which had no index, and of a segment whose index is gone too.
class MqttSpool
{
public:
    struct Position
    {
        quint64 segment = 0;
        qint64 offset = 0;
        friend bool operator==(const Position &a, const Position &b)
        {
            return a.segment == b.segment && a.offset == b.offset;
        }
        friend bool operator<(const Position &a, const Position &b)
        {
            return a.segment < b.segment || (a.segment == b.segment && a.offset < b.offset);
        }
    };
    enum class Append
    {
        Spooled,
        Full,
        Failed,
    };

    MqttSpool() = default;
    MqttSpool(const MqttSpool &) = delete;
    MqttSpool &operator=(const MqttSpool &) = delete;
    ~MqttSpool();

    // Opens the folder (made 0700 where missing), takes its lock and cuts a line left half
    // written by a killed run. The reason when it cannot.
    QString open(const QString &folder, qint64 maxBytes);
    // open() succeeded: the folder is this run's.
    bool isOpen() const { return m_opened; }
    QString folder() const { return m_folder; }

    // Appends one line (without its line end), reading `no` (-1: read from the line). Full: the
    // bound would be passed, nothing written; after that, Full until a sixteenth of the bound is
    // free again.
    Append append(const QByteArray &line, qint64 no = -1);
    // The next line not handed out since the last rewind(), and where it ends; false at the end.
    // Only readings come out: a line that is not whole, not UTF-8, not a JSON object or without
    // a numeric "no" (bytes a crash or a disk damaged) is skipped, and told by takeNotices().
    bool next(QByteArray *line, Position *end);
    // Hands out again from the first line not acknowledged.
    void rewind();
    // Every line up to `end` has been acknowledged, `lines` of them since the last call. Written
    // to "acked" at once (a write without a sync), so that a run killed right after it does not
    // send them again; a failed write is told by the next sync().
    void acknowledge(const Position &end, qint64 lines);
    // To disk: the segment written to, its index, and how far it is acknowledged. Segments
    // wholly acknowledged are then deleted. Called at least once a second.
    QString sync();

    // Bytes and lines appended but not acknowledged.
    qint64 pendingBytes() const;
    qint64 pendingLines() const { return m_pendingLines; }
    // Why the last append(), next() or sync() failed; "" when it did not.
    QString error() const { return m_error; }
    // What the spool found wrong since the last call, each with the readings it cost: damaged
    // lines skipped, segments found shorter than written or gone. Each is told once.
    QStringList takeNotices();

    // The reading number of a spool line; false when the line is no reading.
    static bool readingNumber(const QByteArray &line, qint64 *no);

private:
    QString segmentPath(quint64 segment) const;
    QString indexPath(quint64 segment) const;
    bool openWriter(quint64 segment);
    // One line of a segment's index as it was written; `indexEnd` is where the line ends in the
    // index.
    struct IndexEntry
    {
        qint64 end = 0;
        qint64 no = -1;
        qint64 indexEnd = 0;
    };
    // The index of `segment`; false when it is missing or not one (a line that is no entry, or
    // ends that do not grow). A last line without its end is left out.
    bool readIndex(quint64 segment, std::vector<IndexEntry> *entries) const;
    // A segment shorter than its index: the readings past its last whole line that were not
    // acknowledged are told lost, and the segment and its index are cut back to that line, so
    // that it is told once. False (m_error set) when they cannot be cut.
    bool cutToIndex(quint64 segment, bool present, const std::vector<IndexEntry> &entries);
    // The index of the segment written to cannot be kept up (a failing disk): it goes, and the
    // next run rebuilds it from the segment.
    void dropIndex();
    // The index lines the opening scan makes for lines an index lacks, written for the
    // segments before `before`.
    void writeRebuilt(quint64 before);
    bool writeAcked();
    bool fail(const QString &what, int errorNumber);
    // The next line as it is on disk; `whole` is false for a segment's end without a line end.
    bool nextLine(QByteArray *line, Position *end, bool *whole);
    void noteDamage(const Position &end);
    // The damaged lines found since the last good one are told, `before` being the number of
    // the reading after them (-1: none yet).
    void tellDamage(qint64 before);
    // Compares the segments found with what "segments" says they held.
    // Segments in `indexed` were checked against their index.
    void checkSegments(const QString &recorded, qint64 ackedSegment, qint64 ackedOffset,
                       const std::set<quint64> &indexed);
    // Replaces the small file `name` in the folder whole; false with m_error set.
    bool replaceFile(const QString &name, const QByteArray &text);
    QByteArray recordsText() const;
    // The writer's failure ("<path>: <reason>").
    bool writeFailed(const QString &error);

    QString m_folder;
    qint64 m_maxBytes = 0;
    qint64 m_segmentBytes = 0;
    int m_lockFd = -1;
    std::map<quint64, qint64> m_segments; // number -> size
    DurableLineFile m_writer; // the newest segment, taking the appends
    DurableLineFile m_index;  // its index, when it can be kept
    quint64 m_writeSegment = 0;
    bool m_newFiles = false; // the folder changed since the last sync
    Position m_acked;        // the first byte not acknowledged
    Position m_ackedOnDisk;  // synced
    Position m_ackedWritten; // handed to the system
    int m_ackedFd = -1;
    qint64 m_pendingLines = 0;
    bool m_full = false;

    // The reader: the segment it is in, where its buffer starts and what it holds.
    int m_readFd = -1;
    Position m_read;
    QByteArray m_buffer;
    qsizetype m_bufferPos = 0;

    QString m_error;
    bool m_opened = false;

    // Damaged lines found in a row and not told yet.
    struct Damage
    {
        qint64 lines = 0;
        qint64 after = -1; // the number of the reading before them, if known
        quint64 segment = 0;
        Position end;
    };
    Damage m_damage;
    qint64 m_lastGoodNo = -1; // of the last reading handed out
    Position m_toldUpTo;      // damage up to here is told (a rewind finds it again)
    QStringList m_notices;

    // What each segment holds: lines (damaged ones too), bytes, first and last reading number.
    struct Record
    {
        qint64 lines = 0;
        qint64 bytes = 0;
        qint64 firstNo = -1;
        qint64 lastNo = -1;
        qint64 damaged = 0; // while opening: of the lines read
    };
    std::map<quint64, Record> m_records;
    QByteArray m_recordsOnDisk;
    std::map<quint64, Record> *m_scan = nullptr; // filled by next() while opening
    // While opening: segments whose index lacks lines from this end on, and the lines made.
    std::map<quint64, qint64> m_rebuildFrom;
    std::map<quint64, QByteArray> m_rebuilt;
};
