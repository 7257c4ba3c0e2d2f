#include "ClockPanel.h"

#include "LogCommands.h"

#include <QDateTime>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>

void ClockPanel::show()
{
    m_panel->setText(m_status.clockPanelText(QDateTime::currentDateTime()));
}

void ClockPanel::showSaved(const QString &path, qint64 records)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QFontMetrics fm(m_panel->font());
    const int room = m_panel->contentsRect().width() -
                     fm.horizontalAdvance(ReadingStatus::savedText(records, QString()));
    const QString file = fm.elidedText(QFileInfo(path).fileName(), Qt::ElideMiddle, room);
    m_status.showNotice(ReadingStatus::savedText(records, file),
                        now.addSecs(ReadingStatus::kNoticeSeconds));
    show();
}

void ClockPanel::showJournalState(const QString &error)
{
    m_status.setUnprotected(LogCommands::shortReason(error));
    // The whole reason, with the journal's path.
    m_journalTip = error.isEmpty() ? QString()
                                   : ReadingStatus::unprotectedText(
                                         LogCommands::shortReason(error)) +
                                         u'\n' + error;
    showTip();
    show();
}

void ClockPanel::showLinkLost(const QString &reason)
{
    m_status.setLinkLost(reason);
    m_linkTip = reason.isEmpty()
                    ? QString()
                    : ReadingStatus::linkLostText(reason) +
                          QStringLiteral("\nThe port is opened again as soon as its device is "
                                         "back; \"COM Connect\" stops waiting for it.");
    showTip();
    show();
}

void ClockPanel::showTip()
{
    QStringList tips;
    for (const QString &tip : {m_linkTip, m_journalTip})
        if (!tip.isEmpty())
            tips << tip;
    m_panel->setToolTip(tips.join(u'\n'));
}

// The box does not block, so readings go on into the log behind it.
void ClockPanel::warnJournal(QWidget *window, const QString &error)
{
    auto *box = new QMessageBox(
        QMessageBox::Warning, QStringLiteral("Vorlatt"),
        QStringLiteral("Readings are not protected: the recovery journal cannot be written."),
        QMessageBox::Ok, window);
    box->setObjectName(QStringLiteral("JournalWarning"));
    box->setInformativeText(
        error +
        QStringLiteral("\n\nReadings are logged as usual, but a crash or a power cut would take "
                       "those not saved with it. The journal is tried again every second and "
                       "written whole once it can be; until then, save the readings to keep "
                       "them."));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->show();
}
