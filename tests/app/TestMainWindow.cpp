#include "app/ClockText.h"
#include "app/TFCOMM.h"
#include "ui_FCOMM.h"
#include "views/ReadingChart.h"

#include <QAction>
#include <QMessageBox>
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
    const SharedState &s = w.state();
    QTEST(w.windowTitle(), "caption");
    QTEST(w.profile().serialSpeed, "speed");
    QTEST(s.countRange.CountFull, "countFull");
    QFETCH(int, countFull);
    QCOMPARE(s.countRange.CountTenth, countFull / 10);
    QCOMPARE(s.countRange.CountFiftieth, countFull / 50);
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

    // The resize rule takes the outer width: the dial panel is 303 narrower, the chart below it.
    const int outer = w.frameGeometry().width();
    QCOMPARE(ui->KD->width(), outer - 303);
    QCOMPARE(ui->KD2->size(), QSize(outer - 305, ui->KD->height() - 6));
    QCOMPARE(ui->Chtshow->y(), ui->KD->height() + 34);

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

void TestMainWindow::connectButtonsAllowAllUp()
{
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
