#include "console/SitesView.h"

#include <QBrush>
#include <QHeaderView>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <ctime>
#include <map>

#include "console/ConsoleHistory.h"
#include "console/HistoryViewText.h"
#include "console/Icons.h"
#include "engine/Alarms.h"
#include "console/UserSettings.h"
#include "records/TrainReport.h"

using historyview::Text;
using historyview::TimeOrNever;

namespace {

constexpr int kSitesRefreshMs = 30000;  // the "last heard" ages even without events
constexpr int kSitesEventDelayMs = 500;

}  // namespace

int SitesModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}
int SitesModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant SitesModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const names[ColumnCount] = {
        "Radio", "Site", "Type", "Name", "Health", "Milepost", "Track", "Last heard", "Last Powerup",
        "Today", "7 days", "Alarms today", "Retried", "Given up", "Frame errors", "Last message"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= ColumnCount)
        return {};
    return QString::fromLatin1(names[section]);
}

QVariant SitesModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const SiteRow& r = rows_[static_cast<std::size_t>(index.row())];
    const HealthInfo& health = health_[static_cast<std::size_t>(index.row())];
    if (role == Qt::BackgroundRole && r.silent) return QBrush(QColor(255, 225, 225));
    if (role == Qt::BackgroundRole && health.alarmsToday > 0) return QBrush(icons::AlarmRowColour());
    if (role == Qt::BackgroundRole && health.equipmentFault) return QBrush(QColor(255, 245, 190));
    if (role == Qt::DecorationRole && index.column() == Health && health.alarmsToday > 0) return icons::AlarmMark();
    if (role == Qt::ToolTipRole && r.silent) return QStringLiteral("Not heard for longer than the silent limit");
    if (role == Qt::ToolTipRole && health.equipmentFault)
        return QStringLiteral("The newest train told of: ") + health.faults;
    if (role == Qt::TextAlignmentRole && index.column() != Name && index.column() != Type &&
        index.column() != LastMessage && index.column() != Health)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role == SortRole) {
        switch (index.column()) {
            case Radio: return r.radioId;
            case Site: return r.siteNumber;
            case Milepost: return r.milepost;
            case Track: return r.track;
            case LastHeard: return QVariant::fromValue<qint64>(r.lastHeard);
            case LastPowerup: return QVariant::fromValue<qint64>(r.lastPowerup);
            case Today: return r.trainsToday;
            case Week: return r.trainsWeek;
            case AlarmsToday: return health.alarmsToday;
            case Retried: return r.retriedToday;
            case GivenUp: return r.givenUpToday;
            case FrameErrors: return r.frameErrorsToday;
            default: return data(index, Qt::DisplayRole);
        }
    }
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
        case Radio: return r.radioId != 0 ? QVariant(r.radioId) : QVariant();
        case Site: return r.siteNumber >= 0 ? QStringLiteral("%1").arg(r.siteNumber, 5, 10, QLatin1Char('0')) : QString();
        case Type: return Text(r.unitType);
        case Name: return Text(r.name);
        case Milepost: return historyview::Milepost(r.milepost);
        case Track: return r.track > 0 ? QStringLiteral("%1 of %2").arg(r.track).arg(r.trackCount) : QString();
        case LastHeard: return TimeOrNever(r.lastHeard) + (r.silent ? QStringLiteral("  SILENT") : QString());
        case LastPowerup: return r.lastPowerup != 0 ? TimeOrNever(r.lastPowerup) : QString();
        case Today: return r.trainsToday;
        case Week: return r.trainsWeek;
        case Health: return HealthText(index.row());
        case AlarmsToday: return health.alarmsToday;
        case Retried: return r.retriedToday;
        case GivenUp: return r.givenUpToday;
        case FrameErrors: return r.frameErrorsToday;
        case LastMessage: return r.lastSimCode > 0 ? QString::fromLatin1(SystemMessageText(r.lastSimCode)) : QString();
        default: return {};
    }
}

QString SitesModel::HealthText(int row) const {
    const SiteRow& r = rows_.at(static_cast<std::size_t>(row));
    const HealthInfo& h = health_.at(static_cast<std::size_t>(row));
    if (r.silent) return QStringLiteral("silent");
    if (h.equipmentFault) return QStringLiteral("equipment fault");
    if (h.alarmsToday > 0) return QStringLiteral("alarm today");
    return QStringLiteral("OK");
}

void SitesModel::SetRows(std::vector<SiteRow> rows, std::vector<HealthInfo> health) {
    beginResetModel();
    rows_ = std::move(rows);
    health_ = std::move(health);
    health_.resize(rows_.size());
    endResetModel();
}

namespace {

// Per row: the site's alarms received today, and the equipment faults its
// newest train told of.
std::vector<SitesModel::HealthInfo> SiteHealth(const std::vector<SiteRow>& rows, TrainHistory* history,
                                           std::int64_t now) {
    std::vector<SitesModel::HealthInfo> health(rows.size());
    if (history == nullptr) return health;
    AlarmFilter today;
    today.fromDate = LocalTimeText(now).substr(0, 10);
    std::map<int, int> alarms;
    for (const AlarmRow& a : history->ListAlarms(today, 0, -1)) ++alarms[a.siteNumber];
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].siteNumber < 0) continue;
        health[i].alarmsToday = alarms[rows[i].siteNumber];
        TrainFilter site;
        site.siteNumber = rows[i].siteNumber;
        const std::vector<TrainRow> newest = history->ListTrains(site, 0, 1, TrainOrder::Received);
        if (newest.empty()) continue;
        QStringList faults;
        for (const QString& code : QString::fromStdString(newest.front().simCodes).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const int c = code.trimmed().toInt();
            if (SystemMessageClass(c) != MessageClass::EquipmentFault) continue;
            faults << (c > 0 ? QString::fromLatin1(SystemMessageText(c)) : QStringLiteral("a message without a text"));
        }
        health[i].equipmentFault = !faults.isEmpty();
        health[i].faults = faults.join(QStringLiteral("; "));
    }
    return health;
}

}  // namespace

SitesView::SitesView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("sitesView"));
    setWindowTitle(QStringLiteral("Sites"));
    model_ = new SitesModel(this);
    sorted_ = new QSortFilterProxyModel(this);
    sorted_->setSourceModel(model_);
    sorted_->setSortRole(SitesModel::SortRole);
    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("sitesTable"));
    table_->setModel(sorted_);
    table_->setSortingEnabled(true);
    table_->horizontalHeader()->setSortIndicator(SitesModel::Site, Qt::AscendingOrder);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setWordWrap(false);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    setFocusProxy(table_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(table_);
    {
        QSettings s = UserSettings();
        const QByteArray header = s.value(QStringLiteral("SitesView/columns")).toByteArray();
        sized_ = !header.isEmpty() && table_->horizontalHeader()->restoreState(header);
    }
    table_->sortByColumn(table_->horizontalHeader()->sortIndicatorSection(),
                         table_->horizontalHeader()->sortIndicatorOrder());
    // Enter or a double click opens the site's trains.
    connect(table_, &QTableView::activated, this, [this](const QModelIndex& index) {
        if (index.isValid()) emit OpenTrainsOfSite(model_->Row(sorted_->mapToSource(index).row()).siteNumber);
    });
    // A burst of events (a noisy line) refreshes once, a moment later.
    auto* soon = new QTimer(this);
    soon->setSingleShot(true);
    soon->setInterval(kSitesEventDelayMs);
    connect(soon, &QTimer::timeout, this, &SitesView::Refresh);
    if (ConsoleHistory* h = ConsoleHistory::Instance()) {
        for (auto signal : {&ConsoleHistory::SitesChanged, &ConsoleHistory::TrainsChanged,
                            &ConsoleHistory::AlarmsChanged})
            connect(h, signal, soon, [soon]() {
                if (!soon->isActive()) soon->start();
            });
    }
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &SitesView::Refresh);
    timer->start(kSitesRefreshMs);
    Refresh();
}

SitesView::~SitesView() {
    QSettings s = UserSettings();
    s.setValue(QStringLiteral("SitesView/columns"), table_->horizontalHeader()->saveState());
}

void SitesView::Refresh() {
    // The selected site stays selected through the refresh.
    const QModelIndex current = sorted_->mapToSource(table_->currentIndex());
    const bool selected = current.isValid() && table_->selectionModel()->hasSelection();
    const SiteRow was = selected ? model_->Row(current.row()) : SiteRow{};
    ConsoleHistory* h = ConsoleHistory::Instance();
    std::unique_ptr<TrainHistory> history = h != nullptr ? h->OpenReader() : nullptr;
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    std::vector<SiteRow> rows = BuildSiteRows(h != nullptr ? h->Registry() : CallerTable{},
                                              h != nullptr ? &h->Board() : nullptr, history.get(), now,
                                              h != nullptr ? h->SilentHours() : DEFAULT_SILENT_HOURS);
    std::vector<SitesModel::HealthInfo> health = SiteHealth(rows, history.get(), now);
    model_->SetRows(std::move(rows), std::move(health));
    if (!sized_) {
        // Once: after that the widths are the operator's.
        table_->resizeColumnsToContents();
        sized_ = model_->rowCount() > 0;
    }
    for (int row = 0; selected && row < model_->rowCount(); ++row) {
        const SiteRow& r = model_->Row(row);
        if (r.siteNumber == was.siteNumber && r.radioId == was.radioId) {
            table_->selectRow(sorted_->mapFromSource(model_->index(row, 0)).row());
            break;
        }
    }
}
