// The control office's figures (scripts/bench-office): a private mosquitto
// and PostgreSQL (synced, as in production), kestova-office and
// kestova-uplink as built beside this program.
//
//   ingest   trains of 200 axles published by several points at once, through
//            the office into PostgreSQL, against a COPY of the same rows into
//            a table of the same shape in the same cluster
//   latency  a record's append to a point's journal to its commit at the
//            office (committed_at), p50/p99, on an idle system and while the
//            office works through a backlog of other points' trains; the
//            same for an alarm appended to the point's event journal, and
//            for alarms while the point's own uplink works through a backlog
//            of its trains (the alarms go first)
//
// Prints one "figure<TAB>value" line per figure.
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <map>

#include "office/OfficeServers.h"
#include "TrainGenerator.h"
#include "office/Payload.h"
#include "records/EventJournal.h"
#include "records/Journal.h"
#include "records/TrainHistory.h"

using namespace officetest;

namespace {

double WallNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

JournalTrain MakeTrain(int n, int axles) {
    sitesim::SimRandom rng(static_cast<std::uint64_t>(n) + 1);
    const sitesim::SiteIdentity site = sitesim::MakeSite(static_cast<std::uint8_t>(10 + n % 5), 1,
                                                         sitesim::UnitKind::Halvor, rng);
    sitesim::TrainDesign design;
    design.axles = axles;
    design.trainNumber = static_cast<std::uint16_t>(n);
    JournalTrain t;
    t.receivedAt = 1767225600 + n;
    t.radioId = site.radioId;
    t.trackOrSequence = 1;
    t.stream = sitesim::GenerateTrain(site, design, rng).stream;
    return t;
}

PGconn* Connect(const std::string& conninfo) {
    PGconn* c = PQconnectdb(conninfo.c_str());
    if (PQstatus(c) != CONNECTION_OK) {
        std::fprintf(stderr, "office-bench: %s", PQerrorMessage(c));
        std::exit(1);
    }
    return c;
}

long long Number(PGconn* c, const std::string& sql) {
    PGresult* r = PQexec(c, sql.c_str());
    const long long v = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? std::atoll(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    return v;
}

// Publishes as fast as the broker takes them (QoS 1, as the uplink does).
class Publisher {
public:
    explicit Publisher(int port) {
        mosq_ = mosquitto_new(nullptr, true, this);
        mosquitto_max_inflight_messages_set(mosq_, 0);
        mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int) { ++static_cast<Publisher*>(self)->acked_; });
        if (mosquitto_connect(mosq_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "office-bench: cannot reach the broker\n");
            std::exit(1);
        }
    }
    ~Publisher() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    void Publish(const TrainMessage& m) {
        const std::string payload = EncodeTrainMessage(m);
        const std::string topic = OfficeTopic(m.point, "train");
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
        ++sent_;
    }

    // Until the broker has acknowledged every message sent.
    bool WaitAcked() { return WaitFor([&] { return acked_ >= sent_; }, 120); }

private:
    mosquitto* mosq_ = nullptr;
    std::atomic<long> acked_{0};
    long sent_ = 0;
};

// `count` messages of 200-axle trains from `points` points, keys from `first`.
std::vector<TrainMessage> Messages(int count, int points, const std::string& prefix, int first) {
    std::vector<TrainMessage> out;
    for (int i = 0; i < count; ++i) {
        JournalTrain t = MakeTrain(first + i, 200);
        t.offset = TRAIN_JOURNAL_HEADER_SIZE + static_cast<std::uint64_t>(first + i) * 4096;
        out.push_back(MessageOfJournalTrain(prefix + std::to_string(i % points), 20260101, t));
    }
    return out;
}

std::string Utc(std::int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    tm u{};
    gmtime_r(&t, &u);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S+00", &u);
    return text;
}

std::string CopyText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '\t' || c == '\n') out += '\\';
        out += c;
    }
    return out;
}

// COPY of the same rows into a table like train (its indexes and all).
double CopySeconds(PGconn* c, const std::vector<TrainMessage>& messages) {
    PQclear(PQexec(c, "CREATE TABLE copy_train (LIKE train INCLUDING ALL)"));
    const double start = WallNow();
    PGresult* r = PQexec(c, "COPY copy_train (record_key, point_id, journal_date, journal_offset, received_at,"
                            " radio_id, ack_byte, delivery, block_count, stream, site_number, train_number,"
                            " axle_count, car_count, speed, track, direction, first_stamp) FROM STDIN");
    PQclear(r);
    static const char hex[] = "0123456789abcdef";
    std::string row;
    for (const TrainMessage& m : messages) {
        const TrainSummary& s = m.summary;
        row = CopyText(m.Key()) + "\t1\t" + std::to_string(m.journalDate) + "\t" + std::to_string(m.offset) + "\t" +
              Utc(m.receivedAt) + "\t" + std::to_string(m.radioId) + "\t" + std::to_string(m.ackByte) +
              "\t" + std::to_string(m.delivery) + "\t" + std::to_string(m.blockCount) + "\t\\\\x";
        for (std::uint8_t b : m.stream) {
            row += hex[b >> 4];
            row += hex[b & 15];
        }
        for (int v : {s.site, s.train, s.axles, s.cars, s.speed, s.track}) row += "\t" + std::to_string(v);
        row += "\t" + (s.direction.empty() ? std::string("\\N") : CopyText(s.direction));
        row += "\t" + (s.firstStamp.empty() ? std::string("\\N") : s.firstStamp);
        row += "\n";
        PQputCopyData(c, row.data(), static_cast<int>(row.size()));
    }
    PQputCopyEnd(c, nullptr);
    r = PQgetResult(c);
    if (PQresultStatus(r) != PGRES_COMMAND_OK) {
        std::fprintf(stderr, "office-bench: COPY: %s", PQerrorMessage(c));
        std::exit(1);
    }
    PQclear(r);
    while ((r = PQgetResult(c))) PQclear(r);
    return WallNow() - start;
}

struct Live {
    std::string data, journal;
    pid_t uplink = -1;
    std::map<std::string, double> appended;  // key -> wall time of the append
    int n = 0;

    // Appends one train (flushed, as the collector does) and notes when.
    void Append(int axles) {
        JournalTrain t = MakeTrain(100000 + n++, axles);
        std::string bytes;
        if (!std::filesystem::exists(journal)) bytes = TrainJournalHeader();
        t.offset = std::filesystem::exists(journal) ? std::filesystem::file_size(journal) : TRAIN_JOURNAL_HEADER_SIZE;
        bytes += EncodeJournalRecord(t);
        const int fd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::exit(1);
        ::fdatasync(fd);
        ::close(fd);
        appended[TrainKey("live", 20260101, t.offset)] = WallNow();
        lastOffset = t.offset;
    }
    // Appends an alarm of the last train to the event journal (as the
    // collector's history recorder does) and notes when.
    void AppendAlarm() {
        AlarmFields a;
        a.kind = "hot-box";
        a.axle = ++alarms;
        a.side = "left";
        a.reading = 170;
        a.threshold = 120;
        a.text = "hot-box axle " + std::to_string(a.axle) + " left: reading 170 above 120";
        const double now = WallNow();
        if (!AppendEvent(data, static_cast<std::int64_t>(now), AlarmEventJson(a, {20260101, lastOffset}, 12, 512, 1),
                         nullptr))
            std::exit(1);
        alarmAppended[TrainKey("live", 20260101, lastOffset) + "/hot-box/" + std::to_string(a.axle) + "/left/0"] = now;
    }
    std::uint64_t lastOffset = TRAIN_JOURNAL_HEADER_SIZE;
    int alarms = 0;
    std::map<std::string, double> alarmAppended;  // alarm key -> wall time of the append
};

// p50 and p99 of the latencies of the live keys appended since `from`.
// With `alarms`, of the live alarms.
std::pair<double, double> Percentiles(PGconn* c, const Live& live, double from, std::size_t* count,
                                      bool alarms = false) {
    std::vector<double> l;
    PGresult* r = PQexec(c, alarms ? "SELECT alarm_key, extract(epoch FROM committed_at) FROM alarm WHERE alarm_key LIKE 'live/%'"
                                   : "SELECT record_key, extract(epoch FROM committed_at) FROM train WHERE record_key LIKE 'live/%'");
    const auto& appended = alarms ? live.alarmAppended : live.appended;
    for (int i = 0; i < PQntuples(r); ++i) {
        const auto it = appended.find(PQgetvalue(r, i, 0));
        if (it != appended.end() && it->second >= from) l.push_back(std::atof(PQgetvalue(r, i, 1)) - it->second);
    }
    PQclear(r);
    std::sort(l.begin(), l.end());
    *count = l.size();
    if (l.empty()) return {-1, -1};
    auto at = [&](double q) { return l[std::min(l.size() - 1, static_cast<std::size_t>(q * static_cast<double>(l.size())))]; };
    return {at(0.5), at(0.99)};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "Usage: kestova_office_bench OFFICE UPLINK [INGEST_TRAINS [BACKLOG [IDLE_LIVE]]]\n");
        return 2;
    }
    const std::string officeExe = argv[1], uplinkExe = argv[2];
    const int ingest = argc > 3 ? std::atoi(argv[3]) : 10000;
    const int backlog = argc > 4 ? std::atoi(argv[4]) : 10000;
    const int idleLive = argc > 5 ? std::atoi(argv[5]) : 100;
    mosquitto_lib_init();
    Servers servers(true);
    const std::string failure = servers.Start();
    if (!failure.empty()) {
        std::fprintf(stderr, "office-bench: %s\n", failure.c_str());
        return 1;
    }
    const std::string conninfo = servers.NewDatabase();
    const std::string port = std::to_string(servers.brokerPort());
    const pid_t office = Spawn({officeExe, "--host", "127.0.0.1", "--port", port, "--database", conninfo},
                               servers.dir() + "/office.log");
    PGconn* db = Connect(conninfo);
    Publisher publisher(servers.brokerPort());
    // The office is ready once a first train is stored.
    const std::vector<TrainMessage> warm = Messages(1, 1, "warm", 0);
    if (!WaitFor([&] {
            publisher.Publish(warm[0]);
            return WaitFor([&] { return Number(db, "SELECT count(*) FROM train") > 0; }, 1);
        }, 30)) {
        std::fprintf(stderr, "office-bench: the office stored nothing: %s\n", ReadText(servers.dir() + "/office.log").c_str());
        return 1;
    }

    // Ingest: the trains of 8 points wait at the broker (the office stopped)
    // and the office takes them all; its rate from its wake-up to the last
    // row, sustained over the whole batch.
    const std::vector<TrainMessage> bulk = Messages(ingest, 8, "bulk-", 0);
    const long long before = Number(db, "SELECT count(*) FROM train");
    ::kill(office, SIGSTOP);
    for (const TrainMessage& m : bulk) publisher.Publish(m);
    publisher.WaitAcked();
    double start = WallNow();
    ::kill(office, SIGCONT);
    WaitFor([&] { return Number(db, "SELECT count(*) FROM train") >= before + ingest; }, 600);
    const double officeSeconds = WallNow() - start;
    const double copySeconds = CopySeconds(db, bulk);
    const double officeRate = ingest / officeSeconds, copyRate = ingest / copySeconds;
    std::printf("ingest trains\t%d of 200 axles, %" PRId64 " bytes of stream on average\n", ingest,
                static_cast<std::int64_t>(Number(db, "SELECT avg(length(stream))::bigint FROM copy_train")));
    std::printf("ingest office trains/s\t%.0f (%lld transactions)\n", officeRate,
                Number(db, "SELECT count(DISTINCT committed_at) FROM train WHERE record_key LIKE 'bulk-%'"));
    std::printf("ingest COPY trains/s\t%.0f\n", copyRate);
    std::printf("ingest ratio\t%.2f\n", officeRate / copyRate);
    std::fflush(stdout);

    // Latency: a point's uplink; one train appended every 100 ms.
    Live live;
    live.data = servers.dir() + "/live/";
    live.journal = live.data + "Journal/Trains-20260101.kj";
    std::filesystem::create_directories(live.data + "Journal");
    std::ofstream(live.data + "K7_Dialups.ini") << "[Office]\nPoint=live\nHost=127.0.0.1\nPort=" << port << "\n";
    live.uplink = Spawn({uplinkExe, "--data-folder", live.data}, servers.dir() + "/uplink.log");
    live.Append(200);  // connected and confirmed before the clock starts
    WaitFor([&] { return Number(db, "SELECT count(*) FROM train WHERE record_key LIKE 'live/%'") > 0; }, 30);
    start = WallNow();
    for (int i = 0; i < idleLive; ++i) {
        live.Append(200);
        live.AppendAlarm();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const auto allAlarms = [&] {
        return Number(db, "SELECT count(*) FROM alarm WHERE alarm_key LIKE 'live/%'") >= live.alarms;
    };
    WaitFor([&] { return Number(db, "SELECT count(*) FROM train WHERE record_key LIKE 'live/%'") >= live.n; }, 60);
    WaitFor(allAlarms, 60);
    std::size_t count = 0;
    auto [p50, p99] = Percentiles(db, live, start, &count);
    std::printf("latency idle\t%zu trains, p50 %.3f s, p99 %.3f s\n", count, p50, p99);
    std::tie(p50, p99) = Percentiles(db, live, start, &count, true);
    std::printf("alarm latency idle\t%zu alarms, p50 %.3f s, p99 %.3f s\n", count, p50, p99);
    std::fflush(stdout);

    // The same while a backlog of other points' trains waits at the broker
    // (the office was away): the live point's trains during its drain.
    const std::vector<TrainMessage> queued = Messages(backlog, 8, "backlog-", 0);
    ::kill(office, SIGSTOP);
    for (const TrainMessage& m : queued) publisher.Publish(m);
    const long long target = Number(db, "SELECT count(*) FROM train") + backlog;
    publisher.WaitAcked();
    start = WallNow();
    ::kill(office, SIGCONT);
    double drained = 0;
    while (WallNow() - start < 600) {
        live.Append(200);  // every 20 ms: the drain takes a second or so
        live.AppendAlarm();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (Number(db, "SELECT count(*) FROM train WHERE record_key NOT LIKE 'live/%'") >=
            target - Number(db, "SELECT count(*) FROM train WHERE record_key LIKE 'live/%'")) {
            drained = WallNow() - start;
            break;
        }
    }
    WaitFor([&] { return Number(db, "SELECT count(*) FROM train WHERE record_key LIKE 'live/%'") >= live.n; }, 60);
    std::tie(p50, p99) = Percentiles(db, live, start, &count);
    std::printf("latency backlog\t%d trains queued, drained in %.1f s (%.0f trains/s); %zu live trains meanwhile, p50 %.3f s, p99 %.3f s\n",
                backlog, drained, drained > 0 ? backlog / drained : 0.0, count, p50, p99);
    WaitFor(allAlarms, 60);
    std::tie(p50, p99) = Percentiles(db, live, start, &count, true);
    std::printf("alarm latency backlog\t%zu alarms, p50 %.3f s, p99 %.3f s\n", count, p50, p99);
    std::fflush(stdout);

    // The point's own backlog: its uplink was away while `backlog` trains
    // were journaled; it comes back, and an alarm every 50 ms meanwhile
    // goes ahead of them.
    ::kill(live.uplink, SIGSTOP);
    {
        std::string bytes;
        for (int i = 0; i < backlog; ++i) {
            JournalTrain t = MakeTrain(200000 + i, 200);
            bytes += EncodeJournalRecord(t);
        }
        const int fd = ::open(live.journal.c_str(), O_WRONLY | O_APPEND);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::exit(1);
        ::fdatasync(fd);
        ::close(fd);
    }
    const long long trainsBefore = Number(db, "SELECT count(*) FROM train WHERE record_key LIKE 'live/%'");
    start = WallNow();
    ::kill(live.uplink, SIGCONT);
    drained = 0;
    while (WallNow() - start < 600) {
        live.AppendAlarm();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (Number(db, "SELECT count(*) FROM train WHERE record_key LIKE 'live/%'") >= trainsBefore + backlog) {
            drained = WallNow() - start;
            break;
        }
    }
    WaitFor(allAlarms, 60);
    std::tie(p50, p99) = Percentiles(db, live, start, &count, true);
    std::printf("alarm latency point backlog\t%d trains of the point unsent, sent in %.1f s; %zu alarms meanwhile, p50 %.3f s, p99 %.3f s\n",
                backlog, drained, count, p50, p99);
    PQfinish(db);
    ::kill(live.uplink, SIGTERM);
    Wait(live.uplink);
    ::kill(office, SIGTERM);
    Wait(office);
    servers.Stop();
    return 0;
}
