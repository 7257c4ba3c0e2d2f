#include "link/hid/HidReportDescriptor.h"

#include <QtTest>

// Report descriptors come from the device: the parser must size the input report right for
// well-formed ones and refuse, without reading past the end, the malformed ones.
class TestHidReportDescriptor : public QObject
{
    Q_OBJECT
private slots:
    void layout_data();
    void layout();
    void everyPrefixOfTheCableDescriptorIsSafe();
};

void TestHidReportDescriptor::layout_data()
{
    QTest::addColumn<QByteArray>("descriptor");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("ids");
    QTest::addColumn<int>("length"); // inputReportByteLength, identifier byte included

    // vendor page, 8-byte input report and 9-byte feature report, no report identifiers
    const QByteArray cable =
        QByteArray::fromHex("0600ff0901a101150026ff00750895080902810295090903b102c0");
    QTest::newRow("cable, no ids") << cable << true << false << 9;
    QTest::newRow("two ids, the larger wins")
        << QByteArray::fromHex("a1018501750895048102850275089510810295408102c0") << true << true
        << 81;
    QTest::newRow("bits rounded up to bytes")
        << QByteArray::fromHex("750195038102750595018103") << true << false << 2;
    QTest::newRow("push and pop restore size")
        << QByteArray::fromHex("75089502a475109501b48102") << true << false << 3;
    QTest::newRow("long item skipped")
        << QByteArray::fromHex("fe0201aabb750895018102") << true << false << 2;
    QTest::newRow("no input report") << QByteArray::fromHex("75089509b102") << true << false << 0;
    QTest::newRow("item data cut short") << QByteArray::fromHex("750895") << false << false << 0;
    QTest::newRow("two-byte item cut") << QByteArray::fromHex("750826ff") << false << false << 0;
    QTest::newRow("long item past the end")
        << QByteArray::fromHex("fe10017508") << false << false << 0;
    QTest::newRow("report id 0") << QByteArray::fromHex("8500750895018102") << false << false << 0;
    QTest::newRow("pop without push") << QByteArray::fromHex("b4") << false << false << 0;
    QTest::newRow("huge counts capped")
        << QByteArray::fromHex("77ffffffff97ffffffff810281028102") << true << false << 16385;
    QTest::newRow("empty") << QByteArray() << true << false << 0;
}

void TestHidReportDescriptor::layout()
{
    QFETCH(QByteArray, descriptor);
    QFETCH(bool, valid);
    QFETCH(bool, ids);
    QFETCH(int, length);
    // An exact-size copy, so that a sanitizer build sees a read past the end.
    std::vector<std::uint8_t> bytes(descriptor.begin(), descriptor.end());
    const HidReportLayout l = parseHidReportDescriptor(bytes.data(), bytes.size());
    QCOMPARE(l.valid, valid);
    if (valid) {
        QCOMPARE(l.hasReportIds, ids);
        QCOMPARE(l.inputReportByteLength(), length);
    }
}

void TestHidReportDescriptor::everyPrefixOfTheCableDescriptorIsSafe()
{
    const QByteArray cable =
        QByteArray::fromHex("0600ff0901a101150026ff00750895080902810295090903b102c0");
    for (qsizetype n = 0; n <= cable.size(); ++n) {
        std::vector<std::uint8_t> bytes(cable.begin(), cable.begin() + n);
        const HidReportLayout l = parseHidReportDescriptor(bytes.data(), bytes.size());
        QVERIFY(l.inputReportByteLength() == 0 || l.inputReportByteLength() == 9);
    }
}

QTEST_GUILESS_MAIN(TestHidReportDescriptor)
#include "TestHidReportDescriptor.moc"
