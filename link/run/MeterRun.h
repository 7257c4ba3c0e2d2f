#pragma once

#include "link/MeterLink.h"
#include "log/LogRules.h"
#include "log/ReadingRecorder.h"
#include "log/RecordOutput.h"
#include "protocol/ReadingStream.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <vector>

// One run of the meter, the same for the window and the logger: the link read, the stream that
// cuts its bytes or reports into frames and decodes them, the link's state (waiting, live,
// silent, lost, closed by the user), and two stages of outputs:
//   - every decoded reading (the live page and its metrics), numbered from 1 for the run;
//   - the readings the log's rules took (the window's log table and journal; the logger's files,
//     table and broker), through the owner's ReadingRecorder, which offers them itself because
//     the rules' settings are the owner's (the window's check boxes, the logger's options).
// Outputs of both stages hear link changes and garbled frames through RecordOutput; the owners
// only say what they alone know (they opened or closed the link, a watchdog of theirs found the
// meter silent) and decide what a loss means (the window waits and reopens, the logger may end).
//
// Everything runs on the owner's thread, inside the link's signals.
class MeterRun : public QObject
{
    Q_OBJECT
public:
    using Clock = ReadingRecorder::Clock;

    explicit MeterRun(Clock clock = {}, QObject *parent = nullptr);
    ~MeterRun() override;

    protocol::ReadingStream &stream() { return m_stream; }
    const protocol::ReadingStream &stream() const { return m_stream; }

    // The link read, not owned; null for none. Its bytes, reports and loss come to the run from
    // now on (a link set before stops coming).
    void setLink(MeterLink *link);
    MeterLink *link() const { return m_link; }

    // Every decoded reading goes to `output`, which is not owned; it hears the link's state at
    // once.
    void addReadingOutput(RecordOutput *output);
    // The log's recorder (not owned): its outputs hear the link, and the outputs of every
    // reading hear of each record it makes.
    void setLogRecorder(ReadingRecorder *recorder);

    // Each frame cut from the link, decoded or not, after the outputs of every reading had it:
    // the window shows it, the logger offers it to the log. The frame's time is
    // state().lastFrameMs, read once for all.
    using FrameHandler = std::function<void(const protocol::StreamFrame &frame)>;
    void setFrameHandler(FrameHandler handler) { m_onFrame = std::move(handler); }
    // What a USB input report shows besides its frame (the window's history and caption).
    using ReportHandler = std::function<void(const protocol::ReadingStream::ReportView &view)>;
    void setReportHandler(ReportHandler handler) { m_onReport = std::move(handler); }

    // The owner opened the link: `port` as the user knows it, `name` its short form ("com1").
    // The stream starts afresh; the state is waiting until a frame comes.
    void opened(const QString &port, const QString &name);
    // The owner opened the link again after a loss: the stream starts afresh, and the link stays
    // lost until a frame comes.
    void reopenedAfterLoss();
    // The user closed the link: no loss.
    void closedByUser();
    // The link is gone (the link's own linkLost comes here too); `reason` in a few words.
    void lost(const QString &reason);
    // No frame came for a while; `countsAsLoss` when the owner counts that as a link loss.
    void silent(bool countsAsLoss = false);

    const LinkState &state() const { return m_state; }
    // Decoded readings of this run, and the newest one's number (0 before the first).
    qint64 readings() const { return m_readings; }

    // After the link said it was lost (a serial port whose device went away), closes it and
    // tries to open it once a second until it opens, then tells reopened(). Off by default: the
    // logger keeps its own policy. A loss the owner tells (lost()) is the owner's to handle.
    void setReopenAfterLoss(bool on) { m_reopen = on; }
    bool reopening() const { return m_reopenTimer.isActive(); }
    // Stops trying to reopen.
    void stopReopening() { m_reopenTimer.stop(); }

    static constexpr int kReopenMs = 1000;

signals:
    // Serial bytes came: from the port, or in a report of the cable (which also sends empty
    // reports on its own). The meter is there.
    void bytesCame();
    // The link said it was lost, after the outputs heard it; `reason` in a few words.
    void linkLost(const QString &reason);
    // The link lost earlier was opened again by the run.
    void reopened();

public:
    // What the link delivers, as it delivers it: serial bytes, and an input report of the
    // cable (its identifier and the bytes after it). A benchmark feeds them without a link.
    void receiveBytes(QByteArrayView bytes);
    void receiveReport(quint8 reportId, QByteArrayView data);

private:
    void takeFrame(const protocol::StreamFrame &frame);
    void change(LinkState::Kind kind);
    void tell();
    void tryReopen();

    Clock m_clock;
    protocol::ReadingStream m_stream;
    QPointer<MeterLink> m_link;
    QMetaObject::Connection m_bytes, m_reports, m_loss;
    LinkState m_state;
    bool m_firstFrame = true; // the first frame since the link opened (its tail, usually)

    // Every reading: no limit (a limit of L takes L + 1, so the largest one never stops), no
    // interval, repeats kept.
    LogRules m_everyRule;
    LogSettings m_everySetting;
    ReadingRecorder m_every;
    qint64 m_readings = 0;
    ReadingRecorder *m_log = nullptr;

    FrameHandler m_onFrame;
    ReportHandler m_onReport;
    bool m_reopen = false;
    QTimer m_reopenTimer;
};
