// Frame assembly and decoding over arbitrary bytes. The first input byte chooses how the rest is
// cut into serial batches; the same bytes are then read as a sequence of HID reports (a length
// byte, then that many data bytes) for each report routine. Every completed frame is decoded.
// Checks beyond "no crash": the accumulators stay bounded, only frames that pass the framing
// test are decoded, and a failed decode names a known step and carries its message.

#include "protocol/DecodedFrame.h"
#include "protocol/HidFrameAssembler.h"
#include "protocol/ReadingStream.h"
#include "protocol/SerialFrameAssembler.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace protocol;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void checkDecoded(const DecodedFrame &decoded)
{
    if (decoded.ok()) {
        require(decoded.countRange == CountRange::forUnit(decoded.reading.UnitText));
        require(decoded.barPosition >= 1);
    } else {
        require(decoded.failedStep == DecodedFrame::Failure::PointCode ||
                decoded.failedStep == DecodedFrame::Failure::Value);
        require(decoded.error.endsWith(QLatin1String("' is not a valid integer value")));
    }
    MeterReading shared;
    decoded.applyTo(shared);
}

// Decodes like the window does, carrying the count range from frame to frame.
void decode(const CompletedFrame &frame, qint32 *countFull)
{
    const bool framed = passesFramingTest(frame.bytes);
    require(!frame.decode || framed);
    const std::optional<DecodedFrame> decoded = DecodedFrame::decode(frame.bytes, *countFull);
    require(decoded.has_value() == framed);
    if (!decoded)
        return;
    checkDecoded(*decoded);
    if (decoded->ok())
        *countFull = decoded->countRange.CountFull;
}

// The stream the window and the logger read: every frame it hands on was decoded against the
// range the frame before it left in force.
void streamed(const StreamFrame &frame, CountRange *expectedBefore)
{
    require(frame.rangeBefore == *expectedBefore);
    require(frame.decoded.has_value() == frame.frame.decode);
    if (!frame.decoded)
        return;
    checkDecoded(*frame.decoded);
    if (frame.decoded->ok())
        *expectedBefore = frame.decoded->countRange;
}

void serial(QByteArrayView stream, quint8 splitSeed)
{
    ReadingStream com;
    CountRange range = CountRange();
    com.setCountRange(range);
    SerialFrameAssembler indexed(SerialRoutine::IndexedFrameData);
    qint32 countFull = 6000;
    quint32 rng = splitSeed * 2654435761u + 1;
    const qsizetype longest = 1 + splitSeed % 40;
    for (qsizetype pos = 0; pos < stream.size();) {
        rng = rng * 1103515245u + 12345u;
        const qsizetype length = std::min<qsizetype>(1 + (rng >> 16) % longest, stream.size() - pos);
        const QByteArrayView batch = stream.sliced(pos, length);
        pos += length;
        com.receiveBytes(batch, [&](const StreamFrame &frame) {
            streamed(frame, &range);
            require(com.countRange() == range);
        });
        for (const CompletedFrame &frame : indexed.receive(batch)) {
            require(!frame.decode);
            decode(frame, &countFull);
        }
        require(com.serialAssembler().accumulatedBytes() <=
                SerialFrameAssembler::kMaxAccumulatedBytes);
        require(indexed.accumulatedBytes() <= SerialFrameAssembler::kMaxAccumulatedBytes);
    }
}

void hid(QByteArrayView stream, HidRoutine routine)
{
    HidFrameAssembler assembler(routine);
    qint32 countFull = 6000;
    for (qsizetype pos = 0; pos < stream.size();) {
        const auto lengthByte = static_cast<quint8>(stream.at(pos++));
        const qsizetype length = std::min<qsizetype>(lengthByte & 0x0F, stream.size() - pos);
        const QByteArrayView data = stream.sliced(pos, length);
        pos += length;
        const HidReportOutcome outcome = assembler.report(lengthByte, data);
        require(outcome.historyLine.isEmpty() || outcome.historyLine.size() == 6 + 3 * length);
        require(outcome.frame.has_value() == outcome.usbText.has_value());
        if (outcome.frame) {
            require(!outcome.frame->decode || routine == HidRoutine::HidReadingFrameData);
            decode(*outcome.frame, &countFull);
        }
        require(assembler.hidFrameAccumulator().size() <= 2 * HidFrameAssembler::kMaxBurstBytes);
        require(assembler.usbIdleReports() >= 0);
    }
}

// The decoder on its own, with the bytes made into a frame that passes the framing test, so that
// every digit, point code and status byte value reaches it.
void framed(QByteArrayView stream)
{
    QByteArray frame = stream.first(std::min<qsizetype>(13, stream.size())).toByteArray();
    frame.append(QByteArray(13 - frame.size(), '0'));
    frame[0] = (frame.at(0) & 1) ? '-' : '+';
    frame[12] = '\r';
    for (qint32 countFull : {100, 1000, 6000}) {
        const auto decoded = DecodedFrame::decode(frame, countFull);
        require(decoded.has_value());
        if (decoded->ok() && !decoded->overload)
            require(decoded->reading.NumericValue == float(decoded->chartValue));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArrayView stream(data + 1, static_cast<qsizetype>(size - 1));
    serial(stream, data[0]);
    hid(stream, HidRoutine::HidReadingFrameData);
    hid(stream, HidRoutine::HidIndexedFrameData);
    hid(stream, HidRoutine::HidRotatedNibbleData);
    framed(stream);
    return 0;
}
