#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace table {

// Where a written table file goes: a file, or memory (fuzzing, tests).
class ByteSink
{
public:
    virtual ~ByteSink() = default;
    // Throws EngineError when the bytes cannot be written.
    virtual void write(const void *data, std::size_t n) = 0;
    virtual void flush() {}
};

class MemorySink final : public ByteSink
{
public:
    void write(const void *data, std::size_t n) override;
    std::vector<std::uint8_t> bytes;
};

// Collects small writes into large ones; the caller must call flush() at the end, since a
// destructor cannot report a failed write.
class FileSink final : public ByteSink
{
public:
    FileSink(int fd, std::string_view pathForMessages);
    void write(const void *data, std::size_t n) override;
    void flush() override;

private:
    static constexpr std::size_t kChunk = 1 << 20;
    int m_fd = -1;
    std::string m_path;
    std::uint64_t m_offset = 0;
    std::vector<std::uint8_t> m_buffer;
};

} // namespace table
