#include "log/JournalFormat.h"

#include <QtTest>

Q_DECLARE_METATYPE(LogRecord)

// The journal's line and its parse as a pair: what is written comes back as the same record,
// and a line damaged in any field is no record at all.
class TestJournalFormat : public QObject
{
    Q_OBJECT
private slots:
    void lineParsesBackToItsRecord_data();
    void lineParsesBackToItsRecord();
    void damagedLineIsNoRecord_data();
    void damagedLineIsNoRecord();
    void journalIsCountedAndRenumbered();
};

namespace {

qint64 at(int h, int m, int s, int ms = 0)
{
    return QDateTime(QDate(2026, 12, 10), QTime(h, m, s, ms)).toMSecsSinceEpoch();
}

LogRecord record(qint32 no, qint64 when, const QString &value, float counts, const QString &acDc,
                 const QString &unit, const QString &range, const QString &fullUnit = {})
{
    LogRecord r;
    r.no = no;
    r.when = when;
    r.reading = {value, counts, acDc, unit, range};
    r.fullUnit = fullUnit;
    return r;
}

// A whole line of the current layout, for damaging one field at a time.
const QByteArray kGood = "7\t23:59:58\tAC\t1.234\tHz\tAUTO\t1234\t2026-12-09T23:59:58.125\tkHz";

QByteArray withField(int field, const QByteArray &text)
{
    QList<QByteArray> fields = kGood.split('\t');
    fields[field] = text;
    return fields.join('\t');
}

} // namespace

void TestJournalFormat::lineParsesBackToItsRecord_data()
{
    QTest::addColumn<LogRecord>("written");

    QTest::newRow("volts") << record(1, at(14, 5, 9, 250), "1.000", 1000, "DC", "V", "AUTO");
    QTest::newRow("negative, manual range")
        << record(41, at(0, 0, 0, 999), "-12.34", -1234, "AC", "m*", "MANU");
    QTest::newRow("overload above") << record(2, at(9, 0, 0), "0L.", 6000, "DC", "M*", "AUTO");
    QTest::newRow("overload below") << record(3, at(9, 0, 1), "0L.", -6000, "DC", "M*", "AUTO");
    QTest::newRow("kHz") << record(4, at(12, 0, 0), "1.234", 1234, "", "Hz", "AUTO", "kHz");
    QTest::newRow("MHz") << record(5, at(12, 0, 1), "12.34", 1234, "", "Hz", "MANU", "MHz");
    QTest::newRow("display font's stand-ins")
        << record(6, at(1, 2, 3), "23.5", 235, "", "#", "AUTO");
    QTest::newRow("micro sign") << record(7, at(1, 2, 4), "150.2", 1502, "DC", "\u00B5A", "AUTO");
    QTest::newRow("blank texts") << record(8, at(1, 2, 5), "", 0, "", "", "");
    QTest::newRow("fraction of a count") << record(9, at(1, 2, 6), "0.1", 0.1f, "DC", "V", "AUTO");
    QTest::newRow("last number") << record(std::numeric_limits<qint32>::max(), at(23, 59, 59),
                                           "-0.000", -0.0f, "DC", "V", "AUTO");
    // A record of a table saved before dates were kept: its time of day alone.
    LogRecord dayOnly = record(10, LogRecord::kNoTime, "5.00", 500, "DC", "mV", "AUTO");
    dayOnly.timeOfDay = QTime(23, 59, 58);
    QTest::newRow("time of day only") << dayOnly;
}

void TestJournalFormat::lineParsesBackToItsRecord()
{
    QFETCH(LogRecord, written);
    const QByteArray line = JournalFormat::line(written);
    QVERIFY(!JournalFormat::isNote(line));
    const std::optional<LogRecord> read = JournalFormat::parse(line);
    QVERIFY2(read, line.constData());
    QCOMPARE(read->no, written.no);
    QCOMPARE(read->when, written.when);
    QCOMPARE(read->reading, written.reading);
    QCOMPARE(read->fullUnit, written.fullUnit);
    QCOMPARE(read->unit(), written.unit());
    QCOMPARE(logrecord::timeText(*read), logrecord::timeText(written));
    QCOMPARE(read->timeOfDay.toString(u"HH:mm:ss"), logrecord::timeText(written));
    QCOMPARE(JournalFormat::line(*read), line);
    // Renumbered, it is the same record under another number.
    const std::optional<LogRecord> renumbered =
        JournalFormat::parse(JournalFormat::renumbered(line, 12));
    QVERIFY(renumbered);
    QCOMPARE(renumbered->no, 12);
    QCOMPARE(renumbered->reading, written.reading);
    QCOMPARE(renumbered->when, written.when);
}

void TestJournalFormat::damagedLineIsNoRecord_data()
{
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("not a record") << QByteArray("not a record");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("cut short") << kGood.left(kGood.indexOf("\t1234"));
    QTest::newRow("a field too many") << kGood + "\tmore";
    QTest::newRow("number not a number") << withField(0, "x7");
    QTest::newRow("negative number") << withField(0, "-3");
    QTest::newRow("number beyond a table's") << withField(0, "2147483648");
    QTest::newRow("time not a time") << withField(1, "25:00:00");
    QTest::newRow("time cut") << withField(1, "23:59");
    QTest::newRow("AC/DC too long") << withField(2, "ACDC");
    QTest::newRow("value too long for its field") << withField(3, QByteArray(5000, '7'));
    QTest::newRow("unit too long") << withField(4, "mVV");
    QTest::newRow("range too long") << withField(5, "MANUAL");
    QTest::newRow("text outside the table's code page") << withField(2, "\xCE\xA9");
    QTest::newRow("NUL in a text") << withField(3, QByteArray("1.2\0"
                                                              "3",
                                                              5));
    QTest::newRow("counts not a number") << withField(6, "12a");
    QTest::newRow("date not a date") << withField(7, "2026-13-40T23:59:58.125");
    QTest::newRow("full unit too long") << withField(8, "kilohertz");
    QTest::newRow("full unit overwritten") << withField(8, "k\xFF\xFE");
}

void TestJournalFormat::damagedLineIsNoRecord()
{
    QFETCH(QByteArray, line);
    QVERIFY(JournalFormat::parse(kGood)); // the line damaged is whole otherwise
    QVERIFY(!JournalFormat::parse(line));
    const JournalFormat::Count count = JournalFormat::count({JournalFormat::header(), line});
    QCOMPARE(count.records, 0);
    QCOMPARE(count.damaged, 1);
}

// Notes about the run are neither records nor damage; the ports are told once each, in order.
// Journals of earlier versions lack the full unit.
void TestJournalFormat::journalIsCountedAndRenumbered()
{
    const QList<QByteArray> journal = {
        JournalFormat::header(),
        JournalFormat::portLine(QStringLiteral("COM1 (/dev/ttyUSB0)")),
        kGood,
        "not a record",
        JournalFormat::portLine(QStringLiteral("USB\t(/dev/hidraw3)\n")),
        "8\t23:59:59\tDC\t-0.5\tV\tMANU\t-500\t2026-12-09T23:59:59",
        JournalFormat::portLine(QStringLiteral("COM1 (/dev/ttyUSB0)")),
        "#a note of a later version",
    };
    QCOMPARE(journal[1], QByteArray("#port\tCOM1 (/dev/ttyUSB0)"));
    QCOMPARE(JournalFormat::portOf(journal[4]), QStringLiteral("USB(/dev/hidraw3)"));
    QVERIFY(!JournalFormat::portOf(journal[7]));
    QVERIFY(!JournalFormat::portOf(kGood));
    const JournalFormat::Count count = JournalFormat::count(journal);
    QCOMPARE(count.records, 2);
    QCOMPARE(count.damaged, 1);
    QCOMPARE(count.ports, QStringList({"COM1 (/dev/ttyUSB0)", "USB(/dev/hidraw3)"}));

    const std::optional<LogRecord> older = JournalFormat::parse(journal[5]);
    QVERIFY(older);
    QCOMPARE(older->fullUnit, QString());
    QCOMPARE(older->unit(), QStringLiteral("V"));
    QCOMPARE(older->when, QDateTime(QDate(2026, 12, 9), QTime(23, 59, 59)).toMSecsSinceEpoch());
    QCOMPARE(JournalFormat::renumbered(journal[5], 31), "31" + journal[5].mid(1));
}

QTEST_GUILESS_MAIN(TestJournalFormat)
#include "TestJournalFormat.moc"
