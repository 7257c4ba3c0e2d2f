// The per-frame cost of the whole path a reading takes, and how it grows with the history.
//
// Frames go in as the serial driver hands them over, through frame assembly, the decoder, the
// replica, the limits and extremes, the dial, the log step with its grid and the chart, each
// followed by one pass of the event loop so the shown window (grid included) repaints. The median
// cost per frame is taken with 10^3 and with 10^6 readings of history in the chart and the log,
// each as the best of several rounds, so that a burst of load elsewhere on the machine does not
// decide the figure; memory is measured while the history grows.
//
// Run offscreen: QT_QPA_PLATFORM=offscreen build/bench/frames/bench_frames [--http]
// With --http the window serves its live page (on a free port of 127.0.0.1, no client), whose
// recorder takes every frame too.

#include "app/LivePage.h"
#include "app/TFCOMM.h"
#include "bench/PrivateLogTable.h"
#include "log/ReadingRecorder.h"
#include "protocol/DisplayState.h"
#include "ui_FCOMM.h"
#include "views/ReadingChart.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <unistd.h>

namespace {

constexpr int kMeasuredFrames = 200; // per round
constexpr int kRounds = 5;

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

// Volts with one decimal point and the auto-range mark: unit and point stay the same, so no
// frame restarts the chart.
QByteArray frameFor(int i)
{
    protocol::DisplayState s;
    s.digits = QByteArray::number(1000 + (i * 37) % 4000);
    s.point = 3;
    s.annunciators =
        protocol::Annunciator::Volt | protocol::Annunciator::Dc | protocol::Annunciator::AutoRange;
    return s.toFrame();
}

double medianMicroseconds(TFCOMM &w, int firstFrame)
{
    std::vector<double> costs;
    costs.reserve(kMeasuredFrames);
    QElapsedTimer timer;
    for (int i = 0; i < kMeasuredFrames; ++i) {
        const QByteArray frame = frameFor(firstFrame + i);
        timer.start();
        w.meterRun().receiveBytes(frame);
        QCoreApplication::processEvents();
        costs.push_back(double(timer.nsecsElapsed()) / 1000.0);
    }
    std::nth_element(costs.begin(), costs.begin() + costs.size() / 2, costs.end());
    return costs[costs.size() / 2];
}

// The best of kRounds medians; the frames go on from `firstFrame`.
double bestMedianMicroseconds(TFCOMM &w, int firstFrame)
{
    double best = 1e300;
    for (int round = 0; round < kRounds; ++round)
        best = std::min(best, medianMicroseconds(w, firstFrame + round * kMeasuredFrames));
    return best;
}

// History in the chart and in the log, which the grid shows.
void addHistory(TFCOMM &w, qint64 readings)
{
    std::vector<float> values(static_cast<size_t>(readings));
    for (qint64 i = 0; i < readings; ++i)
        values[size_t(i)] = float(1000 + (i * 37) % 4000);
    w.chart()->PlotReadings(values.data(), readings);
    protocol::MeterReading r = w.reading();
    // Into the log alone, as the window's recorder feeds it.
    ReadingRecorder recorder(w.readingLog().rules());
    recorder.addOutput(&w.readingLog());
    for (qint64 i = 0; i < readings; ++i) {
        r.NumericValue = values[size_t(i)];
        r.ValueText = QString::number(values[size_t(i)] / 1000.0, 'f', 3);
        recorder.offer(r, LogSettings());
    }
    QCoreApplication::processEvents();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The window opens its log table from the current folder: a private copy of the shipped one.
    QTemporaryDir folder;
    if (!usePrivateLogTable(folder))
        return 1;
    std::unique_ptr<LivePage> page; // outlives the window, as in the program
    TFCOMM w;
    if (QCoreApplication::arguments().contains(QStringLiteral("--http"))) {
        HttpOptions options;
        options.port = 0;
        page = LivePage::startFor(options, {}, &w);
        if (!page)
            return 1;
        w.setLivePage(page.get());
    }
    w.show();
    w.ui()->limitess->trigger(); // the log takes every reading
    QCoreApplication::processEvents();

    // The first two frames set up the link and the range (the first one restarts the chart).
    for (int i = 0; i < 2; ++i) {
        const QByteArray frame = frameFor(i);
        w.meterRun().receiveBytes(frame);
    }
    QCoreApplication::processEvents();

    addHistory(w, 1000 - w.chart()->pointCount());
    const double small = bestMedianMicroseconds(w, 2);
    std::printf("history %lld readings: median %.1f us per frame\n",
                static_cast<long long>(w.chart()->pointCount() - kRounds * kMeasuredFrames), small);

    const qint64 before = residentBytes();
    const qint64 grow = 1000000 - w.chart()->pointCount();
    addHistory(w, grow);
    const double bytesPerReading = double(residentBytes() - before) / double(grow);
    const double large = bestMedianMicroseconds(w, 2 + kRounds * kMeasuredFrames);
    std::printf("history %lld readings: median %.1f us per frame\n",
                static_cast<long long>(w.chart()->pointCount() - kRounds * kMeasuredFrames), large);

    std::printf("log records: %lld\n",
                static_cast<long long>(w.readingLog().table().recordCount()));
    if (page)
        std::printf("live page: %lld readings\n",
                    static_cast<long long>(
                        QJsonDocument::fromJson(page->feed().statusJson(0)).object()
                            .value(QStringLiteral("readings")).toInteger()));
    std::printf("frames: ratio_1e6_vs_1e3=%.2f us_per_frame=%.0f bytes_per_reading=%.1f\n",
                large / small, std::max(small, large), bytesPerReading);
    return 0;
}
