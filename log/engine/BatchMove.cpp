#include "BatchMove.h"

#include "ByteSink.h"
#include "EngineError.h"
#include "ReplacingFile.h"
#include "Table.h"
#include "TablePaths.h"

#include <filesystem>
#include <unistd.h>

namespace table {

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
    if (m_openDestination &&
        (!destination.exclusive() || destination.cachedUpdates() || destination.readOnly()))
        throw EngineError("a batch copy leaves table \"" + destination.tableName() +
                          "\" open only for exclusive use without cached updates");
    destination.close();
    LockedFile::checkNotInUse(path);

    ReplacingFile out(path);
    FileSink sink(out.fd(), path);
    std::vector<DataBlock> blocks;
    const TableHeader written =
        writeTable(sink, source.fields(), source.m_content.records,
                   WriteOptions{destination.blockSize(),
                                static_cast<std::uint32_t>(source.m_nextAutoIncrement),
                                std::filesystem::path(path).filename().string()},
                   blocks);
    out.commit();
    // A primary index of the table that was replaced would describe other records.
    ::unlink(primaryIndexPath(path).c_str());
    if (m_openDestination)
        destination.openWritten(path, written, source.fields(), source.m_content.records,
                                std::move(blocks));
}

} // namespace table
