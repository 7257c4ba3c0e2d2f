#include "FieldCodec.h"

#include "Cp1252.h"
#include "EngineError.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace table {

namespace {

constexpr std::int64_t kMsPerDay = 86400000;
// Day number of 1970-01-01, the origin of the civil-date arithmetic below.
constexpr std::int64_t kUnixEpochDay = 719163;
// The most negative value of each width is the blank value once its sign bit is inverted.
constexpr std::int64_t kShortMax = 32767;
constexpr std::int64_t kLongMax = 2147483647;

std::string inQuotes(std::string_view name)
{
    return "\"" + std::string(name) + "\"";
}

[[noreturn]] void cannotTake(const FieldDef &field, std::string_view what)
{
    throw EngineError("field " + inQuotes(field.name) + " (" +
                      std::string(fieldTypeName(field.type)) + ") cannot take " +
                      std::string(what));
}

[[noreturn]] void notValid(const FieldDef &field, std::string_view text, std::string_view kind)
{
    throw EngineError("'" + std::string(text) + "' is not a valid " + std::string(kind) +
                      " for field " + inQuotes(field.name));
}

[[noreturn]] void outOfRange(const FieldDef &field, std::string_view value)
{
    throw EngineError(std::string(value) + " is out of range for field " + inQuotes(field.name) +
                      " (" + std::string(fieldTypeName(field.type)) + ")");
}

// --- stored numbers -----------------------------------------------------------------------

void putDouble(std::uint8_t *data, double value)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, 8);
    for (int i = 0; i < 8; ++i)
        data[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    // Minus zero lands on the same bytes as zero, since its sign bit is already set.
    if (value >= 0) {
        data[0] |= 0x80;
    } else {
        for (int i = 0; i < 8; ++i)
            data[i] = static_cast<std::uint8_t>(~data[i]);
    }
}

double storedDouble(const std::uint8_t *data)
{
    std::uint8_t b[8];
    std::memcpy(b, data, 8);
    if (b[0] & 0x80) {
        b[0] &= 0x7F;
    } else {
        for (auto &x : b)
            x = static_cast<std::uint8_t>(~x);
    }
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits = (bits << 8) | b[i];
    double value = 0;
    std::memcpy(&value, &bits, 8);
    return value;
}

// --- calendar -----------------------------------------------------------------------------

std::int64_t daysSinceEpoch(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct CivilDate
{
    std::int64_t year = 1;
    unsigned month = 1;
    unsigned day = 1;
};

CivilDate civilFromDayNumber(std::int64_t dayNo)
{
    const std::int64_t z = dayNo - kUnixEpochDay + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    CivilDate date;
    date.day = doy - (153 * mp + 2) / 5 + 1;
    date.month = mp < 10 ? mp + 3 : mp - 9;
    date.year = static_cast<std::int64_t>(yoe) + era * 400 + (date.month <= 2 ? 1 : 0);
    return date;
}

bool isLeapYear(int y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int y, int m)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeapYear(y) ? 29 : kDays[m - 1];
}

// --- text helpers -------------------------------------------------------------------------

void appendPadded(std::string &out, std::int64_t value, int width)
{
    if (width == 2 && value >= 0 && value < 100) { // the parts of times and dates
        const char digits[2] = {char('0' + value / 10), char('0' + value % 10)};
        out.append(digits, 2);
        return;
    }
    if (value < 0) {
        out += '-';
        value = -value;
    }
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    const auto len = static_cast<int>(res.ptr - buf);
    for (int i = len; i < width; ++i)
        out += '0';
    out.append(buf, res.ptr);
}

std::string integerText(std::int64_t value)
{
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

// Locale-free, so that a decimal comma in the user's locale cannot creep into saved text.
std::string doubleText(double value, bool currency)
{
    char buf[400];
    const auto res =
        currency ? std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2)
                 : std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    if (res.ec != std::errc())
        return std::to_string(value);
    return std::string(buf, res.ptr);
}

void appendTimeOfDay(std::string &out, std::int64_t ms)
{
    if (ms < 0) {
        out += '-';
        ms = -ms;
    }
    appendPadded(out, ms / 3600000, 2);
    out += ':';
    appendPadded(out, ms / 60000 % 60, 2);
    out += ':';
    appendPadded(out, ms / 1000 % 60, 2);
    if (ms % 1000) {
        out += '.';
        appendPadded(out, ms % 1000, 3);
    }
}

void appendDate(std::string &out, std::int64_t dayNo)
{
    const CivilDate date = civilFromDayNumber(dayNo);
    appendPadded(out, date.year, 4);
    out += '-';
    appendPadded(out, date.month, 2);
    out += '-';
    appendPadded(out, date.day, 2);
}

std::string timestampText(double ms)
{
    // Beyond some 27 million years the day arithmetic would overflow; such a value is not a
    // date anybody wrote, so show the number itself.
    if (!std::isfinite(ms) || std::fabs(ms) > 8.64e17)
        return doubleText(ms, false);
    const auto whole = static_cast<std::int64_t>(std::floor(ms));
    std::int64_t days = whole / kMsPerDay;
    std::int64_t rest = whole % kMsPerDay;
    if (rest < 0) {
        rest += kMsPerDay;
        --days;
    }
    std::string out;
    appendDate(out, days);
    out += ' ';
    appendTimeOfDay(out, rest);
    return out;
}

std::string bcdText(const FieldDef &field, const std::uint8_t *data)
{
    const bool negative = (data[0] & 0x80) == 0;
    const int decimals = field.size;
    std::array<int, kBcdDigits> digits{};
    for (int k = 0; k < kBcdDigits; ++k) {
        const int nibbleIndex = 2 + k;
        const std::uint8_t byte = data[nibbleIndex / 2];
        int nibble = nibbleIndex % 2 ? (byte & 0x0F) : (byte >> 4);
        if (negative)
            nibble ^= 0x0F;
        if (nibble > 9)
            throw EngineError("damaged value in BCD field " + inQuotes(field.name));
        digits[static_cast<std::size_t>(k)] = nibble;
    }
    std::string out;
    const int intDigits = kBcdDigits - decimals;
    int first = 0;
    while (first < intDigits - 1 && digits[static_cast<std::size_t>(first)] == 0)
        ++first;
    for (int k = first; k < intDigits; ++k)
        out += static_cast<char>('0' + digits[static_cast<std::size_t>(k)]);
    if (out.empty())
        out = "0";
    if (decimals > 0) {
        out += '.';
        for (int k = intDigits; k < kBcdDigits; ++k)
            out += static_cast<char>('0' + digits[static_cast<std::size_t>(k)]);
    }
    if (negative && out.find_first_not_of("0.") != std::string::npos)
        out.insert(out.begin(), '-');
    return out;
}

std::string_view trimmed(std::string_view text)
{
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

bool parseInteger(std::string_view text, std::int64_t &value)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return false;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), value);
    return res.ec == std::errc() && res.ptr == text.data() + text.size();
}

bool parseDouble(std::string_view text, double &value)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return false;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), value);
    return res.ec == std::errc() && res.ptr == text.data() + text.size() && std::isfinite(value);
}

// Reads exactly `count` decimal digits.
bool takeDigits(std::string_view &text, int count, int &value)
{
    if (static_cast<int>(text.size()) < count)
        return false;
    value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[static_cast<std::size_t>(i)] < '0' || text[static_cast<std::size_t>(i)] > '9')
            return false;
        value = value * 10 + (text[static_cast<std::size_t>(i)] - '0');
    }
    text.remove_prefix(static_cast<std::size_t>(count));
    return true;
}

bool takeChar(std::string_view &text, char c)
{
    if (text.empty() || text.front() != c)
        return false;
    text.remove_prefix(1);
    return true;
}

// "YYYY-MM-DD"
bool parseDate(std::string_view &text, std::int64_t &dayNo)
{
    int y = 0, m = 0, d = 0;
    if (!takeDigits(text, 4, y) || !takeChar(text, '-') || !takeDigits(text, 2, m) ||
        !takeChar(text, '-') || !takeDigits(text, 2, d))
        return false;
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > daysInMonth(y, m))
        return false;
    dayNo = dayNumber(y, m, d);
    return true;
}

// "H:MM", "HH:MM:SS" or "HH:MM:SS.zzz"
bool parseTime(std::string_view &text, std::int64_t &ms)
{
    int h = 0, m = 0, s = 0, frac = 0;
    if (text.size() >= 2 && text[1] == ':') {
        if (!takeDigits(text, 1, h))
            return false;
    } else if (!takeDigits(text, 2, h)) {
        return false;
    }
    if (!takeChar(text, ':') || !takeDigits(text, 2, m))
        return false;
    if (takeChar(text, ':')) {
        if (!takeDigits(text, 2, s))
            return false;
        if (takeChar(text, '.')) {
            int scale = 100;
            int digits = 0;
            while (!text.empty() && text.front() >= '0' && text.front() <= '9' && digits < 3) {
                frac += (text.front() - '0') * scale;
                scale /= 10;
                ++digits;
                text.remove_prefix(1);
            }
            if (digits == 0)
                return false;
        }
    }
    if (h > 23 || m > 59 || s > 59)
        return false;
    ms = ((h * 60 + m) * 60 + s) * 1000LL + frac;
    return true;
}

bool parseLogical(std::string_view text, bool &value)
{
    std::string lower;
    for (const char c : text)
        lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (lower == "true" || lower == "t" || lower == "yes" || lower == "y" || lower == "1") {
        value = true;
        return true;
    }
    if (lower == "false" || lower == "f" || lower == "no" || lower == "n" || lower == "0") {
        value = false;
        return true;
    }
    return false;
}

// A decimal number as the 32 digits of a BCD field with `decimals` digits after the point,
// rounded half away from zero. False if the text is no number or too large for the field.
bool bcdFromDecimal(std::string_view text, int decimals, std::uint8_t *out, bool &tooLarge)
{
    tooLarge = false;
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::string intPart, fracPart;
    bool point = false;
    for (const char c : text) {
        if (c == '.' && !point) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            (point ? fracPart : intPart) += c;
        } else {
            return false;
        }
    }
    if (intPart.empty() && fracPart.empty())
        return false;
    const bool roundUp = static_cast<int>(fracPart.size()) > decimals &&
                         fracPart[static_cast<std::size_t>(decimals)] >= '5';
    fracPart.resize(static_cast<std::size_t>(decimals), '0');
    std::string all = intPart + fracPart;
    if (roundUp) {
        int i = static_cast<int>(all.size()) - 1;
        while (i >= 0 && all[static_cast<std::size_t>(i)] == '9')
            all[static_cast<std::size_t>(i--)] = '0';
        if (i < 0)
            all.insert(all.begin(), '1');
        else
            ++all[static_cast<std::size_t>(i)];
    }
    const auto firstNonZero = all.find_first_not_of('0');
    all = firstNonZero == std::string::npos ? std::string() : all.substr(firstNonZero);
    if (static_cast<int>(all.size()) > kBcdDigits) {
        tooLarge = true;
        return false;
    }
    if (all.empty())
        negative = false;
    std::array<int, kBcdDigits> digits{};
    const std::size_t offset = kBcdDigits - all.size();
    for (std::size_t i = 0; i < all.size(); ++i)
        digits[offset + i] = all[i] - '0';
    std::memset(out, 0, kBcdStoredSize);
    out[0] = static_cast<std::uint8_t>((negative ? 0x40 : 0xC0) | decimals);
    for (int k = 0; k < kBcdDigits; ++k) {
        int nibble = digits[static_cast<std::size_t>(k)];
        if (negative)
            nibble ^= 0x0F;
        const int nibbleIndex = 2 + k;
        std::uint8_t &byte = out[nibbleIndex / 2];
        if (nibbleIndex % 2)
            byte = static_cast<std::uint8_t>((byte & 0xF0) | nibble);
        else
            byte = static_cast<std::uint8_t>((byte & 0x0F) | (nibble << 4));
    }
    return true;
}

std::string timeOfDayText(const TimeOfDay &t)
{
    std::string out;
    appendTimeOfDay(out, ((t.hour * 60LL + t.minute) * 60 + t.second) * 1000 + t.millisecond);
    return out;
}

void storeAlpha(const FieldDef &field, std::string_view text, std::uint8_t *data)
{
    std::string bytes;
    if (!utf8ToCp1252(text, bytes))
        throw EngineError("text for field " + inQuotes(field.name) +
                          " holds a character that the table's code page 1252 cannot store");
    if (bytes.find('\0') != std::string::npos)
        throw EngineError("text for field " + inQuotes(field.name) + " holds a NUL character");
    if (static_cast<int>(bytes.size()) > field.size)
        throw EngineError("text \"" + std::string(text) + "\" is too long for field " +
                          inQuotes(field.name) + " (at most " + std::to_string(field.size) +
                          " characters)");
    std::memset(data, 0, static_cast<std::size_t>(field.size));
    std::memcpy(data, bytes.data(), bytes.size());
}

void storeWhole(const FieldDef &field, std::int64_t value, std::uint8_t *data)
{
    const std::int64_t max = field.type == FieldType::Short ? kShortMax : kLongMax;
    if (value < -max || value > max)
        outOfRange(field, integerText(value));
    putStoredInteger(data, fixedSize(field.type), value);
}

} // namespace

void putStoredInteger(std::uint8_t *data, int bytes, std::int64_t value)
{
    auto u = static_cast<std::uint64_t>(value);
    for (int i = bytes - 1; i >= 0; --i) {
        data[i] = static_cast<std::uint8_t>(u);
        u >>= 8;
    }
    data[0] ^= 0x80;
}

std::int64_t storedInteger(const std::uint8_t *data, int bytes)
{
    bool blank = true;
    for (int i = 0; i < bytes; ++i)
        blank = blank && data[i] == 0;
    if (blank)
        return 0;
    std::uint64_t u = data[0] ^ 0x80u;
    for (int i = 1; i < bytes; ++i)
        u = (u << 8) | data[i];
    const int bits = bytes * 8;
    if (bits < 64 && (u & (std::uint64_t{1} << (bits - 1))))
        u |= ~std::uint64_t{0} << bits;
    return static_cast<std::int64_t>(u);
}

std::int64_t dayNumber(int year, int month, int day)
{
    return daysSinceEpoch(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
           kUnixEpochDay;
}

bool isBlankValue(const FieldDef &field, const std::uint8_t *data)
{
    const int n = storedSize(field);
    for (int i = 0; i < n; ++i) {
        if (data[i])
            return false;
    }
    return true;
}

std::string fieldText(const FieldDef &field, const std::uint8_t *data)
{
    if (isBlobType(field.type))
        throw EngineError(
            "field " + inQuotes(field.name) + " is a " + std::string(fieldTypeName(field.type)) +
            " field; its data lives in a separate file, which the engine does not read");
    if (isBlankValue(field, data))
        return {};
    switch (field.type) {
    case FieldType::Alpha: {
        const auto *end = static_cast<const std::uint8_t *>(
            std::memchr(data, 0, static_cast<std::size_t>(field.size)));
        const auto len =
            end ? static_cast<std::size_t>(end - data) : static_cast<std::size_t>(field.size);
        return cp1252ToUtf8(std::string_view(reinterpret_cast<const char *>(data), len));
    }
    case FieldType::Short:
        return integerText(storedInteger(data, 2));
    case FieldType::Long:
    case FieldType::AutoIncrement:
        return integerText(storedInteger(data, 4));
    case FieldType::Number:
        return doubleText(storedDouble(data), false);
    case FieldType::Currency:
        return doubleText(storedDouble(data), true);
    case FieldType::Date: {
        std::string out;
        appendDate(out, storedInteger(data, 4));
        return out;
    }
    case FieldType::Time: {
        std::string out;
        appendTimeOfDay(out, storedInteger(data, 4));
        return out;
    }
    case FieldType::Timestamp:
        return timestampText(storedDouble(data));
    case FieldType::Logical:
        return (data[0] ^ 0x80) ? "True" : "False";
    case FieldType::Bcd:
        return bcdText(field, data);
    case FieldType::Bytes: {
        static constexpr char kHex[] = "0123456789ABCDEF";
        std::string out;
        for (int i = 0; i < field.size; ++i) {
            out += kHex[data[i] >> 4];
            out += kHex[data[i] & 0x0F];
        }
        return out;
    }
    default:
        throw EngineError("field " + inQuotes(field.name) + " has a type the engine cannot read");
    }
}

void appendFieldText(std::string &out, const FieldDef &field, const std::uint8_t *data)
{
    int bytes = 4;
    switch (field.type) {
    case FieldType::Short:
        bytes = 2;
        break;
    case FieldType::Long:
    case FieldType::AutoIncrement:
    case FieldType::Date:
    case FieldType::Time:
        break;
    default:
        out += fieldText(field, data);
        return;
    }
    if (isBlankValue(field, data))
        return;
    const std::int64_t value = storedInteger(data, bytes);
    if (field.type == FieldType::Date) {
        appendDate(out, value);
    } else if (field.type == FieldType::Time) {
        appendTimeOfDay(out, value);
    } else {
        char buf[24];
        const auto res = std::to_chars(buf, buf + sizeof buf, value);
        out.append(buf, res.ptr);
    }
}

void storeText(const FieldDef &field, std::string_view text, std::uint8_t *data)
{
    if (field.type == FieldType::Alpha) {
        storeAlpha(field, text, data);
        return;
    }
    if (field.type == FieldType::AutoIncrement || isBlobType(field.type))
        cannotTake(field, "values: the table assigns them");
    const std::string_view value = trimmed(text);
    std::uint8_t buf[256] = {}; // the widest fixed-size value: a bytes field of 255
    const auto size = static_cast<std::size_t>(storedSize(field));
    if (value.empty()) {
        std::memset(data, 0, size);
        return;
    }
    switch (field.type) {
    case FieldType::Short:
    case FieldType::Long: {
        std::int64_t v = 0;
        if (!parseInteger(value, v))
            notValid(field, text, "whole number");
        storeWhole(field, v, buf);
        break;
    }
    case FieldType::Number:
    case FieldType::Currency: {
        double v = 0;
        if (!parseDouble(value, v))
            notValid(field, text, "number");
        putDouble(buf, v);
        break;
    }
    case FieldType::Bcd: {
        bool tooLarge = false;
        if (!bcdFromDecimal(value, field.size, buf, tooLarge)) {
            if (tooLarge)
                outOfRange(field, value);
            notValid(field, text, "number");
        }
        break;
    }
    case FieldType::Date: {
        std::string_view rest = value;
        std::int64_t dayNo = 0;
        if (!parseDate(rest, dayNo) || !rest.empty())
            notValid(field, text, "date (YYYY-MM-DD)");
        putStoredInteger(buf, 4, dayNo);
        break;
    }
    case FieldType::Time: {
        std::string_view rest = value;
        std::int64_t ms = 0;
        if (!parseTime(rest, ms) || !rest.empty())
            notValid(field, text, "time of day (HH:MM:SS)");
        putStoredInteger(buf, 4, ms);
        break;
    }
    case FieldType::Timestamp: {
        std::string_view rest = value;
        std::int64_t dayNo = 0, ms = 0;
        if (!parseDate(rest, dayNo) || !(takeChar(rest, ' ') || takeChar(rest, 'T')) ||
            !parseTime(rest, ms) || !rest.empty())
            notValid(field, text, "timestamp (YYYY-MM-DD HH:MM:SS)");
        putDouble(buf, static_cast<double>(dayNo * kMsPerDay + ms));
        break;
    }
    case FieldType::Logical: {
        bool v = false;
        if (!parseLogical(value, v))
            notValid(field, text, "logical value (True or False)");
        buf[0] = v ? 0x81 : 0x80;
        break;
    }
    case FieldType::Bytes: {
        if (value.size() % 2 || static_cast<int>(value.size()) > 2 * field.size)
            notValid(field, text, "hexadecimal byte string");
        for (std::size_t i = 0; i < value.size(); i += 2) {
            int byte = 0;
            const auto res = std::from_chars(value.data() + i, value.data() + i + 2, byte, 16);
            if (res.ec != std::errc() || res.ptr != value.data() + i + 2)
                notValid(field, text, "hexadecimal byte string");
            buf[i / 2] = static_cast<std::uint8_t>(byte);
        }
        break;
    }
    default:
        cannotTake(field, "text");
    }
    std::memcpy(data, buf, size);
}

void storeInteger(const FieldDef &field, std::int32_t value, std::uint8_t *data)
{
    switch (field.type) {
    case FieldType::Alpha:
        storeAlpha(field, integerText(value), data);
        return;
    case FieldType::Short:
    case FieldType::Long: {
        std::uint8_t buf[4];
        storeWhole(field, value, buf);
        std::memcpy(data, buf, static_cast<std::size_t>(field.size));
        return;
    }
    case FieldType::Number:
    case FieldType::Currency:
        putDouble(data, value);
        return;
    case FieldType::Bcd:
        storeText(field, integerText(value), data);
        return;
    case FieldType::Logical:
        data[0] = value ? 0x81 : 0x80;
        return;
    case FieldType::AutoIncrement:
        cannotTake(field, "values: the table assigns them");
    default:
        cannotTake(field, "a whole number");
    }
}

void storeFloat(const FieldDef &field, double value, std::uint8_t *data)
{
    if (!std::isfinite(value))
        throw EngineError("field " + inQuotes(field.name) +
                          " cannot take a value that is not a finite number");
    switch (field.type) {
    case FieldType::Alpha:
        storeAlpha(field, doubleText(value, false), data);
        return;
    case FieldType::Number:
    case FieldType::Currency:
        putDouble(data, value);
        return;
    case FieldType::Short:
    case FieldType::Long: {
        const double rounded = std::round(value);
        const double max = field.type == FieldType::Short ? kShortMax : kLongMax;
        if (rounded < -max || rounded > max)
            outOfRange(field, doubleText(value, false));
        std::uint8_t buf[4];
        storeWhole(field, static_cast<std::int64_t>(rounded), buf);
        std::memcpy(data, buf, static_cast<std::size_t>(field.size));
        return;
    }
    case FieldType::Bcd: {
        char buf[400];
        const auto res =
            std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, field.size);
        if (res.ec != std::errc())
            outOfRange(field, doubleText(value, false));
        storeText(field, std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)), data);
        return;
    }
    case FieldType::AutoIncrement:
        cannotTake(field, "values: the table assigns them");
    default:
        cannotTake(field, "a number");
    }
}

void storeTime(const FieldDef &field, const TimeOfDay &time, std::uint8_t *data)
{
    if (time.hour < 0 || time.hour > 23 || time.minute < 0 || time.minute > 59 || time.second < 0 ||
        time.second > 59 || time.millisecond < 0 || time.millisecond > 999)
        throw EngineError("invalid time of day for field " + inQuotes(field.name));
    switch (field.type) {
    case FieldType::Time:
        putStoredInteger(data, 4,
                         ((time.hour * 60LL + time.minute) * 60 + time.second) * 1000 +
                             time.millisecond);
        return;
    case FieldType::Alpha:
        storeAlpha(field, timeOfDayText(time), data);
        return;
    default:
        cannotTake(field, "a time of day");
    }
}

} // namespace table
