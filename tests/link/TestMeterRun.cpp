// The meter run over a real pseudo-terminal: what its outputs hear of the link, of garbled
// frames and of the log's records, and a serial device that goes and comes back.

#include "link/SerialPortDriver.h"
#include "link/run/MeterRun.h"
#include "log/LogRules.h"
#include "protocol/DisplayState.h"
#include "tests/support/PtyPort.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using protocol::Annunciator;

namespace {

// What an output of the run hears, in order.
struct HeardOutput : RecordOutput
{
    QStringList heard; // "waiting", "live", "silent", "silent (loss)", "lost: why", "closed"
    QList<qint32> numbers;
    int rejected = 0;
    int logged = 0;

    QString take(const LogRecord &record) override
    {
        numbers << record.no;
        return {};
    }
    void linkChanged(const LinkState &s) override
    {
        static const char *const kNames[] = {"waiting", "live", "silent", "lost", "closed"};
        QString name = QString::fromLatin1(kNames[int(s.kind)]);
        if (s.kind == LinkState::Kind::Lost)
            name += QStringLiteral(": ") + s.reason;
        if (s.kind == LinkState::Kind::Silent && s.countsAsLoss)
            name += QStringLiteral(" (loss)");
        heard << name;
    }
    void frameRejected() override { ++rejected; }
    void logTook(const LogRecord &) override { ++logged; }
};

// What the meter's line carries before a frame: the port opened in the middle of one.
QByteArray lineTail()
{
    return "\r" + protocol::DisplayState().toFrame().right(1);
}

QByteArray volts(const char *digits)
{
    protocol::DisplayState s;
    s.digits = digits;
    s.annunciators = Annunciator::Dc | Annunciator::Volt;
    return s.toFrame();
}

} // namespace

class TestMeterRun : public QObject
{
    Q_OBJECT
private slots:
    void outputsHearTheRun();
    void lostDeviceIsOpenedAgain();
};

// Both stages hear the link; every decoded reading reaches the first, numbered for the run,
// while the log's rules take what they take; a garbled frame is counted, the tail of the first
// frame after opening is not; the user's close is no loss.
void TestMeterRun::outputsHearTheRun()
{
    PtyPort meter;
    QVERIFY(meter.isOpen());
    TSerialPortDriver driver;
    driver.setComPortPollingDelay(TSerialPortDriver::kMinPollingDelay);
    MeterRun run;
    run.stream().setSerialRoutine(protocol::SerialRoutine::RECEIVE_COM_Data);
    HeardOutput every;
    run.addReadingOutput(&every);
    LogRules rules; // a limit of 1 takes two readings, then no more
    rules.NextRecordNo = 1;
    rules.setLimit(1);
    ReadingRecorder log(rules);
    HeardOutput logged;
    log.addOutput(&logged);
    run.setLogRecorder(&log);
    int frames = 0;
    run.setFrameHandler([&](const protocol::StreamFrame &frame) {
        ++frames;
        if (frame.decoded && frame.decoded->ok())
            log.offer(frame.decoded->reading, LogSettings{});
    });

    run.setLink(&driver);
    QVERIFY(driver.open());
    run.opened(QStringLiteral("COM1 (%1)").arg(QString::fromLatin1(meter.path())),
               QStringLiteral("com1"));
    // The first frame arrives cut (its head went before the port opened): no garbage.
    QVERIFY(meter.send(volts("0001").mid(5) + volts("0002") + volts("0003")));
    QTRY_COMPARE(every.numbers.size(), 2);
    QCOMPARE(every.rejected, 0);
    QVERIFY(meter.send(volts("1:34") + volts("0004") + volts("0005")));
    QTRY_COMPARE(every.numbers, (QList<qint32>{1, 2, 3, 4}));
    QCOMPARE(every.rejected, 1);
    QCOMPARE(logged.numbers, (QList<qint32>{1, 2})); // the log's own rules and numbers
    QCOMPARE(every.logged, 2);
    QCOMPARE(run.readings(), 4);

    run.silent();
    run.silent(); // said once
    QVERIFY(meter.send(volts("0006")));
    QTRY_COMPARE(every.numbers.size(), 5);
    run.silent(true);
    run.closedByUser();
    driver.close();
    const QStringList expected = {"waiting", "live", "silent", "live", "silent (loss)", "closed"};
    QCOMPARE(every.heard.mid(1), expected); // after what it heard when added: waiting
    QCOMPARE(logged.heard.mid(1), expected);
    QVERIFY(every.heard.size() > 0 && every.heard.first() == u"waiting");
}

// The device goes away under an open port: the link says so once, the run tells its outputs and
// opens the port again, once a second, when reopening is on; frames flow again once it is back.
void TestMeterRun::lostDeviceIsOpenedAgain()
{
    QTemporaryDir dir;
    const QByteArray name = QFile::encodeName(dir.filePath(QStringLiteral("ttyMeter")));
    auto meter = std::make_unique<PtyPort>(name);
    QVERIFY(meter->isOpen());
    TSerialPortDriver driver;
    driver.setDevicePath(QString::fromLocal8Bit(name));
    driver.setComPortPollingDelay(TSerialPortDriver::kMinPollingDelay);
    MeterRun run;
    run.stream().setSerialRoutine(protocol::SerialRoutine::RECEIVE_COM_Data);
    run.setReopenAfterLoss(true);
    HeardOutput every;
    run.addReadingOutput(&every);
    QSignalSpy lost(&run, &MeterRun::linkLost);
    QSignalSpy reopened(&run, &MeterRun::reopened);
    run.setLink(&driver);
    QVERIFY(driver.open());
    run.opened(QString::fromLocal8Bit(name), QStringLiteral("ttyMeter"));
    QVERIFY(meter->send(lineTail() + volts("0001") + volts("0002")));
    QTRY_COMPARE(every.numbers.size(), 2);

    meter.reset(); // pulled out: the device and its name go
    QTRY_COMPARE(lost.size(), 1);
    QCOMPARE(run.state().kind, LinkState::Kind::Lost);
    QVERIFY2(every.heard.last().startsWith(u"lost: the "), qPrintable(every.heard.last()));
    QVERIFY(!driver.isOpen());
    QVERIFY(run.reopening());

    meter = std::make_unique<PtyPort>(name); // back, at another pty under the same name
    QTRY_COMPARE_WITH_TIMEOUT(reopened.size(), 1, 5000);
    QVERIFY(driver.isOpen());
    QVERIFY(!run.reopening());
    QVERIFY(meter->send(lineTail() + volts("0003") + volts("0004")));
    QTRY_COMPARE(every.numbers, (QList<qint32>{1, 2, 3, 4}));
    QCOMPARE(run.state().kind, LinkState::Kind::Live);
    QCOMPARE(lost.size(), 1);
}

QTEST_GUILESS_MAIN(TestMeterRun)
#include "TestMeterRun.moc"
