// Opening and walking a Paradox table from arbitrary bytes must end in a table or an EngineError:
// never a crash, a hang or an allocation the input's size cannot justify.
//
// Input: a 4-byte little-endian length L, L bytes of .DB file, then the table's .PX file (maybe
// empty). When L does not fit the input, which is the case for a plain .DB file, the whole
// input is the .DB file.

#include "log/engine/ByteSink.h"
#include "log/engine/ByteSource.h"
#include "log/engine/EngineError.h"
#include "log/engine/FieldCodec.h"
#include "log/engine/LittleEndian.h"
#include "log/engine/PrimaryIndex.h"
#include "log/engine/TableFile.h"

#include <cstdlib>
#include <cstring>

namespace {

void walk(const table::TableContent &content)
{
    for (std::int64_t row = 0; row < content.records.size(); ++row) {
        const std::uint8_t *data = content.records.at(row);
        for (const table::FieldDef &field : content.fields) {
            try {
                (void)table::fieldText(field, data);
            } catch (const table::EngineError &) {
            }
            data += table::storedSize(field);
        }
    }
}

// Whatever the engine reads it must write and read back unchanged.
void roundTrip(const table::TableContent &content)
{
    table::MemorySink sink;
    std::vector<table::DataBlock> blocks;
    try {
        table::writeTable(sink, content.fields, content.records,
                          table::WriteOptions{1024, 1, "fuzz.db"}, blocks);
    } catch (const table::EngineError &) {
        return; // fields a new table may not have, such as two of the same name
    }
    table::MemorySource source(sink.bytes.data(), sink.bytes.size());
    const table::TableContent back = table::readTable(source);
    if (back.fields.size() != content.fields.size() ||
        back.records.size() != content.records.size())
        std::abort();
    for (std::size_t i = 0; i < back.fields.size(); ++i) {
        if (back.fields[i].name != content.fields[i].name ||
            back.fields[i].type != content.fields[i].type ||
            back.fields[i].size != content.fields[i].size)
            std::abort();
    }
    for (std::int64_t row = 0; row < back.records.size(); ++row) {
        if (std::memcmp(back.records.at(row), content.records.at(row),
                        static_cast<std::size_t>(back.header.recordSize)) != 0)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::uint8_t *db = data;
    std::size_t dbSize = size;
    const std::uint8_t *px = nullptr;
    std::size_t pxSize = 0;
    if (size >= 4 && table::getLe32(data) <= size - 4) {
        db = data + 4;
        dbSize = table::getLe32(data);
        px = db + dbSize;
        pxSize = size - 4 - dbSize;
    }
    try {
        table::MemorySource source(db, dbSize);
        table::TableContent content = table::readTable(source);
        walk(content);
        roundTrip(content);
        if (content.header.keyed && pxSize > 0) {
            table::MemorySource index(px, pxSize);
            try {
                (void)table::checkPrimaryIndex(content, index);
            } catch (const table::EngineError &) {
            }
        }
    } catch (const table::EngineError &) {
    }
    return 0;
}
