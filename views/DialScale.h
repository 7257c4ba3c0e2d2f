#pragma once

#include "DialInputs.h"

#include <QColor>
#include <QList>
#include <QString>

#include <array>
#include <optional>

// A label of the dial's scale: drawn with its top-left corner at (Lx - dx, Ly - dy), where
// (Lx, Ly) is the face point at radius R + 18 for the label's position.
struct DialLabel
{
    double position = 0.0; // in label steps (0 .. CountFiftieth); may lie between steps
    QString text;
    int dx = 0;
    int dy = 0;
};

// The tables that differ between count codes, and the rules that colour the face and place
// the needle. Codes without a table ("" or anything unknown) get no labels and no ticks.
class DialScale
{
public:
    static QList<DialLabel> labels(const QString &countCode);

    // Major ticks, drawn at label step p in tickColour().
    static bool isMajorTick(const QString &countCode, int p);
    static QColor tickColour(const QString &countCode);

    // Scale dot c (0 .. 10 * CountFiftieth) stands for (c - CountFull / 10) * 10 counts; it is
    // red beyond an enabled limit, black otherwise.
    static bool dotIsRed(int c, const DialInputs &in);

    // The needle position for a decoded reading. `digits` are the four digit texts as shown
    // (overload shows "", "0", "@", ""). An overload points at the right end (10 *
    // CountFiftieth), a negative overload at the left end; otherwise the sign and the first
    // three digits (all four on the temperature scale "13") read as a whole number, plus
    // CountTenth, so one position is ten display counts. Empty when the digits do not read as
    // a whole number; the caller reports that as a conversion error.
    static std::optional<int> dialValue(const QString &sign, const std::array<QString, 4> &digits,
                                        const DialInputs &range);
};
