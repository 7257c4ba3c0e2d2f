#pragma once

#include <QFont>
#include <QPixmap>
#include <QString>

// The display font and the pictures, compiled into the program as Qt
// resources. The font and pixmap functions need a QGuiApplication.
namespace assets {

// Registers the segment display font on first use and returns its family
// ("Vorlatt LCD"). Returns an empty string, after a warning, if the font
// could not be registered; a QFont built from that falls back to the default.
QString displayFontFamily();

// The display font at a height in pixels (values below 1 are taken as 1).
QFont displayFont(int pixelSize, bool bold = false);

// A picture by its base name, e.g. "CONok" or "LCDsend"; an extension may be
// given but is not needed. A null pixmap, after a warning, if there is none.
QPixmap picture(const QString &name);

// The resource path of a picture, e.g. ":/pictures/Image1.gif" for a QMovie;
// empty if there is no such picture.
QString picturePath(const QString &name);

} // namespace assets
