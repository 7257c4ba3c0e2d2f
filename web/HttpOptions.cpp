#include "HttpOptions.h"

#include <QFile>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace httpoptions {

namespace {

bool isIpv4(const QString &text, quint32 *address = nullptr)
{
    in_addr parsed{};
    if (::inet_pton(AF_INET, text.toLatin1().constData(), &parsed) != 1)
        return false;
    if (address)
        *address = ntohl(parsed.s_addr);
    return true;
}

bool isIpv6(const QString &text, in6_addr *address = nullptr)
{
    in6_addr parsed{};
    if (::inet_pton(AF_INET6, text.toLatin1().constData(), &parsed) != 1)
        return false;
    if (address)
        *address = parsed;
    return true;
}

} // namespace

bool isIpAddress(const QString &text)
{
    return isIpv4(text) || isIpv6(text);
}

QList<QCommandLineOption> commandLineOptions()
{
    QList<QCommandLineOption> options;
    for (const char *name : {"http", "http-token-file", "http-allow-origin"})
        options.append(
            QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("VALUE")));
    options.append(QCommandLineOption(QStringLiteral("http-open")));
    return options;
}

QString parseAddress(const QString &text, QString *address, int *port)
{
    const QString shape =
        QStringLiteral("--http takes [ADDRESS:]PORT, as in 8080, 127.0.0.1:8080 or [::1]:8080, "
                       "not '%1'")
            .arg(text);
    QString host = QStringLiteral("127.0.0.1");
    QString portText = text;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(QStringLiteral("]:"));
        if (close < 0)
            return shape;
        host = text.mid(1, close - 1);
        portText = text.mid(close + 2);
        if (!isIpv6(host))
            return QStringLiteral("--http: '%1' is no IPv6 address").arg(host);
    } else if (const qsizetype colon = text.lastIndexOf(u':'); colon >= 0) {
        host = text.left(colon);
        portText = text.mid(colon + 1);
        if (host.contains(u':'))
            return QStringLiteral("--http: write an IPv6 address in brackets, as in [::1]:8080, "
                                  "not '%1'")
                .arg(text);
        if (host == u"localhost")
            host = QStringLiteral("127.0.0.1");
        if (!isIpv4(host))
            return QStringLiteral("--http takes an IP address of this machine, not '%1'")
                .arg(host);
    }
    bool ok = false;
    const int number = portText.toInt(&ok, 10);
    if (!ok || number < 0 || number > 65535 || portText.startsWith(u'+') ||
        portText.startsWith(u'-'))
        return QStringLiteral("--http takes a port from 0 to 65535, not '%1'").arg(portText);
    *address = host;
    *port = number;
    return {};
}

bool isLoopback(const QString &address)
{
    quint32 v4 = 0;
    if (isIpv4(address, &v4))
        return (v4 >> 24) == 127;
    in6_addr v6{};
    if (!isIpv6(address, &v6))
        return false;
    if (IN6_IS_ADDR_LOOPBACK(&v6))
        return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

QString readTokenFile(const QString &path, QByteArray *token)
{
    const QByteArray name = QFile::encodeName(path);
    // Opened first and checked by its descriptor: what is read is what was checked.
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return QStringLiteral("--http-token-file %1: %2").arg(path, QString::fromLocal8Bit(
                                                                        std::strerror(errno)));
    struct stat st
    {
    };
    QString error;
    if (::fstat(fd, &st) != 0)
        error = QString::fromLocal8Bit(std::strerror(errno));
    else if (!S_ISREG(st.st_mode))
        error = QStringLiteral("not a regular file");
    else if (st.st_uid != ::geteuid())
        error = QStringLiteral("owned by another user");
    else if (st.st_mode & (S_IRWXG | S_IRWXO))
        error = QStringLiteral("other users may read or change it (mode %1): chmod 600 it")
                    .arg(st.st_mode & 07777, 4, 8, QChar(u'0'));
    else if (st.st_size > 4096)
        error = QStringLiteral("longer than a token (4096 bytes at most)");
    QByteArray text;
    if (error.isEmpty()) {
        char buffer[4097];
        qsizetype total = 0;
        for (;;) {
            const ssize_t n = ::read(fd, buffer + total, sizeof buffer - size_t(total));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = QString::fromLocal8Bit(std::strerror(errno));
                break;
            }
            if (n == 0)
                break;
            total += n;
            if (total == qsizetype(sizeof buffer)) {
                error = QStringLiteral("longer than a token (4096 bytes at most)");
                break;
            }
        }
        text = QByteArray(buffer, total);
    }
    ::close(fd);
    if (error.isEmpty()) {
        text.truncate(text.indexOf('\n') < 0 ? text.size() : text.indexOf('\n'));
        if (text.endsWith('\r'))
            text.chop(1);
        text = text.trimmed();
        if (text.isEmpty())
            error = QStringLiteral("its first line is empty");
        else if (std::any_of(text.begin(), text.end(),
                             [](char c) { return uchar(c) <= 0x20 || uchar(c) >= 0x7f; }))
            error = QStringLiteral("the token has spaces or characters other than printable "
                                   "ASCII");
    }
    if (!error.isEmpty())
        return QStringLiteral("--http-token-file %1: %2").arg(path, error);
    *token = text;
    return {};
}

bool take(const QString &arg, const QString &value, HttpOptions *o, QString *error)
{
    if (arg == u"--http") {
        *error = parseAddress(value, &o->address, &o->port);
    } else if (arg == u"--http-token-file") {
        if (value.isEmpty())
            *error = QStringLiteral("--http-token-file needs a file name");
        o->tokenFile = value;
    } else if (arg == u"--http-open") {
        o->open = true;
    } else if (arg == u"--http-allow-origin") {
        // One origin as a browser sends it: scheme, host and port, nothing more.
        const QUrl url(value, QUrl::StrictMode);
        const bool origin = url.isValid() && (url.scheme() == u"http" || url.scheme() == u"https") &&
                            !url.host().isEmpty() && url.path().isEmpty() && !url.hasQuery() &&
                            !url.hasFragment() && url.userInfo().isEmpty() &&
                            !value.endsWith(u'/');
        if (!origin)
            *error = QStringLiteral("--http-allow-origin takes one origin, as in "
                                    "https://dash.example.org or http://host:3000, not '%1'")
                         .arg(value);
        else
            o->allowOrigin = value;
    } else {
        return false;
    }
    return true;
}

QString finish(HttpOptions *o)
{
    if (!o->enabled()) {
        const bool other = !o->tokenFile.isEmpty() || o->open || !o->allowOrigin.isEmpty();
        return other ? QStringLiteral("the --http-… options need --http [ADDRESS:]PORT")
                     : QString();
    }
    if (!o->tokenFile.isEmpty()) {
        if (o->open)
            return QStringLiteral("give either --http-token-file or --http-open, not both");
        if (const QString error = readTokenFile(o->tokenFile, &o->token); !error.isEmpty())
            return error;
    } else if (!isLoopback(o->address) && !o->open) {
        return QStringLiteral("--http %1 can be reached from other machines: give "
                              "--http-token-file FILE, or --http-open to serve it to anyone")
            .arg(o->address);
    }
    return {};
}

QString openWarning(const HttpOptions &o)
{
    if (!o.enabled() || !o.open || !o.token.isEmpty() || isLoopback(o.address))
        return {};
    return QStringLiteral("warning: --http-open: anyone who can reach %1 may read the readings, "
                          "without a token")
        .arg(o.address);
}

QString pageUrl(const HttpOptions &o, int boundPort)
{
    QString host = o.address;
    if (host == u"0.0.0.0")
        host = QStringLiteral("127.0.0.1");
    else if (host == u"::")
        host = QStringLiteral("::1");
    if (host.contains(u':'))
        host = u'[' + host + u']';
    return QStringLiteral("http://%1:%2/").arg(host).arg(boundPort);
}

QString machineName()
{
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    QString id;
    for (const QChar c : QString::fromLocal8Bit(name).section(u'.', 0, 0))
        id += (c.isLetterOrNumber() && c.unicode() < 128) || c == u'-' || c == u'_' ? c : u'_';
    return id.isEmpty() ? QStringLiteral("vorlatt") : id;
}

QString help()
{
    return QStringLiteral(
        "The live page:\n"
        "  --http [ADDRESS:]PORT\n"
        "                       serve a live page of the readings, read-only, on PORT (0: any\n"
        "                       free port, which is told), at ADDRESS (default 127.0.0.1): / the\n"
        "                       page, /events the readings as Server-Sent Events, /api/readings\n"
        "                       and /api/status as JSON, /metrics for Prometheus. An address\n"
        "                       other machines can reach needs --http-token-file or --http-open.\n"
        "                       The page names the meter by --mqtt-id, which --http takes\n"
        "                       without --mqtt too\n"
        "  --http-token-file FILE\n"
        "                       every request needs the token, the first line of FILE, as\n"
        "                       'Authorization: Bearer TOKEN' or ?token=TOKEN; FILE must be the\n"
        "                       user's own, readable by no one else\n"
        "  --http-open          serve an address other machines can reach without a token (a\n"
        "                       warning is printed)\n"
        "  --http-allow-origin ORIGIN\n"
        "                       let pages from ORIGIN (as in https://dash.example.org) read the\n"
        "                       routes; by default no other site may\n");
}

} // namespace httpoptions
