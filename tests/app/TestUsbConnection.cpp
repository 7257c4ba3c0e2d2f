#include "tests/support/MessageBoxCloser.h"
#include "app/TFCOMM.h"
#include "app/UsbConnection.h"
#include "link/hid/HidMemoryBackend.h"
#include "link/hid/THidDeviceController.h"
#include "link/hid/UsbCable.h"
#include "protocol/DisplayState.h"
#include "ui_FCOMM.h"

#include <QtTest>

#include <cerrno>

using protocol::Annunciator;

// "USB Connect" and everything around it, over HID devices held in memory: the device list and
// its choice of the cable, the speed report, frames from the cable's reports on the replica, other
// devices coming and going, the watchdog's empty-report rule and the history.
class TestUsbConnection : public QObject
{
    Q_OBJECT
private slots:
    void deviceListPicksTheLastPlainCable();
    void connectReadsFramesAndReleaseRestoresSerialControls();
    void unansweredSpeedReportEndsTheLinkWithoutFreezing();
    void noCableShowsTheMessageAndKeepsSerialControls();
    void cableWithoutAccessSaysWhy();
    void otherDeviceComingKeepsTheLinkReading();
    void cableUnpluggedEndsTheLink();
    void emptyReportsEndTheLinkAtTheCheck_data();
    void emptyReportsEndTheLinkAtTheCheck();
    void historyKeepsTheNewestLines();
    void readErrorLine();
    void linkAcrossADeviceChange_data();
    void linkAcrossADeviceChange();

private:
    struct Window
    {
        HidMemoryBackend *backend = nullptr;
        std::unique_ptr<TFCOMM> w;
        explicit Window(const QList<HidMemoryBackend::Device> &devices)
        {
            auto owned = std::make_unique<HidMemoryBackend>();
            backend = owned.get();
            for (const HidMemoryBackend::Device &d : devices)
                backend->plug(d, false);
            w = std::make_unique<TFCOMM>(nullptr, nullptr, std::move(owned));
        }
        Ui::FCOMM *ui() const { return w->ui(); }
        QStringList list() const
        {
            QStringList texts;
            for (int i = 0; i < ui()->DevListBox->count(); ++i)
                texts << ui()->DevListBox->item(i)->text();
            return texts;
        }
        QString selected() const
        {
            const QListWidgetItem *item = ui()->DevListBox->currentItem();
            return item && item->isSelected() ? item->text() : QString();
        }
        void sendFrame(const QString &path, const QByteArray &frame) const
        {
            for (const QByteArray &report : usbcable::cableReports(frame))
                backend->push(path, QByteArray(1, '\0') + report);
        }
        bool serialControlsShown() const
        {
            return !ui()->COMCon->isHidden() && !ui()->BtCOM1->isHidden();
        }
    };

    static HidMemoryBackend::Device device(const QString &path, const QString &product,
                                           const std::optional<QString> &serial = std::nullopt)
    {
        HidMemoryBackend::Device d;
        d.path = path;
        d.product = product;
        d.serial = serial;
        d.attributes = {0x1A2B, 0x00C3, 0x0100};
        return d;
    }
    static QByteArray voltFrame(const char *digits)
    {
        protocol::DisplayState s;
        s.digits = digits;
        s.point = 1;
        s.annunciators = Annunciator::Dc | Annunciator::Volt;
        return s.toFrame();
    }
};

void TestUsbConnection::deviceListPicksTheLastPlainCable()
{
    Window f({device("/dev/hidraw0", "USB to Serial"), device("/dev/hidraw1", ""),
              device("/dev/hidraw2", "USB to Serial"),
              device("/dev/hidraw3", "USB to Serial", QStringLiteral("SN-7"))});
    QCOMPARE(f.list(), (QStringList{"USB to Serial", "Device VID=1A2B PID=00C3", "USB to Serial",
                                    "USB to Serial (Serial=SN-7)"}));
    QCOMPARE(f.selected(), QStringLiteral("USB to Serial"));
    QCOMPARE(f.ui()->DevListBox->currentRow(), 2);
    // Every listed device is held by the list.
    for (THidDevice *d : f.w->hidController()->deviceList())
        QVERIFY(d->CheckedOut());
}

void TestUsbConnection::connectReadsFramesAndReleaseRestoresSerialControls()
{
    Window f({device("/dev/hidraw0", "USB to Serial")});
    Ui::FCOMM *ui = f.ui();
    ui->USBCon->click();
    QVERIFY(ui->USBCon->isChecked());
    // The speed report goes on a thread of its own; its history line follows the answer.
    QTRY_COMPARE(f.backend->featureReports("/dev/hidraw0"),
                 QList<QByteArray>{QByteArray::fromHex("00600900000300000000")});
    const auto lastHistoryLine = [ui] {
        const QListWidgetItem *item = ui->HistoryListBox->currentItem();
        return item ? item->text() : QString();
    };
    QTRY_COMPARE(lastHistoryLine(), QStringLiteral("60 09 00 00 03 00 00 00 00 "));
    QVERIFY(ui->COMCon->isHidden() && ui->BtCOM1->isHidden());
    // The title names the cable, so windows on two cables are told apart.
    QCOMPARE(f.w->windowTitle(),
             QStringLiteral("Vorlatt Interface Program: 1.0.1 - USB (/dev/hidraw0)"));

    f.sendFrame("/dev/hidraw0", voltFrame("1234"));
    QTRY_COMPARE(f.w->reading().ValueText, QStringLiteral("1.234"));
    QCOMPARE(f.w->reading().UnitText, QStringLiteral("V"));
    QVERIFY(!ui->Image1->isHidden());
    QVERIFY(ui->HistoryListBox->currentItem()->text().startsWith(QStringLiteral("R 00  F7 ")));
    QCOMPARE(f.w->usbIdleReports(), 1); // the report that ended the burst

    ui->USBCon->click(); // released: the speed report goes again, then reading stops
    QTRY_COMPARE(f.backend->featureReports("/dev/hidraw0").size(), 2);
    QVERIFY(!f.w->currentHidDevice()->readThreadRunning());
    QVERIFY(f.serialControlsShown());
    QVERIFY(ui->Image1->isHidden());
    QCOMPARE(f.w->windowTitle(), QStringLiteral("Vorlatt Interface Program: 1.0.1"));
}

// A cable that keeps the speed report waiting does not hold the window: the click returns with
// the button down, and when the cable finally refuses, the link ends with the message.
void TestUsbConnection::unansweredSpeedReportEndsTheLinkWithoutFreezing()
{
    Window f({device("/dev/hidraw0", "USB to Serial")});
    MessageBoxCloser boxes;
    Ui::FCOMM *ui = f.ui();
    f.backend->holdFeatureReports("/dev/hidraw0");
    ui->USBCon->click();
    QVERIFY(ui->USBCon->isChecked());
    QTRY_COMPARE(f.backend->featureReports("/dev/hidraw0").size(), 1); // sent, not answered
    QCoreApplication::processEvents();                               // the window lives on
    QVERIFY(ui->USBCon->isChecked());
    QVERIFY(boxes.texts.isEmpty());

    f.backend->answerFeatureReports("/dev/hidraw0", ETIMEDOUT);
    QTRY_COMPARE(boxes.texts, QStringList{"USB interface cable is not securely connected, "
                                          "please check and re-try."});
    QVERIFY(!ui->USBCon->isChecked());
    QVERIFY(f.serialControlsShown());
    QVERIFY(!f.w->currentHidDevice()->readThreadRunning());
}

void TestUsbConnection::noCableShowsTheMessageAndKeepsSerialControls()
{
    MessageBoxCloser boxes;
    Window f({device("/dev/hidraw0", "Keyboard"),
              device("/dev/hidraw1", "USB to Serial", QStringLiteral("SN-7"))});
    f.w->show();
    f.ui()->USBCon->click();
    QTRY_COMPARE(boxes.texts, QStringList{"USB interface cable is not securely connected, "
                                          "please check and re-try."});
    QVERIFY(!f.ui()->USBCon->isChecked());
    QVERIFY(f.serialControlsShown());
    QVERIFY(f.backend->featureReports("/dev/hidraw1").isEmpty());
}

void TestUsbConnection::cableWithoutAccessSaysWhy()
{
    MessageBoxCloser boxes;
    HidMemoryBackend::Device cable = device("/dev/hidraw4", "USB to Serial");
    cable.readWrite = false;
    Window f({cable});
    f.w->show();
    f.ui()->USBCon->click();
    QTRY_COMPARE(boxes.texts.size(), 1);
    QVERIFY(boxes.texts.at(0).contains(QStringLiteral("/dev/hidraw4")));
    QVERIFY(boxes.texts.at(0).contains(QStringLiteral("no access")));
    QVERIFY(boxes.texts.at(0).contains(QStringLiteral("70-vorlatt-usb-cable.rules")));
    QVERIFY(!f.ui()->USBCon->isChecked());
    QVERIFY(f.serialControlsShown());
}

void TestUsbConnection::otherDeviceComingKeepsTheLinkReading()
{
    Window f({device("/dev/hidraw0", "USB to Serial")});
    Ui::FCOMM *ui = f.ui();
    ui->USBCon->click();
    f.backend->plug(device("/dev/hidraw1", "Mouse"));
    QCOMPARE(ui->HistoryListBox->item(ui->HistoryListBox->count() - 1)->text(),
             QStringLiteral("Arrival of Mouse"));
    QVERIFY(ui->USBCon->isChecked());
    QCOMPARE(f.selected(), QStringLiteral("USB to Serial"));
    QVERIFY(f.w->currentHidDevice()->readThreadRunning());
    f.sendFrame("/dev/hidraw0", voltFrame("0042"));
    QTRY_COMPARE(f.w->reading().ValueText, QStringLiteral("0.042"));
    f.backend->unplug("/dev/hidraw1");
    QVERIFY(ui->USBCon->isChecked());
    f.sendFrame("/dev/hidraw0", voltFrame("0043"));
    QTRY_COMPARE(f.w->reading().ValueText, QStringLiteral("0.043"));
}

void TestUsbConnection::cableUnpluggedEndsTheLink()
{
    MessageBoxCloser boxes;
    Window f({device("/dev/hidraw0", "USB to Serial"), device("/dev/hidraw1", "Mouse")});
    Ui::FCOMM *ui = f.ui();
    f.w->show();
    ui->USBCon->click();
    f.sendFrame("/dev/hidraw0", voltFrame("1234"));
    QTRY_VERIFY(!ui->Image1->isHidden());
    f.backend->unplug("/dev/hidraw0");
    QCOMPARE(ui->HistoryListBox->item(ui->HistoryListBox->count() - 1)->text(),
             QStringLiteral("Removal of USB to Serial"));
    QCOMPARE(f.selected(), QString());
    QVERIFY(!ui->USBCon->isChecked());
    QVERIFY(f.serialControlsShown());
    QVERIFY(ui->Image1->isHidden());
    QCOMPARE(f.w->windowTitle(), QStringLiteral("Vorlatt Interface Program: 1.0.1"));
    QTRY_COMPARE(boxes.texts, QStringList{"USB interface cable is not securely connected, "
                                          "please check and re-try."});
    f.backend->notify(); // nothing running now: no second message
    QTest::qWait(50);
    QCOMPARE(boxes.texts.size(), 1);
    QCOMPARE(f.list(), QStringList{"Mouse"});
}

void TestUsbConnection::emptyReportsEndTheLinkAtTheCheck_data()
{
    QTest::addColumn<int>("emptyReports");
    QTest::addColumn<bool>("ends");
    QTest::newRow("1899 only switch the indicator") << 1899 << false;
    QTest::newRow("1900 end the link") << 1900 << true;
}

void TestUsbConnection::emptyReportsEndTheLinkAtTheCheck()
{
    QFETCH(int, emptyReports);
    QFETCH(bool, ends);
    MessageBoxCloser boxes;
    Window f({device("/dev/hidraw0", "USB to Serial")});
    Ui::FCOMM *ui = f.ui();
    f.w->show();
    ui->USBCon->click();
    const quint8 idle[8] = {0xF0};
    for (int i = 0; i < emptyReports; ++i)
        f.w->meterRun().receiveReport(0, QByteArrayView(idle, 8));
    QCOMPARE(f.w->usbIdleReports(), emptyReports);
    f.w->ConTimerTimer();
    f.w->ConTimerTimer();
    QVERIFY(boxes.texts.isEmpty()); // only the third tick checks
    f.w->ConTimerTimer();
    QVERIFY(ui->CONok->isHidden() && !ui->CONokN->isHidden());
    QCOMPARE(ui->USBCon->isChecked(), !ends);
    QCOMPARE(f.w->currentHidDevice()->readThreadRunning(), !ends);
    QCOMPARE(f.w->usbIdleReports(), ends ? 0 : emptyReports);
    QCOMPARE(f.serialControlsShown(), ends);
    QCOMPARE(boxes.texts, ends ? QStringList{"USB interface cable is securely connected, please "
                                             "check if the meter is ready."}
                               : QStringList());
}

void TestUsbConnection::historyKeepsTheNewestLines()
{
    Window f({device("/dev/hidraw0", "USB to Serial")});
    QListWidget *history = f.ui()->HistoryListBox;
    for (int i = 0; i < 1200; ++i) {
        const quint8 report[8] = {0xF1, quint8(i), quint8(i >> 8)};
        f.w->meterRun().receiveReport(0, QByteArrayView(report, 8));
    }
    QCOMPARE(history->count(), 1000);
    QCOMPARE(history->item(999)->text(), QStringLiteral("R 00  F1 AF 04 00 00 00 00 00 "));
    QCOMPARE(history->item(0)->text(), QStringLiteral("R 00  F1 C8 00 00 00 00 00 00 "));
    QCOMPARE(history->currentRow(), 999);
    f.ui()->ClearBtn->click();
    QCOMPARE(history->count(), 0);
}

void TestUsbConnection::readErrorLine()
{
    Window f({device("/dev/hidraw0", "USB to Serial")});
    f.w->HidCtlDeviceDataError(nullptr, EIO);
    QCOMPARE(f.ui()->HistoryListBox->currentItem()->text(),
             QStringLiteral("READ ERROR: Input/output error (5)"));
    QCOMPARE(usbcable::readErrorLine(QStringLiteral("The device is not ready. \r\n"), 0x15),
             QStringLiteral("READ ERROR: The device is not ready (15)"));
}

// The rule for a running link when the device set changes, with the cable as the list shows it
// afterwards: gone, there but not openable, or there and openable.
void TestUsbConnection::linkAcrossADeviceChange_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("cable"); // 0 gone, 1 no access, 2 readable
    QTest::addColumn<int>("after");
    using After = UsbConnection::AfterChange;
    QTest::newRow("not running, cable gone") << false << 0 << int(After::NotRunning);
    QTest::newRow("not running, cable there") << false << 2 << int(After::NotRunning);
    QTest::newRow("running, cable there") << true << 2 << int(After::GoesOn);
    QTest::newRow("running, cable gone") << true << 0 << int(After::Ends);
    QTest::newRow("running, cable no longer openable") << true << 1 << int(After::Ends);
}

void TestUsbConnection::linkAcrossADeviceChange()
{
    QFETCH(bool, running);
    QFETCH(int, cable);
    HidMemoryBackend::Device d = device("/dev/hidraw0", "USB to Serial");
    d.readWrite = cable == 2;
    Window f(cable == 0 ? QList<HidMemoryBackend::Device>{} : QList<HidMemoryBackend::Device>{d});
    const THidDevice *listed = f.w->hidController()->deviceList().value(0);
    QTEST(int(UsbConnection::afterChange(running, listed)), "after");
}

QTEST_MAIN(TestUsbConnection)
#include "TestUsbConnection.moc"
