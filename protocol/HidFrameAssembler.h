#pragma once

#include "CompletedFrame.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace protocol {

// The report routines that a model profile can install on the USB cable.
enum class HidRoutine
{
    HidReadingFrameData,  // decodes the frame of each burst that passes the framing test
    HidIndexedFrameData,  // assembles the low digits of the burst's first 14 bytes
    HidRotatedNibbleData, // assembles the low digits of the first 11 bytes, the last one first
};

// What the window does with one input report.
struct HidReportOutcome
{
    // Non-empty for a report that carries serial bytes: add it to the diagnostic list
    // HistoryListBox and make it the selected item.
    QString historyLine;
    // Set at the end of a burst: the new caption of the diagnostic label USBtxt.
    std::optional<QString> usbText;
    // Set at the end of a burst: the frame, and whether to decode it.
    std::optional<CompletedFrame> frame;
};

// Collects the serial bytes that the USB cable carries inside its input reports. Each report is
// a count byte, whose low four bits give how many serial bytes follow, then those bytes. The
// bytes of consecutive reports that carry some form a burst; the first report that carries none
// ends it, and the burst is the frame. Plain state, no I/O.
class HidFrameAssembler
{
public:
    // A burst is one frame of 14 bytes, starting with its sign byte, and only its start is ever
    // read. A cable that never sends an idle report would otherwise grow the burst without end,
    // so bytes beyond this many are dropped.
    static constexpr qsizetype kMaxBurstBytes = 64;

    explicit HidFrameAssembler(HidRoutine routine = HidRoutine::HidReadingFrameData)
        : m_routine(routine)
    {
    }

    HidRoutine routine() const { return m_routine; }

    // One input report: its identifier byte and the data bytes after it (the count byte first).
    HidReportOutcome report(quint8 reportId, QByteArrayView data);

    // Reports since the last one that carried serial bytes; reports without any data bytes do
    // not count. The link watchdog reads it (a silent meter shows as a long run) and resets it,
    // as does connecting through USB.
    qint32 usbIdleReports() const { return m_usbIdleReports; }
    void resetUsbIdleReports() { m_usbIdleReports = 0; }

    // A burst is under way: the previous report carried serial bytes.
    bool hidDataSeen() const { return m_hidDataSeen; }
    // Hex text (two digits per byte) of the current burst's serial bytes.
    QString hidFrameAccumulator() const;

    // The diagnostic line of a report: "R %.2x  " for the identifier, then "%.2x " per data byte.
    static QString diagnosticLine(quint8 reportId, QByteArrayView data);

private:
    void endOfBurst(HidReportOutcome &outcome) const;

    HidRoutine m_routine = HidRoutine::HidReadingFrameData;
    QByteArray m_burst; // the serial bytes of the current burst
    bool m_hidDataSeen = false;
    qint32 m_usbIdleReports = 0;
};

} // namespace protocol
