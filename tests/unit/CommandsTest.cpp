// The frames the collector puts on the air, byte for byte.
#include <gtest/gtest.h>

#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "engine/Transfer.h"
#include "radio/Commands.h"

using namespace testsupport;

namespace {

class CommandsTest : public ::testing::Test {
protected:
    WorkerHarness h;
    RadioLink& link() { return h.Link(); }
    std::uint8_t* blockMap() { return h.Transfer().blockMap; }
    // The frame on the wire must also be the one shown in the scope.
    std::vector<std::uint8_t> Sent() {
        auto wire = h.port->TakeWritten();
        auto msgs = h.window->Messages();
        std::vector<std::uint8_t> shown;
        for (auto& m : msgs)
            if (m.message == WM_LOG_COLLECT_BYTES) shown = m.bytes;
        EXPECT_EQ(wire, shown);
        return wire;
    }
    // A frame is well formed: its length field, checksum and end byte agree.
    static void ExpectWellFormed(const std::vector<std::uint8_t>& f) {
        ASSERT_GE(f.size(), FRAME_OVERHEAD + 1);
        EXPECT_EQ(ReadLe16(f.data() + 5), f.size());
        EXPECT_EQ(ReadLe16(f.data() + f.size() - 3), ComputeChecksum(f.data(), f.size() - 3));
        EXPECT_EQ(f.back(), 0xFE);
        EXPECT_EQ(f[2], 250);
    }
};

}  // namespace

TEST_F(CommandsTest, GrantCancelBusyHoldOff) {
    SendProceedToTransmit(link(), 17, 3, 1000);
    auto grant = Sent();
    ASSERT_EQ(grant.size(), 14u);
    EXPECT_EQ(std::vector<std::uint8_t>(grant.begin(), grant.begin() + 11),
              Hex("55 AA FA 11 00 0E 00 07 03 E8 03"));
    ExpectWellFormed(grant);

    // Only the low 16 bits of the size go out.
    SendProceedToTransmit(link(), 17, 1, 0x12345);
    EXPECT_EQ(ReadLe16(Sent().data() + 9), 0x2345);

    SendCancel(link(), 7);
    EXPECT_EQ(Sent(), Hex("55 AA FA 07 00 0C 00 03 01 1B 8D FE"));

    SendCancel(link(), 5);
    auto cancel = Sent();
    EXPECT_EQ(cancel.size(), 12u);
    EXPECT_EQ(cancel[7], 3);
    EXPECT_EQ(cancel[8], 1);

    SendBusy(link(), 5);
    auto busy = Sent();
    SendHoldOff(link(), 6, 0);
    auto holdOff = Sent();
    ExpectWellFormed(busy);
    ExpectWellFormed(holdOff);
    EXPECT_EQ(busy.size(), 12u);
    EXPECT_EQ(busy[7], 5);
    EXPECT_EQ(busy[8], 30);
    EXPECT_EQ(holdOff.size(), 12u);
    EXPECT_EQ(holdOff[3], 6);
    EXPECT_EQ(holdOff[7], 8);
    EXPECT_EQ(holdOff[8], 0);
}

TEST_F(CommandsTest, LogLinesArePurpleAndExact) {
    SendProceedToTransmit(link(), 200, 3, 1000);
    SendCancel(link(), 5);
    SendAck(link(), 9, 42);
    SendSubstitute(link(), 9, blockMap());
    SendEcho(link(), 255, 40);
    SendBusy(link(), 5);
    SendHoldOff(link(), 6, 30);
    EXPECT_EQ(h.window->Lines(),
              (std::vector<std::string>{"Sending \"Proceed to Transmit\" to SiteID = 200 \n",
                                        "Sending CANCEL to SiteID = 5 \n",
                                        "Sending ACK to SiteID = 9 TrackNum = 42\n",
                                        "Sending \"Substitude\" to SiteID = 9\n",
                                        "Sending \"ECHO\" to SiteID = 255 \n",
                                        "Sending BUSY to SiteID = 5\n",
                                        "Sending HOLD-OFF 30 to SiteID = 6\n"}));
    for (auto& m : h.window->Messages()) {
        if (m.message == WM_LOG_TEXT) {
            EXPECT_EQ(m.wParam, COLOUR_PURPLE);
        }
    }
}

TEST_F(CommandsTest, SubstitudeListsEveryMissingBlockUpToTwenty) {
    std::fill(blockMap(), blockMap() + BLOCK_MAP_SIZE, 0xFF);
    for (int n = 1; n <= 6; ++n) blockMap()[n] = static_cast<std::uint8_t>(n);
    blockMap()[2] = 0;
    blockMap()[5] = 0;
    SendSubstitute(link(), 12, blockMap());
    auto f = Sent();
    ASSERT_EQ(f.size(), 15u);
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin() + 7, f.begin() + 12), Hex("04 00 02 02 05"));
    ExpectWellFormed(f);

    // A 20-block transfer missing its last block asks for block 20 too.
    for (int n = 1; n <= 20; ++n) blockMap()[n] = static_cast<std::uint8_t>(n);
    blockMap()[20] = 0;
    blockMap()[1] = 0;
    SendSubstitute(link(), 12, blockMap());
    f = Sent();
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin() + 8, f.begin() + 12), Hex("00 02 01 14"));
}

TEST_F(CommandsTest, AckCarriesTrackAndLocalClock) {
    h.clock.SetTime(LocalTime(2026, 12, 6, 14, 3, 9));
    SendAck(link(), 33, 7);
    auto f = Sent();
    ASSERT_EQ(f.size(), 19u);
    ExpectWellFormed(f);
    EXPECT_EQ(f[7], 1);
    EXPECT_EQ(f[8], 0);
    EXPECT_EQ(f[9], 7);
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin() + 10, f.begin() + 16), Hex("0E 03 09 0C 06 1A"));
}

TEST(AckClock, ConversionFailuresGiveTheFallbackBytes) {
    std::uint8_t out[6];
    ComputeAckTimeBytes(LocalTime(2026, 12, 6, 14, 3, 9), out);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 6), Hex("0E 03 09 0C 06 1A"));
    ComputeAckTimeBytes(LocalTime(1999, 1, 31, 23, 59, 59), out);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 6), Hex("17 3B 3B 01 1F FF"));  // 1999 - 2000 = -1

    // Past the year 9999 there is no OLE date; past int years, no local time.
    ComputeAckTimeBytes(LocalTime(10000, 1, 1, 0, 0, 0), out);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 6), Hex("FF FF FF FF FF 2F"));
    ComputeAckTimeBytes(std::numeric_limits<std::time_t>::max(), out);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 6), Hex("FF FF FF FF FF 2F"));
}

TEST(AckClock, OleDateRoundTrip) {
    double ole = 0;
    ASSERT_TRUE(DateTimeToOleDate(1899, 12, 30, 0, 0, 0, &ole));
    EXPECT_EQ(ole, 0.0);
    ASSERT_TRUE(DateTimeToOleDate(1900, 1, 1, 18, 0, 0, &ole));
    EXPECT_DOUBLE_EQ(ole, 2.75);
    ASSERT_TRUE(DateTimeToOleDate(1899, 12, 29, 6, 0, 0, &ole));
    EXPECT_DOUBLE_EQ(ole, -1.25);  // the time of day counts away from zero
    EXPECT_FALSE(DateTimeToOleDate(2026, 2, 29, 0, 0, 0, &ole));
    EXPECT_FALSE(DateTimeToOleDate(2026, 1, 1, 0, 0, 60, &ole));

    int y, mo, d, hh, mi, s;
    for (int second : {0, 1, 29, 59}) {
        ASSERT_TRUE(DateTimeToOleDate(2026, 12, 31, 23, 59, second, &ole));
        ASSERT_TRUE(OleDateToDateTime(ole, &y, &mo, &d, &hh, &mi, &s));
        EXPECT_EQ((std::vector<int>{y, mo, d, hh, mi, s}),
                  (std::vector<int>{2026, 12, 31, 23, 59, second}));
    }
    ASSERT_TRUE(OleDateToDateTime(-1.25, &y, &mo, &d, &hh, &mi, &s));
    EXPECT_EQ((std::vector<int>{y, mo, d, hh}), (std::vector<int>{1899, 12, 29, 6}));
}

TEST_F(CommandsTest, EchoFramesAndLengthCorrection) {
    EXPECT_EQ(SendEcho(link(), 21, 40), 40);
    auto f = Sent();
    ASSERT_EQ(f.size(), 260u);
    ExpectWellFormed(f);
    EXPECT_EQ(f[3], 21);
    EXPECT_EQ(f[7], 31);
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin() + 8, f.begin() + 11), Hex("01 28 00"));
    const std::string text(f.begin() + 11, f.end() - 3);
    EXPECT_EQ(text.size(), 41u * 6);
    EXPECT_EQ(text.substr(0, 12), "100 . 101 . ");
    EXPECT_EQ(text.substr(text.size() - 6), "140 . ");

    for (int bad : {5, 2000, -1}) {
        EXPECT_EQ(SendEcho(link(), 21, bad), 200);
        f = Sent();
        ASSERT_EQ(f.size(), 14u + 6 * 201) << bad;
        ExpectWellFormed(f);
        // Numbers wrap after 255: group 156 is "  0 . ".
        EXPECT_EQ(std::string(f.begin() + 11 + 156 * 6, f.begin() + 11 + 157 * 6), "  0 . ");
    }

    // The largest echo (1000) fits the transmit buffer whole.
    EXPECT_EQ(SendEcho(link(), 21, 1000), 1000);
    f = Sent();
    ASSERT_EQ(f.size(), 6020u);
    ExpectWellFormed(f);
}
