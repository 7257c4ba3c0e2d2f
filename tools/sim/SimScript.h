#pragma once

#include "protocol/DisplayState.h"

#include <QString>

// The display states the meter simulator plays, one per frame, in a fixed cycle: a tour of the
// meter's functions, each held for a few seconds at the meter's pace while its value drifts, so
// a viewer sees both the function changes and live readings.
class SimScript
{
public:
    // Frames each scene lasts: about three seconds at the meter's 58 ms per frame.
    static constexpr int kFramesPerScene = 52;

    static int sceneCount();
    // Frames in one full cycle of the script.
    static int cycleLength() { return sceneCount() * kFramesPerScene; }
    // What the scene shows, for the simulator's log line.
    static QString sceneName(int scene);

    // The display for the frame with this index (counted from 0; the script repeats).
    static protocol::DisplayState state(qint64 frameIndex);
};
