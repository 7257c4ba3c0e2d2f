#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace table {

class LockedFile;

// Where a table file's bytes come from: the file itself, or memory (fuzzing, tests).
class ByteSource
{
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Copies n bytes from offset. Readers check ranges against size() first and say what is
    // damaged; a range past the end still throws EngineError here instead of reading garbage.
    virtual void read(std::uint64_t offset, void *dst, std::size_t n) = 0;
};

class MemorySource final : public ByteSource
{
public:
    MemorySource(const std::uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint64_t size() const override { return m_size; }
    void read(std::uint64_t offset, void *dst, std::size_t n) override;

private:
    const std::uint8_t *m_data = nullptr;
    std::size_t m_size = 0;
};

// Reads ahead in large pieces: a table is read block after block from the front, and one
// system call per small block would dominate the time of opening a large table.
class FileSource final : public ByteSource
{
public:
    explicit FileSource(const LockedFile &file);
    std::uint64_t size() const override { return m_size; }
    void read(std::uint64_t offset, void *dst, std::size_t n) override;

private:
    static constexpr std::size_t kReadAhead = 1 << 20;
    const LockedFile &m_file;
    std::uint64_t m_size = 0;
    std::vector<std::uint8_t> m_buffer;
    std::uint64_t m_bufferOffset = 0;
};

} // namespace table
