#include "FileDialogAnswer.h"
#include "tests/support/MessageBoxCloser.h"
#include "tests/support/PtyPort.h"
#include "app/LogCommands.h"
#include "app/TFCOMM.h"
#include "link/SerialPortDriver.h"
#include "log/DataFiles.h"
#include "log/LogGridView.h"
#include "log/LogRecord.h"
#include "log/LogTableModel.h"
#include "log/ReportPreview.h"
#include "log/engine/TableFile.h"
#include "protocol/DisplayState.h"
#include "ui_FCOMM.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QCompleter>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QProcess>
#include <QScrollBar>
#include <QStandardPaths>
#include <QtTest>

#include <memory>
#include <unistd.h>

#ifdef VORLATT_HAVE_PXLIB
extern "C" {
#include <paradox.h>
}
#endif

using protocol::Annunciator;

namespace {

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// The grid's texts of one record, as the user sees them.
QStringList gridRow(LogGridView *grid, qint64 record)
{
    grid->scrollToRecord(record);
    LogTableModel *model = grid->logModel();
    QStringList texts;
    for (int c = 0; c < LogTableModel::kColumns; ++c)
        texts << model->index(int(record - model->first()), c).data().toString();
    return texts;
}

} // namespace

// Readings from a real pseudo-terminal into the log and its grid, saved and reopened through
// the real file dialogs.
class TestLogInWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void framesBecomeGridRows();
    void gridLooksAsDesigned();
    void gridShowsNumbersAndUnitsWhole_data();
    void gridShowsNumbersAndUnitsWhole();
    void shownUnitAndDateGoThroughEverySave_data();
    void shownUnitAndDateGoThroughEverySave();
    void saveThroughTheDialog_data();
    void saveThroughTheDialog();
    void openOldFileThenSaveAsText();
    void fileDialogsAreMadeOnFirstUse();
    void dialogsOpenInTheLastFolderAcrossRuns();
    void completerListGoesWithTheDialog();
    void enterOnTheCompleterListOpensTheFile();
    void openedFileFillsTheGrid();
    void failedOpenKeepsTheLog();
    void newAsksNothingAndEmpties();
    void unsavedFollowsLogSaveOpenNew();
    void journalWrittenAgainHoldsTheUnsaved();
    void unsavedReadingsAreAskedAbout_data();
    void unsavedReadingsAreAskedAbout();
    void nothingUnsavedKeepsTheOldWays();
    void journalHoldsTheUnsavedReadings();
    void pulledOutAdapterIsOpenedAgainAndTheLogGoesOn();
    void leftJournalIsOfferedBack_data();
    void leftJournalIsOfferedBack();
    void twoLeftJournalsAreOfferedApartAndNumberOn();
    void restoreOnAFullDiskLeavesEachReadingOnce();
    void limitItemsCheckOneAndSetTheLimit();
    void recordLimitStopIsSaidInTheStatusBar();
    void fullTableStopsLoggingAndSavesWhole();
    void previewPagesThroughTheReport();
    void previewHoldsStillWhileReadingsArrive();
    void pdfSaveIsToldOnlyWhenWritten_data();
    void pdfSaveIsToldOnlyWhenWritten();
    void missingLogTableStillStartsTheProgram();
    void readingsTheLogCannotTakeAreReportedOnce();

private:
    void send(const QByteArray &bytes) { QVERIFY(m_pty->send(bytes)); }
    // Connects and logs `count` distinct readings 1.001, 1.002, ...
    void logReadings(TFCOMM &w, int count);
    std::unique_ptr<PtyPort> m_pty;
    QTemporaryDir m_dir;
};

void TestLogInWindow::initTestCase()
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QVERIFY(m_dir.isValid());
    // The user's configuration and documents folder are the test's own.
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("config")));
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("Documents")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("config"))));
    QFile dirs(m_dir.filePath(QStringLiteral("config/user-dirs.dirs")));
    QVERIFY(dirs.open(QIODevice::WriteOnly));
    dirs.write("XDG_DOCUMENTS_DIR=\"" +
               QFile::encodeName(m_dir.filePath(QStringLiteral("Documents"))) + "\"\n");
}

void TestLogInWindow::init()
{
    m_pty = std::make_unique<PtyPort>();
    QVERIFY(m_pty->isOpen());
}

void TestLogInWindow::cleanup()
{
    m_pty.reset();
}

void TestLogInWindow::logReadings(TFCOMM &w, int count)
{
    if (!w.serialDriver()->IsOpen()) {
        w.ui()->COMCon->click();
        // A carriage return and a frame's tail byte, as the meter sends them before each frame.
        send("\r" + protocol::DisplayState().toFrame().right(1));
    }
    const qint64 before = w.readingLog().table().recordCount();
    QByteArray frames;
    for (int i = 1; i <= count; ++i) {
        protocol::DisplayState volts;
        volts.digits = QByteArray::number(1000 + i).rightJustified(4, '0');
        volts.point = 1;
        volts.annunciators = Annunciator::Dc | Annunciator::AutoRange | Annunciator::Volt;
        frames += volts.toFrame();
    }
    send(frames);
    QTRY_COMPARE(w.readingLog().table().recordCount(), before + count);
}

void TestLogInWindow::framesBecomeGridRows()
{
    TFCOMM w;
    w.show();
    QVERIFY(w.logOpen());
    auto *grid = qobject_cast<LogGridView *>(w.ui()->DBGrid1);
    QVERIFY(grid);
    w.ui()->COMCon->click();
    send("\r" + protocol::DisplayState().toFrame().right(1));

    protocol::DisplayState millivolts;
    millivolts.negative = true;
    millivolts.digits = "1234";
    millivolts.point = 2;
    millivolts.annunciators =
        Annunciator::Dc | Annunciator::AutoRange | Annunciator::Milli | Annunciator::Volt;
    protocol::DisplayState ohms;
    ohms.digits = "0470";
    ohms.point = 3;
    ohms.annunciators = Annunciator::Kilo | Annunciator::Ohm;
    QByteArray frames;
    for (int i = 0; i < 12; ++i)
        frames += (i == 11 ? ohms : millivolts).toFrame();
    send(frames);
    QTRY_COMPARE(grid->logModel()->totalRows(), 12);
    // The current row follows the newest record, which is in view and marked.
    QCOMPARE(grid->logModel()->currentRecord(), 11);
    QTRY_COMPARE(grid->logModel()->first() + grid->currentIndex().row(), 11);
    QVERIFY(!grid->logModel()
                 ->headerData(grid->currentIndex().row(), Qt::Vertical, Qt::DecorationRole)
                 .isNull());
    // The texts the decoder formed; the unit column shows the display font's stand-ins.
    const QStringList first = gridRow(grid, 0);
    QCOMPARE(first.mid(2), QStringList({"DC", "-12.34", "mV", "AUTO"}));
    QCOMPARE(first.value(0), QStringLiteral("1"));
    QVERIFY(QTime::fromString(first.value(1), QStringLiteral("HH:mm:ss")).isValid());
    grid->scrollToRecord(11);
    QCOMPARE(gridRow(grid, 11).mid(2), QStringList({"", "047.0", "k*", "MANU"}));
    QCOMPARE(w.readingLog().rules().RecordCount, 12);
    QCOMPARE(w.readingLog().NextRecordNo, 13);
}

void TestLogInWindow::gridLooksAsDesigned()
{
    TFCOMM w;
    auto *grid = qobject_cast<LogGridView *>(w.ui()->DBGrid1);
    QCOMPARE(grid->geometry(), QRect(0, 280, 289, 137));
    // Time, DC/AC and Value as designed; the No column is wider for six-digit numbers and takes
    // its room from the Unit column, so the columns keep the design's total.
    const int widths[] = {39, 53, 37, 43, 36};
    for (int c = 1; c < 4; ++c)
        QCOMPARE(grid->columnWidth(c), widths[c]);
    QVERIFY(grid->columnWidth(0) >= widths[0]);
    QCOMPARE(grid->columnWidth(0) + grid->columnWidth(4), widths[0] + widths[4]);
    QStringList titles;
    for (int c = 0; c < LogTableModel::kColumns; ++c)
        titles << grid->model()->headerData(c, Qt::Horizontal).toString();
    QCOMPARE(titles, QStringList({"No", "Time", "DC/AC", "Value", "Unit", "AUTO"}));
    QCOMPARE(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(grid->tabKeyNavigation());
    QVERIFY(grid->showGrid());
    QCOMPARE(grid->palette().color(QPalette::Base), QColor(192, 192, 192));
    QCOMPARE(grid->font().pixelSize(), 12);

    // The AUTO column ends where the grid's room ends: its title shows whole, with no
    // horizontal scrolling.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QHeaderView *header = grid->horizontalHeader();
    const int last = LogTableModel::kColumns - 1;
    const int shown = grid->viewport()->width() - header->sectionViewportPosition(last);
    QTRY_COMPARE(header->sectionSize(last), shown); // once the header is laid out
    QVERIFY2(header->fontMetrics().horizontalAdvance(QStringLiteral("AUTO")) + 4 <= shown,
             qPrintable(QString::number(shown)));
    QCOMPARE(grid->horizontalScrollBar()->maximum(), 0);
}

void TestLogInWindow::saveThroughTheDialog_data()
{
    QTest::addColumn<QString>("filter"); // "" leaves the first filter chosen
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("paradox");
    const QString db = QStringLiteral("DB File(*.db)");
    QTest::newRow("no extension gets .xls and text") << ""
                                                     << "plain"
                                                     << "plain.xls" << false;
    QTest::newRow(".xls is text") << ""
                                  << "run.xls"
                                  << "run.xls" << false;
    QTest::newRow(".DB in upper case is text") << ""
                                               << "upper.DB"
                                               << "upper.DB" << false;
    QTest::newRow(".db is a Paradox table") << ""
                                            << "copy.db"
                                            << "copy.db" << true;
    // The type the user picked decides for a name without an extension ...
    QTest::newRow("DB filter, no extension: Paradox .db") << db << "copy"
                                                          << "copy.db" << true;
    QTest::newRow("Excel filter, no extension: .xls") << "Excel File(*.xls)"
                                                      << "plain"
                                                      << "plain.xls" << false;
    // ... and a typed extension decides for itself.
    QTest::newRow("DB filter, .xls typed: text") << db << "run.xls"
                                                 << "run.xls" << false;
    QTest::newRow("DB filter, .DB typed: text") << db << "upper.DB"
                                                << "upper.DB" << false;
    QTest::newRow("DB filter, .db typed: Paradox") << db << "copy.db"
                                                   << "copy.db" << true;
    const QString csv = QStringLiteral("CSV with units (*.csv)");
    QTest::newRow("CSV filter, no extension: .csv") << csv << "units"
                                                    << "units.csv" << false;
    QTest::newRow("CSV filter, .xls typed: text") << csv << "run.xls"
                                                  << "run.xls" << false;
    QTest::newRow(".csv typed under another filter") << ""
                                                     << "units.CSV"
                                                     << "units.CSV" << false;
}

void TestLogInWindow::saveThroughTheDialog()
{
    QFETCH(QString, filter);
    QFETCH(QString, typed);
    QFETCH(QString, file);
    QFETCH(bool, paradox);
    TFCOMM w;
    w.show();
    logReadings(w, 3);
    const QString path = m_dir.filePath(file);
    QFile::remove(path);
    QFile::remove(m_dir.filePath(QStringLiteral("copy.px")));
    const QStringList before = QDir(m_dir.path()).entryList(QDir::Files);

    MessageBoxCloser boxes;
    answerFileDialog(m_dir.filePath(typed), nullptr, nullptr, {}, filter);
    w.ui()->saveas->click();
    QVERIFY(QFile::exists(path));
    // Only the file asked for (and a Paradox table's index) is new.
    QStringList added = QDir(m_dir.path()).entryList(QDir::Files);
    for (const QString &name : before)
        added.removeOne(name);
    added.removeOne(QStringLiteral("copy.px"));
    if (!before.contains(file))
        QCOMPARE(added, QStringList(file));
    if (!paradox) {
        QTRY_COMPARE(boxes.texts, QStringList(QStringLiteral("save table to specified file: ") +
                                              path + QStringLiteral(" Scuss!")));
        const QList<QByteArray> lines = contents(path).split('\n');
        QCOMPARE(lines.size(), 5); // header, three records, and the empty rest after the last CR LF
        if (file.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)) {
            // The values with units: the logger's columns, with the date of each reading.
            QCOMPARE(lines[0], QByteArray("No,Time,DC/AC,Value,Unit,AUTO,DateTime,PlainUnit,"
                                          "BaseValue,BaseUnit,LocalTime\r"));
            const QByteArray today = QDate::currentDate().toString(Qt::ISODate).toLatin1();
            QVERIFY2(lines[3].startsWith("3,") && lines[3].contains(",DC,1.003,V,AUTO," + today) &&
                         lines[3].contains(",V,1.003,V,"),
                     lines[3].constData());
            return;
        }
        QCOMPARE(lines[0], QByteArray("No\tTime\tDC/AC\tValue\tUnit\tAUTO\r"));
        QVERIFY2(lines[3].startsWith("3\t") && lines[3].endsWith("\tDC\t1.003\tV\tAUTO\r"),
                 lines[3].constData());
        QVERIFY(lines[4].isEmpty());
        return;
    }
    QCOMPARE(boxes.texts, QStringList()); // a Paradox save shows no box on success,
    // it says what it wrote in the clock's panel instead, also when the clock ticks
    QCOMPARE(w.ui()->StatusPanel3->text(), QStringLiteral("Saved 3 readings to copy.db"));
    w.Timer1Timer();
    QCOMPARE(w.ui()->StatusPanel3->text(), QStringLiteral("Saved 3 readings to copy.db"));
#ifdef VORLATT_HAVE_PXLIB
    // An independent reader opens the copy with its index.
    PX_boot();
    pxdoc_t *db = PX_new();
    pxdoc_t *index = PX_new();
    QCOMPARE(PX_open_file(db, QFile::encodeName(path).constData()), 0);
    const QString px = m_dir.filePath(QStringLiteral("copy.px"));
    QCOMPARE(path, m_dir.filePath(QStringLiteral("copy.db")));
    QVERIFY(QFile::exists(px));
    QCOMPARE(PX_open_file(index, QFile::encodeName(px).constData()), 0);
    QCOMPARE(PX_read_primary_index(index), 0);
    QCOMPARE(PX_add_primary_index(db, index), 0);
    QCOMPARE(PX_get_num_records(db), 3);
    QStringList names;
    for (int i = 0; i < PX_get_num_fields(db); ++i)
        names << QString::fromLatin1(PX_get_field(db, i)->px_fname);
    // The designed fields first, where other readers find them; the date and the full unit after.
    QCOMPARE(names, QStringList({"Not", "No", "Time", "DC/AC", "Value", "Nval", "Unit", "AUTO",
                                 "DateTime", "FullUnit"}));
    QByteArray record(PX_get_recordsize(db), '\0');
    QVERIFY(PX_get_record(db, 2, record.data()));
    char *value = nullptr;
    const int valueOffset = 4 + 4 + 4 + 2;
    QVERIFY(PX_get_data_alpha(db, record.data() + valueOffset, 8, &value) > 0);
    QCOMPARE(QByteArray(value), QByteArray("1.003"));
    free(value);
    PX_close(index);
    PX_delete(index);
    PX_close(db);
    PX_delete(db);
#else
    QSKIP("pxlib is not installed: the copy is not read back");
#endif
}

void TestLogInWindow::openOldFileThenSaveAsText()
{
    TFCOMM w;
    w.show();
    MessageBoxCloser boxes;
    logReadings(w, 2);
    const QString old = m_dir.filePath(QStringLiteral("old.db"));
    QFile::remove(old);
    answerFileDialog(old);
    w.ui()->saveas->click();
    QVERIFY(QFile::exists(old));
    logReadings(w, 3); // the run goes on to record 5

    answerFileDialog(old);
    w.ui()->OpenDataFiles->click();
    QTRY_COMPARE(w.readingLog().table().recordCount(), 2);
    QCOMPARE(QString::fromStdString(w.readingLog().table().filePath()), old);
    auto *grid = qobject_cast<LogGridView *>(w.ui()->DBGrid1);
    QCOMPARE(grid->logModel()->totalRows(), 2);
    // The next reading joins the opened table with the run's next number.
    logReadings(w, 1);
    QCOMPARE(gridRow(grid, 2).value(0), QStringLiteral("6"));

    const QString text = m_dir.filePath(QStringLiteral("reopened.txt"));
    QString shown = QStringLiteral("not shown");
    answerFileDialog(text, &shown);
    w.ui()->saveas->click();
    QCOMPARE(shown, QString()); // the save dialog opens with an empty name every time
    const QList<QByteArray> lines = contents(text).split('\n');
    QCOMPARE(lines.size(), 5);
    QVERIFY(lines[1].startsWith("1\t"));
    QVERIFY(lines[2].startsWith("2\t"));
    QVERIFY(lines[3].startsWith("6\t"));
    // The three readings after the save were asked about before the open replaced them.
    QCOMPARE(boxes.texts,
             QStringList({QStringLiteral("The log holds readings that have not been saved."),
                          QStringLiteral("save table to specified file: ") + text +
                              QStringLiteral(" Scuss!")}));
}

// Start-up makes no file dialog; the save dialog, made afresh each time, opens in the folder
// the last one was left in.
void TestLogInWindow::fileDialogsAreMadeOnFirstUse()
{
    TFCOMM w;
    w.show();
    QCOMPARE(w.findChildren<QFileDialog *>().size(), 0);
    MessageBoxCloser boxes;
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("kept")));
    const QString kept = QDir(m_dir.filePath(QStringLiteral("kept"))).canonicalPath();
    answerFileDialog(QStringLiteral("first.txt"), nullptr, nullptr, kept);
    w.ui()->saveas->click();
    QVERIFY(QFile::exists(kept + QStringLiteral("/first.txt")));
    QString folder;
    answerFileDialog(QStringLiteral("second.txt"), nullptr, &folder);
    w.ui()->saveas->click();
    QCOMPARE(folder, kept);
    QVERIFY(QFile::exists(kept + QStringLiteral("/second.txt")));
    QCOMPARE(w.findChildren<QFileDialog *>().size(), 1); // the open dialog is still not made
}

// The dialogs open in the user's documents folder at first, then where the user last saved or
// opened a file, also in the next run.
void TestLogInWindow::dialogsOpenInTheLastFolderAcrossRuns()
{
    const QString conf = m_dir.filePath(QStringLiteral("config/vorlatt/vorlatt.conf"));
    QFile::remove(conf);
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("runs")));
    const QString runs = QDir(m_dir.filePath(QStringLiteral("runs"))).canonicalPath();
    const QString documents = QDir(m_dir.filePath(QStringLiteral("Documents"))).canonicalPath();
    MessageBoxCloser boxes;
    {
        TFCOMM w;
        w.show();
        logReadings(w, 2);
        QString folder;
        answerFileDialog(QStringLiteral("first.db"), nullptr, &folder, runs);
        w.ui()->saveas->click();
        QCOMPARE(QDir(folder).canonicalPath(), documents);
        QVERIFY(QFile::exists(runs + QStringLiteral("/first.db")));
        // The second dialog, an open this time, opens where the first one saved.
        answerFileDialog(QStringLiteral("first.db"), nullptr, &folder);
        w.ui()->OpenDataFiles->click();
        QCOMPARE(QDir(folder).canonicalPath(), runs);
        QTRY_COMPARE(QString::fromStdString(w.readingLog().table().filePath()),
                     runs + QStringLiteral("/first.db"));
    }
    // Kept in the user's configuration.
    QVERIFY2(contents(conf).contains(QFile::encodeName(runs)), contents(conf).constData());

    // The next run: the save dialog, and the report's PDF dialog, open there too.
    TFCOMM w;
    w.show();
    QString folder;
    answerFileDialog(QStringLiteral("second.txt"), nullptr, &folder);
    w.ui()->saveas->click();
    QCOMPARE(QDir(folder).canonicalPath(), runs);
    QVERIFY(QFile::exists(runs + QStringLiteral("/second.txt")));
    logReadings(w, 1);
    QTimer::singleShot(0, this, [&] {
        auto *preview = qobject_cast<ReportPreview *>(QApplication::activeModalWidget());
        QVERIFY(preview);
        answerFileDialog(QStringLiteral("report"), nullptr, &folder);
        preview->action(QStringLiteral("savePdf"))->trigger();
        preview->action(QStringLiteral("close"))->trigger();
    });
    folder.clear();
    w.ui()->BtPrint->click();
    QCOMPARE(QDir(folder).canonicalPath(), runs);
    QVERIFY(QFile::exists(runs + QStringLiteral("/report.pdf")));
}

// The name completer's list, up when the dialog is accepted, goes with the dialog: left over the
// grid it would take the next wheel turn.
void TestLogInWindow::completerListGoesWithTheDialog()
{
    TFCOMM w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    MessageBoxCloser boxes;
    const QString folder = m_dir.filePath(QStringLiteral("completed"));
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("completed")));
    for (const char *name : {"run1.db", "run2.db"})
        QVERIFY(QFile::copy(QDir::current().filePath(QStringLiteral("Tarvodb.DB")),
                            folder + u'/' + QLatin1String(name)));
    auto visiblePopups = [] {
        int popups = 0;
        for (QWidget *top : QApplication::topLevelWidgets())
            if (top->isVisible() && top->windowType() == Qt::Popup)
                ++popups;
        return popups;
    };
    bool listShown = false;
    QTimer::singleShot(0, this, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        dialog->setDirectory(folder);
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        edit->setFocus();
        // The user types on once the dialog has read the folder.
        QTest::keyClicks(edit, QStringLiteral("ru"));
        QTRY_VERIFY(edit->completer() && edit->completer()->completionCount() >= 2);
        QTest::keyClicks(edit, QStringLiteral("n"));
        QTRY_VERIFY(visiblePopups() > 0);
        listShown = true;
        edit->setText(QStringLiteral("run1.db"));
        QMetaObject::invokeMethod(dialog, "accept");
    });
    w.ui()->OpenDataFiles->click();
    QVERIFY(listShown);
    QCOMPARE(QString::fromStdString(w.readingLog().table().filePath()),
             folder + QStringLiteral("/run1.db"));
    QCOMPARE(visiblePopups(), 0);
}

// A full path typed into the Open dialog brings up the name completer's list; Enter on the list
// opens the file, instead of leaving the dialog open with the name emptied.
void TestLogInWindow::enterOnTheCompleterListOpensTheFile()
{
    TFCOMM w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    MessageBoxCloser boxes;
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("typed")));
    const QString folder = m_dir.filePath(QStringLiteral("typed"));
    const QString first = folder + QStringLiteral("/first.db");
    for (const char *name : {"first.db", "second.db"})
        QVERIFY(QFile::copy(QDir::current().filePath(QStringLiteral("Tarvodb.DB")),
                            folder + u'/' + QLatin1String(name)));
    // The dialog is one already used in this window, as the user's was.
    answerFileDialog(folder + QStringLiteral("/second.db"));
    w.ui()->OpenDataFiles->click();
    QCOMPARE(QString::fromStdString(w.readingLog().table().filePath()),
             folder + QStringLiteral("/second.db"));
    QPointer<QFileDialog> dialog;
    bool entered = false;
    const auto typeAndEnter = [&] {
        // The dialog opens in the folder of the file last opened, as it did for the user.
        QCOMPARE(dialog->directory().absolutePath(), folder);
        auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QApplication::setActiveWindow(dialog);
        edit->setFocus();
        QTRY_VERIFY(edit->hasFocus());
        QTest::keyClicks(edit, first);
        QAbstractItemView *list = edit->completer() ? edit->completer()->popup() : nullptr;
        QVERIFY(list);
        QTRY_VERIFY(list->isVisible() && list->model()->rowCount() == 1);
        // A path typed under X11 can leave a folder on its way selected in the dialog's file
        // list (the name field loses the focus to the list for a moment): the folder is selected.
        auto *files = dialog->findChild<QAbstractItemView *>(QStringLiteral("listView"));
        auto *model = qobject_cast<QFileSystemModel *>(files->model());
        QVERIFY(model);
        files->selectionModel()->select(model->index(folder),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QTest::keyClick(list, Qt::Key_Return);
        entered = true;
        QTRY_VERIFY(!dialog->isVisible());
    };
    QTimer::singleShot(0, this, [&] {
        dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        typeAndEnter();
        // A dialog Enter did not close would hold the test: it is cancelled, and the test fails.
        if (dialog && dialog->isVisible())
            dialog->reject();
    });
    w.ui()->OpenDataFiles->click();
    QVERIFY(entered);
    QCOMPARE(QString::fromStdString(w.readingLog().table().filePath()), first);
}

// A file a little shorter than the log shown fills the grid down to its last row.
void TestLogInWindow::openedFileFillsTheGrid()
{
    TFCOMM w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    MessageBoxCloser boxes;
    auto *grid = qobject_cast<LogGridView *>(w.ui()->DBGrid1);
    const int rows = grid->visibleRows();
    QVERIFY(rows > 2);
    logReadings(w, rows + 10);
    const QString old = m_dir.filePath(QStringLiteral("shorter.db"));
    QFile::remove(old);
    answerFileDialog(old);
    w.ui()->saveas->click();
    logReadings(w, 2); // the grid now shows the run's last rows, two beyond the file's end

    answerFileDialog(old);
    w.ui()->OpenDataFiles->click();
    LogTableModel *model = grid->logModel();
    QTRY_COMPARE(model->totalRows(), rows + 10);
    QCOMPARE(model->rowCount(), rows);
    QCOMPARE(model->index(rows - 1, 0).data().toString(), QString::number(rows + 10));
}

void TestLogInWindow::failedOpenKeepsTheLog()
{
    TFCOMM w;
    w.show();
    logReadings(w, 4);
    const QString junk = m_dir.filePath(QStringLiteral("junk.DB"));
    QFile f(junk);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(3000, 'x'));
    f.close();
    MessageBoxCloser boxes;
    answerFileDialog(junk);
    w.ui()->OpenDataFiles->click();
    QTRY_COMPARE(boxes.texts.size(), 1);
    QVERIFY(w.logOpen());
    QCOMPARE(w.readingLog().table().recordCount(), 4);
    QCOMPARE(qobject_cast<LogGridView *>(w.ui()->DBGrid1)->logModel()->totalRows(), 4);
}

void TestLogInWindow::newAsksNothingAndEmpties()
{
    TFCOMM w;
    w.show();
    logReadings(w, 3);
    {
        // Saved readings: New only tells what it does.
        MessageBoxCloser boxes;
        answerFileDialog(m_dir.filePath(QStringLiteral("beforeNew.xls")));
        w.ui()->saveas->click();
        QVERIFY(!w.logCommands()->hasUnsaved());
    }
    qint64 recordsWhileShown = -1;
    QString text;
    int boxWidth = 0;
    int titleWidth = 0;
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, timer, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            text = box->text();
            recordsWhileShown = w.readingLog().table().recordCount();
            QCOMPARE(box->buttons().size(), 1);
            // Wide enough for its title beside the title bar's buttons, not "Info...tion".
            QCOMPARE(box->windowTitle(), QStringLiteral("Information"));
            boxWidth = box->width();
            titleWidth = box->fontMetrics().horizontalAdvance(box->windowTitle());
            box->accept();
            timer->stop();
        }
    });
    timer->start(10);
    w.ui()->RecordNew->click();
    QCOMPARE(text, QStringLiteral(" Record deleted "));
    QVERIFY2(boxWidth >= titleWidth + 140, qPrintable(QStringLiteral("%1").arg(boxWidth)));
    QCOMPARE(recordsWhileShown, 3);
    QCOMPARE(w.readingLog().table().recordCount(), 0);
    QCOMPARE(w.readingLog().NextRecordNo, 1);
    QCOMPARE(w.readingLog().rules().RecordCount, 0);
    timer->deleteLater();
}

void TestLogInWindow::unsavedFollowsLogSaveOpenNew()
{
    TFCOMM w;
    w.show();
    MessageBoxCloser boxes;
    QVERIFY(!w.logCommands()->hasUnsaved()); // an empty log at start
    logReadings(w, 2);
    QVERIFY(w.logCommands()->hasUnsaved());
    // A cancelled save keeps them unsaved; a text save and a Paradox save each save them.
    auto *rejecter = new QTimer(&w);
    connect(rejecter, &QTimer::timeout, rejecter, [rejecter] {
        if (auto *d = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            rejecter->stop();
            QMetaObject::invokeMethod(d, "reject", Qt::QueuedConnection);
        }
    });
    rejecter->start(10);
    w.ui()->saveas->click();
    QVERIFY(w.logCommands()->hasUnsaved());
    answerFileDialog(m_dir.filePath(QStringLiteral("rule.xls")));
    w.ui()->saveas->click();
    QVERIFY(!w.logCommands()->hasUnsaved());
    logReadings(w, 1);
    QVERIFY(w.logCommands()->hasUnsaved());
    answerFileDialog(m_dir.filePath(QStringLiteral("rule.db")));
    w.ui()->saveas->click();
    QVERIFY(!w.logCommands()->hasUnsaved());
    // A save that fails keeps them unsaved.
    logReadings(w, 1);
    answerFileDialog(m_dir.filePath(QStringLiteral("no/such/folder/rule.xls")));
    w.ui()->saveas->click();
    QVERIFY(w.logCommands()->hasUnsaved());
    // An opened file is saved as it is.
    answerFileDialog(m_dir.filePath(QStringLiteral("rule.db")));
    w.ui()->OpenDataFiles->click();
    QCOMPARE(w.readingLog().table().recordCount(), 3);
    QVERIFY(!w.logCommands()->hasUnsaved());
    // New of a log without unsaved readings leaves it saved.
    w.ui()->RecordNew->click();
    QVERIFY(!w.logCommands()->hasUnsaved());
}

// A journal written again after a failure holds the readings not saved yet, and only those: the
// saved ones are no leftover to offer after a crash.
void TestLogInWindow::journalWrittenAgainHoldsTheUnsaved()
{
    QTemporaryDir state;
    QVERIFY(state.isValid());
    const QByteArray before = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
    const auto back = qScopeGuard([&] { qputenv("XDG_STATE_HOME", before); });
    const QString folder = state.filePath(QStringLiteral("vorlatt"));
    TFCOMM w;
    w.show();
    MessageBoxCloser boxes;
    logReadings(w, 3);
    answerFileDialog(m_dir.filePath(QStringLiteral("journal.xls")));
    w.ui()->saveas->click();
    QVERIFY(!w.logCommands()->hasUnsaved());

    const auto mount = [](const QStringList &arguments) {
        return QProcess::execute(QStringLiteral("mount"), arguments) == 0;
    };
    bool mounted = mount({QStringLiteral("--bind"), folder, folder});
    const auto unmount = qScopeGuard([&] {
        if (mounted)
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), folder});
    });
    if (!mounted ||
        !mount({QStringLiteral("-o"), QStringLiteral("remount,bind,ro"), folder}))
        QSKIP("cannot mount the state folder read-only (the test needs root)");
    logReadings(w, 2);
    QVERIFY2(w.logCommands()->journalError().endsWith(QStringLiteral(": Read-only file system")),
             qPrintable(w.logCommands()->journalError()));
    QCOMPARE(LogCommands::shortReason(w.logCommands()->journalError()),
             QStringLiteral("read-only"));
    QVERIFY(!w.logCommands()->journal().isStarted());

    QVERIFY(mount({QStringLiteral("-o"), QStringLiteral("remount,bind,rw"), folder}));
    w.logCommands()->syncJournal(); // the window's tick, once a second
    QCOMPARE(w.logCommands()->journalError(), QString());
    QFile journal(w.logCommands()->journal().path());
    QVERIFY(journal.open(QIODevice::ReadOnly));
    QList<QByteArray> records;
    for (const QByteArray &line : journal.readAll().split('\n'))
        if (!line.isEmpty() && !line.startsWith('#'))
            records << line.left(line.indexOf('\t'));
    QCOMPARE(records, (QList<QByteArray>{"No", "4", "5"}));
    // Taken as records again, as before the failure.
    logReadings(w, 1);
    QCOMPARE(w.logCommands()->journal().path(), journal.fileName());
    QVERIFY(journal.seek(0));
    const QList<QByteArray> lines = journal.readAll().split('\n');
    QVERIFY(lines.size() >= 2 && lines[lines.size() - 2].startsWith("6\t"));
}

void TestLogInWindow::unsavedReadingsAreAskedAbout_data()
{
    QTest::addColumn<QString>("command"); // close box, EXIT, Ctrl+Q, New, Open
    QTest::addColumn<int>("answer");
    for (const char *command : {"close box", "EXIT", "Ctrl+Q", "New", "Open"}) {
        QTest::addRow("%s, Cancel", command) << command << int(QMessageBox::Cancel);
        QTest::addRow("%s, Discard", command) << command << int(QMessageBox::Discard);
        QTest::addRow("%s, Save", command) << command << int(QMessageBox::Save);
        QTest::addRow("%s, Save cancelled", command) << command << -int(QMessageBox::Save);
    }
}

// Save (negative: the save dialog is then cancelled), Discard or Cancel in the question. The
// question comes once, whatever follows; after Cancel the log, its journal and logging go on.
void TestLogInWindow::unsavedReadingsAreAskedAbout()
{
    QFETCH(QString, command);
    QFETCH(int, answer);
    const bool saveCancelled = answer < 0;
    const auto button = QMessageBox::StandardButton(std::abs(answer));
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("state-asked"))));
    TFCOMM w;
    w.show();
    int terminations = 0;
    // As the program ends: quitting closes every window, whose close box is asked again.
    w.setTerminate([&] {
        ++terminations;
        w.close();
    });
    // Open replaces the log by a file saved earlier: three readings saved, three more unsaved.
    const QString old = m_dir.filePath(QStringLiteral("asked-old.db"));
    QFile::remove(old);
    if (command == u"Open") {
        logReadings(w, 3);
        MessageBoxCloser boxes;
        answerFileDialog(old);
        w.ui()->saveas->click();
    }
    logReadings(w, 3);
    const int logged = w.readingLog().table().recordCount();
    w.logCommands()->syncJournal();
    const QString journal = w.logCommands()->journal().path();
    QVERIFY(QFile::exists(journal));
    const QString path = m_dir.filePath(QStringLiteral("asked.xls"));
    QFile::remove(path);

    QStringList texts;
    auto *answerer = new QTimer(&w);
    connect(answerer, &QTimer::timeout, answerer, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            texts << box->text();
            if (box->objectName() == u"UnsavedQuestion") {
                QCOMPARE(box->icon(), QMessageBox::Warning);
                // The save dialog comes after the question (Open's own dialog came before it).
                if (button == QMessageBox::Save && !saveCancelled)
                    answerFileDialog(path);
                box->button(button)->click();
            } else {
                box->accept();
            }
        } else if (auto *d = qobject_cast<QFileDialog *>(modal);
                   d && saveCancelled && texts.size() > 0) {
            QMetaObject::invokeMethod(d, "reject", Qt::QueuedConnection);
        }
    });
    answerer->start(10);
    if (command == u"Open")
        answerFileDialog(old);

    if (command == u"close box")
        w.close();
    else if (command == u"EXIT")
        w.ui()->BitBtn1->click();
    else if (command == u"Ctrl+Q") {
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
    }
    else if (command == u"New")
        w.ui()->RecordNew->click();
    else
        w.ui()->OpenDataFiles->click();
    delete answerer;

    QCOMPARE(texts.value(0), QStringLiteral("The log holds readings that have not been saved."));
    QCOMPARE(texts.count(texts.value(0)), 1);
    const bool goes =
        button == QMessageBox::Discard || (button == QMessageBox::Save && !saveCancelled);
    if (command == u"New" || command == u"Open") {
        QCOMPARE(terminations, 0);
        QCOMPARE(w.readingLog().table().recordCount(), goes ? (command == u"New" ? 0 : 3) : logged);
        QCOMPARE(w.logCommands()->hasUnsaved(), !goes);
        // The question took the place of " Record deleted ".
        QVERIFY(!texts.contains(QStringLiteral(" Record deleted ")));
    } else {
        QCOMPARE(terminations, goes ? 1 : 0);
    }
    if (!goes) {
        // Everything as it was, and the run goes on into the log and its journal.
        QVERIFY(w.logOpen());
        QCOMPARE(w.readingLog().table().recordCount(), logged);
        QVERIFY(w.logCommands()->hasUnsaved());
        QVERIFY(QFile::exists(journal));
        logReadings(w, 1);
        QCOMPARE(w.readingLog().table().recordCount(), logged + 1);
        w.logCommands()->syncJournal();
        QVERIFY(contents(journal).contains('\n' + QByteArray::number(logged + 1) + '\t'));
    }
    if (button == QMessageBox::Save && !saveCancelled) {
        // The file reads back: header and the records.
        const QList<QByteArray> lines = contents(path).split('\n');
        QCOMPARE(lines.size(), logged + 2);
        QVERIFY2(lines[3].startsWith("3\t") && lines[3].endsWith("\tDC\t1.003\tV\tAUTO\r"),
                 lines[3].constData());
    } else {
        QVERIFY(!QFile::exists(path));
    }
}

// With every reading saved, the close box ends at once and "EXIT" asks its own question.
void TestLogInWindow::nothingUnsavedKeepsTheOldWays()
{
    TFCOMM w;
    w.show();
    int terminations = 0;
    w.setTerminate([&] { ++terminations; });
    logReadings(w, 2);
    {
        MessageBoxCloser boxes;
        answerFileDialog(m_dir.filePath(QStringLiteral("kept.xls")));
        w.ui()->saveas->click();
    }
    QStringList texts;
    auto *answerer = new QTimer(&w);
    connect(answerer, &QTimer::timeout, answerer, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            texts << box->text();
            box->button(QMessageBox::No)->click();
        }
    });
    answerer->start(10);
    w.ui()->BitBtn1->click();
    QCOMPARE(texts, QStringList(QStringLiteral("Are you ensure to exit the program\uFF1F")));
    QCOMPARE(terminations, 0);
    w.close();
    QCOMPARE(texts.size(), 1);
    QCOMPARE(terminations, 1);
    delete answerer;
}

// The adapter pulled out under a running log: the window says the link is lost where the user
// looks (the connect button up, the link picture dark, the clock panel's reason), opens the port
// by itself once the adapter is back, and the log and its journal go on with the next number.
void TestLogInWindow::pulledOutAdapterIsOpenedAgainAndTheLogGoesOn()
{
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("state-unplug"))));
    const QByteArray adapter = QFile::encodeName(m_dir.filePath(QStringLiteral("ttyMeter")));
    m_pty.reset(); // the plain one of init() goes first: it takes COM1's name with it
    m_pty = std::make_unique<PtyPort>(adapter);
    QVERIFY(m_pty->isOpen());
    TFCOMM w;
    w.show();
    MessageBoxCloser boxes;
    logReadings(w, 3);
    QVERIFY(w.ui()->COMCon->isChecked());

    m_pty.reset(); // pulled out: the device and its name go
    qputenv("VORLATT_COM1", adapter); // COM1 still names the adapter's place
    QTRY_COMPARE(w.meterRun().state().kind, LinkState::Kind::Lost);
    QVERIFY(!w.ui()->COMCon->isChecked());
    QVERIFY(w.ui()->CONokN->isVisible());
    QVERIFY(w.ui()->Image1->isHidden());
    QVERIFY(w.ui()->BTCon->isVisible()); // "connect" offered again
    QVERIFY2(w.ui()->StatusPanel3->text().startsWith(u"Link lost: the "),
             qPrintable(w.ui()->StatusPanel3->text()));
    QVERIFY(!w.serialDriver()->IsOpen());
    QVERIFY(w.meterRun().reopening());
    QTest::qWait(MeterRun::kReopenMs + 200); // a try or two while the device is away
    QVERIFY(!w.serialDriver()->IsOpen());

    m_pty = std::make_unique<PtyPort>(adapter); // plugged in again, at another pty
    QVERIFY(m_pty->isOpen());
    QTRY_VERIFY(w.serialDriver()->IsOpen());
    QVERIFY(w.ui()->COMCon->isChecked());
    QVERIFY(w.ui()->BtDiscon->isVisible());
    QVERIFY(w.ui()->USBCon->isHidden());
    // Every reading sent once the port is open again is logged, numbered on.
    send("\r" + protocol::DisplayState().toFrame().right(1));
    logReadings(w, 4);
    QCOMPARE(w.readingLog().table().recordCount(), 7);
    QCOMPARE(w.meterRun().state().kind, LinkState::Kind::Live);
    QVERIFY(!w.ui()->StatusPanel3->text().startsWith(u"Link lost"));
    w.logCommands()->syncJournal();
    const QList<QByteArray> lines = contents(w.logCommands()->journal().path()).split('\n');
    QStringList numbers;
    for (const QByteArray &line : lines)
        if (!line.isEmpty() && !line.startsWith('#') && !line.startsWith("No\t"))
            numbers << QString::fromLatin1(line.left(line.indexOf('\t')));
    QCOMPARE(numbers, (QStringList{"1", "2", "3", "4", "5", "6", "7"}));
    // The user's Disconnect ends it: no more tries.
    w.ui()->COMCon->click();
    QVERIFY(!w.meterRun().reopening());
    QCOMPARE(w.meterRun().state().kind, LinkState::Kind::Closed);
}

// Every logged record is in the journal as the log holds it, until a save or New retires it.
void TestLogInWindow::journalHoldsTheUnsavedReadings()
{
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("state"))));
    const QString folder = m_dir.filePath(QStringLiteral("state/vorlatt"));
    TFCOMM w;
    w.show();
    MessageBoxCloser boxes;
    QVERIFY(!w.logCommands()->journal().isStarted());
    logReadings(w, 3);
    const QString path = w.logCommands()->journal().path();
    QCOMPARE(QFileInfo(path).absolutePath(), folder);
    // Lines are written as records are logged; the clock's sync puts them on the disk.
    w.logCommands()->syncJournal();
    QList<QByteArray> lines = contents(path).split('\n');
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines[0], QByteArray("No\tTime\tDC/AC\tValue\tUnit\tAUTO\tNval\tDateTime\tFullUnit"));
    // The port the readings came from, as the title names it, before them.
    QCOMPARE(lines[1], "#port\tCOM1 (" + QFile::encodeName(m_pty->path()) + ")");
    lines.removeAt(1);
    auto *grid = qobject_cast<LogGridView *>(w.ui()->DBGrid1);
    for (int r = 0; r < 3; ++r) {
        const QList<QByteArray> fields = lines[r + 1].split('\t');
        QCOMPARE(fields.size(), 9);
        QStringList six;
        for (int c = 0; c < 6; ++c)
            six << QString::fromLatin1(fields[c]);
        QStringList shown = gridRow(grid, r);
        shown[4] = QStringLiteral("V"); // the grid shows the display font's stand-in
        QCOMPARE(six, shown);
        const table::Table &t = w.readingLog().table();
        QCOMPARE(fields[6], QByteArray::fromStdString(t.text(r, t.fieldIndex("Nval"))));
        const QDateTime at = QDateTime::fromString(QString::fromLatin1(fields[7]), Qt::ISODate);
        QVERIFY(at.isValid());
        QCOMPARE(at.time().toString(QStringLiteral("HH:mm:ss")), six[1]);
        QCOMPARE(fields[8], QByteArray("V"));
    }
    QVERIFY(lines[4].isEmpty());

    // A save retires it; the next reading starts a fresh one, which New retires.
    answerFileDialog(m_dir.filePath(QStringLiteral("journaled.xls")));
    w.ui()->saveas->click();
    QVERIFY(!QFile::exists(path));
    QVERIFY(!w.logCommands()->journal().isStarted());
    logReadings(w, 1);
    const QString second = w.logCommands()->journal().path();
    QVERIFY(QFile::exists(second));
    w.ui()->RecordNew->click();
    QVERIFY(!QFile::exists(second));
    // No journal is left; the window's copy of the log table stays while it runs.
    QCOMPARE(QDir(folder).entryList({QStringLiteral("journal-*")}, QDir::Files), QStringList());
    qunsetenv("XDG_STATE_HOME");
}

void TestLogInWindow::leftJournalIsOfferedBack_data()
{
    QTest::addColumn<QString>("answer");
    QTest::newRow("Restore") << "Restore";
    QTest::newRow("Save...") << "Save...";
    QTest::newRow("Discard") << "Discard";
}

// A journal a crashed run left (its last record cut by the crash) is offered at the next start;
// a journal of another user in the folder is not touched.
void TestLogInWindow::leftJournalIsOfferedBack()
{
    QFETCH(QString, answer);
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
    const auto unset = qScopeGuard([] { qunsetenv("XDG_STATE_HOME"); });
    const QString folder = state.filePath(QStringLiteral("vorlatt"));
    QVERIFY(QDir().mkpath(folder));
    const QString left = folder + QStringLiteral("/journal-20260101-120000-99999-0.tsv");
    {
        QFile f(left);
        QVERIFY(f.open(QIODevice::WriteOnly));
        // An older journal, without the full unit; two lines a disk damaged (random bytes, and
        // a record run into a long stretch of garbage) among the records.
        f.write("No\tTime\tDC/AC\tValue\tUnit\tAUTO\tNval\tDateTime\n"
                "7\t12:00:01\tDC\t1.007\tV\tAUTO\t1007\t2026-01-01T12:00:01\n");
        f.write(QByteArray::fromHex("93ff00c3287f1b5b41e2"));
        f.write("\n8\t12:00:02\tAC\t-2.50\tmV\tMANU\t-250\t2026-01-01T12:00:02\n");
        f.write("8\t12:00:02\tAC\t-2.50" + QByteArray(5000, 'x') + "\tmV\tMANU\t-250\t\n");
        f.write("9\t12:00:03\tDC\t1.0"); // cut mid-record
    }
    const QString foreign = folder + QStringLiteral("/journal-20260101-110000-88888-0.tsv");
    const QByteArray foreignBytes = "No\tTime\tDC/AC\tValue\tUnit\tAUTO\tNval\tDateTime\n"
                                    "1\t11:00:00\tDC\t5.000\tV\tAUTO\t5000\t2026-01-01T11:00:00\n";
    {
        QFile f(foreign);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(foreignBytes);
    }
    const bool otherUser =
        ::geteuid() == 0 && ::chown(QFile::encodeName(foreign).constData(), 65534, 65534) == 0;
    if (!otherUser)
        QFile::remove(foreign);

    TFCOMM w;
    w.show();
    QStringList questions, informative;
    const QString saved = m_dir.filePath(QStringLiteral("recovered.xls"));
    QFile::remove(saved);
    if (answer == u"Save...")
        answerFileDialog(saved);
    auto *answerer = new QTimer(&w);
    connect(answerer, &QTimer::timeout, answerer, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            questions << box->text();
            informative << box->informativeText();
            if (box->objectName() != u"RecoveryQuestion") {
                box->accept();
                return;
            }
            for (QAbstractButton *b : box->buttons()) {
                if (b->text() == answer)
                    b->click();
            }
        }
    });
    answerer->start(10);
    w.offerRecovery();
    delete answerer;
    QCOMPARE(questions.value(0),
             QStringLiteral("A run that ended unexpectedly left 2 unsaved readings."));
    QVERIFY2(informative.value(0).contains(QStringLiteral("2 damaged lines were left out.")),
             qPrintable(informative.value(0)));
    QVERIFY(!QFile::exists(left));
    const table::Table &t = w.readingLog().table();
    if (answer == u"Restore") {
        QCOMPARE(t.recordCount(), 2);
        QCOMPARE(QString::fromStdString(t.text(0, t.fieldIndex("No"))), QStringLiteral("7"));
        QCOMPARE(QString::fromStdString(t.text(1, t.fieldIndex("Value"))), QStringLiteral("-2.50"));
        QCOMPARE(QString::fromStdString(t.text(1, t.fieldIndex("Time"))).left(8),
                 QStringLiteral("12:00:02"));
        QCOMPARE(QString::fromStdString(t.text(1, t.fieldIndex("Unit"))), QStringLiteral("mV"));
        QVERIFY(w.logCommands()->hasUnsaved());
        // The numbering goes on after them, and they are in this run's journal.
        QCOMPARE(w.readingLog().NextRecordNo, 9);
        logReadings(w, 1);
        QCOMPARE(QString::fromStdString(t.text(2, t.fieldIndex("No"))), QStringLiteral("9"));
        // This run's journal holds the records the log took, not the damaged lines: a second
        // crash loses none of them.
        const QList<QByteArray> journal = contents(w.logCommands()->journal().path()).split('\n');
        QCOMPARE(journal.size(), 6);
        QCOMPARE(journal[1], QByteArray("7\t12:00:01\tDC\t1.007\tV\tAUTO\t1007\t2026-01-01T12:00:01"));
        QCOMPARE(journal[2], QByteArray("8\t12:00:02\tAC\t-2.50\tmV\tMANU\t-250\t2026-01-01T12:00:02"));
        QVERIFY(journal[3].startsWith("#port\t")); // this run's reading
        QVERIFY(journal[4].startsWith("9\t"));
    } else if (answer == u"Save...") {
        QCOMPARE(t.recordCount(), 0);
        const QList<QByteArray> lines = contents(saved).split('\n');
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines[1].startsWith("7\t12:00:01\tDC\t1.007\tV\tAUTO"), lines[1].constData());
        QVERIFY2(lines[2].startsWith("8\t12:00:02\tAC\t-2.50\tmV\tMANU"), lines[2].constData());
        QVERIFY(!w.logCommands()->hasUnsaved());
    } else {
        QCOMPARE(t.recordCount(), 0);
        QVERIFY(!w.logCommands()->hasUnsaved());
    }
    QCOMPARE(questions.filter(QStringLiteral("ended unexpectedly")).size(), 1);
    if (otherUser)
        QCOMPARE(contents(foreign), foreignBytes);
}

// Two windows killed at once leave two journals: each is offered on its own with its port and
// its end, and the second restored numbers on after the first instead of repeating its numbers.
// Restored on a disk with too little room for them in this run's journal: that journal holds
// none of them, and the leftover, kept, holds them all. (Once the journal kept the part that
// fitted, and after another crash both were offered: those readings came back twice.)
void TestLogInWindow::restoreOnAFullDiskLeavesEachReadingOnce()
{
    if (::geteuid() != 0)
        QSKIP("mounting a small filesystem needs root");
    QTemporaryDir state;
    QVERIFY(state.isValid());
    const QByteArray before = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
    const auto back = qScopeGuard([&] { qputenv("XDG_STATE_HOME", before); });
    // The log's working copy elsewhere: only the journal meets the full disk.
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    const QByteArray runtimeBefore = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    const auto runtimeBack = qScopeGuard([&] { qputenv("XDG_RUNTIME_DIR", runtimeBefore); });
    const QString folder = state.filePath(QStringLiteral("vorlatt"));
    QVERIFY(QDir().mkpath(folder));
    if (QProcess::execute(QStringLiteral("mount"),
                          {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                           QStringLiteral("size=64k,mode=0700"), QStringLiteral("tmpfs"),
                           folder}) != 0)
        QSKIP("this machine does not let the test mount a small filesystem");
    const auto unmount = qScopeGuard([&] {
        QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), folder});
    });

    constexpr int kRecords = 400;
    const QString left = folder + QStringLiteral("/journal-20260101-120000-99999-0.tsv");
    {
        QFile f(left);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QByteArray lines = "No\tTime\tDC/AC\tValue\tUnit\tAUTO\tNval\tDateTime\n";
        for (int no = 1; no <= kRecords; ++no)
            lines += QByteArray::number(no) +
                     "\t12:00:01\tDC\t1.007\tV\tAUTO\t1007\t2026-01-01T12:00:01\n";
        QVERIFY(f.write(lines) == lines.size());
    }
    // The window opens its log before the disk fills up (its start writes there too).
    TFCOMM w;
    w.show();
    // The disk full but for 8 kB: room for a journal's start, not for the restored readings.
    {
        QFile filler(folder + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(512, 'x');
        while (filler.write(block) == block.size()) {
        }
        QVERIFY(filler.resize(filler.size() - 8192));
    }

    auto *answerer = new QTimer(&w);
    connect(answerer, &QTimer::timeout, answerer, [] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            for (QAbstractButton *b : box->buttons())
                if (box->objectName() == u"RecoveryQuestion" ? b->text() == u"Restore"
                                                             : true) {
                    b->click();
                    return;
                }
        }
    });
    answerer->start(10);
    w.offerRecovery();
    delete answerer;
    QCOMPARE(w.readingLog().table().recordCount(), kRecords);
    QVERIFY2(w.logCommands()->journalError().endsWith(QStringLiteral("No space left on device")),
             qPrintable(w.logCommands()->journalError()));

    // What the next start would offer, file by file: every reading once.
    int records = 0;
    for (const QString &name : QDir(folder).entryList({QStringLiteral("journal-*")}))
        for (const QByteArray &line : contents(folder + u'/' + name).split('\n'))
            records += !line.isEmpty() && std::isdigit(uchar(line[0]));
    QCOMPARE(records, kRecords);
    QVERIFY(QFile::exists(left));
}

void TestLogInWindow::twoLeftJournalsAreOfferedApartAndNumberOn()
{
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
    const auto unset = qScopeGuard([] { qunsetenv("XDG_STATE_HOME"); });
    const QString folder = state.filePath(QStringLiteral("vorlatt"));
    QVERIFY(QDir().mkpath(folder));
    const QByteArray header = "No\tTime\tDC/AC\tValue\tUnit\tAUTO\tNval\tDateTime\tFullUnit\n";
    const struct
    {
        const char *name;
        QByteArray body;
        QDateTime ended;
    } journals[] = {
        {"journal-20260101-120000-99991-0.tsv",
         "#port\tCOM1 (/dev/ttyUSB0)\n"
         "1\t12:00:01\tDC\t1.001\tV\tAUTO\t1001\t2026-01-01T12:00:01.000\tV\n"
         "2\t12:00:02\tDC\t1.002\tV\tAUTO\t1002\t2026-01-01T12:00:02.000\tV\n"
         "3\t12:00:03\tDC\t1.003\tV\tAUTO\t1003\t2026-01-01T12:00:03.000\tV\n",
         QDateTime(QDate(2026, 1, 1), QTime(12, 0, 3))},
        {"journal-20260101-120000-99992-0.tsv",
         "#port\tUSB (/dev/hidraw3)\n"
         "1\t12:00:01\tAC\t2.001\tmV\tMANU\t2001\t2026-01-01T12:00:01.000\tmV\n"
         "2\t12:00:02\tAC\t2.002\tmV\tMANU\t2002\t2026-01-01T12:00:02.000\tmV\n",
         QDateTime(QDate(2026, 1, 1), QTime(12, 0, 2))},
    };
    for (const auto &j : journals) {
        QFile f(folder + u'/' + QLatin1String(j.name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(header + j.body);
        f.close();
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(j.ended, QFileDevice::FileModificationTime));
    }

    TFCOMM w;
    w.show();
    QStringList questions, informative;
    auto *answerer = new QTimer(&w);
    connect(answerer, &QTimer::timeout, answerer, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            questions << box->text();
            informative << box->informativeText();
            for (QAbstractButton *b : box->buttons()) {
                if (b->text() == u"Restore")
                    b->click();
            }
        }
    });
    answerer->start(10);
    w.offerRecovery();
    delete answerer;
    QCOMPARE(questions,
             QStringList({QStringLiteral("A run that ended unexpectedly left 3 unsaved readings."),
                          QStringLiteral("A run that ended unexpectedly left 2 unsaved readings.")}));
    QVERIFY2(informative.value(0).startsWith(
                 "Read from COM1 (/dev/ttyUSB0); the run ended 2026-01-01 12:00:03."),
             qPrintable(informative.value(0)));
    QVERIFY2(informative.value(1).startsWith(
                 "Read from USB (/dev/hidraw3); the run ended 2026-01-01 12:00:02."),
             qPrintable(informative.value(1)));

    const table::Table &t = w.readingLog().table();
    QCOMPARE(t.recordCount(), 5);
    QStringList numbers, values;
    for (int r = 0; r < 5; ++r) {
        numbers << QString::fromStdString(t.text(r, t.fieldIndex("No")));
        values << QString::fromStdString(t.text(r, t.fieldIndex("Value")));
    }
    QCOMPARE(numbers, QStringList({"1", "2", "3", "4", "5"}));
    QCOMPARE(values, QStringList({"1.001", "1.002", "1.003", "2.001", "2.002"}));
    QCOMPARE(w.readingLog().NextRecordNo, 6);
    // This run's journal holds them as the log does, each after the port it came from; a
    // reading of this run names its own port.
    logReadings(w, 1);
    w.logCommands()->syncJournal();
    const QList<QByteArray> lines = contents(w.logCommands()->journal().path()).split('\n');
    QCOMPARE(lines.size(), 11);
    QCOMPARE(lines[1], QByteArray("#port\tCOM1 (/dev/ttyUSB0)"));
    QVERIFY(lines[4].startsWith("3\t12:00:03\tDC\t1.003"));
    QCOMPARE(lines[5], QByteArray("#port\tUSB (/dev/hidraw3)"));
    QVERIFY(lines[6].startsWith("4\t12:00:01\tAC\t2.001"));
    QVERIFY(lines[7].startsWith("5\t12:00:02\tAC\t2.002"));
    QCOMPARE(lines[8], "#port\tCOM1 (" + QFile::encodeName(m_pty->path()) + ")");
    QVERIFY(lines[9].startsWith("6\t"));
    QCOMPARE(QDir(folder).entryList({QStringLiteral("journal-*")}, QDir::Files).size(), 1);
}

void TestLogInWindow::limitItemsCheckOneAndSetTheLimit()
{
    TFCOMM w;
    Ui::FCOMM *ui = w.ui();
    QAction *items[] = {ui->N10001,  ui->N50001,   ui->N100001,
                        ui->N500001, ui->N1000001, ui->limitess};
    const qint32 limits[] = {1000, 5000, 10000, 50000, 100000, 10000000};
    for (int pick : {5, 0, 3}) {
        items[pick]->trigger();
        for (int i = 0; i < 6; ++i)
            QCOMPARE(items[i]->isChecked(), i == pick);
        QCOMPARE(w.readingLog().RecordLimit, limits[pick]);
    }
}

// Logging stops at the record limit: the clock panel says so, once and without a box, until a
// higher limit lets readings in again.
void TestLogInWindow::recordLimitStopIsSaidInTheStatusBar()
{
    TFCOMM w;
    w.show();
    Ui::FCOMM *ui = w.ui();
    logReadings(w, 2);
    w.Timer1Timer();
    const QString clock = ui->StatusPanel3->text();
    QVERIFY(!clock.contains(QStringLiteral("Logging stopped")));

    w.readingLog().rules().setLimit(3); // a limit of 3 takes 4 readings
    logReadings(w, 2);
    QCOMPARE(ui->StatusPanel3->text(), QStringLiteral("Logging stopped: limit 3"));
    QVERIFY(ui->StatusPanel3->fontMetrics().horizontalAdvance(
                QStringLiteral("Logging stopped: limit 10000000")) <=
            ui->StatusPanel3->contentsRect().width());
    // Readings that are not taken add nothing; the clock's tick does not hide it.
    const qint64 records = w.readingLog().table().recordCount();
    protocol::DisplayState untaken;
    untaken.digits = "0777";
    send(untaken.toFrame() + untaken.toFrame());
    QTRY_COMPARE(w.reading().ValueText, QStringLiteral("0777"));
    QCOMPARE(w.readingLog().table().recordCount(), records);
    w.Timer1Timer();
    QCOMPARE(ui->StatusPanel3->text(), QStringLiteral("Logging stopped: limit 3"));
    QCOMPARE(QApplication::activeModalWidget(), nullptr);

    ui->limitess->trigger();
    QVERIFY(!ui->StatusPanel3->text().contains(QStringLiteral("Logging stopped")));
    logReadings(w, 1);
}

// Six-digit record numbers show whole, and every unit's symbols show whole inside their cell:
// the ink drawn in the cell is as wide as the same text drawn alone.
// The simulator's tour of units: what a person reads (grid, MIN/MAX, every save, and a saved
// table opened and saved again) shows the unit as the display did, kHz as kHz, with the date.
void TestLogInWindow::shownUnitAndDateGoThroughEverySave_data()
{
    QTest::addColumn<int>("annunciators");
    QTest::addColumn<QString>("unitText"); // the table's two characters
    QTest::addColumn<QString>("shown");
    QTest::newRow("V") << int(Annunciator::Volt) << "V" << "V";
    QTest::newRow("mV") << int(Annunciator::Volt | Annunciator::Milli) << "mV" << "mV";
    QTest::newRow("uA") << int(Annunciator::Ampere | Annunciator::Micro) << "uA" << "uA";
    QTest::newRow("kOhm") << int(Annunciator::Ohm | Annunciator::Kilo) << "k*" << "k*";
    QTest::newRow("nF") << int(Annunciator::Farad | Annunciator::Nano) << "nF" << "nF";
    QTest::newRow("Hz") << int(Annunciator::Hertz) << "Hz" << "Hz";
    QTest::newRow("kHz") << int(Annunciator::Hertz | Annunciator::Kilo) << "Hz" << "kHz";
    QTest::newRow("MHz") << int(Annunciator::Hertz | Annunciator::Mega) << "Hz" << "MHz";
    QTest::newRow("Celsius") << int(Annunciator::Celsius) << "#" << "#";
    QTest::newRow("percent") << int(Annunciator::Percent) << "%" << "%";
}

void TestLogInWindow::shownUnitAndDateGoThroughEverySave()
{
    QFETCH(int, annunciators);
    QFETCH(QString, unitText);
    QFETCH(QString, shown);
    TFCOMM w;
    w.show();
    auto *grid = qobject_cast<LogGridView *>(w.ui()->DBGrid1);
    w.ui()->COMCon->click();
    send("\r" + protocol::DisplayState().toFrame().right(1));
    protocol::DisplayState reading;
    reading.digits = "1261";
    reading.annunciators = protocol::Annunciators::fromInt(annunciators);
    send(reading.toFrame());
    QTRY_COMPARE(grid->logModel()->totalRows(), 1);
    QCOMPARE(gridRow(grid, 0).value(4), shown);
    QCOMPARE(w.ui()->MaxTextU->text(), shown);
    QCOMPARE(w.ui()->MinTextU->text(), shown);

    ReadingLog &log = w.readingLog();
    DataFiles files(log.session());
    const QString dir = m_dir.filePath(QStringLiteral("tour"));
    QVERIFY(QDir().mkpath(dir));
    const auto lineOf = [](const QString &path, int line) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll().split('\n').value(line).trimmed()
                                           : QByteArray();
    };
    const QString text = dir + QStringLiteral("/run.xls");
    QCOMPARE(files.SaveLogAsText(log, text).kind, DataFiles::TextResult::Kind::Saved);
    QCOMPARE(lineOf(text, 1).split('\t').value(4), shown.toLatin1());
    const QString csv = dir + QStringLiteral("/run.csv");
    QCOMPARE(files.SaveLogAsCsv(log, csv).kind, DataFiles::TextResult::Kind::Saved);
    const QList<QByteArray> first = lineOf(csv, 1).split(',');
    // The spreadsheet's unit as a person writes it (kΩ, µA, °C), the display's stand-ins apart.
    QCOMPARE(first.value(4), logrecord::plainUnit(shown).toUtf8());
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(first.value(6)), Qt::ISODateWithMs);
    QVERIFY2(when.isValid(), first.value(6).constData());

    // The table keeps the designed two-character unit and carries the shown unit and the date
    // after its designed fields; opened again, the log gives both to every save.
    const QString db = dir + QStringLiteral("/run.db");
    QCOMPARE(files.SaveLogAsDb(log, db), QString());
    QCOMPARE(log.openOldFile(db, [] { return true; }), QString());
    const table::Table &opened = log.table();
    QCOMPARE(opened.fieldIndex("DateTime"), 8);
    QCOMPARE(QString::fromStdString(opened.text(0, opened.fieldIndex("Unit"))), unitText);
    QCOMPARE(grid->logModel()->totalRows(), 1);
    QCOMPARE(gridRow(grid, 0).value(4), shown);
    const QString again = dir + QStringLiteral("/again.csv");
    QCOMPARE(files.SaveLogAsCsv(log, again).kind, DataFiles::TextResult::Kind::Saved);
    QCOMPARE(lineOf(again, 1), lineOf(csv, 1));
    const QString againDb = dir + QStringLiteral("/again.db");
    QCOMPARE(files.SaveLogAsDb(log, againDb), QString());
    QCOMPARE(log.openOldFile(againDb, [] { return true; }), QString());
    QCOMPARE(files.SaveLogAsCsv(log, again).kind, DataFiles::TextResult::Kind::Saved);
    QCOMPARE(lineOf(again, 1), lineOf(csv, 1));
    QCOMPARE(files.SaveLogAsText(log, text).kind, DataFiles::TextResult::Kind::Saved);
    QCOMPARE(lineOf(text, 1).split('\t').value(4), shown.toLatin1());
#ifdef VORLATT_HAVE_PXLIB
    // An independent reader finds the designed fields first and the shown unit after them.
    PX_boot();
    pxdoc_t *px = PX_new();
    QCOMPARE(PX_open_file(px, QFile::encodeName(againDb).constData()), 0);
    QCOMPARE(PX_get_num_fields(px), 10);
    QCOMPARE(QByteArray(PX_get_field(px, 6)->px_fname), QByteArray("Unit"));
    QCOMPARE(QByteArray(PX_get_field(px, 9)->px_fname), QByteArray("FullUnit"));
    QByteArray record(PX_get_recordsize(px), '\0');
    QVERIFY(PX_get_record(px, 0, record.data()));
    char *value = nullptr;
    QVERIFY(PX_get_data_alpha(px, record.data() + 36 + 8, 8, &value) > 0);
    QCOMPARE(QString::fromLatin1(value), shown);
    free(value);
    PX_close(px);
    PX_delete(px);
    PX_shutdown();
#endif
}

void TestLogInWindow::gridShowsNumbersAndUnitsWhole_data()
{
    QTest::addColumn<int>("annunciators");
    QTest::addColumn<QString>("unit");
    QTest::newRow("V") << int(Annunciator::Volt) << "V";
    QTest::newRow("mV") << int(Annunciator::Volt | Annunciator::Milli) << "mV";
    QTest::newRow("A") << int(Annunciator::Ampere) << "A";
    QTest::newRow("kOhm") << int(Annunciator::Ohm | Annunciator::Kilo) << "k*";
    QTest::newRow("Hz") << int(Annunciator::Hertz) << "Hz";
    QTest::newRow("Celsius") << int(Annunciator::Celsius) << "#";
    QTest::newRow("percent") << int(Annunciator::Percent) << "%";
}

void TestLogInWindow::gridShowsNumbersAndUnitsWhole()
{
    QFETCH(int, annunciators);
    QFETCH(QString, unit);
    TFCOMM w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *grid = qobject_cast<LogGridView *>(w.ui()->DBGrid1);
    w.readingLog().NextRecordNo = 180000;
    w.ui()->COMCon->click();
    send("\r" + protocol::DisplayState().toFrame().right(1));
    protocol::DisplayState reading;
    reading.digits = "0123";
    reading.annunciators = protocol::Annunciators::fromInt(annunciators);
    send(reading.toFrame());
    QTRY_COMPARE(grid->logModel()->totalRows(), 1);
    QCOMPARE(gridRow(grid, 0).value(0), QStringLiteral("180000"));
    QCOMPARE(gridRow(grid, 0).value(4), unit);
    // What the delegate needs to draw the number without eliding it.
    const int noNeeds =
        static_cast<QAbstractItemView *>(grid)->sizeHintForColumn(LogGridView::kNoColumn);
    QVERIFY2(noNeeds <= grid->columnWidth(LogGridView::kNoColumn),
             qPrintable(QString::number(noNeeds)));

    const QModelIndex cell = grid->model()->index(0, LogGridView::kUnitColumn);
    const QRect rect = grid->visualRect(cell);
    const QImage shot = grid->viewport()->grab().toImage();
    const QColor background = shot.pixelColor(rect.left() + 1, rect.top() + 1);
    auto inkColumns = [](const QImage &image, const QRect &area, const QColor &paper) {
        int first = -1, last = -1;
        for (int x = area.left(); x <= area.right(); ++x)
            for (int y = area.top(); y <= area.bottom(); ++y)
                if (qGray(image.pixel(x, y)) < qGray(paper.rgb()) - 60) {
                    if (first < 0)
                        first = x;
                    last = x;
                    break;
                }
        return std::pair<int, int>(first, last);
    };
    const auto [cellFirst, cellLast] = inkColumns(shot, rect, background);
    QVERIFY(cellFirst >= rect.left());
    // Two clear columns before the grid line, so the last stroke does not merge with it.
    QVERIFY2(cellLast < rect.right() - 1,
             qPrintable(QStringLiteral("ink up to %1, grid line after %2")
                            .arg(cellLast)
                            .arg(rect.right())));

    const QFont font = grid->logModel()->unitFont();
    QImage alone(80, 40, QImage::Format_ARGB32);
    alone.fill(background);
    {
        QPainter p(&alone);
        p.setFont(font);
        p.setPen(Qt::black);
        p.drawText(QPoint(20, 28), unit);
    }
    const auto [aloneFirst, aloneLast] = inkColumns(alone, alone.rect(), background);
    QVERIFY(aloneFirst >= 0);
    QVERIFY2(cellLast - cellFirst >= aloneLast - aloneFirst,
             qPrintable(QStringLiteral("%1 of %2 columns of ink")
                            .arg(cellLast - cellFirst + 1)
                            .arg(aloneLast - aloneFirst + 1)));
}

// A log as full as a Paradox table can be (65,535 blocks; one for the test, 910 readings) takes
// no more readings: the clock panel says so, as for the record limit, and the log saves whole.
void TestLogInWindow::fullTableStopsLoggingAndSavesWhole()
{
    table::setMaxBlocksForTesting(1);
    const auto restore = qScopeGuard([] { table::setMaxBlocksForTesting(0); });
    TFCOMM w;
    w.show();
    MessageBoxCloser boxes;
    const table::Table &t = w.readingLog().table();
    const qint64 most = table::mostRecords(t.fields());
    QCOMPARE(most, 910); // 32,762 bytes of a block's records, 36 bytes a record
    // In batches the pseudo-terminal's buffer holds.
    for (qint64 left = most - 1; left > 0; left -= 50)
        logReadings(w, int(std::min<qint64>(left, 50)));
    w.Timer1Timer();
    QVERIFY(!w.ui()->StatusPanel3->text().contains(QStringLiteral("Logging stopped")));
    logReadings(w, 1); // the last one a table holds
    protocol::DisplayState untaken;
    untaken.digits = "0777";
    send(untaken.toFrame() + untaken.toFrame());
    QTRY_COMPARE(w.reading().ValueText, QStringLiteral("0777"));
    QCOMPARE(t.recordCount(), most);
    w.Timer1Timer();
    QCOMPARE(w.ui()->StatusPanel3->text(), QStringLiteral("Logging stopped: table full"));

    const QString saved = m_dir.filePath(QStringLiteral("full.db"));
    answerFileDialog(saved);
    w.ui()->saveas->click();
    QVERIFY(!w.logCommands()->hasUnsaved());
    table::Table back(w.readingLog().session());
    back.setTableName(saved.toStdString());
    back.open();
    QCOMPARE(back.recordCount(), most);
    back.checkPrimaryIndex();
    QCOMPARE(QString::fromStdString(back.text(most - 1, back.fieldIndex("No"))),
             QString::number(most));
    back.close();
    // New empties the log, and readings are taken again.
    w.readingLog().RecordNew();
    logReadings(w, 1);
    w.Timer1Timer();
    QVERIFY(!w.ui()->StatusPanel3->text().contains(QStringLiteral("Logging stopped")));
}

void TestLogInWindow::previewPagesThroughTheReport()
{
    TFCOMM w;
    w.show();
    logReadings(w, 80);
    QPointer<ReportPreview> preview;
    QTimer::singleShot(0, this, [&] {
        preview = qobject_cast<ReportPreview *>(QApplication::activeModalWidget());
        QVERIFY(preview);
        QCOMPARE(preview->pageCount(), 3);
        preview->action(QStringLiteral("lastPage"))->trigger();
        QCOMPARE(preview->currentPage(), 2);
        QVERIFY(!preview->action(QStringLiteral("nextPage"))->isEnabled());
        preview->action(QStringLiteral("previousPage"))->trigger();
        QCOMPARE(preview->currentPage(), 1);
        preview->action(QStringLiteral("fitWidth"))->trigger();
        QCOMPARE(preview->zoom(), ReportPreview::Zoom::FitWidth);
        preview->action(QStringLiteral("close"))->trigger();
    });
    w.ui()->BtPrint->click();
    QVERIFY(!preview);
}

void TestLogInWindow::pdfSaveIsToldOnlyWhenWritten_data()
{
    QTest::addColumn<QString>("disk");
    QTest::newRow("written") << "room";
    QTest::newRow("read-only folder") << "read-only";
    QTest::newRow("full disk") << "full";
}

// The report's PDF is told as a .db save is, with its path and readings, once the preview that
// covers the window's status panel is closed; the preview names it at once. A PDF that cannot be
// written is said in a box with the system's reason and told as saved nowhere, and leaves
// nothing of itself behind.
void TestLogInWindow::pdfSaveIsToldOnlyWhenWritten()
{
    QFETCH(QString, disk);
    const bool readOnly = disk == u"read-only";
    const bool full = disk == u"full";
    const QString folder = m_dir.filePath(QStringLiteral("pdf-") + QTest::currentDataTag());
    QVERIFY(QDir().mkpath(folder));
    const auto mount = [](const QStringList &arguments) {
        return QProcess::execute(QStringLiteral("mount"), arguments) == 0;
    };
    bool mounted = false;
    const auto unmount = qScopeGuard([&] {
        if (mounted)
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), folder});
    });
    if (readOnly) {
        // A folder's mode keeps no root out: the folder is a read-only mount.
        mounted = mount({QStringLiteral("--bind"), folder, folder});
        if (!mounted || !mount({QStringLiteral("-o"), QStringLiteral("remount,bind,ro"), folder}))
            QSKIP("cannot mount a folder read-only (the test needs root)");
    }
    QByteArray older;
    if (full) {
        // 64 KiB, most of it taken by another file: no room for the report.
        mounted = mount({QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                         QStringLiteral("size=64k"), QStringLiteral("tmpfs"), folder});
        if (!mounted)
            QSKIP("cannot mount a small filesystem (the test needs root)");
        older = QByteArray(60 * 1024, 'x');
        QFile file(folder + QStringLiteral("/older.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(older) == older.size());
        file.close();
    }
    TFCOMM w;
    w.show();
    logReadings(w, 3);
    QList<QPair<QString, qint64>> told;
    w.logCommands()->setSavedListener(
        [&](const QString &path, qint64 records) { told.append({path, records}); });
    MessageBoxCloser boxes;
    const QString pdf = folder + QStringLiteral("/report.pdf");
    QString line;
    bool toldWhileOpen = true;
    QTimer::singleShot(0, this, [&] {
        auto *preview = qobject_cast<ReportPreview *>(QApplication::activeModalWidget());
        QVERIFY(preview);
        answerFileDialog(pdf);
        preview->action(QStringLiteral("savePdf"))->trigger();
        const auto *savedLine = preview->findChild<QLabel *>(QStringLiteral("savedLine"));
        line = savedLine && savedLine->isVisibleTo(preview) ? savedLine->text() : QString();
        toldWhileOpen = !told.isEmpty();
        preview->action(QStringLiteral("close"))->trigger();
    });
    w.ui()->BtPrint->click();
    QVERIFY(!toldWhileOpen);
    if (readOnly || full) {
        QCOMPARE(told, (QList<QPair<QString, qint64>>{}));
        QCOMPARE(line, QString());
        QCOMPARE(boxes.texts.size(), 1);
        QVERIFY2(boxes.texts.first().startsWith(QStringLiteral("Could not write the report to ") +
                                                pdf) &&
                     boxes.texts.first().endsWith(readOnly
                                                      ? QStringLiteral("Read-only file system")
                                                      : QStringLiteral("No space left on device")),
                 qPrintable(boxes.texts.first()));
        if (readOnly) {
            QVERIFY(!QFile::exists(pdf));
            return;
        }
        // Nothing of the report left, the other file whole.
        QVERIFY(!QFile::exists(pdf));
        QCOMPARE(contents(folder + QStringLiteral("/older.bin")), older);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("older.bin")});
        return;
    }
    QCOMPARE(boxes.texts, QStringList());
    QCOMPARE(told, (QList<QPair<QString, qint64>>{{pdf, 3}}));
    QVERIFY2(line.contains(pdf), qPrintable(line));
    const QByteArray written = contents(pdf);
    QVERIFY2(written.startsWith("%PDF-") && written.trimmed().endsWith("%%EOF"),
             written.left(16).constData());
    // Nothing but the PDF in the folder: its temporary went into its place.
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("report.pdf")});
}

// The meter goes on sending while the preview is open: the preview, and the PDF saved from it,
// keep the log as it was when the preview opened.
void TestLogInWindow::previewHoldsStillWhileReadingsArrive()
{
    if (QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty())
        QSKIP("pdfinfo and pdftotext (poppler-utils) are not installed");
    TFCOMM w;
    w.show();
    logReadings(w, 80); // 37 records to a page: 3 pages
    const QString pdf = m_dir.filePath(QStringLiteral("still.pdf"));
    QFile::remove(pdf);
    QPointer<ReportPreview> preview;
    QString line;
    int pagesAfterReadings = 0;
    QTimer::singleShot(0, this, [&] {
        preview = qobject_cast<ReportPreview *>(QApplication::activeModalWidget());
        QVERIFY(preview);
        QCOMPARE(preview->pageCount(), 3);
        line = preview->findChild<QLabel *>(QStringLiteral("snapshotLine"))->text();
        logReadings(w, 40); // 120 readings would make 4 pages
        QCoreApplication::processEvents();
        pagesAfterReadings = preview->pageCount();
        preview->action(QStringLiteral("lastPage"))->trigger();
        QCOMPARE(preview->currentPage(), 2);
        answerFileDialog(pdf);
        preview->action(QStringLiteral("savePdf"))->trigger();
        logReadings(w, 5);
        preview->action(QStringLiteral("close"))->trigger();
    });
    w.ui()->BtPrint->click();
    QVERIFY(!preview);
    QCOMPARE(pagesAfterReadings, 3);
    QCOMPARE(w.ui()->StatusPanel3->text(), QStringLiteral("Saved 80 readings to still.pdf"));
    QVERIFY2(line.contains(QStringLiteral(" 80 readings")) &&
                 line.contains(QRegularExpression(QStringLiteral("at \\d\\d:\\d\\d:\\d\\d "))),
             qPrintable(line));
    QCOMPARE(w.readingLog().table().recordCount(), 125);

    QProcess info;
    info.start(QStringLiteral("pdfinfo"), {pdf});
    QVERIFY(info.waitForFinished(60000));
    QVERIFY2(info.readAllStandardOutput().contains("\nPages:           3\n"), qPrintable(pdf));
    QProcess text;
    text.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
    QVERIFY(text.waitForFinished(60000));
    const QStringList pages = QString::fromUtf8(text.readAllStandardOutput()).split(u'\f');
    const QString made = line.section(QStringLiteral("at "), 1).left(8);
    for (int page = 0; page < 3; ++page) {
        QVERIFY2(pages.value(page).contains(
                     QRegularExpression(QStringLiteral("Foot\\s+%1 ?/ ?3\\s*$").arg(page + 1))),
                 qPrintable(pages.value(page)));
        QVERIFY2(pages.value(page).contains(QStringLiteral("made ") +
                                            QDate::currentDate().toString(Qt::ISODate)) &&
                     pages.value(page).contains(made),
                 qPrintable(pages.value(page)));
    }
    QVERIFY(pages.value(2).contains(
        QRegularExpression(QStringLiteral("^\\s*80\\s"), QRegularExpression::MultilineOption)));
    QVERIFY(!pages.join(QString()).contains(
        QRegularExpression(QStringLiteral("^\\s*81\\s"), QRegularExpression::MultilineOption)));
}

// Without "Tarvodb" the error is shown once, start-up goes on (profile, limits, dial), and
// readings reach the views without a box each.
void TestLogInWindow::missingLogTableStillStartsTheProgram()
{
    QTemporaryDir empty;
    const QString here = QDir::currentPath();
    QVERIFY(QDir::setCurrent(empty.path()));
    MessageBoxCloser boxes;
    TFCOMM w;
    QVERIFY(QDir::setCurrent(here));
    w.show();
    QTRY_COMPARE(boxes.texts.size(), 1);
    QVERIFY2(boxes.texts.first().contains(u"Tarvodb"), qPrintable(boxes.texts.first()));
    QVERIFY(!w.logOpen());
    QCOMPARE(w.windowTitle(), QStringLiteral("Vorlatt Interface Program: 1.0.1"));
    QCOMPARE(w.readingLog().RecordLimit, 10000);
    QCOMPARE(w.countRange().CountFull, 6000);

    w.ui()->COMCon->click();
    send("\r" + protocol::DisplayState().toFrame().right(1));
    protocol::DisplayState volts;
    volts.digits = "1234";
    volts.annunciators = Annunciator::Volt;
    send(volts.toFrame() + volts.toFrame() + volts.toFrame());
    QTRY_COMPARE(w.reading().ValueText, QStringLiteral("1234"));
    QTest::qWait(50);
    QCOMPARE(boxes.texts.size(), 1);
    QCOMPARE(qobject_cast<LogGridView *>(w.ui()->DBGrid1)->logModel()->totalRows(), 0);
}

// A log table without the fields the log writes (an opened file is checked, so here the
// start-up table "Tarvodb" itself was replaced): one error box, not one per frame, and the
// readings are not logged.
void TestLogInWindow::readingsTheLogCannotTakeAreReportedOnce()
{
    TFCOMM w;
    w.show();
    logReadings(w, 1);
    w.readingLog().close();
    const QString tarvodb = QDir::current().filePath(QStringLiteral("Tarvodb.DB"));
    const QString kept = QDir::current().filePath(QStringLiteral("Tarvodb.kept"));
    QVERIFY(QFile::rename(tarvodb, kept));
    const auto restore = qScopeGuard([&] {
        w.readingLog().close();
        QFile::remove(tarvodb);
        QFile::rename(kept, tarvodb);
    });
    table::Table t(w.readingLog().session());
    t.setTableName(tarvodb.toStdString());
    t.createTable({{"No", table::FieldType::Long, 4}, {"Remark", table::FieldType::Alpha, 20}});
    t.close();
    QCOMPARE(w.readingLog().open({}), QString());

    QStringList texts;
    int open = 0;
    int mostOpen = 0;
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, timer, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            ++open;
            mostOpen = std::max(mostOpen, open);
            texts << box->text();
            // Frames keep arriving while the box is open.
            QTest::qWait(300);
            --open;
            box->accept();
        }
    });
    timer->start(10);
    protocol::DisplayState volts;
    volts.digits = "2222";
    volts.annunciators = Annunciator::Volt;
    QByteArray frames;
    for (int i = 0; i < 5; ++i)
        frames += volts.toFrame();
    send(frames);
    QTRY_COMPARE(texts.size(), 1);
    send(frames);
    QTRY_COMPARE(w.reading().ValueText, QStringLiteral("2222"));
    QTest::qWait(400);
    QCOMPARE(texts.size(), 1);
    QCOMPARE(mostOpen, 1);
    QVERIFY2(texts.first().contains(u"has no field"), qPrintable(texts.first()));
    QCOMPARE(w.readingLog().table().recordCount(), 0);
    timer->stop();
    timer->deleteLater();
}

QTEST_MAIN(TestLogInWindow)
#include "TestLogInWindow.moc"
