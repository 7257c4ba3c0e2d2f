#pragma once

#include "LogTableModel.h"

#include <QPointer>
#include <QTableView>
#include <QTimer>

// The grid DBGrid1: a read-only table view over LogTableModel's window of the log. The view's
// vertical scroll bar stands for the whole log; scrolling moves the model's window, so the view
// itself only ever holds the rows it shows. The current row follows the table's current record,
// and clicking a cell makes its record the current one.
//
// A new reading moves every shown row up by one, which repaints the whole grid. Such moves are
// gathered and done at most every kFollowMs, so a fast meter or a walk over the whole table
// costs one repaint per interval rather than one per record; a current record that is already
// in view is marked at once.
class LogGridView : public QTableView
{
    Q_OBJECT
public:
    static constexpr int kFollowMs = 40;

    explicit LogGridView(QWidget *parent = nullptr);

    // Sets the model, the column widths and the design's look.
    void setLogModel(LogTableModel *model);

    // The No column holds six-digit record numbers whole.
    static constexpr int kNoColumn = 0;
    static constexpr int kNoDigits = 6;
    // The Unit column shows the unit texts in the display font.
    static constexpr int kUnitColumn = 4;
    // Every unit text a reading may carry.
    static const QStringList &unitTexts();
    // The width a cell needs to show `text` in `font` whole, its grid line included.
    int cellWidthFor(const QFont &font, const QString &text) const;
    LogTableModel *logModel() const { return m_model; }

    // Rows with room to show.
    int visibleRows() const;
    // Brings the log's record `row` into view.
    void scrollToRecord(qint64 row);

protected:
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;

private:
    void syncScrollBar();
    void fitLastColumn();
    void followCurrent();
    void showCurrent();

    QPointer<LogTableModel> m_model;
    void scheduleFollow();

    bool m_syncing = false;
    QTimer m_follow;
};
