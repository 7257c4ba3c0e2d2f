#include "CommandLine.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace {

// The toolkit's own options (-platform offscreen, -style Fusion, ...) are the toolkit's to read
// once the window system is reached; they are no wrong command line.
const QStringList kToolkitOptionsWithValue = {
    QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
    QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
    QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowtitle"),
    QStringLiteral("qwindowicon"),     QStringLiteral("display"),
    QStringLiteral("geometry"),        QStringLiteral("style"),
    QStringLiteral("stylesheet"),      QStringLiteral("session"),
    QStringLiteral("name"),            QStringLiteral("title")};
const QStringList kToolkitFlags = {QStringLiteral("reverse"), QStringLiteral("widgetcount"),
                                   QStringLiteral("nograb"), QStringLiteral("dograb"),
                                   QStringLiteral("sync")};

QStringList withoutToolkitOptions(const QStringList &arguments)
{
    const QStringList &withValue = kToolkitOptionsWithValue;
    const QStringList &flags = kToolkitFlags;
    QStringList kept;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        QString name = a;
        while (name.startsWith(u'-'))
            name.remove(0, 1);
        if (i > 0 && a.startsWith(u'-') && flags.contains(name))
            continue;
        if (i > 0 && a.startsWith(u'-') && withValue.contains(name.section(u'=', 0, 0))) {
            if (!name.contains(u'='))
                ++i; // its value
            continue;
        }
        kept.append(a);
    }
    return kept;
}

} // namespace

CommandLine CommandLine::parse(const QStringList &arguments)
{
    CommandLine result;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Shows, charts and logs the readings of a handheld digital multimeter connected through "
        "a serial port or its USB cable."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    QList<QCommandLineOption> ports;
    for (int n = 1; n <= 4; ++n) {
        ports.append(QCommandLineOption(
            QStringLiteral("com%1").arg(n),
            QStringLiteral("Open DEVICE for COM%1 (as VORLATT_COM%1 does).").arg(n),
            QStringLiteral("DEVICE")));
        parser.addOption(ports.last());
    }
    // The live page: the same options, read by the same rules, as vorlatt-log's.
    const QList<QCommandLineOption> http = {
        QCommandLineOption(QStringLiteral("http"),
                           QStringLiteral("Serve a live page of the meter's readings, read-only, "
                                          "on PORT (0: any free port) at ADDRESS (default "
                                          "127.0.0.1): / the page, /events, /api/readings, "
                                          "/api/status, /metrics for Prometheus."),
                           QStringLiteral("[ADDRESS:]PORT")),
        QCommandLineOption(QStringLiteral("http-token-file"),
                           QStringLiteral("Every request to the page needs the token, the first "
                                          "line of FILE (the user's own, readable by no one "
                                          "else)."),
                           QStringLiteral("FILE")),
        QCommandLineOption(QStringLiteral("http-open"),
                           QStringLiteral("Serve an address other machines can reach without a "
                                          "token (a warning is printed).")),
        QCommandLineOption(QStringLiteral("http-allow-origin"),
                           QStringLiteral("Let pages from ORIGIN (as in "
                                          "https://dash.example.org) read the page's routes."),
                           QStringLiteral("ORIGIN"))};
    parser.addOptions(http);
    const QCommandLineOption meterId(
        QStringLiteral("meter-id"),
        QStringLiteral("Name the meter ID on the live page and in its metrics (default: this "
                       "machine's name and the port read, such as bench-com1)."),
        QStringLiteral("ID"));
    parser.addOption(meterId);

    auto usageError = [&](const QString &why) {
        result.run = false;
        result.exitCode = 2;
        result.output = why + u'\n' + parser.helpText();
        return result;
    };
    if (!parser.parse(withoutToolkitOptions(arguments)))
        return usageError(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().first()));
    if (parser.isSet(help)) {
        result.run = false;
        result.output = parser.helpText();
        return result;
    }
    // The help option brings --help-all with it; without this it would start the window.
    if (parser.isSet(QStringLiteral("help-all"))) {
        result.run = false;
        result.output = parser.helpText() +
                        QStringLiteral("\nThe toolkit's options, read once the window system is "
                                       "reached:\n  -%1 VALUE\n  -%2\n")
                            .arg(kToolkitOptionsWithValue.join(QStringLiteral(" VALUE\n  -")),
                                 kToolkitFlags.join(QStringLiteral("\n  -")));
        return result;
    }
    if (parser.isSet(version)) {
        result.run = false;
        result.output = QStringLiteral("vorlatt %1\n").arg(QStringLiteral(VORLATT_VERSION));
        return result;
    }
    for (const QCommandLineOption &port : ports) {
        const QString device = parser.value(port);
        if (parser.isSet(port) && device.isEmpty())
            return usageError(QStringLiteral("--%1 needs a device").arg(port.names().first()));
        result.ports.append(device);
    }
    for (const QCommandLineOption &option : http) {
        const QString name = QStringLiteral("--") + option.names().first();
        QString error;
        if (option.valueName().isEmpty()) {
            if (parser.isSet(option))
                httpoptions::take(name, {}, &result.http, &error);
        } else {
            for (const QString &value : parser.values(option))
                if (error.isEmpty())
                    httpoptions::take(name, value, &result.http, &error);
        }
        if (!error.isEmpty())
            return usageError(error);
    }
    if (const QString error = httpoptions::finish(&result.http); !error.isEmpty())
        return usageError(error);
    if (parser.isSet(meterId)) {
        // A label value and a word on the page: letters, digits and a few marks, as an MQTT id.
        static const QRegularExpression kId(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
        result.meterId = parser.value(meterId);
        if (!kId.match(result.meterId).hasMatch())
            return usageError(QStringLiteral("--meter-id takes 1 to 64 letters, digits, '.', '_' "
                                             "or '-', not '%1'")
                                  .arg(result.meterId));
    }
    result.warning = httpoptions::openWarning(result.http);
    return result;
}

void CommandLine::applyPorts() const
{
    for (int i = 0; i < ports.size(); ++i)
        if (!ports.at(i).isEmpty())
            qputenv(qPrintable(QStringLiteral("VORLATT_COM%1").arg(i + 1)), ports.at(i).toLocal8Bit());
}
