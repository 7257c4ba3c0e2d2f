#pragma once

#include "log/DataFiles.h"
#include "log/LogRecord.h"
#include "log/RecordOutput.h"
#include "log/engine/LockedFile.h"
#include "log/engine/Session.h"
#include "log/engine/Table.h"

#include <QString>
#include <QTemporaryDir>

// The Paradox output: the records are kept in a private table with the fields of the window's saved
// copies (the log's layout, then the full date and time and the unit as the display showed it)
// and copied to the output file as the window saves its log, that is under a
// temporary name renamed into place, so the file on disk is always a whole table. This is the
// one output that holds the run's records in memory.
//
// An existing table is appended to: its records are taken into the private table first, so every
// table written holds them, and the numbering goes on after its last record. A table that an
// earlier version wrote, without "FullUnit", keeps its fields (see layoutNote()). The output is kept
// from other programs and other runs for as long as it is open (see open()).
//
// As a RecordOutput: take() appends, finish() writes the table a last time, unless a checkpoint
// failed before (the run ends on that failure, and the file keeps what it had).
class DbOutput : public RecordOutput
{
public:
    struct Opened
    {
        // What went wrong, or "" when the output is open.
        QString error;
        // The name or the file is not one this output can write, or the existing table has
        // another layout; nothing was touched. The run ends as after a wrong command line.
        bool wrongFile = false;
        // The existing table's records and the number of its last one (0 when none).
        qint64 kept = 0;
        qint32 lastNo = 0;
        // The existing table has the older layout (olderLayout()).
        bool olderLayout = false;
    };

    DbOutput();
    ~DbOutput();
    DbOutput(const DbOutput &) = delete;
    DbOutput &operator=(const DbOutput &) = delete;

    // Takes the existing table at `path` in, or prepares an empty one, and writes the table to
    // `path`, so that an output that cannot be written is known before the run starts.
    Opened open(const QString &path);
    // Returns the engine's message, or "".
    QString append(const LogRecord &record);
    // The table holds as many records as a Paradox table can: the next one needs another file.
    bool full() const;
    // The most records one table of this layout holds.
    static qint64 mostRecords();
    // Writes the whole table to the output file. Returns the engine's message, or "".
    QString checkpoint();
    QString take(const LogRecord &record) override { return append(record); }
    QString finish() override { return m_failed ? QString() : checkpoint(); }
    // The records of the table, the existing ones it was opened with included.
    qint64 records() const { return m_table.recordCount(); }
    // This run's records in the table last written to the file.
    qint64 recordsInFile() const { return m_inFile; }
    // The file written, after open(); where a name differs from an existing file only in letter
    // case, that file.
    const QString &path() const { return m_path; }

    // The fields of a new table: those of the window's saved copies
    // (LogTableLayout::savedFields()), "DateTime" and "FullUnit" after the log's.
    static std::vector<table::FieldDef> layout();
    // The fields of the tables earlier versions wrote: the log's, then "DateTime" alone.
    static std::vector<table::FieldDef> olderLayout();
    // What keeps `table` from being a logger's table of either layout ("" when it is one): the
    // fields missing, of another type or size, in addition, or out of order.
    static QString layoutMismatch(const table::Table &table);
    // For a table of the older layout appended to, what it can and cannot tell, for the run's
    // closing words; "" for a table of the current layout.
    QString layoutNote() const;

private:
    QString takeIn(const std::string &path, Opened *opened);

    table::Session m_session;
    table::Table m_table;
    DataFiles m_files;
    QTemporaryDir m_scratch;
    QString m_path;
    // The output file, locked as a text output is; see open() for the moments between.
    table::LockedFile m_lock;
    // The output's name held for this run, across the moments the file is being replaced.
    int m_nameHold = -1;
    qint64 m_kept = 0;
    qint64 m_inFile = 0;
    // mostRecords() as it stood at open(): full() is asked at every reading.
    qint64 m_mostRecords = 0;
    bool m_failed = false; // a checkpoint failed
    bool m_older = false;  // the table has the older layout
};
