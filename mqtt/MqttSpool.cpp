#include "mqtt/MqttSpool.h"

#include "log/engine/Posix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 kReadBlock = 64 * 1024;
// Fully acknowledged, a segment this large is left for a fresh one, so it can be deleted.
constexpr qint64 kRollWhenDone = 64 * 1024;

QString errnoText(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

// "acked": the segment and the offset, each in a fixed width, so that each acknowledgement
// overwrites it in place with one small write (the older, shorter form reads the same way).
QByteArray ackedText(quint64 segment, qint64 offset)
{
    return QByteArray::number(segment).rightJustified(20, '0') + ' ' +
           QByteArray::number(offset).rightJustified(20, '0') + '\n';
}

QByteArray indexLine(qint64 end, qint64 no)
{
    return QByteArray::number(end) + ' ' + QByteArray::number(no) + '\n';
}

// "reading no. 7", "3 readings, no. 5 to 7", or, where the numbers jump (a run's end and the
// next one's start, a gap of a full spool), "6 readings, no. 98 to 99, 1 to 4".
QString numbersText(const QList<qint64> &numbers)
{
    if (numbers.size() == 1)
        return QStringLiteral("reading no. %1").arg(numbers.constFirst());
    QStringList runs;
    for (qsizetype i = 0; i < numbers.size();) {
        qsizetype j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            ++j;
        runs << (i == j ? QString::number(numbers[i])
                        : QStringLiteral("%1 to %2").arg(numbers[i]).arg(numbers[j]));
        i = j + 1;
    }
    return QStringLiteral("%1 readings, no. %2")
        .arg(numbers.size())
        .arg(runs.join(QStringLiteral(", ")));
}

// The file cut to `size` bytes and that on the disk; errno set when not.
bool truncateFile(const QString &path, qint64 size)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::ftruncate(fd, off_t(size)) == 0 && ::fdatasync(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok;
}

bool syncFolder(const QString &folder)
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

} // namespace

MqttSpool::~MqttSpool()
{
    if (m_opened)
        sync();
    m_writer.close();
    m_index.close();
    for (int fd : {m_readFd, m_ackedFd, m_lockFd})
        if (fd >= 0)
            ::close(fd);
}

QString MqttSpool::segmentPath(quint64 segment) const
{
    return m_folder + QStringLiteral("/%1.spool").arg(segment, 12, 10, QLatin1Char('0'));
}

QString MqttSpool::indexPath(quint64 segment) const
{
    return m_folder + QStringLiteral("/%1.index").arg(segment, 12, 10, QLatin1Char('0'));
}

bool MqttSpool::fail(const QString &what, int errorNumber)
{
    m_error = QStringLiteral("%1: %2").arg(what, errnoText(errorNumber));
    return false;
}

bool MqttSpool::writeFailed(const QString &error)
{
    m_error = QStringLiteral("cannot write %1").arg(error);
    return false;
}

QString MqttSpool::open(const QString &folder, qint64 maxBytes)
{
    m_folder = folder;
    m_maxBytes = maxBytes;
    m_segmentBytes = std::clamp<qint64>(maxBytes / 16, 64 * 1024, 16 * 1024 * 1024);
    if (!table::makePrivateFolder(QFile::encodeName(folder).toStdString()))
        return QStringLiteral("cannot make the spool folder %1: %2").arg(folder, errnoText(errno));

    const QByteArray lockPath = QFile::encodeName(folder + QStringLiteral("/lock"));
    m_lockFd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0)
        return QStringLiteral("cannot open %1: %2")
            .arg(QFile::decodeName(lockPath), errnoText(errno));
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK
                   ? QStringLiteral("another run publishes with this id: its spool %1 is in use "
                                    "(give each run its own --mqtt-id)")
                         .arg(folder)
                   : QStringLiteral("cannot lock %1: %2").arg(folder, errnoText(errno));

    // How far an earlier run got acknowledged: "segment offset".
    QFile acked(folder + QStringLiteral("/acked"));
    if (acked.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> parts = acked.readAll().simplified().split(' ');
        if (parts.size() == 2) {
            m_acked.segment = parts.at(0).toULongLong();
            m_acked.offset = std::max<qint64>(0, parts.at(1).toLongLong());
        }
    }
    m_ackedOnDisk = m_acked;
    const Position recordedAcked = m_acked;
    QFile recordsFile(folder + QStringLiteral("/segments"));
    QString recorded;
    if (recordsFile.open(QIODevice::ReadOnly))
        recorded = QString::fromLatin1(recordsFile.readAll());

    const QStringList names = QDir(folder).entryList(
        {QStringLiteral("*.spool"), QStringLiteral("*.index")}, QDir::Files, QDir::Name);
    std::set<quint64> indexes;
    for (const QString &name : names) {
        bool ok = false;
        const quint64 segment = name.section(u'.', 0, 0).toULongLong(&ok);
        if (!ok || segment == 0)
            continue;
        const bool isIndex = name.endsWith(QLatin1String(".index"));
        const QString path = isIndex ? indexPath(segment) : segmentPath(segment);
        if (segment < m_acked.segment) {
            // Wholly acknowledged before a crash kept it from being deleted.
            if (!QFile::remove(path))
                return QStringLiteral("cannot delete %1").arg(path);
            continue;
        }
        if (isIndex)
            indexes.insert(segment);
        else
            m_segments[segment] = QFileInfo(path).size();
    }

    // Each segment against its index: cut short or gone, it says which readings that cost. An
    // index that lacks lines (a killed run wrote the line but not yet its index line; an
    // earlier version wrote none) is made up by the scan below.
    std::set<quint64> indexed;
    m_rebuildFrom.clear();
    m_rebuilt.clear();
    std::set<quint64> all = indexes;
    for (const auto &[segment, bytes] : m_segments)
        all.insert(segment);
    for (const quint64 segment : all) {
        const bool present = m_segments.count(segment) > 0;
        std::vector<IndexEntry> entries;
        if (!indexes.count(segment) || !readIndex(segment, &entries)) {
            if (indexes.count(segment) && !QFile::remove(indexPath(segment)))
                return QStringLiteral("cannot delete %1").arg(indexPath(segment));
            if (present)
                m_rebuildFrom[segment] = 0;
            continue;
        }
        const qint64 size = present ? m_segments[segment] : 0;
        const qint64 written = entries.empty() ? 0 : entries.back().end;
        if (!present && written == 0) {
            // The index of a segment gone before it held a line.
            if (!QFile::remove(indexPath(segment)))
                return QStringLiteral("cannot delete %1").arg(indexPath(segment));
            continue;
        }
        if (size >= written) {
            indexed.insert(segment);
            if (size > written)
                m_rebuildFrom[segment] = written;
            continue;
        }
        if (!cutToIndex(segment, present, entries)) {
            if (!m_error.isEmpty())
                return m_error;
            // The index does not fit the segment (it ends no line there): made anew, and the
            // segment is checked against "segments" instead.
            if (!QFile::remove(indexPath(segment)))
                return QStringLiteral("cannot delete %1").arg(indexPath(segment));
            m_rebuildFrom[segment] = 0;
            continue;
        }
        indexed.insert(segment);
    }

    if (m_segments.empty()) {
        m_acked = {std::max<quint64>(m_acked.segment, 1), 0};
    } else if (m_segments.begin()->first != m_acked.segment) {
        m_acked = {m_segments.begin()->first, 0};
    } else if (m_acked.offset > m_segments.begin()->second) {
        // The segment was cut short after the broker had taken its lines up to the mark (the
        // mark is written only for what it took): what is left of it was acknowledged.
        m_acked.offset = m_segments.begin()->second;
    }

    // The newest segment takes the appends; a killed run may have left half a line at its end,
    // which opening it cuts off.
    const quint64 last = m_segments.empty() ? m_acked.segment : m_segments.rbegin()->first;
    if (!openWriter(last))
        return m_error;
    if (m_acked.segment == last && m_acked.offset > m_segments[last])
        m_acked.offset = m_segments[last];

    // Count what is waiting, for the report, and what each segment holds, for the check: from
    // the first segment's start, damage before the acknowledged mark being told already.
    std::map<quint64, Record> found;
    m_scan = &found;
    m_read = {m_segments.empty() ? m_acked.segment : m_segments.begin()->first, 0};
    m_toldUpTo = m_acked;
    QByteArray line;
    Position end;
    while (next(&line, &end)) {
        if (m_acked < end)
            ++m_pendingLines;
        writeRebuilt(end.segment);
    }
    m_scan = nullptr;
    if (!m_error.isEmpty())
        return m_error;
    writeRebuilt(std::numeric_limits<quint64>::max());
    m_rebuildFrom.clear();
    m_records.clear();
    for (const auto &[segment, bytes] : m_segments) {
        Record &r = m_records[segment];
        r = found[segment];
        r.bytes = bytes;
    }
    checkSegments(recorded, qint64(recordedAcked.segment), recordedAcked.offset, indexed);
    for (auto &[segment, r] : m_records) {
        r.lines += r.damaged;
        r.damaged = 0;
    }
    // What was found is told once: the records and the mark as they are now go to the disk
    // before this run sends or appends anything. A disk without room for them does not keep the
    // run from starting (the segments may have room for a while, or the run has other outputs):
    // the next sync tries again, and says why it cannot.
    m_recordsOnDisk = recorded.toLatin1();
    if (const QByteArray records = recordsText();
        records != m_recordsOnDisk && replaceFile(QStringLiteral("segments"), records))
        m_recordsOnDisk = records;
    // The mark is overwritten in place from now on, in its fixed width (an earlier release's
    // is shorter, and is replaced whole the same way).
    const QByteArray ackedPath = QFile::encodeName(folder + QStringLiteral("/acked"));
    m_ackedFd = ::open(ackedPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_ackedFd < 0)
        return QStringLiteral("cannot open %1: %2")
            .arg(QFile::decodeName(ackedPath), errnoText(errno));
    m_newFiles = true;
    m_ackedOnDisk = {0, -1}; // the next sync puts it on the disk
    m_ackedWritten = {0, -1};
    const qint64 ackedBytes = ackedText(0, 0).size();
    struct stat st
    {
    };
    if (writeAcked() && ::fstat(m_ackedFd, &st) == 0 && st.st_size > ackedBytes)
        (void)::ftruncate(m_ackedFd, ackedBytes);
    m_error.clear();
    rewind();
    m_opened = true;
    return {};
}

bool MqttSpool::readIndex(quint64 segment, std::vector<IndexEntry> *entries) const
{
    QFile file(indexPath(segment));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = file.readAll();
    qint64 last = 0;
    for (qsizetype at = 0;;) {
        const qsizetype lineEnd = text.indexOf('\n', at);
        if (lineEnd < 0)
            return true;
        const QByteArrayView line(text.constData() + at, lineEnd - at);
        const qsizetype space = line.indexOf(' ');
        bool endOk = false, noOk = false;
        const qint64 end = space > 0 ? line.first(space).toLongLong(&endOk) : 0;
        const qint64 no = space > 0 ? line.sliced(space + 1).toLongLong(&noOk) : 0;
        if (!endOk || !noOk || end <= last || no < -1)
            return false;
        entries->push_back({end, no, lineEnd + 1});
        last = end;
        at = lineEnd + 1;
    }
}

bool MqttSpool::cutToIndex(quint64 segment, bool present, const std::vector<IndexEntry> &entries)
{
    const qint64 size = present ? m_segments[segment] : 0;
    // The lines left whole.
    const auto firstGone =
        std::upper_bound(entries.begin(), entries.end(), size,
                         [](qint64 bytes, const IndexEntry &entry) { return bytes < entry.end; });
    const qint64 whole = firstGone == entries.begin() ? 0 : std::prev(firstGone)->end;
    if (whole > 0) {
        char last = 0;
        const int fd =
            ::open(QFile::encodeName(segmentPath(segment)).constData(), O_RDONLY | O_CLOEXEC);
        const bool read = fd >= 0 && ::pread(fd, &last, 1, whole - 1) == 1;
        if (fd >= 0)
            ::close(fd);
        if (!read || last != '\n')
            return false;
    }
    QList<qint64> lost;
    for (auto entry = firstGone; entry != entries.end(); ++entry)
        if (entry->no >= 0 && (segment != m_acked.segment || entry->end > m_acked.offset))
            lost << entry->no;
    if (!lost.isEmpty()) {
        const QString verb = lost.size() == 1 ? QStringLiteral("is") : QStringLiteral("are");
        if (present)
            m_notices << QStringLiteral("the MQTT spool's segment %1 is shorter than it was "
                                        "written (%2 of %3 bytes): %4 %5 lost, not published")
                             .arg(segmentPath(segment))
                             .arg(whole)
                             .arg(entries.back().end)
                             .arg(numbersText(lost), verb);
        else
            m_notices << QStringLiteral("the MQTT spool's segment %1 is gone: %2 it held %3 "
                                        "lost, not published")
                             .arg(segmentPath(segment), numbersText(lost), verb);
    }
    if (!present) {
        if (!QFile::remove(indexPath(segment)))
            return fail(QStringLiteral("cannot delete %1").arg(indexPath(segment)), errno);
        return true;
    }
    // A part of a line left at the end is no reading; the index keeps the lines left.
    if (size > whole && !truncateFile(segmentPath(segment), whole))
        return fail(QStringLiteral("cannot cut %1").arg(segmentPath(segment)), errno);
    m_segments[segment] = whole;
    const qint64 indexBytes = firstGone == entries.begin() ? 0 : std::prev(firstGone)->indexEnd;
    if (!truncateFile(indexPath(segment), indexBytes))
        return fail(QStringLiteral("cannot cut %1").arg(indexPath(segment)), errno);
    return true;
}

void MqttSpool::writeRebuilt(quint64 before)
{
    while (!m_rebuilt.empty() && m_rebuilt.begin()->first < before) {
        const auto [segment, lines] = *m_rebuilt.begin();
        m_rebuilt.erase(m_rebuilt.begin());
        // An index that cannot be written is left as far as it got: the next run makes up the
        // rest, and meanwhile "segments" is the account of this segment.
        if (segment == m_writeSegment) {
            if (m_index.isOpen() && !m_index.append(lines).isEmpty())
                dropIndex();
            continue;
        }
        DurableLineFile index;
        if (index.open(indexPath(segment), {}).ok()) {
            index.append(lines);
            index.close();
        }
    }
}

void MqttSpool::dropIndex()
{
    m_index.close();
    // A partial index would tell too little once the segment is cut: none is better.
    ::unlink(QFile::encodeName(indexPath(m_writeSegment)).constData());
}

bool MqttSpool::openWriter(quint64 segment)
{
    if (m_writer.isOpen()) {
        // The finished segment goes to disk before the next one is begun.
        const QString closed = m_writer.close();
        m_segments[m_writeSegment] = m_writer.size();
        if (!closed.isEmpty())
            return writeFailed(closed);
    }
    if (m_index.isOpen() && !m_index.close().isEmpty())
        dropIndex();
    const bool isNew = !m_segments.count(segment);
    const DurableLineFile::Opened opened = m_writer.open(segmentPath(segment), {});
    if (!opened.ok()) {
        m_error = QStringLiteral("cannot open %1").arg(opened.error);
        return false;
    }
    m_writeSegment = segment;
    if (isNew) {
        m_newFiles = true;
        // No index but its own: one left of a segment of that number that is gone was told.
        ::unlink(QFile::encodeName(indexPath(segment)).constData());
    }
    // Without an index the segment is still written; the next run makes the index up.
    m_index.open(indexPath(segment), {});
    m_segments[segment] = m_writer.size();
    m_records[segment].bytes = m_writer.size();
    return true;
}

qint64 MqttSpool::pendingBytes() const
{
    qint64 bytes = 0;
    for (auto it = m_segments.lower_bound(m_acked.segment); it != m_segments.end(); ++it)
        bytes += it->second;
    return bytes - (m_segments.count(m_acked.segment) ? m_acked.offset : 0);
}

MqttSpool::Append MqttSpool::append(const QByteArray &line, qint64 no)
{
    m_error.clear();
    // A segment that could not even be cut back after a failed write is opened again, which
    // cuts it: the disk may have room again.
    if (!m_writer.isOpen() && (!m_opened || !openWriter(m_writeSegment)))
        return Append::Failed;
    const qint64 size = line.size() + 1;
    // Once full, the spool takes readings again only when a good part of it is free, so that a
    // short line that still fits between long ones does not start a new gap each time.
    if (pendingBytes() + size > (m_full ? m_maxBytes - m_maxBytes / 16 : m_maxBytes)) {
        m_full = true;
        return Append::Full;
    }
    m_full = false;
    if (m_segments[m_writeSegment] > 0 && m_segments[m_writeSegment] + size > m_segmentBytes &&
        !openWriter(m_writeSegment + 1))
        return Append::Failed;
    // Whole or not at all: a failed write leaves the segment ending in its last whole line.
    const QString error = m_writer.append(line + '\n');
    m_segments[m_writeSegment] = m_writer.size();
    if (!error.isEmpty()) {
        writeFailed(error);
        if (m_writer.broken())
            m_writer.close();
        return Append::Failed;
    }
    ++m_pendingLines;
    if (no < 0 && !readingNumber(line, &no))
        no = -1;
    // Its index line goes with each reading, so that a segment cut later tells exactly which
    // readings it lost, up to the last one. A second small write per reading (some
    // microseconds at the meter's 17 a second) is what that costs; a sync per reading (an
    // fdatasync is milliseconds on a disk, and wears flash) would not be worth it: both writes
    // outlive a killed process (the system holds them), and a power cut takes the last second
    // of both the segment and its index, as it would without the index. Both reach the disk
    // with the once-a-second sync.
    if (m_index.isOpen() && !m_index.append(indexLine(m_writer.size(), no)).isEmpty())
        dropIndex();
    Record &record = m_records[m_writeSegment];
    if (record.lines++ == 0)
        record.firstNo = no;
    record.lastNo = no;
    record.bytes = m_segments[m_writeSegment];
    return Append::Spooled;
}

bool MqttSpool::nextLine(QByteArray *line, Position *end, bool *whole)
{
    *whole = true;
    for (;;) {
        const qsizetype newline = m_buffer.indexOf('\n', m_bufferPos);
        if (newline >= 0) {
            *line = m_buffer.mid(m_bufferPos, newline - m_bufferPos);
            m_read.offset += newline + 1 - m_bufferPos;
            m_bufferPos = newline + 1;
            *end = m_read;
            return true;
        }
        const auto segment = m_segments.find(m_read.segment);
        if (segment == m_segments.end())
            return false;
        const qint64 buffered = m_buffer.size() - m_bufferPos;
        const qint64 from = m_read.offset + buffered;
        if (from < segment->second) {
            if (m_readFd < 0) {
                m_readFd = ::open(QFile::encodeName(segmentPath(m_read.segment)).constData(),
                                  O_RDONLY | O_CLOEXEC);
                if (m_readFd < 0)
                    return fail(QStringLiteral("cannot read %1").arg(segmentPath(m_read.segment)),
                                errno);
            }
            m_buffer.remove(0, m_bufferPos);
            m_bufferPos = 0;
            const qint64 want = std::min(kReadBlock, segment->second - from);
            m_buffer.resize(buffered + want);
            const ssize_t n = ::pread(m_readFd, m_buffer.data() + buffered, size_t(want), from);
            if (n <= 0) {
                m_buffer.resize(buffered);
                return fail(QStringLiteral("cannot read %1").arg(segmentPath(m_read.segment)),
                            n < 0 ? errno : EIO);
            }
            m_buffer.resize(buffered + n);
            continue;
        }
        // At the end of this segment: on to the next one, if there is one.
        const auto later = std::next(segment);
        if (later == m_segments.end())
            return false;
        if (buffered > 0) {
            // An older segment ending in part of a line (cut short, or written by a run killed
            // before its end reached the disk): that part is no reading, and must not hold up
            // the segments after it.
            *line = m_buffer.mid(m_bufferPos);
            *whole = false;
            m_read.offset += buffered;
            m_buffer.clear();
            m_bufferPos = 0;
            *end = m_read;
            return true;
        }
        if (m_readFd >= 0)
            ::close(m_readFd);
        m_readFd = -1;
        m_read = {later->first, 0};
        m_buffer.clear();
        m_bufferPos = 0;
    }
}

bool MqttSpool::readingNumber(const QByteArray &line, qint64 *no)
{
    if (!QByteArrayView(line).isValidUtf8())
        return false;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonValue number = document.object().value(QLatin1String("no"));
    const double value = number.toDouble(-1);
    if (!number.isDouble() || value < 0 || value > 9e15 || value != std::floor(value))
        return false;
    *no = qint64(value);
    return true;
}

bool MqttSpool::next(QByteArray *line, Position *end)
{
    m_error.clear();
    bool whole = true;
    while (nextLine(line, end, &whole)) {
        qint64 no = -1;
        const bool good = whole && readingNumber(*line, &no);
        if (m_scan && whole) {
            const auto from = m_rebuildFrom.find(end->segment);
            if (from != m_rebuildFrom.end() && end->offset > from->second)
                m_rebuilt[end->segment] += indexLine(end->offset, good ? no : -1);
        }
        if (good) {
            if (m_damage.lines > 0)
                tellDamage(no);
            m_lastGoodNo = no;
            if (m_scan) {
                Record &r = (*m_scan)[end->segment];
                if (r.lines++ == 0)
                    r.firstNo = no;
                r.lastNo = no;
            }
            return true;
        }
        noteDamage(*end);
    }
    // Damaged lines at the end are told now: what comes after them may never come.
    if (m_damage.lines > 0 && m_error.isEmpty())
        tellDamage(-1);
    return false;
}

void MqttSpool::noteDamage(const Position &end)
{
    if (m_scan)
        ++(*m_scan)[end.segment].damaged;
    if (!(m_toldUpTo < end))
        return; // told before a rewind
    if (m_damage.lines == 0)
        m_damage = {0, m_lastGoodNo, m_read.segment, end};
    ++m_damage.lines;
    m_damage.end = end;
}

namespace {

QString readings(qint64 from, qint64 to)
{
    if (from == to)
        return QStringLiteral("reading no. %1").arg(from);
    return QStringLiteral("%1 readings, no. %2 to %3").arg(to - from + 1).arg(from).arg(to);
}

} // namespace

void MqttSpool::tellDamage(qint64 before)
{
    const qint64 after = m_damage.after;
    QString cost;
    if (after >= 0 && before >= 0)
        cost = before - after > 1 ? readings(after + 1, before - 1) + QStringLiteral(" lost")
                                  : QStringLiteral("no reading number is missing around them");
    else if (after >= 0)
        cost = QStringLiteral("readings after no. %1 are lost").arg(after);
    else if (before >= 0)
        cost = QStringLiteral("readings before no. %1 are lost").arg(before);
    else
        cost = QStringLiteral("the readings they held are lost");
    m_notices << QStringLiteral("%1 damaged line%2 in the MQTT spool (%3) skipped, not "
                                "published: %4")
                     .arg(m_damage.lines)
                     .arg(m_damage.lines == 1 ? "" : "s")
                     .arg(segmentPath(m_damage.segment), cost);
    if (m_toldUpTo < m_damage.end)
        m_toldUpTo = m_damage.end;
    m_damage = {};
}

QStringList MqttSpool::takeNotices()
{
    return std::exchange(m_notices, {});
}

void MqttSpool::rewind()
{
    // Damage found again is told no more; what is not told yet is found again.
    m_damage = {};
    m_lastGoodNo = -1;
    if (m_readFd >= 0)
        ::close(m_readFd);
    m_readFd = -1;
    m_read = m_acked;
    m_buffer.clear();
    m_bufferPos = 0;
}

void MqttSpool::acknowledge(const Position &end, qint64 lines)
{
    m_acked = end;
    m_pendingLines = std::max<qint64>(0, m_pendingLines - lines);
    // One small write in place per acknowledgement (the broker acknowledges many readings at
    // once when a backlog goes out): kept by the system even if this process is killed the next
    // moment, so the next run does not send them again. Synced once a second.
    writeAcked();
}

bool MqttSpool::writeAcked()
{
    const QByteArray text = ackedText(m_acked.segment, m_acked.offset);
    if (m_ackedFd < 0 ||
        ::pwrite(m_ackedFd, text.constData(), size_t(text.size()), 0) != ssize_t(text.size()))
        return false;
    m_ackedWritten = m_acked;
    return true;
}

QString MqttSpool::sync()
{
    m_error.clear();
    if (!m_writer.isOpen() && (!m_opened || !openWriter(m_writeSegment)))
        return m_error.isEmpty() ? QStringLiteral("the spool is closed") : m_error;
    const QString synced = m_writer.sync();
    m_segments[m_writeSegment] = m_writer.size();
    if (!synced.isEmpty()) {
        // The segment may have been cut back to its last synced line: its index would no
        // longer fit it.
        dropIndex();
        writeFailed(synced);
        return m_error;
    }
    if (m_index.isOpen() && !m_index.sync().isEmpty())
        dropIndex();
    // Everything acknowledged: a large segment makes way for a fresh one, so it can go.
    const bool allDone =
        m_acked.segment == m_writeSegment && m_acked.offset == m_segments[m_writeSegment];
    if (allDone && m_acked.offset >= kRollWhenDone) {
        if (!openWriter(m_writeSegment + 1))
            return m_error;
        m_acked = {m_writeSegment, 0};
        writeAcked();
        if (m_read.segment < m_writeSegment)
            rewind();
    }
    if (m_newFiles) {
        if (!syncFolder(m_folder)) {
            fail(QStringLiteral("cannot write the folder %1").arg(m_folder), errno);
            return m_error;
        }
        m_newFiles = false;
    }
    // What the segments hold, once it is on disk, for the next run to check them against.
    if (const QByteArray records = recordsText(); records != m_recordsOnDisk) {
        if (!replaceFile(QStringLiteral("segments"), records))
            return m_error;
        m_recordsOnDisk = records;
    }
    if (!(m_ackedWritten == m_acked) && !writeAcked()) {
        fail(QStringLiteral("cannot write %1/acked").arg(m_folder), errno);
        return m_error;
    }
    if (m_acked == m_ackedOnDisk)
        return {};
    if (::fdatasync(m_ackedFd) != 0) {
        fail(QStringLiteral("cannot write %1/acked").arg(m_folder), errno);
        return m_error;
    }
    m_ackedOnDisk = m_acked;
    // Only now may the wholly acknowledged segments go.
    while (!m_segments.empty() && m_segments.begin()->first < m_acked.segment) {
        const quint64 segment = m_segments.begin()->first;
        for (const QString &path : {segmentPath(segment), indexPath(segment)})
            if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
                fail(QStringLiteral("cannot delete %1").arg(path), errno);
                return m_error;
            }
        m_segments.erase(m_segments.begin());
        m_records.erase(segment);
    }
    return {};
}

bool MqttSpool::replaceFile(const QString &name, const QByteArray &text)
{
    const QString path = m_folder + u'/' + name;
    const QByteArray temporary = QFile::encodeName(path + QStringLiteral(".new"));
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail(QStringLiteral("cannot write %1").arg(path), errno);
    bool ok =
        table::writeAll(fd, text.constData(), std::size_t(text.size())) && ::fdatasync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok || !syncFolder(m_folder))
        return fail(QStringLiteral("cannot write %1").arg(path), ok ? errno : error);
    return true;
}

QByteArray MqttSpool::recordsText() const
{
    // "segment lines bytes first last", one line a segment.
    QByteArray text;
    for (const auto &[segment, bytes] : m_segments) {
        const auto record = m_records.find(segment);
        const Record r = record == m_records.end() ? Record{} : record->second;
        text += QByteArray::number(segment) + ' ' + QByteArray::number(r.lines) + ' ' +
                QByteArray::number(bytes) + ' ' + QByteArray::number(r.firstNo) + ' ' +
                QByteArray::number(r.lastNo) + '\n';
    }
    return text;
}

namespace {

// `count` readings from no. `from` to no. `to`.
QString readingsFromTo(qint64 count, qint64 from, qint64 to)
{
    if (from < 0 || to < from)
        return QStringLiteral("%1 reading%2").arg(count).arg(count == 1 ? "" : "s");
    if (count == to - from + 1)
        return readings(from, to);
    return QStringLiteral("%1 reading%2 from no. %3 to %4")
        .arg(count)
        .arg(count == 1 ? "" : "s")
        .arg(from)
        .arg(to);
}

} // namespace

void MqttSpool::checkSegments(const QString &recorded, qint64 ackedSegment, qint64 ackedOffset,
                              const std::set<quint64> &indexed)
{
    for (const QString &row : recorded.split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList fields = row.split(u' ');
        if (fields.size() != 5)
            continue;
        bool ok[5];
        const quint64 segment = fields[0].toULongLong(&ok[0]);
        const qint64 lines = fields[1].toLongLong(&ok[1]);
        const qint64 bytes = fields[2].toLongLong(&ok[2]);
        const qint64 firstNo = fields[3].toLongLong(&ok[3]);
        const qint64 lastNo = fields[4].toLongLong(&ok[4]);
        if (!(ok[0] && ok[1] && ok[2] && ok[3] && ok[4]) || segment == 0 || lines <= 0 ||
            qint64(segment) < ackedSegment || indexed.count(segment))
            continue;
        const auto present = m_records.find(segment);
        if (present == m_records.end() || present->second.bytes == 0) {
            // Some of a segment the acknowledged mark is in may have gone out already.
            const bool partly = qint64(segment) == ackedSegment && ackedOffset > 0;
            m_notices << QStringLiteral("the MQTT spool's segment %1 is gone: %2%3 it held %4 "
                                        "lost, not published")
                             .arg(segmentPath(segment), partly ? QStringLiteral("up to ") : QString(),
                                  readingsFromTo(lines, firstNo, lastNo),
                                  lines == 1 ? QStringLiteral("is") : QStringLiteral("are"));
            continue;
        }
        const Record &r = present->second;
        const qint64 lost = lines - r.lines - r.damaged;
        if (r.bytes >= bytes || lost <= 0)
            continue;
        const qint64 from = r.lastNo >= 0 ? r.lastNo + 1 : firstNo;
        m_notices << QStringLiteral("the MQTT spool's segment %1 is shorter than it was written "
                                    "(%2 of %3 bytes): %4 %5 lost, not published")
                         .arg(segmentPath(segment))
                         .arg(r.bytes)
                         .arg(bytes)
                         .arg(readingsFromTo(lost, from, lastNo),
                              lost == 1 ? QStringLiteral("is") : QStringLiteral("are"));
    }
}
