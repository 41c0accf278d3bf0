#include "office/OfficeDb.h"

#include "office/Pg.h"
#include "office/OfficeEventsDb.h"

#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>

namespace {

// Each migration runs once, in order, in the transaction that records it.
// Never edit one that has shipped: add the next.
struct Migration {
    int version;
    const char* sql;
};

constexpr Migration kMigrations[] = {
    {1,
     "CREATE TABLE collection_point ("
     "  id serial PRIMARY KEY,"
     "  name text NOT NULL UNIQUE,"
     "  first_seen timestamptz NOT NULL DEFAULT now(),"
     "  last_seen timestamptz NOT NULL DEFAULT now());"
     "CREATE TABLE train ("
     "  id bigserial PRIMARY KEY,"
     "  record_key text NOT NULL UNIQUE,"
     "  point_id integer NOT NULL REFERENCES collection_point(id),"
     "  journal_date integer NOT NULL,"
     "  journal_offset bigint NOT NULL,"
     "  received_at timestamptz NOT NULL,"
     "  radio_id smallint NOT NULL,"
     "  ack_byte smallint NOT NULL,"
     "  delivery smallint NOT NULL,"
     "  block_count smallint NOT NULL,"
     "  stream bytea NOT NULL,"
     "  site_number integer, train_number integer, axle_count integer, car_count integer,"
     "  speed integer, track smallint, direction text, first_stamp timestamp,"
     "  committed_at timestamptz NOT NULL DEFAULT now());"
     "CREATE INDEX train_point_received ON train (point_id, received_at);"
     "CREATE INDEX train_site_stamp ON train (site_number, first_stamp);"
     // Alarms, detector health and other events of a point, for later use.
     "CREATE TABLE point_event ("
     "  id bigserial PRIMARY KEY,"
     "  event_key text NOT NULL UNIQUE,"
     "  point_id integer NOT NULL REFERENCES collection_point(id),"
     "  train_id bigint REFERENCES train(id),"
     "  kind text NOT NULL,"
     "  occurred_at timestamptz NOT NULL,"
     "  detail jsonb,"
     "  committed_at timestamptz NOT NULL DEFAULT now());"},
    // Messages refused by validation, with their bytes (at most 64 KiB); one
    // row per topic and content (a point sends a refused one again until it
    // is confirmed).
    {2,
     "CREATE TABLE rejected ("
     "  id bigserial PRIMARY KEY,"
     "  topic text NOT NULL,"
     "  point text NOT NULL,"
     "  record_key text,"
     "  reason text NOT NULL,"
     "  payload bytea NOT NULL,"
     "  payload_size integer NOT NULL,"
     "  received_at timestamptz NOT NULL DEFAULT now());"
     "CREATE UNIQUE INDEX rejected_content ON rejected (topic, md5(payload));"
     "CREATE INDEX rejected_received ON rejected (received_at);"},
    // What the desk works from: the sites of every point (registry data and
    // health, as the point reports them), the alarms raised by the points or
    // by the office's trend rule, their acknowledgements (one per alarm: the
    // first one stored is kept, from the point's console or from the office's
    // page), and the office's operators.
    {3,
     "CREATE TABLE site ("
     "  point_id integer NOT NULL REFERENCES collection_point(id),"
     "  site_number integer NOT NULL,"
     "  name text NOT NULL DEFAULT '',"
     "  milepost integer,"                 // tenths of a mile, the point's registry
     "  track smallint,"
     "  health text NOT NULL DEFAULT 'unknown',"
     "  health_detail jsonb,"
     "  last_call timestamptz,"
     "  last_train timestamptz,"
     "  updated_at timestamptz NOT NULL DEFAULT now(),"
     "  PRIMARY KEY (point_id, site_number));"
     // alarm_key: "<train key>/<kind>/<axle>/<side>/<code>", the same whether
     // the point or the office raised it, so one alarm is one row.
     "CREATE TABLE alarm ("
     "  id bigserial PRIMARY KEY,"
     "  alarm_key text NOT NULL UNIQUE,"
     "  point_id integer NOT NULL REFERENCES collection_point(id),"
     "  train_key text NOT NULL,"          // the train's record_key (it may be stored later)
     "  raised_by text NOT NULL CHECK (raised_by IN ('point', 'office')),"
     "  kind text NOT NULL,"
     "  site_number integer, train_number integer,"
     "  axle integer NOT NULL, car integer, axle_in_car integer, side text NOT NULL,"
     "  reading integer, reference integer, threshold integer, code integer NOT NULL,"
     "  text text NOT NULL,"
     "  trend jsonb,"                      // [{"site": n, "relative": r}, ...] for a trend
     "  raised_at timestamptz NOT NULL,"
     "  committed_at timestamptz NOT NULL DEFAULT now());"
     "CREATE INDEX alarm_raised ON alarm (raised_at DESC);"
     "CREATE INDEX alarm_train ON alarm (train_key);"
     "CREATE TABLE acknowledgement ("
     "  id bigserial PRIMARY KEY,"
     "  alarm_key text NOT NULL UNIQUE,"
     "  by_name text NOT NULL,"
     "  comment text NOT NULL DEFAULT '',"
     "  acked_at timestamptz NOT NULL,"
     "  source text NOT NULL CHECK (source IN ('point', 'office')),"
     "  at_point boolean NOT NULL DEFAULT false,"  // the point's history holds it
     "  committed_at timestamptz NOT NULL DEFAULT now());"
     "CREATE TABLE operator ("
     "  name text PRIMARY KEY,"
     "  password_hash text NOT NULL,"      // libsodium's Argon2id string
     "  role text NOT NULL CHECK (role IN ('viewer', 'acknowledger')),"
     "  created_at timestamptz NOT NULL DEFAULT now());"},
    // A point's link as the broker tells it (its retained status and last
    // will) and what its uplink still has to send.
    {4,
     "ALTER TABLE collection_point"
     "  ADD COLUMN online boolean NOT NULL DEFAULT false,"
     "  ADD COLUMN status_at timestamptz,"
     "  ADD COLUMN backlog integer,"        // records journaled, not yet confirmed
     "  ADD COLUMN backlog_at timestamptz;"},
    // Whether the point's history holds the alarm: the office sends its own
    // alarms to their point until it does.
    {5,
     "ALTER TABLE alarm ADD COLUMN at_point boolean NOT NULL DEFAULT false;"
     "UPDATE alarm SET at_point = true WHERE raised_by = 'point';"
     "CREATE INDEX alarm_to_point ON alarm (id) WHERE raised_by = 'office' AND NOT at_point;"},
    // The trains whose trend look is still to come: written with the train,
    // cleared with the look's alarms, so a look cut short (the office
    // killed, the database gone) is taken again.
    {6,
     "CREATE TABLE trend_due ("
     "  record_key text PRIMARY KEY,"
     "  stored_at timestamptz NOT NULL DEFAULT now());"},
};

constexpr long long kMigrationLock = 0x4b6573746f7661;  // one office migrates at a time
constexpr long long kStoreLock = kMigrationLock + 1;     // and stores a batch at a time



// COPY's text format: a tab between columns, \N for NULL, the stream as
// bytea hex. Keys, point ids, numbers and stamps hold no character COPY
// treats specially; the direction is escaped anyway.
void AppendField(std::string* row, const std::string& text) {
    *row += '\t';
    for (char c : text) {
        if (c == '\\' || c == '\t' || c == '\n' || c == '\r') *row += '\\';
        *row += c;
    }
}

std::string UtcTime(std::int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    tm u{};
    gmtime_r(&t, &u);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d+00", u.tm_year + 1900, u.tm_mon + 1, u.tm_mday,
                  u.tm_hour, u.tm_min, u.tm_sec);
    return text;
}

void AppendCopyRow(const TrainMessage& t, const std::string& pointId, std::string* row) {
    static const char hex[] = "0123456789abcdef";
    *row += t.Key();
    for (const std::string& v : {pointId, std::to_string(t.journalDate), std::to_string(t.offset),
                                 UtcTime(t.receivedAt), std::to_string(t.radioId),
                                 std::to_string(t.ackByte), std::to_string(t.delivery),
                                 std::to_string(t.blockCount)})
        AppendField(row, v);
    *row += "\t\\\\x";
    for (std::uint8_t b : t.stream) {
        *row += hex[b >> 4];
        *row += hex[b & 15];
    }
    const TrainSummary& s = t.summary;
    for (int v : {s.site, s.train, s.axles, s.cars, s.speed, s.track}) {
        if (s.present) AppendField(row, std::to_string(v));
        else *row += "\t\\N";
    }
    if (s.present && !s.direction.empty()) AppendField(row, s.direction);
    else *row += "\t\\N";
    if (s.present && !s.firstStamp.empty()) AppendField(row, s.firstStamp);
    else *row += "\t\\N";
    *row += '\n';
}

}  // namespace

int OfficeSchemaVersion() { return kMigrations[std::size(kMigrations) - 1].version; }

OfficeDatabase::~OfficeDatabase() {
    if (conn_) PQfinish(conn_);
}

bool OfficeDatabase::Open(const std::string& conninfo, std::string* why) {
    conninfo_ = conninfo;
    return PgOpen(&conn_, conninfo, why);
}

bool OfficeDatabase::Usable(std::string* why) { return PgUsable(&conn_, conninfo_, why); }

bool OfficeDatabase::Exec(const char* sql, std::string* why) {
    PgResult r(PQexec(conn_, sql));
    if (r.Ok()) return true;
    if (why) *why = PgErrorOf(conn_);
    return false;
}

int OfficeDatabase::Version(std::string* why) {
    if (!Usable(why)) return -1;
    PgResult exists(PQexec(conn_, "SELECT to_regclass('schema_version') IS NOT NULL"));
    if (!exists.Ok()) {
        if (why) *why = PgErrorOf(conn_);
        return -1;
    }
    if (std::string(PQgetvalue(exists.r, 0, 0)) != "t") return 0;
    PgResult r(PQexec(conn_, "SELECT coalesce(max(version), 0) FROM schema_version"));
    if (!r.Ok()) {
        if (why) *why = PgErrorOf(conn_);
        return -1;
    }
    return std::atoi(PQgetvalue(r.r, 0, 0));
}

bool OfficeDatabase::Migrate(std::string* why) {
    if (!Usable(why)) return false;
    if (!Exec("BEGIN", why)) return false;
    const std::string lock = "SELECT pg_advisory_xact_lock(" + std::to_string(kMigrationLock) + ")";
    bool ok = Exec(lock.c_str(), why) &&
              Exec("CREATE TABLE IF NOT EXISTS schema_version ("
                   "  version integer PRIMARY KEY,"
                   "  applied_at timestamptz NOT NULL DEFAULT now())",
                   why);
    const int have = ok ? Version(why) : -1;
    if (have < 0) ok = false;
    if (ok && have > OfficeSchemaVersion()) {
        if (why)
            *why = "the database has schema version " + std::to_string(have) +
                   ", newer than this program's " + std::to_string(OfficeSchemaVersion());
        ok = false;
    }
    for (const Migration& m : kMigrations) {
        if (!ok || m.version <= have) continue;
        ok = Exec(m.sql, why);
        if (!ok) {
            if (why) *why = "migration " + std::to_string(m.version) + ": " + *why;
            break;
        }
        const std::string v = std::to_string(m.version);
        const char* params[] = {v.c_str()};
        PgResult r(PQexecParams(conn_, "INSERT INTO schema_version (version) VALUES ($1)", 1, nullptr,
                              params, nullptr, nullptr, 0));
        ok = r.Ok();
        if (!ok && why) *why = PgErrorOf(conn_);
    }
    std::string ignored;
    if (!ok) {
        Exec("ROLLBACK", &ignored);
        return false;
    }
    return Exec("COMMIT", why);
}

bool OfficeDatabase::PendingAlarms(std::vector<PendingAlarm>* alarms, std::string* why) {
    return Usable(why) && ReadPendingAlarms(conn_, alarms, why);
}

bool OfficeDatabase::Store(const std::vector<TrainMessage>& trains,
                           const std::vector<RejectedMessage>& rejected, std::size_t* inserted,
                           std::string* why) {
    return Store(trains, rejected, {}, {}, inserted, why);
}

bool OfficeDatabase::PendingAcks(std::vector<PendingAck>* acks, std::string* why) {
    return Usable(why) && ReadPendingAcks(conn_, acks, why);
}

bool OfficeDatabase::Store(const std::vector<TrainMessage>& trains,
                           const std::vector<RejectedMessage>& rejected, const std::vector<EventMessage>& events,
                           const std::vector<PointStatus>& statuses, std::size_t* inserted, std::string* why) {
    *inserted = 0;
    if (!Usable(why)) return false;
    if (!Exec("BEGIN", why)) return false;
    std::string ignored;
    auto fail = [&] {
        if (why && why->empty()) *why = PgErrorOf(conn_);
        *inserted = 0;
        Exec("ROLLBACK", &ignored);
        return false;
    };
    std::map<std::string, std::string> pointIds;
    std::vector<std::string> points;
    for (const TrainMessage& t : trains) points.push_back(t.point);
    for (const EventMessage& e : events) points.push_back(e.point);
    for (const PointStatus& p : statuses) points.push_back(p.point);
    for (const std::string& point : points) {
        if (pointIds.count(point)) continue;
        const char* params[] = {point.c_str()};
        PgResult r(PQexecParams(conn_,
                              "INSERT INTO collection_point (name) VALUES ($1) "
                              "ON CONFLICT (name) DO UPDATE SET last_seen = now() RETURNING id",
                              1, nullptr, params, nullptr, nullptr, 0));
        if (!r.Ok() || PQntuples(r.r) != 1) return fail();
        pointIds.emplace(point, PQgetvalue(r.r, 0, 0));
    }
    // The new trains go in by COPY, one round trip for the batch: the keys
    // already there (and a key twice in the batch) are left out first. The
    // lock keeps another office from storing the same key in between; if
    // anything else did, the unique key refuses the COPY and the batch is
    // stored at its next sending.
    if (!trains.empty()) {
        const std::string lock = "SELECT pg_advisory_xact_lock(" + std::to_string(kStoreLock) + ")";
        if (!Exec(lock.c_str(), why)) return fail();
        std::vector<std::string> batchKeys;
        for (const TrainMessage& t : trains) batchKeys.push_back(t.Key());
        const std::string keys = PgTextArray(batchKeys);
        const char* params[] = {keys.c_str()};
        PgResult there(PQexecParams(conn_, "SELECT record_key FROM train WHERE record_key = ANY($1::text[])", 1,
                                  nullptr, params, nullptr, nullptr, 0));
        if (!there.Ok()) return fail();
        std::set<std::string> skip;
        for (int i = 0; i < PQntuples(there.r); ++i) skip.insert(PQgetvalue(there.r, i, 0));
        std::string rows;
        std::vector<std::string> fresh;
        for (const TrainMessage& t : trains)
            if (skip.insert(t.Key()).second) {
                AppendCopyRow(t, pointIds[t.point], &rows);
                ++*inserted;
                if (t.summary.present) fresh.push_back(t.Key());
            }
        if (*inserted > 0) {
            PgResult copy(PQexec(conn_,
                               "COPY train (record_key, point_id, journal_date, journal_offset, received_at,"
                               " radio_id, ack_byte, delivery, block_count, stream, site_number, train_number,"
                               " axle_count, car_count, speed, track, direction, first_stamp) FROM STDIN"));
            if (PQresultStatus(copy.r) != PGRES_COPY_IN) return fail();
            const bool sent = PQputCopyData(conn_, rows.data(), static_cast<int>(rows.size())) == 1;
            if (PQputCopyEnd(conn_, sent ? nullptr : "not sent") != 1) return fail();
            bool copied = sent;
            while (PGresult* r = PQgetResult(conn_)) {
                copied = copied && PQresultStatus(r) == PGRES_COMMAND_OK;
                PQclear(r);
            }
            if (!copied) return fail();
            if (trendsDue_ && !fresh.empty()) {
                const std::string freshKeys = PgTextArray(fresh);
                const char* due[] = {freshKeys.c_str()};
                PgResult r(PQexecParams(conn_,
                                      "INSERT INTO trend_due (record_key) SELECT unnest($1::text[])"
                                      " ON CONFLICT DO NOTHING",
                                      1, nullptr, due, nullptr, nullptr, 0));
                if (!r.Ok()) return fail();
            }
        }
    }
    for (const RejectedMessage& m : rejected) {
        const std::string size = std::to_string(m.size);
        const char* params[] = {m.topic.c_str(), m.point.c_str(), m.key.empty() ? nullptr : m.key.c_str(),
                                m.reason.c_str(), m.bytes.data(), size.c_str()};
        const int lengths[] = {0, 0, 0, 0, static_cast<int>(m.bytes.size()), 0};
        const int formats[] = {0, 0, 0, 0, 1, 0};
        PgResult r(PQexecParams(conn_,
                              "INSERT INTO rejected (topic, point, record_key, reason, payload, payload_size)"
                              " VALUES ($1, $2, $3, $4, $5, $6)"
                              " ON CONFLICT (topic, md5(payload)) DO NOTHING",
                              6, nullptr, params, lengths, formats, 0));
        if (!r.Ok()) return fail();
    }
    if (!StorePointEvents(conn_, events, statuses, pointIds, why)) return fail();
    if (Exec("COMMIT", why)) return true;
    *inserted = 0;
    return fail();
}
