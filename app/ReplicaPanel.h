#pragma once

#include "protocol/DecodedFrame.h"

#include <QColor>
#include <QList>
#include <QPalette>

class QWidget;
namespace Ui {
class FCOMM;
}

// The replica of the meter's display: which control shows which annunciator, and the display
// steps a decoded frame goes through, in the order the window runs them for every frame:
//
//   showLinkAlive   link picture lit, banner shown (the watchdog counter is the window's)
//   blank           every annunciator hidden, the raw-data memo as its box says, the send mark
//   showFlags       the annunciators, the sign and the decimal point of the frame
//   (the reading, the alarm check and the running extremes: the window)
//   showDigits      the four digits and the bar graph's scale for the unit shown
//   (the dial, the log: the window)
//   showBar         the bar graph's position
//   (the chart: the window)
//
// A frame whose point code is garbled stops after blank(); one whose digits are garbled stops
// after showFlags().
//
// showStale() greys the reading's sign, digits, decimal point and bar graph while the meter is
// silent: still readable, plainly not live. Colours only: what the controls show stays.
class ReplicaPanel
{
public:
    explicit ReplicaPanel(Ui::FCOMM &ui);

    void showLinkAlive();
    void blank(bool showRawData);
    void showFlags(const protocol::DecodedFrame &f);
    void showDigits(const protocol::DecodedFrame &f);
    void showBar(int position);
    void showStale(bool stale);

    // The mid grey of a stale reading.
    static QColor staleColour() { return QColor(128, 128, 128); }

    // The control that shows an annunciator, and when it is set: shown when the flag is set
    // (the others stay blank), or shown or hidden by the flag after the sign and point.
    enum class When
    {
        ShownIfSet,
        ByFlag,
        ByFlagAfterPoint,
    };
    struct Control
    {
        protocol::Annunciator flag;
        const char *name;
        When when;
    };
    static const QList<Control> &annunciatorControls();

private:
    Ui::FCOMM &m_ui;
    QList<QWidget *> m_blanked;
    QList<QWidget *> m_flagControls; // in the order of annunciatorControls()
    // The reading's controls with their live palettes, and the colour role grey takes over.
    struct Greyed
    {
        QWidget *control = nullptr;
        QPalette live;
        QPalette::ColorRole role = QPalette::WindowText;
    };
    QList<Greyed> m_greyed;
};
