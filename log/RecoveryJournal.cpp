#include "RecoveryJournal.h"

#include "StateFolders.h"
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
    m_file->close(); // synced; the file stays: the readings are not saved yet
}

QString RecoveryJournal::defaultFolder()
{
    return statefolders::state();
}

QString RecoveryJournal::start(const QString &folder, const QByteArray &header)
{
    if (m_file->isOpen())
        return QString();
    return create(*m_file, folder, header);
}

QString RecoveryJournal::create(DurableLineFile &file, const QString &folder,
                                const QByteArray &header)
{
    if (!table::makePrivateFolder(QFile::encodeName(folder).toStdString()))
        return QStringLiteral("cannot make the folder %1").arg(folder);
    // The name tells copies and runs apart; a new file only, so no other journal is taken over.
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    DurableLineFile::Options options;
    options.createNew = true;
    for (int n = 0; n < 100; ++n) {
        const QString path = QStringLiteral("%1/%2%3-%4-%5%6")
                                 .arg(folder, kPrefix, stamp)
                                 .arg(::getpid())
                                 .arg(n)
                                 .arg(kSuffix);
        const DurableLineFile::Opened opened = file.open(path, options);
        if (opened.refusal == DurableLineFile::Refusal::Exists)
            continue;
        if (!opened.ok()) {
            if (opened.created)
                ::unlink(QFile::encodeName(path).constData());
            return opened.error;
        }
        // The header and the file's name in its folder go to the disk at once; a journal without
        // them is none (its first record would be read as the header), so it goes again.
        QString error = file.append(header + '\n');
        if (error.isEmpty())
            error = file.sync();
        if (!error.isEmpty()) {
            ::unlink(QFile::encodeName(path).constData());
            file.close();
        }
        return error;
    }
    return QStringLiteral("no free journal name in %1").arg(folder);
}

QString RecoveryJournal::rewrite(const QString &folder, const QByteArray &header,
                                 const std::function<QByteArray(QString &error)> &next)
{
    auto fresh = std::make_unique<DurableLineFile>();
    QString error = create(*fresh, folder, header);
    while (error.isEmpty()) {
        const QByteArray part = next(error);
        if (part.isEmpty() || !error.isEmpty())
            break;
        error = fresh->append(part);
    }
    if (error.isEmpty())
        error = fresh->sync();
    // The old journal goes while it is still locked, so that no starting copy takes it for a
    // leftover; one that cannot be removed would be offered beside the fresh one, twice the
    // readings, so then the fresh one goes instead.
    if (error.isEmpty() && m_file->isOpen() &&
        ::unlink(QFile::encodeName(m_file->path()).constData()) != 0 && errno != ENOENT)
        error = QStringLiteral("%1: %2").arg(m_file->path(), systemReason());
    if (!error.isEmpty()) {
        if (fresh->isOpen()) {
            ::unlink(QFile::encodeName(fresh->path()).constData());
            fresh->close();
        }
        return error;
    }
    m_file->close();
    m_file = std::move(fresh);
    return {};
}

QString RecoveryJournal::append(const QByteArray &line)
{
    if (!m_file->isOpen())
        return QStringLiteral("the journal is not started");
    // One write per line: the line is whole in the file or not there at all (an interrupted
    // write leaves a part that the reader drops).
    return m_file->append(line + '\n');
}

QString RecoveryJournal::append(const QList<QByteArray> &lines)
{
    if (!m_file->isOpen())
        return QStringLiteral("the journal is not started");
    if (lines.isEmpty())
        return {};
    QByteArray all;
    for (const QByteArray &line : lines)
        all += line + '\n';
    return m_file->append(all);
}

QString RecoveryJournal::sync()
{
    return m_file->sync();
}

QString RecoveryJournal::retire()
{
    if (!m_file->isOpen())
        return QString();
    QString error;
    const QString path = m_file->path();
    // Removed while still locked, so no starting copy takes it for a leftover meanwhile.
    if (::unlink(QFile::encodeName(path).constData()) != 0)
        error = QStringLiteral("%1: %2").arg(path, systemReason());
    m_file->close();
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
