#pragma once

#include "LogTableLayout.h"

#include "log/engine/Table.h"

#include <QAbstractTableModel>
#include <QFont>
#include <QPixmap>

class ReadingLog;

// The grid's six columns (LogTableLayout) over the log's records, read from the engine where
// they are.
//
// The model shows a window of the table: rows first() to first() + windowRows() - 1, which the
// grid sets to the rows it has room for. A view that held every row would keep per-row state
// (QHeaderView's sections) and redo it at every reading, so a reading would cost more the longer
// the log; with a window, a reading costs the same at ten rows and at ten million.
//
// The vertical header is the record indicator column: it marks the table's current record.
class LogTableModel : public QAbstractTableModel, public table::TableListener
{
    Q_OBJECT
public:
    static constexpr int kColumns = LogTableLayout::kColumns;

    explicit LogTableModel(ReadingLog &log, QObject *parent = nullptr);
    ~LogTableModel() override;

    // Records in the table, shown or not.
    qint64 totalRows() const;
    qint64 first() const { return m_first; }
    int windowRows() const { return m_windowRows; }
    void setWindow(qint64 first, int rows);
    // The table's current record, or -1.
    qint64 currentRecord() const { return m_current; }
    // Makes `row` the table's current record, as a click in the grid does.
    void moveToRecord(qint64 row);

    // The unit column's font: the display font, so the unit symbols show as on the replica.
    void setUnitFont(const QFont &font) { m_unitFont = font; }
    const QFont &unitFont() const { return m_unitFont; }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // table::TableListener
    void aboutToAppend(std::int64_t row) override;
    void appended(std::int64_t row) override;
    void aboutToReset() override;
    void reset() override;
    void currentChanged(std::int64_t row) override;

signals:
    // The number of records changed (append, open, close, empty).
    void totalChanged();
    void currentRecordChanged(qint64 row);

private:
    void findFields();
    int shownRows(qint64 first, int rows) const;

    ReadingLog &m_log;
    qint64 m_first = 0;
    int m_windowRows = 1;
    qint64 m_current = -1;
    bool m_inserting = false;
    int m_fields[kColumns] = {-1, -1, -1, -1, -1, -1};
    QString m_titles[kColumns];
    QFont m_unitFont;
    QPixmap m_indicator;
};
