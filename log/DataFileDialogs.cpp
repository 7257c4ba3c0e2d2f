#include "DataFileDialogs.h"

#include "DataFiles.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {

constexpr char kFolderKey[] = "files/lastFolder";
// The user's configuration file of the program, whatever the application's names are.
constexpr char kSettingsName[] = "vorlatt";

} // namespace

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
    openInStartFolder(dialog);
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
    openInStartFolder(dialog);
    return dialog;
}

QString DataFileDialogs::startFolder()
{
    const QSettings settings(QString::fromLatin1(kSettingsName),
                             QString::fromLatin1(kSettingsName));
    const QString last = settings.value(QLatin1String(kFolderKey)).toString();
    if (!last.isEmpty() && QFileInfo(last).isDir())
        return last;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QFileInfo(documents).isDir())
        return documents;
    return QDir::homePath();
}

void DataFileDialogs::rememberFolder(const QString &chosenFile)
{
    const QString folder = QFileInfo(chosenFile).absolutePath();
    if (folder.isEmpty())
        return;
    QSettings s(QString::fromLatin1(kSettingsName), QString::fromLatin1(kSettingsName));
    s.setValue(QLatin1String(kFolderKey), folder);
    // Written now, so that another window started meanwhile finds it too; a configuration that
    // cannot be written only costs the user this convenience.
    s.sync();
}

void DataFileDialogs::openInStartFolder(QFileDialog *dialog)
{
    dialog->setDirectory(startFolder());
}

void DataFileDialogs::closeLeftovers(QFileDialog *dialog)
{
    for (QCompleter *completer : dialog->findChildren<QCompleter *>())
        if (completer->popup() && completer->popup()->isVisible())
            completer->popup()->hide();
}
