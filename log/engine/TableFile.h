#pragma once

#include "FieldDef.h"
#include "RecordStore.h"

#include <cstdint>
#include <string>
#include <vector>

namespace table {

class ByteSink;
class ByteSource;
class LockedFile;

constexpr int kBlockHeaderSize = 6;
constexpr int kMaxBlocks = 65535; // block numbers are 16 bits
constexpr int kLargestBlockSize = 32 * 1024;

// The most data blocks a table written by this process may have: kMaxBlocks unless a test
// lowered it.
int maxBlocks();
// Test support: a table at its limit is then small. 0 gives kMaxBlocks back.
void setMaxBlocksForTesting(int blocks);
// The most records of `recordSize` bytes one table holds: maxBlocks() blocks of the largest size.
std::int64_t mostRecords(int recordSize);
// The same for records of `fields`.
std::int64_t mostRecords(const std::vector<FieldDef> &fields);
constexpr int kVersion7 = 12;     // the version byte of the files we write
constexpr int kDefaultBlockSize = 4096;

// What the engine keeps of a .DB file's header.
struct TableHeader
{
    int version = kVersion7; // 3 and 4: version 3.x; 5 to 9: 4.x; 10 and 11: 5.x; 12: 7
    bool keyed = false;      // a primary index (.PX file) belongs to the table
    int keyFieldCount = 0;
    int blockSizeCode = 4; // data blocks of code * 1024 bytes
    int headerSize = 0x800;
    int recordSize = 1;
    std::uint32_t autoIncrement = 0; // the header's counter for autoincrement fields
    int codePage = 1252;
    int sortOrder = 0;
    int fileBlocks = 0; // blocks in the file, free ones included

    int blockSize() const { return blockSizeCode * 1024; }
    int recordsPerBlock() const { return (blockSize() - kBlockHeaderSize) / recordSize; }
};

// One data block of the table's chain.
struct DataBlock
{
    std::uint16_t number = 0; // 1 is the first block after the header
    std::uint16_t count = 0;  // records it holds
};

struct TableContent
{
    TableHeader header;
    std::vector<FieldDef> fields;
    RecordStore records;
    std::vector<DataBlock> blocks; // the data block chain in table order
};

// Reads a whole .DB file of version 3 to 7. Every count, size, block number and link is checked
// against the file's real size before use, and nothing is allocated beyond what the file's size
// justifies. Throws EngineError "not a Paradox table..." or "damaged table: ...".
TableContent readTable(ByteSource &source);

// The field list a new table may have: throws EngineError saying what is wrong otherwise.
void checkFieldsForWriting(const std::vector<FieldDef> &fields);

struct WriteOptions
{
    int minBlockSize = kDefaultBlockSize; // larger blocks are taken when the records need them
    std::uint32_t autoIncrement = 1;      // next value for autoincrement fields
    std::string tableName;                // recorded in the header
    int keyFieldCount = 0; // a keyed table whose primary index covers this many leading fields
};

// Writes a version-7 .DB file holding every record of `records` in order, in full blocks, without
// key or, with options.keyFieldCount, keyed (the records must then be in key order, and the index
// is the caller's to write). Returns the header written; `blocks` receives the chain.
TableHeader writeTable(ByteSink &sink, const std::vector<FieldDef> &fields,
                       const RecordStore &records, const WriteOptions &options,
                       std::vector<DataBlock> &blocks);

// Write-through edits of an open table file, for tables opened without cached updates. Each
// writes the data before the header that makes it count, so an interruption loses at most the
// record being written.
void appendToFile(LockedFile &file, TableHeader &header, std::vector<DataBlock> &blocks,
                  std::int64_t recordsBefore, const std::uint8_t *record);
void emptyFile(LockedFile &file, TableHeader &header, std::vector<DataBlock> &blocks);
// Rewrites the header's counters: record and block counts, key, autoincrement counter.
void writeHeaderCounts(LockedFile &file, const TableHeader &header,
                       const std::vector<DataBlock> &blocks, std::int64_t recordCount);

} // namespace table
