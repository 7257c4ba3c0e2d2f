#include "LogReport.h"

#include "LogTableLayout.h"

#include "assets/Assets.h"
#include "log/ReadingLog.h"
#include "log/engine/EngineError.h"
#include "log/engine/Posix.h"
#include "log/engine/ReplacingFile.h"
#include "log/engine/Table.h"

#include <QCoreApplication>
#include <QFile>
#include <QPainter>
#include <QPdfWriter>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

// The PDF writer's output: gathered into large writes to a file descriptor, each write whole.
// The writer itself ignores what its device refuses, so the first refusal is kept, in the
// system's words, and every later write refused too.
class PdfOutput final : public QIODevice
{
public:
    explicit PdfOutput(int fd) : m_fd(fd) { open(QIODevice::WriteOnly | QIODevice::Unbuffered); }

    // Writes what is gathered. False (with the reason in errorString()) if any write failed.
    bool finish() { return drain() && m_failed.isEmpty(); }
    QString failure() const { return m_failed; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        if (!m_failed.isEmpty())
            return -1;
        m_pending.append(data, size);
        if (m_pending.size() >= kChunk && !drain())
            return -1;
        return size;
    }

private:
    static constexpr qsizetype kChunk = 1 << 16;

    bool drain()
    {
        if (!m_failed.isEmpty())
            return false;
        errno = 0;
        if (!table::writeAll(m_fd, m_pending.constData(), std::size_t(m_pending.size()))) {
            m_failed = errno ? QString::fromLocal8Bit(std::strerror(errno))
                             : QStringLiteral("the disk took no more");
            setErrorString(m_failed);
            return false;
        }
        m_pending.clear();
        return true;
    }

    const int m_fd;
    QByteArray m_pending;
    QString m_failed;
};

constexpr int kColumns = LogTableLayout::kColumns;

// Lengths in millimetres.
constexpr double kMargin = 10.0;
constexpr double kPageWidth = 210.0;
constexpr double kPageHeight = 297.0;
constexpr double kBandWidth = 189.97;
constexpr double kHeaderHeight = 10.58;
constexpr double kColumnHeaderHeight = 10.58;
constexpr double kDetailHeight = 6.61;
constexpr double kFooterHeight = 10.58;
constexpr double kTitleTop = 2.12;
constexpr double kTitleWidth = 35.45;
constexpr double kTitleHeight = 5.03;
constexpr double kColumnTitleTop = 4.23;
constexpr double kDetailTop = 2.12;
constexpr double kFooterLeft = 8.47;
constexpr double kFooterTop = 4.23;
constexpr double kColumnTitleLeft[kColumns] = {8.47, 33.87, 64.29, 99.48, 132.29, 162.98};
constexpr double kDetailLeft[kColumns] = {8.47, 33.87, 65.62, 99.48, 131.23, 162.98};
constexpr double kPointsToMm = 25.4 / 72.0;
constexpr double kFontPoints = 10.0;

const QString kTitle = QStringLiteral("The Data Print Title");
const QString kFooter = QStringLiteral("The Data Print Foot");

// A text placed at `left`, `top` of its band; it may grow to the next text on the right and down
// to the band's end, wrapping at words.
void drawText(QPainter &p, double pxPerMm, double bandTop, double left, double top, double right,
              double bottom, const QString &text)
{
    const QRectF box(left * pxPerMm, (bandTop + top) * pxPerMm, (right - left) * pxPerMm,
                     (bottom - top) * pxPerMm);
    p.drawText(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text);
}

} // namespace

LogReport::LogReport(const table::Table &log, const QDateTime &madeAt)
    : m_log(log), m_madeAt(madeAt), m_records(log.isOpen() ? log.recordCount() : 0)
{
}

LogReport::LogReport(const ReadingLog &log, const QDateTime &madeAt)
    : LogReport(log.table(), madeAt)
{
    m_units = &log;
}

QString LogReport::madeText() const
{
    return QStringLiteral("made ") + m_madeAt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

qint64 LogReport::recordsAvailable() const
{
    return std::min(m_records, m_log.isOpen() ? qint64(m_log.recordCount()) : qint64(0));
}

QPageLayout LogReport::pageLayout()
{
    return QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                       QMarginsF(kMargin, kMargin, kMargin, kMargin), QPageLayout::Millimeter);
}

int LogReport::recordsPerPage()
{
    const double room =
        kPageHeight - 2 * kMargin - kHeaderHeight - kColumnHeaderHeight - kFooterHeight;
    return int(std::floor(room / kDetailHeight));
}

int LogReport::pageCount(qint64 records)
{
    return int((records + recordsPerPage() - 1) / recordsPerPage());
}

int LogReport::pageCount() const
{
    return pageCount(m_records);
}

void LogReport::paintPage(QPainter &p, double pxPerMm, int page) const
{
    const qint64 records = recordsAvailable();
    const qint64 firstRecord = qint64(page) * recordsPerPage();
    if (page < 0 || firstRecord >= records)
        return; // an empty log prints no band, not even the title

    QFont font(assets::displayFontFamily());
    font.setPixelSize(std::max(1, int(std::lround(kFontPoints * kPointsToMm * pxPerMm))));
    p.save();
    p.setFont(font);
    p.setPen(Qt::black);

    // Page header: the title, centred in its fixed box.
    const double titleLeft = (kBandWidth - kTitleWidth) / 2;
    const QRectF title(titleLeft * pxPerMm, kTitleTop * pxPerMm, kTitleWidth * pxPerMm,
                       kTitleHeight * pxPerMm);
    p.drawText(title, Qt::AlignLeft | Qt::AlignTop, kTitle);
    // When the report was made, at the right end of the header band.
    const QRectF made(0, kTitleTop * pxPerMm, kBandWidth * pxPerMm, kTitleHeight * pxPerMm);
    p.drawText(made, Qt::AlignRight | Qt::AlignTop, madeText());

    double top = kHeaderHeight;
    for (int c = 0; c < kColumns; ++c) {
        const double right = c + 1 < kColumns ? kColumnTitleLeft[c + 1] : kBandWidth;
        drawText(p, pxPerMm, top, kColumnTitleLeft[c], kColumnTitleTop, right, kColumnHeaderHeight,
                 QString::fromLatin1(LogTableLayout::kColumnNames[c]));
    }
    top += kColumnHeaderHeight;

    int fields[kColumns];
    for (int c = 0; c < kColumns; ++c)
        fields[c] = m_log.fieldIndex(LogTableLayout::kColumnNames[c]);
    const qint64 end = std::min(records, firstRecord + recordsPerPage());
    for (qint64 row = firstRecord; row < end; ++row) {
        for (int c = 0; c < kColumns; ++c) {
            if (fields[c] < 0)
                continue;
            QString text;
            try {
                const char *name = LogTableLayout::kColumnNames[c];
                text = m_units && name == LogTableLayout::kUnit    ? m_units->unitOf(row)
                       : m_units && name == LogTableLayout::kValue ? m_units->valueOf(row)
                                                                   : QString::fromStdString(
                                                                         m_log.text(row, fields[c]));
            } catch (const table::EngineError &) {
                continue;
            }
            const double right = c + 1 < kColumns ? kDetailLeft[c + 1] : kBandWidth;
            drawText(p, pxPerMm, top, kDetailLeft[c], kDetailTop, right, kDetailHeight, text);
        }
        top += kDetailHeight;
    }

    // The page footer stands at the foot of every page.
    const double footerTop = kPageHeight - 2 * kMargin - kFooterHeight;
    drawText(p, pxPerMm, footerTop, kFooterLeft, kFooterTop, kBandWidth, kFooterHeight, kFooter);
    const QRectF pageNumber(0, (footerTop + kFooterTop) * pxPerMm, kBandWidth * pxPerMm,
                            (kFooterHeight - kFooterTop) * pxPerMm);
    p.drawText(pageNumber, Qt::AlignRight | Qt::AlignTop,
               QStringLiteral("%1 / %2").arg(page + 1).arg(pageCount()));
    p.restore();
}

bool LogReport::print(QPagedPaintDevice *device, int from, int to) const
{
    const int pages = pageCount();
    if (from <= 0 || to <= 0) {
        from = 1;
        to = pages;
    }
    to = std::min(to, pages);
    QPainter p;
    if (!p.begin(device))
        return false;
    const double pxPerMm = device->logicalDpiX() / 25.4;
    for (int page = from; page <= to; ++page) {
        if (page > from)
            device->newPage();
        paintPage(p, pxPerMm, page - 1);
        if (page % 20 == 0)
            QCoreApplication::processEvents();
    }
    return p.end();
}

QString LogReport::writePdf(const QString &path, int pageLimit) const
{
    const QString failed = QStringLiteral("Could not write the report to %1").arg(path);
    // The PDF goes to a temporary file in the folder, flushed and synced, and takes the place of
    // an earlier one in one rename only then: a failed write leaves the earlier PDF as it was and
    // no half a report under the name. A temporary a killed save left behind is removed here.
    const std::string target = QFile::encodeName(path).toStdString();
    table::tidyStaleTemporaries(target);
    try {
        table::ReplacingFile out(target, table::ReplacingFile::Link::Follow);
        PdfOutput file(out.fd());
        {
            QPdfWriter writer(&file);
            writer.setPageLayout(pageLayout());
            writer.setResolution(600);
            writer.setCreator(QStringLiteral("Vorlatt"));
            writer.setTitle(kTitle);
            if (!print(&writer, pageLimit > 0 ? 1 : 0, pageLimit))
                return failed + u'\n' +
                       (file.failure().isEmpty() ? QStringLiteral("The PDF writer did not start.")
                                                 : file.failure());
        }
        if (!file.finish())
            return failed + u'\n' + file.failure();
        out.commit();
    } catch (const table::EngineError &e) {
        return failed + u'\n' + QString::fromStdString(e.what());
    }
    return {};
}
