#include "HidFrameAssembler.h"

#include "FrameHex.h"

#include <algorithm>
#include <limits>

namespace protocol {

namespace {

// Every second character of text from position 2 (counted from 1), up to position last.
QString evenPositions(const QString &text, qsizetype last)
{
    QString picked;
    for (qsizetype i = 1; i < last && i < text.size(); i += 2)
        picked.append(text.at(i));
    return picked;
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
            const qsizetype held = m_hidFrameAccumulator.size() / 2;
            const qsizetype take =
                std::min({qsizetype(count), data.size() - 1, kMaxBurstBytes - held});
            if (take > 0)
                m_hidFrameAccumulator.append(FrameHex::fromBytes(data.sliced(1, take)));
            outcome.historyLine = diagnosticLine(reportId, data);
            return outcome;
        }
    }

    if (m_hidDataSeen) {
        endOfBurst(outcome);
        m_hidFrameAccumulator.clear();
    }
    m_hidDataSeen = false;
    return outcome;
}

void HidFrameAssembler::endOfBurst(HidReportOutcome &outcome) const
{
    const QString &burst = m_hidFrameAccumulator;
    switch (m_routine) {
    case HidRoutine::HidReadingFrameData:
        // The label shows the burst from its second character on, fourteen pairs of digits.
        outcome.usbText = burst.mid(1, 28);
        outcome.frame = CompletedFrame{burst, FrameHex::passesFramingTest(burst)};
        return;
    case HidRoutine::HidIndexedFrameData:
        outcome.frame = CompletedFrame{evenPositions(burst, 28), false};
        break;
    case HidRoutine::HidRotatedNibbleData: {
        const QString low = evenPositions(burst, 22);
        outcome.frame = CompletedFrame{low.mid(10, 1) + low.left(10), false};
        break;
    }
    }
    outcome.usbText = outcome.frame->frameHex;
}

} // namespace protocol
