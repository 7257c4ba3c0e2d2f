#include "LogCommands.h"

#include "log/DataFileDialogs.h"
#include "log/LogGridView.h"
#include "log/LogReport.h"
#include "log/LogTableModel.h"
#include "log/ReportPreview.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

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
// folder of an installed program.
bool LogCommands::openLogTable()
{
    const QString bin = QCoreApplication::applicationDirPath();
    const QString error = m_log.open({bin, QDir(bin).filePath(QStringLiteral("../share/vorlatt"))});
    if (!error.isEmpty()) {
        // Also on standard error, where a start without a desktop (or a packaging check) sees it.
        qWarning("vorlatt: the log table Tarvodb cannot be opened: %s", qPrintable(error));
        showError(error);
    }
    return error.isEmpty();
}

void LogCommands::closeLogTable()
{
    m_log.close();
}

QString LogCommands::INDataToTable(const protocol::MeterReading &reading,
                                   const LogSettings &settings)
{
    if (!m_errors.admitsReadings())
        return {};
    const ReadingLog::Outcome outcome = m_log.INDataToTable(reading, settings);
    if (outcome.logged)
        m_unsaved.logged();
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
    else
        m_unsaved.emptied();
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
    const QString error = m_log.openOldFile(OpenDialog1->selectedFiles().value(0));
    if (!error.isEmpty()) {
        showError(error);
    } else {
        m_errors.freshStart();
        m_unsaved.saved();
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
    if (DataFiles::isParadoxName(path)) {
        const QString error = m_dataFiles.SaveTableAsDb(m_log.table(), path);
        if (!error.isEmpty()) {
            showError(error);
            return false;
        }
        m_unsaved.saved();
        return true;
    }
    const DataFiles::TextResult saved = m_dataFiles.SaveTableAsText(m_log.table(), path);
    if (saved.kind != DataFiles::TextResult::Kind::Saved) {
        showError(saved.message);
        return false;
    }
    m_unsaved.saved();
    QMessageBox::information(m_window, QStringLiteral("Vorlatt"), saved.message);
    return true;
}

void LogCommands::BtPrintClick()
{
    const LogReport report(m_log.table());
    ReportPreview preview(report, m_window);
    preview.exec();
}
