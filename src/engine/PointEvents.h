#pragma once
// What the collector puts in the event journal for the control office
// (records/EventJournal.h): new alarms, Powerups, the radio link lost and
// back, transfers given up, and each site's health when it changes. Used by
// the history recorder on its own thread, never on the worker's: an append
// (flushed to the disk) never holds up the radio.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/Events.h"
#include "records/EventJournal.h"
#include "records/TrainHistory.h"

struct SiteRow;

class PointEventJournal {
public:
    // `dataFolder` with a trailing "/"; `notice` tells a failure (once, until
    // an append works again).
    PointEventJournal(std::string dataFolder, std::function<void(const std::string&)> notice);

    // Powerups, the link and transfers given up (and a train's time, for its
    // site's health); `siteNumbers` by radio id.
    void OnEngineEvent(const EngineEvent& event, const std::map<int, int>& siteNumbers);
    // A new alarm of a train reported live.
    // `trendSteps`: a trend alarm's steps as JSON (TrendStepsJson), "" for none.
    void Alarm(const AlarmRow& alarm, const std::string& journalFile, std::uint64_t journalOffset,
               std::int64_t time, const std::string& trendSteps = "");
    // The sites as the board shows them: those whose health changed since
    // they were last journaled are journaled (last heard alone counts once
    // it moved on by kHeardStep).
    void Sites(const std::vector<SiteRow>& rows, std::int64_t now);
    // Whether Sites is due (once a minute; the recorder also calls it at
    // each Powerup).
    bool SitesDue(std::int64_t now) const { return now - sitesAt_ >= kSitesEvery || now < sitesAt_; }

    static constexpr std::int64_t kSitesEvery = 60;
    static constexpr std::int64_t kHeardStep = 300;

private:
    void Append(std::int64_t time, const std::string& json);

    const std::string dataFolder_;
    EventAppendCache cache_;  // what this journal wrote last, per file
    std::function<void(const std::string&)> notice_;
    bool failing_ = false;
    std::int64_t sitesAt_ = -kSitesEvery;
    std::map<int, SiteHealthEvent> journaled_;   // by site number
    std::map<int, std::int64_t> lastTrain_;  // by site number
};
