// kestova-uplink: sends a collection point's trains from its train journal
// and its events from its event journal to the control office through the
// MQTT broker, and moves its cursor only when the office confirms that it
// committed them (see UplinkQueue.h and docs/office.md); applies the
// office's acknowledgements to the point's history. It never touches the
// radio: the collector writes the journals, this program reads them (and
// appends only the acknowledgements it applies).
#include <mosquitto.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "common/CommandLine.h"
#include "common/Version.h"
#include "office/Broker.h"
#include "office/EventPayload.h"
#include "office/Payload.h"
#include "office/UplinkQueue.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "records/EventJournal.h"
#include "records/TrainHistory.h"

namespace {

constexpr char kOfficeSection[] = "Office";
constexpr int kExitUsage = 2;
constexpr double kBacklogSeconds = 2;
constexpr const char* kUsage = "Usage: kestova-uplink [--data-folder DIR] [--help] [--version]\n";

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct UplinkSettings {
    BrokerSettings broker;
    std::string point;
    std::size_t window = 64;
    double resendSeconds = 30;
};

struct Uplink {
    UplinkSettings settings;
    UplinkQueue* queue = nullptr;
    mosquitto* mosq = nullptr;
    bool connected = false;
    bool resendAll = false;
    bool confirmedSome = false;
    bool backlogDue = true;
    std::string folder;
    std::string confirmTopic, ackTopic, alarmTopic, statusTopic, backlogTopic;
    std::set<std::string> toldAcks;  // acknowledgements told about (once a run)
    std::set<std::string> toldAlarms;  // the office's alarms told about or journaled again (once a run)
};

void Publish(Uplink& u, const std::vector<UplinkQueue::Outgoing>& messages, double now) {
    for (const auto& m : messages) {
        // A site's health is retained: whoever subscribes later learns it.
        const std::string topic = OfficeTopic(u.settings.point, m.leaf.c_str());
        const int rc = mosquitto_publish(u.mosq, nullptr, topic.c_str(), static_cast<int>(m.payload.size()),
                                         m.payload.data(), 1, m.leaf.compare(0, 5, "site/") == 0);
        if (rc != MOSQ_ERR_SUCCESS) return;  // sent again after the reconnect
        u.queue->MarkSent(m.key, now);
    }
}

void OnConnect(mosquitto* mosq, void* data, int rc) {
    auto& u = *static_cast<Uplink*>(data);
    if (rc != 0) {
        std::fprintf(stderr, "kestova-uplink: the broker %s refused the connection: %s\n",
                     u.settings.broker.Where().c_str(), BrokerRefusal(rc).c_str());
        return;
    }
    u.connected = true;
    u.resendAll = true;
    mosquitto_subscribe(mosq, nullptr, u.confirmTopic.c_str(), 1);
    mosquitto_subscribe(mosq, nullptr, u.alarmTopic.c_str(), 1);
    mosquitto_subscribe(mosq, nullptr, u.ackTopic.c_str(), 1);
    u.backlogDue = true;
    mosquitto_publish(mosq, nullptr, u.statusTopic.c_str(), 6, "online", 1, true);
    std::printf("Connected to the office broker %s as point %s\n", u.settings.broker.Where().c_str(),
                u.settings.point.c_str());
    std::fflush(stdout);
}

void OnDisconnect(mosquitto*, void* data, int) { static_cast<Uplink*>(data)->connected = false; }

// Acknowledgements made at the office: each goes into the point's history
// as an operator's here would (the first one of an alarm is kept), and the
// history journals it, so that the office learns that the point holds it.
void ApplyOfficeAcks(Uplink& u, const std::vector<OfficeAck>& acks) {
    TrainHistory::OpenStatus status;
    std::string why;
    auto history = TrainHistory::OpenForUpdate(HistoryPath(u.folder), &status, &why);
    if (!history) {
        std::fprintf(stderr, "kestova-uplink: cannot apply the office's acknowledgements: %s: %s\n",
                     HistoryPath(u.folder).c_str(), why.c_str());
        return;
    }
    for (const OfficeAck& a : acks) {
        long date = 0;
        std::uint64_t offset = 0;
        std::string kind, side;
        int axle = 0, code = 0;
        const std::int64_t id = ParseAlarmKey(a.alarmKey, u.settings.point, &date, &offset, &kind, &axle, &side, &code)
                                    ? history->FindAlarm(date, offset, kind, axle, side, code)
                                    : 0;
        if (id == 0) {
            // Perhaps not indexed yet: the office sends it again.
            if (u.toldAcks.insert(a.alarmKey).second)
                std::fprintf(stderr, "kestova-uplink: the office acknowledged %s, an alarm the history does not hold (yet)\n",
                             PrintableLine(a.alarmKey).c_str());
            continue;
        }
        if (history->AcknowledgeAlarm(id, a.by, a.comment, &why, "office", a.at)) {
            std::printf("Alarm %s acknowledged at the office by %s\n", PrintableLine(a.alarmKey).c_str(),
                        PrintableLine(a.by).c_str());
            continue;
        }
        // Acknowledged here already (or this run's own journal record went
        // missing): the history's acknowledgement is journaled once more, so
        // that the office stops sending it.
        const std::optional<AlarmRow> alarm = history->AlarmById(id);
        if (alarm && alarm->acknowledged && u.toldAcks.insert(a.alarmKey).second) {
            std::string failed;
            if (!AppendEvent(u.folder, alarm->ackEpoch,
                             AckEventJson(*alarm, TrainJournalPlace{date, offset}, alarm->ackBy, alarm->ackComment,
                                          alarm->ackEpoch, "point"),
                             &failed))
                std::fprintf(stderr, "kestova-uplink: %s\n", failed.c_str());
        } else if (!alarm || !alarm->acknowledged) {
            std::fprintf(stderr, "kestova-uplink: could not apply the office's acknowledgement of %s: %s\n",
                         PrintableLine(a.alarmKey).c_str(), why.c_str());
        }
    }
    std::fflush(stdout);
}

// An alarm the office raised (a trend across points) goes to its train in
// the point's history, once, and is journaled as the point's alarm event
// with the same key, so that the office learns that the point holds it.
void ApplyOfficeAlarm(Uplink& u, const EventMessage& a) {
    long date = 0;
    std::uint64_t offset = 0;
    if (!ParseTrainKey(a.trainKey, u.settings.point, &date, &offset)) return;  // checked by the parser
    TrainHistory::OpenStatus status;
    std::string why;
    auto history = TrainHistory::OpenForUpdate(HistoryPath(u.folder), &status, &why);
    if (!history) {
        std::fprintf(stderr, "kestova-uplink: cannot add the office's alarm: %s: %s\n", HistoryPath(u.folder).c_str(),
                     why.c_str());
        return;
    }
    const std::int64_t train = history->TrainAtJournalPlace(date, offset);
    if (train == 0) {
        // Perhaps not indexed yet: the office sends it again.
        if (u.toldAlarms.insert(a.alarmKey).second)
            std::fprintf(stderr, "kestova-uplink: the office raised %s, on a train the history does not hold (yet)\n",
                         PrintableLine(a.alarmKey).c_str());
        return;
    }
    AlarmFields f;
    f.kind = a.kind;
    f.axle = a.axle;
    f.car = a.car;
    f.axleInCar = a.axleInCar;
    f.side = a.side;
    f.reading = a.reading;
    f.reference = a.reference;
    f.threshold = a.threshold;
    f.code = a.code;
    f.text = a.text;
    std::vector<AlarmRow> added;
    if (!history->AddAlarms(train, {f}, &added, &why)) {
        std::fprintf(stderr, "kestova-uplink: could not add the office's alarm %s: %s\n",
                     PrintableLine(a.alarmKey).c_str(), why.c_str());
        return;
    }
    // Held already (a second delivery, or this run's journal record went
    // missing): journaled once more a run, so that the office stops sending it.
    if (added.empty() && !u.toldAlarms.insert(a.alarmKey).second) return;
    if (!added.empty())
        std::printf("Alarm %s raised at the office added\n", PrintableLine(a.alarmKey).c_str());
    std::string failed;
    if (!AppendEvent(u.folder, static_cast<std::int64_t>(std::time(nullptr)),
                     AlarmEventJson(f, TrainJournalPlace{date, offset}, a.radio, a.site, a.train, a.trendJson), &failed))
        std::fprintf(stderr, "kestova-uplink: %s\n", failed.c_str());
    std::fflush(stdout);
}

void OnMessage(mosquitto*, void* data, const mosquitto_message* msg) {
    auto& u = *static_cast<Uplink*>(data);
    std::vector<std::string> keys;
    std::string why;
    const std::string payload(static_cast<const char*>(msg->payload), static_cast<std::size_t>(msg->payloadlen));
    if (msg->topic && u.ackTopic == msg->topic) {
        std::vector<OfficeAck> acks;
        if (!ParseOfficeAcks(payload, &acks, &why))
            std::fprintf(stderr, "kestova-uplink: ignored acknowledgements from the office: %s\n", why.c_str());
        else
            ApplyOfficeAcks(u, acks);
        return;
    }
    if (msg->topic && u.alarmTopic == msg->topic) {
        EventMessage alarm;
        if (!ParseOfficeAlarm(u.settings.point, payload, &alarm, &why)) {
            if (u.toldAlarms.insert("bad:" + why).second)
                std::fprintf(stderr, "kestova-uplink: ignored an alarm from the office: %s\n", PrintableLine(why).c_str());
        } else {
            ApplyOfficeAlarm(u, alarm);
        }
        return;
    }
    if (!ParseConfirm(payload, &keys, &why)) {
        std::fprintf(stderr, "kestova-uplink: ignored a confirmation: %s\n", why.c_str());
        return;
    }
    if (!u.queue->Confirm(keys, &why)) std::fprintf(stderr, "kestova-uplink: %s\n", why.c_str());
    u.confirmedSome = true;
}

// The [Office] section; false with the reason (an exit status in *status).
bool ReadSettings(const std::string& ini, UplinkSettings* s, std::string* why) {
    const auto section = GetProfileSection(ini, kOfficeSection, why);
    if (!why->empty()) return false;
    if (section.empty()) {
        *why = "no [Office] section in " + ini + ": nothing is sent to an office";
        return false;
    }
    for (const auto& [key, value] : section) {
        long long n = 0;
        if (key == "Host") s->broker.host = value;
        else if (key == "Port" && ParseIntInRange(value, 1, 65535, &n)) s->broker.port = static_cast<int>(n);
        else if (key == "CaFile") s->broker.caFile = value;
        else if (key == "CertFile") s->broker.certFile = value;
        else if (key == "KeyFile") s->broker.keyFile = value;
        else if (key == "Point") s->point = value;
        else if (key == "Window" && ParseIntInRange(value, 1, 1000, &n)) s->window = static_cast<std::size_t>(n);
        else if (key == "ResendSeconds" && ParseIntInRange(value, 1, 3600, &n)) s->resendSeconds = static_cast<double>(n);
        else {
            *why = "[Office] " + key + "=" + value + " in " + ini + " is not a setting of this program";
            return false;
        }
    }
    if (!ValidPointName(s->point)) {
        *why = "[Office] Point in " + ini + " must be 1 to 32 of A-Z a-z 0-9 . _ -";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const ParsedCommandLine args = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                                                    {{"--help"}, {"--version"}, {"--data-folder", true}});
    if (!args.error.empty() || !args.operands.empty()) {
        std::fprintf(stderr, "kestova-uplink: %s\n%s",
                     args.error.empty() ? ("unexpected argument " + args.operands.front()).c_str()
                                        : args.error.c_str(), kUsage);
        return kExitUsage;
    }
    if (args.Has("--help")) {
        std::fputs(kUsage, stdout);
        std::fputs("\nSends the trains of the data folder's train journal and the events of its\n"
                   "event journal to the control office, and applies the office's alarm\n"
                   "acknowledgements to its history (the [Office] section of K7_Dialups.ini;\n"
                   "docs/office.md). SIGINT or SIGTERM\n"
                   "stop it. Exit status: 0 stopped, 1 failed, 2 no [Office] section or a bad\n"
                   "command line.\n", stdout);
        return 0;
    }
    if (args.Has("--version")) {
        std::printf("kestova-uplink %s\n", KestovaVersion());
        return 0;
    }
    DataFolderChoice choice;
    choice.commandLineFolder = args.Value("--data-folder");
    std::string origin;
    const std::string folder = ProgramDataFolder(choice, &origin);
    Uplink u;
    std::string why;
    if (!ReadSettings(folder + SETTINGS_FILE_NAME, &u.settings, &why)) {
        std::fprintf(stderr, "kestova-uplink: %s\n", why.c_str());
        return kExitUsage;
    }
    UplinkQueue queue(folder, u.settings.point, u.settings.window);
    u.folder = folder;
    if (!queue.Load(&why)) {
        std::fprintf(stderr, "kestova-uplink: %s\n", why.c_str());
        return 1;
    }
    u.queue = &queue;
    u.confirmTopic = OfficeTopic(u.settings.point, "confirm");
    u.ackTopic = OfficeTopic(u.settings.point, "ack");
    u.alarmTopic = OfficeTopic(u.settings.point, "alarm");
    u.backlogTopic = OfficeTopic(u.settings.point, "backlog");
    u.statusTopic = OfficeTopic(u.settings.point, "status");

    const volatile std::sig_atomic_t* stop = InstallStopSignals();
    mosquitto_lib_init();
    const std::string clientId = "kestova-uplink-" + u.settings.point;
    u.mosq = mosquitto_new(clientId.c_str(), true, &u);
    if (!u.mosq || !ApplyBrokerTls(u.mosq, u.settings.broker, &why)) {
        std::fprintf(stderr, "kestova-uplink: %s\n", u.mosq ? why.c_str() : "out of memory");
        return 1;
    }
    mosquitto_will_set(u.mosq, u.statusTopic.c_str(), 7, "offline", 1, true);
    // Both windows in flight at once: an event never waits in the client
    // behind trains for the broker's acknowledgements.
    mosquitto_max_inflight_messages_set(u.mosq, static_cast<unsigned>(queue.Windows()));
    mosquitto_connect_callback_set(u.mosq, OnConnect);
    mosquitto_disconnect_callback_set(u.mosq, OnDisconnect);
    mosquitto_message_callback_set(u.mosq, OnMessage);
    std::printf("Sending the trains of %s to %s as point %s\n", folder.c_str(),
                u.settings.broker.Where().c_str(), u.settings.point.c_str());
    std::fflush(stdout);

    bool everConnected = false, toldUnreachable = false;
    bool linkUp = false;  // the socket is open (the broker's answer may still be on its way)
    double nextTry = 0, backoff = 1, lastScan = 0, lastBacklog = 0;
    std::string backlogSent;
    while (!*stop) {
        const double now = Now();
        if (!linkUp && now >= nextTry) {
            const int rc = ConnectWithin(u.mosq, u.settings.broker, everConnected, 30, kBrokerConnectSeconds);
            if (rc == MOSQ_ERR_SUCCESS) {
                everConnected = true;
                linkUp = true;
                toldUnreachable = false;
                backoff = 1;
            } else {
                if (!toldUnreachable)
                    std::fprintf(stderr, "kestova-uplink: cannot reach the broker %s: %s (trying again)\n",
                                 u.settings.broker.Where().c_str(), BrokerError(rc).c_str());
                toldUnreachable = true;
                nextTry = now + backoff;
                backoff = std::min(backoff * 2, 30.0);
            }
        }
        const int rc = mosquitto_loop(u.mosq, 100, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            if (u.connected) std::fprintf(stderr, "kestova-uplink: lost the broker: %s\n", BrokerError(rc).c_str());
            u.connected = false;
            linkUp = false;
            if (nextTry <= Now()) nextTry = Now() + backoff;
            usleep(100 * 1000);
            continue;
        }
        if (!u.connected) continue;
        const double t = Now();
        if (u.resendAll) {
            u.resendAll = false;
            Publish(u, queue.TakeResends(t + 1, t), t);
        }
        if (queue.Room() && (u.confirmedSome || t - lastScan >= 0.25)) {
            u.confirmedSome = false;
            lastScan = t;
            Publish(u, queue.TakeNew(), t);
        }
        Publish(u, queue.TakeResends(t - u.settings.resendSeconds, t), t);
        // What is still to send, retained, when it changed (every few seconds).
        if (u.backlogDue || t - lastBacklog >= kBacklogSeconds) {
            lastBacklog = t;
            const auto [trains, events] = queue.Backlog();
            const std::string payload = EncodeBacklog(trains, events);
            if (u.backlogDue || payload != backlogSent) {
                if (mosquitto_publish(u.mosq, nullptr, u.backlogTopic.c_str(), static_cast<int>(payload.size()),
                                      payload.data(), 1, true) == MOSQ_ERR_SUCCESS) {
                    backlogSent = payload;
                    u.backlogDue = false;
                }
            }
        }
    }
    if (u.connected) {
        mosquitto_publish(u.mosq, nullptr, u.statusTopic.c_str(), 7, "offline", 1, true);
        mosquitto_loop(u.mosq, 100, 1);
        mosquitto_disconnect(u.mosq);
    }
    mosquitto_destroy(u.mosq);
    mosquitto_lib_cleanup();
    std::printf("Stopped; %zu trains confirmed by the office in this run, %zu unconfirmed\n",
                queue.ConfirmedTotal(), queue.InFlight());
    return 0;
}
