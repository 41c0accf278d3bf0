#include "console/ConsoleHistory.h"

#include <QTimer>

#include "common/LogLine.h"
#include "platform/Profile.h"

namespace {

ConsoleHistory* instance = nullptr;

constexpr const char* kSettingsFile = "K7_Dialups.ini";
constexpr const char* kSitesSection = "Sites";
constexpr const char* kSilentKey = "Silent_Hours";

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

ConsoleHistory::ConsoleHistory(QObject* parent) : QObject(parent) {
    instance = this;
    auto* watch = new QTimer(this);
    connect(watch, &QTimer::timeout, this, &ConsoleHistory::Watch);
    watch->start(kWatchMs);
}

void ConsoleHistory::Watch() {
    if (dataFolder_.empty()) return;
    // Opened again now and then: a history made again holds another file.
    if (++watchTicks_ % 30 == 0) watcher_.reset();
    if (!watcher_) {
        watcher_ = OpenReader();
        seenVersion_ = -1;  // a version counts within one connection only
    }
    if (!watcher_) return;
    const std::int64_t version = watcher_->DataVersion();
    if (version < 0) {  // the file went away: open it again next time
        watcher_.reset();
        return;
    }
    if (version == seenVersion_) return;
    seenVersion_ = version;
    // Trains come with their own signals; only a change in the alarms that
    // no signal told is told here. The open count alone is not enough: an
    // alarm stored and acknowledged between two looks leaves it as it was.
    const std::int64_t open = watcher_->CountUnacknowledged();
    const std::int64_t all = watcher_->CountAlarms({});
    // The first look tells too: the history may have changed before it.
    if (open != seenOpen_ || all != seenAll_) emit AlarmsChanged();
    seenOpen_ = open;
    seenAll_ = all;
}

ConsoleHistory::~ConsoleHistory() {
    Stop();
    if (instance == this) instance = nullptr;
}

ConsoleHistory* ConsoleHistory::Instance() { return instance; }

void ConsoleHistory::Start(Collector& collector) {
    if (started_) return;
    started_ = true;
    collector_ = &collector;
    dataFolder_ = collector.DataFolder();
    // Progress and failures go to the serial scope like the other lines
    // of the collector.
    recorder_ = std::make_unique<HistoryRecorder>(
        collector.Callers(), [&collector](const std::string& line, bool error) {
            LogLine(collector, error ? COLOUR_DARK_RED : COLOUR_DARK_GREEN, "%s\n", line.c_str());
        });
    recorder_->SetChangedHook([this]() {
        QMetaObject::invokeMethod(this, &ConsoleHistory::TrainsChanged, Qt::QueuedConnection);
    });
    // Each new live alarm, as soon as it is stored: the banner, the sound
    // and the desktop's notification follow it.
    recorder_->SetAlarmListener([this](const AlarmRow& alarm) {
        const QString title = QStringLiteral("Alarm at site %1%2, train %3")
                                  .arg(alarm.siteNumber, 5, 10, QLatin1Char('0'))
                                  .arg(alarm.siteName.empty() ? QString()
                                                              : QStringLiteral(" ") + QString::fromLatin1(alarm.siteName.c_str()))
                                  .arg(alarm.trainNumber);
        const QString text = QString::fromLatin1(alarm.text.c_str());
        const qint64 id = alarm.id;
        QMetaObject::invokeMethod(this, [this, id, title, text]() {
            emit AlarmsChanged();
            emit NewAlarm(id, title, text);
        }, Qt::QueuedConnection);
    });
    relay_ = std::make_unique<Relay>(this);
    EventHub& hub = collector.Events();
    hub.Subscribe(recorder_.get());
    hub.Subscribe(&board_);
    hub.Subscribe(relay_.get());
}

void ConsoleHistory::Stop() {
    if (!started_) return;
    started_ = false;
    EventHub& hub = collector_->Events();
    hub.Unsubscribe(relay_.get());
    hub.Unsubscribe(&board_);
    recorder_->Stop();
    hub.Unsubscribe(recorder_.get());
}

CallerTable ConsoleHistory::Registry() const {
    if (collector_ != nullptr) return collector_->Callers().Snapshot();
    // Read only: the registry file of the folder, as it is now.
    CallerRegistry registry(dataFolder_);
    registry.Load();
    return registry.Snapshot();
}

std::unique_ptr<TrainHistory> ConsoleHistory::OpenReader() const {
    return TrainHistory::OpenForReading(HistoryPath(dataFolder_), nullptr, nullptr);
}

bool ConsoleHistory::Acknowledge(const std::vector<std::int64_t>& ids, const std::string& by,
                                 const std::string& comment, std::vector<std::int64_t>* done, std::string* why) {
    std::unique_ptr<TrainHistory> history = TrainHistory::OpenForUpdate(HistoryPath(dataFolder_), nullptr, why);
    if (!history) return false;
    bool all = true;
    for (std::int64_t id : ids) {
        std::string refused;
        if (history->AcknowledgeAlarm(id, by, comment, &refused)) {
            if (done != nullptr) done->push_back(id);
        } else {
            if (all && why != nullptr) *why = refused;
            all = false;
        }
    }
    history.reset();
    emit AlarmsChanged();
    return all;
}

std::int64_t ConsoleHistory::UnacknowledgedAlarms() const {
    std::unique_ptr<TrainHistory> history = OpenReader();
    return history ? history->CountUnacknowledged() : 0;
}

int ConsoleHistory::SilentHours() const {
    const int hours = GetProfileInt(dataFolder_ + kSettingsFile, kSitesSection, kSilentKey, DEFAULT_SILENT_HOURS);
    return hours > 0 ? hours : DEFAULT_SILENT_HOURS;
}
