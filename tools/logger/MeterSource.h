#pragma once

#include "LoggerOptions.h"

#include "link/SerialPortDriver.h"
#include "link/hid/UsbCableLink.h"

#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>

class HidBackend;

// Where the logger's meter bytes come from: a serial port (by COM number or device path) or the
// USB cable. The logger runs the same rules over both; what differs is here.
class MeterSource
{
public:
    virtual ~MeterSource() = default;

    // Opens the source. Empty, or the message for the user (the reason and what to do).
    virtual QString open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Why the last open() failed, in a few words, for the "waiting for ..." line.
    virtual QString waitReason() const = 0;
    // "COM1 (/dev/ttyUSB0)", "the USB cable (/dev/hidraw3)", ...
    virtual QString label() const = 0;
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
    using BytesHandler = std::function<void(QByteArrayView)>;
    SerialSource(const LoggerOptions &options, int baud, BytesHandler bytes);

    QString open() override;
    void close() override { m_driver.ClosePort(); }
    bool isOpen() const override { return m_driver.IsOpen(); }
    QString waitReason() const override { return m_driver.errorString(); }
    QString label() const override;
    QString goneReason() const override;
    bool reopensWhenSilent() const override { return true; }

    TSerialPortDriver &driver() { return m_driver; }

private:
    LoggerOptions m_options;
    TSerialPortDriver m_driver;
};

// Input reports from the USB cable, through the same link as the window's.
class UsbSource : public MeterSource
{
public:
    // `changed` runs after every change of the device set.
    UsbSource(std::unique_ptr<HidBackend> backend, quint32 baud,
              UsbCableLink::ReportHandler reports, std::function<void()> changed);

    QString open() override;
    void close() override { m_link.close(); }
    bool isOpen() const override { return m_link.isOpen(); }
    QString waitReason() const override { return m_lastError; }
    QString label() const override;
    QString waitingFor() const override { return QStringLiteral("the USB cable"); }
    QString goneReason() const override;
    bool reopensWhenSilent() const override { return false; }

private:
    UsbCableLink m_link;
    QString m_lastError;
};
