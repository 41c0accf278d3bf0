#pragma once
// The Alarms view: every alarm of the history, the open ones first, newest
// first; acknowledging them, and opening an alarm's train at its axle.
#include <QAbstractTableModel>
#include <QDialog>
#include <QWidget>
#include <map>
#include <memory>
#include <vector>

#include "engine/Alarms.h"
#include "records/TrainHistory.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

// The alarms, read a page at a time as they are shown.
class AlarmsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Received, Site, TrainNumber, Kind, Axle, CarAxle, Side, Reading, Acknowledged, ColumnCount };
    static constexpr int kPageRows = 256;
    using QAbstractTableModel::QAbstractTableModel;
    // Reads the count again, forgets the pages read, and the rules' display.
    void Reload();
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // The row (read on demand); null outside the model.
    const AlarmRow* Row(int row) const;

private:
    QString ReadingText(const AlarmRow& a) const;
    std::unique_ptr<TrainHistory> history_;
    AlarmRules rules_;
    std::int64_t count_ = 0;
    mutable std::map<std::int64_t, std::vector<AlarmRow>> pages_;
};

// Who acknowledges (remembered for the next time) and an optional comment.
class AcknowledgeDialog : public QDialog {
    Q_OBJECT
public:
    explicit AcknowledgeDialog(int alarms, QWidget* parent = nullptr);
    QString Operator() const;
    QString Comment() const;
    void accept() override;

private:
    QLineEdit* name_;
    QLineEdit* comment_;
};

class AlarmsView : public QWidget {
    Q_OBJECT
public:
    explicit AlarmsView(QWidget* parent = nullptr);
    AlarmsModel* Model() const { return model_; }
    QTableView* Table() const { return table_; }
    void Refresh();
    // Asks who acknowledges the selected open alarms, then stores it.
    void AcknowledgeSelection();
    // Stores the acknowledgement of the selected open alarms; how many were
    // acknowledged (a refusal is said in a message box).
    int AcknowledgeSelected(const QString& by, const QString& comment);

signals:
    // Enter or a double click: the alarm's train, at its axle (0: none).
    void OpenAlarm(qint64 trainId, int axle);

private:
    std::vector<std::int64_t> SelectedOpenAlarms() const;
    AlarmsModel* model_;
    QTableView* table_;
    QLabel* count_;
    QPushButton* ack_;
};
