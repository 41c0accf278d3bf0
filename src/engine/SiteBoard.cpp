#include "engine/SiteBoard.h"

#include <algorithm>
#include <cstdio>

#include "records/TrainHistory.h"
#include "records/TrainReport.h"

int LocalDay(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm {};
    localtime_r(&t, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

std::string LocalDate(std::int64_t now, int daysBack) {
    std::time_t t = static_cast<std::time_t>(now);
    std::tm tm {};
    localtime_r(&t, &tm);
    tm.tm_mday -= daysBack;
    tm.tm_hour = 12;  // clear of any daylight-saving change
    tm.tm_isdst = -1;
    t = std::mktime(&tm);
    localtime_r(&t, &tm);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return text;
}

void SiteBoard::OnEngineEvent(const EngineEvent& e) {
    if (e.siteId == 0) return;  // port events, frame errors of unknown source
    std::lock_guard<std::mutex> lock(mutex_);
    Fold(sites_[e.siteId], e);
}

bool SiteBoard::Fold(Counts& c, const EngineEvent& e) {
    if (e.siteId == 0 || e.kind == EventKind::EchoSent) return false;  // sent by us, not heard
    const int day = LocalDay(e.time);
    if (c.day != day) {
        c.day = day;
        c.retried = c.givenUp = c.frameErrors = 0;
    }
    switch (e.kind) {
        case EventKind::TransferRetried: ++c.retried; break;
        case EventKind::TransferGivenUp: ++c.givenUp; return true;  // silence, not a sign of life
        case EventKind::FrameError: ++c.frameErrors; break;
        case EventKind::PowerupRegistered: c.lastPowerup = e.time; break;
        default: break;
    }
    if (e.time > c.lastHeard) c.lastHeard = e.time;
    return true;
}

std::map<int, SiteBoard::Counts> SiteBoard::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sites_;
}

namespace {
std::int64_t ParseLocal(const std::string& text) {
    std::tm tm {};
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
        return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm));
}
}  // namespace

std::vector<SiteRow> BuildSiteRows(const CallerTable& registry, const SiteBoard* board,
                                   TrainHistory* history, std::int64_t now, int silentHours) {
    std::vector<SiteRow> rows;
    for (const SiteInfo& s : RegistrySites(registry.data(), registry.size())) {
        SiteRow r;
        r.radioId = s.radioId;
        r.siteNumber = s.siteNumber;
        r.unitType = s.unitType;
        r.name = s.name;
        r.milepost = s.milepost;
        r.track = s.track;
        r.trackCount = s.trackCount;
        rows.push_back(r);
    }
    auto rowFor = [&rows](int siteNumber, int radioId) -> SiteRow& {
        for (SiteRow& r : rows)
            if (r.siteNumber == siteNumber) return r;
        rows.emplace_back();
        rows.back().siteNumber = siteNumber;
        rows.back().radioId = radioId;
        return rows.back();
    };
    if (history != nullptr) {
        for (const SiteTrainStats& s : history->SiteStats(LocalDate(now, 0), LocalDate(now, 6))) {
            SiteRow& r = rowFor(s.siteNumber, s.siteId);
            r.trainsToday = s.trainsToday;
            r.trainsWeek = s.trainsWeek;
            r.lastSimCode = s.lastSimCode;
            const std::int64_t received = ParseLocal(s.lastReceived);
            if (received > r.lastHeard) r.lastHeard = received;
        }
    }
    // The board's counts since the start, over those the history kept from
    // before it (the same events counted: the larger of the two holds).
    std::map<int, SiteBoard::Counts> counts;
    if (history != nullptr) {
        for (const SiteDayCounts& h : history->SiteCounts())
            counts[h.radioId] = SiteBoard::Counts{h.lastHeard, h.lastPowerup, h.day, h.retried, h.givenUp, h.frameErrors};
    }
    if (board != nullptr) {
        for (const auto& [radio, b] : board->Snapshot()) {
            SiteBoard::Counts& c = counts[radio];
            if (b.day > c.day) {
                c.day = b.day;
                c.retried = b.retried, c.givenUp = b.givenUp, c.frameErrors = b.frameErrors;
            } else if (b.day == c.day) {
                c.retried = std::max(c.retried, b.retried);
                c.givenUp = std::max(c.givenUp, b.givenUp);
                c.frameErrors = std::max(c.frameErrors, b.frameErrors);
            }
            c.lastHeard = std::max(c.lastHeard, b.lastHeard);
            c.lastPowerup = std::max(c.lastPowerup, b.lastPowerup);
        }
    }
    if (!counts.empty()) {
        const int today = LocalDay(now);
        // The board counts by radio. A radio given to another site number
        // belongs to the site the registry names for it now; an older site
        // of the history that used the radio keeps its own last train.
        const std::size_t registryRows = RegistrySites(registry.data(), registry.size()).size();
        for (const auto& [radio, c] : counts) {
            bool found = false;
            bool inRegistry = false;
            for (std::size_t i = 0; i < registryRows; ++i) inRegistry = inRegistry || rows[i].radioId == radio;
            for (std::size_t i = 0; i < rows.size(); ++i) {
                SiteRow& r = rows[i];
                if (r.radioId != radio || (inRegistry && i >= registryRows)) continue;
                found = true;
                if (c.lastHeard > r.lastHeard) r.lastHeard = c.lastHeard;
                r.lastPowerup = c.lastPowerup;
                if (c.day == today) {
                    r.retriedToday = c.retried;
                    r.givenUpToday = c.givenUp;
                    r.frameErrorsToday = c.frameErrors;
                }
            }
            if (!found) {
                SiteRow r;
                r.radioId = radio;
                r.lastHeard = c.lastHeard;
                r.lastPowerup = c.lastPowerup;
                if (c.day == today) {
                    r.retriedToday = c.retried;
                    r.givenUpToday = c.givenUp;
                    r.frameErrorsToday = c.frameErrors;
                }
                rows.push_back(r);
            }
        }
    }
    for (SiteRow& r : rows)
        r.silent = r.lastHeard == 0 || now - r.lastHeard > static_cast<std::int64_t>(silentHours) * 3600;
    return rows;
}

std::string FormatSiteTable(const std::vector<SiteRow>& rows) {
    std::string out =
        "Radio Site  Type     Name     Milepost Track Last heard          Last Powerup        "
        "Today 7 days Retried Given up Frame errors Last message\n";
    char line[512];
    for (const SiteRow& r : rows) {
        const std::string heard = r.lastHeard != 0 ? LocalTimeText(r.lastHeard) : "never";
        const std::string powerup = r.lastPowerup != 0 ? LocalTimeText(r.lastPowerup) : "-";
        char site[16] = "-", milepost[16] = "-", track[16] = "-";
        if (r.siteNumber >= 0) std::snprintf(site, sizeof site, "%05d", r.siteNumber);
        if (r.milepost >= 0) std::snprintf(milepost, sizeof milepost, "%d.%d", r.milepost / 10, r.milepost % 10);
        if (r.track > 0) std::snprintf(track, sizeof track, "%d/%d", r.track, r.trackCount);
        const char* message = r.lastSimCode > 0 ? SystemMessageText(r.lastSimCode) : "-";
        std::snprintf(line, sizeof line, "%5d %-5s %-8s %-8s %8s %-5s %-19s %-19s %5d %6d %7d %8d %12d %s%s\n",
                      r.radioId, site, r.unitType.empty() ? "-" : r.unitType.c_str(),
                      r.name.empty() ? "-" : r.name.c_str(), milepost, track, heard.c_str(),
                      powerup.c_str(), r.trainsToday, r.trainsWeek, r.retriedToday, r.givenUpToday,
                      r.frameErrorsToday, message, r.silent ? " [SILENT]" : "");
        out += line;
    }
    return out;
}
