#pragma once
// The console's views of the sites and the trains: Sites (one row per site,
// live), Trains (the train history, newest first, filtered, fetched page by
// page so any number of trains opens at once) and Train (one train's
// summary, axles and chart). Each is a tab like the serial scope.
#include <QAbstractTableModel>
#include <QChartView>
#include <QDate>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/HistoryRecorder.h"
#include "engine/SiteBoard.h"
#include "records/TrainHistory.h"

class QCheckBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QTableView;
class QTableWidget;
class QChart;

// The console's link to the engine's events and the train history: runs the
// history recorder and the site board, and tells the views (on the
// user-interface thread) when something changed.
class ConsoleHistory : public QObject {
    Q_OBJECT
public:
    explicit ConsoleHistory(QObject* parent = nullptr);
    ~ConsoleHistory() override;

    // The one instance while it lives (null before and after).
    static ConsoleHistory* Instance();

    // Subscribes the recorder and the board to the engine's events; the
    // recorder catches up with the report folder of `dataFolder`.
    void Start(const std::string& dataFolder);
    // Ends the subscriptions (a catch-up still running is cut short).
    void Stop();
    // Only reads the history of `dataFolder`, keeping nothing up to date
    // (benchmarks over a history made without report files).
    void ReadOnly(const std::string& dataFolder) { dataFolder_ = dataFolder; }

    const SiteBoard& Board() const { return board_; }
    std::string DataFolder() const { return dataFolder_; }
    // A read-only connection of its own for a view; null while there is no
    // history yet.
    std::unique_ptr<TrainHistory> OpenReader() const;
    // Hours without a sign of life before a site is marked silent: the
    // settings file's [Sites] Silent_Hours, 24 when not set.
    int SilentHours() const;

signals:
    // Something happened on the line (queued to the user-interface thread).
    void SitesChanged();
    // Rows of the history were added or changed.
    void TrainsChanged();

private:
    class Relay;
    SiteBoard board_;
    std::unique_ptr<HistoryRecorder> recorder_;
    std::unique_ptr<Relay> relay_;
    std::string dataFolder_;
    bool started_ = false;
};

class SitesModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Radio, Site, Type, Name, Milepost, Track, LastHeard, LastPowerup, Today, Week,
                  Retried, GivenUp, FrameErrors, LastMessage, ColumnCount };
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void SetRows(std::vector<SiteRow> rows);
    const SiteRow& Row(int row) const { return rows_.at(static_cast<std::size_t>(row)); }

private:
    std::vector<SiteRow> rows_;
};

// The trains of the history for a filter, newest first unless sorted
// otherwise. Only the rows shown are read, a page at a time.
class TrainsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Id, Site, Radio, Track, FirstTime, TrainNumber, Axles, Cars, HotBox, HotWheel,
                  Maxed, Messages, ColumnCount };
    static constexpr int kPageRows = 256;

    explicit TrainsModel(QObject* parent = nullptr);
    // The history to read (owned); null shows nothing.
    void SetHistory(std::unique_ptr<TrainHistory> history);
    void SetFilter(const TrainFilter& filter);
    const TrainFilter& Filter() const { return filter_; }
    // Counts again and forgets the pages read (new trains, a new filter).
    void Reload();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void sort(int column, Qt::SortOrder order) override;

    // The row (read on demand); null outside the model.
    const TrainRow* Row(int row) const;
    // Pages read from the database since the last Reload (tests, benchmarks).
    int PagesRead() const { return pagesRead_; }

private:
    std::unique_ptr<TrainHistory> history_;
    TrainFilter filter_;
    TrainOrder order_ = TrainOrder::Time;
    bool ascending_ = false;
    std::int64_t count_ = 0;
    mutable std::map<std::int64_t, std::vector<TrainRow>> pages_;
    mutable int pagesRead_ = 0;
};

class SitesView : public QWidget {
    Q_OBJECT
public:
    explicit SitesView(QWidget* parent = nullptr);
    SitesModel* Model() const { return model_; }
    QTableView* Table() const { return table_; }
    void Refresh();

signals:
    void OpenTrainsOfSite(int siteNumber);

private:
    SitesModel* model_;
    QTableView* table_;
};

class TrainsView : public QWidget {
    Q_OBJECT
public:
    explicit TrainsView(QWidget* parent = nullptr);
    TrainsModel* Model() const { return model_; }
    QTableView* Table() const { return table_; }
    // Shows the trains of one site number (-1: all).
    void ShowSite(int siteNumber);
    void Refresh();

signals:
    void OpenTrain(qint64 id);

private:
    void ApplyFilter();
    TrainsModel* model_;
    QTableView* table_;
    QLineEdit* site_;
    QCheckBox* useFrom_;
    QCheckBox* useTo_;
    QDateEdit* from_;
    QDateEdit* to_;
    QCheckBox* alarms_;
    QLabel* count_;
};

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
