#pragma once

// The signals the simulator answers: SIGINT and SIGTERM stop it, SIGUSR1 makes it fall silent
// and SIGUSR2 unplugs the line, each for a while. The handlers only set flags; the frame loop
// reads them between frames.
namespace simsignals {

void catchSignals();
bool stopRequested();
// True once for each SIGUSR1 (pause) or SIGUSR2 (unplug) since the last call.
bool takePause();
bool takeUnplug();

} // namespace simsignals
