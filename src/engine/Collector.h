#pragma once
// One collector per radio: everything the collection of one radio needs,
// in one object, and nothing of it anywhere else in the process. It owns
// the radio port, the clock (its own system clock unless it was given
// one), the caller registry, the data folder, the event hub, the day's
// scope log and the way to a scope view, the train journal, the operator's
// requests (stop, echo, port switch) and the worker's state (the link and
// the transfer).
// The programs build one and hand it what they supply: a scope view, event
// subscribers (which show operator messages as they see fit).
//
// It is the IOutput of everything below it: a scope entry goes to the day's
// log, then to the scope view; an event goes to the hub. Neither waits on a
// window.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/LinkStatus.h"
#include "common/Output.h"
#include "common/ScopeEntry.h"
#include "engine/EventHub.h"
#include "engine/HeldTrains.h"
#include "engine/Transfer.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/ScopeLog.h"
#include "radio/Link.h"
#include "radio/SerialPort.h"
#include "records/Callers.h"
#include "records/Journal.h"

struct CollectorSetup {
    std::string dataFolder;                      // with or without a trailing "/"
    std::unique_ptr<CSerialPortInterface> port;  // null: the tty port ("Ports/COM<n>")
    IClock* clock = nullptr;                     // null: the collector's own system clock
    bool scopeLog = true;                        // "Logs/Scope-YYYYMMDD.txt" in the data folder
    std::string heldFolderRoot;                  // held reports at a clean stop: "" is $TMPDIR, else /tmp
    std::size_t heldCapacity = HELD_TRAINS_CAPACITY;  // trains held at most while the folder refuses
};

// The worker thread's states.
enum class WorkerState : std::uint8_t { NotStarted, Running, Ended };

class Collector final : public IOutput {
public:
    explicit Collector(CollectorSetup setup);
    // Asks the worker to stop and waits for it, however long that takes.
    ~Collector() override;
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // IOutput: the day's log first, then the scope view; the hub.
    void Scope(std::uint32_t message, WPARAM wParam, LPARAM lParam) override;
    void Publish(EngineEvent event) override;

    const std::string& DataFolder() const { return dataFolder_; }
    IClock& Clock() { return *clock_; }
    CSerialPortInterface& Port() { return *port_; }
    RadioLink& Link() { return link_; }
    TransferState& Transfer() { return transfer_; }
    CallerRegistry& Callers() { return callers_; }
    EventHub& Events() { return hub_; }
    // The train reports the data folder refused (the worker's; see HeldTrains.h).
    HeldTrains& Held() { return held_; }
    // What the worker last saw of the history file (see WatchHistoryFile).
    struct FileWatch {
        bool started = false;
        std::uint32_t checkedAt = 0;  // clock tick
        FileIdentity seen;
    };
    FileWatch& HistoryWatch() { return historyWatch_; }
    // The train journal (the worker's; see records/Journal.h).
    TrainJournal& Journal() { return journal_; }
    // Any thread: "" when no train is held, else e.g. "12 trains held: the
    // data folder refuses writes (No space left on device)".
    std::string HeldSummary() const { return held_.Summary(); }
    // The running transfer, any thread ("" when none runs); the worker
    // notes it as the transfer goes.
    std::string TransferSummary() const;
    void NoteTransfer(const TransferProgress& progress);
    // After a clean stop that had to put held reports elsewhere: e.g. "3 held
    // train reports written to /tmp/kestova-held-812/ (the data folder
    // refused them)"; "" otherwise.
    std::string HeldElsewhere() const { return heldElsewhere_; }
    LinkStatus LinkNow() const { return watch_.Get(); }
    // The day's scope log now ("" when the collector keeps none).
    std::string ScopeLogPath() const;
    // A main pane's line for the day's log (scope entries reach it in Scope).
    void LogPaneLine(const std::string& plainText);

    // The scope view, any thread; null: none. Shared, so a view taken away
    // while the worker shows an entry lives until that entry is shown.
    void SetScopeView(std::shared_ptr<IScopeView> view);

    // The operator's requests, from any thread; the worker takes them at
    // the start of its next cycle (a transfer finishes first).
    void RequestStop() { stop_ = true; }
    bool StopRequested() const { return stop_.load(); }
    // Sends the echo test (10..1000, else 200) to the site.
    void RequestEcho(std::uint8_t siteId, std::int32_t length);
    void CancelEcho() { echoRequested_ = 0; }
    // The echo values last asked for (the dialog shows them again).
    std::uint8_t EchoSite() const { return echoSite_.load(); }
    std::int32_t EchoLength() const { return echoLength_.load(); }
    bool EchoRequested() const { return echoRequested_.load() != 0; }
    // Moves the worker to COM `comNumber` (0 is COM256, as the settings
    // file counts); a later request before that cycle replaces an earlier one.
    void RequestPortSwitch(int comNumber) { portSwitch_ = comNumber; }

    // The worker's side of the requests. EchoPending gives the request it
    // takes (0: none); EchoSent clears it unless a newer one came meanwhile.
    int TakePortSwitch() { return portSwitch_.exchange(-1); }
    std::uint32_t EchoPending(std::uint8_t* siteId, std::int32_t* length) const;
    void EchoSent(std::uint32_t request, std::uint8_t siteId, std::int32_t length);

    // The worker thread: started once (false afterwards).
    bool Start();
    // Asks the worker to stop and waits until it has ended, at most
    // `timeout`, calling `whileWaiting` every few milliseconds. True when the
    // worker has ended (or never started); false when it is still inside a
    // wait of its own: it is then abandoned, and the process must end
    // without destroying the collector. Once the worker has ended, train
    // reports still held are written once more, and what the data folder
    // still refuses goes to a folder elsewhere (HeldElsewhere names it).
    bool Stop(std::chrono::milliseconds timeout, const std::function<void()>& whileWaiting = {});
    WorkerState State() const { return state_.load(); }

private:
    // After the worker: the held reports to the data folder or elsewhere.
    void SaveHeldTrains();

    std::string dataFolder_;
    std::unique_ptr<SystemClock> ownClock_;
    IClock* clock_;
    LinkWatch watch_;
    std::unique_ptr<CSerialPortInterface> port_;
    std::unique_ptr<ScopeLog> scopeLog_;
    std::shared_ptr<IScopeView> View() const;

    mutable std::mutex viewMutex_;
    std::shared_ptr<IScopeView> view_;
    EventHub hub_;
    CallerRegistry callers_;
    RadioLink link_;
    TransferState transfer_;
    HeldTrains held_;
    TrainJournal journal_;
    FileWatch historyWatch_;
    mutable std::mutex transferMutex_;
    TransferProgress transferProgress_;
    std::string heldFolderRoot_;
    std::string heldElsewhere_;

    std::atomic<bool> stop_{false};
    std::atomic<std::uint32_t> echoRequested_{0};  // the request's number; 0: none
    std::atomic<std::uint32_t> echoRequests_{0};
    std::atomic<std::uint8_t> echoSite_{0};
    std::atomic<std::int32_t> echoLength_{40};
    std::atomic<int> portSwitch_{-1};

    std::atomic<WorkerState> state_{WorkerState::NotStarted};
    std::thread thread_;
};
