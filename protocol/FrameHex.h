#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>

// A received frame is handled as text: two upper-case hex digits per byte, most significant
// first, so fields are taken by character position (counted from 1 in the comments here).
namespace protocol::FrameHex {

// "2B0D" for the bytes 0x2B 0x0D.
QString fromBytes(QByteArrayView bytes);

// The framing test: characters 1-2 (the sign byte) joined with characters 25-26 (the 13th byte)
// must read "2B0D" or "2D0D". It checks the sign and that the frame is aligned and complete;
// a shorter text fails.
bool passesFramingTest(QStringView frameHex);

} // namespace protocol::FrameHex
