#include "tests/support/MessageBoxCloser.h"
#include "tests/support/PtyPort.h"
#include "app/ReplicaPanel.h"
#include "app/TFCOMM.h"
#include "link/SerialPortDriver.h"
#include "protocol/DisplayState.h"
#include "ui_FCOMM.h"

#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <memory>

using protocol::Annunciator;

// Frames written into a real pseudo-terminal travel through the serial driver, the frame
// assembly and the decoder to the window's replica.
class TestSerialToReplica : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void framesReachTheReplica();
    void runOfBadFramesGivesOneBox();
    void watchdogDarkensTheLinkPicture();
    void silentMeterIsGreyed();

private:
    void send(const QByteArray &bytes) { QVERIFY(m_port->send(bytes)); }
    std::unique_ptr<PtyPort> m_port;
};

namespace {

protocol::DisplayState volts(const char *digits)
{
    protocol::DisplayState s;
    s.digits = digits;
    s.annunciators = Annunciator::Volt;
    return s;
}

} // namespace

void TestSerialToReplica::init()
{
    m_port = std::make_unique<PtyPort>();
    QVERIFY(m_port->isOpen());
}

void TestSerialToReplica::cleanup()
{
    m_port.reset();
}

void TestSerialToReplica::framesReachTheReplica()
{
    TFCOMM w;
    Ui::FCOMM *ui = w.ui();
    ui->COMCon->click();
    QVERIFY(w.serialDriver()->IsOpen());
    QVERIFY(ui->USBCon->isHidden());

    protocol::DisplayState millivolts;
    millivolts.negative = true;
    millivolts.digits = "1234";
    millivolts.point = 2;
    millivolts.annunciators = Annunciator::Dc | Annunciator::AutoRange | Annunciator::Milli |
                              Annunciator::Volt;
    // The first carriage return after connecting closes a short piece; the next frame is whole.
    send(millivolts.toFrame() + millivolts.toFrame());
    QTRY_COMPARE(w.reading().ValueText, QStringLiteral("-12.34"));
    QCOMPARE(ui->LcdDa->text(), QStringLiteral("1"));
    QCOMPARE(ui->LcdDd->text(), QStringLiteral("4"));
    QVERIFY(ui->LcdFH->isVisibleTo(ui->Panel1));
    QVERIFY(ui->LcdP2->isVisibleTo(ui->Panel1));
    QVERIFY(ui->LcdDc1->isVisibleTo(ui->Panel1));
    QVERIFY(ui->Lcdm->isVisibleTo(ui->Panel1));
    QVERIFY(ui->LcdAuto->isVisibleTo(ui->Panel1));
    QVERIFY(ui->CONok->isVisibleTo(ui->KD));
    QVERIFY(!ui->CONokN->isVisibleTo(ui->KD));
    QCOMPARE(ui->PBar2->value(), 12);
    QCOMPARE(w.reading().UnitText, QStringLiteral("mV"));

    protocol::DisplayState hertz;
    hertz.digits = "0500";
    hertz.annunciators = Annunciator::Hertz;
    send(hertz.toFrame());
    QTRY_COMPARE(w.reading().UnitText, QStringLiteral("Hz"));
    QVERIFY(!ui->LcdFH->isVisibleTo(ui->Panel1));
    QVERIFY(!ui->LcdDc1->isVisibleTo(ui->Panel1));
    QVERIFY(ui->LCDHz->isVisibleTo(ui->Panel1));
    QCOMPARE(ui->PBar2->maximum(), 100);
    QCOMPARE(w.countRange().CountCode, QStringLiteral("10"));

    ui->COMCon->click(); // up again: the banner goes, the port closes
    QVERIFY(!w.serialDriver()->IsOpen());
    QVERIFY(ui->Image1->isHidden());
    QVERIFY(!ui->USBCon->isHidden());
}

// A meter sending a stream of frames with a letter where a digit belongs: one box for the whole
// run, reading goes on behind it, and only a fresh failure after a good frame opens another.
void TestSerialToReplica::runOfBadFramesGivesOneBox()
{
    TFCOMM w;
    w.show();
    w.ui()->COMCon->click();
    QVERIFY(w.serialDriver()->IsOpen());

    protocol::DisplayState bad = volts("1:34"); // the low bits of ':' are 0xA, not a digit
    QByteArray burst = volts("0001").toFrame();
    for (int i = 0; i < 30; ++i)
        burst += bad.toFrame();
    send(burst);
    QTRY_COMPARE(openBoxes().size(), 1);
    QMessageBox *box = openBoxes().first();
    QCOMPARE(box->text(), QStringLiteral("'1A34' is not a valid integer value"));
    QCOMPARE(QApplication::activeModalWidget(), box);

    // Good frames reach the display while the box is open; bad ones in between add no box.
    send(volts("0042").toFrame() + bad.toFrame() + bad.toFrame() + volts("0043").toFrame());
    QTRY_COMPARE(w.reading().ValueText, QStringLiteral("0043"));
    QCOMPARE(w.ui()->LcdDd->text(), QStringLiteral("3"));
    // The rest of this run arrives after the good frame: still the one box.
    send(bad.toFrame() + bad.toFrame());
    QTRY_VERIFY(m_port->drained()); // the driver decodes what it reads in the same poll
    QCOMPARE(openBoxes().size(), 1);

    box->accept();
    QTRY_COMPARE(openBoxes().size(), 0);
    send(bad.toFrame() + bad.toFrame() + bad.toFrame());
    QTRY_VERIFY(m_port->drained());
    QCOMPARE(openBoxes().size(), 0); // the same run of failures: no second box

    // A good frame ends the run; the next failure is news again.
    send(volts("0044").toFrame() + bad.toFrame());
    QTRY_COMPARE(openBoxes().size(), 1);
    QCOMPARE(w.ui()->LcdDc->text() + w.ui()->LcdDd->text(), QStringLiteral("44"));
    openBoxes().first()->accept();
}

// The watchdog is driven tick by tick here, so the test does not depend on the machine's speed.
void TestSerialToReplica::watchdogDarkensTheLinkPicture()
{
    TFCOMM w;
    Ui::FCOMM *ui = w.ui();
    auto *conTimer = w.findChild<QTimer *>(QStringLiteral("ConTimer"));
    QVERIFY(conTimer);
    conTimer->stop();
    ui->COMCon->click();

    // A frame every two ticks (200 ms) keeps the linked picture up.
    for (const char *digits : {"0101", "0102", "0103", "0104"}) {
        send(volts(digits).toFrame() + volts(digits).toFrame());
        QTRY_COMPARE(w.reading().ValueText, QString::fromLatin1(digits));
        w.ConTimerTimer();
        w.ConTimerTimer();
        QVERIFY(ui->CONok->isVisibleTo(ui->KD));
        QVERIFY(!ui->CONokN->isVisibleTo(ui->KD));
    }
    // Three ticks without a frame: the no-link picture; the reading stays as it was.
    w.ConTimerTimer();
    QVERIFY(!ui->CONok->isVisibleTo(ui->KD));
    QVERIFY(ui->CONokN->isVisibleTo(ui->KD));
    QCOMPARE(w.state().LinkWatchTicks, 0);
    QCOMPARE(w.reading().ValueText, QStringLiteral("0104"));
}

// A meter that stops sending leaves its last reading greyed, with the time of that reading in the
// clock panel, until a frame comes again; the start display before the first frame stays as
// designed. The watchdog is driven tick by tick.
void TestSerialToReplica::silentMeterIsGreyed()
{
    TFCOMM w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Ui::FCOMM *ui = w.ui();
    auto *conTimer = w.findChild<QTimer *>(QStringLiteral("ConTimer"));
    QVERIFY(conTimer);
    conTimer->stop();
    const QColor grey = ReplicaPanel::staleColour();
    const QColor black = ui->LcdDa->palette().color(QPalette::WindowText);
    const QColor bar = ui->PBar2->palette().color(QPalette::Highlight);
    QVERIFY(black != grey && bar != grey);
    auto greyed = [&] {
        const bool digits = ui->LcdDa->palette().color(QPalette::WindowText) == grey &&
                            ui->LcdDd->palette().color(QPalette::WindowText) == grey &&
                            ui->LcdFH->palette().color(QPalette::WindowText) == grey &&
                            ui->LcdP2->palette().color(QPalette::Window) == grey;
        const bool barGrey = ui->PBar2->palette().color(QPalette::Highlight) == grey;
        return digits && barGrey;
    };
    auto live = [&] {
        return ui->LcdDa->palette().color(QPalette::WindowText) == black &&
               ui->LcdDd->palette().color(QPalette::WindowText) == black &&
               ui->PBar2->palette().color(QPalette::Highlight) == bar;
    };
    const QRegularExpression noData(QStringLiteral("^no data since \\d\\d:\\d\\d:\\d\\d$"));

    // Before the first frame: the start display, not greyed, and the clock.
    ui->COMCon->click();
    for (int i = 0; i < 6; ++i)
        w.ConTimerTimer();
    QVERIFY(ui->CONokN->isVisibleTo(ui->KD));
    QVERIFY(live());
    QCOMPARE(ui->LcdDa->text(), QStringLiteral("5"));
    w.Timer1Timer();
    QVERIFY(!ui->StatusPanel3->text().contains(QStringLiteral("no data")));

    protocol::DisplayState negative = volts("1234");
    negative.negative = true;
    negative.point = 2;
    const QTime before = QTime::currentTime();
    send(negative.toFrame() + negative.toFrame());
    QTRY_COMPARE(w.reading().ValueText, QStringLiteral("-12.34"));
    const QTime after = QTime::currentTime();
    QVERIFY(live());

    // Silence: the third tick darkens the link picture and greys the reading, which stays.
    w.ConTimerTimer();
    w.ConTimerTimer();
    QVERIFY(live());
    w.ConTimerTimer();
    QVERIFY(ui->CONokN->isVisibleTo(ui->KD));
    QVERIFY(greyed());
    QCOMPARE(ui->LcdDa->text() + ui->LcdDb->text() + ui->LcdDc->text() + ui->LcdDd->text(),
             QStringLiteral("1234"));
    const QString status = ui->StatusPanel3->text();
    QVERIFY2(noData.match(status).hasMatch(), qPrintable(status));
    const QTime since = QTime::fromString(status.right(8), QStringLiteral("HH:mm:ss"));
    if (before <= after) // not across midnight
        QVERIFY2(since >= before.addMSecs(-before.msec()) && since <= after, qPrintable(status));
    // The clock's tick and more watchdog ticks keep saying so.
    w.Timer1Timer();
    for (int i = 0; i < 6; ++i)
        w.ConTimerTimer();
    QCOMPARE(ui->StatusPanel3->text(), status);
    QVERIFY(greyed());
    // The grey is what the digits are drawn in.
    const QImage shot = ui->Panel1->grab(ui->LcdDd->geometry()).toImage();
    bool greyInk = false, blackInk = false;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            greyInk |= shot.pixelColor(x, y) == grey;
            blackInk |= shot.pixelColor(x, y) == black;
        }
    QVERIFY(greyInk && !blackInk);

    // The next frame makes the reading live again and brings the clock back.
    send(volts("0042").toFrame());
    QTRY_COMPARE(w.reading().ValueText, QStringLiteral("0042"));
    QVERIFY(live());
    QVERIFY(ui->LcdP2->isHidden());
    QVERIFY(!ui->StatusPanel3->text().contains(QStringLiteral("no data")));
    QVERIFY(!ui->StatusPanel3->text().isEmpty());

    // A link released by the user falls silent the same way.
    ui->COMCon->click();
    for (int i = 0; i < 3; ++i)
        w.ConTimerTimer();
    QVERIFY(greyed());
    QVERIFY(noData.match(ui->StatusPanel3->text()).hasMatch());
}

QTEST_MAIN(TestSerialToReplica)
#include "TestSerialToReplica.moc"
