#pragma once
// The Trains view: the train history, newest first, filtered, fetched page
// by page so any number of trains opens at once.
#include <QAbstractTableModel>
#include <QDateEdit>
#include <QWidget>
#include <map>
#include <memory>
#include <vector>

#include "records/TrainHistory.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

// The trains of the history for a filter, newest received first unless
// sorted otherwise. Only the rows shown are read, a page at a time. The
// list is held at the newest train it was read with: trains indexed later
// come in above when the list is newest first (Update), and are only
// counted otherwise, so rows never move under the operator.
class TrainsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Id, Site, Radio, Track, FirstTime, Received, TrainNumber, Axles, Cars, HotBox, HotWheel,
                  Maxed, Messages, ColumnCount };
    // The value a column is sorted by (SortRole); Qt::UserRole is the train's id.
    static constexpr int SortRole = Qt::UserRole + 1;
    static constexpr int kPageRows = 256;

    explicit TrainsModel(QObject* parent = nullptr);
    // The history to read (owned); null shows nothing.
    void SetHistory(std::unique_ptr<TrainHistory> history);
    // False without a history, or when its file was deleted or replaced.
    bool HistoryIsCurrent() const { return history_ && history_->IsCurrentFile(); }
    void SetFilter(const TrainFilter& filter);
    // Lists nothing (a filter that cannot match, such as From after To).
    void ShowNone();
    const TrainFilter& Filter() const { return filter_; }
    TrainHistory* History() const { return history_.get(); }
    // Counts again and forgets the pages read (a new filter, an order).
    void Reload();
    // Takes in the trains indexed since: returns how many came in at the
    // top (rows inserted, the rest kept), 0 when none or when they are
    // only counted (NewTrainsHeld), -1 when the list had to be read anew.
    int Update();
    // Trains indexed since the list was read that it does not show yet.
    int NewTrainsHeld() const { return held_; }
    // True when new trains come in at the top: newest received (or id) first.
    bool NewestFirst() const;

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
    TrainFilter Held(std::int64_t maxId) const;
    std::int64_t NewestId() const;
    std::unique_ptr<TrainHistory> history_;
    TrainFilter filter_;
    bool none_ = false;
    TrainOrder order_ = TrainOrder::Received;
    bool ascending_ = false;
    std::int64_t count_ = 0;
    std::int64_t shownMaxId_ = 0;  // the newest train the list holds
    int held_ = 0;
    mutable std::map<std::int64_t, std::vector<TrainRow>> pages_;
    mutable int pagesRead_ = 0;
};

// A date field that Tab leaves at once instead of stepping through its
// year, month and day.
class WholeDateEdit : public QDateEdit {
public:
    using QDateEdit::QDateEdit;

protected:
    bool focusNextPrevChild(bool next) override { return QWidget::focusNextPrevChild(next); }
};

class TrainsView : public QWidget {
    Q_OBJECT
public:
    explicit TrainsView(QWidget* parent = nullptr);
    ~TrainsView() override;
    TrainsModel* Model() const { return model_; }
    QTableView* Table() const { return table_; }
    // Shows the trains of one site number (-1: all).
    void ShowSite(int siteNumber);
    void Refresh();
    // The line under the filter that says why nothing matches ("" when hidden).
    QString Message() const;
    // The bar above the table that counts the trains come in unseen.
    QPushButton* NewTrainsBar() const { return newTrains_; }

signals:
    void OpenTrain(qint64 id);

private:
    void ApplyFilter();
    void ShowCount();
    void SaveSettings() const;
    void JumpToNewTrains();
    TrainsModel* model_;
    QTableView* table_;
    QLineEdit* site_;
    QCheckBox* useFrom_;
    QCheckBox* useTo_;
    QDateEdit* from_;
    QDateEdit* to_;
    QCheckBox* alarms_;
    QLabel* count_;
    QLabel* message_;
    QPushButton* newTrains_;
    int unseen_ = 0;   // trains come in above the rows in view
    bool loading_ = true;
};
