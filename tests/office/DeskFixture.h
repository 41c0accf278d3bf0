#pragma once
// What the office's page shows, planted in a database with plain SQL: three
// collection points, five sites along a line, trains from the site
// simulator (stored as the office stores them), their alarms as the core's
// rules find them, a trend alarm raised by the office (one train heating a
// bearing across three sites, found by TrainTrends) and an acknowledgement
// from a point. With `hostile`, the texts a radio or an operator could send
// are markup and SQL: a site named <script>..., an alarm text with an
// <img onerror>, a comment that tries to drop the train table.
#include <libpq-fe.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "TrainGenerator.h"
#include "engine/Alarms.h"
#include "engine/Assembly.h"
#include "office/OfficeDb.h"
#include "office/Payload.h"

namespace officetest {

constexpr const char* kHostileSiteName = "<script>document.title='owned'</script>";
constexpr const char* kHostileText = "<img src=x onerror=\"document.title='owned'\">";
constexpr const char* kHostileComment = "'; DROP TABLE train; --";

struct DeskFixture {
    std::string trendAlarmKey;   // open, raised by the office
    long long trendTrainId = 0;  // the train it was raised on
    std::string openAlarmKey;    // a hot box, open, raised by a point
    std::string ackedAlarmKey;   // acknowledged at its point
    int trains = 0;
};

inline std::string AlarmTextOf(const Alarm& a) {
    const std::string where = "axle " + std::to_string(a.axle) + " " + AlarmSideName(a.side);
    switch (a.kind) {
    case AlarmKind::HotBox:
        return "Hot box " + std::to_string(a.reading) + " over " + std::to_string(a.threshold) + ", " + where;
    case AlarmKind::Trend: {
        std::string steps;
        for (const TrendStep& s : a.trend) steps += (steps.empty() ? "" : ", ") + std::to_string(s.relative);
        return "Bearing heating site by site, " + where + ": " + steps + " above its side's median";
    }
    default:
        return std::string(AlarmKindName(a.kind)) + ", " + where;
    }
}

// False with the reason when something could not be stored.
inline bool PlantDeskFixture(const std::string& conninfo, bool hostile, DeskFixture* out, std::string* why) {
    using namespace sitesim;
    OfficeDatabase db;
    if (!db.Open(conninfo, why) || !db.Migrate(why)) return false;
    PGconn* c = PQconnectdb(conninfo.c_str());
    auto sql = [&](const std::string& text, const std::vector<std::string>& params) {
        std::vector<const char*> values;
        for (const auto& p : params) values.push_back(p == "\\N" ? nullptr : p.c_str());
        PGresult* r = PQexecParams(c, text.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                   nullptr, 0);
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
        std::string first = ok && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
        if (!ok && why->empty()) *why = PQresultErrorMessage(r);
        PQclear(r);
        return ok ? first : std::string("\x01");
    };
    why->clear();
    const long long now = static_cast<long long>(time(nullptr));

    // The line: sites 12 and 13 of east, 17 and 18 of west, 22 of north.
    struct SitePlan {
        const char* point;
        int number, milepost, track;
        const char* name;
        const char* health;
        const char* detail;
        long long lastCallAgo;
    };
    const SitePlan plan[] = {
        {"east", 12, 1204, 1, "Marsh Lane", "ok", "\\N", 300},
        {"east", 13, 1287, 1, hostile ? kHostileSiteName : "Hollins Cut", "ok", "\\N", 200},
        {"west", 17, 1362, 1, "Crossing 17", "warning", "{\"message\": \"right scanner window dirty\"}", 400},
        {"west", 18, 1410, 2, "Old Mill", "ok", "\\N", 3 * 86400},
        {"north", 22, 1455, 2, "Quarry Loop", "fault", "{\"message\": \"no power to the rail contacts\"}", 900},
    };
    SimRandom rng(77);
    std::vector<SiteIdentity> ids;
    for (const SitePlan& p : plan) {
        SiteIdentity s = MakeSite(static_cast<std::uint8_t>(20 + ids.size()), 1, UnitKind::Halvor, rng);
        s.siteNumber = static_cast<std::uint16_t>(p.number);
        s.milepost = static_cast<std::uint16_t>(p.milepost);
        ids.push_back(s);
    }
    auto tm = [&](long long ago) { return std::to_string(now - ago); };
    // A site's clock: UTC here.
    auto siteClock = [](long long at) {
        const time_t t = static_cast<time_t>(at);
        struct tm u {};
        gmtime_r(&t, &u);
        TrainTime time;
        time.year = u.tm_year + 1900;
        time.month = u.tm_mon + 1;
        time.day = u.tm_mday;
        time.hour = u.tm_hour;
        time.minute = u.tm_min;
        time.second = u.tm_sec;
        return time;
    };

    // Trains: one through sites 12, 13 and 17 with a bearing heating up,
    // and a few of each site, one with a hot box.
    std::vector<TrainMessage> stored;
    std::vector<std::pair<TrainMessage, std::vector<Alarm>>> pointAlarms;
    std::vector<TrainPass> passes;
    auto record = std::make_unique<TrainRecord>();
    auto add = [&](const std::string& point, const std::vector<std::uint8_t>& stream, long long received) {
        JournalTrain j;
        j.receivedAt = received;
        j.radioId = 20;
        j.trackOrSequence = 1;
        j.stream = stream;
        j.offset = 64 + 4096 * static_cast<std::uint64_t>(stored.size());
        stored.push_back(MessageOfJournalTrain(point, 20261207, j));
        return stored.back();
    };
    TrainDesign line;
    line.axles = 48;
    line.trainNumber = 4417;
    line.randomDefects = false;
    line.defects = {{DefectKind::Trend, 7, 0, 0, 0, {38, 103, 253}}};
    const long long lineStart = now - 1800;
    line.time = siteClock(lineStart - 2);
    const std::vector<GeneratedTrain> lineTrains =
        GenerateLineTrain({ids[0], ids[1], ids[2]}, line, 40, rng);
    std::vector<TrainMessage> lineMessages;
    for (std::size_t k = 0; k < lineTrains.size(); ++k) {
        lineMessages.push_back(add(plan[k].point, lineTrains[k].stream, lineStart + lineTrains[k].lineSeconds));
        AssembleFromBlocks(*record, lineTrains[k].stream.data(), lineTrains[k].stream.size());
        TrainPass p;
        p.site = ids[k].siteNumber;
        p.milepost = ids[k].milepost;
        p.track = record->header[th::TRACK];
        p.received = lineTrains[k].lineSeconds;
        p.direction = static_cast<char>(record->header[th::DIRECTION]);
        p.axles = AlarmInputFromRecord(*record).axles;
        passes.push_back(p);
    }
    for (std::size_t k = 0; k < 5; ++k)
        for (int n = 0; n < 3; ++n) {
            TrainDesign d;
            d.axles = 24 + 12 * n + static_cast<int>(k) * 4;
            d.trainNumber = static_cast<std::uint16_t>(100 * (k + 1) + n);
            d.randomDefects = false;
            if (k == 0 && n == 1) d.defects = {{DefectKind::HotBox, 5, 1, 0, 0, {}}};
            if (k == 3 && n == 2) d.defects = {{DefectKind::HotBox, 9, 0, 182, 0, {}}};
            const long long received = now - 7200 * (3 - n) - 600 * static_cast<long long>(k);
            d.time = siteClock(received - 3);
            const GeneratedTrain g = GenerateTrain(ids[k], d, rng);
            const TrainMessage m = add(plan[k].point, g.stream, received);
            AssembleFromBlocks(*record, g.stream.data(), g.stream.size());
            const std::vector<Alarm> found = TrainAlarms(AlarmInputFromRecord(*record), AlarmRules{});
            if (!found.empty()) pointAlarms.push_back({m, found});
        }
    std::size_t inserted = 0;
    if (!db.Store(stored, {}, &inserted, why)) return PQfinish(c), false;
    if (out) out->trains = static_cast<int>(inserted);

    sql("INSERT INTO collection_point (name) VALUES ('north') ON CONFLICT DO NOTHING", {});
    sql("UPDATE collection_point SET online = (name <> 'north'), status_at = to_timestamp($1::bigint),"
        " backlog = CASE name WHEN 'west' THEN 2 WHEN 'north' THEN 57 ELSE 0 END,"
        " backlog_at = to_timestamp($1::bigint)", {tm(2400)});
    for (const SitePlan& p : plan)
        sql("INSERT INTO site (point_id, site_number, name, milepost, track, health, health_detail, last_call,"
            " last_train) SELECT id, $2::int, $3, $4::int, $5::int, $6, $7::jsonb, to_timestamp($8::bigint),"
            " to_timestamp($8::bigint) FROM collection_point WHERE name = $1",
            {p.point, std::to_string(p.number), p.name, std::to_string(p.milepost), std::to_string(p.track),
             p.health, p.detail, tm(p.lastCallAgo)});

    auto insertAlarm = [&](const TrainMessage& m, const Alarm& a, const char* by, long long raised) {
        const std::string key = m.Key() + "/" + AlarmKindName(a.kind) + "/" + std::to_string(a.axle) + "/" +
                                AlarmSideName(a.side) + "/" + std::to_string(a.code);
        std::string trend = "\\N";
        if (!a.trend.empty()) {
            trend = "[";
            for (const TrendStep& s : a.trend)
                trend += (trend.size() > 1 ? "," : "") + std::string("{\"site\":") + std::to_string(s.site) +
                         ",\"relative\":" + std::to_string(s.relative) + "}";
            trend += "]";
        }
        auto orNull = [](int v) { return v < 0 ? std::string("\\N") : std::to_string(v); };
        sql("INSERT INTO alarm (alarm_key, point_id, train_key, raised_by, kind, site_number, train_number, axle,"
            " car, axle_in_car, side, reading, reference, threshold, code, text, trend, raised_at)"
            " SELECT $1, id, $3, $4, $5, $6::int, $7::int, $8::int, $9::int, $10::int, $11, $12::int, $13::int,"
            " $14::int, $15::int, $16, $17::jsonb, to_timestamp($18::bigint) FROM collection_point WHERE name = $2",
            {key, m.point, m.Key(), by, AlarmKindName(a.kind), std::to_string(m.summary.site),
             std::to_string(m.summary.train), std::to_string(a.axle), std::to_string(a.car),
             std::to_string(a.axleInCar), AlarmSideName(a.side), orNull(a.reading), orNull(a.reference),
             orNull(a.threshold), std::to_string(a.code), hostile && a.kind == AlarmKind::HotBox ? kHostileText
                                                                                              : AlarmTextOf(a),
             trend, std::to_string(raised)});
        return key;
    };
    for (std::size_t i = 0; i < pointAlarms.size(); ++i)
        for (const Alarm& a : pointAlarms[i].second) {
            const std::string key = insertAlarm(pointAlarms[i].first, a, "point", pointAlarms[i].first.receivedAt + 2);
            if (a.kind != AlarmKind::HotBox) continue;
            if (out && out->openAlarmKey.empty()) out->openAlarmKey = key;
            else if (out && out->ackedAlarmKey.empty()) out->ackedAlarmKey = key;
        }
    const std::vector<Alarm> trends = TrainTrends(passes, AlarmRules{});
    if (trends.empty()) {
        *why = "the planted bearing gave no trend alarm";
        return PQfinish(c), false;
    }
    std::size_t at = 0;  // the site where it was raised
    while (at + 1 < passes.size() && passes[at].site != trends[0].trend.back().site) ++at;
    const std::string trendKey = insertAlarm(lineMessages[at], trends[0], "office", lineMessages[at].receivedAt + 1);
    if (out) {
        out->trendAlarmKey = trendKey;
        out->trendTrainId = std::atoll(
            sql("SELECT id FROM train WHERE record_key = $1", {lineMessages[at].Key()}).c_str());
        sql("INSERT INTO acknowledgement (alarm_key, by_name, comment, acked_at, source, at_point)"
            " VALUES ($1, 'east console', $2, now() - interval '50 minutes', 'point', true)",
            {out->ackedAlarmKey, hostile ? kHostileComment : "crew told at the next stop; bearing checked, cool"});
    }
    PQfinish(c);
    return why->empty();
}

}  // namespace officetest
