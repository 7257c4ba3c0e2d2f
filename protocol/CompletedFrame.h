#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace protocol {

// A frame that an assembler has completed, and whether the active routine hands it to the
// decoder (only when it passes the framing test, and only for the routines that decode at all).
//
// For the decoding routines `bytes` is the frame as it came from the meter: sign byte, four digit
// bytes, ..., the status bytes and the carriage return. The routines that only assemble keep the
// low hex digit of each byte instead, as text ('0' to '9', 'A' to 'F').
struct CompletedFrame
{
    QByteArray bytes;
    bool decode = false;

    friend bool operator==(const CompletedFrame &a, const CompletedFrame &b)
    {
        return a.bytes == b.bytes && a.decode == b.decode;
    }
};

// The framing test: the sign byte (0x2B or 0x2D) first and the carriage return as the 13th byte.
// It checks the sign and that the frame is aligned and complete; a shorter frame fails.
inline bool passesFramingTest(QByteArrayView frame)
{
    if (frame.size() < 13)
        return false;
    const auto sign = static_cast<quint8>(frame[0]);
    return (sign == 0x2B || sign == 0x2D) && static_cast<quint8>(frame[12]) == 0x0D;
}

} // namespace protocol
