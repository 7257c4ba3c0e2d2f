#pragma once

#include "mqtt/MqttSpool.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <functional>

// The readings' way through the spool: each is appended first and leaves only when the broker has
// acknowledged it (PUBACK), in the order it was taken. Sends what waits while the window of
// unacknowledged readings has room, follows the acknowledgements (which the broker may give out
// of order) and moves the spool's acknowledged mark past those that are done; a dropped
// connection sends again from the first one not acknowledged.
//
// It also keeps the spool's health: full (--mqtt-spool-max), unwritable while another output
// keeps every reading, or broken when it was the only place a reading was kept. It says each of
// these on standard error (through `report`) and at the end what it left; a broken spool goes to
// `broken`, so the run can end; a change of full or unwritable goes to `changed`, so the status
// topic follows. No clock, no socket: what sends a reading is given to pump().
class SpoolPump
{
public:
    using Report = std::function<void(const QString &)>;
    // Sends one reading; returns false when it could not (the connection is being dropped),
    // else sets `mid` to the message's id, which its acknowledgement names.
    using Send = std::function<bool(const QByteArray &line, int *mid)>;

    // While this many readings wait for their acknowledgement, the next ones wait in the spool.
    static constexpr int kInFlight = 100;

    enum class Taken
    {
        Spooled,    // in the spool; goes out from there
        TurnedAway, // the spool is full: not published (another output has it)
        Unspooled,  // the spool cannot be written: send it from memory if connected
        NotKept,    // the spool failed and was its only place: lost (see notKept())
    };

    explicit SpoolPump(Report report);

    std::function<void(const QString &why)> broken;
    std::function<void()> changed;

    // Opens the spool in `folder` (see MqttSpool::open) and says what an earlier run of meter
    // `id` left in it. Returns "" or why not.
    QString open(const QString &folder, qint64 maxBytes, const QString &id);
    // Another output gets every reading too (see MqttPublisher::setKeptElsewhere).
    void setKeptElsewhere(bool kept) { m_keptElsewhere = kept; }

    // One reading, as published, with its number.
    Taken take(const QByteArray &json, qint64 no);
    // A reading take() gave back as Unspooled went out from memory.
    void sentFromMemory() { ++m_sentFromMemory; }

    // Sends from the spool until the window is full or nothing waits.
    void pump(const Send &send);
    // The broker acknowledged message `mid`. False when it is none of the readings sent.
    bool acknowledged(int mid);
    // The connection is gone: what was in flight goes again, from the first reading not
    // acknowledged.
    void rewind();
    // No reading waits for its acknowledgement.
    bool idle() const { return m_inFlight.empty(); }

    // Puts what is spooled and acknowledged on the disk (the output's flush, once a second); a
    // failure goes where a failure to append goes.
    void sync();
    // The end of the run: says what was kept nowhere, what the spool missed, and what stays
    // for the next run of meter `id`, after a last sync.
    void finish(const QString &id);

    bool full() const { return m_full; }
    bool unwritable() const { return m_down; }
    bool isBroken() const { return m_broken; }
    // Readings waiting in a spool this run holds.
    bool waiting() const { return !m_broken && m_spool.isOpen() && m_spool.pendingLines() > 0; }
    qint64 notKept() const { return m_notKept; }
    qint64 pendingBytes() const { return m_spool.pendingBytes(); }
    qint64 pendingLines() const { return m_spool.pendingLines(); }

private:
    struct InFlight
    {
        int mid;
        MqttSpool::Position end;
        bool acked;
    };

    void fail();
    void tellNotices();
    // The spool cannot be written (from reading `no`, -1: the next), or can be again.
    void unwritableFrom(const QString &reason, qint64 no);
    void writableAgain(qint64 no);
    QString unspooledText() const;
    void tellChange();

    Report m_report;
    MqttSpool m_spool;
    qint64 m_maxMb = 0;
    std::deque<InFlight> m_inFlight;

    bool m_keptElsewhere = false;
    bool m_broken = false;
    qint64 m_notKept = 0; // readings the ending run kept nowhere
    qint64 m_firstNotKept = 0;
    bool m_down = false; // cannot be written; the run goes on
    qint64 m_firstUnspooled = -1;
    qint64 m_unspooled = 0;
    qint64 m_sentFromMemory = 0;
    bool m_full = false;
    qint64 m_turnedAway = 0;
    qint64 m_firstTurnedAway = 0;
};
