#include "MeterSource.h"

#include "link/ComPortNames.h"
#include "link/PortOpenFailure.h"
#include "link/hid/THidDeviceController.h"

#include <QFileInfo>

#include <cerrno>

namespace {

// The reason and the advice of an open failure. Through --com the window's message is used as
// it is; a device named with --port has no COM number, so its first line names the device.
QString openFailure(const LoggerOptions &o, const QString &device, const QString &reason,
                    int errorNumber)
{
    if (o.source == LoggerOptions::Source::Com)
        return portOpenFailureMessage(o.com, device, reason, errorNumber, PortRetry::RestartLogger);
    if (errorNumber == ENOENT || errorNumber == ENODEV || errorNumber == ENXIO)
        return QStringLiteral("%1 could not be opened.\n\n%2\n\nCheck that the meter's cable is "
                              "plugged in and the device name is right.")
            .arg(device, reason);
    const QString message =
        portOpenFailureMessage(1, device, reason, errorNumber, PortRetry::RestartLogger);
    return QStringLiteral("%1 could not be opened.").arg(device) +
           message.mid(message.indexOf(QStringLiteral("\n\n")));
}

TComPortBaudRate baudRate(int baud)
{
    return baud == 19200 ? TComPortBaudRate::br19200 : TComPortBaudRate::br2400;
}

} // namespace

SerialSource::SerialSource(const LoggerOptions &options, int baud) : m_options(options)
{
    if (options.source == LoggerOptions::Source::Com)
        m_driver.setComPort(static_cast<TComPortNumber>(options.com - 1));
    else
        m_driver.setDevicePath(options.device);
    m_driver.setComPortSpeed(baudRate(baud));
    // Read often and in large blocks, so that a fast line never waits on the poll.
    m_driver.setComPortPollingDelay(TSerialPortDriver::kMinPollingDelay);
    m_driver.setComPortInBufSize(32768);
}

QString SerialSource::open()
{
    if (m_driver.OpenPort())
        return QString();
    const QString device = m_options.source == LoggerOptions::Source::Com
                               ? comPortDevice(m_options.com)
                               : m_options.device;
    return openFailure(m_options, device, m_driver.errorString(), m_driver.errorNumber());
}

QString SerialSource::label() const
{
    if (m_options.source == LoggerOptions::Source::Com)
        return comPortLabel(m_options.com, comPortDevice(m_options.com));
    return m_options.device;
}

QString SerialSource::name() const
{
    return m_options.source == LoggerOptions::Source::Com
               ? QStringLiteral("com%1").arg(m_options.com)
               : m_options.device.section(u'/', -1);
}

QString SerialSource::goneReason() const
{
    const QString device = m_driver.deviceName();
    return !device.isEmpty() && !QFileInfo::exists(device) ? QStringLiteral("the device is gone")
                                                            : QString();
}

UsbSource::UsbSource(std::unique_ptr<HidBackend> backend, quint32 baud)
    : m_link(backend ? std::move(backend) : THidDeviceController::systemBackend(), baud)
{
}

QString UsbSource::open()
{
    return m_link.open() ? QString() : m_link.errorString();
}

QString UsbSource::label() const
{
    return m_link.deviceName().isEmpty()
               ? QStringLiteral("the USB cable")
               : QStringLiteral("the USB cable (%1)").arg(m_link.deviceName());
}

QString UsbSource::goneReason() const
{
    return m_link.isOpen() ? QString() : QStringLiteral("the cable was unplugged");
}
