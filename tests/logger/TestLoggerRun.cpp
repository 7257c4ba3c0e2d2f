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

const QString kLog = QStringLiteral(VORLATT_LOG);
const QString kSim = QStringLiteral(VORLATT_SIM);
constexpr int kWaitMs = 60000;

using Record = QVariantMap;

// The simulator, started with `arguments`; the pseudo-terminal's path is its first line.
class Sim
{
public:
    explicit Sim(const QStringList &arguments)
    {
        m_process.start(kSim, arguments);
        if (m_process.waitForReadyRead(10000))
            m_path = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }
    ~Sim()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    QString path() const { return m_path; }
    void signal(int number) { ::kill(pid_t(m_process.processId()), number); }

private:
    QProcess m_process;
    QString m_path;
};

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

class Logger
{
public:
    void start(const QStringList &arguments) { m_process.start(kLog, arguments); }
    QString err()
    {
        m_err += QString::fromUtf8(m_process.readAllStandardError());
        return m_err;
    }
    QByteArray out()
    {
        m_out += m_process.readAllStandardOutput();
        return m_out;
    }
    // The exit status, or -1 if it did not end in time or crashed.
    int wait()
    {
        if (!m_process.waitForFinished(kWaitMs) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        err();
        out();
        return m_process.exitCode();
    }
    void signal(int number) { ::kill(pid_t(m_process.processId()), number); }
    ~Logger()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QProcess m_process;
    QString m_err;
    QByteArray m_out;
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
        Record r = doc.object().toVariantMap();
        // Numbers as the text formats give them, so one set of checks serves every format.
        r[QStringLiteral("No")] = QString::number(r.value(QStringLiteral("No")).toLongLong());
        const QVariant base = r.value(QStringLiteral("BaseValue"));
        r[QStringLiteral("BaseValue")] =
            base.isNull() ? QString() : QString::number(base.toDouble(), 'g', 15);
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
    void garbageIsSummedUpNotReportedPerFrame();
    void permissionDeniedNamesTheDialoutGroup();
    void failuresToStart_data();
    void failuresToStart();

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
        QCOMPARE(r.size(), 10);
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
    // The earlier run's two whole records, then this run's two, under the one header.
    QCOMPARE(numbers(readCsv(out)), (QStringList{"1", "2", "1", "2"}));
    QCOMPARE(textLines(out).size(), 5);
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
                          << QStringList{"in use by another program", "Close the other program"};
    QTest::newRow("output written by another run")
        << QStringList{"--port", "PTY", "--output", "LOCKED"} << 1
        << QStringList{"in use by another program"};
    QTest::newRow("output cannot be written")
        << QStringList{"--port", "PTY", "--output", "/nonexistent/dir/run.tsv"} << 1
        << QStringList{"cannot write /nonexistent/dir/run.tsv"};
    QTest::newRow("db output needs a .db name")
        << QStringList{"--port", "PTY", "--output", "OUT/run.xls", "--format", "db"} << 1
        << QStringList{"cannot write"};
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
    for (QString &a : arguments) {
        if (a == u"PTY")
            a = pty.path();
        a.replace(QStringLiteral("OUT/"), m_dir->path() + u'/');
        if (a == u"LOCKED") {
            a = file(QStringLiteral("locked.tsv"));
            holder = ::open(QFile::encodeName(a).constData(), O_RDWR | O_CREAT, 0644);
            QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX | LOCK_NB) == 0);
        }
        if (a == u"BUSY") {
            // Another program holding the port, the way the driver claims one.
            a = pty.path();
            holder = ::open(QFile::encodeName(a).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX | LOCK_NB) == 0);
        }
    }
    qputenv("VORLATT_COM2", "/dev/ttyUSB-com2");
    Logger logger;
    logger.start(arguments);
    const int exitCode = logger.wait();
    if (holder >= 0)
        ::close(holder);
    QCOMPARE(exitCode, status);
    for (const QString &text : told)
        QVERIFY2(logger.err().contains(text), qPrintable(logger.err()));
    QVERIFY(!QFile::exists(QStringLiteral("/nonexistent/dir/run.tsv")));
}

QTEST_GUILESS_MAIN(TestLoggerRun)
#include "TestLoggerRun.moc"
