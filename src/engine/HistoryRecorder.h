#pragma once
// Keeps the train history up to date: at its start it opens (or replaces)
// "Trains.sqlite" and catches up with the report folder, then it indexes
// every report the worker writes. It runs as an event subscriber, on its own
// thread, so a locked, full or unwritable database never holds up the
// collection: the report is already written, the failure is told once, and
// the history catches up the next time it can write (at the latest at the
// next start).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/AlarmCommand.h"
#include "engine/Alarms.h"
#include "engine/EventHub.h"
#include "engine/PointEvents.h"
#include "engine/SiteBoard.h"
#include "records/Callers.h"
#include "records/TrainHistory.h"

class TrainHistory;

class HistoryRecorder final : public IEventSubscriber {
public:
    // Lines for the operator: progress, skipped reports, failures (error
    // true for those that begin with "ERROR").
    using Notice = std::function<void(const std::string& line, bool error)>;

    // Indexes the reports of the registry's data folder, naming their sites
    // from the registry.
    HistoryRecorder(const CallerRegistry& callers, Notice notice);
    ~HistoryRecorder() override;

    void OnSubscriberStart() override;
    void OnEngineEvent(const EngineEvent& event) override;

    // Cuts a running catch-up short (from any thread): call before
    // unsubscribing so a stop does not wait for it.
    void Stop();

    // Called on the recorder's thread whenever rows were added or changed
    // (set before subscribing).
    void SetChangedHook(std::function<void()> hook) { changed_ = std::move(hook); }

    // Called on the recorder's thread for every new alarm of a train reported
    // live (not for trains caught up or indexed again), after it is stored
    // (set before subscribing). The alarm command of [Alarms] Command= is
    // run for it as well, by the recorder.
    void SetAlarmListener(std::function<void(const AlarmRow&)> listener) { alarmListener_ = std::move(listener); }

private:
    bool Open();
    // Keeps the radio's counts of the day (see SiteBoard::Fold) in the history.
    void CountSiteEvent(const EngineEvent& event);
    // The history file was deleted or replaced: made again, with one line.
    void FileChanged();
    std::vector<SiteInfo> Sites() const;
    void CatchUp(bool quiet);
    void Failed(const std::string& why);
    // Indexes a train reported live and hands out its new alarms: false
    // (told once, with `tellFailure`) when the history cannot be written.
    bool IndexLive(const EngineEvent& event, bool tellFailure = true);

    const CallerRegistry& callers_;
    std::string dataFolder_;
    Notice notice_;
    std::function<void()> changed_;
    std::mutex mutex_;  // guards history_ against Stop()
    std::unique_ptr<TrainHistory> history_;
    std::atomic<bool> stopping_{false};
    bool failing_ = false;   // told the operator; catch up at the next success
    std::map<int, SiteBoard::Counts> siteCounts_;  // by radio, as stored
    bool siteCountsRead_ = false;
    std::function<void(const AlarmRow&)> alarmListener_;
    std::vector<EngineEvent> unindexed_;  // live trains the history could not take yet
    PointEventJournal events_;  // for the control office
    // Journals the sites whose health changed (at most once a minute).
    void JournalSites(std::int64_t now);
    AlarmRules rules_;       // read at the start
    std::unique_ptr<AlarmCommand> alarmCommand_;
};

// The progress and damaged-file lines of a catch-up (shared with the query tool).
std::string CatchUpProgressLine(int done, int total);
