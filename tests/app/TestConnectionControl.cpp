#include "tests/support/MessageBoxCloser.h"
#include "tests/support/PtyPort.h"
#include "app/TFCOMM.h"
#include "link/PortOpenFailure.h"
#include "link/SerialPortDriver.h"
#include "ui_FCOMM.h"

#include <QAction>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>

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
    void failedConnectIsReportedAndChangesNothing_data();
    void failedConnectIsReportedAndChangesNothing();
    void permissionMessageNamesTheGroup();

private:
    std::unique_ptr<PtyPort> m_port;
};

void TestConnectionControl::init()
{
    m_port = std::make_unique<PtyPort>();
    QVERIFY(m_port->isOpen());
}

void TestConnectionControl::cleanup()
{
    m_port.reset();
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
    QVERIFY(w.serialDriver()->IsOpen());
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

void TestConnectionControl::failedConnectIsReportedAndChangesNothing_data()
{
    QTest::addColumn<QString>("target"); // what COM1 names; "held" for the pty another holds
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing device") << "/nonexistent/vorlatt-port"
                                    << "No such file or directory";
    QTest::newRow("directory") << "dir"
                               << "Is a directory";
    QTest::newRow("regular file") << "file"
                                  << "not a serial port";
    QTest::newRow("held by another") << "held"
                                     << "in use by another program";
}

// A port that does not open is named in a message with the system's reason, and the window stays
// closed: the user can choose another port and try again.
void TestConnectionControl::failedConnectIsReportedAndChangesNothing()
{
    QFETCH(QString, target);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QString device = target;
    TSerialPortDriver holder;
    if (target == u"dir") {
        device = dir.path();
    } else if (target == u"file") {
        device = dir.filePath(QStringLiteral("plain"));
        QFile plain(device);
        QVERIFY(plain.open(QIODevice::WriteOnly));
    } else if (target == u"held") {
        device = QString::fromLocal8Bit(m_port->path());
        QVERIFY(holder.OpenPort());
    }
    qputenv("VORLATT_COM1", device.toLocal8Bit());

    TFCOMM w;
    Ui::FCOMM *ui = w.ui();
    MessageBoxCloser boxes;
    auto closedState = [&] {
        return !w.serialDriver()->IsOpen() && !ui->COMCon->isChecked() && !ui->USBCon->isHidden() &&
               ui->ComSetup1->isEnabled() && ui->BtCOM1->isEnabled() && ui->START1->isEnabled() &&
               !ui->START1->isChecked() && !ui->STOP1->isEnabled() && !ui->BTCon->isHidden() &&
               ui->BtDiscon->isHidden();
    };
    QVERIFY(closedState());
    ui->COMCon->click();
    QTRY_COMPARE(boxes.texts.size(), 1);
    QVERIFY(closedState());
    ui->START1->trigger(); // the menu's way behaves the same
    QTRY_COMPARE(boxes.texts.size(), 2);
    QVERIFY(closedState());
    for (const QString &text : std::as_const(boxes.texts)) {
        QVERIFY2(
            text.startsWith(QStringLiteral("COM1 could not be opened (device %1)").arg(device)),
            qPrintable(text));
        QVERIFY2(text.contains(reason), qPrintable(text));
    }

    // Once the port is free, the same click connects.
    holder.ClosePort();
    qputenv("VORLATT_COM1", m_port->path());
    ui->COMCon->click();
    QVERIFY(w.serialDriver()->IsOpen());
    QVERIFY(ui->COMCon->isChecked() && ui->USBCon->isHidden() && !ui->START1->isEnabled());
    QCOMPARE(boxes.texts.size(), 2);
}

// Root is never refused, so the permission case is checked on the message alone.
void TestConnectionControl::permissionMessageNamesTheGroup()
{
    const QString text =
        portOpenFailureMessage(2, QStringLiteral("/dev/ttyUSB0"),
                               QStringLiteral("/dev/ttyUSB0: Permission denied"), EACCES);
    QVERIFY(text.startsWith(QStringLiteral("COM2 could not be opened (device /dev/ttyUSB0)")));
    QVERIFY(text.contains(QStringLiteral("Permission denied")));
    QVERIFY(text.contains(QStringLiteral("\"dialout\" group")));
}

QTEST_MAIN(TestConnectionControl)
#include "TestConnectionControl.moc"
