// The multi-packet train transfer, driven through the worker cycle with an
// in-memory port and the fake clock: bytes a site sends are fed in, the
// frames the collector writes are read back and compared byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "engine/Transfer.h"
#include "engine/Worker.h"
#include "radio/Receiver.h"

using namespace testsupport;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint8_t SITE = 17;
constexpr std::uint8_t OTHER = 33;

// A frame the collector should write: from 250, sequence byte 0.
Bytes Reply(std::uint8_t site, std::uint8_t type, const Bytes& payload) {
    return BuildFrame(COLLECTOR_ID, site, 0, type, payload);
}

Bytes Request(std::uint8_t site, std::uint8_t count, std::uint16_t size) {
    return MakeFrame(site, COLLECTOR_ID, 0, PT_REQUEST_TO_TRANSMIT,
                     {count, static_cast<std::uint8_t>(size & 0xFF),
                      static_cast<std::uint8_t>(size >> 8)});
}

// A current-format train data stream: 112-byte header, then 5-byte (kind
// 16) or 7-byte (kind 15) axle records.
Bytes TrainStream(std::uint16_t axles, std::uint16_t number, std::uint8_t minute,
                  std::uint8_t kind = 16) {
    const std::size_t record = kind == 15 ? 7 : 5;
    Bytes s(12 + 112 + record * axles);
    s[0] = 2;
    s[1] = 112;
    s[2] = kind;
    WriteLe16(&s[4], axles);
    std::uint8_t* header = s.data() + 12;
    for (int i = 0; i < 112; ++i) header[i] = static_cast<std::uint8_t>(i % 7);
    header[1] = 0;
    WriteLe16(header + 5, number);
    const std::uint8_t stamp[6] = {26, 12, 6, 14, minute, 9};
    std::memcpy(header + 15, stamp, 6);
    WriteLe16(header + 33, axles);
    std::memset(header + 48, 0, 6);
    std::memset(header + 55, 0, 6);
    for (std::size_t i = 124; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(i * 31 + 5);
    return s;
}

// Block n (from 1) of a stream cut into blocks of `size` bytes.
Bytes Block(const Bytes& stream, std::size_t size, int n) {
    const std::size_t from = (n - 1) * size;
    const std::size_t to = std::min(stream.size(), from + size);
    return Bytes(stream.begin() + static_cast<long>(from), stream.begin() + static_cast<long>(to));
}

// The first n bytes of a frame (fewer when it is shorter).
Bytes Head(const Bytes& frame, std::size_t n) {
    return Bytes(frame.begin(), frame.begin() + static_cast<long>(std::min(n, frame.size())));
}

// The ACK of a completed transfer at 14:03:09 on 6 December 2026.
const Bytes kAckClock = {0x0E, 0x03, 0x09, 0x0C, 0x06, 0x1A};
Bytes AckTo(std::uint8_t site, std::uint8_t track) {
    Bytes payload = {0, track};
    payload.insert(payload.end(), kAckClock.begin(), kAckClock.end());
    return Reply(site, PT_ACK, payload);
}

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        h.clock.SetTime(LocalTime(2026, 12, 6, 14, 3, 9));
        h.clock.SetSleepHook([this](std::uint32_t) { OnPause(); });
    }
    void TearDown() override { h.clock.SetSleepHook(nullptr); }

    // What the site sends after the collector's k-th pause (from 1).
    void AfterPause(std::uint64_t pause, std::function<void()> action) {
        scripted.push_back({pause, std::move(action)});
    }
    void OnPause() {
        const std::uint64_t count = h.clock.SleepCount();
        for (auto& s : scripted)
            if (s.pause == count) s.action();
    }

    void Feed(const Bytes& frame) { h.port->Feed(frame); }
    void Data(std::uint8_t site, std::uint8_t n, const Bytes& payload) {
        Feed(MakeFrame(site, COLLECTOR_ID, n, PT_DATA, payload));
    }
    void Last(std::uint8_t site, std::uint8_t n, const Bytes& payload) {
        Feed(MakeFrame(site, COLLECTOR_ID, n, PT_LAST_DATA, payload));
    }

    // One worker cycle starting with the Request to Transmit already fed.
    void RunCycle() { EXPECT_TRUE(RunCollectorCycle(h.C())); }

    // The frames written since the last call, split by their length fields.
    std::vector<Bytes> Sent() {
        Bytes wire = h.port->TakeWritten();
        std::vector<Bytes> frames;
        std::size_t at = 0;
        while (at + 7 <= wire.size()) {
            const std::size_t length = ReadLe16(wire.data() + at + 5);
            if (length < FRAME_OVERHEAD || at + length > wire.size()) break;
            frames.emplace_back(wire.begin() + static_cast<long>(at),
                                wire.begin() + static_cast<long>(at + length));
            at += length;
        }
        EXPECT_EQ(at, wire.size()) << "bytes on the wire that are no whole frame";
        return frames;
    }

    std::vector<std::string> ErrorLines() {
        std::vector<std::string> out;
        for (auto& m : h.window->Messages())
            if (m.message == WM_LOG_TEXT && m.wParam == COLOUR_DARK_RED) out.push_back(m.text);
        return out;
    }

    std::size_t ReportCount() {
        const auto folder = std::filesystem::path(dir) / "Z918E";
        if (!std::filesystem::exists(folder)) return 0;
        std::size_t n = 0;
        for (auto& e : std::filesystem::directory_iterator(folder))
            if (e.is_regular_file()) ++n;
        return n;
    }

    Bytes Stored(std::size_t from, std::size_t length) {
        return Bytes(t().blockBuffer + from, t().blockBuffer + from + length);
    }

    // The assembled train is the stream's prefix, header and axle records.
    void ExpectAssembled(const Bytes& stream) {
        const TrainRecord& r = t().trainRecord;
        EXPECT_EQ(Bytes(r.prefix, r.prefix + 12), Bytes(stream.begin(), stream.begin() + 12));
        EXPECT_EQ(Bytes(r.header, r.header + 112), Bytes(stream.begin() + 12, stream.begin() + 124));
        const std::size_t axles = ReadLe16(stream.data() + 4);
        ASSERT_LE(axles, MAX_AXLES);
        const AxleSlot& slot = r.axleSlots[axles - 1];
        if (stream[2] == 15) {
            const std::uint8_t* last = stream.data() + 124 + 7 * (axles - 1);
            EXPECT_EQ(Bytes(slot.bytes, slot.bytes + 7), Bytes(last, last + 7));
        } else {
            const std::uint8_t* last = stream.data() + 124 + 5 * (axles - 1);
            EXPECT_EQ(Bytes(slot.bytes, slot.bytes + 7),
                      Bytes({last[0], last[1], 0, 0, last[2], last[3], last[4]}));
        }
    }

    struct Step {
        std::uint64_t pause;
        std::function<void()> action;
    };
    TransferState& t() { return h.Transfer(); }

    WorkerHarness h;
    const std::string dir = h.folder.Path().string();
    std::vector<Step> scripted;
};

// 475 axles: 2499 bytes, three blocks of 1000, 1000 and 499 bytes.
const Bytes kStream = TrainStream(475, 417, 3);

}  // namespace

TEST_F(TransferTest, ThreeBlocksInOrderAreGrantedStoredAcknowledgedAndReported) {
    Feed(Request(SITE, 3, 1000));
    Data(SITE, 1, Block(kStream, 1000, 1));
    Data(SITE, 2, Block(kStream, 1000, 2));
    Last(SITE, 3, Block(kStream, 1000, 3));
    RunCycle();

    auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    // Grant for 3 blocks of 1000 bytes to site 17.
    EXPECT_EQ(Head(sent[0], 11), Hex("55 AA FA 11 00 0E 00 07 03 E8 03"));
    EXPECT_EQ(sent[0], Reply(SITE, PT_PROCEED, {3, 0xE8, 0x03}));
    EXPECT_EQ(sent[1], AckTo(SITE, 0));
    EXPECT_EQ(h.clock.SleepCount(), 0u) << "a burst of blocks is read without pauses";

    EXPECT_EQ(Stored(0, kStream.size()), kStream);
    EXPECT_EQ(t().blockBytesStored, kStream.size());
    ExpectAssembled(kStream);
    EXPECT_EQ(ReportCount(), 1u);
    EXPECT_TRUE(ErrorLines().empty()) << (ErrorLines().empty() ? "" : ErrorLines()[0]);
    EXPECT_EQ(h.Link().rx.rxCount, 0);
}

TEST_F(TransferTest, BlocksOutOfOrderLandAtTheirOwnOffsets) {
    // 3 arrives first as the Last Data Packet: 1 and 2 are asked for, then
    // come as Data Packets in reverse, and the site ends with block 3 again.
    Feed(Request(SITE, 3, 1000));
    Last(SITE, 3, Block(kStream, 1000, 3));
    AfterPause(1, [this] {
        Data(SITE, 2, Block(kStream, 1000, 2));
        Data(SITE, 1, Block(kStream, 1000, 1));
        Last(SITE, 3, Block(kStream, 1000, 3));
    });
    RunCycle();

    auto sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1], Reply(SITE, PT_SUBSTITUTE, {0, 2, 1, 2}));
    EXPECT_EQ(sent[2], AckTo(SITE, 0));
    EXPECT_EQ(Stored(0, kStream.size()), kStream);
    EXPECT_EQ(t().blockBytesStored, kStream.size());
    ExpectAssembled(kStream);
}

TEST_F(TransferTest, LostBlocksAreAskedForUntilTheyArrive) {
    // Six blocks of 400; 2 and 5 are lost on the way.
    const Bytes stream = TrainStream(430, 418, 4);  // 2274 bytes
    Feed(Request(SITE, 6, 400));
    for (int n : {1, 3, 4}) Data(SITE, static_cast<std::uint8_t>(n), Block(stream, 400, n));
    Last(SITE, 6, Block(stream, 400, 6));
    // Block 2 is resent; 5 is lost again, so the next Last Data Packet is
    // answered with a shorter list, and the third round completes. The
    // operator sees the transfer's progress while it waits.
    std::vector<std::string> progress;
    AfterPause(1, [&] {
        progress.push_back(h.C().TransferSummary());
        Data(SITE, 2, Block(stream, 400, 2));
        Last(SITE, 6, Block(stream, 400, 6));
    });
    AfterPause(2, [&] {
        progress.push_back(h.C().TransferSummary());
        Data(SITE, 5, Block(stream, 400, 5));
        Last(SITE, 6, Block(stream, 400, 6));
    });
    RunCycle();
    const std::string site = "transfer from SiteID = " + std::to_string(SITE);
    EXPECT_EQ(progress, (std::vector<std::string>{site + ": 4 of 6 blocks, idle 0 s, gives up in 180 s",
                                                  site + ": 5 of 6 blocks, idle 0 s, gives up in 180 s"}));
    EXPECT_EQ(h.C().TransferSummary(), "");

    auto sent = Sent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[1], Reply(SITE, PT_SUBSTITUTE, Hex("00 02 02 05")));
    EXPECT_EQ(sent[1].size(), 15u);
    EXPECT_EQ(sent[2], Reply(SITE, PT_SUBSTITUTE, Hex("00 01 05")));
    EXPECT_EQ(sent[3], AckTo(SITE, 0));
    EXPECT_EQ(Stored(0, stream.size()), stream);
    ExpectAssembled(stream);
    EXPECT_EQ(ReportCount(), 1u);
}

TEST_F(TransferTest, TwentyBlocksIncludingBlockTwentyAreExpectedAndStored) {
    // 20 blocks of 440 bytes: block 20 starts at 8360 and holds the last axles.
    const Bytes stream = TrainStream(1190, 419, 5, 15);  // 8454 bytes
    ASSERT_GT(stream.size(), 19u * 440);
    Feed(Request(SITE, 20, 440));
    for (int n = 1; n <= 18; ++n) Data(SITE, static_cast<std::uint8_t>(n), Block(stream, 440, n));
    Bytes lost = MakeFrame(SITE, COLLECTOR_ID, 20, PT_DATA, Block(stream, 440, 20));
    lost[lost.size() - 2] ^= 0x01;  // bad checksum: dropped by the receiver
    Feed(lost);
    Last(SITE, 19, Block(stream, 440, 19));
    AfterPause(1, [&] { Last(SITE, 20, Block(stream, 440, 20)); });
    RunCycle();

    auto sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], Reply(SITE, PT_PROCEED, {20, 0xB8, 0x01}));
    EXPECT_EQ(sent[1], Reply(SITE, PT_SUBSTITUTE, {0, 1, 20}));
    EXPECT_EQ(sent[2], AckTo(SITE, 0));
    EXPECT_EQ(Stored(19 * 440, stream.size() - 19 * 440), Block(stream, 440, 20));
    EXPECT_EQ(t().blockBytesStored, stream.size());
    ExpectAssembled(stream);
}

TEST_F(TransferTest, BlocksWithoutAPlaceInTheBufferAreNeverWrittenOutsideIt) {
    // Blocks of 4000 bytes: block 3 starts at 8000 and only 1216 of its
    // bytes fit; block 0 and block 21 have no place at all.
    std::memset(t().blockBuffer, 0x77, BLOCK_BUFFER_SIZE);  // an earlier train
    Feed(Request(SITE, 3, 4000));
    Data(SITE, 0, Bytes(300, 0xA0));
    Data(SITE, 21, Bytes(300, 0xA1));
    Data(SITE, 1, Bytes(1500, 0x11));
    Data(SITE, 2, Bytes(1500, 0x22));
    Last(SITE, 3, Bytes(1500, 0x33));
    RunCycle();

    auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], AckTo(SITE, 0)) << "the cut block counts as received";
    // The block map right behind the buffer was not overrun.
    EXPECT_EQ(Bytes(t().blockMap, t().blockMap + 5), Hex("00 01 02 03 FF"));
    EXPECT_EQ(t().blockMap[BLOCK_MAP_SIZE - 1], BLOCK_MAP_NOT_EXPECTED);
    EXPECT_EQ(Stored(0, 1500), Bytes(1500, 0x11));
    EXPECT_EQ(Stored(1500, 2500), Bytes(2500, 0)) << "the gap after a short block reads as 0";
    EXPECT_EQ(Stored(8000, BLOCK_BUFFER_SIZE - 8000), Bytes(BLOCK_BUFFER_SIZE - 8000, 0x33));
    EXPECT_EQ(t().blockBytesStored, BLOCK_BUFFER_SIZE);

    auto errors = ErrorLines();
    ASSERT_EQ(errors.size(), 3u) << "block 0, block 21, the cut block";
    EXPECT_EQ(errors[0], "ERROR: Data block 0 from SiteID = 17 is outside blocks 1 to 20; "
                         "300 bytes dropped\n");
    EXPECT_EQ(errors[1].rfind("ERROR: Data block 21 ", 0), 0u);
    EXPECT_EQ(errors[2], "ERROR: Data block 3 from SiteID = 17 (1500 bytes at offset 8000) "
                         "passes the end of the 9216-byte block buffer; 1216 bytes kept\n");
}

TEST_F(TransferTest, BlockStartingPastTheBufferKeepsNothingButCompletes) {
    Feed(Request(SITE, 3, 5000));
    Data(SITE, 1, Bytes(10, 0x11));
    Data(SITE, 2, Bytes(10, 0x22));
    Last(SITE, 3, Bytes(10, 0x33));  // offset 10000
    RunCycle();
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], AckTo(SITE, 0));
    EXPECT_EQ(t().blockBytesStored, 5010u);
    EXPECT_EQ(ErrorLines().front(), "ERROR: Data block 3 from SiteID = 17 (10 bytes at offset "
                                    "10000) passes the end of the 9216-byte block buffer; "
                                    "0 bytes kept\n");
}

TEST_F(TransferTest, WhatTheServedSiteSendsBesidesItsBlocks) {
    const Bytes whole = TrainStream(12, 502, 9);
    Bytes allInOne(17, 0xEE);
    allInOne.insert(allInOne.end(), whole.begin(), whole.end());
    const Bytes fresh = TrainStream(300, 503, 10);  // 1624 bytes: two blocks of 900
    const struct {
        const char* name;
        std::function<void()> site;  // after its request for 3 blocks of 1000
        TransferOutcome outcome;
        std::vector<Bytes> sent;  // after the first grant
        std::vector<std::string> red;
        std::size_t reports;
        int givenUp;
        const Bytes* assembled;
    } cases[] = {
        {"request again before any block: the first grant again",
         [&] {
             Feed(Request(SITE, 5, 200));
             Feed(MakeFrame(SITE, COLLECTOR_ID, 0, PT_SEND_STATUS, {1}));  // ignored
             Data(SITE, 1, Block(kStream, 1000, 1));
             Data(SITE, 2, Block(kStream, 1000, 2));
             Last(SITE, 3, Block(kStream, 1000, 3));
         },
         TransferOutcome::Complete,
         {Reply(SITE, PT_PROCEED, {3, 0xE8, 0x03}), AckTo(SITE, 0)}, {}, 1, 0, &kStream},
        {"Powerup: the site restarted",
         [&] {
             Data(SITE, 1, Block(kStream, 1000, 1));
             Feed(MakeFrame(SITE, COLLECTOR_ID, 0, PT_POWERUP, Bytes(17, 1)));
         },
         TransferOutcome::Ended, {AckTo(SITE, 0)},
         {"Transfer from SiteID = 17 ended: the site powered up again\n"}, 0, 1, nullptr},
        {"All-in-One: the whole train instead",
         [&] {
             Data(SITE, 1, Block(kStream, 1000, 1));
             Feed(MakeFrame(SITE, COLLECTOR_ID, 9, PT_ALL_IN_ONE, allInOne));
         },
         TransferOutcome::Ended, {AckTo(SITE, 9)},
         {"Transfer from SiteID = 17 ended: the site sent a whole train\n"}, 1, 0, &whole},
        {"request after blocks: started over with another train",
         [&] {
             Data(SITE, 1, Block(kStream, 1000, 1));
             Data(SITE, 2, Block(kStream, 1000, 2));
             Feed(Request(SITE, 2, 900));
             Last(SITE, 2, Block(fresh, 900, 2));  // block 1 of the old train does not count
             Data(SITE, 1, Block(fresh, 900, 1));
             Last(SITE, 2, Block(fresh, 900, 2));
         },
         TransferOutcome::Complete,
         {Reply(SITE, PT_PROCEED, {2, 0x84, 0x03}), Reply(SITE, PT_SUBSTITUTE, {0, 1, 1}),
          AckTo(SITE, 0)},
         {"Transfer from SiteID = 17 started over: 2 blocks dropped\n"}, 1, 0, &fresh},
        {"request after blocks for too many blocks: refused",
         [&] {
             Data(SITE, 1, Block(kStream, 1000, 1));
             Feed(Request(SITE, 21, 100));
         },
         TransferOutcome::Ended, {Reply(SITE, PT_CANCEL, {1})},
         {"Transfer from SiteID = 17 started over: 1 blocks dropped\n"}, 0, 0, nullptr},
    };
    auto givenUp = [this] {
        const auto events = h.Events();
        return std::count_if(events.begin(), events.end(),
                             [](const EngineEvent& e) { return e.kind == EventKind::TransferGivenUp; });
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        h.window->Clear();
        const std::size_t reportsBefore = ReportCount();
        const auto givenUpBefore = givenUp();
        Feed(Request(SITE, 3, 1000));
        c.site();
        // As the worker takes a request in.
        ASSERT_EQ(ReceiveStep(h.Link(), 0), Received::Packet);
        ASSERT_TRUE(TakeTransferRequest(h.C()));
        EXPECT_EQ(RunTrainTransfer(h.C()), c.outcome);
        ResetReceiver(h.Link());

        auto sent = Sent();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.front(), Reply(SITE, PT_PROCEED, {3, 0xE8, 0x03}));
        EXPECT_EQ(std::vector<Bytes>(sent.begin() + 1, sent.end()), c.sent);
        EXPECT_EQ(ErrorLines(), c.red);
        EXPECT_EQ(ReportCount() - reportsBefore, c.reports);
        EXPECT_EQ(givenUp() - givenUpBefore, c.givenUp);
        if (c.assembled != nullptr) ExpectAssembled(*c.assembled);
        EXPECT_EQ(h.port->Pending(), 0u) << "the transfer read everything the site sent";
    }
    // A new start that was refused still dropped the old train's blocks.
    EXPECT_EQ(t().blockBytesStored, 0u);
    EXPECT_EQ(Stored(0, 1000), Bytes(1000, 0));
}

TEST_F(TransferTest, RequestForNoBlocksCompletesOnTheFirstLastDataPacket) {
    const Bytes stream = TrainStream(10, 420, 6);
    Feed(Request(SITE, 0, 1000));
    Last(SITE, 1, stream);
    RunCycle();
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], Reply(SITE, PT_PROCEED, {0, 0xE8, 0x03}));
    EXPECT_EQ(sent[1], AckTo(SITE, 0));
    ExpectAssembled(stream);
}

TEST_F(TransferTest, ShortTrainIsAssembledFromTheStoredBytesOnlyAndStillReported) {
    // The stream announces 400 axles (2124 bytes) but only 1500 bytes come.
    const Bytes stream = TrainStream(400, 421, 8);
    Feed(Request(SITE, 2, 1000));
    Data(SITE, 1, Block(stream, 1000, 1));
    Last(SITE, 2, Bytes(stream.begin() + 1000, stream.begin() + 1500));
    // Bytes an earlier train left behind the stored ones must not be read.
    std::memset(t().blockBuffer, 0x77, BLOCK_BUFFER_SIZE);
    RunCycle();

    auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], AckTo(SITE, 0));
    EXPECT_EQ(t().blockBytesStored, 1500u);
    auto errors = ErrorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("ERROR: Train data from SiteID = 17 is short (1500 bytes", 0), 0u);
    const AxleSlot& beyond = t().trainRecord.axleSlots[399];
    EXPECT_EQ(Bytes(beyond.bytes, beyond.bytes + 7), Bytes(7, 0));
    EXPECT_EQ(ReportCount(), 1u);
}

TEST_F(TransferTest, OtherSitesAreTurnedAwayButTheirTrainsAndPowerupsTakenIn) {
    const Bytes other = TrainStream(12, 500, 7);
    Bytes allInOne(17, 0xEE);  // payload bytes 0..16 are not read
    allInOne.insert(allInOne.end(), other.begin(), other.end());
    Bytes powerup = {0xD2, 0x04, 0xF4, 0x01, 1, 1};
    powerup.resize(17, 'X');

    Feed(Request(SITE, 3, 1000));
    Data(SITE, 1, Block(kStream, 1000, 1));
    Feed(Request(OTHER, 2, 100));
    Data(OTHER, 1, Bytes(100, 0x99));
    Last(OTHER, 2, Bytes(100, 0x98));
    Feed(MakeFrame(OTHER, COLLECTOR_ID, 0, PT_SEND_STATUS, {1}));
    Feed(MakeFrame(OTHER, COLLECTOR_ID, 0, PT_POWERUP, powerup));
    Feed(MakeFrame(OTHER, COLLECTOR_ID, 7, PT_ALL_IN_ONE, allInOne));
    Data(SITE, 2, Block(kStream, 1000, 2));
    Last(SITE, 3, Block(kStream, 1000, 3));
    RunCycle();

    auto sent = Sent();
    ASSERT_EQ(sent.size(), 8u);
    EXPECT_EQ(Head(sent[1], 9), Hex("55 AA FA 21 00 0C 00 05 1E"));
    EXPECT_EQ(sent[1], Reply(OTHER, PT_BUSY, {30}));
    EXPECT_EQ(sent[2], Reply(OTHER, PT_HOLD_OFF, {30}));
    EXPECT_EQ(sent[3], Reply(OTHER, PT_HOLD_OFF, {30}));
    EXPECT_EQ(sent[4], Reply(OTHER, PT_HOLD_OFF, {30}));
    EXPECT_EQ(sent[5], AckTo(OTHER, 0)) << "the Powerup is registered and acknowledged";
    EXPECT_EQ(sent[6], AckTo(OTHER, 7)) << "the All-in-One is acknowledged with its sequence byte";
    EXPECT_EQ(sent[7], AckTo(SITE, 0));

    // The other site's train did not disturb the blocks being collected.
    EXPECT_EQ(Stored(0, kStream.size()), kStream);
    ExpectAssembled(kStream);
    EXPECT_EQ(ReportCount(), 2u);
    EXPECT_EQ(t().transferSiteId, SITE);
}

TEST_F(TransferTest, GivesUpAfter360IdlePassesWithHoldOffToTheLastSpeaker) {
    // Packets do not reset the idle count; a packet for another collector
    // counts as idle and makes its sender the last one heard.
    Feed(Request(SITE, 3, 1000));
    AfterPause(200, [this] { Data(SITE, 1, Block(kStream, 1000, 1)); });
    AfterPause(300, [this] { Feed(MakeFrame(40, 99, 0, PT_POWERUP, Bytes(17, 0))); });
    RunCycle();

    EXPECT_EQ(h.clock.SleepCount(), 360u);
    EXPECT_EQ(h.clock.TotalSlept(), 180000u);
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(Head(sent[1], 9), Hex("55 AA FA 28 00 0C 00 08 00"));
    EXPECT_EQ(sent[1], Reply(40, PT_HOLD_OFF, {0}));
    EXPECT_EQ(ReportCount(), 0u);
}

TEST_F(TransferTest, EchoRequestedDuringATransferIsSentAfterIt) {
    Feed(Request(SITE, 3, 1000));
    AfterPause(1, [this] {
        h.C().RequestEcho(44, 40);
        Data(SITE, 1, Block(kStream, 1000, 1));
        Data(SITE, 2, Block(kStream, 1000, 2));
        Last(SITE, 3, Block(kStream, 1000, 3));
    });
    RunCycle();
    auto during = Sent();
    ASSERT_EQ(during.size(), 2u);
    EXPECT_EQ(during[1], AckTo(SITE, 0));
    EXPECT_TRUE(h.C().EchoRequested());

    RunCollectorCycle(h.C());  // the loop's next cycle
    auto after = Sent();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0][3], 44);
    EXPECT_EQ(after[0][7], PT_ECHO);
    EXPECT_FALSE(h.C().EchoRequested());
}

TEST_F(TransferTest, WorkerStopEndsATransferAtOnceWithoutHoldOffOrReport) {
    Feed(Request(SITE, 3, 1000));
    Data(SITE, 1, Block(kStream, 1000, 1));
    AfterPause(1, [this] {
        h.C().RequestStop();
        Data(SITE, 2, Block(kStream, 1000, 2));
        Last(SITE, 3, Block(kStream, 1000, 3));
    });
    RunCollectorLoop(h.C());  // returns only because the transfer and the loop saw the request

    EXPECT_EQ(h.clock.SleepCount(), 1u);
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u) << "only the grant: no ACK, no hold-off";
    EXPECT_EQ(sent[0][7], PT_PROCEED);
    EXPECT_EQ(ReportCount(), 0u);
}

TEST_F(TransferTest, WorkerStopIsSeenBetweenPacketsOfABurst) {
    Feed(Request(SITE, 3, 1000));
    h.C().RequestStop();  // made while the grant goes out, before any block is read
    Data(SITE, 1, Block(kStream, 1000, 1));
    Data(SITE, 2, Block(kStream, 1000, 2));
    Last(SITE, 3, Block(kStream, 1000, 3));
    t().requestedBlockCount = 3;
    t().requestedBlockSize = 1000;
    EXPECT_EQ(RunTrainTransfer(h.C()), TransferOutcome::Stopped);
    EXPECT_EQ(h.clock.SleepCount(), 0u);
    EXPECT_EQ(Sent().size(), 1u);
    EXPECT_GT(h.port->Pending(), 0u) << "nothing more was read";
}

TEST_F(TransferTest, GivesUpAfter180SecondsOfWaitingWhateverEndsThePausesEarly) {
    // Each pause ends when the next bytes arrive (`every` ms, 0 = never);
    // the give-up still comes after 180 s of waiting, not after 360 passes.
    Bytes bad = MakeFrame(SITE, COLLECTOR_ID, 1, PT_DATA, Bytes(50, 1));
    bad[bad.size() - 2] ^= 0x01;
    const struct {
        const char* name;
        std::uint32_t every;
        Bytes line;
    } cases[] = {
        {"silent site", 0, {}},
        {"frames for another collector", 70, MakeFrame(40, 99, 0, PT_POWERUP, Bytes(17, 0))},
        {"bad checksums", 130, bad},
        {"noise", 45, Hex("13 FE 00 AA 7F")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint8_t sink[4096];
        while (h.port->ReadBytes(sink, sizeof sink) > 0) {
        }
        h.clock.SetInputDelay(c.every);
        h.clock.SetSleepHook([&](std::uint32_t) { Feed(c.line); });
        Feed(Request(SITE, 3, 1000));
        const std::uint32_t start = h.clock.TickCount();
        RunCycle();
        EXPECT_NEAR(static_cast<double>(h.clock.TickCount() - start), 180000.0, 500.0);
        const auto sent = Sent();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[1], Reply(sent[1][3], PT_HOLD_OFF, {0}));
    }
}

TEST_F(TransferTest, AxlesTheStreamDidNotCarryReadZeroNotTheTrainBefore) {
    // A train of 40 hot axles, then one whose header counts 25 axles but
    // whose stream carries 10 records: axles 11 to 25 print zero readings.
    const Bytes hot = TrainStream(40, 600, 20);
    Bytes cut = TrainStream(10, 601, 21);
    WriteLe16(&cut[12 + 33], 25);
    for (bool blocks : {false, true}) {
        SCOPED_TRACE(blocks ? "blocks" : "All-in-One");
        for (const Bytes* stream : {&hot, static_cast<const Bytes*>(&cut)}) {
            if (blocks) {
                Feed(Request(SITE, 1, 1000));
                Last(SITE, 1, *stream);
            } else {
                Bytes payload(17, 0);
                payload.insert(payload.end(), stream->begin(), stream->end());
                Feed(MakeFrame(SITE, COLLECTOR_ID, 5, PT_ALL_IN_ONE, payload));
            }
            RunCycle();
        }
        const auto lines = h.window->Lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines.back(), "ERROR: Train data from SiteID = 17 announces 25 axles but carries "
                                "10 axle records; the others are reported as 0\n");
        EXPECT_EQ(lines[lines.size() - 2].rfind("Sending ACK to SiteID = 17", 0), 0u);
        EXPECT_EQ(ErrorLines().size(), 1u) << "none for the full train";
        h.window->Clear();

        std::ifstream in(std::filesystem::path(dir) / "Z918E" / "20261206_1421.GEM.HBD.00601.txt");
        std::vector<std::string> hbd;
        for (std::string line; std::getline(in, line);)
            if (line.rfind("HBD ", 0) == 0) hbd.push_back(line);
        ASSERT_EQ(hbd.size(), 25u);
        EXPECT_EQ(hbd[9].find(" F 0000 0000 E 000000"), std::string::npos);
        for (std::size_t i = 10; i < 25; ++i)
            EXPECT_NE(hbd[i].find(" 1 N N F 0000 0000 E 000000\r\r"), std::string::npos) << hbd[i];
    }
}
