#pragma once

#include "DialGeometry.h"
#include "DialInputs.h"
#include "DialScale.h"

#include <QFont>
#include <QImage>
#include <QPoint>
#include <QRect>

class QFontMetrics;

// The analog dial, drawn on the off-screen picture KD1. The window shows image() stretched
// over the dial panel KD (a QLabel with scaled contents) after each change.
//
// Window handlers and what they call:
//   FormCreate, last steps:  KDsetup(inputs); KDrun(CountTenth)
//   LcdDisplayUlmara, after the digits (each decoded frame):
//                            KDsetup(inputs); KDrun(CountTenth); KDrun(the frame's needle value)
//   SetmaxExit / SetMinExit: KDsetup(inputs) only (the needle stays away until the next frame)
//
// The face is the same drawing frame after frame unless its inputs change, so it is drawn
// once per change and kept; KDsetup starts from that copy, which is pixel for pixel what
// drawing it anew gives. The needle is erased by drawing the last one again in the panel's
// colour, so moving it costs two lines.
class Dial
{
public:
    // The panel's bevel: the picture fills the panel inside it.
    static constexpr int kPanelBevel = 1;

    // Size of the picture for a panel; fixed when the picture is first drawn on.
    static QSize pictureSizeFor(int panelWidth, int panelHeight);

    // Clears the picture and draws the face for `inputs`; the needle is not drawn.
    void KDsetup(const DialInputs &inputs);

    // Erases the needle drawn last and draws it at `position` (0 .. 10 * CountFiftieth; not
    // clamped, so a reading beyond the scale turns the needle past its ends). Does nothing
    // before the first KDsetup.
    void KDrun(int position);

    const QImage &image() const { return m_image; }
    const DialInputs &inputs() const { return m_inputs; }
    const DialGeometry &geometry() const { return m_geometry; }

    QPoint LastNeedleTip() const { return m_lastNeedleTip; }
    QPoint LastNeedleBase() const { return m_lastNeedleBase; }

    // Font of the scale labels; changing it redraws the face at the next KDsetup.
    void setLabelFont(const QFont &font);

    // How many times the face has been drawn from scratch (the rest came from the cache).
    int facesDrawn() const { return m_facesDrawn; }

    // Draws the face for `inputs` into `image` from scratch.
    static void drawFace(QImage &image, const DialInputs &inputs, const QFont &labelFont);

    // Where a scale label is drawn on a picture of the size `picture` (inside it).
    static QRect labelBox(const DialGeometry &g, const DialLabel &label, int steps,
                          const QFontMetrics &metrics, const QRect &picture);

    // The labels' font unless setLabelFont says otherwise.
    static QFont defaultLabelFont();

private:
    QImage m_image; // KD1
    QImage m_face;  // the face drawn last, without a needle
    bool m_faceValid = false;
    DialInputs m_inputs;
    DialInputs m_faceInputs;
    DialGeometry m_geometry;
    QFont m_labelFont = defaultLabelFont();
    QPoint m_lastNeedleTip;
    QPoint m_lastNeedleBase;
    int m_facesDrawn = 0;
};
