#include "ReplacingFile.h"

#include "ByteSource.h"
#include "EngineError.h"
#include "LockedFile.h"
#include "Posix.h"
#include "PrimaryIndex.h"
#include "TableFile.h"
#include "TablePaths.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <vector>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace table {

namespace {

std::atomic<unsigned> g_serial{0};
std::atomic<CommitHook> g_hook{nullptr};
std::mutex g_notesMutex;
std::string g_notesFolder;

const std::string kNotePrefix = "save-";
const std::string kNoteSuffix = ".note";

void reach(CommitStage stage)
{
    if (const CommitHook hook = g_hook.load())
        hook(stage);
}

std::string failure(const std::string &what, const std::string &path, int err)
{
    return what + " \"" + path + "\": " + std::strerror(err);
}

// A link to a file is followed, as an editor's save does: the user means the file it names.
std::string resolvedTarget(const std::string &path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    return ec || !fs::is_regular_file(real, ec) ? path : real.string();
}

std::string folderOf(const std::string &path)
{
    const std::string dir = fs::path(path).parent_path().string();
    return dir.empty() ? "." : dir;
}

// Makes renames in the folder durable; a folder that cannot be synced is no reason to fail.
void syncFolder(const std::string &path)
{
    const int dirFd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

std::string temporaryName(const std::string &targetName, long pid, unsigned serial)
{
    return "." + targetName + "." + std::to_string(pid) + "." + std::to_string(serial) + ".tmp";
}

bool allDigits(const std::string &s)
{
    if (s.empty() || s.size() > 18)
        return false;
    for (const char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// ".<target>.<pid>.<serial>.tmp" taken apart; false for any other name.
bool parseTemporaryName(const std::string &name, std::string &target, long long &pid,
                        unsigned long long &serial)
{
    const std::string suffix = ".tmp";
    if (name.size() < 1 + suffix.size() || name[0] != '.' ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string body = name.substr(1, name.size() - 1 - suffix.size());
    const std::size_t serialDot = body.rfind('.');
    if (serialDot == std::string::npos || serialDot == 0)
        return false;
    const std::size_t pidDot = body.rfind('.', serialDot - 1);
    if (pidDot == std::string::npos || pidDot == 0)
        return false;
    const std::string pidText = body.substr(pidDot + 1, serialDot - pidDot - 1);
    const std::string serialText = body.substr(serialDot + 1);
    if (!allDigits(pidText) || !allDigits(serialText))
        return false;
    target = body.substr(0, pidDot);
    pid = std::stoll(pidText);
    serial = std::stoull(serialText);
    return true;
}

enum class Fit
{
    Matches,
    DoesNot,
    Unknown, // the table is in use and cannot be read now
};

// Whether `indexFile` is a sound primary index of the table at `tablePath`; `table` receives
// the identity of the table file that was read.
Fit indexFits(const std::string &tablePath, const std::string &indexFile, struct stat &table)
{
    if (::stat(tablePath.c_str(), &table) != 0)
        return errno == ENOENT ? Fit::DoesNot : Fit::Unknown;
    LockedFile tableFile;
    try {
        tableFile.open(tablePath, LockedFile::Access::ReadOnly, LockedFile::Lock::Shared);
    } catch (const EngineError &) {
        return Fit::Unknown;
    }
    try {
        FileSource tableSource(tableFile);
        const TableContent content = readTable(tableSource);
        if (!content.header.keyed)
            return Fit::DoesNot;
        LockedFile index;
        index.open(indexFile, LockedFile::Access::ReadOnly, LockedFile::Lock::Shared);
        FileSource indexSource(index);
        checkPrimaryIndex(content, indexSource);
        // The file read must be the one that was looked at.
        struct stat now;
        if (::stat(tablePath.c_str(), &now) != 0 || now.st_dev != table.st_dev ||
            now.st_ino != table.st_ino)
            return Fit::Unknown;
        return Fit::Matches;
    } catch (const EngineError &) {
        return Fit::DoesNot;
    }
}

} // namespace

// The note of one save in the notes folder: "save-<pid>-<n>.note" holding the absolute path of
// the file the save replaces. Made before the save's temporaries, removed after them.
class SaveNote
{
public:
    explicit SaveNote(const std::string &target)
    {
        std::string folder;
        {
            std::lock_guard<std::mutex> lock(g_notesMutex);
            folder = g_notesFolder;
        }
        if (folder.empty())
            return;
        std::error_code ec;
        const std::string path = fs::absolute(target, ec).lexically_normal().string();
        if (ec || path.find('\n') != std::string::npos)
            return;
        // The notes name the user's files: for the user's eyes only.
        makePrivateFolder(folder); // an open that fails below says why not
        static std::atomic<unsigned> serial{0};
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = folder + "/" + kNotePrefix + std::to_string(::getpid()) +
                                     "-" + std::to_string(serial++) + kNoteSuffix;
            const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0) {
                if (errno == EEXIST)
                    continue;
                return;
            }
            const std::string line = path + "\n";
            const bool written = writeAll(fd, line.data(), line.size());
            if (::close(fd) != 0 || !written) {
                ::unlink(name.c_str());
                return;
            }
            m_path = name;
            return;
        }
    }
    ~SaveNote()
    {
        if (!m_path.empty())
            ::unlink(m_path.c_str());
    }
    SaveNote(const SaveNote &) = delete;
    SaveNote &operator=(const SaveNote &) = delete;

private:
    std::string m_path;
};

ReplacingFile::ReplacingFile(std::string targetPath, Link link)
    : m_target(link == Link::Follow ? resolvedTarget(targetPath) : std::move(targetPath))
{
    m_note = std::make_unique<SaveNote>(m_target);
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (create(g_serial++))
            return;
    }
    throw EngineError(failure("cannot create", m_target, EEXIST));
}

ReplacingFile::ReplacingFile(std::string targetPath, unsigned serial, bool &created)
    : m_target(std::move(targetPath))
{
    created = create(serial);
}

bool ReplacingFile::create(unsigned serial)
{
    const fs::path target(m_target);
    m_temp = (target.parent_path() / temporaryName(target.filename().string(), ::getpid(), serial))
                 .string();
    // Mode 0666 lets the user's umask decide, as for any file the user saves.
    m_fd = ::open(m_temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (m_fd < 0) {
        if (errno == EEXIST)
            return false;
        throw EngineError(failure("cannot create", m_target, errno));
    }
    m_pending = true;
    // A file that is replaced keeps its permissions. Best effort: some file systems (FAT) take
    // no modes at all, and the data matters more than the mode bits.
    struct stat st;
    if (::stat(m_target.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        (void)::fchmod(m_fd, st.st_mode & 07777);
    return true;
}

ReplacingFile::~ReplacingFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_pending)
        ::unlink(m_temp.c_str());
}

void ReplacingFile::sync()
{
    if (::fsync(m_fd) != 0)
        throw EngineError(failure("cannot write", m_target, errno));
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        throw EngineError(failure("cannot write", m_target, errno));
}

void ReplacingFile::rename()
{
    if (::rename(m_temp.c_str(), m_target.c_str()) != 0)
        throw EngineError(failure("cannot replace", m_target, errno));
    m_pending = false;
}

void ReplacingFile::commit()
{
    sync();
    rename();
    syncFolder(m_target);
}

ReplacingPair::ReplacingPair(const std::string &tablePath, const std::string &indexPath)
    : m_note(std::make_unique<SaveNote>(tablePath)) // tidying the table settles its index too
{
    // Both temporaries carry the same serial, so that a leftover index can be told from one
    // whose table was still to be renamed.
    for (int attempt = 0; attempt < 100 && !m_index; ++attempt) {
        const unsigned serial = g_serial++;
        bool created = false;
        m_table.reset(new ReplacingFile(tablePath, serial, created));
        if (!created)
            continue;
        m_index.reset(new ReplacingFile(indexPath, serial, created));
        if (!created)
            m_index.reset();
    }
    if (!m_index) {
        m_table.reset();
        throw EngineError(failure("cannot create", tablePath, EEXIST));
    }
    reach(CommitStage::Created);
}

ReplacingPair::~ReplacingPair()
{
    // The index's temporary goes first: a kill in between leaves the table's alone, which a later
    // tidy removes, never the index's alone, which would pass for the index of a renamed table.
    m_index.reset();
    m_table.reset();
}

void ReplacingPair::commit()
{
    m_table->sync();
    m_index->sync();
    reach(CommitStage::BeforeRenames);
    m_table->rename();
    reach(CommitStage::BetweenRenames);
    try {
        m_index->rename();
    } catch (const EngineError &e) {
        // The old index describes the old table's records: a table without its index is the
        // lesser fault, and the message says what happened.
        const bool removed = ::unlink(m_index->targetPath().c_str()) == 0 || errno == ENOENT;
        syncFolder(m_table->targetPath());
        throw EngineError(std::string(e.what()) + "; table \"" + m_table->targetPath() +
                          (removed ? "\" was replaced and has no primary index now"
                                   : "\" was replaced, and its old index could not be removed"));
    }
    reach(CommitStage::AfterRenames);
    syncFolder(m_table->targetPath());
}

namespace {

void tidyBeside(const std::string &target)
{
    const fs::path targetPath(target);
    const std::string dir = folderOf(target);
    const std::string tableName = targetPath.filename().string();
    const std::string stem = targetPath.stem().string();
    const bool isTable = asciiLower(targetPath.extension().string()) == ".db";
    struct Group
    {
        std::string table;
        std::string index;
        std::string indexTarget;
    };
    std::map<std::pair<long long, unsigned long long>, Group> groups;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeEc;
        if (it->symlink_status(typeEc).type() != fs::file_type::regular)
            continue;
        const std::string name = it->path().filename().string();
        std::string of;
        long long pid = 0;
        unsigned long long serial = 0;
        if (!parseTemporaryName(name, of, pid, serial))
            continue;
        const auto key = std::make_pair(pid, serial);
        if (of == tableName) {
            groups[key].table = it->path().string();
        } else if (isTable && of.size() == stem.size() + 3 &&
                   of.compare(0, stem.size(), stem) == 0 &&
                   asciiLower(of.substr(stem.size())) == ".px") {
            groups[key].index = it->path().string();
            groups[key].indexTarget = (fs::path(dir) / of).string();
        }
    }
    bool renamed = false;
    for (const auto &[key, group] : groups) {
        if (processMayRun(key.first))
            continue;
        if (!group.table.empty()) {
            // Neither file of this save was put in place.
            if (!group.index.empty())
                ::unlink(group.index.c_str());
            ::unlink(group.table.c_str());
            continue;
        }
        // The table was put in place and its index was not; or a lone index's write was cut.
        struct stat before, after;
        switch (indexFits(target, group.index, before)) {
        case Fit::Matches:
            // Unless another save replaced the table meanwhile.
            if (::stat(target.c_str(), &after) == 0 && after.st_dev == before.st_dev &&
                after.st_ino == before.st_ino &&
                ::rename(group.index.c_str(), group.indexTarget.c_str()) == 0)
                renamed = true;
            break;
        case Fit::DoesNot:
            ::unlink(group.index.c_str());
            break;
        case Fit::Unknown:
            break;
        }
    }
    if (renamed)
        syncFolder(target);
}

} // namespace

void tidyStaleTemporaries(const std::string &path)
{
    try {
        tidyBeside(path);
        // A text saved through a link was replaced where the link points.
        const std::string real = resolvedTarget(path);
        if (real != path)
            tidyBeside(real);
    } catch (...) {
        // Tidying is a courtesy: whatever stopped it, the save or open goes on.
    }
}

void setSaveNotesFolder(const std::string &folder)
{
    std::lock_guard<std::mutex> lock(g_notesMutex);
    g_notesFolder = folder;
}

int tidyNotedTemporaries(const std::string &folder)
{
    int settled = 0;
    try {
        std::error_code ec;
        fs::directory_iterator it(folder, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.size() <= kNotePrefix.size() + kNoteSuffix.size() ||
                name.compare(0, kNotePrefix.size(), kNotePrefix) != 0 ||
                name.compare(name.size() - kNoteSuffix.size(), kNoteSuffix.size(), kNoteSuffix) != 0)
                continue;
            const std::string middle = name.substr(
                kNotePrefix.size(), name.size() - kNotePrefix.size() - kNoteSuffix.size());
            const std::size_t dash = middle.find('-');
            if (dash == std::string::npos || !allDigits(middle.substr(0, dash)) ||
                !allDigits(middle.substr(dash + 1)))
                continue;
            const long long pid = std::stoll(middle.substr(0, dash));
            if (pid == ::getpid() || processMayRun(pid))
                continue;
            const std::string path = it->path().string();
            const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0)
                continue;
            struct stat st;
            std::string text;
            // Only a small regular file of this user is a note of ours.
            if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid() &&
                st.st_size <= 64 * 1024) {
                text.resize(static_cast<std::size_t>(st.st_size));
                const ssize_t n = ::read(fd, text.data(), text.size());
                text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
            } else {
                ::close(fd);
                continue;
            }
            ::close(fd);
            for (std::size_t from = 0; from < text.size();) {
                std::size_t end = text.find('\n', from);
                if (end == std::string::npos)
                    end = text.size();
                const std::string target = text.substr(from, end - from);
                if (!target.empty() && target[0] == '/')
                    tidyStaleTemporaries(target);
                from = end + 1;
            }
            if (::unlink(path.c_str()) == 0)
                ++settled;
        }
    } catch (...) {
        // As tidyStaleTemporaries(): a courtesy that never stops a start.
    }
    return settled;
}

void setCommitHook(CommitHook hook)
{
    g_hook.store(hook);
}

} // namespace table
