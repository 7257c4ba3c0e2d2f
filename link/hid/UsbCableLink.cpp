#include "UsbCableLink.h"

#include "THidDeviceController.h"
#include "UsbCable.h"

#include <QPointer>
#include <QStringList>

#include <thread>

UsbCableLink::UsbCableLink(std::unique_ptr<HidBackend> backend, quint32 baud, QObject *parent)
    : MeterLink(parent), m_baud(baud),
      m_controller(std::make_unique<THidDeviceController>(std::move(backend)))
{
    m_controller->SetOnDeviceChange({this, [this](THidDeviceController *) { deviceChange(); }});
}

UsbCableLink::UsbCableLink(quint32 baud, QObject *parent) : MeterLink(parent), m_baud(baud) {}

UsbCableLink::~UsbCableLink()
{
    close();
    m_controller.reset();
}

void UsbCableLink::sendLineSpeed(THidDevice *device)
{
    sendLineSpeed(device, false);
}

void UsbCableLink::sendLineSpeed(THidDevice *device, bool forOpen)
{
    if (!device)
        return;
    const QByteArray report = usbcable::LineSpeedReport(m_baud);
    // A query handle of the worker's own, so that the device may be checked in or unplugged
    // while the report is still on its way.
    int error = 0;
    std::shared_ptr<HidQueryHandle> handle =
        device->backend()->openDevice(device->PnPInfo().DevicePath, &error);
    const QPointer<UsbCableLink> guard(this);
    const quint64 openNumber = forOpen ? m_openNumber : 0;
    std::thread([handle, report, guard, openNumber]() {
        const bool taken =
            handle && handle->setFeature(reinterpret_cast<const quint8 *>(report.constData()),
                                         int(report.size())) == 0;
        if (!guard)
            return;
        QMetaObject::invokeMethod(
            guard.data(),
            [guard, taken, report, openNumber] {
                if (!guard)
                    return;
                emit guard->lineSpeedAnswered(taken, report);
                if (guard && !taken && openNumber != 0 && openNumber == guard->m_openNumber &&
                    guard->m_reading)
                    emit guard->speedRefused();
            },
            Qt::QueuedConnection);
    }).detach();
}

UsbCableLink::Opened UsbCableLink::openCable()
{
    THidDevice *const lent = m_controller ? nullptr : m_cable;
    close();
    m_error.clear();
    THidDevice *cable = lent;
    if (m_controller) {
        struct Listed
        {
            qint32 index = 0;
            bool readWrite = false;
            QString path;
        };
        QList<Listed> listed;
        QStringList descriptions;
        m_controller->SetOnEnumerate([&](THidDevice *device, qint32 index) {
            listed.append({index, device->ReadWriteAccess(), device->PnPInfo().DevicePath});
            descriptions.append(usbcable::DeviceDescription(device));
            return true;
        });
        m_controller->EnumerateDevices();
        m_controller->SetOnEnumerate({});
        const int pick = usbcable::pickCable(descriptions);
        if (pick >= 0) {
            m_path = listed.at(pick).path;
            if (listed.at(pick).readWrite)
                cable = m_controller->CheckOutDevice(listed.at(pick).index);
            else
                m_error = usbcable::noAccessMessage(m_path);
        }
    } else if (lent) {
        m_cable = lent; // stays lent until close(), also when it cannot be read
        m_path = lent->PnPInfo().DevicePath;
        if (!lent->ReadWriteAccess()) {
            m_error = usbcable::noAccessMessage(m_path);
            cable = nullptr;
        }
    }
    if (!m_error.isEmpty())
        return Opened::NoAccess;
    if (!cable) {
        m_error = QStringLiteral("The USB interface cable (a HID device named \"%1\") is not "
                                 "plugged in.")
                      .arg(usbcable::kCableName);
        return Opened::NoCable;
    }
    m_cable = cable;
    // The reports are read whether or not the cable answers, so that nothing the meter sends
    // meanwhile is missed.
    sendLineSpeed(m_cable, true);
    startReading();
    return Opened::Reading;
}

void UsbCableLink::readOn(THidDevice *cable)
{
    if (m_controller || !cable)
        return;
    close();
    m_cable = cable;
    m_path = cable->PnPInfo().DevicePath;
    startReading();
}

void UsbCableLink::startReading()
{
    m_reading = true;
    m_cable->SetOnData({this, [this](THidDevice *, quint8 id, const quint8 *data, quint16 size) {
                            emit reportArrived(id, QByteArrayView(data, size));
                        }});
}

void UsbCableLink::close()
{
    ++m_openNumber;
    m_reading = false;
    THidDevice *const cable = std::exchange(m_cable, nullptr);
    if (!cable)
        return;
    if (m_controller)
        m_controller->CheckInDevice(cable); // stops its read thread first
    else
        cable->SetOnData({});
}

void UsbCableLink::setCable(THidDevice *cable)
{
    if (!m_controller && !m_reading)
        m_cable = cable;
}

bool UsbCableLink::isOpen() const
{
    return m_reading && m_cable && m_cable->PluggedIn();
}

void UsbCableLink::deviceChange()
{
    if (!m_controller) // going: the controller is being destroyed
        return;
    const QPointer<UsbCableLink> alive(this);
    if (m_cable && !m_cable->PluggedIn()) {
        close();
        emit linkLost(QStringLiteral("the cable was unplugged"));
    }
    if (alive)
        emit devicesChanged();
}
