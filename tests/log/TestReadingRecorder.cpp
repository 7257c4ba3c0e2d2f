#include "LogFolder.h"
#include "log/JournalFormat.h"
#include "log/JournalOutput.h"
#include "log/ReadingLog.h"
#include "log/ReadingRecorder.h"
#include "log/RecoveryJournal.h"

#include <QtTest>

#include <memory>

namespace {

// An output of the test's own: it notes every call in a list shared by all outputs, so the
// order across outputs shows, and fails the calls it is told to.
class NotingOutput : public RecordOutput
{
public:
    NotingOutput(QString name, QStringList &calls) : m_name(std::move(name)), m_calls(calls) {}

    QString take(const LogRecord &record) override
    {
        records.append(record);
        m_calls << QStringLiteral("%1 take %2").arg(m_name).arg(record.no);
        return failTake.contains(record.no) ? m_name + QStringLiteral(" is full") : QString();
    }
    QString flush() override
    {
        m_calls << m_name + QStringLiteral(" flush");
        return failFlush ? m_name + QStringLiteral(" cannot sync") : QString();
    }
    QString finish() override
    {
        m_calls << m_name + QStringLiteral(" finish");
        return {};
    }
    // A failure found later, on the output's own.
    void failLater(const QString &why) { failed(why); }

    QList<LogRecord> records;
    QList<qint32> failTake;
    bool failFlush = false;

private:
    QString m_name;
    QStringList &m_calls;
};

protocol::MeterReading volts(const QString &value)
{
    return {value, value.toFloat() * 1000, QStringLiteral("DC"), QStringLiteral("V"),
            QStringLiteral("AUTO")};
}

} // namespace

class TestReadingRecorder : public QObject
{
    Q_OBJECT
private slots:
    void oneRecordPerTakenReadingToEveryOutputInOrder();
    void failingOutputIsReportedAndTheOthersStillFed();
    void windowsJournalLineComesFromTheRecordAndRestores();
};

// The rules decide once (Repeat off: a steady reading is taken once; the limit; a bad interval
// takes nothing), and each taken reading is one record, numbered and stamped once, which every
// output gets in the order they were added.
void TestReadingRecorder::oneRecordPerTakenReadingToEveryOutputInOrder()
{
    LogRules rules;
    rules.NextRecordNo = 5;
    rules.setLimit(2); // three readings
    qint64 now = 1765400000000;
    ReadingRecorder recorder(rules, [&now] { return now += 250; });
    QStringList calls;
    NotingOutput a(QStringLiteral("a"), calls), b(QStringLiteral("b"), calls);
    recorder.addOutput(&a);
    recorder.addOutput(&b);

    LogSettings settings;
    settings.RepeatSet = false;
    QList<bool> recorded;
    for (const char *value : {"1.000", "1.000", "2.000", "2.000", "3.000", "4.000"})
        recorded << recorder.offer(volts(value), settings).recorded;
    QCOMPARE(recorded, QList<bool>({true, false, true, false, true, false}));
    QCOMPARE(calls,
             QStringList({"a take 5", "b take 5", "a take 6", "b take 6", "a take 7", "b take 7"}));
    QCOMPARE(rules.NextRecordNo, 8);
    QCOMPARE(a.records.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const LogRecord &x = a.records.at(i), &y = b.records.at(i);
        QCOMPARE(x.no, y.no);
        QCOMPARE(x.when, y.when);
        QCOMPARE(x.reading.ValueText, y.reading.ValueText);
    }
    QCOMPARE(a.records.at(0).when, 1765400000250);
    QCOMPARE(a.records.at(1).reading.ValueText, QStringLiteral("2.000"));

    // The unit the display shows travels with the record.
    rules.setLimit(100);
    protocol::MeterReading hertz = volts(QStringLiteral("1.234"));
    hertz.UnitText = QStringLiteral("Hz");
    QVERIFY(recorder.offer(hertz, settings, QStringLiteral("kHz")).recorded);
    QCOMPARE(b.records.constLast().unit(), QStringLiteral("kHz"));
    QCOMPARE(b.records.constLast().reading.UnitText, QStringLiteral("Hz"));

    // A bad interval text: nothing is made, the rule's message comes back.
    settings.RecordSITime = QStringLiteral("x");
    const ReadingRecorder::Outcome refused =
        recorder.offer(volts(QStringLiteral("9.000")), settings);
    QVERIFY(!refused.recorded);
    QCOMPARE(refused.ruleError, QStringLiteral("'x' is not a valid integer value"));
    QCOMPARE(a.records.size(), 4);

    recorder.flush();
    recorder.finish();
    QCOMPARE(calls.mid(8), QStringList({"a flush", "b flush", "a finish", "b finish"}));
}

// The middle output fails: the failure comes back by output, the outputs after it still get the
// record, and the numbering goes on. A failure the output finds later on its own reaches the
// recorder's handler with the output named.
void TestReadingRecorder::failingOutputIsReportedAndTheOthersStillFed()
{
    LogRules rules;
    rules.NextRecordNo = 1;
    rules.setLimit(100);
    auto recorder = std::make_unique<ReadingRecorder>(rules);
    QStringList calls;
    NotingOutput a(QStringLiteral("a"), calls), b(QStringLiteral("b"), calls),
        c(QStringLiteral("c"), calls);
    for (NotingOutput *o : {&a, &b, &c})
        recorder->addOutput(o);
    b.failTake = {2};
    QList<QPair<RecordOutput *, QString>> later;
    recorder->setFailureHandler([&later](RecordOutput *output, const QString &why) {
        later.append({output, why});
    });

    for (int i = 0; i < 3; ++i) {
        const ReadingRecorder::Outcome o =
            recorder->offer(volts(QString::number(i) + QStringLiteral(".000")), LogSettings());
        QVERIFY(o.recorded);
        QCOMPARE(o.failures.size(), size_t(i == 1 ? 1 : 0));
        QCOMPARE(o.errorOf(&b), i == 1 ? QStringLiteral("b is full") : QString());
        QCOMPARE(o.errorOf(&c), QString());
    }
    QCOMPARE(c.records.size(), 3);
    QCOMPARE(c.records.at(2).no, 3);
    QCOMPARE(calls.mid(3, 3), QStringList({"a take 2", "b take 2", "c take 2"}));

    a.failFlush = true;
    const std::vector<ReadingRecorder::Failure> flushed = recorder->flush();
    QCOMPARE(flushed.size(), size_t(1));
    QCOMPARE(flushed.front().output, &a);
    QCOMPARE(flushed.front().error, QStringLiteral("a cannot sync"));
    QVERIFY(calls.endsWith(QStringLiteral("c flush")));
    QVERIFY(later.isEmpty()); // returned failures are not told twice

    c.failLater(QStringLiteral("the spool is gone"));
    QCOMPARE(later.size(), 1);
    QCOMPARE(later.at(0).first, &c);
    QCOMPARE(later.at(0).second, QStringLiteral("the spool is gone"));
    // Once the recorder is gone, a late failure goes nowhere, and does not crash.
    recorder.reset();
    c.failLater(QStringLiteral("again"));
    QCOMPARE(later.size(), 1);
}

// The window's composition: the log's table, then the journal. The journal line is made from the
// record in hand, the unit the display showed (kHz) included, and a restore from it gives the
// record back with its stamp and unit.
void TestReadingRecorder::windowsJournalLineComesFromTheRecordAndRestores()
{
    LogFolder folder;
    qputenv("XDG_STATE_HOME", QFile::encodeName(folder.path(QStringLiteral("state"))));
    ReadingLog log;
    openAsAtStartUp(log);
    RecoveryJournal journal;
    JournalOutput journalOutput(journal);
    const qint64 when = QDateTime(QDate(2026, 12, 10), QTime(23, 59, 58, 125)).toMSecsSinceEpoch();
    ReadingRecorder recorder(log.rules(), [when] { return when; });
    recorder.addOutput(&log);
    recorder.addOutput(&journalOutput);

    protocol::MeterReading hertz = {QStringLiteral("1.234"), 1234.0f, QString(),
                                    QStringLiteral("Hz"), QStringLiteral("AUTO")};
    QVERIFY(recorder.offer(hertz, LogSettings(), QStringLiteral("kHz")).failures.empty());
    QVERIFY(recorder.offer(volts(QStringLiteral("-0.500")), LogSettings()).failures.empty());
    QVERIFY(recorder.flush().empty());

    QFile file(journal.path());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = RecoveryJournal::wholeLines(file.readAll());
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0), JournalFormat::header());
    const QByteArray stamp = logrecord::isoStamp(when).toLatin1();
    QCOMPARE(lines.at(1), "1\t23:59:58\t\t1.234\tHz\tAUTO\t1234\t" + stamp + "\tkHz");
    QCOMPARE(lines.at(2), "2\t23:59:58\tDC\t-0.500\tV\tAUTO\t-500\t" + stamp + "\tV");
    // The table's fields agree with the line.
    const table::Table &t = log.table();
    QCOMPARE(QByteArray::fromStdString(t.text(1, t.fieldIndex("Nval"))), QByteArray("-500"));
    QCOMPARE(QByteArray::fromStdString(t.text(0, t.fieldIndex("Time"))), QByteArray("23:59:58"));

    QCOMPARE(log.RecordNew(), QString());
    const ReadingLog::Restored restored = log.restore(lines);
    QCOMPARE(restored.records, 2);
    QCOMPARE(log.stampOf(0).when.toMSecsSinceEpoch(), when);
    QCOMPARE(log.stampOf(0).fullUnit, QStringLiteral("kHz"));
    QCOMPARE(log.stampOf(1).fullUnit, QString());
    QCOMPARE(journal.retire(), QString());
    qunsetenv("XDG_STATE_HOME");
}

QTEST_GUILESS_MAIN(TestReadingRecorder)
#include "TestReadingRecorder.moc"
