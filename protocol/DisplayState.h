#pragma once

#include "Annunciator.h"

#include <QByteArray>

namespace protocol {

// What the meter's display shows, as the meter would send it. Turns into the 14-byte frame,
// for the meter simulator and for tests that need frames.
struct DisplayState
{
    bool negative = false;
    // The four digit characters, most significant first, written as they are into frame
    // bytes 2 to 5 (the decoder reads their low four bits, so "0" to "9" are the digits).
    QByteArray digits = "0000";
    // Decimal point after digit 1, 2 or 3; 0 for none.
    int point = 0;
    // The meter's overload display: marks the first digit byte with the low bits 0xF.
    bool overload = false;
    Annunciators annunciators;

    // The frame: sign, four digits, a blank, the point code, the four status bytes, a zero byte,
    // the carriage return and the line feed the meter sends after it.
    QByteArray toFrame() const;
};

} // namespace protocol
