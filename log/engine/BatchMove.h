#pragma once

#include <string>
#include <vector>

namespace table {

class Table;

enum class BatchMode
{
    // The destination is created, or replaced, with the source's fields and every record.
    Copy,
};

// Copies the records of one table into another in one go.
class BatchMove
{
public:
    void setSource(Table *source) { m_source = source; }
    void setDestination(Table *destination) { m_destination = destination; }
    void setMode(BatchMode mode) { m_mode = mode; }
    BatchMode mode() const { return m_mode; }
    // Leave the destination open on the new file, for exclusive use, as if it had been opened
    // again (to add an index, say) but without reading a large file back. Off by default.
    void setOpenDestination(bool open) { m_openDestination = open; }
    // Give the copy a primary index over these fields (none: no index, the default).
    // When the source's records are already in strictly ascending key order, as a log numbered
    // as it grows is, the keyed table and its index are written straight from the source's
    // records; otherwise the copy is opened and indexed as addPrimaryIndex() does, which sorts
    // it or reports the duplicate key. Either way the destination is closed afterwards.
    void setPrimaryKey(std::vector<std::string> fieldNames) { m_keyNames = std::move(fieldNames); }
    // The source must be open; a record being appended to it is posted first. Every record the
    // source shows, cached ones included, goes into the destination's file in table order; its
    // autoincrement counter continues the source's. The destination file is written under a
    // temporary name and renamed into place, so a failure leaves any earlier file untouched;
    // a keyed copy and its index are replaced as a pair (ReplacingPair), and without one an
    // index file of an earlier table of the same name is removed. Temporaries that a killed
    // save of this name left behind are settled first (tidyStaleTemporaries()). The destination
    // table object is closed, and stays closed unless setOpenDestination() says otherwise.
    // Throws EngineError.
    void execute();

private:
    Table *m_source = nullptr;
    Table *m_destination = nullptr;
    BatchMode m_mode = BatchMode::Copy;
    bool m_openDestination = false;
    std::vector<std::string> m_keyNames;
};

} // namespace table
