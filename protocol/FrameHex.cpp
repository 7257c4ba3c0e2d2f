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

bool passesFramingTest(QStringView frameHex)
{
    if (frameHex.size() < 26)
        return false;
    const QStringView sign = frameHex.mid(0, 2);
    return (sign == u"2B" || sign == u"2D") && frameHex.mid(24, 2) == u"0D";
}

} // namespace protocol::FrameHex
