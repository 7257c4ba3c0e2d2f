#include "ImageView.h"

#include <QImage>
#include <QPainter>

void ImageView::paintEvent(QPaintEvent *)
{
    if (!m_image || m_image->isNull())
        return;
    QPainter painter(this);
    painter.drawImage(rect(), *m_image);
}
