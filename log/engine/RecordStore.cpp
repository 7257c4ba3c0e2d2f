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

void RecordStore::assign(const RecordStore &other)
{
    reset(other.m_recordSize);
    m_chunks.reserve(other.m_chunks.size());
    const auto chunkBytes = static_cast<std::size_t>(m_perChunk * m_recordSize);
    for (std::size_t i = 0; i < other.m_chunks.size(); ++i) {
        const std::int64_t rows = std::min(m_perChunk, other.m_size - std::int64_t(i) * m_perChunk);
        m_chunks.emplace_back(new std::uint8_t[chunkBytes]);
        std::memcpy(m_chunks.back().get(), other.m_chunks[i].get(),
                    static_cast<std::size_t>(rows * m_recordSize));
    }
    m_size = other.m_size;
}

} // namespace table
