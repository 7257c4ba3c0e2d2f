#include "link/MeterLink.h"
#include "link/SerialPortDriver.h"
#include "link/hid/HidMemoryBackend.h"
#include "link/hid/UsbCable.h"
#include "link/hid/UsbCableLink.h"

#include <QtTest>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

// Both meter links through the interface alone, as the window and the logger use them: what the
// meter sends arrives by signal, and the far side going away is told once, with its reason. The
// serial side is a real pseudo-terminal; the USB side devices held in memory.
class TestMeterLink : public QObject
{
    Q_OBJECT
private slots:
    void deliversAndTellsTheLossOnce_data();
    void deliversAndTellsTheLossOnce();
};

namespace {

// One meter at the far end of a link: sends a few bytes, then goes away.
class FarEnd
{
public:
    virtual ~FarEnd() = default;
    virtual MeterLink &link() = 0;
    virtual void send(const QByteArray &bytes) = 0;
    virtual void goAway() = 0;
};

// A pseudo-terminal whose master side the test holds: closing it hangs the line up.
class PtyEnd : public FarEnd
{
public:
    PtyEnd()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0)
            m_driver.setDevicePath(QString::fromLocal8Bit(::ptsname(m_master)));
        m_driver.setComPortPollingDelay(TSerialPortDriver::kMinPollingDelay);
    }
    ~PtyEnd() override
    {
        m_driver.ClosePort();
        goAway();
    }
    MeterLink &link() override { return m_driver; }
    void send(const QByteArray &bytes) override
    {
        QCOMPARE(::write(m_master, bytes.constData(), size_t(bytes.size())),
                 ssize_t(bytes.size()));
    }
    void goAway() override
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    TSerialPortDriver m_driver;
};

// The cable among HID devices held in memory; unplugging it takes it away.
class CableEnd : public FarEnd
{
public:
    CableEnd()
    {
        auto backend = std::make_unique<HidMemoryBackend>();
        m_backend = backend.get();
        HidMemoryBackend::Device cable;
        cable.path = QStringLiteral("/dev/hidraw0");
        cable.product = usbcable::kCableName;
        cable.attributes = {0x1A2B, 0x00C3, 0x0100};
        m_backend->plug(cable, false);
        m_link = std::make_unique<UsbCableLink>(std::move(backend), 2400);
    }
    MeterLink &link() override { return *m_link; }
    void send(const QByteArray &bytes) override
    {
        for (const QByteArray &report : usbcable::cableReports(bytes))
            m_backend->push(QStringLiteral("/dev/hidraw0"), QByteArray(1, '\0') + report);
    }
    void goAway() override { m_backend->unplug(QStringLiteral("/dev/hidraw0")); }

private:
    HidMemoryBackend *m_backend = nullptr;
    std::unique_ptr<UsbCableLink> m_link;
};

} // namespace

void TestMeterLink::deliversAndTellsTheLossOnce_data()
{
    QTest::addColumn<bool>("usb");
    QTest::addColumn<QString>("reason");
    QTest::newRow("serial line hung up") << false << "the device is gone";
    QTest::newRow("USB cable unplugged") << true << "the cable was unplugged";
}

void TestMeterLink::deliversAndTellsTheLossOnce()
{
    QFETCH(bool, usb);
    QFETCH(QString, reason);
    std::unique_ptr<FarEnd> end;
    if (usb)
        end = std::make_unique<CableEnd>();
    else
        end = std::make_unique<PtyEnd>();
    MeterLink &link = end->link();

    QByteArray received;
    QStringList losses;
    QObject::connect(&link, &MeterLink::bytesArrived,
                     [&](QByteArrayView bytes) { received += bytes.toByteArray(); });
    // The cable's reports carry the bytes after their count byte.
    QObject::connect(&link, &MeterLink::reportArrived, [&](quint8, QByteArrayView data) {
        if (!data.isEmpty())
            received += data.sliced(1, qMin<qsizetype>(data.front() & 0x0F, data.size() - 1));
    });
    QObject::connect(&link, &MeterLink::linkLost, [&](const QString &why) { losses << why; });

    QVERIFY2(link.open(), qPrintable(link.errorString()));
    QVERIFY(link.isOpen());
    QVERIFY(!link.deviceName().isEmpty());
    end->send("\x17\x2A\x05");
    QTRY_COMPARE(received, QByteArray("\x17\x2A\x05"));
    QVERIFY(losses.isEmpty());

    end->goAway();
    QTRY_COMPARE(losses, QStringList{reason});
    QTest::qWait(100); // later polls of a hung-up line say nothing more
    QCOMPARE(losses.size(), 1);
}

QTEST_MAIN(TestMeterLink)
#include "TestMeterLink.moc"
