#include "ReplacingFile.h"

#include "EngineError.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace table {

namespace {

std::string failure(const std::string &what, const std::string &path, int err)
{
    return what + " \"" + path + "\": " + std::strerror(err);
}

} // namespace

ReplacingFile::ReplacingFile(std::string targetPath) : m_target(std::move(targetPath))
{
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path target(m_target);
    const std::string stem = target.filename().string();
    // Mode 0666 lets the user's umask decide, as for any file the user saves.
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
        const std::string name = "." + stem + "." + std::to_string(::getpid()) + "." +
                                 std::to_string(counter++) + ".tmp";
        m_temp = (target.parent_path() / name).string();
        m_fd = ::open(m_temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd < 0 && errno != EEXIST)
            throw EngineError(failure("cannot create", m_target, errno));
    }
    if (m_fd < 0)
        throw EngineError(failure("cannot create", m_target, EEXIST));
}

ReplacingFile::~ReplacingFile()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_temp.c_str());
    }
}

void ReplacingFile::commit()
{
    if (::fsync(m_fd) != 0)
        throw EngineError(failure("cannot write", m_target, errno));
    if (::close(m_fd) != 0) {
        m_fd = -1;
        ::unlink(m_temp.c_str());
        throw EngineError(failure("cannot write", m_target, errno));
    }
    m_fd = -1;
    if (::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        const int err = errno;
        ::unlink(m_temp.c_str());
        throw EngineError(failure("cannot replace", m_target, err));
    }
    // Make the rename itself durable; a folder that cannot be synced is no reason to fail.
    const std::string dir = std::filesystem::path(m_target).parent_path().string();
    const int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

} // namespace table
