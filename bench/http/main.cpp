// bench_http: what the live page costs the thread that records the readings. A ReadingRecorder
// whose only output is the page's LiveFeed takes readings while 0, 1 and 50 real HTTP clients
// (threads with plain sockets on 127.0.0.1) read /events from the HttpService; the median cost
// of one offer() is compared with the one without clients. A last run has one of the 50 clients
// stop reading: the server must drop it without the recorder noticing.
//
//   bench_http [READINGS [CYCLES]]   readings per round, default 2000; cycles, default 3
//
// Readings are offered every millisecond (the meter sends about 17 a second), so that the
// clients have the time to take each one, as they would at the meter's pace; only offer()
// itself is timed, by the wall clock and by the recording thread's own processor time (which a
// busy machine inflates less). Each figure is the best of a few rounds' medians; with a stalled
// client, of rounds while the server still holds it, after which the readings go on until the
// server has dropped it (it must, once its writes have blocked for 5 s). The last line reads:
//   http: ratio_1=.. ratio_50=.. ratio_50_one_stopped=.. cpu_ratio_1=.. cpu_ratio_50=..
//         cpu_ratio_50_one_stopped=.. rss_mb=.. cycles=..
// each ratio the median over the cycles (see main()).
//
// Then the page under a connection flood: 500 connections that never send a request whole (half
// of them idle, half sending a byte every 2 s), each opened again at once when the server drops
// it, while a client asks for /api/status 100 times, each time on a new connection, with the
// right token where the server wants one (served on 127.0.0.1 without a token, then with one).
// The line for each:
//   http_flood: token=0|1 held=500 answered_within_1s=N/100 answered=N/100 median_ms=..
//               p99_ms=.. max_ms=.. dropped=..
// `bench_http flood` runs this part alone.

#include "log/LogRules.h"
#include "tests/support/RawHttp.h"
#include "log/ReadingRecorder.h"
#include "web/HttpService.h"
#include "web/LiveFeed.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include <time.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kRounds = 5;
constexpr int kMaxStalledRounds = 15;

double residentMb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return double(fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// One event-stream client: connects, asks for /events and reads on, counting the readings, until
// told to stop; or, with `stall`, reads the answer's first bytes and then nothing more.
class Client
{
public:
    Client(int port, bool stall) : m_stall(stall)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (stall) {
            // A small window, so that the server's writes to it block soon.
            const int size = 4096;
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(quint16(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const QByteArray request = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                   "Accept: text/event-stream\r\n\r\n";
        m_ok = ::connect(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
               ::send(m_fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) ==
                   request.size();
        m_thread = std::thread([this] { run(); });
    }
    ~Client()
    {
        m_stop = true;
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
    }
    bool ok() const { return m_ok; }
    qint64 readings() const { return m_readings; }
    // The server answered with a stream (not refused), or ended it.
    bool served() const { return m_served; }
    bool ended() const { return m_ended; }
    // Bytes the system holds for it, not read yet.
    int pending() const
    {
        int bytes = 0;
        ::ioctl(m_fd, FIONREAD, &bytes);
        return bytes;
    }

private:
    void run()
    {
        char buffer[65536];
        QByteArray tail;
        while (m_ok && !m_stop) {
            if (m_stall && m_sawAnswer) {
                // Stops reading (without spinning): the server is left to find out.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                m_ended = true;
                return;
            }
            if (!m_sawAnswer)
                m_served = QByteArray(buffer, int(std::min<ssize_t>(n, 12))) == "HTTP/1.1 200";
            m_sawAnswer = true;
            // "\nid: " starts each reading's event; a marker split between reads is kept.
            tail.append(buffer, n);
            m_readings += tail.count("\nid: ");
            tail = tail.right(4);
        }
    }

    int m_fd = -1;
    bool m_ok = false;
    const bool m_stall;
    bool m_sawAnswer = false;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_served{false};
    std::atomic<qint64> m_readings{0};
    std::thread m_thread;
};

protocol::MeterReading readingFor(int i)
{
    protocol::MeterReading r;
    const int counts = 1000 + (i * 37) % 4000;
    r.ValueText = QString::number(counts / 1000.0, 'f', 3);
    r.NumericValue = counts;
    r.AcDcText = QStringLiteral("DC");
    r.UnitText = QStringLiteral("V");
    r.RangeText = QStringLiteral("AUTO");
    return r;
}

struct Cost
{
    double wall = 0;
    double cpu = 0;
};

double median(std::vector<double> &values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

double threadMicroseconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

struct Recording
{
    LogRules rules;
    LogSettings settings; // Repeat on, no interval
    LiveFeed feed;
    ReadingRecorder recorder{rules};
    int next = 0;

    Recording()
    {
        rules.setLimit(std::numeric_limits<qint32>::max());
        rules.NextRecordNo = 1;
        recorder.addOutput(&feed);
        feed.setSource(QStringLiteral("bench"), QStringLiteral("/dev/null"));
        feed.frameSeen(ReadingRecorder::systemClock());
    }
    // The median cost of one offer() over `readings`, in microseconds: as the clock on the wall
    // sees it, and as the recording thread's own processor time (what it spent itself, the
    // system's work for it included, but not the time other threads held its processor).
    Cost medianMicroseconds(int readings)
    {
        std::vector<double> wall, cpu;
        offer(readings, &wall, &cpu);
        return {median(wall), median(cpu)};
    }
    // Offers `readings`, adding the cost of each to `wall` and `cpu`.
    void offer(int readings, std::vector<double> *wall, std::vector<double> *cpu)
    {
        QElapsedTimer timer;
        for (int i = 0; i < readings; ++i) {
            const protocol::MeterReading r = readingFor(next++);
            const double cpuBefore = threadMicroseconds();
            timer.start();
            recorder.offer(r, settings);
            wall->push_back(double(timer.nsecsElapsed()) / 1000.0);
            cpu->push_back(threadMicroseconds() - cpuBefore);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

bool waitForStreams(const HttpService &service, int streams)
{
    for (int i = 0; i < 1000; ++i) {
        if (service.eventStreams() == streams)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

constexpr int kFloodIdle = 250;
constexpr int kFloodTrickling = 250;
constexpr int kFloodTries = 100;

// The page's users against a flood of connections that ask for nothing (see the top).
bool floodRun(bool token)
{
    LiveFeed feed;
    feed.setSource(QStringLiteral("bench"), QStringLiteral("/dev/null"));
    HttpOptions options;
    options.port = 0;
    if (token)
        options.token = "bench-t0ken";
    HttpService service(feed, options);
    if (const QString error = service.start(); !error.isEmpty()) {
        std::fprintf(stderr, "bench_http: %s\n", qPrintable(error));
        return false;
    }
    const QByteArray authorization = token ? "Authorization: Bearer bench-t0ken\r\n" : "";
    rawhttp::Flood flood(service.port(), kFloodIdle, kFloodTrickling);
    if (!flood.waitUntilOpen()) {
        std::fprintf(stderr, "bench_http: the flood could not open its %d connections (%d open)\n",
                     kFloodIdle + kFloodTrickling, flood.open());
        return false;
    }
    // The flood settles first: the server has seen all of it, tricklers have sent their bytes.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::vector<double> times;
    int answered = 0, inTime = 0;
    for (int i = 0; i < kFloodTries; ++i) {
        QElapsedTimer timer;
        timer.start();
        const rawhttp::Answer a = rawhttp::get(service.port(), "/api/status", authorization);
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        times.push_back(ms);
        if (a.status == 200) {
            ++answered;
            inTime += ms <= 1000 ? 1 : 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::sort(times.begin(), times.end());
    std::printf("http_flood: token=%d held=%d answered_within_1s=%d/%d answered=%d/%d "
                "median_ms=%.1f p99_ms=%.1f max_ms=%.1f dropped=%lld\n",
                token ? 1 : 0, flood.open(), inTime, kFloodTries, answered, kFloodTries,
                times[times.size() / 2], times[times.size() * 99 / 100], times.back(),
                static_cast<long long>(flood.dropped()));
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Each flood connection is a descriptor at both ends, in this one process.
    if (!rawhttp::raiseDescriptorLimit(4 * (kFloodIdle + kFloodTrickling))) {
        std::fprintf(stderr, "bench_http: too few file descriptors allowed (ulimit -n)\n");
        return 1;
    }
    if (argc > 1 && QByteArray(argv[1]) == "flood")
        return floodRun(false) && floodRun(true) ? 0 : 1;
    const int readings = argc > 1 ? std::max(100, atoi(argv[1])) : 2000;

    Recording recording;
    HttpOptions options;
    options.port = 0;
    HttpService service(recording.feed, options);
    if (const QString error = service.start(); !error.isEmpty()) {
        std::fprintf(stderr, "bench_http: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("readings per round: %d, one every ms, the best median of %d rounds\n", readings,
                kRounds);
    std::printf("rss before the first reading: %.1f MB\n", residentMb());

    // The ring fills first, so that every run below costs what a long run costs.
    recording.medianMicroseconds(LiveFeed::kDefaultCapacity / 4);
    // The best median of `rounds` rounds: a burst of load elsewhere on the machine (which is
    // shared) spoils a round, not the figure.
    auto best = [&](int rounds) {
        Cost b{std::numeric_limits<double>::max(), std::numeric_limits<double>::max()};
        for (int round = 0; round < rounds; ++round) {
            const Cost c = recording.medianMicroseconds(readings);
            b = {std::min(b.wall, c.wall), std::min(b.cpu, c.cpu)};
        }
        return b;
    };
    struct Run
    {
        Cost median;
        double rss = 0;
        qint64 fewest = 0; // readings the served clients got, the fewest of them
        int served = 0;
        int rounds = 0;
        bool stalledHeld = false; // through the measured rounds
        bool stalledDropped = false;
    };
    auto withClients = [&](int count, bool oneStalls) {
        Run run;
        // The streams of the last run are over first: the server sees a closed connection when
        // it next writes to it.
        while (service.eventStreams() > 0)
            recording.medianMicroseconds(10);
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < count; ++i) {
            clients.push_back(std::make_unique<Client>(service.port(), oneStalls && i == 0));
            // The one that will stop reading is served for sure: it is the first.
            if (i == 0 && !waitForStreams(service, 1)) {
                std::fprintf(stderr, "bench_http: the first event stream did not open\n");
                std::exit(1);
            }
        }
        // The server serves a bounded number of streams; the clients beyond it are refused.
        run.served = std::min(count, HttpService::kMaxEventStreams);
        if (!waitForStreams(service, run.served) ||
            !std::all_of(clients.begin(), clients.end(), [](const auto &c) { return c->ok(); })) {
            std::fprintf(stderr, "bench_http: %d event streams did not open\n", run.served);
            std::exit(1);
        }
        std::vector<qint64> before;
        for (const auto &c : clients)
            before.push_back(c->readings());
        run.median = best(kRounds);
        run.rounds = kRounds;
        if (oneStalls) {
            // Those rounds ran while the server still held the client that stopped reading (its
            // writes block only once the buffers of the connection are full); the readings go on
            // until the server has dropped it, or until kMaxStalledRounds.
            run.stalledHeld = service.eventStreams() == run.served;
            for (; run.rounds < kMaxStalledRounds && !run.stalledDropped; ++run.rounds) {
                recording.medianMicroseconds(readings);
                run.stalledDropped = service.eventStreams() == run.served - 1;
            }
        }
        if (oneStalls)
            std::printf("the stopped client: %s, %d bytes waiting in its socket\n",
                        clients[0]->served() ? "served" : "refused", clients[0]->pending());
        run.rss = residentMb();
        // Let the readers catch up, then see what each got.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        run.fewest = std::numeric_limits<qint64>::max();
        for (size_t i = oneStalls ? 1 : 0; i < clients.size(); ++i)
            if (clients[i]->served())
                run.fewest = std::min(run.fewest, clients[i]->readings() - before[i]);
        return run;
    };
    auto show = [&](const char *what, const Run &run, int count) {
        std::printf("%s median %.2f us per reading (cpu %.2f us), rss %.1f MB; %d streams served, "
                    "%d refused; each served got at least %lld of %d\n",
                    what, run.median.wall, run.median.cpu, run.rss, run.served, count - run.served,
                    static_cast<long long>(run.fewest), run.rounds * readings);
    };

    // A cycle measures the cost without clients, then with 1, 50, and 50 of which one stops
    // reading, each ratio against the cycle's own figure without clients: the machine's speed
    // drifts over minutes (other work, clock frequency), and a baseline taken once would carry
    // that drift into every ratio. The last line has the median of the cycles' ratios.
    const int cycles = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    std::vector<double> r1, r50, rStalled, c1, c50, cStalled;
    double rss = 0;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        while (service.eventStreams() > 0)
            recording.medianMicroseconds(10);
        const Cost none = best(kRounds);
        const double rssNone = residentMb();
        std::printf("cycle %d\n0 clients:   median %.2f us per reading (cpu %.2f us), rss %.1f MB\n",
                    cycle, none.wall, none.cpu, rssNone);
        const Run one = withClients(1, false);
        show("1 client:   ", one, 1);
        const Run fifty = withClients(50, false);
        show("50 clients: ", fifty, 50);
        const Run stalled = withClients(50, true);
        show("50 clients, one stops reading:", stalled, 50);
        std::printf("the one that stopped reading was %s through the %d rounds measured; %s after "
                    "%d rounds\n",
                    stalled.stalledHeld ? "held" : "NOT held", kRounds,
                    stalled.stalledDropped ? "dropped" : "NOT dropped", stalled.rounds);
        r1.push_back(one.median.wall / none.wall);
        r50.push_back(fifty.median.wall / none.wall);
        rStalled.push_back(stalled.median.wall / none.wall);
        c1.push_back(one.median.cpu / none.cpu);
        c50.push_back(fifty.median.cpu / none.cpu);
        cStalled.push_back(stalled.median.cpu / none.cpu);
        std::printf("cycle %d: ratio_1=%.2f ratio_50=%.2f ratio_50_one_stopped=%.2f\n", cycle,
                    r1.back(), r50.back(), rStalled.back());
        rss = std::max({rss, rssNone, one.rss, fifty.rss, stalled.rss});
    }
    std::printf("http: ratio_1=%.2f ratio_50=%.2f ratio_50_one_stopped=%.2f cpu_ratio_1=%.2f "
                "cpu_ratio_50=%.2f cpu_ratio_50_one_stopped=%.2f rss_mb=%.1f cycles=%d\n",
                median(r1), median(r50), median(rStalled), median(c1), median(c50),
                median(cStalled), rss, cycles);
    service.stop();
    return floodRun(false) && floodRun(true) ? 0 : 1;
}
