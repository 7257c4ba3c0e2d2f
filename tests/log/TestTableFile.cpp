// Reading and writing .DB files: every version we promise to read, our own files read back,
// and damaged or hostile files refused with a clear message instead of a crash or a hang.

#include "TableFixtures.h"

#include "log/engine/ByteSource.h"
#include "log/engine/EngineError.h"
#include "log/engine/TableFile.h"

#include <QtTest>

using table::FieldDef;
using table::FieldType;

namespace {

const std::vector<FieldDef> kFields = {
    {"Id", FieldType::Long, 4},
    {"Name", FieldType::Alpha, 10},
    {"Val", FieldType::Number, 8},
};

table::TableContent read(const QByteArray &file)
{
    table::MemorySource source(reinterpret_cast<const std::uint8_t *>(file.constData()),
                               size_t(file.size()));
    return table::readTable(source);
}

QStringList rowTexts(const table::TableContent &content, std::int64_t row)
{
    QStringList texts;
    const std::uint8_t *r = content.records.at(row);
    for (const FieldDef &f : content.fields) {
        texts << QString::fromStdString(table::fieldText(f, r));
        r += table::storedSize(f);
    }
    return texts;
}

QList<QStringList> rows(int count)
{
    QList<QStringList> list;
    for (int i = 0; i < count; ++i)
        list << QStringList{QString::number(i + 1), QStringLiteral("n%1").arg(i),
                            QString::number(i * 0.5 - 7)};
    return list;
}

// 100 records of 22 bytes in blocks of 1024: blocks 1 and 2 hold 46 records, block 3 the last 8.
QByteArray validFile()
{
    return fixtures::written(kFields, fixtures::store(kFields, rows(100)));
}

void patch(QByteArray &file, int offset, const QByteArray &bytes)
{
    file.replace(offset, bytes.size(), bytes);
}

} // namespace

class TestTableFile : public QObject
{
    Q_OBJECT
private slots:
    void writtenTablesReadBack_data();
    void writtenTablesReadBack();
    void readsEveryVersion_data();
    void readsEveryVersion();
    void largeRecordsGetLargerBlocks();
    void damagedFilesAreRefused_data();
    void damagedFilesAreRefused();
};

void TestTableFile::writtenTablesReadBack_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<int>("blocks");
    QTest::newRow("empty") << 0 << 1024 << 0;
    QTest::newRow("one record") << 1 << 1024 << 1;
    QTest::newRow("one full block") << 46 << 1024 << 1;
    QTest::newRow("one more than a block") << 47 << 1024 << 2;
    QTest::newRow("many blocks") << 5000 << 1024 << 109;
    QTest::newRow("default block size") << 5000 << 4096 << 28;
}

void TestTableFile::writtenTablesReadBack()
{
    QFETCH(int, count);
    QFETCH(int, blockSize);
    QFETCH(int, blocks);
    const table::RecordStore records = fixtures::store(kFields, rows(count));
    const QByteArray file = fixtures::written(kFields, records, blockSize);
    QCOMPARE(file.size(), 0x800 + blocks * blockSize);

    const table::TableContent content = read(file);
    QCOMPARE(content.header.version, table::kVersion7);
    QCOMPARE(content.header.blockSize(), blockSize);
    QVERIFY(!content.header.keyed);
    QCOMPARE(int(content.fields.size()), 3);
    QCOMPARE(QString::fromStdString(content.fields[1].name), QString("Name"));
    QCOMPARE(int(content.blocks.size()), blocks);
    QCOMPARE(content.records.size(), std::int64_t(count));
    for (std::int64_t row = 0; row < count; ++row)
        QVERIFY(memcmp(content.records.at(row), records.at(row), 22) == 0);
    if (count)
        QCOMPARE(rowTexts(content, count - 1), rows(count).last());
}

void TestTableFile::readsEveryVersion_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("blockSizeCode");
    QTest::addColumn<QList<int>>("numbers");
    // Versions 3.0 and 3.5 have no second fixed header section, version 7 a longer table name.
    QTest::newRow("3.0") << 3 << 1 << QList<int>{1, 2};
    QTest::newRow("3.5, chain out of file order") << 4 << 2 << QList<int>{2, 1};
    QTest::newRow("4.x, blocks of 3k") << 9 << 3 << QList<int>{1, 3};
    QTest::newRow("5.x") << 11 << 4 << QList<int>{3, 1};
    QTest::newRow("7") << 12 << 4 << QList<int>{1, 2};
}

void TestTableFile::readsEveryVersion()
{
    QFETCH(int, version);
    QFETCH(int, blockSizeCode);
    QFETCH(QList<int>, numbers);
    const std::vector<FieldDef> fields = {
        {"Alpha", FieldType::Alpha, 6},     {"Date", FieldType::Date, 4},
        {"Short", FieldType::Short, 2},     {"Long", FieldType::Long, 4},
        {"Money", FieldType::Currency, 8},  {"Num", FieldType::Number, 8},
        {"Flag", FieldType::Logical, 1},    {"Clock", FieldType::Time, 4},
        {"Stamp", FieldType::Timestamp, 8}, {"Auto", FieldType::AutoIncrement, 4},
        {"Exact", FieldType::Bcd, 3},
    };
    const QStringList first{
        "Ohm",      "1999-12-31",          "-5", "70000", "1.25", "-0.5", "True",
        "23:59:58", "2000-02-29 12:00:00", "5",  "-1.005"};
    const QStringList second{"",      "0100-01-01",   "32767", "-1", "",           "1e+100",
                             "False", "00:00:00.001", "",      "6",  "123456789.5"};
    QList<QByteArray> block1{fixtures::record(fields, first)};
    QList<QByteArray> block2{fixtures::record(fields, second), fixtures::record(fields, first)};
    const QByteArray file =
        fixtures::handMade(version, blockSizeCode, fields, {block1, block2}, numbers);

    const table::TableContent content = read(file);
    QCOMPARE(int(content.fields.size()), int(fields.size()));
    QCOMPARE(QString::fromStdString(content.fields.back().name), QString("Exact"));
    QCOMPARE(content.records.size(), std::int64_t(3));
    QStringList firstRead = first;
    firstRead[10] = "-1.005";
    QCOMPARE(rowTexts(content, 0), firstRead);
    QStringList secondRead = second;
    secondRead[10] = "123456789.500";
    QCOMPARE(rowTexts(content, 1), secondRead);
    QCOMPARE(rowTexts(content, 2), firstRead);
}

void TestTableFile::largeRecordsGetLargerBlocks()
{
    const std::vector<FieldDef> fields = {{"A", FieldType::Alpha, 255},
                                          {"B", FieldType::Alpha, 255},
                                          {"C", FieldType::Alpha, 255},
                                          {"D", FieldType::Alpha, 255},
                                          {"E", FieldType::Alpha, 255}};
    const table::TableContent content =
        read(fixtures::written(fields, fixtures::store(fields, {{"x"}}), 1024));
    QCOMPARE(content.header.blockSize(), 2048);
}

void TestTableFile::damagedFilesAreRefused_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("message");
    const QByteArray valid = validFile();
    const int block1 = 0x800, block3 = 0x800 + 2 * 1024;
    const auto patched = [&](int offset, const QByteArray &bytes) {
        QByteArray f = valid;
        patch(f, offset, bytes);
        return f;
    };

    QTest::newRow("empty file") << QByteArray() << "not a Paradox table: the file is too short";
    QTest::newRow("text file") << QByteArray("Date\tValue\r\n").repeated(20)
                               << "not a Paradox table";
    QTest::newRow("primary index file")
        << patched(0x04, "\x01") << "not a Paradox table: it is a primary index (.PX) file";
    QTest::newRow("unknown version")
        << patched(0x39, "\x20") << "not a Paradox table: unknown file version 32";
    QTest::newRow("block size code 0")
        << patched(0x05, QByteArray(1, '\0')) << "not a Paradox table";
    QTest::newRow("records of 0 bytes") << patched(0x00, QByteArray(2, '\0'))
                                        << "damaged table: the header gives records of 0 bytes";
    QTest::newRow("absurd record size")
        << patched(0x00, "\xff\xff")
        << "damaged table: the fields take 22 bytes, but the header gives records of 65535 bytes";
    QTest::newRow("header beyond the file")
        << patched(0x02, "\xff\xff")
        << "damaged table: the file is shorter than its header (truncated)";
    QTest::newRow("no fields") << patched(0x21, QByteArray(2, '\0'))
                               << "damaged table: the header gives 0 fields";
    QTest::newRow("32767 fields") << patched(0x21, "\xff\x7f")
                                  << "damaged table: the header gives 32767 fields";
    QTest::newRow("unknown field type")
        << patched(0x78 + 2, "\x30") << "damaged table: field 2 has the unknown type code 48";
    QTest::newRow("number of 9 bytes")
        << patched(0x78 + 5, "\x09") << "damaged table: field 3: number fields take 8 bytes, not 9";
    QTest::newRow("names past the header")
        << patched(0x02, QByteArray::fromHex("0001"))
        << "damaged table: the field names run past the end of the header";
    QTest::newRow("encrypted") << patched(0x5C, "\x01")
                               << "encrypted Paradox tables are not supported";
    QTest::newRow("4 billion records")
        << patched(0x06, "\xff\xff\xff\xff")
        << "damaged table: the header counts 4294967295 records, more than its 3 blocks can hold";
    QTest::newRow("too few records counted")
        << patched(0x06, QByteArray::fromHex("63000000"))
        << "damaged table: the data blocks hold more records than the header counts (99)";
    QTest::newRow("too many records counted")
        << patched(0x06, QByteArray::fromHex("65000000"))
        << "damaged table: the header counts 101 records, but the data blocks hold 100";
    QTest::newRow("chain runs in a circle")
        << patched(block3, QByteArray::fromHex("0100"))
        << "damaged table: the block chain runs in a circle at block 1";
    QTest::newRow("chain leads past the blocks")
        << patched(block1, QByteArray::fromHex("0900"))
        << "damaged table: the block chain leads to block 9, but the table has 3 blocks";
    QTest::newRow("first block past the blocks")
        << patched(0x0E, QByteArray::fromHex("0400"))
        << "damaged table: the block chain leads to block 4";
    QTest::newRow("truncated data")
        << valid.left(block3 + 100)
        << "damaged table: block 3 lies beyond the end of the file (the file is truncated)";
    QTest::newRow("block claims too many records")
        << patched(block1 + 4, QByteArray::fromHex("2805"))
        << "damaged table: block 1 claims 61 records, but holds at most 46";
    QTest::newRow("block data off the record grid")
        << patched(block1 + 4, QByteArray::fromHex("0500"))
        << "damaged table: the record data of block 1 does not end on a record boundary";
}

void TestTableFile::damagedFilesAreRefused()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, message);
    try {
        read(file);
        QFAIL("a damaged file was read");
    } catch (const table::EngineError &e) {
        QVERIFY2(QString::fromUtf8(e.what()).startsWith(message), e.what());
    }
}

QTEST_APPLESS_MAIN(TestTableFile)
#include "TestTableFile.moc"
