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
    m_devices = BuildDeviceList();
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
    std::vector<std::unique_ptr<THidDevice>> devices = std::exchange(m_devices, {});
    for (std::unique_ptr<THidDevice> &device : devices) {
        device->m_ownerController = nullptr;
        if (device->CheckedOut()) {
            // Its holder still has it: unplugged, it is theirs to delete.
            device->Unplug();
            device.release();
        }
    }
}

std::unique_ptr<HidBackend> THidDeviceController::systemBackend()
{
    return std::make_unique<HidLinuxBackend>();
}

QList<THidDevice *> THidDeviceController::deviceList() const
{
    QList<THidDevice *> list;
    list.reserve(qsizetype(m_devices.size()));
    for (const std::unique_ptr<THidDevice> &device : m_devices)
        list.append(device.get());
    return list;
}

qsizetype THidDeviceController::indexOf(const THidDevice *device) const
{
    for (std::size_t i = 0; i < m_devices.size(); ++i) {
        if (m_devices[i].get() == device)
            return qsizetype(i);
    }
    return -1;
}

std::vector<std::unique_ptr<THidDevice>> THidDeviceController::BuildDeviceList()
{
    std::vector<std::unique_ptr<THidDevice>> list;
    if (!m_backend->available())
        return list;
    for (const HidPnPRecord &record : m_backend->enumerate()) {
        try {
            list.push_back(std::make_unique<THidDevice>(std::make_unique<THidPnPInfo>(record),
                                                        this, m_backend.get()));
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
    // The handler may have checked the device in, which destroyed it.
    if (indexOf(device) >= 0)
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
        std::vector<std::unique_ptr<THidDevice>> fresh = BuildDeviceList();
        bool changed = false;
        for (qsizetype i = qsizetype(m_devices.size()) - 1; i >= 0; --i) {
            if (i >= qsizetype(m_devices.size()))
                continue;
            THidDevice *device = m_devices[std::size_t(i)].get();
            bool present = false;
            for (const std::unique_ptr<THidDevice> &candidate : fresh)
                present = present || (candidate->PnPInfo().DeviceInstance ==
                                          device->PnPInfo().DeviceInstance &&
                                      device->PluggedIn());
            if (present)
                continue;
            device->Unplug();
            callWithEventAccess(m_onRemoval, device);
            // A checked-out device stays listed until its holder checks it in.
            const qsizetype at = indexOf(device);
            if (at >= 0 && !device->CheckedOut()) {
                device->m_ownerController = nullptr;
                m_devices.erase(m_devices.begin() + at);
            }
            changed = true;
        }
        std::vector<THidDevice *> arrivals;
        for (std::unique_ptr<THidDevice> &candidate : fresh) {
            bool known = false;
            for (const std::unique_ptr<THidDevice> &device : m_devices)
                known = known || (device->PluggedIn() && device->PnPInfo().DeviceInstance ==
                                                             candidate->PnPInfo().DeviceInstance);
            if (known) {
                candidate->m_ownerController = nullptr;
                candidate.reset();
            } else {
                arrivals.push_back(candidate.get());
                m_devices.push_back(std::move(candidate));
            }
        }
        for (THidDevice *device : arrivals) {
            changed = true;
            if (indexOf(device) >= 0)
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
    for (std::size_t i = 0; i < m_devices.size(); ++i) {
        THidDevice *device = m_devices[i].get();
        if (!device->PluggedIn())
            continue;
        ++count;
        if (!m_onEnumerate)
            break;
        device->m_eventAccess = true;
        const bool goOn = m_onEnumerate(device, qint32(i));
        if (indexOf(device) < 0)
            break; // checked in from the handler: the list is no longer the one walked
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
    if (index < 0 || std::size_t(index) >= m_devices.size())
        return nullptr;
    THidDevice *device = m_devices[std::size_t(index)].get();
    if (device->CheckedOut())
        return nullptr;
    device->m_checkedOut = true;
    device->StartReadThread();
    return device;
}

void THidDeviceController::CheckInDevice(THidDevice *device)
{
    const qsizetype index = indexOf(device);
    if (index < 0 || !device->CheckedOut())
        return;
    std::unique_ptr<THidDevice> old = std::move(m_devices[std::size_t(index)]);
    const THidDataEvent onData = old->OnData();
    const THidPlugEvent onUnplug = old->OnUnplug();
    const int sleepTime = old->ReadSleepTime();
    const bool pluggedIn = old->PluggedIn();
    // Its read thread stopped and its handles closed before a fresh object opens the device.
    old->SetOnData({});
    old->CloseDeviceHandle();
    old->CloseReadHandle();
    old->m_ownerController = nullptr;
    std::unique_ptr<THidPnPInfo> pnpInfo = std::move(old->m_pnpInfo);
    old.reset();
    if (pluggedIn) {
        // The fresh object takes the old one's place. A device that can no longer be opened
        // (gone between the last rescan and now) loses its entry, as an unplugged one does.
        try {
            auto fresh = std::make_unique<THidDevice>(std::move(pnpInfo), this, m_backend.get());
            fresh->SetOnData(onData);
            fresh->SetOnUnplug(onUnplug);
            fresh->SetReadSleepTime(sleepTime);
            m_devices[std::size_t(index)] = std::move(fresh);
            return;
        } catch (const EControllerError &) {
        }
    }
    m_devices.erase(m_devices.begin() + index);
}

// A new controller handler goes to every listed device that still has the previous one.
template <typename Handler, typename Get, typename Set>
void THidDeviceController::reassign(Handler &stored, const Handler &h, Get get, Set set)
{
    if (h == stored)
        return;
    for (const std::unique_ptr<THidDevice> &device : m_devices) {
        if ((device.get()->*get)() == stored)
            (device.get()->*set)(h);
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
