#include "LogTableModel.h"

#include "ReadingLog.h"

#include "log/engine/EngineError.h"

#include <QPainter>

namespace {

constexpr Qt::Alignment kAlignment[LogTableModel::kColumns] = {
    Qt::AlignLeft | Qt::AlignVCenter,    Qt::AlignHCenter | Qt::AlignVCenter,
    Qt::AlignHCenter | Qt::AlignVCenter, Qt::AlignRight | Qt::AlignVCenter,
    Qt::AlignRight | Qt::AlignVCenter,   Qt::AlignLeft | Qt::AlignVCenter};

// The record indicator: a small black triangle pointing at the current record.
QPixmap indicatorPixmap()
{
    QPixmap pixmap(8, 9);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    const QPointF tip[] = {{1, 0.5}, {7, 4.5}, {1, 8.5}};
    p.drawPolygon(tip, 3);
    return pixmap;
}

} // namespace

LogTableModel::LogTableModel(ReadingLog &log, QObject *parent)
    : QAbstractTableModel(parent), m_log(log), m_indicator(indicatorPixmap())
{
    findFields();
    m_current = m_log.table().isOpen() ? m_log.table().currentRow() : -1;
    m_log.setListener(this);
}

LogTableModel::~LogTableModel()
{
    m_log.setListener(nullptr);
}

void LogTableModel::findFields()
{
    const table::Table &t = m_log.table();
    for (int c = 0; c < kColumns; ++c) {
        m_fields[c] = t.isOpen() ? t.fieldIndex(LogTableLayout::kColumnNames[c]) : -1;
        // The titles are the field names as the table spells them.
        m_titles[c] = m_fields[c] >= 0
                          ? QString::fromStdString(t.fields()[std::size_t(m_fields[c])].name)
                          : QString::fromLatin1(LogTableLayout::kColumnNames[c]);
    }
}

qint64 LogTableModel::totalRows() const
{
    return m_log.table().isOpen() ? m_log.table().recordCount() : 0;
}

int LogTableModel::shownRows(qint64 first, int rows) const
{
    return int(std::clamp<qint64>(totalRows() - first, 0, rows));
}

void LogTableModel::setWindow(qint64 first, int rows)
{
    first = std::max<qint64>(0, first);
    rows = std::max(1, rows);
    if (first == m_first && rows == m_windowRows)
        return;
    const int before = rowCount();
    const int after = shownRows(first, rows);
    if (before != after) {
        beginResetModel();
        m_first = first;
        m_windowRows = rows;
        endResetModel();
        return;
    }
    m_first = first;
    m_windowRows = rows;
    if (after > 0) {
        emit dataChanged(index(0, 0), index(after - 1, kColumns - 1));
        emit headerDataChanged(Qt::Vertical, 0, after - 1);
    }
}

int LogTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : shownRows(m_first, m_windowRows);
}

int LogTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant LogTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole: {
        const int field = m_fields[column];
        const qint64 row = m_first + index.row();
        if (field < 0 || row >= totalRows())
            return QString();
        try {
            if (column == 4) // the unit as the display showed it, "kHz" where the table has "Hz"
                return m_log.unitOf(row);
            if (column == 3) // the value as the display showed it, "-0L." for a negative overload
                return m_log.valueOf(row);
            return QString::fromStdString(m_log.table().text(row, field));
        } catch (const table::EngineError &) {
            return QString(); // a field the grid cannot show as text stays blank
        }
    }
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(kAlignment[column]);
    case Qt::FontRole:
        if (column == 4)
            return m_unitFont;
        return {};
    default:
        return {};
    }
}

QVariant LogTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal) {
        if (role == Qt::DisplayRole && section >= 0 && section < kColumns)
            return m_titles[section];
        return {};
    }
    if (role == Qt::DisplayRole)
        return QString();
    if (role == Qt::DecorationRole && m_first + section == m_current)
        return m_indicator;
    return {};
}

void LogTableModel::moveToRecord(qint64 row)
{
    table::Table &t = m_log.table();
    if (t.isOpen() && row >= 0 && row < t.recordCount() && !t.isAppending())
        t.moveTo(row);
}

void LogTableModel::aboutToAppend(std::int64_t row)
{
    const qint64 windowRow = row - m_first;
    if (windowRow >= 0 && windowRow < m_windowRows) {
        m_inserting = true;
        beginInsertRows({}, int(windowRow), int(windowRow));
    }
}

void LogTableModel::appended(std::int64_t)
{
    if (m_inserting) {
        m_inserting = false;
        endInsertRows();
    }
    emit totalChanged();
}

void LogTableModel::aboutToReset()
{
    beginResetModel();
}

void LogTableModel::reset()
{
    findFields();
    m_current = -1;
    // A shorter table than the one before keeps the view full: its last rows at the bottom,
    // not at the top above empty rows.
    const qint64 lastFirst = std::max<qint64>(0, totalRows() - m_windowRows);
    if (m_first > lastFirst)
        m_first = lastFirst;
    endResetModel();
    emit headerDataChanged(Qt::Horizontal, 0, kColumns - 1);
    emit totalChanged();
}

void LogTableModel::currentChanged(std::int64_t row)
{
    if (row == m_current)
        return;
    const qint64 old = m_current;
    m_current = row;
    const int shown = rowCount();
    for (qint64 r : {old, qint64(row)}) {
        const qint64 windowRow = r - m_first;
        if (r >= 0 && windowRow >= 0 && windowRow < shown)
            emit headerDataChanged(Qt::Vertical, int(windowRow), int(windowRow));
    }
    emit currentRecordChanged(row);
}
