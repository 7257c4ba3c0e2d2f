#pragma once

#include "ReadingStatus.h"

#include <QString>

class QLabel;
class QWidget;

// The status bar's clock panel as the window shows it: the clock, or what the user must know
// instead, which ReadingStatus decides; the panel is narrow, so the whole reason of a lost link
// or an unprotected log shows on hovering it.
class ClockPanel
{
public:
    ClockPanel(QLabel *panel, ReadingStatus &status) : m_panel(panel), m_status(status) {}

    // The text for now.
    void show();
    // A save that shows no box says what it wrote for a few seconds: the file's name alone,
    // shortened in the middle if even that is too long.
    void showSaved(const QString &path, qint64 records);
    // The recovery journal cannot be written (`error`, "" once it can again).
    void showJournalState(const QString &error);
    // The link went away on its own (`reason`), or "" once it is back.
    void showLinkLost(const QString &reason);

    // Says once, over `window` and without blocking, that readings are not protected while the
    // journal cannot be written.
    static void warnJournal(QWidget *window, const QString &error);

private:
    void showTip();

    QLabel *m_panel;
    ReadingStatus &m_status;
    QString m_journalTip;
    QString m_linkTip;
};
