#include "HidFrameAssembler.h"

#include "FrameHex.h"

#include <algorithm>
#include <limits>

namespace protocol {

namespace {

// The low hex digit of each of the first `count` bytes, as text.
QByteArray lowDigits(QByteArrayView bytes, qsizetype count)
{
    QByteArray digits;
    for (qsizetype i = 0; i < count && i < bytes.size(); ++i)
        digits.append("0123456789ABCDEF"[static_cast<quint8>(bytes[i]) & 0x0F]);
    return digits;
}

} // namespace

QString HidFrameAssembler::diagnosticLine(quint8 reportId, QByteArrayView data)
{
    QString line = QStringLiteral("R ") + FrameHex::fromBytes(QByteArrayView(&reportId, 1)) +
                   QStringLiteral("  ");
    line.reserve(6 + 3 * data.size());
    const QString hex = FrameHex::fromBytes(data);
    for (qsizetype i = 0; i < hex.size(); i += 2) {
        line.append(QStringView(hex).mid(i, 2));
        line.append(u' ');
    }
    return line;
}

HidReportOutcome HidFrameAssembler::report(quint8 reportId, QByteArrayView data)
{
    HidReportOutcome outcome;
    // A report without a count byte is not counted as idle, but it still ends a burst.
    if (!data.isEmpty()) {
        if (m_usbIdleReports < std::numeric_limits<qint32>::max())
            ++m_usbIdleReports;
        const int count = static_cast<quint8>(data.front()) & 0x0F;
        if (count >= 1 && count <= 9) {
            m_usbIdleReports = 0;
            m_hidDataSeen = true;
            // Serial bytes that the report is short of add nothing; a burst longer than a
            // frame keeps its start, which holds the frame.
            const qsizetype held = m_burst.size();
            const qsizetype take =
                std::min({qsizetype(count), data.size() - 1, kMaxBurstBytes - held});
            if (take > 0)
                m_burst.append(data.sliced(1, take));
            outcome.historyLine = diagnosticLine(reportId, data);
            return outcome;
        }
    }

    if (m_hidDataSeen) {
        endOfBurst(outcome);
        m_burst.clear();
    }
    m_hidDataSeen = false;
    return outcome;
}

void HidFrameAssembler::endOfBurst(HidReportOutcome &outcome) const
{
    switch (m_routine) {
    case HidRoutine::HidReadingFrameData:
        // The label shows the burst in hex from its second digit on, fourteen pairs of digits.
        outcome.usbText = hidFrameAccumulator().mid(1, 28);
        outcome.frame = CompletedFrame{m_burst, passesFramingTest(m_burst)};
        return;
    case HidRoutine::HidIndexedFrameData:
        outcome.frame = CompletedFrame{lowDigits(m_burst, 14), false};
        break;
    case HidRoutine::HidRotatedNibbleData: {
        const QByteArray low = lowDigits(m_burst, 11);
        outcome.frame = CompletedFrame{low.mid(10, 1) + low.left(10), false};
        break;
    }
    }
    outcome.usbText = QString::fromLatin1(outcome.frame->bytes);
}

QString HidFrameAssembler::hidFrameAccumulator() const
{
    return FrameHex::fromBytes(m_burst);
}

} // namespace protocol
