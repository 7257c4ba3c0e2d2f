#pragma once

#include <memory>
#include <string>

namespace table {

class SaveNote;

// Writes a file under a temporary name in the target's folder and puts it in place with one
// rename, so a failed or interrupted write leaves the old file (or none) instead of half a
// table. The temporary file is removed unless commit() succeeds; one left behind by a process
// that was killed is named ".<target name>.<pid>.<serial>.tmp", so that tidyStaleTemporaries()
// can tell whose it was. A replaced file's permissions carry over to the new one.
class ReplacingFile
{
public:
    enum class Link
    {
        Replace, // a symbolic link at the target is replaced by the new file (tables: the index
                 // goes beside the name used, so the table must go there too)
        Follow,  // the file a symbolic link names is replaced, as an editor saves a text
    };
    // Throws EngineError when the folder does not take a new file.
    explicit ReplacingFile(std::string targetPath, Link link = Link::Replace);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile &) = delete;
    ReplacingFile &operator=(const ReplacingFile &) = delete;

    int fd() const { return m_fd; }
    const std::string &targetPath() const { return m_target; }
    const std::string &temporaryPath() const { return m_temp; }
    // Flushes the data to disk and renames the file over the target.
    void commit();

private:
    friend class ReplacingPair;
    // Creates the temporary under exactly this serial; false if that name is taken.
    ReplacingFile(std::string targetPath, unsigned serial, bool &created);
    bool create(unsigned serial);
    void sync();
    void rename();

    std::unique_ptr<SaveNote> m_note; // a pair's files share the pair's note
    std::string m_target;
    std::string m_temp;
    int m_fd = -1;
    bool m_pending = false; // the temporary exists and is ours to remove
};

// A table and its primary index, replaced as a pair. Both are written under temporary names that
// share the process id and serial; both are synced before either is renamed, the table is renamed
// first and the index second. A process killed between the two renames leaves the index's
// temporary without the table's, which tidyStaleTemporaries() puts in place; one killed before
// leaves both, which it removes. Either way the next program sees a matching pair, old or new.
class ReplacingPair
{
public:
    // Throws EngineError when the folder does not take the new files.
    ReplacingPair(const std::string &tablePath, const std::string &indexPath);
    ~ReplacingPair();
    ReplacingPair(const ReplacingPair &) = delete;
    ReplacingPair &operator=(const ReplacingPair &) = delete;

    ReplacingFile &table() { return *m_table; }
    ReplacingFile &index() { return *m_index; }
    // Throws EngineError. A failure before the table's rename leaves the old pair; a failed
    // rename of the index after the table's removes the old index, which would describe other
    // records, and says so.
    void commit();

private:
    std::unique_ptr<SaveNote> m_note;
    std::unique_ptr<ReplacingFile> m_table;
    std::unique_ptr<ReplacingFile> m_index;
};

// Cleans up after processes that were killed while they replaced `path` (a table or text file).
// Only temporaries of this name (and, for a .db table, of its primary index; beside a symbolic
// link, and beside the file it names) whose process is no longer running are touched:
//  - the index's temporary alone: the process died between the pair's two renames. When it is a
//    sound index of the table now in place, it is renamed into place; otherwise it is removed;
//  - any other temporary is removed (the index's before the table's).
// A temporary of a running process, or any other file, is left alone. Never throws: a folder
// that cannot be read or tidied is no reason to refuse a save or an open.
void tidyStaleTemporaries(const std::string &path);

// A save killed in a folder nobody saves to again would leave its temporaries there for good. So
// each save first notes the file it replaces in `folder` (a small file named after the process,
// removed again when the save is done), and a later start settles the notes of processes that
// are gone with tidyNotedTemporaries(). "" (the default) notes nothing. A note that cannot be
// written does not stop the save: the next save or open of the name still tidies it.
void setSaveNotesFolder(const std::string &folder);
// Settles the notes in `folder` left by processes that no longer run: each noted file is tidied
// as tidyStaleTemporaries() does (so only temporaries of dead processes of that name are touched),
// then the note is removed. Notes of running processes, this one's, and every other file are left
// alone. Returns how many notes were settled; never throws.
int tidyNotedTemporaries(const std::string &folder);

// Test support: where a pair's commit stands, to kill a process at an exact moment.
enum class CommitStage
{
    Created,       // both temporaries exist, nothing is written yet
    BeforeRenames, // both temporaries are written and synced
    BetweenRenames,
    AfterRenames,
};
using CommitHook = void (*)(CommitStage);
// The hook is called at each stage of every ReplacingPair commit in this process; nullptr
// (the default) for none.
void setCommitHook(CommitHook hook);

} // namespace table
