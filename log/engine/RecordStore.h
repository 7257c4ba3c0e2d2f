#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace table {

// The records of an open table, each in the table's own record layout (the bytes a data block
// holds), in table order. Records sit in chunks of about a megabyte, so appending never moves
// what is already there and never needs twice the memory, as a single growing array would.
class RecordStore
{
public:
    explicit RecordStore(int recordSize = 1) { reset(recordSize); }

    // Drops every record and its memory.
    void reset(int recordSize);
    void clear() { reset(m_recordSize); }

    int recordSize() const { return m_recordSize; }
    std::int64_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

    void append(const std::uint8_t *record);
    // Becomes a copy of `other`, chunk by chunk.
    void assign(const RecordStore &other);
    const std::uint8_t *at(std::int64_t row) const
    {
        return m_chunks[static_cast<std::size_t>(row / m_perChunk)].get() +
               static_cast<std::size_t>(row % m_perChunk) * static_cast<std::size_t>(m_recordSize);
    }
    std::uint8_t *at(std::int64_t row)
    {
        return const_cast<std::uint8_t *>(static_cast<const RecordStore *>(this)->at(row));
    }

private:
    static constexpr std::size_t kChunkBytes = 1 << 20;
    int m_recordSize = 1;
    std::int64_t m_perChunk = 1;
    std::int64_t m_size = 0;
    std::vector<std::unique_ptr<std::uint8_t[]>> m_chunks;
};

} // namespace table
