#include "PointStore.h"

void PointStore::Extent::add(const Extent &other)
{
    if (other.minAt < 0)
        return;
    if (minAt < 0) {
        *this = other;
        return;
    }
    if (other.min < min) {
        min = other.min;
        minAt = other.minAt;
    }
    if (other.max > max) {
        max = other.max;
        maxAt = other.maxAt;
    }
}

void PointStore::reset(float placeholder)
{
    // Give the memory of a long run back rather than keeping it reserved.
    std::vector<float>().swap(m_values);
    m_levels.clear();
    append(placeholder);
}

void PointStore::append(float value)
{
    const qsizetype index = size();
    m_values.push_back(value);
    const Extent single{value, value, index, index};

    qsizetype span = kFanout;
    for (auto &level : m_levels) {
        const size_t block = size_t(index / span);
        if (block == level.size())
            level.push_back(single);
        else
            level[block].add(single);
        span *= kFanout;
    }

    // Open the next level once its first block is complete, built from the level below.
    if (size() == span) {
        Extent whole;
        if (m_levels.empty()) {
            for (qsizetype i = 0; i < span; ++i)
                whole.add({m_values[size_t(i)], m_values[size_t(i)], i, i});
        } else {
            for (const Extent &e : m_levels.back())
                whole.add(e);
        }
        m_levels.push_back({whole});
    }
}

PointStore::Extent PointStore::extent(qsizetype begin, qsizetype end) const
{
    Extent result;
    qsizetype pos = begin;
    while (pos < end) {
        // The largest complete block that starts here and fits in the range.
        size_t level = 0;
        qsizetype span = 1;
        while (level < m_levels.size()) {
            const qsizetype next = span * kFanout;
            if (pos % next != 0 || pos + next > end)
                break;
            ++level;
            span = next;
        }
        if (level == 0)
            result.add({m_values[size_t(pos)], m_values[size_t(pos)], pos, pos});
        else
            result.add(m_levels[level - 1][size_t(pos / span)]);
        pos += span;
    }
    return result;
}

void PointStore::pagePoints(qsizetype begin, qsizetype end, int maxPoints, Summary summary,
                            QList<QPointF> &out) const
{
    out.clear();
    begin = qBound<qsizetype>(0, begin, size());
    end = qBound<qsizetype>(begin, end, size());
    const qsizetype count = end - begin;
    if (count <= qMax(maxPoints, 2)) {
        out.reserve(count);
        for (qsizetype i = begin; i < end; ++i)
            out.append(QPointF(double(i), double(m_values[size_t(i)])));
        return;
    }

    // Buckets of a power-of-two width, aligned to multiples of it, so that the buckets do
    // not shift as points arrive and the drawing does not shimmer.
    const qsizetype buckets = qMax(3, maxPoints / 2);
    qsizetype width = 1;
    // One bucket more for an unaligned start, and one point for the newest reading.
    while ((count + width - 1) / width > buckets - 2)
        width *= 2;
    out.reserve(2 * ((count + width - 1) / width + 1));
    for (qsizetype start = begin - begin % width; start < end; start += width) {
        const Extent e = extent(qMax(start, begin), qMin(start + width, end));
        if (summary == Summary::Upper || e.minAt == e.maxAt) {
            out.append(QPointF(double(e.maxAt), double(e.max)));
        } else if (e.minAt < e.maxAt) {
            out.append(QPointF(double(e.minAt), double(e.min)));
            out.append(QPointF(double(e.maxAt), double(e.max)));
        } else {
            out.append(QPointF(double(e.maxAt), double(e.max)));
            out.append(QPointF(double(e.minAt), double(e.min)));
        }
    }
    // End on the page's last reading, so the drawing reaches the newest value exactly.
    if (out.last().x() < double(end - 1))
        out.append(QPointF(double(end - 1), double(m_values[size_t(end - 1)])));
}

size_t PointStore::bytesUsed() const
{
    size_t bytes = m_values.capacity() * sizeof(float);
    for (const auto &level : m_levels)
        bytes += level.capacity() * sizeof(Extent);
    return bytes;
}
