// The control office: its messages, its database, and the whole path from a
// point's train journal through the broker into PostgreSQL and back.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <sqlite3.h>

#include <mutex>
#include <set>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "OfficeServers.h"
#include "TrainGenerator.h"
#include "office/Broker.h"
#include "office/EventPayload.h"
#include "office/OfficeDb.h"
#include "office/OfficeTrends.h"
#include "office/Pg.h"
#include "office/Payload.h"
#include "office/UplinkQueue.h"
#include "records/EventJournal.h"
#include "records/Journal.h"
#include "records/TrainHistory.h"

using namespace officetest;

namespace {

JournalTrain MakeTrain(int n) {
    sitesim::SimRandom rng(static_cast<std::uint64_t>(n) + 1);
    const sitesim::SiteIdentity site = sitesim::MakeSite(static_cast<std::uint8_t>(10 + n % 5), 1,
                                                         sitesim::UnitKind::Halvor, rng);
    sitesim::TrainDesign design;
    design.axles = 20 + n % 60;
    design.trainNumber = static_cast<std::uint16_t>(n);
    design.time.day = 1 + n % 28;
    JournalTrain t;
    t.receivedAt = 1767225600 + n;
    t.radioId = site.radioId;
    t.trackOrSequence = 1;
    t.stream = sitesim::GenerateTrain(site, design, rng).stream;
    return t;
}

// Appends trains first..first+count-1 to a journal file (made when missing).
void AppendJournal(const std::string& path, int first, int count) {
    std::string bytes;
    if (!std::filesystem::exists(path)) bytes = TrainJournalHeader();
    for (int i = first; i < first + count; ++i) bytes += EncodeJournalRecord(MakeTrain(i));
    std::ofstream(path, std::ios::app | std::ios::binary) << bytes;
}

long long QueryNumber(const std::string& conninfo, const std::string& sql) {
    PGconn* c = PQconnectdb(conninfo.c_str());
    PGresult* r = PQexec(c, sql.c_str());
    const long long v = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1
                            ? std::atoll(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    PQfinish(c);
    return v;
}

// A train of north-1 at 20260102/4096, and every way a message of it can be wrong.
std::string GoodMessage() {
    JournalTrain train = MakeTrain(7);
    train.offset = 4096;
    return EncodeTrainMessage(MessageOfJournalTrain("north-1", 20260102, train));
}

struct BadMessage {
    const char* what;
    std::string payload;
    const char* reason;
    const char* key;  // the key the office can still read, confirms and keeps it under
};

std::vector<BadMessage> BadMessages() {
    using nlohmann::json;
    const std::string good = GoodMessage();
    auto with = [&](const std::function<void(json&)>& change) {
        json j = json::parse(good);
        change(j);
        return j.dump();
    };
    const char* key = "north-1/20260102/4096";
    return {
        {"not JSON", "{\"v\":1,", "not JSON", ""},
        {"an array", "[1,2]", "not a JSON object", ""},
        {"version 2", with([](json& j) { j["v"] = 2; }), "version 2", key},
        {"no version", with([](json& j) { j.erase("v"); }), "no \"v\"", key},
        {"another point", with([](json& j) { j["point"] = "south"; }), "on the topic of north-1", key},
        {"key of another record", with([](json& j) { j["key"] = "north-1/20260102/8"; }), "\"key\"",
         "north-1/20260102/8"},
        {"key of another point", with([](json& j) { j["key"] = "south/20260102/4096"; j["radio"] = -1; }),
         "\"radio\" is out of range", ""},
        {"no stream", with([](json& j) { j.erase("stream"); }), "no \"stream\"", key},
        {"stream not base64", with([](json& j) { j["stream"] = "AB$="; }), "base64", key},
        {"radio 300", with([](json& j) { j["radio"] = 300; }), "\"radio\" is out of range", key},
        {"radio as text", with([](json& j) { j["radio"] = "12"; }), "\"radio\" is not an integer", key},
        {"no date", with([](json& j) { j["journal"] = 20261399; }), "not a date", key},
        {"direction NUL", with([](json& j) { j["summary"]["direction"] = std::string(1, '\0'); }),
         "\"direction\" is not a printable", key},
        {"30 February", with([](json& j) { j["summary"]["first"] = "2026-02-30T10:00:00"; }), "\"first\"", key},
        {"oversized", with([](json& j) { j["pad"] = std::string(70000, 'x'); }), "more than 65536", ""},
    };
}

// An alarm of north-1's train at 20260102/4096 as its event message (event
// journal record 64 of 20260103), and every way an event can be wrong.
AlarmFields SomeAlarm() {
    AlarmFields a;
    a.kind = "hot-box";
    a.axle = 12;
    a.car = 3;
    a.axleInCar = 2;
    a.side = "left";
    a.reading = 170;
    a.threshold = 120;
    a.text = "hot-box axle 12 (car 3, axle 2) left: reading 170 above 120";
    return a;
}

std::string GoodEvent(const std::string& json) {
    JournalEvent e;
    e.time = 1767398400;
    e.offset = 64;
    e.json = json;
    std::string leaf;
    return EventPayloadOfJournal("north-1", 20260103, e, &leaf);
}

std::vector<BadMessage> BadEventMessages() {
    using nlohmann::json;
    const std::string alarm = GoodEvent(AlarmEventJson(SomeAlarm(), {20260102, 4096}, 12, 512, 417));
    const std::string ack = GoodEvent(AckEventJson(SomeAlarm(), {20260102, 4096}, "Ann", "", 1767398401, "point"));
    auto with = [&](const std::string& good, const std::function<void(json&)>& change) {
        json j = json::parse(good);
        change(j);
        return j.dump();
    };
    const char* key = "north-1/E20260103/64";
    return {
        {"alarm of another alarm's key", with(alarm, [](json& j) { j["axle"] = 13; }), "\"alarm_key\" does not match", key},
        {"alarm of another point's train", with(alarm, [](json& j) { j["train_key"] = "south/20260102/4096"; }),
         "not a train key of north-1", key},
        {"alarm of no train", with(alarm, [](json& j) { j.erase("train_key"); }), "no \"train_key\"", key},
        {"alarm side up", with(alarm, [](json& j) { j["side"] = "up"; }), "\"side\"", key},
        {"alarm kind with a slash", with(alarm, [](json& j) { j["kind"] = "hot/box"; }), "alarm kind", key},
        {"alarm reading 70000", with(alarm, [](json& j) { j["reading"] = 70000; }), "\"reading\" is out of range", key},
        {"alarm text with NUL", with(alarm, [](json& j) { j["text"] = std::string("a\0b", 3); }), "control character", key},
        {"alarm trend of text", with(alarm, [](json& j) { j["trend"] = "up"; }), "\"trend\"", key},
        {"ack by nobody", with(ack, [](json& j) { j["by"] = ""; }), "\"by\" is empty", key},
        {"ack from the web", with(ack, [](json& j) { j["source"] = "web"; }), "\"source\"", key},
        {"site silent as text", with(GoodEvent(SiteEventJson({})), [](json& j) { j["silent"] = "no"; }), "\"silent\"", key},
        {"type party", with(alarm, [](json& j) { j["type"] = "party"; }), "not an event type", key},
        {"event of a train key", with(alarm, [](json& j) { j["key"] = "north-1/20260103/64"; }), "\"key\" does not match", ""},
        {"unreadable record", GoodEvent("{\"type\":"), "not an event type", key},
    };
}

// A test's own MQTT client: publishes, and keeps what it is sent.
class Client {
public:
    // With `certs`, over TLS as the certificate `name` there.
    explicit Client(int port, const std::string& certs = "", const std::string& name = "") {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(nullptr, true, this);
        if (!certs.empty())
            mosquitto_tls_set(mosq_, (certs + "ca.crt").c_str(), nullptr, (certs + name + ".crt").c_str(),
                              (certs + name + ".key").c_str(), nullptr);
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* c = static_cast<Client*>(self);
            std::lock_guard<std::mutex> lock(c->mutex_);
            c->received_.emplace_back(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
        });
        connected_ = mosquitto_connect(mosq_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS &&
                     mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
    }
    ~Client() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    bool connected() const { return connected_; }
    void Subscribe(const std::string& topic) { mosquitto_subscribe(mosq_, nullptr, topic.c_str(), 1); }
    void Publish(const std::string& topic, const std::string& payload) {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
    }
    std::vector<std::string> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    mosquitto* mosq_ = nullptr;
    bool connected_ = false;
    std::mutex mutex_;
    std::vector<std::string> received_;
};

class OfficeServersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        servers_ = new Servers;
        failure_ = servers_->Start();
    }
    static void TearDownTestSuite() {
        delete servers_;
        servers_ = nullptr;
    }
    void SetUp() override {
        ASSERT_EQ(failure_, "") << "the office tests need their own mosquitto and PostgreSQL";
        database_ = servers_->NewDatabase();
        ASSERT_NE(database_, "");
    }
    void TearDown() override {
        for (pid_t pid : running_) {
            ::kill(pid, SIGKILL);
            Wait(pid);
        }
    }

    // On the TLS broker with `tls`.
    pid_t StartOffice(const std::string& log, bool tls = false) {
        std::vector<std::string> args{KESTOVA_OFFICE_EXE, "--host", "127.0.0.1", "--port",
                                      std::to_string(tls ? servers_->tlsBrokerPort() : servers_->brokerPort()),
                                      "--database", database_};
        if (tls) {
            const std::string certs = servers_->Certs();
            args.insert(args.end(), {"--cafile", certs + "ca.crt", "--certfile", certs + "kestova-office.crt",
                                     "--keyfile", certs + "kestova-office.key"});
        }
        const pid_t pid = Spawn(args, servers_->dir() + "/" + log);
        running_.push_back(pid);
        return pid;
    }
    // Stops a program as a test means to: SIGTERM (its exit status) or SIGKILL.
    int StopProgram(pid_t pid, int signal) {
        ::kill(pid, signal);
        std::erase(running_, pid);
        return Wait(pid);
    }

    static Servers* servers_;
    static std::string failure_;
    std::string database_;
    std::vector<pid_t> running_;
};
Servers* OfficeServersTest::servers_ = nullptr;
std::string OfficeServersTest::failure_;

}  // namespace

TEST(OfficePayload, RoundTripAndEveryRejection) {
    JournalTrain train = MakeTrain(7);
    train.offset = 4096;
    const TrainMessage sent = MessageOfJournalTrain("north-1", 20260102, train);
    ASSERT_TRUE(sent.summary.present);
    EXPECT_EQ(sent.summary.train, 7);
    EXPECT_EQ(sent.summary.axles, 27);
    const std::string good = EncodeTrainMessage(sent);
    TrainMessage back;
    std::string why;
    ASSERT_TRUE(ParseTrainMessage("north-1", good, &back, &why)) << why;
    EXPECT_EQ(back.Key(), "north-1/20260102/4096");
    EXPECT_EQ(back.stream, train.stream);
    EXPECT_EQ(back.radioId, train.radioId);
    EXPECT_EQ(back.receivedAt, train.receivedAt);
    EXPECT_EQ(back.summary.firstStamp, sent.summary.firstStamp);
    EXPECT_EQ(back.summary.axles, 27);

    EXPECT_EQ(good, GoodMessage());
    for (const auto& c : BadMessages()) {
        why.clear();
        EXPECT_FALSE(ParseTrainMessage("north-1", c.payload, &back, &why)) << c.what;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
    }

    for (std::size_t n = 0; n < 5; ++n) {
        const std::vector<std::uint8_t> bytes(train.stream.begin(), train.stream.begin() + static_cast<long>(n));
        std::vector<std::uint8_t> decoded{9};
        EXPECT_TRUE(Base64Decode(Base64Encode(bytes), &decoded));
        EXPECT_EQ(decoded, bytes) << n;
    }
    long date = 0;
    std::uint64_t offset = 0;
    ASSERT_TRUE(ParseTrainKey("n/20260102/8", "n", &date, &offset));
    EXPECT_EQ(date, 20260102);
    EXPECT_EQ(offset, 8u);
    for (const char* wrong : {"north-1/2026010/8", "north-2/20260102/8", "north-1/20260102/", "north-1/20260102/08",
                              "north-1/20260102/8x", "north-1/20261302/8", "north-1/E20260102/8"})
        EXPECT_FALSE(ParseTrainKey(wrong, "north-1", &date, &offset)) << wrong;

    // Events: each type through the uplink's message and back, its keys
    // built from the train's place; the table's wrong ones refused.
    EventMessage e;
    ASSERT_TRUE(ParseEventMessage("north-1", GoodEvent(AlarmEventJson(SomeAlarm(), {20260102, 4096}, 12, 512, 417)), &e, &why))
        << why;
    EXPECT_EQ(e.Key(), "north-1/E20260103/64");
    EXPECT_EQ(e.alarmKey, "north-1/20260102/4096/hot-box/12/left/0");
    EXPECT_EQ(e.text, SomeAlarm().text);
    EXPECT_EQ(e.reference, -1);
    EXPECT_EQ(e.site, 512);
    std::string kind, side;
    int axle = 0, code = 0;
    ASSERT_TRUE(ParseAlarmKey(e.alarmKey, "north-1", &date, &offset, &kind, &axle, &side, &code));
    EXPECT_EQ(std::make_tuple(date, offset, kind, axle, side, code),
              std::make_tuple(20260102L, std::uint64_t{4096}, std::string("hot-box"), 12, std::string("left"), 0));
    EXPECT_FALSE(ParseAlarmKey(e.alarmKey, "north", &date, &offset, &kind, &axle, &side, &code));
    EXPECT_FALSE(ParseAlarmKey("north-1/20260102/4096/hot-box/12/up/0", "north-1", &date, &offset, &kind, &axle, &side, &code));
    ASSERT_TRUE(ParseEventMessage("north-1", GoodEvent(AckEventJson(SomeAlarm(), {20260102, 4096}, "Ann", "seen", 5, "office")),
                                  &e, &why)) << why;
    EXPECT_EQ(std::make_tuple(e.by, e.comment, e.ackAt, e.source), std::make_tuple("Ann", "seen", 5, "office"));
    SiteHealthEvent site;
    site.siteNumber = 512;
    site.name = "Gr\xf6na";
    site.milepost = 1234;
    site.silent = true;
    JournalEvent record{1767398400, SiteEventJson(site), 64};
    std::string leaf;
    ASSERT_TRUE(ParseEventMessage("north-1", EventPayloadOfJournal("north-1", 20260103, record, &leaf), &e, &why)) << why;
    EXPECT_EQ(leaf, "site/512");
    EXPECT_EQ(std::make_tuple(e.name, e.milepost, e.silent), std::make_tuple("Gr\u00f6na", 1234, true));
    for (const std::string& other : {PowerupEventJson(12, 512, 2), LinkEventJson(true, "/dev/ttyUSB0"),
                                     TransferGivenUpEventJson(12, 512)})
        EXPECT_TRUE(ParseEventMessage("north-1", GoodEvent(other), &e, &why)) << other << ": " << why;
    for (const auto& c : BadEventMessages()) {
        why.clear();
        EXPECT_FALSE(ParseEventMessage("north-1", c.payload, &e, &why)) << c.what;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
        EXPECT_EQ(ReadableEventKey("north-1", c.payload), c.key) << c.what;
    }

    // The office's alarm to its point: the alarm event's fields there and
    // back; one of another point, version or key refused.
    ASSERT_TRUE(ParseEventMessage("north-1", GoodEvent(AlarmEventJson(SomeAlarm(), {20260102, 4096}, 12, 512, 417,
                                                                      R"([{"site":510,"relative":9}])")),
                                  &e, &why)) << why;
    const std::string office = EncodeOfficeAlarm(e);
    EventMessage a;
    ASSERT_TRUE(ParseOfficeAlarm("north-1", office, &a, &why)) << why;
    EXPECT_EQ(std::make_tuple(a.alarmKey, a.text, a.threshold, a.train, a.trendJson),
              std::make_tuple(e.alarmKey, e.text, e.threshold, 417, e.trendJson));
    const auto with = [&](const char* name, const nlohmann::json& value) {
        nlohmann::json j = nlohmann::json::parse(office);
        j[name] = value;
        return j.dump();
    };
    for (const auto& [payload, reason] : std::vector<std::pair<std::string, std::string>>{
             {"[1]", "not a JSON object"}, {with("v", 2), "version 2"}, {with("type", "ack"), "not alarm"},
             {with("axle", 13), "does not match"}, {with("trend", "up"), "trend"}, {with("text", std::string(501, 'x')), "longer"}}) {
        why.clear();
        EXPECT_FALSE(ParseOfficeAlarm("north-1", payload, &a, &why)) << payload;
        EXPECT_NE(why.find(reason), std::string::npos) << payload << ": " << why;
    }
    EXPECT_FALSE(ParseOfficeAlarm("north-2", office, &a, &why));
}

// An alarm journaled while the train window is full goes out at the next
// scan; the cursor keeps both journals, and a cursor of trains alone (an
// earlier version's) is read as it was.
// A broker whose SYNs vanish (here: a listener whose accept queue is full,
// so the kernel drops them) costs the connect its time limit, not the
// kernel's two minutes of retries.
TEST(BrokerLink, AConnectThatIsNeverAnsweredEndsWithinItsLimit) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size), 0);
    const int filler = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    mosquitto_lib_init();
    mosquitto* mosq = mosquitto_new("never-answered", true, nullptr);
    BrokerSettings broker;
    broker.host = "127.0.0.1";
    broker.port = ntohs(at.sin_port);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(ConnectWithin(mosq, broker, false, 30, 1), MOSQ_ERR_SUCCESS);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10);
    mosquitto_destroy(mosq);
    close(filler);
    close(listener);
}

TEST(UplinkQueue, AlarmsGoAheadOfWaitingTrains) {
    char pattern[] = "/tmp/kestova-queue-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string data = std::string(pattern) + "/";
    std::filesystem::create_directories(data + "Journal");
    AppendJournal(data + "Journal/Trains-20260101.kj", 0, 100);
    std::ofstream(data + OFFICE_CURSOR_FILE) << "20260101 8\n";
    UplinkQueue queue(data, "east", 4, 2);
    std::string why;
    ASSERT_TRUE(queue.Load(&why)) << why;
    ASSERT_TRUE(AppendEvent(data, 1767225600, PowerupEventJson(12, 512, 1), nullptr));
    auto out = queue.TakeNew();
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0].leaf, "event");
    EXPECT_EQ(out[1].leaf, "train");
    EXPECT_FALSE(queue.Room() && queue.TakeNew().size() > 1);  // trains full, one event place left
    AlarmFields alarm = SomeAlarm();
    ASSERT_TRUE(AppendEvent(data, 1767225601, AlarmEventJson(alarm, {20260101, 8}, 12, 512, 1), nullptr));
    out = queue.TakeNew();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_NE(out[0].payload.find("\"alarm_key\":\"east/20260101/8/hot-box/12/left/0\""), std::string::npos);
    const auto [trains, events] = queue.Backlog();
    EXPECT_EQ(trains, 100u);
    EXPECT_EQ(events, 2u);
    ASSERT_TRUE(queue.Confirm({out[0].key, "east/20260101/8"}, &why)) << why;
    UplinkQueue again(data, "east", 4);
    ASSERT_TRUE(again.Load(&why)) << why;
    EXPECT_EQ(again.Cursor().at(20260101), 8u + EncodeJournalRecord(MakeTrain(0)).size());
    // The powerup before the alarm is not confirmed: the cursor stays before it.
    EXPECT_EQ(again.EventCursor().size(), 1u);
    EXPECT_EQ(again.EventCursor().begin()->second, EVENT_JOURNAL_HEADER_SIZE);
    std::filesystem::remove_all(data);
}

TEST_F(OfficeServersTest, MigratesAnEmptyDatabaseOnce) {
    OfficeDatabase db;
    std::string why;
    ASSERT_TRUE(db.Open(database_, &why)) << why;
    EXPECT_EQ(db.Version(&why), 0);
    ASSERT_TRUE(db.Migrate(&why)) << why;
    ASSERT_TRUE(db.Migrate(&why)) << why;
    EXPECT_EQ(db.Version(&why), OfficeSchemaVersion());
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM schema_version"), OfficeSchemaVersion());
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM train"), 0);
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM point_event"), 0);

    // Keys go to the database as one text[] parameter; what would end an
    // element or the array stays inside its element.
    const std::vector<std::string> keys = {"a,b", "q\"uo\\te", "{x}", ""};
    const std::string array = PgTextArray(keys);
    PGconn* c = PQconnectdb(database_.c_str());
    const char* params[] = {array.c_str()};
    PGresult* r = PQexecParams(c, "SELECT x FROM unnest($1::text[]) WITH ORDINALITY AS u(x, n) ORDER BY n", 1,
                               nullptr, params, nullptr, nullptr, 0);
    std::vector<std::string> back;
    for (int i = 0; i < PQntuples(r); ++i) back.emplace_back(PQgetvalue(r, i, 0));
    EXPECT_EQ(back, keys) << PQresultErrorMessage(r);
    PQclear(r);
    PQfinish(c);
}

TEST_F(OfficeServersTest, StoresATrainSentTwiceOnceAndRejectsBadMessages) {
    const pid_t office = StartOffice("office.log");
    Client client(servers_->brokerPort());
    ASSERT_TRUE(client.connected());
    client.Subscribe("kestova/v1/north/confirm");
    JournalTrain train = MakeTrain(3);
    train.offset = 8;
    const std::string payload = EncodeTrainMessage(MessageOfJournalTrain("north", 20260101, train));
    // The office subscribes once its database is ready; until then nothing is confirmed.
    ASSERT_TRUE(WaitFor([&] {
        client.Publish("kestova/v1/north/train", payload);
        return WaitFor([&] { return !client.Received().empty(); }, 0.5);
    }, 20)) << ReadText(servers_->dir() + "/office.log");
    // Refused messages are kept, and those with a readable key of their
    // topic's point confirmed: else the point sends them again for ever.
    client.Subscribe("kestova/v1/north-1/confirm");
    client.Publish("kestova/v1/north/train", payload);
    client.Publish("kestova/v1/south/train", payload);  // another point's topic: north's key is not south's
    const std::vector<BadMessage> bad = BadMessages(), badEvents = BadEventMessages();
    std::set<std::string> keyed{"north/20260101/8"};
    for (int twice = 0; twice < 2; ++twice) {
        for (const BadMessage& m : bad) {
            client.Publish("kestova/v1/north-1/train", m.payload);
            if (*m.key) keyed.insert(m.key);
        }
        for (const BadMessage& m : badEvents) {
            client.Publish("kestova/v1/north-1/event", m.payload);
            if (*m.key) keyed.insert(m.key);
        }
    }
    std::set<std::string> confirmed;
    ASSERT_TRUE(WaitFor([&] {
        confirmed.clear();
        for (const std::string& confirm : client.Received()) {
            std::vector<std::string> keys;
            EXPECT_TRUE(ParseConfirm(confirm, &keys, nullptr));
            confirmed.insert(keys.begin(), keys.end());
        }
        return confirmed.size() >= keyed.size() &&
               QueryNumber(database_, "SELECT count(*) FROM rejected") ==
                   static_cast<long long>(bad.size() + badEvents.size()) + 1;
    }, 10)) << QueryNumber(database_, "SELECT count(*) FROM rejected");
    EXPECT_EQ(confirmed, keyed);
    for (const BadMessage& m : bad) {
        const std::string sql = "SELECT count(*) FROM rejected WHERE topic = 'kestova/v1/north-1/train' AND point = 'north-1'"
                                " AND coalesce(record_key, '') = '" + std::string(m.key) + "' AND payload_size = " +
                                std::to_string(m.payload.size()) + " AND length(payload) = " +
                                std::to_string(std::min<std::size_t>(m.payload.size(), 65536)) +
                                " AND strpos(reason, $$" + m.reason + "$$) > 0";
        EXPECT_EQ(QueryNumber(database_, sql), 1) << m.what;
    }
    for (const BadMessage& m : badEvents) {
        const std::string sql = "SELECT count(*) FROM rejected WHERE topic = 'kestova/v1/north-1/event'"
                                " AND coalesce(record_key, '') = '" + std::string(m.key) + "' AND payload_size = " +
                                std::to_string(m.payload.size()) + " AND strpos(reason, $$" + m.reason + "$$) > 0";
        EXPECT_EQ(QueryNumber(database_, sql), 1) << m.what;
    }
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM alarm") + QueryNumber(database_, "SELECT count(*) FROM site"), 0);
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM rejected WHERE point = 'south' AND record_key IS NULL"), 1);
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM train"), 1);
    EXPECT_EQ(QueryNumber(database_, "SELECT axle_count FROM train"), 23);
    EXPECT_EQ(QueryNumber(database_, "SELECT length(stream) FROM train"),
              static_cast<long long>(train.stream.size()));
    EXPECT_EQ(StopProgram(office, SIGTERM), 0);
    const std::string log = ReadText(servers_->dir() + "/office.log");
    EXPECT_NE(log.find("rejected a message on kestova/v1/south/train: point \"north\" on the topic of south"),
              std::string::npos) << log;
    EXPECT_NE(log.find("rejected a message on kestova/v1/north-1/train: not JSON"), std::string::npos) << log;
    EXPECT_NE(log.find(std::to_string(2 * (bad.size() + badEvents.size()) + 1) + " messages rejected"), std::string::npos)
        << log;
}

TEST_F(OfficeServersTest, KillNineOfUplinkAndOfficeLosesAndDoublesNothing) {
    const std::string data = servers_->dir() + "/point-east/";
    std::filesystem::create_directories(data + "Journal");
    const std::string uplinkLog = servers_->dir() + "/uplink.log";
    // Without its section the uplink says so and sends nothing.
    EXPECT_EQ(officetest::Run({KESTOVA_UPLINK_EXE, "--data-folder", data}, uplinkLog), 2);
    EXPECT_NE(ReadText(uplinkLog).find("no [Office] section"), std::string::npos);
    std::ofstream(data + "K7_Dialups.ini") << "[Office]\nHost=127.0.0.1\nPort=" << servers_->brokerPort()
                                           << "\nPoint=east\nWindow=16\nResendSeconds=2\n";
    AppendJournal(data + "Journal/Trains-20260101.kj", 0, 150);
    AppendJournal(data + "Journal/Trains-20260102.kj", 150, 50);
    const auto started = std::chrono::steady_clock::now();
    pid_t office = StartOffice("office-1.log");
    pid_t uplink = Spawn({KESTOVA_UPLINK_EXE, "--data-folder", data}, uplinkLog);
    running_.push_back(uplink);
    const std::string count = "SELECT count(*) FROM train";
    ASSERT_TRUE(WaitFor([&] { return QueryNumber(database_, count) >= 40; }, 30))
        << ReadText(uplinkLog) << ReadText(servers_->dir() + "/office-1.log");
    StopProgram(uplink, SIGKILL);
    StopProgram(office, SIGKILL);
    // Trains that arrive while both are down.
    AppendJournal(data + "Journal/Trains-20260102.kj", 200, 20);
    office = StartOffice("office-2.log");
    uplink = Spawn({KESTOVA_UPLINK_EXE, "--data-folder", data}, uplinkLog);
    running_.push_back(uplink);
    const auto done = [&] {
        std::string why;
        UplinkQueue cursor(data, "east", 1);
        return cursor.Load(&why) &&
               cursor.Cursor() == std::map<long, std::uint64_t>{
                   {20260101, std::filesystem::file_size(data + "Journal/Trains-20260101.kj")},
                   {20260102, std::filesystem::file_size(data + "Journal/Trains-20260102.kj")}};
    };
    ASSERT_TRUE(WaitFor(done, 60)) << ReadText(uplinkLog) << ReadText(data + OFFICE_CURSOR_FILE);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("220 trains through the pipe, with two kill -9, in %.1f s\n", seconds);
    EXPECT_EQ(QueryNumber(database_, count), 220);
    EXPECT_EQ(QueryNumber(database_, "SELECT count(DISTINCT (journal_date, journal_offset)) FROM train"), 220);
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM train WHERE train_number BETWEEN 0 AND 219"), 220);
    EXPECT_EQ(QueryNumber(database_, "SELECT sum(length(stream)) FROM train"),
              static_cast<long long>(std::filesystem::file_size(data + "Journal/Trains-20260101.kj") +
                                     std::filesystem::file_size(data + "Journal/Trains-20260102.kj") -
                                     2 * TRAIN_JOURNAL_HEADER_SIZE -
                                     220 * (TRAIN_JOURNAL_RECORD_HEAD + TRAIN_JOURNAL_BODY_FIXED)));
    EXPECT_EQ(StopProgram(uplink, SIGTERM), 0);
    EXPECT_EQ(StopProgram(office, SIGTERM), 0);
}

TEST_F(OfficeServersTest, OverTlsEachPointPublishesOnlyAsItself) {
    ASSERT_EQ(servers_->StartTlsBroker(), "");
    const std::string certs = servers_->Certs();
    const std::string data = servers_->dir() + "/point-tls-east/";
    std::filesystem::create_directories(data + "Journal");
    std::ofstream(data + "K7_Dialups.ini") << "[Office]\nPoint=east\nHost=localhost\nPort=" << servers_->tlsBrokerPort()
                                           << "\nCaFile=" << certs << "ca.crt\nCertFile=" << certs
                                           << "east.crt\nKeyFile=" << certs << "east.key\nResendSeconds=1\n";
    const std::string journal = data + "Journal/Trains-20260101.kj";
    AppendJournal(journal, 0, 1);
    const pid_t office = StartOffice("office-tls.log", true);
    const std::string uplinkLog = servers_->dir() + "/uplink-tls.log";
    running_.push_back(Spawn({KESTOVA_UPLINK_EXE, "--data-folder", data}, uplinkLog));
    const auto confirmed = [&] {
        UplinkQueue cursor(data, "east", 1);
        std::string why;
        return cursor.Load(&why) && cursor.Cursor()[20260101] == std::filesystem::file_size(journal);
    };
    ASSERT_TRUE(WaitFor(confirmed, 20)) << ReadText(uplinkLog) << ReadText(servers_->dir() + "/office-tls.log");
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM train WHERE record_key LIKE 'east/%'"), 1);

    // East's certificate publishing as west: the broker drops it. A train of
    // east's own sent after it shows the office has had all there was.
    Client east(servers_->tlsBrokerPort(), certs, "east");
    ASSERT_TRUE(east.connected());
    east.Subscribe("kestova/v1/west/confirm");
    east.Subscribe("kestova/v1/west/ack");
    east.Subscribe("kestova/v1/west/alarm");
    JournalTrain train = MakeTrain(5);
    train.offset = 8;
    east.Publish("kestova/v1/west/train", EncodeTrainMessage(MessageOfJournalTrain("west", 20260101, train)));
    JournalEvent powerup{1767398400, PowerupEventJson(1, 2, 1), 64};
    std::string leaf;
    east.Publish("kestova/v1/west/event", EventPayloadOfJournal("west", 20260101, powerup, &leaf));
    // Nor may a point send acknowledgements, to another or to itself.
    east.Publish("kestova/v1/west/ack", EncodeOfficeAcks({{"west/20260101/8/hot-box/1/left/0", "Eve", "", 1}}));
    EventMessage alarm;
    alarm.trainKey = "west/20260101/8";
    alarm.alarmKey = "west/20260101/8/trend/1/left/0";
    alarm.kind = "trend";
    alarm.axle = 1;
    alarm.side = "left";
    east.Publish("kestova/v1/west/alarm", EncodeOfficeAlarm(alarm));
    train.offset = 1u << 20;
    east.Publish("kestova/v1/east/train", EncodeTrainMessage(MessageOfJournalTrain("east", 20260101, train)));
    ASSERT_TRUE(WaitFor([&] { return QueryNumber(database_, "SELECT count(*) FROM train") >= 2; }, 10));
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM train WHERE record_key LIKE 'west/%'"), 0);
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM collection_point WHERE name = 'west'"), 0);
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM point_event"), 0);
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM rejected"), 0);
    EXPECT_TRUE(east.Received().empty());
    EXPECT_EQ(StopProgram(office, SIGTERM), 0);
}

// ---- Trend alarms across points ------------------------------------------

namespace {

std::string QueryText(const std::string& conninfo, const std::string& sql) {
    PGconn* c = PQconnectdb(conninfo.c_str());
    PGresult* r = PQexec(c, sql.c_str());
    std::string v;
    const auto status = PQresultStatus(r);
    if (status == PGRES_TUPLES_OK && PQntuples(r) >= 1) v = PQgetvalue(r, 0, 0);
    else if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) v = std::string("ERROR ") + PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
    return v;
}

// A line of `count` sites 12.3 and 16.7 miles apart, the second reading 6
// steps high; site k belongs to point "p<k + 1>" and all have site number
// 100 (numbers repeat across points).
std::vector<sitesim::SiteIdentity> LineSites(int count) {
    sitesim::SimRandom rng(2028);
    std::vector<sitesim::SiteIdentity> sites;
    const int mileposts[3] = {1000, 1123, 1290};
    for (int k = 0; k < count; ++k) {
        sites.push_back(sitesim::MakeSite(static_cast<std::uint8_t>(21 + k), 1, sitesim::UnitKind::Halvor, rng));
        sites.back().milepost = static_cast<std::uint16_t>(mileposts[k]);
        sites.back().siteNumber = 100;
        sites.back().readingBias = k == 1 ? 6 : 0;
    }
    return sites;
}

// The points and their sites, as the point's site reports fill them.
std::string RegisterLine(const std::string& conninfo, const std::vector<sitesim::SiteIdentity>& sites) {
    std::string sql;
    for (std::size_t k = 0; k < sites.size(); ++k)
        sql += "INSERT INTO collection_point (name) VALUES ('p" + std::to_string(k + 1) + "') ON CONFLICT DO NOTHING;"
               "INSERT INTO site (point_id, site_number, milepost, track) SELECT id, " +
               std::to_string(sites[k].siteNumber) + ", " + std::to_string(sites[k].milepost) +
               ", 1 FROM collection_point WHERE name = 'p" + std::to_string(k + 1) + "';";
    return QueryText(conninfo, sql);
}

// The trains of one line train as point k's uplink sends them: received
// `start` plus its running time, at journal offset `offset`.
std::vector<TrainMessage> LineMessages(const std::vector<sitesim::GeneratedTrain>& line, std::int64_t start,
                                       std::uint64_t offset) {
    std::vector<TrainMessage> out;
    for (std::size_t k = 0; k < line.size(); ++k) {
        JournalTrain t;
        t.receivedAt = start + line[k].lineSeconds;
        t.radioId = static_cast<std::uint8_t>(21 + k);
        t.trackOrSequence = 1;
        t.delivery = TrainDelivery::Blocks;
        t.blockCount = 1;
        t.stream = line[k].stream;
        t.offset = offset;
        out.push_back(MessageOfJournalTrain("p" + std::to_string(k + 1), 20260101, t));
    }
    return out;
}

}  // namespace

// A bearing heating up through the sites of two points: the office raises
// one trend alarm, at the second site, with the bearing's trend; the same
// train sent again, and a healthy train just behind it, raise nothing more.
TEST_F(OfficeServersTest, TwoPointsTrainsOfOneHeatingBearingRaiseOneOfficeTrendAlarm) {
    const pid_t office = StartOffice("office-trend.log");
    const std::vector<sitesim::SiteIdentity> sites = LineSites(2);
    sitesim::TrainDesign d;
    d.axles = 80;
    d.kind = 15;
    d.randomDefects = false;
    d.maxStreamBytes = 9216;
    d.defects = {{sitesim::DefectKind::Trend, 9, 0, 0, 0, {38, 103}}};
    sitesim::SimRandom rng(5);
    const auto heating = LineMessages(sitesim::GenerateLineTrain(sites, d, 50, rng), 1767225600, 4096);
    d.defects.clear();
    d.axles = 81;
    const auto healthy = LineMessages(sitesim::GenerateLineTrain(sites, d, 50, rng), 1767225600 + 240, 8192);

    ASSERT_TRUE(WaitFor([&] { return QueryNumber(database_, "SELECT count(*) FROM schema_version") == OfficeSchemaVersion(); }, 20));
    ASSERT_EQ(RegisterLine(database_, sites), "");
    Client client(servers_->brokerPort());
    ASSERT_TRUE(client.connected());
    for (const char* p : {"p1", "p2"}) client.Subscribe(std::string("kestova/v1/") + p + "/confirm");
    ASSERT_TRUE(WaitFor([&] {
        client.Publish("kestova/v1/p1/train", EncodeTrainMessage(heating[0]));
        return WaitFor([&] { return !client.Received().empty(); }, 0.5);
    }, 20)) << ReadText(servers_->dir() + "/office-trend.log");
    for (const auto& m : {heating[1], healthy[0], healthy[1], heating[1]})
        client.Publish("kestova/v1/" + m.point + "/train", EncodeTrainMessage(m));
    ASSERT_TRUE(WaitFor([&] { return QueryNumber(database_, "SELECT count(*) FROM train") == 4; }, 10));
    ASSERT_TRUE(WaitFor([&] { return QueryNumber(database_, "SELECT count(*) FROM alarm") >= 1; }, 5))
        << ReadText(servers_->dir() + "/office-trend.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM alarm"), 1);
    EXPECT_EQ(QueryText(database_,
                        "SELECT a.alarm_key || ' ' || a.raised_by || ' ' || a.kind || ' ' || p.name || ' ' || a.site_number"
                        " || ' ' || a.axle || ' ' || a.side || ' ' || a.code || ' ' || jsonb_array_length(a.trend)"
                        " || ' ' || (a.trend->0->>'site') FROM alarm a JOIN collection_point p ON p.id = a.point_id"),
              heating[1].Key() + "/trend/9/left/0 office trend p2 100 9 left 0 2 100");
    // The relative readings rose by about the planted 103 - 38.
    const long long first = QueryNumber(database_, "SELECT (trend->0->>'relative')::int FROM alarm");
    const long long second = QueryNumber(database_, "SELECT (trend->1->>'relative')::int FROM alarm");
    EXPECT_NEAR(second - first, 65, 15) << first << " " << second;
    EXPECT_NE(QueryText(database_, "SELECT text FROM alarm").find("trend axle 9 (car "), std::string::npos);
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM trend_due"), 0);

    // The office killed between a train's commit and its trend look: the
    // next office takes the look.
    StopProgram(office, SIGKILL);
    ASSERT_EQ(QueryNumber(database_, "WITH gone AS (DELETE FROM alarm RETURNING train_key)"
                                     " INSERT INTO trend_due (record_key) SELECT train_key FROM gone RETURNING 1"), 1);
    const pid_t again = StartOffice("office-trend-again.log");
    EXPECT_TRUE(WaitFor([&] { return QueryNumber(database_, "SELECT count(*) FROM alarm") == 1; }, 10))
        << ReadText(servers_->dir() + "/office-trend-again.log");
    EXPECT_TRUE(WaitFor([&] { return QueryNumber(database_, "SELECT count(*) FROM trend_due") == 0; }, 5));
    EXPECT_EQ(StopProgram(again, SIGTERM), 0);
}

// The figures of docs/office.md (scripts/bench-office-trends runs it): 1,000
// healthy trains through three points' sites, a train every 2 to 15 minutes
// at 15 to 70 mph (so several are between two sites at once), stored and
// followed in batches as the office does, in process; then the same trains
// with a bearing heating 38, 103, 253; then the latency of a planted pair
// through kestova-office, from the second train's commit to its alarm row.
TEST_F(OfficeServersTest, DISABLED_TrendFiguresOnALine) {
    const std::vector<sitesim::SiteIdentity> sites = LineSites(3);
    const AlarmRules rules;
    auto run = [&](bool planted, int* alarms, int* atSecond, int* axles) {
        const std::string db = servers_->NewDatabase();
        OfficeDatabase store;
        std::string why;
        EXPECT_TRUE(store.Open(db, &why) && store.Migrate(&why)) << why;
        EXPECT_EQ(RegisterLine(db, sites), "");
        OfficeTrends trends(rules);
        EXPECT_TRUE(trends.Open(db, &why)) << why;
        sitesim::SimRandom rng(2029);
        std::vector<TrainMessage> all;
        std::map<std::string, std::pair<int, int>> plantedOn;  // second site's key: axle, side
        std::int64_t start = 1767225600;
        *axles = 0;
        for (int n = 0; n < 1000; ++n) {
            sitesim::TrainDesign d;
            d.kind = rng.Chance(70) ? 15 : 16;
            const int r = rng.Range(0, 99);
            d.axles = r < 20 ? rng.Range(rules.minimumAxlesForOutlier, 40) : r < 85 ? rng.Range(40, 260) : rng.Range(260, 1200);
            d.maxStreamBytes = 9216;
            d.randomDefects = false;
            d.trainNumber = static_cast<std::uint16_t>(n + 1);
            const int speed = rng.Range(15, 70);
            const int axle = rng.Range(1, d.axles), side = rng.Range(0, 1);
            if (planted) d.defects = {{sitesim::DefectKind::Trend, axle, side, 0, 0, {38, 103, 253}}};
            sitesim::SimRandom lineRng(9000 + static_cast<std::uint64_t>(n));
            const auto line = LineMessages(sitesim::GenerateLineTrain(sites, d, speed, lineRng), start,
                                           8 + static_cast<std::uint64_t>(n) * 4096);
            *axles += line[0].summary.axles;
            plantedOn[line[1].Key()] = {axle, side};
            all.insert(all.end(), line.begin(), line.end());
            start += rng.Range(120, 900);
        }
        std::stable_sort(all.begin(), all.end(), [](const TrainMessage& a, const TrainMessage& b) {
            return a.receivedAt < b.receivedAt;
        });
        for (std::size_t at = 0; at < all.size(); at += 20) {
            const std::vector<TrainMessage> batch(all.begin() + static_cast<long>(at),
                                                  all.begin() + static_cast<long>(std::min(all.size(), at + 20)));
            std::size_t inserted = 0;
            EXPECT_TRUE(store.Store(batch, {}, &inserted, &why)) << why;
            EXPECT_GE(trends.Raise(batch, &why), 0) << why;
        }
        *alarms = static_cast<int>(QueryNumber(db, "SELECT count(*) FROM alarm"));
        *atSecond = 0;
        PGconn* c = PQconnectdb(db.c_str());
        PGresult* res = PQexec(c, "SELECT train_key, axle, side FROM alarm");
        for (int i = 0; i < PQntuples(res); ++i) {
            const auto it = plantedOn.find(PQgetvalue(res, i, 0));
            *atSecond += it != plantedOn.end() && it->second.first == std::atoi(PQgetvalue(res, i, 1)) &&
                         (it->second.second == 0 ? "left" : "right") == std::string(PQgetvalue(res, i, 2));
        }
        PQclear(res);
        PQfinish(c);
    };
    int falseAlarms = 0, unused = 0, axles = 0, plantedAlarms = 0, atSecond = 0;
    const auto t0 = std::chrono::steady_clock::now();
    run(false, &falseAlarms, &unused, &axles);
    const double healthySeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run(true, &plantedAlarms, &atSecond, &axles);
    EXPECT_LE(falseAlarms, 1);
    EXPECT_EQ(atSecond, 1000);

    // The latency through the office: 20 planted pairs, one every second.
    const pid_t office = StartOffice("office-trend-figures.log");
    const std::vector<sitesim::SiteIdentity> two = LineSites(2);
    ASSERT_TRUE(WaitFor([&] { return QueryNumber(database_, "SELECT count(*) FROM schema_version") == OfficeSchemaVersion(); }, 20));
    ASSERT_EQ(RegisterLine(database_, two), "");
    Client client(servers_->brokerPort());
    ASSERT_TRUE(client.connected());
    client.Subscribe("kestova/v1/p1/confirm");
    sitesim::SimRandom rng(77);
    double worst = 0;  // from the publish to the alarm row seen (polled every 50 ms)
    for (int n = 0; n < 20; ++n) {
        sitesim::TrainDesign d;
        d.axles = 40 + n * 7;
        d.randomDefects = false;
        d.maxStreamBytes = 9216;
        d.defects = {{sitesim::DefectKind::Trend, 3, 1, 0, 0, {38, 103}}};
        const auto pair = LineMessages(sitesim::GenerateLineTrain(two, d, 50, rng), 1767225600 + n * 3600,
                                       8 + static_cast<std::uint64_t>(n) * 4096);
        client.Publish("kestova/v1/p1/train", EncodeTrainMessage(pair[0]));
        ASSERT_TRUE(WaitFor([&] { return client.Received().size() > static_cast<std::size_t>(n); }, 20));
        const auto sent = std::chrono::steady_clock::now();
        client.Publish("kestova/v1/p2/train", EncodeTrainMessage(pair[1]));
        ASSERT_TRUE(WaitFor([&] { return QueryNumber(database_, "SELECT count(*) FROM alarm") == n + 1; }, 5))
            << ReadText(servers_->dir() + "/office-trend-figures.log");
        worst = std::max(worst, std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count());
    }
    const std::string latency = QueryText(
        database_,
        "SELECT round(percentile_cont(0.5) WITHIN GROUP (ORDER BY s)::numeric, 3) || ' ' ||"
        " round(max(s)::numeric, 3) FROM (SELECT extract(epoch FROM a.committed_at - t.committed_at) AS s"
        " FROM alarm a JOIN train t ON t.record_key = a.train_key) x");
    EXPECT_EQ(StopProgram(office, SIGTERM), 0);
    std::printf("[ figures  ] office trends: 1000 healthy trains through 3 points' sites (%d axles): %d trend "
                "alarms (stored and followed in %.1f s); planted 38, 103, 253: %d alarms, %d of 1000 at the second "
                "site on their axle and side; latency from the second site's train commit to the alarm row, "
                "median and largest of 20 (s): %s; from the publish to the row seen, largest: %.2f s\n",
                axles, falseAlarms, healthySeconds, plantedAlarms, atSecond, latency.c_str(), worst);
}

// A point's history with one journaled train and two alarms of it (as the
// collector indexes them); their ids.
std::vector<std::int64_t> PointHistoryWithAlarms(const std::string& data, const std::string& journal,
                                                 std::uint64_t offset) {
    std::string replaced, why;
    auto history = TrainHistory::OpenForWriting(HistoryPath(data), &replaced, &why);
    EXPECT_TRUE(history) << why;
    if (!history) return {};
    const std::string sql =
        "INSERT INTO trains (site_id, site_number, site_name, unit_type, track, first_time, second_time, received,"
        " train_number, axles, cars, hb_left_max, hb_left_axle, hb_right_max, hb_right_axle, maxed_left, maxed_right,"
        " alarm, sim_codes, file, file_size, file_mtime, journal_file, journal_offset)"
        " VALUES (12, 512, 'Grona', 'Halvor', 1, '2026-01-01 07:00:00', '2026-01-01 07:01:00', '2026-01-01 07:01:05',"
        " 417, 24, 6, 170, 12, 90, 3, 0, 0, 1, '', 't.txt', 1, 1, '" + journal + "', " + std::to_string(offset) + ");"
        "INSERT INTO alarms (train_id, file, received, first_time, site_number, site_id, site_name, train_number, kind,"
        " axle, car, axle_in_car, side, reading, reference, threshold, code, text) VALUES"
        " (1, 't.txt', '2026-01-01 07:01:05', '2026-01-01 07:00:00', 512, 12, 'Grona', 417, 'hot-box', 12, 3, 2,"
        "  'left', 170, -1, 120, 0, 'hot-box axle 12 left'),"
        " (1, 't.txt', '2026-01-01 07:01:05', '2026-01-01 07:00:00', 512, 12, 'Grona', 417, 'hot-wheel', 5, 2, 1,"
        "  'right', 400, -1, 350, 0, 'hot-wheel axle 5 right');";
    EXPECT_EQ(sqlite3_exec(history->Handle(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(history->Handle());
    return {1, 2};
}

// A point's events through the pipe: its alarms (one journaled twice)
// stored once each, its site with registry data, a Powerup, its status and
// backlog; an acknowledgement made at the point reaches the office, one
// made at the office reaches the point's history (and comes back as held
// there), and one for an alarm acknowledged at the point already keeps the
// point's.
TEST_F(OfficeServersTest, PointEventsReachTheOfficeAndAcknowledgementsGoBothWays) {
    const std::string data = servers_->dir() + "/point-events/";
    std::filesystem::create_directories(data + "Journal");
    std::ofstream(data + "K7_Dialups.ini") << "[Office]\nHost=127.0.0.1\nPort=" << servers_->brokerPort()
                                           << "\nPoint=east\nWindow=4\nResendSeconds=2\n";
    const std::string journal = data + "Journal/Trains-20260101.kj";
    AppendJournal(journal, 0, 30);  // more than the window holds
    const std::vector<std::int64_t> ids = PointHistoryWithAlarms(data, journal, TRAIN_JOURNAL_HEADER_SIZE);
    ASSERT_EQ(ids.size(), 2u);
    std::vector<AlarmRow> alarms;
    {
        TrainHistory::OpenStatus status;
        auto history = TrainHistory::OpenForUpdate(HistoryPath(data), &status, nullptr);
        ASSERT_TRUE(history);
        for (std::int64_t id : ids) alarms.push_back(*history->AlarmById(id));
        const TrainJournalPlace place{20260101, TRAIN_JOURNAL_HEADER_SIZE};
        for (const AlarmRow& a : {alarms[0], alarms[1], alarms[0]})
            ASSERT_TRUE(AppendEvent(data, 1767250000, AlarmEventJson(a, place, 12, 512, 417), nullptr));
        SiteHealthEvent site;
        site.siteNumber = 512;
        site.radioId = 12;
        site.name = "Grona";
        site.milepost = 1234;
        site.track = 1;
        site.lastCall = 1767250000;
        ASSERT_TRUE(AppendEvent(data, 1767250001, SiteEventJson(site), nullptr));
        ASSERT_TRUE(AppendEvent(data, 1767250002, PowerupEventJson(12, 512, 1), nullptr));
        // Acknowledged at the point: journaled by the history itself.
        std::string why;
        ASSERT_TRUE(history->AcknowledgeAlarm(ids[0], "Ann", "set out", &why)) << why;
    }
    const std::string key0 = "east/20260101/8/hot-box/12/left/0", key1 = "east/20260101/8/hot-wheel/5/right/0";
    const pid_t office = StartOffice("office-events.log");
    const std::string uplinkLog = servers_->dir() + "/uplink-events.log";
    const pid_t uplink = Spawn({KESTOVA_UPLINK_EXE, "--data-folder", data}, uplinkLog);
    running_.push_back(uplink);
    const auto logs = [&] { return ReadText(uplinkLog) + ReadText(servers_->dir() + "/office-events.log"); };
    ASSERT_TRUE(WaitFor([&] {
        return QueryNumber(database_, "SELECT count(*) FROM acknowledgement WHERE at_point") == 1 &&
               QueryNumber(database_, "SELECT count(*) FROM point_event") == 1 &&
               QueryNumber(database_, "SELECT count(*) FROM alarm") == 2 &&
               QueryNumber(database_, "SELECT count(*) FROM site") == 1 &&
               QueryNumber(database_, "SELECT count(*) FROM train") == 30;
    }, 30)) << logs();
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM alarm WHERE raised_by = 'point' AND train_key = 'east/20260101/8'"
                                     " AND site_number = 512 AND train_number = 417 AND reference IS NULL"),
              2);
    EXPECT_EQ(QueryNumber(database_, "SELECT threshold FROM alarm WHERE alarm_key = '" + key0 + "'"), 120);
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM acknowledgement WHERE alarm_key = '" + key0 +
                                     "' AND by_name = 'Ann' AND comment = 'set out' AND source = 'point'"),
              1);
    EXPECT_EQ(QueryNumber(database_, "SELECT milepost FROM site WHERE site_number = 512 AND name = 'Grona'"
                                     " AND track = 1 AND health = 'ok' AND last_call IS NOT NULL"),
              1234);
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM point_event WHERE kind = 'powerup'"
                                     " AND detail->>'site' = '512' AND event_key LIKE 'east/E%'"),
              1);
    ASSERT_TRUE(WaitFor([&] {
        return QueryNumber(database_, "SELECT count(*) FROM collection_point WHERE name = 'east' AND online"
                                      " AND backlog = 0 AND status_at IS NOT NULL") == 1;
    }, 15)) << logs();

    // Made at the office (as its page does): sent to east, held by its
    // history, and journaled there, which tells the office.
    const auto exec = [&](const std::string& sql) {
        PGconn* c = PQconnectdb(database_.c_str());
        PGresult* r = PQexec(c, sql.c_str());
        EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(c);
        PQclear(r);
        PQfinish(c);
    };
    exec("INSERT INTO acknowledgement (alarm_key, by_name, comment, acked_at, source)"
         " VALUES ('" + key1 + "', 'Bo', 'from the desk', to_timestamp(1767260000), 'office')");
    ASSERT_TRUE(WaitFor([&] {
        return QueryNumber(database_, "SELECT count(*) FROM acknowledgement WHERE at_point") == 2;
    }, 20)) << logs();
    TrainHistory::OpenStatus status;
    auto history = TrainHistory::OpenForReading(HistoryPath(data), &status, nullptr);
    ASSERT_TRUE(history);
    const AlarmRow first = *history->AlarmById(ids[0]), second = *history->AlarmById(ids[1]);
    EXPECT_EQ(std::make_tuple(second.ackBy, second.ackComment, second.ackEpoch),
              std::make_tuple("Bo", "from the desk", 1767260000));
    EXPECT_EQ(first.ackBy, "Ann");
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM acknowledgement WHERE alarm_key = '" + key1 +
                                     "' AND by_name = 'Bo' AND source = 'office'"),
              1);
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM alarm"), 2);

    // The office's own trend alarm on east's train (delivered twice: once by
    // hand, once by the office): held once by east's history, back from east
    // as its alarm event, and acknowledged from the desk like any other.
    EventMessage trend;
    trend.trainKey = "east/20260101/8";
    trend.alarmKey = "east/20260101/8/trend/3/left/0";
    trend.kind = "trend";
    trend.axle = 3;
    trend.side = "left";
    trend.reading = 90;
    trend.text = "trend axle 3 left";
    trend.trendJson = R"([{"relative":10,"site":510}])";
    Client client(servers_->brokerPort());
    ASSERT_TRUE(client.connected());
    client.Publish("kestova/v1/east/alarm", EncodeOfficeAlarm(trend));
    client.Publish("kestova/v1/east/alarm", "{\"v\":1,\"type\":\"alarm\"}");  // refused, logged
    exec("INSERT INTO alarm (alarm_key, point_id, train_key, raised_by, kind, axle, side, reading, code, text, trend,"
         " raised_at) SELECT '" + trend.alarmKey + "', id, 'east/20260101/8', 'office', 'trend', 3, 'left', 90, 0,"
         " 'trend axle 3 left', '[{\"site\": 510, \"relative\": 10}]', now() FROM collection_point WHERE name = 'east'");
    ASSERT_TRUE(WaitFor([&] {
        return QueryNumber(database_, "SELECT count(*) FROM alarm WHERE at_point AND raised_by = 'office'") == 1;
    }, 20)) << logs();
    exec("INSERT INTO acknowledgement (alarm_key, by_name, comment, acked_at, source)"
         " VALUES ('" + trend.alarmKey + "', 'Cy', '', to_timestamp(1767270000), 'office')");
    ASSERT_TRUE(WaitFor([&] {
        return QueryNumber(database_, "SELECT count(*) FROM acknowledgement WHERE at_point") == 3;
    }, 20)) << logs();
    {
        auto again = TrainHistory::OpenForReading(HistoryPath(data), &status, nullptr);
        ASSERT_TRUE(again);
        std::vector<AlarmRow> trends;
        for (const AlarmRow& a : again->ListAlarms(AlarmFilter{}, 0, -1))
            if (a.kind == "trend") trends.push_back(a);
        ASSERT_EQ(trends.size(), 1u);
        EXPECT_EQ(std::make_tuple(trends[0].axle, trends[0].side, trends[0].reading, trends[0].ackBy),
                  std::make_tuple(3, "left", 90, "Cy"));
    }
    EXPECT_EQ(QueryNumber(database_, "SELECT count(*) FROM alarm"), 3);
    EXPECT_NE(ReadText(uplinkLog).find("ignored an alarm from the office"), std::string::npos);
    // The cursor holds both journals, each confirmed to its end.
    const std::string events = data + "Journal/" + EventJournalFileName(std::time(nullptr));
    ASSERT_TRUE(WaitFor([&] {
        UplinkQueue cursor(data, "east", 1);
        return cursor.Load(nullptr) && cursor.Cursor()[20260101] == std::filesystem::file_size(journal) &&
               cursor.EventCursor() == std::map<long, std::uint64_t>{{EventJournalDate(EventJournalFileName(std::time(nullptr))),
                                                                      std::filesystem::file_size(events)}};
    }, 10)) << ReadText(data + OFFICE_CURSOR_FILE);
    EXPECT_EQ(StopProgram(uplink, SIGTERM), 0);
    ASSERT_TRUE(WaitFor([&] {
        return QueryNumber(database_, "SELECT count(*) FROM collection_point WHERE NOT online") == 1;
    }, 10)) << logs();
    EXPECT_EQ(StopProgram(office, SIGTERM), 0);
}
