// The data files and the report with a log of 10^6 records: saving as text and as a Paradox
// table (each against writing the same number of bytes to a file in one go), opening the saved
// table as an old data file and showing it in the grid, rendering the report of the first 10^4
// records to PDF, and opening and paging the preview of a log of 10^5 records.
//
// Run offscreen: QT_QPA_PLATFORM=offscreen build/bench/data/bench_data

#include "bench/PrivateLogTable.h"
#include "log/DataFiles.h"
#include "log/LogGridView.h"
#include "log/LogReport.h"
#include "log/LogTableModel.h"
#include "log/ReadingLog.h"
#include "log/ReadingRecorder.h"
#include "log/ReportPreview.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

#include <unistd.h>

namespace {

constexpr qint64 kRecords = 1000000;
constexpr qint64 kReportRecords = 10000;
constexpr qint64 kPreviewRecords = 100000;
// Times on a shared machine are noisy: each save and each one-go write is timed this often and
// the fastest run counts.
constexpr int kRuns = 3;

void fill(ReadingLog &log, qint64 records)
{
    log.rules().setLimit(ReadingLog::kLimitItems.back());
    // The log alone, as the window's recorder feeds it.
    ReadingRecorder recorder(log.rules());
    recorder.addOutput(&log);
    protocol::MeterReading r{QString(), 0.0f, QStringLiteral("DC"), QStringLiteral("mV"),
                             QStringLiteral("AUTO")};
    for (qint64 i = 0; i < records; ++i) {
        const int counts = int((i * 37) % 12000) - 6000;
        r.NumericValue = float(counts);
        r.ValueText = QString::number(counts / 100.0, 'f', 2);
        recorder.offer(r, LogSettings());
    }
}

double msSince(const QElapsedTimer &t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

// Milliseconds to write `bytes` bytes to a new file in one go and make them durable, as both
// saves do before they report success.
double oneGoMs(const QString &path, qint64 bytes)
{
    const QByteArray data(bytes, 'x');
    double best = 1e300;
    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer t;
        t.start();
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(data) != bytes || !f.flush() ||
            fdatasync(f.handle()) != 0)
            return -1;
        f.close();
        best = std::min(best, msSince(t));
        QFile::remove(path);
    }
    return best;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QTemporaryDir folder;
    if (!usePrivateLogTable(folder))
        return 1;

    ReadingLog log;
    log.cs123(folder.path());
    if (const QString e = log.open({}); !e.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(e));
        return 1;
    }
    log.rules().NextRecordNo = 1;
    fill(log, kRecords);
    DataFiles files(log.session());
    QElapsedTimer t;

    const QString text = folder.filePath(QStringLiteral("run.xls"));
    double textMs = 1e300;
    for (int run = 0; run < kRuns; ++run) {
        t.start();
        const DataFiles::TextResult saved = files.SaveTableAsText(log.table(), text);
        textMs = std::min(textMs, msSince(t));
        if (saved.kind != DataFiles::TextResult::Kind::Saved) {
            std::fprintf(stderr, "%s\n", qPrintable(saved.message));
            return 1;
        }
    }
    const qint64 textBytes = QFileInfo(text).size();
    const double textBase = oneGoMs(folder.filePath(QStringLiteral("base.txt")), textBytes);
    std::printf("save text: %lld bytes in %.0f ms, one go %.0f ms\n",
                static_cast<long long>(textBytes), textMs, textBase);

    const QString db = folder.filePath(QStringLiteral("run.db"));
    double dbMs = 1e300;
    for (int run = 0; run < kRuns; ++run) {
        t.start();
        if (const QString e = files.SaveTableAsDb(log.table(), db); !e.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(e));
            return 1;
        }
        dbMs = std::min(dbMs, msSince(t));
    }
    const qint64 dbBytes =
        QFileInfo(db).size() + QFileInfo(folder.filePath(QStringLiteral("run.px"))).size();
    const double dbBase = oneGoMs(folder.filePath(QStringLiteral("base.db")), dbBytes);
    std::printf("save db: %lld bytes (table and index) in %.0f ms, one go %.0f ms\n",
                static_cast<long long>(dbBytes), dbMs, dbBase);

    // The saved table as an old data file, shown in a grid of the design's size.
    LogTableModel model(log);
    LogGridView grid;
    grid.setLogModel(&model);
    grid.resize(289, 137);
    grid.show();
    QCoreApplication::processEvents();
    t.start();
    if (const QString e = log.openOldFile(db); !e.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(e));
        return 1;
    }
    grid.repaint();
    QCoreApplication::processEvents();
    const double openMs = msSince(t);
    std::printf("open db: %lld records shown in %.0f ms\n",
                static_cast<long long>(model.totalRows()), openMs);

    // The report of the first 10^4 records.
    const int reportPages = LogReport::pageCount(kReportRecords);
    const LogReport report(log.table());
    t.start();
    if (const QString e =
            report.writePdf(folder.filePath(QStringLiteral("report.pdf")), reportPages);
        !e.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(e));
        return 1;
    }
    const double reportMs = msSince(t);

    // The preview of a log of 10^5 records: open it, then page to the end and back.
    log.RecordNew();
    fill(log, kPreviewRecords);
    t.start();
    ReportPreview preview(report);
    preview.show();
    QCoreApplication::processEvents();
    const double previewOpenMs = msSince(t);
    t.start();
    preview.action(QStringLiteral("lastPage"))->trigger();
    QCoreApplication::processEvents();
    preview.action(QStringLiteral("previousPage"))->trigger();
    QCoreApplication::processEvents();
    preview.action(QStringLiteral("firstPage"))->trigger();
    QCoreApplication::processEvents();
    const double pageMs = msSince(t) / 3;
    std::printf("preview of %lld records (%d pages): open %.0f ms, %.1f ms a page turn\n",
                static_cast<long long>(kPreviewRecords), preview.pageCount(), previewOpenMs,
                pageMs);

    std::printf("data: save_text_ratio=%.2f save_db_ratio=%.2f open_db_ms=%.0f "
                "report_ms_per_page=%.2f report_pages_1e4=%d\n",
                textMs / textBase, dbMs / dbBase, openMs, reportMs / reportPages, reportPages);
    return 0;
}
