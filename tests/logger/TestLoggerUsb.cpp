#include "tests/support/CapturedStream.h"
#include "Logger.h"
#include "link/hid/HidMemoryBackend.h"
#include "log/engine/Session.h"
#include "log/engine/Table.h"
#include "log/engine/TableFile.h"
#include "link/hid/UsbCable.h"
#include "protocol/DisplayState.h"

#include <QTemporaryDir>
#include <QtTest>

using protocol::Annunciator;

Q_DECLARE_METATYPE(HidMemoryBackend::Device)

// vorlatt-log --usb over HID devices held in memory: the cable found and read, unplugged and
// plugged in again, and the runs that cannot start.
class TestLoggerUsb : public QObject
{
    Q_OBJECT
private slots:
    void cableIsReadIntoRecords();
    void replugGoesOnWithTheNumbering();
    void unplugWithExitOnLossEndsWithStatus3();
    void missingCableEndsWithStatus1_data();
    void missingCableEndsWithStatus1();
    void fullTableGoesOnInTheNextFile();

private:
    // One logger over a memory backend, its standard output and error in temporary files.
    struct Run
    {
        HidMemoryBackend *backend = nullptr;
        CapturedStream out;
        CapturedStream err;
        std::unique_ptr<Logger> logger;
        std::unique_ptr<QSignalSpy> finished;

        Run(const QList<HidMemoryBackend::Device> &devices, LoggerOptions options = {})
        {
            auto owned = std::make_unique<HidMemoryBackend>();
            backend = owned.get();
            for (const HidMemoryBackend::Device &d : devices)
                backend->plug(d, false);
            options.source = LoggerOptions::Source::Usb;
            // A fixed clock: record times and report stamps come from the clock handed in.
            logger = std::make_unique<Logger>(
                options, out.file(), err.file(), nullptr, std::move(owned), [] {
                    return QDateTime(QDate(2026, 3, 1), QTime(9, 30, 15, 250)).toMSecsSinceEpoch();
                });
            finished = std::make_unique<QSignalSpy>(logger.get(), &Logger::finished);
        }
        QStringList records() const { return out.records(); }
        QString errors() const { return err.text(); }
        void sendFrame(const QString &path, const char *digits) const
        {
            protocol::DisplayState s;
            s.digits = digits;
            s.point = 1;
            s.annunciators = Annunciator::Dc | Annunciator::Volt;
            for (const QByteArray &report : usbcable::cableReports(s.toFrame()))
                backend->push(path, QByteArray(1, '\0') + report);
        }
    };

    static HidMemoryBackend::Device device(const QString &path, const QString &product,
                                           const QString &instance = {})
    {
        HidMemoryBackend::Device d;
        d.path = path;
        d.instance = instance;
        d.product = product;
        d.attributes = {0x1A2B, 0x00C3, 0x0100};
        return d;
    }
};

void TestLoggerUsb::cableIsReadIntoRecords()
{
    LoggerOptions options;
    options.count = 2;
    Run run({device("/dev/hidraw0", "Keyboard"), device("/dev/hidraw1", "USB to Serial")}, options);
    QCOMPARE(run.logger->start(), -1);
    // The speed report goes on a thread of its own.
    QTRY_COMPARE(run.backend->featureReports("/dev/hidraw1"),
                 QList<QByteArray>{QByteArray::fromHex("00600900000300000000")});
    QVERIFY(run.backend->featureReports("/dev/hidraw0").isEmpty());
    QVERIFY(run.errors().contains(QStringLiteral("reading the USB cable (/dev/hidraw1)")));

    run.sendFrame("/dev/hidraw1", "1234");
    run.sendFrame("/dev/hidraw1", "1235");
    QTRY_COMPARE(run.finished->size(), 1);
    QCOMPARE(run.finished->at(0).at(0).toInt(), Logger::kDone);
    QCOMPARE(run.records(), (QStringList{"1:1.234", "2:1.235"}));
    QVERIFY(run.out.text().contains(QStringLiteral("\t09:30:15\tDC\t1.234\t")));
    QVERIFY(run.errors().contains(QStringLiteral("vorlatt-log: 2026-03-01T09:30:15.250")));
}

void TestLoggerUsb::replugGoesOnWithTheNumbering()
{
    LoggerOptions options;
    options.count = 3;
    Run run({device("/dev/hidraw0", "USB to Serial", "usb-1")}, options);
    QCOMPARE(run.logger->start(), -1);
    run.sendFrame("/dev/hidraw0", "0001");
    run.sendFrame("/dev/hidraw0", "0002");
    QTRY_COMPARE(run.records().size(), 2);

    run.backend->unplug("/dev/hidraw0");
    QVERIFY(run.errors().contains(
        QStringLiteral("link lost on the USB cable (/dev/hidraw0): the cable was unplugged")));
    QVERIFY(run.errors().contains(QStringLiteral("waiting for the USB cable to come back")));
    // Other devices coming and going while it waits change nothing.
    run.backend->plug(device("/dev/hidraw1", "Mouse"));
    QVERIFY(run.finished->isEmpty());

    // Back under another node and instance, as a replugged cable is.
    run.backend->plug(device("/dev/hidraw2", "USB to Serial", "usb-2"));
    QTRY_COMPARE(run.backend->featureReports("/dev/hidraw2").size(), 1);
    run.sendFrame("/dev/hidraw2", "0003");
    QTRY_COMPARE(run.finished->size(), 1);
    QCOMPARE(run.finished->at(0).at(0).toInt(), Logger::kDone);
    QCOMPARE(run.records(), (QStringList{"1:0.001", "2:0.002", "3:0.003"}));
    QVERIFY(run.errors().contains(
        QStringLiteral("link back on the USB cable (/dev/hidraw2); numbering goes on at 3")));
}

void TestLoggerUsb::unplugWithExitOnLossEndsWithStatus3()
{
    LoggerOptions options;
    options.exitOnLoss = true;
    Run run({device("/dev/hidraw0", "USB to Serial")}, options);
    QCOMPARE(run.logger->start(), -1);
    run.sendFrame("/dev/hidraw0", "0001");
    QTRY_COMPARE(run.records().size(), 1);
    run.backend->unplug("/dev/hidraw0");
    QTRY_COMPARE(run.finished->size(), 1);
    QCOMPARE(run.finished->at(0).at(0).toInt(), Logger::kLinkLost);
    QVERIFY(run.errors().contains(QStringLiteral("the cable was unplugged")));
}

void TestLoggerUsb::missingCableEndsWithStatus1_data()
{
    QTest::addColumn<QList<HidMemoryBackend::Device>>("devices");
    QTest::addColumn<QStringList>("said");

    const QStringList notPlugged{"is not plugged in", "\"USB to Serial\""};
    QTest::newRow("no HID device") << QList<HidMemoryBackend::Device>{} << notPlugged;
    HidMemoryBackend::Device withSerial = device("/dev/hidraw1", "USB to Serial");
    withSerial.serial = QStringLiteral("SN-7");
    QTest::newRow("other devices only")
        << QList<HidMemoryBackend::Device>{device("/dev/hidraw0", "Keyboard"), withSerial}
        << notPlugged;
    HidMemoryBackend::Device locked = device("/dev/hidraw4", "USB to Serial");
    locked.readWrite = false;
    QTest::newRow("cable without access")
        << QList<HidMemoryBackend::Device>{locked}
        << QStringList{"/dev/hidraw4", "no access", "70-vorlatt-usb-cable.rules"};
}

void TestLoggerUsb::missingCableEndsWithStatus1()
{
    QFETCH(QList<HidMemoryBackend::Device>, devices);
    QFETCH(QStringList, said);
    QTemporaryDir dir;
    LoggerOptions options;
    options.output = dir.filePath(QStringLiteral("run.tsv"));
    Run run(devices, options);
    QCOMPARE(run.logger->start(), Logger::kCannotOpen);
    const QString errors = run.errors();
    for (const QString &text : said)
        QVERIFY2(errors.contains(text), qPrintable(errors));
    QVERIFY(!QFile::exists(options.output)); // a run that cannot read leaves no file
    for (const HidMemoryBackend::Device &d : devices)
        QVERIFY(run.backend->featureReports(d.path).isEmpty());
}

// A Paradox table holds at most 65,535 blocks, some seven weeks of readings at the meter's
// rate; lowered to one block for the test, a table is full after 630 records. The full table is
// closed whole and the run goes on in run-2.db, then run-3.db, and says where each starts.
void TestLoggerUsb::fullTableGoesOnInTheNextFile()
{
    table::setMaxBlocksForTesting(1);
    const auto restore = qScopeGuard([] { table::setMaxBlocksForTesting(0); });
    const qint64 most = DbOutput::mostRecords();
    QCOMPARE(most, 630); // 32,762 bytes of a block's records, 52 bytes a record
    QTemporaryDir dir;
    LoggerOptions options;
    options.output = dir.filePath(QStringLiteral("run.db"));
    options.format = LogFormat::Db;
    options.count = 2 * most + 10;
    options.quiet = true;
    Run run({device("/dev/hidraw0", "USB to Serial")}, options);
    QCOMPARE(run.logger->start(), -1);
    QTRY_COMPARE(run.backend->featureReports("/dev/hidraw0").size(), 1);
    for (int i = 1; i <= options.count; ++i)
        run.sendFrame("/dev/hidraw0", QByteArray::number(i).rightJustified(4, '0').constData());
    QTRY_COMPARE_WITH_TIMEOUT(run.finished->size(), 1, 60000);
    const QString err = run.errors();
    QVERIFY2(run.finished->at(0).at(0).toInt() == Logger::kDone, qPrintable(err));
    run.finished.reset();
    run.logger.reset(); // lets go of the last table
    const struct
    {
        const char *name;
        qint64 first, records;
    } files[] = {{"run.db", 1, most}, {"run-2.db", most + 1, most}, {"run-3.db", 2 * most + 1, 10}};
    table::Session session("full");
    for (const auto &f : files) {
        table::Table t(session);
        t.setTableName(dir.filePath(QLatin1String(f.name)).toStdString());
        t.open();
        QCOMPARE(t.recordCount(), f.records);
        const int no = t.fieldIndex("No");
        QCOMPARE(QString::fromStdString(t.text(0, no)), QString::number(f.first));
        QCOMPARE(QString::fromStdString(t.text(f.records - 1, no)),
                 QString::number(f.first + f.records - 1));
        t.checkPrimaryIndex(); // whole, with a sound index
    }
    QVERIFY2(err.contains(QStringLiteral("%1 is full (630 records, as many as a Paradox table "
                                         "holds); going on in %2 from record 631")
                              .arg(dir.filePath(QStringLiteral("run.db")),
                                   dir.filePath(QStringLiteral("run-2.db")))),
             qPrintable(err));
    QVERIFY2(err.contains(QStringLiteral("going on in %1 from record 1261")
                              .arg(dir.filePath(QStringLiteral("run-3.db")))),
             qPrintable(err));
    QVERIFY2(err.contains(QStringLiteral("1270 records logged")), qPrintable(err));
}

QTEST_GUILESS_MAIN(TestLoggerUsb)
#include "TestLoggerUsb.moc"
