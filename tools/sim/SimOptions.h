#pragma once

#include "tools/commandline/CommandLine.h"

#include <QString>
#include <QStringList>

#include <string>

// A 14-byte frame takes about 58 ms at 2400 baud with ten bit times per byte.
constexpr double kMeterFramesPerSecond = 1000.0 / 58.0;

// A stretch of silence or an unplugged line, at a time or on a signal.
struct Disruption
{
    double at = -1; // seconds after the start; -1: only on the signal
    double seconds = 5;
};

// The simulator's command line as a plain struct.
struct SimOptions
{
    std::string device; // empty: a pseudo-terminal of our own
    bool usb = false;
    double rate = kMeterFramesPerSecond;
    long long count = -1; // -1: until stopped
    bool verbose = false;
    std::string link;
    Disruption pause;
    Disruption unplug;
};

using SimCommandLine = commandline::CommandLine<SimOptions>;

// `arguments` without the program name.
SimCommandLine parseSimCommandLine(const QStringList &arguments);
// Every option and signal, one line each; the manual page vorlatt-sim(1) lists the same.
QString simHelp();
