#include "SimOptions.h"

#include <QFile>

#include <cmath>

namespace {

constexpr double kMinRate = 1;
constexpr double kMaxRate = 10000;
constexpr double kMaxCount = 1e15;
constexpr double kMaxDisruptionSeconds = 86400;

bool parseNumber(const QString &text, double *value)
{
    bool ok = false;
    *value = text.toDouble(&ok);
    return ok && std::isfinite(*value);
}

// "AT,FOR" in seconds.
bool parseDisruption(const QString &text, Disruption *d)
{
    double at = 0, seconds = 0;
    if (text.count(u',') != 1 || !parseNumber(text.section(u',', 0, 0), &at) ||
        !parseNumber(text.section(u',', 1), &seconds) || at < 0 || seconds < 0 ||
        seconds > kMaxDisruptionSeconds)
        return false;
    *d = Disruption{at, seconds};
    return true;
}

QList<QCommandLineOption> options()
{
    auto withValue = [](const char *name, const char *valueName) {
        return QCommandLineOption(QString::fromLatin1(name), QString(),
                                  QString::fromLatin1(valueName));
    };
    auto flag = [](const QStringList &names) { return QCommandLineOption(names); };
    return {withValue("device", "PATH"),
            flag({QStringLiteral("usb")}),
            withValue("link", "PATH"),
            withValue("rate", "N"),
            withValue("count", "N"),
            withValue("pause", "AT,FOR"),
            withValue("unplug", "AT,FOR"),
            flag({QStringLiteral("verbose")}),
            flag({QStringLiteral("h"), QStringLiteral("help")}),
            flag({QStringLiteral("version")})};
}

} // namespace

QString simHelp()
{
    return QStringLiteral(
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
        "  --rate N         send N frames per second, 1 to 10000 (default: the meter's pace,\n"
        "                   about 17)\n"
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
        "2 wrong command line.\n");
}

SimCommandLine parseSimCommandLine(const QStringList &arguments)
{
    SimCommandLine result;
    SimOptions &o = result.options;
    auto fail = [&result](const QString &error) { return result.refuse(error); };
    QList<commandline::Given> given;
    if (!result.read(options(), arguments, &given))
        return result;

    bool serialOnly = false;
    for (const auto &[option, value] : given) {
        double number = 0;
        if (option == u"--help") {
            result.action = SimCommandLine::Action::Help;
            return result;
        } else if (option == u"--version") {
            result.action = SimCommandLine::Action::Version;
            return result;
        } else if (option == u"--device") {
            if (value.isEmpty())
                return fail(QStringLiteral("--device needs a path"));
            o.device = QFile::encodeName(value).toStdString();
        } else if (option == u"--usb") {
            o.usb = true;
        } else if (option == u"--link") {
            if (value.isEmpty())
                return fail(QStringLiteral("--link needs a path"));
            o.link = QFile::encodeName(value).toStdString();
            serialOnly = true;
        } else if (option == u"--rate") {
            if (!parseNumber(value, &number) || number < kMinRate || number > kMaxRate)
                return fail(QStringLiteral("--rate takes a number of frames a second from %1 to "
                                           "%2, not '%3'")
                                .arg(kMinRate)
                                .arg(kMaxRate)
                                .arg(value));
            o.rate = number;
        } else if (option == u"--count") {
            if (!parseNumber(value, &number) || number < 0 || number > kMaxCount ||
                number != std::floor(number))
                return fail(QStringLiteral("--count takes a whole number of frames from 0 to "
                                           "%1, not '%2'")
                                .arg(static_cast<long long>(kMaxCount))
                                .arg(value));
            o.count = static_cast<long long>(number);
        } else if (option == u"--pause" || option == u"--unplug") {
            if (!parseDisruption(value, option == u"--pause" ? &o.pause : &o.unplug))
                return fail(QStringLiteral("%1 takes AT,FOR: seconds from the start, then "
                                           "seconds from 0 to %2, not '%3'")
                                .arg(option)
                                .arg(kMaxDisruptionSeconds)
                                .arg(value));
            serialOnly = true;
        } else if (option == u"--verbose") {
            o.verbose = true;
        }
    }
    if (o.usb && !o.device.empty())
        return fail(QStringLiteral("give either --device or --usb, not both"));
    // The cable has no line to link to, fall silent on or pull out; and a --link it never made
    // must not be removed at the end.
    if (o.usb && serialOnly)
        return fail(QStringLiteral("--link, --pause and --unplug are for the serial line, not "
                                   "--usb"));
    return result;
}
