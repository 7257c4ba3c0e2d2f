#include "LogCommands.h"

#include "BoxTitle.h"

#include "log/DataFileDialogs.h"
#include "log/LogGridView.h"
#include "log/LogReport.h"
#include "log/LogTableLayout.h"
#include "log/LogTableModel.h"
#include "log/ReportPreview.h"
#include "log/engine/ReplacingFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QHash>
#include <QMessageBox>
#include <QPushButton>

#include <cstring>

LogCommands::LogCommands(QWidget *window)
    : m_window(window), m_model(std::make_unique<LogTableModel>(m_log))
{
    m_recorder.addOutput(&m_log);
    m_recorder.addOutput(&m_journalOutput);
}

LogCommands::~LogCommands()
{
    closeLogTable();
}

void LogCommands::showIn(LogGridView *grid, const QFont &unitFont)
{
    m_model->setUnitFont(unitFont);
    grid->setLogModel(m_model.get());
}

void LogCommands::showError(const QString &message)
{
    QMessageBox::critical(m_window, QStringLiteral("Vorlatt"), message);
}

void LogCommands::cs123()
{
    m_log.cs123(QCoreApplication::applicationDirPath());
}

// "Tarvodb" lies in the current folder, beside the program in the build tree, or in the data
// folder of an installed program. It is never written: the window logs into a copy of its own,
// which it holds for exclusive use, so a second window (another meter, another user) logs as well
// instead of finding the table in use.
bool LogCommands::openLogTable()
{
    const QString bin = QCoreApplication::applicationDirPath();
    const QStringList dataDirs = {bin, QDir(bin).filePath(QStringLiteral("../share/vorlatt"))};
    const QString shipped = ReadingLog::findLogTable(dataDirs);
    settleKilledSaves();
    QString error;
    QString copyError;
    if (!shipped.isEmpty()) {
        const QString folder = LogTableCopy::defaultFolder();
        LogTableCopy::removeStale(folder);
        copyError = m_tableCopy.make(shipped, folder);
        if (copyError.isEmpty()) {
            // The copy holds what the table holds: its fault is the table's, named as such.
            error = m_log.openFile(m_tableCopy.path());
            if (!error.isEmpty()) {
                error.replace(m_tableCopy.path(), shipped);
                m_tableCopy.remove();
            }
        }
    }
    if (shipped.isEmpty() || !copyError.isEmpty()) {
        // Without a copy the table is opened where it lies, as the only window that logs; a
        // table that is not there gets the engine's message naming what is missing.
        if (!copyError.isEmpty())
            qWarning("vorlatt: no log table of this window's own (%s); using %s",
                     qPrintable(copyError), qPrintable(shipped));
        error = m_log.open(dataDirs);
    }
    m_logError = error;
    if (!error.isEmpty()) {
        // Also on standard error, where a start without a desktop (or a packaging check) sees it.
        qWarning("vorlatt: the log table Tarvodb cannot be opened: %s", qPrintable(error));
        showError(error);
    }
    return error.isEmpty();
}

void LogCommands::settleKilledSaves()
{
    // Saves note what they replace in the state folder; what a killed window's saves left beside
    // those files is removed, wherever the user saved.
    const QByteArray notes =
        QFile::encodeName(RecoveryJournal::defaultFolder() + QStringLiteral("/saves"));
    table::setSaveNotesFolder(notes.toStdString());
    table::tidyNotedTemporaries(notes.toStdString());
}

void LogCommands::closeLogTable()
{
    m_log.close();
    m_tableCopy.remove();
    // Closing is the end of a run the user agreed to: its readings were saved or let go.
    retireJournal();
}

void LogCommands::retireJournal()
{
    m_journal.retire();
    for (RecoveryJournal::Leftover &kept : m_keptLeftovers)
        RecoveryJournal::removeLeftover(kept);
    m_keptLeftovers.clear();
    m_journalFromRow = m_log.isOpen() ? m_log.table().recordCount() : 0;
}

QString LogCommands::shortReason(const QString &error)
{
    // The journal's failures read "<path>: <the system's reason>".
    const qsizetype colon = error.lastIndexOf(QStringLiteral(": "));
    const QString reason = colon < 0 ? error : error.mid(colon + 2);
    // The clock panel is as wide as the design made it: the usual reasons get a word that fits
    // there whole (the box and the panel's tooltip say the system's own words).
    static const QHash<QString, QString> kShort = {
        {QStringLiteral("Read-only file system"), QStringLiteral("read-only")},
        {QStringLiteral("No space left on device"), QStringLiteral("disk full")},
        {QStringLiteral("Disk quota exceeded"), QStringLiteral("quota full")},
        {QStringLiteral("Permission denied"), QStringLiteral("no access")},
        {QStringLiteral("Input/output error"), QStringLiteral("disk error")},
    };
    return kShort.value(reason, reason);
}

void LogCommands::journalFailed(const QString &error)
{
    const bool began = m_journalError.isEmpty();
    if (began) {
        // The log goes on alone: records are not offered to a journal that would be missing
        // some of them anyway; the journal is written whole again when it can be.
        m_recorder.replaceOutput(&m_journalOutput, nullptr);
        qWarning("vorlatt: the recovery journal cannot be written: %s", qPrintable(error));
    }
    if (error == m_journalError)
        return;
    m_journalError = error;
    if (m_journalListener)
        m_journalListener(error, began);
}

QString LogCommands::damagedLinesText(int lines)
{
    return lines == 1 ? QStringLiteral("1 damaged line was left out.")
                      : QStringLiteral("%1 damaged lines were left out.").arg(lines);
}

void LogCommands::offerLeftoverJournals()
{
    QList<RecoveryJournal::Leftover> leftovers =
        RecoveryJournal::leftovers(RecoveryJournal::defaultFolder());
    for (RecoveryJournal::Leftover &leftover : leftovers) {
        // Records are counted, not lines: a line a crash or a disk damaged is no reading.
        const JournalFormat::Count count = JournalFormat::count(leftover.lines);
        const int records = count.records;
        if (records <= 0 || !m_log.isOpen()) {
            if (records <= 0)
                RecoveryJournal::removeLeftover(leftover);
            else
                RecoveryJournal::releaseLeftover(leftover);
            continue;
        }
        QMessageBox box(
            QMessageBox::Question, QStringLiteral("Vorlatt"),
            QStringLiteral("A run that ended unexpectedly left %1 unsaved readings.").arg(records),
            QMessageBox::NoButton, m_window);
        box.setObjectName(QStringLiteral("RecoveryQuestion"));
        // Each run's leftover on its own, named by its meter's port and its end, so that two
        // windows killed at once are told apart.
        QStringList info;
        const QString ended = QFileInfo(leftover.path)
                                  .lastModified()
                                  .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        info << (count.ports.isEmpty()
                     ? QStringLiteral("The run ended %1.").arg(ended)
                     : QStringLiteral("Read from %1; the run ended %2.")
                           .arg(count.ports.join(QStringLiteral(", ")), ended));
        if (count.damaged > 0)
            info << damagedLinesText(count.damaged);
        info << QStringLiteral("Kept in %1").arg(leftover.path);
        box.setInformativeText(info.join(u'\n'));
        QPushButton *restore = box.addButton(QStringLiteral("Restore"), QMessageBox::AcceptRole);
        QPushButton *save = box.addButton(QStringLiteral("Save..."), QMessageBox::ActionRole);
        box.addButton(QMessageBox::Discard);
        box.setDefaultButton(restore);
        box.exec();
        if (box.clickedButton() != restore && box.clickedButton() != save) {
            RecoveryJournal::removeLeftover(leftover);
            continue;
        }
        // Into the log, and into this run's journal, so that they outlive another crash: the
        // records the log took, as it holds them, and nothing else.
        const ReadingLog::Restored restored = m_log.restore(leftover.lines);
        if (m_journalError.isEmpty()) {
            QString journalError = m_journalOutput.appendRestored(restored.lines);
            if (journalError.isEmpty())
                journalError = m_journalOutput.flush();
            if (!journalError.isEmpty())
                journalFailed(journalError);
        }
        if (restored.records > 0)
            m_unsaved.logged();
        if (restored.damaged > 0)
            qWarning("vorlatt: %s: %d readings restored; %s", qPrintable(leftover.path),
                     restored.records, qPrintable(damagedLinesText(restored.damaged)));
        if (!restored.error.isEmpty()) {
            // The journal stays for the next start: nothing of it is lost.
            RecoveryJournal::releaseLeftover(leftover);
            showError(restored.error);
            continue;
        }
        // Its file is their only copy on the disk until this run's journal holds them.
        if (m_journalError.isEmpty())
            RecoveryJournal::removeLeftover(leftover);
        else
            m_keptLeftovers.append(leftover);
        // Saved straight away, the log starts empty again; a cancelled save keeps them in it.
        if (box.clickedButton() == save && saveasClick()) {
            m_log.RecordNew();
            m_unsaved.emptied();
            m_journalFromRow = 0;
        }
    }
}

void LogCommands::syncJournal()
{
    if (m_journalError.isEmpty()) {
        if (const QString error = m_journalOutput.flush(); !error.isEmpty())
            journalFailed(error);
        return;
    }
    if (!m_log.isOpen())
        return;
    // Written whole from the log, so that it holds every unsaved reading again, records taken
    // while it failed included; then it takes the records as before.
    const std::int64_t fromRow = std::min(m_journalFromRow, m_log.table().recordCount());
    if (const QString error = m_journalOutput.rebuild(m_log, fromRow); !error.isEmpty()) {
        journalFailed(error);
        return;
    }
    m_recorder.addOutput(&m_journalOutput);
    m_journalError.clear();
    for (RecoveryJournal::Leftover &kept : m_keptLeftovers)
        RecoveryJournal::removeLeftover(kept);
    m_keptLeftovers.clear();
    qWarning("vorlatt: the recovery journal is written again: %s",
             qPrintable(m_journal.path()));
    if (m_journalListener)
        m_journalListener({}, false);
}

QString LogCommands::INDataToTable(const protocol::MeterReading &reading,
                                   const LogSettings &settings, const QString &fullUnit)
{
    // A closed log takes nothing and reports nothing.
    // A log as full as a table can be takes no more: the status panel says so.
    if (!m_errors.admitsReadings() || !m_log.isOpen() || m_log.tableFull())
        return {};
    const ReadingRecorder::Outcome outcome = m_recorder.offer(reading, settings, fullUnit);
    QString error = outcome.ruleError;
    if (outcome.recorded) {
        error = outcome.errorOf(&m_log);
        if (error.isEmpty())
            m_unsaved.logged();
        // A journal that fails never stops the log: the window says so, and the journal is
        // written whole again once it can be (see syncJournal()).
        if (const QString journalError = outcome.errorOf(&m_journalOutput);
            !journalError.isEmpty())
            journalFailed(journalError);
    }
    m_logError = error;
    if (error.isEmpty() || !m_errors.failed(error))
        return {};
    return error;
}

void LogCommands::RecordSITimeChange(const QString &text)
{
    m_errors.freshStart();
    const QString error = m_log.rules().RecordSITimeChange(text);
    if (!error.isEmpty())
        showError(error);
}

// Without unsaved readings the box comes first and cannot cancel; readings logged while it is
// open go with the rest.
void LogCommands::RecordNewClick()
{
    if (m_unsaved.any()) {
        if (!mayDiscardReadings())
            return;
    } else {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Information"),
                        QStringLiteral(" Record deleted "), QMessageBox::Ok, m_window);
        fitTitle(box);
        box.exec();
    }
    m_errors.freshStart();
    const QString error = m_log.RecordNew();
    if (!error.isEmpty())
        showError(error);
    else {
        m_unsaved.emptied();
        retireJournal();
    }
}

bool LogCommands::mayDiscardReadings()
{
    if (!m_unsaved.any())
        return true;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Vorlatt"),
                    QStringLiteral("The log holds readings that have not been saved."),
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, m_window);
    box.setObjectName(QStringLiteral("UnsavedQuestion"));
    box.setInformativeText(QStringLiteral("Save them first?"));
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
    case QMessageBox::Save:
        return saveasClick();
    case QMessageBox::Discard:
        return true;
    default:
        return false;
    }
}

void LogCommands::setRecordLimit(int item)
{
    m_log.rules().setLimit(ReadingLog::kLimitItems[std::size_t(item)]);
}

void LogCommands::SpeedButton2Click()
{
    if (!OpenDialog1)
        OpenDialog1 = DataFileDialogs::openDialog(m_window);
    else
        DataFileDialogs::openInStartFolder(OpenDialog1);
    const int answer = OpenDialog1->exec();
    DataFileDialogs::closeLeftovers(OpenDialog1);
    if (answer != QDialog::Accepted)
        return;
    DataFileDialogs::rememberFolder(OpenDialog1->selectedFiles().value(0));
    // A file that is a reading log takes the place of the log's readings: unsaved ones are
    // asked about then, not before a file that is refused anyway.
    bool replaced = false;
    const QString error = m_log.openOldFile(OpenDialog1->selectedFiles().value(0), [&] {
        replaced = mayDiscardReadings();
        return replaced;
    });
    if (!error.isEmpty()) {
        showError(error);
    } else if (replaced) {
        m_errors.freshStart();
        m_unsaved.saved();
        retireJournal();
    }
}

bool LogCommands::saveasClick()
{
    // A fresh dialog, in the folder last used: it always opens with an empty name.
    delete SaveDialog2;
    SaveDialog2 = DataFileDialogs::saveDialog(m_window);
    const int answer = SaveDialog2->exec();
    DataFileDialogs::closeLeftovers(SaveDialog2);
    if (answer != QDialog::Accepted)
        return false;
    const QString path = SaveDialog2->selectedFiles().value(0);
    DataFileDialogs::rememberFolder(path);
    const DataFiles::SaveKind kind = DataFiles::kindOf(path);
    if (kind == DataFiles::SaveKind::Paradox) {
        const QString error = m_dataFiles.SaveLogAsDb(m_log, path);
        if (!error.isEmpty()) {
            showError(error);
            return false;
        }
        m_unsaved.saved();
        retireJournal();
        if (m_saved)
            m_saved(path, m_log.table().recordCount());
        return true;
    }
    const DataFiles::TextResult saved = kind == DataFiles::SaveKind::Csv
                                            ? m_dataFiles.SaveLogAsCsv(m_log, path)
                                            : m_dataFiles.SaveLogAsText(m_log, path);
    if (saved.kind != DataFiles::TextResult::Kind::Saved) {
        showError(saved.message);
        return false;
    }
    m_unsaved.saved();
    retireJournal();
    QMessageBox::information(m_window, QStringLiteral("Vorlatt"), saved.message);
    return true;
}

void LogCommands::BtPrintClick()
{
    const LogReport report(m_log);
    ReportPreview preview(report, m_window);
    // The preview covers the window while it is open, and a notice in the window's status panel
    // would be gone before it could be seen: the PDF saved last is told once the window shows
    // again (the preview names it meanwhile).
    QString pdf;
    qint64 records = 0;
    QObject::connect(&preview, &ReportPreview::pdfSaved, &preview,
                     [&](const QString &path, qint64 count) {
                         pdf = path;
                         records = count;
                     });
    preview.exec();
    if (!pdf.isEmpty() && m_saved)
        m_saved(pdf, records);
}
