#include "tests/support/PtyPort.h"
#include "app/ClockText.h"
#include "app/DesignLayout.h"
#include "app/StartValues.h"
#include "app/TFCOMM.h"
#include "ui_FCOMM.h"
#include "views/ReadingChart.h"

#include <QAction>
#include <QCheckBox>
#include <QMenuBar>
#include <QMessageBox>
#include <QStyleOptionButton>
#include <QTimer>
#include <QtTest>

Q_DECLARE_METATYPE(ProfileSwitches)

namespace {

// Answers the next modal message box with `button` once it is open; returns its text by pointer.
void answerNextBox(QMessageBox::StandardButton button, QString *text)
{
    QTimer::singleShot(0, [=] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        *text = box->text();
        box->button(button)->click();
    });
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void profileAtStartup_data();
    void profileAtStartup();
    void clockText_data();
    void clockText();
    void exitQuestion_data();
    void exitQuestion();
    void layout();
    void resizeRule_data();
    void resizeRule();
    void captionStretch_data();
    void captionStretch();
    void startValues_data();
    void startValues();
    void connectButtonsAllowAllUp();
};

void TestMainWindow::profileAtStartup_data()
{
    QTest::addColumn<ProfileSwitches>("switches");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("speed");
    QTest::addColumn<int>("countFull");
    QTest::addColumn<float>("maxLimit");
    QTest::addColumn<float>("minLimit");
    QTest::addColumn<QString>("minText");
    QTest::addColumn<QString>("maxText");
    QTest::addColumn<bool>("routineWired");
    QTest::addColumn<QString>("firstDigit");

    ProfileSwitches ulmara;
    QTest::newRow("IFUlmara alone")
        << ulmara << "Vorlatt Interface Program: 1.0.1" << 2400 << 6000 << 6000.0f << -6000.0f
        << "6001" << "-6001" << true << "5";

    ProfileSwitches rostav = ulmara;
    rostav.IFRostav = true;
    QTest::newRow("IFRostav with IFUlmara")
        << rostav << "Vorlatt Interface Program: 1.0.1" << 2400 << 6000 << 6000.0f << -6000.0f
        << "6001" << "-6001" << true << "3";

    ProfileSwitches yorbel = ulmara;
    yorbel.IFYorbel = true;
    QTest::newRow("IFYorbel with IFUlmara")
        << yorbel << "Vorlatt Interface Program: 1.0.1" << 19200 << 6000 << 6000.0f << -6000.0f
        << "6001" << "-6001" << true << "5";

    ProfileSwitches none;
    none.IFUlmara = false;
    QTest::newRow("no switch") << none << "Vorlatt Kesmiro win7" << 2400 << 4000 << 4002.0f
                               << -4002.0f << "4001" << "-4001" << false << "5";

    ProfileSwitches quindel = none;
    quindel.IFQuindel = true;
    QTest::newRow("IFQuindel alone")
        << quindel << "Quindel Interface Program _Ver: 2.06" << 2400 << 3400 << 3400.0f
        << -3400.0f << "3401" << "-3401" << true << "5";
}

void TestMainWindow::profileAtStartup()
{
    QFETCH(ProfileSwitches, switches);
    TFCOMM w(&switches);
    QTEST(w.windowTitle(), "caption");
    QTEST(w.profile().serialSpeed, "speed");
    QTEST(w.countRange().CountFull, "countFull");
    QFETCH(int, countFull);
    QCOMPARE(w.countRange().CountTenth, countFull / 10);
    QCOMPARE(w.countRange().CountFiftieth, countFull / 50);
    const LimitAlarms::State &limits = w.limits().state();
    QTEST(limits.MaxLimit, "maxLimit");
    QTEST(limits.MinLimit, "minLimit");
    QCOMPARE(limits.PeakMax, -float(countFull + 1));
    QCOMPARE(limits.PeakMin, float(countFull + 1));
    QCOMPARE(limits.LastUnitText, QStringLiteral("113"));
    QTEST(w.ui()->MinText->text(), "minText");
    QTEST(w.ui()->MaxText->text(), "maxText");
    QTEST(w.profile().receiveRoutine != ReceiveRoutine::None, "routineWired");
    QTEST(w.ui()->LcdDa->text(), "firstDigit");
    QCOMPARE(w.readingLog().NextRecordNo, 1);
    QCOMPARE(w.readingLog().RecordLimit, 10000);
    QVERIFY(w.chart()->paging().LivePaging());
    QCOMPARE(w.chart()->pointCount(), 1); // the placeholder point
}

void TestMainWindow::clockText_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("text");
    QTest::newRow("afternoon") << QDateTime(QDate(2009, 3, 27), QTime(14, 5, 9))
                               << "14 : 05 : 09     03 - 27 - 2009";
    QTest::newRow("zero padded") << QDateTime(QDate(2010, 1, 2), QTime(9, 5, 3))
                                 << "09 : 05 : 03     01 - 02 - 2010";
    QTest::newRow("midnight") << QDateTime(QDate(2026, 12, 31), QTime(0, 0, 0))
                              << "00 : 00 : 00     12 - 31 - 2026";
}

void TestMainWindow::clockText()
{
    QFETCH(QDateTime, when);
    QFETCH(QString, text);
    QCOMPARE(::clockText(when), text);
    QCOMPARE(::clockText(when).size(), 31);
}

void TestMainWindow::exitQuestion_data()
{
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::addColumn<bool>("ends");
    QTest::newRow("Yes ends the program") << QMessageBox::Yes << true;
    QTest::newRow("No changes nothing") << QMessageBox::No << false;
}

void TestMainWindow::exitQuestion()
{
    QFETCH(QMessageBox::StandardButton, answer);
    QFETCH(bool, ends);
    TFCOMM w;
    w.show();
    int terminations = 0;
    w.setTerminate([&] { ++terminations; });
    QString text;
    answerNextBox(answer, &text);
    w.ui()->BitBtn1->click();
    QCOMPARE(text, QStringLiteral("Are you ensure to exit the program\uFF1F"));
    QCOMPARE(terminations, ends ? 1 : 0);
    QCOMPARE(w.logOpen(), !ends);
}

void TestMainWindow::layout()
{
    TFCOMM w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Ui::FCOMM *ui = w.ui();
    QCOMPARE(w.centralWidget()->size(), QSize(620, 449));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QCOMPARE(ui->Panel1->geometry(), QRect(3, 31, 285, 162));
    QCOMPARE(ui->PBar2->geometry(), QRect(3, 192, 284, 17));
    QCOMPARE(ui->COMCon->geometry(), QRect(68, 4, 94, 25));
    QCOMPARE(ui->BitBtn1->text(), QStringLiteral("EXIT"));
    QCOMPARE(ui->StatusBar1->geometry(), QRect(0, 419, 620, 30));
    QCOMPARE(ui->RecordSI->text(), QStringLiteral("Sampling Interval           'S"));

    // The window is the menu bar and the client area, not a pixel more.
    QCOMPARE(w.height(), w.menuBar()->height() + 449);
    QCOMPARE(w.centralWidget()->geometry().bottom(), w.height() - 1);

    // The resize rule works from the design's outer width (a 3-pixel frame), whatever frame the
    // desktop draws: the dial panel is 323 wide, its picture fills it, the chart lies below.
    QCOMPARE(ui->KD->width(), 323);
    QCOMPARE(ui->KD2->size(), QSize(321, 133));
    QCOMPARE(ui->Chtshow->y(), 173);
    QCOMPARE(ui->KD1->geometry(), ui->KD->rect().adjusted(1, 1, -1, -1));

    // Check box captions fit their design boxes; the sampling caption's words end before the
    // interval box that lies over its blanks.
    auto textEnd = [](QCheckBox *box, const QString &text) {
        QStyleOptionButton option;
        option.initFrom(box);
        const QRect contents =
            box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
        return contents.x() + box->fontMetrics().horizontalAdvance(text);
    };
    for (QCheckBox *box : {ui->RepeatSet, ui->RecordSI, ui->BtFill, ui->SetMaxB, ui->SetMinB})
        QVERIFY2(textEnd(box, box->text()) <= box->width(), qPrintable(box->objectName()));
    QVERIFY(ui->RecordSI->x() + textEnd(ui->RecordSI, QStringLiteral("Sampling Interval")) <=
            ui->RecordSITime->x());

    // Hidden controls stay out of reach: off-screen or invisible.
    for (QWidget *hidden : {static_cast<QWidget *>(ui->BtExit), static_cast<QWidget *>(ui->BTCon),
                            static_cast<QWidget *>(ui->IFUlmara), static_cast<QWidget *>(ui->DevListBox)})
        QVERIFY(!hidden->isVisible() || hidden->y() >= 449);

    QVERIFY(ui->COM11->isChecked());
    QVERIFY(!ui->STOP1->isEnabled());
    QVERIFY(ui->Fill->isChecked());
    QVERIFY(ui->N100001->isChecked());
    QCOMPARE(ui->StatusPanel5->text(), QStringLiteral("Vorlatt"));
    QCOMPARE(ui->StatusPanel0->width(), 98); // 100 with its one-pixel gaps
}

// The controls that follow the window's width, for the design's width and two others.
void TestMainWindow::resizeRule_data()
{
    QTest::addColumn<int>("outerWidth");
    QTest::addColumn<int>("kdHeight");
    QTest::addColumn<QList<int>>("placed"); // BtExit x, BTCon x, KD w, KD2 w, KD2 h, Chtshow y
    QTest::addColumn<QRect>("dialPicture");
    QTest::newRow("design") << 626 << 139 << QList<int>{546, 436, 323, 321, 133, 173}
                            << QRect(1, 1, 321, 137);
    QTest::newRow("no frame") << 620 << 139 << QList<int>{540, 430, 317, 315, 133, 173}
                              << QRect(1, 1, 315, 137);
    QTest::newRow("taller panel") << 626 << 150 << QList<int>{546, 436, 323, 321, 144, 184}
                                  << QRect(1, 1, 321, 148);
}

void TestMainWindow::resizeRule()
{
    QFETCH(int, outerWidth);
    QFETCH(int, kdHeight);
    const design::ResizedLayout r = design::resizedLayout(outerWidth, kdHeight);
    QFETCH(QList<int>, placed);
    QCOMPARE((QList<int>{r.BtExitX, r.BTConX, r.KDWidth, r.KD2Width, r.KD2Height, r.ChtshowY}),
             placed);
    QTEST(r.KD1, "dialPicture");
}

void TestMainWindow::captionStretch_data()
{
    QTest::addColumn<int>("room");
    QTest::addColumn<int>("needed");
    QTest::addColumn<int>("stretch");
    QTest::newRow("fits") << 80 << 80 << 100;
    QTest::newRow("sampling caption") << 91 << 96 << 94;
    QTest::newRow("never below half") << 30 << 100 << 50;
    QTest::newRow("no room at all") << 0 << 50 << 100;
}

void TestMainWindow::captionStretch()
{
    QFETCH(int, room);
    QFETCH(int, needed);
    QTEST(design::captionStretch(room, needed), "stretch");
}

// The texts a count code writes at start-up; the 4000-count layout's texts stand as they are.
void TestMainWindow::startValues_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QStringList>("texts"); // Setmax, SetMin, MinText, MaxText; empty for none
    QTest::newRow("6000") << "6" << QStringList{"6000", "-6000", "6001", "-6001"};
    QTest::newRow("3400") << "34" << QStringList{"3400", "-3400", "3401", "-3401"};
    QTest::newRow("4000") << "4" << QStringList{};
    QTest::newRow("frequency") << "10" << QStringList{};
}

void TestMainWindow::startValues()
{
    QFETCH(QString, code);
    QFETCH(QStringList, texts);
    const std::optional<StartValues> p = startValuesFor(code);
    QCOMPARE(p.has_value(), !texts.isEmpty());
    if (p) {
        QCOMPARE((QStringList{p->Setmax, p->SetMin, p->MinText, p->MaxText}), texts);
        QCOMPARE(p->range.CountCode, code);
    }
}

void TestMainWindow::connectButtonsAllowAllUp()
{
    PtyPort port;
    TFCOMM w;
    Ui::FCOMM *ui = w.ui();
    ui->COMCon->click();
    QVERIFY(ui->COMCon->isChecked());
    ui->ReadBtn->setChecked(true); // another of the group going down releases the first
    QVERIFY(!ui->COMCon->isChecked());
    ui->ReadBtn->setChecked(false);
    QVERIFY(!ui->COMCon->isChecked() && !ui->USBCon->isChecked() && !ui->ReadBtn->isChecked());
}

QTEST_MAIN(TestMainWindow)
#include "TestMainWindow.moc"
