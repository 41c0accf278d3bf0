// The worker loop: what it answers, when it pauses, the echo flag, stopping.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "TestSupport.h"
#include "engine/Worker.h"

using namespace testsupport;

namespace {

class WorkerLoopTest : public ::testing::Test {
protected:
    WorkerHarness h;
    CollectorContext& ctx() { return *h.ctx; }
    std::vector<std::uint8_t> Sent() { return h.port->TakeWritten(); }
};

}  // namespace

TEST_F(WorkerLoopTest, RequestForMoreThanTwentyBlocksIsCancelled) {
    for (std::uint8_t count : {21, 255}) {
        h.port->Feed(MakeFrame(7, 250, 0, 10, {count, 0xE8, 0x03}));
        EXPECT_TRUE(RunCollectorCycle(ctx()));
        EXPECT_EQ(Sent(), Hex("55 AA FA 07 00 0C 00 03 01 1B 8D FE")) << int(count);
        EXPECT_EQ(ctx().requestedBlockCount, count);
        EXPECT_EQ(ctx().requestedBlockSize, 1000u);
    }
    EXPECT_EQ(h.clock.SleepCount(), 0u);
}

TEST_F(WorkerLoopTest, RequestForTwentyOrZeroBlocksStartsATransfer) {
    for (std::uint8_t count : {20, 0}) {
        h.port->Feed(MakeFrame(7, 250, 0, 10, {count, 0x00, 0x01}));
        // Nothing more arrives: the transfer grants, then gives up in fake time.
        EXPECT_TRUE(RunCollectorCycle(ctx()));
        const auto sent = Sent();
        ASSERT_GE(sent.size(), 14u);
        EXPECT_EQ(sent[7], 7) << "first reply is the grant";
        EXPECT_EQ(sent[8], count);
        EXPECT_EQ(ReadLe16(sent.data() + 9), 256);
    }
}

TEST_F(WorkerLoopTest, ShortRequestNeverTakesTheChecksumForItsSize) {
    h.port->Feed(MakeFrame(7, 250, 0, 10, {21}));
    EXPECT_TRUE(RunCollectorCycle(ctx()));
    EXPECT_EQ(ctx().requestedBlockSize, 0u);
    EXPECT_EQ(Sent()[7], 3);
}

TEST_F(WorkerLoopTest, AllInOneIsAcknowledgedWithItsSequenceByte) {
    std::vector<std::uint8_t> payload(17 + 12, 0);
    h.port->Feed(MakeFrame(44, 250, 0x9C, 11, payload));
    EXPECT_TRUE(RunCollectorCycle(ctx()));
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
        EXPECT_FALSE(RunCollectorCycle(ctx()));
        EXPECT_EQ(h.clock.TotalSlept() - before, 500u);
        EXPECT_TRUE(Sent().empty());
        EXPECT_EQ(h.window->Lines().size(), 1u);
        EXPECT_EQ(ctx().addressedToUs, 0);
        EXPECT_EQ(ctx().rx.rxCount, 0);  // reset before the next cycle
        EXPECT_EQ(ctx().rx.inPacket, 0);
    }
}

TEST_F(WorkerLoopTest, NoPauseBetweenBackToBackPacketsForTheCollector) {
    auto a = MakeFrame(7, 250, 0, 10, {30, 0, 1});
    auto b = MakeFrame(8, 250, 0, 14, {0});
    a.insert(a.end(), b.begin(), b.end());
    h.port->Feed(a);
    EXPECT_TRUE(RunCollectorCycle(ctx()));
    EXPECT_TRUE(RunCollectorCycle(ctx()));
    EXPECT_EQ(h.clock.SleepCount(), 0u);
    EXPECT_EQ(ctx().sourceId, 8);
    // Then the line is quiet: one 500 ms pause.
    EXPECT_FALSE(RunCollectorCycle(ctx()));
    EXPECT_EQ(h.clock.TotalSlept(), 500u);
}

TEST_F(WorkerLoopTest, TheIdleWaitEndsOnTheFirstByte) {
    // A frame for another collector with another frame right behind it: the
    // wait after the first ends at once.
    auto a = MakeFrame(8, 17, 0, 14, {0});
    auto b = MakeFrame(8, 250, 0, 14, {0});
    a.insert(a.end(), b.begin(), b.end());
    h.port->Feed(a);
    EXPECT_FALSE(RunCollectorCycle(ctx()));
    EXPECT_TRUE(RunCollectorCycle(ctx()));
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

TEST_F(WorkerLoopTest, UnknownTypesAndNullScopeWindowChangeNothing) {
    scopeWindow = 0;
    h.port->Feed(MakeFrame(8, 250, 0, 99, {1, 2, 3}));
    EXPECT_TRUE(RunCollectorCycle(ctx()));
    EXPECT_TRUE(Sent().empty());
    h.port->Feed(MakeFrame(7, 250, 0, 10, {21, 0, 1}));
    EXPECT_TRUE(RunCollectorCycle(ctx()));
    EXPECT_EQ(Sent().size(), 12u);
    EXPECT_TRUE(h.window->Messages().empty());
}

TEST_F(WorkerLoopTest, EchoIsSentOnceThenTheFlagIsCleared) {
    echoSiteId = 77;
    echoLength = 10;
    echoRequested = 1;
    EXPECT_FALSE(RunCollectorCycle(ctx()));
    EXPECT_EQ(echoRequested.load(), 0);
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 14u + 6 * 11);
    EXPECT_EQ(sent[3], 77);
    EXPECT_EQ(sent[7], 31);
    EXPECT_FALSE(RunCollectorCycle(ctx()));
    EXPECT_TRUE(Sent().empty());
}

TEST_F(WorkerLoopTest, LoopRunsUntilStopAndTheThreadReportsItsEnd) {
    int pauses = 0;
    h.clock.SetSleepHook([&](std::uint32_t) {
        if (++pauses == 3) workerStop = 1;
    });
    RunCollectorLoop(ctx());
    EXPECT_EQ(pauses, 3);

    // On a real thread: the entry creates its own context and reports its end.
    workerStop = 0;
    pauses = 0;
    StartRecord record;
    record.threadState = WORKER_RUNNING;
    std::thread worker([&] { CollectorThreadProc(&record); });
    worker.join();
    EXPECT_EQ(record.threadState.load(), WORKER_ENDED);
    CollectorThreadProc(nullptr);  // a null start record is allowed
}
