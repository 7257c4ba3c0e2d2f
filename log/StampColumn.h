#pragma once

#include <QtGlobal>

#include <cstdint>
#include <limits>
#include <vector>

// The moment and the hertz prefix of each record of the reading log, which its table does not
// keep (it has the time of day to the second and the unit without the prefix). A log may hold
// ten million records, so this costs about a byte and a half per record rather than the nine of
// a plain array: each moment is kept as the distance from the one before (a meter sends 17
// readings a second, so mostly one byte), with the running moment written down every 64 records
// so that any record is found after at most 63 steps; the prefix takes two bits.
class StampColumn
{
public:
    static constexpr qint64 kNoTime = std::numeric_limits<qint64>::min();

    std::int64_t size() const { return m_size; }
    void clear();
    // Keeps the stamp of `row`: milliseconds since the epoch or kNoTime, and the prefix letter
    // ('k', 'M', or 0). Rows between size() and `row` get neither; rows from `row` on are
    // dropped first.
    void set(std::int64_t row, qint64 when, char prefix);
    // kNoTime and 0 for a row beyond size().
    qint64 when(std::int64_t row) const;
    char prefix(std::int64_t row) const;

private:
    static constexpr std::int64_t kBlock = 64;
    struct Block
    {
        qint64 reference;   // the last moment before the block's first record
        std::int64_t start; // where the block's first record begins in m_bytes
    };
    void append(qint64 when, char prefix);

    // Per record an unsigned LEB128 number: 0 for no moment, else 1 + the zigzag form of the
    // distance in milliseconds from the last moment kept.
    std::vector<std::uint8_t> m_bytes;
    std::vector<Block> m_blocks;
    std::vector<std::uint8_t> m_prefixes; // four records a byte: 0 none, 1 kilo, 2 mega
    std::int64_t m_size = 0;
    qint64 m_reference = 0;
};
