#include "THidDeviceController.h"

#include "HidLinuxBackend.h"

#include <atomic>

namespace {

std::atomic<int> g_controllers{0};

} // namespace

THidDeviceController::THidDeviceController(std::unique_ptr<HidBackend> backend, QObject *owner)
    : QObject(owner), m_backend(std::move(backend))
{
    if (++g_controllers != 1) {
        --g_controllers;
        throw EControllerError(QStringLiteral("Only one THidDeviceController allowed per program"));
    }
    m_deviceList = BuildDeviceList();
    if (m_backend->available())
        m_backend->setChangeHandler([this] { DeviceChange(); });
}

THidDeviceController::~THidDeviceController()
{
    --g_controllers;
    m_onDeviceChange = {};
    m_onDeviceUnplug = {};
    m_onEnumerate = {};
    m_backend->setChangeHandler({});
    const QList<THidDevice *> devices = std::exchange(m_deviceList, {});
    for (THidDevice *device : devices) {
        device->m_ownerController = nullptr;
        if (device->CheckedOut())
            device->Unplug(); // its holder still owns it
        else
            delete device;
    }
}

std::unique_ptr<HidBackend> THidDeviceController::systemBackend()
{
    return std::make_unique<HidLinuxBackend>();
}

QList<THidDevice *> THidDeviceController::BuildDeviceList()
{
    QList<THidDevice *> list;
    if (!m_backend->available())
        return list;
    for (const HidPnPRecord &record : m_backend->enumerate()) {
        try {
            list.append(
                new THidDevice(std::make_unique<THidPnPInfo>(record), this, m_backend.get()));
        } catch (const EControllerError &) {
            // A device that cannot be opened or identified is not listed.
        }
    }
    return list;
}

void THidDeviceController::callWithEventAccess(const THidPlugEvent &handler, THidDevice *device)
{
    if (!handler)
        return;
    device->m_eventAccess = true;
    handler(device);
    device->m_eventAccess = false;
}

void THidDeviceController::DeviceChange()
{
    // A handler that waits in a message box lets the next notification in; it is taken up once
    // this round is over instead of working on a list that is half done.
    if (m_inDeviceChange) {
        m_changePending = true;
        return;
    }
    m_inDeviceChange = true;
    do {
        m_changePending = false;
        QList<THidDevice *> fresh = BuildDeviceList();
        bool changed = false;

        for (qsizetype i = m_deviceList.size() - 1; i >= 0; --i) {
            if (i >= m_deviceList.size())
                continue;
            THidDevice *device = m_deviceList.at(i);
            bool present = false;
            for (qsizetype j = fresh.size() - 1; j >= 0 && !present; --j)
                present =
                    fresh.at(j)->PnPInfo().DeviceInstance == device->PnPInfo().DeviceInstance &&
                    device->PluggedIn();
            if (present)
                continue;
            device->Unplug();
            callWithEventAccess(m_onRemoval, device);
            if (!device->CheckedOut()) {
                m_deviceList.removeOne(device);
                device->m_ownerController = nullptr;
                delete device;
            }
            changed = true;
        }

        QList<THidDevice *> arrivals;
        for (THidDevice *candidate : std::as_const(fresh)) {
            bool known = false;
            for (THidDevice *device : std::as_const(m_deviceList))
                known = known || (device->PluggedIn() && device->PnPInfo().DeviceInstance ==
                                                             candidate->PnPInfo().DeviceInstance);
            if (known) {
                candidate->m_ownerController = nullptr;
                delete candidate;
            } else {
                arrivals.append(candidate);
            }
        }
        for (THidDevice *device : std::as_const(arrivals)) {
            m_deviceList.append(device);
            changed = true;
            callWithEventAccess(m_onArrival, device);
        }

        if (changed || !m_changeNotified)
            m_onDeviceChange(this);
    } while (m_changePending);
    m_inDeviceChange = false;
}

void THidDeviceController::SetOnDeviceChange(const TNotifyEvent &h)
{
    if (h == m_onDeviceChange)
        return;
    m_onDeviceChange = h;
    DeviceChange();
    m_changeNotified = true;
}

int THidDeviceController::EnumerateDevices()
{
    int count = 0;
    for (qsizetype i = 0; i < m_deviceList.size(); ++i) {
        THidDevice *device = m_deviceList.at(i);
        if (!device->PluggedIn())
            continue;
        ++count;
        if (!m_onEnumerate)
            break;
        device->m_eventAccess = true;
        const bool goOn = m_onEnumerate(device, qint32(i));
        device->m_eventAccess = false;
        if (!device->CheckedOut()) {
            device->CloseDeviceHandle();
            device->CloseReadHandle();
        }
        if (!goOn)
            break;
    }
    return count;
}

THidDevice *THidDeviceController::CheckOutDevice(int index)
{
    if (index < 0 || index >= m_deviceList.size())
        return nullptr;
    THidDevice *device = m_deviceList.at(index);
    if (device->CheckedOut())
        return nullptr;
    device->m_checkedOut = true;
    device->StartReadThread();
    return device;
}

void THidDeviceController::SetDevThreadSleepTime(int value)
{
    if (value == m_devThreadSleepTime)
        return;
    for (THidDevice *device : std::as_const(m_deviceList)) {
        if (device->ReadSleepTime() == m_devThreadSleepTime)
            device->SetReadSleepTime(value);
    }
    m_devThreadSleepTime = value;
}

// A new controller handler goes to every listed device that still has the previous one.
template <typename Handler, typename Get, typename Set>
void THidDeviceController::reassign(Handler &stored, const Handler &h, Get get, Set set)
{
    if (h == stored)
        return;
    for (THidDevice *device : std::as_const(m_deviceList)) {
        if ((device->*get)() == stored)
            (device->*set)(h);
    }
    stored = h;
}

void THidDeviceController::SetOnDeviceData(const THidDataEvent &h)
{
    reassign(m_onDeviceData, h, &THidDevice::OnData, &THidDevice::SetOnData);
}

void THidDeviceController::SetOnDeviceDataError(const THidDataErrorEvent &h)
{
    reassign(m_onDeviceDataError, h, &THidDevice::OnDataError, &THidDevice::SetOnDataError);
}

void THidDeviceController::SetOnDeviceUnplug(const THidPlugEvent &h)
{
    reassign(m_onDeviceUnplug, h, &THidDevice::OnUnplug, &THidDevice::SetOnUnplug);
}
