#pragma once
// The Train view: one train's summary, axles and chart.
#include <QChartView>
#include <QWidget>
#include <utility>
#include <vector>

#include "records/TrainHistory.h"

class QLabel;
class QTableWidget;

// The chart of one train: hot box left and right (left axis), hot wheel
// left and right (right axis) per axle, cars as bands, readings at their
// maximum marked. Wheel zooms, the rubber band zooms in, right-drag pans.
class TrainChartView : public QChartView {
    Q_OBJECT
public:
    explicit TrainChartView(QWidget* parent = nullptr);
    void SetTrain(const std::vector<ReportAxle>& axles);
    void ResetZoom();
    int MarkedReadings() const { return marked_; }

protected:
    void drawBackground(QPainter* painter, const QRectF& rect) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    std::vector<std::pair<int, int>> cars_;  // first and last axle of each car
    int marked_ = 0;
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
    bool ExportPng(const QString& path);
    bool ExportCsv(const QString& path);
    QString ReportPath() const;

private:
    TrainRow train_;
    std::vector<ReportAxle> axles_;
    QLabel* summary_;
    TrainChartView* chart_;
    QTableWidget* axleTable_;
};
