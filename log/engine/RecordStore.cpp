#include "RecordStore.h"

#include <algorithm>
#include <cstring>

namespace table {

void RecordStore::reset(int recordSize)
{
    m_recordSize = std::max(1, recordSize);
    m_perChunk = std::max<std::int64_t>(1, static_cast<std::int64_t>(kChunkBytes) / m_recordSize);
    m_size = 0;
    m_chunks.clear();
    m_chunks.shrink_to_fit();
}

void RecordStore::append(const std::uint8_t *record)
{
    const auto chunk = static_cast<std::size_t>(m_size / m_perChunk);
    if (chunk == m_chunks.size())
        // Left uninitialised: pages are only touched, and so only take memory, as records arrive.
        m_chunks.emplace_back(
            new std::uint8_t[static_cast<std::size_t>(m_perChunk * m_recordSize)]);
    std::memcpy(at(m_size++), record, static_cast<std::size_t>(m_recordSize));
}

} // namespace table
