#include "UsbCableSource.h"

#include "link/hid/THidDeviceController.h"
#include "link/hid/UsbCable.h"

#include <QStringList>

UsbCableSource::UsbCableSource(std::unique_ptr<HidBackend> backend, quint32 baud,
                               std::function<void(quint8, QByteArrayView)> report,
                               std::function<void()> changed)
    : m_baud(baud), m_report(std::move(report)), m_changed(std::move(changed)),
      m_controller(std::make_unique<THidDeviceController>(std::move(backend)))
{
    m_controller->SetOnDeviceChange({this, [this](THidDeviceController *) { deviceChange(); }});
}

UsbCableSource::~UsbCableSource()
{
    m_changed = {};
    close();
    m_controller.reset();
}

UsbCableSource::Opened UsbCableSource::open()
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

    const int pick = usbcable::pickCable(descriptions);
    if (pick < 0)
        return Opened::NoCable;
    m_path = listed.at(pick).path;
    if (!listed.at(pick).readWrite)
        return Opened::NoAccess;
    m_cable = m_controller->CheckOutDevice(listed.at(pick).index);
    if (!m_cable)
        return Opened::NoCable;
    const QByteArray speed = usbcable::LineSpeedReport(m_baud);
    m_cable->SendFeatureReport(reinterpret_cast<const quint8 *>(speed.constData()),
                               int(speed.size()));
    m_cable->SetOnData({this, [this](THidDevice *, quint8 id, const quint8 *data, quint16 size) {
                            m_report(id, QByteArrayView(data, size));
                        }});
    return Opened::Reading;
}

void UsbCableSource::close()
{
    // Deleting a checked-out device checks it back in, stopping its read thread first.
    delete std::exchange(m_cable, nullptr);
}

bool UsbCableSource::isOpen() const
{
    return m_cable && m_cable->PluggedIn();
}

void UsbCableSource::deviceChange()
{
    if (m_cable && !m_cable->PluggedIn())
        close();
    if (m_changed)
        m_changed();
}
