#include "mqtt/MqttOptions.h"

#include "web/HttpOptions.h"

#include <QUrl>

#include <algorithm>

namespace mqttoptions {

namespace {

bool isTopicSafe(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'_' || c == u'-';
}

// The broker's address and the topic prefix; the reason when the URL is not one.
QString parseUrl(const QString &text, MqttOptions *o)
{
    const QString shape = QStringLiteral("--mqtt takes mqtt://HOST[:PORT]/PREFIX or "
                                         "mqtts://HOST[:PORT]/PREFIX, not '%1'")
                              .arg(text);
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != u"mqtt" && url.scheme() != u"mqtts") ||
        url.host().isEmpty() || url.hasQuery() || url.hasFragment())
        return shape;
    if (!url.userInfo().isEmpty())
        return QStringLiteral("--mqtt takes no user or password in the URL: give them with "
                              "--mqtt-user and --mqtt-password-file");
    // QUrl takes ports up to 65535 and gives -1 for none or a bad one.
    const QString authority = url.authority();
    if (url.port() == 0 ||
        (url.port() < 0 && authority.contains(u':') && !authority.endsWith(u']')))
        return QStringLiteral("--mqtt takes a port from 1 to 65535 in '%1'").arg(text);
    QString prefix = url.path();
    while (prefix.startsWith(u'/'))
        prefix.remove(0, 1);
    while (prefix.endsWith(u'/'))
        prefix.chop(1);
    if (prefix.isEmpty())
        return QStringLiteral("--mqtt needs a topic prefix after the host, as in "
                              "mqtt://HOST/lab, not '%1'")
            .arg(text);
    if (prefix.contains(u'+') || prefix.contains(u'#') || prefix.contains(QStringLiteral("//")))
        return QStringLiteral("--mqtt takes a topic prefix without '+', '#' or empty levels, not "
                              "'%1'")
            .arg(prefix);
    o->url = text;
    o->tls = url.scheme() == u"mqtts";
    o->host = url.host();
    o->port = url.port(o->tls ? 8883 : 1883);
    o->prefix = prefix;
    return {};
}

} // namespace

QList<QCommandLineOption> commandLineOptions()
{
    QList<QCommandLineOption> options;
    for (const char *name :
         {"mqtt", "mqtt-id", "mqtt-user", "mqtt-password-file", "mqtt-ca", "mqtt-spool-max",
          "mqtt-drain-seconds"})
        options.append(
            QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("VALUE")));
    for (const char *name : {"mqtt-discovery", "mqtt-insecure"})
        options.append(QCommandLineOption(QString::fromLatin1(name)));
    return options;
}

bool take(const QString &arg, const QString &value, MqttOptions *o, QString *error)
{
    if (arg == u"--mqtt") {
        *error = parseUrl(value, o);
    } else if (arg == u"--mqtt-id") {
        const bool safe = !value.isEmpty() && value.size() <= 64 &&
                          std::all_of(value.begin(), value.end(), isTopicSafe);
        if (!safe)
            *error = QStringLiteral("--mqtt-id takes 1 to 64 letters, digits, '-' and '_', not "
                                    "'%1'")
                         .arg(value);
        else
            o->id = value;
    } else if (arg == u"--mqtt-user") {
        if (value.isEmpty())
            *error = QStringLiteral("--mqtt-user needs a name");
        o->user = value;
    } else if (arg == u"--mqtt-password-file") {
        if (value.isEmpty())
            *error = QStringLiteral("--mqtt-password-file needs a file name");
        o->passwordFile = value;
    } else if (arg == u"--mqtt-ca") {
        if (value.isEmpty())
            *error = QStringLiteral("--mqtt-ca needs a file name");
        o->caFile = value;
    } else if (arg == u"--mqtt-spool-max") {
        bool ok = false;
        const qint64 mb = value.toLongLong(&ok, 10);
        if (!ok || mb < kSpoolMinMb || mb > kSpoolMaxMb)
            *error = QStringLiteral("--mqtt-spool-max takes megabytes from %1 to %2, not '%3'")
                         .arg(kSpoolMinMb)
                         .arg(kSpoolMaxMb)
                         .arg(value);
        else
            o->spoolMaxMb = mb;
    } else if (arg == u"--mqtt-drain-seconds") {
        bool ok = false;
        const int seconds = value.toInt(&ok, 10);
        if (!ok || seconds < 0 || seconds > kDrainMaxSeconds)
            *error = QStringLiteral("--mqtt-drain-seconds takes seconds from 0 to %1, not '%2'")
                         .arg(kDrainMaxSeconds)
                         .arg(value);
        else
            o->drainSeconds = seconds;
    } else if (arg == u"--mqtt-discovery") {
        o->discovery = true;
    } else if (arg == u"--mqtt-insecure") {
        o->insecure = true;
    } else {
        return false;
    }
    return true;
}

QString defaultId(const QString &sourceName)
{
    return httpoptions::machineName() + u'-' + topicSafe(sourceName);
}

QString finish(MqttOptions *o, const QString &sourceName, bool idElsewhere)
{
    if (!o->enabled()) {
        const bool other = (!o->id.isEmpty() && !idElsewhere) || !o->user.isEmpty() || !o->passwordFile.isEmpty() ||
                           !o->caFile.isEmpty() || o->discovery || o->insecure ||
                           o->spoolMaxMb != MqttOptions().spoolMaxMb ||
                           o->drainSeconds != MqttOptions().drainSeconds;
        return other ? QStringLiteral("the --mqtt-… options need --mqtt URL") : QString();
    }
    if (!o->passwordFile.isEmpty() && o->user.isEmpty())
        return QStringLiteral("--mqtt-password-file needs --mqtt-user NAME");
    if ((!o->caFile.isEmpty() || o->insecure) && !o->tls)
        return QStringLiteral("--mqtt-ca and --mqtt-insecure are for mqtts:// only");
    if (!o->caFile.isEmpty() && o->insecure)
        return QStringLiteral("give either --mqtt-ca or --mqtt-insecure, not both");
    if (o->id.isEmpty())
        o->id = defaultId(sourceName);
    return {};
}

QString topicSafe(const QString &text)
{
    QString out;
    for (const QChar c : text)
        out += isTopicSafe(c) ? c : u'_';
    return out;
}

QString help()
{
    return QStringLiteral(
        "Publishing to MQTT:\n"
        "  --mqtt URL           also publish every record to an MQTT broker:\n"
        "                       mqtt://HOST[:PORT]/PREFIX, or mqtts://HOST[:PORT]/PREFIX with TLS\n"
        "                       (port 1883 or 8883 unless given). Records go to PREFIX/ID/reading\n"
        "                       as JSON objects (QoS 1); the retained PREFIX/ID/status says\n"
        "                       online, offline, lost or spool-full. While the broker cannot be\n"
        "                       reached, records wait in a spool file under "
        "$XDG_STATE_HOME/vorlatt\n"
        "                       (or ~/.local/state/vorlatt) and go out in order when it is back; "
        "a\n"
        "                       later run with the same ID sends what is left there first.\n"
        "  --mqtt-id ID         the meter's name in the topics (default: the host name and the\n"
        "                       source, as in lab1-ttyUSB0)\n"
        "  --mqtt-user NAME     log in to the broker as NAME\n"
        "  --mqtt-password-file FILE\n"
        "                       the password, the first line of FILE; a file that other users can\n"
        "                       read is refused\n"
        "  --mqtt-ca FILE       with mqtts: trust the CA certificates in FILE instead of the\n"
        "                       system's\n"
        "  --mqtt-insecure      with mqtts: do not verify the broker's certificate (a warning is\n"
        "                       printed)\n"
        "  --mqtt-discovery     publish retained Home Assistant discovery configs under\n"
        "                       homeassistant/sensor/ID/, so the meter shows up as sensors\n"
        "  --mqtt-spool-max MB  the most the spool may hold, 1 to 1048576 MB (default 512); when\n"
        "                       it is full, new records are not published until the broker has\n"
        "                       taken the spooled ones, which is said on standard error and in\n"
        "                       the status topic\n"
        "  --mqtt-drain-seconds S\n"
        "                       at the end of a run with readings the broker has not taken, try\n"
        "                       once more to connect and send them, for at most S seconds, 0 to\n"
        "                       600 (default 5); what is left stays in the spool\n");
}

} // namespace mqttoptions
