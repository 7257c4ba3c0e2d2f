#include "ReportPreview.h"

#include "DataFileDialogs.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolBar>
#include <QVBoxLayout>

// The sheet of paper on screen: draws its one page when it is painted.
class ReportPage : public QWidget
{
public:
    ReportPage(const LogReport &report, QWidget *parent) : QWidget(parent), m_report(report) {}

    void show(int page, double pxPerMm)
    {
        m_page = page;
        m_pxPerMm = pxPerMm;
        const QSizeF mm = LogReport::pageLayout().fullRect(QPageLayout::Millimeter).size();
        setFixedSize(QSizeF(mm * pxPerMm).toSize());
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), Qt::white);
        p.setRenderHint(QPainter::TextAntialiasing);
        const QMarginsF margins = LogReport::pageLayout().margins(QPageLayout::Millimeter);
        p.translate(margins.left() * m_pxPerMm, margins.top() * m_pxPerMm);
        m_report.paintPage(p, m_pxPerMm, m_page);
    }

private:
    const LogReport &m_report;
    int m_page = 0;
    double m_pxPerMm = 1.0;
};

ReportPreview::ReportPreview(const LogReport &report, QWidget *parent)
    : QDialog(parent), m_report(report), m_printer(std::make_unique<QPrinter>())
{
    setWindowTitle(QStringLiteral("Print Preview"));
    setWindowFlag(Qt::WindowMaximizeButtonHint);
    m_printer->setPageLayout(LogReport::pageLayout());
    m_printer->setCopyCount(1);

    auto *bar = new QToolBar(this);
    auto add = [this, bar](const char *name, const QString &text, auto slot) {
        QAction *a = bar->addAction(text);
        a->setObjectName(QLatin1String(name));
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    add("fitPage", QStringLiteral("Fit page"), [this] { setZoom(Zoom::FitPage); });
    add("actualSize", QStringLiteral("100 %"), [this] { setZoom(Zoom::Actual); });
    add("fitWidth", QStringLiteral("Fit width"), [this] { setZoom(Zoom::FitWidth); });
    bar->addSeparator();
    add("firstPage", QStringLiteral("First"), [this] { goToPage(0); });
    add("previousPage", QStringLiteral("Previous"), [this] { goToPage(m_page - 1); });
    add("nextPage", QStringLiteral("Next"), [this] { goToPage(m_page + 1); });
    add("lastPage", QStringLiteral("Last"), [this] { goToPage(pageCount() - 1); });
    m_pageLabel = new QLabel(bar);
    m_pageLabel->setContentsMargins(8, 0, 8, 0);
    m_pageLabel->setAlignment(Qt::AlignCenter);
    bar->addWidget(m_pageLabel);
    bar->addSeparator();
    add("pageSetup", QStringLiteral("Page setup"), [this] { pageSetup(); });
    add("print", QStringLiteral("Print"), [this] { printReport(); });
    add("savePdf", QStringLiteral("Save as PDF"), [this] { savePdf(); });
    add("close", QStringLiteral("Close"), [this] { reject(); });

    m_area = new QScrollArea(this);
    m_area->setBackgroundRole(QPalette::Dark);
    m_area->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_pageWidget = new ReportPage(report, m_area);
    m_area->setWidget(m_pageWidget);

    // The preview holds still while readings go on being logged: it says what it shows.
    m_snapshotLine = new QLabel(snapshotText(report), this);
    m_snapshotLine->setObjectName(QStringLiteral("snapshotLine"));
    m_snapshotLine->setContentsMargins(8, 4, 8, 4);
    m_snapshotLine->setWordWrap(true);

    m_savedLine = new QLabel(this);
    m_savedLine->setObjectName(QStringLiteral("savedLine"));
    m_savedLine->setContentsMargins(8, 0, 8, 4);
    m_savedLine->setWordWrap(true);
    m_savedLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_savedLine->hide();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(bar);
    layout->addWidget(m_snapshotLine);
    layout->addWidget(m_savedLine);
    layout->addWidget(m_area);
    resize(860, 760);
    refresh();
}

ReportPreview::~ReportPreview() = default;

QString ReportPreview::snapshotText(const LogReport &report)
{
    const qint64 records = report.records();
    return QStringLiteral("The log as it was at %1 when this preview opened: %2 %3. Readings "
                          "logged since are not in this report.")
        .arg(report.madeAt().toString(QStringLiteral("HH:mm:ss")))
        .arg(records)
        .arg(records == 1 ? QStringLiteral("reading") : QStringLiteral("readings"));
}

QAction *ReportPreview::action(const QString &objectName) const
{
    return findChild<QAction *>(objectName);
}

int ReportPreview::pageCount() const
{
    return m_report.pageCount();
}

void ReportPreview::setZoom(Zoom zoom)
{
    m_zoom = zoom;
    refresh();
}

void ReportPreview::goToPage(int page)
{
    m_page = std::clamp(page, 0, std::max(0, pageCount() - 1));
    refresh();
    m_area->verticalScrollBar()->setValue(0);
}

void ReportPreview::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    refresh();
}

void ReportPreview::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    refresh();
}

void ReportPreview::refresh()
{
    const int pages = std::max(1, pageCount());
    m_page = std::clamp(m_page, 0, pages - 1);
    const QSizeF mm = LogReport::pageLayout().fullRect(QPageLayout::Millimeter).size();
    const double screenPxPerMm = logicalDpiX() / 25.4;
    const QSize room = m_area->viewport()->size() - QSize(8, 8);
    double pxPerMm = screenPxPerMm;
    switch (m_zoom) {
    case Zoom::FitPage:
        pxPerMm = std::min(room.width() / mm.width(), room.height() / mm.height());
        break;
    case Zoom::Actual:
        break;
    case Zoom::FitWidth:
        pxPerMm = (room.width() - m_area->verticalScrollBar()->sizeHint().width()) / mm.width();
        break;
    }
    m_pageWidget->show(m_page, std::max(0.5, pxPerMm));
    fitPageLabel(pages);
    m_pageLabel->setText(QStringLiteral("%1 / %2").arg(m_page + 1).arg(pages));
    action(QStringLiteral("firstPage"))->setEnabled(m_page > 0);
    action(QStringLiteral("previousPage"))->setEnabled(m_page > 0);
    action(QStringLiteral("nextPage"))->setEnabled(m_page + 1 < pages);
    action(QStringLiteral("lastPage"))->setEnabled(m_page + 1 < pages);
}

// The page label is as wide as the widest text the page count allows, so the buttons after it
// stay in place while the user pages. It only grows, when the count gains a digit.
void ReportPreview::fitPageLabel(int pages)
{
    const QFontMetrics fm(m_pageLabel->font());
    QChar widest = u'0';
    for (QChar digit = u'0'; digit <= u'9'; digit = QChar(digit.unicode() + 1))
        if (fm.horizontalAdvance(digit) > fm.horizontalAdvance(widest))
            widest = digit;
    const QString digits(QString::number(pages).size(), widest);
    const QMargins margins = m_pageLabel->contentsMargins();
    const int width = fm.horizontalAdvance(QStringLiteral("%1 / %1").arg(digits)) +
                      margins.left() + margins.right();
    if (width > m_pageLabel->minimumWidth())
        m_pageLabel->setFixedWidth(width);
}

void ReportPreview::pageSetup()
{
    QPageSetupDialog dialog(m_printer.get(), this);
    dialog.exec();
}

void ReportPreview::printReport()
{
    QPrintDialog dialog(m_printer.get(), this);
    dialog.setOption(QAbstractPrintDialog::PrintPageRange);
    dialog.setOption(QAbstractPrintDialog::PrintCollateCopies);
    dialog.setMinMax(1, std::max(1, pageCount()));
    if (dialog.exec() != QDialog::Accepted)
        return;
    const bool range = m_printer->printRange() == QPrinter::PageRange;
    if (!m_report.print(m_printer.get(), range ? m_printer->fromPage() : 0,
                        range ? m_printer->toPage() : 0))
        QMessageBox::critical(
            this, QStringLiteral("Vorlatt"),
            QStringLiteral("Could not print on %1").arg(m_printer->printerName()));
}

void ReportPreview::showSavedLine(const QString &text)
{
    m_savedLine->setText(text);
    m_savedLine->setVisible(!text.isEmpty());
    // The page fits the room the line leaves it.
    layout()->activate();
    refresh();
}

void ReportPreview::savePdf()
{
    QFileDialog dialog(this, QStringLiteral("Save as PDF"), DataFileDialogs::startFolder(),
                       QStringLiteral("PDF File(*.pdf)"));
    dialog.setObjectName(QStringLiteral("PdfDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("pdf"));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    const int answer = dialog.exec();
    DataFileDialogs::closeLeftovers(&dialog);
    if (answer != QDialog::Accepted)
        return;
    QString path = dialog.selectedFiles().value(0);
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".pdf");
    DataFileDialogs::rememberFolder(path);
    const QString error = m_report.writePdf(path);
    if (!error.isEmpty()) {
        // The line named an earlier PDF; it must not read as this one's success.
        showSavedLine({});
        QMessageBox::critical(this, QStringLiteral("Vorlatt"), error);
        return;
    }
    showSavedLine(QStringLiteral("Saved as PDF: %1").arg(QDir::toNativeSeparators(path)));
    emit pdfSaved(path, m_report.records());
}
