#pragma once
// The Train view: one train's summary, axles and chart.
#include <QChartView>
#include <QWidget>
#include <utility>
#include <vector>

#include "records/TrainHistory.h"

class QLabel;
class QTableWidget;
class QValueAxis;

// The chart of one train in two plots over one axle axis: hot box left and
// right above (left scale), hot wheel left and right below (right scale),
// left solid and right dashed, cars as numbered bands, readings at their
// maximum marked. The wheel zooms the axles around the pointer, the rubber
// band zooms into the axles dragged over, right-drag pans; the readings
// keep their whole scale. A tooltip tells the axle under the pointer.
class TrainChartView : public QChartView {
    Q_OBJECT
public:
    explicit TrainChartView(QWidget* parent = nullptr);
    void SetTrain(const std::vector<ReportAxle>& axles);
    void ResetZoom();
    int MarkedReadings() const { return marked_; }
    // The axles shown (first, last), as the axle axis has them.
    std::pair<double, double> AxleRange() const;
    // Zooms the axle axis by `factor` (below 1: in) around axle `at`.
    void ZoomAxles(double factor, double at);
    // The tooltip of an axle: its car, and both sides' readings.
    QString AxleText(int axle) const;
    // The readings' scales: hot box, hot wheel (null without hot-wheel data).
    QValueAxis* BoxAxis() const { return boxAxis_; }
    QValueAxis* WheelAxis() const { return wheelAxis_; }
    // An axle marked with a band (an alarm's); 0: none.
    void MarkAxle(int axle);
    int MarkedAxle() const { return markedAxle_; }

protected:
    void drawBackground(QPainter* painter, const QRectF& rect) override;
    void drawForeground(QPainter* painter, const QRectF& rect) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void TickAxles();
    std::vector<ReportAxle> axles_;
    std::vector<std::pair<int, int>> cars_;  // first and last axle of each car
    QValueAxis* xAxis_ = nullptr;
    QValueAxis* boxAxis_ = nullptr;
    QValueAxis* wheelAxis_ = nullptr;
    int marked_ = 0;
    int markedAxle_ = 0;
    bool panning_ = false;
    QPoint lastPan_;
};

class TrainView : public QWidget {
    Q_OBJECT
public:
    explicit TrainView(QWidget* parent = nullptr);
    // Shows the train; false when the history has no such train.
    bool ShowTrain(qint64 id);
    qint64 TrainId() const { return train_.id; }
    QString Summary() const;
    QTableWidget* AxleTable() const { return axleTable_; }
    TrainChartView* Chart() const { return chart_; }
    // Selects the axle's row and marks it in the chart, zooming in on a
    // long train (an alarm's axle); 0 marks none.
    void ShowAxle(int axle);
    int MarkedAxle() const { return chart_->MarkedAxle(); }
    // The chart with a title line (site, train, time) as a PNG; false with
    // the reason in *why.
    bool ExportPng(const QString& path, QString* why = nullptr);
    bool ExportCsv(const QString& path, QString* why = nullptr);
    QString ReportPath() const;
    // "site-00500-train-301": the start of the export files' names.
    QString ExportName() const;
    // The report file in the desktop's viewer, or in a read-only window of
    // the console's own (returned) when there is none; a report that cannot
    // be read is said in a message box.
    QWidget* OpenReport();

private:
    TrainRow train_;
    std::vector<ReportAxle> axles_;
    QLabel* summary_;
    TrainChartView* chart_;
    QTableWidget* axleTable_;
};
