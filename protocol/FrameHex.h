#pragma once

#include <QByteArrayView>
#include <QString>

namespace protocol::FrameHex {

// Bytes as people read them in the diagnostic lists: two upper-case hex digits per byte, most
// significant first ("2B0D" for 0x2B 0x0D).
QString fromBytes(QByteArrayView bytes);

} // namespace protocol::FrameHex
