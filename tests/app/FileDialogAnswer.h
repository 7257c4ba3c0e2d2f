#pragma once

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>

// Types `name` into the next file dialog and accepts it; `shown` gets the name the dialog
// opened with, `folder` the folder it opened in. With `goTo`, the user first goes to that folder.
// With `filter`, the user first picks that file type in the dialog's list.
inline void answerFileDialog(const QString &name, QString *shown = nullptr,
                             QString *folder = nullptr, const QString &goTo = {},
                             const QString &filter = {})
{
    auto *timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, name, shown, folder, goTo, filter] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        timer->deleteLater();
        timer->stop();
        auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (shown)
            *shown = edit->text();
        if (folder)
            *folder = dialog->directory().absolutePath();
        if (!goTo.isEmpty())
            dialog->setDirectory(goTo);
        if (!filter.isEmpty()) {
            // As a click in the list does: the combo box tells the dialog which item was chosen.
            auto *types = dialog->findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
            const int i = types->findText(filter);
            QVERIFY(i >= 0);
            types->setCurrentIndex(i);
            emit types->activated(i);
            emit types->textActivated(filter);
        }
        edit->setText(name);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    });
    timer->start(10);
}
