#pragma once

#include <QWidget>

class QImage;

// Shows an off-screen picture stretched over its area, as the dial's picture KD1 is shown in
// its panel. It holds no copy: whoever draws the picture calls update() when it has changed.
class ImageView : public QWidget
{
    Q_OBJECT
public:
    using QWidget::QWidget;
    void setImage(const QImage *image) { m_image = image; update(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    const QImage *m_image = nullptr;
};
