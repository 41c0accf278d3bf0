#include "engine/PointEvents.h"

#include "engine/SiteBoard.h"

PointEventJournal::PointEventJournal(std::string dataFolder, std::function<void(const std::string&)> notice)
    : dataFolder_(std::move(dataFolder)), notice_(std::move(notice)) {}

void PointEventJournal::Append(std::int64_t time, const std::string& json) {
    std::string why;
    if (AppendEvent(dataFolder_, time, json, &why, &cache_)) {
        failing_ = false;
        return;
    }
    if (failing_) return;
    failing_ = true;
    if (notice_) notice_("ERROR: " + why + "; the office does not hear of the collector's events meanwhile");
}

void PointEventJournal::OnEngineEvent(const EngineEvent& event, const std::map<int, int>& siteNumbers) {
    const auto site = siteNumbers.find(event.siteId);
    const int siteNumber = site == siteNumbers.end() ? 0 : site->second;
    switch (event.kind) {
        case EventKind::PowerupRegistered:
            Append(event.time, PowerupEventJson(event.siteId, siteNumber, event.track));
            break;
        case EventKind::PortLost:
        case EventKind::PortBack:
            Append(event.time, LinkEventJson(event.kind == EventKind::PortLost, event.text));
            break;
        case EventKind::TrainReported:
            if (siteNumber != 0) lastTrain_[siteNumber] = event.time;
            break;
        case EventKind::TransferGivenUp:
            Append(event.time, TransferGivenUpEventJson(event.siteId, siteNumber));
            break;
        default:
            break;
    }
}

void PointEventJournal::Alarm(const AlarmRow& alarm, const std::string& journalFile, std::uint64_t journalOffset,
                              std::int64_t time, const std::string& trendSteps) {
    Append(time, AlarmEventJson(alarm, TrainJournalPlaceOf(journalFile, journalOffset), alarm.siteId,
                                alarm.siteNumber, alarm.trainNumber, trendSteps));
}

void PointEventJournal::Sites(const std::vector<SiteRow>& rows, std::int64_t now) {
    sitesAt_ = now;
    for (const SiteRow& r : rows) {
        if (r.siteNumber < 0) continue;  // heard on the line only: no number to file it under
        SiteHealthEvent h;
        h.siteNumber = r.siteNumber;
        h.radioId = r.radioId;
        h.name = r.name;
        h.milepost = r.milepost;
        h.track = r.track;
        h.silent = r.silent;
        h.lastCode = r.lastSimCode;
        h.lastCall = r.lastHeard;
        const auto train = lastTrain_.find(r.siteNumber);
        h.lastTrain = train == lastTrain_.end() ? 0 : train->second;
        const auto was = journaled_.find(r.siteNumber);
        if (was != journaled_.end()) {
            SiteHealthEvent same = h;
            // Last heard alone moves on with every frame: journaled in steps.
            if (h.lastCall - was->second.lastCall < kHeardStep) same.lastCall = was->second.lastCall;
            if (same == was->second) continue;
        }
        Append(now, SiteEventJson(h));
        journaled_[r.siteNumber] = h;
    }
}
