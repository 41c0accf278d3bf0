// The site simulator against kestova-collector, both as processes on a
// pseudo-terminal: block transfers in order, out of order and with a lost
// block, a second site interfering, a train of 1200 axles, a pause inside a
// frame at line speed, and a long seeded run whose every report must equal,
// byte for byte, the one the simulator expects.
#include <gtest/gtest.h>

#include <cstdlib>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/PtyHarness.h"
#include "records/EventJournal.h"

#if defined(KESTOVA_COLLECTOR_EXE) && defined(KESTOVA_SITE_SIM_EXE)

namespace {

namespace fs = std::filesystem;
using e2e::DataFolder;
using e2e::Millis;
using e2e::Process;

constexpr int kCom = 6;

struct SimRun {
    std::optional<int> simExit;
    std::vector<std::string> sim;        // simulator lines
    std::vector<std::string> collector;  // collector lines (the serial scope)
    std::string expectFolder;

    std::string Summary() const {
        std::string s;
        for (const std::string& l : sim)
            if (l.find("summary:") != std::string::npos || l.find("Powerups sent") != std::string::npos ||
                l.find("bytes sent") != std::string::npos)
                s += l + "\n";
        return s;
    }
    int CollectorLinesWith(const std::string& text) const {
        int n = 0;
        for (const std::string& l : collector) n += l.find(text) != std::string::npos;
        return n;
    }
    bool SimSaid(const std::string& text) const {
        for (const std::string& l : sim)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    std::string SimText() const {
        std::string s;
        for (const std::string& l : sim) s += l + "\n";
        return s;
    }
};

void DrainLines(Process& p, std::vector<std::string>& into, Millis wait) {
    while (auto line = p.ReadLine(wait)) {
        into.push_back(*line);
        wait = Millis(0);
    }
}

// Starts the simulator on the data folder, then the collector on the same
// folder, and runs until the simulator has finished.
SimRun RunSimulator(const DataFolder& data, std::vector<std::string> args, Millis limit) {
    SimRun run;
    run.expectFolder = data.File("expected");
    args.insert(args.end(), {"--data-folder", data.Path(), "--com", std::to_string(kCom),
                             "--expect", run.expectFolder});
    Process sim;
    if (!sim.Start(KESTOVA_SITE_SIM_EXE, args)) return run;
    const std::string link = data.File("Ports/COM" + std::to_string(kCom));
    for (int i = 0; i < 200 && !fs::is_symlink(fs::symlink_status(link)); ++i)
        std::this_thread::sleep_for(Millis(10));
    Process collector;
    if (!collector.Start(KESTOVA_COLLECTOR_EXE, {}, {"KESTOVA_HOME=" + data.Path()})) return run;

    const auto deadline = e2e::SteadyClock::now() + limit;
    while (e2e::SteadyClock::now() < deadline) {
        DrainLines(sim, run.sim, Millis(20));
        DrainLines(collector, run.collector, Millis(0));
        collector.Stderr();  // its alarm lines must not fill the pipe and hold it up
        run.simExit = sim.WaitExit(Millis(0));
        if (run.simExit) break;
    }
    if (!run.simExit) {
        sim.Signal(SIGTERM);
        run.simExit = sim.WaitExit(Millis(3000));
    }
    DrainLines(sim, run.sim, Millis(50));
    collector.Signal(SIGTERM);
    const auto collectorExit = collector.WaitExit(Millis(3000));
    DrainLines(collector, run.collector, Millis(50));
    EXPECT_EQ(collectorExit, std::optional<int>(0)) << collector.Stderr();
    return run;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::set<std::string> FileNames(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename());
    return names;
}

// Every expected report is in "Z918E", byte for byte, and nothing else is.
void ExpectReportsAsExpected(const DataFolder& data, const SimRun& run, std::size_t count) {
    const std::set<std::string> expected = FileNames(run.expectFolder);
    const std::set<std::string> written = FileNames(data.File("Z918E"));
    EXPECT_EQ(expected.size(), count);
    EXPECT_EQ(written, expected);
    for (const std::string& name : expected)
        EXPECT_EQ(ReadFile(data.File("Z918E/" + name)), ReadFile(run.expectFolder + "/" + name))
            << name;
}

// One current-format train of 300 axles sent in 3 blocks of about 1000 bytes.
std::vector<std::string> ThreeBlocks(const std::vector<std::string>& more) {
    std::vector<std::string> args = {"--trains", "1",     "--mode",   "blocks", "--format",
                                     "current",  "--kind", "15",      "--axles", "300",
                                     "--blocks", "3",       "--hwd",   "on",     "--no-pacing",
                                     "--seed",   "4",       "--linger", "1500"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

const Millis kShortRun(40000);

}  // namespace

TEST(SimulatorProcess, ThreeBlocksInOrderGetOneGrantAndOneAck) {
    DataFolder data;
    const SimRun run = RunSimulator(data, ThreeBlocks({}), kShortRun);
    EXPECT_EQ(run.simExit, std::optional<int>(0)) << run.SimText();
    EXPECT_TRUE(run.SimSaid("1 trains sent, 1 acknowledged, 0 retried (0 resends), 0 failed"))
        << run.Summary();
    EXPECT_TRUE(run.SimSaid("0 protocol errors, 0 unexpected replies")) << run.Summary();
    EXPECT_TRUE(run.SimSaid("3 blocks of")) << run.SimText();
    EXPECT_EQ(run.CollectorLinesWith("Sending \"Proceed to Transmit\" to SiteID = 12"), 1);
    EXPECT_EQ(run.CollectorLinesWith("Sending ACK to SiteID = 12 TrackNum = 0"), 2);  // Powerup, train
    EXPECT_EQ(run.CollectorLinesWith("Substitude"), 0);
    ExpectReportsAsExpected(data, run, 1);
}

TEST(SimulatorProcess, ThreeBlocksOutOfOrderGiveTheSameReport) {
    DataFolder data;
    const SimRun run = RunSimulator(data, ThreeBlocks({"--faults", "reorder"}), kShortRun);
    EXPECT_EQ(run.simExit, std::optional<int>(0)) << run.SimText();
    EXPECT_TRUE(run.SimSaid("[reorder]")) << run.SimText();
    EXPECT_TRUE(run.SimSaid("1 trains sent, 1 acknowledged, 0 retried")) << run.Summary();
    EXPECT_TRUE(run.SimSaid("0 protocol errors, 0 unexpected replies")) << run.Summary();
    EXPECT_EQ(run.CollectorLinesWith("Substitude"), 0);
    // Blocks 2 and 1 in that order, then the Last Data Packet.
    std::vector<std::string> blocks;
    for (const std::string& l : run.collector)
        if (l.find("Data Packet packet from SiteID = 12") != std::string::npos) blocks.push_back(l);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_NE(blocks[2].find("Last Data Packet"), std::string::npos);
    ExpectReportsAsExpected(data, run, 1);
}

TEST(SimulatorProcess, LostBlockTwoIsListedResentAndTheTrainCompletes) {
    DataFolder data;
    const SimRun run = RunSimulator(data, ThreeBlocks({"--drop-block", "2"}), kShortRun);
    EXPECT_EQ(run.simExit, std::optional<int>(0)) << run.SimText();
    // Block 2 and the Last Data Packet once more.
    EXPECT_TRUE(run.SimSaid("1 trains sent, 1 acknowledged, 1 retried (2 resends), 0 failed"))
        << run.Summary();
    EXPECT_TRUE(run.SimSaid("0 protocol errors, 0 unexpected replies")) << run.Summary();
    EXPECT_EQ(run.CollectorLinesWith("Sending \"Substitude\" to SiteID = 12"), 1);
    EXPECT_EQ(run.CollectorLinesWith("Sending ACK to SiteID = 12 TrackNum = 0"), 2);
    ExpectReportsAsExpected(data, run, 1);
}

TEST(SimulatorProcess, SecondSiteIsTurnedAwayButHeardDuringATransfer) {
    DataFolder data;
    const SimRun run = RunSimulator(
        data, ThreeBlocks({"--sites", "12,17", "--faults", "interfere"}), kShortRun);
    EXPECT_EQ(run.simExit, std::optional<int>(0)) << run.SimText();
    EXPECT_TRUE(run.SimSaid("site 17 interferes")) << run.SimText();
    // The train of site 12 and the All-in-One train of site 17.
    EXPECT_TRUE(run.SimSaid("2 trains sent, 2 acknowledged, 0 retried (0 resends), 0 failed"))
        << run.Summary();
    // Powerups: one each at the start, and site 17's during the transfer.
    EXPECT_TRUE(run.SimSaid("3 Powerups sent, 3 acknowledged")) << run.Summary();
    EXPECT_TRUE(run.SimSaid("0 protocol errors, 0 unexpected replies")) << run.Summary();
    EXPECT_EQ(run.CollectorLinesWith("Sending \"Proceed to Transmit\""), 1);
    EXPECT_EQ(run.CollectorLinesWith("Request to Transmit packet from SiteID = 17"), 1);
    EXPECT_EQ(run.CollectorLinesWith("Sending ACK to SiteID = 17 TrackNum = "), 3);
    ExpectReportsAsExpected(data, run, 2);
}

TEST(SimulatorProcess, TrainOf1200AxlesInNineBlocks) {
    DataFolder data;
    const SimRun run = RunSimulator(data,
                                 {"--trains", "1", "--mode", "blocks", "--format", "current",
                                  "--kind", "15", "--axles", "1200", "--blocks", "9", "--hwd", "on",
                                  "--no-pacing", "--seed", "12"},
                                 kShortRun);
    EXPECT_EQ(run.simExit, std::optional<int>(0)) << run.SimText();
    EXPECT_TRUE(run.SimSaid("1200 axles, current 7-byte, HWD, 9 blocks of")) << run.SimText();
    EXPECT_TRUE(run.SimSaid("0 protocol errors, 0 unexpected replies")) << run.Summary();
    ExpectReportsAsExpected(data, run, 1);
    const std::set<std::string> names = FileNames(data.File("Z918E"));
    ASSERT_EQ(names.size(), 1u);
    const std::string report = ReadFile(data.File("Z918E/" + *names.begin()));
    std::size_t hbd = 0;
    for (std::size_t at = report.find("\nHBD "); at != std::string::npos; at = report.find("\nHBD ", at + 1))
        ++hbd;
    EXPECT_EQ(hbd, 1200u);
}

// Timing matters here, so the bytes go at 19200 baud: a pause of 4 s before
// the end byte of block 2 makes the collector drop that frame.
TEST(SimulatorProcess, PauseInsideAFrameAtLineSpeedLosesThatBlockOnly) {
    DataFolder data;
    std::vector<std::string> args = ThreeBlocks({"--faults", "pause", "--pause-ms", "4000"});
    args.erase(std::find(args.begin(), args.end(), "--no-pacing"));
    args.insert(args.end(), {"--axles", "100"});  // 3 small blocks: about half a second on the line
    const SimRun run = RunSimulator(data, args, kShortRun);
    EXPECT_EQ(run.simExit, std::optional<int>(0)) << run.SimText();
    EXPECT_TRUE(run.SimSaid("[pause ")) << run.SimText();
    EXPECT_TRUE(run.SimSaid("1 trains sent, 1 acknowledged, 1 retried")) << run.Summary();
    EXPECT_TRUE(run.SimSaid("0 protocol errors, 0 unexpected replies")) << run.Summary();
    EXPECT_EQ(run.CollectorLinesWith("Error: Too long delay in between chars"), 1);
    EXPECT_EQ(run.CollectorLinesWith("Sending \"Substitude\" to SiteID = 12"), 1);
    ExpectReportsAsExpected(data, run, 1);
}

TEST(SimulatorProcess, FiftySeededTrainsOfBothFormatsAndDeliveriesMatchByteForByte) {
    DataFolder data;
    const SimRun run = RunSimulator(data,
                                 {"--trains", "52", "--sites", "12,17,33", "--tracks", "mixed",
                                  "--mode", "mixed", "--format", "mixed", "--faults",
                                  "loss,reorder,dup,checksum,noise", "--fault-rate", "10",
                                  "--reply-timeout", "2000", "--no-pacing", "--seed", "2026"},
                                 Millis(150000));
    EXPECT_EQ(run.simExit, std::optional<int>(0)) << run.SimText();
    EXPECT_TRUE(run.SimSaid("52 trains sent, 52 acknowledged")) << run.Summary();
    EXPECT_TRUE(run.SimSaid("0 failed")) << run.Summary();
    EXPECT_TRUE(run.SimSaid("0 protocol errors, 0 unexpected replies")) << run.Summary();
    EXPECT_TRUE(run.SimSaid("legacy")) << "no legacy train";
    EXPECT_TRUE(run.SimSaid("current")) << "no current-format train";
    EXPECT_TRUE(run.SimSaid("All-in-One")) << "no All-in-One train";
    EXPECT_TRUE(run.SimSaid("blocks of")) << "no train in blocks";
    ExpectReportsAsExpected(data, run, 52);
    std::cout << run.Summary();
}

// A hot bearing the simulator plants in healthy trains: one alarm a train,
// handed once to the alarm command, and acknowledged by name.
TEST(SimulatorProcess, APlantedHotBearingIsOneAlarmForTheAlarmCommand) {
    DataFolder data;
    const std::string log = data.File("hook.log");
    data.WriteText("hook.sh", "#!/bin/sh\necho \"$KESTOVA_ALARM_ID $KESTOVA_ALARM_KIND $KESTOVA_ALARM_AXLE "
                              "$KESTOVA_ALARM_SIDE\" >> '" + log + "'\n");
    fs::permissions(data.File("hook.sh"), fs::perms::owner_all);
    data.WriteText("K7_Dialups.ini", "[Alarms]\nCommand=" + data.File("hook.sh") + "\n");
    const SimRun run = RunSimulator(
        data, {"--trains", "2", "--healthy", "--plant", "hotbox:5:left", "--format", "current", "--no-pacing"},
        kShortRun);
    EXPECT_TRUE(run.SimSaid("2 trains sent, 2 acknowledged")) << run.Summary();
    for (int i = 0; i < 100 && ReadFile(log).size() < 32; ++i) std::this_thread::sleep_for(Millis(50));
    // The two commands may run at once: their lines in either order.
    std::istringstream lines(ReadFile(log));
    std::set<std::string> ran;
    for (std::string line; std::getline(lines, line);) ran.insert(line);
    EXPECT_EQ(ran, (std::set<std::string>{"1 hot-box 5 left", "2 hot-box 5 left"})) << ReadFile(log);
#ifdef KESTOVA_TRAINS_EXE
    const std::string tool = std::string(KESTOVA_TRAINS_EXE) + " --data-folder " + data.Path();
    EXPECT_EQ(std::system((tool + " --ack 1 --by Ann >/dev/null").c_str()), 0);
    EXPECT_NE(std::system((tool + " --ack 1 --by Bo >/dev/null 2>&1").c_str()), 0);  // once only
#endif

    // A point serving two sites of a line, 0.2 miles apart: a bearing
    // heating from the first to the second is one trend alarm, at the
    // second, handed to the alarm command once; the healthy train before
    // it raises none.
    DataFolder line;
    const std::string lineLog = line.File("hook.log");
    line.WriteText("hook.sh", "#!/bin/sh\necho \"$KESTOVA_ALARM_KIND $KESTOVA_ALARM_SITE $KESTOVA_ALARM_AXLE "
                              "$KESTOVA_ALARM_SIDE\" >> '" + lineLog + "'\n");
    fs::permissions(line.File("hook.sh"), fs::perms::owner_all);
    line.WriteText("K7_Dialups.ini", "[Alarms]\nCommand=" + line.File("hook.sh") + "\n");
    const SimRun lineRun = RunSimulator(line, {"--line", "120.0,120.2", "--line-speed", "60", "--interval", "4",
                                               "--trains", "2", "--healthy", "--plant", "trend:38,103:9@2",
                                               "--mode", "aio", "--no-pacing"},
                                        kShortRun);
    EXPECT_TRUE(lineRun.SimSaid("4 trains sent, 4 acknowledged")) << lineRun.Summary();
    std::set<std::string> trends;
    for (int i = 0; i < 100 && trends.empty(); ++i) {
        std::this_thread::sleep_for(Millis(50));
        std::istringstream lineLines(ReadFile(lineLog));
        for (std::string l; std::getline(lineLines, l);)
            if (l.rfind("trend ", 0) == 0) trends.insert(l);
    }
    ASSERT_EQ(trends.size(), 1u) << ReadFile(lineLog) << lineRun.Summary();
    EXPECT_NE(trends.begin()->find(" 9 left"), std::string::npos) << *trends.begin();
    // Its record in the event journal (what the office gets) carries the
    // bearing's steps site by site and the train it belongs to.
    std::vector<JournalEvent> events;
    for (const auto& e : fs::directory_iterator(line.File("Journal")))
        if (e.path().filename().string().rfind("Events-", 0) == 0) DecodeEventJournal(ReadFile(e.path().string()), &events);
    std::vector<std::string> trendEvents;
    for (const JournalEvent& e : events)
        if (e.json.find("\"kind\":\"trend\"") != std::string::npos) trendEvents.push_back(e.json);
    ASSERT_EQ(trendEvents.size(), 1u);
    EXPECT_NE(trendEvents[0].find("\"trend\":[{\"site\":"), std::string::npos) << trendEvents[0];
    EXPECT_NE(trendEvents[0].find("\"journal\":"), std::string::npos) << trendEvents[0];
}

#endif
