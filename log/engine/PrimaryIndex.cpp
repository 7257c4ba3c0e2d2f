#include "PrimaryIndex.h"

#include "ByteSource.h"
#include "Cp1252.h"
#include "EngineError.h"
#include "FieldCodec.h"
#include "LittleEndian.h"
#include "TableFile.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace table {

namespace {

constexpr int kFixedHeaderSize = 0x58;
constexpr int kIndexHeaderSize = 0x800;
constexpr int kEntryTrailer = 6; // block number, record count, and a word that stays zero
constexpr int kMaxLevels = 16;
// Record counts above one index entry are kept in a 16-bit word that readers take as signed, so
// larger sums are stored as the largest positive value.
constexpr int kCountLimit = 32767;

[[noreturn]] void damaged(const std::string &why)
{
    throw EngineError("damaged index: " + why);
}

std::string str(std::int64_t v)
{
    return std::to_string(v);
}

int keySize(const std::vector<FieldDef> &fields, int keyFieldCount)
{
    int size = 0;
    for (int i = 0; i < keyFieldCount; ++i)
        size += storedSize(fields[static_cast<std::size_t>(i)]);
    return size;
}

// Block numbers and counts in entries are stored like short fields, but unsigned.
void putEntryWord(std::uint8_t *p, int value)
{
    p[0] = static_cast<std::uint8_t>(((value >> 8) & 0xFF) ^ 0x80);
    p[1] = static_cast<std::uint8_t>(value & 0xFF);
}

int entryWord(const std::uint8_t *p)
{
    return ((p[0] ^ 0x80) << 8) | p[1];
}

std::string keyText(const TableContent &content, int keyFieldCount, const std::uint8_t *key)
{
    std::string text;
    for (int i = 0; i < keyFieldCount; ++i) {
        const FieldDef &field = content.fields[static_cast<std::size_t>(i)];
        if (i > 0)
            text += ", ";
        try {
            text += fieldText(field, key);
        } catch (const EngineError &) {
            text += "?";
        }
        key += storedSize(field);
    }
    return text;
}

int tableNameLength(int version)
{
    return version >= kVersion7 ? 261 : 79;
}

struct Entry
{
    const std::uint8_t *key = nullptr;
    int child = 0;
    int count = 0;
};

} // namespace

std::vector<std::uint8_t> buildPrimaryIndex(const TableContent &content, int keyFieldCount,
                                            const std::string &tableName)
{
    return buildPrimaryIndex(content.header, content.fields, content.records, content.blocks,
                             keyFieldCount, tableName);
}

std::vector<std::uint8_t> buildPrimaryIndex(const TableHeader &header,
                                            const std::vector<FieldDef> &fields,
                                            const RecordStore &records,
                                            const std::vector<DataBlock> &blocks,
                                            int keyFieldCount, const std::string &tableName)
{
    // The parts of the table the index is built from, under the names the code below reads.
    const struct
    {
        const TableHeader &header;
        const std::vector<FieldDef> &fields;
        const RecordStore &records;
        const std::vector<DataBlock> &blocks;
    } content{header, fields, records, blocks};
    const int ks = keySize(content.fields, keyFieldCount);
    const int entrySize = ks + kEntryTrailer;
    // An index block must hold at least two entries, or the levels would never narrow to a root.
    int code = content.header.blockSizeCode;
    while ((code * 1024 - kBlockHeaderSize) / entrySize < 2) {
        if (code >= 32)
            throw EngineError("the key fields take " + str(ks) +
                              " bytes, too many for a primary index");
        code = code < 4 ? 4 : code < 16 ? 16 : 32;
    }
    const int blockSize = code * 1024;
    const int perBlock = (blockSize - kBlockHeaderSize) / entrySize;

    // Level 1: one entry per data block, with the key of its first record.
    std::vector<std::vector<Entry>> levels(1);
    std::int64_t row = 0;
    for (const DataBlock &b : content.blocks) {
        levels[0].push_back({content.records.at(row), b.number, b.count});
        row += b.count;
    }
    // Blocks per level, bottom up; a level that fits one block is the root.
    std::vector<int> blocksAt;
    for (auto n = static_cast<int>(levels[0].size());;) {
        blocksAt.push_back((n + perBlock - 1) / perBlock);
        if (n <= perBlock)
            break;
        n = blocksAt.back();
    }
    levels.resize(blocksAt.size());
    // Number the blocks from the root down, so that the chain, read from its first block, meets
    // the root first and each level before the one below it.
    const auto levelCount = static_cast<int>(levels.size());
    std::vector<int> firstBlockAt(static_cast<std::size_t>(levelCount));
    int next = 1;
    for (int l = levelCount - 1; l >= 0; --l) {
        firstBlockAt[static_cast<std::size_t>(l)] = next;
        next += blocksAt[static_cast<std::size_t>(l)];
    }
    const int totalBlocks = next - 1;
    for (int l = 0; l + 1 < levelCount; ++l) {
        const auto &lower = levels[static_cast<std::size_t>(l)];
        for (std::size_t i = 0; i < lower.size(); i += static_cast<std::size_t>(perBlock)) {
            int sum = 0;
            for (std::size_t j = i;
                 j < std::min(lower.size(), i + static_cast<std::size_t>(perBlock)); ++j)
                sum = std::min(kCountLimit, sum + lower[j].count);
            const int child = firstBlockAt[static_cast<std::size_t>(l)] +
                              static_cast<int>(i / static_cast<std::size_t>(perBlock));
            levels[static_cast<std::size_t>(l + 1)].push_back({lower[i].key, child, sum});
        }
    }

    const TableHeader &db = content.header;
    std::vector<std::uint8_t> file(kIndexHeaderSize + static_cast<std::size_t>(totalBlocks) *
                                                          static_cast<std::size_t>(blockSize),
                                   0);
    std::uint8_t *h = file.data();
    std::int64_t entries = 0;
    for (const auto &level : levels)
        entries += static_cast<std::int64_t>(level.size());
    if (content.blocks.empty())
        entries = 0;
    const int rootBlock = content.blocks.empty() ? 0 : 1;
    const int nameLength = tableNameLength(db.version);
    putLe16(h + 0x00, static_cast<std::uint32_t>(entrySize));
    putLe16(h + 0x02, kIndexHeaderSize);
    h[0x04] = 1;
    h[0x05] = static_cast<std::uint8_t>(code);
    putLe32(h + 0x06, static_cast<std::uint32_t>(entries));
    const auto blocksStored = static_cast<std::uint32_t>(content.blocks.empty() ? 0 : totalBlocks);
    putLe16(h + 0x0A, blocksStored);
    putLe16(h + 0x0C, blocksStored);
    putLe16(h + 0x0E, blocksStored ? 1u : 0u);
    putLe16(h + 0x10, blocksStored);
    // Kept one above the table's own counter, as index files usually are.
    putLe16(h + 0x12, 2);
    putLe16(h + 0x1E, static_cast<std::uint32_t>(rootBlock));
    h[0x20] = static_cast<std::uint8_t>(content.blocks.empty() ? 0 : levelCount);
    putLe16(h + 0x21, static_cast<std::uint32_t>(keyFieldCount));
    h[0x29] = static_cast<std::uint8_t>(db.sortOrder);
    // The index's change counter: readers reject an index where it was never set.
    h[0x2C] = 1;
    h[0x2D] = 1;
    h[0x39] = static_cast<std::uint8_t>(db.version);
    putLe16(h + 0x3A, blocksStored);
    putLe16(h + 0x51,
            static_cast<std::uint32_t>(kFixedHeaderSize + 2 * keyFieldCount + 4 + nameLength));
    for (int i = 0; i < keyFieldCount; ++i) {
        const FieldDef &f = content.fields[static_cast<std::size_t>(i)];
        h[kFixedHeaderSize + 2 * i] = static_cast<std::uint8_t>(f.type);
        h[kFixedHeaderSize + 2 * i + 1] = static_cast<std::uint8_t>(f.size);
    }
    std::string nameBytes;
    if (!utf8ToCp1252(tableName, nameBytes))
        nameBytes = "table";
    nameBytes.resize(
        std::min<std::size_t>(nameBytes.size(), static_cast<std::size_t>(nameLength - 1)));
    std::memcpy(h + kFixedHeaderSize + 2 * keyFieldCount + 4, nameBytes.data(), nameBytes.size());

    if (content.blocks.empty())
        return std::vector<std::uint8_t>(file.begin(), file.begin() + kIndexHeaderSize);
    for (int l = 0; l < levelCount; ++l) {
        const auto &level = levels[static_cast<std::size_t>(l)];
        for (int b = 0; b < blocksAt[static_cast<std::size_t>(l)]; ++b) {
            const int number = firstBlockAt[static_cast<std::size_t>(l)] + b;
            std::uint8_t *block =
                file.data() + kIndexHeaderSize +
                static_cast<std::size_t>(number - 1) * static_cast<std::size_t>(blockSize);
            const std::size_t from =
                static_cast<std::size_t>(b) * static_cast<std::size_t>(perBlock);
            const std::size_t to =
                std::min(level.size(), from + static_cast<std::size_t>(perBlock));
            putLe16(block + 0, number < totalBlocks ? static_cast<std::uint32_t>(number + 1) : 0u);
            putLe16(block + 2, static_cast<std::uint32_t>(number - 1));
            putLe16(block + 4, static_cast<std::uint32_t>((to - from - 1) *
                                                          static_cast<std::size_t>(entrySize)));
            std::uint8_t *p = block + kBlockHeaderSize;
            for (std::size_t i = from; i < to; ++i, p += entrySize) {
                std::memcpy(p, level[i].key, static_cast<std::size_t>(ks));
                putEntryWord(p + ks, level[i].child);
                putEntryWord(p + ks + 2, level[i].count);
                putEntryWord(p + ks + 4, 0);
            }
        }
    }
    return file;
}

IndexReport checkPrimaryIndex(const TableContent &content, ByteSource &index)
{
    const TableHeader &db = content.header;
    const int keyFieldCount = db.keyFieldCount;
    const std::uint64_t size = index.size();
    if (size < kFixedHeaderSize)
        damaged("the index file is too short");
    std::uint8_t fixed[kFixedHeaderSize];
    index.read(0, fixed, sizeof fixed);
    if (fixed[0x04] != 1)
        damaged("the index file is not a primary index");
    const int code = fixed[0x05];
    if (code < 1 || code > 32)
        damaged("invalid block size code " + str(code));
    const int headerSize = getLe16(fixed + 0x02);
    if (headerSize < kFixedHeaderSize + 2 * keyFieldCount ||
        static_cast<std::uint64_t>(headerSize) > size)
        damaged("invalid header size " + str(headerSize));
    const int ks = keySize(content.fields, keyFieldCount);
    const int entrySize = ks + kEntryTrailer;
    if (getLe16Signed(fixed + 0x21) != keyFieldCount)
        damaged("it has " + str(getLe16Signed(fixed + 0x21)) + " key fields, the table " +
                str(keyFieldCount));
    if (getLe16(fixed + 0x00) != entrySize)
        damaged("its entries take " + str(getLe16(fixed + 0x00)) + " bytes instead of " +
                str(entrySize));
    std::vector<std::uint8_t> fieldList(2 * static_cast<std::size_t>(keyFieldCount));
    index.read(kFixedHeaderSize, fieldList.data(), fieldList.size());
    IndexReport report;
    for (int i = 0; i < keyFieldCount; ++i) {
        const FieldDef &f = content.fields[static_cast<std::size_t>(i)];
        if (fieldList[2 * static_cast<std::size_t>(i)] != static_cast<std::uint8_t>(f.type) ||
            fieldList[2 * static_cast<std::size_t>(i) + 1] != static_cast<std::uint8_t>(f.size))
            damaged("its key field " + str(i + 1) + " differs from the table's field \"" + f.name +
                    "\"");
        report.keyFields.push_back(f.name);
    }

    const int blockSize = code * 1024;
    const int perBlock = (blockSize - kBlockHeaderSize) / entrySize;
    if (perBlock < 1)
        damaged("its entries do not fit its blocks");
    const int fileBlocks = getLe16(fixed + 0x0C);
    const std::int64_t headerEntries = getLe32(fixed + 0x06);
    report.blockSize = blockSize;
    report.blockCount = fileBlocks;
    if (content.blocks.empty()) {
        if (headerEntries != 0)
            damaged("it has " + str(headerEntries) + " entries for an empty table");
        return report;
    }
    report.levels = fixed[0x20];
    report.rootBlock = getLe16(fixed + 0x1E);
    if (report.levels < 1 || report.levels > kMaxLevels)
        damaged("it claims " + str(report.levels) + " levels");
    const std::uint64_t blocksInFile =
        (size - static_cast<std::uint64_t>(headerSize)) / static_cast<std::uint64_t>(blockSize);

    std::vector<bool> seen(static_cast<std::size_t>(fileBlocks) + 1, false);
    std::vector<std::vector<std::uint8_t>> lastKey(static_cast<std::size_t>(report.levels) + 1);
    std::vector<bool> hasLastKey(static_cast<std::size_t>(report.levels) + 1, false);
    std::size_t dataBlock = 0;
    std::vector<std::int64_t> firstRow;
    std::int64_t row = 0;
    for (const DataBlock &b : content.blocks) {
        firstRow.push_back(row);
        row += b.count;
    }
    std::vector<std::vector<IndexEntry>> byLevel(static_cast<std::size_t>(report.levels) + 1);
    std::int64_t visited = 0;

    // Walks the index block `number` at `level`; returns the key of its first entry. Each block
    // is entered once, so the walk is bounded by the file's blocks and its depth by the levels.
    std::function<std::vector<std::uint8_t>(int, int)> visit = [&](int number, int level) {
        if (number < 1 || number > fileBlocks)
            damaged("an entry points to block " + str(number) + " of " + str(fileBlocks));
        if (static_cast<std::uint64_t>(number) > blocksInFile)
            damaged("block " + str(number) +
                    " lies beyond the end of the file (the file is truncated)");
        if (seen[static_cast<std::size_t>(number)])
            damaged("block " + str(number) + " is reached twice");
        seen[static_cast<std::size_t>(number)] = true;
        std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize));
        index.read(static_cast<std::uint64_t>(headerSize) +
                       static_cast<std::uint64_t>(number - 1) *
                           static_cast<std::uint64_t>(blockSize),
                   block.data(), block.size());
        const int lastOffset = getLe16Signed(&block[4]);
        if (lastOffset < 0 || lastOffset % entrySize)
            damaged("block " + str(number) + " has an invalid size");
        const int count = lastOffset / entrySize + 1;
        if (count > perBlock)
            damaged("block " + str(number) + " claims more entries than it holds");
        std::vector<std::uint8_t> first;
        for (int i = 0; i < count; ++i) {
            const std::uint8_t *e =
                &block[static_cast<std::size_t>(kBlockHeaderSize + i * entrySize)];
            const std::vector<std::uint8_t> key(e, e + ks);
            const int child = entryWord(e + ks);
            const int records = entryWord(e + ks + 2);
            auto &last = lastKey[static_cast<std::size_t>(level)];
            if (hasLastKey[static_cast<std::size_t>(level)] && !(last < key))
                damaged("the keys of level " + str(level) + " do not ascend at block " +
                        str(number));
            last = key;
            hasLastKey[static_cast<std::size_t>(level)] = true;
            if (i == 0)
                first = key;
            if (level == 1) {
                if (dataBlock >= content.blocks.size())
                    damaged("it has more entries than the table has data blocks (" +
                            str(static_cast<std::int64_t>(content.blocks.size())) + ")");
                const DataBlock &d = content.blocks[dataBlock];
                if (child != d.number)
                    damaged("entry " + str(static_cast<std::int64_t>(dataBlock) + 1) +
                            " points to data block " + str(child) + " instead of " + str(d.number));
                if (records != d.count)
                    damaged("entry " + str(static_cast<std::int64_t>(dataBlock) + 1) + " counts " +
                            str(records) + " records, data block " + str(d.number) + " holds " +
                            str(d.count));
                if (std::memcmp(key.data(), content.records.at(firstRow[dataBlock]),
                                static_cast<std::size_t>(ks)) != 0)
                    damaged("the key of entry " + str(static_cast<std::int64_t>(dataBlock) + 1) +
                            " is not the first key of data block " + str(d.number));
                ++dataBlock;
            } else if (visit(child, level - 1) != key) {
                damaged("the key of an entry in block " + str(number) +
                        " is not the first key of block " + str(child));
            }
            byLevel[static_cast<std::size_t>(level)].push_back(
                {level, number, keyText(content, keyFieldCount, key.data()), child, records});
            ++visited;
        }
        return first;
    };
    visit(report.rootBlock, report.levels);
    if (dataBlock != content.blocks.size())
        damaged("it reaches " + str(static_cast<std::int64_t>(dataBlock)) + " of the table's " +
                str(static_cast<std::int64_t>(content.blocks.size())) + " data blocks");
    if (visited != headerEntries)
        damaged("the header counts " + str(headerEntries) + " entries, the tree holds " +
                str(visited));
    for (int l = report.levels; l >= 1; --l) {
        auto &level = byLevel[static_cast<std::size_t>(l)];
        report.entries.insert(report.entries.end(), level.begin(), level.end());
    }
    return report;
}

} // namespace table
