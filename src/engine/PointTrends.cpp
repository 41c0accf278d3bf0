#include "engine/PointTrends.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

#include "engine/AlarmCommand.h"

namespace {

// Trains looked at around one train, at most.
constexpr int kMostTrains = 500;

// "YYYY-MM-DD HH:MM:SS" local time as seconds since 1970; 0 when not one.
long long LocalSeconds(const std::string& text) {
    std::tm tm{};
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                    &tm.tm_sec) != 6)
        return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    return static_cast<long long>(std::mktime(&tm));
}

}  // namespace

AlarmFields AlarmFieldsOf(const Alarm& a, const AlarmRules& rules) {
    AlarmFields f;
    f.kind = AlarmKindName(a.kind);
    f.axle = a.axle;
    f.car = a.car;
    f.axleInCar = a.axleInCar;
    f.side = AlarmSideName(a.side);
    f.reading = a.reading;
    f.reference = a.reference;
    f.threshold = a.threshold;
    f.code = a.code;
    f.text = AlarmText(a, rules);
    return f;
}

std::string TrendStepsJson(const std::vector<TrendStep>& steps) {
    std::string j = "[";
    for (const TrendStep& s : steps)
        j += (j.size() > 1 ? "," : "") + std::string("{\"site\":") + std::to_string(s.site) +
             ",\"relative\":" + std::to_string(s.relative) + "}";
    return j + "]";
}

bool RaisePointTrends(TrainHistory& history, const std::string& reportFile, const std::vector<SiteInfo>& sites,
                      const AlarmRules& rules, std::vector<AlarmRow>* added, std::string* why,
                      std::map<std::int64_t, std::string>* trendSteps) {
    if (rules.trendRise == RULE_OFF) return true;
    // The longest run between two of the point's sites, at the slowest
    // speed the rule takes, twice: a pass at the far end of a chain is
    // weighed against the passes of its own train before it.
    int low = 0, high = 0;
    for (const SiteInfo& s : sites) {
        if (s.milepost <= 0) continue;
        low = low == 0 ? s.milepost : std::min(low, s.milepost);
        high = std::max(high, s.milepost);
    }
    if (high <= low) return true;  // one site, or none with a milepost: no line to follow
    const long long seconds = std::min<long long>(2LL * ((high - low) * 360LL / std::max(rules.trendMinSpeed, 1) + 1), 86400);

    const std::vector<TrainPassRow> rows = history.TrainsReceivedNear(reportFile, seconds, kMostTrains);
    if (rows.size() < 2 || rows.front().row.milepost <= 0) return true;
    const TrainRow& self = rows.front().row;
    std::vector<TrainPass> passes;
    std::vector<std::int64_t> ids;
    for (const TrainPassRow& r : rows) {
        if (r.row.milepost <= 0 || r.row.track != self.track ||
            std::abs(r.row.axles - self.axles) > 8 * rules.trendAxleTolerance)
            continue;
        TrainPass p;
        p.site = r.row.siteNumber;  // one number a registry entry (a second track's is one more)
        p.milepost = r.row.milepost;
        p.track = r.row.track;
        p.received = LocalSeconds(r.row.received);
        p.direction = r.direction;
        p.axles = history.Axles(r.row.id);
        passes.push_back(std::move(p));
        ids.push_back(r.row.id);
    }
    if (passes.size() < 2) return true;
    std::map<std::int64_t, std::vector<AlarmFields>> byTrain;
    std::map<std::int64_t, std::vector<Alarm>> found;  // the same, as the rule gave them
    for (const PassAlarm& a : NewPassTrends(passes, 0, rules)) {
        byTrain[ids[a.pass]].push_back(AlarmFieldsOf(a.alarm, rules));
        found[ids[a.pass]].push_back(a.alarm);
    }
    std::vector<AlarmRow> mine;
    for (const auto& [train, alarms] : byTrain)
        if (!history.AddAlarms(train, alarms, &mine, why)) return false;
    for (AlarmRow& row : mine) {
        if (trendSteps != nullptr)
            for (const Alarm& a : found[row.trainId])
                if (a.axle == row.axle && AlarmSideName(a.side) == row.side) (*trendSteps)[row.id] = TrendStepsJson(a.trend);
        if (added != nullptr) added->push_back(std::move(row));
    }
    return true;
}
