#include "tests/support/PtyPort.h"
#include "app/GuideWindow.h"
#include "app/Shortcuts.h"
#include "app/TFCOMM.h"
#include "link/SerialPortDriver.h"
#include "log/ReportPreview.h"
#include "ui_FCOMM.h"

#include <QAbstractButton>
#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>
#include <QtTest>

namespace {

// Names the modal window a shortcut opened and closes it without doing anything: a file dialog
// cancelled, the report preview closed, a message box answered "No" where it asks.
class ModalWatcher : public QObject
{
public:
    ModalWatcher()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
                seen << (dialog->acceptMode() == QFileDialog::AcceptSave
                             ? QStringLiteral("save file dialog")
                             : QStringLiteral("open file dialog"));
                dialog->reject();
            } else if (auto *preview = qobject_cast<ReportPreview *>(modal)) {
                seen << QStringLiteral("report preview");
                preview->reject();
            } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                seen << QStringLiteral("box: ") + box->text();
                if (QAbstractButton *no = box->button(QMessageBox::No))
                    no->click();
                else
                    box->accept();
            } else {
                seen << QStringLiteral("other: ") + QString::fromLatin1(modal->metaObject()->className());
                modal->close();
            }
        });
        m_timer.start(10);
    }

    QStringList seen;

private:
    QTimer m_timer;
};

// Every button and menu item of the form with its caption, and the keys a menu item would show,
// as found in `window` (the form's names only: the window adds dialogs with buttons of their own).
QStringList captions(const QWidget &window, const QStringList &names)
{
    QStringList all;
    for (const QString &name : names) {
        if (const auto *b = window.findChild<QAbstractButton *>(name))
            all << name + u'=' + b->text();
        else if (const auto *a = window.findChild<QAction *>(name))
            all << name + u'=' + a->text() + u'|' + a->shortcut().toString();
        else
            all << name + QStringLiteral(" missing");
    }
    return all;
}

QStringList formNames(const QWidget &form)
{
    QStringList names;
    for (const QAbstractButton *b : form.findChildren<QAbstractButton *>())
        if (!b->objectName().isEmpty())
            names << b->objectName();
    for (const QAction *a : form.findChildren<QAction *>())
        if (!a->objectName().isEmpty())
            names << a->objectName();
    return names;
}

} // namespace

class TestShortcuts : public QObject
{
    Q_OBJECT
private slots:
    void keyOpensWhatItsButtonOpens_data();
    void keyOpensWhatItsButtonOpens();
    void exitKeyAsksAndEndsOnYes();
    void f5ConnectsAndDisconnectsTheSerialLink();
    void f1ShowsTheGuideRendered();
    void noCaptionOrMenuTextChanges();
};

void TestShortcuts::keyOpensWhatItsButtonOpens_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("opened");

    const QString exitQuestion = QStringLiteral("box: Are you ensure to exit the program") + QChar(0xFF1F);
    QTest::newRow("Ctrl+S saves the log") << int(Qt::Key_S) << QStringLiteral("save file dialog");
    QTest::newRow("Ctrl+O opens a data file") << int(Qt::Key_O) << QStringLiteral("open file dialog");
    QTest::newRow("Ctrl+P print preview") << int(Qt::Key_P) << QStringLiteral("report preview");
    QTest::newRow("Ctrl+N New of the log") << int(Qt::Key_N) << QStringLiteral("box:  Record deleted ");
    QTest::newRow("Ctrl+Q exit question") << int(Qt::Key_Q) << exitQuestion;
}

void TestShortcuts::keyOpensWhatItsButtonOpens()
{
    QFETCH(int, key);
    QFETCH(QString, opened);
    TFCOMM w;
    int terminated = 0;
    w.setTerminate([&] { ++terminated; });
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));

    ModalWatcher watcher;
    QTest::keyClick(&w, Qt::Key(key), Qt::ControlModifier);
    QTRY_COMPARE(watcher.seen, QStringList{opened});
    QCOMPARE(terminated, 0);
    // The same key without Ctrl does nothing.
    QTest::keyClick(&w, Qt::Key(key));
    QTest::qWait(50);
    QCOMPARE(watcher.seen, QStringList{opened});
}

void TestShortcuts::exitKeyAsksAndEndsOnYes()
{
    TFCOMM w;
    int terminated = 0;
    w.setTerminate([&] { ++terminated; });
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QString asked;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        asked = box->text();
        box->button(QMessageBox::Yes)->click();
    });
    QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
    QTRY_COMPARE(terminated, 1);
    QVERIFY(asked.startsWith(QStringLiteral("Are you ensure to exit the program")));
}

void TestShortcuts::f5ConnectsAndDisconnectsTheSerialLink()
{
    PtyPort port;
    QVERIFY(port.isOpen());
    TFCOMM w;
    Ui::FCOMM *ui = w.ui();
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));

    QTest::keyClick(&w, Qt::Key_F5);
    QVERIFY(ui->COMCon->isChecked());
    QVERIFY(w.serialDriver()->IsOpen());
    QVERIFY(ui->USBCon->isHidden() && !ui->BtDiscon->isHidden()); // as the button's click does

    QTest::keyClick(&w, Qt::Key_F5);
    QVERIFY(!ui->COMCon->isChecked());
    QVERIFY(!w.serialDriver()->IsOpen());
    QVERIFY(!ui->USBCon->isHidden() && ui->BtDiscon->isHidden());

    // While the USB link runs, "COM Connect" is hidden and cannot be clicked: F5 neither.
    ui->COMCon->hide();
    QTest::keyClick(&w, Qt::Key_F5);
    QVERIFY(!ui->COMCon->isChecked());
    QVERIFY(!w.serialDriver()->IsOpen());
}

// F1 shows the guide as a page: rendered, with its pictures, its contents links leading to their
// sections, and the keys it describes.
void TestShortcuts::f1ShowsTheGuideRendered()
{
    TFCOMM w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    ModalWatcher watcher; // a guide not found would be said in a box
    QTest::keyClick(&w, Qt::Key_F1);
    QCOMPARE(watcher.seen, QStringList());
    auto *guide = w.findChild<GuideWindow *>();
    QVERIFY(guide);
    QVERIFY(QTest::qWaitForWindowExposed(guide));
    QTextBrowser *browser = guide->browser();
    QCOMPARE(browser->source().toLocalFile(), Shortcuts::findGuide());
    QTextDocument *doc = browser->document();
    const QString text = doc->toPlainText();
    QVERIFY(text.startsWith(QStringLiteral("Vorlatt user guide")));
    // Rendered, not the source: no Markdown marks are left.
    for (const char *mark : {"## ", "![", "](", "**"})
        QVERIFY2(!text.contains(QLatin1String(mark)), mark);
    QVERIFY(doc->toHtml().contains(QStringLiteral("<table")));
    for (const char *key : {"Ctrl+S", "Ctrl+O", "Ctrl+P", "Ctrl+N", "Ctrl+Q", "F5", "F1"})
        QVERIFY2(text.contains(QLatin1String(key)), key);

    // Every picture is found and loads.
    QStringList pictures;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isImageFormat())
                pictures << it.fragment().charFormat().toImageFormat().name();
    QVERIFY(pictures.size() >= 5);
    for (const QString &picture : pictures) {
        const QVariant image = browser->loadResource(QTextDocument::ImageResource, QUrl(picture));
        QVERIFY2(image.isValid() && !QImage::fromData(image.toByteArray()).isNull(),
                 qPrintable(picture));
    }

    // A contents link leads down to its section.
    QCOMPARE(browser->verticalScrollBar()->value(), 0);
    // As a click on the link does: the link resolved against the page.
    browser->setSource(browser->source().resolved(QUrl(QStringLiteral("#keyboard-shortcuts"))));
    QCOMPARE(browser->document(), doc);
    QVERIFY(browser->verticalScrollBar()->value() > 0);
    QCOMPARE(GuideWindow::headingAnchor(QStringLiteral("Logging without a window: vorlatt-log")),
             QStringLiteral("logging-without-a-window-vorlatt-log"));

    // Asked again, the same window comes back.
    guide->hide();
    w.findChild<Shortcuts *>()->openUserGuide();
    QCOMPARE(w.findChildren<GuideWindow *>().size(), 1);
    QVERIFY(guide->isVisible());
}

// The shortcuts belong to the window, not to the menu's items: every caption and menu text is
// as the form has it, and no menu item shows a key.
void TestShortcuts::noCaptionOrMenuTextChanges()
{
    QMainWindow form;
    Ui::FCOMM formUi;
    formUi.setupUi(&form);
    const QStringList names = formNames(form);
    QVERIFY(names.size() > 40);
    const QStringList designed = captions(form, names);

    TFCOMM w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QCOMPARE(captions(w, names), designed);
    for (const QMenu *menu : w.menuBar()->findChildren<QMenu *>())
        for (const QAction *a : menu->actions())
            QVERIFY2(a->shortcut().isEmpty(), qPrintable(a->text()));
}

QTEST_MAIN(TestShortcuts)
#include "TestShortcuts.moc"
