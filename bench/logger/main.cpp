// bench_logger: how many frames a second vorlatt-log takes from a pseudo-terminal into a tsv
// file, and how much memory it holds after 10^6 readings (it keeps none of them).
//
//   bench_logger [READINGS]     default 1000000
//
// The frames are written as fast as the pseudo-terminal takes them; the meter itself sends 17 a
// second. The last line reads: logger: frames_per_s=<a> rss_mb_after_1e6=<b>

#include "bench/LoggerBench.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

// Counts the lines of a growing file by reading only what was added.
class LineCounter
{
public:
    explicit LineCounter(const QString &path) : m_file(path) {}
    qint64 update()
    {
        if (!m_file.isOpen() && !m_file.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray added = m_file.readAll();
        m_lines += added.count('\n');
        return m_lines;
    }

private:
    QFile m_file;
    qint64 m_lines = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 readings = argc > 1 ? std::atoll(argv[1]) : 1000000;
    QTemporaryDir dir;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (!dir.isValid() || master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::fprintf(stderr, "bench_logger: no pseudo-terminal\n");
        return 1;
    }
    const QString out = dir.filePath(QStringLiteral("bench.tsv"));
    QProcess logger;
    logger.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    logger.start(QStringLiteral(VORLATT_LOG),
                 {QStringLiteral("--port"), QString::fromLocal8Bit(::ptsname(master)),
                  QStringLiteral("--quiet"), QStringLiteral("--output"), out});
    LineCounter lines(out);
    // The header is written once the output is open; the port is opened next.
    while (lines.update() < 1 && logger.state() != QProcess::NotRunning)
        QThread::msleep(20);
    QThread::msleep(300);

    const FrameCycle cycle = voltFrameCycle();
    const qint64 perBlock = cycle.frames;

    // The first frame after the port opens lacks the line feed the assembler expects before
    // it, so one lead-in frame goes first and is not counted.
    if (::write(master, cycle.block.constData(), size_t(cycle.frameSize)) <= 0)
        return 1;
    QElapsedTimer timer;
    timer.start();
    double rssEarly = -1; // after about 1% of the readings, to show that memory stays flat
    for (qint64 sent = 0; sent < readings; sent += perBlock) {
        if (rssEarly < 0 && sent >= readings / 100)
            rssEarly = rssMegabytes(logger.processId());
        const QByteArray chunk = cycle.first(std::min(perBlock, readings - sent));
        for (qsizetype done = 0; done < chunk.size();) {
            const ssize_t n =
                ::write(master, chunk.constData() + done, size_t(chunk.size() - done));
            if (n <= 0) {
                std::fprintf(stderr, "bench_logger: write failed\n");
                return 1;
            }
            done += n;
        }
    }
    // Every reading logged: the header plus one line each.
    // Gives up when the file has not grown for 3 s.
    qint64 logged = 0, last = -1;
    QElapsedTimer stalled;
    stalled.start();
    while ((logged = lines.update() - 1) < readings && logger.state() != QProcess::NotRunning &&
           stalled.elapsed() < 3000) {
        if (logged != last) {
            last = logged;
            stalled.restart();
        }
        QThread::msleep(5);
    }
    const double seconds = timer.elapsed() / 1000.0;
    const double rss = rssMegabytes(logger.processId());
    logger.terminate();
    logger.waitForFinished(10000);
    ::close(master);

    std::printf("%lld readings sent, %lld logged in %.1f s\n", readings, logged, seconds);
    std::printf("rss %.1f MB after 1%% of the readings, %.1f MB after all: ratio %.2f\n", rssEarly,
                rss, rss / rssEarly);
    std::printf("logger: frames_per_s=%.0f rss_mb_after_1e6=%.1f\n", logged / seconds, rss);
    return logged == readings ? 0 : 1;
}
