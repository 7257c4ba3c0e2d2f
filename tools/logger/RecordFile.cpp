#include "RecordFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString reason(const QString &path, int error)
{
    return QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error)));
}

// The length of the file up to and including its last line end.
off_t wholeLinesLength(int fd, off_t size)
{
    char buffer[4096];
    off_t end = size;
    while (end > 0) {
        const off_t start = end > off_t(sizeof buffer) ? end - off_t(sizeof buffer) : 0;
        const ssize_t n = ::pread(fd, buffer, static_cast<size_t>(end - start), start);
        if (n <= 0)
            return size; // unreadable: leave the file as it is
        for (ssize_t i = n - 1; i >= 0; --i)
            if (buffer[i] == '\n')
                return start + i + 1;
        end = start;
    }
    return 0;
}

// The last line of the first `size` bytes (which end in a line end), without its end; a line
// longer than any record gives "".
QByteArray lastLineOf(int fd, off_t size)
{
    QByteArray tail(qsizetype(std::min<off_t>(size, 4096)), '\0');
    if (tail.isEmpty() ||
        ::pread(fd, tail.data(), size_t(tail.size()), size - tail.size()) != ssize_t(tail.size()))
        return {};
    while (tail.endsWith('\n') || tail.endsWith('\r'))
        tail.chop(1);
    const qsizetype start = tail.lastIndexOf('\n');
    if (start < 0 && tail.size() < size)
        return {};
    return tail.mid(start + 1);
}

} // namespace

RecordFile::~RecordFile()
{
    close();
}

QString RecordFile::open(const QString &path, const QByteArray &header, bool *repaired,
                         bool *foreign)
{
    close();
    m_lastLine.clear();
    if (repaired)
        *repaired = false;
    if (foreign)
        *foreign = false;
    const QByteArray name = path.toLocal8Bit();
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return reason(path, errno);
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = errno;
        ::close(fd);
        return S_ISREG(st.st_mode) ? reason(path, error)
                                   : QStringLiteral("%1: not a regular file").arg(path);
    }
    // Two runs appending to one file would interleave their records and numbering.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return QStringLiteral("%1: in use by another program").arg(path);
    }
    // A file that is not a log of this format (a table, a photo, a text of another layout) is
    // not appended to, and above all not cut back to a line end that is none.
    // A header cut short by a crash is the start of one, and is cut back like half a line.
    if (st.st_size > 0) {
        const QByteArray header0 = header.isEmpty() ? QByteArray("{") : header;
        const QByteArray start =
            header0.left(qsizetype(std::min<off_t>(st.st_size, header0.size())));
        QByteArray found(start.size(), '\0');
        const ssize_t n = ::pread(fd, found.data(), size_t(found.size()), 0);
        if (n != ssize_t(found.size()) || found != start) {
            ::close(fd);
            if (foreign)
                *foreign = true;
            return QStringLiteral("%1 is not a log of this format (it does not begin with %2); "
                                  "it was left as it is")
                .arg(path, header.isEmpty() ? QStringLiteral("'{'")
                                            : QStringLiteral("the format's header line"));
        }
    }
    const off_t whole = wholeLinesLength(fd, st.st_size);
    if (whole != st.st_size) {
        if (::ftruncate(fd, whole) != 0) {
            const int error = errno;
            ::close(fd);
            return reason(path, error);
        }
        if (repaired)
            *repaired = true;
    }
    m_fd = fd;
    m_path = path;
    m_lastLine = lastLineOf(fd, whole);
    m_pending.clear();
    m_size = whole;
    m_failed = false;
    if (whole == 0)
        m_pending = header;
    const QString error = flush();
    m_inFile = 0; // the header is no record
    return error;
}

QString RecordFile::flush()
{
    if (m_fd < 0 || m_failed) {
        m_pending.clear();
        return {};
    }
    qsizetype done = 0;
    while (done < m_pending.size()) {
        const ssize_t n = ::write(m_fd, m_pending.constData() + done,
                                  static_cast<size_t>(m_pending.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // The lines written whole stay; the one cut short goes, so the file ends in a whole
            // line and holds exactly the records counted.
            const int error = n < 0 ? errno : EIO;
            const qsizetype whole = done > 0 ? m_pending.lastIndexOf('\n', done - 1) + 1 : 0;
            return fail(reason(m_path, error), whole);
        }
        done += n;
    }
    // Written is not yet on the disk: a failed sync may have lost any of it.
    if (done > 0 && ::fsync(m_fd) != 0)
        return fail(reason(m_path, errno), 0);
    m_size += off_t(done);
    m_inFile += m_pending.count('\n');
    m_pending.clear();
    return {};
}

QString RecordFile::fail(const QString &why, qsizetype keep)
{
    m_failed = true;
    QString error = why;
    bool cut = ::ftruncate(m_fd, m_size + off_t(keep)) == 0;
    // The whole lines count once they are on the disk; if they cannot be, they go too.
    if (cut && keep > 0 && ::fsync(m_fd) != 0) {
        keep = 0;
        cut = ::ftruncate(m_fd, m_size) == 0;
    }
    if (cut)
        m_inFile += m_pending.left(keep).count('\n');
    else
        error += QStringLiteral("; cutting it back to its last whole line failed too: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
    m_pending.clear();
    return error;
}

QString RecordFile::close()
{
    if (m_fd < 0)
        return {};
    QString error = flush();
    if (::close(m_fd) != 0 && error.isEmpty())
        error = reason(m_path, errno);
    m_fd = -1;
    return error;
}
