#include "console/ConsoleHistory.h"

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

ConsoleHistory::ConsoleHistory(QObject* parent) : QObject(parent) { instance = this; }

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

int ConsoleHistory::SilentHours() const {
    const int hours = GetProfileInt(dataFolder_ + kSettingsFile, kSitesSection, kSilentKey, DEFAULT_SILENT_HOURS);
    return hours > 0 ? hours : DEFAULT_SILENT_HOURS;
}
