#include "GuideWindow.h"

#include <QAbstractTextDocumentLayout>
#include <QFileInfo>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

namespace {

// Lays the guide out to its end before going to a section: the document is laid out a piece at a
// time as it is shown, and a heading below the laid-out part has no place to scroll to yet.
class GuideBrowser : public QTextBrowser
{
public:
    using QTextBrowser::QTextBrowser;

protected:
    void doSetSource(const QUrl &name, QTextDocument::ResourceType type) override
    {
        QTextBrowser::doSetSource(name, type);
        if (name.hasFragment()) {
            QTextDocument *doc = document();
            doc->documentLayout()->blockBoundingRect(doc->lastBlock());
            scrollToAnchor(name.fragment());
        }
    }
};

} // namespace

GuideWindow::GuideWindow(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("GuideWindow"));
    setWindowTitle(QStringLiteral("Vorlatt user guide"));
    setWindowFlag(Qt::WindowMaximizeButtonHint);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    m_browser = new GuideBrowser(this);
    m_browser->setOpenExternalLinks(true);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    resize(820, 760);
    // Every page shown, the guide or one it links to, gets its headings named for its links.
    connect(m_browser, &QTextBrowser::sourceChanged, this, [this] { nameHeadings(); });
}

bool GuideWindow::showGuide(const QString &path)
{
    if (!QFileInfo(path).isReadable())
        return false;
    // Pictures and linked pages are found relative to the guide's own folder.
    m_browser->setSource(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()),
                         QTextDocument::MarkdownResource);
    nameHeadings();
    return !m_browser->document()->isEmpty();
}

QString GuideWindow::headingAnchor(const QString &heading)
{
    QString anchor;
    for (const QChar c : heading.toLower()) {
        if (c.isLetterOrNumber() || c == u'-' || c == u'_')
            anchor += c;
        else if (c == u' ')
            anchor += u'-';
    }
    return anchor;
}

// The Markdown reader gives headings no names, so links to "#section" would lead nowhere: each
// heading is named as the guide's links (and the web's Markdown pages) name it.
void GuideWindow::nameHeadings()
{
    QTextDocument *doc = m_browser->document();
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        if (block.blockFormat().headingLevel() == 0 || block.text().isEmpty())
            continue;
        QTextCursor cursor(block);
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        QTextCharFormat format;
        format.setAnchor(true);
        format.setAnchorNames({headingAnchor(block.text())});
        cursor.mergeCharFormat(format);
    }
    doc->setModified(false);
}
