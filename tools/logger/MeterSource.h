#pragma once

#include "LoggerOptions.h"

#include "link/SerialPortDriver.h"
#include "link/hid/UsbCableLink.h"

#include <QString>

#include <memory>

class HidBackend;

// Where the logger's meter bytes come from: a serial port (by COM number or device path) or the
// USB cable, each a MeterLink, whose signals the logger takes. The logger runs the same rules over
// both; what differs is here: how a source is named and reopened.
class MeterSource
{
public:
    virtual ~MeterSource() = default;

    virtual MeterLink &link() = 0;
    // Opens the source. Empty, or the message for the user (the reason and what to do).
    virtual QString open() = 0;
    void close() { link().close(); }
    bool isOpen() { return link().isOpen(); }
    // Why the last open() failed, in a few words, for the "waiting for ..." line.
    virtual QString waitReason() const = 0;
    // "COM1 (/dev/ttyUSB0)", "the USB cable (/dev/hidraw3)", ...
    virtual QString label() const = 0;
    // The short name for labels and topics: "com1", "ttyUSB0", "usb".
    virtual QString name() const = 0;
    // What the logger waits for while the source is gone.
    virtual QString waitingFor() const { return label(); }
    // Why a link that stopped delivering is lost: the device gone, or only silent (empty).
    virtual QString goneReason() const = 0;
    // A silent serial port is closed and opened again (a device may come back under the same
    // name); a cable still plugged in just goes on being read.
    virtual bool reopensWhenSilent() const = 0;
};

// Serial bytes from the termios driver.
class SerialSource : public MeterSource
{
public:
    SerialSource(const LoggerOptions &options, int baud);

    MeterLink &link() override { return m_driver; }
    QString open() override;
    QString waitReason() const override { return m_driver.errorString(); }
    QString label() const override;
    QString name() const override;
    QString goneReason() const override;
    bool reopensWhenSilent() const override { return true; }

    TSerialPortDriver &driver() { return m_driver; }

private:
    LoggerOptions m_options;
    TSerialPortDriver m_driver;
};

// Input reports from the USB cable, through the window's link class, UsbCableLink, standing
// alone: it finds the cable itself and notices it going.
class UsbSource : public MeterSource
{
public:
    UsbSource(std::unique_ptr<HidBackend> backend, quint32 baud);

    MeterLink &link() override { return m_link; }
    UsbCableLink &cable() { return m_link; }
    QString open() override;
    QString waitReason() const override { return m_link.errorString(); }
    QString label() const override;
    QString name() const override { return QStringLiteral("usb"); }
    QString waitingFor() const override { return QStringLiteral("the USB cable"); }
    QString goneReason() const override;
    bool reopensWhenSilent() const override { return false; }

private:
    UsbCableLink m_link;
};
