#include "UsbCableLink.h"

#include "THidDeviceController.h"
#include "UsbCable.h"

#include <QPointer>
#include <QStringList>

#include <thread>

UsbCableLink::UsbCableLink(std::unique_ptr<HidBackend> backend, quint32 baud, ReportHandler report,
                           std::function<void()> changed)
    : m_baud(baud), m_report(std::move(report)), m_changed(std::move(changed)),
      m_controller(std::make_unique<THidDeviceController>(std::move(backend)))
{
    m_controller->SetOnDeviceChange({this, [this](THidDeviceController *) { deviceChange(); }});
}

UsbCableLink::~UsbCableLink()
{
    m_changed = {};
    close();
    m_controller.reset();
}

int UsbCableLink::pickCable(const QStringList &descriptions)
{
    return usbcable::pickCable(descriptions);
}

void UsbCableLink::sendLineSpeed(THidDevice *cable, quint32 baud, QObject *context,
                                 std::function<void(bool, const QByteArray &)> done)
{
    const QByteArray report = usbcable::LineSpeedReport(baud);
    // A query handle of the worker's own, so that the device may be checked in or unplugged
    // while the report is still on its way.
    int error = 0;
    std::shared_ptr<HidQueryHandle> handle =
        cable->backend()->openDevice(cable->PnPInfo().DevicePath, &error);
    QPointer<QObject> guard(context);
    std::thread([handle, report, guard, done = std::move(done)]() mutable {
        const bool taken =
            handle && handle->setFeature(reinterpret_cast<const quint8 *>(report.constData()),
                                         int(report.size())) == 0;
        if (!guard)
            return;
        QMetaObject::invokeMethod(
            guard.data(), [done = std::move(done), taken, report] { done(taken, report); },
            Qt::QueuedConnection);
    }).detach();
}

void UsbCableLink::readReports(THidDevice *cable, const void *owner, ReportHandler report)
{
    cable->SetOnData({owner, [report = std::move(report)](THidDevice *, quint8 id,
                                                           const quint8 *data, quint16 size) {
                          report(id, QByteArrayView(data, size));
                      }});
}

UsbCableLink::Opened UsbCableLink::open()
{
    close();
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

    const int pick = pickCable(descriptions);
    if (pick < 0)
        return Opened::NoCable;
    m_path = listed.at(pick).path;
    if (!listed.at(pick).readWrite)
        return Opened::NoAccess;
    m_cable = m_controller->CheckOutDevice(listed.at(pick).index);
    if (!m_cable)
        return Opened::NoCable;
    // The reports are read whether or not the cable answers: a silent link is noticed by the
    // reports that do not come.
    sendLineSpeed(m_cable, m_baud, this, [](bool, const QByteArray &) {});
    readReports(m_cable, this, [this](quint8 id, QByteArrayView data) { m_report(id, data); });
    return Opened::Reading;
}

void UsbCableLink::close()
{
    if (THidDevice *cable = std::exchange(m_cable, nullptr))
        m_controller->CheckInDevice(cable); // stops its read thread first
}

bool UsbCableLink::isOpen() const
{
    return m_cable && m_cable->PluggedIn();
}

void UsbCableLink::deviceChange()
{
    if (m_cable && !m_cable->PluggedIn())
        close();
    if (m_changed)
        m_changed();
}
