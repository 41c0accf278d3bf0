// The office's web page against a real PostgreSQL, over HTTPS: who may do
// what, forged requests, hostile text in every filter and stored field,
// oversized requests, expiry, and the live updates.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "DeskFixture.h"
#include "OfficeServers.h"
#include "office/WebAuth.h"
#include "office/WebServer.h"

using namespace officetest;
using nlohmann::json;

namespace {

struct Reply {
    int status = 0;
    std::string body;
    httplib::Headers headers;
};

// A browser's view of one server: its cookie and CSRF token once logged in.
class Browser {
public:
    Browser(int port, const std::string& ca) : port_(port), client_("127.0.0.1", port) {
        client_.set_ca_cert_path(ca.c_str());
        client_.enable_server_certificate_verification(true);
        client_.set_read_timeout(10);
    }
    std::string Origin() const { return "https://127.0.0.1:" + std::to_string(port_); }

    Reply Send(const std::string& method, const std::string& path, const std::string& body = "",
               httplib::Headers extra = {}) {
        httplib::Headers h = extra;
        if (!cookie_.empty()) h.emplace("Cookie", cookie_);
        auto res = method == "GET" ? client_.Get(path.c_str(), h)
                                   : client_.Post(path.c_str(), h, body, "application/json");
        if (!res) return {-1, httplib::to_string(res.error()), {}};
        return {res->status, res->body, res->headers};
    }
    // A POST as the page makes it: its origin and CSRF token.
    Reply Post(const std::string& path, const json& body) {
        return Send("POST", path, body.dump(), {{"Origin", Origin()}, {"X-CSRF-Token", csrf_}});
    }
    bool LogIn(const std::string& name, const std::string& password, int* status = nullptr) {
        const Reply r = Send("POST", "/api/login", json{{"name", name}, {"password", password}}.dump(),
                             {{"Origin", Origin()}});
        if (status) *status = r.status;
        if (r.status != 200) return false;
        const std::string set = r.headers.find("Set-Cookie")->second;
        cookie_ = set.substr(0, set.find(';'));
        csrf_ = json::parse(r.body)["csrf"];
        return true;
    }
    const std::string& csrf() const { return csrf_; }
    httplib::SSLClient& client() { return client_; }
    std::string cookie_, csrf_;

private:
    int port_;
    httplib::SSLClient client_;
};

class WebTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        servers_ = new Servers;
        failure_ = servers_->Start();
        if (failure_.empty() &&
            officetest::Run({KESTOVA_SOURCE_DIR "/scripts/office-certs", servers_->Certs()}, servers_->dir() + "/certs.log") != 0)
            failure_ = "scripts/office-certs failed";
        if (!failure_.empty()) return;
        conninfo_ = servers_->NewDatabase();
        if (!PlantDeskFixture(conninfo_, true, &fixture_, &failure_)) return;
        OfficeDatabase db;
        WebCryptoReady();
        for (auto [name, role] : {std::pair{"watcher", "viewer"}, {"desk", "acknowledger"}, {"limited", "viewer"}})
            if (!db.Open(conninfo_, &failure_) || !db.SetOperator(name, role, HashPassword("a good password"), &failure_))
                return;
        server_ = StartServer(std::chrono::seconds(1800), std::chrono::seconds(3600));
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
        delete servers_;
        servers_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(failure_, "") << "the web tests need their own PostgreSQL"; }

    static WebServer* StartServer(std::chrono::seconds idle, std::chrono::seconds absolute) {
        WebSettings s;
        s.certFile = servers_->Certs() + "web.crt";
        s.keyFile = servers_->Certs() + "web.key";
        s.conninfo = conninfo_;
        s.idle = idle;
        s.absolute = absolute;
        s.poll = std::chrono::milliseconds(200);
        auto* server = new WebServer(s);
        if (!server->Start(&failure_)) return delete server, nullptr;
        return server;
    }
    static std::string Ca() { return servers_->Certs() + "ca.crt"; }

    static inline Servers* servers_ = nullptr;
    static inline WebServer* server_ = nullptr;
    static inline std::string failure_, conninfo_;
    static inline DeskFixture fixture_;
};

std::string QueryText(const std::string& conninfo, const std::string& sql) {
    PGconn* c = PQconnectdb(conninfo.c_str());
    PGresult* r = PQexec(c, sql.c_str());
    const std::string v = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? PQgetvalue(r, 0, 0) : "?";
    PQclear(r);
    PQfinish(c);
    return v;
}

// Every way a request may be refused, and the hostile texts coming back as
// data with the tables intact.
TEST_F(WebTest, RefusesWhatItMustAndKeepsTextAsData) {
    Browser anyone(server_->port(), Ca()), viewer(server_->port(), Ca()), desk(server_->port(), Ca());
    ASSERT_TRUE(viewer.LogIn("watcher", "a good password"));
    ASSERT_TRUE(desk.LogIn("desk", "a good password"));
    const std::string origin = desk.Origin();
    const json ackTrend = {{"key", fixture_.trendAlarmKey}, {"comment", kHostileComment}};
    const std::string big(70 * 1024, 'x');
    struct Case {
        const char* what;
        Browser* who;
        std::string method, path, body;
        httplib::Headers headers;
        int status;
    };
    const Case cases[] = {
        {"no session", &anyone, "GET", "/api/alarms", "", {}, 401},
        {"a made-up session", &anyone, "GET", "/api/trains", "", {{"Cookie", "kestova_session=00ff"}}, 401},
        {"no session, POST", &anyone, "POST", "/api/acknowledge", ackTrend.dump(), {{"Origin", origin}}, 401},
        {"a viewer acknowledging", &viewer, "POST", "/api/acknowledge", ackTrend.dump(),
         {{"Origin", origin}, {"X-CSRF-Token", viewer.csrf()}}, 403},
        {"no CSRF token", &desk, "POST", "/api/acknowledge", ackTrend.dump(), {{"Origin", origin}}, 403},
        {"another session's CSRF token", &desk, "POST", "/api/acknowledge", ackTrend.dump(),
         {{"Origin", origin}, {"X-CSRF-Token", viewer.csrf()}}, 403},
        {"a foreign Origin", &desk, "POST", "/api/acknowledge", ackTrend.dump(),
         {{"Origin", "https://evil.example"}, {"X-CSRF-Token", desk.csrf()}}, 403},
        {"a foreign Referer", &desk, "POST", "/api/acknowledge", ackTrend.dump(),
         {{"Referer", "https://evil.example/" + origin}, {"X-CSRF-Token", desk.csrf()}}, 403},
        {"Origin null", &desk, "POST", "/api/logout", "{}", {{"Origin", "null"}, {"X-CSRF-Token", desk.csrf()}}, 403},
        {"a login from another site", &anyone, "POST", "/api/login",
         json{{"name", "desk"}, {"password", "a good password"}}.dump(), {{"Origin", "https://evil.example"}}, 403},
        {"a body of 70 KiB", &desk, "POST", "/api/acknowledge", big,
         {{"Origin", origin}, {"X-CSRF-Token", desk.csrf()}}, 413},
        {"a body of 70 KiB, logging in", &anyone, "POST", "/api/login", big, {{"Origin", origin}}, 413},
        {"a PUT", &desk, "PUT", "/api/acknowledge", "{}", {}, 405},
        {"SQL as a site", &viewer, "GET", "/api/trains?site=1%27%20OR%201=1%20--", "", {}, 400},
        {"script as a train", &viewer, "GET", "/api/trains?train=%3Cscript%3E", "", {}, 400},
        {"SQL as a date", &viewer, "GET", "/api/trains?from=%27;DROP%20TABLE%20train;--", "", {}, 400},
        {"no such date", &viewer, "GET", "/api/trains?to=2026-02-31", "", {}, 400},
        {"SQL as a page", &viewer, "GET", "/api/trains?page=0;DELETE", "", {}, 400},
        {"SQL as a point", &viewer, "GET", "/api/trains?point=%27%20OR%20%271%27=%271%27;%20DROP%20TABLE%20train;--",
         "", {}, 200},
        {"a hostile limit", &viewer, "GET", "/api/alarms?limit=1;DROP%20TABLE%20alarm", "", {}, 400},
        {"SQL as a train id", &viewer, "GET", "/api/trains/1%20OR%201=1", "", {}, 404},
        {"SQL as an alarm key", &desk, "POST", "/api/acknowledge",
         json{{"key", "x'; DROP TABLE alarm; --"}, {"comment", ""}}.dump(),
         {{"Origin", origin}, {"X-CSRF-Token", desk.csrf()}}, 404},
        {"not JSON", &desk, "POST", "/api/acknowledge", "{\"key\":",
         {{"Origin", origin}, {"X-CSRF-Token", desk.csrf()}}, 400},
        {"a comment too long", &desk, "POST", "/api/acknowledge",
         json{{"key", fixture_.trendAlarmKey}, {"comment", std::string(501, 'c')}}.dump(),
         {{"Origin", origin}, {"X-CSRF-Token", desk.csrf()}}, 400},
        {"the acknowledgement", &desk, "POST", "/api/acknowledge", ackTrend.dump(),
         {{"Origin", origin}, {"X-CSRF-Token", desk.csrf()}}, 200},
        {"the same again", &desk, "POST", "/api/acknowledge", ackTrend.dump(),
         {{"Origin", origin}, {"X-CSRF-Token", desk.csrf()}}, 409},
    };
    for (const Case& c : cases) {
        httplib::Headers h = c.headers;
        Browser& b = *c.who;
        if (h.count("Cookie")) b.cookie_ = h.find("Cookie")->second, h.erase("Cookie");
        Reply r;
        if (c.method == "PUT") {
            httplib::Headers withCookie = h;
            if (!b.cookie_.empty()) withCookie.emplace("Cookie", b.cookie_);
            auto res = b.client().Put(c.path.c_str(), withCookie, c.body, "application/json");
            r.status = res ? res->status : -1;
        } else {
            r = b.Send(c.method, c.path, c.body, h);
        }
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.body;
        if (c.what == std::string("SQL as a point")) {
            EXPECT_EQ(r.body, "[]");
        }
    }
    // The acknowledgement holds the comment as it was typed, the operator's
    // name, the office as its source; no table went.
    EXPECT_EQ(QueryText(conninfo_, "SELECT comment || '|' || by_name || '|' || source || '|' || at_point FROM "
                                   "acknowledgement WHERE alarm_key = '" + fixture_.trendAlarmKey + "'"),
              std::string(kHostileComment) + "|desk|office|false");
    EXPECT_EQ(QueryText(conninfo_, "SELECT count(*) FROM train"), std::to_string(fixture_.trains));
    EXPECT_EQ(QueryText(conninfo_, "SELECT count(*) FROM acknowledgement"), "2");
    const Reply again = desk.Post("/api/acknowledge", ackTrend);
    EXPECT_NE(again.body.find("already acknowledged by desk"), std::string::npos) << again.body;

    // Hostile texts come back as the same text, in JSON.
    const json sites = json::parse(viewer.Send("GET", "/api/sites").body);
    bool named = false;
    for (const json& s : sites) named = named || s["name"] == kHostileSiteName;
    EXPECT_TRUE(named) << sites.dump();
    const json alarms = json::parse(viewer.Send("GET", "/api/alarms?state=all").body);
    bool text = false, comment = false;
    for (const json& a : alarms["alarms"]) {
        text = text || a["text"] == kHostileText;
        comment = comment || a["ack_comment"] == kHostileComment;
    }
    EXPECT_TRUE(text && comment) << alarms.dump();

    // The page itself: no inline script anywhere, and a policy that forbids it.
    const Reply page = anyone.Send("GET", "/");
    ASSERT_EQ(page.status, 200);
    const std::string csp = page.headers.find("Content-Security-Policy")->second;
    EXPECT_NE(csp.find("script-src 'self'"), std::string::npos);
    EXPECT_EQ(csp.find("unsafe"), std::string::npos);
    for (std::size_t at = page.body.find("<script"); at != std::string::npos; at = page.body.find("<script", at + 1))
        EXPECT_EQ(page.body.compare(at, 13, "<script src=\""), 0) << page.body.substr(at, 40);
    const Reply script = anyone.Send("GET", "/app.js");
    EXPECT_EQ(script.body.find("innerHTML"), std::string::npos);
    EXPECT_EQ(script.body.find("eval("), std::string::npos);
}

// The trend alarm's train: its summary, its alarms, its axles decoded from
// the stored stream.
TEST_F(WebTest, ATrainWithItsAxlesAndTrend) {
    Browser viewer(server_->port(), Ca());
    ASSERT_TRUE(viewer.LogIn("watcher", "a good password"));
    const Reply r = viewer.Send("GET", "/api/trains/" + std::to_string(fixture_.trendTrainId));
    ASSERT_EQ(r.status, 200) << r.body;
    const json t = json::parse(r.body);
    ASSERT_EQ(t["readings"].size(), 48u);
    EXPECT_EQ(t["axles"], 48);
    bool trend = false;
    for (const json& a : t["alarms"]) {
        EXPECT_EQ(a["train_key"], t["key"]);  // its own alarms only
        if (a["kind"] == "trend") {
            trend = true;
            EXPECT_EQ(a["axle"], 7);
            EXPECT_EQ(a["side"], "left");
            ASSERT_GE(a["trend"].size(), 2u);
            // Its reading at this site is the decoded axle's.
            EXPECT_EQ(a["reading"], t["readings"][6][2]);
        }
    }
    EXPECT_TRUE(trend) << r.body;
    // Paged and filtered lists: a site's trains, the ones with alarms.
    const json site12 = json::parse(viewer.Send("GET", "/api/trains?site=12&size=2").body);
    EXPECT_EQ(site12.size(), 3u);  // one more than the page: there is a next one
    for (const json& row : site12) EXPECT_EQ(row["site"], 12);
    const json withAlarms = json::parse(viewer.Send("GET", "/api/trains?alarms=1").body);
    for (const json& row : withAlarms) EXPECT_GT(row["alarms"], 0);
    EXPECT_FALSE(withAlarms.empty());
}

// Sessions end when idle (the page's own refreshes do not count), at their
// absolute limit, and at logout; failed logins per name are limited.
TEST_F(WebTest, SessionsEndAndLoginsAreLimited) {
    std::unique_ptr<WebServer> shortLived(StartServer(std::chrono::seconds(2), std::chrono::seconds(4)));
    ASSERT_TRUE(shortLived) << failure_;
    Browser idle(shortLived->port(), Ca()), busy(shortLived->port(), Ca()), refreshed(shortLived->port(), Ca()),
        leaving(server_->port(), Ca());
    for (Browser* b : {&idle, &busy, &refreshed}) ASSERT_TRUE(b->LogIn("watcher", "a good password"));
    ASSERT_TRUE(leaving.LogIn("watcher", "a good password"));
    EXPECT_EQ(leaving.Post("/api/logout", json::object()).status, 200);
    EXPECT_EQ(leaving.Send("GET", "/api/points").status, 401);

    const auto start = std::chrono::steady_clock::now();
    int busyStatus = 200, refreshedStatus = 200;
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(2500)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        busyStatus = busy.Send("GET", "/api/points").status;
        EXPECT_EQ(busyStatus, 200);
        refreshedStatus = refreshed.Send("GET", "/api/points", "", {{"X-Kestova-Refresh", "1"}}).status;
    }
    EXPECT_EQ(idle.Send("GET", "/api/points").status, 401);
    EXPECT_EQ(refreshedStatus, 401);
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(4200)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        busyStatus = busy.Send("GET", "/api/points").status;
    }
    EXPECT_EQ(busyStatus, 401);

    Browser guesser(server_->port(), Ca());
    int status = 0;
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(guesser.LogIn("limited", "guess " + std::to_string(i), &status));
        EXPECT_EQ(status, 401);
    }
    EXPECT_FALSE(guesser.LogIn("limited", "a good password", &status));
    EXPECT_EQ(status, 429);
    EXPECT_TRUE(guesser.LogIn("desk", "a good password"));  // another name is not held up
}

// A new alarm reaches an open page within a few seconds.
TEST_F(WebTest, LiveUpdatesTellOfANewAlarm) {
    Browser viewer(server_->port(), Ca());
    ASSERT_TRUE(viewer.LogIn("watcher", "a good password"));
    std::string seen;
    bool planted = false;
    const auto start = std::chrono::steady_clock::now();
    auto res = viewer.client().Get("/api/events", {{"Cookie", viewer.cookie_}},
                                   [&](const char* data, std::size_t size) {
        seen.append(data, size);
        if (!planted && seen.find("event: hello") != std::string::npos) {
            planted = true;
            QueryText(conninfo_,
                      "INSERT INTO alarm (alarm_key, point_id, train_key, raised_by, kind, axle, side, code, text,"
                      " raised_at) SELECT 'east/20261207/1/hot-box/3/left/0', id, 'east/20261207/1', 'point',"
                      " 'hot-box', 3, 'left', 0, 'Hot box', now() FROM collection_point WHERE name = 'east'"
                      " RETURNING 1");
        }
        return seen.find("event: changed") == std::string::npos &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(10);
    });
    EXPECT_NE(seen.find("\"alarms\""), std::string::npos) << seen;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

}  // namespace
