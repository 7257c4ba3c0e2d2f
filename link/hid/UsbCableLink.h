#pragma once

#include "link/MeterLink.h"

#include <QByteArray>
#include <QString>

#include <memory>

class HidBackend;
class THidDevice;
class THidDeviceController;

// The meter's USB cable as a meter link: telling it the line speed and handing on its input
// reports (reportArrived). The window's USB connection and the logger's --usb both read the cable
// through it.
//
// Two ways to hold the devices:
// - standing alone (the logger): the link holds the program's only THidDeviceController, finds
//   the cable among its devices (usbcable::pickCable), notices it going away (linkLost) and can
//   look for it again (open() after devicesChanged());
// - on devices the caller lists (the window, which holds the controller and a device list of its
//   own): the caller lends the device to read with setCable() before open(), and after listing
//   its devices afresh hands over the cable's new object with readOn().
//
// The line-speed report is sent off the link's thread: a device that never answers a feature
// report keeps the system call waiting for seconds, and the window must not freeze meanwhile. The
// answer comes back on the link's thread (lineSpeedAnswered). Reports arrive there too, one at a
// time.
class UsbCableLink : public MeterLink
{
    Q_OBJECT
public:
    enum class Opened
    {
        Reading,
        NoCable,
        NoAccess, // found, but this user may not open it: see deviceName()
    };

    // Standing alone, on the devices of `backend`.
    UsbCableLink(std::unique_ptr<HidBackend> backend, quint32 baud, QObject *parent = nullptr);
    // On devices the caller lends.
    explicit UsbCableLink(quint32 baud, QObject *parent = nullptr);
    ~UsbCableLink() override;

    // Sends the line speed and reads the cable's reports. Standing alone the link finds the
    // cable and checks it out; otherwise it reads the device lent by setCable().
    Opened openCable();
    bool open() override { return openCable() == Opened::Reading; }
    // Stops reading: a cable of its own is checked back in, a lent one is no longer touched.
    // Safe from inside the handlers of the link's signals.
    void close() override;
    // Reading a cable that is still plugged in.
    bool isOpen() const override;
    // The device node of the cable last found or lent.
    QString deviceName() const override { return m_path; }
    QString errorString() const override { return m_error; }

    // The device that open() reads, for a link on lent devices; null for none. Set while the link
    // is closed.
    void setCable(THidDevice *cable);
    // The caller listed its devices afresh while the link ran (and closed it first, as its old
    // objects went): reading goes on with the cable's new object, without a new speed report.
    void readOn(THidDevice *cable);

    // The speed the next report asks for.
    void setLineSpeed(quint32 baud) { m_baud = baud; }
    // Sends the line-speed report to `device` (the cable as the user chose it, readable or not);
    // the answer comes as lineSpeedAnswered.
    void sendLineSpeed(THidDevice *device);

signals:
    // The cable answered a line-speed report: whether it took it, and the report sent.
    void lineSpeedAnswered(bool taken, const QByteArray &report);
    // Standing alone: after every change of the device set, whatever it was, and after linkLost
    // when the change took the cable.
    void devicesChanged();
    // The cable refused the speed report that open() sent while the link still reads it. The
    // window ends the link then; the logger reads on (a silent link shows by the reports that do
    // not come).
    void speedRefused();

private:
    void deviceChange();
    void startReading();
    void sendLineSpeed(THidDevice *device, bool forOpen);

    quint32 m_baud = 0;
    std::unique_ptr<THidDeviceController> m_controller; // standing alone only
    THidDevice *m_cable = nullptr; // checked out from m_controller, or lent
    bool m_reading = false;
    // Counts the opens and closes, so that the answer to an earlier open's report is known.
    quint64 m_openNumber = 0;
    QString m_path;
    QString m_error;
};
