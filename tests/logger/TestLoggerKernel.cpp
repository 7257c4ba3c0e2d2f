#include "tests/support/CapturedStream.h"
#include "Logger.h"
#include "link/hid/UsbCable.h"
#include "protocol/DisplayState.h"
#include "tests/link/UsbGadget.h"

#include <QtTest>

// vorlatt-log --usb on a real kernel, through hidraw and udev: a USB cable made with the dummy
// controllers is found, told its line speed and read into records; pulled and plugged in again,
// it is found again and the numbering goes on. Runs inside the test VM (VORLATT_HID_KERNEL=1),
// as TestHidLinuxKernel does.
class TestLoggerKernel : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cablePulledAndPluggedAgain();
    void cleanupTestCase();

private:
    void send(const char *digits);

    UsbGadget m_cable;
};

void TestLoggerKernel::initTestCase()
{
    if (qgetenv("VORLATT_HID_KERNEL") != "1")
        QSKIP("needs the test VM (set up by tests/link/kernel/run-vm.sh)");
    QVERIFY(m_cable.setUp());
    QVERIFY(m_cable.setStrings("Test Maker", "USB to Serial", ""));
}

void TestLoggerKernel::send(const char *digits)
{
    protocol::DisplayState s;
    s.digits = digits;
    s.point = 1;
    s.annunciators = protocol::Annunciator::Dc | protocol::Annunciator::Volt;
    for (const QByteArray &report : usbcable::cableReports(s.toFrame()))
        QVERIFY(m_cable.write(report));
}

void TestLoggerKernel::cablePulledAndPluggedAgain()
{
    CapturedStream out;
    CapturedStream err;
    LoggerOptions options;
    options.source = LoggerOptions::Source::Usb;
    options.count = 3;
    {
        Logger early(options, out.file(), err.file());
        QCOMPARE(early.start(), Logger::kCannotOpen);
        QVERIFY(err.text().contains(QStringLiteral("is not plugged in")));
    }

    Logger logger(options, out.file(), err.file());
    QSignalSpy finished(&logger, &Logger::finished);
    QVERIFY(m_cable.plug());
    // The node and its product string come a moment after the plug.
    QVERIFY(QTest::qWaitFor([&] { return logger.start() == -1; }, 10000));
    QCOMPARE(m_cable.read(5000), QByteArray::fromHex("600900000300000000"));
    send("0001");
    send("0002");
    QTRY_COMPARE_WITH_TIMEOUT(out.records().size(), 2, 10000);

    QVERIFY(m_cable.unplug());
    QTRY_VERIFY_WITH_TIMEOUT(err.text().contains(QStringLiteral("the cable was unplugged")), 10000);
    QVERIFY(m_cable.plug());
    // Waited for in the event loop, where the logger learns of the cable, and read only once:
    // a second read finds nothing.
    QByteArray speed;
    QVERIFY(QTest::qWaitFor([&] { return !(speed = m_cable.read(0)).isEmpty(); }, 10000));
    QCOMPARE(speed, QByteArray::fromHex("600900000300000000"));
    send("0003");
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QCOMPARE(finished.at(0).at(0).toInt(), Logger::kDone);
    QCOMPARE(out.records(), (QStringList{"1:0.001", "2:0.002", "3:0.003"}));
    QVERIFY2(err.text().contains(QStringLiteral("numbering goes on at 3")), qPrintable(err.text()));
}

// The tests that run after this one in the VM build on the same gadget, and expect it unplugged.
void TestLoggerKernel::cleanupTestCase()
{
    if (qgetenv("VORLATT_HID_KERNEL") == "1")
        m_cable.unplug();
}

QTEST_GUILESS_MAIN(TestLoggerKernel)
#include "TestLoggerKernel.moc"
