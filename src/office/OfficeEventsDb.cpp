#include "office/OfficeEventsDb.h"

#include "office/Pg.h"

#include <libpq-fe.h>

#include <cstdlib>

namespace {


// One statement with text parameters; nullptr for NULL.
bool Run(pg_conn* conn, const char* sql, const std::vector<const char*>& params, std::string* why) {
    PgResult r(PQexecParams(conn, sql, static_cast<int>(params.size()), nullptr, params.data(), nullptr, nullptr, 0));
    if (r.Ok()) return true;
    if (why) {
        *why = PQerrorMessage(conn);
        while (!why->empty() && (why->back() == '\n' || why->back() == ' ')) why->pop_back();
    }
    return false;
}

std::string N(long long v) { return std::to_string(v); }

// -1 (none) as NULL.
const char* OrNull(const std::string& text, long long v) { return v < 0 ? nullptr : text.c_str(); }

}  // namespace

bool StorePointEvents(pg_conn* conn, const std::vector<EventMessage>& events, const std::vector<PointStatus>& statuses,
                      const std::map<std::string, std::string>& pointIds, std::string* why) {
    for (const EventMessage& e : events) {
        const std::string& point = pointIds.at(e.point);
        const std::string time = N(e.time), key = e.Key();
        bool ok = true;
        if (e.type == "alarm") {
            const std::string site = N(e.site), train = N(e.train), axle = N(e.axle), car = N(e.car),
                              inCar = N(e.axleInCar), reading = N(e.reading), reference = N(e.reference),
                              threshold = N(e.threshold), code = N(e.code);
            ok = Run(conn,
                     "INSERT INTO alarm (alarm_key, point_id, train_key, raised_by, kind, site_number, train_number,"
                     " axle, car, axle_in_car, side, reading, reference, threshold, code, text, trend, raised_at, at_point)"
                     " VALUES ($1, $2, $3, 'point', $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16::jsonb,"
                     " to_timestamp($17), true)"
                     // The first row stays; the point's event says its history holds the alarm (the
                     // office's own alarm comes back so from its point).
                     " ON CONFLICT (alarm_key) DO UPDATE SET at_point = true WHERE NOT alarm.at_point",
                     {e.alarmKey.c_str(), point.c_str(), e.trainKey.c_str(), e.kind.c_str(), site.c_str(), train.c_str(),
                      axle.c_str(), car.c_str(), inCar.c_str(), e.side.c_str(), OrNull(reading, e.reading),
                      OrNull(reference, e.reference), OrNull(threshold, e.threshold), code.c_str(), e.text.c_str(),
                      e.trendJson.empty() ? nullptr : e.trendJson.c_str(), time.c_str()},
                     why);
        } else if (e.type == "ack") {
            // The first acknowledgement of an alarm is kept; any that comes
            // from the point says its history holds one.
            const std::string at = N(e.ackAt);
            ok = Run(conn,
                     "INSERT INTO acknowledgement (alarm_key, by_name, comment, acked_at, source, at_point)"
                     " VALUES ($1, $2, $3, to_timestamp($4), $5, true)"
                     " ON CONFLICT (alarm_key) DO UPDATE SET at_point = true WHERE NOT acknowledgement.at_point",
                     {e.alarmKey.c_str(), e.by.c_str(), e.comment.c_str(), at.c_str(), e.source.c_str()}, why);
        } else if (e.type == "site") {
            // A site's newest health wins, whatever order its messages come in.
            const std::string site = N(e.site), milepost = N(e.milepost), track = N(e.track),
                              lastCall = N(e.lastCall), lastTrain = N(e.lastTrain),
                              detail = "{\"radio\":" + N(e.radio) + ",\"silent\":" + (e.silent ? "true" : "false") +
                                       ",\"code\":" + N(e.lastCode) + "}";
            ok = Run(conn,
                     "INSERT INTO site (point_id, site_number, name, milepost, track, health, health_detail,"
                     " last_call, last_train, updated_at)"
                     " VALUES ($1, $2, $3, $4, $5, $6, $7::jsonb, to_timestamp($8), to_timestamp($9), to_timestamp($10))"
                     " ON CONFLICT (point_id, site_number) DO UPDATE SET name = EXCLUDED.name,"
                     " milepost = EXCLUDED.milepost, track = EXCLUDED.track, health = EXCLUDED.health,"
                     " health_detail = EXCLUDED.health_detail,"
                     " last_call = coalesce(EXCLUDED.last_call, site.last_call),"
                     " last_train = coalesce(EXCLUDED.last_train, site.last_train), updated_at = EXCLUDED.updated_at"
                     " WHERE site.updated_at <= EXCLUDED.updated_at",
                     {point.c_str(), site.c_str(), e.name.c_str(), OrNull(milepost, e.milepost),
                      e.track > 0 ? track.c_str() : nullptr, e.silent ? "silent" : "ok", detail.c_str(),
                      e.lastCall > 0 ? lastCall.c_str() : nullptr, e.lastTrain > 0 ? lastTrain.c_str() : nullptr,
                      time.c_str()},
                     why);
        } else {
            const std::string kind = e.type == "link" ? "link-" + e.state : e.type, detail = e.Detail();
            ok = Run(conn,
                     "INSERT INTO point_event (event_key, point_id, kind, occurred_at, detail)"
                     " VALUES ($1, $2, $3, to_timestamp($4), $5::jsonb) ON CONFLICT (event_key) DO NOTHING",
                     {key.c_str(), point.c_str(), kind.c_str(), time.c_str(), detail.c_str()}, why);
        }
        if (!ok) return false;
    }
    for (const PointStatus& s : statuses) {
        const std::string& point = pointIds.at(s.point);
        const std::string backlog = N(s.backlog);
        if (s.hasOnline && !Run(conn, "UPDATE collection_point SET online = $2, status_at = now() WHERE id = $1",
                                {point.c_str(), s.online ? "true" : "false"}, why))
            return false;
        if (s.hasBacklog && !Run(conn, "UPDATE collection_point SET backlog = $2, backlog_at = now() WHERE id = $1",
                                 {point.c_str(), backlog.c_str()}, why))
            return false;
    }
    return true;
}

bool ReadPendingAcks(pg_conn* conn, std::vector<PendingAck>* acks, std::string* why) {
    PgResult r(PQexec(conn,
                    "SELECT split_part(alarm_key, '/', 1), alarm_key, by_name, comment,"
                    " extract(epoch FROM acked_at)::bigint FROM acknowledgement"
                    " WHERE source = 'office' AND NOT at_point ORDER BY id LIMIT 1000"));
    if (!r.Ok()) {
        if (why) *why = PQerrorMessage(conn);
        return false;
    }
    acks->clear();
    for (int i = 0; i < PQntuples(r.r); ++i) {
        PendingAck a;
        a.point = PQgetvalue(r.r, i, 0);
        a.ack.alarmKey = PQgetvalue(r.r, i, 1);
        a.ack.by = PQgetvalue(r.r, i, 2);
        a.ack.comment = PQgetvalue(r.r, i, 3);
        a.ack.at = std::atoll(PQgetvalue(r.r, i, 4));
        if (ValidPointName(a.point)) acks->push_back(std::move(a));
    }
    return true;
}

bool ReadPendingAlarms(pg_conn* conn, std::vector<PendingAlarm>* alarms, std::string* why) {
    PgResult r(PQexec(conn,
                    "SELECT split_part(alarm_key, '/', 1), alarm_key, train_key, kind, axle, coalesce(car, 0),"
                    " coalesce(axle_in_car, 0), side, coalesce(reading, -1), coalesce(reference, -1),"
                    " coalesce(threshold, -1), code, text, coalesce(site_number, 0), coalesce(train_number, 0),"
                    " coalesce(trend::text, '') FROM alarm WHERE raised_by = 'office' AND NOT at_point"
                    " ORDER BY id LIMIT 1000"));
    if (!r.Ok()) {
        if (why) *why = PQerrorMessage(conn);
        return false;
    }
    alarms->clear();
    for (int i = 0; i < PQntuples(r.r); ++i) {
        PendingAlarm p;
        p.point = PQgetvalue(r.r, i, 0);
        EventMessage& a = p.alarm;
        a.point = p.point;
        a.type = "alarm";
        a.alarmKey = PQgetvalue(r.r, i, 1);
        a.trainKey = PQgetvalue(r.r, i, 2);
        a.kind = PQgetvalue(r.r, i, 3);
        a.axle = std::atoi(PQgetvalue(r.r, i, 4));
        a.car = std::atoi(PQgetvalue(r.r, i, 5));
        a.axleInCar = std::atoi(PQgetvalue(r.r, i, 6));
        a.side = PQgetvalue(r.r, i, 7);
        a.reading = std::atoi(PQgetvalue(r.r, i, 8));
        a.reference = std::atoi(PQgetvalue(r.r, i, 9));
        a.threshold = std::atoi(PQgetvalue(r.r, i, 10));
        a.code = std::atoi(PQgetvalue(r.r, i, 11));
        a.text = PQgetvalue(r.r, i, 12);
        a.site = std::atoi(PQgetvalue(r.r, i, 13));
        a.train = std::atoi(PQgetvalue(r.r, i, 14));
        a.trendJson = PQgetvalue(r.r, i, 15);
        if (ValidPointName(p.point)) alarms->push_back(std::move(p));
    }
    return true;
}
