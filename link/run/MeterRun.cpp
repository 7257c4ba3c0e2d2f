#include "MeterRun.h"

#include "log/LogRecord.h"
#include "protocol/DecodedFrame.h"

#include <limits>

MeterRun::MeterRun(Clock clock, QObject *parent)
    : QObject(parent), m_clock(clock ? std::move(clock) : Clock(&ReadingRecorder::systemClock)),
      // The record of a reading is stamped with its frame's time: one reading of the clock a
      // frame, for the link's state, the record and the owner's display alike.
      m_every(m_everyRule, [this] { return m_state.lastFrameMs; })
{
    // Nothing is read yet: the run waits for its link.
    m_state.kind = LinkState::Kind::Waiting;
    m_everyRule.setLimit(std::numeric_limits<qint32>::max());
    m_everyRule.NextRecordNo = 1;
    m_everySetting.RepeatSet = true;
    m_everySetting.RecordSI = false;
    m_reopenTimer.setInterval(kReopenMs);
    connect(&m_reopenTimer, &QTimer::timeout, this, &MeterRun::tryReopen);
}

MeterRun::~MeterRun() = default;

void MeterRun::setLink(MeterLink *link)
{
    if (link == m_link)
        return;
    disconnect(m_bytes);
    disconnect(m_reports);
    disconnect(m_loss);
    m_reopenTimer.stop();
    m_link = link;
    if (!link)
        return;
    m_bytes = connect(link, &MeterLink::bytesArrived, this, &MeterRun::receiveBytes);
    m_reports = connect(link, &MeterLink::reportArrived, this, &MeterRun::receiveReport);
    m_loss = connect(link, &MeterLink::linkLost, this, [this](const QString &reason) {
        lost(reason);
        if (m_reopen && m_link) {
            // The dead port is let go, so that the device coming back is opened afresh.
            m_link->close();
            m_reopenTimer.start();
        }
        emit linkLost(reason);
    });
}

void MeterRun::addReadingOutput(RecordOutput *output)
{
    m_every.addOutput(output);
    output->linkChanged(m_state);
}

void MeterRun::setLogRecorder(ReadingRecorder *recorder)
{
    if (m_log)
        m_log->setRecordListener({});
    m_log = recorder;
    if (!m_log)
        return;
    m_log->setRecordListener([this](const LogRecord &record) {
        for (RecordOutput *output : m_every.outputs())
            output->logTook(record);
    });
    for (RecordOutput *output : m_log->outputs())
        output->linkChanged(m_state);
}

void MeterRun::tell()
{
    for (RecordOutput *output : m_every.outputs())
        output->linkChanged(m_state);
    if (m_log)
        for (RecordOutput *output : m_log->outputs())
            output->linkChanged(m_state);
}

void MeterRun::change(LinkState::Kind kind)
{
    if (m_state.kind == kind)
        return;
    m_state.kind = kind;
    if (kind != LinkState::Kind::Lost)
        m_state.reason.clear();
    if (kind != LinkState::Kind::Silent)
        m_state.countsAsLoss = false;
    tell();
}

void MeterRun::opened(const QString &port, const QString &name)
{
    reopenedAfterLoss();
    m_state.kind = LinkState::Kind::Waiting;
    m_state.port = port;
    m_state.name = name;
    m_state.reason.clear();
    m_state.countsAsLoss = false;
    tell(); // also when it was waiting already: the port may be another
}

void MeterRun::reopenedAfterLoss()
{
    m_reopenTimer.stop();
    m_stream.restart();
    m_firstFrame = true;
}

void MeterRun::closedByUser()
{
    m_reopenTimer.stop();
    if (m_state.kind == LinkState::Kind::Closed)
        return;
    m_state.port.clear();
    m_state.reason.clear();
    change(LinkState::Kind::Closed);
}

void MeterRun::lost(const QString &reason)
{
    if (m_state.kind == LinkState::Kind::Closed)
        return;
    if (m_state.kind == LinkState::Kind::Lost && m_state.reason == reason)
        return;
    m_state.reason = reason;
    m_state.kind = LinkState::Kind::Lost;
    tell();
}

void MeterRun::silent(bool countsAsLoss)
{
    // A lost link stays lost through the silence that follows: its reason says more.
    if (m_state.kind == LinkState::Kind::Lost || m_state.kind == LinkState::Kind::Closed)
        return;
    if (m_state.kind == LinkState::Kind::Silent && m_state.countsAsLoss >= countsAsLoss)
        return;
    m_state.countsAsLoss = countsAsLoss;
    m_state.kind = LinkState::Kind::Silent;
    tell();
}

void MeterRun::tryReopen()
{
    if (!m_link) {
        m_reopenTimer.stop();
        return;
    }
    if (!m_link->open())
        return;
    reopenedAfterLoss();
    emit reopened();
}

void MeterRun::receiveBytes(QByteArrayView bytes)
{
    emit bytesCame();
    m_stream.receiveBytes(bytes, [this](const protocol::StreamFrame &frame) { takeFrame(frame); });
}

void MeterRun::receiveReport(quint8 reportId, QByteArrayView data)
{
    const protocol::ReadingStream::ReportView view = m_stream.receiveReport(reportId, data);
    // The cable sends empty reports on its own: only serial bytes show that the meter is there.
    if (!view.historyLine.isEmpty())
        emit bytesCame();
    if (m_onReport)
        m_onReport(view);
    if (view.frame)
        takeFrame(*view.frame);
}

void MeterRun::takeFrame(const protocol::StreamFrame &frame)
{
    const bool first = m_firstFrame;
    m_firstFrame = false;
    m_state.lastFrameMs = m_clock();
    change(LinkState::Kind::Live);
    if (const std::optional<protocol::DecodedFrame> &f = frame.decoded; f && f->ok()) {
        ++m_readings;
        // A record is made only for someone to take it (the window without a page has none).
        if (!m_every.outputs().empty())
            m_every.offer(f->reading, m_everySetting,
                          logrecord::fullUnit(f->reading, f->has(protocol::Annunciator::Kilo),
                                              f->has(protocol::Annunciator::Mega)));
    } else if (frame.decoded && !first) {
        // The port is usually opened in the middle of a frame: its tail is no garbage.
        for (RecordOutput *output : m_every.outputs())
            output->frameRejected();
    }
    if (m_onFrame)
        m_onFrame(frame);
}
