#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>

// One connection to the meter, whatever carries it: the serial port (TSerialPortDriver) or the
// USB cable (UsbCableLink). The window and the logger open and close it and take what arrives
// from its signals; the settings of the line itself stay with the implementation.
//
// Everything is reported by signal, on the thread the link lives on, and never by a dialog: a
// handler may close the link, open it again or even destroy it.
class MeterLink : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Starts reading. False when the link cannot be opened: errorString() says why.
    virtual bool open() = 0;
    // Stops reading; safe from inside the handlers of the signals below.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // The device read: "/dev/ttyUSB0", "/dev/hidraw3".
    virtual QString deviceName() const = 0;
    // Why the last open() failed; empty after one that succeeded.
    virtual QString errorString() const = 0;

signals:
    // Serial bytes, as they came (the serial port). The bytes belong to the link and are
    // overwritten afterwards: a handler copies what it keeps.
    void bytesArrived(QByteArrayView bytes);
    // One input report (the USB cable): its identifier and the bytes after it, which the cable's
    // count byte starts. As for bytesArrived, the bytes are valid only during the call.
    void reportArrived(quint8 reportId, QByteArrayView data);
    // The link ended on its own side: the cable was unplugged, the serial line hung up. Said once
    // per open(), in a few words ("the cable was unplugged").
    void linkLost(const QString &reason);
};
