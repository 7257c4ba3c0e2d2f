#pragma once

#include "log/LogRecord.h"

#include <QString>

#include <functional>

// The meter's link as a run tells its outputs of it.
struct LinkState
{
    enum class Kind
    {
        Waiting, // open, no frame yet
        Live,    // frames come
        Silent,  // open, but frames stopped
        Lost,    // the device went away (or the run counts the silence as a loss)
        Closed,  // closed by the user: no loss, nothing more is coming
    };
    Kind kind = Kind::Closed;
    // What is read, as the user knows it ("COM1 (/dev/ttyUSB0)", "USB (/dev/hidraw3)"); "" when
    // nothing is. `name` is the short form for labels and topics ("com1", "usb", "ttyUSB0").
    QString port;
    QString name;
    QString reason;     // Lost: why, in a few words ("the device is gone")
    qint64 lastFrameMs = LogRecord::kNoTime; // the newest frame's time, UTC
    bool countsAsLoss = false; // Silent: the run counts this silence as a link loss
};

// One place a logged record goes: the window's log table, the recovery journal, a text or table
// file, a broker. ReadingRecorder hands each record to every output it was given, in order.
//
// An output never ends the program and never shows anything itself: it says what went wrong, and
// its owner decides what the failure means (a box, a line on standard error, the end of a run).
// A failure found during a call is that call's return value; one found later, outside any call
// (a broker's spool that cannot be written while readings go out), goes to failed().
class RecordOutput
{
public:
    using FailureHandler = std::function<void(const QString &why)>;

    virtual ~RecordOutput() = default;

    // One record, as the rules took it. Returns "" or why the output could not keep it.
    virtual QString take(const LogRecord &record) = 0;
    // About once a second: puts what was taken where it is kept (written, synced). Returns "" or
    // why not.
    virtual QString flush() { return {}; }
    // The end of the run: everything taken is written out and the output closed. Returns "" or
    // why not.
    virtual QString finish() { return {}; }

    // The run's link changed (see LinkState); told once to a new output with the state then.
    virtual void linkChanged(const LinkState &) {}
    // A frame came garbled and was skipped.
    virtual void frameRejected() {}
    // A record the log's rules took, for outputs that see every reading and count the log's
    // records beside them (the live page's metrics).
    virtual void logTook(const LogRecord &) {}

    // Who hears of a failure found outside take(), flush() and finish().
    void setFailureHandler(FailureHandler handler) { m_failureHandler = std::move(handler); }

protected:
    void failed(const QString &why) const
    {
        if (m_failureHandler)
            m_failureHandler(why);
    }

private:
    FailureHandler m_failureHandler;
};
