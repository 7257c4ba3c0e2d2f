#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace table {

// An open table file holding an operating-system lock (flock) for as long as it is open.
// Every program that opens tables through this engine takes the lock, shared or exclusive, so an
// exclusive open keeps out a second copy of ours and every other program that honours flock;
// the lock goes with the file's descriptor and so is released however the program ends.
class LockedFile
{
public:
    enum class Access
    {
        ReadOnly,
        ReadWrite,
        ReadWriteIfAllowed
    };
    enum class Lock
    {
        Shared,
        Exclusive
    };

    LockedFile() = default;
    ~LockedFile();
    LockedFile(const LockedFile &) = delete;
    LockedFile &operator=(const LockedFile &) = delete;
    // Takes over the other file and its lock; the file this one held is closed.
    LockedFile &operator=(LockedFile &&other) noexcept;

    // Opens an existing regular file and takes the lock without waiting. Throws EngineError
    // when the file is missing or unreadable, and TableInUse when someone
    // else's lock keeps this one out.
    void open(const std::string &path, Access access, Lock lock);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    bool isWritable() const { return m_writable; }
    const std::string &path() const { return m_path; }

    std::uint64_t size() const;
    // Both throw EngineError on any failure, a short read or write included.
    void readAt(std::uint64_t offset, void *dst, std::size_t n) const;
    void writeAt(std::uint64_t offset, const void *src, std::size_t n);
    void truncate(std::uint64_t size);
    void sync();

    // Fails with a clear message when `path` exists and someone holds a lock on it. Used before
    // replacing a table file, which must not pull the file from under another program.
    static void checkNotInUse(const std::string &path);

    // The whole file at `path` as it reads now, taking no lock at all: for reading a table that
    // another program holds for exclusive use without disturbing it. Nothing guarantees the bytes
    // are one version of the file; see Table::openSnapshot(). Throws EngineError.
    static std::vector<std::uint8_t> readUnlocked(const std::string &path);
    // Whether the file at `path` still reads exactly as `bytes` (also without a lock).
    static bool unchangedSince(const std::string &path, const std::vector<std::uint8_t> &bytes);

private:
    int m_fd = -1;
    bool m_writable = false;
    std::string m_path;
};

} // namespace table
