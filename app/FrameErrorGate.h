#pragma once

// Decides which frame failures reach the user. A meter at the wrong speed or with a damaged
// cable fails frame after frame, many times a second: one box for the whole run of failures is
// enough, and reading goes on behind it. A failure is shown only when no box is open and a frame
// has decoded since the last box was closed; the failures in between are dropped. Frames that
// decode while the box is still open do not end the run, so a line that mixes good and bad
// frames cannot bring up box after box.
class FrameErrorGate
{
public:
    // A frame failed; true when its error is to be shown now (the box counts as open then).
    bool failed()
    {
        if (m_boxOpen || !m_armed)
            return false;
        m_boxOpen = true;
        m_armed = false;
        return true;
    }
    // A frame decoded: once no box is open, the next failure starts a new run.
    void decoded()
    {
        if (!m_boxOpen)
            m_armed = true;
    }
    void boxClosed() { m_boxOpen = false; }
    bool boxOpen() const { return m_boxOpen; }

private:
    bool m_boxOpen = false;
    bool m_armed = true;
};
