#include "LockedFile.h"

#include "EngineError.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace table {

namespace {

std::string inQuotes(const std::string &path)
{
    return "\"" + path + "\"";
}

std::string openFailure(const std::string &path, int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return "table file " + inQuotes(path) + " does not exist";
    case EACCES:
    case EPERM:
        return "no permission to open table file " + inQuotes(path);
    case EISDIR:
        return inQuotes(path) + " is a folder, not a table file";
    default:
        return "cannot open table file " + inQuotes(path) + ": " + std::strerror(err);
    }
}

std::string inUse(const std::string &path)
{
    return "table file " + inQuotes(path) + " is in use by another program";
}

// A table is a regular file: anything else is refused, and `fd` closed.
void requireRegularFile(int fd, const std::string &path)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw EngineError(S_ISDIR(st.st_mode) ? openFailure(path, EISDIR)
                                              : inQuotes(path) + " is not a table file");
    }
}

} // namespace

LockedFile::~LockedFile()
{
    close();
}

LockedFile &LockedFile::operator=(LockedFile &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        m_writable = other.m_writable;
        m_path = std::move(other.m_path);
        other.m_fd = -1;
        other.m_writable = false;
        other.m_path.clear();
    }
    return *this;
}

void LockedFile::open(const std::string &path, Access access, Lock lock)
{
    close();
    int fd = -1;
    bool writable = access != Access::ReadOnly;
    if (writable) {
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 && access == Access::ReadWriteIfAllowed &&
            (errno == EACCES || errno == EROFS || errno == EPERM))
            writable = false;
        else if (fd < 0)
            throw EngineError(openFailure(path, errno));
    }
    if (!writable)
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw EngineError(openFailure(path, errno));

    requireRegularFile(fd, path);
    if (::flock(fd, (lock == Lock::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK)
            throw TableInUse(inUse(path));
        throw EngineError("cannot lock table file " + inQuotes(path) + ": " + std::strerror(err));
    }
    m_fd = fd;
    m_writable = writable;
    m_path = path;
}

void LockedFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd); // closing the descriptor releases the lock
    m_fd = -1;
    m_writable = false;
    m_path.clear();
}

std::uint64_t LockedFile::size() const
{
    struct stat st
    {
    };
    if (::fstat(m_fd, &st) != 0)
        throw EngineError("cannot read table file " + inQuotes(m_path) + ": " +
                          std::strerror(errno));
    return static_cast<std::uint64_t>(st.st_size);
}

void LockedFile::readAt(std::uint64_t offset, void *dst, std::size_t n) const
{
    auto *p = static_cast<char *>(dst);
    while (n > 0) {
        const ssize_t got = ::pread(m_fd, p, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw EngineError("cannot read table file " + inQuotes(m_path) + ": " +
                              std::strerror(errno));
        if (got == 0)
            throw EngineError("damaged table: " + inQuotes(m_path) + " ends early");
        p += got;
        offset += static_cast<std::uint64_t>(got);
        n -= static_cast<std::size_t>(got);
    }
}

void LockedFile::writeAt(std::uint64_t offset, const void *src, std::size_t n)
{
    const auto *p = static_cast<const char *>(src);
    while (n > 0) {
        const ssize_t put = ::pwrite(m_fd, p, n, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            throw EngineError("cannot write table file " + inQuotes(m_path) + ": " +
                              std::strerror(put < 0 ? errno : EIO));
        p += put;
        offset += static_cast<std::uint64_t>(put);
        n -= static_cast<std::size_t>(put);
    }
}

void LockedFile::truncate(std::uint64_t size)
{
    if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0)
        throw EngineError("cannot write table file " + inQuotes(m_path) + ": " +
                          std::strerror(errno));
}

void LockedFile::sync()
{
    if (::fsync(m_fd) != 0)
        throw EngineError("cannot write table file " + inQuotes(m_path) + ": " +
                          std::strerror(errno));
}

void LockedFile::checkNotInUse(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return; // nothing there to be in use
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    if (locked)
        throw TableInUse(inUse(path));
}

namespace {

// Opens `path` for reading without any lock; a regular file only.
int openUnlocked(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        throw EngineError(openFailure(path, errno));
    requireRegularFile(fd, path);
    return fd;
}

// Reads up to n bytes at offset, fewer only at the end of the file.
std::size_t readPiece(int fd, const std::string &path, std::uint64_t offset, std::uint8_t *dst,
                      std::size_t n)
{
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd, dst + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int err = errno;
            ::close(fd);
            throw EngineError("cannot read table file " + inQuotes(path) + ": " +
                              std::strerror(err));
        }
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

constexpr std::size_t kPiece = 1 << 20;

} // namespace

std::vector<std::uint8_t> LockedFile::readUnlocked(const std::string &path)
{
    const int fd = openUnlocked(path);
    std::vector<std::uint8_t> bytes;
    // Read to the end whatever the size was at the open: the file may change meanwhile, which
    // the caller tells by reading it again (unchangedSince()).
    for (;;) {
        const std::size_t at = bytes.size();
        bytes.resize(at + kPiece);
        const std::size_t got = readPiece(fd, path, at, bytes.data() + at, kPiece);
        bytes.resize(at + got);
        if (got < kPiece)
            break;
    }
    ::close(fd);
    return bytes;
}

bool LockedFile::unchangedSince(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    const int fd = openUnlocked(path);
    std::vector<std::uint8_t> piece(kPiece);
    std::uint64_t at = 0;
    bool same = true;
    for (;;) {
        const std::size_t got = readPiece(fd, path, at, piece.data(), kPiece);
        if (at + got > bytes.size() || std::memcmp(piece.data(), bytes.data() + at, got) != 0) {
            same = false;
            break;
        }
        at += got;
        if (got < kPiece)
            break;
    }
    ::close(fd);
    return same && at == bytes.size();
}

} // namespace table
