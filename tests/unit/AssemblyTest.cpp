// Train data assembly: current and legacy axle records, the legacy header
// translation and alarm entries, reuse of the record across trains (nothing
// of an earlier train survives), and streams whose counts ask for more bytes
// than arrived.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "engine/Assembly.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A train data stream: the prefix, then whatever the test appends.
Bytes Prefix(std::uint8_t version, std::uint8_t headerLength, std::uint8_t kind,
             std::uint16_t axleRecords, std::uint16_t alarms = 0) {
    return {version, headerLength, kind, 0,
            static_cast<std::uint8_t>(axleRecords & 0xFF), static_cast<std::uint8_t>(axleRecords >> 8), 0,
            static_cast<std::uint8_t>(alarms & 0xFF), static_cast<std::uint8_t>(alarms >> 8), 0, 0, 0};
}

void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

Bytes SlotBytes(const AxleSlot& s) { return Bytes(s.bytes, s.bytes + AXLE_SLOT_SIZE); }

// The legacy header used below: 60 bytes; bytes 39-42 select 4- or 5-byte
// axle records.
Bytes LegacyHeader(bool fiveByteRecords) {
    Bytes h(60, 0);
    if (fiveByteRecords) h[41] = 1;
    return h;
}

class AssemblyTest : public ::testing::Test {
protected:
    std::unique_ptr<TrainRecord> record = std::make_unique<TrainRecord>();
    bool AllInOne(const Bytes& s) { return AssembleAllInOne(*record, s.data(), s.size()); }
    bool FromBlocks(const Bytes& s) { return AssembleFromBlocks(*record, s.data(), s.size()); }
    // Marks every slot, so what an assembly leaves untouched shows.
    void MarkAllSlots(std::uint8_t value) {
        for (auto& s : record->axleSlots) std::memset(s.bytes, value, AXLE_SLOT_SIZE);
    }
};

}  // namespace

TEST_F(AssemblyTest, CurrentFormatAxleRecords) {
    MarkAllSlots(0x77);
    Bytes s = Prefix(2, 3, 16, 2);
    Append(s, {0xA1, 0xA2, 0xA3});
    Append(s, {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 1, 2, 3, 4, 5});
    EXPECT_TRUE(AllInOne(s));
    EXPECT_EQ(Bytes(record->prefix, record->prefix + 12), Prefix(2, 3, 16, 2));
    EXPECT_EQ(record->header[0], 0xA1);
    EXPECT_EQ(record->header[2], 0xA3);
    EXPECT_EQ(record->header[3], 0);
    EXPECT_EQ(SlotBytes(record->axleSlots[0]), (Bytes{0x0A, 0x0B, 0, 0, 0x0C, 0x0D, 0x0E}));
    EXPECT_EQ(SlotBytes(record->axleSlots[1]), (Bytes{1, 2, 0, 0, 3, 4, 5}));
    EXPECT_EQ(SlotBytes(record->axleSlots[2]), Bytes(7, 0)) << "slots beyond are cleared";
    EXPECT_EQ(SlotBytes(record->axleSlots[1199]), Bytes(7, 0));

    s = Prefix(2, 0, 15, 1);
    Append(s, {1, 2, 3, 4, 5, 6, 7});
    EXPECT_TRUE(AllInOne(s));
    EXPECT_EQ(SlotBytes(record->axleSlots[0]), (Bytes{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(SlotBytes(record->axleSlots[1]), Bytes(7, 0)) << "nothing of the train before";

    // An unknown kind clears every slot and fills none.
    MarkAllSlots(0x77);
    s = Prefix(2, 0, 17, 2);
    Append(s, Bytes(14, 0x55));
    EXPECT_TRUE(AllInOne(s));
    EXPECT_EQ(SlotBytes(record->axleSlots[0]), Bytes(7, 0));
    EXPECT_EQ(SlotBytes(record->axleSlots[1]), Bytes(7, 0));
    EXPECT_EQ(SlotBytes(record->axleSlots[2]), Bytes(7, 0));

    // The transfer path reads the current format the same way.
    s = Prefix(2, 0, 16, 1);
    Append(s, {9, 8, 7, 6, 5});
    EXPECT_TRUE(FromBlocks(s));
    EXPECT_EQ(SlotBytes(record->axleSlots[0]), (Bytes{9, 8, 0, 0, 7, 6, 5}));
}

TEST_F(AssemblyTest, AxleCountIsCappedAtTheSlotTable) {
    MarkAllSlots(0x77);
    Bytes s = Prefix(2, 0, 16, 1500);
    for (int i = 0; i < 1500; ++i) Append(s, {1, 1, 1, 1, 1});
    EXPECT_TRUE(AllInOne(s));
    EXPECT_EQ(SlotBytes(record->axleSlots[1199]), (Bytes{1, 1, 0, 0, 1, 1, 1}));

    MarkAllSlots(0x77);
    EXPECT_TRUE(AllInOne(Prefix(2, 0, 16, 0)));
    EXPECT_EQ(SlotBytes(record->axleSlots[0]), Bytes(7, 0)) << "count 0 fills nothing, clears all";
}

TEST_F(AssemblyTest, HeaderLengthOtherThanTheHeaderSize) {
    Bytes s = Prefix(2, 112, 16, 0);
    Append(s, Bytes(112, 0xAA));
    EXPECT_TRUE(AllInOne(s));
    EXPECT_EQ(record->header[111], 0xAA);

    // A shorter header leaves the rest of the header at 0 whatever was there.
    s = Prefix(2, 100, 16, 0);
    Append(s, Bytes(100, 0xBB));
    EXPECT_TRUE(AllInOne(s));
    EXPECT_EQ(record->header[99], 0xBB);
    for (std::size_t i = 100; i < 112; ++i) EXPECT_EQ(record->header[i], 0) << i;

    // A longer header keeps its first 112 bytes; the axle records still
    // begin right after all 120.
    s = Prefix(2, 120, 16, 1);
    Bytes header(120);
    for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(i);
    Append(s, header);
    Append(s, {0x0A, 0x0B, 0x0C, 0x0D, 0x0E});
    EXPECT_TRUE(AllInOne(s));
    EXPECT_EQ(Bytes(record->header, record->header + 112), Bytes(header.begin(), header.begin() + 112));
    EXPECT_EQ(SlotBytes(record->axleSlots[0]), (Bytes{0x0A, 0x0B, 0, 0, 0x0C, 0x0D, 0x0E}));
}

TEST_F(AssemblyTest, LegacyAxleRecordsAndAlarmCodes) {
    MarkAllSlots(0x77);
    Bytes s = Prefix(1, 60, 0, 1);
    Append(s, LegacyHeader(false));
    Append(s, {0x11, 0x22, 0x33, 0x44});
    EXPECT_TRUE(AllInOne(s));
    EXPECT_EQ(record->header[1], 0);
    EXPECT_EQ(SlotBytes(record->axleSlots[0]), (Bytes{0x11, 0x22, 0, 0, 0x33, 0, 0x44}));
    EXPECT_EQ(SlotBytes(record->axleSlots[1]), Bytes(7, 0));

    // 5-byte records: the fifth byte is the axle's alarm code.
    s = Prefix(1, 60, 0, 3);
    Append(s, LegacyHeader(true));
    Append(s, {0x11, 0x22, 0x33, 0x44, 0xC0});
    Append(s, {0x11, 0x22, 0x33, 0x44, 0x40});
    Append(s, {0x11, 0x22, 0x33, 0x44, 0x3F});
    EXPECT_TRUE(AllInOne(s));
    EXPECT_EQ(record->header[1], 1);
    EXPECT_EQ(SlotBytes(record->axleSlots[0]), (Bytes{0xFF, 0xFF, 0, 0, 0x33, 0, 0x44}));
    EXPECT_EQ(SlotBytes(record->axleSlots[1]), (Bytes{0xFF, 0x22, 0, 0, 0x33, 0, 0x44}));
    EXPECT_EQ(SlotBytes(record->axleSlots[2]), (Bytes{0x11, 0x22, 0, 0, 0x33, 0, 0x44}));
}

TEST_F(AssemblyTest, LegacyAlarmEntries) {
    MarkAllSlots(0x00);
    // Axle numbers count from 1: axle 1 is slot 0; axles 0 and 1200 name no slot.
    Bytes s = Prefix(1, 60, 0, 2, 4);
    Append(s, LegacyHeader(false));
    Append(s, {1, 2, 3, 4, 5, 6, 7, 8});
    Append(s, {1, 0, 0x40});
    Append(s, {2, 0, 0x80});
    Append(s, {0, 0, 0xC0});
    Append(s, {0xB0, 0x04, 0xC0});  // 1200
    EXPECT_TRUE(AllInOne(s));
    EXPECT_EQ(SlotBytes(record->axleSlots[0]), (Bytes{0xFF, 2, 0, 0, 3, 0, 4}));
    EXPECT_EQ(SlotBytes(record->axleSlots[1]), (Bytes{5, 0xFF, 0, 0, 7, 0, 8}));
    EXPECT_EQ(SlotBytes(record->axleSlots[1199]), Bytes(7, 0));
    EXPECT_EQ(record->alarmCount(), 4);

    // An entry may name an axle this train did not fill (1199 = last slot):
    // it marks the cleared slot.
    MarkAllSlots(0x77);
    s = Prefix(1, 60, 0, 0, 1);
    Append(s, LegacyHeader(false));
    Append(s, {0xAF, 0x04, 0x40});
    EXPECT_TRUE(AllInOne(s));
    EXPECT_EQ(SlotBytes(record->axleSlots[1198]), (Bytes{0xFF, 0, 0, 0, 0, 0, 0}));

    // With 5-byte records no alarm entries are read.
    s = Prefix(1, 60, 0, 1, 1);
    Append(s, LegacyHeader(true));
    Append(s, {1, 2, 3, 4, 0});
    Append(s, {1, 0, 0xC0});
    EXPECT_TRUE(AllInOne(s));
    EXPECT_EQ(SlotBytes(record->axleSlots[0]), (Bytes{1, 2, 0, 0, 3, 0, 4}));
}

TEST_F(AssemblyTest, LegacyAlarmListIsCappedAtForty) {
    MarkAllSlots(0x00);
    Bytes s = Prefix(1, 60, 0, 0, 50);
    Append(s, LegacyHeader(false));
    for (std::uint8_t a = 1; a <= 50; ++a) Append(s, {a, 0, 0x40});
    EXPECT_TRUE(AllInOne(s));
    EXPECT_EQ(record->alarmCount(), 40);
    EXPECT_EQ(record->axleSlots[39].bytes[0], 0xFF);
    EXPECT_EQ(record->axleSlots[40].bytes[0], 0x00);
}

// What the site announced, kept apart from the slots: the current format's
// entries as received (those the stream is too short for left out), a
// legacy stream's codes as the assembly applies them.
TEST_F(AssemblyTest, SiteAlarmEntriesAsAnnounced) {
    const auto read = [](const Bytes& s, bool blocks = false) {
        return ReadSiteAlarmEntries(s.data(), s.size(), blocks);
    };
    Bytes s = Prefix(2, 4, 16, 1, 3);
    Append(s, {0, 0, 0, 0});
    Append(s, {1, 2, 3, 4, 5});
    Append(s, {0x01, 0x00, 0x34, 0x12, 0xB0, 0x04, 0xFF, 0xFF, 9, 0});
    EXPECT_EQ(read(s), (std::vector<SiteAlarmEntry>{{1, 0x1234, false}, {1200, 0xFFFF, false}}));
    EXPECT_EQ(read(s, true).size(), 2u);

    s = Prefix(1, 60, 0, 3);
    Append(s, LegacyHeader(true));
    Append(s, {1, 2, 3, 4, 0xC0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 0x40});
    EXPECT_EQ(read(s), (std::vector<SiteAlarmEntry>{{1, 0xC0, true}, {3, 0x40, true}}));
    EXPECT_TRUE(read(s, true).empty());

    s = Prefix(1, 60, 0, 1, 50);
    Append(s, LegacyHeader(false));
    Append(s, {1, 2, 3, 4});
    // An entry whose code is 0 sets nothing, so it announces nothing.
    for (std::uint8_t a = 1; a <= 50; ++a) Append(s, {a, 0, static_cast<std::uint8_t>(a == 2 ? 0 : 0x80)});
    const auto legacy = read(s);
    ASSERT_EQ(legacy.size(), 39u);
    EXPECT_EQ(legacy[1], (SiteAlarmEntry{3, 0x80, true}));
    EXPECT_EQ(legacy[38], (SiteAlarmEntry{40, 0x80, true}));
}

TEST_F(AssemblyTest, LegacyHeaderTranslation) {
    Bytes legacy(60);
    for (std::size_t i = 0; i < legacy.size(); ++i) legacy[i] = static_cast<std::uint8_t>(0x10 + i);
    legacy[6] = 126;  // years counted from 1900
    legacy[11] = 99;  // wraps below 0
    // The four limited values at 45-46 .. 51-52: 0x3E3D, 200, 255, 256.
    legacy[47] = 200, legacy[48] = 0;
    legacy[49] = 255, legacy[50] = 0;
    legacy[51] = 0, legacy[52] = 1;
    Bytes s = Prefix(0, 60, 0, 0);
    Append(s, legacy);
    // Fill the header first: bytes the translation does not name must be 0.
    std::memset(record->header, 0xEE, TRAIN_HEADER_SIZE);
    ASSERT_TRUE(AllInOne(s));

    std::uint8_t expected[TRAIN_HEADER_SIZE] = {};
    const std::pair<int, int> copies[] = {
        {2, 1},   {3, 2},   {4, 55},  {5, 53},  {6, 54},  {7, 56},  {8, 57},  {9, 58},  {10, 59},
        {11, 3},  {13, 4},  {14, 5},  {16, 7},  {17, 8},  {18, 9},  {19, 10}, {22, 12}, {23, 13},
        {24, 14}, {25, 15}, {27, 16}, {28, 16}, {29, 31}, {30, 30}, {31, 24}, {32, 25}, {33, 22},
        {34, 23}, {39, 26}, {40, 27}, {41, 28}, {42, 29}, {43, 32}, {44, 33}, {45, 34}, {46, 35},
        {47, 17}, {48, 18}, {49, 19}, {50, 20}, {51, 21}, {61, 22}, {62, 23}, {72, 16}, {74, 36},
        {75, 37}, {76, 38},
    };
    for (auto [to, from] : copies) expected[to] = legacy[from];
    expected[1] = 1;  // legacy bytes 39-42 are not all zero
    expected[15] = 26;
    expected[21] = 255;
    expected[89] = 255;
    expected[90] = 200;
    expected[91] = 255;
    expected[92] = 255;
    for (std::size_t i = 0; i < TRAIN_HEADER_SIZE; ++i)
        EXPECT_EQ(record->header[i], expected[i]) << "header byte " << i;
}

TEST_F(AssemblyTest, StreamShorterThanItsCounts) {
    // The stream sits in a larger buffer whose bytes past `available` are
    // not part of it: they must never be read.
    Bytes buffer = Prefix(2, 4, 15, 2);
    Append(buffer, {1, 2, 3, 4});
    Append(buffer, {1, 2, 3, 4, 5, 6, 7});
    Append(buffer, {8, 9});
    const std::size_t available = buffer.size();
    Append(buffer, Bytes(64, 0xEE));
    MarkAllSlots(0x77);
    EXPECT_FALSE(AssembleAllInOne(*record, buffer.data(), available));
    EXPECT_EQ(SlotBytes(record->axleSlots[0]), (Bytes{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(SlotBytes(record->axleSlots[1]), (Bytes{8, 9, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(AssembleFromBlocks(*record, buffer.data(), available));
    EXPECT_EQ(SlotBytes(record->axleSlots[1]), (Bytes{8, 9, 0, 0, 0, 0, 0}));

    // Shorter than its header; shorter than its prefix; nothing at all.
    EXPECT_FALSE(AssembleAllInOne(*record, buffer.data(), 14));
    EXPECT_EQ(record->header[1], 2);
    EXPECT_EQ(record->header[2], 0);
    EXPECT_FALSE(AssembleAllInOne(*record, buffer.data(), 4));
    EXPECT_EQ(record->headerLength(), 4);
    EXPECT_EQ(record->axleRecordCount(), 0) << "count bytes that did not arrive read as 0";
    EXPECT_FALSE(AssembleAllInOne(*record, nullptr, 0));

    // A legacy alarm list cut short: the entries that arrived still apply.
    Bytes legacy = Prefix(1, 60, 0, 0, 3);
    Append(legacy, LegacyHeader(false));
    Append(legacy, {1, 0, 0x40, 2, 0});
    MarkAllSlots(0x00);
    EXPECT_FALSE(AllInOne(legacy));
    EXPECT_EQ(record->axleSlots[0].bytes[0], 0xFF);
    EXPECT_EQ(record->axleSlots[1].bytes[0], 0x00);

    // A legacy header of fewer than 60 bytes with nothing behind it is not
    // short: the translation reads past L, and what is not there reads 0.
    Bytes brief = Prefix(0, 10, 0, 0);
    Append(brief, Bytes(10, 0x21));
    EXPECT_TRUE(AllInOne(brief));
    EXPECT_EQ(record->header[2], 0x21);
    EXPECT_EQ(record->header[5], 0);
}

TEST_F(AssemblyTest, LegacyStreamArrivingInBlocks) {
    MarkAllSlots(0x77);
    std::memset(record->header, 0xEE, TRAIN_HEADER_SIZE);
    Bytes s = Prefix(1, 60, 0, 1);
    Append(s, LegacyHeader(false));
    Append(s, {1, 2, 3, 4});
    EXPECT_TRUE(FromBlocks(s));
    EXPECT_EQ(record->formatVersion(), 1);
    EXPECT_EQ(Bytes(record->header, record->header + 112), Bytes(112, 0));
    EXPECT_EQ(SlotBytes(record->axleSlots[0]), Bytes(7, 0));
}
