#pragma once

#include "log/LogRecord.h"

#include <QString>

#include <functional>

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
