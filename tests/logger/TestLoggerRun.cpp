#include "log/DbOutput.h"
#include "tests/support/LoggerProcesses.h"
#include "tests/support/ReadingSchema.h"
#include "log/LogTableLayout.h"
#include "log/engine/EngineError.h"
#include "log/engine/Table.h"
#include "protocol/DisplayState.h"
#include "tests/log/PythonCsv.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef VORLATT_HAVE_PXLIB
extern "C" {
#include <paradox.h>
}
#endif

// The built vorlatt-log, run as a user would: against the simulator on a real pseudo-terminal,
// or against a pseudo-terminal the test plays itself, with its outputs read back by other means
// (Python's csv module, a JSON parser, pxlib).

namespace {

using Record = QVariantMap;

// A pseudo-terminal the test writes to as the meter.
class Pty
{
public:
    Pty()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0)
            m_path = QString::fromLocal8Bit(::ptsname(m_master));
    }
    ~Pty()
    {
        if (m_master >= 0)
            ::close(m_master);
    }
    QString path() const { return m_path; }
    bool send(const QByteArray &bytes)
    {
        return ::write(m_master, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

private:
    int m_master = -1;
    QString m_path;
};

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Lines of a text output without their line ends; the header stays as the first line.
QList<QByteArray> textLines(const QString &path)
{
    QList<QByteArray> lines = contents(path).split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    return lines;
}

qsizetype recordsIn(const QString &path)
{
    return std::max<qsizetype>(0, textLines(path).size() - 1);
}

QList<Record> fromColumns(const QList<QStringList> &rows)
{
    QList<Record> records;
    for (qsizetype i = 1; i < rows.size(); ++i) {
        Record r;
        for (qsizetype c = 0; c < rows.at(0).size() && c < rows.at(i).size(); ++c)
            r.insert(rows.at(0).at(c), rows.at(i).at(c));
        records << r;
    }
    return records;
}

QList<Record> readTsv(const QString &path)
{
    QList<QStringList> rows;
    for (const QByteArray &line : textLines(path))
        rows << QString::fromUtf8(line).split(u'\t');
    return fromColumns(rows);
}

// Python's csv module reads the file.
QList<Record> readCsv(const QString &path)
{
    return fromColumns(readCsvWithPython(path));
}

QList<Record> readJsonl(const QString &path)
{
    QList<Record> records;
    for (const QByteArray &line : textLines(path)) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError)
            return {};
        const QVariantMap o = doc.object().toVariantMap();
        // The reading's JSON keys under the text formats' column names, and the numbers as those
        // give them, so one set of checks serves every format. The time of day is the one of
        // the stamp; the unit is the one the display shows, hertz with its prefix.
        Record r;
        r[QStringLiteral("No")] = QString::number(o.value(QStringLiteral("no")).toLongLong());
        r[QStringLiteral("DateTime")] = o.value(QStringLiteral("time"));
        r[QStringLiteral("Time")] = o.value(QStringLiteral("time")).toString().mid(11, 8);
        r[QStringLiteral("DC/AC")] = o.value(QStringLiteral("acdc"));
        r[QStringLiteral("Value")] = o.value(QStringLiteral("value"));
        r[QStringLiteral("Unit")] = o.value(QStringLiteral("unit"));
        r[QStringLiteral("PlainUnit")] = o.value(QStringLiteral("plain_unit"));
        r[QStringLiteral("BaseUnit")] = o.value(QStringLiteral("base_unit"));
        r[QStringLiteral("AUTO")] = o.value(QStringLiteral("range"));
        const QVariant base = o.value(QStringLiteral("base_value"));
        r[QStringLiteral("BaseValue")] =
            base.isValid() ? QString::number(base.toDouble(), 'g', 15) : QString();
        records << r;
    }
    return records;
}

#ifdef VORLATT_HAVE_PXLIB
// No, Value, Unit and the timestamp of each record, through pxlib.
QList<Record> readDb(const QString &path)
{
    QList<Record> records;
    // A table not written yet is an empty list here, not a message.
    pxdoc_t *doc = PX_new2([](pxdoc_t *, int, const char *, void *) {}, nullptr, nullptr, nullptr);
    if (PX_open_file(doc, QFile::encodeName(path).constData()) != 0) {
        PX_delete(doc);
        return records;
    }
    QByteArray data(PX_get_recordsize(doc), '\0');
    for (int row = 0; row < PX_get_num_records(doc); ++row) {
        if (!PX_get_record(doc, row, data.data()))
            break;
        Record r;
        int offset = 0;
        for (int i = 0; i < PX_get_num_fields(doc); ++i) {
            const pxfield_t *f = PX_get_field(doc, i);
            char *field = data.data() + offset;
            offset += f->px_flen;
            const QString name = QString::fromLatin1(f->px_fname);
            if (f->px_ftype == pxfAlpha) {
                char *value = nullptr;
                r.insert(name, PX_get_data_alpha(doc, field, f->px_flen, &value) > 0
                                   ? QString::fromLatin1(value)
                                   : QString());
                std::free(value);
            } else if (f->px_ftype == pxfLong) {
                long value = 0;
                if (PX_get_data_long(doc, field, 4, &value) > 0)
                    r.insert(name, QString::number(value));
            } else if (f->px_ftype == pxfTimestamp) {
                double value = 0;
                if (PX_get_data_double(doc, field, 8, &value) > 0)
                    r.insert(name, value);
            }
        }
        records << r;
    }
    PX_close(doc);
    PX_delete(doc);
    return records;
}
#endif

// The count the run ends with: "N records logged".
qint64 loggedCount(const QString &err)
{
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("(\\d+) records? logged")).match(err);
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

// A table made with the engine, with these fields and one record numbered 7.
bool makeTable(const QString &path, const std::vector<table::FieldDef> &fields)
{
    try {
        table::Session session("test");
        table::Table t(session);
        t.setTableType(table::TableType::Paradox);
        t.setTableName(QFile::encodeName(path).toStdString());
        t.createTable(fields);
        t.setExclusive(true);
        t.open();
        t.append();
        t.setText(LogTableLayout::kNo, "7");
        t.setText(LogTableLayout::kValue, "1.23");
        t.post();
        t.close();
    } catch (const table::EngineError &e) {
        qWarning("%s", e.what());
        return false;
    }
    return true;
}

// A tmpfs of `size` mounted for the test; needs the right to mount (root in CI).
class SmallDisk
{
public:
    SmallDisk(const QString &path, const QString &size) : m_path(path)
    {
        QDir().mkpath(path);
        QProcess mount;
        mount.start(QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                     QStringLiteral("size=") + size, QStringLiteral("tmpfs"), path});
        m_mounted = mount.waitForFinished(kWaitMs) && mount.exitStatus() == QProcess::NormalExit &&
                    mount.exitCode() == 0;
        m_error = QString::fromLocal8Bit(mount.readAllStandardError()).trimmed();
        if (m_error.isEmpty())
            m_error = mount.errorString();
    }
    ~SmallDisk()
    {
        if (m_mounted)
            QProcess::execute(QStringLiteral("umount"), {m_path});
    }
    bool mounted() const { return m_mounted; }
    QString error() const { return m_error; }

private:
    QString m_path;
    bool m_mounted = false;
    QString m_error;
};

QList<Record> readRecords(const QString &format, const QString &path)
{
    if (format == u"tsv")
        return readTsv(path);
    if (format == u"csv")
        return readCsv(path);
    if (format == u"jsonl")
        return readJsonl(path);
#ifdef VORLATT_HAVE_PXLIB
    return readDb(path);
#else
    return {};
#endif
}

QStringList numbers(const QList<Record> &records)
{
    QStringList out;
    for (const Record &r : records)
        out << r.value(QStringLiteral("No")).toString();
    return out;
}

QStringList oneTo(int n)
{
    QStringList out;
    for (int i = 1; i <= n; ++i)
        out << QString::number(i);
    return out;
}

QString key(const Record &r)
{
    QString k;
    for (const char *field : {"Value", "DC/AC", "Unit", "AUTO"})
        k += r.value(QLatin1String(field)).toString() + u'|';
    return k;
}

qint64 stampMs(const Record &r)
{
    return QDateTime::fromString(r.value(QStringLiteral("DateTime")).toString(), Qt::ISODateWithMs)
        .toMSecsSinceEpoch();
}

} // namespace

class TestLoggerRun : public QObject
{
    Q_OBJECT

private slots:
    // A fresh folder for every case, since the text outputs append.
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void everyFormatHoldsTheReadings_data();
    void everyFormatHoldsTheReadings();
    void logRulesAsInTheWindow_data();
    void logRulesAsInTheWindow();
    void stopSignalWritesTheTableAndEndsWithZero_data();
    void stopSignalWritesTheTableAndEndsWithZero();
    void checkpointsWriteTheTableDuringTheRun();
    void linkLossAndReturnKeepNumbering_data();
    void linkLossAndReturnKeepNumbering();
    void exitOnLossEndsWithThree();
    void killedRunLeavesWholeLines();
    void halfLineLeftByACrashIsCut();
    void appendedRunsNumberOn_data();
    void appendedRunsNumberOn();
    void csvBegunWithoutLocalTimeKeepsItsColumns();
    void garbageIsSummedUpNotReportedPerFrame();
    void permissionDeniedNamesTheDialoutGroup();
    void failuresToStart_data();
    void failuresToStart();
    void dbOutputAppendsAndKeepsTheOldRecords();
    void dbOutputOfTheOlderLayoutIsAppendedTo();
    void dbOutputOfOtherFieldsIsRefused_data();
    void dbOutputOfOtherFieldsIsRefused();
    void secondRunOnOneDbOutputIsRefused();
    void fullDiskLeavesWholeRecordsAndAnHonestCount_data();
    void fullDiskLeavesWholeRecordsAndAnHonestCount();

private:
    QString file(const QString &name) const { return m_dir->filePath(name); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestLoggerRun::everyFormatHoldsTheReadings_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("tsv") << "tsv";
    QTest::newRow("csv") << "csv";
    QTest::newRow("jsonl") << "jsonl";
    QTest::newRow("db") << "db";
}

// A whole tour of the simulator's scenes, so every unit and an overload pass through.
void TestLoggerRun::everyFormatHoldsTheReadings()
{
    QFETCH(QString, format);
#ifndef VORLATT_HAVE_PXLIB
    if (format == u"db")
        QSKIP("pxlib is not installed");
#endif
    const int count = 1100;
    Sim sim({QStringLiteral("--rate"), QStringLiteral("800")});
    QVERIFY(!sim.path().isEmpty());
    const QString out = file(QStringLiteral("run.") + format);
    Logger logger;
    logger.start({QStringLiteral("--port"), sim.path(), QStringLiteral("--count"),
                  QString::number(count), QStringLiteral("--quiet"), QStringLiteral("--output"),
                  out, QStringLiteral("--format"), format});
    QCOMPARE(logger.wait(), 0);
    QCOMPARE(logger.out(), QByteArray());

    const QList<Record> records = readRecords(format, out);
    QCOMPARE(numbers(records), oneTo(count));
    if (format == u"jsonl") {
        // Every line, an overload and every unit of the tour among them, is a reading of the
        // shipped schema.
        const SchemaCheck check = checkAgainstReadingSchema(out);
        QCOMPARE(check.faults, QStringList());
        QCOMPARE(check.valid, count);
    }
    QSet<QString> units, plainUnits;
    for (const Record &r : records) {
        units << r.value(QStringLiteral("Unit")).toString();
        if (format == u"db") {
            QVERIFY(r.contains(QStringLiteral("DateTime")));
            continue;
        }
        // The time of day is the one of the full stamp.
        const QDateTime stamp = QDateTime::fromString(
            r.value(QStringLiteral("DateTime")).toString(), Qt::ISODateWithMs);
        QVERIFY2(stamp.isValid(), qPrintable(r.value(QStringLiteral("DateTime")).toString()));
        QCOMPARE(r.value(QStringLiteral("Time")).toString(), stamp.time().toString(u"HH:mm:ss"));
        // The base value is the shown value scaled by the unit's prefix.
        const QString value = r.value(QStringLiteral("Value")).toString();
        const QString unit = r.value(QStringLiteral("Unit")).toString();
        // The plain unit carries every prefix the display shows, also the kilo of kHz, which
        // the window's unit text leaves out.
        const QString plain = r.value(QStringLiteral("PlainUnit")).toString();
        plainUnits << plain;
        const QString base = r.value(QStringLiteral("BaseValue")).toString();
        if (value.contains(u'L')) {
            QCOMPARE(base, QString());
            continue;
        }
        const double scale = plain.size() < 2                  ? 1
                             : plain.startsWith(u'm')          ? 1e-3
                             : plain.startsWith(QChar(0x00B5)) ? 1e-6
                             : plain.startsWith(u'n')          ? 1e-9
                             : plain.startsWith(u'k')          ? 1e3
                             : plain.startsWith(u'M')          ? 1e6
                                                               : 1;
        QVERIFY2(qFuzzyCompare(1 + base.toDouble(), 1 + value.toDouble() * scale),
                 qPrintable(value + u' ' + unit + u' ' + base));
        if (unit == u"k*")
            QCOMPARE(r.value(QStringLiteral("PlainUnit")).toString(), QStringLiteral("k\u03A9"));
        if (unit == u"#")
            QCOMPARE(r.value(QStringLiteral("PlainUnit")).toString(), QStringLiteral("\u00B0C"));
    }
    QVERIFY2(units.size() >= 12, qPrintable(QStringList(units.values()).join(u' ')));
    if (format != u"db")
        QVERIFY(plainUnits.contains(QStringLiteral("kHz")));
    // JSON's unit is the one the display shows, the kilo of hertz included.
    if (format == u"jsonl")
        QVERIFY(units.contains(QStringLiteral("kHz")));
}

void TestLoggerRun::logRulesAsInTheWindow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("rule");

    QTest::newRow("a limit of 4 takes 5 and ends the run")
        << QStringList{QStringLiteral("--limit"), QStringLiteral("4")} << "limit";
    QTest::newRow("no repeat: no two records alike in a row")
        << QStringList{QStringLiteral("--no-repeat"), QStringLiteral("--count"),
                       QStringLiteral("60")}
        << "no-repeat";
    QTest::newRow("interval 2: a whole tick between records")
        << QStringList{QStringLiteral("--interval"), QStringLiteral("2"), QStringLiteral("--count"),
                       QStringLiteral("3")}
        << "interval";
}

void TestLoggerRun::logRulesAsInTheWindow()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, rule);
    // Fast enough that the overload scene, which holds one steady reading, comes by.
    Sim sim({QStringLiteral("--rate"), QStringLiteral("300")});
    const QString out = file(QStringLiteral("rules.tsv"));
    Logger logger;
    logger.start(arguments + QStringList{QStringLiteral("--port"), sim.path(),
                                         QStringLiteral("--quiet"), QStringLiteral("--output"),
                                         out});
    QCOMPARE(logger.wait(), 0);
    const QList<Record> records = readTsv(out);
    if (rule == u"limit") {
        QCOMPARE(numbers(records), oneTo(5));
        QVERIFY2(logger.err().contains(u"record limit reached"), qPrintable(logger.err()));
    } else if (rule == u"no-repeat") {
        QCOMPARE(numbers(records), oneTo(60));
        for (qsizetype i = 1; i < records.size(); ++i)
            QVERIFY2(key(records.at(i)) != key(records.at(i - 1)), qPrintable(key(records.at(i))));
    } else {
        QCOMPARE(numbers(records), oneTo(3));
        // Two ticks of a one-second timer lie between them, so at least one whole period.
        for (qsizetype i = 1; i < records.size(); ++i)
            QVERIFY(stampMs(records.at(i)) - stampMs(records.at(i - 1)) >= 900);
    }
}

void TestLoggerRun::stopSignalWritesTheTableAndEndsWithZero_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

// The live lines on standard output and the table written at the end tell the same records.
void TestLoggerRun::stopSignalWritesTheTableAndEndsWithZero()
{
    QFETCH(int, signal);
#ifndef VORLATT_HAVE_PXLIB
    QSKIP("pxlib is not installed");
#endif
    Sim sim({QStringLiteral("--rate"), QStringLiteral("100")});
    const QString out = file(QStringLiteral("stopped.db"));
    Logger logger;
    logger.start({QStringLiteral("--port"), sim.path(), QStringLiteral("--output"), out,
                  QStringLiteral("--format"), QStringLiteral("db")});
    QTRY_VERIFY_WITH_TIMEOUT(logger.out().count('\n') >= 5, kWaitMs);
    logger.signal(signal);
    QCOMPARE(logger.wait(), 0);
    const QList<QByteArray> live = logger.out().trimmed().split('\n');
    const QList<Record> records = readRecords(QStringLiteral("db"), out);
    QCOMPARE(records.size(), live.size());
    QCOMPARE(numbers(records), oneTo(int(live.size())));
    QCOMPARE(records.last().value(QStringLiteral("Value")).toString().toUtf8(),
             live.last().split('\t').value(3));
}

// While the run goes on, each checkpoint leaves a whole table that another program can read.
void TestLoggerRun::checkpointsWriteTheTableDuringTheRun()
{
#ifndef VORLATT_HAVE_PXLIB
    QSKIP("pxlib is not installed");
#endif
    Sim sim({QStringLiteral("--rate"), QStringLiteral("50")});
    const QString out = file(QStringLiteral("checkpoints.db"));
    Logger logger;
    logger.start({QStringLiteral("--port"), sim.path(), QStringLiteral("--quiet"),
                  QStringLiteral("--output"), out, QStringLiteral("--format"), QStringLiteral("db"),
                  QStringLiteral("--checkpoint"), QStringLiteral("1")});
    QTRY_VERIFY_WITH_TIMEOUT(readRecords(QStringLiteral("db"), out).size() >= 10, kWaitMs);
    const QList<Record> during = readRecords(QStringLiteral("db"), out);
    QCOMPARE(numbers(during), oneTo(int(during.size())));
    logger.signal(SIGTERM);
    QCOMPARE(logger.wait(), 0);
    QVERIFY(readRecords(QStringLiteral("db"), out).size() >= during.size());
    // Only the table itself and its index remain: no temporary files beside it.
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files).size(), 2);
}

void TestLoggerRun::linkLossAndReturnKeepNumbering_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("lost");
    QTest::newRow("adapter unplugged and back") << int(SIGUSR2) << "link lost";
    QTest::newRow("meter silent for a while") << int(SIGUSR1) << "no data for";
    // The simulator's own schedule; the logger is running well before it falls silent.
    QTest::newRow("scheduled silence") << 0 << "no data for";
}

void TestLoggerRun::linkLossAndReturnKeepNumbering()
{
    QFETCH(int, signal);
    QFETCH(QString, lost);
    const QString link = file(QStringLiteral("ttyMeter"));
    QStringList simArguments{QStringLiteral("--rate"), QStringLiteral("50"),
                             QStringLiteral("--link"), link};
    if (signal == 0)
        simArguments << QStringLiteral("--pause") << QStringLiteral("4,5");
    Sim sim(simArguments);
    QVERIFY(QFileInfo(link).isSymLink());
    const QString out = file(QStringLiteral("loss.tsv"));
    Logger logger;
    logger.start({QStringLiteral("--port"), link, QStringLiteral("--quiet"),
                  QStringLiteral("--output"), out});
    QTRY_VERIFY_WITH_TIMEOUT(recordsIn(out) >= 5, kWaitMs);
    if (signal != 0)
        sim.signal(signal);
    QTRY_VERIFY_WITH_TIMEOUT(logger.err().contains(lost), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(logger.err().contains(u"link back"), kWaitMs);
    const qsizetype before = recordsIn(out);
    QTRY_VERIFY_WITH_TIMEOUT(recordsIn(out) >= before + 5, kWaitMs);
    logger.signal(SIGTERM);
    QCOMPARE(logger.wait(), 0);

    const QList<Record> records = readTsv(out);
    QCOMPARE(numbers(records), oneTo(int(records.size())));
    // The loss is reported once, with the time it was noticed.
    QCOMPARE(logger.err().count(u"link lost"), 1);
    QVERIFY(QRegularExpression(
                QStringLiteral("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\S* link lost"))
                .match(logger.err())
                .hasMatch());
}

void TestLoggerRun::exitOnLossEndsWithThree()
{
    const QString link = file(QStringLiteral("ttyMeter"));
    Sim sim({QStringLiteral("--rate"), QStringLiteral("50"), QStringLiteral("--link"), link});
    const QString out = file(QStringLiteral("loss.csv"));
    Logger logger;
    logger.start({QStringLiteral("--port"), link, QStringLiteral("--quiet"),
                  QStringLiteral("--output"), out, QStringLiteral("--format"),
                  QStringLiteral("csv"), QStringLiteral("--exit-on-loss")});
    QTRY_VERIFY_WITH_TIMEOUT(recordsIn(out) >= 3, kWaitMs);
    sim.signal(SIGUSR2);
    QCOMPARE(logger.wait(), 3);
    QVERIFY(logger.err().contains(u"link lost"));
    const QList<Record> records = readCsv(out);
    QVERIFY(records.size() >= 3);
    QCOMPARE(numbers(records), oneTo(int(records.size())));
}

// A kill leaves no chance to clean up: what was flushed must be whole lines, numbered without gaps.
void TestLoggerRun::killedRunLeavesWholeLines()
{
    Sim sim({QStringLiteral("--rate"), QStringLiteral("400")});
    const QString out = file(QStringLiteral("killed.csv"));
    Logger logger;
    logger.start({QStringLiteral("--port"), sim.path(), QStringLiteral("--quiet"),
                  QStringLiteral("--output"), out, QStringLiteral("--format"),
                  QStringLiteral("csv")});
    QTRY_VERIFY_WITH_TIMEOUT(recordsIn(out) >= 200, kWaitMs);
    logger.signal(SIGKILL);
    QCOMPARE(logger.wait(), -1);

    const QByteArray bytes = contents(out);
    QVERIFY(bytes.endsWith("\r\n"));
    const QList<Record> records = readCsv(out);
    QVERIFY(records.size() >= 200);
    QCOMPARE(numbers(records), oneTo(int(records.size())));
    for (const Record &r : records)
        QCOMPARE(r.size(), 11);
}

void TestLoggerRun::halfLineLeftByACrashIsCut()
{
    const QString out = file(QStringLiteral("half-line.csv"));
    QVERIFY(QFile::copy(QFINDTESTDATA("data/half-line.csv"), out));
    QFile::setPermissions(out, QFile::ReadOwner | QFile::WriteOwner);
    Sim sim({QStringLiteral("--rate"), QStringLiteral("100")});
    Logger logger;
    logger.start({QStringLiteral("--port"), sim.path(), QStringLiteral("--quiet"),
                  QStringLiteral("--count"), QStringLiteral("2"), QStringLiteral("--output"), out,
                  QStringLiteral("--format"), QStringLiteral("csv")});
    QCOMPARE(logger.wait(), 0);
    QVERIFY(logger.err().contains(u"half a line"));
    // The earlier run's two whole records, then this run's two, numbered on, under the one header.
    QVERIFY(logger.err().contains(u"numbering goes on at 3"));
    QCOMPARE(numbers(readCsv(out)), (QStringList{"1", "2", "3", "4"}));
    QCOMPARE(textLines(out).size(), 5);
}

void TestLoggerRun::appendedRunsNumberOn_data()
{
    everyFormatHoldsTheReadings_data();
}

// Every output a second run appends to keeps its numbers unique.
void TestLoggerRun::appendedRunsNumberOn()
{
    QFETCH(QString, format);
#ifndef VORLATT_HAVE_PXLIB
    if (format == u"db")
        QSKIP("pxlib is not installed");
#endif
    Sim sim({QStringLiteral("--rate"), QStringLiteral("100")});
    const QString out = file(QStringLiteral("twice.") + format);
    for (int run = 0; run < 2; ++run) {
        Logger logger;
        logger.start({QStringLiteral("--port"), sim.path(), QStringLiteral("--quiet"),
                      QStringLiteral("--count"), QStringLiteral("2"), QStringLiteral("--output"),
                      out, QStringLiteral("--format"), format});
        QCOMPARE(logger.wait(), 0);
    }
    QCOMPARE(numbers(readRecords(format, out)), oneTo(4));
}

// A CSV file an earlier version began, without the LocalTime column, goes on in its columns:
// every line has as many fields as its header.
void TestLoggerRun::csvBegunWithoutLocalTimeKeepsItsColumns()
{
    const QString out = file(QStringLiteral("older.csv"));
    const QByteArray header = "No,Time,DC/AC,Value,Unit,AUTO,DateTime,PlainUnit,BaseValue,BaseUnit";
    {
        QFile older(out);
        QVERIFY(older.open(QIODevice::WriteOnly));
        QVERIFY(older.write(header + "\r\n1,11:42:52,DC,4.701,k*,AUTO,"
                                     "2026-12-11T11:42:52.255+00:00,k\xce\xa9,4701,\xce\xa9\r\n") >
                0);
    }
    Sim sim({QStringLiteral("--rate"), QStringLiteral("100")});
    Logger logger;
    logger.start({QStringLiteral("--port"), sim.path(), QStringLiteral("--quiet"),
                  QStringLiteral("--count"), QStringLiteral("2"), QStringLiteral("--output"), out,
                  QStringLiteral("--format"), QStringLiteral("csv")});
    QCOMPARE(logger.wait(), 0);
    const QList<QStringList> rows = readCsvWithPython(out);
    QCOMPARE(rows.size(), 4);
    QCOMPARE(rows[0].join(u','), QString::fromLatin1(header));
    for (const QStringList &row : rows)
        QCOMPARE(row.size(), 10);
    QCOMPARE(numbers(readCsv(out)), oneTo(3));
}

void TestLoggerRun::garbageIsSummedUpNotReportedPerFrame()
{
    Pty pty;
    QVERIFY(!pty.path().isEmpty());
    Logger logger;
    logger.start(
        {QStringLiteral("--port"), pty.path(), QStringLiteral("--count"), QStringLiteral("3")});
    QTRY_VERIFY_WITH_TIMEOUT(logger.err().contains(u"reading"), kWaitMs);
    protocol::DisplayState display;
    display.digits = "1234";
    // The first frame after the port opens has no tail before it and is not counted.
    QVERIFY(pty.send(display.toFrame() + display.toFrame()));
    QByteArray junk;
    for (int i = 0; i < 200; ++i)
        junk += "\x01\x02garbage...\r\n";
    QVERIFY(pty.send(junk));
    for (int i = 0; i < 2; ++i)
        QVERIFY(pty.send(display.toFrame()));
    QCOMPARE(logger.wait(), 0);
    QCOMPARE(logger.out().count('\n'), 3);
    QCOMPARE(logger.err().count(u"garbled"), 1);
    QVERIFY2(logger.err().contains(u"200 garbled frames"), qPrintable(logger.err()));
}

// Needs a second user: runs only as root, as user "nobody" on a pseudo-terminal of root's.
void TestLoggerRun::permissionDeniedNamesTheDialoutGroup()
{
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("runuser")).isEmpty())
        QSKIP("needs root and runuser to act as a user without access");
    Pty pty;
    QProcess logger;
    logger.start(QStringLiteral("runuser"),
                 {QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"), kLog,
                  QStringLiteral("--port"), pty.path()});
    QVERIFY(logger.waitForFinished(kWaitMs));
    QCOMPARE(logger.exitCode(), 1);
    const QString err = QString::fromLocal8Bit(logger.readAllStandardError());
    QVERIFY2(err.contains(u"Permission denied") && err.contains(u"\"dialout\" group"),
             qPrintable(err));
}

void TestLoggerRun::failuresToStart_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("told");

    QTest::newRow("missing device")
        << QStringList{"--port", "/dev/ttyUSB-none"} << 1
        << QStringList{"/dev/ttyUSB-none could not be opened", "No such file", "plugged in"};
    QTest::newRow("COM mapping names the device")
        << QStringList{"--com", "2"} << 1
        << QStringList{"COM2 could not be opened (device /dev/ttyUSB-com2)", "VORLATT_COM2"};
    QTest::newRow("not a serial port")
        << QStringList{"--port", "/dev/null"} << 1 << QStringList{"not a serial port"};
    QTest::newRow("busy") << QStringList{"--port", "BUSY"} << 1
                          << QStringList{"in use by another program",
                                         "Close the other program that uses the port, then start "
                                         "vorlatt-log again"};
    QTest::newRow("COM port busy")
        << QStringList{"--com", "2"} << 1
        << QStringList{"COM2 could not be opened", "start vorlatt-log again"};
    QTest::newRow("output written by another run")
        << QStringList{"--port", "PTY", "--output", "LOCKED"} << 1
        << QStringList{"in use by another program"};
    QTest::newRow("output cannot be written")
        << QStringList{"--port", "PTY", "--output", "/nonexistent/dir/run.tsv"} << 1
        // The file named once, then the system's reason.
        << QStringList{"cannot write /nonexistent/dir/run.tsv: No such file or directory"};
    // A db output that is not a table's name or not a regular file: nothing is written.
    QTest::newRow("db output needs a .db name")
        << QStringList{"--port", "PTY", "--output", "OUT/run.xls", "--format", "db"} << 2
        << QStringList{"ending in .db, not"};
    QTest::newRow("db output without extension")
        << QStringList{"--port", "PTY", "--output", "OUT/mylog", "--format", "db"} << 2
        << QStringList{"ending in .db, not"};
    // Only the extension: the engine would write ".db.DB".
    QTest::newRow("db output named only .db")
        << QStringList{"--port", "PTY", "--output", "OUT/.db", "--format", "db"} << 2
        << QStringList{"OUT/.db is only the extension", "such as run.db"};
    QTest::newRow("text output named only .DB")
        << QStringList{"--port", "PTY", "--output", "OUT/.DB"} << 2
        << QStringList{"is only the extension"};
    QTest::newRow("db output onto a device")
        << QStringList{"--port", "PTY", "--output", "/dev/full", "--format", "db"} << 2
        << QStringList{"ending in .db"};
    QTest::newRow("db output is a folder")
        << QStringList{"--port", "PTY", "--output", "FOLDER.db", "--format", "db"} << 2
        << QStringList{"not a regular file"};
    QTest::newRow("db output is a pipe")
        << QStringList{"--port", "PTY", "--output", "PIPE.DB", "--format", "db"} << 2
        << QStringList{"not a regular file"};
    QTest::newRow("db output links to nothing")
        << QStringList{"--port", "PTY", "--output", "DANGLING.db", "--format", "db"} << 2
        << QStringList{"a link to a file that does not exist"};
    // Appending would mix the layouts, and the cut to a whole line would cut into the text.
    QTest::newRow("text output that is no log of the format")
        << QStringList{"--port", "PTY", "--output", "NOTES.csv", "--format", "csv"} << 2
        << QStringList{"is not a log of this format", "left as it is"};
    QTest::newRow("db output in a missing folder")
        << QStringList{"--port", "PTY", "--output", "OUT/none/run.db", "--format", "db"} << 1
        << QStringList{"No such file or directory"};
    QTest::newRow("wrong command line")
        << QStringList{"--com", "9"} << 2 << QStringList{"--com takes 1, 2, 3 or 4", "--help"};
}

void TestLoggerRun::failuresToStart()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QStringList, told);
    Pty pty;
    int holder = -1;
    const QByteArray kNotes = "Bench 3, Tuesday\nthe probe reads 0.2 V high";
    for (QString &a : arguments) {
        if (a == u"PTY")
            a = pty.path();
        a.replace(QStringLiteral("OUT/"), m_dir->path() + u'/');
        if (a == u"LOCKED") {
            a = file(QStringLiteral("locked.tsv"));
            holder = ::open(QFile::encodeName(a).constData(), O_RDWR | O_CREAT, 0644);
            QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX | LOCK_NB) == 0);
        }
        if (a == u"FOLDER.db") {
            a = file(a);
            QVERIFY(QDir().mkdir(a));
        }
        if (a == u"PIPE.DB") {
            a = file(a);
            QCOMPARE(::mkfifo(QFile::encodeName(a).constData(), 0644), 0);
        }
        if (a == u"DANGLING.db") {
            a = file(a);
            QVERIFY(QFile::link(file(QStringLiteral("gone.db")), a));
        }
        if (a == u"NOTES.csv") {
            a = file(a);
            QFile notes(a);
            QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write(kNotes) == kNotes.size());
        }
        if (a == u"BUSY") {
            // Another program holding the port, the way the driver claims one.
            a = pty.path();
            holder = ::open(QFile::encodeName(a).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX | LOCK_NB) == 0);
        }
    }
    // COM2 as another program holds it.
    QByteArray com2 = "/dev/ttyUSB-com2";
    if (QString::fromLatin1(QTest::currentDataTag()) == u"COM port busy") {
        com2 = QFile::encodeName(pty.path());
        holder = ::open(com2.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX | LOCK_NB) == 0);
    }
    qputenv("VORLATT_COM2", com2);
    const auto entries = [this] {
        return QDir(m_dir->path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden);
    };
    const QStringList before = entries();
    Logger logger;
    logger.start(arguments);
    const int exitCode = logger.wait();
    if (holder >= 0)
        ::close(holder);
    QCOMPARE(exitCode, status);
    for (QString text : told) {
        text.replace(QStringLiteral("OUT/"), m_dir->path() + u'/');
        QVERIFY2(logger.err().contains(text), qPrintable(logger.err()));
    }
    // The window's wording is for the window's user.
    QVERIFY(!logger.err().contains(u"connect again"));
    QVERIFY(!QFile::exists(QStringLiteral("/nonexistent/dir/run.tsv")));
    // No file was made or touched where the run was refused: no "mylog.DB", no "full.PX".
    QCOMPARE(entries(), before);
    if (QFile::exists(file(QStringLiteral("NOTES.csv"))))
        QCOMPARE(contents(file(QStringLiteral("NOTES.csv"))), kNotes);
    QVERIFY(!QFile::exists(QStringLiteral("/dev/full.DB")));
}

// An existing table is taken in, never emptied: the old records are in the file at every
// moment, also when the run is killed while it starts, and the numbering goes on after them.
void TestLoggerRun::dbOutputAppendsAndKeepsTheOldRecords()
{
#ifndef VORLATT_HAVE_PXLIB
    QSKIP("pxlib is not installed");
#endif
    Sim sim({QStringLiteral("--rate"), QStringLiteral("400")});
    const QString out = file(QStringLiteral("week.db"));
    const QStringList arguments{QStringLiteral("--port"),   sim.path(), QStringLiteral("--quiet"),
                                QStringLiteral("--output"), out,        QStringLiteral("--format"),
                                QStringLiteral("db")};
    {
        Logger first;
        first.start(arguments + QStringList{QStringLiteral("--count"), QStringLiteral("100")});
        QCOMPARE(first.wait(), 0);
    }
    QCOMPARE(numbers(readRecords(QStringLiteral("db"), out)), oneTo(100));

    // Killed as soon as it runs, then once it has taken the table in and reads the meter.
    for (const bool reading : {false, true}) {
        Logger killed;
        killed.start(arguments);
        QVERIFY(killed.started());
        if (reading)
            QTRY_VERIFY_WITH_TIMEOUT(killed.err().contains(u"reading"), kWaitMs);
        killed.signal(SIGKILL);
        QCOMPARE(killed.wait(), -1);
        const QList<Record> left = readRecords(QStringLiteral("db"), out);
        QVERIFY2(left.size() >= 100, qPrintable(QString::number(left.size())));
        QCOMPARE(numbers(left), oneTo(int(left.size())));
    }

    const qsizetype before = readRecords(QStringLiteral("db"), out).size();
    Logger next;
    next.start(arguments + QStringList{QStringLiteral("--count"), QStringLiteral("5")});
    QCOMPARE(next.wait(), 0);
    QVERIFY2(next.err().contains(QStringLiteral("after its %1 records; numbering goes on at %2")
                                     .arg(before)
                                     .arg(before + 1)),
             qPrintable(next.err()));
    const QList<Record> records = readRecords(QStringLiteral("db"), out);
    QCOMPARE(numbers(records), oneTo(int(before + 5)));
    QCOMPARE(loggedCount(next.err()), qint64(5));
}

// A table of the layout earlier versions wrote, without "FullUnit", is appended to in its own
// fields, and the run's closing words say what it cannot tell; a new table has the field.
void TestLoggerRun::dbOutputOfTheOlderLayoutIsAppendedTo()
{
#ifndef VORLATT_HAVE_PXLIB
    QSKIP("pxlib is not installed");
#endif
    const QString older = file(QStringLiteral("older.db"));
    QVERIFY(makeTable(older, DbOutput::olderLayout()));
    const QString fresh = file(QStringLiteral("fresh.db"));
    Sim sim({QStringLiteral("--rate"), QStringLiteral("400")});
    for (const QString &out : {older, fresh}) {
        Logger logger;
        logger.start({QStringLiteral("--port"), sim.path(), QStringLiteral("--quiet"),
                      QStringLiteral("--output"), out, QStringLiteral("--format"),
                      QStringLiteral("db"), QStringLiteral("--count"), QStringLiteral("3")});
        QCOMPARE(logger.wait(), 0);
        const bool isOlder = out == older;
        QVERIFY2(logger.err().contains(u"older layout") == isOlder &&
                     logger.err().contains(u"not the kilo or mega of hertz") == isOlder,
                 qPrintable(logger.err()));
        const QList<Record> records = readRecords(QStringLiteral("db"), out);
        QCOMPARE(numbers(records), isOlder ? QStringList({"7", "8", "9", "10"}) : oneTo(3));
        QCOMPARE(records.last().contains(QStringLiteral("FullUnit")), !isOlder);
        QVERIFY(records.last().contains(QStringLiteral("DateTime")));
    }
}

void TestLoggerRun::dbOutputOfOtherFieldsIsRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("told");
    QTest::newRow("the window's log, without DateTime") << "window"
                                                        << "no field \"DateTime\"";
    QTest::newRow("a field of another size") << "size"
                                             << "\"Value\" is alpha 4, not alpha 8";
    QTest::newRow("a field besides") << "extra"
                                     << "a field \"Probe\" besides";
    QTest::newRow("no table at all") << "text"
                                     << "not a Paradox table";
}

// A table of other fields, or a file that is no table, is left exactly as it was: not emptied,
// not rewritten, no index made, and the run does not start.
void TestLoggerRun::dbOutputOfOtherFieldsIsRefused()
{
    QFETCH(QString, kind);
    QFETCH(QString, told);
    std::vector<table::FieldDef> fields = DbOutput::layout();
    if (kind == u"window")
        fields = LogTableLayout::fields();
    else if (kind == u"size")
        fields[std::size_t(LogTableLayout::fields().size() - 4)].size = 4; // "Value"
    else if (kind == u"extra")
        fields.push_back({"Probe", table::FieldType::Alpha, 10});
    QCOMPARE(fields[std::size_t(LogTableLayout::fields().size() - 4)].name,
             std::string(LogTableLayout::kValue));
    const QString out = file(QStringLiteral("other.db"));
    if (kind == u"text") {
        QFile notes(out);
        QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("No\tValue\r\n7\t1.23\r\n") > 0);
    } else {
        QVERIFY(makeTable(out, fields));
    }
    const QByteArray bytes = contents(out);
    const QStringList entries = QDir(m_dir->path()).entryList(QDir::Files);

    Pty pty;
    Logger logger;
    logger.start({QStringLiteral("--port"), pty.path(), QStringLiteral("--output"), out,
                  QStringLiteral("--format"), QStringLiteral("db")});
    QCOMPARE(logger.wait(), 2);
    QVERIFY2(logger.err().contains(told) && logger.err().contains(u"left as it is") &&
                 !logger.err().contains(u"reading"),
             qPrintable(logger.err()));
    QCOMPARE(contents(out), bytes);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), entries);
}

// The table stays locked for the whole run, across its rewrites too: a second run is refused and
// the first one's records are all there at the end.
void TestLoggerRun::secondRunOnOneDbOutputIsRefused()
{
#ifndef VORLATT_HAVE_PXLIB
    QSKIP("pxlib is not installed");
#endif
    Sim sim({QStringLiteral("--rate"), QStringLiteral("200")});
    const QString out = file(QStringLiteral("same.db"));
    const QStringList arguments{QStringLiteral("--port"),       sim.path(),
                                QStringLiteral("--output"),     out,
                                QStringLiteral("--format"),     QStringLiteral("db"),
                                QStringLiteral("--checkpoint"), QStringLiteral("1")};
    Logger first;
    first.start(arguments);
    QTRY_VERIFY_WITH_TIMEOUT(first.err().contains(u"reading"), kWaitMs);
    // Several tries, so some fall on a rewrite of the table.
    for (int i = 0; i < 4; ++i) {
        Logger second;
        second.start(arguments);
        QCOMPARE(second.wait(), 1);
        QVERIFY2(second.err().contains(u"in use by another program"), qPrintable(second.err()));
        QVERIFY(!second.err().contains(u"reading"));
        QTest::qWait(300);
    }
    first.signal(SIGTERM);
    QCOMPARE(first.wait(), 0);
    const QList<Record> records = readRecords(QStringLiteral("db"), out);
    QCOMPARE(records.size(), first.out().trimmed().split('\n').size());
    QCOMPARE(numbers(records), oneTo(int(records.size())));
}

void TestLoggerRun::fullDiskLeavesWholeRecordsAndAnHonestCount_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("rate");
    QTest::newRow("tsv") << "tsv"
                         << "800";
    QTest::newRow("csv") << "csv"
                         << "800";
    QTest::newRow("jsonl") << "jsonl"
                           << "800";
    // Slower, so that some checkpoints fit before one does not.
    QTest::newRow("db over an existing table") << "db"
                                               << "100";
}

// A disk that fills during the run: the run ends with 1 and the error told once; the file ends
// in a whole record (a text one is cut back to its last whole line, a table is the last one
// written whole, the old records in it); the count at the end is of the records in the file.
void TestLoggerRun::fullDiskLeavesWholeRecordsAndAnHonestCount()
{
    QFETCH(QString, format);
    QFETCH(QString, rate);
#ifndef VORLATT_HAVE_PXLIB
    if (format == u"db")
        QSKIP("pxlib is not installed");
#endif
    // A table is rewritten beside the old one: room for both, a few times over.
    SmallDisk disk(file(QStringLiteral("small")),
                   format == u"db" ? QStringLiteral("128k") : QStringLiteral("64k"));
    if (!disk.mounted())
        QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here (needs the right to "
                                        "mount, as root in CI): ") +
                         disk.error()));
    const QString out = file(QStringLiteral("small/run.") + format);
    Sim sim({QStringLiteral("--rate"), rate});
    QStringList arguments{QStringLiteral("--port"),
                          sim.path(),
                          QStringLiteral("--quiet"),
                          QStringLiteral("--output"),
                          out,
                          QStringLiteral("--format"),
                          format};
    qsizetype old = 0;
    if (format == u"db") {
        Logger first;
        first.start(arguments + QStringList{QStringLiteral("--count"), QStringLiteral("100")});
        QCOMPARE(first.wait(), 0);
        old = readRecords(format, out).size();
        QCOMPARE(old, qsizetype(100));
        arguments << QStringLiteral("--checkpoint") << QStringLiteral("1");
    }
    Logger logger;
    logger.start(arguments);
    QCOMPARE(logger.wait(), 1);
    const QString err = logger.err();
    QVERIFY2(err.count(u"No space left on device") == 1, qPrintable(err));

    const QList<Record> records = readRecords(format, out);
    QVERIFY(records.size() > old);
    QCOMPARE(numbers(records), oneTo(int(records.size())));
    if (format != u"db") {
        QVERIFY(contents(out).endsWith('\n'));
        QCOMPARE(qsizetype(textLines(out).size()), records.size() + (format == u"jsonl" ? 0 : 1));
    }
    QVERIFY2(loggedCount(err) == records.size() - old, qPrintable(err));
    QVERIFY2(err.contains(u"more read could not be written"), qPrintable(err));
}

QTEST_GUILESS_MAIN(TestLoggerRun)
#include "TestLoggerRun.moc"
