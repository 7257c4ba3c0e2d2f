#pragma once

#include <QAbstractButton>
#include <QList>
#include <QObject>

// Toggle buttons of which at most one is down, and all may be up. Qt's exclusive button groups
// never let the last one come up, so this small rule stands in for them. Pressing one down
// releases the others without running their click handlers.
class ToggleGroup : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    void addButton(QAbstractButton *button);

private:
    QList<QAbstractButton *> m_buttons;
};
