#include "RecoveryJournal.h"

#include "log/engine/Posix.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

const QString kPrefix = QStringLiteral("journal-");
const QString kSuffix = QStringLiteral(".tsv");

} // namespace

RecoveryJournal::~RecoveryJournal()
{
    if (m_fd >= 0) {
        sync();
        ::close(m_fd); // the file stays: the readings are not saved yet
    }
}

QString RecoveryJournal::defaultFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/vorlatt");
}

QString RecoveryJournal::start(const QString &folder, const QByteArray &header)
{
    if (m_fd >= 0)
        return QString();
    if (!QDir().mkpath(folder))
        return QStringLiteral("cannot make the folder %1").arg(folder);
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    // The name tells copies and runs apart; O_EXCL makes sure no other journal is taken over.
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    for (int n = 0; n < 100; ++n) {
        const QString path = QStringLiteral("%1/%2%3-%4-%5%6")
                                 .arg(folder, kPrefix, stamp)
                                 .arg(::getpid())
                                 .arg(n)
                                 .arg(kSuffix);
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return QStringLiteral("%1: %2").arg(path, systemReason());
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const QString reason = systemReason();
            ::close(fd);
            ::unlink(QFile::encodeName(path).constData());
            return QStringLiteral("%1: %2").arg(path, reason);
        }
        m_fd = fd;
        m_path = path;
        QString error = append(header);
        if (error.isEmpty())
            error = sync();
        // The folder entry must survive a power cut too.
        const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        return error;
    }
    return QStringLiteral("no free journal name in %1").arg(folder);
}

QString RecoveryJournal::append(const QByteArray &line)
{
    if (m_fd < 0)
        return QStringLiteral("the journal is not started");
    // One write per line: the line is whole in the file or not there at all (an interrupted
    // write leaves a part that the reader drops).
    const QByteArray whole = line + '\n';
    if (!table::writeAll(m_fd, whole.constData(), std::size_t(whole.size())))
        return QStringLiteral("%1: %2").arg(m_path, systemReason());
    m_dirty = true;
    return QString();
}

QString RecoveryJournal::sync()
{
    if (m_fd < 0 || !m_dirty)
        return QString();
    if (::fdatasync(m_fd) != 0)
        return QStringLiteral("%1: %2").arg(m_path, systemReason());
    m_dirty = false;
    return QString();
}

QString RecoveryJournal::retire()
{
    if (m_fd < 0)
        return QString();
    QString error;
    if (::unlink(QFile::encodeName(m_path).constData()) != 0)
        error = QStringLiteral("%1: %2").arg(m_path, systemReason());
    ::close(m_fd);
    m_fd = -1;
    m_dirty = false;
    m_path.clear();
    return error;
}

QList<QByteArray> RecoveryJournal::wholeLines(const QByteArray &contents)
{
    QList<QByteArray> lines;
    qsizetype from = 0;
    for (;;) {
        const qsizetype end = contents.indexOf('\n', from);
        if (end < 0)
            break;
        QByteArray line = contents.mid(from, end - from);
        if (line.endsWith('\r'))
            line.chop(1);
        lines.append(line);
        from = end + 1;
    }
    return lines;
}

QList<RecoveryJournal::Leftover> RecoveryJournal::leftovers(const QString &folder)
{
    QList<Leftover> found;
    const QDir dir(folder);
    const QStringList names =
        dir.entryList({kPrefix + u'*' + kSuffix}, QDir::Files | QDir::Hidden, QDir::Name);
    for (const QString &name : names) {
        const QString path = dir.filePath(name);
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            continue;
        struct stat st;
        // Only regular files of this user: another user's readings are not ours to touch.
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid() ||
            ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd); // held by a running copy, or not ours
            continue;
        }
        QFile file;
        QByteArray contents;
        if (file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
            contents = file.readAll();
        found.append({path, wholeLines(contents), fd});
    }
    return found;
}

QString RecoveryJournal::removeLeftover(Leftover &leftover)
{
    QString error;
    if (::unlink(QFile::encodeName(leftover.path).constData()) != 0 && errno != ENOENT)
        error = QStringLiteral("%1: %2").arg(leftover.path, systemReason());
    releaseLeftover(leftover);
    return error;
}

void RecoveryJournal::releaseLeftover(Leftover &leftover)
{
    if (leftover.lockFd >= 0)
        ::close(leftover.lockFd);
    leftover.lockFd = -1;
}
