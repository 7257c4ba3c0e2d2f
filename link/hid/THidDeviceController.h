#pragma once

#include "THidDevice.h"

#include <QList>
#include <QObject>

#include <functional>
#include <memory>
#include <vector>

class THidDeviceController;

using THidEnumerateEvent = std::function<bool(THidDevice *HidDev, qint32 Idx)>;
using TNotifyEvent = HidHandler<THidDeviceController *>;

// Knows every HID device interface present, notices them coming and going, and hands them out.
// Only one may exist in a program.
//
// Who calls what: the window's USB connection control assigns the events (OnArrival, OnEnumerate,
// OnDeviceChange, OnDeviceDataError, OnRemoval), and in its device-list step calls
// EnumerateDevices, which calls OnEnumerate for each plugged-in device, where it checks devices
// out with CheckOutDevice; it checks them in with CheckInDevice. The backend's change
// notification runs DeviceChange, which reports removals (OnRemoval), arrivals (OnArrival) and
// then the change (OnDeviceChange).
//
// The controller owns every device, checked out or not; a holder only borrows one. A device still
// checked out when the controller goes is unplugged and handed to its holder, who deletes it.
// Everything runs on the GUI thread.
class THidDeviceController : public QObject
{
    Q_OBJECT
public:
    // Throws EControllerError "Only one THidDeviceController allowed per program".
    explicit THidDeviceController(std::unique_ptr<HidBackend> backend, QObject *owner = nullptr);
    ~THidDeviceController() override;

    // The system's own backend (hidraw and udev on Linux).
    static std::unique_ptr<HidBackend> systemBackend();

    void DeviceChange();
    // Number of plugged-in devices reached.
    int EnumerateDevices();
    // The device at index, or null when the index is outside the list or it is checked out.
    THidDevice *CheckOutDevice(int index);
    // Gives a checked-out device back. A plugged-in one is replaced at its index by a fresh
    // object that keeps its data and unplug handlers and its sleep time (or loses its entry if it
    // can no longer be opened); an unplugged one leaves the list. Either way the object is
    // destroyed: `device` must not be used afterwards. May be called from the device's own data
    // handler. Devices this controller does not hold are left alone.
    void CheckInDevice(THidDevice *device);

    void SetOnArrival(const THidPlugEvent &h) { m_onArrival = h; }
    void SetOnRemoval(const THidPlugEvent &h) { m_onRemoval = h; }
    void SetOnEnumerate(const THidEnumerateEvent &h) { m_onEnumerate = h; }
    void SetOnDeviceChange(const TNotifyEvent &h);
    void SetOnDeviceData(const THidDataEvent &h);
    void SetOnDeviceDataError(const THidDataErrorEvent &h);
    void SetOnDeviceUnplug(const THidPlugEvent &h);
    const THidDataEvent &OnDeviceData() const { return m_onDeviceData; }
    const THidPlugEvent &OnDeviceUnplug() const { return m_onDeviceUnplug; }

    QList<THidDevice *> deviceList() const;
    HidBackend *backend() const { return m_backend.get(); }

private:

    std::vector<std::unique_ptr<THidDevice>> BuildDeviceList();
    qsizetype indexOf(const THidDevice *device) const;
    void callWithEventAccess(const THidPlugEvent &handler, THidDevice *device);
    template <typename Handler, typename Get, typename Set>
    void reassign(Handler &stored, const Handler &h, Get get, Set set);

    std::unique_ptr<HidBackend> m_backend;
    std::vector<std::unique_ptr<THidDevice>> m_devices;
    bool m_changeNotified = false;
    bool m_inDeviceChange = false;
    bool m_changePending = false;
    THidPlugEvent m_onArrival;
    THidPlugEvent m_onRemoval;
    THidEnumerateEvent m_onEnumerate;
    TNotifyEvent m_onDeviceChange;
    THidDataEvent m_onDeviceData;
    THidDataErrorEvent m_onDeviceDataError;
    THidPlugEvent m_onDeviceUnplug;
};
