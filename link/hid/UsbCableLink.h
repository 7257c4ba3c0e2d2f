#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class HidBackend;
class THidDevice;
class THidDeviceController;

// The meter's USB cable as a link: finding it among the HID devices (usbcable::pickCable),
// telling it the line speed, and handing on its input reports. The window's USB connection and
// the logger's --usb both read the cable through it.
//
// The line-speed report is sent off the GUI thread: a device that never answers a feature report
// keeps the system call waiting for seconds, and the window must not freeze meanwhile. The answer
// comes back on the link's thread through its event loop.
//
// Used standing alone (the logger), it holds the program's only THidDeviceController, notices
// the cable going away through the controller's change notification and can look for it again.
// Reports and changes arrive on the thread that created it.
class UsbCableLink : public QObject
{
    Q_OBJECT
public:
    using ReportHandler = std::function<void(quint8 reportId, QByteArrayView data)>;

    enum class Opened
    {
        Reading,
        NoCable,
        NoAccess, // found, but this user may not open it: see devicePath()
    };
    // `report` gets each input report: its identifier and the bytes after it. `changed` runs after
    // every change of the device set, whatever it was; isOpen() then tells whether the cable is
    // still there.
    UsbCableLink(std::unique_ptr<HidBackend> backend, quint32 baud, ReportHandler report,
                 std::function<void()> changed);
    ~UsbCableLink() override;

    // Finds the cable, checks it out, sends the line speed and reads its reports.
    Opened open();
    // Stops reading and checks the cable back in; safe from inside the report and change
    // callbacks.
    void close();
    // Reading a cable that is still plugged in.
    bool isOpen() const;
    // The device node of the cable last found.
    QString devicePath() const { return m_path; }

    // Which of the devices is the cable (by their descriptions, usbcable::DeviceDescription), or
    // -1: the same choice for the window's device list and for the logger.
    static int pickCable(const QStringList &descriptions);

    // Sends the cable's line-speed report for `baud` on a thread of its own. `done` runs on
    // `context`'s thread with the report sent and whether the cable took it; it does not run if
    // `context` is gone by then. The device is opened for the report here, on the calling thread.
    static void sendLineSpeed(THidDevice *cable, quint32 baud, QObject *context,
                              std::function<void(bool taken, const QByteArray &report)> done);

    // Hands the cable's input reports to `report`, on the GUI thread, one at a time; `owner`
    // names the handler (installing the same owner's handler again changes nothing).
    static void readReports(THidDevice *cable, const void *owner, ReportHandler report);

private:
    void deviceChange();

    quint32 m_baud = 0;
    ReportHandler m_report;
    std::function<void()> m_changed;
    std::unique_ptr<THidDeviceController> m_controller;
    THidDevice *m_cable = nullptr; // checked out from m_controller
    QString m_path;
};
