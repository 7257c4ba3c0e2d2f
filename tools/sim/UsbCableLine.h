#pragma once

#include "link/hid/UhidDevice.h"

#include <QByteArray>

// The meter's USB cable, played as a HID device "USB to Serial" made through /dev/uhid: it
// answers the line-speed feature report and carries each frame in the cable's input reports.
// The kernel keeps what the reader has not taken yet, so nothing here waits for the reader.
class UsbCableLine
{
public:
    bool open();
    bool send(const QByteArray &frame);
    // Prints the line-speed reports the reader sent since the last call, as hex text.
    void reportFeatures();

private:
    UhidDevice m_device;
    qsizetype m_featuresSeen = 0;
};
