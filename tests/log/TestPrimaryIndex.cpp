// The .PX primary index: built over tables of every size with as many levels as they need, and
// checked against its table so that a damaged index is reported, not trusted.

#include "TableFixtures.h"

#include "log/engine/ByteSource.h"
#include "log/engine/EngineError.h"
#include "log/engine/PrimaryIndex.h"

#include <QtTest>

using table::FieldDef;
using table::FieldType;

namespace {

table::TableContent keyedTable(const std::vector<FieldDef> &fields, int count, int blockSize)
{
    QList<QStringList> rows;
    for (int i = 0; i < count; ++i)
        rows << QStringList{QStringLiteral("%1").arg(i + 1, 6, 10, QChar('0')), QString::number(i)};
    const QByteArray file = fixtures::written(fields, fixtures::store(fields, rows), blockSize);
    table::MemorySource source(reinterpret_cast<const std::uint8_t *>(file.constData()),
                               size_t(file.size()));
    table::TableContent content = table::readTable(source);
    content.header.keyed = true;
    content.header.keyFieldCount = 1;
    return content;
}

table::IndexReport check(const table::TableContent &content, const QByteArray &index)
{
    table::MemorySource source(reinterpret_cast<const std::uint8_t *>(index.constData()),
                               size_t(index.size()));
    return table::checkPrimaryIndex(content, source);
}

QByteArray build(const table::TableContent &content)
{
    const auto bytes = table::buildPrimaryIndex(content, 1, "T.DB");
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

const std::vector<FieldDef> kLongKey = {{"Id", FieldType::Long, 4}, {"Val", FieldType::Long, 4}};

} // namespace

class TestPrimaryIndex : public QObject
{
    Q_OBJECT
private slots:
    void indexHasTheLevelsTheTableNeeds_data();
    void indexHasTheLevelsTheTableNeeds();
    void damagedIndexIsRefused_data();
    void damagedIndexIsRefused();
};

void TestPrimaryIndex::indexHasTheLevelsTheTableNeeds_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("keySize"); // 0: long key, else alpha of that size
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<int>("levels");
    QTest::newRow("empty table") << 0 << 0 << 4096 << 0;
    QTest::newRow("one data block") << 10 << 0 << 4096 << 1;
    // 127 records per block of 1k make 79 data blocks; 101 entries fit an index block.
    QTest::newRow("one index block") << 10000 << 0 << 1024 << 1;
    QTest::newRow("two levels") << 20000 << 0 << 1024 << 2;
    // Keys of 100 bytes: 9 entries per index block over 1112 data blocks.
    QTest::newRow("four levels") << 10000 << 100 << 1024 << 4;
}

void TestPrimaryIndex::indexHasTheLevelsTheTableNeeds()
{
    QFETCH(int, count);
    QFETCH(int, keySize);
    QFETCH(int, blockSize);
    QFETCH(int, levels);
    const std::vector<FieldDef> fields =
        keySize
            ? std::vector<FieldDef>{{"Id", FieldType::Alpha, keySize}, {"Val", FieldType::Long, 4}}
            : kLongKey;
    const table::TableContent content = keyedTable(fields, count, blockSize);
    const table::IndexReport report = check(content, build(content));
    QCOMPARE(report.levels, levels);
    QCOMPARE(report.keyFields, std::vector<std::string>{"Id"});
    if (count == 0) {
        QVERIFY(report.entries.empty());
        return;
    }
    QCOMPARE(report.rootBlock, 1);
    // The root comes first and every data block has one entry on level 1, in table order.
    QCOMPARE(report.entries.front().level, levels);
    std::vector<table::IndexEntry> level1;
    for (const auto &e : report.entries) {
        if (e.level == 1)
            level1.push_back(e);
    }
    QCOMPARE(level1.size(), content.blocks.size());
    std::int64_t records = 0;
    for (std::size_t i = 0; i < level1.size(); ++i) {
        QCOMPARE(level1[i].child, int(content.blocks[i].number));
        records += level1[i].count;
    }
    QCOMPARE(records, std::int64_t(count));
    QCOMPARE(QString::fromStdString(level1.back().key).toInt(),
             count - content.blocks.back().count + 1);
}

void TestPrimaryIndex::damagedIndexIsRefused_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("message");
    // 20000 records: root block 1 holds 2 entries, level-1 blocks 2 and 3 hold 101 and 57.
    // Entries take 10 bytes: the key, then the block number and the record count.
    const int root = 0x800 + 6, leaf = 0x800 + 1024 + 6;
    QTest::newRow("not a primary index")
        << 0x04 << QByteArray("\x02") << "the index file is not a primary index";
    QTest::newRow("key field of another type")
        << 0x58 << QByteArray("\x03") << "its key field 1 differs from the table's field \"Id\"";
    QTest::newRow("no levels") << 0x20 << QByteArray(1, '\0') << "it claims 0 levels";
    QTest::newRow("entries miscounted")
        << 0x06 << QByteArray::fromHex("9f") << "the header counts 159 entries, the tree holds 160";
    QTest::newRow("entry points elsewhere")
        << leaf + 4 << QByteArray::fromHex("8005") << "entry 1 points to data block 5 instead of 1";
    QTest::newRow("records miscounted") << leaf + 6 << QByteArray::fromHex("8001")
                                        << "entry 1 counts 1 records, data block 1 holds 127";
    QTest::newRow("not the block's first key")
        << leaf + 10 << QByteArray::fromHex("80000070")
        << "the key of entry 2 is not the first key of data block 2";
    QTest::newRow("keys do not ascend") << leaf + 10 << QByteArray::fromHex("80000001")
                                        << "the keys of level 1 do not ascend at block 2";
    QTest::newRow("root points to itself")
        << root + 4 << QByteArray::fromHex("8001") << "block 1 is reached twice";
    QTest::newRow("block of negative size")
        << 0x800 + 1024 + 4 << QByteArray::fromHex("ffff") << "block 2 has an invalid size";
    QTest::newRow("truncated") << -(0x800 + 1024 + 100) << QByteArray()
                               << "block 2 lies beyond the end of the file";
}

void TestPrimaryIndex::damagedIndexIsRefused()
{
    QFETCH(int, offset);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
    const table::TableContent content = keyedTable(kLongKey, 20000, 1024);
    QByteArray index = build(content);
    QCOMPARE(check(content, index).levels, 2);
    if (offset < 0)
        index.truncate(-offset);
    else
        index.replace(offset, bytes.size(), bytes);
    try {
        check(content, index);
        QFAIL("a damaged index passed the check");
    } catch (const table::EngineError &e) {
        QVERIFY2(QString::fromUtf8(e.what()).startsWith("damaged index: " + message), e.what());
    }
}

QTEST_APPLESS_MAIN(TestPrimaryIndex)
#include "TestPrimaryIndex.moc"
