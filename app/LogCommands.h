#pragma once

#include "LogErrorGate.h"
#include "UnsavedReadings.h"
#include "log/DataFiles.h"
#include "log/JournalFormat.h"
#include "log/JournalOutput.h"
#include "log/LogTableCopy.h"
#include "log/ReadingLog.h"
#include "log/ReadingRecorder.h"
#include "log/RecoveryJournal.h"

#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class LogGridView;
class LogTableModel;
class QFileDialog;
class QFont;
class QWidget;

// The window's log section: the reading log with its grid model, the data files, the report's
// preview and the gate that keeps a failing log from showing a box per frame. Messages are
// modal boxes over the window, except the log's failures while a frame is handled, which
// INDataToTable() returns for the window to show without stopping the reading.
//
// The file dialogs are made the first time they are needed: most runs never save or open a
// file, and a file dialog costs start-up time.
//
// Each reading goes through the window's recorder, which applies the log's rules and hands the
// record to the log's table and then to the recovery journal.
//
// What the window calls, and when:
//   cs123()                          before the log is opened
//   openLogTable()                   at start-up, then the presets on log()
//   offerLeftoverJournals()          once the window is shown
//   INDataToTable()                  each decoded reading; logErrorClosed() when its box closes
//   TrecordTimer(), syncJournal()    the sampling timer's tick, once a second
//   RecordSITimeChange()             the interval box's text changed
//   RecordNewClick()                 the New command
//   setRecordLimit()                 a limit of the Record menu
//   SpeedButton2Click()              the Open command
//   saveasClick()                    the Save command
//   BtPrintClick()                   the Print command
//   closeLogTable()                  the window closes; the journal is retired
class LogCommands
{
public:
    // `window` is the parent of every box and dialog.
    explicit LogCommands(QWidget *window);
    ~LogCommands();
    LogCommands(const LogCommands &) = delete;
    LogCommands &operator=(const LogCommands &) = delete;

    ReadingLog &log() { return m_log; }
    const ReadingLog &log() const { return m_log; }
    // Binds the grid to the log; the unit column shows `unitFont`.
    void showIn(LogGridView *grid, const QFont &unitFont);

    // Names the session and gives it the program's folder.
    void cs123();
    // Opens a copy of "Tarvodb" (from the current folder, the program's folder or the data
    // folder of an installed program) made for this window, so that other windows log too; a
    // table that does not open is reported (also on standard error) and the log stays closed.
    // Copies left by windows that ended without removing theirs are removed first.
    bool openLogTable();
    // Closes the log and removes this window's copy of the table.
    void closeLogTable();
    // The copy of "Tarvodb" this window works in, or "" (the table is opened where it lies when
    // no copy can be made).
    QString tableCopyPath() const { return m_tableCopy.path(); }

    // Offers the reading to the log unless the log's error box is open. Returns the log's
    // failure when it is to be shown now, else "": the caller shows it without blocking and
    // calls logErrorClosed() when it is closed.
    // `fullUnit` is the unit with the hertz prefix the display shows (for the CSV export).
    QString INDataToTable(const protocol::MeterReading &reading, const LogSettings &settings,
                          const QString &fullUnit);
    void logErrorClosed() { m_errors.boxClosed(); }
    // Why the log cannot take readings now (its table did not open, the last reading offered
    // failed, the interval text is no whole number), or "" while it can: what the window's live
    // page says of the log's health.
    QString logError() const { return m_logError; }

    void TrecordTimer(bool recordSI) { m_log.rules().TrecordTimer(recordSI); }
    void RecordSITimeChange(const QString &text);
    // With unsaved readings, asks first (Save, Discard, Cancel); else tells " Record deleted "
    // first (that box cannot cancel). Then empties the log.
    void RecordNewClick();

    // Journals of runs that ended without retiring them: for each, asks whether to restore its
    // readings into the log, save them straight to a file, or discard them. The window calls it
    // once it is shown.
    void offerLeftoverJournals();
    // The recorder of the log's readings: the log's table, then the journal, which names the
    // port the run says before the records read through it.
    ReadingRecorder &recorder() { return m_recorder; }
    // Puts the journal's new lines on the disk; the window calls it once a second. A journal
    // that failed is written whole again from the log here, once it can be.
    void syncJournal();
    // Why the journal cannot be written, or "" while it keeps the unsaved readings. While it
    // fails, readings are logged as usual but a crash would take them with it.
    QString journalError() const { return m_journalError; }
    // The reason in a few words that fit the status panel ("read-only", "disk full"; any
    // other reason as the system says it).
    static QString shortReason(const QString &error);
    // Told when the journal fails (`began` the first time after it was written), when the
    // reason changes, and when it is written whole again ("").
    using JournalListener = std::function<void(const QString &error, bool began)>;
    void setJournalListener(JournalListener listener) { m_journalListener = std::move(listener); }
    // The journal of this run's readings, while they are unsaved.
    const RecoveryJournal &journal() const { return m_journal; }
    // The journal's header line.
    static QByteArray journalHeader() { return JournalFormat::header(); }

    // Readings logged since the last save, open or New.
    bool hasUnsaved() const { return m_unsaved.any(); }
    // With unsaved readings, asks whether to save them first. True when they may go: saved by
    // the Save command, discarded, or there were none. False after Cancel, or when the save was
    // cancelled or failed.
    bool mayDiscardReadings();
    // `item` is the place of the Record menu's limit item, 0 to 5.
    void setRecordLimit(int item);

    // OpenDialog1, then the chosen file under the log.
    void SpeedButton2Click();
    // SaveDialog2, then the log saved as a Paradox table, as text or as CSV by the chosen name.
    // True when the log was saved.
    bool saveasClick();
    // The report's preview, until it is closed; then the saved listener hears of the PDF it saved
    // last, if any.
    void BtPrintClick();

    // Told of every save that ends without a box of its own (a Paradox table, the report's PDF):
    // the file written and how many readings it holds, so the window can say so. Not told of a
    // save that failed (a box says why).
    using SavedListener = std::function<void(const QString &path, qint64 records)>;
    void setSavedListener(SavedListener listener) { m_saved = std::move(listener); }

private:
    void showError(const QString &message);
    // "2 damaged lines were left out."
    static QString damagedLinesText(int lines);
    void settleKilledSaves();
    // The journal failed with `error`: the log goes on alone until the journal is written whole.
    void journalFailed(const QString &error);
    // The unsaved readings are saved or let go: their journal (and restored leftovers still
    // kept for them) go.
    void retireJournal();

    QWidget *m_window = nullptr;
    ReadingLog m_log;
    std::unique_ptr<LogTableModel> m_model; // listens to m_log, so it goes first
    DataFiles m_dataFiles{m_log.session()};
    QPointer<QFileDialog> SaveDialog2;
    QPointer<QFileDialog> OpenDialog1;
    LogErrorGate m_errors;
    UnsavedReadings m_unsaved;
    RecoveryJournal m_journal;
    JournalOutput m_journalOutput{m_journal};
    // The log's table first, then the journal.
    ReadingRecorder m_recorder{m_log.rules()};
    LogTableCopy m_tableCopy;
    QString m_journalError; // while the journal cannot be written
    QString m_logError;     // see logError()
    // The log's first row not saved yet: a journal written afresh starts there.
    std::int64_t m_journalFromRow = 0;
    // Leftover journals whose readings were restored while the journal failed: kept (and held)
    // until the journal holds the readings again, or they are saved or let go.
    QList<RecoveryJournal::Leftover> m_keptLeftovers;
    JournalListener m_journalListener;
    SavedListener m_saved;
};
