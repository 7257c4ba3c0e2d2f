// vorlatt-sim: plays a digital multimeter on a serial line, sending the 14-byte display frames
// at the meter's pace from a built-in tour of its functions.
//
//   vorlatt-sim                  open a pseudo-terminal; its path is the first line of stdout
//   vorlatt-sim --device PATH    write to that device (a serial port, the far end of a pty) instead
//   vorlatt-sim --usb            play the USB cable instead: a HID device "USB to Serial" made
//                                through /dev/uhid (root and the uhid module needed) that answers
//                                the line-speed feature report and carries the frames in the
//                                cable's input reports
//   --rate N                     frames per second (default: the meter's pace, one per 58 ms)
//   --count N                    stop after N frames
//   --verbose                    name each scene on stderr as it starts
//   --link PATH                  keep a symbolic link at PATH to the pseudo-terminal, as udev
//                                keeps a stable name for a USB serial adapter
//   --pause AT,FOR               AT seconds after the start, send nothing for FOR seconds
//   --unplug AT,FOR              AT seconds after the start, close the pseudo-terminal and
//                                remove the link; FOR seconds later open a new one under the link
//   SIGUSR1, SIGUSR2             pause, or unplug, now (for the FOR given, else 5 seconds)

#include "SimScript.h"

#include "link/hid/UhidDevice.h"
#include "link/hid/UsbCable.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A 14-byte frame takes about 58 ms at 2400 baud with ten bit times per byte.
constexpr double kMeterFramesPerSecond = 1000.0 / 58.0;
constexpr int kFrameBytes = 14;
// Never let more than this many bytes wait unread: a reader that comes late or falls behind
// should see live readings, not a backlog of old ones.
constexpr int kMaxBacklogBytes = 2048;
// On --count, how long to wait for the reader to take the last frames before closing.
constexpr long kDrainMilliseconds = 1000;

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_pauseNow = 0;
volatile std::sig_atomic_t g_unplugNow = 0;

void requestStop(int)
{
    g_stop = 1;
}

void requestDisruption(int signal)
{
    (signal == SIGUSR1 ? g_pauseNow : g_unplugNow) = 1;
}

// A stretch of silence or an unplugged line, at a time or on a signal.
struct Disruption
{
    double at = -1; // seconds after the start; -1: only on the signal
    double seconds = 5;
};

struct Options
{
    std::string device;
    bool usb = false;
    double rate = kMeterFramesPerSecond;
    long long count = -1; // -1: until stopped
    bool verbose = false;
    std::string link;
    Disruption pause;
    Disruption unplug;
};

// Every option and signal, one line each; the manual page vorlatt-sim(1) lists the same.
void usage(std::FILE *out)
{
    std::fputs(
        "usage: vorlatt-sim [--device PATH | --usb] [--link PATH] [--rate N] [--count N]\n"
        "                   [--pause AT,FOR] [--unplug AT,FOR] [--verbose]\n"
        "\n"
        "Plays a digital multimeter: sends its 14-byte display frames at the meter's pace from a\n"
        "tour of its functions. Without --device or --usb it opens a pseudo-terminal and prints\n"
        "its path as the first line of standard output (point vorlatt's COM1 at it).\n"
        "\n"
        "  --device PATH    write the frames to PATH (a serial port) instead of a pseudo-terminal\n"
        "  --usb            play the USB cable \"USB to Serial\" through /dev/uhid (needs root)\n"
        "  --link PATH      keep a symbolic link PATH to the line, as udev names a USB adapter\n"
        "  --rate N         send N frames per second (default: the meter's pace, about 17)\n"
        "  --count N        stop after N frames (default: until stopped)\n"
        "  --pause AT,FOR   AT seconds after the start, send nothing for FOR seconds (serial)\n"
        "  --unplug AT,FOR  AT seconds after the start, close the line for FOR seconds (serial)\n"
        "  --verbose        name each scene, disruption and line-speed report on standard error\n"
        "  -h, --help       print this help and exit\n"
        "  --version        print the version and exit\n"
        "\n"
        "Signals:\n"
        "  SIGUSR1          fall silent now, for the FOR of --pause or else 5 seconds\n"
        "  SIGUSR2          unplug now, for the FOR of --unplug or else 5 seconds\n"
        "  SIGINT, SIGTERM  stop (the --link is removed)\n"
        "\n"
        "Exit status: 0 stopped or --count reached, 1 the line could not be opened or written,\n"
        "2 wrong command line.\n",
        out);
}

bool parseNumber(const char *text, double *value)
{
    char *end = nullptr;
    errno = 0;
    *value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0';
}

// "AT,FOR" in seconds.
bool parseDisruption(const char *text, Disruption *d)
{
    const char *comma = std::strchr(text, ',');
    double at = 0, seconds = 0;
    if (!comma || !parseNumber(std::string(text, comma).c_str(), &at) ||
        !parseNumber(comma + 1, &seconds) || at < 0 || seconds < 0 || seconds > 86400)
        return false;
    *d = Disruption{at, seconds};
    return true;
}

bool parseOptions(int argc, char **argv, Options *options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        double number = 0;
        if (arg == "--device" && hasValue) {
            options->device = argv[++i];
        } else if (arg == "--rate" && hasValue && parseNumber(argv[++i], &number) && number > 0 &&
                   number <= 100000) {
            options->rate = number;
        } else if (arg == "--count" && hasValue && parseNumber(argv[++i], &number) && number >= 0 &&
                   number <= 1e15 && number == static_cast<long long>(number)) {
            options->count = static_cast<long long>(number);
        } else if (arg == "--usb") {
            options->usb = true;
        } else if (arg == "--link" && hasValue) {
            options->link = argv[++i];
        } else if (arg == "--pause" && hasValue && parseDisruption(argv[++i], &options->pause)) {
        } else if (arg == "--unplug" && hasValue && parseDisruption(argv[++i], &options->unplug)) {
        } else if (arg == "--verbose") {
            options->verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (arg == "--version") {
            std::puts("vorlatt-sim " VORLATT_VERSION);
            std::exit(0);
        } else {
            return false;
        }
    }
    return !(options->usb && !options->device.empty());
}

// 2400 baud, 8 data bits, no parity, one stop bit, nothing translated. A pseudo-terminal ignores
// the speed but keeps the raw mode, which is what matters to the reader.
void makeRaw(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return; // not a terminal: write the bytes as they are
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B2400);
    cfsetospeed(&tio, B2400);
    tcsetattr(fd, TCSANOW, &tio);
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

timespec now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

// Sleeps until the deadline; returns early when asked to stop.
void sleepUntil(const timespec &deadline)
{
    while (!g_stop &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// The USB cable: each frame goes out as the cable's input reports. The kernel keeps what the
// reader has not taken yet, so nothing here waits for the reader.
class UsbCableLine
{
public:
    bool open()
    {
        QString error;
        if (!m_device.create({QStringLiteral("USB to Serial"), QString()}, &error)) {
            std::fprintf(stderr, "vorlatt-sim: %s\n", qPrintable(error));
            return false;
        }
        return true;
    }

    bool send(const QByteArray &frame)
    {
        for (const QByteArray &report : usbcable::cableReports(frame)) {
            if (!m_device.input(report)) {
                std::fprintf(stderr, "vorlatt-sim: sending a report failed: %s\n",
                             std::strerror(errno));
                return false;
            }
        }
        return true;
    }

    // Line-speed reports the program sent since the last call, as hex text.
    void reportFeatures()
    {
        const QList<QByteArray> features = m_device.featureReports();
        for (qsizetype i = m_featuresSeen; i < features.size(); ++i)
            std::fprintf(stderr, "vorlatt-sim: line speed report %s\n",
                         features.at(i).toHex(' ').constData());
        m_featuresSeen = features.size();
    }

private:
    UhidDevice m_device;
    qsizetype m_featuresSeen = 0;
};

class Line
{
public:
    Line() = default;
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    // On a pseudo-terminal of our own we keep the reader's end open as well: the line then
    // stays up and raw while readers come and go, and its input queue shows how far behind
    // the reader is.
    bool openPseudoTerminal()
    {
        int master = -1, slave = -1;
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            std::fprintf(stderr, "vorlatt-sim: cannot open a pseudo-terminal: %s\n",
                         std::strerror(errno));
            return false;
        }
        makeRaw(slave);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        m_fd = master;
        m_readerEnd = slave;
        m_path = ttyname(slave) ? ttyname(slave) : "";
        return true;
    }

    bool openDevice(const std::string &path)
    {
        m_fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
        if (m_fd < 0) {
            std::fprintf(stderr, "vorlatt-sim: cannot open %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return false;
        }
        makeRaw(m_fd);
        m_path = path;
        return true;
    }

    const std::string &path() const { return m_path; }

    // Bytes sent but not yet read, where the line can tell; 0 where it cannot.
    int backlog() const
    {
        int waiting = 0;
        if (m_readerEnd >= 0)
            return ioctl(m_readerEnd, FIONREAD, &waiting) == 0 ? waiting : 0;
        return ioctl(m_fd, TIOCOUTQ, &waiting) == 0 ? waiting : 0;
    }

    enum class Sent
    {
        Whole,
        Dropped,
        Failed
    };

    // Never blocks: a frame that does not fit is dropped, and the reader finds the next
    // frame at its carriage return.
    Sent send(const QByteArray &frame, int maxBacklog)
    {
        if (backlog() + frame.size() > maxBacklog)
            return Sent::Dropped;
        const ssize_t written = ::write(m_fd, frame.constData(), static_cast<size_t>(frame.size()));
        if (written == frame.size())
            return Sent::Whole;
        if (written >= 0 || errno == EAGAIN || errno == EINTR)
            return Sent::Dropped;
        std::fprintf(stderr, "vorlatt-sim: write to %s failed: %s\n", m_path.c_str(),
                     std::strerror(errno));
        return Sent::Failed;
    }

    // Bytes written a moment ago may still be on their way into the queue that backlog()
    // sees, so the line counts as drained only when it is found empty twice in a row.
    void drain()
    {
        const timespec giveUp = addNanoseconds(now(), kDrainMilliseconds * 1000000LL);
        int emptyChecks = 0;
        while (!g_stop && emptyChecks < 2 && before(now(), giveUp)) {
            sleepUntil(addNanoseconds(now(), 20 * 1000000LL));
            emptyChecks = backlog() > 0 ? 0 : emptyChecks + 1;
        }
    }

    // Both ends closed: a reader sees the line hang up, as when a USB adapter is pulled.
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_readerEnd >= 0)
            ::close(m_readerEnd);
        m_fd = m_readerEnd = -1;
    }

    ~Line() { close(); }

private:
    int m_fd = -1;
    int m_readerEnd = -1;
    std::string m_path;
};

void catchDisruptionSignals()
{
    struct sigaction disrupt
    {
    };
    disrupt.sa_handler = requestDisruption;
    sigemptyset(&disrupt.sa_mask);
    disrupt.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &disrupt, nullptr);
    sigaction(SIGUSR2, &disrupt, nullptr);
}

// Points `link` at `target` in one rename, so a reader never finds the name missing or half made.
bool pointLink(const std::string &link, const std::string &target)
{
    const std::string temporary = link + ".new";
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "vorlatt-sim: cannot link %s: %s\n", link.c_str(),
                     std::strerror(errno));
        return false;
    }
    return true;
}

// Runs a disruption that is due, by time or by signal. False if the line could not be reopened.
bool disruptIfDue(Line &line, const Options &options, Disruption &pause, Disruption &unplug,
                  const timespec &start)
{
    const timespec moment = now();
    const double elapsed =
        double(moment.tv_sec - start.tv_sec) + double(moment.tv_nsec - start.tv_nsec) / 1e9;
    const bool pauseDue = g_pauseNow || (pause.at >= 0 && elapsed >= pause.at);
    const bool unplugDue = g_unplugNow || (unplug.at >= 0 && elapsed >= unplug.at);
    if (!pauseDue && !unplugDue)
        return true;
    Disruption &d = unplugDue ? unplug : pause;
    (unplugDue ? g_unplugNow : g_pauseNow) = 0;
    d.at = -1; // a scheduled one happens once
    if (options.verbose)
        std::fprintf(stderr, "vorlatt-sim: %s for %g s\n", unplugDue ? "unplugged" : "silent",
                     d.seconds);
    if (unplugDue) {
        line.close();
        if (!options.link.empty())
            ::unlink(options.link.c_str());
    }
    sleepUntil(addNanoseconds(now(), static_cast<long long>(d.seconds * 1e9)));
    if (!unplugDue)
        return true;
    if (!(options.device.empty() ? line.openPseudoTerminal() : line.openDevice(options.device)) ||
        (!options.link.empty() && !pointLink(options.link, line.path())))
        return false;
    if (options.verbose)
        std::fprintf(stderr, "vorlatt-sim: plugged in again at %s\n", line.path().c_str());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        usage(stderr);
        return 2;
    }

    struct sigaction stop
    {
    };
    stop.sa_handler = requestStop;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = 0; // no SA_RESTART: the frame sleep must wake up on the signal
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    catchDisruptionSignals();

    Line line;
    UsbCableLine cable;
    if (options.usb) {
        if (!cable.open())
            return 1;
        std::printf("USB to Serial (uhid)\n");
    } else {
        if (options.device.empty() ? !line.openPseudoTerminal() : !line.openDevice(options.device))
            return 1;
        if (!options.link.empty() && !pointLink(options.link, line.path()))
            return 1;
        std::printf("%s\n", line.path().c_str());
    }
    std::fflush(stdout);
    Disruption pause = options.pause, unplug = options.unplug;
    const timespec start = now();

    const auto period = static_cast<long long>(1e9 / options.rate);
    const int maxBacklog =
        std::clamp(static_cast<int>(options.rate * kFrameBytes), 4 * kFrameBytes, kMaxBacklogBytes);
    long long dropped = 0;
    int lastScene = -1;
    timespec deadline = now();
    long long frame = 0;
    for (; !g_stop && (options.count < 0 || frame < options.count); ++frame) {
        if (options.verbose) {
            const int scene =
                static_cast<int>((frame % SimScript::cycleLength()) / SimScript::kFramesPerScene);
            if (scene != lastScene)
                std::fprintf(stderr, "vorlatt-sim: %s\n", qPrintable(SimScript::sceneName(scene)));
            lastScene = scene;
        }
        if (options.usb) {
            if (!cable.send(SimScript::state(frame).toFrame()))
                return 1;
            if (options.verbose)
                cable.reportFeatures();
        } else if (!disruptIfDue(line, options, pause, unplug, start)) {
            return 1;
        }
        switch (options.usb ? Line::Sent::Whole
                            : line.send(SimScript::state(frame).toFrame(), maxBacklog)) {
        case Line::Sent::Whole:
            break;
        case Line::Sent::Dropped:
            ++dropped;
            break;
        case Line::Sent::Failed:
            return 1;
        }
        deadline = addNanoseconds(deadline, period);
        // After a stall (a suspended process, a busy machine) carry on at the normal pace
        // instead of sending the missed frames in a burst.
        const timespec current = now();
        if (before(deadline, current))
            deadline = current;
        sleepUntil(deadline);
    }
    if (!g_stop && !options.usb)
        line.drain();
    if (options.verbose)
        std::fprintf(stderr, "vorlatt-sim: %lld frames, %lld dropped\n", frame, dropped);
    if (!options.link.empty())
        ::unlink(options.link.c_str());
    return 0;
}
