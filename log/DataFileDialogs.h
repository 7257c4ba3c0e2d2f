#pragma once

class QFileDialog;
class QWidget;

// The file dialogs of the data files, with the filters and suffix DataFiles gives.
struct DataFileDialogs
{
    // SaveDialog2: DataFiles::saveFilters() with the first selected, the suffix
    // DataFiles::defaultSuffixFor() the chosen filter for a name without one, and a question
    // before an existing file is replaced.
    static QFileDialog *saveDialog(QWidget *parent);
    // OpenDialog1: DataFiles::openFilters() with the first selected; an existing file.
    static QFileDialog *openDialog(QWidget *parent);
};
