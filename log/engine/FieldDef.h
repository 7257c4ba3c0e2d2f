#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace table {

// Field types with the codes they carry in a table file's field list.
enum class FieldType : std::uint8_t
{
    Alpha = 0x01,
    Date = 0x02,
    Short = 0x03,
    Long = 0x04,
    Currency = 0x05,
    Number = 0x06,
    Logical = 0x09,
    Memo = 0x0C,
    Blob = 0x0D,
    FormattedMemo = 0x0E,
    Ole = 0x0F,
    Graphic = 0x10,
    Time = 0x14,
    Timestamp = 0x15,
    AutoIncrement = 0x16,
    Bcd = 0x17,
    Bytes = 0x18,
};

struct FieldDef
{
    std::string name; // UTF-8
    FieldType type = FieldType::Alpha;
    // The size byte of the field list: characters for alpha, bytes for bytes and the fixed-size
    // types, leader plus 10 bytes for memos and blobs, and for BCD the digits after the point.
    int size = 0;
};

// Longest field name a table may carry; longer names do not fit the usual header.
constexpr int kMaxFieldNameLength = 25;
constexpr int kMaxFields = 255;
// BCD values hold 32 digits in all, whatever their scale.
constexpr int kBcdDigits = 32;
constexpr int kBcdStoredSize = 17;

bool isKnownFieldType(std::uint8_t code);
// Memo, blob, formatted memo, OLE and graphic: their data lives in a separate .MB file.
bool isBlobType(FieldType type);
// Lower-case name used in messages and by the dump tool ("long", "time", "autoincrement", ...).
std::string_view fieldTypeName(FieldType type);
// Bytes the field takes in a record.
int storedSize(const FieldDef &field);
// The size a field of a fixed-size type must have, or 0 for alpha, bytes, BCD and blobs.
int fixedSize(FieldType type);
// Empty if type and size can stand in a table, else what is wrong with them.
std::string checkTypeAndSize(FieldType type, int size);

} // namespace table
