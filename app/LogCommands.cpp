#include "LogCommands.h"

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
#include <QMessageBox>
#include <QPushButton>

#include <cstring>

LogCommands::LogCommands(QWidget *window)
    : m_window(window), m_model(std::make_unique<LogTableModel>(m_log))
{
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
    m_journal.retire();
}

QByteArray LogCommands::journalHeader()
{
    return QByteArrayLiteral("No\tTime\tDC/AC\tValue\tUnit\tAUTO\tNval\tDateTime\tFullUnit");
}

// The grid's six columns as the log holds them, then the number, the date and time and the unit
// with its hertz prefix, which a restore needs. Tabs and line ends cannot occur in the meter's
// texts.
QByteArray LogCommands::journalLine() const
{
    const table::Table &t = m_log.table();
    QByteArray line;
    for (const char *name : LogTableLayout::kColumnNames) {
        line += QByteArray::fromStdString(t.text(name));
        line += '\t';
    }
    line += QByteArray::fromStdString(t.text(LogTableLayout::kNumeric));
    line += '\t';
    const ReadingLog::RecordStamp stamp = m_log.lastStamp();
    line += stamp.when.toString(Qt::ISODateWithMs).toLatin1();
    line += '\t';
    line += stamp.fullUnit.isEmpty() ? QByteArray::fromStdString(t.text(LogTableLayout::kUnit))
                                     : stamp.fullUnit.toUtf8();
    return line;
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
        const ReadingLog::JournalCount count = ReadingLog::countJournal(leftover.lines);
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
        for (const QByteArray &line : restored.lines) {
            if (!m_journal.isStarted())
                startJournal();
            if (m_journal.append(line).isEmpty() && line.startsWith(ReadingLog::kPortLine))
                m_journalPort = QString::fromUtf8(line.mid(qsizetype(strlen(ReadingLog::kPortLine))));
        }
        m_journal.sync();
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
        RecoveryJournal::removeLeftover(leftover);
        // Saved straight away, the log starts empty again; a cancelled save keeps them in it.
        if (box.clickedButton() == save && saveasClick()) {
            m_log.RecordNew();
            m_unsaved.emptied();
        }
    }
}

QString LogCommands::startJournal()
{
    m_journalPort.clear();
    return m_journal.start(RecoveryJournal::defaultFolder(), journalHeader());
}

void LogCommands::setPort(const QString &port)
{
    if (port.isEmpty())
        return; // a link ended: the next one names its own
    m_port = port;
    m_port.remove(u'\t').remove(u'\n').remove(u'\r');
}

void LogCommands::syncJournal()
{
    if (m_journal.isStarted())
        m_journal.sync();
}

QString LogCommands::INDataToTable(const protocol::MeterReading &reading,
                                   const LogSettings &settings, const QString &fullUnit)
{
    if (!m_errors.admitsReadings())
        return {};
    const ReadingLog::Outcome outcome = m_log.INDataToTable(reading, settings, fullUnit);
    if (outcome.logged) {
        m_unsaved.logged();
        // The record also goes to the journal, which outlives a crash of this program.
        QString journalError;
        if (!m_journal.isStarted())
            journalError = startJournal();
        // Which meter the records came from: said again whenever the port changes.
        if (journalError.isEmpty() && !m_port.isEmpty() && m_port != m_journalPort) {
            journalError = m_journal.append(ReadingLog::kPortLine + m_port.toUtf8());
            if (journalError.isEmpty())
                m_journalPort = m_port;
        }
        if (journalError.isEmpty())
            journalError = m_journal.append(journalLine());
        if (!journalError.isEmpty() && !m_journalFailed) {
            m_journalFailed = true;
            qWarning("vorlatt: the recovery journal cannot be written: %s",
                     qPrintable(journalError));
        }
    }
    if (outcome.error.isEmpty() || !m_errors.failed(outcome.error))
        return {};
    return outcome.error;
}

void LogCommands::RecordSITimeChange(const QString &text)
{
    m_errors.freshStart();
    const QString error = m_log.RecordSITimeChange(text);
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
        QMessageBox::information(m_window, QStringLiteral("Information"),
                                 QStringLiteral(" Record deleted "));
    }
    m_errors.freshStart();
    const QString error = m_log.RecordNew();
    if (!error.isEmpty())
        showError(error);
    else {
        m_unsaved.emptied();
        m_journal.retire();
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
    m_log.setLimit(ReadingLog::kLimitItems[std::size_t(item)]);
}

void LogCommands::SpeedButton2Click()
{
    if (!OpenDialog1)
        OpenDialog1 = DataFileDialogs::openDialog(m_window);
    if (OpenDialog1->exec() != QDialog::Accepted)
        return;
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
        m_journal.retire();
    }
}

bool LogCommands::saveasClick()
{
    // A fresh dialog in the folder the last one was left in: it always opens with an empty name.
    const QString folder = SaveDialog2 ? SaveDialog2->directory().absolutePath() : QString();
    delete SaveDialog2;
    SaveDialog2 = DataFileDialogs::saveDialog(m_window);
    if (!folder.isEmpty())
        SaveDialog2->setDirectory(folder);
    if (SaveDialog2->exec() != QDialog::Accepted)
        return false;
    const QString path = SaveDialog2->selectedFiles().value(0);
    const DataFiles::SaveKind kind = DataFiles::kindOf(path);
    if (kind == DataFiles::SaveKind::Paradox) {
        const QString error = m_dataFiles.SaveTableAsDb(m_log.table(), path);
        if (!error.isEmpty()) {
            showError(error);
            return false;
        }
        m_unsaved.saved();
        m_journal.retire();
        return true;
    }
    const DataFiles::TextResult saved = kind == DataFiles::SaveKind::Csv
                                            ? m_dataFiles.SaveLogAsCsv(m_log, path)
                                            : m_dataFiles.SaveTableAsText(m_log.table(), path);
    if (saved.kind != DataFiles::TextResult::Kind::Saved) {
        showError(saved.message);
        return false;
    }
    m_unsaved.saved();
    m_journal.retire();
    QMessageBox::information(m_window, QStringLiteral("Vorlatt"), saved.message);
    return true;
}

void LogCommands::BtPrintClick()
{
    const LogReport report(m_log.table());
    ReportPreview preview(report, m_window);
    preview.exec();
}
