#pragma once

#include "log/LogRecord.h"
#include "log/DataFiles.h"
#include "log/engine/Session.h"
#include "log/engine/Table.h"

#include <QString>
#include <QTemporaryDir>

// The Paradox output: the records are kept in a private table of the log's layout (plus the full
// date and time) and copied to the output file as the window saves its log, that is under a
// temporary name renamed into place, so the file on disk is always a whole table. This is the
// one output that holds the run's records in memory.
class DbOutput
{
public:
    DbOutput();
    // Prepares the private table and writes an empty table to `path`, so that an output that
    // cannot be written is known before the run starts. Returns the reason, or "".
    QString open(const QString &path);
    // Returns the engine's message, or "".
    QString append(const LogRecord &record);
    // Writes the whole table to the output file. Returns the engine's message, or "".
    QString checkpoint();

private:
    table::Session m_session;
    table::Table m_table;
    DataFiles m_files;
    QTemporaryDir m_scratch;
    QString m_path;
};
