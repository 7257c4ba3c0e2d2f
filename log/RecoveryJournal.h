#pragma once

#include "DurableLineFile.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

// A copy of every record the window logs, kept in a plain text file in the user's state folder
// until the readings are saved, so that a crash, a killed process or a power cut does not take
// them with it. Each line is appended with one write as the record is logged (a killed process
// loses nothing the kernel has) and the file is synced at least once a second by sync() (a power
// cut loses at most the last second).
//
// Every running copy of the program has a journal of its own, which it holds locked (flock) for as
// long as it runs: a journal nobody holds was left behind by a copy that ended without retiring
// it, and is offered back at the next start.
class RecoveryJournal
{
public:
    RecoveryJournal() = default;
    ~RecoveryJournal();
    RecoveryJournal(const RecoveryJournal &) = delete;
    RecoveryJournal &operator=(const RecoveryJournal &) = delete;

    // The state folder (statefolders::state()).
    static QString defaultFolder();

    // Starts a fresh journal in `folder` (made 0700 if missing), with `header` as its first line.
    // Empty on success, else why it could not be made (and no journal is started then).
    QString start(const QString &folder, const QByteArray &header);
    bool isStarted() const { return m_file->isOpen(); }
    QString path() const { return m_file->isOpen() ? m_file->path() : QString(); }

    // Writes a fresh journal in `folder`: `header`, then the parts `next` gives (whole lines,
    // each ending in '\n') until it gives an empty one, all synced; only then does it take the
    // place of this one, which is removed. On failure (of the file, or one `next` tells by
    // setting its argument) the fresh file is removed and this journal stays as it was (started
    // or not). Empty, or why not.
    QString rewrite(const QString &folder, const QByteArray &header,
                    const std::function<QByteArray(QString &error)> &next);

    // One line (without its end); written at once. Empty, or the system's reason.
    QString append(const QByteArray &line);
    // Lines (without their ends), in one write: all of them are in the file, or none.
    QString append(const QList<QByteArray> &lines);
    // Puts what was appended on the disk; nothing to do when nothing was appended since.
    QString sync();
    // The readings are safe elsewhere (saved, discarded or emptied): the file is removed. The
    // next reading needs a fresh start().
    QString retire();

    // A journal left behind: its path and whole lines (header first). Holding it keeps it
    // locked, so two copies starting at once do not both offer it.
    struct Leftover
    {
        QString path;
        QList<QByteArray> lines; // up to the last whole line; a cut last line is dropped
        int lockFd = -1;
    };
    // The journals in `folder` that no running copy holds, oldest first. Files of another user
    // are left alone.
    static QList<Leftover> leftovers(const QString &folder);
    // Removes a leftover's file (after its readings were restored, saved or discarded) or just
    // lets go of it.
    static QString removeLeftover(Leftover &leftover);
    static void releaseLeftover(Leftover &leftover);

    // The lines of a journal file up to its last whole line (a record cut by a crash is dropped).
    static QList<QByteArray> wholeLines(const QByteArray &contents);

private:
    // A new file in `folder` holding `header`, synced; its name unique to this run.
    static QString create(DurableLineFile &file, const QString &folder, const QByteArray &header);

    std::unique_ptr<DurableLineFile> m_file = std::make_unique<DurableLineFile>();
};
