#include "DesignLayout.h"

#include "ui_FCOMM.h"

#include "assets/Assets.h"
#include "views/Dial.h"

#include <QMenuBar>
#include <QMovie>
#include <QProxyStyle>
#include <QScreen>

namespace design {

namespace {

// The design's check boxes were laid out for a 13-pixel box with a narrow gap before the
// caption; the default style's larger indicator and spacing would cut "Repeat" and "Sampling
// Interval" short.
class DesignCheckBoxStyle : public QProxyStyle
{
public:
    int pixelMetric(PixelMetric metric, const QStyleOption *option,
                    const QWidget *widget) const override
    {
        switch (metric) {
        case PM_IndicatorWidth:
        case PM_IndicatorHeight:
            return 13;
        case PM_CheckBoxLabelSpacing:
            return 2;
        default:
            return QProxyStyle::pixelMetric(metric, option, widget);
        }
    }
};

} // namespace

ResizedLayout resizedLayout(int outerWidth, int kdHeight)
{
    ResizedLayout r;
    r.BtExitX = outerWidth - 80;
    r.BTConX = outerWidth - 190;
    r.KDWidth = outerWidth - 303;
    r.KD2Width = outerWidth - 305;
    r.KD2Height = kdHeight - 6;
    r.ChtshowY = kdHeight + 34;
    // The dial's picture fills its panel inside the bevel, stretched.
    r.KD1 = QRect(0, 0, r.KDWidth, kdHeight)
                .adjusted(Dial::kPanelBevel, Dial::kPanelBevel, -Dial::kPanelBevel,
                          -Dial::kPanelBevel);
    return r;
}

int captionStretch(int room, int needed)
{
    if (needed <= room || room <= 0)
        return 100;
    return qMax(50, 100 * room / needed);
}

void applyDesignFonts(QWidget *window)
{
    // The design's fonts are Windows fonts; Liberation Sans has Arial's metrics, so captions fit
    // the controls they were laid out for.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
    QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
    QList<QWidget *> widgets = window->findChildren<QWidget *>();
    widgets.prepend(window);
    for (QWidget *w : std::as_const(widgets)) {
        const QVariant font = w->property("pixelFont");
        if (!font.isValid())
            continue;
        const QStringList parts = font.toString().split(u'|');
        QFont f = w->font();
        f.setFamily(parts.value(0) == u"display" ? assets::displayFontFamily() : parts.value(0));
        f.setPixelSize(parts.value(1).toInt());
        const QString flags = parts.value(2);
        f.setBold(flags.contains(u'b'));
        f.setItalic(flags.contains(u'i'));
        w->setFont(f);
    }
}

// The design's captions were measured in a narrower font than ours: with the design's small
// indicator most fit their boxes, and a caption that still would not (the sampling caption, whose
// blanks leave room for the interval box) is condensed just enough to fit.
void fitCheckBoxCaptions(QWidget *window)
{
    auto *style = new DesignCheckBoxStyle; // one for every check box; the window owns it
    style->setParent(window);
    const int indent = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, nullptr) +
                       style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, nullptr);
    for (QCheckBox *box : window->findChildren<QCheckBox *>()) {
        box->setStyle(style);
        const int stretch = captionStretch(box->width() - indent,
                                           box->fontMetrics().horizontalAdvance(box->text()));
        if (stretch != 100) {
            QFont font = box->font();
            font.setStretch(stretch);
            box->setFont(font);
        }
    }
}

void applyPictures(QMainWindow *window, Ui::FCOMM &ui)
{
    QIcon icon;
    icon.addPixmap(assets::picture(QStringLiteral("WindowIcon")));
    icon.addPixmap(assets::picture(QStringLiteral("WindowIcon32")));
    window->setWindowIcon(icon);

    const QList<QLabel *> pictures = {ui.CONok, ui.CONokN,   ui.LCDsend, ui.LCDREL,
                                      ui.EF,    ui.LCDpower, ui.TbFd,    ui.TbSx};
    for (QLabel *label : pictures)
        label->setPixmap(assets::picture(label->objectName()));
    const QList<QAbstractButton *> glyphButtons = {
        ui.RecordNew, ui.OpenDataFiles, ui.saveas,     ui.BtPrint, ui.BtNew,
        ui.BtSave,    ui.BtFirst,       ui.BTPrevious, ui.BtNext,  ui.BTlast};
    for (QAbstractButton *button : glyphButtons) {
        const QPixmap glyph = assets::picture(button->objectName());
        button->setIcon(glyph);
        button->setIconSize(glyph.size());
    }

    // The banner runs while it is shown: QMovie pauses itself when the label is hidden.
    auto *banner = new QMovie(assets::picturePath(QStringLiteral("Image1")), QByteArray(), window);
    ui.Image1->setMovie(banner);
    banner->start();
}

void fixWindowSize(QMainWindow *window)
{
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint);
    window->centralWidget()->setFixedSize(kClientWidth, kClientHeight);
    // Sized once the design's fonts are on: the window is exactly the menu bar, at the height the
    // main window's layout gives it for this width, plus the client area.
    QMenuBar *menu = window->menuBar();
    const int menuHeight = menu->hasHeightForWidth() ? qMax(menu->heightForWidth(kClientWidth),
                                                            menu->minimumSizeHint().height())
                                                     : menu->sizeHint().height();
    window->setFixedSize(kClientWidth, kClientHeight + menuHeight);
    if (const QScreen *screen = window->screen())
        window->move(screen->availableGeometry().center() - window->rect().center());
}

ProfileSwitches profileSwitches(Ui::FCOMM &ui, const ProfileSwitches *replacement)
{
    const std::pair<QCheckBox *, bool ProfileSwitches::*> boxes[] = {
        {ui.IFRostav, &ProfileSwitches::IFRostav},   {ui.IFTarvo, &ProfileSwitches::IFTarvo},
        {ui.IFQuindel, &ProfileSwitches::IFQuindel}, {ui.IFHestrin, &ProfileSwitches::IFHestrin},
        {ui.IFYorbel, &ProfileSwitches::IFYorbel},   {ui.IFZandor, &ProfileSwitches::IFZandor},
        {ui.IFUlmara, &ProfileSwitches::IFUlmara},   {ui.IFTolvik, &ProfileSwitches::IFTolvik},
        {ui.IFVarnol, &ProfileSwitches::IFVarnol},   {ui.IFWexlin, &ProfileSwitches::IFWexlin},
        {ui.IFSernic, &ProfileSwitches::IFSernic}};
    ProfileSwitches switches;
    for (const auto &[box, field] : boxes) {
        if (replacement)
            box->setChecked(replacement->*field);
        switches.*field = box->isChecked();
    }
    return switches;
}

} // namespace design
