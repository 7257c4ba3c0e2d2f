#include "FrameHex.h"

namespace protocol::FrameHex {

QString fromBytes(QByteArrayView bytes)
{
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    QString text(bytes.size() * 2, Qt::Uninitialized);
    QChar *out = text.data();
    for (const char c : bytes) {
        const auto byte = static_cast<quint8>(c);
        *out++ = QChar(kDigits[byte >> 4]);
        *out++ = QChar(kDigits[byte & 0x0F]);
    }
    return text;
}

} // namespace protocol::FrameHex
