#include "engine/Collector.h"

#include <cstdio>
#include <ctime>
#include <utility>

#include "engine/Worker.h"
#include "platform/Paths.h"
#include "platform/TtySerialPort.h"

Collector::Collector(CollectorSetup options)
    : dataFolder_(WithTrailingSlash(std::move(options.dataFolder))),
      ownClock_(options.clock == nullptr ? std::make_unique<SystemClock>() : nullptr),
      clock_(options.clock != nullptr ? options.clock : ownClock_.get()),
      port_(options.port ? std::move(options.port)
                         : std::make_unique<DeviceSerialPort<TtySerialPort>>()),
      scopeLog_(options.scopeLog ? std::make_unique<ScopeLog>(dataFolder_, *clock_) : nullptr),
      callers_(dataFolder_),
      link_(*port_, *clock_, *this),
      held_(options.heldCapacity),
      journal_(dataFolder_, *clock_),
      heldFolderRoot_(std::move(options.heldFolderRoot)) {
    PortServices services;
    services.dataFolder = dataFolder_;
    services.out = this;
    services.link = &watch_;
    services.clock = clock_;
    port_->Attach(services);
    link_.rx.lastByteTick = clock_->TickCount();
}

Collector::~Collector() {
    // The worker uses every member: it must have ended before they go. A
    // program that cannot wait (a worker stuck in a device write) calls
    // Stop with its limit first and ends the process without destroying
    // the collector when that fails.
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    SaveHeldTrains();
}

void Collector::SaveHeldTrains() {
    int saved = 0;
    const std::string folder = SaveHeldTrainsElsewhere(*this, heldFolderRoot_, &saved);
    if (saved > 0) {
        heldElsewhere_ = std::to_string(saved) + " held train report" + (saved == 1 ? "" : "s") +
                         " written to " + folder + " (the data folder refused them)";
    }
}

void Collector::Scope(std::uint32_t message, WPARAM wParam, LPARAM lParam) {
    ScopeEntry entry;
    if (!DescribeScopeEntry(message, wParam, lParam, std::time(nullptr), &entry)) return;
    if (scopeLog_) scopeLog_->Append(entry.Plain());
    if (const std::shared_ptr<IScopeView> view = View()) view->Show(entry);
}

void Collector::Publish(EngineEvent event) {
    if (event.time == 0) event.time = static_cast<std::int64_t>(std::time(nullptr));
    hub_.Publish(event);
}

std::string Collector::TransferSummary() const {
    std::lock_guard<std::mutex> lock(transferMutex_);
    return FormatTransferProgress(transferProgress_);
}

void Collector::NoteTransfer(const TransferProgress& progress) {
    std::lock_guard<std::mutex> lock(transferMutex_);
    transferProgress_ = progress;
}

void Collector::LogPaneLine(const std::string& plainText) {
    if (scopeLog_) scopeLog_->Append(plainText);
}

std::string Collector::ScopeLogPath() const { return scopeLog_ ? scopeLog_->CurrentPath() : ""; }

std::shared_ptr<IScopeView> Collector::View() const {
    std::lock_guard<std::mutex> lock(viewMutex_);
    return view_;
}

void Collector::SetScopeView(std::shared_ptr<IScopeView> view) {
    std::lock_guard<std::mutex> lock(viewMutex_);
    view_ = std::move(view);
}

void Collector::RequestEcho(std::uint8_t siteId, std::int32_t length) {
    echoSite_ = siteId;
    echoLength_ = length;
    std::uint32_t number = ++echoRequests_;
    if (number == 0) number = ++echoRequests_;
    // Both values are in place before the worker can see the request.
    echoRequested_ = number;
}

std::uint32_t Collector::EchoPending(std::uint8_t* siteId, std::int32_t* length) const {
    const std::uint32_t request = echoRequested_.load();
    if (request == 0) return 0;
    *siteId = echoSite_.load();
    *length = echoLength_.load();
    return request;
}

void Collector::EchoSent(std::uint32_t request, std::uint8_t siteId, std::int32_t length) {
    // A length outside 10..1000 went out as 200: the dialog shows that next.
    std::int32_t asked = echoLength_.load();
    if (asked != length && (asked < 10 || asked > 1000)) echoLength_.compare_exchange_strong(asked, length);
    char text[128];
    std::snprintf(text, sizeof text, "Sending \"ECHO\" to SiteID = %d \n", static_cast<int>(siteId));
    if (const std::shared_ptr<IScopeView> view = View()) view->EchoLine(text);
    // Cleared after the sending, not before; a newer request stays.
    echoRequested_.compare_exchange_strong(request, 0);
}

bool Collector::Start() {
    if (state_.load() != WorkerState::NotStarted) return false;
    stop_ = false;
    state_ = WorkerState::Running;
    thread_ = std::thread([this]() {
        RunCollectorLoop(*this);
        state_ = WorkerState::Ended;
    });
    return true;
}

bool Collector::Stop(std::chrono::milliseconds timeout, const std::function<void()>& whileWaiting) {
    if (!thread_.joinable()) {
        if (state_.load() == WorkerState::Running) return false;
        SaveHeldTrains();
        return true;
    }
    stop_ = true;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (state_.load() != WorkerState::Ended && std::chrono::steady_clock::now() < deadline) {
        if (whileWaiting) whileWaiting();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (state_.load() != WorkerState::Ended) return false;
    // The thread only returns after setting the state.
    thread_.join();
    SaveHeldTrains();
    return true;
}
