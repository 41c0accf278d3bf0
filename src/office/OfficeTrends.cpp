#include "office/OfficeTrends.h"

#include "office/Pg.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>

#include "engine/AlarmCommand.h"
#include "engine/Assembly.h"
#include "engine/PointTrends.h"

namespace {

// A chain never holds more passes than this, nor a query more candidates.
constexpr int kMostCandidates = 500;





}  // namespace


OfficeTrends::~OfficeTrends() {
    if (conn_) PQfinish(conn_);
}

bool OfficeTrends::Open(const std::string& conninfo, std::string* why) {
    conninfo_ = conninfo;
    return PgOpen(&conn_, conninfo, why);
}

bool OfficeTrends::Usable(std::string* why) { return PgUsable(&conn_, conninfo_, why); }

int OfficeTrends::Raise(const std::vector<TrainMessage>& trains, std::string* why) {
    std::vector<std::string> keys;
    for (const TrainMessage& t : trains)
        if (t.summary.present && t.summary.axles > 0) keys.push_back(t.Key());
    return RaiseKeys(keys, false, why);
}

int OfficeTrends::RaiseDue(bool* more, std::string* why) {
    *more = false;
    if (!On()) return 0;
    if (!Usable(why)) return -1;
    const std::string limit = std::to_string(kDueBatch);
    const char* params[] = {limit.c_str()};
    PgResult due(PQexecParams(conn_, "SELECT record_key FROM trend_due ORDER BY stored_at, record_key LIMIT $1::integer",
                            1, nullptr, params, nullptr, nullptr, 0));
    if (!due.Ok()) {
        if (why) *why = PgErrorOf(conn_);
        return -1;
    }
    std::vector<std::string> keys;
    for (int i = 0; i < PQntuples(due.r); ++i) keys.emplace_back(PQgetvalue(due.r, i, 0));
    if (keys.empty()) return 0;
    const int added = RaiseKeys(keys, true, why);
    if (added >= 0) *more = keys.size() == kDueBatch;
    return added;
}

int OfficeTrends::RaiseKeys(const std::vector<std::string>& keys, bool clearDue, std::string* why) {
    if (!On() || keys.empty()) return 0;
    if (!Usable(why)) return -1;
    // The longest a train can take between two sites of the table, at the
    // slowest speed the rule takes for a run.
    PgResult spread(PQexec(conn_, "SELECT coalesce(max(milepost) - min(milepost), 0) FROM site WHERE milepost IS NOT NULL"));
    if (!spread.Ok() || PQntuples(spread.r) != 1) {
        if (why) *why = PgErrorOf(conn_);
        return -1;
    }
    const long long tenths = std::atoll(PQgetvalue(spread.r, 0, 0));
    // Twice that: a pass at the far end of a chain is weighed against the
    // passes of its own train before it.
    const std::int64_t seconds = std::min<long long>(2 * (tenths * 360 / std::max(rules_.trendMinSpeed, 1) + 1), 86400);

    PgResult begin(PQexec(conn_, "BEGIN"));
    if (!begin.Ok()) {
        if (why) *why = PgErrorOf(conn_);
        return -1;
    }
    int added = 0;
    // No two sites apart: no line to follow a train along.
    for (std::size_t i = 0; tenths > 0 && i < keys.size(); ++i) {
        const int n = RaiseOne(keys[i], seconds, why);
        if (n < 0) {
            PgResult rollback(PQexec(conn_, "ROLLBACK"));
            return -1;
        }
        added += n;
    }
    if (clearDue) {
        const std::string list = PgTextArray(keys);
        const char* params[] = {list.c_str()};
        PgResult cleared(PQexecParams(conn_, "DELETE FROM trend_due WHERE record_key = ANY($1::text[])", 1, nullptr,
                                    params, nullptr, nullptr, 0));
        if (!cleared.Ok()) {
            if (why) *why = PgErrorOf(conn_);
            PgResult rollback(PQexec(conn_, "ROLLBACK"));
            return -1;
        }
    }
    PgResult commit(PQexec(conn_, "COMMIT"));
    if (!commit.Ok()) {
        if (why) *why = PgErrorOf(conn_);
        return -1;
    }
    return added;
}

int OfficeTrends::RaiseOne(const std::string& key, std::int64_t spreadSeconds, std::string* why) {
    // The passes at sites of the train's track (the site table's, else the
    // header's) received within the longest run of it, of a near axle count.
    const std::string window = std::to_string(spreadSeconds);
    const std::string axleSlack = std::to_string(rules_.trendAxleTolerance * 8);
    const std::string limit = std::to_string(kMostCandidates);
    const char* params[] = {key.c_str(), window.c_str(), axleSlack.c_str(), limit.c_str()};
    PgResult r(PQexecParams(
        conn_,
        "WITH me AS ("
        "  SELECT t.received_at, coalesce(s.track, t.track) AS track, t.axle_count"
        "  FROM train t JOIN site s ON s.point_id = t.point_id AND s.site_number = t.site_number"
        "  WHERE t.record_key = $1 AND s.milepost IS NOT NULL)"
        " SELECT t.record_key, t.point_id, t.site_number, coalesce(t.train_number, 0),"
        "  extract(epoch FROM t.received_at)::bigint, coalesce(t.direction, ''), s.milepost,"
        "  coalesce(s.track, t.track), t.delivery, t.block_count, t.radio_id, t.ack_byte, t.stream"
        " FROM me, train t JOIN site s ON s.point_id = t.point_id AND s.site_number = t.site_number"
        " WHERE s.milepost IS NOT NULL AND coalesce(s.track, t.track) = me.track"
        "  AND t.received_at BETWEEN me.received_at - make_interval(secs => $2::bigint)"
        "                        AND me.received_at + make_interval(secs => $2::bigint)"
        "  AND abs(t.axle_count - me.axle_count) <= $3::integer"
        " ORDER BY t.record_key = $1 DESC, abs(extract(epoch FROM t.received_at - me.received_at)), t.id"
        " LIMIT $4::integer",
        4, nullptr, params, nullptr, nullptr, 0));
    if (!r.Ok()) {
        if (why) *why = PgErrorOf(conn_);
        return -1;
    }
    const int rows = PQntuples(r.r);
    if (rows < 2) return 0;  // the train alone (or not at a known site)
    std::vector<OfficePass> candidates;
    auto record = std::make_unique<TrainRecord>();
    std::size_t self = 0;
    for (int i = 0; i < rows; ++i) {
        JournalTrain j;
        if (!DecodeBytea(PQgetvalue(r.r, i, 12), &j.stream)) continue;
        j.delivery = std::atoi(PQgetvalue(r.r, i, 8)) == 2 ? TrainDelivery::Blocks : TrainDelivery::AllInOne;
        j.blockCount = static_cast<std::uint8_t>(std::atoi(PQgetvalue(r.r, i, 9)));
        j.radioId = static_cast<std::uint8_t>(std::atoi(PQgetvalue(r.r, i, 10)));
        j.trackOrSequence = static_cast<std::uint8_t>(std::atoi(PQgetvalue(r.r, i, 11)));
        if (!AssembleJournalTrain(*record, j)) continue;
        OfficePass p;
        p.key = PQgetvalue(r.r, i, 0);
        p.pointId = std::atoi(PQgetvalue(r.r, i, 1));
        p.pass.site = std::atoi(PQgetvalue(r.r, i, 2));
        p.trainNumber = std::atoi(PQgetvalue(r.r, i, 3));
        p.pass.received = std::atoll(PQgetvalue(r.r, i, 4));
        p.pass.direction = PQgetvalue(r.r, i, 5)[0];
        p.pass.milepost = std::atoi(PQgetvalue(r.r, i, 6));
        p.pass.track = std::atoi(PQgetvalue(r.r, i, 7));
        p.pass.axles = AlarmInputFromRecord(*record).axles;
        if (p.key == key) self = candidates.size();
        candidates.push_back(std::move(p));
    }
    if (candidates.size() < 2 || candidates[self].key != key) return 0;
    // SameTrain tells sites apart by number; numbers repeat across points,
    // so each (point, site) is given a number of its own for the rule, and
    // its own again in the alarms.
    std::map<std::pair<int, int>, int> placeOf;
    std::vector<int> siteOfPlace{0};
    std::vector<TrainPass> passes;
    for (const OfficePass& c : candidates) {
        const auto at = placeOf.emplace(std::make_pair(c.pointId, c.pass.site), static_cast<int>(siteOfPlace.size()));
        if (at.second) siteOfPlace.push_back(c.pass.site);
        passes.push_back(c.pass);
        passes.back().site = at.first->second;
    }
    std::vector<PassAlarm> alarms = NewPassTrends(passes, self, rules_);
    for (PassAlarm& t : alarms)
        for (TrendStep& step : t.alarm.trend) step.site = siteOfPlace[static_cast<std::size_t>(step.site)];

    int added = 0;
    for (const PassAlarm& t : alarms) {
        const OfficePass& p = candidates[t.pass];
        const Alarm& a = t.alarm;
        const std::string alarmKey = p.key + "/trend/" + std::to_string(a.axle) + "/" + AlarmSideName(a.side) + "/0";
        const std::string values[] = {alarmKey,
                                      std::to_string(p.pointId),
                                      p.key,
                                      std::to_string(p.pass.site),
                                      std::to_string(p.trainNumber),
                                      std::to_string(a.axle),
                                      std::to_string(a.car),
                                      std::to_string(a.axleInCar),
                                      AlarmSideName(a.side),
                                      std::to_string(a.reading),
                                      std::to_string(a.reference),
                                      std::to_string(a.threshold),
                                      AlarmText(a, rules_),
                                      TrendStepsJson(a.trend)};
        const char* v[std::size(values)];
        for (std::size_t k = 0; k < std::size(values); ++k) v[k] = values[k].c_str();
        PgResult ins(PQexecParams(conn_,
                                "INSERT INTO alarm (alarm_key, point_id, train_key, raised_by, kind, site_number,"
                                " train_number, axle, car, axle_in_car, side, reading, reference, threshold, code,"
                                " text, trend, raised_at)"
                                " VALUES ($1, $2, $3, 'office', 'trend', $4, $5, $6, $7, $8, $9, $10, $11, $12, 0,"
                                " $13, $14::jsonb, now())"
                                " ON CONFLICT (alarm_key) DO NOTHING",
                                static_cast<int>(std::size(values)), nullptr, v, nullptr, nullptr, 0));
        if (!ins.Ok()) {
            if (why) *why = PgErrorOf(conn_);
            return -1;
        }
        added += std::atoi(PQcmdTuples(ins.r));
    }
    return added;
}
