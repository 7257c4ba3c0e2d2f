#include "DataFileDialogs.h"

#include "DataFiles.h"

#include <QFileDialog>

QFileDialog *DataFileDialogs::saveDialog(QWidget *parent)
{
    auto *dialog = new QFileDialog(parent, QStringLiteral("Save As"));
    dialog->setObjectName(QStringLiteral("SaveDialog2"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilters(DataFiles::saveFilters());
    dialog->selectNameFilter(DataFiles::saveFilters().constFirst());
    dialog->setDefaultSuffix(DataFiles::suffixForFilter(DataFiles::saveFilters().constFirst()));
    // A name typed without an extension gets the one of the type chosen, before the dialog asks
    // about replacing an existing file of that name.
    QObject::connect(dialog, &QFileDialog::filterSelected, dialog, [dialog](const QString &filter) {
        dialog->setDefaultSuffix(DataFiles::suffixForFilter(filter));
    });
    dialog->setOption(QFileDialog::DontConfirmOverwrite, false);
    return dialog;
}

QFileDialog *DataFileDialogs::openDialog(QWidget *parent)
{
    auto *dialog = new QFileDialog(parent, QStringLiteral("Open"));
    dialog->setObjectName(QStringLiteral("OpenDialog1"));
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilters(DataFiles::openFilters());
    dialog->selectNameFilter(DataFiles::openFilters().constFirst());
    return dialog;
}
