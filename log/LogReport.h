#pragma once

#include <QDateTime>
#include <QPageLayout>
#include <QString>

class QPainter;
class QPagedPaintDevice;
class QPrinter;
namespace table {
class Table;
}

// The printed list of the log: A4 portrait with 10 mm margins; on every page a page header with
// the title, a column header, one detail band per record in table order and a page footer. All
// text is in the display font at 10 points, so unit symbols print as the replica shows them.
// A log without records prints no band at all.
//
// Pages are drawn one at a time straight from the table, so a preview draws only the page it
// shows and a long log costs nothing until a page is looked at.
//
// A report is made at one moment and holds the records the log had then: readings logged later
// (the log only appends) stay out of its pages, its page count and its PDF, so what the user
// previews is what is printed. Every page says when the report was made and carries "n / N".
//
// Window handler   -> member
//   BtPrintClick   -> ReportPreview, which draws with paintPage() and prints with print()
class ReadingLog;

class LogReport
{
public:
    // The report of the records `log` holds now, made at `madeAt`.
    explicit LogReport(const table::Table &log,
                       const QDateTime &madeAt = QDateTime::currentDateTime());
    // The same, with each unit as the display showed it (ReadingLog::unitOf).
    explicit LogReport(const ReadingLog &log,
                       const QDateTime &madeAt = QDateTime::currentDateTime());

    QDateTime madeAt() const { return m_madeAt; }
    // The records the report holds.
    qint64 records() const { return m_records; }
    // "made 2026-12-10 14:05:09", as the page header says it.
    QString madeText() const;

    static QPageLayout pageLayout();
    // Detail bands that fit a page between the page header, column header and page footer.
    static int recordsPerPage();

    // Pages for the records the report holds; 0 for an empty log.
    int pageCount() const;
    // Pages for `records` records.
    static int pageCount(qint64 records);

    // Draws page `page` (from 0) with the painter's origin at the top-left corner of the
    // margins and `pxPerMm` device pixels to a millimetre.
    void paintPage(QPainter &painter, double pxPerMm, int page) const;

    // Draws pages `from` to `to` (from 1; 0, 0 for all) onto the device, one page after another.
    // Keeps the event loop running between pages, so readings go on being logged; they are not
    // in the report. False if the device would not start.
    bool print(QPagedPaintDevice *device, int from = 0, int to = 0) const;
    // The whole report as a PDF file, which takes the place of an earlier one only once it is
    // written whole. Returns an error message that gives the system's reason, or "".
    QString writePdf(const QString &path, int pageLimit = 0) const;

private:
    // The records held that the table still has (none after the log was emptied).
    qint64 recordsAvailable() const;

    const table::Table &m_log;
    const ReadingLog *m_units = nullptr;
    QDateTime m_madeAt;
    qint64 m_records = 0;
};
