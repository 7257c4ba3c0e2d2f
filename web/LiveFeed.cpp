#include "LiveFeed.h"

#include "HttpOptions.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

#include <pthread.h>

namespace {

qint64 systemClock()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// A label value of the text format: backslash, double quote and line feed escaped.
QByteArray labelValue(const QString &text)
{
    QByteArray out;
    for (const char c : text.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

void family(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

// One sample of a family that is labelled by the meter alone.
void meterSample(QByteArray &out, const char *name, const char *type, const char *help,
                 const QByteArray &meterLabels, const QByteArray &value)
{
    family(out, name, type, help);
    out += name + meterLabels + ' ' + value + '\n';
}

// While readings come, the ringer looks for new ones this often, instead of being woken for each
// (see take()): well within the second a page has to show a reading in.
constexpr int kWatchMs = 50;
// Looks that found nothing, after which the ringer sleeps until a reading wakes it (a second).
constexpr int kQuietLooks = 1000 / kWatchMs;

} // namespace

LiveFeed::LiveFeed(int capacity, Clock clock)
    : m_capacity(std::max(capacity, 1)), m_clock(clock ? std::move(clock) : Clock(&systemClock)),
      m_startMs(m_clock())
{
}

LiveFeed::~LiveFeed()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_ending = true;
    }
    m_nudge.notify_one();
    if (m_ringer.joinable())
        m_ringer.join();
}

bool LiveFeed::ringDue()
{
    if (!m_hasBells || m_ringDue)
        return false;
    m_ringDue = true;
    return true;
}

int LiveFeed::addBell(Bell bell)
{
    const std::lock_guard<std::mutex> bells(m_bellMutex);
    const int id = m_nextBell++;
    m_bells.emplace(id, std::move(bell));
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_hasBells = true;
    }
    if (!m_ringer.joinable())
        m_ringer = std::thread([this] { ringBells(); });
    return id;
}

void LiveFeed::removeBell(int id)
{
    const std::lock_guard<std::mutex> bells(m_bellMutex);
    m_bells.erase(id);
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_hasBells = !m_bells.empty();
}

void LiveFeed::ringAll() const
{
    const std::lock_guard<std::mutex> bells(m_bellMutex);
    for (const auto &bell : m_bells)
        bell.second();
}

// The ringer's thread: one round of the bells for each look that finds news, however many
// readings it stands for. While readings come it looks every kWatchMs; after a quiet second, or
// with no bell to ring, it sleeps until nudged (by a reading, a change of the status, the end).
void LiveFeed::ringBells()
{
    pthread_setname_np(pthread_self(), "live-feed-bells");
    const auto nudged = [this] { return m_ringDue || m_ending; };
    std::unique_lock<std::mutex> lock(m_mutex);
    // A first round at once: a reading taken between the first bell and this thread's start
    // nudged no one.
    qint64 seen = -1;
    int quiet = 0;
    for (;;) {
        if (m_ending)
            return;
        if (m_ringDue || m_taken != seen) {
            // Cleared before the round: a change during it is found by the next look.
            m_ringDue = false;
            seen = m_taken;
            quiet = 0;
            lock.unlock();
            ringAll();
            lock.lock();
            continue;
        }
        if (!m_hasBells || ++quiet > kQuietLooks) {
            m_ringerAsleep = true;
            m_nudge.wait(lock, nudged);
            m_ringerAsleep = false;
            quiet = 0;
        } else {
            m_nudge.wait_for(lock, std::chrono::milliseconds(kWatchMs), nudged);
        }
    }
}

QString LiveFeed::take(const LogRecord &record)
{
    // The line is made before the lock: readers wait only for the push.
    Entry entry{record.no, logrecord::readingJson(record)};
    bool nudge = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ring.size() >= std::size_t(m_capacity))
            m_ring.pop_front();
        m_ring.push_back(std::move(entry));
        ++m_taken;
        m_last = record;
        nudge = m_ringerAsleep && ringDue();
    }
    // The readers are not woken from here: waking them costs the recording thread in proportion
    // to their number (each is a thread the system must schedule, measured at tens of
    // microseconds a reading with 32 streams, seven times the cost without). Nor is the ringer
    // that wakes them, while readings come: waking even that one thread for each reading more
    // than doubled the cost of a reading with one stream open (bench_http's ratio_1), so it looks
    // for them itself, and is nudged only by the first reading after a quiet second.
    if (nudge)
        m_nudge.notify_one();
    return {};
}

void LiveFeed::linkChanged(const LinkState &state)
{
    // The port read, or none once the user closed it; the meter keeps its name meanwhile.
    if (!state.port.isEmpty()) {
        m_linkName = state.name;
        setSource(meterName(), state.port);
    } else if (state.kind == LinkState::Kind::Closed) {
        setSource(meterName(), {});
    }
    switch (state.kind) {
    case LinkState::Kind::Waiting:
        linkWaiting();
        break;
    case LinkState::Kind::Live:
        frameSeen(state.lastFrameMs);
        break;
    case LinkState::Kind::Silent:
        linkSilent(state.lastFrameMs, state.countsAsLoss);
        break;
    case LinkState::Kind::Lost:
        linkLost(state.reason);
        break;
    case LinkState::Kind::Closed:
        linkClosed();
        break;
    }
}

void LiveFeed::setMeterId(const QString &id)
{
    m_fixedId = id;
    QString port;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        port = m_port;
    }
    setSource(meterName(), port);
}

QString LiveFeed::meterName() const
{
    if (!m_fixedId.isEmpty())
        return m_fixedId;
    return m_linkName.isEmpty() ? httpoptions::machineName()
                                : httpoptions::machineName() + u'-' + m_linkName;
}

void LiveFeed::logTook(const LogRecord &)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    ++m_records;
}

void LiveFeed::linkWaiting()
{
    bool nudge = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_lostReason.clear();
        changeLink(Link::Waiting);
        nudge = ringDue();
    }
    if (nudge)
        m_nudge.notify_one();
}

// Closed by the user: nothing more is coming, but nothing was lost.
void LiveFeed::linkClosed()
{
    bool nudge = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_lostReason != kClosedReason)
            ++m_statusVersion;
        m_lostReason = QString::fromLatin1(kClosedReason);
        changeLink(Link::Lost);
        nudge = ringDue();
    }
    if (nudge)
        m_nudge.notify_one();
}

void LiveFeed::changeLink(Link link)
{
    // Called with the lock held.
    if (m_link != link) {
        m_link = link;
        ++m_statusVersion;
    }
}

void LiveFeed::setSource(const QString &id, const QString &port)
{
    bool nudge = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_id == id && m_port == port)
            return;
        m_id = id;
        m_port = port;
        ++m_statusVersion;
        nudge = ringDue();
    }
    if (nudge)
        m_nudge.notify_one();
}

void LiveFeed::frameSeen(qint64 msUtc)
{
    bool changed = false;
    bool nudge = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_lastFrameMs = msUtc;
        changed = m_link != Link::Live;
        changeLink(Link::Live);
        nudge = changed && ringDue();
    }
    if (nudge)
        m_nudge.notify_one();
}

void LiveFeed::linkSilent(qint64 lastFrameMsUtc, bool countsAsLoss)
{
    bool nudge = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (lastFrameMsUtc != LogRecord::kNoTime)
            m_lastFrameMs = lastFrameMsUtc;
        // A link known to be lost stays so (its reason says more) until frames or the link
        // come again: the silence that follows a loss is no news.
        if (m_link == Link::Lost)
            return;
        if (countsAsLoss && m_link != Link::Silent)
            ++m_linkLosses;
        changeLink(Link::Silent);
        nudge = ringDue();
    }
    if (nudge)
        m_nudge.notify_one();
}

void LiveFeed::linkLost(const QString &reason)
{
    bool nudge = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_link != Link::Lost)
            ++m_linkLosses;
        if (m_lostReason != reason)
            ++m_statusVersion;
        m_lostReason = reason;
        changeLink(Link::Lost);
        nudge = ringDue();
    }
    if (nudge)
        m_nudge.notify_one();
}

void LiveFeed::framesRejected(qint64 n)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_framesRejected += n;
}

void LiveFeed::setOutputs(const QList<OutputHealth> &outputs)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_outputs = outputs;
}

void LiveFeed::setMqtt(bool on, qint64 spoolBytes, qint64 unacknowledged)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_mqttOn = on;
    m_spoolBytes = spoolBytes;
    m_unacknowledged = unacknowledged;
}

LiveFeed::Batch LiveFeed::readingsFrom(qint64 from, std::size_t most) const
{
    Batch batch;
    const std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 oldest = m_taken - qint64(m_ring.size());
    if (from < oldest) {
        batch.fellBehind = true;
        from = oldest;
    }
    from = std::min(from, m_taken);
    const std::size_t count = std::min<std::size_t>(std::size_t(m_taken - from), most);
    const auto first = m_ring.begin() + (from - oldest);
    batch.readings.assign(first, first + qint64(count));
    batch.next = from + qint64(count);
    return batch;
}

qint64 LiveFeed::placeAfterNumber(qint64 no) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 oldest = m_taken - qint64(m_ring.size());
    if (m_ring.empty() || no > m_ring.back().no)
        return oldest;
    // The numbers rise along the ring.
    const auto it = std::upper_bound(m_ring.begin(), m_ring.end(), no,
                                     [](qint64 n, const Entry &e) { return n < e.no; });
    return oldest + (it - m_ring.begin());
}

qint64 LiveFeed::oldestPlace() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_taken - qint64(m_ring.size());
}

qint64 LiveFeed::endPlace() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_taken;
}

quint64 LiveFeed::statusVersion() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_statusVersion;
}

QByteArray LiveFeed::statusJson(int eventStreams) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    static const char *const kLinks[] = {"waiting", "live", "silent", "lost"};
    QString linkText;
    switch (m_link) {
    case Link::Waiting:
        linkText = QStringLiteral("waiting for the meter");
        break;
    case Link::Live:
        linkText = QStringLiteral("live");
        break;
    case Link::Silent:
        linkText = m_lastFrameMs == LogRecord::kNoTime
                       ? QStringLiteral("no data")
                       : QStringLiteral("no data since %1")
                             .arg(logrecord::localTime(m_lastFrameMs)
                                      .time()
                                      .toString(QStringLiteral("HH:mm:ss")));
        break;
    case Link::Lost:
        linkText = m_lostReason.isEmpty() ? QStringLiteral("link lost")
                                          : QStringLiteral("link lost: %1").arg(m_lostReason);
        break;
    }
    QJsonArray outputs;
    for (const OutputHealth &o : m_outputs)
        outputs.append(QJsonObject{{QStringLiteral("name"), o.name},
                                   {QStringLiteral("ok"), o.ok},
                                   {QStringLiteral("detail"), o.detail}});
    QJsonObject status{
        {QStringLiteral("meter"), m_id},
        {QStringLiteral("port"), m_port},
        {QStringLiteral("run"), logrecord::isoStamp(m_startMs)},
        {QStringLiteral("link"), QString::fromLatin1(kLinks[int(m_link)])},
        {QStringLiteral("link_text"), linkText},
        {QStringLiteral("last_frame"), m_lastFrameMs == LogRecord::kNoTime
                                           ? QJsonValue(QJsonValue::Null)
                                           : QJsonValue(logrecord::isoStamp(m_lastFrameMs))},
        {QStringLiteral("readings"), double(m_taken)},
        {QStringLiteral("records"), double(m_records)},
        {QStringLiteral("last_no"),
         m_taken > 0 ? QJsonValue(m_last.no) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("frames_rejected"), double(m_framesRejected)},
        {QStringLiteral("link_losses"), double(m_linkLosses)},
        {QStringLiteral("event_streams"), eventStreams},
        {QStringLiteral("outputs"), outputs},
        {QStringLiteral("mqtt"),
         m_mqttOn ? QJsonValue(QJsonObject{{QStringLiteral("spool_bytes"), double(m_spoolBytes)},
                                           {QStringLiteral("unacknowledged"),
                                            double(m_unacknowledged)}})
                  : QJsonValue(QJsonValue::Null)},
    };
    return QJsonDocument(status).toJson(QJsonDocument::Compact);
}

QByteArray LiveFeed::metricsText(int eventStreams) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const QByteArray meter = "meter=\"" + labelValue(m_id) + '"';
    const QByteArray justMeter = '{' + meter + '}';
    QByteArray out;
    out.reserve(2048);

    QString base, unit, acdc;
    // 1 above the range, -1 below it, 0 for a reading with a number.
    QByteArray overload = "0";
    if (m_taken > 0) {
        const QString &shown = m_last.unit();
        base = logrecord::baseValue(m_last.reading.ValueText, shown);
        unit = logrecord::baseUnit(shown);
        acdc = m_last.reading.AcDcText.trimmed();
        if (base.isEmpty() && logrecord::isOverload(m_last.reading.ValueText))
            overload = logrecord::shownValue(m_last.reading).startsWith(u'-') ? "-1" : "1";
    }
    const QByteArray readingLabels =
        '{' + meter + ",unit=\"" + labelValue(unit) + "\",acdc=\"" + labelValue(acdc) + "\"}";
    family(out, "vorlatt_reading", "gauge",
           "The last reading in its base unit (absent while the meter shows an overload).");
    if (!base.isEmpty())
        out += "vorlatt_reading" + readingLabels + ' ' + base.toLatin1() + '\n';
    family(out, "vorlatt_reading_overload", "gauge",
           "1 while the last reading is an overload above the range, -1 while it is one below "
           "(the display shows \"- 0L.\"), 0 while it is a number.");
    if (m_taken > 0)
        out += "vorlatt_reading_overload" + readingLabels + ' ' + overload + '\n';
    family(out, "vorlatt_reading_timestamp_seconds", "gauge",
           "When the last reading was taken, in seconds since the epoch.");
    if (m_taken > 0 && m_last.hasTime())
        out += "vorlatt_reading_timestamp_seconds" + justMeter + ' ' +
               QByteArray::number(double(m_last.when) / 1000.0, 'f', 3) + '\n';
    meterSample(out, "vorlatt_readings_total", "counter",
                "Readings decoded from the meter's frames, whatever the log takes.", justMeter,
                QByteArray::number(m_taken));
    meterSample(out, "vorlatt_records_total", "counter",
                "Readings the log took by its rules (record limit, interval, repeats).", justMeter,
                QByteArray::number(m_records));
    meterSample(out, "vorlatt_frames_rejected_total", "counter",
                "Frames from the meter that were garbled and skipped.", justMeter,
                QByteArray::number(m_framesRejected));
    meterSample(out, "vorlatt_link_losses_total", "counter",
                "Times the link to the meter was lost (not counting a close by the user).",
                justMeter, QByteArray::number(m_linkLosses));
    meterSample(out, "vorlatt_link_up", "gauge", "1 while frames come from the meter.", justMeter,
                m_link == Link::Live ? "1" : "0");
    meterSample(out, "vorlatt_event_streams", "gauge", "Open event streams of the live page.",
                justMeter, QByteArray::number(eventStreams));
    if (m_mqttOn) {
        meterSample(out, "vorlatt_mqtt_spool_bytes", "gauge",
                    "Bytes of readings in the MQTT spool not yet acknowledged by the broker.",
                    justMeter, QByteArray::number(m_spoolBytes));
        meterSample(out, "vorlatt_mqtt_unacknowledged", "gauge",
                    "Readings not yet acknowledged by the MQTT broker.", justMeter,
                    QByteArray::number(m_unacknowledged));
    }
    return out;
}
