#include "UsbConnection.h"

#include "link/hid/THidDeviceController.h"
#include "link/hid/UsbCable.h"

#include <QtAlgorithms>

#include <QListWidget>

UsbConnection::UsbConnection(QListWidget *devices, QListWidget *history)
    : m_devices(devices), m_history(history)
{
}

void UsbConnection::deleteListedAfterController()
{
    m_controller = nullptr;
    qDeleteAll(std::exchange(m_listed, {}));
    m_devices->clear();
}

void UsbConnection::clearList()
{
    const QList<THidDevice *> listed = std::exchange(m_listed, {});
    if (m_controller) {
        for (THidDevice *device : listed) {
            if (device)
                m_controller->CheckInDevice(device);
        }
    }
    m_devices->clear();
}

void UsbConnection::addListed(THidDevice *device, int index)
{
    m_devices->addItem(usbcable::DeviceDescription(device));
    m_listed.append(m_controller ? m_controller->CheckOutDevice(index) : nullptr);
}

void UsbConnection::selectCable()
{
    QStringList descriptions;
    for (int i = 0; i < m_devices->count(); ++i)
        descriptions << m_devices->item(i)->text();
    if (const int cable = usbcable::pickCable(descriptions); cable >= 0)
        m_devices->setCurrentRow(cable);
}

THidDevice *UsbConnection::selected() const
{
    const QListWidgetItem *item = m_devices->currentItem();
    if (m_devices->count() == 0 || !item || !item->isSelected())
        return nullptr;
    return m_listed.value(m_devices->row(item));
}

void UsbConnection::addHistoryLine(const QString &line)
{
    m_history->addItem(line);
    while (m_history->count() > usbcable::kHistoryLines)
        delete m_history->takeItem(0);
    m_history->setCurrentRow(m_history->count() - 1);
}

UsbConnection::AfterChange UsbConnection::afterChange(bool linkRunning, const THidDevice *cable)
{
    if (!linkRunning)
        return AfterChange::NotRunning;
    return cable && cable->ReadWriteAccess() ? AfterChange::GoesOn : AfterChange::Ends;
}
