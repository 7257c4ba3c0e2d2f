#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

// Closes every modal message box as soon as it is open and keeps its text, so that tests can
// drive handlers that report to the user and then check what was reported.
class MessageBoxCloser : public QObject
{
public:
    MessageBoxCloser()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->accept();
            }
        });
        m_timer.start(10);
    }

    QStringList texts;

private:
    QTimer m_timer;
};
