#pragma once

#include <ctime>

// The monotonic clock the frames are paced by.
namespace frameclock {

timespec now();
timespec addNanoseconds(timespec t, long long ns);
bool before(const timespec &a, const timespec &b);
double secondsBetween(const timespec &from, const timespec &to);
// Sleeps until the deadline; returns early when a stop is requested.
void sleepUntil(const timespec &deadline);

} // namespace frameclock

// The deadlines of one frame after another at a fixed rate.
class FramePacer
{
public:
    explicit FramePacer(double framesPerSecond);

    // Sleeps until the next frame is due.
    void waitForNext();

private:
    long long m_periodNs;
    timespec m_deadline;
};
