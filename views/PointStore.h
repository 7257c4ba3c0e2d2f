#pragma once

#include <QList>
#include <QPointF>

#include <vector>

// Every chart point since the last New, one float per reading. Both chart series hold the
// same values (the area series lags by one point only inside PlotReading), so one store
// serves both. Point i has X = i; point 0 is the placeholder that New puts in.
//
// Drawing a page hands Qt Charts at most a bounded number of points: a page longer than that
// (page size 0 puts the whole history on one page) is summarised by buckets of points, which
// looks the same at screen resolution. The extremes of aligned blocks are kept as the points
// arrive, so a page of any length is summarised without reading every point.
class PointStore
{
public:
    enum class Summary
    {
        // Each bucket's minimum and maximum, in the order they came: a line through them
        // sweeps each bucket's full range, as the line through every point would.
        Envelope,
        // Each bucket's maximum only, for an area filled down to the bottom axis: the fill of
        // a bucket reaches its maximum either way, and the fill of a full-height zigzag costs
        // Qt's rasteriser many times more.
        Upper,
    };

    // Drops every point and puts in the placeholder.
    void reset(float placeholder = 0.0f);
    void append(float value);

    qsizetype size() const { return qsizetype(m_values.size()); }
    float at(qsizetype index) const { return m_values[size_t(index)]; }

    // The points [begin, end) as Qt Charts should draw them: all of them when there are at
    // most maxPoints, otherwise a summary of at most maxPoints points that ends on the last
    // point. Replaces the contents of out.
    void pagePoints(qsizetype begin, qsizetype end, int maxPoints, Summary summary,
                    QList<QPointF> &out) const;

    // Memory held for the points and their block extremes.
    size_t bytesUsed() const;

private:
    struct Extent
    {
        float min = 0.0f;
        float max = 0.0f;
        qsizetype minAt = -1; // index of the minimum, -1 for an empty extent
        qsizetype maxAt = -1;
        void add(const Extent &other);
    };

    // Level k (k >= 1) holds the extent of each block of kFanout^k points.
    static constexpr qsizetype kFanout = 64;

    Extent extent(qsizetype begin, qsizetype end) const;

    std::vector<float> m_values;
    std::vector<std::vector<Extent>> m_levels;
};
