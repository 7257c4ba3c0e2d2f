#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>

class QTextBrowser;

// The user guide as a page: its Markdown rendered, with its pictures (which lie beside it in
// "pictures/") and its table of contents working. Links to the web go to the desktop's browser.
// One window, not modal, so the user reads it beside the main window.
class GuideWindow : public QDialog
{
    Q_OBJECT
public:
    explicit GuideWindow(QWidget *parent = nullptr);

    // Shows the guide file `path`. Returns false if it cannot be read.
    bool showGuide(const QString &path);
    QTextBrowser *browser() const { return m_browser; }

    // The anchor a heading gets, as the guide's own links name it: lower case, spaces as
    // hyphens, punctuation other than hyphens dropped ("Logging without a window: `vorlatt-log`"
    // becomes "logging-without-a-window-vorlatt-log").
    static QString headingAnchor(const QString &heading);

private:
    void nameHeadings();

    QTextBrowser *m_browser = nullptr;
};
