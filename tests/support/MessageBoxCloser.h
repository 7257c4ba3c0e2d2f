#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

// The message boxes of the application that are open now (modal or not).
inline QList<QMessageBox *> openBoxes()
{
    QList<QMessageBox *> boxes;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            boxes << box;
    return boxes;
}

// Closes every modal message box as soon as it is open and keeps its text, so that tests can
// drive handlers that report to the user and then check what was reported. A question about
// unsaved readings is answered with Discard.
class MessageBoxCloser : public QObject
{
public:
    MessageBoxCloser()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (box && !leaveOpen.contains(box->objectName())) {
                texts << box->text();
                // The question about unsaved readings: let them go, as the test asked for
                // what replaces them.
                if (QAbstractButton *discard = box->button(QMessageBox::Discard))
                    discard->click();
                else
                    box->accept();
            }
        });
        m_timer.start(10);
    }

    QStringList texts;
    // The object names of boxes a test looks at while they stay open.
    QStringList leaveOpen;

private:
    QTimer m_timer;
};
