#pragma once
// The Sites view: one row per site, live.
#include <QAbstractTableModel>
#include <QWidget>
#include <vector>

#include "engine/SiteBoard.h"

class QSortFilterProxyModel;
class QTableView;

class SitesModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Radio, Site, Type, Name, Health, Milepost, Track, LastHeard, LastPowerup, Today, Week,
                  AlarmsToday, Retried, GivenUp, FrameErrors, LastMessage, ColumnCount };
    // What the console adds to a site's row: its alarms today and whether
    // its newest train told of an equipment fault.
    struct HealthInfo {
        int alarmsToday = 0;
        bool equipmentFault = false;
        QString faults;  // the equipment messages, for the tooltip
    };
    // The value a column is sorted by.
    static constexpr int SortRole = Qt::UserRole + 1;
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void SetRows(std::vector<SiteRow> rows, std::vector<HealthInfo> health = {});
    const SiteRow& Row(int row) const { return rows_.at(static_cast<std::size_t>(row)); }
    // "OK", "equipment fault", "alarm today" or "silent" (the worst first).
    QString HealthText(int row) const;

private:
    std::vector<SiteRow> rows_;
    std::vector<HealthInfo> health_;
};

class SitesView : public QWidget {
    Q_OBJECT
public:
    explicit SitesView(QWidget* parent = nullptr);
    ~SitesView() override;
    // The rows in the model's own order; the table shows them sorted.
    SitesModel* Model() const { return model_; }
    QSortFilterProxyModel* Sorted() const { return sorted_; }
    QTableView* Table() const { return table_; }
    void Refresh();

signals:
    void OpenTrainsOfSite(int siteNumber);

private:
    SitesModel* model_;
    QSortFilterProxyModel* sorted_;
    QTableView* table_;
    bool sized_ = false;
};
