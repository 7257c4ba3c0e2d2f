#include "StampColumn.h"

void StampColumn::clear()
{
    m_bytes.clear();
    m_blocks.clear();
    m_prefixes.clear();
    m_size = 0;
    m_reference = 0;
}

void StampColumn::set(std::int64_t row, qint64 when, char prefix)
{
    if (row < m_size) {
        // Records at the end went from the table: their stamps go too (rare; a copy).
        StampColumn kept;
        for (std::int64_t r = 0; r < row; ++r)
            kept.append(this->when(r), this->prefix(r));
        *this = std::move(kept);
    }
    while (m_size < row)
        append(kNoTime, 0);
    append(when, prefix);
}

void StampColumn::append(qint64 when, char prefix)
{
    if (m_size % kBlock == 0)
        m_blocks.push_back({m_reference, std::int64_t(m_bytes.size())});
    std::uint64_t code = 0;
    if (when != kNoTime) {
        // Unsigned arithmetic: the distance between any two moments wraps, and unwraps the same.
        const auto distance = std::int64_t(std::uint64_t(when) - std::uint64_t(m_reference));
        const std::uint64_t zigzag = (std::uint64_t(distance) << 1) ^ std::uint64_t(distance >> 63);
        // The one distance with no code left (half the range of the clock) cannot be a moment
        // of a reading: it counts as none.
        if (zigzag != std::numeric_limits<std::uint64_t>::max()) {
            code = zigzag + 1;
            m_reference = when;
        }
    }
    do {
        std::uint8_t byte = code & 0x7f;
        code >>= 7;
        if (code)
            byte |= 0x80;
        m_bytes.push_back(byte);
    } while (code);

    const int letter = prefix == 'k' ? 1 : prefix == 'M' ? 2 : 0;
    if (m_size % 4 == 0)
        m_prefixes.push_back(0);
    m_prefixes.back() |= std::uint8_t(letter << (2 * (m_size % 4)));
    ++m_size;
}

qint64 StampColumn::when(std::int64_t row) const
{
    if (row < 0 || row >= m_size)
        return kNoTime;
    const Block &block = m_blocks[std::size_t(row / kBlock)];
    std::uint64_t reference = std::uint64_t(block.reference);
    std::size_t at = std::size_t(block.start);
    qint64 found = kNoTime;
    for (std::int64_t r = row / kBlock * kBlock; r <= row; ++r) {
        std::uint64_t code = 0;
        int shift = 0;
        std::uint8_t byte = 0;
        do {
            byte = m_bytes[at++];
            code |= std::uint64_t(byte & 0x7f) << shift;
            shift += 7;
        } while (byte & 0x80);
        if (code == 0) {
            found = kNoTime;
            continue;
        }
        const std::uint64_t zigzag = code - 1;
        const std::uint64_t distance = (zigzag >> 1) ^ (~(zigzag & 1) + 1);
        reference += distance;
        found = qint64(reference);
    }
    return found;
}

char StampColumn::prefix(std::int64_t row) const
{
    if (row < 0 || row >= m_size)
        return 0;
    const int letter = (m_prefixes[std::size_t(row / 4)] >> (2 * (row % 4))) & 3;
    return letter == 1 ? 'k' : letter == 2 ? 'M' : 0;
}
