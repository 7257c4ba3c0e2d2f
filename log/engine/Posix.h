#pragma once

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
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

} // namespace table
