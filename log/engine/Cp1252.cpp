#include "Cp1252.h"

#include <cstdint>

namespace table {

namespace {

// Code points of bytes 0x80 to 0x9F; the rest of the upper half equals Latin-1.
constexpr char32_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void appendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool encodeCodePoint(char32_t c, char &byte)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        byte = static_cast<char>(c);
        return true;
    }
    for (int i = 0; i < 32; ++i) {
        if (kHighControls[i] == c) {
            byte = static_cast<char>(0x80 + i);
            return true;
        }
    }
    return false;
}

} // namespace

std::string cp1252ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto b = static_cast<std::uint8_t>(ch);
        if (b < 0x80)
            out += ch;
        else if (b < 0xA0)
            appendUtf8(out, kHighControls[b - 0x80]);
        else
            appendUtf8(out, b);
    }
    return out;
}

bool utf8ToCp1252(std::string_view text, std::string &bytes)
{
    bytes.clear();
    bytes.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        char32_t c = 0;
        int extra = 0;
        if (lead < 0x80) {
            c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1F;
            extra = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0F;
            extra = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            c = lead & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= text.size() && extra > 0)
            return false;
        for (int k = 1; k <= extra; ++k) {
            const auto cont = static_cast<std::uint8_t>(text[i + k]);
            if ((cont & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (cont & 0x3F);
        }
        // Overlong forms would let two spellings of one character through.
        if ((extra == 1 && c < 0x80) || (extra == 2 && c < 0x800) || (extra == 3 && c < 0x10000))
            return false;
        char byte = 0;
        if (!encodeCodePoint(c, byte))
            return false;
        bytes += byte;
        i += 1 + extra;
    }
    return true;
}

} // namespace table
