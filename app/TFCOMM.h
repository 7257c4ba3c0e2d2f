#pragma once

#include "FrameErrorGate.h"
#include "ReadingStatus.h"
#include "link/hid/HidBackend.h"
#include "log/ReadingLog.h"
#include "protocol/CountRange.h"
#include "protocol/MeterReading.h"
#include "protocol/ModelProfile.h"
#include "protocol/ReadingStream.h"
#include "link/run/MeterRun.h"
#include "views/ChartEnlarge.h"
#include "views/Dial.h"
#include "views/LimitAlarms.h"

#include <QMainWindow>
#include <QString>

#include <functional>
#include <memory>

namespace Ui {
class FCOMM;
}
class ClockPanel;
class LivePage;
class LogCommands;
class QTimer;
class ReadingChart;
class ReplicaPanel;
class UsbConnection;
class QWidget;
class TSerialPortDriver;
class THidDevice;
class THidDeviceController;
class UsbCableLink;

// The link watchdog's tick counter, which the window's handlers share. The count range and the
// count of empty USB reports live in the reading stream, the limits and extremes in LimitAlarms,
// the chart's paging in ReadingChart, the log's counters in ReadingLog.
struct SharedState
{
    qint32 LinkWatchTicks = 0;
};

// The program's one main window. It owns every control, timer, device and table for the run;
// each handler is a short method named after its control and event that calls plain classes and
// applies their results to the controls.
class TFCOMM : public QMainWindow
{
    Q_OBJECT
public:
    // `switches` replaces the layout's profile switches and `hidBackend` the system's HID devices
    // (tests only; the program passes neither).
    explicit TFCOMM(const ProfileSwitches *switches = nullptr, QWidget *parent = nullptr,
                    std::unique_ptr<HidBackend> hidBackend = nullptr);
    ~TFCOMM() override;

    Ui::FCOMM *ui() const { return m_ui.get(); }
    const SharedState &state() const { return m_state; }
    // Input reports since the last one that carried serial bytes (the watchdog's USB rule).
    qint32 usbIdleReports() const { return m_run->stream().usbIdleReports(); }
    const ModelProfile &profile() const { return m_profile; }
    const protocol::MeterReading &reading() const { return m_reading; }
    // The range in force: set at start-up by the profile, then by every frame shown.
    const protocol::CountRange &countRange() const { return m_run->stream().countRange(); }
    // The meter run: the link read, its frames, its state and the outputs of every reading.
    MeterRun &meterRun() const { return *m_run; }
    TSerialPortDriver *serialDriver() const { return COMM2; }
    THidDeviceController *hidController() const { return HidCtl; }
    THidDevice *currentHidDevice() const { return CurrentHidDevice; }
    const LimitAlarms &limits() const { return m_limits; }
    const Dial &dial() const { return m_dial; }
    ReadingChart *chart() const { return m_chart; }
    // Whether the reading shown is live, and whether the record limit stopped logging.
    const ReadingStatus &readingStatus() const { return m_readingStatus; }
    bool logOpen() const;
    ReadingLog &readingLog();
    LogCommands *logCommands() { return m_logCommands.get(); }
    // Offers back the readings of runs that ended unexpectedly; called once the window shows.
    void offerRecovery();

    // The live page (--http) shows what this window shows; null (the default) for none. Not owned.
    void setLivePage(LivePage *page);

    // How the program is told to end; tests replace it to observe the request.
    void setTerminate(std::function<void()> terminate) { m_terminate = std::move(terminate); }

    // Handlers, named after their control and event.
    void BitBtn1Click();
    void BtExitClick();
    void Timer1Timer();
    void FormResize();

    void COM11Click();
    void COM21Click();
    void COM31Click();
    void COM41Click();
    void BTCon1Click();
    void BtDiscon1Click();
    void COMConClick();

    // Shows one frame of the run and drives every view from its reading.
    void LcdDisplayUlmara(const protocol::StreamFrame &frame);

    void USBConClick();
    void ReadBtnClick();
    void SetFeatureClick();
    void ClearBtnClick();
    void ConTimerTimer();

    // USB connection control: the HID controller's events.
    void HidCtlDeviceChange(THidDeviceController *Sender);
    bool HidCtlEnumerate(THidDevice *HidDev, qint32 Idx);
    void HidCtlArrival(THidDevice *HidDev);
    void HidCtlRemoval(THidDevice *HidDev);
    void HidCtlDeviceDataError(THidDevice *HidDev, quint32 Error);
    // What an input report from the cable shows besides its frame: history line and caption.
    void showUsbReport(const protocol::ReadingStream::ReportView &shown);
    // The watchdog's USB side: the meter sent only empty reports, so the link ends with a message.
    void endSilentUsbLink();

    void BtFirstClick();
    void BTPreviousClick();
    void BtNextClick();
    void BTlastClick();
    void BtNewClick();
    void BtSaveClick();
    void btFillClick();
    void FillClick();
    void MaxrecordExit();
    void TbFdClick();
    void ComboBox1Change();

    void SetmaxExit();
    void SetMinExit();

    void TrecordTimer();
    void RecordSITimeChange();
    void RecordNewClick();
    void N10001Click();
    void N50001Click();
    void N100001Click();
    void N500001Click();
    void N1000001Click();
    void limitessClick();

    void SpeedButton2Click();
    void saveasClick();
    void BtPrintClick();

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void FormCreate();
    // Ends the program after the user agreed to.
    void leave();
    void cs123();
    bool openLogTable();
    void closeLogTable();
    void resetChart();
    void ShowSeries(int index);
    void KDsetup();
    void KDrun(int position);

    void CheckLimits();
    void TrackPeaks(int pointPosition, const QString &fullUnit);
    void INDataToTable(const QString &fullUnit);
    void PlotReading(int chartValue);
    void reportFrameError(const QString &message);
    void reportLogError(const QString &message);
    void showErrorWhileReading(const QString &message, std::function<void()> closed);
    void setRecordLimit(int item);
    void showClockPanel();
    void showLogStopped();
    void showJournalState(const QString &error, bool began);
    void showOutputsOnPage();

    void applyLimitChange(const LimitAlarms::LimitChange &change);
    void applyPageButtons();
    void showError(const QString &message);

    void wireControls();
    void selectPort(int n);
    bool connectSerial();
    // The serial device went away: the controls show the link closed and the clock panel why;
    // the run reopens the port when the device is back (serialLinkBack()).
    void serialLinkLost(const QString &reason);
    void serialLinkBack();
    // "COM1 (/dev/ttyUSB0)" of the open port.
    QString serialPortLabel() const;
    // The profile's caption, followed by the port while a link runs ("" for none): two windows
    // on one computer are told apart by the meter each one reads.
    void showPortInTitle(const QString &port);

    void createHidController(std::unique_ptr<HidBackend> backend);
    THidDevice *selectedHidDevice() const;
    void addHistoryLine(const QString &line);
    void usbLinkLost();
    void endUsbLink();
    void showUsbInformation(const QString &text);

    std::unique_ptr<Ui::FCOMM> m_ui;
    TSerialPortDriver *COMM2 = nullptr;
    THidDeviceController *HidCtl = nullptr;
    THidDevice *CurrentHidDevice = nullptr;
    UsbCableLink *m_usbLink = nullptr; // reads the device that the list lends it
    MeterRun *m_run = nullptr;
    protocol::MeterReading m_reading;
    std::unique_ptr<ReplicaPanel> m_replica;
    std::unique_ptr<UsbConnection> m_usb;
    FrameErrorGate m_frameErrors;
    ReadingStatus m_readingStatus;
    std::unique_ptr<ClockPanel> m_clockPanel; // shows m_readingStatus
    LimitAlarms m_limits;
    Dial m_dial;
    ReadingChart *m_chart = nullptr;
    ChartEnlarge m_enlarge;
    ProfileSwitches m_switches;
    ModelProfile m_profile;
    SharedState m_state;
    QTimer *m_timer1 = nullptr;
    QTimer *m_conTimer = nullptr;
    QTimer *m_trecord = nullptr;
    std::unique_ptr<LogCommands> m_logCommands;
    LivePage *m_livePage = nullptr;
    QString m_titlePort; // the port the title names
    std::function<void()> m_terminate;
    bool m_leaving = false; // the user agreed to end the program
};
