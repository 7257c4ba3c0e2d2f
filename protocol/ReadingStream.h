#pragma once

#include "CountRange.h"
#include "DecodedFrame.h"
#include "HidFrameAssembler.h"
#include "SerialFrameAssembler.h"

#include <QByteArrayView>

#include <functional>
#include <optional>

namespace protocol {

// One frame out of the stream: as it was cut and, for the routines that decode, what it says.
struct StreamFrame
{
    CompletedFrame frame;
    // Set when the frame was handed to the decoder; it may still have failed (see ok()).
    std::optional<DecodedFrame> decoded;
    // The range in force when the frame arrived (its overload value and the running extremes
    // are measured against it); the frame's own range is decoded->countRange.
    CountRange rangeBefore;
};

// The one path from the meter's bytes to its readings, for the window and the logger alike: cuts
// serial bytes or USB input reports into frames with the routine in force, decodes those the
// routine decodes, and keeps the count range that the last good frame set. Plain state, no I/O.
//
// Serial frames are handed to `onFrame` one at a time, in order, each decoded just before: while
// the handler runs, countRange() is the range of the frame in hand, and the next frame of the same
// batch is measured against it. A USB report completes at most one frame, which comes back with
// what else the report shows.
class ReadingStream
{
public:
    using FrameHandler = std::function<void(const StreamFrame &)>;

    ReadingStream() = default;

    // The routines of the model profile; setting one starts its assembly afresh.
    void setSerialRoutine(SerialRoutine routine);
    void setHidRoutine(HidRoutine routine);
    HidRoutine hidRoutine() const { return m_hid.routine(); }
    // Forgets the bytes of a frame under way, as after the port was opened again.
    void restart();

    const CountRange &countRange() const { return m_range; }
    void setCountRange(const CountRange &range) { m_range = range; }

    // A batch of bytes from the serial port.
    void receiveBytes(QByteArrayView bytes, const FrameHandler &onFrame);

    // What a USB input report shows: the diagnostic line of a report that carried serial bytes,
    // and at the end of a burst its caption and its frame.
    struct ReportView
    {
        QString historyLine;
        std::optional<QString> usbText;
        std::optional<StreamFrame> frame;
    };
    // One input report from the cable: its identifier and the bytes after it.
    ReportView receiveReport(quint8 reportId, QByteArrayView data);
    // Reports since the last one that carried serial bytes (see HidFrameAssembler).
    qint32 usbIdleReports() const { return m_hid.usbIdleReports(); }
    void resetUsbIdleReports() { m_hid.resetUsbIdleReports(); }

    const SerialFrameAssembler &serialAssembler() const { return m_serial; }

private:
    StreamFrame decode(const CompletedFrame &frame);

    SerialFrameAssembler m_serial;
    HidFrameAssembler m_hid;
    CountRange m_range;
};

} // namespace protocol
