// bench_mqtt: how many readings a second vorlatt-log gets through a local Mosquitto broker to a
// subscriber, from frames written to a pseudo-terminal as fast as it takes them, and how much
// memory the logger holds meanwhile. Everything runs on 127.0.0.1: the broker (started here on a
// free port, anonymous, in a temporary folder), the logger (--mqtt, its spool there too) and a
// mosquitto_sub that counts what arrives.
//
//   bench_mqtt [READINGS]     default 100000; gives up when nothing arrives for 10 s
//
// The meter itself sends 17 readings a second. The last line reads:
//   mqtt: readings_per_s=<a> rss_mb=<b>

#include "bench/LoggerBench.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr double kMeterRate = 17;

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(quint16(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t size = sizeof a;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size) == 0;
    ::close(fd);
    return ok ? ntohs(a.sin_port) : 0;
}

bool listening(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

void stop(QProcess &p)
{
    p.terminate();
    if (!p.waitForFinished(10000))
        p.kill();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 readings = argc > 1 ? std::atoll(argv[1]) : 100000;
    QTemporaryDir dir;
    const int port = freePort();
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (!dir.isValid() || port == 0 || master < 0 || ::grantpt(master) != 0 ||
        ::unlockpt(master) != 0) {
        std::fprintf(stderr, "bench_mqtt: no pseudo-terminal or port\n");
        return 1;
    }

    QFile conf(dir.filePath(QStringLiteral("mosquitto.conf")));
    if (!conf.open(QIODevice::WriteOnly) ||
        conf.write("listener " + QByteArray::number(port) + " 127.0.0.1\n" +
                   "allow_anonymous true\npersistence false\nmax_queued_messages 0\n" + "user " +
                   QByteArray(::getpwuid(::getuid())->pw_name) + "\n") <= 0) {
        std::fprintf(stderr, "bench_mqtt: cannot write the broker's configuration\n");
        return 1;
    }
    conf.close();
    QProcess broker;
    broker.setStandardOutputFile(QProcess::nullDevice());
    broker.setStandardErrorFile(QProcess::nullDevice());
    broker.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf.fileName()});
    for (int i = 0; i < 200 && !listening(port); ++i)
        QThread::msleep(50);
    if (!listening(port)) {
        std::fprintf(stderr, "bench_mqtt: the broker did not start (is mosquitto installed?)\n");
        return 1;
    }

    QProcess sub;
    sub.start(QStringLiteral("mosquitto_sub"),
              {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
               QString::number(port), QStringLiteral("-q"), QStringLiteral("1"),
               QStringLiteral("-t"), QStringLiteral("bench/+/reading")});
    QThread::msleep(500);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_STATE_HOME"), dir.path());
    QProcess logger;
    logger.setProcessEnvironment(env);
    logger.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    logger.start(QStringLiteral(VORLATT_LOG),
                 {QStringLiteral("--port"), QString::fromLocal8Bit(::ptsname(master)),
                  QStringLiteral("--quiet"), QStringLiteral("--mqtt"),
                  QStringLiteral("mqtt://127.0.0.1:%1/bench").arg(port),
                  QStringLiteral("--mqtt-id"), QStringLiteral("flood")});
    if (!logger.waitForStarted(10000) || !sub.waitForStarted(10000)) {
        std::fprintf(stderr, "bench_mqtt: the logger or the subscriber did not start\n");
        return 1;
    }
    QThread::msleep(800);

    const FrameCycle cycle = voltFrameCycle();
    // A lead-in frame, not counted: the port opens in the middle of a frame.
    if (::write(master, cycle.block.constData(), size_t(cycle.frameSize)) <= 0)
        return 1;
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    QElapsedTimer timer;
    timer.start();
    QElapsedTimer stalled;
    stalled.start();
    qint64 sent = 0, received = 0, pos = 0;
    double rssPeak = 0; // sampled five times a second
    QElapsedTimer sampled;
    sampled.start();
    QByteArray chunk;
    while (received < readings && stalled.elapsed() < 10000 &&
           logger.state() == QProcess::Running) {
        // Frames while the pseudo-terminal takes them, lines as they come.
        if (chunk.isEmpty() && sent < readings) {
            const qint64 n = std::min<qint64>(cycle.frames, readings - sent);
            chunk = cycle.first(n);
            sent += n;
            pos = 0;
        }
        if (!chunk.isEmpty()) {
            const ssize_t n = ::write(master, chunk.constData() + pos, size_t(chunk.size() - pos));
            if (n > 0 && (pos += n) == chunk.size())
                chunk.clear();
        }
        if (sub.waitForReadyRead(chunk.isEmpty() ? 20 : 0)) {
            const qint64 got = sub.readAllStandardOutput().count('\n');
            if (got > 0) {
                received += got;
                stalled.restart();
            }
        }
        if (sampled.elapsed() >= 200) {
            rssPeak = std::max(rssPeak, rssMegabytes(logger.processId()));
            sampled.restart();
        }
    }
    const double seconds = timer.elapsed() / 1000.0;
    rssPeak = std::max(rssPeak, rssMegabytes(logger.processId()));
    stop(logger);
    stop(sub);
    stop(broker);
    ::close(master);

    const double rate = received / seconds;
    std::printf("%lld readings sent, %lld received through the broker in %.1f s\n", sent, received,
                seconds);
    std::printf("%.0f times the meter's %g readings a second\n", rate / kMeterRate, kMeterRate);
    std::printf("mqtt: readings_per_s=%.0f rss_mb=%.1f\n", rate, rssPeak);
    return received == readings ? 0 : 1;
}
