#pragma once

// Whether the log holds readings that no save has written since the log was last saved,
// opened or emptied. The close box, "EXIT" and New ask before they throw such readings away.
class UnsavedReadings
{
public:
    bool any() const { return m_unsaved; }
    // A reading went into the log.
    void logged() { m_unsaved = true; }
    // A save of either kind succeeded, or a file was opened as the log.
    void saved() { m_unsaved = false; }
    // New emptied the log.
    void emptied() { m_unsaved = false; }

private:
    bool m_unsaved = false;
};
