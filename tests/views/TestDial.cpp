#include "views/Dial.h"
#include "views/DialGeometry.h"
#include "views/DialScale.h"

#include <QtTest>

#include <limits>

namespace {
// The dial panel as the window lays it out (window 626 wide: KD is 626 - 303 pixels).
constexpr int kPanelW = 323;
constexpr int kPanelH = 139;

DialInputs rangeFor(const QString &code)
{
    DialInputs in;
    in.panelWidth = kPanelW;
    in.panelHeight = kPanelH;
    in.CountCode = code;
    if (code == QLatin1String("6")) {
        in.CountFull = 6000, in.CountTenth = 600, in.CountFiftieth = 120;
    } else if (code == QLatin1String("4")) {
        in.CountFull = 4000, in.CountTenth = 400, in.CountFiftieth = 80;
    } else if (code == QLatin1String("34")) {
        in.CountFull = 3400, in.CountTenth = 340, in.CountFiftieth = 68;
    } else if (code == QLatin1String("1")) {
        in.CountFull = 100, in.CountTenth = 100, in.CountFiftieth = 20;
    } else { // "10" and "13"
        in.CountFull = 1000, in.CountTenth = 1000, in.CountFiftieth = 200;
    }
    in.MaxLimit = float(in.CountFull);
    in.MinLimit = -float(in.CountFull);
    return in;
}

} // namespace

Q_DECLARE_METATYPE(DialInputs)

class TestDial : public QObject
{
    Q_OBJECT
private slots:
    void roundsHalvesToEven_data();
    void roundsHalvesToEven();
    void facePointsFollowSinglePrecisionGeometry_data();
    void facePointsFollowSinglePrecisionGeometry();
    void needleEndsForPositions_data();
    void needleEndsForPositions();
    void wildPositionsKeepTheNeedleBounded_data();
    void wildPositionsKeepTheNeedleBounded();
    void dotsBeyondEnabledLimitsAreRed_data();
    void dotsBeyondEnabledLimitsAreRed();
    void faceShowsLimitAndFollowsCheckBox();
    void cachedFaceEqualsFaceDrawnAnew_data();
    void cachedFaceEqualsFaceDrawnAnew();
    void movingTheNeedleLeavesOnlyTheNewNeedle();
    void tooSmallPanelDrawsBlankFace();
    void labelsShowWholeInsideThePicture_data();
    void labelsShowWholeInsideThePicture();
};

void TestDial::roundsHalvesToEven_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("0.5 down to even") << 0.5 << 0;
    QTest::newRow("1.5 up to even") << 1.5 << 2;
    QTest::newRow("2.5 down to even") << 2.5 << 2;
    QTest::newRow("-0.5") << -0.5 << 0;
    QTest::newRow("-1.5") << -1.5 << -2;
    QTest::newRow("-2.5") << -2.5 << -2;
    QTest::newRow("just above half") << 141.50001 << 142;
    QTest::newRow("just below half") << 141.49999 << 141;
    QTest::newRow("beyond 32 bits clamps") << 1e12 << std::numeric_limits<int>::max();
    QTest::newRow("below 32 bits clamps") << -1e12 << std::numeric_limits<int>::min();
    QTest::newRow("not a number") << std::nan("") << 0;
}

void TestDial::roundsHalvesToEven()
{
    QFETCH(double, value);
    QFETCH(int, expected);
    QCOMPARE(roundHalfEven(value), expected);
}

void TestDial::facePointsFollowSinglePrecisionGeometry_data()
{
    // Expected points computed independently, with every stored term rounded to single
    // precision. The rows marked "single" land on the other pixel when that term is kept in
    // double precision instead.
    QTest::addColumn<QSize>("panel");
    QTest::addColumn<double>("radiusOverR");
    QTest::addColumn<double>("position");
    QTest::addColumn<int>("steps");
    QTest::addColumn<QPoint>("expected");
    const QSize kd(kPanelW, kPanelH);
    QTest::newRow("label -60 at left end") << kd << 18.0 << 0.0 << 120 << QPoint(5, 100);
    QTest::newRow("label 0 upright") << kd << 18.0 << 60.0 << 120 << QPoint(162, 12);
    QTest::newRow("label 60 at right end") << kd << 18.0 << 120.0 << 120 << QPoint(318, 100);
    QTest::newRow("label between steps (-75 on the % scale)")
        << kd << 18.0 << 2.5 << 20 << QPoint(34, 63);
    QTest::newRow("tick at -45") << kd << 6.0 << 15.0 << 120 << QPoint(42, 72);
    QTest::newRow("dot 0") << kd << 3.0 << 0.0 << 1200 << QPoint(17, 107);
    QTest::newRow("dot 900") << kd << 3.0 << 900.0 << 1200 << QPoint(244, 48);
    QTest::newRow("dot 901") << kd << 3.0 << 901.0 << 1200 << QPoint(244, 49);
    QTest::newRow("single R, dot") << QSize(332, 139) << 3.0 << 449.0 << 1200 << QPoint(122, 32);
    QTest::newRow("single R, label") << QSize(314, 137) << 18.0 << 2.0 << 120 << QPoint(8, 93);
    QTest::newRow("single r cos a") << QSize(319, 137) << 3.0 << 216.0 << 1200 << QPoint(58, 61);
    QTest::newRow("single r cos a, left half")
        << QSize(334, 139) << 3.0 << 343.0 << 1200 << QPoint(94, 43);
    QTest::newRow("single angle, centre dot")
        << QSize(301, 137) << 3.0 << 600.0 << 1200 << QPoint(151, 27);
}

void TestDial::facePointsFollowSinglePrecisionGeometry()
{
    QFETCH(QSize, panel);
    QFETCH(double, radiusOverR);
    QFETCH(double, position);
    QFETCH(int, steps);
    QFETCH(QPoint, expected);
    const DialGeometry g = DialGeometry::fromPanel(panel.width(), panel.height());
    QCOMPARE(g.pointAt(double(g.R) + radiusOverR, g.angle(position, steps)), expected);
}

void TestDial::needleEndsForPositions_data()
{
    QTest::addColumn<QSize>("panel");
    QTest::addColumn<QString>("code");
    QTest::addColumn<int>("position");
    QTest::addColumn<QPoint>("tip");
    QTest::addColumn<QPoint>("base");
    const QSize kd(kPanelW, kPanelH);
    QTest::newRow("zero reading upright, tip at y 34")
        << kd << "6" << 600 << QPoint(162, 34) << QPoint(161, 389);
    QTest::newRow("overload at the right end")
        << kd << "6" << 1200 << QPoint(303, 113) << QPoint(-151, 389);
    QTest::newRow("negative overload at the left end")
        << kd << "6" << 0 << QPoint(20, 113) << QPoint(474, 389);
    QTest::newRow("5999 counts") << kd << "6" << 1199 << QPoint(303, 113) << QPoint(-150, 389);
    QTest::newRow("-1234 counts") << kd << "6" << 477 << QPoint(127, 38) << QPoint(202, 389);
    QTest::newRow("zero on the 4000 scale")
        << kd << "4" << 400 << QPoint(162, 34) << QPoint(161, 389);
    QTest::newRow("3000 counts on the Hz scale")
        << kd << "10" << 1300 << QPoint(211, 42) << QPoint(101, 389);
    QTest::newRow("temperature past the right end")
        << kd << "13" << 3100 << QPoint(302, 290) << QPoint(464, 389);
    // The span kept in single precision moves the lower end by a pixel here.
    QTest::newRow("single span") << QSize(323, 150) << "6" << 1188 << QPoint(301, 121)
                                 << QPoint(-269, 400);
}

void TestDial::needleEndsForPositions()
{
    QFETCH(QSize, panel);
    QFETCH(QString, code);
    QFETCH(int, position);
    QFETCH(QPoint, tip);
    QFETCH(QPoint, base);
    DialInputs in = rangeFor(code);
    in.panelWidth = panel.width();
    in.panelHeight = panel.height();
    Dial dial;
    dial.KDsetup(in);
    dial.KDrun(position);
    QCOMPARE(dial.LastNeedleTip(), tip);
    QCOMPARE(dial.LastNeedleBase(), base);
    // The needle is drawn black from its tip (tip pixels can be clipped at the picture's edge).
    const QPoint onNeedle = tip + (base - tip) / 20;
    if (dial.image().rect().contains(onNeedle))
        QCOMPARE(dial.image().pixelColor(onNeedle), QColor(Qt::black));
}

void TestDial::wildPositionsKeepTheNeedleBounded_data()
{
    QTest::addColumn<int>("position");
    QTest::newRow("largest position") << std::numeric_limits<int>::max();
    QTest::newRow("smallest position") << std::numeric_limits<int>::min();
    // Round past the left end until the needle lies flat (sin a close to 0 either side).
    QTest::newRow("flat, just above") << -325;
    QTest::newRow("flat, just below") << -326;
    QTest::newRow("nearly flat, long lower end") << -320;
}

void TestDial::wildPositionsKeepTheNeedleBounded()
{
    QFETCH(int, position);
    Dial dial;
    dial.KDsetup(rangeFor(QStringLiteral("6")));
    dial.KDrun(position);
    const int reach = int(DialGeometry::kMaxNeedleReach) + 1000;
    for (const QPoint &p : {dial.LastNeedleTip(), dial.LastNeedleBase()}) {
        QVERIFY2(qAbs(p.x()) <= reach && qAbs(p.y()) <= reach,
                 qPrintable(QStringLiteral("%1, %2").arg(p.x()).arg(p.y())));
    }
    dial.KDrun(600); // erasing the wild needle must work as well
}

void TestDial::dotsBeyondEnabledLimitsAreRed_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("setMaxB");
    QTest::addColumn<float>("maxLimit");
    QTest::addColumn<bool>("setMinB");
    QTest::addColumn<float>("minLimit");
    QTest::addColumn<int>("dot");
    QTest::addColumn<bool>("red");
    QTest::newRow("6000: dot 900 is 3000, not above")
        << "6" << true << 3000.f << false << 0.f << 900 << false;
    QTest::newRow("6000: dot 901 above 3000")
        << "6" << true << 3000.f << false << 0.f << 901 << true;
    QTest::newRow("6000: unchecked max stays black")
        << "6" << false << 3000.f << false << 0.f << 1200 << false;
    QTest::newRow("Hz: dot 400 not above 3000")
        << "10" << true << 3000.f << false << 0.f << 400 << false;
    QTest::newRow("Hz: dot 401 above 3000")
        << "10" << true << 3000.f << false << 0.f << 401 << true;
    QTest::newRow("temperature: dot 401 above 3000")
        << "13" << true << 3000.f << false << 0.f << 401 << true;
    QTest::newRow("6000: dot 299 below -3000")
        << "6" << false << 0.f << true << -3000.f << 299 << true;
    QTest::newRow("6000: dot 300 is -3000, not below")
        << "6" << false << 0.f << true << -3000.f << 300 << false;
    QTest::newRow("6000: unchecked min stays black")
        << "6" << false << 0.f << false << -3000.f << 0 << false;
    QTest::newRow("both limits: between them")
        << "6" << true << 3000.f << true << -3000.f << 600 << false;
}

void TestDial::dotsBeyondEnabledLimitsAreRed()
{
    QFETCH(QString, code);
    QFETCH(bool, setMaxB);
    QFETCH(float, maxLimit);
    QFETCH(bool, setMinB);
    QFETCH(float, minLimit);
    QFETCH(int, dot);
    QFETCH(bool, red);
    DialInputs in = rangeFor(code);
    in.SetMaxB = setMaxB;
    in.MaxLimit = maxLimit;
    in.SetMinB = setMinB;
    in.MinLimit = minLimit;
    QCOMPARE(DialScale::dotIsRed(dot, in), red);
}

void TestDial::faceShowsLimitAndFollowsCheckBox()
{
    // The last dot (the right end, drawn over its neighbours) centres on (307, 108).
    const QPoint lastDot(307, 108);
    DialInputs in = rangeFor(QStringLiteral("6"));
    in.MaxLimit = 3000;
    in.SetMaxB = true;
    Dial dial;
    dial.KDsetup(in);
    QCOMPARE(dial.image().pixelColor(lastDot), QColor(255, 0, 0));
    in.SetMaxB = false;
    dial.KDsetup(in);
    QCOMPARE(dial.image().pixelColor(lastDot), QColor(0, 0, 0));
}

void TestDial::cachedFaceEqualsFaceDrawnAnew_data()
{
    QTest::addColumn<DialInputs>("inputs");
    for (const char *code : {"6", "4", "34", "10", "1", "13", "unknown"})
        QTest::newRow(code) << rangeFor(QString::fromLatin1(code));
    DialInputs limits = rangeFor(QStringLiteral("6"));
    limits.MaxLimit = 2500;
    limits.SetMaxB = true;
    limits.MinLimit = -100;
    limits.SetMinB = true;
    QTest::newRow("both limits enabled") << limits;
}

void TestDial::cachedFaceEqualsFaceDrawnAnew()
{
    QFETCH(DialInputs, inputs);
    Dial dial;
    dial.KDsetup(inputs);
    dial.KDrun(inputs.CountTenth);
    dial.KDrun(inputs.CountTenth / 2);
    dial.KDsetup(inputs); // from the cache: the needle must be gone
    QCOMPARE(dial.facesDrawn(), 1);

    QImage fresh(dial.image().size(), dial.image().format());
    Dial::drawFace(fresh, inputs, Dial::defaultLabelFont());
    QCOMPARE(dial.image(), fresh);

    // A change of any input must not reuse the old face.
    DialInputs moved = inputs;
    moved.SetMaxB = !moved.SetMaxB;
    moved.MaxLimit = 0;
    dial.KDsetup(moved);
    QCOMPARE(dial.facesDrawn(), 2);
    Dial movedReference;
    movedReference.KDsetup(moved);
    QCOMPARE(dial.image(), movedReference.image());
}

void TestDial::movingTheNeedleLeavesOnlyTheNewNeedle()
{
    const DialInputs in = rangeFor(QStringLiteral("6"));
    Dial moved;
    moved.KDsetup(in);
    moved.KDrun(in.CountTenth);
    moved.KDrun(900);
    Dial direct;
    direct.KDsetup(in);
    direct.KDrun(900);
    QCOMPARE(moved.image(), direct.image());
}

void TestDial::tooSmallPanelDrawsBlankFace()
{
    DialInputs in = rangeFor(QStringLiteral("6"));
    in.panelWidth = 40;
    in.panelHeight = 60;
    Dial dial;
    dial.KDsetup(in);
    dial.KDrun(600);
    QImage white(dial.image().size(), dial.image().format());
    white.fill(Qt::white);
    QCOMPARE(dial.image(), white);
}

void TestDial::labelsShowWholeInsideThePicture_data()
{
    QTest::addColumn<QString>("code");
    for (const char *code : {"6", "4", "34", "10", "1", "13"})
        QTest::newRow(code) << QString::fromLatin1(code);
}

// Every label of every scale lies whole inside the picture, on the window's dial panel as it is
// laid out and as designed; labels that fit keep their design place.
void TestDial::labelsShowWholeInsideThePicture()
{
    QFETCH(QString, code);
    const QFontMetrics metrics(Dial::defaultLabelFont());
    for (int panelWidth : {323, 327}) {
        DialInputs in = rangeFor(code);
        in.panelWidth = panelWidth;
        in.panelHeight = 139;
        const QRect picture(QPoint(0, 0), Dial::pictureSizeFor(in.panelWidth, in.panelHeight));
        const DialGeometry g = DialGeometry::fromPanel(in.panelWidth, in.panelHeight);
        const QList<DialLabel> labels = DialScale::labels(code);
        QVERIFY(!labels.isEmpty());
        for (const DialLabel &label : labels) {
            const QRect box = Dial::labelBox(g, label, in.CountFiftieth, metrics, picture);
            QVERIFY2(picture.contains(box), qPrintable(label.text));
            QCOMPARE(box.width(), metrics.horizontalAdvance(label.text));
            const QPoint anchor =
                g.pointAt(double(g.R) + 18.0, g.angle(label.position, in.CountFiftieth));
            const QRect design(anchor - QPoint(label.dx, label.dy), box.size());
            if (picture.contains(design))
                QCOMPARE(box, design);
        }
    }
}

QTEST_MAIN(TestDial)
#include "TestDial.moc"
