#pragma once

#include "log/ReadingLog.h"
#include "log/engine/BatchMove.h"
#include "log/engine/Table.h"

#include <QString>
#include <QStringList>

#include <functional>

class QIODevice;

// Saving the log as a Paradox table, as tab-separated text or as comma-separated values with plain
// units and dates, and the settings of the dialogs
// that choose the files (the dialogs themselves are DataFileDialogs, with the widgets).
//
// Window handler        -> member
//   saveasClick         -> kindOf(), then SaveTableAsDb(), SaveTableAsText() or SaveLogAsCsv()
//   SpeedButton2Click   -> ReadingLog::openOldFile()
class DataFiles
{
public:
    static constexpr const char *kDefaultSuffix = "xls";
    // SaveDialog2's filters, the first selected. The export with plain units comes last, so
    // the four older types keep their places in the list.
    static QStringList saveFilters();
    // The suffix SaveDialog2 gives a name typed without one under `filter`: "db" under
    // "DB File(*.db)", so that the user gets the Paradox table asked for; "csv" under
    // "CSV with units (*.csv)"; "xls" under the rest.
    static QString defaultSuffixFor(const QString &filter);
    // OpenDialog1's filters: both spellings of the Paradox extension, since file names here
    // are case-sensitive.
    static QStringList openFilters();
    // Only a name ending exactly in ".db" is saved as a Paradox table; ".DB" and every other
    // name get the text layout.
    static bool isParadoxName(const QString &path);

    enum class SaveKind
    {
        Text,    // the window's tab-separated layout
        Paradox, // a table with its primary index
        Csv,     // comma-separated values with plain units, dates and base values
    };
    // The name decides, as the typed extension always has: ".db" gives a table (isParadoxName),
    // ".csv" in any case the values with units, and every other name the text layout.
    static SaveKind kindOf(const QString &path);

    // The copy table Tdest and the batch copy belong to the log's session.
    explicit DataFiles(table::Session &session);

    // Copies `source` to a Paradox table at `path` and gives the copy a primary index over "Not".
    // The copy is written under a temporary name and renamed into place, so a failed copy leaves
    // an earlier file untouched. Returns the engine's message, or "". Tdest is closed afterwards,
    // also after a failed index step.
    QString SaveTableAsDb(table::Table &source, const QString &path);

    // The log as a Paradox table at `path`, as SaveTableAsDb() saves it, with the log's designed
    // fields first and then "DateTime" and "FullUnit" (LogTableLayout::savedFields()) from the
    // log's stamps, so that a table saved and opened again keeps both. The records are put into
    // a table of that layout in memory first; the file is written as SaveTableAsDb() writes it.
    // A log too large for a table with the added fields is saved whole in the designed layout.
    QString SaveLogAsDb(ReadingLog &log, const QString &path);

    struct TextResult
    {
        enum class Kind
        {
            Saved,       // message: the success text
            WriteFailed, // message: "Could not save table to specified file: " + path,
                         // a line break and the system's reason
            EngineError, // message: the engine's; nothing was written
        };
        Kind kind = Kind::Saved;
        QString message;
    };
    // Writes the header and one line per record to a temporary file, flushed and synced before
    // it replaces anything, so a failed write (a full disk too) leaves an earlier file intact,
    // and a killed save leaves a temporary that the next save of the name removes. Afterwards
    // the last record is the current one, as after a walk.
    TextResult SaveTableAsText(table::Table &source, const QString &path);

    // The text layout: header, one line per record in table order, tab-separated fields in the
    // engine's default text, CR LF after every line, Windows-1252 bytes. Throws EngineError for
    // a field the table lacks before anything is written. False if the device fails.
    static bool writeText(const table::Table &source, QIODevice *device);
    // The text layout of the log, its six columns as designed, with the unit column as the
    // display showed it ("kHz" where the table holds "Hz"). Saved as SaveTableAsText() saves.
    TextResult SaveLogAsText(ReadingLog &log, const QString &path);
    static bool writeText(const ReadingLog &log, QIODevice *device);

    // Writes the log as the headless logger's CSV: a header and one line per record, the
    // window's six columns, then the ISO 8601 date and time with milliseconds, the unit in plain
    // symbols, the value in the base unit and the base unit; UTF-8, RFC 4180 quoting, CR LF.
    // Each record's date and time comes from the log's stamps (ReadingLog::stampOf); a record
    // without one has an empty DateTime. Saved as SaveTableAsText saves, with the same results.
    TextResult SaveLogAsCsv(const ReadingLog &log, const QString &path);
    static bool writeCsv(const ReadingLog &log, QIODevice *device);

    table::Table &Tdest() { return m_tdest; }

private:
    static bool writeText(const table::Table &source, const ReadingLog *log, QIODevice *device);
    TextResult saveThrough(const table::Table &source, const QString &path,
                           const std::function<bool(QIODevice *)> &write);

    table::Table m_tdest;
    table::BatchMove m_batchMove1;
};
