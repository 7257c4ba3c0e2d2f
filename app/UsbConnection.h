#pragma once

#include <QList>
#include <QString>

class QListWidget;
class THidDevice;
class THidDeviceController;

// The window's USB side apart from its handlers: the devices listed in DevListBox (each checked
// out while it is listed, in the list's order), the history list, and the rule for a running link
// when the device set changes.
class UsbConnection
{
public:
    UsbConnection(QListWidget *devices, QListWidget *history);

    void setController(THidDeviceController *controller) { m_controller = controller; }
    // After the controller is gone: the devices still listed were handed to their holder,
    // unplugged, and are deleted here.
    void deleteListedAfterController();

    // Checks every listed device back in and empties the list.
    void clearList();
    // Lists a device the controller enumerates at `index`, under its description.
    void addListed(THidDevice *device, int index);
    // Selects the cable among the listed devices, if it is there.
    void selectCable();
    // The device selected in the list, or null.
    THidDevice *selected() const;

    // Adds a line and keeps the newest kHistoryLines, the last one selected.
    void addHistoryLine(const QString &line);

    // What becomes of the USB link after the device set changed: nothing to do when it was not
    // running; it goes on with the cable found again (a fresh object: its report handler must be
    // installed again); or it ends, when the cable is gone or may no longer be opened.
    enum class AfterChange
    {
        NotRunning,
        GoesOn,
        Ends,
    };
    static AfterChange afterChange(bool linkRunning, const THidDevice *cable);

private:
    QListWidget *m_devices = nullptr;
    QListWidget *m_history = nullptr;
    THidDeviceController *m_controller = nullptr;
    QList<THidDevice *> m_listed; // row by row as in m_devices
};
