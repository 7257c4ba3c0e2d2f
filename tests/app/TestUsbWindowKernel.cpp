#include "tests/support/MessageBoxCloser.h"
#include "app/TFCOMM.h"
#include "link/hid/THidDevice.h"
#include "link/hid/UhidDevice.h"
#include "link/hid/UsbCable.h"
#include "protocol/DisplayState.h"
#include "tests/link/UsbGadget.h"
#include "ui_FCOMM.h"

#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

using protocol::Annunciator;

// The window's whole USB path on a real kernel: a USB cable made with the dummy controllers is
// found and selected, "USB Connect" sets its line speed and reads the meter's frames onto the
// replica, another device coming and going leaves the link reading, and pulling the cable ends
// the link. Runs inside the test VM (VORLATT_HID_KERNEL=1), as TestHidLinuxKernel does.
class TestUsbWindowKernel : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cableToReplica();
    void busyWindowKeepsEveryReport();
    void simulatedCable();

private:
    UsbGadget m_cable;
};

void TestUsbWindowKernel::initTestCase()
{
    if (qgetenv("VORLATT_HID_KERNEL") != "1")
        QSKIP("needs the test VM (set up by tests/link/kernel/run-vm.sh)");
    QVERIFY(m_cable.setUp());
    QVERIFY(m_cable.setStrings("Test Maker", "USB to Serial", ""));
}

void TestUsbWindowKernel::cableToReplica()
{
    MessageBoxCloser boxes;
    TFCOMM w;
    w.show();
    Ui::FCOMM *ui = w.ui();
    auto selected = [ui] {
        const QListWidgetItem *item = ui->DevListBox->currentItem();
        return item && item->isSelected() ? item->text() : QString();
    };
    QVERIFY(m_cable.plug());
    QTRY_COMPARE_WITH_TIMEOUT(selected(), QStringLiteral("USB to Serial"), 10000);
    QVERIFY(ui->HistoryListBox->currentItem()->text() ==
            QStringLiteral("Arrival of USB to Serial"));

    QTest::mouseClick(ui->USBCon, Qt::LeftButton);
    QVERIFY(ui->USBCon->isChecked());
    QCOMPARE(m_cable.read(5000), QByteArray::fromHex("600900000300000000"));
    QVERIFY(ui->COMCon->isHidden());

    auto send = [this](const QByteArray &frame) {
        for (const QByteArray &report : usbcable::cableReports(frame))
            QVERIFY(m_cable.write(report));
    };
    protocol::DisplayState millivolts;
    millivolts.negative = true;
    millivolts.digits = "1234";
    millivolts.point = 2;
    millivolts.annunciators =
        Annunciator::Dc | Annunciator::AutoRange | Annunciator::Milli | Annunciator::Volt;
    send(millivolts.toFrame());
    QTRY_COMPARE(w.reading().ValueText, QStringLiteral("-12.34"));
    QCOMPARE(w.reading().UnitText, QStringLiteral("mV"));
    QCOMPARE(ui->LcdDa->text() + ui->LcdDb->text() + ui->LcdDc->text() + ui->LcdDd->text(),
             QStringLiteral("1234"));
    QVERIFY(ui->CONok->isVisibleTo(ui->KD) && !ui->Image1->isHidden());
    qInfo("replica: %s %s %s, digits %s, link picture %s", qPrintable(w.reading().ValueText),
          qPrintable(w.reading().UnitText), qPrintable(w.reading().AcDcText),
          qPrintable(ui->LcdDa->text() + ui->LcdDb->text() + ui->LcdDc->text() + ui->LcdDd->text()),
          ui->CONok->isVisibleTo(ui->KD) ? "CONok" : "CONokN");

    // Another HID device comes and goes: the link reads on.
    {
        UhidDevice other;
        QString error;
        QVERIFY2(other.create({QStringLiteral("Keyboard"), QString()}, &error), qPrintable(error));
        QTRY_COMPARE(ui->DevListBox->count(), 2);
        QVERIFY(ui->USBCon->isChecked());
    }
    QTRY_COMPARE(ui->DevListBox->count(), 1);
    protocol::DisplayState volts;
    volts.digits = "0500";
    volts.point = 1;
    volts.annunciators = Annunciator::Dc | Annunciator::Volt;
    send(volts.toFrame());
    QTRY_COMPARE(w.reading().ValueText, QStringLiteral("0.500"));
    QVERIFY(ui->USBCon->isChecked());
    QVERIFY(w.currentHidDevice()->readThreadRunning());

    // The cable is pulled while reading: the link ends, the serial controls come back.
    QVERIFY(m_cable.unplug());
    QTRY_VERIFY(!ui->USBCon->isChecked());
    QVERIFY(!ui->COMCon->isHidden());
    QVERIFY(ui->Image1->isHidden());
    QTRY_COMPARE(boxes.texts, QStringList{"USB interface cable is not securely connected, "
                                          "please check and re-try."});
    QVERIFY(
        ui->HistoryListBox->findItems(QStringLiteral("Removal of USB to Serial"), Qt::MatchExactly)
            .size() == 1);
}

namespace {

// Every reading the window's run decodes, in order.
struct SeenReadings : RecordOutput
{
    QStringList values;
    QString take(const LogRecord &record) override
    {
        values << record.reading.ValueText;
        return {};
    }
};

} // namespace

// The window's thread is kept busy for two seconds while the meter sends 34 frames (some 300
// reports, where the kernel keeps 64 for a reader that does not read): every one arrives, in
// order, once the window is free again.
void TestUsbWindowKernel::busyWindowKeepsEveryReport()
{
    MessageBoxCloser boxes;
    TFCOMM w;
    w.show();
    Ui::FCOMM *ui = w.ui();
    QVERIFY(m_cable.plug());
    QTRY_VERIFY_WITH_TIMEOUT(ui->DevListBox->currentItem() &&
                                 ui->DevListBox->currentItem()->text() == u"USB to Serial",
                             10000);
    QTest::mouseClick(ui->USBCon, Qt::LeftButton);
    QCOMPARE(m_cable.read(5000), QByteArray::fromHex("600900000300000000"));
    SeenReadings seen;
    w.meterRun().addReadingOutput(&seen);

    constexpr int kFrames = 34;
    QStringList sent;
    for (int i = 1; i <= kFrames; ++i)
        sent << QString::number(i).rightJustified(4, u'0');
    std::atomic<bool> allWritten{true};
    std::thread meter([&] {
        for (const QString &digits : sent) {
            protocol::DisplayState volts;
            volts.digits = digits.toLatin1();
            volts.annunciators = Annunciator::Dc | Annunciator::Volt;
            for (const QByteArray &report : usbcable::cableReports(volts.toFrame()))
                if (!m_cable.write(report))
                    allWritten = false;
            std::this_thread::sleep_for(std::chrono::milliseconds(59)); // 17 frames a second
        }
    });
    QThread::msleep(2000); // the window is busy: nothing of its thread runs
    meter.join();
    QVERIFY(allWritten);
    QTRY_COMPARE_WITH_TIMEOUT(seen.values.size(), kFrames, 10000);
    QCOMPARE(seen.values, sent);
    QVERIFY(m_cable.unplug());
    QTRY_VERIFY(!ui->USBCon->isChecked());
}

// The cable simulator, as ./run --demo-usb starts it, drives the window like the real cable.
void TestUsbWindowKernel::simulatedCable()
{
    const QString sim = QStringLiteral("/bin/vorlatt-sim");
    if (!QFile::exists(sim))
        QSKIP("the simulator was not carried into the VM");
    MessageBoxCloser boxes;
    TFCOMM w;
    w.show();
    Ui::FCOMM *ui = w.ui();
    QProcess cable;
    cable.start(sim, {QStringLiteral("--usb"), QStringLiteral("--verbose")});
    QTRY_VERIFY_WITH_TIMEOUT(cable.canReadLine(), 10000);
    QCOMPARE(cable.readLine().trimmed(), QByteArray("USB to Serial (uhid)"));
    QTRY_VERIFY_WITH_TIMEOUT(ui->DevListBox->currentItem() &&
                                 ui->DevListBox->currentItem()->text() == u"USB to Serial",
                             10000);
    QTest::mouseClick(ui->USBCon, Qt::LeftButton);
    QTRY_VERIFY(!w.reading().ValueText.isEmpty());
    QByteArray said;
    QTRY_VERIFY((said += cable.readAllStandardError())
                    .contains("line speed report 00 60 09 00 00 03 00 00 00 00"));
    qInfo("replica from the simulator: %s %s", qPrintable(w.reading().ValueText),
          qPrintable(w.reading().UnitText));
    cable.terminate();
    QVERIFY(cable.waitForFinished(10000));
    QTRY_VERIFY(!ui->USBCon->isChecked());
    QTRY_COMPARE(boxes.texts, QStringList{usbcable::kNotConnectedMessage});
}

QTEST_MAIN(TestUsbWindowKernel)
#include "TestUsbWindowKernel.moc"
