#pragma once

#include "ModelProfile.h"
#include "log/ReadingLog.h"
#include "protocol/CountRange.h"
#include "protocol/MeterReading.h"
#include "protocol/SerialFrameAssembler.h"
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
class DataFiles;
class LogTableModel;
class QChartView;
class QFileDialog;
class QTimer;
class ReadingChart;
class QWidget;
class TSerialPortDriver;

// Start values of the state that the window's handlers share; what the decoder changes during
// the run. The limits and extremes live in LimitAlarms, the chart's paging in ReadingChart, the
// log's counters in ReadingLog.
struct SharedState
{
    protocol::CountRange countRange; // the code "4" range until the profile or a frame sets it

    qint32 UsbIdleReports = 0;
    qint32 LinkWatchTicks = 0;
};

// The program's one main window. It owns every control, timer, device and table for the run;
// each handler is a short method named after its control and event that calls plain classes and
// applies their results to the controls.
class TFCOMM : public QMainWindow
{
    Q_OBJECT
public:
    // `switches` replaces the layout's profile switches (tests only; the program passes none).
    explicit TFCOMM(const ProfileSwitches *switches = nullptr, QWidget *parent = nullptr);
    ~TFCOMM() override;

    Ui::FCOMM *ui() const { return m_ui.get(); }
    const SharedState &state() const { return m_state; }
    const ModelProfile &profile() const { return m_profile; }
    const protocol::MeterReading &reading() const { return m_reading; }
    TSerialPortDriver *serialDriver() const { return COMM2; }
    const LimitAlarms &limits() const { return m_limits; }
    const Dial &dial() const { return m_dial; }
    ReadingChart *chart() const { return m_chart; }
    bool logOpen() const { return m_log.isOpen(); }
    ReadingLog &readingLog() { return m_log; }

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

    // Serial receive routines, bound to the driver's receive event by the model profile.
    void RECEIVE_COM_Data(TSerialPortDriver *Sender, const char *DataPtr, int DataSize);
    void IndexedFrameData(TSerialPortDriver *Sender, const char *DataPtr, int DataSize);
    // Decodes FrameHex and drives every view from the reading.
    void LcdDisplayUlmara();

    void USBConClick();
    void ReadBtnClick();
    void SetFeatureClick();
    void ClearBtnClick();
    void ConTimerTimer();

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
    void cs123();
    bool openLogTable();
    void closeLogTable();
    void resetChart();
    void ShowSeries(int index);
    void KDsetup();
    void KDrun(int position);

    void CheckLimits();
    void TrackPeaks(int pointPosition);
    void INDataToTable();
    void PlotReading(int chartValue);
    void reportFrameError(const QString &message);
    void reportLogError(const QString &message);
    void setRecordLimit(int item);

    void applyLimitChange(const LimitAlarms::LimitChange &change);
    void applyPageButtons();
    void showError(const QString &message);

    void findReplicaControls();
    void applyDesignFonts();
    void applyPictures();
    void wireControls();
    void selectPort(int n);

    std::unique_ptr<Ui::FCOMM> m_ui;
    TSerialPortDriver *COMM2 = nullptr;
    protocol::SerialFrameAssembler m_serialAssembler;
    QString m_frameHex;
    protocol::MeterReading m_reading;
    // Replica controls, looked up once: those blanked at every frame, and the control of each
    // annunciator bit in the decoder's table order.
    QList<QWidget *> m_blankedControls;
    QList<QWidget *> m_annunciatorControls;
    bool m_frameErrorShown = false;
    LimitAlarms m_limits;
    Dial m_dial;
    QChartView *m_chartView = nullptr;
    ReadingChart *m_chart = nullptr;
    ChartEnlarge m_enlarge;
    ProfileSwitches m_switches;
    ModelProfile m_profile;
    SharedState m_state;
    QTimer *m_timer1 = nullptr;
    QTimer *m_conTimer = nullptr;
    QTimer *m_trecord = nullptr;
    ReadingLog m_log;
    LogTableModel *m_logModel = nullptr;
    std::unique_ptr<DataFiles> m_dataFiles;
    QFileDialog *SaveDialog2 = nullptr;
    QFileDialog *OpenDialog1 = nullptr;
    bool m_logErrorShown = false;
    QString m_lastLogError;
    std::function<void()> m_terminate;
};
