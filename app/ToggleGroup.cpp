#include "ToggleGroup.h"

void ToggleGroup::addButton(QAbstractButton *button)
{
    m_buttons.append(button);
    connect(button, &QAbstractButton::toggled, this, [this, button](bool down) {
        if (!down)
            return;
        for (QAbstractButton *other : std::as_const(m_buttons))
            if (other != button)
                other->setChecked(false);
    });
}
