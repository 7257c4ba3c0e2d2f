#include "SimSignals.h"

#include <csignal>

namespace simsignals {

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_pause = 0;
volatile std::sig_atomic_t g_unplug = 0;

void requestStop(int)
{
    g_stop = 1;
}

void requestDisruption(int signal)
{
    (signal == SIGUSR1 ? g_pause : g_unplug) = 1;
}

bool take(volatile std::sig_atomic_t &flag)
{
    if (!flag)
        return false;
    flag = 0;
    return true;
}

} // namespace

void catchSignals()
{
    struct sigaction stop
    {
    };
    stop.sa_handler = requestStop;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = 0; // no SA_RESTART: the frame sleep must wake up on the signal
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);

    struct sigaction disrupt
    {
    };
    disrupt.sa_handler = requestDisruption;
    sigemptyset(&disrupt.sa_mask);
    disrupt.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &disrupt, nullptr);
    sigaction(SIGUSR2, &disrupt, nullptr);

    // A reader that goes away is a failed write, said as such, not a silent end.
    std::signal(SIGPIPE, SIG_IGN);
}

bool stopRequested()
{
    return g_stop != 0;
}

bool takePause()
{
    return take(g_pause);
}

bool takeUnplug()
{
    return take(g_unplug);
}

} // namespace simsignals
