#pragma once

// Speaking HTTP to a server on 127.0.0.1 over plain sockets, as no browser would: requests cut
// short, too large, or never read, and the answers read byte for byte.

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QString>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace rawhttp {

// Generous bounds for something that must happen, never a measure of speed.
constexpr int kPatienceMs = 30000;

// One TCP connection to the server, read as it comes.
class Raw
{
public:
    explicit Raw(int port, int receiveBuffer = 0)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected =
            ::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    }
    ~Raw() { close(); }
    Raw(const Raw &) = delete;
    Raw &operator=(const Raw &) = delete;

    bool connected() const { return m_connected; }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    // False once the server has closed the connection (or reset it).
    bool send(const QByteArray &bytes)
    {
        qsizetype sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.constData() + sent, size_t(bytes.size() - sent),
                                     MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += n;
        }
        return true;
    }
    // Reads until `done` says so, the server closes, or the patience runs out.
    template <typename Done>
    bool readUntil(Done done, int patienceMs = kPatienceMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (!done(m_in)) {
            if (m_closed || timer.elapsed() > patienceMs)
                return false;
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, 100) <= 0)
                continue;
            char buffer[65536];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                m_closed = true;
            else
                m_in.append(buffer, n);
        }
        return true;
    }
    bool readToClose(int patienceMs = kPatienceMs)
    {
        return readUntil([this](const QByteArray &) { return m_closed; }, patienceMs);
    }
    const QByteArray &in() const { return m_in; }
    bool closedByServer() const { return m_closed; }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
    bool m_connected = false;
    bool m_closed = false;
    QByteArray m_in;
};

struct Answer
{
    int status = 0;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

inline QByteArray dechunk(const QByteArray &chunked)
{
    QByteArray out;
    qsizetype at = 0;
    for (;;) {
        const qsizetype lineEnd = chunked.indexOf("\r\n", at);
        if (lineEnd < 0)
            break;
        bool ok = false;
        const qsizetype size = chunked.mid(at, lineEnd - at).toLongLong(&ok, 16);
        if (!ok || size == 0)
            break;
        out += chunked.mid(lineEnd + 2, size);
        at = lineEnd + 2 + size + 2;
    }
    return out;
}

// The status line and headers of what `raw` has read (its head must be whole).
inline Answer parseHead(const QByteArray &bytes, qsizetype *bodyStart = nullptr)
{
    Answer a;
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    if (end < 0)
        return a;
    const QList<QByteArray> lines = bytes.left(end).split('\n');
    const QList<QByteArray> statusLine = lines.value(0).split(' ');
    a.status = statusLine.value(1).toInt();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        a.headers.insert(lines[i].left(colon).trimmed().toLower(),
                         lines[i].mid(colon + 1).trimmed());
    }
    if (bodyStart)
        *bodyStart = end + 4;
    return a;
}

// One request on a connection of its own, read to the server's close.
inline Answer request(int port, const QByteArray &method, const QByteArray &target,
               const QByteArray &extraHeaders = {})
{
    Raw raw(port);
    raw.send(method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
             extraHeaders + "\r\n");
    raw.readToClose();
    qsizetype bodyStart = 0;
    Answer a = parseHead(raw.in(), &bodyStart);
    a.body = raw.in().mid(bodyStart);
    if (a.headers.value("transfer-encoding") == "chunked")
        a.body = dechunk(a.body);
    return a;
}

inline Answer get(int port, const QByteArray &target, const QByteArray &extraHeaders = {})
{
    return request(port, "GET", target, extraHeaders);
}

inline QJsonObject statusOf(int port)
{
    return QJsonDocument::fromJson(get(port, "/api/status").body).object();
}

// The events an event stream has sent so far: each as its fields ("id", "event", "data").
inline QList<QMap<QString, QString>> events(const QByteArray &streamBytes)
{
    qsizetype bodyStart = 0;
    parseHead(streamBytes, &bodyStart);
    const QByteArray body = dechunk(streamBytes.mid(bodyStart));
    QList<QMap<QString, QString>> out;
    for (const QByteArray &block : QByteArray(body).replace("\n\n", "\x01").split('\x01')) {
        if (block.trimmed().isEmpty())
            continue;
        QMap<QString, QString> event;
        for (const QByteArray &line : block.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon == 0) {
                event.insert(QStringLiteral("comment"), QString::fromUtf8(line.mid(1)).trimmed());
                continue;
            }
            event.insert(QString::fromUtf8(line.left(colon)),
                         QString::fromUtf8(line.mid(colon + 1)).trimmed());
        }
        out << event;
    }
    return out;
}

inline int countWith(const QList<QMap<QString, QString>> &list, const QString &key)
{
    int n = 0;
    for (const auto &e : list)
        n += e.contains(key) ? 1 : 0;
    return n;
}

} // namespace rawhttp
