#pragma once

#include "log/engine/BatchMove.h"
#include "log/engine/Table.h"

#include <QString>
#include <QStringList>

class QIODevice;

// Saving the log as a Paradox table or as tab-separated text, and the settings of the dialogs
// that choose the files (the dialogs themselves are DataFileDialogs, with the widgets).
//
// Window handler        -> member
//   saveasClick         -> isParadoxName(), then SaveTableAsDb() or SaveTableAsText()
//   SpeedButton2Click   -> ReadingLog::openOldFile()
class DataFiles
{
public:
    static constexpr const char *kDefaultSuffix = "xls";
    // SaveDialog2's filters, the first selected.
    static QStringList saveFilters();
    // The suffix SaveDialog2 gives a name typed without one under `filter`: "db" under
    // "DB File(*.db)", so that the user gets the Paradox table asked for; "xls" under the rest.
    static QString defaultSuffixFor(const QString &filter);
    // OpenDialog1's filters: both spellings of the Paradox extension, since file names here
    // are case-sensitive.
    static QStringList openFilters();
    // Only a name ending exactly in ".db" is saved as a Paradox table; ".DB" and every other
    // name get the text layout.
    static bool isParadoxName(const QString &path);

    // The copy table Tdest and the batch copy belong to the log's session.
    explicit DataFiles(table::Session &session);

    // Copies `source` to a Paradox table at `path` and gives the copy a primary index over "Not".
    // The copy is written under a temporary name and renamed into place, so a failed copy leaves
    // an earlier file untouched. Returns the engine's message, or "". Tdest is closed afterwards,
    // also after a failed index step.
    QString SaveTableAsDb(table::Table &source, const QString &path);

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

    table::Table &Tdest() { return m_tdest; }

private:
    table::Table m_tdest;
    table::BatchMove m_batchMove1;
};
