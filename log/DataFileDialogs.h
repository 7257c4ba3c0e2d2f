#pragma once

#include <QString>

class QFileDialog;
class QWidget;

// The file dialogs of the data files, with the filters and suffix DataFiles gives.
struct DataFileDialogs
{
    // SaveDialog2: DataFiles::saveFilters() with the first selected, the suffix
    // DataFiles::defaultSuffixFor() the chosen filter for a name without one, and a question
    // before an existing file is replaced.
    static QFileDialog *saveDialog(QWidget *parent);
    // OpenDialog1: DataFiles::openFilters() with the first selected; an existing file. Enter on
    // the name completer's list opens the file named, as Enter in the name field does.
    static QFileDialog *openDialog(QWidget *parent);

    // The folder the data files' dialogs (save, open, the report's PDF) open in: the folder of
    // the file last saved or opened through one of them, kept in the user's configuration across
    // runs; else the user's documents folder; else the home folder. Never the folder the program
    // was started from, which under a build or a desktop launcher is no place for the user's files.
    static QString startFolder();
    // Remembers the folder of `chosenFile`, a file just saved or opened.
    static void rememberFolder(const QString &chosenFile);
    // Sets `dialog` to startFolder() before it is shown.
    static void openInStartFolder(QFileDialog *dialog);
    // Hides what the dialog left on screen after it closed: a name completer's list stays up
    // over the window otherwise, taking the next wheel turn or click meant for the window.
    static void closeLeftovers(QFileDialog *dialog);
};
