#include "LogFolder.h"
#include "log/LogReport.h"
#include "log/ReadingLog.h"

#include <QtTest>

#include <memory>

// The report as a PDF, read back by an independent reader (poppler's pdftotext).
class TestLogReport : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void everyPageHasItsBands();
    void bandsStandWhereTheLayoutPutsThem();
    void emptyLogPrintsNoBand();

private:
    void log(int readings);
    // The text of each page.
    QStringList pdfPages(const QString &pdf, const QStringList &extra = {});
    std::unique_ptr<LogFolder> m_folder;
    std::unique_ptr<ReadingLog> m_log;
    std::unique_ptr<LogFeed> m_feed;
};

void TestLogReport::init()
{
    if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty())
        QSKIP("pdftotext (poppler-utils) is not installed");
    m_folder = std::make_unique<LogFolder>();
    m_log = std::make_unique<ReadingLog>();
    m_feed = std::make_unique<LogFeed>(*m_log, [] {
        return QDateTime(QDate(2026, 12, 10), QTime(10, 20, 30)).toMSecsSinceEpoch();
    });
    openAsAtStartUp(*m_log);
}

void TestLogReport::cleanup()
{
    m_feed.reset();
    m_log.reset();
    m_folder.reset();
}

void TestLogReport::log(int readings)
{
    for (int i = 0; i < readings; ++i) {
        const protocol::MeterReading r{QString::number(i) + QStringLiteral(".00"), float(i * 100),
                                       QStringLiteral("DC"), QStringLiteral("mV"),
                                       QStringLiteral("AUTO")};
        QVERIFY(m_feed->offer(r, LogSettings()).logged);
    }
}

QStringList TestLogReport::pdfPages(const QString &pdf, const QStringList &extra)
{
    QProcess p;
    p.start(QStringLiteral("pdftotext"), extra + QStringList{pdf, QStringLiteral("-")});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return {QStringLiteral("pdftotext failed: ") + p.readAllStandardError()};
    QStringList pages = QString::fromUtf8(p.readAllStandardOutput()).split(u'\f');
    if (!pages.isEmpty() && pages.last().trimmed().isEmpty())
        pages.removeLast();
    return pages;
}

void TestLogReport::everyPageHasItsBands()
{
    log(80);
    const LogReport report(m_log->table());
    // Readings logged after the report was made stay out of it.
    log(40);
    QCOMPARE(LogReport::recordsPerPage(), 37);
    QCOMPARE(report.pageCount(), 3);
    const QString pdf = m_folder->path(QStringLiteral("report.pdf"));
    QCOMPARE(report.writePdf(pdf), QString());
    const QStringList pages = pdfPages(pdf, {QStringLiteral("-layout")});
    QCOMPARE(pages.size(), 3);
    const QStringList bands = {
        "The Data Print Title", "No", "Time", "DC/AC", "Value", "Unit", "AUTO",
        "The Data Print Foot"};
    for (int page = 0; page < 3; ++page) {
        for (const QString &text : bands)
            QVERIFY2(
                pages[page].contains(text),
                qPrintable(QString("page %1 lacks %2:\n%3").arg(page + 1).arg(text, pages[page])));
        QVERIFY2(pages[page].contains(
                     QRegularExpression(QStringLiteral("Foot\\s+%1 ?/ ?3\\s*$").arg(page + 1))) &&
                     pages[page].contains(report.madeText()),
                 qPrintable(pages[page]));
        // The title stands above the headings, the footer below the last record.
        QVERIFY(pages[page].indexOf(u"The Data Print Title") < pages[page].indexOf(u"DC/AC"));
        QVERIFY(pages[page].indexOf(u"10:20:30") < pages[page].indexOf(u"The Data Print Foot"));
    }
    // Records in table order, 37 to a page.
    const QRegularExpression record(
        QStringLiteral("^\\s*(\\d+)\\s+10:20:30\\s+DC\\s+(\\S+)\\s+mV\\s+AUTO"),
        QRegularExpression::MultilineOption);
    QStringList numbers;
    for (const QString &page : pages) {
        QStringList onPage;
        for (auto it = record.globalMatch(page); it.hasNext();)
            onPage << it.next().captured(1);
        numbers << QString::number(onPage.size()) + u':' + onPage.value(0) + u'-' +
                       onPage.value(onPage.size() - 1);
    }
    QCOMPARE(numbers, QStringList({"37:1-37", "37:38-74", "6:75-80"}));
}

// Left edges in points from the page's corner: margin plus the band's offsets, in millimetres.
void TestLogReport::bandsStandWhereTheLayoutPutsThem()
{
    log(2);
    const QString pdf = m_folder->path(QStringLiteral("report.pdf"));
    QCOMPARE(LogReport(m_log->table()).writePdf(pdf), QString());
    const QString html = pdfPages(pdf, {QStringLiteral("-bbox")}).join(QString());
    const QRegularExpression word(
        QStringLiteral("<word xMin=\"([\\d.]+)\" yMin=\"([\\d.]+)\" xMax=\"[\\d.]+\" "
                       "yMax=\"[\\d.]+\">([^<]*)</word>"));
    QMultiMap<QString, QPointF> at;
    for (auto it = word.globalMatch(html); it.hasNext();) {
        const auto m = it.next();
        at.insert(m.captured(3), {m.captured(1).toDouble(), m.captured(2).toDouble()});
    }
    const auto mm = [](double points) { return points * 25.4 / 72.0; };
    struct Place
    {
        QString text;
        double left;
    };
    // Column headings, then the first record's fields.
    const Place places[] = {{"Value", 10 + 99.48}, {"AUTO", 10 + 162.98}, {"DC/AC", 10 + 64.29},
                            {"Foot", -1},          {"0.00", 10 + 99.48},  {"1", 10 + 8.47}};
    for (const Place &p : places) {
        QVERIFY2(at.contains(p.text), qPrintable(p.text));
        if (p.left > 0)
            QVERIFY2(std::abs(mm(at.values(p.text).constLast().x()) - p.left) < 0.5,
                     qPrintable(
                         QStringLiteral("%1 at %2 mm").arg(p.text).arg(mm(at.value(p.text).x()))));
    }
    // The footer stands at the foot of the page: its band starts 10.58 mm above the bottom margin.
    const double footerTop = mm(at.value(QStringLiteral("Foot")).y());
    QVERIFY2(footerTop > 297 - 10 - 10.58 && footerTop < 297 - 10,
             qPrintable(QString::number(footerTop)));
    // The title is centred across the band.
    const double titleLeft =
        mm(at.values(QStringLiteral("The")).constLast().x()); // the first "The"
    QVERIFY2(std::abs(titleLeft - (10 + (189.97 - 35.45) / 2)) < 0.5,
             qPrintable(QString::number(titleLeft)));
}

void TestLogReport::emptyLogPrintsNoBand()
{
    const LogReport report(m_log->table());
    QCOMPARE(report.pageCount(), 0);
    const QString pdf = m_folder->path(QStringLiteral("empty.pdf"));
    QCOMPARE(report.writePdf(pdf), QString());
    const QStringList pages = pdfPages(pdf);
    QCOMPARE(pages.join(QString()).trimmed(), QString());
}

QTEST_MAIN(TestLogReport)
#include "TestLogReport.moc"
