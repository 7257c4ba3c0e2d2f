// The window's USB handlers: the HID controller's events, the connect, read and speed buttons,
// the cable's report routines and the watchdog. The device list, the history and the rule for a
// link across a device change are UsbConnection's; the cable's line speed and reports go through
// UsbCableLink, its frames through the window's reading stream.
#include "BoxTitle.h"
#include "ClickPanel.h"
#include "ReplicaPanel.h"
#include "TFCOMM.h"
#include "UsbConnection.h"
#include "ui_FCOMM.h"

#include "link/LinkWatchdog.h"
#include "link/SerialPortDriver.h"
#include "link/hid/THidDeviceController.h"
#include "link/hid/UsbCable.h"
#include "link/hid/UsbCableLink.h"

#include <QMessageBox>

void TFCOMM::createHidController(std::unique_ptr<HidBackend> backend)
{
    if (!backend)
        backend = THidDeviceController::systemBackend();
    HidCtl = new THidDeviceController(std::move(backend), this);
    m_usb->setController(HidCtl);
    // In this order: the first device-list step, run when OnDeviceChange is assigned, already
    // reports arrivals... and the data-error handler reaches the devices listed by then.
    HidCtl->SetOnArrival({this, &TFCOMM::HidCtlArrival});
    HidCtl->SetOnEnumerate([this](THidDevice *d, qint32 i) { return HidCtlEnumerate(d, i); });
    HidCtl->SetOnDeviceChange({this, &TFCOMM::HidCtlDeviceChange});
    HidCtl->SetOnDeviceDataError({this, &TFCOMM::HidCtlDeviceDataError});
    HidCtl->SetOnRemoval({this, &TFCOMM::HidCtlRemoval});
}

THidDevice *TFCOMM::selectedHidDevice() const
{
    return m_usb->selected();
}

void TFCOMM::addHistoryLine(const QString &line)
{
    m_usb->addHistoryLine(line);
}

void TFCOMM::HidCtlDeviceChange(THidDeviceController *)
{
    const bool linkOn = m_ui->USBCon->isChecked();
    m_ui->ReadBtn->setChecked(false);
    ReadBtnClick();
    CurrentHidDevice = nullptr;
    m_usb->clearList();
    HidCtl->EnumerateDevices();
    m_usb->selectCable();

    // Another device coming or going must not silently stop a running link: the cable, checked
    // out afresh, gets its report handler again; a cable that is gone ends the link.
    switch (UsbConnection::afterChange(linkOn, selectedHidDevice())) {
    case UsbConnection::AfterChange::NotRunning:
        return;
    case UsbConnection::AfterChange::GoesOn:
        CurrentHidDevice = selectedHidDevice();
        installUsbReportHandler(CurrentHidDevice);
        return;
    case UsbConnection::AfterChange::Ends:
        m_ui->USBCon->setChecked(false);
        endUsbLink();
        // Shown once the controller's notification is over, not from inside it.
        QMetaObject::invokeMethod(
            this, [this] { showUsbInformation(usbcable::kNotConnectedMessage); },
            Qt::QueuedConnection);
        return;
    }
}

bool TFCOMM::HidCtlEnumerate(THidDevice *HidDev, qint32 Idx)
{
    m_usb->addListed(HidDev, Idx);
    return true;
}

void TFCOMM::HidCtlArrival(THidDevice *HidDev)
{
    addHistoryLine(QStringLiteral("Arrival of ") + usbcable::DeviceDescription(HidDev));
}

void TFCOMM::HidCtlRemoval(THidDevice *HidDev)
{
    addHistoryLine(QStringLiteral("Removal of ") + usbcable::DeviceDescription(HidDev));
}

void TFCOMM::HidCtlDeviceDataError(THidDevice *, quint32 Error)
{
    addHistoryLine(usbcable::readErrorLine(HidCtl->backend()->errorText(Error), Error));
}

void TFCOMM::ReadBtnClick()
{
    CurrentHidDevice = selectedHidDevice();
    if (!CurrentHidDevice)
        return;
    if (!CurrentHidDevice->ReadWriteAccess()) {
        m_ui->ReadBtn->setChecked(false);
        return;
    }
    CurrentHidDevice->SetOnData({});
}

void TFCOMM::SetFeatureClick()
{
    sendLineSpeed([](bool) {});
}

// The line-speed report goes off the GUI thread (a cable that never answers would hold the
// window for seconds); `answered` runs with the cable's answer, after the history line.
void TFCOMM::sendLineSpeed(std::function<void(bool taken)> answered)
{
    CurrentHidDevice = selectedHidDevice();
    if (!CurrentHidDevice) {
        showUsbInformation(usbcable::kNotConnectedMessage);
        m_ui->USBCon->setChecked(false);
        return;
    }
    UsbCableLink::sendLineSpeed(CurrentHidDevice, quint32(m_profile.usbCableSpeed), this,
                                [this, answered](bool taken, const QByteArray &report) {
                                    addHistoryLine(usbcable::speedHistoryLine(report));
                                    answered(taken);
                                });
}

void TFCOMM::USBConClick()
{
    const bool starting = m_ui->USBCon->isChecked();
    ReadBtnClick();
    m_state.UsbIdleReports = 0;
    m_stream.resetUsbIdleReports();
    CurrentHidDevice = selectedHidDevice();
    if (!CurrentHidDevice) {
        SetFeatureClick(); // says the cable is not connected
        // No cable: the link is not running, so the serial controls must not stay hidden.
        endUsbLink();
        return;
    }
    if (!CurrentHidDevice->ReadWriteAccess()) {
        SetFeatureClick();
        m_ui->USBCon->setChecked(false);
        if (starting)
            QMessageBox::warning(this, QStringLiteral("Vorlatt"),
                                 usbcable::noAccessMessage(CurrentHidDevice->PnPInfo().DevicePath));
        return;
    }
    if (!starting) {
        SetFeatureClick();
        CurrentHidDevice->SetOnData({});
        endUsbLink();
        return;
    }
    // The button stays down while the cable answers; reading starts at once, so that nothing
    // the meter sends meanwhile is missed. A cable that does not take the report ends the link.
    for (ClickPanel *p : {m_ui->BtCOM1, m_ui->BtCOM2, m_ui->BtCOM3, m_ui->BtCOM4})
        p->hide();
    m_ui->COMCon->hide();
    installUsbReportHandler(CurrentHidDevice);
    THidDevice *cable = CurrentHidDevice;
    sendLineSpeed([this, cable](bool taken) {
        if (taken || !m_ui->USBCon->isChecked() || CurrentHidDevice != cable)
            return;
        m_ui->USBCon->setChecked(false);
        cable->SetOnData({});
        endUsbLink();
        showUsbInformation(usbcable::kNotConnectedMessage);
    });
}

void TFCOMM::installUsbReportHandler(THidDevice *device)
{
    const std::optional<protocol::HidRoutine> routine = hidRoutineOf(m_profile.usbReportRoutine);
    if (!routine)
        return;
    if (m_stream.hidRoutine() != *routine)
        m_stream.setHidRoutine(*routine);
    // One handler per routine, in the routines' order.
    static constexpr void (TFCOMM::*kHandlers[])(THidDevice *, quint8, const quint8 *, quint16) = {
        &TFCOMM::HidReadingFrameData, &TFCOMM::HidIndexedFrameData, &TFCOMM::HidRotatedNibbleData};
    device->SetOnData({this, kHandlers[int(*routine)]});
    showPortInTitle(QStringLiteral("USB (%1)").arg(device->PnPInfo().DevicePath));
}

// The controls as they are without a USB link: the port selector (the panel of the port in use,
// as everywhere else) and "COM Connect" shown, the banner hidden.
void TFCOMM::endUsbLink()
{
    if (m_ui->COMCon->isHidden()) {
        selectPort(int(COMM2->comPort()) + 1);
        m_ui->COMCon->show();
    }
    m_ui->Image1->hide();
    if (!COMM2->IsOpen())
        showPortInTitle({});
}

void TFCOMM::HidReadingFrameData(THidDevice *, quint8 ReportID, const quint8 *Data, quint16 Size)
{
    handleHidReport(ReportID, Data, Size);
}

void TFCOMM::HidIndexedFrameData(THidDevice *, quint8 ReportID, const quint8 *Data, quint16 Size)
{
    handleHidReport(ReportID, Data, Size);
}

void TFCOMM::HidRotatedNibbleData(THidDevice *, quint8 ReportID, const quint8 *Data, quint16 Size)
{
    handleHidReport(ReportID, Data, Size);
}

void TFCOMM::handleHidReport(quint8 reportId, const quint8 *data, quint16 size)
{
    const protocol::ReadingStream::ReportView shown =
        m_stream.receiveReport(reportId, QByteArrayView(data, size));
    m_state.UsbIdleReports = m_stream.usbIdleReports();
    if (!shown.historyLine.isEmpty())
        addHistoryLine(shown.historyLine);
    if (shown.usbText)
        m_ui->USBtxt->setText(*shown.usbText);
    if (shown.frame)
        LcdDisplayUlmara(*shown.frame);
}

void TFCOMM::endSilentUsbLink()
{
    m_state.UsbIdleReports = 0;
    m_stream.resetUsbIdleReports();
    m_ui->USBCon->setChecked(false);
    if (CurrentHidDevice)
        CurrentHidDevice->SetOnData({});
    endUsbLink();
    showUsbInformation(usbcable::kMeterNotReadyMessage);
}

void TFCOMM::showUsbInformation(const QString &text)
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Information"), text, QMessageBox::Ok,
                    this);
    fitTitle(box);
    box.exec();
}

void TFCOMM::ClearBtnClick()
{
    m_ui->HistoryListBox->clear();
}
void TFCOMM::ConTimerTimer()
{
    const LinkWatchdog::Tick t =
        LinkWatchdog::ConTimerTick(m_state.LinkWatchTicks, m_state.UsbIdleReports);
    if (t.endUsbLink)
        endSilentUsbLink();
    if (t.darken) {
        m_ui->CONok->hide();
        m_ui->CONokN->show();
        if (m_readingStatus.linkDarkened()) {
            m_replica->showStale(true);
            showClockPanel();
        }
    }
}
