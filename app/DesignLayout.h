#pragma once

#include "protocol/ModelProfile.h"

#include <QRect>

class QMainWindow;
class QWidget;
namespace Ui {
class FCOMM;
}

// The window's design, applied to the controls the form created: pixel fonts, the check box
// style, pictures, the fixed size and the rule that places the right-hand controls for the
// window's width. The arithmetic is plain so that it can be tested without a window.
namespace design {

constexpr int kClientWidth = 620;
constexpr int kClientHeight = 449;
// The window's outer width as designed: the client area plus a 3-pixel frame on each side. The
// layout rule works from it rather than from the frame a window manager happens to draw, so the
// dial panel is the same width on every desktop (and with no window manager at all).
constexpr int kDesignOuterWidth = kClientWidth + 2 * 3;

// Where the resize rule puts the controls that follow the window's outer width.
struct ResizedLayout
{
    int BtExitX = 0;
    int BTConX = 0; // also BtDiscon, which takes its place
    int KDWidth = 0;
    int KD2Width = 0;
    int KD2Height = 0;
    int ChtshowY = 0;
    QRect KD1; // the dial's picture, inside the panel's bevel
};
ResizedLayout resizedLayout(int outerWidth, int kdHeight);

// The font stretch (percent) that makes a caption `needed` pixels wide fit `room` pixels: 100 when
// it fits, never below 50.
int captionStretch(int room, int needed);

// Fonts are given in pixels, which a .ui file cannot express; each control carries its design
// font as the property "pixelFont" = "family|pixels[|flags]" (b bold, i italic), where the family
// "display" is the meter's segment font.
void applyDesignFonts(QWidget *window);
// The design's 13-pixel check box indicator on every check box, and captions that still do not
// fit condensed just enough.
void fitCheckBoxCaptions(QWidget *window);
// The window icon, every picture control's picture and every glyph button's glyph.
void applyPictures(QMainWindow *window, Ui::FCOMM &ui);
// One fixed-size window, centred: the menu bar at its laid-out height plus the client area, with
// a system menu, Minimize and Close but no Maximize.
void fixWindowSize(QMainWindow *window);
// The profile switches as the layout's check boxes hold them; `replacement` (tests) is written
// into the check boxes first.
ProfileSwitches profileSwitches(Ui::FCOMM &ui, const ProfileSwitches *replacement);

} // namespace design
