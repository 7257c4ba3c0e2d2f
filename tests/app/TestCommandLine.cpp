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
    void livePageOptions();
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
    QTest::newRow("help names the live page") << QStringList{"--help"} << false << 0
                                              << "--http <[ADDRESS:]PORT>";
    QTest::newRow("live page") << QStringList{"--http", "8080"} << true << 0 << QString();
    QTest::newRow("live page on any free port") << QStringList{"--http=[::1]:0"} << true << 0
                                                << QString();
    QTest::newRow("live page, bad port") << QStringList{"--http", "127.0.0.1:80800"} << false << 2
                                         << "--http takes a port from 0 to 65535, not '80800'";
    QTest::newRow("live page without a port") << QStringList{"--http"} << false << 2
                                              << "Missing value after '--http'";
    QTest::newRow("page options without --http") << QStringList{"--http-open"} << false << 2
                                                  << "need --http [ADDRESS:]PORT";
    QTest::newRow("other machines need a token")
        << QStringList{"--http", "0.0.0.0:8080"} << false << 2
        << "give --http-token-file FILE, or --http-open";
    QTest::newRow("other machines, open") << QStringList{"--http", "0.0.0.0:8080", "--http-open"}
                                          << true << 0 << QString();
    QTest::newRow("origin with a path")
        << QStringList{"--http", "8080", "--http-allow-origin", "https://dash.example.org/x"}
        << false << 2 << "--http-allow-origin takes one origin";
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

// What the window's page is given: the address, the token read from its file, the warning of an
// open page; a token file that others may read is refused before the window starts.
void TestCommandLine::livePageOptions()
{
    QCOMPARE(CommandLine::parse({"vorlatt"}).http.enabled(), false);
    CommandLine c = CommandLine::parse({"vorlatt", "--http", "0.0.0.0:8080", "--http-open"});
    QCOMPARE(c.http.address, QStringLiteral("0.0.0.0"));
    QCOMPARE(c.http.port, 8080);
    QVERIFY2(c.warning.contains(u"without a token"), qPrintable(c.warning));
    QCOMPARE(CommandLine::parse({"vorlatt", "--http", "8080"}).warning, QString());

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("token"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("s3cret-token\n") == 13);
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                QFile::ReadOther));
    const QStringList arguments = {"vorlatt", "--http", "0.0.0.0:8080", "--http-token-file", path};
    c = CommandLine::parse(arguments);
    QCOMPARE(c.exitCode, 2);
    QVERIFY2(c.output.contains(u"chmod 600"), qPrintable(c.output));
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    c = CommandLine::parse(arguments);
    QVERIFY2(c.run, qPrintable(c.output));
    QCOMPARE(c.http.token, QByteArray("s3cret-token"));
    QCOMPARE(c.warning, QString());
}

QTEST_APPLESS_MAIN(TestCommandLine)
#include "TestCommandLine.moc"
