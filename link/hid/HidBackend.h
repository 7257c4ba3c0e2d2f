#pragma once

#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The operating-system side of the HID layer, kept narrow so that the controller's list rules can
// be tested against an in-memory backend (HidMemoryBackend) and the Linux one (HidLinuxBackend,
// hidraw and libudev) can be tested against a real kernel.

// Where one device interface is found: the path that opens it and an identity that stays the same
// for as long as the device stays plugged in (and differs after a replug).
struct HidPnPRecord
{
    QString devicePath;
    QString deviceInstance;
};

struct HidAttributes
{
    quint16 VendorID = 0;
    quint16 ProductID = 0;
    quint16 VersionNumber = 0;
};

// An open device interface for queries and feature reports. A handle opened without read and
// write access still answers the queries.
class HidQueryHandle
{
public:
    virtual ~HidQueryHandle() = default;

    virtual bool readWrite() const = 0;
    virtual std::optional<HidAttributes> attributes() = 0;
    // Empty when the device has no such string.
    virtual QString productString() = 0;
    virtual std::optional<QString> serialNumberString() = 0;
    // The language list (string descriptor 0) where the platform gives it; a serial number that
    // only repeats it is no serial number. nullopt where the platform does not expose it.
    virtual std::optional<QString> stringDescriptor0() = 0;
    // Bytes of the largest input report with its identifier byte in front (0 when unknown).
    virtual int inputReportByteLength() = 0;
    // `data` starts with the report identifier. Returns 0 or the system's error code.
    virtual int setFeature(const quint8 *data, int size) = 0;
};

// The read side of one device, used by its read thread only (wake() may come from any thread).
class HidReadHandle
{
public:
    enum class Result
    {
        Report, // `bytes` bytes arrived, the report identifier first
        TimedOut,
        Woken,  // wake() was called
        Failed, // `error` holds the system's error code
    };

    virtual ~HidReadHandle() = default;
    // Waits at most timeoutMs for one input report.
    virtual Result read(quint8 *buffer, int size, int timeoutMs, int &bytes, quint32 &error) = 0;
    virtual void wake() = 0;
};

class HidBackend
{
public:
    virtual ~HidBackend() = default;

    // False where the platform has no HID support: the controller then keeps an empty list.
    virtual bool available() const = 0;
    // The device interfaces present now, in a stable order.
    virtual QList<HidPnPRecord> enumerate() = 0;
    // Opens with read and write access, or else for queries only; null (and the system's error
    // code in *error) when the device cannot be reached at all.
    virtual std::unique_ptr<HidQueryHandle> openDevice(const QString &path, int *error) = 0;
    // May be called from a read thread, while the GUI thread uses the backend.
    virtual std::unique_ptr<HidReadHandle> openReader(const QString &path, int *error) = 0;
    // Called on the GUI thread whenever a device interface comes or goes.
    virtual void setChangeHandler(std::function<void()> handler) = 0;
    // The system's message for an error code.
    virtual QString errorText(quint32 error) const = 0;
};
