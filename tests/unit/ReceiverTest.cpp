// The receiver's state machine over the byte patterns that break naive
// framers: resynchronisation, end bytes inside the payload, a wrong length
// field, the gap rule, the size limit, checksum failures, split frames.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "radio/Receiver.h"

using namespace testsupport;

namespace {

class ReceiverTest : public ::testing::Test {
protected:
    WorkerHarness h;
    RadioLink& link() { return h.Link(); }
    void Feed(const std::vector<std::uint8_t>& bytes) { h.port->Feed(bytes); }
    std::vector<std::uint8_t> Held() {
        return std::vector<std::uint8_t>(link().rx.rxBuffer.data(), link().rx.rxBuffer.data() + link().rx.rxCount);
    }
    std::vector<std::uint8_t> FieldDumps() {
        std::vector<std::uint8_t> all;
        for (auto& m : h.window->Messages())
            if (m.message == WM_LOG_FIELD_BYTES) all.insert(all.end(), m.bytes.begin(), m.bytes.end());
        return all;
    }
};

// A frame whose length field is `lengthField` but whose bytes are laid out
// for `actual` bytes in all (checksum computed over what is sent).
std::vector<std::uint8_t> FrameWithLengthField(std::uint16_t lengthField,
                                               const std::vector<std::uint8_t>& payload) {
    auto f = MakeFrame(9, 250, 0, 12, payload);
    f[5] = static_cast<std::uint8_t>(lengthField & 0xFF);
    f[6] = static_cast<std::uint8_t>(lengthField >> 8);
    const std::uint16_t sum = ComputeChecksum(f.data(), f.size() - 3);
    f[f.size() - 3] = static_cast<std::uint8_t>(sum & 0xFF);
    f[f.size() - 2] = static_cast<std::uint8_t>(sum >> 8);
    return f;
}

}  // namespace

TEST_F(ReceiverTest, ShortestFrameCompletesAndIsShownInTheScope) {
    const auto frame = MakeFrame(9, 250, 0, 12, {0x01});
    ASSERT_EQ(frame.size(), 12u);
    Feed(frame);
    ASSERT_TRUE(ReceivePacket(link()));
    EXPECT_EQ(Held(), frame);
    EXPECT_EQ(FieldDumps(), frame);
    EXPECT_EQ(LogPacket(link()), 12);
    EXPECT_EQ(link().header.sourceId, 9);
    EXPECT_TRUE(link().header.addressedToUs);
    EXPECT_EQ(link().header.frameLength, 12);
    EXPECT_NE(h.C().LinkNow().lastGoodFrame, 0) << "the link status saw the frame";
    EXPECT_EQ(h.window->Lines().back(), "Data Packet packet from SiteID = 9, sent to CollectorID = 250\n");
}

TEST_F(ReceiverTest, ResynchronisesOnStartBytes) {
    const auto frame = MakeFrame(9, 250, 3, 15, {1, 2, 3});
    // Noise, a lone AA, 55 55 AA, and 55 13 AA (byte 0 keeps the 55).
    for (const auto& prefix : std::vector<std::vector<std::uint8_t>>{
             {0x00, 0x13, 0xAA, 0xFE}, {0x55}, {0x55, 0x13}}) {
        ResetReceiver(link());
        link().rx.rxBuffer[0] = 0;
        std::vector<std::uint8_t> bytes = prefix;
        if (prefix == std::vector<std::uint8_t>{0x55, 0x13})
            bytes.insert(bytes.end(), frame.begin() + 1, frame.end());  // 55 13 AA ...
        else
            bytes.insert(bytes.end(), frame.begin(), frame.end());
        Feed(bytes);
        ASSERT_TRUE(ReceivePacket(link())) << prefix.size();
        EXPECT_EQ(Held(), frame);
    }
    // A good frame leaves 55 in byte 0, so a lone AA after it starts a frame.
    ResetReceiver(link());
    Feed(std::vector<std::uint8_t>(frame.begin() + 1, frame.end()));
    ASSERT_TRUE(ReceivePacket(link()));
    EXPECT_EQ(Held(), frame);
    EXPECT_TRUE(h.window->Lines().empty());  // noise is never reported
}

TEST_F(ReceiverTest, EndByteInsidePayloadDoesNotEndTheFrame) {
    const auto frame = MakeFrame(9, 250, 0, 11, {0xFE, 0xFE, 0x55, 0xAA, 0xFE, 7});
    Feed(frame);
    ASSERT_TRUE(ReceivePacket(link()));
    EXPECT_EQ(Held(), frame);
}

TEST_F(ReceiverTest, WrongLengthFieldWaitsForItsEndThenGapDropsIt) {
    // Twelve bytes on the line, but the length says 13: the FE at byte 12 is
    // only payload; the frame stays open until the gap rule drops it.
    Feed(FrameWithLengthField(13, {0x01}));
    EXPECT_FALSE(ReceivePacket(link()));
    EXPECT_EQ(link().rx.inPacket, 1);
    EXPECT_EQ(link().rx.rxCount, 12);
    h.clock.Advance(3001);
    const auto next = MakeFrame(4, 250, 0, 12, {0x02});
    Feed(next);
    ASSERT_TRUE(ReceivePacket(link()));
    EXPECT_EQ(Held(), next);
    ASSERT_FALSE(h.window->Lines().empty());
    EXPECT_EQ(h.window->Lines()[0],
              "Error: Too long delay in between chars (3001 ticks). Resetting Buffer\n");
}

TEST_F(ReceiverTest, GapRuleUsesTheFakeClockAndKeepsSplitFramesWithinLimit) {
    const auto frame = MakeFrame(9, 250, 0, 12, {1, 2, 3, 4, 5});
    const std::size_t half = frame.size() / 2;
    // Split over two polls 500 ms apart, then exactly 3000 ms: still one frame.
    for (std::uint32_t pause : {500u, 3000u}) {
        ResetReceiver(link());
        Feed(std::vector<std::uint8_t>(frame.begin(), frame.begin() + half));
        EXPECT_FALSE(ReceivePacket(link()));
        h.clock.Advance(pause);
        Feed(std::vector<std::uint8_t>(frame.begin() + half, frame.end()));
        ASSERT_TRUE(ReceivePacket(link())) << pause;
        EXPECT_EQ(Held(), frame);
    }
    EXPECT_TRUE(h.window->Lines().empty());

    // 3001 ms drops the frame; the byte that ended the gap becomes byte 0,
    // so a frame that restarts right there is caught.
    ResetReceiver(link());
    Feed(std::vector<std::uint8_t>(frame.begin(), frame.begin() + half));
    EXPECT_FALSE(ReceivePacket(link()));
    h.clock.Advance(3001);
    Feed(frame);
    ASSERT_TRUE(ReceivePacket(link()));
    EXPECT_EQ(Held(), frame);
    EXPECT_EQ(h.window->Lines(),
              std::vector<std::string>{
                  "Error: Too long delay in between chars (3001 ticks). Resetting Buffer\n"});
}

TEST_F(ReceiverTest, TickWrapGivesTheRightGap) {
    h.clock.SetTick(0xFFFFFF00u);
    ResetReceiver(link());
    const auto frame = MakeFrame(9, 250, 0, 12, {1});
    Feed(std::vector<std::uint8_t>(frame.begin(), frame.begin() + 4));
    EXPECT_FALSE(ReceivePacket(link()));
    h.clock.Advance(0x200);  // wraps past zero; the gap is 512 ms
    Feed(std::vector<std::uint8_t>(frame.begin() + 4, frame.end()));
    EXPECT_TRUE(ReceivePacket(link()));
}

TEST_F(ReceiverTest, FrameOf2046BytesCompletesAndOneMoreIsTooLong) {
    std::vector<std::uint8_t> payload(2046 - FRAME_OVERHEAD, 0x33);
    const auto biggest = MakeFrame(9, 250, 1, 12, payload);
    ASSERT_EQ(biggest.size(), 2046u);
    Feed(biggest);
    ASSERT_TRUE(ReceivePacket(link()));
    EXPECT_EQ(link().rx.rxCount, 2046);
    ResetReceiver(link());

    // A frame that claims 2047 bytes never completes: byte 2047 is dropped.
    payload.push_back(0x33);
    auto tooLong = FrameWithLengthField(2047, payload);
    Feed(tooLong);
    EXPECT_FALSE(ReceivePacket(link()));
    EXPECT_EQ(link().rx.inPacket, 0);
    EXPECT_EQ(h.window->Lines(),
              std::vector<std::string>{"ERROR: Packet is too long (2046 bytes)! Resetting buffer\n"});
    // The receiver is usable again straight away.
    const auto good = MakeFrame(9, 250, 2, 12, {9});
    Feed(good);
    ASSERT_TRUE(ReceivePacket(link()));
    EXPECT_EQ(Held(), good);
}

TEST_F(ReceiverTest, BadChecksumIsReportedNotShownNotLogged) {
    auto frame = MakeFrame(9, 250, 0, 12, {0x01});
    frame[8] ^= 0x40;  // payload damaged in flight
    const std::uint16_t computed = ComputeChecksum(frame.data(), frame.size() - 3);
    const std::uint16_t stored = ReadLe16(frame.data() + frame.size() - 3);
    Feed(frame);
    EXPECT_FALSE(ReceivePacket(link()));
    char expected[64];
    std::snprintf(expected, sizeof expected, "ERROR: Bad Checksum (is %04X ShouldBe %04X)\n", stored,
                  computed);
    EXPECT_EQ(h.window->Lines(),
              (std::vector<std::string>{expected, "ERROR: BAD Chcksum, Packet with 12 bytes.\n"}));
    EXPECT_TRUE(FieldDumps().empty());
    for (auto& m : h.window->Messages()) EXPECT_EQ(m.wParam, COLOUR_DARK_RED);
    EXPECT_EQ(link().rx.rxCount, 0);
}

TEST_F(ReceiverTest, OnlyOneFrameIsTakenPerCallAndUnknownTypesGetAName) {
    const auto a = MakeFrame(9, 17, 0, 99, {1});
    const auto b = MakeFrame(10, 250, 0, 15, {2});
    std::vector<std::uint8_t> both = a;
    both.insert(both.end(), b.begin(), b.end());
    Feed(both);
    ASSERT_TRUE(ReceivePacket(link()));
    EXPECT_EQ(Held(), a);
    EXPECT_EQ(h.port->Pending(), b.size());
    LogPacket(link());
    EXPECT_FALSE(link().header.addressedToUs);
    EXPECT_EQ(h.window->Lines().back(),
              "Unkwn Code 99 packet from SiteID = 9, sent to CollectorID = 17\n");
    EXPECT_EQ(h.window->Messages().back().wParam, COLOUR_DARK_BLUE);
    ResetReceiver(link());
    ASSERT_TRUE(ReceivePacket(link()));
    EXPECT_EQ(Held(), b);
}

TEST_F(ReceiverTest, FrameArrivingOneByteAPollIsTheSameFrame) {
    // Every split point, including inside the header before the length field
    // is known and inside the block that follows it.
    const auto frame = MakeFrame(9, 250, 5, 11, {0x55, 0xAA, 0xFE, 1, 2, 3, 0xFE});
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
        EXPECT_FALSE(ReceivePacket(link()));
        h.port->Feed(&frame[i], 1);
        EXPECT_FALSE(ReceivePacket(link())) << i;
        h.clock.Advance(100);
    }
    h.port->Feed(&frame.back(), 1);
    ASSERT_TRUE(ReceivePacket(link()));
    EXPECT_EQ(Held(), frame);
    EXPECT_EQ(h.port->Pending(), 0u);
}

// The lexer alone: a stream fed byte by byte and in chunks of any size gives
// the same frames and drops, in the same order. Each row is one stream,
// with the tick every byte arrives at (a step in the tick makes a gap).
TEST(FrameLexerTest, ByteByByteAndAnyChunksGiveTheSameFrames) {
    using Bytes = std::vector<std::uint8_t>;
    const Bytes good = MakeFrame(9, 250, 1, 12, {0x55, 0xAA, 0xFE, 7});
    Bytes bad = MakeFrame(9, 250, 2, 13, {1, 2, 3});
    bad[bad.size() - 3] ^= 0xFF;
    const Bytes big = MakeFrame(9, 250, 0, 12, Bytes(2046 - 11, 0x42));
    Bytes tooLong = good;
    tooLong[5] = 0x00;  // length field 0x1000: never ends before the limit
    tooLong[6] = 0x10;
    tooLong.resize(2100, 0x11);
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    struct Row {
        const char* name;
        Bytes stream;
        std::size_t gapAt;  // the byte from which the tick is 3001 later (0: none)
        std::size_t frames;
    };
    const std::vector<Row> rows = {
        {"noise and two frames", cat({{0x00, 0xFE, 0xAA, 0x55, 0x13}, good, good}), 0, 2},
        {"bad checksum then good", cat({bad, good}), 0, 1},
        {"largest frame", cat({big, good}), 0, 2},
        {"too long then good", cat({tooLong, good}), 0, 1},
        {"gap inside a frame", cat({good, good}), good.size() + 6, 1},
    };
    using Seen = std::vector<std::pair<FrameLexer::Event, Bytes>>;
    auto run = [](const Row& row, std::size_t chunk) {
        FrameLexer lexer;
        Seen seen;
        std::size_t at = 0;
        while (at < row.stream.size()) {
            std::size_t n = chunk == 0 ? 1 : std::min(chunk, row.stream.size() - at);
            // Bytes before and after a gap are never read together.
            if (row.gapAt > at && at + n > row.gapAt) n = row.gapAt - at;
            const std::uint32_t tick = row.gapAt != 0 && at >= row.gapAt ? 4001 : 1000;
            FrameLexer::Event e = FrameLexer::Event::None;
            at += chunk == 0 ? (e = lexer.Feed(row.stream[at], tick), 1)
                             : lexer.Feed(row.stream.data() + at, n, tick, &e);
            if (e == FrameLexer::Event::None) continue;
            Bytes held;
            if (e == FrameLexer::Event::Frame) {
                held.assign(lexer.rxBuffer.begin(), lexer.rxBuffer.begin() + lexer.rxCount);
                lexer.Reset(tick);
            }
            seen.emplace_back(e, held);
        }
        return seen;
    };
    for (const Row& row : rows) {
        const Seen byByte = run(row, 0);
        std::size_t frames = 0;
        for (const auto& s : byByte) frames += s.first == FrameLexer::Event::Frame ? 1 : 0;
        EXPECT_EQ(frames, row.frames) << row.name;
        for (std::size_t chunk : {1u, 2u, 3u, 7u, 13u, 500u, 5000u})
            EXPECT_EQ(run(row, chunk), byByte) << row.name << ", chunks of " << chunk;
    }
}
