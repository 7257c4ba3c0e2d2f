#pragma once

#include "protocol/DisplayState.h"

#include <QByteArray>

// A cycle of distinct volts readings, so the frames a benchmark writes are not all alike: the
// frames one after another in `block`, each `frameSize` bytes long.
struct FrameCycle
{
    QByteArray block;
    qint64 frames = 0;
    qint64 frameSize = 0;

    // The first `n` frames of the cycle (n at most `frames`).
    QByteArray first(qint64 n) const { return block.left(n * frameSize); }
};

inline FrameCycle voltFrameCycle()
{
    FrameCycle cycle;
    for (int i = 0; i < 100; ++i) {
        protocol::DisplayState d;
        d.digits = QByteArray::number(1000 + i * 37).right(4);
        d.point = 1 + i % 3;
        d.annunciators = protocol::Annunciator::Volt;
        const QByteArray frame = d.toFrame();
        cycle.frameSize = frame.size();
        cycle.block += frame;
        ++cycle.frames;
    }
    return cycle;
}
