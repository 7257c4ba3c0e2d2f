#include "MessageBoxCloser.h"
#include "PseudoTerminal.h"
#include "app/TFCOMM.h"
#include "link/SerialPortDriver.h"
#include "protocol/DisplayState.h"
#include "ui_FCOMM.h"

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
    void badDigitReportsOnceAndReceptionGoesOn();

private:
    void send(const QByteArray &bytes) { m_pty->send(bytes); }
    std::unique_ptr<PseudoTerminal> m_pty;
};

void TestSerialToReplica::init()
{
    m_pty = std::make_unique<PseudoTerminal>();
}

void TestSerialToReplica::cleanup()
{
    m_pty.reset();
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
    QCOMPARE(w.state().countRange.CountCode, QStringLiteral("10"));

    ui->COMCon->click(); // up again: the banner goes, the port closes
    QVERIFY(!w.serialDriver()->IsOpen());
    QVERIFY(ui->Image1->isHidden());
    QVERIFY(!ui->USBCon->isHidden());
}

void TestSerialToReplica::badDigitReportsOnceAndReceptionGoesOn()
{
    TFCOMM w;
    w.show();
    w.ui()->COMCon->click();

    protocol::DisplayState bad;
    bad.digits = "1:34"; // the low bits of ':' are 0xA, not a decimal digit
    bad.annunciators = Annunciator::Volt;
    protocol::DisplayState good;
    good.digits = "0042";
    good.annunciators = Annunciator::Volt;

    MessageBoxCloser boxes;
    // Three bad frames in one batch, then a good one: one report per batch, and the good frame
    // still arrives after it.
    send(good.toFrame() + bad.toFrame() + bad.toFrame() + bad.toFrame() + good.toFrame());
    QTRY_COMPARE(w.reading().ValueText, QStringLiteral("0042"));
    QVERIFY(!boxes.texts.isEmpty());
    QCOMPARE(boxes.texts.first(), QStringLiteral("'1A34' is not a valid integer value"));
}

QTEST_MAIN(TestSerialToReplica)
#include "TestSerialToReplica.moc"
