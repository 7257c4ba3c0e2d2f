// bench_http: what the live page costs the thread that records the readings. A ReadingRecorder
// whose only output is the page's LiveFeed takes readings while 0, 1 and 50 real HTTP clients
// (threads with plain sockets on 127.0.0.1) read /events from the HttpService; the median cost
// of one offer() is compared with the one without clients. A last run has one of the 50 clients
// stop reading: the server must drop it without the recorder noticing.
//
//   bench_http [READINGS]     readings per round, default 2000
//
// Readings are offered every millisecond (the meter sends about 17 a second), so that the
// clients have the time to take each one, as they would at the meter's pace; only offer()
// itself is timed. The medians are the best of a few rounds, so that a burst of load elsewhere
// on the machine does not decide them; with a stalled client, the worst of twice as many rounds
// (over 5 s, the time the server gives a client that takes no bytes). The last line reads:
//   http: ratio_1=<a> ratio_50=<b> ratio_50_one_stopped=<c> rss_mb=<d>

#include "log/LogRules.h"
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

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kRounds = 3;

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
    // The server ended the stream (the stalled client, once dropped).
    bool ended() const { return m_ended; }

private:
    void run()
    {
        char buffer[65536];
        QByteArray tail;
        while (m_ok && !m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            if (m_stall && m_sawAnswer)
                continue; // stops reading: the server is left to find out
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                m_ended = true;
                return;
            }
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
    // The median cost of one offer() over `readings`, in microseconds.
    double medianMicroseconds(int readings)
    {
        std::vector<double> costs;
        costs.reserve(size_t(readings));
        QElapsedTimer timer;
        for (int i = 0; i < readings; ++i) {
            const protocol::MeterReading r = readingFor(next++);
            timer.start();
            recorder.offer(r, settings);
            costs.push_back(double(timer.nsecsElapsed()) / 1000.0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::nth_element(costs.begin(), costs.begin() + costs.size() / 2, costs.end());
        return costs[costs.size() / 2];
    }
    double bestMedianMicroseconds(int readings)
    {
        double best = std::numeric_limits<double>::max();
        for (int round = 0; round < kRounds; ++round)
            best = std::min(best, medianMicroseconds(readings));
        return best;
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int readings = argc > 1 ? std::max(100, atoi(argv[1])) : 2000;

    Recording recording;
    HttpOptions options;
    options.port = 0;
    HttpService service(recording.feed, options);
    if (const QString error = service.start(); !error.isEmpty()) {
        std::fprintf(stderr, "bench_http: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("readings per round: %d, one every ms, best median of %d rounds\n", readings,
                kRounds);
    std::printf("rss before the first reading: %.1f MB\n", residentMb());

    // The ring fills first, so that every run below costs what a long run costs.
    recording.medianMicroseconds(LiveFeed::kDefaultCapacity / 4);
    const double none = recording.bestMedianMicroseconds(readings);
    const double rssNone = residentMb();
    std::printf("0 clients:   median %.2f us per reading, rss %.1f MB\n", none, rssNone);

    auto withClients = [&](int count, bool oneStalls, double *rss, qint64 *fewest,
                           bool *stalledDropped) {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < count; ++i)
            clients.push_back(std::make_unique<Client>(service.port(), oneStalls && i == 0));
        if (!waitForStreams(service, count) ||
            !std::all_of(clients.begin(), clients.end(), [](const auto &c) { return c->ok(); })) {
            std::fprintf(stderr, "bench_http: %d event streams did not open\n", count);
            std::exit(1);
        }
        std::vector<qint64> before;
        for (const auto &c : clients)
            before.push_back(c->readings());
        // While one client stalls, every round counts: the worst is taken, not the best, so
        // that the time before the server drops it is in the figure.
        double median = 0;
        if (oneStalls) {
            for (int round = 0; round < kRounds * 2; ++round)
                median = std::max(median, recording.medianMicroseconds(readings));
        } else {
            median = recording.bestMedianMicroseconds(readings);
        }
        *rss = residentMb();
        // Let the readers catch up, then see what each got.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        *fewest = std::numeric_limits<qint64>::max();
        for (size_t i = oneStalls ? 1 : 0; i < clients.size(); ++i)
            *fewest = std::min(*fewest, clients[i]->readings() - before[i]);
        if (stalledDropped)
            *stalledDropped = service.eventStreams() == count - 1;
        return median;
    };

    double rssOne = 0, rss50 = 0, rssStalled = 0;
    qint64 gotOne = 0, got50 = 0, gotStalled = 0;
    bool dropped = false;
    const double one = withClients(1, false, &rssOne, &gotOne, nullptr);
    std::printf("1 client:    median %.2f us per reading, rss %.1f MB, the client got %lld of %d\n",
                one, rssOne, static_cast<long long>(gotOne), readings * kRounds);
    const double fifty = withClients(50, false, &rss50, &got50, nullptr);
    std::printf("50 clients:  median %.2f us per reading, rss %.1f MB, each got at least %lld of "
                "%d\n",
                fifty, rss50, static_cast<long long>(got50), readings * kRounds);
    const double stalled = withClients(50, true, &rssStalled, &gotStalled, &dropped);
    std::printf("50 clients, one stops reading: worst median %.2f us per reading, rss %.1f MB, the "
                "others got at least %lld of %d, the stopped one %s\n",
                stalled, rssStalled, static_cast<long long>(gotStalled), readings * kRounds * 2,
                dropped ? "was dropped" : "is still served");
    std::printf("http: ratio_1=%.2f ratio_50=%.2f ratio_50_one_stopped=%.2f rss_mb=%.1f\n",
                one / none, fifty / none, stalled / none,
                std::max({rssNone, rssOne, rss50, rssStalled}));
    service.stop();
    return 0;
}
