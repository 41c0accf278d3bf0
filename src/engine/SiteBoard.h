#pragma once
// What an operator looks at first: one row per site known from the
// registry, the train history or the line, with when it was last heard,
// its trains and its troubles. The board itself follows the engine's events
// (last heard, Powerups, transfers retried and given up, frame errors, per
// local day); the rows join it with the registry and the history.
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/EventHub.h"
#include "records/Callers.h"

class TrainHistory;

struct SiteRow {
    int radioId = 0;             // 0: not known
    int siteNumber = -1;         // -1: not known (heard on the line only)
    std::string unitType, name;
    int milepost = -1;           // tenths; -1: not known
    int track = 0, trackCount = 0;
    std::int64_t lastHeard = 0;  // seconds since 1970; 0: never
    std::int64_t lastPowerup = 0;
    int trainsToday = 0, trainsWeek = 0;
    int retriedToday = 0, givenUpToday = 0, frameErrorsToday = 0;
    int lastSimCode = 0;
    bool silent = false;         // not heard for longer than the limit
};

class SiteBoard final : public IEventSubscriber {
public:
    void OnEngineEvent(const EngineEvent& event) override;

    struct Counts {
        std::int64_t lastHeard = 0, lastPowerup = 0;
        int day = 0;             // local day the counts below belong to (yyyymmdd)
        int retried = 0, givenUp = 0, frameErrors = 0;
    };
    std::map<int, Counts> Snapshot() const;
    // What one event does to a radio's counts (the board's rule, shared with
    // the history that keeps them over a restart): false when it changes
    // nothing.
    static bool Fold(Counts& counts, const EngineEvent& event);

private:
    mutable std::mutex mutex_;
    std::map<int, Counts> sites_;  // by radio identifier
};

constexpr int DEFAULT_SILENT_HOURS = 24;

// The rows at `now`: registry entries, then sites of the history and of the
// board that the registry does not hold. `history` may be null.
std::vector<SiteRow> BuildSiteRows(const CallerTable& registry, const SiteBoard* board,
                                   TrainHistory* history, std::int64_t now,
                                   int silentHours = DEFAULT_SILENT_HOURS);

// The rows as a text table (the headless collector's "sites").
std::string FormatSiteTable(const std::vector<SiteRow>& rows);

// Local day number yyyymmdd of a time.
int LocalDay(std::int64_t seconds);
// "YYYY-MM-DD" of the local day `daysBack` days before `now`.
std::string LocalDate(std::int64_t now, int daysBack);
