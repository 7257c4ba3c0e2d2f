#include "mqtt/SpoolPump.h"

SpoolPump::SpoolPump(Report report) : m_report(std::move(report)) {}

QString SpoolPump::open(const QString &folder, qint64 maxBytes, const QString &id)
{
    m_maxMb = maxBytes / (1024 * 1024);
    const QString error = m_spool.open(folder, maxBytes);
    if (!error.isEmpty())
        return error;
    tellNotices();
    if (m_spool.pendingLines() > 0)
        m_report(QStringLiteral("%1 reading%2 left in the spool by an earlier run as %3 go out "
                                "first")
                     .arg(m_spool.pendingLines())
                     .arg(m_spool.pendingLines() == 1 ? "" : "s")
                     .arg(id));
    return {};
}

SpoolPump::Taken SpoolPump::take(const QByteArray &json, qint64 no)
{
    if (m_broken) {
        // The run ends: this reading is in no output.
        if (m_notKept++ == 0)
            m_firstNotKept = no;
        return Taken::NotKept;
    }
    switch (m_spool.append(json, no)) {
    case MqttSpool::Append::Spooled:
        if (m_down)
            writableAgain(no);
        if (m_full) {
            m_full = false;
            m_report(QStringLiteral("the MQTT spool takes readings again from no. %1; %2 "
                                    "reading%3 from no. %4 on were not published (the output "
                                    "file has them)")
                         .arg(no)
                         .arg(m_turnedAway)
                         .arg(m_turnedAway == 1 ? "" : "s")
                         .arg(m_firstTurnedAway));
            tellChange();
        }
        return Taken::Spooled;
    case MqttSpool::Append::Full:
        if (!m_full) {
            m_full = true;
            m_turnedAway = 0;
            m_firstTurnedAway = no;
            m_report(QStringLiteral("the MQTT spool is full (%1 MB, --mqtt-spool-max): from "
                                    "no. %2 on, readings are not published until the broker has "
                                    "taken the spooled ones; the output file still gets every "
                                    "reading")
                         .arg(m_maxMb)
                         .arg(no));
            tellChange();
        }
        ++m_turnedAway;
        return Taken::TurnedAway;
    case MqttSpool::Append::Failed:
        break;
    }
    if (!m_keptElsewhere) {
        m_notKept = 1;
        m_firstNotKept = no;
        fail();
        return Taken::NotKept;
    }
    unwritableFrom(m_spool.error(), no);
    ++m_unspooled;
    return Taken::Unspooled;
}

void SpoolPump::pump(const Send &send)
{
    while (m_inFlight.size() < size_t(kInFlight)) {
        QByteArray line;
        MqttSpool::Position end;
        const bool more = m_spool.next(&line, &end);
        tellNotices();
        if (!more) {
            if (!m_spool.error().isEmpty())
                fail();
            return;
        }
        int mid = 0;
        if (!send(line, &mid))
            return;
        m_inFlight.push_back({mid, end, false});
    }
}

bool SpoolPump::acknowledged(int mid)
{
    // The acknowledgements come in order; one that does not is marked and waits for the others.
    bool found = false;
    for (InFlight &f : m_inFlight)
        if (f.mid == mid) {
            f.acked = true;
            found = true;
            break;
        }
    qint64 done = 0;
    MqttSpool::Position end;
    while (!m_inFlight.empty() && m_inFlight.front().acked) {
        end = m_inFlight.front().end;
        m_inFlight.pop_front();
        ++done;
    }
    if (done > 0)
        m_spool.acknowledge(end, done);
    return found;
}

void SpoolPump::rewind()
{
    m_inFlight.clear();
    m_spool.rewind();
}

void SpoolPump::sync()
{
    if (m_broken || !m_spool.isOpen())
        return;
    const QString error = m_spool.sync();
    if (error.isEmpty())
        return;
    if (!m_keptElsewhere)
        fail();
    else
        unwritableFrom(error, -1);
}

void SpoolPump::unwritableFrom(const QString &reason, qint64 no)
{
    if (m_down)
        return;
    m_down = true;
    m_unspooled = 0;
    m_sentFromMemory = 0;
    m_firstUnspooled = no;
    m_report(QStringLiteral("the MQTT spool cannot be written: %1; %2, readings are published "
                            "straight from memory while the broker is connected, without the "
                            "spool's guarantee (one the broker does not take is lost to it), and "
                            "none while it is not; the other outputs still get every reading")
                 .arg(reason, no >= 0 ? QStringLiteral("from no. %1 on").arg(no)
                                      : QStringLiteral("from the next reading on")));
    tellChange();
}

void SpoolPump::writableAgain(qint64 no)
{
    // Back only once what is spooled can be put on the disk too.
    if (!m_spool.sync().isEmpty())
        return;
    m_down = false;
    m_report(QStringLiteral("the MQTT spool takes readings again from no. %1; %2")
                 .arg(no)
                 .arg(unspooledText()));
    tellChange();
}

QString SpoolPump::unspooledText() const
{
    if (m_unspooled == 0)
        return QStringLiteral("no reading was left out of it");
    return QStringLiteral("%1 reading%2 from no. %3 on were not spooled: %4 sent straight from "
                          "memory, %5 not published (the other outputs have them)")
        .arg(m_unspooled)
        .arg(m_unspooled == 1 ? "" : "s")
        .arg(m_firstUnspooled)
        .arg(m_sentFromMemory)
        .arg(m_unspooled - m_sentFromMemory);
}

void SpoolPump::tellNotices()
{
    for (const QString &notice : m_spool.takeNotices())
        m_report(notice);
}

void SpoolPump::tellChange()
{
    if (changed)
        changed();
}

void SpoolPump::fail()
{
    if (m_broken)
        return;
    m_broken = true;
    const QString why = QStringLiteral("cannot keep the MQTT spool: %1").arg(m_spool.error());
    m_report(why);
    // The readings would be lost: the run should end.
    if (broken)
        broken(why);
}

void SpoolPump::finish(const QString &id)
{
    if (m_notKept > 0)
        m_report(QStringLiteral("%1 reading%2 from no. %3 on %4 kept nowhere: the MQTT spool "
                                "was the only output")
                     .arg(m_notKept)
                     .arg(m_notKept == 1 ? "" : "s")
                     .arg(m_firstNotKept)
                     .arg(m_notKept == 1 ? "is" : "are"));
    if (m_down)
        m_report(QStringLiteral("the MQTT spool could not be written to the end of the run; %1")
                     .arg(unspooledText()));
    // A spool this run never had (another run holds it) is not this run's to report on.
    if (m_broken || !m_spool.isOpen())
        return;
    const QString error = m_spool.sync();
    if (!error.isEmpty()) {
        if (!m_down) // else said already
            m_report(QStringLiteral("cannot keep the MQTT spool: %1").arg(error));
    } else if (m_spool.pendingLines() > 0) {
        m_report(QStringLiteral("%1 reading%2 not yet acknowledged stay in %3; the next run with "
                                "--mqtt-id %4 publishes them first")
                     .arg(m_spool.pendingLines())
                     .arg(m_spool.pendingLines() == 1 ? "" : "s")
                     .arg(m_spool.folder(), id));
    }
}
