#pragma once

#include "HidBackend.h"

class QSocketNotifier;
struct udev;
struct udev_monitor;

// HID devices through Linux's hidraw nodes, found and watched with libudev.
//
// A device is known by its hidraw syspath, which is new for every plug-in. Names come from the
// USB device above the node when there is one (its `product` and `serial`), else from the HID
// device's HID_NAME and HID_UNIQ; they are read from sysfs, so a node this user may not open is
// still named. Reports without report identifiers get a 0 in front, as on systems whose reports
// always carry one.
class HidLinuxBackend : public HidBackend
{
public:
    HidLinuxBackend();
    ~HidLinuxBackend() override;

    bool available() const override { return m_udev != nullptr; }
    QList<HidPnPRecord> enumerate() override;
    std::unique_ptr<HidQueryHandle> openDevice(const QString &path, int *error) override;
    std::unique_ptr<HidReadHandle> openReader(const QString &path, int *error) override;
    void setChangeHandler(std::function<void()> handler) override;
    QString errorText(quint32 error) const override;

private:
    void receiveChanges();

    udev *m_udev = nullptr;
    udev_monitor *m_monitor = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    std::function<void()> m_changeHandler;
};
