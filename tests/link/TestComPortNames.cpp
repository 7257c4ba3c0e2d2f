#include "link/ComPortNames.h"

#include <QtTest>

class TestComPortNames : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void mapping_data();
    void mapping();
    void environmentDecidesWithoutAList();
};

namespace {

const char *comVariable(int n)
{
    static QByteArray name;
    name = "VORLATT_COM" + QByteArray::number(n);
    return name.constData();
}

} // namespace

void TestComPortNames::cleanup()
{
    for (int n = 0; n <= 5; ++n)
        qunsetenv(comVariable(n));
}

void TestComPortNames::mapping_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("envPort");      // which VORLATT_COMx the row sets; 0 for none
    QTest::addColumn<QString>("envValue"); // may be empty: set but empty
    QTest::addColumn<QStringList>("systemPorts");
    QTest::addColumn<QString>("expected");

    const QStringList two{"/dev/ttyUSB1", "/dev/ttyUSB0"};
    QTest::newRow("variable names the device") << 1 << 1 << "/dev/pts/7" << two << "/dev/pts/7";
    QTest::newRow("empty variable falls back to the system list")
        << 1 << 1 << "" << two << "/dev/ttyUSB0";
    QTest::newRow("no variable, second listed port") << 2 << 0 << "" << two << "/dev/ttyUSB1";
    QTest::newRow("another port's variable is not used")
        << 2 << 1 << "/dev/pts/7" << two << "/dev/ttyUSB1";
    QTest::newRow("numbers sort by value")
        << 3 << 0 << ""
        << QStringList{"/dev/ttyUSB10", "/dev/ttyUSB2", "/dev/ttyS0", "/dev/ttyACM0"}
        << "/dev/ttyUSB2";
    QTest::newRow("beyond the list falls back to ttyS") << 3 << 0 << "" << two << "/dev/ttyS2";
    QTest::newRow("no system ports") << 4 << 0 << "" << QStringList{} << "/dev/ttyS3";
    QTest::newRow("below COM1 names nothing") << 0 << 0 << "" << two << "";
    QTest::newRow("above COM4 names nothing, even with a variable")
        << 5 << 5 << "/dev/pts/7" << two << "";
}

void TestComPortNames::mapping()
{
    QFETCH(int, n);
    QFETCH(int, envPort);
    QFETCH(QString, envValue);
    QFETCH(QStringList, systemPorts);
    QFETCH(QString, expected);

    if (envPort != 0)
        qputenv(comVariable(envPort), envValue.toLocal8Bit());
    QCOMPARE(comPortDevice(n, systemPorts), expected);
}

void TestComPortNames::environmentDecidesWithoutAList()
{
    qputenv(comVariable(3), "/dev/pts/42");
    QCOMPARE(comPortDevice(3), QStringLiteral("/dev/pts/42"));
    QCOMPARE(comPortDevice(0), QString());
}

QTEST_GUILESS_MAIN(TestComPortNames)
#include "TestComPortNames.moc"
