#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"
#include "radio/Frame.h"

using testsupport::Hex;

TEST(Checksum, CheckValues) {
    const auto* abc = reinterpret_cast<const std::uint8_t*>("abc");
    const auto* digits = reinterpret_cast<const std::uint8_t*>("123456789");
    EXPECT_EQ(ComputeChecksum(abc, 3), 0x3FAC);
    EXPECT_EQ(ComputeChecksum(digits, 9), 0x86F8);
    EXPECT_EQ(ComputeChecksum(abc, 0), 0);  // not 0xFFFF: no final inversion
}

TEST(Frame, WorkedCancelFrameAndPayloadCarriedUnstuffed) {
    std::uint8_t out[64];
    const std::uint8_t one = 1;
    ASSERT_EQ(BuildFrame(out, sizeof out, 250, 7, 0, 3, &one, 1), 12u);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 12), Hex("55 AA FA 07 00 0C 00 03 01 1B 8D FE"));

    // Start and end bytes inside the payload are carried as they are.
    const std::uint8_t payload[] = {0xFE, 0x55, 0xAA, 0xFE};
    ASSERT_EQ(BuildFrame(out, sizeof out, 9, 250, 0, 12, payload, 4), 15u);
    EXPECT_EQ(0, std::memcmp(out + 8, payload, 4));
}

TEST(Frame, FrameThatDoesNotFitIsNeverCut) {
    std::uint8_t out[16] = {};
    const std::uint8_t payload[] = {0xFE, 0x55, 0xAA, 0xFE};
    EXPECT_EQ(BuildFrame(out, 14, 9, 250, 0, 12, payload, 4), 0u);
    // Appended bit by bit, one byte past the buffer: nothing is built cut
    // short or written past the buffer, and the builder tells the sender
    // what it would have needed (the sender logs it).
    std::memset(out, 0xEE, sizeof out);
    FrameBuilder frame(out, 15, 250, 7, 0, 31);
    for (std::uint8_t b : payload) frame.Append(b);
    frame.Append(1);
    EXPECT_EQ(frame.Finish(), 0u);
    EXPECT_EQ(frame.Requested(), 16u);
    EXPECT_EQ(frame.Capacity(), 15u);
    EXPECT_EQ(std::vector<std::uint8_t>(out + 5, out + 16), Hex("00 00 1F FE 55 AA FE EE EE EE EE"))
        << "no length, checksum or end byte written, nothing past the buffer";
}

TEST(Frame, PacketTypeNames) {
    EXPECT_STREQ(KnownPacketTypeName(10), "Request to Transmit");
    EXPECT_STREQ(KnownPacketTypeName(15), "Powerup");
    EXPECT_STREQ(KnownPacketTypeName(50), "Bridge Extend Time");
    EXPECT_EQ(KnownPacketTypeName(99), nullptr);
    EXPECT_EQ(KnownPacketTypeName(1), nullptr);  // a code the collector sends, not receives
}
