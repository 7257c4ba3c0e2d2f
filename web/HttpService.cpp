#include "HttpService.h"

#include "LiveFeed.h"

// The one file that includes the library's header (it is large, and slow to compile).
#include <httplib.h>

// GuardedServer below overrides the library's private per-connection loop and reads protected
// members, as this version has them (the build asks pkg-config for it too, web/CMakeLists.txt).
// Before changing the version, go through "Why our own: the HTTP connection loop" in
// docs/DEVELOPING.md against the new library.
#ifndef CPPHTTPLIB_VERSION
#error "httplib.h does not say its version; HttpService.cpp is written against cpp-httplib 0.11.4"
#endif
static_assert(std::string_view(CPPHTTPLIB_VERSION) == "0.11.4",
              "HttpService.cpp overrides cpp-httplib 0.11.4's private connection loop: see "
              "\"Why our own: the HTTP connection loop\" in docs/DEVELOPING.md");

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Where the page's chart library is installed (Debian's libjs-dygraphs).
constexpr const char *kDygraphsFolder = "/usr/share/javascript/dygraphs/";
// A waiting worker looks at the stop flag this often.
constexpr int kSliceMs = 200;
// A worker with nothing to do for this long ends: a page's burst of requests starts a few, and a
// scraper asking every 15 s keeps one.
constexpr int kWorkerIdleMs = 30000;
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

// The connection a worker thread is serving, for one request: what the request handler tells
// the worker.
struct ConnectionState
{
    int sock = -1;
    bool handled = false;    // the request reached the handler (the library refuses some itself)
    bool closeAfter = false; // the request left bytes unread (a body): no next request
};

// What an open event stream sleeps on: the feed's news (a bell on an eventfd of its own) and its
// client's socket, until a keep-alive is due. So a stream's thread wakes when there is something
// to send, a keep-alive to send, a client gone, or the server stopping, and at no other time.
class Doorbell
{
public:
    explicit Doorbell(LiveFeed &feed) : m_feed(feed)
    {
        m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_fd >= 0)
            m_bell = feed.addBell([fd = m_fd] {
                const std::uint64_t one = 1;
                [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
            });
    }
    ~Doorbell()
    {
        if (m_fd < 0)
            return;
        m_feed.removeBell(m_bell);
        ::close(m_fd);
    }
    Doorbell(const Doorbell &) = delete;
    Doorbell &operator=(const Doorbell &) = delete;

    // False where the system gave no descriptor for it.
    bool ok() const { return m_fd >= 0; }

    enum class Woken
    {
        Rang,     // news, or the server stopping: look
        TimedOut, // a keep-alive is due
        HungUp,   // the client closed its end, or the connection broke
    };
    // Sleeps until one of them, `until` at the latest.
    Woken wait(int sock, Clock::time_point until)
    {
        for (;;) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0)
                return Woken::TimedOut;
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {sock, POLLRDHUP, 0}};
            const int ready =
                ::poll(fds, 2, int(std::min<long long>(left, std::numeric_limits<int>::max())));
            if (ready < 0 && errno != EINTR)
                return Woken::HungUp;
            if (ready <= 0)
                continue;
            if (fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))
                return Woken::HungUp;
            if (fds[0].revents) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t n = ::read(m_fd, &count, sizeof count);
                return Woken::Rang;
            }
        }
    }

private:
    LiveFeed &m_feed;
    int m_fd = -1;
    int m_bell = -1;
};
thread_local ConnectionState *t_connection = nullptr;

void closeConnection(int sock)
{
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
}

// Sends what the socket takes at once, and no more: the thread of the waiting room never waits
// for one client. A short answer into a socket that has sent nothing back yet always fits.
void sendNow(int sock, const std::string &text)
{
    [[maybe_unused]] const ssize_t n =
        ::send(sock, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// The limits on a request's head, kept as its bytes arrive: the library reads a head whole, into
// memory, before any handler sees it, so it is here that a request line or header line over
// kMaxLineBytes, more than kMaxHeaders header lines, or a head over kMaxHeadBytes in all is
// refused, before memory grows.
class HeadScanner
{
public:
    // Looks at the next `n` bytes; returns how many of them belong to the head (all of them
    // until it is whole or refused).
    std::size_t scan(const char *bytes, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i) {
            if (m_whole || m_refusal)
                return i;
            if (++m_bytes > HttpService::kMaxHeadBytes) {
                m_refusal = 431;
                return i;
            }
            const char c = bytes[i];
            if (c == '\n') {
                // The library takes only CR LF as a line end: the head ends at "\r\n" alone.
                if (m_lineIsCr && m_lineBytes == 1) {
                    m_whole = true;
                    return i + 1;
                }
                if (++m_lines > 1 + HttpService::kMaxHeaders) {
                    m_refusal = 431;
                    return i;
                }
                m_lineBytes = 0;
                m_lineIsCr = false;
            } else {
                m_lineIsCr = m_lineBytes == 0 && c == '\r';
                if (++m_lineBytes > HttpService::kMaxLineBytes) {
                    m_refusal = m_lines == 0 ? 414 : 431;
                    return i;
                }
            }
        }
        return n;
    }
    bool whole() const { return m_whole; }
    // The status the head is refused with, or 0.
    int refusal() const { return m_refusal; }

private:
    int m_bytes = 0;
    int m_lineBytes = 0;
    bool m_lineIsCr = false;
    int m_lines = 0;
    bool m_whole = false;
    int m_refusal = 0;
};

// The worker threads, started as requests come for them, up to a bound, and ended after
// kWorkerIdleMs with nothing to do: an idle server holds none, one browser with its event stream
// a few. (The library's pool starts all of them at once, and keeps them.)
class Workers
{
public:
    explicit Workers(int most) : m_most(most) {}
    ~Workers() { shutdown(); }
    Workers(const Workers &) = delete;
    Workers &operator=(const Workers &) = delete;

    // Runs `job` on a worker: an idle one, else a new one while fewer than the bound run, else
    // the first to be free. False where no worker runs and none could be started (the system
    // refused a thread), or after shutdown(): the job is not run.
    bool enqueue(std::function<void()> job)
    {
        std::list<std::thread> ended;
        bool taken = true;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            ended.swap(m_ended);
            if (m_shutdown)
                return false;
            m_jobs.push_back(std::move(job));
            // An idle worker takes one job each: a thread is started only for a job none takes.
            if (m_idle < int(m_jobs.size()) && int(m_threads.size()) < m_most) {
                try {
                    m_threads.emplace_back();
                    const auto self = std::prev(m_threads.end());
                    *self = std::thread([this, self] { run(self); });
                } catch (const std::system_error &) {
                    m_threads.pop_back();
                    if (m_threads.empty()) {
                        m_jobs.pop_back();
                        taken = false;
                    } else {
                        m_ready.notify_one();
                    }
                }
            } else {
                m_ready.notify_one();
            }
        }
        for (std::thread &t : ended)
            t.join();
        return taken;
    }

    // Runs the jobs given, then ends every worker. Once only.
    void shutdown()
    {
        std::list<std::thread> threads;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_shutdown = true;
            threads.swap(m_threads);
            threads.splice(threads.end(), m_ended);
        }
        m_ready.notify_all();
        for (std::thread &t : threads)
            t.join();
    }

private:
    void run(std::list<std::thread>::iterator self)
    {
        pthread_setname_np(pthread_self(), "http-worker");
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (m_jobs.empty()) {
                if (m_shutdown)
                    return;
                ++m_idle;
                const bool woken =
                    m_ready.wait_for(lock, std::chrono::milliseconds(kWorkerIdleMs),
                                     [this] { return !m_jobs.empty() || m_shutdown; });
                --m_idle;
                if (!woken) {
                    // Its thread is joined by the next enqueue() or by shutdown(); nothing of
                    // the pool is touched once the lock is let go.
                    m_ended.splice(m_ended.end(), m_threads, self);
                    return;
                }
                continue;
            }
            std::function<void()> job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            job();
            job = nullptr; // what the job holds goes before the lock is taken again
            lock.lock();
        }
    }

    const int m_most;
    std::mutex m_mutex;
    std::condition_variable m_ready; // a job came, or the pool shuts down
    std::deque<std::function<void()>> m_jobs;
    std::list<std::thread> m_threads; // running
    std::list<std::thread> m_ended;   // ended, to be joined
    int m_idle = 0;                   // workers waiting for a job
    bool m_shutdown = false;
};

// A connection without a whole request head: new, between two requests, or with a head on its
// way. It holds a descriptor and its bytes so far, and no thread.
struct Waiting
{
    int sock = -1;
    std::string bytes;         // of the next request, as far as they came (and what follows)
    std::size_t scanned = 0;   // of `bytes`, by `head`
    HeadScanner head;
    Clock::time_point since;     // taken in, or back from its last request
    Clock::time_point firstByte; // of the head, once `bytes` holds any
    int served = 0;              // requests answered on it
};

// Where every connection waits for its next request's head, on one thread of its own, and goes to
// a worker only once that head is whole. A worker is a thread, of which there are few; a
// connection that sends nothing, or its head a byte at a time, would hold one for the whole time
// allowed (so a few hundred such connections once took every worker, and the page's users got
// 503). Here it holds a descriptor and a buffer only, for a bounded time, and when the room is
// full the oldest goes to make room for the newcomer: a client that sends its request at once is
// served, however many connections hold the room.
class WaitingRoom
{
public:
    using Serve = std::function<void(Waiting &)>;

    WaitingRoom(const std::atomic<bool> &stop, std::string refusalHeaders, Serve serve)
        : m_stop(stop), m_refusalHeaders(std::move(refusalHeaders)), m_serve(std::move(serve)),
          m_pool(HttpService::kWorkers)
    {
        m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_thread = std::thread([this] { run(); });
    }
    ~WaitingRoom()
    {
        shutdown();
        if (m_wake >= 0)
            ::close(m_wake);
    }
    WaitingRoom(const WaitingRoom &) = delete;
    WaitingRoom &operator=(const WaitingRoom &) = delete;

    // A connection just accepted (on the listening thread). Waits while kMaxArriving wait to be
    // taken in: the room's thread takes them all at each turn, so only a machine too busy to run
    // it makes the listening thread wait, and the next connections wait in the system's queue
    // meanwhile, holding no descriptor.
    void admit(int sock)
    {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_roomy.wait(lock, [this] {
                return m_closed || int(m_entering.size()) < HttpService::kMaxArriving;
            });
        }
        Waiting w;
        w.sock = sock;
        enter(std::move(w));
    }
    // A connection whose request was answered, with what it sent past that request (on a worker).
    void giveBack(Waiting &&w)
    {
        w.scanned = 0;
        w.head = HeadScanner();
        enter(std::move(w));
    }
    // Closes every waiting connection, then lets the workers finish (the stop flag ends what
    // they serve). Once only.
    void shutdown()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closed)
                return;
            m_closed = true;
        }
        m_roomy.notify_all();
        wake();
        m_thread.join();
        m_pool.shutdown();
    }

private:
    void enter(Waiting &&w)
    {
        w.since = Clock::now();
        if (!w.bytes.empty())
            w.firstByte = w.since;
        bool taken = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_closed) {
                m_entering.push_back(std::move(w));
                taken = true;
            }
        }
        if (taken)
            wake();
        else
            closeConnection(w.sock);
    }

    void wake()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    }

    std::string answer(int status, const char *reason, const char *extra = "") const
    {
        return "HTTP/1.1 " + std::to_string(status) + ' ' + reason +
               "\r\nConnection: close\r\nContent-Length: 0\r\n" + extra + m_refusalHeaders +
               "\r\n";
    }

    // Made room for a newer one, or over the bound of connections in work. A connection that
    // had begun a request is told why; an idle one is closed, as a browser expects of an idle
    // connection (it opens another when it needs one).
    void drop(Waiting &w)
    {
        if (!w.bytes.empty())
            sendNow(w.sock, answer(503, "Service Unavailable", "Retry-After: 5\r\n"));
        closeConnection(w.sock);
        w.sock = -1;
    }

    // Looks at the bytes not yet looked at: a head refused is answered and closed, a head whole
    // goes to a worker.
    void progress(Waiting &w)
    {
        if (w.scanned < w.bytes.size())
            w.scanned += w.head.scan(w.bytes.data() + w.scanned, w.bytes.size() - w.scanned);
        if (const int status = w.head.refusal()) {
            sendNow(w.sock, answer(status, reasonOf(status)));
            closeConnection(w.sock);
            w.sock = -1;
        } else if (w.head.whole()) {
            dispatch(w);
        }
    }

    void dispatch(Waiting &w)
    {
        if (m_stop) {
            closeConnection(w.sock);
            w.sock = -1;
            return;
        }
        // Every worker busy (event streams hold theirs) and the queue for them full: this
        // request is refused, not the ones already in work.
        if (m_busy >= HttpService::kWorkers + HttpService::kMaxQueued) {
            drop(w);
            return;
        }
        ++m_busy;
        auto job = std::make_shared<Waiting>(std::move(w));
        w.sock = -1;
        const bool taken = m_pool.enqueue([this, job] {
            m_serve(*job);
            --m_busy;
        });
        if (!taken) {
            --m_busy;
            drop(*job);
        }
    }

    // Reads what has come, as far as the head goes.
    void receive(Waiting &w)
    {
        char buffer[4096];
        while (w.sock >= 0) {
            const ssize_t n = ::recv(w.sock, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                if (w.bytes.empty())
                    w.firstByte = Clock::now();
                w.bytes.append(buffer, std::size_t(n));
                progress(w);
                if (std::size_t(n) < sizeof buffer)
                    return;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            closeConnection(w.sock); // the client closed, or the connection broke
            w.sock = -1;
        }
    }

    void run()
    {
        pthread_setname_np(pthread_self(), "http-room");
        std::deque<Waiting> room; // the oldest first
        std::vector<pollfd> fds;
        auto compact = [&room] {
            room.erase(std::remove_if(room.begin(), room.end(),
                                      [](const Waiting &w) { return w.sock < 0; }),
                       room.end());
        };
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_closed)
                    break;
                for (Waiting &w : m_entering)
                    room.push_back(std::move(w));
                m_entering.clear();
            }
            m_roomy.notify_all();
            // Full: the oldest make room. The newcomers have had no time yet to send their
            // requests, the oldest have had the most; one that sends its request at once is
            // read (below) before as many newer ones as the room holds have come after it.
            while (int(room.size()) > HttpService::kMaxWaiting) {
                drop(room.front());
                room.pop_front();
            }
            // Time allowed: a head gets kReadTimeoutMs from its first byte (408 after); a
            // connection with nothing sent gets as long for its first byte, but only
            // kIdleWhenCrowdedMs while the room is more than half full, so that idle
            // connections leave before they have to be pushed out.
            const auto now = Clock::now();
            const bool crowded = int(room.size()) > HttpService::kMaxWaiting / 2;
            const auto idleLimit = std::chrono::milliseconds(
                crowded ? HttpService::kIdleWhenCrowdedMs : HttpService::kReadTimeoutMs);
            auto next = now + std::chrono::milliseconds(HttpService::kReadTimeoutMs);
            for (Waiting &w : room) {
                progress(w); // a connection back from a request may bring the next one whole
                if (w.sock < 0)
                    continue;
                const auto deadline =
                    w.bytes.empty()
                        ? w.since + idleLimit
                        : w.firstByte + std::chrono::milliseconds(HttpService::kReadTimeoutMs);
                if (deadline <= now) {
                    if (!w.bytes.empty())
                        sendNow(w.sock, answer(408, reasonOf(408)));
                    closeConnection(w.sock);
                    w.sock = -1;
                    continue;
                }
                next = std::min(next, deadline);
            }
            compact();

            fds.clear();
            fds.push_back(pollfd{m_wake, POLLIN, 0});
            for (const Waiting &w : room)
                fds.push_back(pollfd{w.sock, POLLIN, 0});
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
            const int ready = ::poll(fds.data(), fds.size(), int(std::max<long long>(wait, 1)));
            if (ready <= 0)
                continue;
            if (fds[0].revents) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t n = ::read(m_wake, &count, sizeof count);
            }
            for (std::size_t i = 1; i < fds.size(); ++i)
                if (fds[i].revents)
                    receive(room[i - 1]);
            compact();
        }
        for (Waiting &w : room)
            if (w.sock >= 0)
                closeConnection(w.sock);
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Waiting &w : m_entering)
            closeConnection(w.sock);
        m_entering.clear();
    }

    const std::atomic<bool> &m_stop;
    const std::string m_refusalHeaders;
    const Serve m_serve;
    Workers m_pool;
    std::atomic<int> m_busy{0}; // connections given to the workers, served or queued
    int m_wake = -1;
    std::mutex m_mutex;
    std::deque<Waiting> m_entering; // under m_mutex
    std::condition_variable m_roomy; // m_entering has room, or the room closed
    bool m_closed = false;          // under m_mutex
    std::thread m_thread;
};

// The socket of one connection as the library reads and writes it, for one request: the bytes
// the waiting room read first (the head whole), then the socket. Every wait has a time limit and
// looks at the stop flag.
class GuardedStream final : public httplib::Stream
{
public:
    GuardedStream(int sock, const std::atomic<bool> &stop, std::string bytes)
        : m_sock(sock), m_stop(stop), m_buffer(std::move(bytes))
    {
    }

    // What was read past the request: the start of the next one.
    std::string leftover() const { return m_buffer.substr(m_pos); }

    bool is_readable() const override { return m_pos < m_buffer.size() || waitForBytes(); }
    bool is_writable() const override { return waitForRoom(); }

    ssize_t read(char *ptr, size_t size) override
    {
        if (m_pos == m_buffer.size()) {
            if (!waitForBytes())
                return -1;
            m_buffer.resize(4096);
            m_pos = 0;
            ssize_t n;
            do
                n = ::recv(m_sock, m_buffer.data(), m_buffer.size(), 0);
            while (n < 0 && errno == EINTR);
            m_buffer.resize(std::size_t(std::max<ssize_t>(n, 0)));
            if (n <= 0)
                return n;
        }
        const std::size_t n = std::min(size, m_buffer.size() - m_pos);
        std::memcpy(ptr, m_buffer.data() + m_pos, n);
        m_pos += n;
        return ssize_t(n);
    }

    // Sends what the socket takes, never waiting in send() itself: every wait is waitForRoom(),
    // with its time limit and the stop flag. (A blocking send() of more than fits would wait for
    // the client without either.)
    ssize_t write(const char *ptr, size_t size) override
    {
        for (;;) {
            if (!waitForRoom())
                return -1;
            const ssize_t n = ::send(m_sock, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0)
                return n;
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
                return -1;
        }
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

    // Waits for `events` until `deadline`, looking at the stop flag in between.
    bool waitFor(short events, Clock::time_point deadline) const
    {
        for (;;) {
            if (m_stop)
                return false;
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd fd{m_sock, events, 0};
            const int ready = ::poll(&fd, 1, int(std::min<long long>(left, kSliceMs)));
            if (ready > 0)
                return true; // or an error for the next call to see
            if (ready < 0 && errno != EINTR)
                return false;
        }
    }
    // The head came whole before the worker got the connection; the library reads no further
    // for the requests served here, so this wait is a guard only.
    bool waitForBytes() const
    {
        return waitFor(POLLIN,
                       Clock::now() + std::chrono::milliseconds(HttpService::kReadTimeoutMs));
    }
    // Waits until the client takes bytes again, for the write timeout.
    bool waitForRoom() const
    {
        return waitFor(POLLOUT,
                       Clock::now() + std::chrono::milliseconds(HttpService::kWriteTimeoutMs));
    }

    const int m_sock;
    const std::atomic<bool> &m_stop;
    std::string m_buffer;
    std::size_t m_pos = 0;
};

// The library's server, with its loop over a connection's requests replaced: every connection
// waits for its requests in the WaitingRoom, and a worker serves one whole request at a time,
// read through a GuardedStream. The parsing stays the library's.
class GuardedServer final : public httplib::Server
{
public:
    GuardedServer(const std::atomic<bool> &stop, std::string refusalHeaders)
        : m_stop(stop),
          m_room(stop, std::move(refusalHeaders), [this](Waiting &w) { serve(w); })
    {
    }

    // The library listens with a backlog of 5: a page that opens its files at once, with a
    // scraper and a stream besides, would see connections dropped and retried a second later.
    void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }
    WaitingRoom &room() { return m_room; }

private:
    // On the listening thread, for each connection accepted: it goes to the waiting room.
    bool process_and_close_socket(socket_t sock) override
    {
        m_room.admit(sock);
        return true;
    }

    // On a worker: one request whose head is whole, then the connection back to the room, or
    // closed.
    void serve(Waiting &w)
    {
        ConnectionState state;
        state.sock = w.sock;
        t_connection = &state;
        GuardedStream stream(w.sock, m_stop, std::move(w.bytes));
        bool again = false;
        if (!m_stop) {
            bool closed = false;
            const bool last = w.served + 1 >= kRequestsPerConnection;
            const bool ok = process_request(stream, last, closed, nullptr);
            // A request the library refused itself (one it could not read) ends the connection:
            // what follows it cannot be trusted to start a request.
            again = ok && !closed && !last && !state.closeAfter && state.handled && !m_stop;
        }
        t_connection = nullptr;
        if (!again) {
            closeConnection(w.sock);
            return;
        }
        w.bytes = stream.leftover();
        ++w.served;
        m_room.giveBack(std::move(w));
    }

    const std::atomic<bool> &m_stop;
    WaitingRoom m_room;
};

// The library hands each connection it accepts to a task queue, on the listening thread; this one
// passes it to the waiting room at once, and its end is the room's.
class ToWaitingRoom final : public httplib::TaskQueue
{
public:
    explicit ToWaitingRoom(WaitingRoom &room) : m_room(room) {}
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override { m_room.shutdown(); }

private:
    WaitingRoom &m_room;
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

// A character of a header's name (a token: no space, no separator, no control).
bool isNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// Why the request's end is framed unsafely, or nullptr. Where the client and a proxy before this
// server could read its framing differently, bytes one of them takes for a body are served as a
// request of their own (request smuggling). The library takes a name with a space before the
// colon as another name ("Transfer-Encoding " is no Transfer-Encoding to it), and the first of
// two Content-Length headers: so a name that is not a token, more than one Content-Length, a
// length that is not a number, and a length with a transfer coding are refused, and the
// connection closed after the answer.
const char *unsafeFraming(const httplib::Request &req)
{
    for (const auto &[name, value] : req.headers)
        if (name.empty() || !std::all_of(name.begin(), name.end(), isNameCharacter))
            return "a header name holds a space or a character that no name has";
    const std::size_t lengths = req.get_header_value_count("Content-Length");
    if (lengths > 1)
        return "more than one Content-Length";
    if (lengths == 1) {
        const std::string length = req.get_header_value("Content-Length");
        if (length.empty() ||
            !std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return "Content-Length is not a number";
        if (req.has_header("Transfer-Encoding"))
            return "both Content-Length and Transfer-Encoding";
    }
    return nullptr;
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
    // The page names it; a browser asks for it by this name even where a page does not.
    load("/favicon.ico", QStringLiteral(":/web/favicon.ico"), "image/x-icon");
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
    if (const char *why = unsafeFraming(req)) {
        if (t_connection)
            t_connection->closeAfter = true;
        res.set_header("Connection", "close");
        fail(res, 400, why);
        return R::Handled;
    }
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
        Place(LiveFeed &feed, qint64 from) : next(from), bell(feed) {}
        qint64 next;
        quint64 version = 0;
        bool first = true;
        Clock::time_point keepaliveDue;
        // Hung before the first look at the feed: news after that look rings it.
        Doorbell bell;
    };
    auto place = std::make_shared<Place>(feed, from);
    if (!place->bell.ok()) {
        --streams;
        res.set_header("Retry-After", "5");
        fail(res, 503, "the server has no descriptor left for another event stream");
        return;
    }
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
            const int sock = t_connection ? t_connection->sock : -1;
            while (out.isEmpty()) {
                if (stop)
                    return false;
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
                if (!out.isEmpty())
                    break;
                // Nothing to send: sleeps until there is, a keep-alive is due, or the client
                // goes away (its worker and its place among the streams are freed at once).
                switch (place->bell.wait(sock, place->keepaliveDue)) {
                case Doorbell::Woken::Rang:
                    break;
                case Doorbell::Woken::TimedOut:
                    out = ": keepalive\n\n";
                    break;
                case Doorbell::Woken::HungUp:
                    return false;
                }
            }
            place->keepaliveDue = Clock::now() + std::chrono::milliseconds(kKeepaliveMs);
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
    server->new_task_queue = [room = &server->room()] { return new ToWaitingRoom(*room); };
    // SO_REUSEADDR alone, as a restarted server needs: the library's default adds SO_REUSEPORT,
    // with which a second program could bind the same port and get half the connections.
    server->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Only what the answers' Keep-Alive header tells the client ("timeout=5, max=100"): the
    // waiting room is what closes an idle connection, and serve() what ends one after
    // kRequestsPerConnection. The library's read and write time limits are left alone: they act
    // in its own loop, replaced, and as the sockets' SO_RCVTIMEO and SO_SNDTIMEO, which never
    // come into play (every recv() follows a poll() that found bytes, every send() is
    // MSG_DONTWAIT); its limit on a body acts only where it reads one, and no request here gets
    // that far (the pre-routing handler answers every request).
    server->set_keep_alive_max_count(kRequestsPerConnection);
    server->set_keep_alive_timeout(kReadTimeoutMs / 1000);
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
        pthread_setname_np(pthread_self(), "http-listen");
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
    d->feed.ringAll();
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
