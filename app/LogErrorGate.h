#pragma once

#include <QString>

// Decides which failures of the reading log reach the user. A log that cannot take readings (an
// opened file without the log's fields, an interval text that is no whole number) fails at every
// frame: its message is shown once, and not again until another file, New or a new interval
// gives the log a fresh start. While the box is open, readings are not offered to the log.
class LogErrorGate
{
public:
    // Whether a reading may be offered to the log now: not while its error box is open.
    bool admitsReadings() const { return !m_boxOpen; }
    // The log failed with `message`; true when it is to be shown now (the box counts as open
    // then). A message equal to the last one shown stays hidden.
    bool failed(const QString &message)
    {
        if (message == m_lastShown)
            return false;
        m_lastShown = message;
        m_boxOpen = true;
        return true;
    }
    void boxClosed() { m_boxOpen = false; }
    // Another file, New or a new interval: the next failure is shown, also with the last message.
    // A box still open stays open.
    void freshStart() { m_lastShown.clear(); }

private:
    bool m_boxOpen = false;
    QString m_lastShown;
};
