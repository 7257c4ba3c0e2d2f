#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// A USB HID device made with the kernel's dummy host and device controllers and a configfs
// gadget: its hidraw node has a genuine USB device above it, with product, manufacturer and
// serial attributes as a real cable has. /dev/hidg0 is the device's own side.
class UsbGadget
{
public:
    static constexpr const char *kRoot = "/sys/kernel/config/usb_gadget/vorlatt";

    // Builds the gadget (unbound) with the cable's report layout; one built before is kept, since
    // its function cannot change once it is part of the configuration.
    bool setUp()
    {
        const QString g = QString::fromLatin1(kRoot);
        if (QFile::exists(g + "/configs/c.1/hid.usb0"))
            return true;
        if (!QDir().mkpath(g + "/strings/0x409") || !QDir().mkpath(g + "/configs/c.1") ||
            !QDir().mkpath(g + "/functions/hid.usb0"))
            return false;
        bool ok = put("idVendor", "0x1a2b") && put("idProduct", "0x80c3") &&
                  put("bcdDevice", "0x0100") && put("bcdUSB", "0x0200") &&
                  put("functions/hid.usb0/protocol", "0") &&
                  put("functions/hid.usb0/subclass", "0") &&
                  put("functions/hid.usb0/report_length", "8") &&
                  put("functions/hid.usb0/report_desc",
                      QByteArray::fromHex("0600ff0901a101150026ff00750895080902810295090903b1"
                                          "02c0")) &&
                  // Without an OUT endpoint, feature reports set by the host reach read() here.
                  put("functions/hid.usb0/no_out_endpoint", "1");
        return ok && QFile::link(g + "/functions/hid.usb0", g + "/configs/c.1/hid.usb0");
    }

    // Strings can change only while the gadget is unbound; an empty one is left out.
    bool setStrings(const QByteArray &manufacturer, const QByteArray &product,
                    const QByteArray &serial)
    {
        return put("strings/0x409/manufacturer", manufacturer + "\n") &&
               put("strings/0x409/product", product + "\n") &&
               put("strings/0x409/serialnumber", serial + "\n");
    }

    bool plug() { return put("UDC", "dummy_udc.0"); }
    bool unplug()
    {
        closeDeviceSide();
        return put("UDC", "\n");
    }

    // The device side: reports written here reach the host as input reports.
    bool write(const QByteArray &report)
    {
        if (!openDeviceSide())
            return false;
        // One report at a time: the next can go once the host has taken the last.
        pollfd p = {m_fd, POLLOUT, 0};
        if (::poll(&p, 1, 5000) <= 0)
            return false;
        return ::write(m_fd, report.constData(), size_t(report.size())) == report.size();
    }
    // What the host sent, waiting up to timeoutMs.
    QByteArray read(int timeoutMs)
    {
        if (!openDeviceSide())
            return QByteArray();
        pollfd p = {m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return QByteArray();
        QByteArray buffer(64, '\0');
        const ssize_t n = ::read(m_fd, buffer.data(), size_t(buffer.size()));
        return n > 0 ? buffer.left(int(n)) : QByteArray();
    }

    ~UsbGadget() { closeDeviceSide(); }

private:
    bool put(const char *name, const QByteArray &value)
    {
        QFile f(QString::fromLatin1(kRoot) + u'/' + QLatin1String(name));
        return f.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
               f.write(value) == value.size();
    }
    bool openDeviceSide()
    {
        if (m_fd < 0)
            m_fd = ::open("/dev/hidg0", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        return m_fd >= 0;
    }
    void closeDeviceSide()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    int m_fd = -1;
};
