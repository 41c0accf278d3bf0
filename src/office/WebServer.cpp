#include "office/WebServer.h"

#include <httplib.h>
#include <libpq-fe.h>
#include <sodium.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "engine/Alarms.h"
#include "engine/Assembly.h"
#include "office/Broker.h"
#include "office/OfficeDb.h"
#include "office/WebAssets.h"
#include "office/WebAuth.h"

using nlohmann::json;

namespace {

constexpr const char* kCookie = "kestova_session";
constexpr std::size_t kMaxComment = 500;
constexpr int kMaxEventStreams = 16;  // each holds one of the server's threads
constexpr int kServerThreads = 32;

// Everything the page gets carries these: no script, style, frame or
// connection but the page's own, nothing inline, never framed.
constexpr const char* kContentSecurityPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

void Log(const std::string& line) { std::fprintf(stderr, "kestova-office: web: %s\n", line.c_str()); }

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

void SendJson(httplib::Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_content(body, "application/json; charset=utf-8");
}

void SendError(httplib::Response& res, int status, const std::string& message) {
    SendJson(res, status, Dump(json{{"error", message}}));
}

// A pool of database connections for the request threads (a libpq
// connection serves one thread at a time).
class Connections {
public:
    explicit Connections(std::string conninfo) : conninfo_(std::move(conninfo)) {}
    ~Connections() {
        for (PGconn* c : idle_) PQfinish(c);
    }
    PGconn* Take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                PGconn* c = idle_.back();
                idle_.pop_back();
                if (PQstatus(c) != CONNECTION_OK) PQreset(c);
                return c;
            }
        }
        PGconn* c = PQconnectdb(conninfo_.c_str());
        PQsetNoticeProcessor(c, [](void*, const char*) {}, nullptr);
        return c;
    }
    void Give(PGconn* c) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (idle_.size() < 4 && PQstatus(c) == CONNECTION_OK) idle_.push_back(c);
        else PQfinish(c);
    }

private:
    std::string conninfo_;
    std::mutex mutex_;
    std::vector<PGconn*> idle_;
};

struct Borrowed {
    Connections& pool;
    PGconn* conn;
    explicit Borrowed(Connections& p) : pool(p), conn(p.Take()) {}
    ~Borrowed() { pool.Give(conn); }
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;
};

struct QueryResult {
    int status = 200;  // 400 for a value the database refused, 500 for anything else
    std::string why;
    std::vector<std::vector<std::optional<std::string>>> rows;
};

// Runs `sql` with `params` (NULL for an empty optional), every value a
// parameter, the result in text.
QueryResult Query(Connections& pool, const char* sql, const std::vector<std::optional<std::string>>& params) {
    QueryResult out;
    Borrowed b(pool);
    if (PQstatus(b.conn) != CONNECTION_OK) {
        out.status = 503;
        out.why = "the database is not reachable";
        Log(std::string("database: ") + PQerrorMessage(b.conn));
        return out;
    }
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    PGresult* r = PQexecParams(b.conn, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                               nullptr, 0);
    if (PQresultStatus(r) != PGRES_TUPLES_OK && PQresultStatus(r) != PGRES_COMMAND_OK) {
        const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
        // Class 22: a value that is no date, number, ... of its kind.
        out.status = state && std::string(state).rfind("22", 0) == 0 ? 400 : 500;
        out.why = PrintableLine(PQresultErrorMessage(r), 200);
        if (out.status == 500) Log("query failed: " + out.why);
        PQclear(r);
        return out;
    }
    for (int i = 0; i < PQntuples(r); ++i) {
        auto& row = out.rows.emplace_back();
        for (int c = 0; c < PQnfields(r); ++c)
            row.push_back(PQgetisnull(r, i, c) ? std::nullopt : std::optional<std::string>(PQgetvalue(r, i, c)));
    }
    PQclear(r);
    return out;
}

// A query whose one row and column is JSON text, sent as it is.
void SendQuery(httplib::Response& res, Connections& pool, const char* sql,
               const std::vector<std::optional<std::string>>& params) {
    const QueryResult q = Query(pool, sql, params);
    if (q.status != 200) SendError(res, q.status, q.status == 400 ? "a filter's value is not valid" : q.why);
    else if (q.rows.empty() || !q.rows[0][0]) SendError(res, 404, "not found");
    else SendJson(res, 200, *q.rows[0][0]);
}

// An alarm as the page shows it (a: alarm, p: its point, s: its site,
// k: its acknowledgement, tr: its train when stored; not "t", which the
// train page's query names its own train).
constexpr const char* kAlarmColumns =
    "a.alarm_key AS key, a.kind, p.name AS point, a.site_number AS site, s.name AS site_name,"
    " a.train_number AS train, a.train_key, tr.id AS train_id, a.axle, a.car, a.axle_in_car, a.side,"
    " a.reading, a.reference, a.threshold, a.code, a.text, a.trend, a.raised_by, a.raised_at,"
    " k.by_name AS acked_by, k.comment AS ack_comment, k.acked_at, k.source AS ack_source, k.at_point AS ack_at_point"
    " FROM alarm a JOIN collection_point p ON p.id = a.point_id"
    " LEFT JOIN site s ON s.point_id = a.point_id AND s.site_number = a.site_number"
    " LEFT JOIN train tr ON tr.record_key = a.train_key"
    " LEFT JOIN acknowledgement k ON k.alarm_key = a.alarm_key";

const std::string kAlarmsSql = std::string(
    "SELECT json_build_object("
    " 'open', (SELECT count(*) FROM alarm a LEFT JOIN acknowledgement k ON k.alarm_key = a.alarm_key"
    "          WHERE k.id IS NULL),"
    " 'alarms', coalesce((SELECT json_agg(r) FROM (SELECT ") + kAlarmColumns +
    " WHERE ($1 = 'all' OR k.id IS NULL)"
    " ORDER BY (k.id IS NULL) DESC, a.raised_at DESC, a.id DESC LIMIT $2::int) r), '[]'))";

const std::string kTrainSql = std::string(
    "SELECT json_build_object('id', t.id, 'key', t.record_key, 'point', p.name, 'site', t.site_number,"
    " 'site_name', s.name, 'milepost', s.milepost, 'train', t.train_number, 'axles', t.axle_count,"
    " 'cars', t.car_count, 'speed', t.speed, 'track', t.track, 'direction', t.direction,"
    " 'first', t.first_stamp, 'received', t.received_at, 'radio', t.radio_id, 'delivery', t.delivery,"
    " 'blocks', t.block_count, 'bytes', length(t.stream),"
    " 'alarms', coalesce((SELECT json_agg(r ORDER BY r.axle, r.kind) FROM (SELECT ") + kAlarmColumns +
    " WHERE a.train_key = t.record_key) r), '[]')),"
    " t.stream, t.delivery, t.block_count"
    " FROM train t JOIN collection_point p ON p.id = t.point_id"
    " LEFT JOIN site s ON s.point_id = t.point_id AND s.site_number = t.site_number"
    " WHERE t.id = $1::bigint";

constexpr const char* kTrainsSql =
    "SELECT coalesce(json_agg(r), '[]') FROM ("
    " SELECT t.id, p.name AS point, t.site_number AS site, s.name AS site_name, t.train_number AS train,"
    "  t.axle_count AS axles, t.car_count AS cars, t.speed, t.track, t.direction, t.first_stamp AS first,"
    "  t.received_at AS received,"
    "  (SELECT count(*) FROM alarm a WHERE a.train_key = t.record_key) AS alarms,"
    "  (SELECT count(*) FROM alarm a LEFT JOIN acknowledgement k ON k.alarm_key = a.alarm_key"
    "   WHERE a.train_key = t.record_key AND k.id IS NULL) AS open_alarms"
    " FROM train t JOIN collection_point p ON p.id = t.point_id"
    " LEFT JOIN site s ON s.point_id = t.point_id AND s.site_number = t.site_number"
    " WHERE ($1::text IS NULL OR p.name = $1) AND ($2::int IS NULL OR t.site_number = $2::int)"
    "  AND ($3::date IS NULL OR t.received_at >= $3::date::timestamp AT TIME ZONE 'UTC')"
    "  AND ($4::date IS NULL OR t.received_at < ($4::date + 1)::timestamp AT TIME ZONE 'UTC')"
    "  AND ($5::int IS NULL OR t.train_number = $5::int)"
    "  AND (NOT $6::bool OR EXISTS (SELECT 1 FROM alarm a WHERE a.train_key = t.record_key))"
    " ORDER BY t.received_at DESC, t.id DESC LIMIT $7::int OFFSET $8::int) r";

constexpr const char* kPointsSql =
    "SELECT coalesce(json_agg(r ORDER BY r.name), '[]') FROM ("
    " SELECT p.name, p.online, p.status_at, p.backlog, p.backlog_at, p.first_seen, p.last_seen,"
    "  (SELECT max(t.received_at) FROM train t WHERE t.point_id = p.id) AS last_train,"
    "  (SELECT count(*) FROM train t WHERE t.point_id = p.id AND t.received_at > now() - interval '1 day')"
    "   AS trains_day,"
    "  (SELECT count(*) FROM site s WHERE s.point_id = p.id) AS sites,"
    "  (SELECT count(*) FROM alarm a LEFT JOIN acknowledgement k ON k.alarm_key = a.alarm_key"
    "   WHERE a.point_id = p.id AND k.id IS NULL) AS open_alarms"
    " FROM collection_point p) r";

// A site is silent when it has neither called nor sent a train for a day.
constexpr const char* kSitesSql =
    "SELECT coalesce(json_agg(r ORDER BY r.track, r.milepost, r.site), '[]') FROM ("
    " SELECT p.name AS point, s.site_number AS site, s.name, s.milepost, s.track, s.health,"
    "  s.health_detail, s.last_call, s.last_train, s.updated_at,"
    "  coalesce(greatest(s.last_call, s.last_train) < now() - interval '1 day', true) AS silent,"
    "  (SELECT count(*) FROM alarm a LEFT JOIN acknowledgement k ON k.alarm_key = a.alarm_key"
    "   WHERE a.point_id = s.point_id AND a.site_number = s.site_number AND k.id IS NULL) AS open_alarms"
    " FROM site s JOIN collection_point p ON p.id = s.point_id) r";

// What the live updates compare once a poll: one value per part of the page.
constexpr const char* kChangesSql =
    "SELECT (SELECT coalesce(max(id), 0) FROM train)::text,"
    " (SELECT concat(max(id), '/', max(committed_at)) FROM alarm) || '/' ||"
    " (SELECT concat(max(id), '/', max(committed_at), '/', count(*) FILTER (WHERE at_point)) FROM acknowledgement),"
    " (SELECT concat(count(*), '/', max(updated_at)) FROM site),"
    " (SELECT concat(count(*), '/', max(greatest(last_seen, status_at, backlog_at)), '/',"
    "  count(*) FILTER (WHERE online), '/', sum(backlog)) FROM collection_point)";
constexpr const char* kParts[] = {"trains", "alarms", "sites", "points"};
constexpr std::size_t kPartCount = std::size(kParts);

std::string CookieValue(const httplib::Request& req, const std::string& name) {
    const std::string header = req.get_header_value("Cookie");
    std::size_t at = 0;
    while (at < header.size()) {
        std::size_t end = header.find(';', at);
        if (end == std::string::npos) end = header.size();
        std::string part = header.substr(at, end - at);
        const std::size_t first = part.find_first_not_of(' ');
        part = first == std::string::npos ? "" : part.substr(first);
        if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 && part[name.size()] == '=')
            return part.substr(name.size() + 1);
        at = end + 1;
    }
    return "";
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

// A state-changing request must come from the page itself: an Origin or
// Referer the browser sent must be this server's.
bool SameOrigin(const httplib::Request& req) {
    const std::string self = "https://" + req.get_header_value("Host");
    if (req.has_header("Origin") && req.get_header_value("Origin") != self) return false;
    if (req.has_header("Referer")) {
        const std::string ref = req.get_header_value("Referer");
        if (ref != self && ref.rfind(self + "/", 0) != 0) return false;
    }
    return true;
}

// A whole number in [lo, hi] from a filter, or none when the field is
// empty; false when it is something else.
bool NumberParam(const httplib::Request& req, const char* name, long long lo, long long hi,
                 std::optional<std::string>* out) {
    const std::string text = req.get_param_value(name);
    if (text.empty()) return true;
    long long v = 0;
    std::size_t used = 0;
    try {
        v = std::stoll(text, &used);
    } catch (...) {
        return false;
    }
    if (used != text.size() || v < lo || v > hi) return false;
    *out = std::to_string(v);
    return true;
}

std::vector<std::uint8_t> FromHexBytea(const std::string& text) {
    std::vector<std::uint8_t> out;
    if (text.size() < 2 || text[0] != '\\' || text[1] != 'x') return out;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    out.reserve((text.size() - 2) / 2);
    for (std::size_t i = 2; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    return out;
}

// The axles of a stored train as the core reads its stream: [axle, car,
// hot box left, right, hot wheel left, right (null without)].
json AxleReadings(const std::string& streamHex, int delivery, int blocks) {
    JournalTrain train;
    train.stream = FromHexBytea(streamHex);
    train.delivery = delivery == 2 ? TrainDelivery::Blocks : TrainDelivery::AllInOne;
    train.blockCount = static_cast<std::uint8_t>(blocks);
    auto record = std::make_unique<TrainRecord>();
    AssembleJournalTrain(*record, train);
    const AlarmInput in = AlarmInputFromRecord(*record);
    json axles = json::array();
    for (const ReportAxle& a : in.axles) {
        json row = {a.axle, a.car, a.hotBoxLeft, a.hotBoxRight, nullptr, nullptr};
        if (in.hotWheels) {
            row[4] = a.hotWheelLeft;
            row[5] = a.hotWheelRight;
        }
        axles.push_back(row);
    }
    return axles;
}

bool ReadFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return true;
}

}  // namespace

bool ParseWebAddress(const std::string& text, std::string* address, int* port) {
    std::string host, digits;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
        host = text.substr(1, close - 1);
        digits = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos) return false;
        host = text.substr(0, colon);
        digits = text.substr(colon + 1);
    }
    if (host.empty() || digits.empty() || digits.size() > 5) return false;
    for (char c : digits)
        if (c < '0' || c > '9') return false;
    const int p = std::stoi(digits);
    if (p < 1 || p > 65535) return false;
    *address = host;
    *port = p;
    return true;
}

struct WebServer::Impl {
    WebSettings settings;
    std::unique_ptr<httplib::SSLServer> server;
    Connections pool;
    OfficeDatabase writer;  // acknowledgements, one at a time
    std::mutex writerMutex;
    SessionStore sessions;
    LoginLimiter limiter;
    std::string chartJs;
    std::string dummyHash;  // verified against for unknown names, so that they take as long
    int boundPort = 0;
    std::thread listener, poller;

    // The live updates: the poller's latest values, counted up on change.
    std::mutex changeMutex;
    std::condition_variable changed;
    std::string parts[kPartCount];
    unsigned long long generation = 0;
    bool stopping = false;
    std::atomic<int> streams{0};

    explicit Impl(WebSettings s)
        : settings(std::move(s)), pool(settings.conninfo), sessions(settings.idle, settings.absolute),
          limiter(settings.loginFailures, settings.loginWindow) {}

    // The session of the request, or none (401 sent).
    std::optional<WebSession> Authed(const httplib::Request& req, httplib::Response& res) {
        WebSession s;
        const std::string token = CookieValue(req, kCookie);
        // The page's own refreshes (live updates) say so; they keep no session alive.
        const bool touch = req.get_header_value("X-Kestova-Refresh") != "1";
        if (token.empty() || !sessions.Find(token, touch, &s)) {
            SendError(res, 401, token.empty() ? "not logged in" : "the session has ended; log in again");
            return std::nullopt;
        }
        return s;
    }

    httplib::Server::HandlerResponse PreRoute(const httplib::Request& req, httplib::Response& res) {
        res.set_header("Content-Security-Policy", kContentSecurityPolicy);
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("Referrer-Policy", "same-origin");
        res.set_header("Cross-Origin-Opener-Policy", "same-origin");
        if (req.path.rfind("/api/", 0) == 0) res.set_header("Cache-Control", "no-store");
        if (req.method == "GET" || req.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
        if (req.method != "POST") {
            SendError(res, 405, "method not allowed");
            return httplib::Server::HandlerResponse::Handled;
        }
        // Checked before the body is read.
        if (!SameOrigin(req)) {
            SendError(res, 403, "a request from another site");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.path == "/api/login") return httplib::Server::HandlerResponse::Unhandled;
        WebSession s;
        const std::string token = CookieValue(req, kCookie);
        if (token.empty() || !sessions.Find(token, false, &s)) {
            SendError(res, 401, "not logged in");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!SameText(req.get_header_value("X-CSRF-Token"), s.csrf)) {
            SendError(res, 403, "the request's CSRF token is missing or wrong");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    }

    void Login(const httplib::Request& req, httplib::Response& res) {
        const json body = json::parse(req.body, nullptr, false);
        if (!body.is_object() || !body.contains("name") || !body["name"].is_string() || !body.contains("password") ||
            !body["password"].is_string())
            return SendError(res, 400, "name and password are needed");
        const std::string name = body["name"];
        const std::string password = body["password"];
        if (!ValidOperatorName(name)) return SendError(res, 400, "not an operator's name");
        if (const long long wait = limiter.Wait(name); wait > 0) {
            res.set_header("Retry-After", std::to_string(wait));
            Log("login of " + PrintableLine(name, 64) + " refused: too many failed attempts");
            return SendError(res, 429, "too many failed logins for this name; try again in " +
                                           std::to_string(wait) + " s");
        }
        const QueryResult q = Query(pool, "SELECT password_hash, role FROM operator WHERE name = $1", {name});
        if (q.status != 200) return SendError(res, q.status, q.why);
        const bool known = !q.rows.empty() && q.rows[0][0] && q.rows[0][1];
        const bool good = VerifyPassword(known ? *q.rows[0][0] : dummyHash, password) && known;
        if (!good) {
            limiter.Failed(name);
            Log("failed login of " + PrintableLine(name, 64) + " from " + req.remote_addr);
            return SendError(res, 401, "wrong name or password");
        }
        limiter.Succeeded(name);
        WebSession s;
        const std::string token = sessions.Create(name, *q.rows[0][1], &s);
        res.set_header("Set-Cookie", std::string(kCookie) + "=" + token +
                                         "; Path=/; HttpOnly; Secure; SameSite=Strict");
        SendJson(res, 200, Dump(json{{"name", s.name}, {"role", s.role}, {"csrf", s.csrf}}));
    }

    void Acknowledge(const httplib::Request& req, httplib::Response& res) {
        const auto s = Authed(req, res);
        if (!s) return;
        if (s->role != "acknowledger") return SendError(res, 403, "your role may not acknowledge alarms");
        const json body = json::parse(req.body, nullptr, false);
        if (!body.is_object() || !body.contains("key") || !body["key"].is_string())
            return SendError(res, 400, "which alarm?");
        const std::string key = body["key"];
        const std::string comment = body.contains("comment") && body["comment"].is_string() ? body["comment"] : "";
        if (key.empty() || key.size() > 512 || key.find('\0') != std::string::npos)
            return SendError(res, 400, "not an alarm key");
        if (comment.size() > kMaxComment || comment.find('\0') != std::string::npos)
            return SendError(res, 400, "a comment is at most " + std::to_string(kMaxComment) + " bytes of text");
        std::string why;
        bool ok = false;
        {
            std::lock_guard<std::mutex> lock(writerMutex);
            ok = writer.Acknowledge(key, s->name, comment, &why);
        }
        if (ok) {
            Log(PrintableLine(s->name, 64) + " acknowledged " + PrintableLine(key, 120));
            return SendJson(res, 200, Dump(json{{"acknowledged", true}, {"message", "acknowledged"}}));
        }
        if (why == "no such alarm") return SendError(res, 404, why);
        if (why.rfind("already acknowledged", 0) == 0)
            return SendJson(res, 409, Dump(json{{"acknowledged", false}, {"error", why}}));
        Log("acknowledgement of " + PrintableLine(key, 120) + " failed: " + why);
        SendError(res, 500, "the acknowledgement could not be stored");
    }

    void Trains(const httplib::Request& req, httplib::Response& res) {
        if (!Authed(req, res)) return;
        std::optional<std::string> point, site, from, to, train, page, size;
        if (!NumberParam(req, "site", 0, 65535, &site)) return SendError(res, 400, "site must be a number");
        if (!NumberParam(req, "train", 0, 65535, &train)) return SendError(res, 400, "train must be a number");
        if (!NumberParam(req, "page", 0, 100000, &page)) return SendError(res, 400, "page must be a number");
        if (!NumberParam(req, "size", 1, 500, &size)) return SendError(res, 400, "size is 1 to 500");
        static const std::regex date("[0-9]{4}-[0-9]{2}-[0-9]{2}");
        for (auto [name, out] : {std::pair{"from", &from}, std::pair{"to", &to}}) {
            const std::string text = req.get_param_value(name);
            if (text.empty()) continue;
            if (!std::regex_match(text, date)) return SendError(res, 400, std::string(name) + " must be YYYY-MM-DD");
            *out = text;
        }
        if (const std::string p = req.get_param_value("point"); !p.empty()) point = p;
        const long long n = size ? std::stoll(*size) : 50;
        const long long offset = (page ? std::stoll(*page) : 0) * n;
        const std::string alarms = req.get_param_value("alarms") == "1" ? "true" : "false";
        // One more than a page: whether there is a next one.
        SendQuery(res, pool, kTrainsSql,
                  {point, site, from, to, train, alarms, std::to_string(n + 1), std::to_string(offset)});
    }

    void Train(const httplib::Request& req, httplib::Response& res) {
        if (!Authed(req, res)) return;
        const std::string id = req.matches.size() > 1 ? std::string(req.matches[1]) : "";
        if (id.empty() || id.size() > 18) return SendError(res, 404, "no such train");
        const QueryResult q = Query(pool, kTrainSql.c_str(), {id});
        if (q.status != 200) return SendError(res, q.status, q.why);
        if (q.rows.empty() || !q.rows[0][0]) return SendError(res, 404, "no such train");
        json train = json::parse(*q.rows[0][0], nullptr, false);
        if (train.is_discarded()) return SendError(res, 500, "the train could not be read");
        train["readings"] = AxleReadings(q.rows[0][1].value_or(""), std::atoi(q.rows[0][2].value_or("1").c_str()),
                                         std::atoi(q.rows[0][3].value_or("0").c_str()));
        SendJson(res, 200, Dump(train));
    }

    void Events(const httplib::Request& req, httplib::Response& res) {
        const auto s = Authed(req, res);
        if (!s) return;
        if (streams.fetch_add(1) >= kMaxEventStreams) {
            streams.fetch_sub(1);
            return SendError(res, 503, "too many live pages; try again later");
        }
        const std::string token = CookieValue(req, kCookie);
        // What this page was last told of, and the poll it was told at.
        auto seen = std::make_shared<std::vector<std::string>>();
        auto seenGeneration = std::make_shared<unsigned long long>(0);
        auto sentHello = std::make_shared<bool>(false);
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, token, seen, seenGeneration, sentHello](std::size_t, httplib::DataSink& sink) {
                std::unique_lock<std::mutex> lock(changeMutex);
                if (!*sentHello) {
                    *sentHello = true;
                    seen->assign(parts, parts + kPartCount);
                    *seenGeneration = generation;
                    const std::string hello = "retry: 3000\nevent: hello\ndata: {}\n\n";
                    lock.unlock();
                    return sink.write(hello.data(), hello.size());
                }
                // A change since the last message counts even when it came
                // before this wait began.
                changed.wait_for(lock, std::chrono::seconds(15),
                                 [&] { return stopping || generation != *seenGeneration; });
                if (stopping) return false;
                *seenGeneration = generation;
                json what = json::array();
                for (std::size_t i = 0; i < kPartCount; ++i)
                    if ((*seen)[i] != parts[i]) {
                        what.push_back(kParts[i]);
                        (*seen)[i] = parts[i];
                    }
                lock.unlock();
                // A session that ended ends its stream too.
                if (!sessions.Find(token, false, nullptr)) {
                    const std::string bye = "event: ended\ndata: {}\n\n";
                    sink.write(bye.data(), bye.size());
                    return false;
                }
                const std::string message =
                    what.empty() ? ": still here\n\n" : "event: changed\ndata: " + Dump(json{{"parts", what}}) + "\n\n";
                return sink.write(message.data(), message.size());
            },
            [this](bool) { streams.fetch_sub(1); });
    }

    // Looks at the database once a poll; wakes the live pages on a change.
    void Poll() {
        PGconn* conn = nullptr;
        std::unique_lock<std::mutex> lock(changeMutex);
        while (!stopping) {
            lock.unlock();
            if (!conn || PQstatus(conn) != CONNECTION_OK) {
                if (conn) PQfinish(conn);
                conn = PQconnectdb(settings.conninfo.c_str());
                PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
            }
            std::vector<std::string> now;
            PGresult* r = PQexec(conn, kChangesSql);
            if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1)
                for (std::size_t i = 0; i < kPartCount; ++i) now.push_back(PQgetvalue(r, 0, static_cast<int>(i)));
            PQclear(r);
            lock.lock();
            if (now.size() == kPartCount && !std::equal(now.begin(), now.end(), parts)) {
                std::copy(now.begin(), now.end(), parts);
                ++generation;
                changed.notify_all();
            }
            changed.wait_for(lock, settings.poll, [&] { return stopping; });
        }
        lock.unlock();
        if (conn) PQfinish(conn);
    }

    void Routes() {
        httplib::Server& s = *server;
        s.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
        s.set_payload_max_length(settings.maxBody);
        s.set_keep_alive_timeout(5);
        s.set_read_timeout(10);
        s.set_write_timeout(10);
        s.set_pre_routing_handler([this](const auto& req, auto& res) { return PreRoute(req, res); });
        s.set_exception_handler([](const auto& req, auto& res, std::exception_ptr) {
            Log("a request failed: " + req.method + " " + PrintableLine(req.path, 120));
            SendError(res, 500, "internal error");
        });
        s.set_logger([](const auto& req, const auto& res) {
            if (res.status >= 400 && res.status != 401)
                Log(std::to_string(res.status) + " " + req.method + " " + PrintableLine(req.path, 120) + " from " +
                    req.remote_addr);
        });
        auto asset = [](const char* path) {
            return [path](const httplib::Request&, httplib::Response& res) {
                const WebAsset* a = FindWebAsset(path);
                if (!a) return SendError(res, 404, "not found");
                res.set_header("Cache-Control", "no-cache");
                res.set_content(a->data, a->size, a->type);
            };
        };
        s.Get("/", asset("/index.html"));
        s.Get("/app.js", asset("/app.js"));
        s.Get("/app.css", asset("/app.css"));
        s.Get("/assets/chart.js", [this](const httplib::Request&, httplib::Response& res) {
            if (chartJs.empty()) return SendError(res, 404, "chart.js is not installed (libjs-chart.js)");
            res.set_header("Cache-Control", "max-age=86400");
            res.set_content(chartJs, "text/javascript; charset=utf-8");
        });
        s.Post("/api/login", [this](const auto& req, auto& res) { Login(req, res); });
        s.Post("/api/logout", [this](const httplib::Request& req, httplib::Response& res) {
            sessions.Remove(CookieValue(req, kCookie));
            res.set_header("Set-Cookie", std::string(kCookie) + "=; Path=/; Max-Age=0; HttpOnly; Secure; SameSite=Strict");
            SendJson(res, 200, "{}");
        });
        s.Get("/api/session", [this](const auto& req, auto& res) {
            if (const auto session = Authed(req, res))
                SendJson(res, 200, Dump(json{{"name", session->name}, {"role", session->role}, {"csrf", session->csrf}}));
        });
        s.Get("/api/points", [this](const auto& req, auto& res) {
            if (Authed(req, res)) SendQuery(res, pool, kPointsSql, {});
        });
        s.Get("/api/sites", [this](const auto& req, auto& res) {
            if (Authed(req, res)) SendQuery(res, pool, kSitesSql, {});
        });
        s.Get("/api/alarms", [this](const httplib::Request& req, httplib::Response& res) {
            if (!Authed(req, res)) return;
            std::optional<std::string> limit;
            if (!NumberParam(req, "limit", 1, 1000, &limit)) return SendError(res, 400, "limit is 1 to 1000");
            SendQuery(res, pool, kAlarmsSql.c_str(),
                      {req.get_param_value("state") == "all" ? "all" : "open", limit.value_or("200")});
        });
        s.Post("/api/acknowledge", [this](const auto& req, auto& res) { Acknowledge(req, res); });
        s.Get("/api/trains", [this](const auto& req, auto& res) { Trains(req, res); });
        s.Get(R"(/api/trains/([0-9]+))", [this](const auto& req, auto& res) { Train(req, res); });
        s.Get("/api/events", [this](const auto& req, auto& res) { Events(req, res); });
    }
};

WebServer::WebServer(WebSettings settings) : impl_(std::make_unique<Impl>(std::move(settings))) {}

WebServer::~WebServer() { Stop(); }

int WebServer::port() const { return impl_->boundPort; }

bool WebServer::Start(std::string* why) {
    Impl& i = *impl_;
    if (!WebCryptoReady()) {
        *why = "libsodium could not be initialised";
        return false;
    }
    if (!i.writer.Open(i.settings.conninfo, why)) return false;
    i.dummyHash = HashPassword(RandomToken());
    if (!ReadFile(i.settings.chartJs, &i.chartJs))
        Log("no " + i.settings.chartJs + " (libjs-chart.js): the train page shows its readings without the chart");
    i.server = std::make_unique<httplib::SSLServer>(i.settings.certFile.c_str(), i.settings.keyFile.c_str());
    if (!i.server->is_valid()) {
        *why = "cannot use the web certificate " + i.settings.certFile + " with the key " + i.settings.keyFile;
        return false;
    }
    i.Routes();
    if (i.settings.port == 0) {
        i.boundPort = i.server->bind_to_any_port(i.settings.address);
        if (i.boundPort <= 0) i.boundPort = 0;
    } else if (i.server->bind_to_port(i.settings.address, i.settings.port)) {
        i.boundPort = i.settings.port;
    }
    if (i.boundPort == 0) {
        *why = "cannot listen on " + i.settings.address + ":" + std::to_string(i.settings.port);
        return false;
    }
    i.poller = std::thread([&i] { i.Poll(); });
    i.listener = std::thread([&i] { i.server->listen_after_bind(); });
    // Until it runs, a stop would not reach it (and its thread would never end).
    for (int wait = 0; wait < 500 && !i.server->is_running(); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return true;
}

void WebServer::Stop() {
    Impl& i = *impl_;
    {
        std::lock_guard<std::mutex> lock(i.changeMutex);
        i.stopping = true;
        i.changed.notify_all();
    }
    if (i.server) i.server->stop();
    if (i.listener.joinable()) i.listener.join();
    if (i.poller.joinable()) i.poller.join();
}
