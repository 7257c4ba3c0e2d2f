#include "SerialFrameAssembler.h"

#include "FrameHex.h"

#include <algorithm>

namespace protocol {

namespace {

constexpr char kCarriageReturn = 0x0D;

char lowHexDigit(quint8 byte)
{
    return "0123456789ABCDEF"[byte & 0x0F];
}

} // namespace

void SerialFrameAssembler::append(char byte)
{
    if (m_accumulator.size() >= kMaxAccumulatedBytes)
        m_accumulator.remove(0, m_accumulator.size() - kMaxAccumulatedBytes + 1);
    m_accumulator.append(byte);
}

QList<CompletedFrame> SerialFrameAssembler::receive(QByteArrayView batch)
{
    QList<CompletedFrame> frames;
    for (const char c : batch) {
        const auto byte = static_cast<quint8>(c);
        if (m_routine == SerialRoutine::IndexedFrameData) {
            append(lowHexDigit(byte));
            if ((byte >> 4) == 0xE) {
                frames.append({m_accumulator, false});
                m_accumulator.clear();
            }
            continue;
        }

        append(c);
        if (c != kCarriageReturn)
            continue;
        // Bytes 2 to 14 of the accumulation; fewer when it is shorter.
        const QByteArray frame =
            m_accumulator.sliced(1, std::min<qsizetype>(13, m_accumulator.size() - 1));
        frames.append({frame, passesFramingTest(frame)});
        m_accumulator.clear();
    }
    return frames;
}

QString SerialFrameAssembler::accumulator() const
{
    if (m_routine == SerialRoutine::IndexedFrameData)
        return QString::fromLatin1(m_accumulator);
    return FrameHex::fromBytes(m_accumulator);
}

} // namespace protocol
