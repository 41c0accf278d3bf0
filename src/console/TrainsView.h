#pragma once
// The Trains view: the train history, newest first, filtered, fetched page
// by page so any number of trains opens at once.
#include <QAbstractTableModel>
#include <QWidget>
#include <map>
#include <memory>
#include <vector>

#include "records/TrainHistory.h"

class QCheckBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QTableView;

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
    // False without a history, or when its file was deleted or replaced.
    bool HistoryIsCurrent() const { return history_ && history_->IsCurrentFile(); }
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
