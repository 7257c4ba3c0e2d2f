#include "IntegerText.h"

#include <limits>

namespace protocol {

std::optional<int> IntegerText::parse(const QString &text)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    if (i == text.size())
        return std::nullopt;

    // The magnitude may reach 2^31 so that the most negative 32-bit value still reads.
    constexpr qint64 kLimit = qint64(std::numeric_limits<int>::max()) + 1;
    qint64 magnitude = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        magnitude = magnitude * 10 + (c.unicode() - '0');
        if (magnitude > kLimit)
            return std::nullopt;
    }
    const qint64 value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(value);
}

QString IntegerText::conversionError(const QString &text)
{
    return QStringLiteral("'%1' is not a valid integer value").arg(text);
}

} // namespace protocol
