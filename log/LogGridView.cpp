#include "LogGridView.h"

#include "LogTableModel.h"

#include <QApplication>
#include <QHeaderView>
#include <QFontMetrics>
#include <QProxyStyle>
#include <QScrollBar>
#include <QStyleOptionViewItem>

#include <algorithm>

namespace {

// Column widths of the design in pixels; the last column keeps the default width.
constexpr int kColumnWidths[] = {39, 53, 37, 43, 36};

// Clear pixels between a right-aligned text's ink and the grid line. The display font draws its
// symbols to the edge of their box: without a gap a unit's last stroke merges with the line and
// the symbol reads as a sliver.
constexpr int kInkGap = 2;

// How far the ink of `text` reaches past its advance on the right, and the gap.
int rightInk(const QFont &font, const QString &text)
{
    if (text.isEmpty())
        return 0;
    const QFontMetrics fm(font);
    const int overhang = fm.tightBoundingRect(text).right() + 1 - fm.horizontalAdvance(text);
    return std::max(0, overhang) + kInkGap;
}

// The design's narrow columns fit their texts with a data grid's slim cell margins, not with the
// wider ones of the desktop style. Right-aligned texts keep their ink inside the cell.
class SlimCellStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;
    int pixelMetric(PixelMetric metric, const QStyleOption *option,
                    const QWidget *widget) const override
    {
        if (metric == PM_FocusFrameHMargin)
            return 0;
        if (metric == PM_HeaderMargin)
            return 1;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
    QRect subElementRect(SubElement element, const QStyleOption *option,
                         const QWidget *widget) const override
    {
        QRect r = QProxyStyle::subElementRect(element, option, widget);
        if (element != SE_ItemViewItemText)
            return r;
        const auto *item = qstyleoption_cast<const QStyleOptionViewItem *>(option);
        if (item && (item->displayAlignment & Qt::AlignRight))
            r.setRight(r.right() - rightInk(item->font, item->text));
        return r;
    }
};

} // namespace

LogGridView::LogGridView(QWidget *parent) : QTableView(parent)
{
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setTabKeyNavigation(true);
    setShowGrid(true);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setHighlightSections(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setHighlightSections(false);
    verticalHeader()->setFixedWidth(12);
    verticalHeader()->setSectionsClickable(false);
    auto *style = new SlimCellStyle(QApplication::style()->name());
    style->setParent(this);
    setStyle(style);
    QFont titles(QStringLiteral("MS Sans Serif"));
    titles.setPixelSize(11);
    horizontalHeader()->setFont(titles);
    // The selection stays visible when the grid does not have the focus.
    QPalette pal = palette();
    pal.setColor(QPalette::Inactive, QPalette::Highlight,
                 pal.color(QPalette::Active, QPalette::Highlight));
    pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
                 pal.color(QPalette::Active, QPalette::HighlightedText));
    setPalette(pal);

    m_follow.setSingleShot(true);
    m_follow.setInterval(kFollowMs);
    connect(&m_follow, &QTimer::timeout, this, [this] {
        syncScrollBar();
        followCurrent();
    });
}

void LogGridView::setLogModel(LogTableModel *model)
{
    m_model = model;
    setModel(model);
    // The design's widths, but the No column takes what six digits need; the difference comes
    // off the Unit column, whose short symbols leave it room to spare, so the columns keep the
    // design's total.
    int widths[std::size(kColumnWidths)];
    std::copy(std::begin(kColumnWidths), std::end(kColumnWidths), widths);
    QChar widest = u'0';
    for (QChar digit = u'0'; digit <= u'9'; digit = QChar(digit.unicode() + 1))
        if (fontMetrics().horizontalAdvance(digit) > fontMetrics().horizontalAdvance(widest))
            widest = digit;
    const int noWidth = cellWidthFor(font(), QString(kNoDigits, widest));
    int unitNeeds = 0;
    for (const QString &unit : unitTexts())
        unitNeeds = std::max(unitNeeds, cellWidthFor(model->unitFont(), unit));
    const int moved = std::clamp(noWidth - widths[kNoColumn], 0,
                                 std::max(0, widths[kUnitColumn] - unitNeeds));
    widths[kNoColumn] += moved;
    widths[kUnitColumn] -= moved;
    for (int c = 0; c < int(std::size(widths)); ++c)
        setColumnWidth(c, widths[c]);

    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 3);
    connect(model, &LogTableModel::totalChanged, this, &LogGridView::scheduleFollow);
    connect(model, &LogTableModel::currentRecordChanged, this, &LogGridView::scheduleFollow);
    connect(model, &QAbstractItemModel::modelReset, this, &LogGridView::showCurrent);
    updateGeometries();
    followCurrent();
}

const QStringList &LogGridView::unitTexts()
{
    static const QStringList kUnits = {
        QStringLiteral("V"),  QStringLiteral("A"),  QStringLiteral("*"),  QStringLiteral("F"),
        QStringLiteral("#"),  QStringLiteral("?"),  QStringLiteral("Hz"), QStringLiteral("%"),
        QStringLiteral("nV"), QStringLiteral("mV"), QStringLiteral("uV"), QStringLiteral("nA"),
        QStringLiteral("mA"), QStringLiteral("uA"), QStringLiteral("nF"), QStringLiteral("mF"),
        QStringLiteral("uF"), QStringLiteral("k*"), QStringLiteral("M*"),
        QStringLiteral("kHz"), QStringLiteral("MHz")};
    return kUnits;
}

// The delegate's text margin on either side, the ink that may reach past the advance, and the
// grid line.
int LogGridView::cellWidthFor(const QFont &font, const QString &text) const
{
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    return QFontMetrics(font).horizontalAdvance(text) + 2 * margin + rightInk(font, text) +
           (showGrid() ? 1 : 0);
}

int LogGridView::visibleRows() const
{
    const int rowHeight = std::max(1, verticalHeader()->defaultSectionSize());
    return std::max(1, viewport()->height() / rowHeight);
}

void LogGridView::updateGeometries()
{
    QTableView::updateGeometries();
    if (!m_model)
        return;
    fitLastColumn();
    if (m_model->windowRows() != visibleRows())
        m_model->setWindow(m_model->first(), visibleRows());
    syncScrollBar();
}

// The last column ("AUTO") takes the room the others leave, no more: a wider one would run under
// the scroll bar, with its title centred out of sight ("AUT") and a horizontal scroll bar taking
// a row of the grid.
void LogGridView::fitLastColumn()
{
    QHeaderView *header = horizontalHeader();
    const int last = header->count() - 1;
    if (last < 0)
        return;
    const int room = viewport()->width() - header->sectionPosition(last);
    if (room >= header->minimumSectionSize() && header->sectionSize(last) != room)
        header->resizeSection(last, room);
}

// The scroll bar counts records of the whole log; its value is the window's first record.
void LogGridView::syncScrollBar()
{
    if (!m_model)
        return;
    const int rows = m_model->windowRows();
    const qint64 total = m_model->totalRows();
    QScrollBar *bar = verticalScrollBar();
    const QSignalBlocker block(bar);
    bar->setRange(0, int(std::min<qint64>(INT_MAX, std::max<qint64>(0, total - rows))));
    bar->setPageStep(rows);
    bar->setSingleStep(1);
    bar->setValue(int(std::min<qint64>(INT_MAX, m_model->first())));
}

void LogGridView::scrollContentsBy(int dx, int dy)
{
    QTableView::scrollContentsBy(dx, 0);
    if (dy == 0 || !m_model)
        return;
    m_model->setWindow(verticalScrollBar()->value(), m_model->windowRows());
    showCurrent();
}

void LogGridView::scrollToRecord(qint64 row)
{
    if (!m_model || row < 0)
        return;
    const int rows = m_model->windowRows();
    qint64 first = m_model->first();
    if (row < first)
        first = row;
    else if (row >= first + rows)
        first = row - rows + 1;
    m_model->setWindow(first, rows);
    syncScrollBar();
}

void LogGridView::scheduleFollow()
{
    if (!m_model)
        return;
    const qint64 row = m_model->currentRecord() - m_model->first();
    if (row >= 0 && row < m_model->rowCount())
        showCurrent(); // in view: only the marks move, at once
    if (!m_follow.isActive())
        m_follow.start();
}

// The table's current record moved (a new reading, a walk, a click): keep it in view.
void LogGridView::followCurrent()
{
    if (!m_model)
        return;
    scrollToRecord(m_model->currentRecord());
    showCurrent();
}

// Marks the current record's cell, or nothing when it is outside the window.
void LogGridView::showCurrent()
{
    if (!m_model || !selectionModel())
        return;
    const qint64 row = m_model->currentRecord() - m_model->first();
    const int column = std::max(0, currentIndex().column());
    m_syncing = true;
    if (row >= 0 && row < m_model->rowCount())
        selectionModel()->setCurrentIndex(m_model->index(int(row), column),
                                          QItemSelectionModel::ClearAndSelect);
    else
        selectionModel()->clear();
    m_syncing = false;
}

void LogGridView::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    QTableView::currentChanged(current, previous);
    if (m_syncing || !m_model || !current.isValid())
        return;
    const qint64 row = m_model->first() + current.row();
    if (row != m_model->currentRecord())
        m_model->moveToRecord(row);
}

QModelIndex LogGridView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers)
{
    if (!m_model || m_model->totalRows() == 0)
        return QTableView::moveCursor(cursorAction, modifiers);
    const qint64 current = m_model->first() + std::max(0, currentIndex().row());
    const qint64 last = m_model->totalRows() - 1;
    qint64 target = current;
    switch (cursorAction) {
    case MoveUp:
        target = current - 1;
        break;
    case MoveDown:
        target = current + 1;
        break;
    case MovePageUp:
        target = current - m_model->windowRows();
        break;
    case MovePageDown:
        target = current + m_model->windowRows();
        break;
    case MoveHome:
        if (!(modifiers & Qt::ControlModifier))
            return QTableView::moveCursor(cursorAction, modifiers);
        target = 0;
        break;
    case MoveEnd:
        if (!(modifiers & Qt::ControlModifier))
            return QTableView::moveCursor(cursorAction, modifiers);
        target = last;
        break;
    default:
        return QTableView::moveCursor(cursorAction, modifiers);
    }
    target = std::clamp<qint64>(target, 0, last);
    scrollToRecord(target);
    return m_model->index(int(target - m_model->first()), std::max(0, currentIndex().column()));
}
