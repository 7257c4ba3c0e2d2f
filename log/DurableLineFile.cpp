#include "DurableLineFile.h"

#include "log/engine/Posix.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

template <typename Call>
int untilNotInterrupted(Call call)
{
    int result;
    do
        result = call();
    while (result != 0 && errno == EINTR);
    return result;
}

// The length of the first `size` bytes up to and including their last line end; -1 (errno set)
// when the file cannot be read.
off_t wholeLinesLength(int fd, off_t size)
{
    char buffer[4096];
    off_t end = size;
    while (end > 0) {
        const off_t start = end > off_t(sizeof buffer) ? end - off_t(sizeof buffer) : 0;
        const ssize_t n = ::pread(fd, buffer, static_cast<size_t>(end - start), start);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != end - start) {
            if (n >= 0)
                errno = EIO;
            return -1;
        }
        for (ssize_t i = n - 1; i >= 0; --i)
            if (buffer[i] == '\n')
                return start + i + 1;
        end = start;
    }
    return 0;
}

bool syncFolderOf(const QString &path)
{
    const QString folder = QFileInfo(path).absolutePath();
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = untilNotInterrupted([fd] { return ::fsync(fd); }) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return synced;
}

} // namespace

DurableLineFile::~DurableLineFile()
{
    close();
}

QString DurableLineFile::reason(int error) const
{
    return QStringLiteral("%1: %2").arg(m_path, systemText(error));
}

DurableLineFile::Opened DurableLineFile::open(const QString &path, const Options &options)
{
    close();
    m_path = path;
    m_size = m_syncedSize = 0;
    m_lines = m_linesSynced = m_syncCalls = 0;
    m_broken = false;
    m_brokenReason.clear();
    Opened opened;
    const auto refuse = [&](Refusal refusal, const QString &why) {
        opened.refusal = refusal;
        opened.error = QStringLiteral("%1: %2").arg(path, why);
        return opened;
    };

    const QByteArray name = QFile::encodeName(path);
    const int flags = O_RDWR | O_APPEND | O_CLOEXEC;
    int fd = -1;
    if (options.createNew) {
        fd = ::open(name.constData(), flags | O_CREAT | O_EXCL, options.permissions);
        opened.created = fd >= 0;
    } else {
        // Told apart from an existing file, a new one needs its folder entry synced too.
        for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
            fd = ::open(name.constData(), flags);
            if (fd >= 0 || errno != ENOENT)
                break;
            fd = ::open(name.constData(), flags | O_CREAT | O_EXCL, options.permissions);
            opened.created = fd >= 0;
            if (fd < 0 && errno != EEXIST)
                break;
        }
    }
    if (fd < 0)
        return refuse(options.createNew && errno == EEXIST ? Refusal::Exists : Refusal::Failed,
                      systemText(errno));
    const auto closeAndRefuse = [&](Refusal refusal, const QString &why) {
        ::close(fd);
        return refuse(refusal, why);
    };

    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0)
        return closeAndRefuse(Refusal::Failed, systemText(errno));
    if (!S_ISREG(st.st_mode))
        return closeAndRefuse(Refusal::Failed, QStringLiteral("not a regular file"));
    if (untilNotInterrupted([fd] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0)
        return closeAndRefuse(errno == EWOULDBLOCK ? Refusal::InUse : Refusal::Failed,
                              errno == EWOULDBLOCK ? QStringLiteral("in use by another program")
                                                   : systemText(errno));

    if (st.st_size > 0 && !options.mustBeginWith.isEmpty()) {
        const QByteArray start = options.mustBeginWith.left(
            qsizetype(std::min<off_t>(st.st_size, options.mustBeginWith.size())));
        QByteArray found(start.size(), '\0');
        ssize_t n;
        do
            n = ::pread(fd, found.data(), size_t(found.size()), 0);
        while (n < 0 && errno == EINTR);
        if (n < 0)
            return closeAndRefuse(Refusal::Failed, systemText(errno));
        if (n != ssize_t(found.size()) || found != start)
            return closeAndRefuse(Refusal::Foreign,
                                  QStringLiteral("does not begin as a file of this kind"));
    }

    const off_t whole = wholeLinesLength(fd, st.st_size);
    if (whole < 0)
        return closeAndRefuse(Refusal::Failed, systemText(errno));
    if (whole != st.st_size) {
        // Cut off for good before anything is appended behind it.
        if (untilNotInterrupted([&] { return ::ftruncate(fd, whole); }) != 0 ||
            untilNotInterrupted([fd] { return ::fdatasync(fd); }) != 0)
            return closeAndRefuse(
                Refusal::Failed,
                QStringLiteral("cannot cut off the half-written last line: %1")
                    .arg(systemText(errno)));
        opened.droppedBytes = qint64(st.st_size - whole);
    }
    m_fd = fd;
    m_size = m_syncedSize = whole;
    m_folderUnsynced = opened.created;
    return opened;
}

QString DurableLineFile::append(QByteArrayView lines)
{
    if (m_fd < 0)
        return QStringLiteral("%1: the file is not open").arg(m_path);
    if (m_broken)
        return m_brokenReason;
    if (lines.isEmpty() || !lines.endsWith('\n'))
        return QStringLiteral("%1: not a whole line: %2").arg(m_path, lines.toByteArray());
    errno = 0;
    // One write() for the lines: a process killed in it leaves them whole or not at all. Only a
    // short write (the disk filling up) is followed by a second for the rest.
    if (!table::writeAll(m_fd, lines.data(), std::size_t(lines.size())))
        return writeFailed(errno != 0 ? errno : EIO);
    m_size += off_t(lines.size());
    m_lines += lines.count('\n');
    return {};
}

bool DurableLineFile::cutBackTo(off_t size)
{
    return untilNotInterrupted([&] { return ::ftruncate(m_fd, size); }) == 0;
}

QString DurableLineFile::writeFailed(int error)
{
    QString why = reason(error);
    // Whatever part of the lines the system took goes again; the lines before them stay.
    if (!cutBackTo(m_size)) {
        m_broken = true;
        why += QStringLiteral("; cutting it back to its last whole line failed too: %1")
                   .arg(systemText(errno));
        m_brokenReason = why;
        return why;
    }
    // The whole lines before it are kept, so they go to the disk now.
    const QString synced = sync();
    if (!synced.isEmpty())
        why += QStringLiteral("; ") + synced.mid(m_path.size() + 2);
    return why;
}

QString DurableLineFile::sync()
{
    if (m_fd < 0 || m_broken)
        return m_broken ? m_brokenReason : QString();
    if (m_size != m_syncedSize) {
        ++m_syncCalls;
        if (untilNotInterrupted([this] { return ::fdatasync(m_fd); }) != 0) {
            // What the system could not keep may be lost in part anywhere: back to what the last
            // sync put on the disk, which holds whole lines.
            const int error = errno;
            QString why = reason(error);
            if (cutBackTo(m_syncedSize) &&
                untilNotInterrupted([this] { return ::fdatasync(m_fd); }) == 0) {
                m_size = m_syncedSize;
                m_lines = m_linesSynced;
            } else {
                m_broken = true;
                why += QStringLiteral("; cutting it back to its last synced line failed too: %1")
                           .arg(systemText(errno));
                m_brokenReason = why;
            }
            return why;
        }
        m_syncedSize = m_size;
        m_linesSynced = m_lines;
    }
    if (m_folderUnsynced) {
        // A new file's name must survive a power cut as well as its lines.
        if (!syncFolderOf(m_path))
            return QStringLiteral("%1: cannot sync its folder: %2")
                .arg(m_path, systemText(errno));
        m_folderUnsynced = false;
    }
    return {};
}

QString DurableLineFile::close()
{
    if (m_fd < 0)
        return {};
    QString error = m_broken ? QString() : sync();
    if (::close(m_fd) != 0 && error.isEmpty())
        error = reason(errno);
    m_fd = -1;
    return error;
}

QByteArray DurableLineFile::lastLine(qsizetype longest) const
{
    if (m_fd < 0 || m_size == 0)
        return {};
    QByteArray tail(qsizetype(std::min<off_t>(m_size, off_t(longest) + 2)), '\0');
    ssize_t n;
    do
        n = ::pread(m_fd, tail.data(), size_t(tail.size()), m_size - tail.size());
    while (n < 0 && errno == EINTR);
    if (n != ssize_t(tail.size()))
        return {};
    while (tail.endsWith('\n') || tail.endsWith('\r'))
        tail.chop(1);
    const qsizetype start = tail.lastIndexOf('\n');
    if (start < 0 && tail.size() < m_size)
        return {};
    return tail.mid(start + 1);
}
