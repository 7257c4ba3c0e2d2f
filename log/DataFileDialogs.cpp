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
    dialog->setDefaultSuffix(QLatin1String(DataFiles::kDefaultSuffix));
    // A name typed without an extension under the Paradox filter is saved as a Paradox table.
    // The suffix changes with the filter, so the question before replacing a file already
    // sees the name that will be written.
    QObject::connect(dialog, &QFileDialog::filterSelected, dialog, [dialog](const QString &filter) {
        dialog->setDefaultSuffix(DataFiles::defaultSuffixFor(filter));
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
