#pragma once

#include "FieldCodec.h"
#include "FieldDef.h"
#include "LockedFile.h"
#include "PrimaryIndex.h"
#include "Session.h"
#include "TableFile.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace table {

// Told about changes of a table's records and of its current record, in the order a view over
// the table needs them (a Qt item model calls beginInsertRows() in aboutToAppend(), and so on).
class TableListener
{
public:
    virtual ~TableListener() = default;
    virtual void aboutToAppend(std::int64_t row) { (void)row; }
    virtual void appended(std::int64_t row) { (void)row; }
    // Open, close and empty replace every record at once.
    virtual void aboutToReset() {}
    virtual void reset() {}
    virtual void currentChanged(std::int64_t row) { (void)row; }
};

// A Paradox table: its file, its records in memory and a current record.
//
// Opening reads every record into memory in the table's own record layout. With cached updates
// the file is opened read-only and never written: appended records live in memory until the
// table is closed. Without cached updates every post and empty is written through to the file
// at once. Exclusive use locks the file against every other opener, this program's other
// tables included; otherwise the lock is shared and only keeps exclusive openers out.
//
// Field names match without regard to letter case. Every failure throws EngineError with a
// message for the user; an operation that throws changes nothing unless it says otherwise.
class Table
{
public:
    Table() = default;
    explicit Table(Session &session) : m_session(&session) {}
    ~Table();
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;

    // Settings. They apply at the next open; changing them while the table is open throws.
    void setSession(Session *session);
    Session *session() const { return m_session; }
    // A bare name ("Tarvodb") or a path; see Session::tablePath().
    void setTableName(std::string name);
    const std::string &tableName() const { return m_tableName; }
    void setTableType(TableType type);
    TableType tableType() const { return m_type; }
    void setExclusive(bool exclusive);
    bool exclusive() const { return m_exclusive; }
    void setCachedUpdates(bool cached);
    bool cachedUpdates() const { return m_cached; }
    void setReadOnly(bool readOnly);
    bool readOnly() const { return m_readOnly; }
    // Smallest data block size, in bytes, of files this table object creates (createTable(),
    // or as the destination of a batch copy); larger blocks are taken when the records need
    // them. 1024 to 32768.
    void setBlockSize(int bytes);
    int blockSize() const { return m_blockSize; }

    void open();
    // Opens a read-only table (setReadOnly(true)) that another program holds for exclusive use,
    // as a running window holds the table it logs into, without taking or testing any lock, so
    // that program is not disturbed. The file is read whole into memory and checked as open()
    // checks it, and taken only when a second reading finds it unchanged: a file that is being
    // written in place meanwhile is read again rather than taken half-written (a file replaced
    // by rename reads whole either way). The records are the file's as it stood at that moment.
    // Throws EngineError, saying why, when the file cannot be read or keeps changing.
    void openSnapshot();
    // Releases the file and its lock; cached changes that were never written are dropped.
    void close();
    bool isOpen() const { return m_open; }
    // The file of the open table.
    const std::string &filePath() const { return m_path; }
    const TableHeader &header() const;

    // Creates the table's file, or replaces it, with these fields and no records. The table must
    // be closed; it stays closed.
    void createTable(const std::vector<FieldDef> &fields);

    // The fields of the open table.
    const std::vector<FieldDef> &fields() const;
    // -1 if the table has no such field.
    int fieldIndex(std::string_view name) const;

    // Records the program sees, cached ones included; 0 while closed.
    std::int64_t recordCount() const;
    bool isEmpty() const { return recordCount() == 0; }

    // Starts a new record with every field blank and autoincrement fields numbered. Setting
    // fields converts the value to the field's type. post() adds the record at the end and makes
    // it the current record; cancel() drops it. Moving, appending again, copying or indexing
    // posts a pending record first.
    void append();
    void setText(std::string_view field, std::string_view value);
    void setInteger(std::string_view field, std::int32_t value);
    void setFloat(std::string_view field, double value);
    void setTime(std::string_view field, const TimeOfDay &time);
    void post();
    void cancel();
    bool isAppending() const { return m_appending; }

    // Afterwards the table shows no records.
    void emptyTable();

    // Walking the records: first(); while (!eof()) { ...; next(); }. next() on the last record
    // sets eof() and stays there, so after a walk the last record is current.
    void first();
    void next();
    bool eof() const { return m_eof; }
    void moveTo(std::int64_t row);
    // -1 when the table has no records.
    std::int64_t currentRow() const { return m_current; }

    // Default text (see fieldText()) of a field of the current record, or of the record being
    // appended; "" when there is no record.
    std::string text(std::string_view field) const;
    std::string text(std::int64_t row, int field) const;
    // The stored bytes of record `row`, field after field (see FieldCodec.h), for readers that
    // walk many records; valid until the table changes. Throws like text(row, field).
    const std::uint8_t *recordData(std::int64_t row) const;
    // Where a field starts in recordData().
    int fieldOffset(int field) const { return m_offsets.at(static_cast<std::size_t>(field)); }

    // Makes the table keyed on its leading fields `fieldNames` (a Paradox primary index has no
    // name) and writes its .PX file. Needs the table open for exclusive use and without cached
    // updates. Records out of key order are put in order first.
    void addPrimaryIndex(const std::vector<std::string> &fieldNames);
    // Reads the table's .PX file and checks it against the records; throws if the table is not
    // keyed, holds changes not in the file, or the index is damaged.
    IndexReport checkPrimaryIndex() const;

    void setListener(TableListener *listener) { m_listener = listener; }

private:
    friend class BatchMove;

    void checkClosed(std::string_view what) const;
    void checkOpen() const;
    void checkWritable() const;
    int fieldOrThrow(std::string_view name) const;
    std::uint8_t *pendingField(std::string_view name, const FieldDef *&field);
    void postPending();
    void writeIndexFile();
    // Takes `content`, just read from or written to the file at `path` (m_file holds it), as the
    // open table's.
    void adoptContent(TableContent content, const std::string &path);
    // Opens the file a batch copy has just written from `records`, for exclusive use, without
    // reading it back.
    void openWritten(const std::string &path, const TableHeader &header,
                     const std::vector<FieldDef> &fields, const RecordStore &records,
                     std::vector<DataBlock> blocks);
    std::string displayName() const;

    Session *m_session = nullptr;
    std::string m_tableName;
    TableType m_type = TableType::Default;
    bool m_exclusive = false;
    bool m_cached = false;
    bool m_readOnly = false;
    int m_blockSize = kDefaultBlockSize;
    TableListener *m_listener = nullptr;

    bool m_open = false;
    LockedFile m_file;
    std::string m_path;
    TableContent m_content;
    std::vector<std::string> m_lowerNames;
    std::vector<int> m_offsets;
    std::int64_t m_fileRecords = 0; // records in the file, the rest are cached
    std::int64_t m_current = -1;
    bool m_eof = true;
    bool m_appending = false;
    std::vector<std::uint8_t> m_pending;
    std::int64_t m_nextAutoIncrement = 1;
    std::int64_t m_autoIncrementBeforeAppend = 1;
};

} // namespace table
