#pragma once

#include <QString>

namespace protocol {

// A frame that an assembler has completed: the new FrameHex, and whether the active routine
// hands it to the decoder (only when the framing test accepted it, and only for the routines
// that decode at all).
struct CompletedFrame
{
    QString frameHex;
    bool decode = false;

    friend bool operator==(const CompletedFrame &a, const CompletedFrame &b)
    {
        return a.frameHex == b.frameHex && a.decode == b.decode;
    }
};

} // namespace protocol
