#pragma once

#include "protocol/DisplayState.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// What the benchmarks that run vorlatt-log share.

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

// The resident memory of process `pid` in megabytes, or -1 when it cannot be read.
inline double rssMegabytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}
