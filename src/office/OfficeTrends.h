#pragma once
// The office's trend rule across collection points: after a batch of trains
// is committed (trend_due lists them until their look is done), each new
// train is followed along its line through the trains the database holds
// from every point (the `site` table gives each point's sites their
// milepost and track), and a bearing whose reading above its side's median
// rises from site to site gets a `trend` alarm row, raised by the office
// (engine/Alarms.h TrainTrends, docs/alarms.md "Trends across detectors",
// docs/office.md).
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
    // The same for the trains trend_due holds (at most kDueBatch, oldest
    // first), cleared in the transaction of their alarms; *more when there
    // may be more.
    int RaiseDue(bool* more, std::string* why);
    bool On() const { return rules_.trendRise != RULE_OFF; }

    static constexpr std::size_t kDueBatch = 500;

private:
    bool Usable(std::string* why);
    int RaiseKeys(const std::vector<std::string>& keys, bool clearDue, std::string* why);
    int RaiseOne(const std::string& key, std::int64_t spreadSeconds, std::string* why);

    AlarmRules rules_;
    pg_conn* conn_ = nullptr;
    std::string conninfo_;
};

