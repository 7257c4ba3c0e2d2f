#pragma once

#include <QtGlobal>

// One tick of the link watchdog, every 100 ms. The decoder sets LinkWatchTicks to 0 at each
// frame, so the counter reaches 2 only after three ticks without a frame: then the link
// indicator goes dark, and on the USB link a cable that has delivered 1900 or more reports in a
// row without a serial byte (the meter is off or not sending) ends the link.
struct LinkWatchdog
{
    static constexpr qint32 kSilentReports = 1900;

    struct Tick
    {
        bool darken = false;     // hide the linked picture, show the no-link one
        bool endUsbLink = false; // the cable delivers only empty reports
    };

    static Tick ConTimerTick(qint32 &LinkWatchTicks, qint32 &UsbIdleReports)
    {
        Tick t;
        if (LinkWatchTicks != 2) {
            ++LinkWatchTicks;
            return t;
        }
        if (UsbIdleReports >= kSilentReports) {
            UsbIdleReports = 0;
            t.endUsbLink = true;
        }
        t.darken = true;
        LinkWatchTicks = 0;
        return t;
    }
};
