#include "ReadingChart.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QDir>
#include <QImageWriter>
#include <QLineSeries>
#include <QPainter>
#include <QSaveFile>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace {
// Every reading's point is blue. Qt Charts colours a series as a whole, so each series is
// drawn in its readings' colour; the area keeps its own outline colour.
const QColor kReadingColour(0, 0, 255);
const QColor kAreaOutline(0, 128, 255);
const QColor kValueAxisLine(0, 64, 128);
const QColor kChartColour(192, 221, 248);
const QColor kSilver(192, 192, 192);
const QColor kTitleColour(0, 0, 255);

// The sample value of the placeholder point New puts in; any value would do.
constexpr float kPlaceholderValue = 0.0f;

// The value axis as designed, before start-up sets it to the count range.
constexpr int kDesignValueRange = 4100;
} // namespace

ReadingChart::ReadingChart(QChartView *view, QObject *parent) : QObject(parent), m_view(view)
{
    m_chart = new QChart;
    m_chart->setAnimationOptions(QChart::NoAnimation);
    m_chart->legend()->hide();
    m_chart->setTitle(QStringLiteral("  "));
    QFont titleFont(QStringLiteral("Arial"));
    titleFont.setPixelSize(13);
    m_chart->setTitleFont(titleFont);
    m_chart->setTitleBrush(kTitleColour);

    QLinearGradient background(0.0, 0.0, 0.0, 1.0);
    background.setCoordinateMode(QGradient::ObjectBoundingMode);
    background.setColorAt(0.0, kSilver);
    background.setColorAt(1.0, Qt::white);
    m_chart->setBackgroundBrush(background);
    m_chart->setBackgroundRoundness(0);
    m_chart->setPlotAreaBackgroundBrush(Qt::white); // the back wall
    m_chart->setPlotAreaBackgroundVisible(true);
    QMargins margins = m_chart->margins();
    margins.setLeft(1);
    margins.setBottom(1);
    m_chart->setMargins(margins);

    m_series2Line = new QLineSeries;
    m_series2 = new QAreaSeries(m_series2Line);
    m_series2Line->setParent(m_series2);
    m_series2->setName(QStringLiteral("Series2"));
    m_series2->setBrush(kReadingColour);
    m_series2->setPen(QPen(kAreaOutline, 1));
    m_series2->setPointsVisible(false);
    m_series2->setPointLabelsVisible(false);

    m_series1 = new QLineSeries;
    m_series1->setName(QStringLiteral("Series1"));
    m_series1->setPen(QPen(kReadingColour, 1));
    m_series1->setPointsVisible(false);
    m_series1->setPointLabelsVisible(false);

    m_chart->addSeries(m_series2);
    m_chart->addSeries(m_series1);

    m_axisX = new QValueAxis;
    m_axisX->setLabelFormat(QStringLiteral("%d"));
    // Ticks start at the page's first point and split the page in quarters (0, 25, 50, 75
    // rather than 0, 24, 49, 74 for a page of 100).
    m_axisX->setTickType(QValueAxis::TicksDynamic);
    m_axisY = new QValueAxis;
    m_axisY->setLabelFormat(QStringLiteral("%d"));
    m_axisY->setLinePen(QPen(kValueAxisLine, 1, Qt::DashLine));
    m_axisY->setMinorTickCount(4);
    m_axisY->setRange(-kDesignValueRange, kDesignValueRange);
    m_chart->addAxis(m_axisX, Qt::AlignBottom);
    m_chart->addAxis(m_axisY, Qt::AlignLeft);
    for (QAbstractSeries *series :
         {static_cast<QAbstractSeries *>(m_series2), static_cast<QAbstractSeries *>(m_series1)}) {
        series->attachAxis(m_axisX);
        series->attachAxis(m_axisY);
    }

    if (m_view) {
        m_view->setChart(m_chart);
        m_view->setBackgroundBrush(kChartColour);
        m_view->setRubberBand(QChartView::RectangleRubberBand);
        m_view->setCursor(Qt::CrossCursor);
        m_view->setFrameShape(QFrame::Panel);
        m_view->setFrameShadow(QFrame::Sunken);
    }

    New();
}

ReadingChart *ReadingChart::createIn(QWidget *frame, QObject *parent)
{
    auto *view = new QChartView(frame);
    auto *chart = new ReadingChart(view, parent);
    chart->fitFrame();
    view->lower();
    return chart;
}

void ReadingChart::fitFrame()
{
    if (m_view && m_view->parentWidget())
        m_view->setGeometry(m_view->parentWidget()->contentsRect());
}

ReadingChart::~ReadingChart()
{
    // A view owns the chart it was given (and has deleted it if it went first); a chart that
    // never went into a view is ours.
    if (m_chart && !m_chart->scene())
        delete m_chart;
}

void ReadingChart::setValueRange(int countFull)
{
    m_axisY->setRange(-double(countFull), double(countFull));
    repaintWholeView();
}

// The area series only asks for its new outline to be repainted, so a page that shrinks, moves
// or restarts would leave the old fill on screen. Repainting the whole view at every reading
// instead would repaint the buttons that lie over the chart too, at a cost larger than the rest
// of the reading's path: only a change other than points added at the page's end does it.
void ReadingChart::repaintWholeView()
{
    if (m_view)
        m_view->viewport()->update();
}

// The view from the reading number `x` rightwards, over its whole height: where points changed
// rather than were added, the fill under their old line goes with it.
void ReadingChart::repaintFrom(double x)
{
    if (!m_view)
        return;
    const QPointF inChart = m_chart->mapToPosition(QPointF(x, 0.0), lineOf(m_shown));
    const int left = m_view->mapFromScene(m_chart->mapToScene(inChart)).x() - 2;
    QWidget *viewport = m_view->viewport();
    viewport->update(QRect(left, 0, viewport->width() - left, viewport->height()));
}

QLineSeries *ReadingChart::lineOf(int index) const
{
    return index == kAreaIndex ? m_series2Line : m_series1;
}

void ReadingChart::ShowSeries(int index)
{
    if (index != kAreaIndex && index != kLineIndex)
        return;
    if (index != m_shown)
        lineOf(m_shown)->clear(); // a hidden series holds nothing Qt Charts must keep
    m_series2->setVisible(index == kAreaIndex);
    m_series1->setVisible(index == kLineIndex);
    m_shown = index;
    refreshPage();
}

void ReadingChart::New()
{
    m_points.reset(kPlaceholderValue);
    ShowSeries(m_fill ? kAreaIndex : kLineIndex);
}

void ReadingChart::PlotReading(double value)
{
    m_points.append(float(value));
    const qint64 lineCount = m_points.size();
    const qint64 shownCount = m_shown == kLineIndex ? lineCount : lineCount - 1;
    const bool moved = m_paging.follow(shownCount);
    // Adding the reading to Series2 needs nothing more: the store holds it for both series.

    const qint64 newest = lineCount - 1;
    if (moved || (newest >= m_paging.pageBegin(lineCount) && newest < m_paging.pageEnd(lineCount)))
        refreshPage();
    announceButtons();
}

void ReadingChart::PlotReadings(const float *values, qsizetype count)
{
    if (count <= 0)
        return;
    for (qsizetype i = 0; i < count; ++i)
        m_points.append(values[i]);
    const qint64 lineCount = m_points.size();
    m_paging.follow(m_shown == kLineIndex ? lineCount : lineCount - 1);
    refreshPage();
    announceButtons();
}

void ReadingChart::refreshPage()
{
    const qint64 n = m_points.size();
    QLineSeries *line = lineOf(m_shown);
    const QList<QPointF> before = line->points(); // shared, not copied
    m_points.pagePoints(m_paging.pageBegin(n), m_paging.pageEnd(n), kMaxDrawnPoints,
                        m_shown == kAreaIndex ? PointStore::Summary::Upper
                                              : PointStore::Summary::Envelope,
                        m_pageBuffer);
    // Where the drawn points first differ from those before: on a page that only grew, at its
    // old end. A summarised page redraws its last bucket or two as readings arrive.
    const qsizetype common = qMin(before.size(), m_pageBuffer.size());
    const qsizetype changedFrom =
        std::mismatch(before.cbegin(), before.cbegin() + common, m_pageBuffer.cbegin()).first -
        before.cbegin();
    const bool sameSeries = m_drawnSeries == m_shown;
    line->replace(m_pageBuffer);
    m_drawnSeries = m_shown;
    const double min = m_paging.axisMin();
    const double max = m_paging.axisMax(n);
    bool sameAxis = true;
    if (m_axisX->min() != min || m_axisX->max() != max) {
        m_axisX->setRange(min, max);
        m_axisX->setTickAnchor(min);
        m_axisX->setTickInterval(qMax(1.0, std::ceil((max - min) / 4.0)));
        sameAxis = false;
    }
    if (!sameSeries || !sameAxis || changedFrom == 0)
        repaintWholeView();
    else if (changedFrom < before.size())
        repaintFrom(before.at(changedFrom - 1).x());
}

void ReadingChart::afterMove()
{
    refreshPage();
    announceButtons();
}

void ReadingChart::announceButtons()
{
    if (m_paging.buttons() == m_announced)
        return;
    m_announced = m_paging.buttons();
    emit pageButtonsChanged(m_announced);
}

void ReadingChart::First()
{
    m_paging.First(m_points.size());
    afterMove();
}

void ReadingChart::Previous()
{
    m_paging.Previous(m_points.size());
    afterMove();
}

void ReadingChart::Next()
{
    m_paging.Next(m_points.size());
    afterMove();
}

void ReadingChart::Last()
{
    m_paging.Last(m_points.size());
    afterMove();
}

QString ReadingChart::MaxrecordExit(const QString &text)
{
    const QString error = m_paging.MaxrecordExit(text, m_points.size());
    if (error.isEmpty())
        refreshPage();
    return error;
}

void ReadingChart::btFillClick(bool checked)
{
    m_fill = checked;
    emit fillChanged(m_fill);
    ShowSeries(m_fill ? kAreaIndex : kLineIndex);
}

void ReadingChart::FillClick()
{
    btFillClick(!m_fill);
}

QList<QPointF> ReadingChart::drawnPoints() const
{
    return lineOf(m_shown)->points();
}

QString ReadingChart::Save(const QString &path) const
{
    if (!m_view)
        return tr("The chart cannot be saved: it is not shown.");

    QImage picture(m_view->size(), QImage::Format_RGB32);
    picture.fill(Qt::white);
    {
        QPainter painter(&picture);
        m_view->render(&painter);
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return tr("Cannot write %1: %2").arg(path, file.errorString());
    QImageWriter writer(&file, "bmp");
    if (!writer.write(picture)) {
        file.cancelWriting();
        return tr("Cannot write %1: %2").arg(path, writer.errorString());
    }
    if (!file.commit())
        return tr("Cannot write %1: %2").arg(path, file.errorString());
    return {};
}

QString ReadingChart::defaultSavePath()
{
    return QDir::home().filePath(QStringLiteral("databmp.bmp"));
}

QString ReadingChart::savedMessage(const QString &path)
{
    return QStringLiteral("graphic has saved on ") + path;
}
