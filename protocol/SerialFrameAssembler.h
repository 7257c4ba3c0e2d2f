#pragma once

#include "CompletedFrame.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

namespace protocol {

// The serial receive routines that a model profile can bind to the port's receive event.
enum class SerialRoutine
{
    // Frames end at byte 0x0D; an accepted frame goes to the decoder.
    RECEIVE_COM_Data,
    // Each byte carries four data bits; the byte whose high four bits are 0xE ends the frame.
    // Such frames are only assembled, never decoded.
    IndexedFrameData,
};

// Cuts the batches of bytes read from the serial port into frames. Plain state, no I/O:
// the window's receive handler passes each batch and acts on the frames returned, in order.
class SerialFrameAssembler
{
public:
    // Without a frame end, garbage or a meter at the wrong speed would grow the accumulator
    // for ever. A frame is 14 bytes, so only the most recent bytes are worth keeping; an
    // accumulation that long can no longer pass the framing test anyway.
    static constexpr qsizetype kMaxAccumulatedBytes = 64;

    explicit SerialFrameAssembler(SerialRoutine routine = SerialRoutine::RECEIVE_COM_Data)
        : m_routine(routine)
    {
    }

    SerialRoutine routine() const { return m_routine; }

    // Processes one batch byte by byte and returns every frame completed in it, in arrival order.
    //
    // RECEIVE_COM_Data: at each 0x0D the frame is the accumulated bytes 2 to 14 (the first byte
    // is the tail of the previous frame, which the meter sends after its carriage return);
    // it is decoded when it passes the framing test. The accumulation starts afresh at every
    // 0x0D, accepted or not, so a frame is never delivered twice.
    //
    // IndexedFrameData: the frame is the low hex digit of every byte since the previous end,
    // including the ending byte, as text; decode is always false.
    QList<CompletedFrame> receive(QByteArrayView batch);

    // The accumulated text as the routine keeps it: two hex digits per byte for
    // RECEIVE_COM_Data, one per byte for IndexedFrameData.
    QString accumulator() const;
    // Bytes held since the last frame end (never more than kMaxAccumulatedBytes).
    qsizetype accumulatedBytes() const { return m_accumulator.size(); }

private:
    void append(char byte);

    SerialRoutine m_routine = SerialRoutine::RECEIVE_COM_Data;
    // Raw bytes for RECEIVE_COM_Data, hex digit characters for IndexedFrameData.
    QByteArray m_accumulator;
};

} // namespace protocol
