#include "DataFiles.h"

#include "LogRecord.h"
#include "LogTableLayout.h"

#include "log/engine/Cp1252.h"
#include "log/engine/EngineError.h"
#include "log/engine/FieldCodec.h"
#include "log/engine/Posix.h"
#include "log/engine/ReplacingFile.h"
#include "log/engine/TableFile.h"

#include <QFileInfo>
#include <QIODevice>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>

namespace {

constexpr qsizetype kChunk = 1 << 20;

void appendCp1252(std::string &out, const std::string &utf8)
{
    for (const char c : utf8) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            std::string bytes;
            table::utf8ToCp1252(utf8, bytes);
            out += bytes;
            return;
        }
    }
    out += utf8;
}

// A file descriptor as the text writers see it: each write whole, going on after a short one,
// and a refusal said in the system's words. (A file device reports a write the disk cut short,
// some bytes written and then no room, as a short count with no reason at all.)
class WholeWrites final : public QIODevice
{
public:
    explicit WholeWrites(int fd) : m_fd(fd) { open(QIODevice::WriteOnly | QIODevice::Unbuffered); }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        if (table::writeAll(m_fd, data, std::size_t(size)))
            return size;
        setErrorString(QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }

private:
    const int m_fd;
};

} // namespace

QStringList DataFiles::saveFilters()
{
    return {QStringLiteral("Excel File(*.xls)"), QStringLiteral("DB File(*.db)"),
            QStringLiteral("Txt File(*.txt)"), QStringLiteral("All File(*)"),
            QStringLiteral("CSV with units (*.csv)")};
}

QString DataFiles::defaultSuffixFor(const QString &filter)
{
    const QStringList filters = saveFilters();
    if (filter == filters.at(1))
        return QStringLiteral("db");
    if (filter == filters.at(4))
        return QStringLiteral("csv");
    return QLatin1String(kDefaultSuffix);
}

QStringList DataFiles::openFilters()
{
    return {QStringLiteral("access data files (*.DB *.db)"), QStringLiteral("All files (*)")};
}

bool DataFiles::isParadoxName(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot >= 0 && name.mid(dot) == u".db";
}

DataFiles::SaveKind DataFiles::kindOf(const QString &path)
{
    if (isParadoxName(path))
        return SaveKind::Paradox;
    return QFileInfo(path).fileName().endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)
               ? SaveKind::Csv
               : SaveKind::Text;
}

DataFiles::DataFiles(table::Session &session) : m_tdest(session)
{
    m_tdest.setTableType(table::TableType::Default);
}

QString DataFiles::SaveTableAsDb(table::Table &source, const QString &path)
{
    try {
        m_tdest.setTableName(path.toStdString());
        m_batchMove1.setSource(&source);
        m_batchMove1.setDestination(&m_tdest);
        m_batchMove1.setMode(table::BatchMode::Copy);
        // The copy gets its primary index over "Not" as it is written: the log's records are in
        // key order, so the table and its index go out straight from them.
        m_tdest.setExclusive(true);
        m_batchMove1.setPrimaryKey({LogTableLayout::kKey});
        m_batchMove1.execute();
        m_tdest.close();
    } catch (const table::EngineError &e) {
        // An open copy would stand in the way of the next save.
        m_tdest.close();
        return QString::fromStdString(e.what());
    }
    return {};
}

QString DataFiles::SaveLogAsDb(ReadingLog &log, const QString &path)
{
    table::Table &source = log.table();
    // A log as large as a table of the designed layout can hold would not fit one with the added
    // fields: it is saved whole in the designed layout rather than cut short.
    if (source.isOpen() &&
        source.recordCount() > table::mostRecords(LogTableLayout::savedFields()))
        return SaveTableAsDb(source, path);
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return QStringLiteral("Could not make a temporary folder: ") + scratch.errorString();
    table::Table copy(*m_tdest.session());
    try {
        if (!source.isOpen())
            (void)source.text(LogTableLayout::kNo); // throws the engine's message
        copy.setTableType(table::TableType::Paradox);
        copy.setTableName(scratch.filePath(QStringLiteral("log.db")).toStdString());
        copy.createTable(LogTableLayout::savedFields());
        copy.setExclusive(true);
        copy.setCachedUpdates(true); // kept in memory: nothing is written to the scratch file
        copy.open();
        const std::vector<table::FieldDef> designed = LogTableLayout::fields();
        std::vector<int> from;
        for (const table::FieldDef &field : designed) {
            from.push_back(field.name == LogTableLayout::kKey ? -1
                                                              : source.fieldIndex(field.name));
            if (field.name != LogTableLayout::kKey && from.back() < 0)
                (void)source.text(field.name); // throws the engine's message
        }
        const std::int64_t records = source.recordCount();
        for (std::int64_t row = 0; row < records; ++row) {
            copy.append();
            // The key is numbered by the copy itself, in table order.
            for (std::size_t f = 0; f < designed.size(); ++f) {
                if (from[f] >= 0)
                    copy.setText(designed[f].name, source.text(row, from[f]));
            }
            const ReadingLog::RecordStamp stamp = log.stampOf(row);
            if (stamp.when.isValid())
                copy.setText(LogTableLayout::kDateTime,
                             stamp.when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
                                 .toStdString());
            std::string unit;
            table::utf8ToCp1252(log.unitOf(row).toStdString(), unit);
            copy.setText(LogTableLayout::kFullUnit, unit);
            copy.post();
        }
    } catch (const table::EngineError &e) {
        if (copy.isAppending())
            copy.cancel();
        copy.close();
        return QString::fromStdString(e.what());
    }
    const QString error = SaveTableAsDb(copy, path);
    copy.close();
    return error;
}

bool DataFiles::writeText(const table::Table &source, QIODevice *device)
{
    return writeText(source, nullptr, device);
}

bool DataFiles::writeText(const ReadingLog &log, QIODevice *device)
{
    return writeText(log.table(), &log, device);
}

bool DataFiles::writeText(const table::Table &source, const ReadingLog *log, QIODevice *device)
{
    constexpr int kColumns = LogTableLayout::kColumns;
    constexpr auto &kNames = LogTableLayout::kColumnNames;
    int fields[kColumns];
    int offsets[kColumns];
    const table::FieldDef *defs[kColumns];
    std::string out;
    for (int c = 0; c < kColumns; ++c) {
        fields[c] = source.isOpen() ? source.fieldIndex(kNames[c]) : -1;
        if (fields[c] < 0)
            (void)source.text(kNames[c]); // throws the engine's message
        defs[c] = &source.fields()[std::size_t(fields[c])];
        offsets[c] = source.fieldOffset(fields[c]);
        out += kNames[c];
        out += c + 1 < kColumns ? "\t" : "\r\n";
    }
    out.reserve(std::size_t(kChunk) + 4096);
    const auto flush = [&] {
        const bool ok = device->write(out.data(), qint64(out.size())) == qint64(out.size());
        out.clear();
        return ok;
    };
    const std::int64_t records = source.recordCount();
    for (std::int64_t row = 0; row < records; ++row) {
        const std::uint8_t *record = source.recordData(row);
        for (int c = 0; c < kColumns; ++c) {
            const std::uint8_t *data = record + offsets[c];
            if (log && kNames[c] == LogTableLayout::kUnit) {
                // The unit as the display showed it: the table's two characters lose the kilo
                // and mega of hertz.
                appendCp1252(out, log->unitOf(row).toStdString());
            } else if (log && kNames[c] == LogTableLayout::kValue &&
                       defs[c]->type == table::FieldType::Alpha &&
                       std::memchr(data, 'L', std::size_t(defs[c]->size))) {
                // An overload, with the sign the display shows beside it ("-0L.").
                appendCp1252(out, log->valueOf(row).toStdString());
            } else if (defs[c]->type == table::FieldType::Alpha) {
                // Alpha fields are stored in the code page the file is written in.
                const auto *text = reinterpret_cast<const char *>(data);
                out.append(text, strnlen(text, std::size_t(defs[c]->size)));
            } else if (defs[c]->type == table::FieldType::Long ||
                       defs[c]->type == table::FieldType::Time) {
                table::appendFieldText(out, *defs[c], data); // plain ASCII
            } else {
                appendCp1252(out, table::fieldText(*defs[c], data));
            }
            out += c + 1 < kColumns ? '\t' : '\r';
        }
        out += '\n';
        if (qsizetype(out.size()) >= kChunk && !flush())
            return false;
    }
    return flush();
}

bool DataFiles::writeCsv(const ReadingLog &log, QIODevice *device)
{
    QString missing;
    const std::optional<ReadingLog::RecordFields> fields = log.recordFields(&missing);
    if (!fields) {
        (void)log.table().text(missing.toStdString()); // throws the engine's message
        return false;
    }
    QByteArray out = logrecord::header(LogFormat::Csv);
    const std::int64_t records = log.table().recordCount();
    for (std::int64_t row = 0; row < records; ++row) {
        const LogRecord record = log.recordAt(row, *fields);
        out += logrecord::line(LogFormat::Csv, record);
        if (out.size() >= kChunk) {
            if (device->write(out) != out.size())
                return false;
            out.clear();
        }
    }
    return device->write(out) == out.size();
}

DataFiles::TextResult DataFiles::saveThrough(const table::Table &source, const QString &path,
                                             const std::function<bool(QIODevice *)> &write)
{
    using Kind = TextResult::Kind;
    const QString failed = QStringLiteral("Could not save table to specified file: ") + path;
    try {
        // A missing field is reported before any file is touched.
        for (const char *name : LogTableLayout::kColumnNames)
            (void)source.text(name);
    } catch (const table::EngineError &e) {
        return {Kind::EngineError, QString::fromStdString(e.what())};
    }
    // The text goes to a temporary file in the folder, flushed and synced, and replaces an
    // earlier file in one rename only then: on any failure the earlier file stays as it was. A
    // temporary that a killed save left behind is named after the process, and removed here.
    const std::string target = path.toStdString();
    table::tidyStaleTemporaries(target);
    try {
        table::ReplacingFile out(target, table::ReplacingFile::Link::Follow);
        WholeWrites file(out.fd());
        if (!write(&file))
            return {Kind::WriteFailed, failed + QStringLiteral("\n") + file.errorString()};
        out.commit();
    } catch (const table::EngineError &e) {
        return {Kind::WriteFailed,
                failed + QStringLiteral("\n") + QString::fromStdString(e.what())};
    }
    return {Kind::Saved,
            QStringLiteral("save table to specified file: ") + path + QStringLiteral(" Scuss!")};
}

DataFiles::TextResult DataFiles::SaveTableAsText(table::Table &source, const QString &path)
{
    TextResult result =
        saveThrough(source, path, [&](QIODevice *device) { return writeText(source, device); });
    // Afterwards the last record is the current one, as after a walk through the table.
    if (result.kind == TextResult::Kind::Saved && source.recordCount() > 0)
        source.moveTo(source.recordCount() - 1);
    return result;
}

DataFiles::TextResult DataFiles::SaveLogAsText(ReadingLog &log, const QString &path)
{
    table::Table &source = log.table();
    TextResult result =
        saveThrough(source, path, [&](QIODevice *device) { return writeText(log, device); });
    if (result.kind == TextResult::Kind::Saved && source.recordCount() > 0)
        source.moveTo(source.recordCount() - 1);
    return result;
}

DataFiles::TextResult DataFiles::SaveLogAsCsv(const ReadingLog &log, const QString &path)
{
    return saveThrough(log.table(), path, [&](QIODevice *device) { return writeCsv(log, device); });
}
