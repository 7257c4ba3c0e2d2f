#include "ReadingLog.h"

#include "LogTableLayout.h"
#include "log/JournalFormat.h"
#include "log/engine/Cp1252.h"
#include "log/engine/EngineError.h"
#include "log/engine/ReplacingFile.h"
#include "log/engine/TableFile.h"
#include "log/engine/TablePaths.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <limits>
#include <optional>

namespace {

QString message(const table::EngineError &e)
{
    return QString::fromStdString(e.what());
}

std::string utf8(const QString &text)
{
    return text.toStdString();
}

} // namespace

ReadingLog::ReadingLog() : m_table(newTable()) {}

ReadingLog::~ReadingLog()
{
    close();
}

std::unique_ptr<table::Table> ReadingLog::newTable() const
{
    auto t = std::make_unique<table::Table>(const_cast<table::Session &>(m_session));
    t->setTableType(table::TableType::Paradox);
    t->setExclusive(true);
    t->setCachedUpdates(true);
    return t;
}

void ReadingLog::cs123(const QString &programDir)
{
    m_session.setSessionName("s1");
    QString dir = QDir::toNativeSeparators(programDir);
    if (!dir.endsWith(QDir::separator()))
        dir += QDir::separator();
    try {
        m_session.setNetFileDir(utf8(dir));
        m_session.setPrivateDir(utf8(dir));
    } catch (const table::EngineError &) {
        // The folders are only kept for show; a program folder that vanished must not stop
        // the log from opening.
    }
}

QString ReadingLog::findLogTable(const QStringList &dataDirs)
{
    QStringList places = {QDir::currentPath()};
    places += dataDirs;
    for (const QString &dir : std::as_const(places)) {
        const std::string found =
            table::findIgnoringCase(utf8(QDir(dir).filePath(QStringLiteral("Tarvodb.DB"))));
        if (!found.empty() && QFileInfo(QString::fromStdString(found)).isFile())
            return QString::fromStdString(found);
    }
    return {};
}

QString ReadingLog::open(const QStringList &dataDirs)
{
    const QString found = findLogTable(dataDirs);
    // Nothing found: open the bare name anyway, so that the engine's own message says what is
    // missing and where it was looked for.
    return openFile(found.isEmpty() ? QString::fromLatin1(kTableName) : found);
}

QString ReadingLog::openFile(const QString &path)
{
    close();
    if (QFileInfo::exists(path))
        table::tidyStaleTemporaries(utf8(path)); // a save killed half-way is settled first
    m_table->setTableName(utf8(path));
    try {
        m_table->open();
    } catch (const table::EngineError &e) {
        return message(e);
    }
    return {};
}

void ReadingLog::close()
{
    if (m_table && m_table->isOpen())
        m_table->close();
    clearStamps();
}

void ReadingLog::clearStamps()
{
    m_stamps.clear();
}

void ReadingLog::keepStamp(std::int64_t row, qint64 when, const QString &fullUnit,
                           const QString &unitText)
{
    const bool prefixed = fullUnit.size() == unitText.size() + 1 && fullUnit.endsWith(unitText) &&
                          fullUnit.front().unicode() < 0x80;
    m_stamps.set(row, when, prefixed ? char(fullUnit.front().unicode()) : 0);
}

ReadingLog::RecordStamp ReadingLog::stampOf(std::int64_t row) const
{
    RecordStamp stamp;
    if (row < 0 || row >= m_stamps.size() || !m_table->isOpen() || row >= m_table->recordCount())
        return stamp;
    if (const qint64 when = m_stamps.when(row); when != kNoTime)
        stamp.when = logrecord::localTime(when);
    if (const char prefix = m_stamps.prefix(row)) {
        const int unit = m_table->fieldIndex(LogTableLayout::kUnit);
        stamp.fullUnit =
            QLatin1Char(prefix) +
            QString::fromStdString(unit >= 0 ? m_table->text(row, unit) : std::string());
    }
    return stamp;
}

QString ReadingLog::unitOf(std::int64_t row) const
{
    if (row >= 0 && row < m_stamps.size() && m_stamps.prefix(row)) {
        const RecordStamp stamp = stampOf(row);
        if (!stamp.fullUnit.isEmpty())
            return stamp.fullUnit;
    }
    const int unit = m_table->isOpen() ? m_table->fieldIndex(LogTableLayout::kUnit) : -1;
    if (unit < 0 || row < 0 || row >= m_table->recordCount())
        return {};
    return QString::fromStdString(table::cp1252ToUtf8(m_table->text(row, unit)));
}

QString ReadingLog::valueOf(std::int64_t row) const
{
    const table::Table &t = *m_table;
    const int value = t.isOpen() ? t.fieldIndex(LogTableLayout::kValue) : -1;
    if (value < 0 || row < 0 || row >= t.recordCount())
        return {};
    protocol::MeterReading reading;
    reading.ValueText = QString::fromStdString(table::cp1252ToUtf8(t.text(row, value)));
    if (!logrecord::isOverload(reading.ValueText))
        return reading.ValueText;
    if (const int numeric = t.fieldIndex(LogTableLayout::kNumeric); numeric >= 0)
        reading.NumericValue = QString::fromStdString(t.text(row, numeric)).toFloat();
    return logrecord::shownValue(reading);
}

void ReadingLog::loadStamps()
{
    clearStamps();
    const table::Table &t = *m_table;
    const int dateTime = t.fieldIndex(LogTableLayout::kDateTime);
    const int fullUnit = t.fieldIndex(LogTableLayout::kFullUnit);
    const int unit = t.fieldIndex(LogTableLayout::kUnit);
    if ((dateTime < 0 && fullUnit < 0) || unit < 0)
        return;
    const std::int64_t records = t.recordCount();
    for (std::int64_t row = 0; row < records; ++row) {
        qint64 when = kNoTime;
        QString full;
        try {
            if (dateTime >= 0 && t.fields()[std::size_t(dateTime)].type == table::FieldType::Timestamp) {
                const QString text = QString::fromStdString(t.text(row, dateTime));
                QDateTime local =
                    QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
                if (!local.isValid())
                    local = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
                if (local.isValid())
                    when = local.toMSecsSinceEpoch();
            }
            if (fullUnit >= 0)
                full = QString::fromStdString(table::cp1252ToUtf8(t.text(row, fullUnit)));
            keepStamp(row, when, full,
                      QString::fromStdString(table::cp1252ToUtf8(t.text(row, unit))));
        } catch (const table::EngineError &) {
            m_stamps.set(row, kNoTime, 0); // a record that cannot be read keeps no stamp
        }
    }
}

ReadingLog::RecordStamp ReadingLog::lastStamp() const
{
    return stampOf(m_stamps.size() - 1);
}

std::optional<ReadingLog::RecordFields> ReadingLog::recordFields(QString *missing) const
{
    static_assert(std::tuple_size_v<decltype(RecordFields::columns)> == LogTableLayout::kColumns);
    RecordFields fields;
    const table::Table &t = *m_table;
    for (int c = 0; c < LogTableLayout::kColumns; ++c) {
        const char *name = LogTableLayout::kColumnNames[std::size_t(c)];
        fields.columns[std::size_t(c)] = t.isOpen() ? t.fieldIndex(name) : -1;
        if (fields.columns[std::size_t(c)] < 0) {
            if (missing)
                *missing = QString::fromLatin1(name);
            return std::nullopt;
        }
    }
    fields.numeric = t.fieldIndex(LogTableLayout::kNumeric);
    return fields;
}

LogRecord ReadingLog::recordAt(std::int64_t row, const RecordFields &fields) const
{
    const table::Table &t = *m_table;
    const auto text = [&](int field) {
        return QString::fromStdString(table::cp1252ToUtf8(t.text(row, field)));
    };
    LogRecord record;
    record.no = text(fields.columns[0]).toInt();
    record.timeOfDay = QTime::fromString(text(fields.columns[1]), QStringLiteral("HH:mm:ss"));
    record.reading.AcDcText = text(fields.columns[2]);
    record.reading.ValueText = text(fields.columns[3]);
    record.reading.UnitText = text(fields.columns[4]);
    record.reading.RangeText = text(fields.columns[5]);
    if (fields.numeric >= 0)
        record.reading.NumericValue = text(fields.numeric).toFloat();
    const RecordStamp stamp = stampOf(row);
    if (stamp.when.isValid())
        record.when = stamp.when.toMSecsSinceEpoch();
    record.fullUnit = stamp.fullUnit;
    return record;
}

void ReadingLog::setListener(table::TableListener *listener)
{
    m_listener = listener;
    m_table->setListener(listener);
}

QString ReadingLog::take(const LogRecord &record)
{
    if (!m_table->isOpen())
        return QStringLiteral("The log table is not open.");
    return append(record,
                  record.hasTime() ? logrecord::localTime(record.when).time() : record.timeOfDay);
}

QString ReadingLog::append(const LogRecord &record, const QTime &time)
{
    const std::int64_t row = m_table->recordCount();
    if (QString error = LogTableLayout::appendRecord(*m_table, record.reading, record.no, time);
        !error.isEmpty())
        return error;
    keepStamp(row, record.when, record.unit(), record.reading.UnitText);
    return {};
}

ReadingLog::Restored ReadingLog::restore(const QList<QByteArray> &journalLines)
{
    Restored result;
    if (!m_table->isOpen())
        return result;
    // A log that holds records already (another journal restored, a file opened) numbers the
    // restored ones on after its own, so that no number is there twice.
    std::optional<qint32> renumberFrom;
    if (m_table->recordCount() > 0) {
        const std::optional<qint64> last = LogTableLayout::lastNumber(*m_table);
        renumberFrom = std::max(m_rules.NextRecordNo,
                                last && *last >= 0 && *last < std::numeric_limits<qint32>::max()
                                    ? qint32(*last + 1)
                                    : 1);
    }
    for (qsizetype i = 1; i < journalLines.size(); ++i) {
        const QByteArray &line = journalLines[i];
        if (JournalFormat::isNote(line)) {
            // The port goes with the records after it.
            if (JournalFormat::portOf(line))
                result.lines.append(line);
            continue;
        }
        std::optional<LogRecord> record = JournalFormat::parse(line);
        if (!record) {
            ++result.damaged;
            continue;
        }
        if (tableFull()) {
            result.error = QStringLiteral("The log is full: a table holds at most %1 readings. "
                                          "Save them, then restore the rest.")
                               .arg(table::mostRecords(m_table->fields()));
            return result;
        }
        if (renumberFrom)
            record->no = (*renumberFrom)++;
        // The time of day as the journal has it: the one its run showed.
        if (QString error = append(*record, record->timeOfDay); !error.isEmpty()) {
            result.error = error;
            return result;
        }
        result.lines.append(renumberFrom ? JournalFormat::renumbered(line, record->no) : line);
        ++result.records;
        ++m_rules.RecordCount;
        m_rules.NextRecordNo = record->no + 1;
    }
    return result;
}

bool ReadingLog::tableFull() const
{
    return m_table->isOpen() && m_table->recordCount() >= table::mostRecords(m_table->fields());
}

QString ReadingLog::RecordNew()
{
    if (m_table->isOpen() && m_table->recordCount() > 0) {
        try {
            m_table->emptyTable();
        } catch (const table::EngineError &e) {
            return message(e);
        }
    }
    clearStamps();
    m_rules.NextRecordNo = 1;
    m_rules.RecordCount = 0;
    return {};
}

QString ReadingLog::openOldFile(const QString &path, const std::function<bool()> &mayReplace)
{
    table::tidyStaleTemporaries(utf8(path)); // a save killed half-way is settled first
    const QString current =
        m_table->isOpen() ? QString::fromStdString(m_table->filePath()) : QString();
    const bool same = !current.isEmpty() &&
                      QFileInfo(path).canonicalFilePath() == QFileInfo(current).canonicalFilePath();
    if (same) {
        // Our own exclusive lock would keep a second opener out: reopen in place, which drops the
        // unsaved readings as choosing this file asks for.
        if (mayReplace && !mayReplace())
            return {};
        m_table->close();
        clearStamps();
        m_table->setTableName(utf8(path));
        try {
            m_table->open();
        } catch (const table::EngineError &e) {
            return message(e);
        }
        numberOnAfterTable();
        loadStamps();
        return {};
    }

    std::unique_ptr<table::Table> opened = newTable();
    opened->setTableName(utf8(path));
    try {
        opened->open();
    } catch (const table::EngineError &e) {
        return message(e);
    }
    // Another kind of table would take the log's place and then fail every reading: it is
    // refused before anything of the current log is touched.
    QStringList missing;
    // The fields a reading is written to; the key "Not" only matters to a saved copy's index.
    for (const table::FieldDef &field : LogTableLayout::fields()) {
        if (field.name != LogTableLayout::kKey && opened->fieldIndex(field.name) < 0)
            missing << QStringLiteral("\"%1\"").arg(QString::fromStdString(field.name));
    }
    if (!missing.isEmpty()) {
        opened->close();
        return QStringLiteral("The file %1 is not a reading log: it has no field %2.")
            .arg(path, missing.join(QStringLiteral(", ")));
    }
    if (mayReplace && !mayReplace()) {
        opened->close();
        return {};
    }
    if (m_listener)
        m_listener->aboutToReset();
    m_table->setListener(nullptr);
    close();
    m_table = std::move(opened);
    m_table->setListener(m_listener);
    numberOnAfterTable();
    loadStamps();
    if (m_listener)
        m_listener->reset();
    return {};
}

// New readings go into the opened table beside its own records: numbering on from the run alone
// would give numbers the table already holds.
void ReadingLog::numberOnAfterTable()
{
    // A record that cannot be read leaves the run's numbering as it is.
    const std::optional<qint64> last = LogTableLayout::lastNumber(*m_table);
    if (last && *last >= m_rules.NextRecordNo && *last < std::numeric_limits<qint32>::max())
        m_rules.NextRecordNo = qint32(*last + 1);
}
