#include "Table.h"

#include "ByteSink.h"
#include "ByteSource.h"
#include "EngineError.h"
#include "ReplacingFile.h"
#include "TablePaths.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <thread>
#include <unistd.h>

namespace table {

namespace {

constexpr std::int64_t kAutoIncrementLimit = 2147483647;

std::string inQuotes(std::string_view s)
{
    return "\"" + std::string(s) + "\"";
}

std::string fileName(const std::string &path)
{
    return std::filesystem::path(path).filename().string();
}

void writeIndex(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    ReplacingFile out(path);
    FileSink sink(out.fd(), path);
    sink.write(bytes.data(), bytes.size());
    sink.flush();
    out.commit();
}

} // namespace

Table::~Table()
{
    close();
}

std::string Table::displayName() const
{
    return inQuotes(m_open ? m_path : m_tableName);
}

void Table::checkClosed(std::string_view what) const
{
    if (m_open)
        throw EngineError("cannot " + std::string(what) + " of table " + displayName() +
                          " while it is open");
}

void Table::checkOpen() const
{
    if (!m_open)
        throw EngineError("table " + displayName() + " is not open");
}

void Table::checkWritable() const
{
    checkOpen();
    if (m_readOnly)
        throw EngineError("table " + displayName() + " is read-only");
    if (m_cached)
        return;
    // Other openers hold the records they read at their open; writing under them would leave
    // them, and any writes of theirs, out of step with the file.
    if (!m_exclusive)
        throw EngineError("table " + displayName() +
                          " is open for shared use: writing to its file needs exclusive use "
                          "(or cached updates, which keep changes in memory)");
    if (!m_file.isWritable())
        throw EngineError("table " + displayName() +
                          " is read-only: there is no permission to write its file");
}

void Table::setSession(Session *session)
{
    checkClosed("change the session");
    m_session = session;
}

void Table::setTableName(std::string name)
{
    checkClosed("change the name");
    m_tableName = std::move(name);
}

void Table::setTableType(TableType type)
{
    checkClosed("change the type");
    m_type = type;
}

void Table::setExclusive(bool exclusive)
{
    checkClosed("change exclusive use");
    m_exclusive = exclusive;
}

void Table::setCachedUpdates(bool cached)
{
    checkClosed("change cached updates");
    m_cached = cached;
}

void Table::setReadOnly(bool readOnly)
{
    checkClosed("change read-only use");
    m_readOnly = readOnly;
}

void Table::setBlockSize(int bytes)
{
    if (bytes < 1024 || bytes > 32768)
        throw EngineError("block size " + std::to_string(bytes) +
                          " is outside 1024 to 32768 bytes");
    m_blockSize = bytes;
}

void Table::open()
{
    if (m_open)
        return;
    if (!m_session)
        throw EngineError("table " + displayName() + " belongs to no session");
    const std::string path = m_session->tablePath(m_tableName, m_type);
    // Only a table open for exclusive use without cached updates ever writes its file.
    const auto access = m_exclusive && !m_cached && !m_readOnly
                            ? LockedFile::Access::ReadWriteIfAllowed
                            : LockedFile::Access::ReadOnly;
    m_file.open(path, access, m_exclusive ? LockedFile::Lock::Exclusive : LockedFile::Lock::Shared);
    TableContent content;
    try {
        FileSource source(m_file);
        content = readTable(source);
    } catch (const EngineError &e) {
        m_file.close();
        throw EngineError(path + ": " + e.what());
    }
    adoptContent(std::move(content), path);
}

void Table::openSnapshot()
{
    if (m_open)
        return;
    if (!m_session)
        throw EngineError("table " + displayName() + " belongs to no session");
    if (!m_readOnly)
        throw EngineError("table " + displayName() +
                          " is read without its lock only when it is opened read-only");
    const std::string path = m_session->tablePath(m_tableName, m_type);
    // A writer in place appends a record and then its header's counts, so a reading between
    // the two fails the check and the next one, a moment later, finds the file at rest.
    constexpr int kReadings = 20;
    std::string why;
    for (int reading = 0; reading < kReadings; ++reading) {
        if (reading > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::vector<std::uint8_t> bytes = LockedFile::readUnlocked(path);
        TableContent content;
        try {
            MemorySource source(bytes.data(), bytes.size());
            content = readTable(source);
        } catch (const EngineError &e) {
            // A file at rest that fails the check is damaged, not half-written.
            if (LockedFile::unchangedSince(path, bytes))
                throw EngineError(path + ": " + e.what());
            why = e.what();
            continue;
        }
        if (!LockedFile::unchangedSince(path, bytes)) {
            why = "it changed while it was read";
            continue;
        }
        adoptContent(std::move(content), path);
        return;
    }
    throw EngineError(path + ": " + why +
                      " (the program that holds it open kept changing it; try again once it "
                      "rests, or dump a copy it saves)");
}

void Table::openWritten(const std::string &path, const TableHeader &header,
                        const std::vector<FieldDef> &fields, const RecordStore &records,
                        std::vector<DataBlock> blocks)
{
    LockedFile file;
    file.open(path, LockedFile::Access::ReadWrite, LockedFile::Lock::Exclusive);
    TableContent content;
    content.header = header;
    content.fields = fields;
    content.blocks = std::move(blocks);
    content.records.assign(records);
    m_file = std::move(file);
    adoptContent(std::move(content), path);
}

void Table::adoptContent(TableContent content, const std::string &path)
{
    if (m_listener)
        m_listener->aboutToReset();
    m_content = std::move(content);
    m_path = path;
    m_open = true;
    m_lowerNames.clear();
    m_offsets.clear();
    int offset = 0;
    std::vector<int> autoIncrements;
    for (std::size_t i = 0; i < m_content.fields.size(); ++i) {
        const FieldDef &f = m_content.fields[i];
        m_lowerNames.push_back(asciiLower(f.name));
        m_offsets.push_back(offset);
        if (f.type == FieldType::AutoIncrement)
            autoIncrements.push_back(offset);
        offset += storedSize(f);
    }
    // Continue above both the header's counter and every number in use: tables written
    // elsewhere differ in whether the counter holds the last number or the next one.
    m_nextAutoIncrement = std::max<std::int64_t>(1, m_content.header.autoIncrement);
    for (std::int64_t row = 0; !autoIncrements.empty() && row < m_content.records.size(); ++row) {
        for (const int at : autoIncrements)
            m_nextAutoIncrement =
                std::max(m_nextAutoIncrement, storedInteger(m_content.records.at(row) + at, 4) + 1);
    }
    m_fileRecords = m_content.records.size();
    m_current = m_content.records.empty() ? -1 : 0;
    m_eof = m_content.records.empty();
    m_appending = false;
    if (m_listener) {
        m_listener->reset();
        m_listener->currentChanged(m_current);
    }
}

void Table::close()
{
    if (!m_open)
        return;
    if (m_listener)
        m_listener->aboutToReset();
    m_open = false;
    m_file.close();
    m_path.clear();
    m_content = TableContent();
    m_lowerNames.clear();
    m_offsets.clear();
    m_pending.clear();
    m_appending = false;
    m_current = -1;
    m_eof = true;
    if (m_listener)
        m_listener->reset();
}

const TableHeader &Table::header() const
{
    checkOpen();
    return m_content.header;
}

void Table::createTable(const std::vector<FieldDef> &fields)
{
    checkClosed("create the file");
    if (!m_session)
        throw EngineError("table " + displayName() + " belongs to no session");
    checkFieldsForWriting(fields);
    const std::string path = m_session->tablePath(m_tableName, m_type);
    LockedFile::checkNotInUse(path);
    tidyStaleTemporaries(path);
    int recordSize = 0;
    for (const FieldDef &f : fields)
        recordSize += storedSize(f);
    const RecordStore none(recordSize);
    std::vector<DataBlock> blocks;
    ReplacingFile out(path);
    FileSink sink(out.fd(), path);
    writeTable(sink, fields, none, WriteOptions{m_blockSize, 1, fileName(path)}, blocks);
    out.commit();
    // An index left from an earlier table of this name would describe other records.
    ::unlink(primaryIndexPath(path).c_str());
}

const std::vector<FieldDef> &Table::fields() const
{
    checkOpen();
    return m_content.fields;
}

int Table::fieldIndex(std::string_view name) const
{
    if (!m_open)
        return -1;
    std::string lower(name);
    lower = asciiLower(std::move(lower));
    for (std::size_t i = 0; i < m_lowerNames.size(); ++i) {
        if (m_lowerNames[i] == lower)
            return static_cast<int>(i);
    }
    return -1;
}

int Table::fieldOrThrow(std::string_view name) const
{
    checkOpen();
    const int index = fieldIndex(name);
    if (index < 0)
        throw EngineError("table " + displayName() + " has no field " + inQuotes(name));
    return index;
}

std::int64_t Table::recordCount() const
{
    return m_open ? m_content.records.size() : 0;
}

void Table::append()
{
    checkWritable();
    if (m_appending)
        postPending();
    m_pending.assign(static_cast<std::size_t>(m_content.header.recordSize), 0);
    bool numbered = false;
    for (std::size_t i = 0; i < m_content.fields.size(); ++i) {
        if (m_content.fields[i].type != FieldType::AutoIncrement)
            continue;
        if (m_nextAutoIncrement > kAutoIncrementLimit)
            throw EngineError("table " + displayName() + " has used up its autoincrement numbers");
        putStoredInteger(&m_pending[static_cast<std::size_t>(m_offsets[i])], 4,
                         m_nextAutoIncrement);
        numbered = true;
    }
    m_autoIncrementBeforeAppend = m_nextAutoIncrement;
    if (numbered)
        ++m_nextAutoIncrement;
    m_appending = true;
}

std::uint8_t *Table::pendingField(std::string_view name, const FieldDef *&field)
{
    checkOpen();
    if (!m_appending)
        throw EngineError("table " + displayName() +
                          " has no record being appended: call append() first");
    const int index = fieldOrThrow(name);
    field = &m_content.fields[static_cast<std::size_t>(index)];
    return &m_pending[static_cast<std::size_t>(m_offsets[static_cast<std::size_t>(index)])];
}

void Table::setText(std::string_view field, std::string_view value)
{
    const FieldDef *def = nullptr;
    std::uint8_t *data = pendingField(field, def);
    storeText(*def, value, data);
}

void Table::setInteger(std::string_view field, std::int32_t value)
{
    const FieldDef *def = nullptr;
    std::uint8_t *data = pendingField(field, def);
    storeInteger(*def, value, data);
}

void Table::setFloat(std::string_view field, double value)
{
    const FieldDef *def = nullptr;
    std::uint8_t *data = pendingField(field, def);
    storeFloat(*def, value, data);
}

void Table::setTime(std::string_view field, const TimeOfDay &time)
{
    const FieldDef *def = nullptr;
    std::uint8_t *data = pendingField(field, def);
    storeTime(*def, time, data);
}

void Table::post()
{
    checkOpen();
    if (m_appending)
        postPending();
}

void Table::postPending()
{
    const std::int64_t row = m_content.records.size();
    if (!m_cached) {
        TableHeader &h = m_content.header;
        if (h.keyed && row > 0) {
            int keySize = 0;
            for (int i = 0; i < h.keyFieldCount; ++i)
                keySize += storedSize(m_content.fields[static_cast<std::size_t>(i)]);
            // Records of a keyed table stand in key order; this engine appends only at the end.
            if (std::memcmp(m_pending.data(), m_content.records.at(row - 1),
                            static_cast<std::size_t>(keySize)) <= 0)
                throw EngineError(
                    "key violation in table " + displayName() +
                    ": the new record's key must be greater than every key in the table");
        }
        h.autoIncrement = static_cast<std::uint32_t>(m_nextAutoIncrement);
        appendToFile(m_file, h, m_content.blocks, row, m_pending.data());
        ++m_fileRecords;
    }
    if (m_listener)
        m_listener->aboutToAppend(row);
    m_content.records.append(m_pending.data());
    m_appending = false;
    m_current = row;
    m_eof = false;
    if (m_listener) {
        m_listener->appended(row);
        m_listener->currentChanged(row);
    }
    if (!m_cached && m_content.header.keyed)
        writeIndexFile();
}

void Table::cancel()
{
    if (!m_appending)
        return;
    m_nextAutoIncrement = m_autoIncrementBeforeAppend;
    m_appending = false;
    m_pending.clear();
}

void Table::emptyTable()
{
    checkWritable();
    cancel();
    if (!m_cached) {
        emptyFile(m_file, m_content.header, m_content.blocks);
        m_fileRecords = 0;
    }
    if (m_listener)
        m_listener->aboutToReset();
    m_content.records.clear();
    m_current = -1;
    m_eof = true;
    if (m_listener) {
        m_listener->reset();
        m_listener->currentChanged(m_current);
    }
    if (!m_cached && m_content.header.keyed)
        writeIndexFile();
}

void Table::first()
{
    checkOpen();
    if (m_appending)
        postPending();
    m_current = m_content.records.empty() ? -1 : 0;
    m_eof = m_content.records.empty();
    if (m_listener)
        m_listener->currentChanged(m_current);
}

void Table::next()
{
    checkOpen();
    if (m_appending)
        postPending();
    if (m_current + 1 < m_content.records.size()) {
        ++m_current;
        m_eof = false;
        if (m_listener)
            m_listener->currentChanged(m_current);
    } else {
        m_eof = true;
    }
}

void Table::moveTo(std::int64_t row)
{
    checkOpen();
    if (row < 0 || row >= m_content.records.size())
        throw EngineError("table " + displayName() + " has no record " + std::to_string(row + 1));
    if (m_appending)
        postPending();
    m_current = row;
    m_eof = false;
    if (m_listener)
        m_listener->currentChanged(m_current);
}

std::string Table::text(std::string_view field) const
{
    const int index = fieldOrThrow(field);
    const FieldDef &def = m_content.fields[static_cast<std::size_t>(index)];
    const auto offset = static_cast<std::size_t>(m_offsets[static_cast<std::size_t>(index)]);
    if (m_appending)
        return fieldText(def, m_pending.data() + offset);
    if (m_current < 0)
        return {};
    return fieldText(def, m_content.records.at(m_current) + offset);
}

std::string Table::text(std::int64_t row, int field) const
{
    checkOpen();
    if (row < 0 || row >= m_content.records.size() || field < 0 ||
        field >= static_cast<int>(m_content.fields.size()))
        throw EngineError("table " + displayName() + " has no record " + std::to_string(row + 1) +
                          ", field " + std::to_string(field + 1));
    return fieldText(m_content.fields[static_cast<std::size_t>(field)],
                     m_content.records.at(row) + m_offsets[static_cast<std::size_t>(field)]);
}

const std::uint8_t *Table::recordData(std::int64_t row) const
{
    checkOpen();
    if (row < 0 || row >= m_content.records.size())
        throw EngineError("table " + displayName() + " has no record " + std::to_string(row + 1));
    return m_content.records.at(row);
}

void Table::addPrimaryIndex(const std::vector<std::string> &fieldNames)
{
    checkOpen();
    if (!m_exclusive)
        throw EngineError("adding a primary index to table " + displayName() +
                          " needs the table opened for exclusive use");
    if (m_cached)
        throw EngineError("cannot add a primary index to table " + displayName() +
                          " while it is open with cached updates: its file is not written then");
    checkWritable();
    if (fieldNames.empty())
        throw EngineError("a primary index needs at least one field");
    int keySize = 0;
    for (std::size_t i = 0; i < fieldNames.size(); ++i) {
        const int index = fieldOrThrow(fieldNames[i]);
        const FieldDef &f = m_content.fields[static_cast<std::size_t>(index)];
        if (index != static_cast<int>(i))
            throw EngineError(
                "a primary index covers the leading fields of a table: " + inQuotes(fieldNames[i]) +
                " is field " + std::to_string(index + 1) + " of table " + displayName() +
                ", not field " + std::to_string(i + 1));
        if (isBlobType(f.type) || f.type == FieldType::Bytes)
            throw EngineError("field " + inQuotes(f.name) + " is a " +
                              std::string(fieldTypeName(f.type)) +
                              " field and cannot be part of a key");
        keySize += storedSize(f);
    }
    if (m_appending)
        postPending();

    const RecordStore &records = m_content.records;
    const std::int64_t n = records.size();
    const auto ks = static_cast<std::size_t>(keySize);
    const auto keyText = [&](std::int64_t row) {
        std::string text;
        for (std::size_t i = 0; i < fieldNames.size(); ++i) {
            const FieldDef &f = m_content.fields[i];
            text += (i ? ", " : "") + f.name + " = " + fieldText(f, records.at(row) + m_offsets[i]);
        }
        return text;
    };
    const auto duplicate = [&](std::int64_t a, std::int64_t b) {
        return EngineError("duplicate key in table " + displayName() + ": records " +
                           std::to_string(a + 1) + " and " + std::to_string(b + 1) + " both have " +
                           keyText(a));
    };
    // Stored keys compare like their values byte by byte, so a plain byte comparison orders them.
    bool sorted = true;
    for (std::int64_t row = 1; row < n && sorted; ++row) {
        const int cmp = std::memcmp(records.at(row - 1), records.at(row), ks);
        if (cmp == 0)
            throw duplicate(row - 1, row);
        sorted = cmp < 0;
    }
    if (!sorted) {
        std::vector<std::int64_t> order(static_cast<std::size_t>(n));
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
            return std::memcmp(records.at(a), records.at(b), ks) < 0;
        });
        for (std::size_t i = 1; i < order.size(); ++i) {
            if (std::memcmp(records.at(order[i - 1]), records.at(order[i]), ks) == 0)
                throw duplicate(std::min(order[i - 1], order[i]), std::max(order[i - 1], order[i]));
        }
        RecordStore inOrder(m_content.header.recordSize);
        for (const std::int64_t row : order)
            inOrder.append(records.at(row));
        // The records in key order go to a new file that replaces the old one in a single rename,
        // so that a failure on the way cannot cost the table its records.
        std::vector<DataBlock> blocks;
        ReplacingFile out(m_path);
        FileSink sink(out.fd(), m_path);
        const TableHeader written = writeTable(
            sink, m_content.fields, inOrder,
            WriteOptions{m_content.header.blockSize(),
                         static_cast<std::uint32_t>(m_nextAutoIncrement), fileName(m_path)},
            blocks);
        out.commit();
        LockedFile rewritten;
        try {
            rewritten.open(m_path, LockedFile::Access::ReadWrite, LockedFile::Lock::Exclusive);
        } catch (const EngineError &e) {
            close();
            throw EngineError("table " + inQuotes(out.targetPath()) +
                              " was put in key order but could not be opened again: " + e.what());
        }
        m_file = std::move(rewritten);
        if (m_listener)
            m_listener->aboutToReset();
        m_content.header = written;
        m_content.blocks = std::move(blocks);
        m_content.records = std::move(inOrder);
        m_current = n > 0 ? 0 : -1;
        m_eof = n == 0;
        if (m_listener) {
            m_listener->reset();
            m_listener->currentChanged(m_current);
        }
    }

    TableHeader &h = m_content.header;
    h.keyed = true;
    h.keyFieldCount = static_cast<int>(fieldNames.size());
    const std::string indexPath = primaryIndexPath(m_path);
    try {
        writeIndexFile();
        writeHeaderCounts(m_file, h, m_content.blocks, m_content.records.size());
        m_file.sync();
    } catch (const EngineError &) {
        h.keyed = false;
        h.keyFieldCount = 0;
        ::unlink(indexPath.c_str());
        throw;
    }
}

void Table::writeIndexFile()
{
    writeIndex(primaryIndexPath(m_path),
               buildPrimaryIndex(m_content, m_content.header.keyFieldCount, fileName(m_path)));
}

IndexReport Table::checkPrimaryIndex() const
{
    checkOpen();
    if (!m_content.header.keyed)
        throw EngineError("table " + displayName() + " has no primary index");
    if (m_fileRecords != m_content.records.size() || m_appending)
        throw EngineError("table " + displayName() + " holds changes that are not in its file");
    const std::string path = primaryIndexPath(m_path);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        throw EngineError("the primary index file " + inQuotes(path) + " of table " +
                          displayName() + " is missing");
    LockedFile file;
    file.open(path, LockedFile::Access::ReadOnly, LockedFile::Lock::Shared);
    FileSource source(file);
    try {
        return table::checkPrimaryIndex(m_content, source);
    } catch (const EngineError &e) {
        throw EngineError(path + ": " + e.what());
    }
}

} // namespace table
