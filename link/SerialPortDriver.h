#pragma once

#include "ComPortTypes.h"
#include "MeterLink.h"
#include "SerialOs.h"

#include <QString>

#include <vector>

class QTimer;

// Receive-only serial port driver. While the port is open a timer on the owning (GUI) thread
// polls it every ComPortPollingDelay ms; each poll reads what is waiting, at most
// ComPortInBufSize bytes, and hands it to bytesArrived (at least one byte; the bytes belong to
// the driver and are overwritten by a later poll, so a handler copies what it keeps). A poll never
// blocks and never loops on a dead port: a failed read delivers nothing and polling goes on until
// ClosePort. A line that hangs up (the far side gone) is told once by linkLost.
// While a handler runs, its poll timer does not fire again, so a handler that shows a modal box
// pauses reception; what arrives meanwhile waits in the system's input queue (4 KiB).
class TSerialPortDriver : public MeterLink
{
    Q_OBJECT

public:
    explicit TSerialPortDriver(QObject *parent = nullptr);
    ~TSerialPortDriver() override;

    // Opens the device of ComPort (see comPortDevice), or the device path if one is set,
    // exclusively, applies the line settings
    // and starts polling. True if the port is open afterwards, also when it already was; an
    // already open port is left exactly as it is.
    bool OpenPort();
    void ClosePort();
    bool IsOpen() const;
    // Applies the line settings to the open port and discards pending input and output.
    void ApplyLineSettings();
    void PurgeBuffers(bool Input, bool Output);

    // Ignored while the port is open: the open port stays and the number is not remembered.
    TComPortNumber comPort() const { return m_comPort; }
    void setComPort(TComPortNumber value);
    // A device to open by its path instead of ComPort's (empty: ComPort's, the default).
    QString devicePath() const { return m_devicePath; }
    void setDevicePath(const QString &path) { m_devicePath = path; }

    // The line settings take effect at once on an open port (which discards pending input).
    TComPortBaudRate comPortSpeed() const { return m_comPortSpeed; }
    void setComPortSpeed(TComPortBaudRate value);
    TComPortDataBits comPortDataBits() const { return m_comPortDataBits; }
    void setComPortDataBits(TComPortDataBits value);
    TComPortStopBits comPortStopBits() const { return m_comPortStopBits; }
    void setComPortStopBits(TComPortStopBits value);
    TComPortParity comPortParity() const { return m_comPortParity; }
    void setComPortParity(TComPortParity value);
    TComPortHwHandshaking comPortHwHandshaking() const { return m_comPortHwHandshaking; }
    void setComPortHwHandshaking(TComPortHwHandshaking value);
    TComPortSwHandshaking comPortSwHandshaking() const { return m_comPortSwHandshaking; }
    void setComPortSwHandshaking(TComPortSwHandshaking value);

    // Most bytes one poll delivers. Changed only while the port is closed; 0 is refused.
    quint16 comPortInBufSize() const { return m_comPortInBufSize; }
    void setComPortInBufSize(quint16 value);

    // Poll interval in ms; an open port restarts its timer with the new interval. Values below
    // kMinPollingDelay are stored but polled at that minimum.
    quint16 comPortPollingDelay() const { return m_comPortPollingDelay; }
    void setComPortPollingDelay(quint16 value);

    // Takes effect at the next ApplyLineSettings (or OpenPort).
    bool enableDTROnOpen() const { return m_enableDTROnOpen; }
    void setEnableDTROnOpen(bool value);

    // The link as the window and the logger use it: OpenPort, ClosePort, IsOpen.
    bool open() override { return OpenPort(); }
    void close() override { ClosePort(); }
    bool isOpen() const override { return IsOpen(); }

    // The line as ApplyLineSettings sets it, from the properties above.
    serialos::LineSettings lineSettings() const;
    // Device of the open port; empty while closed.
    QString deviceName() const override { return m_deviceName; }
    // Why the last OpenPort failed; empty after a successful one. The driver never shows it.
    QString errorString() const override { return m_errorString; }
    // The same as an errno value (EACCES, EBUSY, ENOENT, ...); 0 after a successful open.
    int errorNumber() const { return m_errorNumber; }
    // Poll timer ticks since construction, for diagnostics and tests.
    quint64 pollCount() const { return m_pollCount; }

    // A zero interval would make the timer fire on every pass of the event loop.
    static constexpr int kMinPollingDelay = 10;

private:
    void PollReceive();
    void restartPolling();
    // After a poll that read nothing: tells a line that hung up, once per open.
    void checkHangUp(qint64 received);

    TComPortNumber m_comPort = TComPortNumber::pnCOM1;
    TComPortBaudRate m_comPortSpeed = TComPortBaudRate::br9600;
    TComPortDataBits m_comPortDataBits = TComPortDataBits::db8BITS;
    TComPortStopBits m_comPortStopBits = TComPortStopBits::sb1BITS;
    TComPortParity m_comPortParity = TComPortParity::ptNONE;
    TComPortHwHandshaking m_comPortHwHandshaking = TComPortHwHandshaking::hhNONE;
    TComPortSwHandshaking m_comPortSwHandshaking = TComPortSwHandshaking::shNONE;
    quint16 m_comPortInBufSize = 2048;
    quint16 m_comPortPollingDelay = 50;
    bool m_enableDTROnOpen = true;

    int m_portHandle = -1;
    QString m_deviceName;
    QString m_devicePath;
    QString m_errorString;
    int m_errorNumber = 0;
    bool m_lossTold = false; // linkLost said for this open
    QTimer *m_pollTimer = nullptr;
    std::vector<char> m_receiveBuffer;
    // Handlers still running further up the stack (see PollReceive).
    int m_deliveryDepth = 0;
    quint64 m_pollCount = 0;
};
