#include "DialScale.h"

QList<DialLabel> DialScale::labels(const QString &countCode)
{
    if (countCode == QLatin1String("6"))
        return {{0, "-60", 5, 7},   {15, "-45", 8, 6},  {30, "-30", 10, 5},
                {45, "-15", 10, 4}, {60, "0", 3, 4},    {75, "15", 5, 5},
                {90, "30", 8, 5},   {105, "45", 10, 6}, {120, "60", 11, 7}};
    if (countCode == QLatin1String("4"))
        return {{0, "-40", 5, 7},   {10, "-30", 8, 6}, {20, "-20", 10, 5},
                {30, "-10", 10, 4}, {40, "0", 3, 4},   {50, "10", 5, 5},
                {60, "20", 8, 5},   {70, "30", 10, 6}, {80, "40", 12, 7}};
    if (countCode == QLatin1String("34"))
        return {{4, "-30", 8, 6}, {14, "-20", 10, 5}, {24, "-10", 10, 4}, {34, "0", 3, 4},
                {44, "10", 5, 5}, {54, "20", 8, 5},   {64, "30", 10, 6}};
    if (countCode == QLatin1String("10"))
        return {{0, "-10", 1, 7},    {25, "-7.5", 8, 6},  {50, "-5.0", 10, 5},
                {75, "-2.5", 10, 4}, {100, "0", 3, 4},    {125, "2.5", 5, 5},
                {150, "5.0", 8, 5},  {175, "7.5", 10, 6}, {200, "10", 10, 2}};
    if (countCode == QLatin1String("1"))
        return {{0, "-100", 5, 7},   {2.5, "-75", 8, 6},  {5, "-50", 10, 5},
                {7.5, "-25", 10, 4}, {10, "0", 3, 4},     {12.5, "25", 5, 5},
                {15, "50", 8, 5},    {17.5, "75", 10, 6}, {20, "100", 14, 2}};
    if (countCode == QLatin1String("13"))
        return {{0, "-1000", 10, 7}, {25, "-750", 8, 6},  {50, "-500", 10, 5},
                {75, "-250", 10, 4}, {100, "0", 3, 4},    {125, "250", 5, 5},
                {150, "500", 8, 5},  {175, "750", 10, 6}, {200, "1000", 18, 10}};
    return {};
}

bool DialScale::isMajorTick(const QString &countCode, int p)
{
    if (p < 0)
        return false;
    if (countCode == QLatin1String("6"))
        return p % 15 == 0;
    if (countCode == QLatin1String("4"))
        return p % 10 == 0;
    if (countCode == QLatin1String("34"))
        return p % 10 == 4;
    return false;
}

QColor DialScale::tickColour(const QString &countCode)
{
    // The "4" scale's ticks are white on the white face, so they do not show; kept as the
    // scale was designed.
    if (countCode == QLatin1String("4"))
        return QColor(255, 255, 255);
    return QColor(255, 0, 0);
}

bool DialScale::dotIsRed(int c, const DialInputs &in)
{
    const double value = (double(c) - double(in.CountFull) / 10.0) * 10.0;
    if (in.SetMaxB && value > double(in.MaxLimit))
        return true;
    return in.SetMinB && value < double(in.MinLimit);
}
