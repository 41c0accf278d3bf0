// Records through kestova-collector: a Powerup registers the site in
// "Callers.bin" and the listing, the next start loads it again, and an
// All-in-One Data Packet ends as a report file in "Z918E", byte for byte.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <memory>
#include <variant>
#include <string>
#include <thread>
#include <vector>

#include "common/TrainRecord.h"
#include "e2e/PtyHarness.h"
#include "radio/Frame.h"
#include "records/HistoryText.h"
#include "records/TrainHistory.h"
#include "SiteSession.h"

#ifdef KESTOVA_COLLECTOR_EXE

namespace {

using Bytes = std::vector<std::uint8_t>;
using e2e::DataFolder;
using e2e::Millis;
using e2e::Process;
using e2e::Pty;

const Millis kWait(4000);

Bytes Frame(std::uint8_t source, std::uint8_t sequence, std::uint8_t type, const Bytes& payload) {
    return sitesim::SiteFrame(source, 250, sequence, type, payload);
}

void Start(Process& collector, const DataFolder& data, const Pty& pty) {
    data.LinkPort(4, pty.SlaveName());
    data.WriteSettings(4);
    ASSERT_TRUE(collector.Start(KESTOVA_COLLECTOR_EXE, {}, {"KESTOVA_HOME=" + data.Path()}));
    ASSERT_TRUE(collector.WaitForLineContaining("Using Serial Port COMM 4", kWait)) << collector.Stderr();
}

void Stop(Process& collector) {
    ASSERT_TRUE(collector.Signal(SIGTERM));
    EXPECT_EQ(collector.WaitExit(Millis(2500)), std::optional<int>(0)) << collector.Stderr();
}

// The Powerup of site 12: milepost 123.4, site number 500, one track.
Bytes PowerupPayload() {
    sitesim::SiteIdentity site;
    site.radioId = 12;
    site.milepost = 1234;
    site.siteNumber = 500;
    site.segment[0] = 'A';
    site.segment[1] = 'B';
    std::copy_n("HALV001", 7, site.unitText);
    site.byte16 = 16;
    return sitesim::PowerupPayload(site);
}

// An All-in-One payload: 17 bytes not read, then a current-format stream
// with a 112-byte header, three 7-byte axle records (the worked train) and
// two alarm entries, which the report does not print.
Bytes AllInOnePayload() {
    Bytes p(17, 0);
    const Bytes prefix = {2, 112, 15, 0, 3, 0, 0, 2, 0, 0, 0, 0};
    p.insert(p.end(), prefix.begin(), prefix.end());
    using namespace th;
    Bytes h(TRAIN_HEADER_SIZE, 0);
    h[FLAGS] = 0x01;
    WriteLe16(&h[SITE_NUMBER], 1234);
    WriteLe16(&h[TRAIN_NUMBER], 417);
    h[DIRECTION] = 'K';
    WriteLe16(&h[SPEED], 57);
    const Bytes stamps = {24, 5, 6, 7, 8, 9, 24, 5, 6, 7, 10, 11};
    std::copy(stamps.begin(), stamps.end(), h.begin() + FIRST_STAMP);
    h[TRACK] = 3;
    h[AMBIENT] = 42;
    h[SIDE] = 'R';
    WriteLe16(&h[AXLE_COUNT], 3);
    WriteLe16(&h[CAR_COUNT], 2);
    WriteLe16(&h[DEM_WORD_37], 950);
    WriteLe16(&h[ECR], static_cast<std::uint16_t>(-4));
    WriteLe16(&h[HBI_WORDS_61], 3);
    h[SIM_CODES_1] = 48;
    p.insert(p.end(), h.begin(), h.end());
    const Bytes axles = {30, 31, 100, 110, 200, 0x90, 0,  32, 33, 101, 111, 201, 0x10, 0,
                         34, 35, 102, 112, 202, 0x95, 0};
    p.insert(p.end(), axles.begin(), axles.end());
    const Bytes alarms = {2, 0, 0x01, 0x00, 3, 0, 0x00, 0x01};
    p.insert(p.end(), alarms.begin(), alarms.end());
    return p;
}

void ExpectAck(Pty& pty, std::uint8_t site, std::uint8_t track) {
    auto ack = pty.ReceiveFrame(kWait);
    ASSERT_TRUE(ack.has_value());
    ASSERT_EQ(ack->size(), 19u);
    EXPECT_EQ((*ack)[3], site);
    EXPECT_EQ((*ack)[7], PT_ACK);
    EXPECT_EQ((*ack)[9], track);
}

// Just enough JSON to read what kestova-trains prints: a value is a number
// (kept as its text), a string, true/false/null (as text), an array or an
// object. Parse() is false for anything that is not JSON.
struct Json {
    std::string text;  // numbers, strings, literals
    std::vector<Json> items;
    std::map<std::string, Json> fields;
};
class JsonReader {
public:
    explicit JsonReader(const std::string& s) : s_(s) {}
    bool Parse(Json& out) { return Value(out) && (Blank(), pos_ == s_.size()); }

private:
    void Blank() {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    bool Eat(char c) {
        Blank();
        if (pos_ >= s_.size() || s_[pos_] != c) return false;
        ++pos_;
        return true;
    }
    bool String(std::string& out) {
        if (!Eat('"')) return false;
        while (pos_ < s_.size() && s_[pos_] != '"') {
            if (s_[pos_] == '\\') {
                if (++pos_ >= s_.size()) return false;
                if (s_[pos_] == 'u') {
                    if (pos_ + 4 >= s_.size()) return false;
                    out += static_cast<char>(std::stoi(s_.substr(pos_ + 1, 4), nullptr, 16));
                    pos_ += 4;
                } else {
                    out += s_[pos_] == 'n' ? '\n' : s_[pos_];
                }
            } else if (static_cast<unsigned char>(s_[pos_]) < 0x20) {
                return false;
            } else {
                out += s_[pos_];
            }
            ++pos_;
        }
        return Eat('"');
    }
    bool Value(Json& out) {
        Blank();
        if (pos_ >= s_.size()) return false;
        const char c = s_[pos_];
        if (c == '"') return String(out.text);
        if (c == '[') {
            ++pos_;
            if (Eat(']')) return true;
            do {
                out.items.emplace_back();
                if (!Value(out.items.back())) return false;
            } while (Eat(','));
            return Eat(']');
        }
        if (c == '{') {
            ++pos_;
            if (Eat('}')) return true;
            do {
                std::string key;
                if (!String(key) || !Eat(':') || !Value(out.fields[key])) return false;
            } while (Eat(','));
            return Eat('}');
        }
        const std::size_t start = pos_;
        while (pos_ < s_.size() && std::string_view("-+.eE0123456789truefalsn").find(s_[pos_]) != std::string_view::npos) ++pos_;
        out.text = s_.substr(start, pos_ - start);
        return !out.text.empty();
    }
    const std::string& s_;
    std::size_t pos_ = 0;
};

// Waits up to 8 s for a text on the process's stderr.
bool StderrShows(Process& process, const std::string& text) {
    for (int i = 0; i < 80; ++i) {
        if (process.Stderr().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(Millis(100));
    }
    return false;
}

// Runs kestova-trains with the arguments; its stdout and exit status.
std::pair<std::string, int> RunTrainsTool(const std::string& args) {
    std::string out;
    std::FILE* pipe = ::popen((std::string(KESTOVA_TRAINS_EXE) + " " + args + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return {out, -1};
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int status = ::pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace

TEST(RecordsProcess, PowerupAndAllInOneEndInTheirFiles) {
    DataFolder data;
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    {
        Process collector;
        Start(collector, data, pty);

        ASSERT_TRUE(pty.Send(Frame(12, 0, PT_POWERUP, PowerupPayload())));
        ExpectAck(pty, 12, 0);
        EXPECT_TRUE(collector.WaitForLineContaining(
            "Received Powerup from Halvor, SiteID = 500, Milepost = 123.4", kWait));
        const std::string callers = data.ReadText("Callers.bin");
        ASSERT_EQ(callers.size(), 2560u);
        EXPECT_EQ(callers[0], 12);

        // ACK first, then the report: it is there once the ACK is read and
        // the collector has had a moment to write it.
        ASSERT_TRUE(pty.Send(Frame(12, 3, PT_ALL_IN_ONE, AllInOnePayload())));
        ExpectAck(pty, 12, 3);
        const std::string report = "Z918E/20240506_0708.GEM.HBD.00417.txt";
        for (int i = 0; i < 200 && !std::filesystem::exists(data.File(report)); ++i)
            std::this_thread::sleep_for(Millis(10));
        const std::string text = data.ReadText(report);
        EXPECT_EQ(text.size(), 806u);
        EXPECT_EQ(text.substr(0, 18), "DEM 00502 K?00417 ");
        EXPECT_EQ(text.substr(text.size() - 16), "EOC 0000000778\r\n");
        Stop(collector);
    }

    // A new start loads the registry: the listing shows the site.
    Process collector;
    Start(collector, data, pty);
    ASSERT_TRUE(collector.WriteStdin("list\n"));
    auto path = collector.WaitForLineContaining("RemoteCaller.txt", kWait);
    ASSERT_TRUE(path.has_value()) << collector.Stderr();
    EXPECT_EQ(*path, data.File("Temp/RemoteCaller.txt"));
    const std::string listing = data.ReadText("Temp/RemoteCaller.txt");
    EXPECT_NE(listing.find("\r\n012  123.4        1     00500     AB   HALV001      0   00/00  00:00      0 16\r\n"),
              std::string::npos)
        << listing;

    // The history holds the train; the tables answer on stdout.
    ASSERT_TRUE(collector.WriteStdin("trains\n"));
    EXPECT_TRUE(collector.WaitForLineContaining("2024-05-06 07:08:09   417     3    2", kWait)) << collector.Stderr();
    ASSERT_TRUE(collector.WriteStdin("sites\n"));
    EXPECT_TRUE(collector.WaitForLineContaining("   12 00500 Halvor   HALV001     123.4 1/1", kWait));

    Stop(collector);

#ifdef KESTOVA_TRAINS_EXE
    // kestova-trains --json parses and says what the database says.
    const auto [json, status] = RunTrainsTool("--json --data-folder " + data.Path());
    ASSERT_EQ(status, 0);
    Json trains;
    ASSERT_TRUE(JsonReader(json).Parse(trains)) << json;
    auto history = TrainHistory::OpenForReading(data.Path() + "/Trains.sqlite", nullptr, nullptr);
    ASSERT_TRUE(history);
    const auto rows = history->ListTrains({}, 0, 100);
    ASSERT_EQ(trains.items.size(), rows.size());
    ASSERT_EQ(rows.size(), 1u);
    const auto& t = trains.items[0].fields;
    EXPECT_EQ(t.at("site_id").text, "12");
    EXPECT_EQ(t.at("site_number").text, "1236");  // the header's 1234 on track 3
    EXPECT_EQ(t.at("first_time").text, "2024-05-06 07:08:09");
    EXPECT_EQ(t.at("train_number").text, "417");
    EXPECT_EQ(t.at("axles").text, "3");
    EXPECT_EQ(t.at("hw_left_max").text, "358");
    EXPECT_EQ(t.at("sim_codes").items.at(0).text, "48");
    EXPECT_EQ(t.at("file").text, rows[0].file);
    EXPECT_EQ(t.at("site_alarms").text, "2");  // the site's alarm entries make an alarm train
    EXPECT_TRUE(rows[0].HasAlarm());
    EXPECT_EQ(json, FormatTrainJson(rows));
    EXPECT_EQ(RunTrainsTool("--alarms --csv --data-folder " + data.Path()).first,
              FormatTrainCsv(rows));
    // A repeated --site takes the trains of any of them.
    EXPECT_EQ(RunTrainsTool("--csv --site 7 --site 1236 --data-folder " + data.Path()).first, FormatTrainCsv(rows));
    EXPECT_EQ(RunTrainsTool("--csv --site 7 --site 1234 --data-folder " + data.Path()).first, FormatTrainCsv({}));
    const auto [axles, axleStatus] = RunTrainsTool("--json --data-folder " + data.Path() + " --train " + std::to_string(rows[0].id));
    Json train;
    ASSERT_EQ(axleStatus, 0);
    ASSERT_TRUE(JsonReader(axles).Parse(train)) << axles;
    EXPECT_EQ(train.fields.at("axles").items.size(), 3u);
    EXPECT_EQ(train.fields.at("axles").items[2].fields.at("car").text, "2");
    const auto& entries = train.fields.at("site_alarm_entries").items;
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].fields.at("axle").text, "3");
    EXPECT_EQ(entries[1].fields.at("bits").text, "256");
    // --rebuild finds them again in the journal, under the same id.
    EXPECT_EQ(RunTrainsTool("--rebuild --data-folder " + data.Path()).second, 0);
    Json rebuilt;
    ASSERT_TRUE(JsonReader(RunTrainsTool("--json --data-folder " + data.Path()).first).Parse(rebuilt));
    ASSERT_EQ(rebuilt.items.size(), 1u);
    EXPECT_EQ(rebuilt.items[0].fields.at("id").text, t.at("id").text);
    EXPECT_EQ(rebuilt.items[0].fields.at("site_alarms").text, "2");

    {
        // A report the journal holds, gone: named at the start and by
        // `status`, and written again, byte for byte, by --restore.
        const std::string report = "Z918E/20240506_0708.GEM.HBD.00417.txt";
        const std::string reportBytes = data.ReadText(report);
        std::filesystem::remove(data.File(report));
        Process again;
        Start(again, data, pty);
        const std::string gone = "1 report file the journal holds is missing or damaged: "
                                 "20240506_0708.GEM.HBD.00417.txt (missing) (kestova-trains --restore writes them again)";
        ASSERT_TRUE(again.WriteStdin("status\n"));
        EXPECT_TRUE(again.WaitForLineContaining(gone, kWait));
        EXPECT_TRUE(StderrShows(again, "ERROR: " + gone)) << again.Stderr();
        EXPECT_EQ(RunTrainsTool("--restore --data-folder " + data.Path()).second, 0);
        EXPECT_EQ(data.ReadText(report), reportBytes);

        // The history deleted under the running again is noticed and made
        // again (its stale WAL files are not laid over the new one).
        for (int i = 0; i < 200 && !again.HasOpen(data.File("Trains.sqlite")); ++i)
            std::this_thread::sleep_for(Millis(10));
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(data.File(std::string("Trains.sqlite") + suffix));
        const std::string remade = "Trains.sqlite was deleted while the collector ran; made again from the report files (1 trains)";
        EXPECT_TRUE(StderrShows(again, remade)) << again.Stderr();
        ASSERT_TRUE(again.WriteStdin("trains\n"));
        EXPECT_TRUE(again.WaitForLineContaining("2024-05-06 07:08:09   417     3    2", kWait));
        Stop(again);
        // Made from the report files, the train still names its radio: the
        // journal tells it where the registry cannot.
        const auto [remadeJson, remadeStatus] = RunTrainsTool("--json --data-folder " + data.Path());
        EXPECT_NE(remadeJson.find("\"site_id\":12,"), std::string::npos) << remadeJson;
    }

    // No history, or a file that is not one: exit status 2.
    DataFolder empty;
    EXPECT_EQ(RunTrainsTool("--data-folder " + empty.Path()).second, 2);
    ASSERT_EQ(::mkfifo(empty.File("Trains.sqlite").c_str(), 0644), 0);  // never opened: no hang
    EXPECT_EQ(RunTrainsTool("--data-folder " + empty.Path()).second, 2);
    std::filesystem::remove(empty.File("Trains.sqlite"));
    { std::ofstream(empty.File("Trains.sqlite")) << "not a database, just text that is long enough to be looked at"; }
    EXPECT_EQ(RunTrainsTool("--data-folder " + empty.Path()).second, 2);
    EXPECT_EQ(RunTrainsTool("--bogus").second, 2);
#endif
}

// A train with a hot bearing: its alarms are told on stderr, listed by
// `alarms`, acknowledged by `ack`, and handed to the alarm command once
// each, live only (not again when the next start catches up).
TEST(RecordsProcess, AHotBearingIsListedAcknowledgedAndHandedToTheAlarmCommandOnce) {
    DataFolder data;
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    const std::string hook = data.File("hook.sh"), log = data.File("hook.log");
    // One write per line: the commands of several alarms may run at once.
    data.WriteText("hook.sh", "#!/bin/sh\nline=$(printf '%s|' \"$@\")\necho \"$line$KESTOVA_ALARM_KIND\" >> '" + log +
                                  "'\n");
    ::chmod(hook.c_str(), 0755);
    const auto start = [&](Process& collector) {
        data.LinkPort(4, pty.SlaveName());
        data.WriteText("K7_Dialups.ini", "[Radio Serial Port]\nRadio_Port=4\n[Alarms]\nCommand=" + hook + "\n");
        ASSERT_TRUE(collector.Start(KESTOVA_COLLECTOR_EXE, {}, {"KESTOVA_HOME=" + data.Path()}));
        ASSERT_TRUE(collector.WaitForLineContaining("Using Serial Port COMM 4", kWait)) << collector.Stderr();
    };
    const auto hookLines = [&] {
        std::vector<std::string> lines;
        std::istringstream in(data.ReadText("hook.log"));
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    };
    std::string id;
    {
        Process collector;
        start(collector);
        Bytes train = AllInOnePayload();
        train[17 + 12 + TRAIN_HEADER_SIZE] = 170;  // axle 1, left bearing
        ASSERT_TRUE(pty.Send(Frame(12, 3, PT_ALL_IN_ONE, train)));
        ExpectAck(pty, 12, 3);
        // The site's two alarm entries and the hot bearing (one alarm, though it
        // also passes the side difference and outlier rules).
        EXPECT_TRUE(StderrShows(collector, "hot-box site 01236 (radio 12) train 417")) << collector.Stderr();
        ASSERT_TRUE(collector.WriteStdin("alarms\n"));
        const auto row = collector.WaitForLineContaining(" hot-box ", kWait);
        ASSERT_TRUE(row.has_value());
        id = row->substr(0, 7);
        id.erase(0, id.find_first_not_of(' '));
        EXPECT_NE(row->find(" 01236    12   417 hot-box            1      1/1 left      170       120 -"),
                  std::string::npos)
            << *row;
        ASSERT_TRUE(collector.WriteStdin("ack " + id + " Ann car 1 set out \n"));
        EXPECT_TRUE(collector.WaitForLineContaining("Alarm " + id + " acknowledged by Ann at ", kWait));
        ASSERT_TRUE(collector.WriteStdin("ack " + id + " Bo\n"));
        EXPECT_TRUE(StderrShows(collector, "alarm " + id + " was acknowledged already by Ann"));
        for (int i = 0; i < 100 && hookLines().size() < 3; ++i) std::this_thread::sleep_for(Millis(50));
        EXPECT_TRUE(StderrShows(collector, "Alarm command " + hook + " for alarm " + id + ": exit status 0"));
        Stop(collector);
    }
    std::vector<std::string> ran = hookLines();
    ASSERT_EQ(ran.size(), 3u) << data.ReadText("hook.log");
    EXPECT_EQ(std::count_if(ran.begin(), ran.end(),
                            [&](const std::string& l) { return l.rfind(id + "|hot-box|01236|12|", 0) == 0; }),
              1);
    EXPECT_NE(std::find_if(ran.begin(), ran.end(), [&](const std::string& l) {
                  return l.rfind(id + "|", 0) == 0 && l.find("|1|1|1|left|170|-1|120|0|hot-box axle 1 (car 1, axle 1) left: "
                                                             "reading 170 above 120|hot-box") != std::string::npos;
              }), ran.end());
    {
        Process again;  // catches up: nothing new for the command
        start(again);
        ASSERT_TRUE(again.WriteStdin("alarms\n"));
        EXPECT_TRUE(again.WaitForLineContaining(" site ", kWait));
        Stop(again);
    }
    EXPECT_EQ(hookLines().size(), 3u);
#ifdef KESTOVA_TRAINS_EXE
    const std::string folder = " --data-folder " + data.Path();
    const auto [csv, status] = RunTrainsTool("--alarm-list --unacknowledged --csv" + folder);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3) << csv;  // the heading and two alarms
    EXPECT_EQ(RunTrainsTool("--ack " + id + " --by Bo" + folder).second, 1);
    EXPECT_EQ(RunTrainsTool("--ack 99999 --by Bo" + folder).second, 1);
    EXPECT_EQ(RunTrainsTool("--ack " + id + folder).second, 2);
    const std::string open = csv.substr(csv.find('\n') + 1, csv.find(',', csv.find('\n')) - csv.find('\n') - 1);
    const auto [acked, ackStatus] = RunTrainsTool("--ack " + open + " --by Bo --comment 'seen on site'" + folder);
    EXPECT_EQ(ackStatus, 0);
    EXPECT_NE(acked.find("Alarm " + open + " acknowledged by Bo at "), std::string::npos) << acked;
    const std::string left = RunTrainsTool("--alarm-list --unacknowledged --csv" + folder).first;
    EXPECT_EQ(std::count(left.begin(), left.end(), '\n'), 2) << left;
#endif
}

#endif
