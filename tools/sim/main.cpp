// vorlatt-sim: plays a digital multimeter on a serial line, sending the 14-byte display frames
// at the meter's pace from a built-in tour of its functions.
//
//   vorlatt-sim                  open a pseudo-terminal; its path is the first line of stdout
//   vorlatt-sim --device PATH    write to that device (a serial port, the far end of a pty) instead
//   vorlatt-sim --usb            play the USB cable instead (UsbCableLine)
//
// The command line is SimOptions, the serial line SerialLine, the cable UsbCableLine, the pace
// FrameClock and the signals SimSignals; here is the frame loop that ties them together.

#include "FrameClock.h"
#include "SerialLine.h"
#include "SimOptions.h"
#include "SimScript.h"
#include "SimSignals.h"
#include "UsbCableLine.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kFrameBytes = 14;
// Never let more than this many bytes wait unread: a reader that comes late or falls behind
// should see live readings, not a backlog of old ones.
constexpr int kMaxBacklogBytes = 2048;

// The serial line with its link, and the disruptions still to come.
struct SerialPlay
{
    explicit SerialPlay(const SimOptions &o) : options(o) {}

    const SimOptions &options;
    SerialLine line;
    LineLink link{options.link};
    Disruption pause = options.pause;
    Disruption unplug = options.unplug;
    timespec start = frameclock::now();

    bool open()
    {
        return (options.device.empty() ? line.openPseudoTerminal()
                                       : line.openDevice(options.device)) &&
               link.pointAt(line.path());
    }

    // Runs a disruption that is due, by time or by signal. False if the line could not be
    // opened again.
    bool disruptIfDue()
    {
        const double elapsed = frameclock::secondsBetween(start, frameclock::now());
        // An unplugging wins; a pause asked for meanwhile comes after it.
        const bool unplugDue = simsignals::takeUnplug() || (unplug.at >= 0 && elapsed >= unplug.at);
        const bool pauseDue =
            !unplugDue && (simsignals::takePause() || (pause.at >= 0 && elapsed >= pause.at));
        if (!pauseDue && !unplugDue)
            return true;
        Disruption &d = unplugDue ? unplug : pause;
        d.at = -1; // a scheduled one happens once
        if (options.verbose)
            std::fprintf(stderr, "vorlatt-sim: %s for %g s\n", unplugDue ? "unplugged" : "silent",
                         d.seconds);
        if (unplugDue) {
            line.close();
            link.remove();
        }
        frameclock::sleepUntil(
            frameclock::addNanoseconds(frameclock::now(), static_cast<long long>(d.seconds * 1e9)));
        if (!unplugDue)
            return true;
        if (!open())
            return false;
        if (options.verbose)
            std::fprintf(stderr, "vorlatt-sim: plugged in again at %s\n", line.path().c_str());
        return true;
    }
};

int play(const SimOptions &options)
{
    SerialPlay serial(options);
    UsbCableLine cable;
    if (options.usb) {
        if (!cable.open())
            return 1;
        std::printf("USB to Serial (uhid)\n");
    } else {
        if (!serial.open())
            return 1;
        std::printf("%s\n", serial.line.path().c_str());
    }
    std::fflush(stdout);
    serial.start = frameclock::now();

    const int maxBacklog =
        std::clamp(static_cast<int>(options.rate * kFrameBytes), 4 * kFrameBytes, kMaxBacklogBytes);
    FramePacer pacer(options.rate);
    long long dropped = 0;
    int lastScene = -1;
    long long frame = 0;
    for (; !simsignals::stopRequested() && (options.count < 0 || frame < options.count); ++frame) {
        if (options.verbose) {
            const int scene =
                static_cast<int>((frame % SimScript::cycleLength()) / SimScript::kFramesPerScene);
            if (scene != lastScene)
                std::fprintf(stderr, "vorlatt-sim: %s\n", qPrintable(SimScript::sceneName(scene)));
            lastScene = scene;
        }
        const QByteArray bytes = SimScript::state(frame).toFrame();
        if (options.usb) {
            if (!cable.send(bytes))
                return 1;
            if (options.verbose)
                cable.reportFeatures();
        } else {
            if (!serial.disruptIfDue())
                return 1;
            switch (serial.line.send(bytes, maxBacklog)) {
            case SerialLine::Sent::Whole:
                break;
            case SerialLine::Sent::Dropped:
                ++dropped;
                break;
            case SerialLine::Sent::Failed:
                return 1;
            }
        }
        pacer.waitForNext();
    }
    if (!simsignals::stopRequested() && !options.usb)
        serial.line.drain();
    if (options.verbose)
        std::fprintf(stderr, "vorlatt-sim: %lld frames, %lld dropped\n", frame, dropped);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const SimCommandLine parsed = parseSimCommandLine(arguments);
    if (const int status = commandline::answerOtherThanRun(parsed, "vorlatt-sim", simHelp);
        status >= 0)
        return status;
    simsignals::catchSignals();
    return play(parsed.options);
}
