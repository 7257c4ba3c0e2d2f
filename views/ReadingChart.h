#pragma once

#include "ChartPaging.h"
#include "PointStore.h"

#include <QList>
#include <QObject>
#include <QPointF>
#include <QPointer>

#include <QChart>

class QAreaSeries;
class QChartView;
class QWidget;
class QLineSeries;
class QValueAxis;

// The trend chart: every reading as one more point, split into pages. Owns the QChart it puts
// into the given view (the window creates the view inside the Chtshow container, with the row
// of page buttons above it), and in the chart, in this list order, Series2 (area, index 0) and
// Series1 (line, index 1). Exactly one of them is shown.
//
// The points live in a PointStore of our own; Qt Charts is handed only the page on screen,
// once per change of that page, so a reading costs the same after a day as in the first
// minute. Page count, current page and clamping are ChartPaging's.
//
// Window handlers and what they call (apply pageButtonsChanged to the buttons and Bt10):
//   FormCreate     construct (the chart starts as after New, area shown); once the profile
//                  is applied setValueRange(CountFull)
//   TrackPeaks, when the unit or decimal point changed (LimitAlarms::TrackPeaks says
//                  rangeChanged): New() (applies the fill choice first)
//   LcdDisplayUlmara, last for each decoded frame: PlotReading(the frame's chart value)
//   BtFirstClick / BTPreviousClick / BtNextClick / BTlastClick (buttons and Graphic menu):
//                  First() / Previous() / Next() / Last()
//   BtNewClick     New()
//   btFillClick    btFillClick(BtFill->isChecked())
//   FillClick      FillClick()  (fillChanged tells both the box and the menu item)
//   MaxrecordExit  (Maxrecord textChanged) MaxrecordExit(text); show a non-empty result
//   BtSaveClick    Save(defaultSavePath()); empty result: show savedMessage(path), else the
//                  error
//   TbFdClick      ChartEnlarge, applied to the Chtshow container
class ReadingChart : public QObject
{
    Q_OBJECT
public:
    // Index of each series in the chart's list, as ShowSeries takes it.
    static constexpr int kAreaIndex = 0;
    static constexpr int kLineIndex = 1;

    // The most points handed to Qt Charts for one page; longer pages are summarised.
    static constexpr int kMaxDrawnPoints = 1024;

    // The chart is given to `view`, which owns it from then on; either may be deleted first.
    explicit ReadingChart(QChartView *view, QObject *parent = nullptr);
    // A chart view made inside `frame`, filling it beneath whatever already lies over it.
    static ReadingChart *createIn(QWidget *frame, QObject *parent);
    // The view fills its frame again (after the frame was enlarged or restored).
    void fitFrame();
    ~ReadingChart() override;

    QChart *chart() const { return m_chart.data(); }
    QAreaSeries *Series2() const { return m_series2; }
    QLineSeries *Series1() const { return m_series1; }

    // The fixed value axis: -countFull .. countFull.
    void setValueRange(int countFull);

    // Shows the series at list index `index` (0 area, 1 line) and hides the other. Other
    // indices change nothing.
    void ShowSeries(int index);
    int shownSeries() const { return m_shown; }

    // Restarts the chart: each series holds only its placeholder point, and the fill choice
    // is applied. The current page, Bt10 and LivePaging stay as they are.
    void New();

    // Adds a reading's display count to Series1, follows the newest page when LivePaging,
    // then adds it to Series2. The page count seen while following therefore includes the
    // new point when the line is shown and leaves it out when the area is shown.
    void PlotReading(double value);
    // The same as PlotReading for each value in turn, with the page brought up to date once at
    // the end: for loading a long history (benchmarks, a run replayed) without a redraw per point.
    void PlotReadings(const float *values, qsizetype count);

    void First();
    void Previous();
    void Next();
    void Last();

    // Page size from the Maxrecord text; returns the error to show, empty on success.
    QString MaxrecordExit(const QString &text);

    // The fill choice: on shows the area series, off the line series. fillChanged tells the
    // window to set both BtFill and the Graphic menu's "Fill" item, so they always agree.
    bool fill() const { return m_fill; }
    void btFillClick(bool checked);
    void FillClick();

    // Number of points each series holds (both hold the same outside PlotReading).
    qint64 pointCount() const { return m_points.size(); }
    const ChartPaging &paging() const { return m_paging; }
    const PointStore &points() const { return m_points; }
    const PageButtons &pageButtons() const { return m_paging.buttons(); }

    // The points Qt Charts currently holds for the shown series.
    QList<QPointF> drawnPoints() const;

    // Writes the chart as shown, at its current size, on white, as a BMP file, replacing a
    // file of that name only once the new one is complete. Returns the error, empty on
    // success.
    QString Save(const QString &path) const;

    // The fixed place of the chart picture: databmp.bmp in the user's home folder.
    static QString defaultSavePath();
    // The confirmation after a successful save, naming the file written.
    static QString savedMessage(const QString &path);

signals:
    void pageButtonsChanged(const PageButtons &buttons);
    void fillChanged(bool on);

private:
    QLineSeries *lineOf(int index) const;
    void refreshPage();
    void repaintWholeView();
    void repaintFrom(double x);
    void afterMove();
    void announceButtons();

    QPointer<QChartView> m_view;
    QPointer<QChart> m_chart; // goes with the view when the view is deleted first
    QAreaSeries *m_series2 = nullptr;
    QLineSeries *m_series2Line = nullptr; // upper edge of the area
    QLineSeries *m_series1 = nullptr;
    QValueAxis *m_axisX = nullptr;
    QValueAxis *m_axisY = nullptr;

    PointStore m_points;
    ChartPaging m_paging;
    int m_shown = kAreaIndex;
    int m_drawnSeries = -1; // the series the last refreshPage drew
    bool m_fill = true;
    PageButtons m_announced;
    QList<QPointF> m_pageBuffer;
};
