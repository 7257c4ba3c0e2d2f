#pragma once

#include "THidDevice.h"

#include <QList>
#include <QObject>

#include <functional>
#include <memory>

class THidDeviceController;

using THidEnumerateEvent = std::function<bool(THidDevice *HidDev, qint32 Idx)>;
using TNotifyEvent = HidHandler<THidDeviceController *>;

// Knows every HID device interface present, notices them coming and going, and hands them out.
// Only one may exist in a program.
//
// Who calls what: the window's USB connection control assigns the events (OnArrival, OnEnumerate,
// OnDeviceChange, OnDeviceDataError, OnRemoval), and in its device-list step calls
// EnumerateDevices, which calls OnEnumerate for each plugged-in device, where it checks devices
// out with CheckOutDevice; it checks them in by deleting them. The backend's change notification
// runs DeviceChange, which reports removals (OnRemoval), arrivals (OnArrival) and then the change
// (OnDeviceChange).
//
// The list owns every device in it except a checked-out one, which its holder owns until it
// deletes it. Everything runs on the GUI thread.
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

    int DevThreadSleepTime() const { return m_devThreadSleepTime; }
    void SetDevThreadSleepTime(int value);
    QString Version() const { return QStringLiteral("1.0.22"); }
    void SetVersion(const QString &) {}

    void SetOnArrival(const THidPlugEvent &h) { m_onArrival = h; }
    void SetOnRemoval(const THidPlugEvent &h) { m_onRemoval = h; }
    void SetOnEnumerate(const THidEnumerateEvent &h) { m_onEnumerate = h; }
    void SetOnDeviceChange(const TNotifyEvent &h);
    void SetOnDeviceData(const THidDataEvent &h);
    void SetOnDeviceDataError(const THidDataErrorEvent &h);
    void SetOnDeviceUnplug(const THidPlugEvent &h);
    const THidDataEvent &OnDeviceData() const { return m_onDeviceData; }
    const THidPlugEvent &OnDeviceUnplug() const { return m_onDeviceUnplug; }

    const QList<THidDevice *> &deviceList() const { return m_deviceList; }
    HidBackend *backend() const { return m_backend.get(); }

private:
    friend class THidDevice;

    QList<THidDevice *> BuildDeviceList();
    void callWithEventAccess(const THidPlugEvent &handler, THidDevice *device);
    template <typename Handler, typename Get, typename Set>
    void reassign(Handler &stored, const Handler &h, Get get, Set set);

    std::unique_ptr<HidBackend> m_backend;
    QList<THidDevice *> m_deviceList;
    bool m_changeNotified = false;
    bool m_inDeviceChange = false;
    bool m_changePending = false;
    int m_devThreadSleepTime = 100;
    THidPlugEvent m_onArrival;
    THidPlugEvent m_onRemoval;
    THidEnumerateEvent m_onEnumerate;
    TNotifyEvent m_onDeviceChange;
    THidDataEvent m_onDeviceData;
    THidDataErrorEvent m_onDeviceDataError;
    THidPlugEvent m_onDeviceUnplug;
};
