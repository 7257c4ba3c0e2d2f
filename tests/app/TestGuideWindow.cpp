#include "app/GuideWindow.h"

#include <QAbstractTextDocumentLayout>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextLayout>
#include <QtTest>

namespace {

const QColor kBody(0, 0, 255);
const QColor kRightEnd(255, 0, 0);
const QColor kSmall(0, 160, 0);

bool near(const QColor &a, const QColor &b)
{
    return std::abs(a.red() - b.red()) < 8 && std::abs(a.green() - b.green()) < 8 &&
           std::abs(a.blue() - b.blue()) < 8;
}

// Where `colors` show in `image`, in the image's pixels.
QRect placeOf(const QImage &image, const QList<QColor> &colors)
{
    QRect place;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            for (const QColor &color : colors)
                if (near(image.pixelColor(x, y), color))
                    place |= QRect(x, y, 1, 1);
    return place;
}

} // namespace

// The guide's pictures as the user sees them in the guide window.
class TestGuideWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void widePicturesFitTheWidthSmallOnesKeepTheirSize();

private:
    QTemporaryDir m_dir;
};

void TestGuideWindow::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("pictures")));
    // A screenshot far wider than any window, its right end marked, and a small one.
    QImage wide(1800, 450, QImage::Format_RGB32);
    wide.fill(kBody);
    QPainter(&wide).fillRect(1740, 0, 60, 450, kRightEnd);
    QVERIFY(wide.save(m_dir.filePath(QStringLiteral("pictures/wide.png"))));
    QImage small(120, 40, QImage::Format_RGB32);
    small.fill(kSmall);
    QVERIFY(small.save(m_dir.filePath(QStringLiteral("pictures/small.png"))));
    QFile guide(m_dir.filePath(QStringLiteral("guide.md")));
    QVERIFY(guide.open(QIODevice::WriteOnly));
    guide.write("# Guide\n\nThe window:\n\n![The window](pictures/wide.png)\n\n"
                "A button:\n\n![A button](pictures/small.png)\n\n## More\n\n");
    // Far more than a window shows: the page is laid out a piece at a time.
    for (int i = 1; i <= 150; ++i)
        guide.write(QByteArray("Paragraph ") + QByteArray::number(i) + ".\n\n");
}

// A picture wider than the page is shown whole, scaled down to the page's width with its aspect
// ratio, and follows the window's width; a narrower one keeps its own size, pixel for pixel.
void TestGuideWindow::widePicturesFitTheWidthSmallOnesKeepTheirSize()
{
    // As F1 does: the page first, then the window.
    GuideWindow guide;
    QVERIFY(guide.showGuide(m_dir.filePath(QStringLiteral("guide.md"))));
    guide.resize(640, 700);
    guide.show();
    QVERIFY(QTest::qWaitForWindowExposed(&guide));
    QTextBrowser *browser = guide.browser();
    QTextDocument *doc = browser->document();

    for (const int windowWidth : {640, 900, 400}) {
        guide.resize(windowWidth, 700);
        const double ratio = browser->devicePixelRatio();
        int room = 0;
        QImage screen;
        QRect picture;
        // On screen: the whole picture, right end and all, as wide as the page.
        QTRY_VERIFY2((room = int((browser->viewport()->width() - 2 * doc->documentMargin()) *
                                 ratio),
                      screen = browser->viewport()->grab().toImage(),
                      picture = placeOf(screen, {kBody, kRightEnd}),
                      picture.width() <= room && picture.width() >= room - 2),
                     qPrintable(QStringLiteral("%1 px wide in %2").arg(picture.width()).arg(room)));
        QVERIFY2(std::abs(picture.height() - picture.width() * 450.0 / 1800) <= 2,
                 qPrintable(QStringLiteral("%1 x %2").arg(picture.width()).arg(picture.height())));
        const QRect rightEnd = placeOf(screen, {kRightEnd});
        QVERIFY2(std::abs(rightEnd.width() - picture.width() * 60.0 / 1800) <= 2 &&
                     std::abs(rightEnd.right() - picture.right()) <= 1,
                 qPrintable(QStringLiteral("right end %1 px wide at %2, picture ends at %3")
                                .arg(rightEnd.width())
                                .arg(rightEnd.right())
                                .arg(picture.right())));
        QCOMPARE(browser->horizontalScrollBar()->maximum(), 0);
        // The small picture is drawn at its own size, not blown up.
        QCOMPARE(placeOf(screen, {kSmall}).size(), QSize(120, 40) * ratio);
        // The text around the pictures keeps its place, to the page's end.
        doc->documentLayout()->blockBoundingRect(doc->lastBlock());
        for (QTextBlock block = doc->begin(); block.isValid(); block = block.next())
            QVERIFY2(block.text().isEmpty() || block.layout()->lineCount() > 0,
                     qPrintable(block.text()));
    }
}

QTEST_MAIN(TestGuideWindow)
#include "TestGuideWindow.moc"
