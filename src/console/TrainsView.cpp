#include "console/TrainsView.h"

#include <QBrush>
#include <QCheckBox>
#include <QDate>
#include <QDateEdit>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "console/ConsoleHistory.h"
#include "console/HistoryViewText.h"

using historyview::Text;

TrainsModel::TrainsModel(QObject* parent) : QAbstractTableModel(parent) {}

void TrainsModel::SetHistory(std::unique_ptr<TrainHistory> history) {
    history_ = std::move(history);
    Reload();
}

void TrainsModel::SetFilter(const TrainFilter& filter) {
    filter_ = filter;
    Reload();
}

void TrainsModel::Reload() {
    beginResetModel();
    pages_.clear();
    pagesRead_ = 0;
    count_ = history_ ? history_->CountTrains(filter_) : 0;
    endResetModel();
}

int TrainsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(count_);
}
int TrainsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

const TrainRow* TrainsModel::Row(int row) const {
    if (row < 0 || row >= count_ || !history_) return nullptr;
    const std::int64_t page = row / kPageRows;
    auto it = pages_.find(page);
    if (it == pages_.end()) {
        // A view shows a screenful at a time: a few pages are enough.
        if (pages_.size() >= 16) pages_.erase(pages_.begin());
        const std::int64_t start = page * kPageRows;
        std::vector<TrainRow> rows;
        if (start > count_ / 2) {
            // Past the middle the page is read from the other end, in the
            // opposite order: the end of the list is as quick as its start.
            const std::int64_t n = std::min<std::int64_t>(kPageRows, count_ - start);
            rows = history_->ListTrains(filter_, count_ - start - n, static_cast<int>(n), order_, !ascending_);
            std::reverse(rows.begin(), rows.end());
        } else {
            rows = history_->ListTrains(filter_, start, kPageRows, order_, ascending_);
        }
        it = pages_.emplace(page, std::move(rows)).first;
        ++pagesRead_;
    }
    const std::size_t at = static_cast<std::size_t>(row % kPageRows);
    return at < it->second.size() ? &it->second[at] : nullptr;
}

QVariant TrainsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const names[ColumnCount] = {"Id", "Site", "Radio", "Track", "First time",
                                                    "Train", "Axles", "Cars", "Hot box L/R",
                                                    "Hot wheel L/R", "Maxed", "Messages"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= ColumnCount)
        return {};
    return QString::fromLatin1(names[section]);
}

QVariant TrainsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    const TrainRow* r = Row(index.row());
    if (r == nullptr) return {};
    if (role == Qt::BackgroundRole && r->HasAlarm()) return QBrush(QColor(255, 225, 225));
    if (role == Qt::UserRole) return QVariant::fromValue<qint64>(r->id);
    if (role != Qt::DisplayRole) return {};
    auto wheel = [](int v) { return v < 0 ? QStringLiteral("-") : QString::number(v); };
    switch (index.column()) {
        case Id: return QVariant::fromValue<qint64>(r->id);
        case Site: return QStringLiteral("%1").arg(r->siteNumber, 5, 10, QLatin1Char('0'));
        case Radio: return r->siteId != 0 ? QVariant(r->siteId) : QVariant();
        case Track: return r->track;
        case FirstTime: return Text(r->firstTime);
        case TrainNumber: return r->trainNumber;
        case Axles: return r->axles;
        case Cars: return r->cars;
        case HotBox: return QStringLiteral("%1 / %2").arg(r->hotBoxMax[0]).arg(r->hotBoxMax[1]);
        case HotWheel: return wheel(r->hotWheelMax[0]) + QStringLiteral(" / ") + wheel(r->hotWheelMax[1]);
        case Maxed: return r->maxed[0] + r->maxed[1];
        case Messages: return historyview::Messages(r->simCodes);
        default: return {};
    }
}

void TrainsModel::sort(int column, Qt::SortOrder order) {
    switch (column) {
        case Site: case Radio: case Track: order_ = TrainOrder::Site; break;
        case TrainNumber: order_ = TrainOrder::TrainNumber; break;
        case Axles: order_ = TrainOrder::Axles; break;
        case Cars: order_ = TrainOrder::Cars; break;
        case HotBox: case Maxed: order_ = TrainOrder::HotBox; break;
        default: order_ = TrainOrder::Time; break;
    }
    ascending_ = order == Qt::AscendingOrder;
    Reload();
}

TrainsView::TrainsView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("trainsView"));
    setWindowTitle(QStringLiteral("Trains"));
    model_ = new TrainsModel(this);
    site_ = new QLineEdit(this);
    site_->setObjectName(QStringLiteral("siteFilter"));
    site_->setPlaceholderText(QStringLiteral("all sites"));
    site_->setMaximumWidth(90);
    useFrom_ = new QCheckBox(QStringLiteral("From"), this);
    useTo_ = new QCheckBox(QStringLiteral("To"), this);
    from_ = new QDateEdit(QDate::currentDate().addDays(-7), this);
    to_ = new QDateEdit(QDate::currentDate(), this);
    for (QDateEdit* d : {from_, to_}) {
        d->setCalendarPopup(true);
        d->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    }
    alarms_ = new QCheckBox(QStringLiteral("Alarms only"), this);
    alarms_->setObjectName(QStringLiteral("alarmsOnly"));
    count_ = new QLabel(this);
    auto* bar = new QHBoxLayout;
    bar->addWidget(new QLabel(QStringLiteral("Site:"), this));
    bar->addWidget(site_);
    bar->addWidget(useFrom_);
    bar->addWidget(from_);
    bar->addWidget(useTo_);
    bar->addWidget(to_);
    bar->addWidget(alarms_);
    bar->addStretch(1);
    bar->addWidget(count_);

    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("trainsTable"));
    table_->setModel(model_);
    table_->setSortingEnabled(true);
    table_->horizontalHeader()->setSortIndicator(TrainsModel::FirstTime, Qt::DescendingOrder);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->verticalHeader()->hide();
    // Every row has the same height: the view never asks all rows for theirs.
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->horizontalHeader()->setStretchLastSection(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 0);
    layout->addLayout(bar);
    layout->addWidget(table_);

    connect(site_, &QLineEdit::editingFinished, this, &TrainsView::ApplyFilter);
    for (QCheckBox* box : {useFrom_, useTo_, alarms_}) connect(box, &QCheckBox::toggled, this, &TrainsView::ApplyFilter);
    for (QDateEdit* d : {from_, to_}) connect(d, &QDateEdit::dateChanged, this, &TrainsView::ApplyFilter);
    connect(table_, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        if (const TrainRow* r = model_->Row(index.row())) emit OpenTrain(r->id);
    });
    if (ConsoleHistory* h = ConsoleHistory::Instance()) {
        connect(h, &ConsoleHistory::TrainsChanged, this, &TrainsView::Refresh);
        model_->SetHistory(h->OpenReader());
    }
    ApplyFilter();
}

void TrainsView::ShowSite(int siteNumber) {
    site_->setText(siteNumber >= 0 ? QString::number(siteNumber) : QString());
    ApplyFilter();
}

void TrainsView::ApplyFilter() {
    TrainFilter f;
    bool ok = false;
    const int site = site_->text().trimmed().toInt(&ok);
    f.siteNumber = ok && site >= 0 ? site : -1;
    if (useFrom_->isChecked()) f.fromDate = from_->date().toString(QStringLiteral("yyyy-MM-dd")).toStdString();
    if (useTo_->isChecked()) f.toDate = to_->date().toString(QStringLiteral("yyyy-MM-dd")).toStdString();
    f.alarmsOnly = alarms_->isChecked();
    model_->SetFilter(f);
    count_->setText(QStringLiteral("%1 trains").arg(model_->rowCount()));
}

void TrainsView::Refresh() {
    ConsoleHistory* h = ConsoleHistory::Instance();
    if (h != nullptr && !model_->HistoryIsCurrent()) {
        // The history may have appeared only now (first start), or been
        // made again after its file was deleted.
        model_->SetHistory(h->OpenReader());
    }
    model_->Reload();
    count_->setText(QStringLiteral("%1 trains").arg(model_->rowCount()));
}
