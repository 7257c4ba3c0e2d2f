#include "app/CommandLine.h"

#include <QtTest>

// The program's command line: what runs, what is printed, and the exit status of a wrong one.
class TestCommandLine : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void portOptionNamesTheDeviceOfItsPort();
};

void TestCommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("run");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("printed"); // a piece of what is printed
    QTest::newRow("nothing") << QStringList{} << true << 0 << QString();
    QTest::newRow("help") << QStringList{"--help"} << false << 0 << "--com1 <DEVICE>";
    QTest::newRow("help with the toolkit's options") << QStringList{"--help-all"} << false << 0
                                                     << "--com1 <DEVICE>";
    QTest::newRow("version") << QStringList{"--version"} << false << 0 << "vorlatt " VORLATT_VERSION;
    QTest::newRow("port") << QStringList{"--com2", "/dev/ttyUSB0"} << true << 0 << QString();
    QTest::newRow("toolkit options") << QStringList{"-platform", "offscreen", "--style=Fusion", "-reverse"}
                                     << true << 0 << QString();
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << false << 2 << "Unknown option 'frobnicate'";
    QTest::newRow("port without device") << QStringList{"--com1"} << false << 2 << "Missing value after '--com1'";
    QTest::newRow("empty device") << QStringList{"--com3="} << false << 2 << "--com3 needs a device";
    QTest::newRow("stray argument") << QStringList{"meter.db"} << false << 2 << "Unexpected argument: meter.db";
    QTest::newRow("COM5") << QStringList{"--com5", "/dev/ttyS4"} << false << 2 << "Unknown option 'com5'";
}

void TestCommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, printed);
    arguments.prepend(QStringLiteral("vorlatt"));
    const CommandLine c = CommandLine::parse(arguments);
    QTEST(c.run, "run");
    QTEST(c.exitCode, "exitCode");
    QVERIFY2(c.output.contains(printed), qPrintable(c.output));
    if (c.exitCode == 2)
        QVERIFY(c.output.contains(QStringLiteral("Usage:")));
    if (arguments.contains(QStringLiteral("--help-all")))
        QVERIFY(c.output.contains(QStringLiteral("-platform VALUE")));
}

void TestCommandLine::portOptionNamesTheDeviceOfItsPort()
{
    qunsetenv("VORLATT_COM1");
    qputenv("VORLATT_COM3", "/dev/ttyACM9");
    const CommandLine c = CommandLine::parse({"vorlatt", "--com2", "/dev/ttyUSB0"});
    c.applyPorts();
    QCOMPARE(qgetenv("VORLATT_COM2"), QByteArray("/dev/ttyUSB0"));
    QVERIFY(qgetenv("VORLATT_COM1").isEmpty());
    QCOMPARE(qgetenv("VORLATT_COM3"), QByteArray("/dev/ttyACM9")); // untouched without --com3
}

QTEST_APPLESS_MAIN(TestCommandLine)
#include "TestCommandLine.moc"
