#pragma once

#include <cstdint>

namespace table {

// File and block headers are little-endian, unlike the field data in records.

inline std::uint16_t getLe16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::int16_t getLe16Signed(const std::uint8_t *p)
{
    return static_cast<std::int16_t>(getLe16(p));
}

inline std::uint32_t getLe32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void putLe16(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void putLe32(std::uint8_t *p, std::uint32_t v)
{
    putLe16(p, v);
    putLe16(p + 2, v >> 16);
}

} // namespace table
