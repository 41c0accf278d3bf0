#include "console/AlarmsView.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <set>

#include "console/ConsoleHistory.h"
#include "console/HistoryViewText.h"
#include "console/Icons.h"
#include "console/UserSettings.h"
#include "records/TrainReport.h"

using historyview::Text;

namespace {

constexpr const char* kSettingsFile = "K7_Dialups.ini";
constexpr int kEventDelayMs = 300;

}  // namespace

void AlarmsModel::Reload() {
    beginResetModel();
    pages_.clear();
    ConsoleHistory* h = ConsoleHistory::Instance();
    if (!history_ || !history_->IsCurrentFile()) history_ = h != nullptr ? h->OpenReader() : nullptr;
    count_ = history_ ? history_->CountAlarms({}) : 0;
    rules_ = h != nullptr ? LoadAlarmRules(h->DataFolder() + kSettingsFile, nullptr) : AlarmRules{};
    endResetModel();
}

int AlarmsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(count_);
}
int AlarmsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

const AlarmRow* AlarmsModel::Row(int row) const {
    if (row < 0 || row >= count_ || !history_) return nullptr;
    const std::int64_t page = row / kPageRows;
    auto it = pages_.find(page);
    if (it == pages_.end())
        it = pages_.emplace(page, history_->ListAlarms({}, page * kPageRows, kPageRows)).first;
    const std::size_t at = static_cast<std::size_t>(row % kPageRows);
    return at < it->second.size() ? &it->second[at] : nullptr;
}

QString AlarmsModel::ReadingText(const AlarmRow& a) const {
    if (a.reading < 0) return {};
    QString text = Text(DisplayReading(a.reading, rules_));
    if (a.reference >= 0) {
        // A difference: what the reading was compared with, and by how much it passed.
        text += QStringLiteral(" (%1 %2, %3 more)")
                    .arg(a.kind == "outlier" || a.kind == "trend" ? QStringLiteral("median") : QStringLiteral("other side"))
                    .arg(Text(DisplayReading(a.reference, rules_)))
                    .arg(Text(DisplayReading(a.reading - a.reference, rules_)));
    }
    if (a.threshold >= 0) text += QStringLiteral(" / ") + Text(DisplayReading(a.threshold, rules_));
    return text;
}

QVariant AlarmsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= ColumnCount)
        return {};
    if (section == Reading) {
        // The readings are on the site's own scale; a unit is only what [Alarms] names.
        QString scale = QStringLiteral("Reading / threshold (0-255 hot box, 0-1023 hot wheel");
        if (rules_.factor != 1.0 || !rules_.unit.empty())
            scale += QStringLiteral("; shown x %1%2").arg(rules_.factor).arg(
                rules_.unit.empty() ? QString() : QStringLiteral(" in ") + Text(rules_.unit));
        return scale + QLatin1Char(')');
    }
    static const char* const names[ColumnCount] = {"Received", "Site", "Train", "Kind", "Axle",
                                                   "Car / axle", "Side", "", "Acknowledged"};
    return QString::fromLatin1(names[section]);
}

QVariant AlarmsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    const AlarmRow* a = Row(index.row());
    if (a == nullptr) return {};
    if (role == Qt::UserRole) return QVariant::fromValue<qint64>(a->id);
    if (role == Qt::ToolTipRole) return Text(a->text);
    if (!a->acknowledged) {
        if (role == Qt::BackgroundRole) return icons::AlarmRowColour();
        if (role == Qt::DecorationRole && index.column() == Received) return icons::AlarmMark();
        if (role == Qt::FontRole) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
    }
    if (role == Qt::TextAlignmentRole && (index.column() == TrainNumber || index.column() == Axle))
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
        case Received: return Text(a->received);
        case Site: {
            const QString number = QStringLiteral("%1").arg(a->siteNumber, 5, 10, QLatin1Char('0'));
            return a->siteName.empty() ? number : number + QLatin1Char(' ') + Text(a->siteName);
        }
        case TrainNumber: return a->trainNumber;
        case Kind: return a->kind == "equipment" ? Text(a->kind) + QStringLiteral(": ") + Text(SystemMessageText(a->code))
                                                 : Text(a->kind);
        case Axle: return a->axle > 0 ? QVariant(a->axle) : QVariant();
        case CarAxle: return a->car > 0 ? QStringLiteral("%1 / %2").arg(a->car).arg(a->axleInCar) : QString();
        case Side: return a->side == "none" ? QString() : Text(a->side);
        case Reading: return ReadingText(*a);
        case Acknowledged:
            if (!a->acknowledged) return QStringLiteral("open");
            // The operator's own words, as the console stored them (UTF-8).
            return QStringLiteral("%1, %2%3").arg(QString::fromStdString(a->ackBy), Text(a->ackTime),
                                                   a->ackComment.empty() ? QString()
                                                                         : QStringLiteral(": ") + QString::fromStdString(a->ackComment));
        default: return {};
    }
}

AcknowledgeDialog::AcknowledgeDialog(int alarms, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("acknowledgeDialog"));
    setWindowTitle(alarms == 1 ? QStringLiteral("Acknowledge alarm")
                               : QStringLiteral("Acknowledge %1 alarms").arg(alarms));
    name_ = new QLineEdit(this);
    name_->setObjectName(QStringLiteral("operatorName"));
    name_->setMaxLength(64);
    name_->setText(UserSettings().value(QStringLiteral("Alarms/operator")).toString());
    comment_ = new QLineEdit(this);
    comment_->setObjectName(QStringLiteral("ackComment"));
    comment_->setMaxLength(500);
    comment_->setPlaceholderText(QStringLiteral("optional: what was done"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setText(QStringLiteral("Acknowledge"));
    ok->setEnabled(!name_->text().trimmed().isEmpty());
    connect(name_, &QLineEdit::textChanged, ok, [ok](const QString& t) { ok->setEnabled(!t.trimmed().isEmpty()); });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* form = new QFormLayout(this);
    form->addRow(QStringLiteral("Operator:"), name_);
    form->addRow(QStringLiteral("Comment:"), comment_);
    form->addRow(buttons);
    if (!name_->text().isEmpty()) comment_->setFocus();
}

QString AcknowledgeDialog::Operator() const { return name_->text().trimmed(); }
QString AcknowledgeDialog::Comment() const { return comment_->text().trimmed(); }

void AcknowledgeDialog::accept() {
    if (Operator().isEmpty()) return;
    UserSettings().setValue(QStringLiteral("Alarms/operator"), Operator());
    QDialog::accept();
}

AlarmsView::AlarmsView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("alarmsView"));
    setWindowTitle(QStringLiteral("Alarms"));
    model_ = new AlarmsModel(this);
    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("alarmsTable"));
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setWordWrap(false);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ack_ = new QPushButton(QStringLiteral("&Acknowledge..."), this);
    ack_->setObjectName(QStringLiteral("acknowledgeButton"));
    count_ = new QLabel(this);
    count_->setObjectName(QStringLiteral("alarmCount"));
    auto* bar = new QHBoxLayout;
    bar->addWidget(ack_);
    bar->addWidget(count_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addLayout(bar);
    layout->addWidget(table_, 1);
    setFocusProxy(table_);
    connect(ack_, &QPushButton::clicked, this, &AlarmsView::AcknowledgeSelection);
    connect(table_, &QTableView::activated, this, [this](const QModelIndex& index) {
        if (const AlarmRow* a = model_->Row(index.row())) emit OpenAlarm(a->trainId, a->axle);
    });
    auto* soon = new QTimer(this);
    soon->setSingleShot(true);
    soon->setInterval(kEventDelayMs);
    connect(soon, &QTimer::timeout, this, &AlarmsView::Refresh);
    if (ConsoleHistory* h = ConsoleHistory::Instance())
        // Trains indexed by a catch-up bring alarms without a new-alarm signal.
        for (auto signal : {&ConsoleHistory::AlarmsChanged, &ConsoleHistory::TrainsChanged})
            connect(h, signal, soon, [soon]() {
                if (!soon->isActive()) soon->start();
            });
    Refresh();
    table_->resizeColumnsToContents();
}

void AlarmsView::Refresh() {
    // The selected alarms stay selected.
    std::set<qint64> selected;
    for (const QModelIndex& i : table_->selectionModel()->selectedRows())
        if (const AlarmRow* a = model_->Row(i.row())) selected.insert(a->id);
    // The rows the operator looks at stay in view (new alarms come in above).
    const int scrolled = table_->verticalScrollBar()->value();
    model_->Reload();
    table_->verticalScrollBar()->setValue(scrolled);
    const qint64 total = model_->rowCount();
    ConsoleHistory* h = ConsoleHistory::Instance();
    const qint64 open = h != nullptr ? h->UnacknowledgedAlarms() : 0;
    count_->setText(QStringLiteral("%1 alarms, %2 not acknowledged").arg(total).arg(open));
    for (int row = 0; !selected.empty() && row < std::min<qint64>(total, 4 * AlarmsModel::kPageRows); ++row)
        if (const AlarmRow* a = model_->Row(row); a != nullptr && selected.count(a->id) != 0)
            table_->selectionModel()->select(model_->index(row, 0),
                                             QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

std::vector<std::int64_t> AlarmsView::SelectedOpenAlarms() const {
    std::vector<std::int64_t> ids;
    for (const QModelIndex& i : table_->selectionModel()->selectedRows())
        if (const AlarmRow* a = model_->Row(i.row()); a != nullptr && !a->acknowledged) ids.push_back(a->id);
    return ids;
}

void AlarmsView::AcknowledgeSelection() {
    const std::vector<std::int64_t> ids = SelectedOpenAlarms();
    if (ids.empty()) {
        QMessageBox::information(this, QStringLiteral("Acknowledge"),
                                 QStringLiteral("Select the open alarms to acknowledge first."));
        return;
    }
    AcknowledgeDialog dialog(static_cast<int>(ids.size()), this);
    if (dialog.exec() != QDialog::Accepted) return;
    AcknowledgeSelected(dialog.Operator(), dialog.Comment());
}

int AlarmsView::AcknowledgeSelected(const QString& by, const QString& comment) {
    const std::vector<std::int64_t> ids = SelectedOpenAlarms();
    ConsoleHistory* h = ConsoleHistory::Instance();
    if (ids.empty() || h == nullptr || by.trimmed().isEmpty()) return 0;
    std::vector<std::int64_t> done;
    std::string why;
    const bool all = h->Acknowledge(ids, by.trimmed().toStdString(), comment.trimmed().toStdString(), &done, &why);
    Refresh();
    if (!all)
        QMessageBox::warning(this, QStringLiteral("Acknowledge"),
                             QStringLiteral("%1 of %2 alarms were acknowledged: %3")
                                 .arg(done.size()).arg(ids.size()).arg(QString::fromStdString(why)));
    return static_cast<int>(done.size());
}
