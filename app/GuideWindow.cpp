#include "GuideWindow.h"

#include <QAbstractTextDocumentLayout>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QPixmap>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextList>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

// Lays the guide out to its end before going to a section: the document is laid out a piece at a
// time as it is shown, and a heading below the laid-out part has no place to scroll to yet.
//
// Shows every picture wider than the page scaled down to the page's width, keeping its aspect
// ratio, and each narrower one at its own size: a screenshot wider than the window would be cut
// off, and one blown up beyond its pixels blurs. The page holds each picture scaled smoothly to
// the size shown, as the text layout itself would draw a scaled picture pixel by pixel.
class GuideBrowser : public QTextBrowser
{
public:
    explicit GuideBrowser(QWidget *parent) : QTextBrowser(parent)
    {
        // Once a resize has settled, not at every step of a drag.
        m_fitTimer.setSingleShot(true);
        m_fitTimer.setInterval(0);
        connect(&m_fitTimer, &QTimer::timeout, this, [this] { fitPictures(); });
    }

protected:
    void doSetSource(const QUrl &name, QTextDocument::ResourceType type) override
    {
        const bool samePage = name.adjusted(QUrl::RemoveFragment) ==
                              source().adjusted(QUrl::RemoveFragment);
        QTextBrowser::doSetSource(name, type);
        if (!samePage) {
            m_pictures.clear();
            fitPictures();
        }
        if (name.hasFragment()) {
            QTextDocument *doc = document();
            doc->documentLayout()->blockBoundingRect(doc->lastBlock());
            scrollToAnchor(name.fragment());
        }
    }

    void resizeEvent(QResizeEvent *event) override
    {
        QTextBrowser::resizeEvent(event);
        if (viewport()->width() != m_fittedWidth || devicePixelRatio() != m_fittedRatio)
            m_fitTimer.start();
    }

private:
    void fitPictures();
    // The picture as its file holds it.
    QImage original(const QString &name);

    QHash<QString, QImage> m_pictures; // the page's pictures as their files hold them, by name
    QTimer m_fitTimer;
    int m_fittedWidth = -1;
    qreal m_fittedRatio = 0;
};

QImage GuideBrowser::original(const QString &name)
{
    if (const auto found = m_pictures.constFind(name); found != m_pictures.constEnd())
        return *found;
    const QVariant data = loadResource(QTextDocument::ImageResource, QUrl(name));
    QImage image = data.userType() == QMetaType::QImage ? data.value<QImage>()
                   : data.userType() == QMetaType::QPixmap
                       ? data.value<QPixmap>().toImage()
                       : QImage::fromData(data.toByteArray());
    m_pictures.insert(name, image);
    return image;
}

void GuideBrowser::fitPictures()
{
    QTextDocument *doc = document();
    m_fittedWidth = viewport()->width();
    m_fittedRatio = devicePixelRatio();
    struct Picture
    {
        int position = 0;
        int length = 0;
        QTextImageFormat format;
    };
    QList<Picture> pictures;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        const QTextBlockFormat blockFormat = block.blockFormat();
        qreal indent = blockFormat.leftMargin() + blockFormat.rightMargin() +
                       blockFormat.indent() * doc->indentWidth();
        if (const QTextList *list = block.textList())
            indent += list->format().indent() * doc->indentWidth();
        const qreal room = m_fittedWidth - 2 * doc->documentMargin() - indent;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.charFormat().isImageFormat())
                continue;
            QTextImageFormat format = fragment.charFormat().toImageFormat();
            const QImage image = original(format.name());
            if (image.isNull())
                continue;
            const QSizeF natural = image.deviceIndependentSize();
            const qreal width = std::max<qreal>(1, std::floor(std::min(natural.width(), room)));
            const qreal height = std::max<qreal>(1, std::round(width * natural.height() /
                                                               natural.width()));
            const QSize pixels(int(std::lround(width * m_fittedRatio)),
                               int(std::lround(height * m_fittedRatio)));
            QImage shown = pixels == image.size()
                               ? image
                               : image.scaled(pixels, Qt::IgnoreAspectRatio,
                                              Qt::SmoothTransformation);
            shown.setDevicePixelRatio(m_fittedRatio);
            // The page finds its pictures by their names resolved against its own address.
            doc->addResource(QTextDocument::ImageResource,
                             doc->baseUrl().resolved(QUrl(format.name())), shown);
            if (format.width() == width && format.height() == height)
                continue;
            format.setWidth(width);
            format.setHeight(height);
            pictures.append({fragment.position(), fragment.length(), format});
        }
    }
    const bool modified = doc->isModified();
    for (const Picture &picture : std::as_const(pictures)) {
        QTextCursor cursor(doc);
        cursor.setPosition(picture.position);
        cursor.setPosition(picture.position + picture.length, QTextCursor::KeepAnchor);
        cursor.setCharFormat(picture.format);
    }
    doc->setModified(modified);
    if (!pictures.isEmpty())
        doc->markContentsDirty(0, doc->characterCount());
    viewport()->update();
}

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
