#pragma once

#include "protocol/CountRange.h"

#include <QString>

#include <optional>

// What a 6000- or 3400-count profile starts with: its count range, and the limit and extreme
// texts the window writes at start-up (their change handling takes the limits from them). The
// 4000-count layout texts already stand, so that profile has none.
struct StartValues
{
    protocol::CountRange range;
    QString Setmax;
    QString SetMin;
    QString MinText;
    QString MaxText;
};

inline std::optional<StartValues> startValuesFor(const QString &countCode)
{
    if (countCode != u"6" && countCode != u"34")
        return std::nullopt;
    const std::optional<protocol::CountRange> range = protocol::CountRange::fromCode(countCode);
    if (!range)
        return std::nullopt;
    const int full = range->CountFull;
    return StartValues{*range, QString::number(full), QString::number(-full),
                        QString::number(full + 1), QString::number(-(full + 1))};
}
