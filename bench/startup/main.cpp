// Start-up time: from process start to the main window's first paint, against an empty Qt window
// built in the same tree. Both probes run alternately, 8 times each; the medians are compared.
//   startup: window_ms=… empty_ms=… ratio=…
#include "../PrivateLogTable.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Milliseconds until the probe says it painted, or -1.
double timeOneStart(const QString &probe)
{
    QProcess process;
    process.setProgram(probe);
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start();
    while (process.waitForReadyRead(30000)) {
        if (process.readAll().contains("painted")) {
            const double ms = clock.nsecsElapsed() / 1e6;
            process.waitForFinished(10000);
            return ms;
        }
    }
    process.kill();
    process.waitForFinished();
    return -1;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString dir = QCoreApplication::applicationDirPath();
    const QString window = dir + QStringLiteral("/bench_startup_window");
    const QString empty = dir + QStringLiteral("/bench_startup_empty");
    // The window opens its log table from the current folder.
    QTemporaryDir folder;
    if (!folder.isValid() || !usePrivateLogTable(folder))
        return 1;
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    constexpr int kRuns = 8;
    std::vector<double> windowMs, emptyMs;
    timeOneStart(empty); // warms the file cache for both
    timeOneStart(window);
    for (int i = 0; i < kRuns; ++i) {
        const double w = timeOneStart(window);
        const double e = timeOneStart(empty);
        if (w < 0 || e < 0) {
            std::fprintf(stderr, "a probe did not paint\n");
            return 1;
        }
        windowMs.push_back(w);
        emptyMs.push_back(e);
    }
    const double w = median(windowMs), e = median(emptyMs);
    std::printf("startup: window_ms=%.1f empty_ms=%.1f ratio=%.2f\n", w, e, w / e);
    return 0;
}
