#include "TableFile.h"

#include "ByteSink.h"
#include "ByteSource.h"
#include "Cp1252.h"
#include "EngineError.h"
#include "LittleEndian.h"
#include "LockedFile.h"
#include "TablePaths.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace table {

namespace {

constexpr int kFixedHeaderSize = 0x58;
constexpr int kHeaderUnit = 0x800;
constexpr char kSortOrderId[] = "ascii";
constexpr int kCodePage = 1252;

[[noreturn]] void notParadox(const std::string &why = {})
{
    throw EngineError(why.empty() ? "not a Paradox table" : "not a Paradox table: " + why);
}

[[noreturn]] void damaged(const std::string &why)
{
    throw EngineError("damaged table: " + why);
}

std::string str(std::int64_t v)
{
    return std::to_string(v);
}

// Version 7 widened the table name kept in the header.
int tableNameLength(int version)
{
    return version >= kVersion7 ? 261 : 79;
}

// Versions from 4.0 on put a second fixed section before the field list.
int fieldListOffset(int version)
{
    return version >= 5 ? 0x78 : kFixedHeaderSize;
}

std::atomic<int> g_maxBlocks{kMaxBlocks};

int chooseBlockSizeCode(int recordSize, std::int64_t records, int minBlockSize)
{
    std::int64_t most = 0;
    for (const int code : {1, 2, 4, 16, 32}) {
        if (code * 1024 < minBlockSize)
            continue;
        const int perBlock = (code * 1024 - kBlockHeaderSize) / recordSize;
        if (perBlock < 1)
            continue;
        most = std::int64_t{maxBlocks()} * perBlock;
        if (records <= most)
            return code;
    }
    throw EngineError("too many records for one Paradox table: " + str(records) + " records of " +
                      str(recordSize) + " bytes, at most " + str(most) + " fit");
}

std::vector<std::string> encodedNames(const std::vector<FieldDef> &fields)
{
    std::vector<std::string> names;
    for (const FieldDef &f : fields) {
        std::string bytes;
        utf8ToCp1252(f.name, bytes); // checked by checkFieldsForWriting()
        names.push_back(bytes);
    }
    return names;
}

std::vector<std::uint8_t> buildHeader(const std::vector<FieldDef> &fields, TableHeader &h,
                                      const std::vector<DataBlock> &blocks,
                                      std::int64_t recordCount, const std::string &tableName)
{
    const auto n = static_cast<int>(fields.size());
    const std::vector<std::string> names = encodedNames(fields);
    std::string nameBytes;
    if (!utf8ToCp1252(tableName, nameBytes))
        nameBytes = "table";
    nameBytes.resize(std::min<std::size_t>(
        nameBytes.size(), static_cast<std::size_t>(tableNameLength(h.version) - 1)));

    const int fieldList = fieldListOffset(h.version);
    const int tableNameAt = fieldList + 2 * n + 4 + 4 * n;
    int namesEnd = tableNameAt + tableNameLength(h.version);
    for (const std::string &name : names)
        namesEnd += static_cast<int>(name.size()) + 1;
    const int fieldNumbersAt = namesEnd;
    const int sortOrderAt = fieldNumbersAt + 2 * n;
    const int used = sortOrderAt + static_cast<int>(sizeof kSortOrderId);
    h.headerSize = (used + kHeaderUnit - 1) / kHeaderUnit * kHeaderUnit;

    std::vector<std::uint8_t> b(static_cast<std::size_t>(h.headerSize), 0);
    putLe16(&b[0x00], static_cast<std::uint32_t>(h.recordSize));
    putLe16(&b[0x02], static_cast<std::uint32_t>(h.headerSize));
    b[0x05] = static_cast<std::uint8_t>(h.blockSizeCode);
    putLe16(&b[0x21], static_cast<std::uint32_t>(n));
    // Version 4.0 and later keep the encryption word at 0x5C and this marker here.
    putLe32(&b[0x25], 0xFF00FF00u);
    b[0x29] = static_cast<std::uint8_t>(h.sortOrder);
    // A header counted as updated at least twice: some readers ignore the primary index of a
    // table whose header was never updated.
    b[0x2D] = 2;
    b[0x39] = static_cast<std::uint8_t>(h.version);
    b[0x3E] = 0x1F;
    b[0x3F] = 0x0F;
    putLe16(&b[0x51], static_cast<std::uint32_t>(used));
    b[0x56] = 0x20;
    putLe16(&b[0x58], 0x0100u | static_cast<std::uint32_t>(h.version));
    putLe16(&b[0x5A], 0x0100u | static_cast<std::uint32_t>(h.version));
    putLe16(&b[0x64], static_cast<std::uint32_t>(n + 1));
    putLe16(&b[0x66], static_cast<std::uint32_t>(fieldNumbersAt - kFixedHeaderSize));
    putLe16(&b[0x6A], static_cast<std::uint32_t>(h.codePage));
    putLe16(&b[0x6E], static_cast<std::uint32_t>(used - 0x5F));

    for (int i = 0; i < n; ++i) {
        b[static_cast<std::size_t>(fieldList + 2 * i)] =
            static_cast<std::uint8_t>(fields[static_cast<std::size_t>(i)].type);
        b[static_cast<std::size_t>(fieldList + 2 * i + 1)] =
            static_cast<std::uint8_t>(fields[static_cast<std::size_t>(i)].size);
    }
    // The pointers between tableNamePtr and the names are run-time memory addresses of the
    // original implementation; readers skip them, so they stay zero.
    std::memcpy(&b[static_cast<std::size_t>(tableNameAt)], nameBytes.data(), nameBytes.size());
    std::size_t at = static_cast<std::size_t>(tableNameAt + tableNameLength(h.version));
    for (const std::string &name : names) {
        std::memcpy(&b[at], name.data(), name.size());
        at += name.size() + 1;
    }
    for (int i = 0; i < n; ++i)
        putLe16(&b[static_cast<std::size_t>(fieldNumbersAt + 2 * i)],
                static_cast<std::uint32_t>(i + 1));
    std::memcpy(&b[static_cast<std::size_t>(sortOrderAt)], kSortOrderId, sizeof kSortOrderId);

    h.fileBlocks = static_cast<int>(blocks.size());
    b[0x04] = h.keyed ? 0 : 2;
    putLe32(&b[0x06], static_cast<std::uint32_t>(recordCount));
    putLe16(&b[0x0A], static_cast<std::uint32_t>(blocks.size()));
    putLe16(&b[0x0C], static_cast<std::uint32_t>(h.fileBlocks));
    putLe16(&b[0x0E], blocks.empty() ? 0u : blocks.front().number);
    putLe16(&b[0x10], blocks.empty() ? 0u : blocks.back().number);
    putLe16(&b[0x12], 1);
    putLe16(&b[0x23], static_cast<std::uint32_t>(h.keyFieldCount));
    putLe16(&b[0x3A], static_cast<std::uint32_t>(h.fileBlocks));
    putLe32(&b[0x49], h.autoIncrement);
    return b;
}

} // namespace

TableContent readTable(ByteSource &source)
{
    const std::uint64_t fileSize = source.size();
    if (fileSize < kFixedHeaderSize)
        notParadox("the file is too short");
    std::uint8_t fixed[kFixedHeaderSize];
    source.read(0, fixed, sizeof fixed);

    const int fileType = fixed[0x04];
    if (fileType == 1)
        notParadox("it is a primary index (.PX) file");
    if (fileType >= 3 && fileType <= 8)
        notParadox("it is a secondary index file");
    if (fileType != 0 && fileType != 2)
        notParadox();
    const int code = fixed[0x05];
    if (code < 1 || code > 32)
        notParadox();
    const int version = fixed[0x39];
    if (version < 3 || version > kVersion7)
        notParadox("unknown file version " + str(version));

    TableContent content;
    TableHeader &h = content.header;
    h.version = version;
    h.keyed = fileType == 0;
    h.blockSizeCode = code;
    h.recordSize = getLe16(fixed + 0x00);
    h.headerSize = getLe16(fixed + 0x02);
    const int fieldList = fieldListOffset(version);
    if (h.recordSize == 0)
        damaged("the header gives records of 0 bytes");
    if (h.headerSize < fieldList)
        damaged("the header size " + str(h.headerSize) + " is too small");
    if (static_cast<std::uint64_t>(h.headerSize) > fileSize)
        damaged("the file is shorter than its header (truncated)");

    std::vector<std::uint8_t> hdr(static_cast<std::size_t>(h.headerSize));
    source.read(0, hdr.data(), hdr.size());

    const int numFields = getLe16Signed(&hdr[0x21]);
    if (numFields < 1 || numFields > kMaxFields)
        damaged("the header gives " + str(numFields) + " fields");
    if (h.keyed) {
        h.keyFieldCount = getLe16Signed(&hdr[0x23]);
        if (h.keyFieldCount < 1 || h.keyFieldCount > numFields)
            damaged("the header gives " + str(h.keyFieldCount) + " key fields");
    }
    std::uint32_t encryption = getLe32(&hdr[0x25]);
    if (version >= 5 && encryption == 0xFF00FF00u)
        encryption = getLe32(&hdr[0x5C]);
    if (encryption != 0)
        throw EngineError("encrypted Paradox tables are not supported");
    h.sortOrder = hdr[0x29];
    h.autoIncrement = getLe32(&hdr[0x49]);
    h.codePage = version >= 5 ? getLe16(&hdr[0x6A]) : 0;

    std::size_t pos = static_cast<std::size_t>(fieldList);
    if (pos + 2 * static_cast<std::size_t>(numFields) > hdr.size())
        damaged("the field list runs past the end of the header");
    int sum = 0;
    for (int i = 0; i < numFields; ++i) {
        const std::uint8_t type = hdr[pos + 2 * static_cast<std::size_t>(i)];
        const std::uint8_t size = hdr[pos + 2 * static_cast<std::size_t>(i) + 1];
        if (!isKnownFieldType(type))
            damaged("field " + str(i + 1) + " has the unknown type code " + str(type));
        FieldDef field{{}, static_cast<FieldType>(type), size};
        if (const std::string why = checkTypeAndSize(field.type, field.size); !why.empty())
            damaged("field " + str(i + 1) + ": " + why);
        sum += storedSize(field);
        content.fields.push_back(field);
    }
    if (sum != h.recordSize)
        damaged("the fields take " + str(sum) + " bytes, but the header gives records of " +
                str(h.recordSize) + " bytes");

    // Skip the table name pointer, one name pointer per field and the table name itself.
    pos += 2 * static_cast<std::size_t>(numFields) + 4 + 4 * static_cast<std::size_t>(numFields) +
           static_cast<std::size_t>(tableNameLength(version));
    for (FieldDef &field : content.fields) {
        const auto end =
            pos < hdr.size()
                ? std::find(hdr.begin() + static_cast<std::ptrdiff_t>(pos), hdr.end(), 0)
                : hdr.end();
        if (end == hdr.end())
            damaged("the field names run past the end of the header");
        field.name =
            cp1252ToUtf8(std::string_view(reinterpret_cast<const char *>(&hdr[pos]),
                                          static_cast<std::size_t>(end - hdr.begin()) - pos));
        pos = static_cast<std::size_t>(end - hdr.begin()) + 1;
    }

    const int blockSize = h.blockSize();
    const int perBlock = h.recordsPerBlock();
    if (perBlock < 1)
        damaged("records of " + str(h.recordSize) + " bytes do not fit blocks of " +
                str(blockSize) + " bytes");
    h.fileBlocks = getLe16(&hdr[0x0C]);
    const std::int64_t headerRecords = getLe32(&hdr[0x06]);
    if (headerRecords > std::int64_t{h.fileBlocks} * perBlock)
        damaged("the header counts " + str(headerRecords) + " records, more than its " +
                str(h.fileBlocks) + " blocks can hold");
    const std::uint64_t blocksInFile = (fileSize - static_cast<std::uint64_t>(h.headerSize)) /
                                       static_cast<std::uint64_t>(blockSize);

    content.records.reset(h.recordSize);
    std::vector<bool> seen(static_cast<std::size_t>(h.fileBlocks) + 1, false);
    std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize));
    std::int64_t total = 0;
    int number = getLe16(&hdr[0x0E]);
    // Each step marks a new block as seen, so the walk ends after at most fileBlocks steps.
    while (number != 0) {
        if (number > h.fileBlocks)
            damaged("the block chain leads to block " + str(number) + ", but the table has " +
                    str(h.fileBlocks) + " blocks");
        if (static_cast<std::uint64_t>(number) > blocksInFile)
            damaged("block " + str(number) +
                    " lies beyond the end of the file (the file is truncated)");
        if (seen[static_cast<std::size_t>(number)])
            damaged("the block chain runs in a circle at block " + str(number));
        seen[static_cast<std::size_t>(number)] = true;
        source.read(static_cast<std::uint64_t>(h.headerSize) +
                        static_cast<std::uint64_t>(number - 1) *
                            static_cast<std::uint64_t>(blockSize),
                    block.data(), block.size());
        const int next = getLe16(&block[0]);
        const int lastOffset = getLe16Signed(&block[4]);
        int count = 0;
        if (lastOffset >= 0) {
            if (lastOffset % h.recordSize)
                damaged("the record data of block " + str(number) +
                        " does not end on a record boundary");
            count = lastOffset / h.recordSize + 1;
            if (count > perBlock)
                damaged("block " + str(number) + " claims " + str(count) +
                        " records, but holds at most " + str(perBlock));
        }
        if (total + count > headerRecords)
            damaged("the data blocks hold more records than the header counts (" +
                    str(headerRecords) + ")");
        for (int k = 0; k < count; ++k)
            content.records.append(
                &block[static_cast<std::size_t>(kBlockHeaderSize + k * h.recordSize)]);
        if (count > 0)
            content.blocks.push_back(
                {static_cast<std::uint16_t>(number), static_cast<std::uint16_t>(count)});
        total += count;
        number = next;
    }
    if (total != headerRecords)
        damaged("the header counts " + str(headerRecords) + " records, but the data blocks hold " +
                str(total));
    return content;
}

void checkFieldsForWriting(const std::vector<FieldDef> &fields)
{
    if (fields.empty())
        throw EngineError("a table needs at least one field");
    if (fields.size() > static_cast<std::size_t>(kMaxFields))
        throw EngineError("a table can have at most " + str(kMaxFields) + " fields");
    std::vector<std::string> seen;
    int recordSize = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const FieldDef &f = fields[i];
        if (f.name.empty())
            throw EngineError("field " + str(static_cast<std::int64_t>(i) + 1) + " has no name");
        std::string bytes;
        if (!utf8ToCp1252(f.name, bytes) || bytes.find('\0') != std::string::npos)
            throw EngineError("field name \"" + f.name +
                              "\" holds characters a table cannot store");
        if (static_cast<int>(bytes.size()) > kMaxFieldNameLength)
            throw EngineError("field name \"" + f.name + "\" is longer than " +
                              str(kMaxFieldNameLength) + " characters");
        const std::string lower = asciiLower(bytes);
        if (std::find(seen.begin(), seen.end(), lower) != seen.end())
            throw EngineError("two fields are named \"" + f.name + "\"");
        seen.push_back(lower);
        if (const std::string why = checkTypeAndSize(f.type, f.size); !why.empty())
            throw EngineError("field \"" + f.name + "\": " + why);
        recordSize += storedSize(f);
    }
    if (recordSize > 32 * 1024 - kBlockHeaderSize)
        throw EngineError("records of " + str(recordSize) +
                          " bytes are too long for a Paradox table");
}

TableHeader writeTable(ByteSink &sink, const std::vector<FieldDef> &fields,
                       const RecordStore &records, const WriteOptions &options,
                       std::vector<DataBlock> &blocks)
{
    checkFieldsForWriting(fields);
    TableHeader h;
    h.recordSize = 0;
    for (const FieldDef &f : fields)
        h.recordSize += storedSize(f);
    if (records.recordSize() != h.recordSize && !records.empty())
        throw EngineError("the records do not match the fields of the table");
    h.codePage = kCodePage;
    h.autoIncrement = options.autoIncrement;
    h.keyed = options.keyFieldCount > 0;
    h.keyFieldCount = options.keyFieldCount;
    h.blockSizeCode = chooseBlockSizeCode(h.recordSize, records.size(), options.minBlockSize);

    const int perBlock = h.recordsPerBlock();
    const std::int64_t count = records.size();
    const std::int64_t blockCount = (count + perBlock - 1) / perBlock;
    blocks.clear();
    for (std::int64_t i = 0; i < blockCount; ++i) {
        const auto inBlock =
            static_cast<std::uint16_t>(std::min<std::int64_t>(perBlock, count - i * perBlock));
        blocks.push_back({static_cast<std::uint16_t>(i + 1), inBlock});
    }
    const std::vector<std::uint8_t> header =
        buildHeader(fields, h, blocks, count, options.tableName);
    sink.write(header.data(), header.size());

    std::vector<std::uint8_t> block(static_cast<std::size_t>(h.blockSize()));
    const auto rs = static_cast<std::size_t>(h.recordSize);
    std::int64_t row = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        std::fill(block.begin(), block.end(), 0);
        putLe16(&block[0], i + 1 < blocks.size() ? blocks[i + 1].number : 0u);
        putLe16(&block[2], i > 0 ? blocks[i - 1].number : 0u);
        putLe16(&block[4], static_cast<std::uint32_t>((blocks[i].count - 1) * h.recordSize));
        for (int k = 0; k < blocks[i].count; ++k)
            std::memcpy(&block[kBlockHeaderSize + static_cast<std::size_t>(k) * rs],
                        records.at(row++), rs);
        sink.write(block.data(), block.size());
    }
    sink.flush();
    return h;
}

void writeHeaderCounts(LockedFile &file, const TableHeader &header,
                       const std::vector<DataBlock> &blocks, std::int64_t recordCount)
{
    std::uint8_t b[0x58];
    file.readAt(0, b, sizeof b);
    b[0x04] = header.keyed ? 0 : 2;
    putLe32(&b[0x06], static_cast<std::uint32_t>(recordCount));
    putLe16(&b[0x0A], static_cast<std::uint32_t>(blocks.size()));
    putLe16(&b[0x0C], static_cast<std::uint32_t>(header.fileBlocks));
    putLe16(&b[0x0E], blocks.empty() ? 0u : blocks.front().number);
    putLe16(&b[0x10], blocks.empty() ? 0u : blocks.back().number);
    putLe16(&b[0x23], static_cast<std::uint32_t>(header.keyed ? header.keyFieldCount : 0));
    putLe16(&b[0x3A], static_cast<std::uint32_t>(header.fileBlocks));
    // Before version 5 this word was a modification count; only later files carry the counter.
    if (header.version >= 10)
        putLe32(&b[0x49], header.autoIncrement);
    file.writeAt(0, b, sizeof b);
}

void appendToFile(LockedFile &file, TableHeader &header, std::vector<DataBlock> &blocks,
                  std::int64_t recordsBefore, const std::uint8_t *record)
{
    const auto blockSize = static_cast<std::uint64_t>(header.blockSize());
    const auto rs = static_cast<std::size_t>(header.recordSize);
    const auto blockAt = [&](int number) {
        return static_cast<std::uint64_t>(header.headerSize) +
               static_cast<std::uint64_t>(number - 1) * blockSize;
    };
    if (!blocks.empty() && blocks.back().count < header.recordsPerBlock()) {
        DataBlock &tail = blocks.back();
        file.writeAt(blockAt(tail.number) + kBlockHeaderSize + tail.count * rs, record, rs);
        std::uint8_t lastOffset[2];
        putLe16(lastOffset, static_cast<std::uint32_t>(tail.count * header.recordSize));
        file.writeAt(blockAt(tail.number) + 4, lastOffset, 2);
        ++tail.count;
    } else {
        if (header.fileBlocks >= maxBlocks())
            throw EngineError("the table is full: a Paradox table has at most " +
                              str(maxBlocks()) + " blocks");
        const int number = header.fileBlocks + 1;
        std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize), 0);
        putLe16(&block[2], blocks.empty() ? 0u : blocks.back().number);
        std::memcpy(&block[kBlockHeaderSize], record, rs);
        file.writeAt(blockAt(number), block.data(), block.size());
        if (!blocks.empty()) {
            std::uint8_t next[2];
            putLe16(next, static_cast<std::uint32_t>(number));
            file.writeAt(blockAt(blocks.back().number), next, 2);
        }
        blocks.push_back({static_cast<std::uint16_t>(number), 1});
        header.fileBlocks = number;
    }
    writeHeaderCounts(file, header, blocks, recordsBefore + 1);
}

void emptyFile(LockedFile &file, TableHeader &header, std::vector<DataBlock> &blocks)
{
    blocks.clear();
    header.fileBlocks = 0;
    writeHeaderCounts(file, header, blocks, 0);
    file.truncate(static_cast<std::uint64_t>(header.headerSize));
}

int maxBlocks()
{
    return g_maxBlocks.load();
}

void setMaxBlocksForTesting(int blocks)
{
    g_maxBlocks.store(blocks > 0 && blocks < kMaxBlocks ? blocks : kMaxBlocks);
}

std::int64_t mostRecords(int recordSize)
{
    if (recordSize <= 0 || recordSize > kLargestBlockSize - kBlockHeaderSize)
        return 0;
    return std::int64_t{maxBlocks()} * ((kLargestBlockSize - kBlockHeaderSize) / recordSize);
}

std::int64_t mostRecords(const std::vector<FieldDef> &fields)
{
    int size = 0;
    for (const FieldDef &f : fields)
        size += storedSize(f);
    return mostRecords(size);
}

} // namespace table
