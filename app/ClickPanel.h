#pragma once

#include <QLabel>

// A panel or picture that acts on a click, as the port selector and the chart's enlarge icons do.
// A disabled panel stays visible but no longer reacts.
class ClickPanel : public QLabel
{
    Q_OBJECT
public:
    using QLabel::QLabel;

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};
