#include "DialGeometry.h"

#include <cmath>
#include <limits>

namespace {
// The span is converted to degrees with this rounded value of pi, every conversion back to
// radians with pi in full precision; the drawing depends on both.
constexpr double kSpanPi = 3.1415;
constexpr double kPi = 3.14159265358979323846;
} // namespace

int roundHalfEven(double value)
{
    if (std::isnan(value))
        return 0;
    constexpr double kMax = std::numeric_limits<int>::max();
    constexpr double kMin = std::numeric_limits<int>::min();
    if (value >= kMax)
        return std::numeric_limits<int>::max();
    if (value <= kMin)
        return std::numeric_limits<int>::min();
    const double low = std::floor(value);
    const double diff = value - low;
    double result = low;
    if (diff > 0.5)
        result = low + 1.0;
    else if (diff == 0.5)
        result = std::fmod(low, 2.0) == 0.0 ? low : low + 1.0;
    return static_cast<int>(result);
}

DialGeometry DialGeometry::fromPanel(int panelWidth, int panelHeight)
{
    DialGeometry g;
    g.W = static_cast<float>(panelWidth - 40);
    g.H = static_cast<float>(panelHeight - 60);
    if (!g.valid())
        return g;
    const double w = g.W;
    const double h = g.H;
    g.R = static_cast<float>((4.0 * h * h + w * w) / (8.0 * h));
    g.theta = static_cast<float>(2.0 * std::atan((w / 2.0) / (double(g.R) - h)) * 180.0 / kSpanPi);
    g.alpha0 = static_cast<float>((180.0 - double(g.theta)) / 2.0);
    return g;
}

bool DialGeometry::valid() const
{
    return W > 0.0f && H > 0.0f;
}

float DialGeometry::angle(double position, int steps) const
{
    if (steps <= 0)
        return static_cast<float>(double(alpha0) * kPi / 180.0);
    const double p = static_cast<float>(position);
    return static_cast<float>((double(theta) / steps * p + double(alpha0)) * kPi / 180.0);
}

QPoint DialGeometry::pointAt(double radius, float a) const
{
    const double rc = static_cast<float>(radius * std::cos(double(a)));
    const double rs = static_cast<float>(radius * std::sin(double(a)));
    return {roundHalfEven(double(W) / 2.0 - rc + 20.0), roundHalfEven(double(R) - rs + 30.0)};
}

QPoint DialGeometry::needleTip(float a) const
{
    const double rc = static_cast<float>(double(R) * std::cos(double(a)));
    const double rs = static_cast<float>(double(R) * std::sin(double(a)));
    return {roundHalfEven(double(W) / 2.0 - rc) + 20, roundHalfEven(double(R) - rs + 4.0) + 30};
}

QPoint DialGeometry::needleBase(float a) const
{
    const double r = double(R) - double(H) - 280.0;
    const double rc = static_cast<float>(r * std::cos(double(a)));
    const double s = std::sin(double(a));
    const double x = s != 0.0 ? rc / s : std::numeric_limits<double>::infinity();
    if (std::isfinite(x) && std::abs(x) <= kMaxNeedleReach)
        return {roundHalfEven(double(W) / 2.0 - x) + 20, roundHalfEven(double(H) + 280.0) + 30};

    // Flat needle: go the bounded distance from the centre away from the tip.
    const double fc = static_cast<float>(kMaxNeedleReach * std::cos(double(a)));
    const double fs = static_cast<float>(kMaxNeedleReach * std::sin(double(a)));
    return {roundHalfEven(double(W) / 2.0 + fc) + 20, roundHalfEven(double(R) + fs) + 30};
}
