#include "UsbGadget.h"
#include "link/hid/THidDeviceController.h"
#include "link/hid/UhidDevice.h"
#include "link/hid/UsbCable.h"

#include <QtTest>

#include "link/hid/HidLinuxBackend.h"

#include <grp.h>
#include <libudev.h>
#include <sys/wait.h>
#include <unistd.h>

// The Linux backend against a real kernel: devices made through uhid and a USB gadget on the
// dummy controllers, found, named, written to, read from, unplugged and plugged in again through
// hidraw and udev. Needs root, uhid, dummy_hcd, configfs and a running udevd, so it runs inside
// the test VM (tests/link/kernel), which sets VORLATT_HID_KERNEL=1; elsewhere it skips.
class TestHidLinuxKernel : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void uhidDeviceFromArrivalToCheckIn();
    void uhidNames_data();
    void uhidNames();
    void gadgetNamesComeFromTheUsbDevice_data();
    void gadgetNamesComeFromTheUsbDevice();
    void gadgetFeatureAndInputReports();
    void udevRuleGivesAccessToTheCableOnly();
    void nodeWithoutAccessIsStillNamed();

private:
    // A controller on the system's backend with every event written down.
    struct Watch
    {
        std::unique_ptr<THidDeviceController> ctl;
        QStringList events;
        Watch() : ctl(std::make_unique<THidDeviceController>(THidDeviceController::systemBackend()))
        {
            ctl->SetOnArrival({this, [this](THidDevice *) { events << "arrival"; }});
            ctl->SetOnRemoval({this, [this](THidDevice *) { events << "removal"; }});
            ctl->SetOnDeviceUnplug({this, [this](THidDevice *) { events << "unplug"; }});
            ctl->SetOnDeviceChange({this, [this](THidDeviceController *) { events << "change"; }});
            events.clear();
        }
        // The listed device that arrived last.
        int last() const { return int(ctl->deviceList().size()) - 1; }
    };
    struct Report
    {
        quint8 id = 0xFF;
        QByteArray data;
    };
    static THidDataEvent collect(QList<Report> *into)
    {
        return {into, [into](THidDevice *, quint8 id, const quint8 *data, quint16 size) {
                    into->append({id, QByteArray(reinterpret_cast<const char *>(data), size)});
                }};
    }
    static QByteArray lineSpeed() { return usbcable::LineSpeedReport(2400); }

    UsbGadget m_gadget;
};

void TestHidLinuxKernel::initTestCase()
{
    if (qgetenv("VORLATT_HID_KERNEL") != "1")
        QSKIP("needs the test VM (set up by tests/link/kernel/run-vm.sh)");
    QVERIFY(m_gadget.setUp());
}

void TestHidLinuxKernel::uhidDeviceFromArrivalToCheckIn()
{
    Watch w;
    const int before = int(w.ctl->deviceList().size());
    UhidDevice cable;
    QString error;
    QVERIFY2(cable.create({QStringLiteral("USB to Serial"), QStringLiteral("SN-0001")}, &error),
             qPrintable(error));
    QTRY_COMPARE(w.events, (QStringList{"arrival", "change"}));
    QCOMPARE(w.ctl->deviceList().size(), before + 1);

    THidDevice *d = w.ctl->CheckOutDevice(w.last());
    QVERIFY(d);
    const QString firstInstance = d->PnPInfo().DeviceInstance;
    QVERIFY(d->PnPInfo().DevicePath.startsWith(QStringLiteral("/dev/hidraw")));
    QCOMPARE(d->Attributes().VendorID, quint16(0x1A2B));
    QCOMPARE(d->Attributes().ProductID, quint16(0x80C3)); // above 0x7FFF: the kernel's is signed
    QVERIFY(d->ReadWriteAccess());
    QCOMPARE(d->InputReportByteLength(), 9);

    const QByteArray report = lineSpeed();
    QVERIFY(d->SendFeatureReport(reinterpret_cast<const quint8 *>(report.constData()), 10));
    QCOMPARE(cable.featureReports(),
             QList<QByteArray>{QByteArray::fromHex("00600900000300000000")});

    QList<Report> got;
    QList<quint32> errors;
    d->SetOnDataError({&errors, [&](THidDevice *, quint32 e) { errors << e; }});
    d->SetOnData(collect(&got));
    QVERIFY(d->readThreadRunning());
    const QByteArray frame = QByteArray::fromHex("f32b3132000000ff");
    QVERIFY(cable.input(frame));
    QVERIFY(cable.input(QByteArray::fromHex("f0000000000000000000aabb"))); // longer: cut
    QTRY_COMPARE(got.size(), 2);
    QCOMPARE(got.at(0).id, quint8(0)); // no report identifiers: a 0 in front
    QCOMPARE(got.at(0).data, frame);
    QCOMPARE(got.at(1).data, QByteArray::fromHex("f000000000000000"));

    // Unplugged while reading: the events in order, the entry kept until check-in.
    w.events.clear();
    cable.destroy();
    QTRY_COMPARE(w.events, (QStringList{"unplug", "removal", "change"}));
    QVERIFY(!d->PluggedIn());
    QCOMPARE(w.ctl->deviceList().size(), before + 1);
    w.ctl->CheckInDevice(d); // its read thread ends
    QCOMPARE(w.ctl->deviceList().size(), before);
    QVERIFY(errors.size() <= 1); // at most the read that met the removal, no spinning

    // Plugged in again: a new device, not the old one.
    w.events.clear();
    QVERIFY(cable.create({QStringLiteral("USB to Serial"), QString()}, &error));
    QTRY_COMPARE(w.events, (QStringList{"arrival", "change"}));
    QVERIFY(w.ctl->deviceList().at(w.last())->PnPInfo().DeviceInstance != firstInstance);
}

void TestHidLinuxKernel::uhidNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("uniq");
    QTest::addColumn<QString>("description");
    QTest::newRow("cable") << "USB to Serial"
                           << ""
                           << "USB to Serial";
    QTest::newRow("with serial") << "USB to Serial"
                                 << "SN-0001"
                                 << "USB to Serial (Serial=SN-0001)";
    QTest::newRow("no name") << ""
                             << ""
                             << "Device VID=1A2B PID=80C3";
}

void TestHidLinuxKernel::uhidNames()
{
    QFETCH(QString, name);
    QFETCH(QString, uniq);
    QFETCH(QString, description);
    Watch w;
    UhidDevice device;
    QString error;
    QVERIFY2(device.create({name, uniq}, &error), qPrintable(error));
    QTRY_COMPARE(w.events, (QStringList{"arrival", "change"}));
    QStringList seen;
    w.ctl->SetOnEnumerate([&](THidDevice *d, qint32) {
        seen << usbcable::DeviceDescription(d);
        return true;
    });
    w.ctl->EnumerateDevices();
    QCOMPARE(seen.value(w.last()), description);
}

void TestHidLinuxKernel::gadgetNamesComeFromTheUsbDevice_data()
{
    QTest::addColumn<QByteArray>("manufacturer");
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<QString>("description");
    // HID_NAME would be "Test Maker USB to Serial" here: the USB product string is the name.
    QTest::newRow("maker and serial")
        << QByteArray("Test Maker") << QByteArray("SN-0001") << "USB to Serial (Serial=SN-0001)";
    QTest::newRow("maker, no serial")
        << QByteArray("Test Maker") << QByteArray() << "USB to Serial";
    QTest::newRow("bare") << QByteArray() << QByteArray() << "USB to Serial";
}

void TestHidLinuxKernel::gadgetNamesComeFromTheUsbDevice()
{
    QFETCH(QByteArray, manufacturer);
    QFETCH(QByteArray, serial);
    QFETCH(QString, description);
    Watch w;
    QVERIFY(m_gadget.setStrings(manufacturer, "USB to Serial", serial));
    QVERIFY(m_gadget.plug());
    QTRY_COMPARE_WITH_TIMEOUT(w.events, (QStringList{"arrival", "change"}), 10000);
    THidDevice *d = w.ctl->CheckOutDevice(w.last());
    QCOMPARE(usbcable::DeviceDescription(d), description);
    QCOMPARE(d->Attributes().VersionNumber, quint16(0x0100));
    w.ctl->CheckInDevice(d);
    w.events.clear();
    QVERIFY(m_gadget.unplug());
    QTRY_COMPARE(w.events, (QStringList{"unplug", "removal", "change"}));
}

void TestHidLinuxKernel::gadgetFeatureAndInputReports()
{
    Watch w;
    QVERIFY(m_gadget.setStrings("Test Maker", "USB to Serial", ""));
    QVERIFY(m_gadget.plug());
    QTRY_COMPARE_WITH_TIMEOUT(w.events, (QStringList{"arrival", "change"}), 10000);
    THidDevice *d = w.ctl->CheckOutDevice(w.last());
    QCOMPARE(d->InputReportByteLength(), 9);

    const QByteArray report = lineSpeed();
    QVERIFY(d->SendFeatureReport(reinterpret_cast<const quint8 *>(report.constData()), 10));
    // Report number 0 does not travel on the wire.
    QCOMPARE(m_gadget.read(5000), QByteArray::fromHex("600900000300000000"));

    QList<Report> got;
    d->SetOnData(collect(&got));
    const QByteArray frame = QByteArray::fromHex("f72b30303432200d");
    QVERIFY(m_gadget.write(frame));
    QTRY_COMPARE(got.size(), 1);
    QCOMPARE(got.at(0).id, quint8(0));
    QCOMPARE(got.at(0).data, frame);

    w.events.clear();
    QVERIFY(m_gadget.unplug());
    QTRY_COMPARE(w.events, (QStringList{"unplug", "removal", "change"}));
    w.ctl->CheckInDevice(d);
    QVERIFY(m_gadget.plug());
    QTRY_COMPARE_WITH_TIMEOUT(w.events.mid(3), (QStringList{"arrival", "change"}), 10000);
    QVERIFY(m_gadget.unplug());
}

void TestHidLinuxKernel::udevRuleGivesAccessToTheCableOnly()
{
    Watch w;
    UhidDevice other;
    QString error;
    QVERIFY2(other.create({QStringLiteral("USB to Serial"), QString()}, &error), qPrintable(error));
    QTRY_COMPARE(w.events, (QStringList{"arrival", "change"}));
    const QString uhidPath = w.ctl->deviceList().at(w.last())->PnPInfo().DeviceInstance;
    QVERIFY(m_gadget.setStrings("Test Maker", "USB to Serial", "SN-0001"));
    QVERIFY(m_gadget.plug());
    QTRY_COMPARE_WITH_TIMEOUT(w.events.size(), 4, 10000);
    const QString gadgetPath = w.ctl->deviceList().at(w.last())->PnPInfo().DeviceInstance;

    auto tagged = [](const QString &syspath) {
        udev *u = udev_new();
        udev_device *d = udev_device_new_from_syspath(u, syspath.toUtf8().constData());
        bool found = false;
        for (udev_list_entry *e = d ? udev_device_get_tags_list_entry(d) : nullptr; e;
             e = udev_list_entry_get_next(e))
            found = found || qstrcmp(udev_list_entry_get_name(e), "uaccess") == 0;
        if (d)
            udev_device_unref(d);
        udev_unref(u);
        return found;
    };
    QVERIFY(tagged(gadgetPath));
    QVERIFY(!tagged(uhidPath)); // no USB product string above it
    QVERIFY(m_gadget.unplug());
}

// A user without access to the node (hidraw nodes are root's alone unless a rule says otherwise)
// still gets the device's names, ids and report length, from sysfs, and no read-write handle.
void TestHidLinuxKernel::nodeWithoutAccessIsStillNamed()
{
    Watch w;
    UhidDevice cable;
    QString error;
    QVERIFY2(cable.create({QStringLiteral("USB to Serial"), QStringLiteral("SN-0001")}, &error),
             qPrintable(error));
    QTRY_COMPARE(w.events, (QStringList{"arrival", "change"}));
    const QString node = w.ctl->deviceList().at(w.last())->PnPInfo().DevicePath;

    const pid_t child = fork();
    if (child == 0) {
        // As nobody: what can be learnt without opening the node.
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        HidLinuxBackend backend;
        int code = 0;
        std::unique_ptr<HidQueryHandle> h = backend.openDevice(node, &code);
        if (!h)
            _exit(11);
        if (h->readWrite())
            _exit(12);
        if (h->productString() != u"USB to Serial" || h->serialNumberString() != u"SN-0001")
            _exit(13);
        const std::optional<HidAttributes> a = h->attributes();
        if (!a || a->VendorID != 0x1A2B || a->ProductID != 0x80C3)
            _exit(14);
        if (h->inputReportByteLength() != 9)
            _exit(15);
        const quint8 report[10] = {};
        if (h->setFeature(report, 10) == 0)
            _exit(16);
        if (backend.openReader(node, &code))
            _exit(17);
        _exit(0);
    }
    int status = -1;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
}

QTEST_GUILESS_MAIN(TestHidLinuxKernel)
#include "TestHidLinuxKernel.moc"
