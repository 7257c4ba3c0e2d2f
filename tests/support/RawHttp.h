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

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
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

// Lets this process open as many descriptors as the system allows it (the soft limit up to the
// hard one): a flood of hundreds of connections, each end of which is a descriptor here, would
// otherwise meet a soft limit of 1024. False when fewer than `wanted` can be open.
inline bool raiseDescriptorLimit(rlim_t wanted)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            return false;
    }
    return limit.rlim_cur >= wanted;
}

// A flood of connections that never ask for anything whole: idle ones that send no byte, and
// tricklers that send a request's head a byte every `trickleMs` and never end it. One that the
// server closes is opened again at once, so that the flood keeps its count as a real one does.
// Runs on a thread of its own.
class Flood
{
public:
    Flood(int port, int idle, int trickling, int trickleMs = 2000)
        : m_port(port), m_trickleMs(trickleMs)
    {
        for (int i = 0; i < idle + trickling; ++i)
            m_connections.push_back(Connection{-1, i >= idle, 0, 0});
        m_thread = std::thread([this] { run(); });
    }
    ~Flood()
    {
        m_stop = true;
        m_thread.join();
        for (Connection &c : m_connections)
            if (c.fd >= 0)
                ::close(c.fd);
    }
    Flood(const Flood &) = delete;
    Flood &operator=(const Flood &) = delete;

    // Connections open now (the server may have closed some that the flood has not seen yet).
    int open() const { return m_open; }
    // Connections that could not be opened at all (descriptors or ports ran out).
    int failed() const { return m_failed; }
    // Connections the server closed (and the flood opened again).
    qint64 dropped() const { return m_dropped; }
    // Waits until every connection was opened once.
    bool waitUntilOpen(int patienceMs = kPatienceMs) const
    {
        QElapsedTimer timer;
        timer.start();
        while (m_open < int(m_connections.size())) {
            if (timer.elapsed() > patienceMs || m_failed > 0)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

private:
    struct Connection
    {
        int fd = -1;
        bool trickles = false;
        qint64 nextByteMs = 0;
        int sent = 0;
    };

    // Never ends: a header line that grows a byte at a time.
    static char headByte(int at)
    {
        static const QByteArray start = "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
        return at < start.size() ? start.at(at) : 'a';
    }

    bool connectOne(Connection &c, qint64 nowMs)
    {
        c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (c.fd < 0)
            return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(m_port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(c.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            ::close(c.fd);
            c.fd = -1;
            return false;
        }
        c.sent = 0;
        c.nextByteMs = nowMs; // a trickler's first byte goes at once
        return true;
    }

    void run()
    {
        QElapsedTimer clock;
        clock.start();
        std::vector<pollfd> fds;
        while (!m_stop) {
            int open = 0;
            for (Connection &c : m_connections) {
                if (c.fd < 0 && !connectOne(c, clock.elapsed()))
                    ++m_failed;
                open += c.fd >= 0 ? 1 : 0;
            }
            m_open = open;
            const qint64 now = clock.elapsed();
            for (Connection &c : m_connections) {
                if (c.fd < 0 || !c.trickles || c.nextByteMs > now)
                    continue;
                const char byte = headByte(c.sent);
                if (::send(c.fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1)
                    ++c.sent;
                c.nextByteMs = now + m_trickleMs;
            }
            // Whatever the server sends ends the connection for the flood (an answer, a refusal,
            // or the close itself).
            fds.clear();
            for (const Connection &c : m_connections)
                fds.push_back(pollfd{c.fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].fd < 0 || !fds[i].revents)
                    continue;
                ::close(m_connections[i].fd);
                m_connections[i].fd = -1;
                ++m_dropped;
            }
        }
    }

    const int m_port;
    const int m_trickleMs;
    std::vector<Connection> m_connections;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_open{0};
    std::atomic<int> m_failed{0};
    std::atomic<qint64> m_dropped{0};
    std::thread m_thread;
};

} // namespace rawhttp
