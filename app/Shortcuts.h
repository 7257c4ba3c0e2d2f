#pragma once

#include "GuideWindow.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

class TFCOMM;

// The window's keyboard shortcuts. Each one does what a button of the window does, by clicking
// that button, so it follows the button wherever its handler lives. They are shortcuts of the
// window itself rather than of the menu's items, which would add the keys to the menu's text:
// no caption and no menu entry changes.
//
//   Ctrl+S  save the log as a data file ("saveas")    Ctrl+O  open a data file ("OpenDataFiles")
//   Ctrl+P  print preview ("BtPrint")                  Ctrl+N  New of the log ("RecordNew")
//   Ctrl+Q  the exit question ("BitBtn1")              F5      connect or disconnect ("COMCon")
//   F1      the user guide, rendered in a window of its own
class Shortcuts : public QObject
{
    Q_OBJECT
public:
    // Installs the shortcuts on `window`, which owns this object.
    explicit Shortcuts(TFCOMM *window);

    // Where the user guide is looked for, in this order: the documentation folder of the
    // program's own install prefix, the system's documentation folder, the source tree.
    static QStringList guideCandidates();
    // The first candidate that exists, or empty.
    static QString findGuide();

    // Shows the guide's window, made on first use, and brings it to the front.
    void openUserGuide();
    GuideWindow *guideWindow() const { return m_guide; }

private:
    TFCOMM *m_window = nullptr;
    QPointer<GuideWindow> m_guide;
};
