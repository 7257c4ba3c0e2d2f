#pragma once

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

// A message box is as wide as its text, and a short text (" Record deleted ") leaves its title
// bar too narrow for the title beside the window manager's buttons, which then elide it
// ("Info...tion"). The box is made wide enough for the title and those buttons.
inline void fitTitle(QMessageBox &box)
{
    // Title bar fonts are usually larger and bolder than the box's own: a generous measure.
    QFont titleFont = box.font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.2);
    const int title = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle());
    // Room for the window's icon and its minimize, maximize and close buttons.
    constexpr int kTitleBarButtons = 140;
    auto *grid = qobject_cast<QGridLayout *>(box.layout());
    if (!grid)
        return;
    grid->addItem(new QSpacerItem(title + kTitleBarButtons, 0, QSizePolicy::Minimum,
                                  QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
}
