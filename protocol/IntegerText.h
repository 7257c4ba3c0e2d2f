#pragma once

#include <QString>

#include <optional>

namespace protocol {

// Reading text as a whole number, the one rule for the window's edit boxes, the sampling interval
// and the digits of a frame.
class IntegerText
{
public:
    // An optional "+" or "-" followed by one or more decimal digits, within the 32-bit range;
    // nothing else (no blanks, no hex). Empty when the text is not such a number.
    static std::optional<int> parse(const QString &text);

    // The message shown when a text is not a whole number: "'<text>' is not a valid integer
    // value".
    static QString conversionError(const QString &text);
};

} // namespace protocol
