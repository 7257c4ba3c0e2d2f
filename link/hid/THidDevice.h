#pragma once

#include "HidBackend.h"
#include "HidHandler.h"

#include <QString>

#include <atomic>
#include <memory>
#include <stdexcept>

class THidDevice;
class THidDeviceController;
class THidDeviceReadThread;

// Raised by the controller's constructor and by the device constructor.
class EControllerError : public std::runtime_error
{
public:
    explicit EControllerError(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message)
    {
    }
    const QString &message() const { return m_message; }

private:
    QString m_message;
};

using THidPlugEvent = HidHandler<THidDevice *>;
// ReportID, then the report's bytes after the identifier and their count.
using THidDataEvent = HidHandler<THidDevice *, quint8, const quint8 *, quint16>;
// The system's error code.
using THidDataErrorEvent = HidHandler<THidDevice *, quint32>;

// Where the system knows one device interface. Two device objects are the same device exactly
// when their DeviceInstance values are equal.
class THidPnPInfo
{
public:
    explicit THidPnPInfo(const HidPnPRecord &record)
        : DevicePath(record.devicePath), DeviceInstance(record.deviceInstance)
    {
    }
    const QString DevicePath;
    const QString DeviceInstance;
};

// One HID device interface as the controller lists it.
//
// Who calls what: the controller creates devices (BuildDeviceList), owns them, unplugs them
// (DeviceChange), checks them out (CheckOutDevice) and in (CheckInDevice); the holder names them
// (ProductName, SerialNumber, Attributes), sends feature reports (SendFeatureReport), and
// installs and removes the data handler (SetOnData, which starts and stops the read thread).
//
// Checking in a plugged-in device replaces it in the controller's list by a fresh object at the
// same index, which keeps the data and unplug handlers and the sleep time; the holder must not
// use the old pointer afterwards. Every member runs on the GUI thread, except the few the read
// thread uses (readAllowed, backend, ReadSleepTime); input reports and read errors reach OnData
// and OnDataError there too, one at a time and in the order they were read: the read thread reads
// on while they wait, so the handler may touch the window, take its time and may even check the
// device in (what is still queued then is dropped).
class THidDevice
{
public:
    // Throws EControllerError "device cannot be opened" or "device cannot be identified".
    THidDevice(std::unique_ptr<THidPnPInfo> pnpInfo, THidDeviceController *controller,
               HidBackend *backend);
    ~THidDevice();

    THidDevice(const THidDevice &) = delete;
    THidDevice &operator=(const THidDevice &) = delete;

    const THidPnPInfo &PnPInfo() const { return *m_pnpInfo; }
    const HidAttributes &Attributes() const { return m_attributes; }
    QString ProductName();
    QString SerialNumber();
    // Bytes of the largest input report, identifier byte included; 0 when unknown.
    int InputReportByteLength();
    // `buffer` starts with the report identifier. The handle stays open afterwards.
    bool SendFeatureReport(const quint8 *buffer, int size);

    void SetOnData(const THidDataEvent &handler);
    const THidDataEvent &OnData() const { return m_onData; }
    void SetOnDataError(const THidDataErrorEvent &handler) { m_onDataError = handler; }
    const THidDataErrorEvent &OnDataError() const { return m_onDataError; }
    void SetOnUnplug(const THidPlugEvent &handler) { m_onUnplug = handler; }
    const THidPlugEvent &OnUnplug() const { return m_onUnplug; }

    // Accepted only from 10 to 10000 milliseconds.
    void SetReadSleepTime(int ms);
    int ReadSleepTime() const { return m_readSleepTime.load(); }

    bool PluggedIn() const { return m_pluggedIn; }
    bool CheckedOut() const { return m_checkedOut; }
    bool ReadWriteAccess() const { return m_readWriteAccess; }
    bool EventAccess() const { return m_eventAccess; }
    THidDeviceController *OwnerController() const { return m_ownerController; }
    bool readThreadRunning() const { return m_dataThread != nullptr; }
    // For the read thread: whether the device may still be read (cleared on unplug), and the
    // backend it reads through.
    bool readAllowed() const { return m_readAllowed.load(); }
    HidBackend *backend() const { return m_backend; }
    bool deviceHandleOpen() const { return m_deviceHandle != nullptr; }

    // The serial-number rule: an answer that only repeats the language list (string descriptor 0)
    // is no serial number. Both texts are taken as at most 254 UTF-16 units.
    static QString serialFromStrings(const QString &serial,
                                     const std::optional<QString> &languages);

private:
    // The controller sets what only it decides: the owner, check-out, event access, unplugging.
    friend class THidDeviceController;

    bool accessAllowed() const;
    bool OpenDeviceHandle();
    void CloseDeviceHandle();
    void CloseReadHandle();
    void Unplug();
    void StartReadThread();
    void StopReadThread();

    THidDeviceController *m_ownerController = nullptr;
    HidBackend *m_backend = nullptr;
    std::unique_ptr<THidPnPInfo> m_pnpInfo;
    bool m_pluggedIn = true;
    bool m_checkedOut = false;
    bool m_eventAccess = false;
    bool m_readWriteAccess = false;
    std::unique_ptr<HidQueryHandle> m_deviceHandle;
    HidAttributes m_attributes;
    QString m_productName;
    QString m_serialNumber;
    int m_inputReportByteLength = -1; // not asked yet
    // Read by the read thread while it waits.
    std::atomic<int> m_readSleepTime{100};
    // The access rule as the read thread sees it: cleared on unplug.
    std::atomic<bool> m_readAllowed{true};
    THidDataEvent m_onData;
    THidDataErrorEvent m_onDataError;
    THidPlugEvent m_onUnplug;
    std::unique_ptr<THidDeviceReadThread> m_dataThread;
};
