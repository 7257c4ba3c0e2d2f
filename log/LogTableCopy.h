#pragma once

#include <QString>

// The table a running window logs into: a copy of the shipped empty "Tarvodb" made for this
// process alone, so that any number of windows on one computer (a meter on each port, or
// several users) log side by side, each holding the exclusive lock on its own table.
//
// A copy is named Tarvodb-<process>-<n>.DB (n tells apart windows of one process) and lives in
// the user's runtime folder, which the system empties at log-out, or else in the state folder.
// The window removes its copy when it ends; a copy left by a process that ended without that
// (a crash, a kill) is removed by the next start. A copy whose process still runs, or that
// someone holds locked, is never touched.
class LogTableCopy
{
public:
    LogTableCopy() = default;
    // Removes the copy this object made, if any.
    ~LogTableCopy();
    LogTableCopy(const LogTableCopy &) = delete;
    LogTableCopy &operator=(const LogTableCopy &) = delete;

    // $XDG_RUNTIME_DIR/vorlatt when that folder is set and exists, else the state folder
    // ($XDG_STATE_HOME/vorlatt, else ~/.local/state/vorlatt). The runtime folder may be shared:
    // its "vorlatt" is used only when it is this user's alone (see ownFolder()); otherwise the
    // state folder is, and a warning on standard error says why.
    static QString defaultFolder();
    // Makes `name` in `parent` (mode 0700), or checks the one there: a folder itself, not a
    // symbolic link, of this user, with no access for other users. Empty when it is, else why not.
    static QString ownFolder(const QString &parent, const QString &name);

    // Copies the table file `shipped` into `folder` (made 0700 if missing) under a name of this
    // process. Empty on success, else why the copy could not be made (nothing is left behind).
    QString make(const QString &shipped, const QString &folder);
    // The copy made, or "".
    QString path() const { return m_path; }
    // Removes the copy (its table must be closed). Empty, or the system's reason.
    QString remove();

    // Removes the copies in `folder` whose process no longer runs and that nobody holds locked.
    // Returns how many were removed.
    static int removeStale(const QString &folder);

private:
    QString m_path;
};
