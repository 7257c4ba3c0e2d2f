#include "BatchMove.h"

#include "ByteSink.h"
#include "EngineError.h"
#include "PrimaryIndex.h"
#include "ReplacingFile.h"
#include "Table.h"
#include "TablePaths.h"

#include <cstring>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace table {

namespace {

// Whether the records' keys (their first `keySize` bytes, which compare like their values) rise
// strictly from record to record.
bool keysAscend(const RecordStore &records, std::size_t keySize)
{
    for (std::int64_t row = 1; row < records.size(); ++row) {
        if (std::memcmp(records.at(row - 1), records.at(row), keySize) >= 0)
            return false;
    }
    return true;
}

} // namespace

void BatchMove::execute()
{
    if (!m_source || !m_destination)
        throw EngineError("a batch copy needs a source and a destination table");
    Table &source = *m_source;
    Table &destination = *m_destination;
    if (!source.isOpen())
        throw EngineError("cannot copy table \"" + source.tableName() + "\": it is not open");
    if (source.isAppending())
        source.post();
    for (const FieldDef &f : source.fields()) {
        if (isBlobType(f.type))
            throw EngineError("cannot copy table \"" + source.filePath() + "\": field \"" + f.name +
                              "\" is a " + std::string(fieldTypeName(f.type)) +
                              " field, whose data the engine does not read");
    }
    if (!destination.session())
        throw EngineError("table \"" + destination.tableName() + "\" belongs to no session");
    const std::string path =
        destination.session()->tablePath(destination.tableName(), destination.tableType());
    std::error_code ec;
    if (&source == &destination || std::filesystem::equivalent(path, source.filePath(), ec))
        throw EngineError("cannot copy table \"" + source.filePath() + "\" onto itself");
    // The key fields must lead the table, as a primary index needs; the engine's own index step
    // names whatever is wrong.
    const int keyFields = static_cast<int>(m_keyNames.size());
    bool leading = keyFields > 0;
    std::size_t keySize = 0;
    for (int i = 0; i < keyFields && leading; ++i) {
        leading = source.fieldIndex(m_keyNames[std::size_t(i)]) == i;
        if (leading)
            keySize += std::size_t(storedSize(source.fields()[std::size_t(i)]));
    }
    const bool streamKeyed = leading && keysAscend(source.m_content.records, keySize);
    const bool indexAfterwards = keyFields > 0 && !streamKeyed;
    if ((m_openDestination || indexAfterwards) &&
        (!destination.exclusive() || destination.cachedUpdates() || destination.readOnly()))
        throw EngineError("a batch copy leaves table \"" + destination.tableName() +
                          "\" open only for exclusive use without cached updates");
    destination.close();
    LockedFile::checkNotInUse(path);
    // What a killed save of this name left behind is settled before this one starts.
    tidyStaleTemporaries(path);

    const std::string name = std::filesystem::path(path).filename().string();
    std::vector<DataBlock> blocks;
    TableHeader written;
    if (streamKeyed) {
        // The keyed table and its index straight from the source's records (the copy holds no
        // records of its own), both in full before either replaces anything, so a write that
        // fails (a full disk) leaves the earlier pair as it was, and a kill leaves the old pair
        // or the new one.
        const std::string indexPath = primaryIndexPath(path);
        ReplacingPair out(path, indexPath);
        FileSink sink(out.table().fd(), path);
        written = writeTable(sink, source.fields(), source.m_content.records,
                             WriteOptions{destination.blockSize(),
                                          static_cast<std::uint32_t>(source.m_nextAutoIncrement),
                                          name, keyFields},
                             blocks);
        FileSink indexSink(out.index().fd(), indexPath);
        const std::vector<std::uint8_t> bytes = buildPrimaryIndex(
            written, source.fields(), source.m_content.records, blocks, keyFields, name);
        indexSink.write(bytes.data(), bytes.size());
        indexSink.flush();
        out.commit();
    } else {
        ReplacingFile out(path);
        FileSink sink(out.fd(), path);
        written =
            writeTable(sink, source.fields(), source.m_content.records,
                       WriteOptions{destination.blockSize(),
                                    static_cast<std::uint32_t>(source.m_nextAutoIncrement), name},
                       blocks);
        out.commit();
        // A primary index of the table that was replaced would describe other records.
        ::unlink(primaryIndexPath(path).c_str());
    }
    if (m_openDestination || indexAfterwards)
        destination.openWritten(path, written, source.fields(), source.m_content.records,
                                std::move(blocks));
    if (indexAfterwards)
        destination.addPrimaryIndex(m_keyNames);
    if (keyFields > 0 && !m_openDestination)
        destination.close();
}

} // namespace table
