#include "TFCOMM.h"

#include "ClockPanel.h"
#include "DesignLayout.h"
#include "LivePage.h"
#include "LogCommands.h"
#include "ReplicaPanel.h"
#include "SerialConnection.h"
#include "Shortcuts.h"
#include "StartValues.h"
#include "ToggleGroup.h"
#include "UsbConnection.h"
#include "ui_FCOMM.h"

#include "assets/Assets.h"
#include "link/ComPortNames.h"
#include "link/SerialPortDriver.h"
#include "link/hid/THidDeviceController.h"
#include "link/hid/UsbCableLink.h"
#include "log/LogRecord.h"
#include "views/ReadingChart.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

TFCOMM::TFCOMM(const ProfileSwitches *switches, QWidget *parent,
               std::unique_ptr<HidBackend> hidBackend)
    : QMainWindow(parent), m_ui(std::make_unique<Ui::FCOMM>()),
      m_terminate([] { QCoreApplication::quit(); })
{
    m_ui->setupUi(this);

    // The serial driver as designed: COM1, 2400 baud, polled every 100 ms; the port stays closed
    // until the user connects.
    COMM2 = new TSerialPortDriver(this);
    COMM2->setComPort(TComPortNumber::pnCOM1);
    COMM2->setComPortSpeed(TComPortBaudRate::br2400);
    COMM2->setComPortPollingDelay(100);
    m_run = new MeterRun({}, this);
    // A serial device that goes away is opened again when it comes back, and the log goes on.
    m_run->setReopenAfterLoss(true);

    // The profile comes from the switches of the layout, unless a test hands in its own set.
    m_switches = design::profileSwitches(*m_ui, switches);

    design::applyDesignFonts(this);
    design::fitCheckBoxCaptions(this);
    design::fixWindowSize(this);
    design::applyPictures(this, *m_ui);
    m_replica = std::make_unique<ReplicaPanel>(*m_ui);
    m_clockPanel = std::make_unique<ClockPanel>(m_ui->StatusPanel3, m_readingStatus);

    m_timer1 = new QTimer(this);
    m_timer1->setInterval(1000);
    m_conTimer = new QTimer(this);
    m_conTimer->setObjectName(QStringLiteral("ConTimer"));
    m_conTimer->setInterval(100);
    m_trecord = new QTimer(this);
    m_trecord->setInterval(1000);

    // The chart fills its frame beneath the row of page buttons that lies over its top edge.
    m_chart = ReadingChart::createIn(m_ui->Chtshow, this);
    m_ui->KD1->setImage(&m_dial.image());

    m_logCommands = std::make_unique<LogCommands>(this);
    m_run->setLogRecorder(&m_logCommands->recorder());
    m_logCommands->showIn(m_ui->DBGrid1, assets::displayFont(12));
    m_logCommands->setSavedListener(
        [this](const QString &path, qint64 records) { m_clockPanel->showSaved(path, records); });
    m_logCommands->setJournalListener(
        [this](const QString &error, bool began) { showJournalState(error, began); });

    auto *connectGroup = new ToggleGroup(this);
    connectGroup->addButton(m_ui->COMCon);
    connectGroup->addButton(m_ui->USBCon);
    connectGroup->addButton(m_ui->ReadBtn);

    wireControls();
    m_usb = std::make_unique<UsbConnection>(m_ui->DevListBox, m_ui->HistoryListBox);
    new Shortcuts(this); // keyboard shortcuts for the window's buttons; the window owns them
    createHidController(std::move(hidBackend));
    FormCreate();

    m_timer1->start();
    m_conTimer->start();
    m_trecord->start();
}

TFCOMM::~TFCOMM()
{
    // The link lets go of the device it reads; then the controller goes, so the devices still
    // listed are only unplugged and deleted, without fresh objects replacing them as a check-in
    // would.
    m_usbLink->close();
    delete HidCtl;
    HidCtl = nullptr;
    m_usb->deleteListedAfterController();
    closeLogTable();
    m_logCommands.reset(); // the grid model goes before the window's children, the grid among them
}

// ---- start-up

void TFCOMM::FormCreate()
{
    cs123();
    protocol::ReadingStream &stream = m_run->stream();
    stream.setCountRange(protocol::CountRange());
    m_limits = LimitAlarms(); // limits and extremes for 4000 counts, LastUnitText "113"
    // A log that cannot be opened has been reported; the meter link and the views still work,
    // readings are just not logged.
    openLogTable();
    readingLog().NextRecordNo = 1;
    readingLog().RecordLimit = 10000;
    resetChart();

    m_profile = resolveProfile(m_switches);
    // The profile's routines cut the frames (a routine that only assembles decodes none, so
    // nothing is shown); the run hands each frame to the display.
    if (const std::optional<protocol::SerialRoutine> routine =
            serialRoutineOf(m_profile.receiveRoutine))
        stream.setSerialRoutine(*routine);
    if (const std::optional<protocol::HidRoutine> routine =
            hidRoutineOf(m_profile.usbReportRoutine))
        stream.setHidRoutine(*routine);
    m_run->setFrameHandler([this](const protocol::StreamFrame &frame) { LcdDisplayUlmara(frame); });
    m_run->setReportHandler(
        [this](const protocol::ReadingStream::ReportView &shown) { showUsbReport(shown); });
    connect(m_run, &MeterRun::linkLost, this, &TFCOMM::serialLinkLost);
    connect(m_run, &MeterRun::reopened, this, &TFCOMM::serialLinkBack);
    m_usbLink->setLineSpeed(quint32(m_profile.usbCableSpeed));
    setWindowTitle(m_profile.caption);
    COMM2->setComPortSpeed(m_profile.serialSpeed == 19200 ? TComPortBaudRate::br19200
                                                          : TComPortBaudRate::br2400);
    if (m_profile.firstDigitThree)
        m_ui->LcdDa->setText(QStringLiteral("3"));
    // The code alone: the counts stay those of the default range until a preset sets them.
    protocol::CountRange range = stream.countRange();
    range.CountCode = m_profile.countCode;
    stream.setCountRange(range);

    // The 6000- and 3400-count profiles write their limit texts, whose change handling takes
    // the limits from them; the 4000-count layout texts already stand and change nothing.
    if (const std::optional<StartValues> presets = startValuesFor(range.CountCode)) {
        stream.setCountRange(presets->range);
        m_limits.presetForCount(presets->range.CountFull);
        m_ui->Setmax->setText(presets->Setmax);
        m_ui->SetMin->setText(presets->SetMin);
        m_ui->MinText->setText(presets->MinText);
        m_ui->MaxText->setText(presets->MaxText);
    }
    m_chart->setValueRange(countRange().CountFull);
    KDsetup();
    KDrun(countRange().CountTenth);
}

void TFCOMM::cs123()
{
    m_logCommands->cs123();
}

bool TFCOMM::openLogTable()
{
    return m_logCommands->openLogTable();
}

void TFCOMM::offerRecovery()
{
    m_logCommands->offerLeftoverJournals();
}

void TFCOMM::closeLogTable()
{
    m_logCommands->closeLogTable();
}

bool TFCOMM::logOpen() const
{
    return m_logCommands->log().isOpen();
}

ReadingLog &TFCOMM::readingLog()
{
    return m_logCommands->log();
}

void TFCOMM::resetChart()
{
    BtNewClick();
}

void TFCOMM::ShowSeries(int index)
{
    m_chart->ShowSeries(index);
}

void TFCOMM::KDsetup()
{
    DialInputs in;
    in.panelWidth = m_ui->KD->width();
    in.panelHeight = m_ui->KD->height();
    const protocol::CountRange &range = countRange();
    in.CountCode = range.CountCode;
    in.CountFull = range.CountFull;
    in.CountTenth = range.CountTenth;
    in.CountFiftieth = range.CountFiftieth;
    in.MaxLimit = m_limits.state().MaxLimit;
    in.MinLimit = m_limits.state().MinLimit;
    in.SetMaxB = m_ui->SetMaxB->isChecked();
    in.SetMinB = m_ui->SetMinB->isChecked();
    m_dial.KDsetup(in);
    m_ui->KD1->update();
}

void TFCOMM::KDrun(int position)
{
    m_dial.KDrun(position);
    m_ui->KD1->update();
}

// ---- window and commands

void TFCOMM::BitBtn1Click()
{
    // Unsaved readings get the question that can save them instead of the plain one.
    if (m_logCommands->hasUnsaved()) {
        if (!m_logCommands->mayDiscardReadings())
            return;
    } else {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Information"),
                        QStringLiteral("Are you ensure to exit the program") + QChar(0xFF1F),
                        QMessageBox::Yes | QMessageBox::No, this);
        if (box.exec() != QMessageBox::Yes)
            return;
        // Readings keep coming while the question is open: those the log took meanwhile are
        // asked about before they go.
        if (m_logCommands->hasUnsaved() && !m_logCommands->mayDiscardReadings())
            return;
    }
    leave();
}

void TFCOMM::BtExitClick()
{
    if (!m_logCommands->mayDiscardReadings())
        return;
    leave();
}

// The user's answer is final: ending the program closes the window, whose close box must not
// ask again (a Cancel there would keep the window running with the log already gone).
void TFCOMM::leave()
{
    m_leaving = true;
    m_terminate();
    closeLogTable();
}

void TFCOMM::Timer1Timer()
{
    showLogStopped();
    showClockPanel();
    m_logCommands->syncJournal();
    showOutputsOnPage();
}

void TFCOMM::setLivePage(LivePage *page)
{
    m_livePage = page;
    if (!m_livePage)
        return;
    m_run->addReadingOutput(&m_livePage->feed());
    showPortInTitle(m_titlePort);
    showOutputsOnPage();
}

// The log's and the journal's health as the page lists them: a log stopped by its limit is
// well, but says why it takes nothing.
void TFCOMM::showOutputsOnPage()
{
    if (!m_livePage)
        return;
    m_livePage->setOutputs(m_logCommands->logError(),
                           m_readingStatus.logStopped()
                               ? (readingLog().tableFull()
                                      ? ReadingStatus::tableFullText()
                                      : ReadingStatus::logStoppedText(readingLog().RecordLimit))
                               : QString(),
                           m_logCommands->journalError());
}

// The clock, or what the user must know instead: the meter is silent, or logging stopped.
void TFCOMM::showClockPanel()
{
    m_clockPanel->show();
}

// A journal that cannot be written leaves the unsaved readings at the mercy of a crash: the
// clock panel says so for as long as it lasts, and a box says it once when it begins.
void TFCOMM::showJournalState(const QString &error, bool began)
{
    m_clockPanel->showJournalState(error);
    if (began)
        ClockPanel::warnJournal(this, error);
}

// Said in the clock panel when it happens, not in a box at every reading that is not taken.
void TFCOMM::showLogStopped()
{
    const bool full = readingLog().tableFull();
    if (m_readingStatus.setLogStopped(readingLog().limitReached() || full,
                                      readingLog().RecordLimit, full))
        showClockPanel();
}

// The close box ends the program at once, without the exit question, unless the log holds
// unsaved readings: then the user may save them first or cancel. A close that follows the user's
// answer to EXIT is not asked about again.
void TFCOMM::closeEvent(QCloseEvent *event)
{
    if (m_leaving) {
        QMainWindow::closeEvent(event);
        return;
    }
    if (!m_logCommands->mayDiscardReadings()) {
        event->ignore();
        return;
    }
    m_leaving = true;
    QMainWindow::closeEvent(event);
    m_terminate();
}

void TFCOMM::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TFCOMM::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    FormResize();
    // The window manager adds its frame after the window is mapped; lay out again once it has.
    QTimer::singleShot(0, this, &TFCOMM::FormResize);
}

void TFCOMM::FormResize()
{
    const design::ResizedLayout r =
        design::resizedLayout(design::kDesignOuterWidth, m_ui->KD->height());
    m_ui->BtExit->move(r.BtExitX, m_ui->BtExit->y());
    m_ui->BTCon->move(r.BTConX, m_ui->BTCon->y());
    m_ui->BtDiscon->move(r.BTConX, m_ui->BtDiscon->y());
    m_ui->KD->resize(r.KDWidth, m_ui->KD->height());
    m_ui->KD2->resize(r.KD2Width, r.KD2Height);
    m_ui->Chtshow->move(m_ui->Chtshow->x(), r.ChtshowY);
    m_ui->KD1->setGeometry(r.KD1);
}

// ---- serial connection control

void TFCOMM::selectPort(int n)
{
    serialconnection::showSelectedPort(*m_ui, n);
    COMM2->setComPort(static_cast<TComPortNumber>(n - 1));
}

void TFCOMM::COM11Click() { selectPort(1); }
void TFCOMM::COM21Click() { selectPort(2); }
void TFCOMM::COM31Click() { selectPort(3); }
void TFCOMM::COM41Click() { selectPort(4); }

void TFCOMM::BTCon1Click()
{
    connectSerial();
}

// A port that does not open is reported and leaves every control as it was: the link only
// looks connected when it is.
bool TFCOMM::connectSerial()
{
    const QString failure = serialconnection::open(*COMM2);
    if (!failure.isEmpty()) {
        m_ui->START1->setChecked(false); // a checkable item checks itself when chosen
        showError(failure);
        return false;
    }
    serialconnection::showLink(*m_ui, true);
    m_run->setLink(COMM2);
    m_run->opened(serialPortLabel(), QStringLiteral("com%1").arg(int(COMM2->comPort()) + 1));
    showPortInTitle(serialPortLabel());
    return true;
}

QString TFCOMM::serialPortLabel() const
{
    return comPortLabel(int(COMM2->comPort()) + 1, COMM2->deviceName());
}

void TFCOMM::BtDiscon1Click()
{
    COMM2->ClosePort();
    serialconnection::showLink(*m_ui, false);
    if (m_run->link() == COMM2)
        m_run->closedByUser();
    m_clockPanel->showLinkLost({});
    showPortInTitle({});
}

// The controls as for a closed link, so that the user sees nothing is read; the title keeps the
// port, which the run opens again as soon as its device is back.
void TFCOMM::serialLinkLost(const QString &reason)
{
    if (m_run->link() != COMM2)
        return;
    m_ui->COMCon->setChecked(false);
    m_ui->USBCon->show();
    m_ui->Image1->hide(); // the banner of data flowing, until frames flow again
    serialconnection::showLink(*m_ui, false);
    m_ui->CONok->hide();
    m_ui->CONokN->show();
    m_clockPanel->showLinkLost(reason);
}

void TFCOMM::serialLinkBack()
{
    m_ui->COMCon->setChecked(true);
    m_ui->USBCon->hide();
    serialconnection::showLink(*m_ui, true);
    m_clockPanel->showLinkLost({});
}

void TFCOMM::showPortInTitle(const QString &port)
{
    m_titlePort = port;
    QString title = port.isEmpty() ? m_profile.caption
                                   : QStringLiteral("%1 - %2").arg(m_profile.caption, port);
    // Where the page is served, said where the user looks for what the window reads.
    if (m_livePage)
        title += QStringLiteral(" - live page %1").arg(m_livePage->url());
    setWindowTitle(title);
}

void TFCOMM::COMConClick()
{
    if (m_ui->COMCon->isChecked()) {
        if (!connectSerial()) {
            m_ui->COMCon->setChecked(false);
            return;
        }
        m_ui->USBCon->hide();
    } else {
        m_ui->USBCon->show();
        m_ui->Image1->hide();
        // Pressed again while the run waits for a lost device: the user gives up on it.
        m_run->stopReopening();
        BtDiscon1Click();
    }
}

// ---- frames

// One frame through the display, in the replica's order (see ReplicaPanel): link, blank,
// annunciators, reading, alarm, extremes, digits, dial, log, bar graph, chart. A garbled frame
// stops where its conversion failed and reports it.
void TFCOMM::LcdDisplayUlmara(const protocol::StreamFrame &frame)
{
    if (!frame.decoded)
        return;
    const protocol::DecodedFrame &f = *frame.decoded;
    using Failure = protocol::DecodedFrame::Failure;

    const qint64 now = m_run->state().lastFrameMs; // the run read the clock for this frame
    m_replica->showLinkAlive();
    m_state.LinkWatchTicks = 0;

    m_reading.AcDcText.clear();
    m_reading.RangeText.clear();
    m_reading.UnitText.clear();
    m_replica->blank(m_ui->Data_display->isChecked());
    if (f.failedStep == Failure::PointCode) {
        f.applyTo(m_reading);
        reportFrameError(f.error);
        return;
    }

    m_replica->showFlags(f);
    f.applyTo(m_reading);
    if (f.failedStep == Failure::Value) {
        reportFrameError(f.error);
        return;
    }

    CheckLimits();
    const QString fullUnit = logrecord::fullUnit(m_reading, f.has(protocol::Annunciator::Kilo),
                                                 f.has(protocol::Annunciator::Mega));
    TrackPeaks(f.point, fullUnit);

    m_replica->showDigits(f);
    if (m_readingStatus.frameShown(now)) {
        m_replica->showStale(false);
        showClockPanel();
    }
    KDsetup();
    KDrun(countRange().CountTenth);
    KDrun(f.needleValue);

    m_frameErrors.decoded();
    INDataToTable(fullUnit);
    showLogStopped();
    m_replica->showBar(f.barPosition);
    PlotReading(f.chartValue);
}

// The gate lets one box through per run of failures (see FrameErrorGate).
void TFCOMM::reportFrameError(const QString &message)
{
    if (m_frameErrors.failed())
        showErrorWhileReading(message, [this] { m_frameErrors.boxClosed(); });
}

// Errors found while a frame is handled: the box does not block, so the driver keeps polling
// behind it and good frames keep the display live. `closed` runs when the user closes it.
void TFCOMM::showErrorWhileReading(const QString &message, std::function<void()> closed)
{
    auto *box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Vorlatt"), message,
                                QMessageBox::Ok, this);
    box->setWindowModality(Qt::ApplicationModal);
    connect(box, &QMessageBox::finished, this, [box, closed = std::move(closed)] {
        closed();
        box->deleteLater();
    });
    box->show();
}

void TFCOMM::CheckLimits()
{
    if (m_limits.CheckLimits(m_reading.NumericValue, m_ui->SetMaxB->isChecked(),
                             m_ui->SetMinB->isChecked())) {
        QApplication::beep();
        m_ui->oltext->show();
    } else {
        m_ui->oltext->hide();
    }
}

void TFCOMM::TrackPeaks(int pointPosition, const QString &fullUnit)
{
    const LimitAlarms::PeakCaptions shown = m_limits.TrackPeaks(
        {m_reading.NumericValue, m_reading.ValueText, m_reading.UnitText, pointPosition, fullUnit});
    if (shown.rangeChanged) {
        ShowSeries(m_ui->BtFill->isChecked() ? 0 : 1);
        BtNewClick();
    }
    m_ui->MaxText->setText(shown.MaxText);
    m_ui->MinText->setText(shown.MinText);
    m_ui->MaxTextU->setText(shown.UnitText);
    m_ui->MinTextU->setText(shown.UnitText);
}

void TFCOMM::INDataToTable(const QString &fullUnit)
{
    const QString error = m_logCommands->INDataToTable(
        m_reading,
        {m_ui->RepeatSet->isChecked(), m_ui->RecordSI->isChecked(), m_ui->RecordSITime->text()},
        fullUnit);
    if (!error.isEmpty())
        reportLogError(error);
}

// The log's gate let this failure through (see LogErrorGate); readings wait until it is closed.
void TFCOMM::reportLogError(const QString &message)
{
    showErrorWhileReading(message, [this] { m_logCommands->logErrorClosed(); });
}

void TFCOMM::PlotReading(int chartValue)
{
    m_chart->PlotReading(chartValue);
}

// ---- trend chart

void TFCOMM::applyPageButtons()
{
    const PageButtons &b = m_chart->pageButtons();
    m_ui->BtFirst->setEnabled(b.BtFirst);
    m_ui->BTPrevious->setEnabled(b.BTPrevious);
    m_ui->BtNext->setEnabled(b.BtNext);
    m_ui->BTlast->setEnabled(b.BTlast);
    m_ui->Bt10->setText(b.Bt10);
}

void TFCOMM::BtFirstClick() { m_chart->First(); }
void TFCOMM::BTPreviousClick() { m_chart->Previous(); }
void TFCOMM::BtNextClick() { m_chart->Next(); }
void TFCOMM::BTlastClick() { m_chart->Last(); }

void TFCOMM::BtNewClick()
{
    m_ui->ComboBox1->setCurrentIndex(0);
    m_chart->New();
}

void TFCOMM::BtSaveClick()
{
    const QString path = ReadingChart::defaultSavePath();
    const QString error = m_chart->Save(path);
    if (!error.isEmpty()) {
        showError(error);
        return;
    }
    QMessageBox::information(this, QStringLiteral("Vorlatt"), ReadingChart::savedMessage(path));
}

void TFCOMM::btFillClick() { m_chart->btFillClick(m_ui->BtFill->isChecked()); }
void TFCOMM::FillClick() { m_chart->FillClick(); }

void TFCOMM::MaxrecordExit()
{
    const QString error = m_chart->MaxrecordExit(m_ui->Maxrecord->text());
    if (!error.isEmpty())
        showError(error);
}

void TFCOMM::TbFdClick()
{
    const ChartEnlarge::Result r = m_enlarge.TbFdClick(m_ui->Chtshow->geometry(), frameGeometry().size());
    m_ui->TbFd->setVisible(!r.enlarged);
    m_ui->TbSx->setVisible(r.enlarged);
    m_ui->Chtshow->setGeometry(r.bounds);
    m_ui->Chtshow->raise();
    m_chart->fitFrame();
}

void TFCOMM::ComboBox1Change()
{
    ShowSeries(m_ui->ComboBox1->currentIndex());
}

void TFCOMM::SetmaxExit()
{
    applyLimitChange(m_limits.SetmaxExit(m_ui->Setmax->text()));
}

void TFCOMM::SetMinExit()
{
    applyLimitChange(m_limits.SetMinExit(m_ui->SetMin->text()));
}

// A text that is no whole number is reported and keeps the limit and the dial face as they were.
void TFCOMM::applyLimitChange(const LimitAlarms::LimitChange &change)
{
    if (!change.ok) {
        showError(change.error);
        return;
    }
    if (change.redrawDial)
        KDsetup();
}

// The general error report: what a handler could not do, in a modal box titled with the
// application's name.
void TFCOMM::showError(const QString &message)
{
    QMessageBox::critical(this, QStringLiteral("Vorlatt"), message);
}

void TFCOMM::TrecordTimer()
{
    m_logCommands->TrecordTimer(m_ui->RecordSI->isChecked());
}

void TFCOMM::RecordSITimeChange()
{
    m_logCommands->RecordSITimeChange(m_ui->RecordSITime->text());
}

void TFCOMM::RecordNewClick()
{
    m_logCommands->RecordNewClick();
    showLogStopped();
}

void TFCOMM::setRecordLimit(int item)
{
    QAction *const items[] = {m_ui->N10001,  m_ui->N50001,   m_ui->N100001,
                              m_ui->N500001, m_ui->N1000001, m_ui->limitess};
    for (int i = 0; i < 6; ++i)
        items[i]->setChecked(i == item);
    m_logCommands->setRecordLimit(item);
    showLogStopped();
}

void TFCOMM::N10001Click() { setRecordLimit(0); }
void TFCOMM::N50001Click() { setRecordLimit(1); }
void TFCOMM::N100001Click() { setRecordLimit(2); }
void TFCOMM::N500001Click() { setRecordLimit(3); }
void TFCOMM::N1000001Click() { setRecordLimit(4); }
void TFCOMM::limitessClick() { setRecordLimit(5); }

void TFCOMM::SpeedButton2Click()
{
    m_logCommands->SpeedButton2Click();
}

void TFCOMM::saveasClick()
{
    m_logCommands->saveasClick();
}

void TFCOMM::BtPrintClick()
{
    m_logCommands->BtPrintClick();
}
