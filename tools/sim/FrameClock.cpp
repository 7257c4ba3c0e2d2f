#include "FrameClock.h"

#include "SimSignals.h"

#include <cerrno>

namespace frameclock {

timespec now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

timespec addNanoseconds(timespec t, long long ns)
{
    ns += t.tv_nsec;
    t.tv_sec += static_cast<time_t>(ns / 1000000000LL);
    t.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return t;
}

bool before(const timespec &a, const timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

double secondsBetween(const timespec &from, const timespec &to)
{
    return double(to.tv_sec - from.tv_sec) + double(to.tv_nsec - from.tv_nsec) / 1e9;
}

void sleepUntil(const timespec &deadline)
{
    while (!simsignals::stopRequested() &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

} // namespace frameclock

FramePacer::FramePacer(double framesPerSecond)
    : m_periodNs(static_cast<long long>(1e9 / framesPerSecond)), m_deadline(frameclock::now())
{
}

void FramePacer::waitForNext()
{
    m_deadline = frameclock::addNanoseconds(m_deadline, m_periodNs);
    // After a stall (a suspended process, a busy machine) carry on at the normal pace instead
    // of sending the missed frames in a burst.
    const timespec current = frameclock::now();
    if (frameclock::before(m_deadline, current))
        m_deadline = current;
    frameclock::sleepUntil(m_deadline);
}
