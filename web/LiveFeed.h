#pragma once

#include "log/LogRecord.h"
#include "log/RecordOutput.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

// How one output of the run is doing, as the status page lists it.
struct OutputHealth
{
    QString name;
    bool ok = true;
    QString detail;

    bool operator==(const OutputHealth &o) const
    {
        return name == o.name && ok == o.ok && detail == o.detail;
    }
};

// What the live page, its event stream and the metrics show: the recent readings, as the JSON
// lines of the one reading schema (logrecord::readingJson), in a bounded ring, and the state of
// the run (the meter's link, counts, the outputs' health).
//
// Threads: take() and the setters are called on the owner's thread (the recorder's); the HTTP
// server's workers read from theirs. take() costs the same whatever the number of readers: one
// JSON line made, a lock, a push (a thread of the feed's own tells the readers, see addBell()). A
// reader never holds the lock while it writes to a client.
class LiveFeed : public RecordOutput
{
public:
    static constexpr int kDefaultCapacity = 4096;

    enum class Link
    {
        Waiting, // no frame yet
        Live,
        Silent, // frames stopped (the silence watchdog)
        Lost,   // the device went away, or the run counts the silence as a loss
    };

    // Milliseconds since the epoch (UTC): the feed's start and the "no data since" time.
    using Clock = std::function<qint64()>;

    explicit LiveFeed(int capacity = kDefaultCapacity, Clock clock = {});
    ~LiveFeed() override;
    LiveFeed(const LiveFeed &) = delete;
    LiveFeed &operator=(const LiveFeed &) = delete;

    // RecordOutput: keeps the record's JSON line, the oldest one going when the ring is full.
    QString take(const LogRecord &record) override;
    // The run's link, garbled frames and the log's records, as the run tells them.
    void linkChanged(const LinkState &state) override;
    void frameRejected() override { framesRejected(1); }
    void logTook(const LogRecord &record) override;

    // The meter's name on the page and in the metrics; "" (the default) names it after this
    // machine and the link read ("vm-com1"), as the logger's MQTT does.
    void setMeterId(const QString &id);

    // The state, from the owner's thread (linkChanged() says most of it).
    void setSource(const QString &id, const QString &port);
    // A frame came in at `msUtc`: the link is live.
    void frameSeen(qint64 msUtc);
    // No frame since `lastFrameMsUtc`. `countsAsLoss`: the run counts this silence as a link
    // loss (the logger does, after its silence time). A lost link stays lost.
    void linkSilent(qint64 lastFrameMsUtc, bool countsAsLoss = false);
    // The link went away; counts a link loss.
    void linkLost(const QString &reason);
    // The link was opened; no frame yet.
    void linkWaiting();
    // The user closed the link: not counted as a loss.
    void linkClosed();
    static constexpr const char *kClosedReason = "the port was closed in the window";
    // Adds `n` garbled frames to the count.
    void framesRejected(qint64 n);
    void setOutputs(const QList<OutputHealth> &outputs);
    void setMqtt(bool on, qint64 spoolBytes, qint64 unacknowledged);

    // --- For readers, from any thread ---

    // A reader's place in the stream: the sequence number of the next reading it has not seen
    // (0 for the first reading ever taken), independent of the records' own numbers.
    struct Reading
    {
        qint32 no;
        QByteArray json;
    };
    struct Batch
    {
        std::vector<Reading> readings; // oldest first
        qint64 next = 0;               // the place after the last line
        bool fellBehind = false;       // readings after `from` left the ring before they were read
    };
    // The buffered readings from place `from` on, at most `most` of them.
    Batch readingsFrom(qint64 from, std::size_t most = std::size_t(-1)) const;
    // The place of the first buffered reading whose number is above `no`. A number above the
    // newest one taken belongs to another run (the program restarted): the whole buffer.
    qint64 placeAfterNumber(qint64 no) const;
    // The place of the oldest buffered reading, and after the newest.
    qint64 oldestPlace() const;
    qint64 endPlace() const;
    // Changes whenever the link state does: a status event is due.
    quint64 statusVersion() const;

    // A reader that waits for news (a reading taken, the status changed) hangs up a bell: a
    // function the feed calls, with no lock held, on the one thread of its own that rings the
    // bells (started with the first bell). A change of the status rings them at once; readings
    // within kWatchMs (LiveFeed.cpp), and the first after a quiet second at once: take() wakes
    // no thread while readings come, so its cost does not grow with the readers. A bell must be
    // quick and must not call into the feed (it writes to a descriptor the reader waits on).
    // Nothing is lost between a reader's look at the feed and its wait: hang the bell first,
    // then look. Nothing rings, and the ringer sleeps, while nothing changes.
    using Bell = std::function<void()>;
    int addBell(Bell bell);
    // Once it returns, the bell is not rung again.
    void removeBell(int id);
    // Rings every bell now, on the caller's thread (for the readers to see a stop flag).
    void ringAll() const;

    // /api/status as one line of JSON; `eventStreams`: the server's open event streams.
    QByteArray statusJson(int eventStreams) const;
    // /metrics in the Prometheus text format 0.0.4.
    QByteArray metricsText(int eventStreams) const;

    int capacity() const { return m_capacity; }

private:
    using Entry = Reading;

    void changeLink(Link link);
    QString meterName() const;
    // Called with m_mutex held, after a change: whether to wake the ringer (after unlocking).
    bool ringDue();
    void ringBells();

    const int m_capacity;
    Clock m_clock;
    const qint64 m_startMs;

    // The bells, under a lock of their own: ringing them never holds up take().
    mutable std::mutex m_bellMutex;
    std::map<int, Bell> m_bells;
    int m_nextBell = 0;
    std::thread m_ringer;

    mutable std::mutex m_mutex;
    std::condition_variable m_nudge; // for the ringer
    bool m_hasBells = false;         // under m_mutex, as the rest below
    bool m_ringDue = false;
    bool m_ringerAsleep = false; // waiting for a nudge, not looking for readings
    bool m_ending = false;
    std::deque<Entry> m_ring;
    qint64 m_taken = 0; // place after the newest
    quint64 m_statusVersion = 0;
    LogRecord m_last; // the newest taken, once m_taken > 0

    QString m_id;
    // The owner's thread only: the meter's name from setMeterId(), or made of this machine's
    // and the link's short name (see meterName()).
    QString m_fixedId;
    QString m_linkName;
    QString m_port;
    qint64 m_records = 0; // taken by the log's rules (logTook())
    Link m_link = Link::Waiting;
    qint64 m_lastFrameMs = LogRecord::kNoTime;
    QString m_lostReason;
    qint64 m_framesRejected = 0;
    qint64 m_linkLosses = 0;
    QList<OutputHealth> m_outputs;
    bool m_mqttOn = false;
    qint64 m_spoolBytes = 0;
    qint64 m_unacknowledged = 0;
};
