#include "Dial.h"

#include "DialScale.h"

#include <QFontMetrics>
#include <QPainter>

#include <cmath>
#include <cstring>

namespace {
// The panel KD is white; the needle is erased in its colour.
const QColor kPanelColour(255, 255, 255);
const QColor kFaceColour(255, 255, 255);
const QColor kBlack(0, 0, 0);
const QColor kRed(255, 0, 0);

// Ticks and dots are circles in the 2 x 2 box at `at`, outlined with a pen wider than the
// circle, so the outline covers the inside: a solid disc of diameter 2 + pen width around
// the box's centre. Qt's stroker leaves a hole in such a circle, so the disc is filled.
void drawDot(QPainter &p, const QPoint &at, const QColor &colour, int penWidth)
{
    const double radius = 1.0 + penWidth / 2.0;
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QPointF(at.x() + 1.0, at.y() + 1.0), radius, radius);
}
} // namespace

// The canvas's default font as designed was an 8-point sans serif; Liberation Sans has Arial's
// metrics and stands in for it, so the labels keep their designed widths. The system's default
// sans serif is often much wider.
QFont Dial::defaultLabelFont()
{
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(11);
    return font;
}

QSize Dial::pictureSizeFor(int panelWidth, int panelHeight)
{
    return {qMax(1, panelWidth - 2 * kPanelBevel), qMax(1, panelHeight - 2 * kPanelBevel)};
}

void Dial::setLabelFont(const QFont &font)
{
    m_labelFont = font;
    m_faceValid = false;
}

// The label's offsets from its anchor were chosen for a narrower font than ours, which would cut
// the end labels ("-1000", "1000") at the picture's edges: a label that would stick out is moved
// inward just far enough, and up off the arc. The scale itself keeps its geometry.
QRect Dial::labelBox(const DialGeometry &g, const DialLabel &label, int steps,
                     const QFontMetrics &metrics, const QRect &picture)
{
    const QPoint anchor = g.pointAt(double(g.R) + 18.0, g.angle(label.position, steps));
    QRect box(QPoint(anchor.x() - label.dx, anchor.y() - label.dy),
              QSize(metrics.horizontalAdvance(label.text), metrics.height()));
    const QRect designed = box;
    if (box.right() > picture.right())
        box.moveRight(picture.right());
    if (box.left() < picture.left())
        box.moveLeft(picture.left());
    if (box != designed) {
        // Moved inward, an end label would run into the arc's end, and the dots drawn after it
        // would cover its last digit: lift it until it clears the row of dots.
        const QPointF centre(g.W / 2.0 + 20.0, double(g.R) + 30.0);
        const double clear = double(g.R) + 8.0;
        auto distance = [&](const QRect &r) {
            const QPointF nearest(qBound(double(r.left()), centre.x(), double(r.right())),
                                  qBound(double(r.top()), centre.y(), double(r.bottom())));
            return std::hypot(nearest.x() - centre.x(), nearest.y() - centre.y());
        };
        while (box.top() > picture.top() && distance(box) < clear)
            box.translate(0, -1);
    }
    if (box.top() < picture.top())
        box.moveTop(picture.top());
    return box;
}

void Dial::drawFace(QImage &image, const DialInputs &in, const QFont &labelFont)
{
    image.fill(kFaceColour);
    const DialGeometry g = DialGeometry::fromPanel(in.panelWidth, in.panelHeight);
    const int n = in.CountFiftieth;
    if (!g.valid() || n <= 0)
        return;

    QPainter p(&image);
    p.setFont(labelFont);
    const QFontMetrics metrics(labelFont);

    const QList<DialLabel> labels = DialScale::labels(in.CountCode);
    const QColor tickColour = DialScale::tickColour(in.CountCode);
    const double tickRadius = double(g.R) + 6.0;
    const double dotRadius = double(g.R) + 3.0;

    for (int step = 0; step <= n; ++step) {
        for (const DialLabel &label : labels) {
            // Labels between two steps (the "1" scale) are drawn in the step before them.
            if (std::floor(label.position) != step)
                continue;
            const QRect box = labelBox(g, label, n, metrics, image.rect());
            p.fillRect(box, kFaceColour);
            p.setPen(kBlack);
            p.drawText(box.x(), box.y() + metrics.ascent(), label.text);
        }
        // Each label step also made an elliptic-arc call on a rectangle of zero height, which
        // encloses no ellipse; nothing is drawn for it.
        if (DialScale::isMajorTick(in.CountCode, step))
            drawDot(p, g.pointAt(tickRadius, g.angle(step, n)), tickColour, 2);
    }

    const int dots = 10 * n;
    for (int c = 0; c <= dots; ++c)
        drawDot(p, g.pointAt(dotRadius, g.angle(c, dots)),
                DialScale::dotIsRed(c, in) ? kRed : kBlack, 4);
}

void Dial::KDsetup(const DialInputs &inputs)
{
    m_inputs = inputs;
    m_geometry = DialGeometry::fromPanel(inputs.panelWidth, inputs.panelHeight);
    if (m_image.isNull())
        m_image =
            QImage(pictureSizeFor(inputs.panelWidth, inputs.panelHeight), QImage::Format_RGB32);

    if (!m_faceValid || m_faceInputs != inputs || m_face.size() != m_image.size()) {
        m_face = QImage(m_image.size(), m_image.format());
        drawFace(m_face, inputs, m_labelFont);
        m_faceInputs = inputs;
        m_faceValid = true;
        ++m_facesDrawn;
    }
    // Same size and format: copy the pixels into the picture's own buffer, so the needle's
    // drawing does not have to detach a shared copy first.
    std::memcpy(m_image.bits(), m_face.constBits(), size_t(m_image.sizeInBytes()));
}

void Dial::KDrun(int position)
{
    if (m_image.isNull())
        return;
    const int steps = 10 * m_inputs.CountFiftieth;
    if (!m_geometry.valid() || steps <= 0)
        return;

    const float a = m_geometry.angle(position, steps);
    const QPoint tip = m_geometry.needleTip(a);
    const QPoint base = m_geometry.needleBase(a);

    QPainter p(&m_image);
    p.setPen(QPen(kPanelColour, 2));
    p.drawLine(m_lastNeedleTip, m_lastNeedleBase);
    m_lastNeedleBase = base;
    m_lastNeedleTip = tip;
    p.setPen(QPen(kBlack, 2));
    p.drawLine(tip, base);
}
