#include "../log/LogFolder.h"
#include "../log/PythonCsv.h"
#include "log/DbOutput.h"
#include "LoggerOptions.h"
#include "tests/support/ReadingSchema.h"
#include "log/DataFiles.h"
#include "log/LogRecord.h"
#include "log/ReadingLog.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

// The pieces of a logged line, and the command line's refusals.
class TestLogRecord : public QObject
{
    Q_OBJECT

private slots:
    void unitsAndBaseValues_data();
    void unitsAndBaseValues();
    void linesInEachFormat_data();
    void linesInEachFormat();
    void kiloAndMegaHertzKeepTheirPrefix();
    void loggerTableOpensInTheWindowWithItsUnits_data();
    void loggerTableOpensInTheWindowWithItsUnits();
    void schemaTakesOurReadingsAndRefusesOthers();
    void badCommandLinesAreRefused_data();
    void badCommandLinesAreRefused();
};

void TestLogRecord::unitsAndBaseValues_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("plainUnit");
    QTest::addColumn<QString>("baseValue");
    QTest::addColumn<QString>("baseUnit");

    QTest::newRow("millivolts, negative") << "-46.20"
                                          << "mV"
                                          << "mV"
                                          << "-0.0462"
                                          << "V";
    QTest::newRow("volts as they are") << "1.234"
                                       << "V"
                                       << "V"
                                       << "1.234"
                                       << "V";
    QTest::newRow("microamperes") << "150.2"
                                  << "uA"
                                  << "\u00B5A"
                                  << "0.0001502"
                                  << "A";
    QTest::newRow("nanofarads") << "10.05"
                                << "nF"
                                << "nF"
                                << "0.00000001005"
                                << "F";
    QTest::newRow("kilohms") << "4.701"
                             << "k*"
                             << "k\u03A9"
                             << "4701"
                             << "\u03A9";
    QTest::newRow("megohms, zeros added") << "1.0"
                                          << "M*"
                                          << "M\u03A9"
                                          << "1000000"
                                          << "\u03A9";
    QTest::newRow("ohms") << "220.5"
                          << "*"
                          << "\u03A9"
                          << "220.5"
                          << "\u03A9";
    QTest::newRow("Celsius") << "23.5"
                             << "#"
                             << "\u00B0C"
                             << "23.5"
                             << "\u00B0C";
    QTest::newRow("Fahrenheit") << "74.3"
                                << "?"
                                << "\u00B0F"
                                << "74.3"
                                << "\u00B0F";
    QTest::newRow("kilohertz") << "1.234"
                               << "kHz"
                               << "kHz"
                               << "1234"
                               << "Hz";
    QTest::newRow("negative zero is zero") << "-0.000"
                                           << "mV"
                                           << "mV"
                                           << "0"
                                           << "V";
    QTest::newRow("overload has no number") << "0.L"
                                            << "M*"
                                            << "M\u03A9"
                                            << ""
                                            << "\u03A9";
    QTest::newRow("no unit") << "12"
                             << ""
                             << ""
                             << "12"
                             << "";
}

void TestLogRecord::unitsAndBaseValues()
{
    QFETCH(QString, value);
    QFETCH(QString, unit);
    QTEST(logrecord::plainUnit(unit), "plainUnit");
    QTEST(logrecord::baseValue(value, unit), "baseValue");
    QTEST(logrecord::baseUnit(unit), "baseUnit");
}

void TestLogRecord::linesInEachFormat_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QByteArray>("line");

    const QByteArray stamp = "2026-03-29T02:59:59.007+00:00";
    QTest::newRow("tsv") << int(LogFormat::Tsv)
                         << "7\t02:59:59\tDC\t-46.20\tmV\tMANU\t" + stamp + "\tmV\t-0.0462\tV\r\n";
    QTest::newRow("csv") << int(LogFormat::Csv)
                         << "7,02:59:59,DC,-46.20,mV,MANU," + stamp +
                                ",mV,-0.0462,V,2026-03-29 02:59:59.007\r\n";
    // The reading's JSON schema, as MQTT publishes it.
    QTest::newRow("jsonl")
        << int(LogFormat::Jsonl)
        << "{\"no\":7,\"time\":\"" + stamp +
               "\",\"acdc\":\"DC\",\"value\":\"-46.20\",\"unit\":\"mV\","
               "\"plain_unit\":\"mV\",\"base_value\":-0.0462,\"base_unit\":\"V\","
               "\"range\":\"MANU\"}\n";
}

void TestLogRecord::linesInEachFormat()
{
    QFETCH(int, format);
    qputenv("TZ", "UTC");
    LogRecord r;
    r.no = 7;
    r.when = QDateTime(QDate(2026, 3, 29), QTime(2, 59, 59, 7), Qt::UTC).toMSecsSinceEpoch();
    r.reading = {QStringLiteral("-46.20"), -4620, QStringLiteral("DC"), QStringLiteral("mV"),
                 QStringLiteral("MANU")};
    QTEST(logrecord::line(LogFormat(format), r), "line");
    // A later run appending to the file reads the number back, and never from the header.
    const QByteArray written = logrecord::line(LogFormat(format), r);
    QCOMPARE(logrecord::numberOf(LogFormat(format), written.trimmed()), std::optional<qint32>(7));
    QCOMPARE(logrecord::numberOf(LogFormat(format), logrecord::header(LogFormat(format))),
             std::nullopt);
}

void TestLogRecord::kiloAndMegaHertzKeepTheirPrefix()
{
    protocol::MeterReading hertz;
    hertz.ValueText = QStringLiteral("1.234");
    hertz.UnitText = QStringLiteral("Hz");
    QCOMPARE(logrecord::fullUnit(hertz, true, false), QStringLiteral("kHz"));
    QCOMPARE(logrecord::fullUnit(hertz, false, true), QStringLiteral("MHz"));
    QCOMPARE(logrecord::fullUnit(hertz, false, false), QStringLiteral("Hz"));
    const LogRecord r{1, QDateTime::currentMSecsSinceEpoch(), hertz, QStringLiteral("kHz")};
    QVERIFY(logrecord::line(LogFormat::Tsv, r).endsWith("\tkHz\t1234\tHz\r\n"));
    // JSON's "unit" is the unit as the display shows it, prefix included.
    QVERIFY(logrecord::readingJson(r).contains(
        "\"unit\":\"kHz\",\"plain_unit\":\"kHz\",\"base_value\":1234,\"base_unit\":\"Hz\""));
    // Ohms already carry their prefix in the unit text.
    protocol::MeterReading ohms = hertz;
    ohms.UnitText = QStringLiteral("k*");
    QCOMPARE(logrecord::fullUnit(ohms, true, false), QStringLiteral("k*"));
}

void TestLogRecord::loggerTableOpensInTheWindowWithItsUnits_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("unit");     // the reading's unit text
    QTest::addColumn<QString>("fullUnit"); // with the prefix of hertz the display shows
    QTest::addColumn<QStringList>("plain"); // Unit and PlainUnit, BaseValue, BaseUnit
    QTest::newRow("Hz") << "50.00" << "Hz" << "" << QStringList{"Hz", "50", "Hz"};
    QTest::newRow("kHz") << "1.234" << "Hz" << "kHz" << QStringList{"kHz", "1234", "Hz"};
    QTest::newRow("MHz") << "2.500" << "Hz" << "MHz" << QStringList{"MHz", "2500000", "Hz"};
    QTest::newRow("mV") << "-46.20" << "mV" << "" << QStringList{"mV", "-0.0462", "V"};
    QTest::newRow("V") << "1.234" << "V" << "" << QStringList{"V", "1.234", "V"};
    QTest::newRow("ohm") << "220.5" << "*" << "" << QStringList{"\u03A9", "220.5", "\u03A9"};
    QTest::newRow("kilohm") << "4.701" << "k*" << "" << QStringList{"k\u03A9", "4701", "\u03A9"};
    QTest::newRow("megohm") << "1.000" << "M*" << ""
                            << QStringList{"M\u03A9", "1000000", "\u03A9"};
    QTest::newRow("uA") << "150.2" << "uA" << "" << QStringList{"\u00B5A", "0.0001502", "A"};
    QTest::newRow("nF") << "10.05" << "nF" << "" << QStringList{"nF", "0.00000001005", "F"};
    QTest::newRow("Celsius") << "23.5" << "#" << "" << QStringList{"\u00B0C", "23.5", "\u00B0C"};
    QTest::newRow("Fahrenheit") << "74.3" << "?" << ""
                                << QStringList{"\u00B0F", "74.3", "\u00B0F"};
    QTest::newRow("percent") << "50.0" << "%" << "" << QStringList{"%", "50", "%"};
}

// A table vorlatt-log wrote, opened in the window and saved from there as CSV, gives every
// reading in its unit as the display showed it: a kilohertz reading is no reading in hertz.
void TestLogRecord::loggerTableOpensInTheWindowWithItsUnits()
{
    QFETCH(QString, value);
    QFETCH(QString, unit);
    QFETCH(QString, fullUnit);
    QFETCH(QStringList, plain);
    qputenv("TZ", "UTC");
    LogFolder folder;
    const QString db = folder.path(QStringLiteral("logger.db"));
    {
        DbOutput out;
        const DbOutput::Opened opened = out.open(db);
        QVERIFY2(opened.error.isEmpty(), qPrintable(opened.error));
        LogRecord r;
        r.no = 1;
        r.when = QDateTime(QDate(2026, 12, 11), QTime(11, 42, 52, 255), Qt::UTC)
                     .toMSecsSinceEpoch();
        r.reading = {value, 1234, QStringLiteral("AC"), unit, QStringLiteral("AUTO")};
        r.fullUnit = fullUnit;
        QCOMPARE(out.append(r), QString());
        QCOMPARE(out.finish(), QString());
        QCOMPARE(out.layoutNote(), QString());
    }

    ReadingLog log;
    openAsAtStartUp(log);
    QCOMPARE(log.openOldFile(db), QString());
    QCOMPARE(log.unitOf(0), fullUnit.isEmpty() ? unit : fullUnit);
    DataFiles files(log.session());
    const QString csv = folder.path(QStringLiteral("logger.csv"));
    QCOMPARE(files.SaveLogAsCsv(log, csv).kind, DataFiles::TextResult::Kind::Saved);
    const QList<QStringList> rows = readCsvWithPython(csv);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[1],
             QStringList({"1", "11:42:52", "AC", value, plain.at(0), "AUTO",
                          "2026-12-11T11:42:52.255+00:00"}) +
                 plain + QStringList{"2026-12-11 11:42:52.255"});
}

// The shipped schema passes our readings, an overload and a text with characters to escape
// among them, and refuses what a consumer must not get: each refused line is named.
void TestLogRecord::schemaTakesOurReadingsAndRefusesOthers()
{
    LogRecord r;
    r.no = 12;
    r.when = QDateTime(QDate(2026, 10, 25), QTime(2, 30), Qt::UTC).toMSecsSinceEpoch();
    r.reading = {QStringLiteral("0.L"), 0, QStringLiteral(""), QStringLiteral("M*"),
                 QStringLiteral("AUTO")};
    const QByteArray overload = logrecord::readingJson(r);
    QVERIFY(overload.contains(",\"overload\":true,") && !overload.contains("base_value"));
    r.reading = {QStringLiteral("23.5"), 235, QStringLiteral("\"DC\"\\\t"), QStringLiteral("#"),
                 QStringLiteral("MANU")};
    const QByteArray escaped = logrecord::readingJson(r);
    QCOMPARE(QJsonDocument::fromJson(escaped).object().value(u"acdc").toString(),
             QStringLiteral("\"DC\"\\\t"));
    r.reading.AcDcText = QStringLiteral("DC");
    const QByteArray good = logrecord::readingJson(r);

    const QList<QByteArray> lines = {
        overload,
        escaped,
        good,
        QByteArray(good).replace("\"no\"", "\"No\""),
        QByteArray(good).replace("\"base_value\":23.5", "\"base_value\":23.5,\"overload\":true"),
        QByteArray(good).replace("\"base_value\":23.5", "\"base_value\":\"23.5\""),
        QByteArray(good).replace("\"base_value\":23.5", "\"base_value\":null"),
        QByteArray(good).replace("+00:00\"", "\""),
        QByteArray(good).replace(",\"range\":\"MANU\"", ""),
    };
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("readings.jsonl")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    for (const QByteArray &line : lines)
        file.write(line + '\n');
    file.close();
    const SchemaCheck check = checkAgainstReadingSchema(file.fileName());
    QCOMPARE(check.valid, 3);
    QStringList refused;
    for (const QString &fault : check.faults)
        refused << fault.section(u':', 0, 0);
    QCOMPARE(refused, QStringList({"line 4", "line 5", "line 6", "line 7", "line 8", "line 9"}));
}

void TestLogRecord::badCommandLinesAreRefused_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("error");

    QTest::newRow("no source") << "--output a.tsv"
                               << "name the source";
    QTest::newRow("two sources") << "--com 1 --usb"
                                 << "only one of";
    QTest::newRow("COM5") << "--com 5"
                          << "--com takes 1, 2, 3 or 4";
    QTest::newRow("interval not whole") << "--com 1 --interval 1.5"
                                        << "whole seconds";
    QTest::newRow("negative limit") << "--com 1 --limit -1"
                                    << "--limit takes";
    QTest::newRow("zero count") << "--com 1 --count 0"
                                << "--count takes";
    // Out of range: the reason states the range allowed.
    QTest::newRow("limit beyond 32 bits") << "--com 1 --limit 2147483647"
                                          << "--limit takes a whole number from 0 to 2147483646";
    QTest::newRow("count beyond 32 bits") << "--com 1 --count 2147483648"
                                          << "--count takes a whole number from 1 to 2147483647";
    QTest::newRow("interval beyond 32 bits")
        << "--com 1 --interval 2147483648"
        << "--interval takes whole seconds from 0 to 2147483647";
    QTest::newRow("duration over a year") << "--com 1 --duration 31622401"
                                          << "--duration takes seconds from 0.001 to 31622400";
    QTest::newRow("checkpoint under a second")
        << "--com 1 --output x.db --format db --checkpoint 0.5"
        << "--checkpoint takes seconds from 1 to 31622400";
    // A table is written under the name given, and only a table under a table's name.
    QTest::newRow("db without .db") << "--com 1 --output mylog --format db"
                                    << "--format db needs a file name ending in .db, not 'mylog'";
    QTest::newRow("db onto a device") << "--com 1 --output /dev/full --format db"
                                      << "ending in .db";
    QTest::newRow("text under a table's name") << "--com 1 --output week.DB"
                                               << "names a table: add --format db";
    QTest::newRow("unknown format") << "--com 1 --output x --format xls"
                                    << "tsv, csv, jsonl or db";
    QTest::newRow("format without file") << "--com 1 --format csv"
                                         << "needs --output";
    QTest::newRow("checkpoint for text") << "--com 1 --output x --checkpoint 5"
                                         << "for --format db only";
    QTest::newRow("missing value") << "--com"
                                   << "needs a value";
    QTest::newRow("unknown option") << "--com 1 --fast"
                                    << "unknown option '--fast'";
    // The parser's own refusals, said in the same words, with the option as it was typed.
    QTest::newRow("unknown short option") << "--com 1 -q"
                                          << "unknown option '-q'";
    QTest::newRow("value for a switch") << "--com 1 --quiet=yes"
                                        << "--quiet takes no value";
    QTest::newRow("a word that is no option") << "--com 1 run.tsv"
                                              << "unexpected argument 'run.tsv'";
    QTest::newRow("empty inline value") << "--port="
                                        << "--port needs a device";
    QTest::newRow("source given twice") << "--usb --usb"
                                        << "give only one of --port, --com and --usb";
    // Options are taken in the order given: the first wrong one is the one named.
    QTest::newRow("first fault named") << "--com 1 --limit x --count 0"
                                       << "--limit takes";
}

void TestLogRecord::badCommandLinesAreRefused()
{
    QFETCH(QString, arguments);
    const ParsedCommandLine parsed =
        parseLoggerCommandLine(arguments.split(u' ', Qt::SkipEmptyParts));
    QCOMPARE(parsed.action, ParsedCommandLine::Action::Error);
    QFETCH(QString, error);
    QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
}

QTEST_GUILESS_MAIN(TestLogRecord)
#include "TestLogRecord.moc"
