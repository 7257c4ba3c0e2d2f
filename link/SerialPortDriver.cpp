#include "SerialPortDriver.h"

#include "ComPortNames.h"

#include <QFileInfo>
#include <QMetaMethod>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <utility>

TSerialPortDriver::TSerialPortDriver(QObject *parent)
    : MeterLink(parent), m_pollTimer(new QTimer(this)), m_receiveBuffer(m_comPortInBufSize)
{
    connect(m_pollTimer, &QTimer::timeout, this, &TSerialPortDriver::PollReceive);
}

TSerialPortDriver::~TSerialPortDriver()
{
    ClosePort();
}

bool TSerialPortDriver::OpenPort()
{
    if (IsOpen())
        return true;
    const QString device = m_devicePath.isEmpty() ? comPortDevice(static_cast<int>(m_comPort) + 1)
                                                  : m_devicePath;
    const serialos::OpenResult result = serialos::openExclusive(device);
    if (result.fd < 0) {
        m_errorString = result.error;
        m_errorNumber = result.errorNumber;
        return false;
    }
    m_portHandle = result.fd;
    m_deviceName = device;
    m_errorString.clear();
    m_errorNumber = 0;
    m_lossTold = false;
    ApplyLineSettings();
    restartPolling();
    return true;
}

void TSerialPortDriver::ClosePort()
{
    if (!IsOpen())
        return;
    m_pollTimer->stop();
    serialos::closePort(m_portHandle);
    m_portHandle = -1;
    m_deviceName.clear();
}

bool TSerialPortDriver::IsOpen() const
{
    return m_portHandle >= 0;
}

void TSerialPortDriver::ApplyLineSettings()
{
    if (!IsOpen())
        return;
    serialos::applyLineSettings(m_portHandle, lineSettings());
    // Bytes received under the old settings would be misread under the new ones.
    PurgeBuffers(true, true);
}

void TSerialPortDriver::PurgeBuffers(bool Input, bool Output)
{
    if (!IsOpen())
        return;
    serialos::purge(m_portHandle, Input, Output);
}

serialos::LineSettings TSerialPortDriver::lineSettings() const
{
    serialos::LineSettings s;
    s.baudRate = comPortBaudRateValue(m_comPortSpeed);
    s.dataBits = m_comPortDataBits;
    s.stopBits = m_comPortStopBits;
    s.parity = m_comPortParity;
    s.rtsCts = m_comPortHwHandshaking == TComPortHwHandshaking::hhRTSCTS;
    s.xonXoff = m_comPortSwHandshaking == TComPortSwHandshaking::shXONXOFF;
    s.dtr = m_enableDTROnOpen;
    return s;
}

void TSerialPortDriver::setComPort(TComPortNumber value)
{
    if (!IsOpen())
        m_comPort = value;
}

void TSerialPortDriver::setComPortSpeed(TComPortBaudRate value)
{
    m_comPortSpeed = value;
    ApplyLineSettings();
}

void TSerialPortDriver::setComPortDataBits(TComPortDataBits value)
{
    m_comPortDataBits = value;
    ApplyLineSettings();
}

void TSerialPortDriver::setComPortStopBits(TComPortStopBits value)
{
    m_comPortStopBits = value;
    ApplyLineSettings();
}

void TSerialPortDriver::setComPortParity(TComPortParity value)
{
    m_comPortParity = value;
    ApplyLineSettings();
}

void TSerialPortDriver::setComPortHwHandshaking(TComPortHwHandshaking value)
{
    m_comPortHwHandshaking = value;
    ApplyLineSettings();
}

void TSerialPortDriver::setComPortSwHandshaking(TComPortSwHandshaking value)
{
    m_comPortSwHandshaking = value;
    ApplyLineSettings();
}

void TSerialPortDriver::setComPortInBufSize(quint16 value)
{
    // An empty buffer would read nothing ever again while the input queue overflows unseen.
    if (IsOpen() || value == 0)
        return;
    m_comPortInBufSize = value;
    // A handler further up the stack may still be reading the old buffer; the outermost poll
    // replaces it once that handler has returned.
    if (m_deliveryDepth == 0)
        m_receiveBuffer.assign(m_comPortInBufSize, 0);
}

void TSerialPortDriver::setComPortPollingDelay(quint16 value)
{
    if (value == m_comPortPollingDelay)
        return;
    m_comPortPollingDelay = value;
    if (IsOpen())
        restartPolling();
}

void TSerialPortDriver::setEnableDTROnOpen(bool value)
{
    m_enableDTROnOpen = value;
}

void TSerialPortDriver::restartPolling()
{
    m_pollTimer->stop();
    m_pollTimer->start(std::max<int>(m_comPortPollingDelay, kMinPollingDelay));
}

void TSerialPortDriver::PollReceive()
{
    ++m_pollCount;
    if (!IsOpen())
        return;

    // Qt does not fire a timer again while its slot runs, but a handler that opens a modal box
    // and lets the user reconnect (or change the polling delay) restarts the timer, which then
    // polls inside the handler. Such a nested poll reads into a buffer of its own so the outer
    // handler's bytes stay as they were.
    std::vector<char> nestedBuffer;
    char *buffer = nullptr;
    if (m_deliveryDepth == 0) {
        if (m_receiveBuffer.size() != m_comPortInBufSize)
            m_receiveBuffer.assign(m_comPortInBufSize, 0);
        buffer = m_receiveBuffer.data();
    } else {
        nestedBuffer.resize(m_comPortInBufSize);
        buffer = nestedBuffer.data();
    }

    const qint64 received = serialos::readAvailable(m_portHandle, buffer, m_comPortInBufSize);
    if (received <= 0) {
        checkHangUp(received);
        return;
    }
    if (!isSignalConnected(QMetaMethod::fromSignal(&MeterLink::bytesArrived)))
        return;

    // A handler may disconnect itself, close the port, or destroy this driver (a window closed
    // from inside a modal box): nothing here is touched once it is gone.
    const QPointer<TSerialPortDriver> alive(this);
    struct DepthGuard
    {
        const QPointer<TSerialPortDriver> &driver;
        ~DepthGuard()
        {
            if (driver)
                --driver->m_deliveryDepth;
        }
    };
    ++m_deliveryDepth;
    const DepthGuard guard{alive};
    emit bytesArrived(QByteArrayView(buffer, received));
}

void TSerialPortDriver::checkHangUp(qint64 received)
{
    // A hung-up line reads as empty, so the read alone cannot tell it from a silent meter.
    if (m_lossTold || (received == 0 && !serialos::hungUp(m_portHandle)))
        return;
    m_lossTold = true;
    emit linkLost(QFileInfo::exists(m_deviceName) ? QStringLiteral("the line hung up")
                                                  : QStringLiteral("the device is gone"));
}
