#include "Assets.h"

#include <QFile>
#include <QFontDatabase>
#include <QLoggingCategory>
#include <QStringList>

// Resources in a static library are only registered once their initialiser
// has run; the macro cannot be used inside a namespace.
static void initAssetResources()
{
    Q_INIT_RESOURCE(assets);
}

namespace assets {

namespace {

Q_LOGGING_CATEGORY(lcAssets, "vorlatt.assets")

constexpr auto kFontPath = ":/font/VorlattLCD.ttf";
constexpr auto kPictureDir = ":/pictures/";

void ensureResources()
{
    static const bool kDone = [] {
        initAssetResources();
        return true;
    }();
    Q_UNUSED(kDone);
}

} // namespace

QString displayFontFamily()
{
    // Thread-safe one-time registration: adding the font twice would leave a
    // second copy in the database for the rest of the run.
    static const QString kFamily = [] {
        ensureResources();
        const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(kFontPath));
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (id < 0 || families.isEmpty()) {
            qCWarning(lcAssets) << "display font could not be loaded from" << kFontPath;
            return QString();
        }
        return families.first();
    }();
    return kFamily;
}

QFont displayFont(int pixelSize, bool bold)
{
    QFont font(displayFontFamily());
    font.setPixelSize(qMax(1, pixelSize));
    font.setBold(bold);
    return font;
}

QString picturePath(const QString &name)
{
    ensureResources();
    // Only plain names: a path would reach outside the picture folder.
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return QString();

    const QString base = QString::fromLatin1(kPictureDir) + name;
    if (name.contains(QLatin1Char('.')) && QFile::exists(base))
        return base;
    for (const char *ext : {".png", ".jpg", ".gif"}) {
        const QString path = base + QLatin1String(ext);
        if (QFile::exists(path))
            return path;
    }
    return QString();
}

QPixmap picture(const QString &name)
{
    const QString path = picturePath(name);
    QPixmap pixmap;
    if (path.isEmpty())
        qCWarning(lcAssets) << "no picture named" << name;
    else if (!pixmap.load(path))
        qCWarning(lcAssets) << "picture could not be decoded:" << path;
    return pixmap;
}

} // namespace assets
