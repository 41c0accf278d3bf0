#include "console/TrainsView.h"

#include <QBrush>
#include <QCheckBox>
#include <QDate>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <ctime>

#include "console/ConsoleHistory.h"
#include "console/HistoryViewText.h"
#include "console/Icons.h"
#include "console/UserSettings.h"
#include "engine/SiteBoard.h"

using historyview::Text;

namespace {

const QString kSettingsGroup = QStringLiteral("TrainsView");

TrainOrder OrderOf(int column) {
    switch (column) {
        case TrainsModel::Id: return TrainOrder::Id;
        case TrainsModel::Site: return TrainOrder::Site;
        case TrainsModel::Radio: return TrainOrder::Radio;
        case TrainsModel::Track: return TrainOrder::Track;
        case TrainsModel::FirstTime: return TrainOrder::Time;
        case TrainsModel::TrainNumber: return TrainOrder::TrainNumber;
        case TrainsModel::Axles: return TrainOrder::Axles;
        case TrainsModel::Cars: return TrainOrder::Cars;
        case TrainsModel::HotBox: return TrainOrder::HotBox;
        case TrainsModel::HotWheel: return TrainOrder::HotWheel;
        case TrainsModel::Maxed: return TrainOrder::Maxed;
        case TrainsModel::Messages: return TrainOrder::Messages;
        default: return TrainOrder::Received;
    }
}

// The site numbers a site filter names: five digits ("00500", as the views
// write them) a site number; another number a site number or a radio
// identifier; any other text a part of a site's name (case ignored).
std::vector<int> MatchSites(const QString& text, TrainHistory* history) {
    ConsoleHistory* h = ConsoleHistory::Instance();
    const std::vector<SiteRow> sites =
        BuildSiteRows(h != nullptr ? h->Registry() : CallerTable{}, nullptr, history,
                      static_cast<std::int64_t>(std::time(nullptr)));
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    const bool siteOnly = isNumber && text.size() == 5;
    std::vector<int> found;
    for (const SiteRow& s : sites) {
        if (s.siteNumber < 0) continue;
        const bool match = isNumber ? s.siteNumber == number || (!siteOnly && s.radioId == number)
                                    : Text(s.name).contains(text, Qt::CaseInsensitive);
        if (match && std::find(found.begin(), found.end(), s.siteNumber) == found.end())
            found.push_back(s.siteNumber);
    }
    return found;
}

}  // namespace

TrainsModel::TrainsModel(QObject* parent) : QAbstractTableModel(parent) {}

void TrainsModel::SetHistory(std::unique_ptr<TrainHistory> history) {
    history_ = std::move(history);
    Reload();
}

void TrainsModel::SetFilter(const TrainFilter& filter) {
    filter_ = filter;
    none_ = false;
    Reload();
}

void TrainsModel::ShowNone() {
    none_ = true;
    Reload();
}

bool TrainsModel::NewestFirst() const {
    return !ascending_ && (order_ == TrainOrder::Received || order_ == TrainOrder::Id);
}

TrainFilter TrainsModel::Held(std::int64_t maxId) const {
    TrainFilter f = filter_;
    f.maxId = maxId;
    return f;
}

std::int64_t TrainsModel::NewestId() const {
    if (!history_) return 0;
    const std::vector<TrainRow> newest = history_->ListTrains({}, 0, 1, TrainOrder::Id, false);
    return newest.empty() ? 0 : newest.front().id;
}

void TrainsModel::Reload() {
    beginResetModel();
    pages_.clear();
    pagesRead_ = 0;
    held_ = 0;
    shownMaxId_ = NewestId();
    count_ = history_ && !none_ ? history_->CountTrains(Held(shownMaxId_)) : 0;
    endResetModel();
}

int TrainsModel::Update() {
    if (!history_ || none_) return 0;
    const std::int64_t newest = NewestId();
    // Rows of the list gone or indexed again (a report file changed): read anew.
    if (shownMaxId_ == 0 || history_->CountTrains(Held(shownMaxId_)) != count_) {
        Reload();
        return -1;
    }
    if (newest <= shownMaxId_) {
        // Nothing new; rows may have got their site data.
        pages_.clear();
        if (count_ > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
        return 0;
    }
    const std::int64_t added = history_->CountTrains(Held(newest)) - count_;
    if (added <= 0 || !NewestFirst()) {
        held_ = static_cast<int>(std::max<std::int64_t>(0, added));
        if (added <= 0) shownMaxId_ = newest;
        return 0;
    }
    const std::int64_t firstBefore = count_ > 0 ? Row(0)->id : 0;
    beginInsertRows(QModelIndex(), 0, static_cast<int>(added) - 1);
    pages_.clear();
    shownMaxId_ = newest;
    count_ += added;
    endInsertRows();
    // A train indexed now with an earlier received time (a clock set back)
    // would not come in at the top: then the list is read anew.
    const TrainRow* was = count_ > added ? Row(static_cast<int>(added)) : nullptr;
    if (firstBefore != 0 && (was == nullptr || was->id != firstBefore)) {
        Reload();
        return -1;
    }
    return static_cast<int>(added);
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
        const TrainFilter held = Held(shownMaxId_);
        std::vector<TrainRow> rows;
        if (start > count_ / 2) {
            // Past the middle the page is read from the other end, in the
            // opposite order: the end of the list is as quick as its start.
            const std::int64_t n = std::min<std::int64_t>(kPageRows, count_ - start);
            rows = history_->ListTrains(held, count_ - start - n, static_cast<int>(n), order_, !ascending_);
            std::reverse(rows.begin(), rows.end());
        } else {
            rows = history_->ListTrains(held, start, kPageRows, order_, ascending_);
        }
        it = pages_.emplace(page, std::move(rows)).first;
        ++pagesRead_;
    }
    const std::size_t at = static_cast<std::size_t>(row % kPageRows);
    return at < it->second.size() ? &it->second[at] : nullptr;
}

QVariant TrainsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const names[ColumnCount] = {"Id", "Site", "Radio", "Track", "First time", "Received",
                                                    "Train", "Axles", "Cars", "Hot box L/R",
                                                    "Hot wheel L/R", "Maxed", "Messages"};
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount) return {};
    if (role == Qt::ToolTipRole && section == FirstTime)
        return QStringLiteral("The site's own time stamp of the train");
    if (role == Qt::ToolTipRole && section == Received)
        return QStringLiteral("When the collector received the train");
    if (role != Qt::DisplayRole) return {};
    return QString::fromLatin1(names[section]);
}

QVariant TrainsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    const TrainRow* r = Row(index.row());
    if (r == nullptr) return {};
    if (role == Qt::BackgroundRole && r->HasAlarm()) return QBrush(icons::AlarmRowColour());
    if (role == Qt::DecorationRole && index.column() == 0 && r->HasAlarm()) return icons::AlarmMark();
    if (role == Qt::UserRole) return QVariant::fromValue<qint64>(r->id);
    if (role == Qt::TextAlignmentRole)
        return index.column() == Messages || index.column() == FirstTime || index.column() == Received
                   ? int(Qt::AlignLeft | Qt::AlignVCenter)
                   : int(Qt::AlignRight | Qt::AlignVCenter);
    if (role == SortRole) {
        switch (index.column()) {
            case Id: return QVariant::fromValue<qint64>(r->id);
            case Site: return r->siteNumber;
            case Radio: return r->siteId;
            case Track: return r->track;
            case FirstTime: return Text(r->firstTime);
            case Received: return Text(r->received);
            case TrainNumber: return r->trainNumber;
            case Axles: return r->axles;
            case Cars: return r->cars;
            case HotBox: return std::max(r->hotBoxMax[0], r->hotBoxMax[1]);
            case HotWheel: return std::max(r->hotWheelMax[0], r->hotWheelMax[1]);
            case Maxed: return r->maxed[0] + r->maxed[1];
            case Messages: return Text(r->simCodes);
            default: return {};
        }
    }
    if (role != Qt::DisplayRole) return {};
    auto wheel = [](int v) { return v < 0 ? QStringLiteral("-") : QString::number(v); };
    switch (index.column()) {
        case Id: return QVariant::fromValue<qint64>(r->id);
        case Site: return QStringLiteral("%1").arg(r->siteNumber, 5, 10, QLatin1Char('0'));
        case Radio: return r->siteId != 0 ? QVariant(r->siteId) : QVariant();
        case Track: return r->track;
        case FirstTime: return Text(r->firstTime);
        case Received: return Text(r->received);
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
    order_ = OrderOf(column);
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
    site_->setToolTip(QStringLiteral("A site number (00500), a radio id (12) or a part of a site's name"));
    site_->setMaximumWidth(110);
    useFrom_ = new QCheckBox(QStringLiteral("From"), this);
    useFrom_->setObjectName(QStringLiteral("useFrom"));
    useTo_ = new QCheckBox(QStringLiteral("To"), this);
    useTo_->setObjectName(QStringLiteral("useTo"));
    from_ = new WholeDateEdit(QDate::currentDate().addDays(-7), this);
    from_->setObjectName(QStringLiteral("fromDate"));
    to_ = new WholeDateEdit(QDate::currentDate(), this);
    to_->setObjectName(QStringLiteral("toDate"));
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

    message_ = new QLabel(this);
    message_->setObjectName(QStringLiteral("filterMessage"));
    message_->setStyleSheet(QStringLiteral("color: #a00000; font-weight: bold"));
    message_->hide();
    newTrains_ = new QPushButton(this);
    newTrains_->setObjectName(QStringLiteral("newTrains"));
    newTrains_->setToolTip(QStringLiteral("Show the trains that came in"));
    newTrains_->hide();

    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("trainsTable"));
    table_->setModel(model_);
    table_->setSortingEnabled(true);
    table_->horizontalHeader()->setSortIndicator(TrainsModel::Received, Qt::DescendingOrder);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    table_->setWordWrap(false);
    table_->verticalHeader()->hide();
    // Every row has the same height: the view never asks all rows for theirs.
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->horizontalHeader()->setStretchLastSection(true);
    // Columns as wide as what they hold, measured on a sample of it, so no
    // page is read for the measure.
    static const char* const widest[TrainsModel::ColumnCount] = {
        "0000000", "00000", "000", "0", "0000-00-00 00:00:00", "0000-00-00 00:00:00", "00000", "0000",
        "000", "000 / 000", "0000 / 0000", "00", ""};
    QHeaderView* header = table_->horizontalHeader();
    for (int c = 0; c < TrainsModel::ColumnCount - 1; ++c)
        header->resizeSection(
            c, std::max(header->fontMetrics().horizontalAdvance(model_->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString()) + 28,
                        table_->fontMetrics().horizontalAdvance(QLatin1String(widest[c])) + 14));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 0);
    layout->addLayout(bar);
    layout->addWidget(message_);
    layout->addWidget(newTrains_);
    layout->addWidget(table_);

    // The table is one Tab away from the site field, and the date fields
    // are one stop each.
    setTabOrder(site_, table_);
    setTabOrder(table_, useFrom_);
    setTabOrder(useFrom_, from_);
    setTabOrder(from_, useTo_);
    setTabOrder(useTo_, to_);
    setTabOrder(to_, alarms_);
    setTabOrder(alarms_, newTrains_);
    setFocusProxy(table_);

    // What the operator set last time.
    {
        QSettings s = UserSettings();
        s.beginGroup(kSettingsGroup);
        site_->setText(s.value(QStringLiteral("site")).toString());
        useFrom_->setChecked(s.value(QStringLiteral("useFrom"), false).toBool());
        useTo_->setChecked(s.value(QStringLiteral("useTo"), false).toBool());
        if (s.contains(QStringLiteral("from"))) from_->setDate(s.value(QStringLiteral("from")).toDate());
        if (s.contains(QStringLiteral("to"))) to_->setDate(s.value(QStringLiteral("to")).toDate());
        alarms_->setChecked(s.value(QStringLiteral("alarmsOnly"), false).toBool());
        if (s.contains(QStringLiteral("header"))) header->restoreState(s.value(QStringLiteral("header")).toByteArray());
    }
    // The list in the order the arrow shows.
    table_->sortByColumn(header->sortIndicatorSection(), header->sortIndicatorOrder());

    connect(site_, &QLineEdit::editingFinished, this, &TrainsView::ApplyFilter);
    for (QCheckBox* box : {useFrom_, useTo_, alarms_}) connect(box, &QCheckBox::toggled, this, &TrainsView::ApplyFilter);
    for (QDateEdit* d : {from_, to_}) connect(d, &QDateEdit::dateChanged, this, &TrainsView::ApplyFilter);
    // Enter or a double click opens the train.
    connect(table_, &QTableView::activated, this, [this](const QModelIndex& index) {
        if (const TrainRow* r = model_->Row(index.row())) emit OpenTrain(r->id);
    });
    connect(newTrains_, &QPushButton::clicked, this, &TrainsView::JumpToNewTrains);
    connect(table_->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (value == 0 && unseen_ > 0 && model_->NewTrainsHeld() == 0) {
            unseen_ = 0;
            ShowCount();
        }
    });
    connect(header, &QHeaderView::sortIndicatorChanged, this, [this]() {
        unseen_ = 0;
        ShowCount();
        SaveSettings();
    });
    connect(header, &QHeaderView::sectionResized, this, [this]() {
        if (!loading_) SaveSettings();
    });
    if (ConsoleHistory* h = ConsoleHistory::Instance()) {
        connect(h, &ConsoleHistory::TrainsChanged, this, &TrainsView::Refresh);
        model_->SetHistory(h->OpenReader());
    }
    loading_ = false;
    ApplyFilter();
}

TrainsView::~TrainsView() { SaveSettings(); }

void TrainsView::SaveSettings() const {
    if (loading_) return;
    QSettings s = UserSettings();
    s.beginGroup(kSettingsGroup);
    s.setValue(QStringLiteral("site"), site_->text());
    s.setValue(QStringLiteral("useFrom"), useFrom_->isChecked());
    s.setValue(QStringLiteral("useTo"), useTo_->isChecked());
    s.setValue(QStringLiteral("from"), from_->date());
    s.setValue(QStringLiteral("to"), to_->date());
    s.setValue(QStringLiteral("alarmsOnly"), alarms_->isChecked());
    s.setValue(QStringLiteral("header"), table_->horizontalHeader()->saveState());
}

QString TrainsView::Message() const { return message_->isHidden() ? QString() : message_->text(); }

void TrainsView::ShowSite(int siteNumber) {
    site_->setText(siteNumber >= 0 ? QStringLiteral("%1").arg(siteNumber, 5, 10, QLatin1Char('0')) : QString());
    ApplyFilter();
}

void TrainsView::ApplyFilter() {
    if (loading_) return;
    TrainFilter f;
    QString why;
    const QString site = site_->text().trimmed();
    if (!site.isEmpty()) {
        f.siteNumbers = MatchSites(site, model_->History());
        if (f.siteNumbers.empty()) why = QStringLiteral("No site matches \"%1\"").arg(site);
    }
    if (useFrom_->isChecked()) f.fromDate = from_->date().toString(QStringLiteral("yyyy-MM-dd")).toStdString();
    if (useTo_->isChecked()) f.toDate = to_->date().toString(QStringLiteral("yyyy-MM-dd")).toStdString();
    if (why.isEmpty() && useFrom_->isChecked() && useTo_->isChecked() && from_->date() > to_->date())
        why = QStringLiteral("From is after To");
    f.alarmsOnly = alarms_->isChecked();
    if (why.isEmpty()) {
        model_->SetFilter(f);
    } else {
        model_->ShowNone();
    }
    if (why.isEmpty() && model_->rowCount() == 0 && model_->History() != nullptr &&
        (!site.isEmpty() || f.alarmsOnly || useFrom_->isChecked() || useTo_->isChecked()))
        why = QStringLiteral("No train matches the filter");
    message_->setText(why);
    message_->setVisible(!why.isEmpty());
    unseen_ = 0;
    ShowCount();
    SaveSettings();
}

void TrainsView::ShowCount() {
    count_->setText(QStringLiteral("%1 trains").arg(model_->rowCount()));
    const int waiting = unseen_ + model_->NewTrainsHeld();
    newTrains_->setText(waiting == 1 ? QStringLiteral("1 new train - show") : QStringLiteral("%1 new trains - show").arg(waiting));
    newTrains_->setVisible(waiting > 0);
}

void TrainsView::JumpToNewTrains() {
    unseen_ = 0;
    QHeaderView* header = table_->horizontalHeader();
    if (model_->NewTrainsHeld() > 0) {
        // Held back by another order: newest first shows them at the top.
        if (header->sortIndicatorSection() == TrainsModel::Received && header->sortIndicatorOrder() == Qt::DescendingOrder)
            model_->Reload();
        else
            header->setSortIndicator(TrainsModel::Received, Qt::DescendingOrder);
    }
    table_->scrollToTop();
    ShowCount();
}

void TrainsView::Refresh() {
    ConsoleHistory* h = ConsoleHistory::Instance();
    if (h != nullptr && !model_->HistoryIsCurrent()) {
        // The history may have appeared only now (first start), or been
        // made again after its file was deleted.
        model_->SetHistory(h->OpenReader());
        ApplyFilter();
        return;
    }
    QScrollBar* scroll = table_->verticalScrollBar();
    const int top = scroll->value();
    const bool watching = top == 0 && !table_->selectionModel()->hasSelection();
    const int added = model_->Update();
    if (added > 0 && !watching) {
        // Keep the rows in view where they were; the bar counts what came in above.
        scroll->setValue(top + (table_->verticalScrollMode() == QAbstractItemView::ScrollPerItem
                                    ? added
                                    : added * table_->verticalHeader()->defaultSectionSize()));
        unseen_ += added;
    }
    if (added < 0) unseen_ = 0;
    ShowCount();
}
