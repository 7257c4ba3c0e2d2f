#pragma once

#include <QPoint>

// Nearest whole number, halves to the even neighbour (2.5 -> 2, 3.5 -> 4). Values beyond
// the 32-bit range are clamped so a wild needle position cannot overflow.
int roundHalfEven(double value);

// Geometry of the dial's arc, fitted into the dial panel. The arc runs from x = 20 to
// x = W + 20 with its top at y = 30 and its two ends at y = H + 30; the circle's centre is at
// (W / 2 + 20, R + 30). Angles grow from the left end (alpha0) over the span (theta) to the
// right end.
//
// W, H, R, theta, alpha0, every position, angle and every r cos a / r sin a term are kept in
// single precision before they are used further: the drawn pixels depend on that rounding.
struct DialGeometry
{
    float W = 0.0f;
    float H = 0.0f;
    float R = 0.0f;
    float theta = 0.0f;  // span of the arc, degrees
    float alpha0 = 0.0f; // angle of the left end, degrees

    // Fits the arc into a panel of the given size.
    static DialGeometry fromPanel(int panelWidth, int panelHeight);

    // False for panels too small to hold an arc (W or H not positive): nothing is drawn then.
    bool valid() const;

    // Angle in radians of a scale position on a scale of `steps` steps (position steps/2 is
    // upright). Positions need not be whole numbers or lie inside 0..steps.
    float angle(double position, int steps) const;

    // The face point at radius r for angle a (labels, ticks, dots).
    QPoint pointAt(double radius, float a) const;

    // The needle's tip: the point at radius R, 4 pixels lower.
    QPoint needleTip(float a) const;

    // The needle's lower end: where its line through the centre meets the horizontal line
    // 280 pixels below the arc's ends. A needle lying flat (sin a = 0, or so close that the
    // crossing is absurdly far away) never meets that line; its lower end is then placed
    // kMaxNeedleReach pixels from the centre, opposite the tip, keeping the needle's direction.
    QPoint needleBase(float a) const;

    static constexpr double kMaxNeedleReach = 100000.0;
};
