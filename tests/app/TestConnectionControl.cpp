#include "app/TFCOMM.h"
#include "link/SerialPortDriver.h"
#include "ui_FCOMM.h"

#include <QAction>
#include <QtTest>

// The serial link's controls: the port selector, the "ComSetup" and "Connect" menus and the
// "COM Connect" button keep step with the link, whatever the port does.
class TestConnectionControl : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void selectorStepsThroughThePorts();
    void connectAndDisconnectSwitchTheControls();
    void comConnectButtonAndBanner();
};

void TestConnectionControl::init()
{
    // A port that cannot open: the controls switch all the same, without a message.
    qputenv("VORLATT_COM1", "/nonexistent/vorlatt-port");
}

void TestConnectionControl::cleanup()
{
    qunsetenv("VORLATT_COM1");
}

void TestConnectionControl::selectorStepsThroughThePorts()
{
    TFCOMM w;
    Ui::FCOMM *ui = w.ui();
    ClickPanel *panels[] = {ui->BtCOM1, ui->BtCOM2, ui->BtCOM3, ui->BtCOM4};
    QAction *items[] = {ui->COM11, ui->COM21, ui->COM31, ui->COM41};
    // The one port whose panel shows and whose menu item is checked; 0 when they disagree.
    auto shown = [&] {
        int visible = 0;
        for (int i = 0; i < 4; ++i) {
            if (items[i]->isChecked() != !panels[i]->isHidden())
                return 0;
            if (!panels[i]->isHidden())
                visible = i + 1;
        }
        return visible;
    };
    QCOMPARE(shown(), 1);
    for (int expected : {2, 3, 4, 1}) {
        QVERIFY(shown() > 0);
        QTest::mouseClick(panels[shown() - 1], Qt::LeftButton);
        QCOMPARE(shown(), expected);
        QCOMPARE(int(w.serialDriver()->comPort()), expected - 1);
    }
    ui->COM31->trigger();
    QCOMPARE(shown(), 3);
    QTest::mouseClick(ui->BtCOM3, Qt::LeftButton);
    QCOMPARE(shown(), 4);
}

void TestConnectionControl::connectAndDisconnectSwitchTheControls()
{
    TFCOMM w;
    Ui::FCOMM *ui = w.ui();
    QVERIFY(ui->START1->isEnabled() && !ui->STOP1->isEnabled());

    ui->START1->trigger();
    QVERIFY(!ui->ComSetup1->isEnabled());
    QVERIFY(ui->START1->isChecked() && !ui->START1->isEnabled());
    QVERIFY(ui->STOP1->isEnabled() && !ui->STOP1->isChecked());
    QVERIFY(ui->BTCon->isHidden() && !ui->BtDiscon->isHidden());
    QVERIFY(!w.serialDriver()->IsOpen()); // the missing port: no message, the state is open
    QTest::mouseClick(ui->BtCOM1, Qt::LeftButton); // disabled: no step
    QVERIFY(!ui->BtCOM1->isHidden() && ui->BtCOM2->isHidden());
    QVERIFY(!ui->COMCon->isChecked() && !ui->USBCon->isHidden()); // START presses no button

    ui->STOP1->trigger();
    QVERIFY(ui->ComSetup1->isEnabled());
    QVERIFY(!ui->START1->isChecked() && ui->START1->isEnabled());
    QVERIFY(!ui->STOP1->isEnabled() && ui->STOP1->isChecked()); // the grey check mark
    QVERIFY(!ui->BTCon->isHidden() && ui->BtDiscon->isHidden());
    QTest::mouseClick(ui->BtCOM1, Qt::LeftButton);
    QVERIFY(!ui->BtCOM2->isHidden());
}

void TestConnectionControl::comConnectButtonAndBanner()
{
    TFCOMM w;
    Ui::FCOMM *ui = w.ui();
    ui->COMCon->click();
    QVERIFY(ui->COMCon->isChecked());
    QVERIFY(ui->USBCon->isHidden());
    QVERIFY(!ui->START1->isEnabled());

    ui->Image1->show(); // as frames would have shown it
    ui->STOP1->trigger(); // the menu leaves the banner and the button as they are
    QVERIFY(!ui->Image1->isHidden());
    QVERIFY(ui->COMCon->isChecked());

    ui->START1->trigger();
    ui->COMCon->click(); // released: the banner goes and the USB button returns
    QVERIFY(!ui->COMCon->isChecked());
    QVERIFY(ui->Image1->isHidden());
    QVERIFY(!ui->USBCon->isHidden());
    QVERIFY(ui->START1->isEnabled());
}

QTEST_MAIN(TestConnectionControl)
#include "TestConnectionControl.moc"
