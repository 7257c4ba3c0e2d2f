#include "log/DbOutput.h"

#include "log/LogTableLayout.h"
#include "log/engine/BatchMove.h"
#include "log/engine/Cp1252.h"
#include "log/engine/EngineError.h"
#include "log/engine/TableFile.h"
#include "log/engine/TablePaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QString inUse(const QString &path)
{
    return QStringLiteral("%1: in use by another program").arg(path);
}

// Holds a name in the abstract socket namespace: a second bind of the same name fails with
// EADDRINUSE until the holder closes it, however it ends, and no file is left behind. Returns
// the socket, or -1 with errno set.
int holdName(const QByteArray &name)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length =
        std::min<std::size_t>(std::size_t(name.size()), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.constData(), length); // sun_path[0] stays 0
    const auto size = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), size) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

QString describe(const table::FieldDef &field)
{
    return QStringLiteral("%1 %2")
        .arg(QLatin1String(table::fieldTypeName(field.type).data(),
                           qsizetype(table::fieldTypeName(field.type).size())))
        .arg(field.size);
}

} // namespace

DbOutput::DbOutput() : m_session("vorlatt-log"), m_table(m_session), m_files(m_session) {}

DbOutput::~DbOutput()
{
    m_lock.close();
    if (m_nameHold >= 0)
        ::close(m_nameHold);
}

std::vector<table::FieldDef> DbOutput::layout()
{
    // The fields of the window's saved copies: the log's, then the date and time that a log of
    // several days needs and the unit with the kilo or mega of hertz that "Unit" has no room for.
    return LogTableLayout::savedFields();
}

std::vector<table::FieldDef> DbOutput::olderLayout()
{
    std::vector<table::FieldDef> fields = LogTableLayout::fields();
    fields.push_back({LogTableLayout::kDateTime, table::FieldType::Timestamp, 8});
    return fields;
}

namespace {

QString mismatch(const table::Table &table, const std::vector<table::FieldDef> &wanted)
{
    const std::vector<table::FieldDef> &found = table.fields();
    QStringList wrong;
    bool allThere = true;
    for (const table::FieldDef &field : wanted) {
        const int at = table.fieldIndex(field.name);
        const QString name = QString::fromStdString(field.name);
        if (at < 0) {
            wrong << QStringLiteral("it has no field \"%1\"").arg(name);
            allThere = false;
        } else if (const table::FieldDef &has = found[std::size_t(at)];
                   has.type != field.type || has.size != field.size) {
            wrong << QStringLiteral("its field \"%1\" is %2, not %3")
                         .arg(name, describe(has), describe(field));
        }
    }
    for (const table::FieldDef &field : found) {
        bool known = false;
        for (const table::FieldDef &w : wanted)
            known = known || table::asciiLower(w.name) == table::asciiLower(field.name);
        if (!known)
            wrong << QStringLiteral("it has a field \"%1\" besides")
                         .arg(QString::fromStdString(field.name));
    }
    // The key must lead for the index, and the records are copied field by field in order.
    if (wrong.isEmpty() && allThere) {
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            if (table::asciiLower(found[i].name) != table::asciiLower(wanted[i].name)) {
                wrong << QStringLiteral("its fields are in another order");
                break;
            }
        }
    }
    return wrong.join(QStringLiteral("; "));
}

} // namespace

QString DbOutput::layoutMismatch(const table::Table &table)
{
    // A table of the older layout, without "FullUnit", is one of ours too; what is wrong is
    // told against the layout of a new table.
    const QString wrong = mismatch(table, layout());
    if (wrong.isEmpty() || mismatch(table, olderLayout()).isEmpty())
        return {};
    return wrong;
}

QString DbOutput::layoutNote() const
{
    if (!m_older)
        return {};
    return QStringLiteral(
               "%1 has the older layout of vorlatt-log's tables: it keeps the date and time of "
               "every reading but not the kilo or mega of hertz (a reading of 1.234 kHz reads "
               "1.234 Hz in it); a new table keeps both")
        .arg(m_path);
}

DbOutput::Opened DbOutput::open(const QString &given)
{
    m_mostRecords = mostRecords();
    Opened opened;
    const auto refuse = [&opened](const QString &why) {
        opened.error = why;
        opened.wrongFile = true;
        return opened;
    };
    // The name exactly as given: a name without ".db" would get ".DB" added by the engine, and a
    // device or a folder is no place for a table.
    if (!given.endsWith(QStringLiteral(".db"), Qt::CaseInsensitive))
        return refuse(QStringLiteral("%1: a table's name ends in .db").arg(given));
    QString path = given;
    const QFileInfo link(given);
    if (link.isSymLink()) {
        // The table replaced by a rename would replace the link, not the file it names.
        path = link.canonicalFilePath();
        if (path.isEmpty())
            return refuse(QStringLiteral("%1: a link to a file that does not exist").arg(given));
    }
    std::string resolved;
    try {
        resolved =
            m_session.tablePath(QFile::encodeName(path).toStdString(), table::TableType::Paradox);
    } catch (const table::EngineError &e) {
        return refuse(QString::fromStdString(e.what()));
    }
    m_path = QFile::decodeName(QByteArray::fromStdString(resolved));
    struct stat st
    {
    };
    const bool exists = ::stat(resolved.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode))
        return refuse(QStringLiteral("%1: not a regular file").arg(m_path));
    const QFileInfo target(m_path);
    struct stat folder
    {
    };
    if (::stat(QFile::encodeName(target.absolutePath()).constData(), &folder) != 0) {
        opened.error = QStringLiteral("%1: %2").arg(target.absolutePath(),
                                                    QString::fromLocal8Bit(std::strerror(errno)));
        return opened;
    }

    // The file is locked while the run holds it, but each checkpoint replaces it with a new
    // file and so drops the lock for a moment; a name held for the whole run, made of the
    // folder and the file's name in lower case (the engine matches names without regard to
    // case), keeps a second run out in those moments too.
    const QByteArray key = QByteArray::number(quint64(folder.st_dev)) + ':' +
                           QByteArray::number(quint64(folder.st_ino)) + '/' +
                           QByteArray::fromStdString(table::asciiLower(
                               QFile::encodeName(target.fileName()).toStdString()));
    m_nameHold = holdName("vorlatt-log.db/" +
                          QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex());
    if (m_nameHold < 0) {
        opened.error = errno == EADDRINUSE
                           ? inUse(m_path)
                           : QStringLiteral("%1: cannot lock: %2")
                                 .arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        return opened;
    }
    if (!m_scratch.isValid()) {
        opened.error =
            QStringLiteral("cannot make a temporary folder: %1").arg(m_scratch.errorString());
        return opened;
    }
    const std::string scratch =
        QFile::encodeName(QDir(m_scratch.path()).filePath(QStringLiteral("log.DB"))).toStdString();
    try {
        if (exists) {
            if (QString error = takeIn(resolved, &opened); !error.isEmpty()) {
                opened.error = error;
                return opened;
            }
        }
        m_table.setTableType(table::TableType::Paradox);
        m_table.setTableName(scratch);
        if (!exists)
            m_table.createTable(layout());
        m_table.setExclusive(true);
        m_table.setCachedUpdates(true);
        m_table.open();
    } catch (const table::EngineError &e) {
        opened.error = QString::fromStdString(e.what());
        return opened;
    }
    // With cached updates the table lives in memory and never writes its file: nothing of the
    // run needs the scratch copy any more, and a killed run leaves none behind.
    m_scratch.remove();
    m_kept = opened.kept;
    m_mostRecords = table::mostRecords(m_older ? olderLayout() : layout());
    if (const QString error = checkpoint(); !error.isEmpty())
        opened.error = error;
    return opened;
}

// Copies the existing table at `path` to the scratch folder, after checking it is one of ours,
// and locks the file. The existing file itself is only read.
QString DbOutput::takeIn(const std::string &path, Opened *opened)
{
    table::Table existing(m_session);
    existing.setTableType(table::TableType::Paradox);
    existing.setTableName(path);
    existing.setExclusive(true); // refused while another program has it open
    existing.setReadOnly(true);
    {
        // Missing access and another program's lock are told as they are; what fails to open
        // after that is in the file itself, which is then no table this run may write.
        table::LockedFile probe;
        probe.open(path, table::LockedFile::Access::ReadOnly, table::LockedFile::Lock::Exclusive);
    }
    try {
        existing.open();
    } catch (const table::EngineError &e) {
        opened->wrongFile = true;
        return QStringLiteral("%1 cannot be appended to, and was left as it is: %2")
            .arg(m_path, QString::fromStdString(e.what()));
    }
    if (const QString wrong = layoutMismatch(existing); !wrong.isEmpty()) {
        opened->wrongFile = true;
        return QStringLiteral("%1 is a table of another layout, left as it is: %2")
            .arg(m_path, wrong);
    }
    m_older = existing.fieldIndex(LogTableLayout::kFullUnit) < 0;
    opened->olderLayout = m_older;
    opened->kept = existing.recordCount();
    opened->lastNo = qint32(LogTableLayout::lastNumber(existing).value_or(0));
    table::Table copy(m_session);
    copy.setTableType(table::TableType::Paradox);
    copy.setTableName(
        QFile::encodeName(QDir(m_scratch.path()).filePath(QStringLiteral("log.DB"))).toStdString());
    table::BatchMove move;
    move.setSource(&existing);
    move.setDestination(&copy);
    move.setMode(table::BatchMode::Copy);
    move.execute();
    existing.close();
    m_lock.open(path, table::LockedFile::Access::ReadOnly, table::LockedFile::Lock::Exclusive);
    return {};
}

QString DbOutput::append(const LogRecord &record)
{
    const QDateTime local = logrecord::localTime(record.when);
    return LogTableLayout::appendRecord(
        m_table, record.reading, record.no, local.time(), [&](table::Table &t) {
            t.setText(LogTableLayout::kDateTime,
                      local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toStdString());
            if (!m_older) {
                std::string unit;
                table::utf8ToCp1252(record.unit().toStdString(), unit);
                t.setText(LogTableLayout::kFullUnit, unit);
            }
        });
}

qint64 DbOutput::mostRecords()
{
    return table::mostRecords(layout());
}

bool DbOutput::full() const
{
    return m_table.isOpen() && m_table.recordCount() >= m_mostRecords;
}

QString DbOutput::checkpoint()
{
    // The copy refuses to replace a file that someone holds locked, this run's own lock too.
    m_lock.close();
    QString error = m_files.SaveTableAsDb(m_table, m_path);
    if (error.isEmpty())
        m_inFile = m_table.recordCount() - m_kept;
    // The file now there, new or old, is locked again at once.
    try {
        m_lock.open(QFile::encodeName(m_path).toStdString(), table::LockedFile::Access::ReadOnly,
                    table::LockedFile::Lock::Exclusive);
    } catch (const table::EngineError &e) {
        if (error.isEmpty())
            error = QString::fromStdString(e.what());
    }
    if (!error.isEmpty())
        m_failed = true;
    return error;
}
