#pragma once
// The office's trend rule across collection points: after a batch of trains
// is committed, each new train is followed along its line through the
// trains the database holds from every point (the `site` table gives each
// point's sites their milepost and track), and a bearing whose reading
// above its side's median rises from site to site gets a `trend` alarm row,
// raised by the office (engine/Alarms.h TrainTrends, docs/alarms.md
// "Trends across detectors", docs/office.md).
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Alarms.h"
#include "office/Payload.h"

struct pg_conn;

// One site's pass of a train as the office holds it.
struct OfficePass {
    std::string key;     // the train's record_key
    int pointId = 0;
    int trainNumber = 0;
    TrainPass pass;      // pass.site: the header's site number
};

// The passes of one train in the order it passed the sites, up to `self`
// (an index of `candidates`): going back from `self`, each the same train as
// the one after it (SameTrain), at most one pass a site (point and site
// number): at each site the pass of the closest axle count, then the
// closest in time; of those sites the one passed last. The chain runs one
// way along the line (mileposts rising or falling throughout), and a pass
// whose train ran the other way past the site after it (it passed that site
// before, more closely the same train) is not taken. Indexes into `candidates`.
std::vector<std::size_t> OfficeChain(const std::vector<OfficePass>& candidates, std::size_t self,
                                     const AlarmRules& rules);

// The trend alarms of a chain (TrainTrends), each with the index of the pass
// that raised it; trend steps carry the real site numbers.
struct OfficeTrendAlarm {
    std::size_t pass = 0;
    Alarm alarm;
};
std::vector<OfficeTrendAlarm> OfficeChainTrends(const std::vector<OfficePass>& candidates,
                                                const std::vector<std::size_t>& chain, const AlarmRules& rules);

class OfficeTrends {
public:
    explicit OfficeTrends(const AlarmRules& rules) : rules_(rules) {}
    ~OfficeTrends();
    OfficeTrends(const OfficeTrends&) = delete;
    OfficeTrends& operator=(const OfficeTrends&) = delete;

    // A connection of its own (libpq's connection string).
    bool Open(const std::string& conninfo, std::string* why);

    // After `trains` were committed: their trend alarms with the passes the
    // database holds, each inserted once (by its alarm_key, every value a
    // parameter). The number of new rows, or -1 with the reason in *why (the
    // connection is reset before the next call). A train without a summary,
    // or at a site the `site` table has no milepost for, raises nothing.
    int Raise(const std::vector<TrainMessage>& trains, std::string* why);

private:
    bool Usable(std::string* why);
    int RaiseOne(const std::string& key, std::int64_t spreadSeconds, std::string* why);

    AlarmRules rules_;
    pg_conn* conn_ = nullptr;
    std::string conninfo_;
};

// The trend steps as the `alarm.trend` column keeps them:
// [{"site":n,"relative":r},...], oldest first.
std::string TrendJson(const std::vector<TrendStep>& steps);
