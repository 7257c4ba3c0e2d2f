#include "RecordFile.h"

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

} // namespace

RecordFile::~RecordFile()
{
    close();
}

QString RecordFile::open(const QString &path, const QByteArray &header, bool *repaired)
{
    close();
    if (repaired)
        *repaired = false;
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
    m_pending.clear();
    if (whole == 0)
        m_pending = header;
    return flush();
}

QString RecordFile::flush()
{
    if (m_fd < 0)
        return {};
    qsizetype done = 0;
    while (done < m_pending.size()) {
        const ssize_t n = ::write(m_fd, m_pending.constData() + done,
                                  static_cast<size_t>(m_pending.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            m_pending.remove(0, done);
            return reason(m_path, error);
        }
        done += n;
    }
    m_pending.clear();
    if (done > 0 && ::fsync(m_fd) != 0)
        return reason(m_path, errno);
    return {};
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
