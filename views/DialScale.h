#pragma once

#include "DialInputs.h"

#include <QColor>
#include <QList>
#include <QString>

// A label of the dial's scale: drawn with its top-left corner at (Lx - dx, Ly - dy), where
// (Lx, Ly) is the face point at radius R + 18 for the label's position.
struct DialLabel
{
    double position = 0.0; // in label steps (0 .. CountFiftieth); may lie between steps
    QString text;
    int dx = 0;
    int dy = 0;
};

// The tables that differ between count codes, and the rule that colours the face's dots.
// Codes without a table ("" or anything unknown) get no labels and no ticks. The needle's
// position for a reading (DialValue) is the decoder's to form.
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
};
