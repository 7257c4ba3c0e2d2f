#include "FieldDef.h"

namespace table {

bool isKnownFieldType(std::uint8_t code)
{
    switch (static_cast<FieldType>(code)) {
    case FieldType::Alpha:
    case FieldType::Date:
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::Currency:
    case FieldType::Number:
    case FieldType::Logical:
    case FieldType::Memo:
    case FieldType::Blob:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
    case FieldType::Time:
    case FieldType::Timestamp:
    case FieldType::AutoIncrement:
    case FieldType::Bcd:
    case FieldType::Bytes:
        return true;
    }
    return false;
}

bool isBlobType(FieldType type)
{
    switch (type) {
    case FieldType::Memo:
    case FieldType::Blob:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        return true;
    default:
        return false;
    }
}

std::string_view fieldTypeName(FieldType type)
{
    switch (type) {
    case FieldType::Alpha:
        return "alpha";
    case FieldType::Date:
        return "date";
    case FieldType::Short:
        return "short";
    case FieldType::Long:
        return "long";
    case FieldType::Currency:
        return "currency";
    case FieldType::Number:
        return "number";
    case FieldType::Logical:
        return "logical";
    case FieldType::Memo:
        return "memo";
    case FieldType::Blob:
        return "blob";
    case FieldType::FormattedMemo:
        return "formatted memo";
    case FieldType::Ole:
        return "OLE";
    case FieldType::Graphic:
        return "graphic";
    case FieldType::Time:
        return "time";
    case FieldType::Timestamp:
        return "timestamp";
    case FieldType::AutoIncrement:
        return "autoincrement";
    case FieldType::Bcd:
        return "BCD";
    case FieldType::Bytes:
        return "bytes";
    }
    return "unknown";
}

int fixedSize(FieldType type)
{
    switch (type) {
    case FieldType::Short:
        return 2;
    case FieldType::Date:
    case FieldType::Long:
    case FieldType::Time:
    case FieldType::AutoIncrement:
        return 4;
    case FieldType::Currency:
    case FieldType::Number:
    case FieldType::Timestamp:
        return 8;
    case FieldType::Logical:
        return 1;
    default:
        return 0;
    }
}

int storedSize(const FieldDef &field)
{
    return field.type == FieldType::Bcd ? kBcdStoredSize : field.size;
}

std::string checkTypeAndSize(FieldType type, int size)
{
    if (!isKnownFieldType(static_cast<std::uint8_t>(type)))
        return "unknown field type";
    if (const int fixed = fixedSize(type)) {
        if (size != fixed)
            return std::string(fieldTypeName(type)) + " fields take " + std::to_string(fixed) +
                   " bytes, not " + std::to_string(size);
        return {};
    }
    switch (type) {
    case FieldType::Alpha:
    case FieldType::Bytes:
        if (size < 1 || size > 255)
            return "size " + std::to_string(size) + " is outside 1 to 255";
        return {};
    case FieldType::Bcd:
        if (size < 0 || size > kBcdDigits)
            return "BCD fields keep 0 to 32 digits after the point, not " + std::to_string(size);
        return {};
    default:
        // Blob fields keep a leader of up to 240 bytes in the record, then 10 bytes of reference.
        if (size < 10 || size > 250)
            return "size " + std::to_string(size) + " is outside 10 to 250";
        return {};
    }
}

} // namespace table
