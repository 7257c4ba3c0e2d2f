#include "link/SerialPortDriver.h"

#include <QtTest>

#include <QEventLoop>
#include <QPointer>
#include <QTemporaryFile>
#include <QTimer>

#include <memory>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

// The driver runs against real pseudo-terminals: it opens the slave side by its path, as it would
// a serial device, and the test plays the meter on the master side.

namespace {

class Pty
{
public:
    Pty()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        m_path = QString::fromLocal8Bit(::ptsname(m_master));
        // Held open by the test to inspect the line (termios, input queue) from outside the
        // driver; it reads nothing, so all data goes to the driver.
        m_slave = ::open(m_path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    ~Pty()
    {
        closeMaster();
        if (m_slave >= 0)
            ::close(m_slave);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool isValid() const { return m_master >= 0 && m_slave >= 0; }
    QString path() const { return m_path; }
    int slave() const { return m_slave; }

    bool send(const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_master, bytes.constData() + done, bytes.size() - done);
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }

    // Bytes waiting in the line's input queue, not yet read by the driver.
    int pendingInput() const
    {
        int n = -1;
        ::ioctl(m_slave, FIONREAD, &n);
        return n;
    }

    termios attributes() const
    {
        termios t{};
        ::tcgetattr(m_slave, &t);
        return t;
    }

    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
};

// Collects what the driver delivers.
struct Sink
{
    QList<QByteArray> blocks;
    int zeroSizedCalls = 0;

    void listen(TSerialPortDriver &driver)
    {
        QObject::connect(&driver, &MeterLink::bytesArrived, &driver, [this](QByteArrayView bytes) {
            if (bytes.isEmpty())
                ++zeroSizedCalls;
            else
                blocks << bytes.toByteArray();
        });
    }
    QByteArray all() const
    {
        QByteArray bytes;
        for (const QByteArray &b : blocks)
            bytes += b;
        return bytes;
    }
    QList<int> sizes() const
    {
        QList<int> s;
        for (const QByteArray &b : blocks)
            s << int(b.size());
        return s;
    }
};

QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 7 % 256);
    return bytes;
}

int activeTimers(const QObject &object)
{
    int n = 0;
    const auto timers = object.findChildren<QTimer *>();
    for (const QTimer *t : timers)
        n += t->isActive() ? 1 : 0;
    return n;
}

void useAsCom(int n, const Pty &pty)
{
    qputenv(QByteArray("VORLATT_COM" + QByteArray::number(n)).constData(),
            pty.path().toLocal8Bit());
}

// Long enough that no poll happens before a test lowers it again.
constexpr quint16 kNoPolling = 60000;
constexpr quint16 kFastPolling = 10;

enum class Property
{
    Speed,
    DataBits,
    StopBits,
    Parity,
    HwHandshaking,
    SwHandshaking
};

} // namespace

Q_DECLARE_METATYPE(TComPortBaudRate)
Q_DECLARE_METATYPE(TComPortDataBits)
Q_DECLARE_METATYPE(TComPortStopBits)
Q_DECLARE_METATYPE(TComPortParity)
Q_DECLARE_METATYPE(Property)

class TestSerialPortDriver : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void allByteValuesArriveUnchanged();
    void openingAnOpenPortChangesNothing();
    void portNumberAssignedWhileOpenIsLost();
    void devicePathOpensThatDeviceInsteadOfTheComPort();
    void propertiesFollowTheirOpenAndClosedRules();
    void lineChangeWhileOpenAppliesAndDiscardsInput_data();
    void lineChangeWhileOpenAppliesAndDiscardsInput();
    void speedReachesTheLine_data();
    void speedReachesTheLine();
    void termiosFromSettings_data();
    void termiosFromSettings();
    void pollDeliversAtMostInBufSize_data();
    void pollDeliversAtMostInBufSize();
    void quietOrDeadLineDeliversNothingAndDoesNotSpin_data();
    void quietOrDeadLineDeliversNothingAndDoesNotSpin();
    void portInUseOrMissingFailsToOpen_data();
    void portInUseOrMissingFailsToOpen();
    void modemLinesFollowSettings_data();
    void modemLinesFollowSettings();
    void nestedPollLeavesOuterBlockIntact();
    void handlerMayCloseClearOrDestroy_data();
    void handlerMayCloseClearOrDestroy();
    void closedDriverIgnoresPortOperations();
};

void TestSerialPortDriver::init()
{
    for (int n = 1; n <= 4; ++n)
        qunsetenv(QByteArray("VORLATT_COM" + QByteArray::number(n)).constData());
}

void TestSerialPortDriver::cleanup()
{
    init();
}

void TestSerialPortDriver::allByteValuesArriveUnchanged()
{
    // A terminal left in its default mode would echo, turn 0x0D into 0x0A, hold bytes until a
    // line end, or raise a signal at 0x03.
    Pty pty;
    QVERIFY(pty.isValid());
    useAsCom(1, pty);
    TSerialPortDriver driver;
    Sink sink;
    sink.listen(driver);
    driver.setComPortPollingDelay(kFastPolling);
    QVERIFY(driver.OpenPort());
    QCOMPARE(driver.deviceName(), pty.path());

    QByteArray every(256, '\0');
    for (int i = 0; i < 256; ++i)
        every[i] = char(i);
    QVERIFY(pty.send(every));
    QTRY_COMPARE(sink.all().size(), every.size());
    QCOMPARE(sink.all(), every);
    QCOMPARE(sink.zeroSizedCalls, 0);
}

void TestSerialPortDriver::openingAnOpenPortChangesNothing()
{
    Pty pty;
    QVERIFY(pty.isValid());
    useAsCom(1, pty);
    TSerialPortDriver driver;
    Sink sink;
    sink.listen(driver);
    driver.setComPortPollingDelay(kNoPolling);
    QVERIFY(driver.OpenPort());
    QVERIFY(pty.send("waiting"));
    QTRY_COMPARE(pty.pendingInput(), 7);

    QVERIFY(driver.OpenPort());
    QCOMPARE(activeTimers(driver), 1);
    // Applying the settings again would have purged the waiting bytes.
    QCOMPARE(pty.pendingInput(), 7);

    driver.setComPortPollingDelay(kFastPolling);
    QTRY_COMPARE(sink.all(), QByteArray("waiting"));
}

void TestSerialPortDriver::portNumberAssignedWhileOpenIsLost()
{
    Pty first;
    Pty second;
    QVERIFY(first.isValid() && second.isValid());
    useAsCom(1, first);
    useAsCom(2, second);
    TSerialPortDriver driver;
    Sink sink;
    sink.listen(driver);
    driver.setComPortPollingDelay(kFastPolling);

    QVERIFY(driver.OpenPort());
    driver.setComPort(TComPortNumber::pnCOM2);
    QCOMPARE(driver.comPort(), TComPortNumber::pnCOM1);
    QCOMPARE(driver.deviceName(), first.path());
    driver.ClosePort();
    QCOMPARE(driver.comPort(), TComPortNumber::pnCOM1);

    QVERIFY(driver.OpenPort());
    QCOMPARE(driver.deviceName(), first.path());
    QVERIFY(first.send("one"));
    QTRY_COMPARE(sink.all(), QByteArray("one"));

    driver.ClosePort();
    driver.setComPort(TComPortNumber::pnCOM2);
    QVERIFY(driver.OpenPort());
    QCOMPARE(driver.deviceName(), second.path());
    QVERIFY(second.send("two"));
    QTRY_COMPARE(sink.all(), QByteArray("onetwo"));
}

void TestSerialPortDriver::devicePathOpensThatDeviceInsteadOfTheComPort()
{
    // COM1 leads to one terminal, the path to another: the path wins, and the environment's
    // COM mapping is neither needed nor touched.
    Pty com1;
    Pty named;
    QVERIFY(com1.isValid() && named.isValid());
    useAsCom(1, com1);
    TSerialPortDriver driver;
    Sink sink;
    sink.listen(driver);
    driver.setComPortPollingDelay(kFastPolling);
    driver.setDevicePath(named.path());
    QVERIFY2(driver.OpenPort(), qPrintable(driver.errorString()));
    QCOMPARE(driver.deviceName(), named.path());
    QCOMPARE(qEnvironmentVariable("VORLATT_COM1"), com1.path());
    QVERIFY(com1.send("com"));
    QVERIFY(named.send("named"));
    QTRY_COMPARE(sink.all(), QByteArray("named"));
    driver.ClosePort();

    // A path that leads nowhere fails like a missing COM port, with nothing left running.
    driver.setDevicePath(QStringLiteral("/dev/vorlatt-no-such-port"));
    QVERIFY(!driver.OpenPort());
    QVERIFY(!driver.errorString().isEmpty());
    QVERIFY(driver.deviceName().isEmpty());
    QCOMPARE(activeTimers(driver), 0);

    // No path: the COM port's device again.
    driver.setDevicePath(QString());
    QVERIFY2(driver.OpenPort(), qPrintable(driver.errorString()));
    QCOMPARE(driver.deviceName(), com1.path());
}

void TestSerialPortDriver::propertiesFollowTheirOpenAndClosedRules()
{
    Pty pty;
    QVERIFY(pty.isValid());
    useAsCom(1, pty);
    TSerialPortDriver driver;
    QCOMPARE(driver.comPortInBufSize(), quint16(2048));
    QCOMPARE(driver.comPortPollingDelay(), quint16(50));

    driver.setComPortInBufSize(0); // would never read again
    QCOMPARE(driver.comPortInBufSize(), quint16(2048));
    driver.setComPortInBufSize(512);
    driver.setComPortPollingDelay(kNoPolling);
    QCOMPARE(driver.comPortInBufSize(), quint16(512));

    QVERIFY(driver.OpenPort());
    driver.setComPortInBufSize(4096);
    QCOMPARE(driver.comPortInBufSize(), quint16(512));
    driver.setEnableDTROnOpen(false);
    QCOMPARE(driver.enableDTROnOpen(), false);

    const auto timers = driver.findChildren<QTimer *>();
    QCOMPARE(timers.size(), 1);
    QCOMPARE(timers.first()->interval(), int(kNoPolling));
    driver.setComPortPollingDelay(200);
    QVERIFY(timers.first()->isActive());
    QCOMPARE(timers.first()->interval(), 200);
    driver.setComPortPollingDelay(0);
    QCOMPARE(driver.comPortPollingDelay(), quint16(0));
    QCOMPARE(timers.first()->interval(), TSerialPortDriver::kMinPollingDelay);

    driver.ClosePort();
    QVERIFY(!timers.first()->isActive());
    driver.setComPortInBufSize(4096);
    QCOMPARE(driver.comPortInBufSize(), quint16(4096));
}

void TestSerialPortDriver::lineChangeWhileOpenAppliesAndDiscardsInput_data()
{
    QTest::addColumn<Property>("property");
    QTest::newRow("speed") << Property::Speed;
    QTest::newRow("data bits") << Property::DataBits;
    QTest::newRow("stop bits") << Property::StopBits;
    QTest::newRow("parity") << Property::Parity;
    QTest::newRow("hardware handshaking") << Property::HwHandshaking;
    QTest::newRow("software handshaking") << Property::SwHandshaking;
}

void TestSerialPortDriver::lineChangeWhileOpenAppliesAndDiscardsInput()
{
    QFETCH(Property, property);
    Pty pty;
    QVERIFY(pty.isValid());
    useAsCom(1, pty);
    TSerialPortDriver driver;
    Sink sink;
    sink.listen(driver);
    driver.setComPortSpeed(TComPortBaudRate::br2400);
    driver.setComPortPollingDelay(kNoPolling);
    QVERIFY(driver.OpenPort());
    QVERIFY(pty.send("stale"));
    QTRY_COMPARE(pty.pendingInput(), 5);

    // Pseudo-terminals keep speed, stop bits and flow control but force 8 data bits without
    // parity, so those two can only show the discarded input here; termiosFromSettings covers
    // their flags.
    switch (property) {
    case Property::Speed:
        driver.setComPortSpeed(TComPortBaudRate::br19200);
        QCOMPARE(serialos::lineBaudRate(pty.slave()), 19200);
        break;
    case Property::DataBits:
        driver.setComPortDataBits(TComPortDataBits::db7BITS);
        break;
    case Property::StopBits:
        driver.setComPortStopBits(TComPortStopBits::sb2BITS);
        QVERIFY(pty.attributes().c_cflag & CSTOPB);
        break;
    case Property::Parity:
        driver.setComPortParity(TComPortParity::ptEVEN);
        break;
    case Property::HwHandshaking:
        driver.setComPortHwHandshaking(TComPortHwHandshaking::hhRTSCTS);
        QVERIFY(pty.attributes().c_cflag & CRTSCTS);
        break;
    case Property::SwHandshaking:
        driver.setComPortSwHandshaking(TComPortSwHandshaking::shXONXOFF);
        QVERIFY(pty.attributes().c_iflag & IXON);
        break;
    }
    QCOMPARE(pty.pendingInput(), 0);

    driver.setComPortPollingDelay(kFastPolling);
    QVERIFY(pty.send("fresh"));
    QTRY_COMPARE(sink.all(), QByteArray("fresh"));
}

void TestSerialPortDriver::speedReachesTheLine_data()
{
    QTest::addColumn<TComPortBaudRate>("speed");
    QTest::addColumn<int>("baud");
    const QList<QPair<TComPortBaudRate, int>> rates{
        {TComPortBaudRate::br110, 110},      {TComPortBaudRate::br300, 300},
        {TComPortBaudRate::br600, 600},      {TComPortBaudRate::br1200, 1200},
        {TComPortBaudRate::br2400, 2400},    {TComPortBaudRate::br4800, 4800},
        {TComPortBaudRate::br9600, 9600},    {TComPortBaudRate::br14400, 14400},
        {TComPortBaudRate::br19200, 19200},  {TComPortBaudRate::br38400, 38400},
        {TComPortBaudRate::br56000, 56000},  {TComPortBaudRate::br57600, 57600},
        {TComPortBaudRate::br115200, 115200}};
    for (const auto &[speed, baud] : rates)
        QTest::addRow("%d baud", baud) << speed << baud;
}

void TestSerialPortDriver::speedReachesTheLine()
{
    QFETCH(TComPortBaudRate, speed);
    QFETCH(int, baud);
    Pty pty;
    QVERIFY(pty.isValid());
    useAsCom(1, pty);
    TSerialPortDriver driver;
    driver.setComPortSpeed(speed);
    QVERIFY(driver.OpenPort());
    QCOMPARE(serialos::lineBaudRate(pty.slave()), baud);
}

void TestSerialPortDriver::termiosFromSettings_data()
{
    QTest::addColumn<TComPortDataBits>("dataBits");
    QTest::addColumn<TComPortParity>("parity");
    QTest::addColumn<TComPortStopBits>("stopBits");
    QTest::addColumn<bool>("rtsCts");
    QTest::addColumn<bool>("xonXoff");
    QTest::addColumn<int>("baud");
    QTest::addColumn<uint>("size");
    QTest::addColumn<uint>("parityFlags");
    QTest::addColumn<uint>("expectedSpeed");

    using D = TComPortDataBits;
    using P = TComPortParity;
    using S = TComPortStopBits;
    QTest::newRow("meter line 8N1 2400") << D::db8BITS << P::ptNONE << S::sb1BITS << false << false
                                         << 2400 << uint(CS8) << 0u << uint(B2400);
    QTest::newRow("7 even 1") << D::db7BITS << P::ptEVEN << S::sb1BITS << false << false << 9600
                              << uint(CS7) << uint(PARENB) << uint(B9600);
    QTest::newRow("7 odd 2") << D::db7BITS << P::ptODD << S::sb2BITS << false << false << 9600
                             << uint(CS7) << uint(PARENB | PARODD) << uint(B9600);
    QTest::newRow("5 bits one and a half stop")
        << D::db5BITS << P::ptNONE << S::sb1HALFBITS << false << false << 110 << uint(CS5) << 0u
        << uint(B110);
    QTest::newRow("6 mark") << D::db6BITS << P::ptMARK << S::sb1BITS << false << false << 300
                            << uint(CS6) << uint(PARENB | CMSPAR | PARODD) << uint(B300);
    QTest::newRow("8 space") << D::db8BITS << P::ptSPACE << S::sb1BITS << false << false << 600
                             << uint(CS8) << uint(PARENB | CMSPAR) << uint(B600);
    QTest::newRow("rts/cts") << D::db8BITS << P::ptNONE << S::sb1BITS << true << false << 19200
                             << uint(CS8) << 0u << uint(B19200);
    QTest::newRow("xon/xoff") << D::db8BITS << P::ptNONE << S::sb1BITS << false << true << 115200
                              << uint(CS8) << 0u << uint(B115200);
    // Rates without a termios constant get the nearest one here, the exact rate afterwards.
    QTest::newRow("14400 nearest, ties go up") << D::db8BITS << P::ptNONE << S::sb1BITS << false
                                               << false << 14400 << uint(CS8) << 0u << uint(B19200);
    QTest::newRow("56000 nearest") << D::db8BITS << P::ptNONE << S::sb1BITS << false << false
                                   << 56000 << uint(CS8) << 0u << uint(B57600);
}

void TestSerialPortDriver::termiosFromSettings()
{
    QFETCH(TComPortDataBits, dataBits);
    QFETCH(TComPortParity, parity);
    QFETCH(TComPortStopBits, stopBits);
    QFETCH(bool, rtsCts);
    QFETCH(bool, xonXoff);
    QFETCH(int, baud);
    QFETCH(uint, size);
    QFETCH(uint, parityFlags);
    QFETCH(uint, expectedSpeed);

    // Start from a terminal in its default, line-editing state with stray flags set.
    termios t{};
    t.c_iflag = ICRNL | IXON | IXOFF | INPCK | ISTRIP | IGNCR | INLCR | BRKINT;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;

    serialos::LineSettings s;
    s.baudRate = baud;
    s.dataBits = dataBits;
    s.parity = parity;
    s.stopBits = stopBits;
    s.rtsCts = rtsCts;
    s.xonXoff = xonXoff;
    serialos::makeRawTermios(t, s);

    QCOMPARE(uint(t.c_cflag & CSIZE), size);
    QCOMPARE(uint(t.c_cflag & (PARENB | PARODD | CMSPAR)), parityFlags);
    QCOMPARE(bool(t.c_cflag & CSTOPB), stopBits != TComPortStopBits::sb1BITS);
    QCOMPARE(bool(t.c_cflag & CRTSCTS), rtsCts);
    QCOMPARE(uint(t.c_iflag & (IXON | IXOFF)), xonXoff ? uint(IXON | IXOFF) : 0u);
    if (xonXoff) {
        QCOMPARE(int(t.c_cc[VSTART]), 0x11);
        QCOMPARE(int(t.c_cc[VSTOP]), 0x13);
    }
    QCOMPARE(uint(cfgetospeed(&t)), expectedSpeed);
    QCOMPARE(uint(cfgetispeed(&t)), expectedSpeed);

    // Raw and transparent whatever the settings: parity is sent but not checked.
    QCOMPARE(uint(t.c_cflag & (CREAD | CLOCAL)), uint(CREAD | CLOCAL));
    QCOMPARE(uint(t.c_iflag & (ICRNL | INPCK | ISTRIP | IGNCR | INLCR | BRKINT | IXANY)), 0u);
    QCOMPARE(uint(t.c_oflag & OPOST), 0u);
    QCOMPARE(uint(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)), 0u);
    QCOMPARE(int(t.c_cc[VMIN]), 0);
    QCOMPARE(int(t.c_cc[VTIME]), 0);
}

void TestSerialPortDriver::pollDeliversAtMostInBufSize_data()
{
    QTest::addColumn<int>("bufSize");
    QTest::addColumn<int>("waiting");
    QTest::addColumn<QList<int>>("blocks");
    QTest::newRow("3000 waiting, default 2048") << 2048 << 3000 << QList<int>{2048, 952};
    QTest::newRow("exactly one buffer") << 2048 << 2048 << QList<int>{2048};
    QTest::newRow("small buffer, several ticks") << 100 << 250 << QList<int>{100, 100, 50};
    QTest::newRow("one byte per tick") << 1 << 3 << QList<int>{1, 1, 1};
}

void TestSerialPortDriver::pollDeliversAtMostInBufSize()
{
    QFETCH(int, bufSize);
    QFETCH(int, waiting);
    QFETCH(QList<int>, blocks);
    Pty pty;
    QVERIFY(pty.isValid());
    useAsCom(1, pty);
    TSerialPortDriver driver;
    Sink sink;
    sink.listen(driver);
    driver.setComPortInBufSize(quint16(bufSize));
    driver.setComPortPollingDelay(kNoPolling);
    QVERIFY(driver.OpenPort());

    const QByteArray bytes = pattern(waiting);
    QVERIFY(pty.send(bytes));
    QTRY_COMPARE(pty.pendingInput(), waiting);
    driver.setComPortPollingDelay(kFastPolling);
    QTRY_COMPARE(sink.all().size(), bytes.size());
    QCOMPARE(sink.sizes(), blocks);
    QCOMPARE(sink.all(), bytes);
}

void TestSerialPortDriver::quietOrDeadLineDeliversNothingAndDoesNotSpin_data()
{
    QTest::addColumn<bool>("closeFarSide");
    QTest::addColumn<int>("pollingDelay");
    QTest::newRow("quiet line") << false << int(kFastPolling);
    QTest::newRow("far side closed") << true << int(kFastPolling);
    QTest::newRow("far side closed, zero polling delay") << true << 0;
}

void TestSerialPortDriver::quietOrDeadLineDeliversNothingAndDoesNotSpin()
{
    QFETCH(bool, closeFarSide);
    QFETCH(int, pollingDelay);
    Pty pty;
    QVERIFY(pty.isValid());
    useAsCom(1, pty);
    TSerialPortDriver driver;
    Sink sink;
    sink.listen(driver);
    driver.setComPortPollingDelay(quint16(pollingDelay));
    QVERIFY(driver.OpenPort());
    if (closeFarSide)
        pty.closeMaster();

    // Polling goes on...
    const quint64 start = driver.pollCount();
    QTRY_VERIFY(driver.pollCount() >= start + 5);

    // ...at the timer's pace: a driver that spins on a dead port (as one built on a read-error
    // signal does) runs thousands of polls while a slow reference timer ticks three times.
    QTimer reference;
    int referenceTicks = 0;
    connect(&reference, &QTimer::timeout, [&] { ++referenceTicks; });
    const quint64 before = driver.pollCount();
    reference.start(100);
    QTRY_VERIFY(referenceTicks >= 3);
    const quint64 polls = driver.pollCount() - before;
    QVERIFY2(polls < 1000, qPrintable(QStringLiteral("%1 polls").arg(polls)));

    QVERIFY(sink.blocks.isEmpty());
    QCOMPARE(sink.zeroSizedCalls, 0);
    QVERIFY(driver.IsOpen());
    driver.ClosePort();
    QCOMPARE(activeTimers(driver), 0);
}

void TestSerialPortDriver::portInUseOrMissingFailsToOpen_data()
{
    QTest::addColumn<QString>("holder");
    QTest::newRow("open in another driver") << "driver";
    QTest::newRow("locked by another program") << "flock";
    QTest::newRow("held exclusively by another program") << "exclusive";
    QTest::newRow("missing device") << "missing";
    QTest::newRow("not a terminal") << "file";
}

void TestSerialPortDriver::portInUseOrMissingFailsToOpen()
{
    QFETCH(QString, holder);
    Pty pty;
    QVERIFY(pty.isValid());
    useAsCom(1, pty);

    std::unique_ptr<TSerialPortDriver> otherDriver;
    int otherFd = -1;
    QTemporaryFile plainFile;
    auto release = [&] {
        otherDriver.reset();
        if (otherFd >= 0)
            ::close(otherFd);
        otherFd = -1;
    };
    const QByteArray path = pty.path().toLocal8Bit();
    if (holder == "driver") {
        otherDriver = std::make_unique<TSerialPortDriver>();
        QVERIFY(otherDriver->OpenPort());
    } else if (holder == "flock") {
        otherFd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QCOMPARE(::flock(otherFd, LOCK_EX | LOCK_NB), 0);
    } else if (holder == "exclusive") {
        otherFd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QCOMPARE(::ioctl(otherFd, TIOCEXCL), 0);
        const int probe = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (probe >= 0) {
            ::close(probe);
            release();
            QSKIP("this process may open terminals held exclusively (CAP_SYS_ADMIN)");
        }
    } else if (holder == "missing") {
        qputenv("VORLATT_COM1", "/dev/vorlatt-no-such-port");
    } else if (holder == "file") {
        QVERIFY(plainFile.open());
        plainFile.write("2B3030303020"); // looks like meter data, but is no port
        plainFile.flush();
        qputenv("VORLATT_COM1", plainFile.fileName().toLocal8Bit());
    }

    TSerialPortDriver driver;
    Sink sink;
    sink.listen(driver);
    QVERIFY(!driver.OpenPort());
    QVERIFY(!driver.IsOpen());
    QVERIFY(!driver.errorString().isEmpty());
    QVERIFY(driver.deviceName().isEmpty());
    QCOMPARE(activeTimers(driver), 0);
    driver.ClosePort();

    // Once the holder lets go, the same port opens: the failure was the holder's doing.
    if (otherDriver || otherFd >= 0) {
        if (otherDriver)
            QVERIFY(otherDriver->IsOpen());
        release();
        QVERIFY(driver.OpenPort());
        QVERIFY(driver.errorString().isEmpty());
        QCOMPARE(activeTimers(driver), 1);
    }
}

void TestSerialPortDriver::modemLinesFollowSettings_data()
{
    QTest::addColumn<bool>("dtrOnOpen");
    QTest::addColumn<TComPortHwHandshaking>("handshaking");
    QTest::addColumn<bool>("dtr");
    QTest::addColumn<bool>("rts");
    QTest::newRow("meter line: DTR on, RTS off")
        << true << TComPortHwHandshaking::hhNONE << true << false;
    QTest::newRow("DTR off") << false << TComPortHwHandshaking::hhNONE << false << false;
    QTest::newRow("RTS/CTS raises RTS") << true << TComPortHwHandshaking::hhRTSCTS << true << true;
}

void TestSerialPortDriver::modemLinesFollowSettings()
{
    QFETCH(bool, dtrOnOpen);
    QFETCH(TComPortHwHandshaking, handshaking);
    QFETCH(bool, dtr);
    QFETCH(bool, rts);

    // Pseudo-terminals have no modem lines; a real port can be named for this test.
    Pty pty;
    QVERIFY(pty.isValid());
    QString device = pty.path();
    if (!serialos::modemLines(pty.slave())) {
        device = qEnvironmentVariable("VORLATT_TEST_SERIAL_PORT");
        if (device.isEmpty())
            QSKIP("pseudo-terminals have no modem lines; set VORLATT_TEST_SERIAL_PORT to a "
                  "real serial port to test them");
    }
    qputenv("VORLATT_COM1", device.toLocal8Bit());

    // Opened before the driver, which refuses later opens of the port it holds.
    const int fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    TSerialPortDriver driver;
    driver.setEnableDTROnOpen(!dtrOnOpen);
    driver.setComPortHwHandshaking(handshaking);
    QVERIFY2(driver.OpenPort(), qPrintable(driver.errorString()));
    const auto opened = serialos::modemLines(fd);
    // The new DTR choice waits for the next application of the settings.
    driver.setEnableDTROnOpen(dtrOnOpen);
    const auto beforeApply = serialos::modemLines(fd);
    driver.ApplyLineSettings();
    const auto applied = serialos::modemLines(fd);
    ::close(fd);
    QVERIFY(opened && beforeApply && applied);
    QCOMPARE(opened->dtr, !dtr);
    QCOMPARE(beforeApply->dtr, !dtr);
    QCOMPARE(applied->dtr, dtr);
    QCOMPARE(applied->rts, rts);
}

void TestSerialPortDriver::nestedPollLeavesOuterBlockIntact()
{
    // The poll timer does not fire again while its handler runs, but a reconnect from inside a
    // modal box (the user clicks Disconnect and Connect while an error box is open) starts a new
    // one, which delivers while the outer handler still holds its block.
    Pty pty;
    QVERIFY(pty.isValid());
    useAsCom(1, pty);
    TSerialPortDriver driver;
    driver.setComPortPollingDelay(kFastPolling);
    QList<QByteArray> received;
    QByteArray outerAfterNested;
    QEventLoop modal;
    connect(&driver, &MeterLink::bytesArrived, &driver, [&](QByteArrayView bytes) {
        received << bytes.toByteArray();
        if (received.size() > 1) {
            modal.quit();
            return;
        }
        driver.ClosePort();
        QVERIFY(driver.OpenPort());
        QVERIFY(pty.send("nested"));
        QTimer::singleShot(5000, &modal, &QEventLoop::quit); // never hang the suite
        modal.exec();
        outerAfterNested = bytes.toByteArray();
    });
    QVERIFY(driver.OpenPort());
    QVERIFY(pty.send("outer"));
    QTRY_VERIFY(!outerAfterNested.isEmpty());
    QCOMPARE(received, (QList<QByteArray>{"outer", "nested"}));
    QCOMPARE(outerAfterNested, QByteArray("outer"));
}

void TestSerialPortDriver::handlerMayCloseClearOrDestroy_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("closes the port") << "close";
    QTest::newRow("clears itself") << "clear";
    QTest::newRow("destroys the driver inside a modal loop") << "destroy";
}

void TestSerialPortDriver::handlerMayCloseClearOrDestroy()
{
    QFETCH(QString, action);
    Pty pty;
    QVERIFY(pty.isValid());
    useAsCom(1, pty);
    auto *driver = new TSerialPortDriver;
    QPointer<TSerialPortDriver> guard(driver);
    driver->setComPortPollingDelay(kFastPolling);
    int calls = 0;
    QMetaObject::Connection connection;
    connection = connect(driver, &MeterLink::bytesArrived, driver, [&, sender = driver] {
        ++calls;
        if (action == "close") {
            sender->ClosePort();
        } else if (action == "clear") {
            QObject::disconnect(connection); // destroys the function that is running
        } else if (action == "destroy") {
            // As when the window owning the driver is closed from inside a message box: the
            // deferred delete is posted, and so carried out, within the modal loop.
            QEventLoop modal;
            connect(sender, &QObject::destroyed, &modal, &QEventLoop::quit);
            QTimer::singleShot(0, sender, [sender] { sender->deleteLater(); });
            QTimer::singleShot(5000, &modal, &QEventLoop::quit);
            modal.exec();
        }
    });
    QVERIFY(driver->OpenPort());
    QVERIFY(pty.send("x"));
    QTRY_COMPARE(calls, 1);

    if (action == "destroy") {
        QTRY_VERIFY(guard.isNull());
        return;
    }
    if (action == "close") {
        QVERIFY(!driver->IsOpen());
        QCOMPARE(activeTimers(*driver), 0);
    } else {
        QVERIFY(driver->IsOpen());
        QVERIFY(pty.send("y"));
        const quint64 start = driver->pollCount();
        QTRY_VERIFY(driver->pollCount() >= start + 3);
        QCOMPARE(pty.pendingInput(), 0); // read, but there is no one to hand it to
    }
    QCOMPARE(calls, 1);
    delete driver;
}

void TestSerialPortDriver::closedDriverIgnoresPortOperations()
{
    {
        TSerialPortDriver neverOpened;
        neverOpened.ClosePort();
        neverOpened.PurgeBuffers(true, true);
        neverOpened.ApplyLineSettings();
        neverOpened.setComPortSpeed(TComPortBaudRate::br2400); // applies nothing while closed
        QVERIFY(!neverOpened.IsOpen());
        QCOMPARE(activeTimers(neverOpened), 0);
        QCOMPARE(neverOpened.comPortSpeed(), TComPortBaudRate::br2400);
    }
    Pty pty;
    QVERIFY(pty.isValid());
    useAsCom(1, pty);
    TSerialPortDriver driver;
    QVERIFY(driver.OpenPort());
    driver.ClosePort();
    driver.ClosePort();
    QVERIFY(!driver.IsOpen());
    // Closing released the port for everyone.
    TSerialPortDriver next;
    QVERIFY(next.OpenPort());
}

QTEST_GUILESS_MAIN(TestSerialPortDriver)
#include "TestSerialPortDriver.moc"
