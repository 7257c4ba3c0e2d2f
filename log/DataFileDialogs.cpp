#include "DataFileDialogs.h"

#include "DataFiles.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSettings>
#include <QStandardPaths>

namespace {

constexpr char kFolderKey[] = "files/lastFolder";
// The user's configuration file of the program, whatever the application's names are.
constexpr char kSettingsName[] = "vorlatt";

// Enter on the name completer's list opens the file, as Enter in the name field does. Left to
// itself, the list takes Enter only to put its current item (one reached with the arrow keys)
// into the field, or lets the dialog take a folder selected on the way instead of the file, and
// the dialog stayed open with the name emptied.
class EnterOpensFromList : public QObject
{
public:
    EnterOpensFromList(QFileDialog *dialog, QLineEdit *edit, QAbstractItemView *list)
        : QObject(list), m_dialog(dialog), m_edit(edit), m_list(list)
    {
        list->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_list)
            return false;
        if (event->type() == QEvent::Show || event->type() == QEvent::Hide) {
            m_chosenByKey = false;
            return false;
        }
        if (event->type() != QEvent::KeyPress)
            return false;
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_PageUp ||
            key == Qt::Key_PageDown) {
            m_chosenByKey = true;
            return false;
        }
        if (key != Qt::Key_Return && key != Qt::Key_Enter)
            return false;
        const QString file = chosenFile();
        if (file.isEmpty())
            return false; // a folder or nothing yet: the list completes it as usual
        m_list->hide();
        // The dialog takes the rows selected in its file list before the name typed, and a
        // folder among them only moves the dialog there and empties the name: typing a path
        // can leave a folder on the way selected. Selecting the file alone sets both.
        m_dialog->selectFile(file);
        m_edit->setText(file);
        // As the Open button does: the dialog checks the name and closes.
        QMetaObject::invokeMethod(m_dialog, "accept");
        return true;
    }

private:
    // The existing file Enter means: an item picked with the arrow keys; else the name typed,
    // whole; else the list's current item, which completes what was typed.
    QString chosenFile() const
    {
        const QString item = itemFile();
        if (m_chosenByKey && !item.isEmpty())
            return item;
        const QString typed = m_edit->text().trimmed();
        if (!typed.isEmpty()) {
            const QFileInfo info(m_dialog->directory(), typed);
            if (info.isFile())
                return info.absoluteFilePath();
        }
        return item;
    }

    QString itemFile() const
    {
        const QModelIndex current = m_list->currentIndex();
        if (!current.isValid())
            return {};
        const QFileInfo info(current.data(QFileSystemModel::FilePathRole).toString());
        return info.isFile() ? info.absoluteFilePath() : QString();
    }

    QFileDialog *m_dialog;
    QLineEdit *m_edit;
    QAbstractItemView *m_list;
    bool m_chosenByKey = false;
};

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
    if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        edit && edit->completer() && edit->completer()->popup())
        new EnterOpensFromList(dialog, edit, edit->completer()->popup());
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
