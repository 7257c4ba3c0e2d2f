#include "LoggerOptions.h"
#include "log/LogRecord.h"

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
                         << "7,02:59:59,DC,-46.20,mV,MANU," + stamp + ",mV,-0.0462,V\r\n";
    QTest::newRow("jsonl")
        << int(LogFormat::Jsonl)
        << "{\"No\":7,\"Time\":\"02:59:59\",\"DC/AC\":\"DC\",\"Value\":\"-46.20\","
           "\"Unit\":\"mV\",\"AUTO\":\"MANU\",\"DateTime\":\"" +
               stamp +
               "\",\"PlainUnit\":\"mV\",\"BaseValue\":-0.0462,"
               "\"BaseUnit\":\"V\"}\n";
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
    // Ohms already carry their prefix in the unit text.
    protocol::MeterReading ohms = hertz;
    ohms.UnitText = QStringLiteral("k*");
    QCOMPARE(logrecord::fullUnit(ohms, true, false), QStringLiteral("k*"));
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
                                    << "unknown option";
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
