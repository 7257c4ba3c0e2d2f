#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

// A HID device made in the running kernel through /dev/uhid (root and the uhid module needed),
// as the cable simulator and the real-kernel tests use it. It answers feature reports that are
// set (keeping each one) and read (with the last one set). A service thread answers the kernel,
// because a feature request blocks its sender until the device replies.
class UhidDevice
{
public:
    // What the kernel is told the device is.
    struct Identity
    {
        QString name;
        QString uniq; // the serial number a uhid device can carry
        quint16 vendor = 0x1A2B;
        quint16 product = 0x80C3;
        quint16 version = 0x0100;
        // Vendor page, an 8-byte input report and a 9-byte feature report, no report identifiers:
        // the cable's layout.
        QByteArray descriptor =
            QByteArray::fromHex("0600ff0901a101150026ff00750895080902810295090903b102c0");
    };

    UhidDevice();
    ~UhidDevice();
    UhidDevice(const UhidDevice &) = delete;
    UhidDevice &operator=(const UhidDevice &) = delete;

    // False with the reason in *error when /dev/uhid cannot be used.
    bool create(const Identity &identity, QString *error);
    // Sends one input report (without identifier when the descriptor has none).
    bool input(const QByteArray &report);
    // Removes the device, as unplugging it would.
    void destroy();
    bool created() const;

    // Feature reports set on the device so far, each with its report-number byte in front.
    QList<QByteArray> featureReports() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
