#include "link/hid/HidMemoryBackend.h"
#include "link/hid/THidDeviceController.h"

#include <QtTest>

#include <cerrno>

// The controller's list, its events and the device's read thread, over devices held in memory.
class TestHidDeviceController : public QObject
{
    Q_OBJECT
private slots:
    void firstChangeHandlerIsCalledOnce();
    void withoutHidSupportTheListStaysEmpty();
    void arrivalGivesOneArrivalThenOneChange();
    void removalOfCheckedOutDeviceKeepsEntryUntilCheckIn();
    void checkInReplacesTheObjectAtTheSameIndex();
    void checkOutRefusesOutOfRangeAndTwice_data();
    void checkOutRefusesOutOfRangeAndTwice();
    void readSleepTimeLimits_data();
    void readSleepTimeLimits();
    void handlerAssignmentReachesListedDevices();
    void enumerateWithoutHandlerCountsOne();
    void unopenableDevicesAreNotListed();
    void readOnlyDeviceIsNamedButNotRead();
    void onlyOneController();
    void reportReachesOnDataWithoutIdentifier();
    void stoppingDuringHandOverDoesNotHang();
    void handlerMayCheckTheDeviceIn();
    void failingReadIsRetriedAfterASlice();
    void serialNumberRule_data();
    void serialNumberRule();
    void controllerGoneWhileDeviceCheckedOut();

private:
    struct Fixture
    {
        HidMemoryBackend *backend = nullptr;
        std::unique_ptr<THidDeviceController> ctl;
        QStringList events;

        explicit Fixture(const QList<HidMemoryBackend::Device> &devices = {}, bool available = true)
        {
            auto owned = std::make_unique<HidMemoryBackend>();
            backend = owned.get();
            backend->setAvailable(available);
            for (const HidMemoryBackend::Device &d : devices)
                backend->plug(d, false);
            ctl = std::make_unique<THidDeviceController>(std::move(owned));
            ctl->SetOnArrival({this, [this](THidDevice *d) { events << "arrival " + path(d); }});
            ctl->SetOnRemoval({this, [this](THidDevice *d) { events << "removal " + path(d); }});
            ctl->SetOnDeviceUnplug(
                {this, [this](THidDevice *d) { events << "unplug " + path(d); }});
        }
        void watchChanges()
        {
            ctl->SetOnDeviceChange({this, [this](THidDeviceController *) { events << "change"; }});
        }
        static QString path(THidDevice *d) { return d->PnPInfo().DevicePath; }
    };

    static HidMemoryBackend::Device device(const QString &path)
    {
        HidMemoryBackend::Device d;
        d.path = path;
        d.product = QStringLiteral("USB to Serial");
        d.attributes = {0x1A2B, 0x80C3, 0x0100};
        return d;
    }
};

void TestHidDeviceController::firstChangeHandlerIsCalledOnce()
{
    Fixture f({device("a")});
    f.watchChanges();
    QCOMPARE(f.events, QStringList{"change"});
    f.watchChanges(); // the same handler again: nothing happens
    QCOMPARE(f.events, QStringList{"change"});
    f.backend->notify();
    QCOMPARE(f.events, QStringList{"change"});
}

void TestHidDeviceController::withoutHidSupportTheListStaysEmpty()
{
    Fixture f({device("a")}, false);
    f.watchChanges();
    QCOMPARE(f.events, QStringList{"change"});
    QVERIFY(f.ctl->deviceList().isEmpty());
    f.backend->plug(device("b"));
    f.backend->notify();
    QCOMPARE(f.events, QStringList{"change"});
}

void TestHidDeviceController::arrivalGivesOneArrivalThenOneChange()
{
    Fixture f({device("a")});
    f.watchChanges();
    f.events.clear();
    f.backend->plug(device("b"));
    QCOMPARE(f.events, (QStringList{"arrival b", "change"}));
    QCOMPARE(f.ctl->deviceList().size(), 2);
    f.events.clear();
    f.backend->notify();
    QCOMPARE(f.events, QStringList());
}

void TestHidDeviceController::removalOfCheckedOutDeviceKeepsEntryUntilCheckIn()
{
    Fixture f({device("a"), device("b")});
    f.watchChanges();
    THidDevice *b = f.ctl->CheckOutDevice(1);
    QVERIFY(b);
    f.events.clear();
    f.backend->unplug("b");
    QCOMPARE(f.events, (QStringList{"unplug b", "removal b", "change"}));
    QCOMPARE(f.ctl->deviceList().size(), 2);
    QVERIFY(!b->PluggedIn());
    // Still listed, never present again: every rescan reports it once more, without unplug.
    f.events.clear();
    f.backend->notify();
    QCOMPARE(f.events, (QStringList{"removal b", "change"}));
    f.ctl->CheckInDevice(b);
    QCOMPARE(f.ctl->deviceList().size(), 1);
    QCOMPARE(f.ctl->deviceList().at(0)->PnPInfo().DevicePath, QStringLiteral("a"));
    // A removed device that was not checked out goes at once.
    f.events.clear();
    f.backend->unplug("a");
    QCOMPARE(f.events, (QStringList{"unplug a", "removal a", "change"}));
    QVERIFY(f.ctl->deviceList().isEmpty());
}

void TestHidDeviceController::checkInReplacesTheObjectAtTheSameIndex()
{
    Fixture f({device("a"), device("b")});
    f.ctl->SetOnDeviceData({this, [&](THidDevice *, quint8, const quint8 *, quint16) {}});
    const THidDataEvent handler = f.ctl->OnDeviceData();
    THidDevice *a = f.ctl->CheckOutDevice(0);
    a->SetReadSleepTime(250);
    QVERIFY(a->readThreadRunning());
    f.ctl->CheckInDevice(a);
    QCOMPARE(f.ctl->deviceList().size(), 2);
    THidDevice *fresh = f.ctl->deviceList().at(0);
    QCOMPARE(fresh->PnPInfo().DevicePath, QStringLiteral("a"));
    QVERIFY(!fresh->CheckedOut());
    QVERIFY(!fresh->readThreadRunning());
    QVERIFY(fresh->OnData() == handler);
    QCOMPARE(fresh->ReadSleepTime(), 250);
    QVERIFY(f.ctl->CheckOutDevice(0) == fresh); // and it can be checked out again
    f.ctl->CheckInDevice(fresh);
}

void TestHidDeviceController::checkOutRefusesOutOfRangeAndTwice_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("alreadyOut");
    QTest::newRow("minus one") << -1 << false;
    QTest::newRow("list length") << 2 << false;
    QTest::newRow("already checked out") << 1 << true;
}

void TestHidDeviceController::checkOutRefusesOutOfRangeAndTwice()
{
    QFETCH(int, index);
    QFETCH(bool, alreadyOut);
    Fixture f({device("a"), device("b")});
    THidDevice *first = alreadyOut ? f.ctl->CheckOutDevice(index) : nullptr;
    QCOMPARE(f.ctl->CheckOutDevice(index), nullptr);
    f.ctl->CheckInDevice(first);
}

void TestHidDeviceController::readSleepTimeLimits_data()
{
    QTest::addColumn<int>("ms");
    QTest::addColumn<int>("expected");
    QTest::newRow("9 refused") << 9 << 100;
    QTest::newRow("10 taken") << 10 << 10;
    QTest::newRow("10000 taken") << 10000 << 10000;
    QTest::newRow("10001 refused") << 10001 << 100;
}

void TestHidDeviceController::readSleepTimeLimits()
{
    QFETCH(int, ms);
    QFETCH(int, expected);
    Fixture f({device("a")});
    THidDevice *a = f.ctl->deviceList().at(0);
    a->SetReadSleepTime(ms);
    QCOMPARE(a->ReadSleepTime(), expected);
}

void TestHidDeviceController::handlerAssignmentReachesListedDevices()
{
    Fixture f({device("a"), device("b")});
    THidDevice *a = f.ctl->deviceList().at(0);
    THidDevice *b = f.ctl->deviceList().at(1);
    int own = 0;
    const THidDataErrorEvent errors(this, [&](THidDevice *, quint32) {});
    const THidDataEvent mine(&own, [&](THidDevice *, quint8, const quint8 *, quint16) {});
    b->SetOnData(mine);
    f.ctl->SetOnDeviceDataError(errors);
    f.ctl->SetOnDeviceData({this, [&](THidDevice *, quint8, const quint8 *, quint16) {}});
    QVERIFY(a->OnData() == f.ctl->OnDeviceData());
    QVERIFY(b->OnData() == mine); // had its own: keeps it
    QVERIFY(a->OnDataError() == errors && b->OnDataError() == errors);
    // A device that arrives later starts with the data handler but no data-error handler.
    f.backend->plug(device("c"));
    THidDevice *c = f.ctl->deviceList().at(2);
    QVERIFY(c->OnData() == f.ctl->OnDeviceData());
    QVERIFY(!c->OnDataError());
    QCOMPARE(c->ReadSleepTime(), 100);
}

void TestHidDeviceController::enumerateWithoutHandlerCountsOne()
{
    {
        Fixture empty;
        QCOMPARE(empty.ctl->EnumerateDevices(), 0);
    }
    Fixture f({device("a"), device("b")});
    QCOMPARE(f.ctl->EnumerateDevices(), 1);

    QList<int> seen;
    QStringList names;
    f.ctl->SetOnEnumerate([&](THidDevice *d, qint32 i) -> bool {
        seen << i;
        names << (d->EventAccess() ? d->ProductName() : QString()); // names while allowed
        return false;
    });
    QCOMPARE(f.ctl->EnumerateDevices(), 1); // the handler said stop
    QCOMPARE(seen, QList<int>{0});
    QCOMPARE(names, QStringList{"USB to Serial"});
    QVERIFY(!f.ctl->deviceList().at(0)->deviceHandleOpen());
}

void TestHidDeviceController::unopenableDevicesAreNotListed()
{
    HidMemoryBackend::Device closed = device("closed");
    closed.openable = false;
    HidMemoryBackend::Device anonymous = device("anonymous");
    anonymous.identifiable = false;
    Fixture f({closed, device("a"), anonymous});
    QCOMPARE(f.ctl->deviceList().size(), 1);
    QCOMPARE(f.ctl->deviceList().at(0)->PnPInfo().DevicePath, QStringLiteral("a"));
}

void TestHidDeviceController::readOnlyDeviceIsNamedButNotRead()
{
    HidMemoryBackend::Device d = device("a");
    d.readWrite = false;
    Fixture f({d});
    f.ctl->SetOnDeviceData({this, [](THidDevice *, quint8, const quint8 *, quint16) {}});
    THidDevice *a = f.ctl->CheckOutDevice(0);
    QVERIFY(!a->ReadWriteAccess());
    QCOMPARE(a->ProductName(), QStringLiteral("USB to Serial"));
    QVERIFY(!a->readThreadRunning());
    const quint8 report[10] = {0x00, 0x60, 0x09, 0, 0, 0x03};
    QVERIFY(!a->SendFeatureReport(report, 10));
    f.ctl->CheckInDevice(a);
}

void TestHidDeviceController::onlyOneController()
{
    Fixture f;
    try {
        THidDeviceController second(std::make_unique<HidMemoryBackend>());
        QFAIL("a second controller was made");
    } catch (const EControllerError &e) {
        QCOMPARE(e.message(), QStringLiteral("Only one THidDeviceController allowed per program"));
    }
    f.ctl.reset();
    THidDeviceController again(std::make_unique<HidMemoryBackend>()); // the first is gone
}

void TestHidDeviceController::reportReachesOnDataWithoutIdentifier()
{
    Fixture f({device("a")});
    THidDevice *a = f.ctl->CheckOutDevice(0);
    struct Got
    {
        quint8 id;
        QByteArray data;
        bool guiThread;
    };
    QList<Got> got;
    a->SetOnData({this, [&](THidDevice *d, quint8 id, const quint8 *data, quint16 size) {
                      QCOMPARE(d, a);
                      got.append({id, QByteArray(reinterpret_cast<const char *>(data), size),
                                  QThread::currentThread() == thread()});
                  }});
    QVERIFY(a->readThreadRunning());
    f.backend->push("a", QByteArray::fromHex("00032b3132000000ff"));
    f.backend->push("a", QByteArray::fromHex("00"));     // identifier only: Size 0
    f.backend->push("a", QByteArray::fromHex("000000")); // still delivered in order
    QTRY_COMPARE(got.size(), 3);
    QCOMPARE(got.at(0).id, quint8(0));
    QCOMPARE(got.at(0).data, QByteArray::fromHex("032b3132000000ff"));
    QVERIFY(got.at(0).guiThread);
    QCOMPARE(got.at(1).data, QByteArray());
    QCOMPARE(got.at(2).data, QByteArray::fromHex("0000"));

    const quint8 report[10] = {0x00, 0x60, 0x09, 0x00, 0x00, 0x03};
    QVERIFY(a->SendFeatureReport(report, 10));
    QCOMPARE(f.backend->featureReports("a"),
             QList<QByteArray>{QByteArray::fromHex("00600900000300000000")});
    f.ctl->CheckInDevice(a);
}

void TestHidDeviceController::stoppingDuringHandOverDoesNotHang()
{
    Fixture f({device("a")});
    THidDevice *a = f.ctl->CheckOutDevice(0);
    int calls = 0;
    a->SetOnData({this, [&](THidDevice *, quint8, const quint8 *, quint16) { ++calls; }});
    f.backend->push("a", QByteArray::fromHex("0001"));
    f.backend->push("a", QByteArray::fromHex("0002"));
    // Once the first report is taken, its hand-over waits for the GUI thread, which is busy here.
    while (f.backend->queued("a") == 2)
        QThread::yieldCurrentThread();
    a->SetOnData({}); // waits for the thread, which waits for the GUI thread: must not hang
    QVERIFY(!a->readThreadRunning());
    QCoreApplication::processEvents();
    QCOMPARE(calls, 0); // the queued hand-over finds its thread gone
    f.ctl->CheckInDevice(a);
    QCoreApplication::processEvents();
}

void TestHidDeviceController::handlerMayCheckTheDeviceIn()
{
    Fixture f({device("a")});
    THidDevice *a = f.ctl->CheckOutDevice(0);
    int calls = 0;
    a->SetOnData({this, [&](THidDevice *d, quint8, const quint8 *, quint16) {
                      ++calls;
                      f.ctl->CheckInDevice(d); // check-in from inside the hand-over
                  }});
    f.backend->push("a", QByteArray::fromHex("0001"));
    f.backend->push("a", QByteArray::fromHex("0002"));
    QTRY_COMPARE(calls, 1);
    QCoreApplication::processEvents();
    QCOMPARE(calls, 1);
    QCOMPARE(f.ctl->deviceList().size(), 1);
    QVERIFY(!f.ctl->deviceList().at(0)->CheckedOut());
}

void TestHidDeviceController::failingReadIsRetriedAfterASlice()
{
    Fixture f({device("a")});
    THidDevice *a = f.ctl->CheckOutDevice(0);
    a->SetReadSleepTime(10000);
    QList<quint32> errors;
    a->SetOnDataError({this, [&](THidDevice *, quint32 e) { errors << e; }});
    a->SetOnData({this, [](THidDevice *, quint8, const quint8 *, quint16) {}});
    QTRY_COMPARE(f.backend->readersOpened(), 1);
    f.backend->unplug("a", false); // gone, and the removal not handled yet
    QTRY_COMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0), quint32(EIO));
    QTest::qWait(300); // a loop that retried at once would report hundreds meanwhile
    QCOMPARE(errors.size(), 1);
    f.backend->notify(); // the removal: the device is unplugged, the thread still stops promptly
    QVERIFY(!a->PluggedIn());
    f.ctl->CheckInDevice(a);
    QVERIFY(f.ctl->deviceList().isEmpty());
}

void TestHidDeviceController::serialNumberRule_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QVariant>("languages");
    QTest::addColumn<QString>("expected");
    const QString english = QString(QChar(0x0409));
    QTest::newRow("a real serial") << "SN-0001" << QVariant(english) << "SN-0001";
    QTest::newRow("repeats the language list") << english << QVariant(english) << "";
    QTest::newRow("list with its terminating zero")
        << english << QVariant(english + QChar(0)) << "";
    QTest::newRow("empty language list") << "SN-0001" << QVariant(QString()) << "";
    QTest::newRow("platform gives no list") << "SN-0001" << QVariant() << "SN-0001";
    QTest::newRow("cut at 254 units") << QString(300, u'7') << QVariant() << QString(254, u'7');
}

void TestHidDeviceController::serialNumberRule()
{
    QFETCH(QString, serial);
    QFETCH(QVariant, languages);
    QFETCH(QString, expected);
    const std::optional<QString> list =
        languages.isValid() ? std::optional<QString>(languages.toString()) : std::nullopt;
    QCOMPARE(THidDevice::serialFromStrings(serial, list), expected);
}

void TestHidDeviceController::controllerGoneWhileDeviceCheckedOut()
{
    Fixture f({device("a")});
    THidDevice *a = f.ctl->CheckOutDevice(0);
    a->SetOnData({this, [](THidDevice *, quint8, const quint8 *, quint16) {}});
    f.ctl.reset();
    QVERIFY(!a->PluggedIn());
    QCOMPARE(a->OwnerController(), nullptr);
    delete a; // the holder still owns it; nothing is left to update
}

QTEST_GUILESS_MAIN(TestHidDeviceController)
#include "TestHidDeviceController.moc"
