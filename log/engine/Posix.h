#pragma once

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace table {

// Writes all `size` bytes, going on after short writes and interruptions. False (errno set) when
// the system refuses the rest.
inline bool writeAll(int fd, const void *bytes, std::size_t size)
{
    const char *at = static_cast<const char *>(bytes);
    while (size > 0) {
        const ssize_t n = ::write(fd, at, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        size -= std::size_t(n);
    }
    return true;
}

// Whether the process may still be using files named after it. A process of another user answers
// EPERM: it runs. A number this system does not hand out as a process id is not ours to judge, so
// it counts as running too.
inline bool processMayRun(long long pid)
{
    if (pid <= 0 || pid > INT_MAX)
        return true;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

// Makes the folder `path` with any missing folders above it, each one made here private to this
// user (mode 0700 whatever the umask), and makes `path` itself private also when it was there:
// the programs' own folders hold readings and the names of the user's files. Folders above it
// that were there are left as they are. False (errno set) when a folder cannot be made.
inline bool makePrivateFolder(const std::string &path)
{
    const auto makeMissing = [](const std::string &folder, const auto &self) -> bool {
        struct stat st;
        if (::stat(folder.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode))
                return true;
            errno = ENOTDIR;
            return false;
        }
        if (folder.empty() || errno != ENOENT)
            return false;
        const std::string parent = std::filesystem::path(folder).parent_path().string();
        if (!parent.empty() && parent != folder && !self(parent, self))
            return false;
        if (::mkdir(folder.c_str(), 0700) == 0)
            ::chmod(folder.c_str(), 0700);
        else if (errno != EEXIST)
            return false;
        return true;
    };
    if (!makeMissing(path, makeMissing))
        return false;
    ::chmod(path.c_str(), 0700);
    return true;
}

} // namespace table
