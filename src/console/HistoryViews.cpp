#include "console/HistoryViews.h"

#include <QBrush>
#include <QChart>
#include <QCheckBox>
#include <QDateEdit>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPushButton>
#include <QSaveFile>
#include <QScatterSeries>
#include <QSplitter>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWheelEvent>
#include <algorithm>
#include <ctime>

#include "common/LogLine.h"
#include "platform/Profile.h"
#include "records/HistoryText.h"
#include "records/TrainReport.h"

namespace {

ConsoleHistory* instance = nullptr;

constexpr const char* kSettingsFile = "K7_Dialups.ini";
constexpr const char* kSitesSection = "Sites";
constexpr const char* kSilentKey = "Silent_Hours";
constexpr int kSitesRefreshMs = 30000;  // the "last heard" ages even without events
constexpr int kSitesEventDelayMs = 500;

QString Text(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<int>(s.size())); }

QString TimeOrNever(std::int64_t t) { return t != 0 ? Text(LocalTimeText(t)) : QStringLiteral("never"); }

QString Milepost(int tenths) {
    return tenths < 0 ? QString() : QStringLiteral("%1.%2").arg(tenths / 10).arg(tenths % 10);
}

QString Messages(const std::string& codes) { return codes.empty() ? QString() : Text(SimCodeTexts(codes)); }

}  // namespace

// Hands the engine's events to the user-interface thread as signals.
class ConsoleHistory::Relay final : public IEventSubscriber {
public:
    explicit Relay(ConsoleHistory* owner) : owner_(owner) {}
    void OnEngineEvent(const EngineEvent&) override {
        QMetaObject::invokeMethod(owner_, &ConsoleHistory::SitesChanged, Qt::QueuedConnection);
    }

private:
    ConsoleHistory* owner_;
};

ConsoleHistory::ConsoleHistory(QObject* parent) : QObject(parent) { instance = this; }

ConsoleHistory::~ConsoleHistory() {
    Stop();
    if (instance == this) instance = nullptr;
}

ConsoleHistory* ConsoleHistory::Instance() { return instance; }

void ConsoleHistory::Start(const std::string& dataFolder) {
    if (started_) return;
    started_ = true;
    dataFolder_ = dataFolder;
    // Progress and failures go to the serial scope like the other lines
    // of the collector.
    recorder_ = std::make_unique<HistoryRecorder>(dataFolder, [](const std::string& line, bool error) {
        LogLine(error ? COLOUR_DARK_RED : COLOUR_DARK_GREEN, "%s\n", line.c_str());
    });
    recorder_->SetChangedHook([this]() {
        QMetaObject::invokeMethod(this, &ConsoleHistory::TrainsChanged, Qt::QueuedConnection);
    });
    relay_ = std::make_unique<Relay>(this);
    EventHub& hub = EngineEvents();
    hub.Subscribe(recorder_.get());
    hub.Subscribe(&board_);
    hub.Subscribe(relay_.get());
}

void ConsoleHistory::Stop() {
    if (!started_) return;
    started_ = false;
    EventHub& hub = EngineEvents();
    hub.Unsubscribe(relay_.get());
    hub.Unsubscribe(&board_);
    recorder_->Stop();
    hub.Unsubscribe(recorder_.get());
}

std::unique_ptr<TrainHistory> ConsoleHistory::OpenReader() const {
    return TrainHistory::OpenForReading(HistoryPath(dataFolder_), nullptr, nullptr);
}

int ConsoleHistory::SilentHours() const {
    const int hours = GetProfileInt(dataFolder_ + kSettingsFile, kSitesSection, kSilentKey, DEFAULT_SILENT_HOURS);
    return hours > 0 ? hours : DEFAULT_SILENT_HOURS;
}

// ---- Sites ----

int SitesModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}
int SitesModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant SitesModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const names[ColumnCount] = {
        "Radio", "Site", "Type", "Name", "Milepost", "Track", "Last heard", "Last Powerup",
        "Today", "7 days", "Retried", "Given up", "Frame errors", "Last message"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= ColumnCount)
        return {};
    return QString::fromLatin1(names[section]);
}

QVariant SitesModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const SiteRow& r = rows_[static_cast<std::size_t>(index.row())];
    if (role == Qt::BackgroundRole && r.silent) return QBrush(QColor(255, 225, 225));
    if (role == Qt::ToolTipRole && r.silent) return QStringLiteral("Not heard for longer than the silent limit");
    if (role == Qt::TextAlignmentRole && index.column() != Name && index.column() != Type &&
        index.column() != LastMessage)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
        case Radio: return r.radioId != 0 ? QVariant(r.radioId) : QVariant();
        case Site: return r.siteNumber >= 0 ? QStringLiteral("%1").arg(r.siteNumber, 5, 10, QLatin1Char('0')) : QString();
        case Type: return Text(r.unitType);
        case Name: return Text(r.name);
        case Milepost: return ::Milepost(r.milepost);
        case Track: return r.track > 0 ? QStringLiteral("%1 of %2").arg(r.track).arg(r.trackCount) : QString();
        case LastHeard: return TimeOrNever(r.lastHeard) + (r.silent ? QStringLiteral("  SILENT") : QString());
        case LastPowerup: return r.lastPowerup != 0 ? TimeOrNever(r.lastPowerup) : QString();
        case Today: return r.trainsToday;
        case Week: return r.trainsWeek;
        case Retried: return r.retriedToday;
        case GivenUp: return r.givenUpToday;
        case FrameErrors: return r.frameErrorsToday;
        case LastMessage: return r.lastSimCode > 0 ? QString::fromLatin1(SystemMessageText(r.lastSimCode)) : QString();
        default: return {};
    }
}

void SitesModel::SetRows(std::vector<SiteRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

SitesView::SitesView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("sitesView"));
    setWindowTitle(QStringLiteral("Sites"));
    model_ = new SitesModel(this);
    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("sitesTable"));
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(table_);
    connect(table_, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.isValid()) emit OpenTrainsOfSite(model_->Row(index.row()).siteNumber);
    });
    // A burst of events (a noisy line) refreshes once, a moment later.
    auto* soon = new QTimer(this);
    soon->setSingleShot(true);
    soon->setInterval(kSitesEventDelayMs);
    connect(soon, &QTimer::timeout, this, &SitesView::Refresh);
    if (ConsoleHistory* h = ConsoleHistory::Instance()) {
        for (auto signal : {&ConsoleHistory::SitesChanged, &ConsoleHistory::TrainsChanged})
            connect(h, signal, soon, [soon]() {
                if (!soon->isActive()) soon->start();
            });
    }
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &SitesView::Refresh);
    timer->start(kSitesRefreshMs);
    Refresh();
}

void SitesView::Refresh() {
    ConsoleHistory* h = ConsoleHistory::Instance();
    std::unique_ptr<TrainHistory> history = h != nullptr ? h->OpenReader() : nullptr;
    model_->SetRows(BuildSiteRows(h != nullptr ? &h->Board() : nullptr, history.get(),
                                  static_cast<std::int64_t>(std::time(nullptr)),
                                  h != nullptr ? h->SilentHours() : DEFAULT_SILENT_HOURS));
    table_->resizeColumnsToContents();
}

// ---- Trains ----

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
        case Messages: return ::Messages(r->simCodes);
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
    if (h != nullptr && model_->rowCount() == 0) {
        // The history may have appeared only now (first start).
        model_->SetHistory(h->OpenReader());
    }
    model_->Reload();
    count_->setText(QStringLiteral("%1 trains").arg(model_->rowCount()));
}

// ---- Train ----

TrainChartView::TrainChartView(QWidget* parent) : QChartView(new QChart, parent) {
    setObjectName(QStringLiteral("trainChart"));
    setRenderHint(QPainter::Antialiasing, false);
    setRubberBand(QChartView::HorizontalRubberBand);
    chart()->legend()->setAlignment(Qt::AlignBottom);
    chart()->setMargins(QMargins(4, 4, 4, 4));
    chart()->setBackgroundVisible(false);  // the car bands are drawn behind it
}

void TrainChartView::SetTrain(const std::vector<ReportAxle>& axles) {
    QChart* c = chart();
    c->removeAllSeries();
    for (QAbstractAxis* axis : c->axes()) {
        c->removeAxis(axis);
        delete axis;
    }
    cars_.clear();
    marked_ = 0;

    struct Line {
        const char* name;
        QColor colour;
        bool wheel;
    };
    const Line lines[4] = {{"Hot box left", QColor(200, 30, 30), false},
                           {"Hot box right", QColor(30, 60, 200), false},
                           {"Hot wheel left", QColor(230, 140, 20), true},
                           {"Hot wheel right", QColor(20, 150, 120), true}};
    QList<QPointF> points[4];
    QList<QPointF> maxed;
    bool wheels = false;
    int maxBox = 0, maxWheel = 0;
    for (const ReportAxle& a : axles) {
        const qreal x = a.axle;
        const int values[4] = {a.hotBoxLeft, a.hotBoxRight, a.hotWheelLeft, a.hotWheelRight};
        for (int k = 0; k < 4; ++k) {
            if (values[k] < 0) continue;
            points[k].append(QPointF(x, values[k]));
            if (k < 2) {
                maxBox = std::max(maxBox, values[k]);
                if (values[k] == HOT_BOX_MAXED) maxed.append(QPointF(x, values[k]));
            } else {
                wheels = true;
                maxWheel = std::max(maxWheel, values[k]);
            }
        }
        if (a.carStart || cars_.empty()) cars_.push_back({a.axle, a.axle});
        cars_.back().second = a.axle;
    }

    auto* xAxis = new QValueAxis;
    xAxis->setTitleText(QStringLiteral("Axle"));
    xAxis->setLabelFormat(QStringLiteral("%d"));
    xAxis->setRange(0.5, std::max<qreal>(1.5, static_cast<qreal>(axles.size()) + 0.5));
    auto* boxAxis = new QValueAxis;
    boxAxis->setTitleText(QStringLiteral("Hot box"));
    boxAxis->setRange(0, std::max(260, maxBox + 10));
    boxAxis->setLabelFormat(QStringLiteral("%d"));
    c->addAxis(xAxis, Qt::AlignBottom);
    c->addAxis(boxAxis, Qt::AlignLeft);
    QValueAxis* wheelAxis = nullptr;
    if (wheels) {
        wheelAxis = new QValueAxis;
        wheelAxis->setTitleText(QStringLiteral("Hot wheel"));
        wheelAxis->setRange(0, std::max(1050, maxWheel + 20));
        wheelAxis->setLabelFormat(QStringLiteral("%d"));
        c->addAxis(wheelAxis, Qt::AlignRight);
    }
    for (int k = 0; k < 4; ++k) {
        if (lines[k].wheel && !wheels) continue;
        auto* series = new QLineSeries;
        series->setName(QString::fromLatin1(lines[k].name));
        series->setPen(QPen(lines[k].colour, 1.2));
        series->replace(points[k]);
        c->addSeries(series);
        series->attachAxis(xAxis);
        series->attachAxis(lines[k].wheel ? wheelAxis : boxAxis);
        for (const QPointF& p : points[k])
            if (lines[k].wheel && p.y() == HOT_WHEEL_MAXED) maxed.append(p);
    }
    if (!maxed.isEmpty()) {
        auto* marks = new QScatterSeries;
        marks->setName(QStringLiteral("At maximum"));
        marks->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
        marks->setMarkerSize(9);
        marks->setColor(Qt::black);
        marks->setBorderColor(Qt::yellow);
        marks->replace(maxed);
        c->addSeries(marks);
        marks->attachAxis(xAxis);
        marks->attachAxis(boxAxis);
        marked_ = static_cast<int>(maxed.size());
        // Wheel readings at their maximum sit on the wheel scale: show them
        // at the top of the box scale, where they stand out.
        QList<QPointF> scaled;
        for (QPointF p : maxed) {
            if (p.y() == HOT_WHEEL_MAXED) p.setY(boxAxis->max() - 5);
            scaled.append(p);
        }
        marks->replace(scaled);
    }
    viewport()->update();
}

void TrainChartView::ResetZoom() { chart()->zoomReset(); }

void TrainChartView::drawBackground(QPainter* painter, const QRectF& rect) {
    painter->fillRect(rect, Qt::white);
    const QRectF plot = chart()->plotArea();
    const auto series = chart()->series();
    if (series.isEmpty() || cars_.empty()) return;
    QAbstractSeries* s = series.first();
    // Every second car in a light band, so the cars can be told apart.
    for (std::size_t i = 0; i < cars_.size(); i += 2) {
        const QPointF left = chart()->mapToPosition(QPointF(cars_[i].first - 0.5, 0), s);
        const QPointF right = chart()->mapToPosition(QPointF(cars_[i].second + 0.5, 0), s);
        QRectF band(QPointF(std::max(left.x(), plot.left()), plot.top()),
                    QPointF(std::min(right.x(), plot.right()), plot.bottom()));
        if (band.width() > 0) painter->fillRect(mapFromScene(band).boundingRect(), QColor(232, 238, 248));
    }
}

void TrainChartView::wheelEvent(QWheelEvent* event) {
    chart()->zoom(event->angleDelta().y() > 0 ? 1.25 : 0.8);
    event->accept();
}

void TrainChartView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        panning_ = true;
        lastPan_ = event->pos();
        event->accept();
        return;
    }
    QChartView::mousePressEvent(event);
}

void TrainChartView::mouseMoveEvent(QMouseEvent* event) {
    if (panning_) {
        const QPoint delta = event->pos() - lastPan_;
        lastPan_ = event->pos();
        chart()->scroll(-delta.x(), 0);
        event->accept();
        return;
    }
    QChartView::mouseMoveEvent(event);
}

void TrainChartView::mouseReleaseEvent(QMouseEvent* event) {
    if (panning_ && event->button() == Qt::RightButton) {
        panning_ = false;
        event->accept();
        return;
    }
    QChartView::mouseReleaseEvent(event);
}

TrainView::TrainView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("trainView"));
    summary_ = new QLabel(this);
    summary_->setObjectName(QStringLiteral("trainSummary"));
    summary_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    summary_->setWordWrap(true);
    chart_ = new TrainChartView(this);
    axleTable_ = new QTableWidget(this);
    axleTable_->setObjectName(QStringLiteral("axleTable"));
    axleTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    axleTable_->verticalHeader()->hide();

    auto* png = new QPushButton(QStringLiteral("Export chart (PNG)..."), this);
    auto* csv = new QPushButton(QStringLiteral("Export axles (CSV)..."), this);
    auto* report = new QPushButton(QStringLiteral("Open report file"), this);
    auto* reset = new QPushButton(QStringLiteral("Reset zoom"), this);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {reset, png, csv, report}) buttons->addWidget(b);
    buttons->addStretch(1);

    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(chart_);
    split->addWidget(axleTable_);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    chart_->setMinimumHeight(280);
    split->setSizes({560, 240});
    axleTable_->verticalHeader()->setDefaultSectionSize(axleTable_->fontMetrics().height() + 6);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(summary_);
    layout->addLayout(buttons);
    layout->addWidget(split, 1);

    connect(reset, &QPushButton::clicked, chart_, &TrainChartView::ResetZoom);
    connect(png, &QPushButton::clicked, this, [this]() {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export chart"),
                                                          QStringLiteral("train-%1.png").arg(train_.id),
                                                          QStringLiteral("PNG images (*.png)"));
        if (!path.isEmpty()) ExportPng(path);
    });
    connect(csv, &QPushButton::clicked, this, [this]() {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export axles"),
                                                          QStringLiteral("train-%1-axles.csv").arg(train_.id),
                                                          QStringLiteral("CSV files (*.csv)"));
        if (!path.isEmpty()) ExportCsv(path);
    });
    connect(report, &QPushButton::clicked, this,
            [this]() { QDesktopServices::openUrl(QUrl::fromLocalFile(ReportPath())); });
}

QString TrainView::ReportPath() const {
    ConsoleHistory* h = ConsoleHistory::Instance();
    const std::string folder = h != nullptr ? h->DataFolder() : std::string();
    return Text(folder + REPORT_FOLDER + "/" + train_.file);
}

QString TrainView::Summary() const { return summary_->text(); }

bool TrainView::ShowTrain(qint64 id) {
    ConsoleHistory* h = ConsoleHistory::Instance();
    std::unique_ptr<TrainHistory> history = h != nullptr ? h->OpenReader() : nullptr;
    if (!history) return false;
    const auto found = history->Train(id);
    if (!found) return false;
    train_ = *found;
    axles_ = history->Axles(id);
    setWindowTitle(QStringLiteral("Train %1").arg(train_.trainNumber));

    QString site = QStringLiteral("site %1").arg(train_.siteNumber, 5, 10, QLatin1Char('0'));
    if (!train_.siteName.empty())
        site += QStringLiteral(" (%1 %2, radio %3, milepost %4)")
                    .arg(Text(train_.unitType), Text(train_.siteName))
                    .arg(train_.siteId)
                    .arg(Milepost(train_.milepost));
    summary_->setText(
        QStringLiteral("<b>Train %1</b> at %2, track %3<br>%4 to %5, received %6<br>"
                       "%7 axles, %8 cars; hot box max %9 / %10, readings at maximum %11<br>"
                       "System messages: %12")
            .arg(train_.trainNumber)
            .arg(site.toHtmlEscaped())
            .arg(train_.track)
            .arg(Text(train_.firstTime), Text(train_.secondTime), Text(train_.received))
            .arg(train_.axles)
            .arg(train_.cars)
            .arg(train_.hotBoxMax[0])
            .arg(train_.hotBoxMax[1])
            .arg(train_.maxed[0] + train_.maxed[1])
            .arg(train_.simCodes.empty() ? QStringLiteral("none") : Messages(train_.simCodes).toHtmlEscaped()));

    const QStringList headers = {"Axle", "Car", "Car start", "Hot box L", "Hot box R", "Hot wheel L",
                                 "Hot wheel R", "Load"};
    axleTable_->clear();
    axleTable_->setColumnCount(static_cast<int>(headers.size()));
    axleTable_->setHorizontalHeaderLabels(headers);
    axleTable_->setRowCount(static_cast<int>(axles_.size()));
    int row = 0;
    for (const ReportAxle& a : axles_) {
        const QString cells[8] = {QString::number(a.axle), QString::number(a.car),
                                  a.carStart ? QStringLiteral("*") : QString(),
                                  QString::number(a.hotBoxLeft), QString::number(a.hotBoxRight),
                                  a.hotWheelLeft < 0 ? QString() : QString::number(a.hotWheelLeft),
                                  a.hotWheelRight < 0 ? QString() : QString::number(a.hotWheelRight),
                                  QString::number(a.load)};
        for (int c = 0; c < 8; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            if ((c == 3 && a.hotBoxLeft == HOT_BOX_MAXED) || (c == 4 && a.hotBoxRight == HOT_BOX_MAXED) ||
                (c == 5 && a.hotWheelLeft == HOT_WHEEL_MAXED) || (c == 6 && a.hotWheelRight == HOT_WHEEL_MAXED))
                item->setBackground(QColor(255, 200, 200));
            axleTable_->setItem(row, c, item);
        }
        ++row;
    }
    axleTable_->resizeColumnsToContents();
    chart_->SetTrain(axles_);
    return true;
}

bool TrainView::ExportPng(const QString& path) { return chart_->grab().save(path, "PNG"); }

bool TrainView::ExportCsv(const QString& path) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    const std::string csv = FormatAxleCsv(axles_);
    file.write(csv.data(), static_cast<qint64>(csv.size()));
    return file.commit();
}
