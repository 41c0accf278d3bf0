// kestova-office: the control office. Takes the trains and events every
// collection point's uplink publishes, stores them in PostgreSQL (one
// transaction per batch, a key stored once) and, after the commit, confirms
// them to the point; sends the acknowledgements made at the office to their
// point until it holds them; keeps each point's status and backlog
// (docs/office.md).
#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/CommandLine.h"
#include "common/Version.h"
#include "office/Broker.h"
#include "office/OfficeDb.h"
#include "office/OfficeTrends.h"
#include "office/Payload.h"
#include "office/WebAuth.h"
#include "office/WebServer.h"

namespace {

constexpr int kExitUsage = 2;
constexpr const char* kUsage =
    "Usage: kestova-office [--host H] [--port N] [--cafile F --certfile F --keyfile F]\n"
    "                      [--client-id ID] [--database CONNINFO] [--settings FILE] [--check]\n"
    "                      [--help] [--version] [--web ADDRESS:PORT --web-cert FILE --web-key FILE]\n"
    "       kestova-office --add-operator NAME --role viewer|acknowledger [--database CONNINFO]\n";
constexpr std::size_t kConfirmKeysPerMessage = 500;
constexpr std::size_t kBatch = 1000;  // trains per transaction at most
constexpr auto kAckPoll = std::chrono::seconds(1);
constexpr auto kAckResend = std::chrono::seconds(30);

// The batch the database thread stores while the main thread takes in the
// next one from the broker (only the main thread touches the broker).
struct StoreJob {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<TrainMessage> trains;
    std::vector<RejectedMessage> rejected;
    std::vector<EventMessage> events;
    std::vector<PointStatus> statuses;
    // The acknowledgements made at the office that their points do not
    // hold yet, read by the database thread every kAckPoll.
    std::vector<PendingAck> acks;
    std::vector<PendingAlarm> alarms;  // and the office's alarms the same
    bool acksRead = false;
    bool busy = false;  // handed over, not yet taken back
    bool done = false;  // stored or failed
    bool ok = false;
    bool quit = false;
    std::size_t inserted = 0;
    std::string why;
};

struct Office {
    OfficeDatabase db;
    std::unique_ptr<OfficeTrends> trends;  // after each committed batch
    mosquitto* mosq = nullptr;
    StoreJob job;
    std::vector<TrainMessage> pending;
    std::vector<RejectedMessage> pendingRejected;
    std::vector<EventMessage> pendingEvents;
    std::vector<PointStatus> pendingStatuses;
    std::map<std::string, std::chrono::steady_clock::time_point> acksSent;  // alarm key -> last sent
    std::map<std::string, std::chrono::steady_clock::time_point> alarmsSent;
    bool resendAcks = true;
    bool connected = false;
    bool connectRefused = false;
    unsigned long long stored = 0, duplicates = 0, rejected = 0;
};

void OnConnect(mosquitto* mosq, void* data, int rc) {
    auto& o = *static_cast<Office*>(data);
    if (rc != 0) {
        std::fprintf(stderr, "kestova-office: the broker refused the connection: %s\n", BrokerRefusal(rc).c_str());
        o.connectRefused = true;
        return;
    }
    o.connected = true;
    o.resendAcks = true;
    for (const char* topic : {"kestova/v1/+/train", "kestova/v1/+/event", "kestova/v1/+/site/+",
                              "kestova/v1/+/status", "kestova/v1/+/backlog"})
        mosquitto_subscribe(mosq, nullptr, topic, 1);
}

// A point's event, site health, status or backlog; false with the reason
// when it is none of them or not valid.
bool TakePointMessage(Office& o, const std::string& point, const std::string& leaf, const std::string& payload,
                      std::string* why) {
    if (leaf == "event" || leaf.compare(0, 5, "site/") == 0) {
        EventMessage e;
        if (!ParseEventMessage(point, payload, &e, why)) return false;
        const bool site = leaf != "event";
        if (site != (e.type == "site") || (site && leaf != "site/" + std::to_string(e.site))) {
            *why = "a " + e.type + " event on the " + leaf + " topic";
            return false;
        }
        o.pendingEvents.push_back(std::move(e));
        return true;
    }
    PointStatus s;
    s.point = point;
    if (leaf == "status") {
        if (payload != "online" && payload != "offline") {
            *why = "a status that is not online or offline";
            return false;
        }
        s.hasOnline = true;
        s.online = payload == "online";
    } else if (leaf == "backlog") {
        if (!ParseBacklog(payload, &s.backlog, why)) return false;
        s.hasBacklog = true;
    } else {
        *why = "not a topic of the office";
        return false;
    }
    o.pendingStatuses.push_back(std::move(s));
    return true;
}

void OnDisconnect(mosquitto*, void* data, int) { static_cast<Office*>(data)->connected = false; }

void OnMessage(mosquitto*, void* data, const mosquitto_message* msg) {
    auto& o = *static_cast<Office*>(data);
    const std::string topic = msg->topic ? msg->topic : "";
    std::string point, leaf;
    if (!SplitOfficeTopic(topic, &point, &leaf)) point.clear();
    const std::size_t size = msg->payloadlen > 0 ? static_cast<std::size_t>(msg->payloadlen) : 0;
    const std::string payload(static_cast<const char*>(msg->payload), std::min(size, OFFICE_MAX_PAYLOAD));
    std::string why;
    TrainMessage train;
    if (point.empty()) {
        why = "not a topic of the office";
    } else if (size > OFFICE_MAX_PAYLOAD) {
        why = "payload of " + std::to_string(size) + " bytes, more than " + std::to_string(OFFICE_MAX_PAYLOAD);
    } else if (leaf != "train") {
        if (TakePointMessage(o, point, leaf, payload, &why)) return;
    } else if (ParseTrainMessage(point, payload, &train, &why)) {
        o.pending.push_back(std::move(train));
        return;
    }
    ++o.rejected;
    std::fprintf(stderr, "kestova-office: rejected a message on %s: %s\n", PrintableLine(topic).c_str(),
                 PrintableLine(why, 200).c_str());
    // Kept with its bytes; confirmed (after the commit) when its key can be
    // read, else the point would send it again for ever and it would hold a
    // place of its window.
    RejectedMessage r;
    r.topic = PrintableLine(topic, 200);
    r.point = point;
    r.reason = PrintableLine(why, 200);
    r.key = size > OFFICE_MAX_PAYLOAD ? ""
            : leaf == "train"           ? ReadableTrainKey(point, payload)
                                        : ReadableEventKey(point, payload);
    r.bytes = payload;
    r.size = size;
    o.pendingRejected.push_back(std::move(r));
}

// The database thread: stores each batch handed over. After a failure it
// waits a second before it takes the next.
void StoreThread(Office& o) {
    std::unique_lock<std::mutex> lock(o.job.mutex);
    auto lastPoll = std::chrono::steady_clock::now() - kAckPoll;
    bool trendsDue = true;  // what a former run left
    std::string toldTrends;
    for (;;) {
        o.job.changed.wait_for(lock, kAckPoll, [&] { return o.job.quit || (o.job.busy && !o.job.done); });
        if (std::chrono::steady_clock::now() - lastPoll >= kAckPoll && !o.job.quit) {
            lastPoll = std::chrono::steady_clock::now();
            lock.unlock();
            std::vector<PendingAck> acks;
            std::vector<PendingAlarm> alarms;
            std::string why;
            const bool read = o.db.PendingAlarms(&alarms, &why) && o.db.PendingAcks(&acks, &why);
            lock.lock();
            if (read) {
                o.job.acks.swap(acks);
                o.job.alarms.swap(alarms);
                o.job.acksRead = true;
            }
        }
        if (o.job.busy && !o.job.done) {
            lock.unlock();
            std::size_t inserted = 0;
            std::string why;
            const bool ok = o.db.Store(o.job.trains, o.job.rejected, o.job.events, o.job.statuses, &inserted, &why);
            if (!ok) sleep(1);
            lock.lock();
            o.job.ok = ok;
            o.job.inserted = inserted;
            o.job.why = why;
            o.job.done = true;
            o.job.changed.notify_all();
            if (ok && inserted > 0) trendsDue = true;
        } else if (o.job.quit) {
            return;
        }
        // The trend alarms of the committed trains, raised while the main
        // thread confirms them; what a failure (or a kill) leaves in
        // trend_due is taken again, at the latest within a second.
        if (trendsDue && o.trends && !o.job.quit) {
            lock.unlock();
            std::string trendWhy;
            bool more = false;
            const int added = o.trends->RaiseDue(&more, &trendWhy);
            if (added < 0 && trendWhy != toldTrends)
                std::fprintf(stderr, "kestova-office: trend alarms not raised yet (trying again): %s\n",
                             PrintableLine(trendWhy, 200).c_str());
            toldTrends = added < 0 ? trendWhy : std::string();
            trendsDue = added < 0 || more;
            lock.lock();
        }
    }
}

// Confirms a stored batch to its points (only once committed); a batch the
// database did not take is not confirmed: the points send it again.
void FinishBatch(Office& o) {
    StoreJob& j = o.job;
    if (!j.ok) {
        std::fprintf(stderr, "kestova-office: could not store %zu trains, %zu events and %zu refused messages, not confirmed: %s\n",
                     j.trains.size(), j.events.size(), j.rejected.size(), j.why.c_str());
    } else {
        o.stored += j.inserted;
        o.duplicates += j.trains.size() - j.inserted;
        std::map<std::string, std::vector<std::string>> keys;
        for (const TrainMessage& t : j.trains) keys[t.point].push_back(t.Key());
        for (const EventMessage& e : j.events) keys[e.point].push_back(e.Key());
        for (const RejectedMessage& r : j.rejected)
            if (!r.key.empty()) keys[r.point].push_back(r.key);
        for (auto& [point, list] : keys) {
            const std::string topic = OfficeTopic(point, "confirm");
            for (std::size_t at = 0; at < list.size(); at += kConfirmKeysPerMessage) {
                const std::vector<std::string> part(list.begin() + static_cast<long>(at),
                                                    list.begin() + static_cast<long>(std::min(list.size(), at + kConfirmKeysPerMessage)));
                const std::string payload = EncodeConfirm(part);
                mosquitto_publish(o.mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                  payload.data(), 1, false);
            }
        }
    }
    j.trains.clear();
    j.rejected.clear();
    j.events.clear();
    j.statuses.clear();
    j.busy = j.done = false;
}

// Sends each point the office's alarms and acknowledgements it does not
// hold yet (an alarm before any acknowledgement of it): at once, again every
// kAckResend while it does not, and all at a reconnect.
void SendAcks(Office& o) {
    const auto now = std::chrono::steady_clock::now();
    std::map<std::string, std::chrono::steady_clock::time_point> alarmsSent;
    for (const PendingAlarm& a : o.job.alarms) {
        const auto was = o.alarmsSent.find(a.alarm.alarmKey);
        if (!o.resendAcks && was != o.alarmsSent.end() && now - was->second < kAckResend) {
            alarmsSent.insert(*was);
            continue;
        }
        const std::string topic = OfficeTopic(a.point, "alarm"), payload = EncodeOfficeAlarm(a.alarm);
        mosquitto_publish(o.mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
        alarmsSent[a.alarm.alarmKey] = now;
    }
    o.alarmsSent.swap(alarmsSent);  // those at their point are forgotten
    std::map<std::string, std::vector<OfficeAck>> byPoint;
    std::map<std::string, std::chrono::steady_clock::time_point> sent;
    for (const PendingAck& a : o.job.acks) {
        const auto was = o.acksSent.find(a.ack.alarmKey);
        if (!o.resendAcks && was != o.acksSent.end() && now - was->second < kAckResend) {
            sent.insert(*was);
            continue;
        }
        byPoint[a.point].push_back(a.ack);
        sent[a.ack.alarmKey] = now;
    }
    o.acksSent.swap(sent);  // those at their point are forgotten
    o.resendAcks = false;
    for (const auto& [point, acks] : byPoint) {
        const std::string topic = OfficeTopic(point, "ack");
        for (std::size_t at = 0; at < acks.size(); at += 100) {
            const std::vector<OfficeAck> part(acks.begin() + static_cast<long>(at),
                                              acks.begin() + static_cast<long>(std::min(acks.size(), at + 100)));
            const std::string payload = EncodeOfficeAcks(part);
            mosquitto_publish(o.mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                              false);
        }
    }
}

// Confirms the batch stored meanwhile, and hands over what came in since.
// With `wait`, first waits for the batch in hand to be stored. True while a
// batch is being stored.
bool Pump(Office& o, bool wait) {
    std::unique_lock<std::mutex> lock(o.job.mutex);
    if (wait) o.job.changed.wait(lock, [&] { return !o.job.busy || o.job.done; });
    if (o.job.busy && o.job.done) FinishBatch(o);
    if (o.job.acksRead && o.connected) {
        o.job.acksRead = false;
        SendAcks(o);
    }
    if (!o.job.busy && (!o.pending.empty() || !o.pendingRejected.empty() || !o.pendingEvents.empty() ||
                        !o.pendingStatuses.empty())) {
        o.job.trains.swap(o.pending);
        o.job.rejected.swap(o.pendingRejected);
        o.job.events.swap(o.pendingEvents);
        o.job.statuses.swap(o.pendingStatuses);
        o.job.busy = true;
        o.job.changed.notify_all();
    }
    return o.job.busy;
}

// --check: the database and its schema, the broker; one line each.
int Check(Office& o, const std::string& conninfo, const BrokerSettings& broker) {
    bool good = true;
    std::string why;
    if (!o.db.Open(conninfo, &why)) {
        std::printf("database: %s\n", why.c_str());
        good = false;
    } else {
        const int version = o.db.Version(&why);
        if (version < 0) std::printf("database: %s\n", why.c_str());
        else if (version != OfficeSchemaVersion())
            std::printf("database: schema version %d, this program's is %d (the office migrates at start)\n",
                        version, OfficeSchemaVersion());
        else std::printf("database: reachable, schema version %d\n", version);
        good = good && version == OfficeSchemaVersion();
    }
    int rc = mosquitto_connect(o.mosq, broker.host.c_str(), broker.Port(), 10);
    for (int i = 0; rc == MOSQ_ERR_SUCCESS && i < 50 && !o.connected && !o.connectRefused; ++i)
        rc = mosquitto_loop(o.mosq, 100, 1);
    if (o.connected) std::printf("broker: %s reachable\n", broker.Where().c_str());
    else {
        std::printf("broker: %s %s\n", broker.Where().c_str(),
                    rc != MOSQ_ERR_SUCCESS ? BrokerError(rc).c_str() : "did not accept the connection");
        good = false;
    }
    return good ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const ParsedCommandLine args = ParseCommandLine(
        std::vector<std::string>(argv + 1, argv + argc),
        {{"--help"}, {"--version"}, {"--check"}, {"--host", true}, {"--port", true}, {"--cafile", true},
         {"--certfile", true}, {"--keyfile", true}, {"--client-id", true}, {"--database", true}, {"--web", true},
         {"--web-cert", true}, {"--web-key", true}, {"--add-operator", true}, {"--role", true},
         {"--settings", true}});
    long long port = 0;
    std::string error = args.error;
    if (error.empty() && !args.operands.empty()) error = "unexpected argument " + args.operands.front();
    if (error.empty() && args.Has("--port") && !ParseIntInRange(args.Value("--port"), 1, 65535, &port))
        error = "--port takes a number from 1 to 65535";
    WebSettings web;
    if (error.empty() && args.Has("--web") && !ParseWebAddress(args.Value("--web"), &web.address, &web.port))
        error = "--web takes ADDRESS:PORT";
    if (error.empty() && args.Has("--web") && (!args.Has("--web-cert") || !args.Has("--web-key")))
        error = "--web needs --web-cert and --web-key (the page is served over HTTPS only)";
    if (error.empty() && args.Has("--add-operator") != args.Has("--role"))
        error = "--add-operator and --role go together";
    if (!error.empty()) {
        std::fprintf(stderr, "kestova-office: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    if (args.Has("--help")) {
        std::fputs(kUsage, stdout);
        std::fputs("\nStores the trains the collection points publish in PostgreSQL and confirms\n"
                   "them (docs/office.md). --database takes a libpq connection string (else\n"
                   "KESTOVA_OFFICE_DATABASE, else libpq's PG... variables). --check tests the\n"
                   "database, its schema and the broker and exits 0 when all is well. --settings\n"
                   "names a settings file whose [Alarms] section sets the trend rule (else its\n"
                   "defaults). SIGINT or SIGTERM stop it.\n"
                   "--web serves the office's page over HTTPS on ADDRESS:PORT. --add-operator\n"
                   "stores an operator of the page, the password read from standard input.\n", stdout);
        return 0;
    }
    if (args.Has("--version")) {
        std::printf("kestova-office %s\n", KestovaVersion());
        return 0;
    }
    BrokerSettings broker;
    if (args.Has("--host")) broker.host = args.Value("--host");
    broker.port = static_cast<int>(port);
    broker.caFile = args.Value("--cafile");
    broker.certFile = args.Value("--certfile");
    broker.keyFile = args.Value("--keyfile");
    const char* env = std::getenv("KESTOVA_OFFICE_DATABASE");
    const std::string conninfo = args.Has("--database") ? args.Value("--database") : (env ? env : "");
    if (args.Has("--add-operator")) return AddOperatorFromStdin(conninfo, args.Value("--add-operator"), args.Value("--role"));
    const std::string clientId = args.Has("--client-id") ? args.Value("--client-id") : "kestova-office";

    Office o;
    const volatile std::sig_atomic_t* stop = InstallStopSignals();
    mosquitto_lib_init();
    // A persistent session: what arrives while the office is down waits at the broker.
    o.mosq = mosquitto_new(clientId.c_str(), false, &o);
    std::string why;
    if (!o.mosq || !ApplyBrokerTls(o.mosq, broker, &why)) {
        std::fprintf(stderr, "kestova-office: %s\n", o.mosq ? why.c_str() : "out of memory");
        return 1;
    }
    mosquitto_connect_callback_set(o.mosq, OnConnect);
    mosquitto_disconnect_callback_set(o.mosq, OnDisconnect);
    mosquitto_message_callback_set(o.mosq, OnMessage);
    mosquitto_max_inflight_messages_set(o.mosq, 1000);
    if (args.Has("--check")) return Check(o, conninfo, broker);

    if (!o.db.Open(conninfo, &why) || !o.db.Migrate(&why)) {
        std::fprintf(stderr, "kestova-office: %s\n", why.c_str());
        return 1;
    }
    std::vector<std::string> warnings;
    const AlarmRules rules = args.Has("--settings") ? LoadAlarmRules(args.Value("--settings"), &warnings) : AlarmRules{};
    for (const std::string& w : warnings) std::fprintf(stderr, "kestova-office: %s\n", w.c_str());
    o.trends = std::make_unique<OfficeTrends>(rules);
    o.db.SetTrendsDue(o.trends->On());
    if (!o.trends->Open(conninfo, &why)) {
        std::fprintf(stderr, "kestova-office: %s\n", why.c_str());
        return 1;
    }
    std::printf("Database at schema version %d; taking trains from %s\n", OfficeSchemaVersion(),
                broker.Where().c_str());
    // The page runs on threads and database connections of its own.
    std::unique_ptr<WebServer> webServer;
    if (args.Has("--web")) {
        web.certFile = args.Value("--web-cert");
        web.keyFile = args.Value("--web-key");
        web.conninfo = conninfo;
        webServer = std::make_unique<WebServer>(web);
        if (!webServer->Start(&why)) {
            std::fprintf(stderr, "kestova-office: %s\n", why.c_str());
            return 1;
        }
        std::printf("Web page at https://%s:%d/\n", web.address.c_str(), webServer->port());
    }
    std::fflush(stdout);
    std::thread storer(StoreThread, std::ref(o));
    bool everConnected = false, told = false;
    double backoff = 1;
    while (!*stop) {
        if (!o.connected) {
            const int rc = ConnectWithin(o.mosq, broker, everConnected, 30, kBrokerConnectSeconds);
            if (rc != MOSQ_ERR_SUCCESS) {
                if (!told)
                    std::fprintf(stderr, "kestova-office: cannot reach the broker %s: %s (trying again)\n",
                                 broker.Where().c_str(), BrokerError(rc).c_str());
                told = true;
                usleep(static_cast<useconds_t>(backoff * 1e6));
                backoff = std::min(backoff * 2, 10.0);
                continue;
            }
            everConnected = true;
            told = false;
            backoff = 1;
            o.connected = true;  // until the loop says otherwise
        }
        // While the database thread stores a batch, the next one comes in
        // (at most kBatch: beyond it the broker keeps the rest).
        int rc = MOSQ_ERR_SUCCESS;
        if (o.pending.size() < kBatch) {
            rc = mosquitto_loop(o.mosq, Pump(o, false) ? 5 : 50, 1);
            for (std::size_t had = 0; rc == MOSQ_ERR_SUCCESS && o.pending.size() < kBatch &&
                                      o.pending.size() + o.pendingRejected.size() + o.pendingEvents.size() > had;) {
                had = o.pending.size() + o.pendingRejected.size() + o.pendingEvents.size();
                rc = mosquitto_loop(o.mosq, 0, 1);
            }
            Pump(o, false);
        } else {
            Pump(o, true);
            mosquitto_loop_misc(o.mosq);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "kestova-office: lost the broker: %s\n", BrokerError(rc).c_str());
            o.connected = false;
            usleep(200 * 1000);
        }
    }
    while (Pump(o, true)) {}
    {
        std::lock_guard<std::mutex> lock(o.job.mutex);
        o.job.quit = true;
        o.job.changed.notify_all();
    }
    storer.join();
    if (webServer) webServer->Stop();
    mosquitto_loop(o.mosq, 100, 1);
    mosquitto_disconnect(o.mosq);
    mosquitto_destroy(o.mosq);
    mosquitto_lib_cleanup();
    std::printf("Stopped: %llu trains stored, %llu duplicates, %llu messages rejected\n", o.stored,
                o.duplicates, o.rejected);
    return 0;
}
