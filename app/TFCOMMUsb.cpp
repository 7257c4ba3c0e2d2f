// The window's USB handlers: the HID controller's events, the connect, read and speed buttons,
// the cable's reports and the watchdog. The device list, the history and the rule for a link
// across a device change are UsbConnection's; the cable's line speed and reports go through the
// meter link UsbCableLink, on the device the list lends it, its frames through the window's
// reading stream.
#include "BoxTitle.h"
#include "ClickPanel.h"
#include "ReplicaPanel.h"
#include "TFCOMM.h"
#include "UsbConnection.h"
#include "ui_FCOMM.h"

#include "link/LinkWatchdog.h"
#include "link/SerialPortDriver.h"
#include "link/hid/THidDevice.h"
#include "link/hid/THidDeviceController.h"
#include "link/hid/UsbCable.h"
#include "link/hid/UsbCableLink.h"

#include <QMessageBox>

void TFCOMM::createHidController(std::unique_ptr<HidBackend> backend)
{
    if (!backend)
        backend = THidDeviceController::systemBackend();
    // The link reads the device the list lends it; the speed is the profile's (FormCreate).
    m_usbLink = new UsbCableLink(0, this);
    connect(m_usbLink, &UsbCableLink::lineSpeedAnswered, this,
            [this](bool, const QByteArray &report) {
                addHistoryLine(usbcable::speedHistoryLine(report));
            });
    // A cable that does not take the speed report of the connect ends the link. (A cable that
    // goes is seen by the device list: HidCtlDeviceChange.)
    connect(m_usbLink, &UsbCableLink::speedRefused, this, &TFCOMM::usbLinkLost);
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
    // The listed devices are checked in below: the link lets go of the one it reads first.
    m_usbLink->close();
    CurrentHidDevice = nullptr;
    m_usb->clearList();
    HidCtl->EnumerateDevices();
    m_usb->selectCable();

    // Another device coming or going must not silently stop a running link: the cable, checked
    // out afresh, is read on; a cable that is gone ends the link.
    switch (UsbConnection::afterChange(linkOn, selectedHidDevice())) {
    case UsbConnection::AfterChange::NotRunning:
        return;
    case UsbConnection::AfterChange::GoesOn:
        CurrentHidDevice = selectedHidDevice();
        m_usbLink->readOn(CurrentHidDevice);
        return;
    case UsbConnection::AfterChange::Ends:
        usbLinkLost();
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
    m_usbLink->close();
}

// The line-speed report goes off the GUI thread (a cable that never answers would hold the
// window for seconds); its history line follows the answer.
void TFCOMM::SetFeatureClick()
{
    CurrentHidDevice = selectedHidDevice();
    if (!CurrentHidDevice) {
        showUsbInformation(usbcable::kNotConnectedMessage);
        m_ui->USBCon->setChecked(false);
        return;
    }
    m_usbLink->sendLineSpeed(CurrentHidDevice);
}

void TFCOMM::USBConClick()
{
    const bool starting = m_ui->USBCon->isChecked();
    ReadBtnClick();
    m_run->stream().resetUsbIdleReports();
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
        m_usbLink->close();
        if (m_run->link() == m_usbLink)
            m_run->closedByUser();
        endUsbLink();
        return;
    }
    // The button stays down while the cable answers; reading starts at once, so that nothing
    // the meter sends meanwhile is missed (the link sends the speed report and reads).
    for (ClickPanel *p : {m_ui->BtCOM1, m_ui->BtCOM2, m_ui->BtCOM3, m_ui->BtCOM4})
        p->hide();
    m_ui->COMCon->hide();
    m_usbLink->setCable(CurrentHidDevice);
    m_run->setLink(m_usbLink);
    m_usbLink->open();
    const QString port = QStringLiteral("USB (%1)").arg(m_usbLink->deviceName());
    m_run->opened(port, QStringLiteral("usb"));
    showPortInTitle(port);
}

// The cable went, or refused the speed report of the connect: the link ends with the message,
// shown once the event in hand (a controller's notification, say) is over.
void TFCOMM::usbLinkLost()
{
    m_ui->USBCon->setChecked(false);
    m_usbLink->close();
    m_run->lost(QStringLiteral("the USB cable is gone"));
    endUsbLink();
    QMetaObject::invokeMethod(
        this, [this] { showUsbInformation(usbcable::kNotConnectedMessage); },
        Qt::QueuedConnection);
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

void TFCOMM::showUsbReport(const protocol::ReadingStream::ReportView &shown)
{
    if (!shown.historyLine.isEmpty())
        addHistoryLine(shown.historyLine);
    if (shown.usbText)
        m_ui->USBtxt->setText(*shown.usbText);
}

void TFCOMM::endSilentUsbLink()
{
    m_run->stream().resetUsbIdleReports();
    m_ui->USBCon->setChecked(false);
    m_usbLink->close();
    m_run->lost(QStringLiteral("the meter sent nothing through the USB cable"));
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
    // The stream counts the empty reports; ending the link resets its count.
    qint32 idleReports = m_run->stream().usbIdleReports();
    const LinkWatchdog::Tick t = LinkWatchdog::ConTimerTick(m_state.LinkWatchTicks, idleReports);
    if (t.endUsbLink)
        endSilentUsbLink();
    if (t.darken) {
        m_ui->CONok->hide();
        m_ui->CONokN->show();
        if (m_readingStatus.linkDarkened()) {
            m_replica->showStale(true);
            showClockPanel();
            m_run->silent();
        }
    }
}
