#pragma once

#include "LogReport.h"

#include <QDialog>

#include <memory>

class QAction;
class QLabel;
class QPrinter;
class QScrollArea;
class ReportPage;

// The report's print preview: one page at a time, drawn when it is shown, with zoom (fit page,
// 100 %, fit width), first/previous/next/last page, page set-up, print, "Save as PDF" and close.
// Only the page on screen is drawn, so a preview of a long log opens at once. It shows the report
// as it was made when the preview opened, and says so in the line under its tool bar; readings
// logged while it is open change neither its pages nor what it prints or saves. A PDF it saved is
// named in a line of its own under the tool bar: the preview covers the window, whose status
// panel says such things.
class ReportPreview : public QDialog
{
    Q_OBJECT
public:
    enum class Zoom
    {
        FitPage,
        Actual,
        FitWidth,
    };

    explicit ReportPreview(const LogReport &report, QWidget *parent = nullptr);
    ~ReportPreview() override;

    int currentPage() const { return m_page; } // from 0
    int pageCount() const;
    void setZoom(Zoom zoom);
    Zoom zoom() const { return m_zoom; }
    void goToPage(int page);

    QAction *action(const QString &objectName) const;
    // The line under the tool bar: when the report was made and how many readings it holds.
    static QString snapshotText(const LogReport &report);

signals:
    // "Save as PDF" wrote the report, holding `records` readings, to `path` (not when the write
    // failed: a box says why).
    void pdfSaved(const QString &path, qint64 records);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void refresh();
    void fitPageLabel(int pages);
    void pageSetup();
    void printReport();
    void savePdf();
    // "" hides the line.
    void showSavedLine(const QString &text);

    const LogReport &m_report;
    std::unique_ptr<QPrinter> m_printer;
    QScrollArea *m_area = nullptr;
    ReportPage *m_pageWidget = nullptr;
    QLabel *m_pageLabel = nullptr;
    QLabel *m_snapshotLine = nullptr;
    QLabel *m_savedLine = nullptr; // the PDF last saved
    Zoom m_zoom = Zoom::FitPage;
    int m_page = 0;
};
