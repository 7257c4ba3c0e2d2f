#include "DbOutput.h"

#include "log/LogTableLayout.h"
#include "log/engine/EngineError.h"

#include <QDir>

DbOutput::DbOutput() : m_session("vorlatt-log"), m_table(m_session), m_files(m_session) {}

QString DbOutput::open(const QString &path)
{
    if (!m_scratch.isValid())
        return QStringLiteral("cannot make a temporary folder: %1").arg(m_scratch.errorString());
    // The log table's fields, and the date and time that a log of several days needs.
    std::vector<table::FieldDef> fields = LogTableLayout::fields();
    fields.push_back({"DateTime", table::FieldType::Timestamp, 8});
    try {
        m_table.setTableType(table::TableType::Paradox);
        m_table.setTableName(
            QDir(m_scratch.path()).filePath(QStringLiteral("log.DB")).toStdString());
        m_table.createTable(fields);
        m_table.setExclusive(true);
        m_table.setCachedUpdates(true);
        m_table.open();
    } catch (const table::EngineError &e) {
        return QString::fromStdString(e.what());
    }
    m_path = path;
    return checkpoint();
}

QString DbOutput::append(const LogRecord &record)
{
    try {
        m_table.append();
        LogTableLayout::fillRecord(m_table, record.reading, record.no, record.stamp.time());
        m_table.setText(
            "DateTime",
            record.stamp.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toStdString());
        m_table.post();
    } catch (const table::EngineError &e) {
        if (m_table.isAppending())
            m_table.cancel();
        return QString::fromStdString(e.what());
    }
    return {};
}

QString DbOutput::checkpoint()
{
    return m_files.SaveTableAsDb(m_table, m_path);
}
