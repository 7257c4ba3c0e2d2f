#pragma once

#include <QByteArray>
#include <QCommandLineOption>
#include <QList>
#include <QString>

// Where the live page and its routes are served, and who may read them. Port -1: not served.
struct HttpOptions
{
    QString address = QStringLiteral("127.0.0.1"); // an IP address of this machine
    int port = -1;                                 // 0: any free port (the bound one is told)
    QString tokenFile;
    QByteArray token; // read from tokenFile by httpoptions::finish()
    bool open = false; // --http-open: a non-loopback address without a token
    QString allowOrigin; // empty: no cross-origin access

    bool enabled() const { return port >= 0; }
};

namespace httpoptions {

// The options, for a command-line parser: --http, --http-token-file, --http-allow-origin take a
// value, --http-open none.
QList<QCommandLineOption> commandLineOptions();
// True when `arg` ("--http", ...) is one of these options, then taken into `o`; `error` says
// what is wrong with its value, if anything.
bool take(const QString &arg, const QString &value, HttpOptions *o, QString *error);
// After the whole command line: the checks between the options, and the token read from its
// file. Returns what is wrong, or an empty string.
QString finish(HttpOptions *o);

// `[ADDRESS:]PORT`: 8080, 127.0.0.1:8080, [::1]:8080, 0.0.0.0:8080 (port 0 to 65535). Returns
// what is wrong, or an empty string.
QString parseAddress(const QString &text, QString *address, int *port);
// An IPv4 address in four parts, or an IPv6 address, as text.
bool isIpAddress(const QString &text);
// Only this machine can reach it: 127.0.0.0/8 and ::1 (and ::ffff:127.x.y.z).
bool isLoopback(const QString &address);
// The token: the first line of a regular file that its owner alone may read or write, owned by
// this user, not empty. Returns what is wrong, or an empty string.
QString readTokenFile(const QString &path, QByteArray *token);
// What --http-open prints on standard error, or "" when nothing needs saying.
QString openWarning(const HttpOptions &o);
// The URL of the page as a browser on this machine reaches it (the port as bound).
QString pageUrl(const HttpOptions &o, int boundPort);
// The help text's section on these options.
QString help();

// This machine's name, which the meter's id starts with on the page, in the metrics and in MQTT
// topics: without its domain, with every character other than ASCII letters, digits, '-' and
// '_' replaced by '_'; "vorlatt" when the machine has no name.
QString machineName();

} // namespace httpoptions
