#include "ReadingStream.h"

namespace protocol {

void ReadingStream::setSerialRoutine(SerialRoutine routine)
{
    m_serial = SerialFrameAssembler(routine);
}

void ReadingStream::setHidRoutine(HidRoutine routine)
{
    m_hid = HidFrameAssembler(routine);
}

void ReadingStream::restart()
{
    m_serial = SerialFrameAssembler(m_serial.routine());
    m_hid = HidFrameAssembler(m_hid.routine());
}

StreamFrame ReadingStream::decode(const CompletedFrame &frame)
{
    StreamFrame out{frame, std::nullopt, m_range};
    if (frame.decode) {
        out.decoded = DecodedFrame::decode(frame.bytes, m_range.CountFull);
        if (out.decoded && out.decoded->ok())
            m_range = out.decoded->countRange;
    }
    return out;
}

void ReadingStream::receiveBytes(QByteArrayView bytes, const FrameHandler &onFrame)
{
    for (const CompletedFrame &frame : m_serial.receive(bytes)) {
        const StreamFrame out = decode(frame);
        if (onFrame)
            onFrame(out);
    }
}

ReadingStream::ReportView ReadingStream::receiveReport(quint8 reportId, QByteArrayView data)
{
    HidReportOutcome outcome = m_hid.report(reportId, data);
    ReportView view{std::move(outcome.historyLine), std::move(outcome.usbText), std::nullopt};
    if (outcome.frame)
        view.frame = decode(*outcome.frame);
    return view;
}

} // namespace protocol
