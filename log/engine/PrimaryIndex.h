#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace table {

class ByteSource;
class RecordStore;
struct DataBlock;
struct FieldDef;
struct TableContent;
struct TableHeader;

// One entry of a .PX primary index. Level 1 entries point at data blocks of the table, higher
// levels at index blocks one level down; each carries the key of the first record below it.
struct IndexEntry
{
    int level = 1;
    int block = 0;   // index block holding the entry
    std::string key; // default texts of the key fields, joined by ", "
    int child = 0;
    int count = 0; // records below the entry
};

struct IndexReport
{
    std::vector<std::string> keyFields;
    int levels = 0;
    int rootBlock = 0;
    int blockCount = 0;
    int blockSize = 0;
    std::vector<IndexEntry> entries; // from the root down, each level in key order
};

// Builds the .PX file of a table whose records are in key order on its first `keyFieldCount`
// fields: one entry per data block, grouped into index blocks, with further levels above them
// until one block, the root, holds a whole level.
std::vector<std::uint8_t> buildPrimaryIndex(const TableContent &content, int keyFieldCount,
                                            const std::string &tableName);
// The same from the parts of a table that was just written, without a table to hold them.
std::vector<std::uint8_t> buildPrimaryIndex(const TableHeader &header,
                                            const std::vector<FieldDef> &fields,
                                            const RecordStore &records,
                                            const std::vector<DataBlock> &blocks,
                                            int keyFieldCount, const std::string &tableName);

// Reads a .PX file and checks it against its table: its structure, the key fields, that every
// data block is reached once, in order, with its first key and record count, and that keys
// ascend. Throws EngineError "damaged index: ..." otherwise.
IndexReport checkPrimaryIndex(const TableContent &content, ByteSource &index);

} // namespace table
