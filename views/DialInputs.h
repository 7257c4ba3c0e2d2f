#pragma once

#include <QString>

// Everything the dial face depends on. The face is redrawn from scratch only when one of
// these changes, so the comparison below decides when the cached face may be reused.
struct DialInputs
{
    // Size of the dial panel KD; the geometry is fitted to it.
    int panelWidth = 327;
    int panelHeight = 139;

    // The active count range.
    QString CountCode = QStringLiteral("4");
    int CountFull = 4000;
    int CountTenth = 400;
    int CountFiftieth = 80;

    // The alarm limits and whether their check boxes SetMaxB / SetMinB are ticked.
    float MaxLimit = 4002.0f;
    float MinLimit = -4002.0f;
    bool SetMaxB = false;
    bool SetMinB = false;

    friend bool operator==(const DialInputs &a, const DialInputs &b)
    {
        return a.panelWidth == b.panelWidth && a.panelHeight == b.panelHeight &&
               a.CountCode == b.CountCode && a.CountFull == b.CountFull &&
               a.CountTenth == b.CountTenth && a.CountFiftieth == b.CountFiftieth &&
               a.MaxLimit == b.MaxLimit && a.MinLimit == b.MinLimit && a.SetMaxB == b.SetMaxB &&
               a.SetMinB == b.SetMinB;
    }
    friend bool operator!=(const DialInputs &a, const DialInputs &b) { return !(a == b); }
};
