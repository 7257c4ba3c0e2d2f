#include "LoggerOptions.h"

#include <QFileInfo>

#include <cmath>
#include <limits>

namespace {

// The longest --duration and --checkpoint: a year.
constexpr qint64 kMaxSeconds = 366 * 86400;

// Seconds as a whole or decimal number, at least `minimum`, at most a year.
bool parseSeconds(const QString &text, double minimum, qint64 *ms)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < minimum || seconds > double(kMaxSeconds))
        return false;
    *ms = static_cast<qint64>(std::llround(seconds * 1000));
    return true;
}

bool parseWhole(const QString &text, qint64 minimum, qint64 maximum, qint64 *value)
{
    bool ok = false;
    const qint64 v = text.toLongLong(&ok, 10);
    if (!ok || v < minimum || v > maximum)
        return false;
    *value = v;
    return true;
}

QList<QCommandLineOption> options()
{
    QList<QCommandLineOption> options;
    for (const char *name : {"port", "com", "interval", "limit", "count", "duration", "output",
                             "format", "checkpoint"})
        options.append(
            QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("VALUE")));
    for (const char *name : {"usb", "no-repeat", "exit-on-loss", "quiet", "version"})
        options.append(QCommandLineOption(QString::fromLatin1(name)));
    options.append(QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}));
    return options + mqttoptions::commandLineOptions() + httpoptions::commandLineOptions();
}

} // namespace

QString loggerHelp()
{
    QString help = QStringLiteral(
        "usage: vorlatt-log (--port DEVICE | --com N | --usb) [options]\n"
        "\n"
        "Logs the meter's readings without a window, by the same rules as the window's log.\n"
        "\n"
        "Source (one of):\n"
        "  --port DEVICE        a serial device, e.g. /dev/ttyUSB0\n"
        "  --com N              COM1 to COM4 as the window maps them (VORLATT_COMn names a "
        "device)\n"
        "  --usb                the USB cable (the HID device \"USB to Serial\"); this user needs\n"
        "                       access to it: see the udev rule 70-vorlatt-usb-cable.rules\n"
        "\n"
        "What is logged:\n"
        "  --no-repeat          skip a reading that repeats the last logged one (value, DC/AC,\n"
        "                       unit and range all the same)\n"
        "  --interval SECONDS   the sampling interval: after a logged reading, wait this many\n"
        "                       whole seconds before the next is taken\n"
        "  --limit N            the record limit; as in the window, a limit of N takes N + 1\n"
        "                       readings, and the run ends when it is reached\n"
        "  --count N            end after N records\n"
        "  --duration SECONDS   end after this long\n"
        "\n"
        "Output:\n"
        "  Every record goes to standard output as a tab-separated line, unless --quiet.\n"
        "  --output FILE        also write the records to FILE; text formats are appended and\n"
        "                       flushed to disk at least once a second. An existing table is\n"
        "                       appended to as well: its records stay and the numbering goes\n"
        "                       on after its last; a table of other fields is refused. One run\n"
        "                       at a time writes a file. On a full disk the file is left\n"
        "                       ending in its last whole record and the run ends with 1.\n"
        "  --format FORMAT      tsv (default: the window's text layout, in UTF-8), csv (RFC 4180\n"
        "                       with a header), jsonl (one JSON object per line), or db (a "
        "Paradox\n"
        "                       table with the fields of the window's saved copies, FullUnit\n"
        "                       included; the name must end in .db). A table of the older\n"
        "                       layout, without FullUnit, is appended to as it is: it cannot\n"
        "                       tell kHz and MHz from Hz.\n"
        "  --checkpoint SECONDS db only: rewrite the table this often (default 60) and at the\n"
        "                       end. The db format keeps the run's records in memory to do so;\n"
        "                       the text formats keep none.\n"
        "  --quiet              nothing on standard output\n"
        "\n"
        "Columns: No, Time, DC/AC, Value, Unit, AUTO as in the window, then DateTime (ISO 8601\n"
        "local time with milliseconds), PlainUnit (the unit with \u03A9, \u00B0C, \u00B0F and "
        "\u00B5 in\n"
        "place of the display font's stand-ins), BaseValue (the value in the base unit: -46.20 mV\n"
        "gives -0.0462) and BaseUnit. An overload below the range is -0L. in Value. csv writes\n"
        "Unit plainly too, and adds LocalTime (\"2026-12-11 11:42:52.255\", local time), which\n"
        "spreadsheets read as a date; a csv file begun without it is appended to in its columns.\n"
        "\n"
        "Link loss: a device that disappears or sends nothing for 3 s is reported on standard\n"
        "error and reopened when it returns; the numbering goes on. Garbled frames are summed\n"
        "up there at most once a minute. A USB serial adapter may come back under another\n"
        "ttyUSB number: name it by its stable path under /dev/serial/by-id/. The USB cable is\n"
        "found again by its name, wherever it is plugged in.\n"
        "  --exit-on-loss       end instead, with status 3\n"
        "\n"
        "SIGINT and SIGTERM end the run cleanly.\n"
        "Exit status: 0 done, 1 the source or the output could not be opened or written, or\n"
        "at the start the MQTT broker refused the login or was not trusted or the --http\n"
        "port could not be had,\n"
        "2 wrong command line, or an output no run may write (a db output that is not a\n"
        "regular file or no table, a table of other fields, a text output that is no log\n"
        "of its format), 3 link lost with --exit-on-loss.\n"
        "\n"
        "  --help, --version\n");
    // Publishing to MQTT and the live page come after the outputs.
    return help.insert(help.indexOf(QStringLiteral("Columns:")),
                       mqttoptions::help() + u'\n' + httpoptions::help() + u'\n');
}

ParsedCommandLine parseLoggerCommandLine(const QStringList &arguments)
{
    ParsedCommandLine result;
    LoggerOptions &o = result.options;
    auto fail = [&result](const QString &error) { return result.refuse(error); };
    QList<commandline::Given> given;
    if (!result.read(options(), arguments, &given))
        return result;
    int sources = 0;
    bool formatGiven = false, checkpointGiven = false;
    for (const auto &[arg, value] : given) {
        qint64 number = 0;
        if (arg == u"--help") {
            result.action = ParsedCommandLine::Action::Help;
            return result;
        } else if (arg == u"--version") {
            result.action = ParsedCommandLine::Action::Version;
            return result;
        } else if (arg == u"--port") {
            if (value.isEmpty())
                return fail(QStringLiteral("--port needs a device"));
            o.source = LoggerOptions::Source::Port;
            o.device = value;
            ++sources;
        } else if (arg == u"--com") {
            if (!parseWhole(value, 1, 4, &number))
                return fail(QStringLiteral("--com takes 1, 2, 3 or 4, not '%1'").arg(value));
            o.source = LoggerOptions::Source::Com;
            o.com = int(number);
            ++sources;
        } else if (arg == u"--usb") {
            o.source = LoggerOptions::Source::Usb;
            ++sources;
        } else if (arg == u"--no-repeat") {
            o.repeat = false;
        } else if (arg == u"--interval") {
            if (!parseWhole(value, 0, std::numeric_limits<qint32>::max(), &number))
                return fail(QStringLiteral("--interval takes whole seconds from 0 to %1, not '%2'")
                                .arg(std::numeric_limits<qint32>::max())
                                .arg(value));
            o.sampling = true;
            o.interval = QString::number(number);
        } else if (arg == u"--limit") {
            // The rules let one more reading in than the limit, so the largest limit keeps the
            // count within 32 bits.
            if (!parseWhole(value, 0, std::numeric_limits<qint32>::max() - 1, &number))
                return fail(QStringLiteral("--limit takes a whole number from 0 to %1, not '%2'")
                                .arg(std::numeric_limits<qint32>::max() - 1)
                                .arg(value));
            o.limit = qint32(number);
        } else if (arg == u"--count") {
            if (!parseWhole(value, 1, std::numeric_limits<qint32>::max(), &o.count))
                return fail(QStringLiteral("--count takes a whole number from 1 to %1, not '%2'")
                                .arg(std::numeric_limits<qint32>::max())
                                .arg(value));
        } else if (arg == u"--duration") {
            if (!parseSeconds(value, 0.001, &o.durationMs))
                return fail(QStringLiteral("--duration takes seconds from 0.001 to %1 (366 "
                                           "days), not '%2'")
                                .arg(kMaxSeconds)
                                .arg(value));
        } else if (arg == u"--output") {
            if (value.isEmpty())
                return fail(QStringLiteral("--output needs a file name"));
            o.output = value;
        } else if (arg == u"--format") {
            static const QStringList kFormats = {QStringLiteral("tsv"), QStringLiteral("csv"),
                                                 QStringLiteral("jsonl"), QStringLiteral("db")};
            const int index = int(kFormats.indexOf(value));
            if (index < 0)
                return fail(
                    QStringLiteral("--format takes tsv, csv, jsonl or db, not '%1'").arg(value));
            o.format = LogFormat(index);
            formatGiven = true;
        } else if (arg == u"--checkpoint") {
            if (!parseSeconds(value, 1, &o.checkpointMs))
                return fail(QStringLiteral("--checkpoint takes seconds from 1 to %1 (366 days), "
                                           "not '%2'")
                                .arg(kMaxSeconds)
                                .arg(value));
            checkpointGiven = true;
        } else if (arg == u"--exit-on-loss") {
            o.exitOnLoss = true;
        } else if (arg == u"--quiet") {
            o.quiet = true;
        } else if (QString mqttError; mqttoptions::take(arg, value, &o.mqtt, &mqttError)) {
            if (!mqttError.isEmpty())
                return fail(mqttError);
        } else if (QString httpError; httpoptions::take(arg, value, &o.http, &httpError)) {
            if (!httpError.isEmpty())
                return fail(httpError);
        }
    }
    if (sources == 0)
        return fail(QStringLiteral("name the source: --port DEVICE, --com N or --usb"));
    if (sources > 1)
        return fail(QStringLiteral("give only one of --port, --com and --usb"));
    if (formatGiven && o.output.isEmpty())
        return fail(QStringLiteral("--format needs --output FILE"));
    if (checkpointGiven && o.format != LogFormat::Db)
        return fail(QStringLiteral("--checkpoint is for --format db only"));
    // A table is written under exactly the name given: the engine would add ".DB" to a name
    // without one, and a text log named .db would be taken for a table by every reader (and an
    // existing table there would be cut back to its last line-end byte).
    const bool tableName = o.output.endsWith(QStringLiteral(".db"), Qt::CaseInsensitive);
    if (o.format == LogFormat::Db && !tableName)
        return fail(
            QStringLiteral("--format db needs a file name ending in .db, not '%1'").arg(o.output));
    // ".db" alone is only the extension: the engine would take it for a name without one and
    // write ".db.DB".
    if (tableName && QFileInfo(o.output).fileName().size() == 3)
        return fail(QStringLiteral("--output %1 is only the extension: a table needs a name "
                                   "before .db, such as run.db")
                        .arg(o.output));
    if (o.format != LogFormat::Db && tableName)
        return fail(QStringLiteral("--output %1 names a table: add --format db, or give the text "
                                   "log another name")
                        .arg(o.output));
    // MQTT: the checks between its options, and the meter's default name from the source.
    const QString source = o.source == LoggerOptions::Source::Usb ? QStringLiteral("usb")
                           : o.source == LoggerOptions::Source::Com
                               ? QStringLiteral("com%1").arg(o.com)
                               : o.device.section(u'/', -1);
    // --mqtt-id also names the meter on the live page, so --http alone takes it too.
    if (const QString error = mqttoptions::finish(&o.mqtt, source, o.http.enabled());
        !error.isEmpty())
        return fail(error);
    if (const QString error = httpoptions::finish(&o.http); !error.isEmpty())
        return fail(error);
    if (o.http.enabled())
        o.meterId = o.mqtt.id.isEmpty() ? mqttoptions::defaultId(source) : o.mqtt.id;
    return result;
}
