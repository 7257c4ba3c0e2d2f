#pragma once

#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>

class HidBackend;
class THidDevice;
class THidDeviceController;

// The USB cable as the logger's source: finds it among the HID devices as the window's device
// list does (usbcable::pickCable), sets its line speed and hands on its input reports. It notices
// the cable going away through the controller's change notification and can look for it again.
//
// Holds the program's only THidDeviceController, so only one may exist at a time. Reports and
// changes arrive on the thread that created it, through its event loop.
class UsbCableSource
{
public:
    enum class Opened
    {
        Reading,
        NoCable,
        NoAccess, // found, but this user may not open it: see devicePath()
    };
    // `report` gets each input report: its identifier and the bytes after it. `changed` runs after
    // every change of the device set, whatever it was; isOpen() then tells whether the cable is
    // still there.
    UsbCableSource(std::unique_ptr<HidBackend> backend, quint32 baud,
                   std::function<void(quint8, QByteArrayView)> report,
                   std::function<void()> changed);
    ~UsbCableSource();

    Opened open();
    // Stops reading and lets the cable go; safe from inside the report and change callbacks.
    void close();
    // Reading a cable that is still plugged in.
    bool isOpen() const;
    // The device node of the cable last found.
    QString devicePath() const { return m_path; }

private:
    void deviceChange();

    quint32 m_baud = 0;
    std::function<void(quint8, QByteArrayView)> m_report;
    std::function<void()> m_changed;
    std::unique_ptr<THidDeviceController> m_controller;
    THidDevice *m_cable = nullptr; // checked out, so ours to delete
    QString m_path;
};
