// The worker loop: what it answers, when it pauses, the echo request,
// stopping, and collectors that run side by side in one process.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "TrainGenerator.h"
#include "engine/Worker.h"
#include "records/TrainReport.h"

using namespace testsupport;

namespace {

class WorkerLoopTest : public ::testing::Test {
protected:
    WorkerHarness h;
    std::vector<std::uint8_t> Sent() { return h.port->TakeWritten(); }
};

}  // namespace

TEST_F(WorkerLoopTest, RequestForMoreThanTwentyBlocksIsCancelled) {
    for (std::uint8_t count : {21, 255}) {
        h.port->Feed(MakeFrame(7, 250, 0, 10, {count, 0xE8, 0x03}));
        EXPECT_TRUE(RunCollectorCycle(h.C()));
        EXPECT_EQ(Sent(), Hex("55 AA FA 07 00 0C 00 03 01 1B 8D FE")) << int(count);
        EXPECT_EQ(h.Transfer().requestedBlockCount, count);
        EXPECT_EQ(h.Transfer().requestedBlockSize, 1000u);
    }
    EXPECT_EQ(h.clock.SleepCount(), 0u);
}

TEST_F(WorkerLoopTest, RequestForTwentyOrZeroBlocksStartsATransfer) {
    for (std::uint8_t count : {20, 0}) {
        h.port->Feed(MakeFrame(7, 250, 0, 10, {count, 0x00, 0x01}));
        // Nothing more arrives: the transfer grants, then gives up in fake time.
        EXPECT_TRUE(RunCollectorCycle(h.C()));
        const auto sent = Sent();
        ASSERT_GE(sent.size(), 14u);
        EXPECT_EQ(sent[7], 7) << "first reply is the grant";
        EXPECT_EQ(sent[8], count);
        EXPECT_EQ(ReadLe16(sent.data() + 9), 256);
    }
}

TEST_F(WorkerLoopTest, ShortRequestNeverTakesTheChecksumForItsSize) {
    h.port->Feed(MakeFrame(7, 250, 0, 10, {21}));
    EXPECT_TRUE(RunCollectorCycle(h.C()));
    EXPECT_EQ(h.Transfer().requestedBlockSize, 0u);
    EXPECT_EQ(Sent()[7], 3);
}

TEST_F(WorkerLoopTest, AllInOneIsAcknowledgedWithItsSequenceByte) {
    std::vector<std::uint8_t> payload(17 + 12, 0);
    h.port->Feed(MakeFrame(44, 250, 0x9C, 11, payload));
    EXPECT_TRUE(RunCollectorCycle(h.C()));
    const auto sent = Sent();
    ASSERT_GE(sent.size(), 19u);
    EXPECT_EQ(sent[3], 44);
    EXPECT_EQ(sent[7], 1);
    EXPECT_EQ(sent[9], 0x9C);
    const auto lines = h.window->Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "All-in-One Data Packet packet from SiteID = 44, sent to CollectorID = 250\n");
    EXPECT_EQ(lines[1], "Sending ACK to SiteID = 44 TrackNum = 156\n");
}

TEST_F(WorkerLoopTest, PacketsForOtherCollectorsAreLoggedNotAnsweredAndPause) {
    for (std::uint8_t type : {10, 11, 15}) {
        h.window->Clear();
        std::vector<std::uint8_t> payload(40, 1);
        h.port->Feed(MakeFrame(8, 17, 0, type, payload));
        const auto before = h.clock.TotalSlept();
        EXPECT_FALSE(RunCollectorCycle(h.C()));
        EXPECT_EQ(h.clock.TotalSlept() - before, 500u);
        EXPECT_TRUE(Sent().empty());
        EXPECT_EQ(h.window->Lines().size(), 1u);
        EXPECT_FALSE(h.Link().header.addressedToUs);
        EXPECT_EQ(h.Link().rx.rxCount, 0);  // reset before the next cycle
        EXPECT_EQ(h.Link().rx.inPacket, 0);
    }
}

TEST_F(WorkerLoopTest, NoPauseBetweenBackToBackPacketsForTheCollector) {
    auto a = MakeFrame(7, 250, 0, 10, {30, 0, 1});
    auto b = MakeFrame(8, 250, 0, 14, {0});
    a.insert(a.end(), b.begin(), b.end());
    h.port->Feed(a);
    EXPECT_TRUE(RunCollectorCycle(h.C()));
    EXPECT_TRUE(RunCollectorCycle(h.C()));
    EXPECT_EQ(h.clock.SleepCount(), 0u);
    EXPECT_EQ(h.Link().header.sourceId, 8);
    // Then the line is quiet: one 500 ms pause.
    EXPECT_FALSE(RunCollectorCycle(h.C()));
    EXPECT_EQ(h.clock.TotalSlept(), 500u);
}

TEST_F(WorkerLoopTest, TheIdleWaitEndsOnTheFirstByte) {
    // A frame for another collector with another frame right behind it: the
    // wait after the first ends at once.
    auto a = MakeFrame(8, 17, 0, 14, {0});
    auto b = MakeFrame(8, 250, 0, 14, {0});
    a.insert(a.end(), b.begin(), b.end());
    h.port->Feed(a);
    EXPECT_FALSE(RunCollectorCycle(h.C()));
    EXPECT_TRUE(RunCollectorCycle(h.C()));
    EXPECT_EQ(h.clock.TotalSlept(), 0u);

    // In real time: a feed from another thread wakes the waiting reader.
    MemorySerialPort port;
    EXPECT_FALSE(port.WaitForInput(1));
    bool woke = false;
    std::thread reader([&] { woke = port.WaitForInput(600000); });
    port.Feed({0x55});
    reader.join();
    EXPECT_TRUE(woke);
}

TEST_F(WorkerLoopTest, UnknownTypesAndNoScopeViewChangeNothing) {
    h.C().SetScopeView(nullptr);
    h.port->Feed(MakeFrame(8, 250, 0, 99, {1, 2, 3}));
    EXPECT_TRUE(RunCollectorCycle(h.C()));
    EXPECT_TRUE(Sent().empty());
    h.port->Feed(MakeFrame(7, 250, 0, 10, {21, 0, 1}));
    EXPECT_TRUE(RunCollectorCycle(h.C()));
    EXPECT_EQ(Sent().size(), 12u);
    EXPECT_TRUE(h.window->Messages().empty());
}

TEST_F(WorkerLoopTest, EchoIsSentOnceThenTheRequestIsCleared) {
    h.C().RequestEcho(77, 10);
    EXPECT_FALSE(RunCollectorCycle(h.C()));
    EXPECT_FALSE(h.C().EchoRequested());
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 14u + 6 * 11);
    EXPECT_EQ(sent[3], 77);
    EXPECT_EQ(sent[7], 31);
    EXPECT_FALSE(RunCollectorCycle(h.C()));
    EXPECT_TRUE(Sent().empty());

    // The echo dialog hears of it through the scope view, once.
    std::vector<RecordedMessage> dialog;
    for (auto& m : h.window->Messages())
        if (m.message == WM_ECHO_TEXT) dialog.push_back(m);
    ASSERT_EQ(dialog.size(), 1u);
    EXPECT_EQ(dialog[0].text, "Sending \"ECHO\" to SiteID = 77 \n");

    // A length outside 10..1000 goes out as 200, which the dialog then shows;
    // without a view nothing breaks.
    h.C().SetScopeView(nullptr);
    h.C().RequestEcho(78, 5000);
    EXPECT_FALSE(RunCollectorCycle(h.C()));
    EXPECT_EQ(Sent().size(), 14u + 6 * 201);
    EXPECT_EQ(h.C().EchoLength(), 200);
    EXPECT_FALSE(h.C().EchoRequested());
}

TEST_F(WorkerLoopTest, LoopRunsUntilStopAndTheThreadReportsItsEnd) {
    int pauses = 0;
    h.clock.SetSleepHook([&](std::uint32_t) {
        if (++pauses == 3) h.C().RequestStop();
    });
    RunCollectorLoop(h.C());
    EXPECT_EQ(pauses, 3);
}

TEST_F(WorkerLoopTest, WorkerThreadStartsOnceAndReportsItsEnd) {
    EXPECT_TRUE(h.C().Stop(std::chrono::seconds(1))) << "never started";
    EXPECT_EQ(h.C().State(), WorkerState::NotStarted);
    ASSERT_TRUE(h.C().Start());
    EXPECT_FALSE(h.C().Start());
    EXPECT_EQ(h.C().State(), WorkerState::Running);
    EXPECT_TRUE(h.C().Stop(std::chrono::seconds(10)));
    EXPECT_EQ(h.C().State(), WorkerState::Ended);
    EXPECT_FALSE(h.C().Start()) << "started once";
}

namespace {

// One site's traffic: its Powerup (two tracks), then two trains as
// All-in-One Data Packets.
std::vector<std::uint8_t> SiteTraffic() {
    sitesim::SimRandom rng(42);
    const auto site = sitesim::MakeSite(12, 2, sitesim::UnitKind::Tallquin, rng);
    auto traffic = MakeFrame(12, COLLECTOR_ID, 0, PT_POWERUP, sitesim::PowerupPayload(site));
    for (std::uint8_t track : {1, 2}) {
        sitesim::TrainDesign d;
        d.trainNumber = static_cast<std::uint16_t>(300 + track);
        d.track = track;
        d.time.minute = track;
        d.maxStreamBytes = 2018;  // what one frame carries
        const auto train = sitesim::GenerateTrain(site, d, rng);
        const auto frame = MakeFrame(12, COLLECTOR_ID, track, PT_ALL_IN_ONE,
                                     sitesim::AllInOnePayload(train.stream));
        traffic.insert(traffic.end(), frame.begin(), frame.end());
    }
    return traffic;
}

// Starts the collector's worker thread, then hands its port the traffic.
// The fake clock's pauses take a millisecond of real time, so an idle
// worker does not spin.
void StartWith(WorkerHarness& h, const std::vector<std::uint8_t>& traffic) {
    h.clock.SetSleepHook([](std::uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
    ASSERT_TRUE(h.C().Start());
    h.port->Feed(traffic);
}

// Waits for both trains' reports, stops the worker, and returns the reports
// and "Callers.bin" of its data folder, and what it sent on its port.
std::map<std::string, std::string> StopAndCollect(WorkerHarness& h) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto reported = [&h] {
        int n = 0;
        for (const EngineEvent& e : h.Events()) n += e.kind == EventKind::TrainReported;
        return n;
    };
    while (reported() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(h.C().Stop(std::chrono::seconds(10)));
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(h.folder / REPORT_FOLDER, ec))
        out[e.path().filename().string()] = ReadWholeFile(e.path());
    out["Callers.bin"] = ReadWholeFile(h.folder / "Callers.bin");
    const auto sent = h.port->TakeWritten();
    out["sent"] = std::string(sent.begin(), sent.end());
    return out;
}

void ExpectSame(const std::map<std::string, std::string>& got,
                const std::map<std::string, std::string>& alone, const char* who) {
    ASSERT_EQ(got.size(), alone.size()) << who;
    for (const auto& [name, bytes] : alone) {
        const auto it = got.find(name);
        ASSERT_NE(it, got.end()) << who << " has no " << name;
        EXPECT_TRUE(it->second == bytes) << who << ": " << name << " is not as alone";
    }
}

}  // namespace

TEST(Collectors, TwoSideBySideEachDoWhatOneDoesAlone) {
    const auto traffic = SiteTraffic();
    std::map<std::string, std::string> alone;
    {
        WorkerHarness h;
        StartWith(h, traffic);
        alone = StopAndCollect(h);
    }
    ASSERT_EQ(alone.size(), 4u) << "two reports, the registry, the replies";
    EXPECT_EQ(alone["Callers.bin"].size(), CALLERS_FILE_SIZE);
    EXPECT_EQ(alone["sent"].size(), 3 * 19u) << "three ACKs";

    // The same start time on every clock: the ACKs carry it.
    WorkerHarness a, b;
    StartWith(a, traffic);
    StartWith(b, traffic);
    const auto fromA = StopAndCollect(a);
    const auto fromB = StopAndCollect(b);
    ExpectSame(fromA, alone, "the first of two");
    ExpectSame(fromB, alone, "the second of two");
}
