#include "LogFolder.h"
#include "log/JournalFormat.h"
#include "log/ReadingLog.h"
#include "log/engine/BatchMove.h"
#include "log/engine/Table.h"

#include <QtTest>

#include <memory>

// The log's rules, driven through scripts of what the meter and the user do.
class TestReadingLog : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void rules_data();
    void rules();
    void recordHoldsTheReading();
    void journalLinesAreRestoredWithTheirStamps();
    void badIntervalStopsAfterTheKey();
    void openRefusesATableThatIsNotALog();
    void readingThatCannotBeLoggedIsReportedAndDropped();
    void restoreIntoATableWithoutNumbersIsReported();
    void oldFileReplacesTheLogAndNumberingGoesOn_data();
    void oldFileReplacesTheLogAndNumberingGoesOn();
    void unreadableOldFileKeepsTheLog();
    void logTableIsFoundInTheDataFolder();
    void missingLogTableLeavesTheLogClosed();

private:
    QString run(const QString &script);
    std::unique_ptr<LogFolder> m_folder;
    std::unique_ptr<ReadingLog> m_log;
    std::unique_ptr<LogFeed> m_feed;
    protocol::MeterReading m_reading;
    LogSettings m_settings;
    QStringList m_errors;
};

void TestReadingLog::init()
{
    m_folder = std::make_unique<LogFolder>();
    m_log = std::make_unique<ReadingLog>();
    m_feed = std::make_unique<LogFeed>(*m_log, [] {
        return QDateTime(QDate(2026, 12, 10), QTime(14, 5, 9, 250)).toMSecsSinceEpoch();
    });
    openAsAtStartUp(*m_log);
    m_reading = {QStringLiteral("1.000"), 1000.0f, QStringLiteral("DC"), QStringLiteral("V"),
                 QStringLiteral("AUTO")};
    m_settings = LogSettings();
    m_errors.clear();
}

void TestReadingLog::cleanup()
{
    m_feed.reset();
    m_log.reset();
    m_folder.reset();
}

// Words of a script: "read" offers the reading (read*N N times), "v=", "ac", "dc", "u=",
// "manu" change it; "tick" (tick*N) is the sampling timer; "limit=" picks a Record-menu limit;
// "new" empties the log; "repeat=0/1", "si=0/1", "interval=" set the controls; "edit=" types a
// new interval. Returns the "No" of every record in the table, comma-separated.
QString TestReadingLog::run(const QString &script)
{
    for (const QString &word : script.split(u' ', Qt::SkipEmptyParts)) {
        const QString verb = word.section(u'*', 0, 0).section(u'=', 0, 0);
        const QString arg = word.contains(u'=') ? word.section(u'=', 1) : QString();
        const int times = word.contains(u'*') ? word.section(u'*', 1).toInt() : 1;
        for (int i = 0; i < times; ++i) {
            if (verb == u"read") {
                const LogFeed::Offered o = m_feed->offer(m_reading, m_settings);
                if (!o.error.isEmpty())
                    m_errors << o.error;
            } else if (verb == u"tick") {
                m_log->rules().TrecordTimer(m_settings.RecordSI);
            } else if (verb == u"v") {
                m_reading.ValueText = arg;
            } else if (verb == u"ac" || verb == u"dc") {
                m_reading.AcDcText = verb.toUpper();
            } else if (verb == u"u") {
                m_reading.UnitText = arg;
            } else if (verb == u"manu") {
                m_reading.RangeText = QStringLiteral("MANU");
            } else if (verb == u"limit") {
                m_log->rules().setLimit(arg.toInt());
            } else if (verb == u"new") {
                m_log->RecordNew();
            } else if (verb == u"repeat") {
                m_settings.RepeatSet = arg == u"1";
            } else if (verb == u"si") {
                m_settings.RecordSI = arg == u"1";
            } else if (verb == u"interval") {
                m_settings.RecordSITime = arg;
            } else if (verb == u"edit") {
                m_settings.RecordSITime = arg;
                const QString error = m_log->rules().RecordSITimeChange(arg);
                if (!error.isEmpty())
                    m_errors << error;
            } else {
                qFatal("unknown script word %s", qPrintable(word));
            }
        }
    }
    QStringList numbers;
    const table::Table &t = m_log->table();
    const int no = t.fieldIndex("No");
    for (qint64 row = 0; row < t.recordCount(); ++row)
        numbers << QString::fromStdString(t.text(row, no));
    // Long runs are summed up by their ends.
    if (numbers.size() > 6)
        numbers = QStringList{numbers.first(), QStringLiteral("..."), numbers.last(),
                              QStringLiteral("(%1)").arg(numbers.size())};
    return numbers.join(u',');
}

void TestReadingLog::rules_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("records");
    QTest::addColumn<int>("recordCount");

    QTest::newRow("every reading with Repeat on") << "read*3"
                                                  << "1,2,3" << 3;
    QTest::newRow("limit 1000 takes 1001 readings") << "limit=1000 read*1005"
                                                    << "1,...,1001,(1001)" << 1001;
    QTest::newRow("a lower limit stops at once, a higher one resumes")
        << "read*1003 limit=1000 read*2 limit=5000 read"
        << "1,...,1004,(1004)" << 1004;
    QTest::newRow("limitless") << "limit=10000000 read*4"
                               << "1,2,3,4" << 4;
    QTest::newRow("Repeat off logs a steady reading once") << "repeat=0 read*5"
                                                           << "1" << 1;
    QTest::newRow("Repeat off: DC to AC is a new reading") << "repeat=0 read ac read dc read"
                                                           << "1,2,3" << 3;
    QTest::newRow("Repeat off: unit and range count") << "repeat=0 read u=mV read manu read read"
                                                      << "1,2,3" << 3;
    QTest::newRow("Repeat off: the key survives New") << "repeat=0 read*2 new read v=2.000 read"
                                                      << "1" << 1;
    QTest::newRow("New empties and numbers from 1 again") << "read*3 new read"
                                                          << "1" << 1;
    QTest::newRow("New on an empty log resets the counters") << "new new read"
                                                             << "1" << 1;
    QTest::newRow("interval 10: one reading per ten ticks")
        << "si=1 interval=10 read read*3 tick*9 read tick read read"
        << "1,2" << 2;
    QTest::newRow("interval 0 lets every reading in") << "si=1 interval=0 read*4"
                                                      << "1,2,3,4" << 4;
    QTest::newRow("an emptied interval box counts as 0") << "si=1 interval= read*3"
                                                         << "1,2,3" << 3;
    QTest::newRow("interval off: the countdown stands, then is waited for")
        << "interval=3 read tick*5 si=1 read tick*3 read"
        << "1,2" << 2;
    QTest::newRow("editing the interval restarts the wait")
        << "si=1 interval=10 read edit=2 tick*2 read"
        << "1,2" << 2;
    QTest::newRow("a sign alone counts as 0") << "si=1 interval=- read read"
                                              << "1,2" << 2;
}

void TestReadingLog::rules()
{
    QFETCH(QString, script);
    QTEST(run(script), "records");
    QTEST(int(m_log->rules().RecordCount), "recordCount");
    QCOMPARE(m_errors, QStringList());
}

void TestReadingLog::recordHoldsTheReading()
{
    m_reading = {QStringLiteral("-12.34"), -1234.0f, QStringLiteral("AC"), QStringLiteral("m*"),
                 QStringLiteral("MANU")};
    m_log->rules().NextRecordNo = 41;
    QVERIFY(m_feed->offer(m_reading, m_settings).logged);
    const table::Table &t = m_log->table();
    QCOMPARE(t.recordCount(), 1);
    QCOMPARE(t.currentRow(), 0);
    const QStringList fields = {"No", "Time", "DC/AC", "Value", "Nval", "Unit", "AUTO"};
    QStringList texts;
    for (const QString &f : fields)
        texts << QString::fromStdString(t.text(f.toStdString()));
    QCOMPARE(texts, QStringList({"41", "14:05:09", "AC", "-12.34", "-1234", "m*", "MANU"}));
    QCOMPARE(m_log->rules().NextRecordNo, 42);
}

// Journals of earlier versions lack the full unit; a line that is no record the log can take is
// counted as damaged and passed over.
void TestReadingLog::journalLinesAreRestoredWithTheirStamps()
{
    QVERIFY(m_feed->offer(m_reading, m_settings, QStringLiteral("V")).logged);
    const QList<QByteArray> journal = {
        "No\tTime\tDC/AC\tValue\tUnit\tAUTO\tNval\tDateTime\tFullUnit",
        "7\t23:59:58\tAC\t1.234\tHz\tAUTO\t1234\t2026-12-09T23:59:58.125\tkHz",
        "not a record",
        // A record with a value no field holds: left out, and the restore goes on after it.
        "8\t23:59:59\tDC\t" + QByteArray(5000, '7') + "\tV\tMANU\t-500\t2026-12-09T23:59:59",
        "#port\tCOM1 (/dev/ttyUSB0)", // about the run, neither record nor damage
        "8\t23:59:59\tDC\t-0.5\tV\tMANU\t-500\t2026-12-09T23:59:59",
    };
    const JournalFormat::Count count = JournalFormat::count(journal);
    QCOMPARE(count.records, 2);
    QCOMPARE(count.damaged, 2);
    const ReadingLog::Restored restored = m_log->restore(journal);
    QCOMPARE(restored.records, 2);
    QCOMPARE(restored.damaged, 2);
    QCOMPARE(restored.error, QString());
    // The log held a record numbered 1: the restored ones number on after it.
    QCOMPARE(restored.lines,
             (QList<QByteArray>{"2" + journal[1].mid(1), journal[4], "3" + journal[5].mid(1)}));
    QCOMPARE(QString::fromStdString(m_log->table().text(1, m_log->table().fieldIndex("No"))),
             QStringLiteral("2"));
    QCOMPARE(m_log->rules().NextRecordNo, 4);
    QCOMPARE(m_log->stampOf(0).when, QDateTime(QDate(2026, 12, 10), QTime(14, 5, 9, 250)));
    QCOMPARE(m_log->stampOf(0).fullUnit, QString()); // "V" says it all
    QCOMPARE(m_log->stampOf(1).when, QDateTime(QDate(2026, 12, 9), QTime(23, 59, 58, 125)));
    QCOMPARE(m_log->stampOf(1).fullUnit, QStringLiteral("kHz"));
    QCOMPARE(m_log->stampOf(2).when, QDateTime(QDate(2026, 12, 9), QTime(23, 59, 59)));
    QCOMPARE(m_log->stampOf(2).fullUnit, QString());
    QCOMPARE(m_log->lastStamp().when, m_log->stampOf(2).when);
    QVERIFY(!m_log->stampOf(3).when.isValid());
    QCOMPARE(QString::fromStdString(m_log->table().text(2, m_log->table().fieldIndex("Value"))),
             QStringLiteral("-0.5"));
    // New empties the stamps with the records.
    QCOMPARE(m_log->RecordNew(), QString());
    QVERIFY(!m_log->lastStamp().when.isValid());
}

void TestReadingLog::badIntervalStopsAfterTheKey()
{
    m_settings.RepeatSet = false;
    m_settings.RecordSITime = QStringLiteral("99999999999");
    m_log->rules().SampleCountdown = 7;
    const LogFeed::Offered o = m_feed->offer(m_reading, m_settings);
    QVERIFY(!o.logged);
    QCOMPARE(o.error, QStringLiteral("'99999999999' is not a valid integer value"));
    QCOMPARE(m_log->rules().LastLoggedText, QStringLiteral("1.000DCVAUTO"));
    QCOMPARE(m_log->rules().SampleCountdown, 7);
    QCOMPARE(m_log->rules().RecordCount, 0);
    QCOMPARE(m_log->table().recordCount(), 0);

    QCOMPARE(m_log->rules().RecordSITimeChange(QStringLiteral("12x")),
             QStringLiteral("'12x' is not a valid integer value"));
    QCOMPARE(m_log->rules().SampleCountdown, 7);
}

// A log table without the field "Unit" (a start-up table replaced by another one; an opened
// file is checked): the reading is refused with the engine's message, and the half-made record
// is not left behind to be posted by the next move.
// Another kind of table is refused by name of what it lacks, and the log keeps its readings;
// a reading log is asked about before it replaces them.
void TestReadingLog::openRefusesATableThatIsNotALog()
{
    QVERIFY(m_feed->offer(m_reading, m_settings).logged);
    table::Session session;
    table::Table other(session);
    const QString otherPath = m_folder->path(QStringLiteral("other.db"));
    other.setTableName(otherPath.toStdString());
    other.createTable({{"No", table::FieldType::Long, 4}, {"Value", table::FieldType::Alpha, 8}});
    other.close();
    int asked = 0;
    const auto ask = [&asked] {
        ++asked;
        return false;
    };
    QCOMPARE(m_log->openOldFile(otherPath, ask),
             QStringLiteral("The file ") + otherPath +
                 QStringLiteral(" is not a reading log: it has no field \"Time\", "
                                "\"DC/AC\", \"Nval\", \"Unit\", \"AUTO\"."));
    QCOMPARE(asked, 0);
    QCOMPARE(m_log->table().recordCount(), 1);
    QVERIFY(m_feed->offer(m_reading, m_settings).logged);
    QCOMPARE(m_log->table().recordCount(), 2);

    // A reading log: asked, and "no" keeps the log as it was.
    const QString good = m_folder->path(QStringLiteral("good.db"));
    QVERIFY(QFile::copy(QStringLiteral(VORLATT_TARVODB), good));
    QFile::setPermissions(good, QFile::ReadOwner | QFile::WriteOwner);
    QCOMPARE(m_log->openOldFile(good, ask), QString());
    QCOMPARE(asked, 1);
    QCOMPARE(m_log->table().recordCount(), 2);
    QVERIFY(m_feed->offer(m_reading, m_settings).logged);
    QCOMPARE(m_log->openOldFile(good, [] { return true; }), QString());
    QCOMPARE(m_log->table().recordCount(), 0);
}

void TestReadingLog::readingThatCannotBeLoggedIsReportedAndDropped()
{
    m_log->close();
    QVERIFY(QFile::remove(m_folder->path(QStringLiteral("Tarvodb.DB"))));
    table::Session session;
    table::Table other(session);
    other.setTableName(m_folder->path(QStringLiteral("Tarvodb.DB")).toStdString());
    other.createTable({{"No", table::FieldType::Long, 4}, {"Value", table::FieldType::Alpha, 8}});
    other.close();
    QCOMPARE(m_log->open({}), QString());

    const LogFeed::Offered o = m_feed->offer(m_reading, m_settings);
    QVERIFY(!o.logged);
    QVERIFY2(o.error.contains(u"has no field"), qPrintable(o.error));
    QVERIFY(!m_log->table().isAppending());
    QCOMPARE(m_log->table().recordCount(), 0);
    m_log->table().first();
    QCOMPARE(m_log->table().recordCount(), 0);
}

// A start-up table that holds records but no field "No": the restored records are refused with
// the engine's message, as a reading is, instead of an error escaping the restore.
void TestReadingLog::restoreIntoATableWithoutNumbersIsReported()
{
    m_log->close();
    QVERIFY(QFile::remove(m_folder->path(QStringLiteral("Tarvodb.DB"))));
    {
        table::Session session;
        table::Table other(session);
        other.setTableName(m_folder->path(QStringLiteral("Tarvodb.DB")).toStdString());
        other.createTable({{"Value", table::FieldType::Alpha, 8}});
        other.setExclusive(true);
        other.open();
        other.append();
        other.setText("Value", "1.000");
        other.post();
        other.close();
    }
    QCOMPARE(m_log->open({}), QString());
    QCOMPARE(m_log->table().recordCount(), 1);

    const ReadingLog::Restored restored =
        m_log->restore({"No\tTime\tDC/AC\tValue\tUnit\tAUTO\tNval\tDateTime\tFullUnit",
                        "7\t23:59:58\tAC\t1.234\tHz\tAUTO\t1234\t2026-12-09T23:59:58.125\tkHz"});
    QCOMPARE(restored.records, 0);
    QVERIFY2(restored.error.contains(u"has no field"), qPrintable(restored.error));
    QVERIFY(!m_log->table().isAppending());
    QCOMPARE(m_log->table().recordCount(), 1);
}

void TestReadingLog::oldFileReplacesTheLogAndNumberingGoesOn_data()
{
    QTest::addColumn<int>("tableRecords");
    QTest::addColumn<QString>("runAfterSave");
    QTest::addColumn<QString>("records");

    // The run has numbered to 5, the table only to 2: numbers go on from the run.
    QTest::newRow("table smaller than the run") << 2 << "interval=4 read*3 repeat=0 si=1"
                                                << "1,2,6";
    // The table holds 1 to 40, the run (after New) only 1 to 3: numbers go on after the table's.
    QTest::newRow("table larger than the run") << 40 << "new interval=4 read*3 repeat=0 si=1"
                                               << "1,...,41,(41)";
}

void TestReadingLog::oldFileReplacesTheLogAndNumberingGoesOn()
{
    QFETCH(int, tableRecords);
    QFETCH(QString, runAfterSave);
    QFETCH(QString, records);
    m_log->rules().setLimit(ReadingLog::kLimitItems.back());
    run(QStringLiteral("read*%1").arg(tableRecords));
    table::Table saved(m_log->session());
    saved.setTableName(m_folder->path(QStringLiteral("run.db")).toStdString());
    table::BatchMove copy;
    copy.setSource(&m_log->table());
    copy.setDestination(&saved);
    copy.execute();
    run(runAfterSave);
    const qint32 count = m_log->rules().RecordCount;
    const QString key = m_log->rules().LastLoggedText;

    QCOMPARE(m_log->openOldFile(m_folder->path(QStringLiteral("run.db"))), QString());
    QCOMPARE(m_log->table().recordCount(), tableRecords);
    QCOMPARE(m_log->rules().RecordCount, count);
    QCOMPARE(m_log->rules().LastLoggedText, key);
    QCOMPARE(m_log->rules().SampleCountdown, 4);
    // Readings go on into the opened table with numbers the log does not hold yet.
    QCOMPARE(run(QStringLiteral("si=0 v=3.000 read")), records);
    QCOMPARE(run(QStringLiteral("v=4.000 read")).section(u',', -2),
             tableRecords < 6 ? QStringLiteral("6,7") : QStringLiteral("42,(42)"));
    // Recording never writes the opened file.
    m_log->close();
    table::Table check(m_log->session());
    check.setTableName(m_folder->path(QStringLiteral("run.db")).toStdString());
    check.open();
    QCOMPARE(check.recordCount(), tableRecords);
}

void TestReadingLog::unreadableOldFileKeepsTheLog()
{
    run(QStringLiteral("read*3"));
    const QString junk = m_folder->path(QStringLiteral("junk.DB"));
    QFile f(junk);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("not a table at all");
    f.close();
    for (const QString &path : {junk, m_folder->path(QStringLiteral("missing.db"))}) {
        const QString error = m_log->openOldFile(path);
        QVERIFY2(!error.isEmpty(), qPrintable(path));
        QVERIFY(m_log->isOpen());
        QCOMPARE(m_log->table().recordCount(), 3);
    }
    QCOMPARE(run(QStringLiteral("read")), QStringLiteral("1,2,3,4"));
}

void TestReadingLog::logTableIsFoundInTheDataFolder()
{
    const QString dataDir = QDir::currentPath();
    QTemporaryDir elsewhere;
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    ReadingLog second;
    m_log->close(); // the first log holds the table for exclusive use
    QCOMPARE(second.open({QStringLiteral("/nonexistent"), dataDir}), QString());
    QCOMPARE(QString::fromStdString(second.table().filePath()),
             QDir(dataDir).filePath(QStringLiteral("Tarvodb.DB")));
    QVERIFY(QDir::setCurrent(dataDir));
}

void TestReadingLog::missingLogTableLeavesTheLogClosed()
{
    QTemporaryDir elsewhere;
    const QString here = QDir::currentPath();
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    ReadingLog log;
    const QString error = log.open({});
    QVERIFY(!error.isEmpty());
    QVERIFY2(error.contains(u"Tarvodb"), qPrintable(error));
    QVERIFY(!log.isOpen());
    // A closed log takes readings silently.
    const LogFeed::Offered o = LogFeed(log).offer(m_reading, m_settings);
    QVERIFY(!o.logged);
    QCOMPARE(o.error, QString());
    // Held by another copy of the program: the exclusive lock keeps a second log out.
    QVERIFY(QDir::setCurrent(here));
    ReadingLog second;
    QVERIFY(!second.open({}).isEmpty());
    QVERIFY(m_log->isOpen());
}

QTEST_GUILESS_MAIN(TestReadingLog)
#include "TestReadingLog.moc"
