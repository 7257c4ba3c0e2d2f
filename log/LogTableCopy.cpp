#include "LogTableCopy.h"

#include "StateFolders.h"
#include "log/engine/Posix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemReason(int error = errno)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Tarvodb-<process>-<n>.DB
const QRegularExpression &copyName()
{
    static const QRegularExpression re(QStringLiteral("^Tarvodb-([0-9]{1,10})-[0-9]{1,3}\\.DB$"));
    return re;
}

} // namespace

LogTableCopy::~LogTableCopy()
{
    remove();
}

QString LogTableCopy::defaultFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir()) {
        const QString folder = runtime + QStringLiteral("/vorlatt");
        const QString why = ownFolder(runtime, QStringLiteral("vorlatt"));
        if (why.isEmpty())
            return folder;
        const QString state = statefolders::state();
        qWarning("vorlatt: %s is not used: %s; the log table's copy goes to %s instead",
                 qPrintable(folder), qPrintable(why), qPrintable(state));
        return state;
    }
    return statefolders::state();
}

QString LogTableCopy::ownFolder(const QString &parent, const QString &name)
{
    const int parentFd =
        ::open(QFile::encodeName(parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0)
        return systemReason();
    const QByteArray entry = QFile::encodeName(name);
    // Made here, it is this user's with no access for others whatever the umask says; found
    // here, it is looked at as it is, a symbolic link as a link (a planted link would lead the
    // copies elsewhere).
    const bool made = ::mkdirat(parentFd, entry.constData(), 0700) == 0;
    const int madeError = errno;
    struct stat link;
    const bool isLink = ::fstatat(parentFd, entry.constData(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(link.st_mode);
    const int fd = ::openat(parentFd, entry.constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int openError = errno;
    ::close(parentFd);
    if (!made && madeError != EEXIST)
        return QStringLiteral("it cannot be made: %1").arg(systemReason(madeError));
    if (fd < 0) {
        if (isLink || openError == ELOOP)
            return QStringLiteral("it is a symbolic link");
        if (openError == ENOTDIR)
            return QStringLiteral("it is not a folder");
        return systemReason(openError);
    }
    QString why;
    struct stat st;
    if (made && ::fchmod(fd, 0700) != 0)
        why = systemReason();
    else if (::fstat(fd, &st) != 0)
        why = systemReason();
    else if (st.st_uid != ::geteuid())
        why = QStringLiteral("it belongs to another user (%1)").arg(st.st_uid);
    else if ((st.st_mode & 077) != 0)
        why = QStringLiteral("other users have access to it (mode %1)")
                  .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    ::close(fd);
    return why;
}

QString LogTableCopy::make(const QString &shipped, const QString &folder)
{
    remove();
    QFile source(shipped);
    if (!source.open(QIODevice::ReadOnly))
        return QStringLiteral("%1: %2").arg(shipped, source.errorString());
    const QByteArray bytes = source.readAll();
    if (source.error() != QFileDevice::NoError)
        return QStringLiteral("%1: %2").arg(shipped, source.errorString());
    source.close();

    if (!table::makePrivateFolder(QFile::encodeName(folder).toStdString()))
        return QStringLiteral("cannot make the folder %1").arg(folder);
    // O_EXCL: a name another window of this process (or a stale copy) has is never taken over.
    for (int n = 0; n < 1000; ++n) {
        const QString path =
            QStringLiteral("%1/Tarvodb-%2-%3.DB").arg(folder).arg(::getpid()).arg(n);
        const QByteArray name = QFile::encodeName(path);
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return QStringLiteral("%1: %2").arg(path, systemReason());
        }
        const bool written = table::writeAll(fd, bytes.constData(), std::size_t(bytes.size()));
        const int writeError = errno;
        const bool closed = ::close(fd) == 0;
        if (!written || !closed) {
            const QString reason = systemReason(written ? errno : writeError);
            ::unlink(name.constData());
            return QStringLiteral("%1: %2").arg(path, reason);
        }
        m_path = path;
        return QString();
    }
    return QStringLiteral("no free table name in %1").arg(folder);
}

QString LogTableCopy::remove()
{
    if (m_path.isEmpty())
        return QString();
    QString error;
    if (::unlink(QFile::encodeName(m_path).constData()) != 0 && errno != ENOENT)
        error = QStringLiteral("%1: %2").arg(m_path, systemReason());
    m_path.clear();
    return error;
}

int LogTableCopy::removeStale(const QString &folder)
{
    int removed = 0;
    const QDir dir(folder);
    const QStringList names =
        dir.entryList({QStringLiteral("Tarvodb-*.DB")}, QDir::Files | QDir::Hidden);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = copyName().match(name);
        if (!match.hasMatch())
            continue;
        const qint64 pid = match.captured(1).toLongLong();
        // This process's copies belong to its windows; another running process's to it.
        if (pid == ::getpid() || table::processMayRun(pid))
            continue;
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat st;
        // Held locked, the table is in use whatever its name says (a process of another
        // namespace); another user's file is not ours to remove.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid() &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlink(path.constData()) == 0)
            ++removed;
        ::close(fd);
    }
    return removed;
}
