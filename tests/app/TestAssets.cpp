#include "assets/Assets.h"

#include <QImageReader>
#include <QRawFont>
#include <QtTest>

// The display font and pictures come from resources compiled into the program; a missing file
// or a broken image plugin would leave the replica blank.
class TestAssets : public QObject
{
    Q_OBJECT
private slots:
    void fontHasTheMeterSymbols();
    void picturesDecode_data();
    void picturesDecode();
    void bannerIsAnimated();
};

void TestAssets::fontHasTheMeterSymbols()
{
    QCOMPARE(assets::displayFontFamily(), QStringLiteral("Vorlatt LCD"));
    const QRawFont raw = QRawFont::fromFont(assets::displayFont(100));
    QCOMPARE(raw.familyName(), QStringLiteral("Vorlatt LCD"));
    const QString needed = QStringLiteral("0123456789-.\"$&)*+#?(!@ AutoragenCDMINXRPVFHzkm%:");
    for (QChar c : needed)
        QVERIFY2(raw.supportsCharacter(c), qPrintable(QStringLiteral("missing '%1'").arg(c)));
}

void TestAssets::picturesDecode_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::newRow("JPEG link picture") << "CONok" << QSize(25, 24);
    QTest::newRow("JPEG no-link picture") << "CONokN" << QSize(25, 24);
    QTest::newRow("data output") << "LCDsend" << QSize(36, 29);
    QTest::newRow("enlarge icon") << "TbFd" << QSize(25, 25);
}

void TestAssets::picturesDecode()
{
    QFETCH(QString, name);
    const QPixmap pixmap = assets::picture(name);
    QVERIFY(!pixmap.isNull());
    QTEST(pixmap.size(), "size");
}

void TestAssets::bannerIsAnimated()
{
    QImageReader banner(assets::picturePath(QStringLiteral("Image1")));
    QVERIFY(banner.supportsAnimation());
    QCOMPARE(banner.imageCount(), 9);
    QCOMPARE(banner.loopCount(), -1); // runs for as long as it is shown
    for (int frame = 0; frame < 9; ++frame)
        QCOMPARE(banner.read().size(), QSize(249, 33));
}

QTEST_MAIN(TestAssets)
#include "TestAssets.moc"
