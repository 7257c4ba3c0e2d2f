#include "tests/support/MessageBoxCloser.h"
#include "app/TFCOMM.h"
#include "protocol/DisplayState.h"
#include "SimScript.h"
#include "ui_FCOMM.h"
#include "views/ReadingChart.h"

#include <QAction>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

using protocol::Annunciator;
using protocol::Annunciators;

// The dial, chart and limit controls of the window, driven as a user drives them.
class TestViewsInWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void fillMenuAndBoxAgree();
    void pageButtonsFollowTheMoves();
    void limitAlarmAndBadLimitText();
    void enlargeAndRestore();
    void enlargedChartKeepsNoOldTraces();
    void summarisedPageKeepsNoOldTraces();
    void saveNamesTheFileWritten();

private:
    bool chartShowsFreshDrawing();
    void feed(const QString &digits, Annunciators annunciators = Annunciator::Volt);
    std::unique_ptr<TFCOMM> m_w;
    std::unique_ptr<MessageBoxCloser> m_boxes;
};

void TestViewsInWindow::init()
{
    m_w = std::make_unique<TFCOMM>();
    m_w->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_w.get()));
    m_boxes = std::make_unique<MessageBoxCloser>();
}

void TestViewsInWindow::cleanup()
{
    m_boxes.reset();
    m_w.reset();
}

void TestViewsInWindow::feed(const QString &digits, Annunciators annunciators)
{
    protocol::DisplayState s;
    s.negative = digits.startsWith(u'-');
    s.digits = digits.right(4).toLatin1();
    s.annunciators = annunciators;
    const QByteArray frame = s.toFrame();
    m_w->meterRun().receiveBytes(frame);
}

void TestViewsInWindow::fillMenuAndBoxAgree()
{
    Ui::FCOMM *ui = m_w->ui();
    ui->Fill->trigger();
    QVERIFY(!ui->BtFill->isChecked());
    QVERIFY(!ui->Fill->isChecked());
    QCOMPARE(m_w->chart()->shownSeries(), int(ReadingChart::kLineIndex));
    ui->BtFill->click();
    QVERIFY(ui->Fill->isChecked());
    QCOMPARE(m_w->chart()->shownSeries(), int(ReadingChart::kAreaIndex));
}

void TestViewsInWindow::pageButtonsFollowTheMoves()
{
    Ui::FCOMM *ui = m_w->ui();
    ui->Maxrecord->setText(QStringLiteral("10"));
    for (int i = 0; i < 25; ++i)
        feed(QStringLiteral("0%1").arg(100 + i));
    QCOMPARE(ui->Bt10->text(), QStringLiteral("3"));

    ui->BtFirst->click();
    QCOMPARE(ui->Bt10->text(), QStringLiteral("1"));
    QVERIFY(!ui->BtFirst->isEnabled() && !ui->BTPrevious->isEnabled());
    QVERIFY(ui->BtNext->isEnabled() && ui->BTlast->isEnabled());
    feed(QStringLiteral("0200")); // not following: the page stays
    QCOMPARE(ui->Bt10->text(), QStringLiteral("1"));

    ui->Last->trigger(); // the menu item runs the same move
    QCOMPARE(ui->Bt10->text(), QStringLiteral("3"));
    QVERIFY(!ui->BtNext->isEnabled() && !ui->BTlast->isEnabled());

    ui->Maxrecord->setText(QString()); // deleting the last digit reports the error
    QCOMPARE(m_boxes->texts, QStringList{QStringLiteral("'' is not a valid integer value")});
}

void TestViewsInWindow::limitAlarmAndBadLimitText()
{
    Ui::FCOMM *ui = m_w->ui();
    ui->Setmax->setText(QStringLiteral("3000"));
    ui->SetMaxB->click();
    feed(QStringLiteral("2000"));
    feed(QStringLiteral("3000")); // equality is no alarm
    QVERIFY(!ui->oltext->isVisibleTo(ui->KD));
    feed(QStringLiteral("3001"));
    QVERIFY(ui->oltext->isVisibleTo(ui->KD));
    feed(QStringLiteral("2999"));
    QVERIFY(!ui->oltext->isVisibleTo(ui->KD));

    // The extremes since the first reading of this unit.
    QCOMPARE(ui->MaxText->text(), QStringLiteral("3001"));
    QCOMPARE(ui->MinText->text(), QStringLiteral("2999"));
    QCOMPARE(ui->MaxTextU->text(), QStringLiteral("V"));

    ui->Setmax->setText(QStringLiteral("12-"));
    QCOMPARE(m_boxes->texts, QStringList{QStringLiteral("'12-' is not a valid integer value")});
    QCOMPARE(m_w->limits().state().MaxLimit, 3000.0f);

    // Typed, a point is not taken (limits are counts, without a point): "1.2" becomes 12, as the
    // guide says. The same text pasted is refused with the message.
    m_boxes->texts.clear();
    ui->Setmax->selectAll();
    QTest::keyClicks(ui->Setmax, QStringLiteral("1.2"));
    QCOMPARE(ui->Setmax->text(), QStringLiteral("12"));
    QCOMPARE(m_w->limits().state().MaxLimit, 12.0f);
    QCOMPARE(m_boxes->texts, QStringList());
    ui->Setmax->setText(QStringLiteral("1.2"));
    QCOMPARE(m_boxes->texts, QStringList{QStringLiteral("'1.2' is not a valid integer value")});
    QCOMPARE(m_w->limits().state().MaxLimit, 12.0f);
}

void TestViewsInWindow::enlargeAndRestore()
{
    Ui::FCOMM *ui = m_w->ui();
    const QRect normal = ui->Chtshow->geometry();
    QTest::mouseClick(ui->TbFd, Qt::LeftButton);
    const QSize outer = m_w->frameGeometry().size();
    QCOMPARE(ui->Chtshow->geometry(), QRect(2, 28, outer.width() - 12, outer.height() - 105));
    QVERIFY(ui->TbSx->isVisibleTo(ui->Chtshow) && !ui->TbFd->isVisibleTo(ui->Chtshow));
    QTest::mouseClick(ui->TbSx, Qt::LeftButton);
    QCOMPARE(ui->Chtshow->geometry(), normal);
    QVERIFY(ui->TbFd->isVisibleTo(ui->Chtshow));
}

// The enlarged chart on a live link: the simulator's tour (a new unit restarts the chart every
// few seconds), each frame painted before the next. After every frame, restarts included, the
// screen must equal a fresh drawing of the window, with no fill left over from the readings
// before: a reading only repaints the part of the chart it changed.
void TestViewsInWindow::enlargedChartKeepsNoOldTraces()
{
    m_w->TbFdClick();
    QTest::qWait(20);
    for (qint64 n = 0; n < 3 * SimScript::kFramesPerScene; ++n) {
        const QByteArray frame = SimScript::state(n).toFrame();
        m_w->meterRun().receiveBytes(frame);
        QTest::qWait(5);
        QVERIFY2(chartShowsFreshDrawing(),
                 qPrintable(QStringLiteral("frame %1: the screen shows something a fresh drawing "
                                           "does not").arg(n)));
    }
}

// The chart's own area on screen equals a fresh drawing of it.
bool TestViewsInWindow::chartShowsFreshDrawing()
{
    // The chart's own area: the banner above it animates on a timer of its own.
    const QRect chart(m_w->ui()->Chtshow->mapTo(m_w.get(), QPoint(0, 0)),
                      m_w->ui()->Chtshow->size());
    const QImage onScreen = m_w->screen()
                                ->grabWindow(m_w->winId(), chart.x(), chart.y(), chart.width(),
                                             chart.height())
                                .toImage()
                                .convertToFormat(QImage::Format_RGB32);
    const QImage fresh = m_w->grab(chart).toImage().convertToFormat(QImage::Format_RGB32);
    return onScreen == fresh;
}

// A page of more readings than the chart draws shows them summarised: each reading may redraw
// the last buckets lower than before. Readings that fall and rise again, after every one the
// screen must equal a fresh drawing, with no fill left above the new line.
void TestViewsInWindow::summarisedPageKeepsNoOldTraces()
{
    m_w->TbFdClick();
    feed(QStringLiteral("1000"));
    feed(QStringLiteral("1000"));
    std::vector<float> history(3000);
    for (size_t i = 0; i < history.size(); ++i)
        history[i] = float(500 + (i * 37) % 3000);
    m_w->chart()->PlotReadings(history.data(), qsizetype(history.size()));
    QTest::qWait(20);
    for (int n = 0; n < 60; ++n) {
        feed(QString::number(n % 20 < 10 ? 3900 - n * 50 : 100 + n * 30));
        QTest::qWait(5);
        QVERIFY2(chartShowsFreshDrawing(), qPrintable(QStringLiteral("frame %1").arg(n)));
    }
}

void TestViewsInWindow::saveNamesTheFileWritten()
{
    QTemporaryDir home;
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", home.path().toLocal8Bit());
    feed(QStringLiteral("1234"));
    m_w->ui()->BtSave->click();
    const QString path = home.filePath(QStringLiteral("databmp.bmp"));
    QCOMPARE(m_boxes->texts, QStringList{QStringLiteral("graphic has saved on ") + path});
    QVERIFY(QImage(path, "BMP").width() > 100);

    // A folder in the way of the file: the error shows, the confirmation does not.
    m_boxes->texts.clear();
    QFile::remove(path);
    QVERIFY(QDir(home.path()).mkdir(QStringLiteral("databmp.bmp")));
    m_w->ui()->BtSave->click();
    QCOMPARE(m_boxes->texts.size(), 1);
    QVERIFY(!m_boxes->texts.first().startsWith(QStringLiteral("graphic has saved")));
    qputenv("HOME", oldHome);
}

QTEST_MAIN(TestViewsInWindow)
#include "TestViewsInWindow.moc"
