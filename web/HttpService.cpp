#include "HttpService.h"

#include "LiveFeed.h"

// The one file that includes the library's header (it is large, and slow to compile).
#include <httplib.h>

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Where the page's chart library is installed (Debian's libjs-dygraphs).
constexpr const char *kDygraphsFolder = "/usr/share/javascript/dygraphs/";
// A waiting worker looks at the stop flag this often.
constexpr int kSliceMs = 200;
// Requests on one connection before it is closed (a new one is opened at once).
constexpr int kRequestsPerConnection = 100;
// Readings in one write of an event stream.
constexpr std::size_t kReadingsPerWrite = 256;

const char *reasonOf(int status)
{
    switch (status) {
    case 408:
        return "Request Timeout";
    case 414:
        return "URI Too Long";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Bad Request";
    }
}

// The connection a worker thread is serving: what the request handler tells the connection's
// loop. Each connection is served from start to end on one worker thread.
struct ConnectionState
{
    int sock = -1;
    bool handled = false;    // the request reached the handler (the library refuses some itself)
    bool closeAfter = false; // the request left bytes unread (a body): no next request

    // The client has closed its end, or the connection broke.
    bool hungUp() const
    {
        pollfd fd{sock, POLLRDHUP, 0};
        return ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLRDHUP | POLLHUP | POLLERR));
    }
};
thread_local ConnectionState *t_connection = nullptr;
// Set on the listening thread while a connection over the bound is let go.
thread_local bool t_refuseConnection = false;

// The library's worker pool, with a bound on the connections it holds: each is a descriptor of
// the program, and a flood of connections must not leave the recorder without one for its port
// or its file. Over the bound, the connection is refused at once, on the listening thread.
class BoundedPool final : public httplib::TaskQueue
{
public:
    BoundedPool(int workers, int waiting)
        : m_pool(std::size_t(workers)), m_most(workers + waiting)
    {
    }

    void enqueue(std::function<void()> fn) override
    {
        if (m_held.load() >= m_most) {
            t_refuseConnection = true;
            fn();
            t_refuseConnection = false;
            return;
        }
        ++m_held;
        m_pool.enqueue([this, fn = std::move(fn)] {
            fn();
            --m_held;
        });
    }
    void shutdown() override { m_pool.shutdown(); }

private:
    httplib::ThreadPool m_pool;
    const int m_most;
    std::atomic<int> m_held{0};
};

// The socket of one connection as the library reads and writes it. It is here that the limits
// on a request's head are kept, because the library reads a head whole before any handler sees
// it: a request line or header line over the limit, too many header lines, or a head that does
// not arrive whole within the read timeout, ends the reading at once with a refusal, so neither
// memory nor a worker is held by an endless head. Every wait also looks at the stop flag.
class GuardedStream final : public httplib::Stream
{
public:
    GuardedStream(int sock, const std::atomic<bool> &stop) : m_sock(sock), m_stop(stop) {}

    // Waits up to `ms` for the first byte of a request. False: none came, or the server stops.
    bool waitForRequest(int ms)
    {
        return m_pos < m_len || waitFor(POLLIN, Clock::now() + std::chrono::milliseconds(ms));
    }
    // A request's head is read from here on.
    void beginRequest()
    {
        m_inHead = true;
        m_deadline = Clock::now() + std::chrono::milliseconds(HttpService::kReadTimeoutMs);
        m_lineBytes = 0;
        m_lineIsCr = false;
        m_lines = 0;
    }
    // The status the head was refused with (the reading stopped), or 0.
    int refusal() const { return m_refusal; }
    // Says why the head was refused, and nothing more: the connection closes after it.
    void sendRefusal(const std::string &extraHeaders)
    {
        const std::string text = "HTTP/1.1 " + std::to_string(m_refusal) + ' ' +
                                 reasonOf(m_refusal) +
                                 "\r\nConnection: close\r\nContent-Length: 0\r\n" + extraHeaders +
                                 "\r\n";
        m_refusal = 0;
        std::size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t n = write(text.data() + sent, text.size() - sent);
            if (n <= 0)
                break;
            sent += std::size_t(n);
        }
    }

    // The library asks this before each read of the socket: within a head, the head's
    // deadline holds here too.
    bool is_readable() const override
    {
        if (m_refusal)
            return false;
        return m_pos < m_len || waitForBytes();
    }
    bool is_writable() const override { return waitForRoom(); }

    ssize_t read(char *ptr, size_t size) override
    {
        if (m_refusal)
            return -1;
        if (m_pos == m_len) {
            if (!waitForBytes())
                return -1;
            ssize_t n;
            do
                n = ::recv(m_sock, m_buffer, sizeof m_buffer, 0);
            while (n < 0 && errno == EINTR);
            if (n <= 0)
                return n;
            m_pos = 0;
            m_len = std::size_t(n);
        }
        std::size_t n = std::min(size, m_len - m_pos);
        if (m_inHead)
            n = checkHead(n);
        if (n == 0)
            return -1;
        std::memcpy(ptr, m_buffer + m_pos, n);
        m_pos += n;
        return ssize_t(n);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        // After a refusal the library would add an answer of its own: only ours goes out.
        if (m_refusal)
            return -1;
        if (!waitForRoom())
            return -1;
        ssize_t n;
        do
            n = ::send(m_sock, ptr, size, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        return n < 0 ? -1 : n;
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getpeername(m_sock, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            name(address, length, ip, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockname(m_sock, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            name(address, length, ip, port);
    }
    socket_t socket() const override { return m_sock; }

private:
    static void name(const sockaddr_storage &address, socklen_t length, std::string &ip,
                     int &port)
    {
        char host[NI_MAXHOST] = {};
        char service[NI_MAXSERV] = {};
        if (::getnameinfo(reinterpret_cast<const sockaddr *>(&address), length, host, sizeof host,
                          service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            ip = host;
            port = std::atoi(service);
        }
    }

    // Of the next `n` bytes handed out, how many may go: the head ends at its blank line (the
    // bytes after it are not counted), and a refusal stops the reading.
    std::size_t checkHead(std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i) {
            const char c = m_buffer[m_pos + i];
            if (c == '\n') {
                // The library takes only CR LF as a line end: the head ends at "\r\n" alone.
                if (m_lineIsCr && m_lineBytes == 1) {
                    m_inHead = false;
                    return i + 1;
                }
                if (++m_lines > 1 + HttpService::kMaxHeaders) {
                    m_refusal = 431;
                    return 0;
                }
                m_lineBytes = 0;
                m_lineIsCr = false;
            } else {
                m_lineIsCr = m_lineBytes == 0 && c == '\r';
                if (++m_lineBytes > HttpService::kMaxLineBytes) {
                    m_refusal = m_lines == 0 ? 414 : 431;
                    return 0;
                }
            }
        }
        return n;
    }

    enum class Wait
    {
        Ready, // or an error for the next call to see
        TimedOut,
        Stopped,
    };
    // Waits for `events` until `deadline`, looking at the stop flag in between.
    Wait waitUntil(short events, Clock::time_point deadline) const
    {
        for (;;) {
            if (m_stop)
                return Wait::Stopped;
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return Wait::TimedOut;
            pollfd fd{m_sock, events, 0};
            const int ready = ::poll(&fd, 1, int(std::min<long long>(left, kSliceMs)));
            if (ready > 0)
                return Wait::Ready;
            if (ready < 0 && errno != EINTR)
                return Wait::Stopped;
        }
    }
    bool waitFor(short events, Clock::time_point deadline) const
    {
        return waitUntil(events, deadline) == Wait::Ready;
    }
    // Waits for the next bytes: within a head until its deadline (then the head is refused
    // with 408), else for the read timeout.
    bool waitForBytes() const
    {
        if (!m_inHead)
            return waitFor(POLLIN,
                           Clock::now() + std::chrono::milliseconds(HttpService::kReadTimeoutMs));
        const Wait wait = waitUntil(POLLIN, m_deadline);
        if (wait == Wait::TimedOut)
            m_refusal = 408;
        return wait == Wait::Ready;
    }
    // Waits until the client takes bytes again, for the write timeout.
    bool waitForRoom() const
    {
        return waitFor(POLLOUT,
                       Clock::now() + std::chrono::milliseconds(HttpService::kWriteTimeoutMs));
    }

    const int m_sock;
    const std::atomic<bool> &m_stop;
    char m_buffer[4096];
    std::size_t m_pos = 0;
    std::size_t m_len = 0;
    bool m_inHead = false;
    Clock::time_point m_deadline;
    int m_lineBytes = 0;
    bool m_lineIsCr = false;
    int m_lines = 0;
    mutable int m_refusal = 0;
};

// The library's server with each connection read through a GuardedStream.
class GuardedServer final : public httplib::Server
{
public:
    GuardedServer(const std::atomic<bool> &stop, std::string refusalHeaders)
        : m_stop(stop), m_refusalHeaders(std::move(refusalHeaders))
    {
    }

    // The library listens with a backlog of 5: a page that opens its files at once, with a
    // scraper and a stream besides, would see connections dropped and retried a second later.
    void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

private:
    bool process_and_close_socket(socket_t sock) override
    {
        if (t_refuseConnection) {
            // Never waits: what the socket does not take at once is not sent.
            static const char busy[] = "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n"
                                       "Retry-After: 5\r\nContent-Length: 0\r\n\r\n";
            [[maybe_unused]] const ssize_t n =
                ::send(sock, busy, sizeof busy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            ::shutdown(sock, SHUT_RDWR);
            ::close(sock);
            return true;
        }
        ConnectionState state;
        state.sock = sock;
        t_connection = &state;
        GuardedStream stream(sock, m_stop);
        for (int served = 0; served < kRequestsPerConnection && !m_stop; ++served) {
            if (!stream.waitForRequest(served == 0 ? HttpService::kReadTimeoutMs
                                                   : int(keep_alive_timeout_sec_) * 1000))
                break;
            stream.beginRequest();
            bool closed = false;
            state.handled = false;
            const bool last = served + 1 == kRequestsPerConnection;
            const bool ok = process_request(stream, last, closed, nullptr);
            if (stream.refusal()) {
                stream.sendRefusal(m_refusalHeaders);
                break;
            }
            // A request the library refused itself (one it could not read) ends the connection:
            // what follows it cannot be trusted to start a request.
            if (!ok || closed || state.closeAfter || !state.handled)
                break;
        }
        t_connection = nullptr;
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return true;
    }

    const std::atomic<bool> &m_stop;
    const std::string m_refusalHeaders;
};

// Equal, in a time that does not depend on where they differ (nor on the given one's length).
bool sameToken(const QByteArray &given, const QByteArray &expected)
{
    const QByteArray a = QCryptographicHash::hash(given, QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(expected, QCryptographicHash::Sha256);
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= uchar(a[i] ^ b[i]);
    return difference == 0;
}

// A Host header that names this machine by its loopback name or by an IP address. Any other
// name on a loopback server without a token is a page of another site that had its name point
// at 127.0.0.1 (DNS rebinding), to read the readings past the browser's same-origin rule.
bool hostIsLocal(const std::string &host)
{
    if (host.empty())
        return true;
    QString name = QString::fromStdString(host);
    if (name.startsWith(u'[')) {
        const qsizetype close = name.indexOf(u']');
        return close > 0 && httpoptions::isIpAddress(name.mid(1, close - 1));
    }
    name = name.section(u':', 0, 0);
    if (name.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    return httpoptions::isIpAddress(name);
}

std::string jsonError(const std::string &message)
{
    QString escaped = QString::fromStdString(message);
    escaped.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
    return "{\"error\":\"" + escaped.toStdString() + "\"}";
}

void fail(httplib::Response &res, int status, const std::string &message)
{
    res.status = status;
    res.set_content(jsonError(message), "application/json");
}

// A whole number from 0 up, as a query or header gives it.
bool parseNumber(const std::string &text, qint64 *value)
{
    if (text.empty() || text.size() > 18 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    *value = std::stoll(text);
    return true;
}

struct StaticFile
{
    std::string content;
    std::string type;
};

} // namespace

struct HttpService::Impl
{
    Impl(LiveFeed &f, const HttpOptions &o)
        : feed(f), options(o), loopback(httpoptions::isLoopback(o.address))
    {
    }

    httplib::Server::HandlerResponse handle(const httplib::Request &req, httplib::Response &res);
    void events(const httplib::Request &req, httplib::Response &res);
    void loadFiles();

    LiveFeed &feed;
    HttpOptions options;
    const bool loopback;
    std::atomic<bool> stop{false};
    std::atomic<int> streams{0};
    std::unique_ptr<GuardedServer> server;
    std::thread listener;
    std::atomic<bool> listenEnded{false};
    int port = -1;
    std::map<std::string, StaticFile> files;
};

void HttpService::Impl::loadFiles()
{
    auto load = [this](const std::string &route, const QString &path, const char *type) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = file.readAll();
            files[route] = StaticFile{bytes.toStdString(), type};
        }
    };
    load("/", QStringLiteral(":/web/index.html"), "text/html; charset=utf-8");
    load("/live.js", QStringLiteral(":/web/live.js"), "text/javascript; charset=utf-8");
    load("/live.css", QStringLiteral(":/web/live.css"), "text/css; charset=utf-8");
    const QString dygraphs = QString::fromLatin1(kDygraphsFolder);
    load("/dygraph.min.js", dygraphs + QStringLiteral("dygraph.min.js"),
         "text/javascript; charset=utf-8");
    load("/dygraph.min.css", dygraphs + QStringLiteral("dygraph.min.css"),
         "text/css; charset=utf-8");
}

httplib::Server::HandlerResponse HttpService::Impl::handle(const httplib::Request &req,
                                                           httplib::Response &res)
{
    using R = httplib::Server::HandlerResponse;
    if (t_connection)
        t_connection->handled = true;
    // A body is never read: the bytes left would be taken for the next request.
    const bool hasBody = req.has_header("Transfer-Encoding") ||
                         (req.has_header("Content-Length") &&
                          req.get_header_value("Content-Length") != "0");
    if (hasBody && t_connection)
        t_connection->closeAfter = true;
    if (hasBody)
        res.set_header("Connection", "close");

    if (req.method == "OPTIONS" && !options.allowOrigin.isEmpty() && !hasBody) {
        // A cross-origin page asks first whether it may send its token and Last-Event-ID.
        res.status = 204;
        res.set_header("Access-Control-Allow-Methods", "GET, HEAD");
        res.set_header("Access-Control-Allow-Headers", "Authorization, Last-Event-ID");
        res.set_header("Access-Control-Max-Age", "600");
        return R::Handled;
    }
    // HEAD: the library sends the head of the answer a GET would have.
    if (req.method != "GET" && req.method != "HEAD") {
        res.set_header("Allow", "GET, HEAD");
        fail(res, 405, "only GET and HEAD are served");
        return R::Handled;
    }
    if (hasBody) {
        fail(res, 413, "a request here carries no body");
        return R::Handled;
    }
    // The page's own files hold no reading and are the same in every copy of the program. They
    // go without the token: a browser cannot add it to the page's <script> and <link> requests.
    // The page carries the token of its address on to every request for readings.
    const bool pageFile = files.count(req.path) != 0;
    if (options.token.isEmpty()) {
        if (loopback && !hostIsLocal(req.get_header_value("Host"))) {
            fail(res, 421, "this server answers only to its own address");
            return R::Handled;
        }
    } else if (!pageFile) {
        QByteArray given;
        const std::string authorization = req.get_header_value("Authorization");
        if (authorization.size() > 7 &&
            QByteArray::fromStdString(authorization.substr(0, 7)).toLower() == "bearer ")
            given = QByteArray::fromStdString(authorization.substr(7)).trimmed();
        else if (req.has_param("token"))
            given = QByteArray::fromStdString(req.get_param_value("token"));
        if (!sameToken(given, options.token)) {
            res.set_header("WWW-Authenticate", "Bearer");
            fail(res, 401, given.isEmpty() ? "a token is needed" : "wrong token");
            return R::Handled;
        }
    }

    const std::string &path = req.path;
    if (path == "/events") {
        events(req, res);
    } else if (path == "/api/readings") {
        qint64 since = -1;
        if (req.has_param("since") && !parseNumber(req.get_param_value("since"), &since)) {
            fail(res, 400, "since takes a record number, a whole number from 0 up");
            return R::Handled;
        }
        const qint64 from = since < 0 ? feed.oldestPlace() : feed.placeAfterNumber(since);
        const LiveFeed::Batch batch = feed.readingsFrom(from);
        std::string body;
        body.reserve(batch.readings.size() * 200 + 2);
        body += '[';
        for (std::size_t i = 0; i < batch.readings.size(); ++i) {
            if (i)
                body += ',';
            body.append(batch.readings[i].json.constData(),
                        std::size_t(batch.readings[i].json.size()));
        }
        body += ']';
        res.set_content(body, "application/json");
    } else if (path == "/api/status") {
        res.set_content(feed.statusJson(streams).toStdString(), "application/json");
    } else if (path == "/metrics") {
        res.set_content(feed.metricsText(streams).toStdString(),
                        "text/plain; version=0.0.4; charset=utf-8");
    } else if (const auto file = files.find(path); file != files.end()) {
        res.set_content(file->second.content, file->second.type);
    } else if (path == "/dygraph.min.js" || path == "/dygraph.min.css") {
        fail(res, 404, "the chart library is not installed (Debian's libjs-dygraphs)");
    } else {
        fail(res, 404, "no such page");
    }
    return R::Handled;
}

void HttpService::Impl::events(const httplib::Request &req, httplib::Response &res)
{
    // Where the stream starts: after the reading the browser saw last (it sends the last id when
    // it reconnects), or after ?since=N, else with the next reading.
    qint64 from = feed.endPlace();
    const bool reconnected = req.has_header("Last-Event-ID");
    if (reconnected || req.has_param("since")) {
        qint64 no = 0;
        if (!parseNumber(reconnected ? req.get_header_value("Last-Event-ID")
                                     : req.get_param_value("since"),
                         &no)) {
            fail(res, 400, std::string(reconnected ? "Last-Event-ID" : "since") +
                               " takes a record number, a whole number from 0 up");
            return;
        }
        from = feed.placeAfterNumber(no);
    }
    if (req.method == "HEAD") {
        res.set_content("", "text/event-stream");
        return;
    }
    if (++streams > kMaxEventStreams) {
        --streams;
        res.set_header("Retry-After", "5");
        fail(res, 503, "too many event streams open");
        return;
    }

    struct Place
    {
        qint64 next;
        quint64 version = 0;
        bool first = true;
    };
    auto place = std::make_shared<Place>(Place{from});
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, place](size_t, httplib::DataSink &sink) -> bool {
            QByteArray out;
            if (place->first) {
                place->first = false;
                place->version = feed.statusVersion();
                out = "retry: 2000\n\nevent: status\ndata: " + feed.statusJson(streams) + "\n\n";
            }
            const ConnectionState *connection = t_connection;
            while (out.isEmpty()) {
                // Waits a second at a time, to see a client that went away while nothing was
                // sent (its worker and its place among the streams are freed at once).
                bool changed = false;
                for (int waited = 0; waited < kKeepaliveMs && !changed; waited += 1000) {
                    changed = feed.waitForChange(place->next, place->version,
                                                 std::chrono::milliseconds(1000), stop);
                    if (stop || (connection && connection->hungUp()))
                        return false;
                }
                if (!changed)
                    out = ": keepalive\n\n";
                if (const quint64 version = feed.statusVersion(); version != place->version) {
                    place->version = version;
                    out += "event: status\ndata: " + feed.statusJson(streams) + "\n\n";
                }
                const LiveFeed::Batch batch = feed.readingsFrom(place->next, kReadingsPerWrite);
                // Readings it has not had left the buffer: the stream cannot go on whole. The
                // browser reconnects and learns from its last id what it missed.
                if (batch.fellBehind)
                    return false;
                for (const LiveFeed::Reading &r : batch.readings)
                    out += "id: " + QByteArray::number(r.no) + "\ndata: " + r.json + "\n\n";
                place->next = batch.next;
            }
            return sink.write(out.constData(), std::size_t(out.size()));
        },
        [this](bool) { --streams; });
}

HttpService::HttpService(LiveFeed &feed, const HttpOptions &options)
    : d(std::make_unique<Impl>(feed, options))
{
}

HttpService::~HttpService()
{
    stop();
}

QString HttpService::start()
{
    if (d->server)
        return {};
    d->loadFiles();
    d->stop = false;
    d->listenEnded = false;

    // Headers on every answer: nothing kept by a cache, no type guessed, nothing from another
    // site run by the page, and another site's page reads nothing unless allowed.
    httplib::Headers headers{
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"},
        {"Content-Security-Policy",
         "default-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; "
         "frame-ancestors 'none'"},
        {"Referrer-Policy", "no-referrer"},
    };
    if (!d->options.allowOrigin.isEmpty()) {
        headers.emplace("Access-Control-Allow-Origin", d->options.allowOrigin.toStdString());
        headers.emplace("Vary", "Origin");
    }
    std::string refusalHeaders;
    for (const auto &[name, value] : headers)
        refusalHeaders += name + ": " + value + "\r\n";

    auto server = std::make_unique<GuardedServer>(d->stop, refusalHeaders);
    server->set_default_headers(headers);
    server->new_task_queue = [] { return new BoundedPool(kWorkers, kMaxConnections - kWorkers); };
    // SO_REUSEADDR alone, as a restarted server needs: the library's default adds SO_REUSEPORT,
    // with which a second program could bind the same port and get half the connections.
    server->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server->set_keep_alive_max_count(kRequestsPerConnection);
    server->set_keep_alive_timeout(5);
    server->set_read_timeout(kReadTimeoutMs / 1000, 0);
    server->set_write_timeout(kWriteTimeoutMs / 1000, 0);
    server->set_payload_max_length(0);
    server->set_pre_routing_handler(
        [impl = d.get()](const httplib::Request &req, httplib::Response &res) {
            return impl->handle(req, res);
        });
    server->set_exception_handler(
        [](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
            fail(res, 500, "the server could not answer");
        });

    const std::string host = d->options.address.toStdString();
    errno = 0;
    const int bound = d->options.port == 0
                          ? server->bind_to_any_port(host)
                          : (server->bind_to_port(host, d->options.port) ? d->options.port : -1);
    if (bound < 0) {
        const int error = errno;
        const QString where = d->options.address.contains(u':')
                                  ? QStringLiteral("[%1]:%2").arg(d->options.address)
                                  : QStringLiteral("%1:%2").arg(d->options.address);
        return QStringLiteral("cannot serve --http on %1: %2")
            .arg(where.arg(d->options.port),
                 error ? QString::fromLocal8Bit(std::strerror(error))
                       : QStringLiteral("the port is in use or the address is not this "
                                        "machine's"));
    }
    server->widenBacklog();
    d->port = bound;
    d->server = std::move(server);
    d->listener = std::thread([impl = d.get()] {
        impl->server->listen_after_bind();
        impl->listenEnded = true;
    });
    // stop() works only once the server runs.
    while (!d->server->is_running() && !d->listenEnded)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (d->listenEnded) {
        d->listener.join();
        d->server.reset();
        return QStringLiteral("cannot serve --http: the server did not start");
    }
    return {};
}

void HttpService::stop()
{
    if (!d->server)
        return;
    d->stop = true;
    d->feed.wakeAll();
    d->server->stop();
    if (d->listener.joinable())
        d->listener.join();
    d->server.reset();
}

bool HttpService::isRunning() const
{
    return d->server && d->server->is_running();
}

int HttpService::port() const
{
    return d->port;
}

QString HttpService::url() const
{
    return httpoptions::pageUrl(d->options, d->port);
}

int HttpService::eventStreams() const
{
    return d->streams;
}
