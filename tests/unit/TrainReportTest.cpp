// The train report file: the worked train byte for byte on disk, the axle
// loop's car numbering, the ECR and SIM forms, the character count, the file
// name and what happens when the file cannot be written: the train is held
// and written later, or elsewhere at a clean stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <vector>
#include <fstream>
#include <filesystem>
#include <chrono>
#include <string>

#include "TempDataFolder.h"
#include "TestSupport.h"
#include "common/TrainRecord.h"
#include "engine/HeldTrains.h"
#include "engine/Packets.h"
#include "engine/Worker.h"
#include "records/TrainReport.h"

using namespace testsupport;

namespace {

struct Train {
    std::uint8_t header[TRAIN_HEADER_SIZE] = {};
    AxleSlot slots[MAX_AXLES] = {};
    void Slot(std::size_t i, std::initializer_list<std::uint8_t> bytes) {
        std::size_t k = 0;
        for (auto b : bytes) slots[i].bytes[k++] = b;
    }
};

// The train of the worked example: three axles in two cars, HWD on,
// one system message.
Train WorkedTrain() {
    using namespace th;
    Train t;
    std::uint8_t* h = t.header;
    h[FLAGS] = 0x01;
    WriteLe16(h + SITE_NUMBER, 1234);
    WriteLe16(h + TRAIN_NUMBER, 417);
    h[DIRECTION] = 'K';
    WriteLe16(h + SPEED, 57);
    const std::uint8_t first[] = {24, 5, 6, 7, 8, 9};
    const std::uint8_t second[] = {24, 5, 6, 7, 10, 11};
    std::memcpy(h + FIRST_STAMP, first, STAMP_SIZE);
    std::memcpy(h + SECOND_STAMP, second, STAMP_SIZE);
    h[TRACK] = 3;
    h[AMBIENT] = 42;
    h[SIDE] = 'R';
    WriteLe16(h + AXLE_COUNT, 3);
    WriteLe16(h + CAR_COUNT, 2);
    WriteLe16(h + DEM_WORD_37, 950);
    WriteLe16(h + ECR, static_cast<std::uint16_t>(-4));
    WriteLe16(h + HBI_WORDS_61, 3);
    h[SIM_CODES_1] = 48;
    t.Slot(0, {30, 31, 100, 110, 200, 0x90});
    t.Slot(1, {32, 33, 101, 111, 201, 0x10});
    t.Slot(2, {34, 35, 102, 112, 202, 0x95});
    return t;
}

const char* const WORKED_REPORT =
    "DEM 00502 K?00417 20240506 070809 20240506 071011 000 Y 120 0057 ? ? R 0 E 042 003 000 A N F N "
    "00950 G 00 00 002 000 0003 1234 01 003 042 T\r\r\n"
    "HBI PRTALLQUIN DUNSCANNER 0003 0000 000 000 000 090 120 132 F 900 300 200 000 000 000 000 000 "
    "000 000 000 000 1 128 0000 0000 000 F 0000 00 00 128\r\n"
    "ECR -0040 F XXXXX X XXXXX X XXXXX X XXXX XXXX X XXX XXX XXXXX XXXXX X XXXXX X XXXX X\r\n"
    "RRE*001*?*    *0000000000*U* *G*N*?*00*00*003*02*01\r\r\n"
    "HBD 001 0001 1 N N F 0300 0310 E 004560\r\r\n"
    "HWD 001 0001 0100 0110 F N N P\r\r\n"
    "HBD 001 0002 1 N N F 0320 0330 E 004570\r\r\n"
    "HWD 001 0002 0101 0111 F N N P\r\r\n"
    "RRE*003*?*    *0000000000*U* *G*N*?*00*00*003*01*01\r\r\n"
    "HBD 002 0003 1 N N F 0340 0350 E 004580\r\r\n"
    "HWD 002 0003 0358 0368 F N N P\r\r\n"
    "SIM 01 003 010 HBD System Normal                                               \r\n"
    "EOC 0000000778\r\n";

// The lines of a report with their stored line ends removed.
std::vector<std::string> Lines(const std::string& stored) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < stored.size()) {
        std::size_t end = stored.find('\n', start);
        std::string line = stored.substr(start, end - start);
        while (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
        start = end + 1;
    }
    return out;
}

std::vector<std::string> WithTag(const std::string& stored, const std::string& tag) {
    std::vector<std::string> out;
    for (auto& l : Lines(stored))
        if (l.compare(0, 3, tag) == 0) out.push_back(l);
    return out;
}

}  // namespace

TEST(TrainReport, WorkedTrainOnDiskByteForByte) {
    TempDataFolder dir;
    NullOutput out;
    Train t = WorkedTrain();
    EXPECT_TRUE(WriteTrainReport(dir.Folder(), t.header, t.slots, out));
    const auto file = dir / "Z918E" / "20240506_0708.GEM.HBD.00417.txt";
    EXPECT_EQ(TrainReportPath(dir.Folder(), t.header), file.string());
    const std::string bytes = ReadWholeFile(file);
    EXPECT_EQ(bytes.size(), 806u);
    EXPECT_EQ(bytes, WORKED_REPORT);
    // Nothing else is left in the folder (no temporary file).
    EXPECT_EQ(ListFolder(dir / "Z918E"), "20240506_0708.GEM.HBD.00417.txt\n");
}

TEST(TrainReport, AnotherTrainOfTheSameNameNeverReplacesTheFirst) {
    WorkerHarness h;
    const auto folder = h.folder / "Z918E";
    Train first = WorkedTrain();
    Train second = WorkedTrain();
    second.header[th::FIRST_STAMP + 5] = 59;  // a different second: the same name
    WriteLe16(second.header + 33, 0);         // and no axles
    std::string path;
    for (const Train* t : {&first, &second, &first, &second}) {
        ASSERT_TRUE(WriteTrainReport(h.folder.Folder(), t->header, t->slots, h.C(), &path));
        EXPECT_EQ(ReadWholeFile(path), FormatTrainReport(t->header, t->slots));
    }
    EXPECT_EQ(path, (folder / "20240506_0708.GEM.HBD.00417-2.txt").string());
    // The same train again rewrote its own file.
    EXPECT_EQ(ListFolder(folder), "20240506_0708.GEM.HBD.00417-2.txt\n20240506_0708.GEM.HBD.00417.txt\n");
    EXPECT_EQ(ReadWholeFile(folder / "20240506_0708.GEM.HBD.00417.txt"), WORKED_REPORT);
    const std::string said = "Train report " + (folder / "20240506_0708.GEM.HBD.00417.txt").string() +
                             " exists for another train; written as " + path + "\n";
    EXPECT_EQ(h.window->Lines(), (std::vector<std::string>{said, said}));
}

TEST(TrainReport, FileNameFromNumbersOnly) {
    Train t;
    t.header[th::FIRST_STAMP] = 255;  // year 2255
    t.header[th::FIRST_STAMP + 1] = 12;
    t.header[th::FIRST_STAMP + 2] = 31;
    t.header[th::FIRST_STAMP + 3] = 23;
    t.header[th::FIRST_STAMP + 4] = 59;
    WriteLe16(t.header + 5, 65535);
    EXPECT_EQ(TrainReportFileName(t.header), "22551231_2359.GEM.HBD.65535.txt");
}

TEST(TrainReport, UnwritableReportIsLoggedAndReported) {
    WorkerHarness h;
    // A plain file where the folder should be: nothing can be created in it.
    { std::ofstream(h.folder / "Z918E") << "x"; }
    Train t = WorkedTrain();
    std::string why;
    EXPECT_FALSE(WriteTrainReport(h.folder.Folder(), t.header, t.slots, h.C(), nullptr, &why));
    EXPECT_EQ(why, "Not a directory");
    const auto msgs = h.window->Messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].wParam, COLOUR_DARK_RED);
    EXPECT_EQ(msgs[0].text.rfind("ERROR", 0), 0u);
    EXPECT_NE(msgs[0].text.find("Z918E/20240506_0708.GEM.HBD.00417.txt"), std::string::npos);
}

TEST(TrainReport, CarNumberingAndRecordChoice) {
    Train t;
    WriteLe16(t.header + 33, 4);
    t.header[th::TRACK] = 7;
    // Axle 1 before any car start, car starts on axles 2 and 4 (the last).
    t.Slot(0, {1, 2, 0, 0, 0, 0x00});
    t.Slot(1, {3, 4, 0, 0, 0, 0x80});
    t.Slot(2, {5, 6, 0, 0, 0, 0x00});
    t.Slot(3, {7, 8, 0, 0, 0, 0xB0});  // car start, top bits 3 for byte 4
    std::string r = FormatTrainReport(t.header, t.slots);
    EXPECT_TRUE(WithTag(r, "HWD").empty()) << "bit 0 of byte 1 clear: no HWD";
    EXPECT_EQ(WithTag(r, "HBD"), (std::vector<std::string>{
                                     "HBD 000 0001 1 N N F 0010 0020 E 000000",
                                     "HBD 001 0002 1 N N F 0030 0040 E 000000",
                                     "HBD 001 0003 1 N N F 0050 0060 E 000000",
                                     "HBD 002 0004 1 N N F 0070 0080 E 007680",
                                 }));
    EXPECT_EQ(WithTag(r, "RRE"), (std::vector<std::string>{
                                     "RRE*002*?*    *0000000000*U* *G*N*?*00*00*007*02*01",
                                     "RRE*004*?*    *0000000000*U* *G*N*?*00*00*007*01*01",
                                 }));

    // HWD right after every HBD; no axle records at all with axle count 0.
    t.header[th::FLAGS] = 0x03;
    r = FormatTrainReport(t.header, t.slots);
    auto lines = Lines(r);
    std::string tags;
    for (auto& l : lines) tags += l.substr(0, 3) + " ";
    EXPECT_EQ(tags, "DEM HBI ECR HBD HWD RRE HBD HWD HBD HWD RRE HBD HWD EOC ");
    EXPECT_NE(lines[0].find(" E N F N "), std::string::npos) << "bit 1 gives the letter E";
    WriteLe16(t.header + 33, 0);
    EXPECT_EQ(Lines(FormatTrainReport(t.header, t.slots)).size(), 4u);  // DEM HBI ECR EOC
}

TEST(TrainReport, AxleLoopStopsAtTheSlotTable) {
    // An axle count above the table prints 1200 axles and reads no further;
    // every axle a car start gives one RRE per axle, each with 01 axles.
    Train t;
    WriteLe16(t.header + 33, 1500);
    for (auto& s : t.slots) s.bytes[5] = 0x80;
    const std::string r = FormatTrainReport(t.header, t.slots);
    const auto hbd = WithTag(r, "HBD");
    const auto rre = WithTag(r, "RRE");
    ASSERT_EQ(hbd.size(), 1200u);
    ASSERT_EQ(rre.size(), 1200u);
    EXPECT_EQ(hbd.back(), "HBD 1200 1200 1 N N F 0000 0000 E 000000");  // wider values print whole
    EXPECT_EQ(rre.back().substr(rre.back().size() - 6), "*01*01");
}

TEST(TrainReport, EcrForms) {
    Train t;
    const std::pair<std::int16_t, const char*> cases[] = {
        {-4, "ECR -0040 F"}, {0, "ECR +0000 F"}, {123, "ECR +1230 F"},
        {-2, "ECR -0020 F"}, {-32768, "ECR -327680 F"}, {-1, "ECR XXXXX F"},
    };
    for (auto [value, start] : cases) {
        WriteLe16(t.header + 39, static_cast<std::uint16_t>(value));
        const auto ecr = WithTag(FormatTrainReport(t.header, t.slots), "ECR");
        ASSERT_EQ(ecr.size(), 1u);
        EXPECT_EQ(ecr[0].rfind(start, 0), 0u) << value << ": " << ecr[0];
    }
}

TEST(TrainReport, SimRecordsAndMissingCharacters) {
    Train t;
    t.header[th::SIM_CODES_1] = 1;
    t.header[th::SIM_CODES_1 + 2] = 1;   // repeated codes are written each time
    t.header[th::SIM_CODES_1 + 5] = 52;  // no text for 52 and above
    t.header[th::SIM_CODES_2] = 51;
    t.header[th::SIM_CODES_2 + 5] = 255;
    const std::string r = FormatTrainReport(t.header, t.slots);
    const auto sim = WithTag(r, "SIM");
    ASSERT_EQ(sim.size(), 5u);
    EXPECT_EQ(sim[0], "SIM 01 003 010 " + std::string("AC Power Failure") + std::string(48, ' '));
    EXPECT_EQ(sim[1], sim[0]);
    EXPECT_EQ(sim[2], "SIM 01 003 010 " + std::string(64, ' '));
    EXPECT_EQ(sim[3], "SIM 01 003 040 CWD System Normal" + std::string(47, ' '));
    EXPECT_EQ(sim[4], "SIM 01 003 040 " + std::string(64, ' '));
    // Character fields 8, 9 and 29 at 0 print as "?".
    EXPECT_EQ(Lines(r)[0].substr(0, 17), "DEM 00502 ??00000");
    EXPECT_NE(Lines(r)[0].find(" 0000 ? ? ? 0 E "), std::string::npos);
}

TEST(TrainReport, CharacterCountWrapsAtSixteenBits) {
    // 999 axles (all numbers keep their width), each a car start with HWD:
    // 999 x (53 + 41 + 32) characters on top of DEM (141), HBI (147), ECR (85).
    Train t;
    t.header[th::FLAGS] = 0x01;
    WriteLe16(t.header + 33, 999);
    WriteLe16(t.header + 39, static_cast<std::uint16_t>(-4));
    t.header[th::TRACK] = 3;
    t.header[th::AMBIENT] = 42;
    t.header[th::DIRECTION] = 'K';
    t.header[th::SIDE] = 'R';
    WriteLe16(t.header + 11, 57);
    WriteLe16(t.header + 2, 1234);
    WriteLe16(t.header + 37, 950);
    WriteLe16(t.header + 35, 2);
    WriteLe16(t.header + 61, 3);
    const std::uint8_t stamp[] = {24, 5, 6, 7, 8, 9};
    std::memcpy(t.header + 15, stamp, 6);
    std::memcpy(t.header + 21, stamp, 6);
    for (auto& s : t.slots) s.bytes[5] = 0x80;
    const std::string r = FormatTrainReport(t.header, t.slots);
    const unsigned total = 141 + 147 + 85 + 999u * (53 + 41 + 32);
    char expected[32];
    std::snprintf(expected, sizeof expected, "EOC %010u", total % 65536);
    EXPECT_EQ(WithTag(r, "EOC"), std::vector<std::string>{expected});
    // The text counts each CR LF as 2, the file stores one more CR per LF.
    const std::size_t lfs = static_cast<std::size_t>(std::count(r.begin(), r.end(), '\n'));
    EXPECT_EQ(r.size() - lfs - std::string("EOC 0000000000\n").size(), total);
}

namespace {

// The All-in-One Data Packet's payload carrying a train of three axles.
std::vector<std::uint8_t> AllInOnePayload(const Train& t) {
    std::vector<std::uint8_t> payload(17, 0xEE);  // bytes 0-16 are not read
    const std::vector<std::uint8_t> prefix = {2, 112, 15, 0, 3, 0, 0, 0, 0, 0, 0, 0};
    payload.insert(payload.end(), prefix.begin(), prefix.end());
    payload.insert(payload.end(), t.header, t.header + TRAIN_HEADER_SIZE);
    for (int i = 0; i < 3; ++i) payload.insert(payload.end(), t.slots[i].bytes, t.slots[i].bytes + 7);
    return payload;
}

}  // namespace

// Through the worker: an All-in-One Data Packet is acknowledged, assembled
// from payload byte 17 and written as the report.
// A train acknowledged and journaled whose report never got into place (the
// collector was killed before it was written, so its mark is missing) is
// written again at the next start, byte for byte; one in place, under its
// name or a "-N" name, is not, and neither is one written and then taken
// away from the folder by another program.
TEST(TrainReport, RestoredFromTheJournalAtStart) {
    WorkerHarness h;
    const auto reports = h.folder / "Z918E";
    const auto named = reports / "20240506_0708.GEM.HBD.00417.txt";
    h.port->Feed(MakeFrame(44, COLLECTOR_ID, 3, PT_ALL_IN_ONE, AllInOnePayload(WorkedTrain())));
    ASSERT_TRUE(RunCollectorCycle(h.C()));
    const std::string written = ReadWholeFile(named);
    ASSERT_EQ(written, WORKED_REPORT);

    auto startOver = [&](const std::function<void()>& meanwhile) {
        meanwhile();
        WorkerHarness next([&](CollectorSetup& s) { s.dataFolder = h.folder.Folder(); });
        const int restored = RestoreJournaledTrains(next.C());
        const auto events = next.Events();
        if (restored == 1) {
            EXPECT_EQ(next.window->Lines().back(), "Train report " + named.string() + " restored from the journal\n");
            EXPECT_EQ(events.back().kind, EventKind::TrainReported);
            EXPECT_EQ(events.back().reportPath, named.string());
        }
        return restored;
    };
    // A crash between the ACK and the report leaves no mark.
    auto forgetMarks = [&] {
        for (const auto& e : std::filesystem::directory_iterator(h.folder / "Journal"))
            if (e.path().extension() == ".done") std::filesystem::remove(e.path());
    };
    EXPECT_EQ(startOver([&] { std::filesystem::remove(named); }), 0);
    EXPECT_EQ(startOver(forgetMarks), 1);
    EXPECT_EQ(ReadWholeFile(named), written);
    EXPECT_EQ(startOver([] {}), 0);
    // Another train took the name first: the report stands beside it.
    EXPECT_EQ(startOver([&] {
                  forgetMarks();
                  std::filesystem::rename(named, reports / "20240506_0708.GEM.HBD.00417-2.txt");
                  std::ofstream(named) << "another train";
              }),
              0);
}

TEST(TrainReport, AllInOneThroughTheWorker) {
    WorkerHarness h;
    TempDataFolder& dir = h.folder;
    std::vector<std::uint8_t> payload = AllInOnePayload(WorkedTrain());
    h.port->Feed(MakeFrame(44, COLLECTOR_ID, 0, PT_ALL_IN_ONE, payload));
    EXPECT_TRUE(RunCollectorCycle(h.C()));
    const auto sent = h.port->TakeWritten();
    ASSERT_EQ(sent.size(), 19u);
    EXPECT_EQ(sent[3], 44);
    EXPECT_EQ(sent[7], PT_ACK);
    EXPECT_EQ(ReadWholeFile(dir / "Z918E" / "20240506_0708.GEM.HBD.00417.txt"), WORKED_REPORT);
    for (const auto& m : h.window->Messages()) EXPECT_NE(m.wParam, COLOUR_DARK_RED) << m.text;

    // The same train cut after its first axle: still acknowledged and
    // reported (beside the whole one, whose name it has), and the operator
    // is told it was short.
    payload.resize(payload.size() - 14);
    h.window->Clear();
    h.port->Feed(MakeFrame(44, COLLECTOR_ID, 0, PT_ALL_IN_ONE, payload));
    EXPECT_TRUE(RunCollectorCycle(h.C()));
    EXPECT_EQ(h.port->TakeWritten().size(), 19u);
    std::vector<std::string> red;
    for (const auto& m : h.window->Messages())
        if (m.message == WM_LOG_TEXT && m.wParam == COLOUR_DARK_RED) red.push_back(m.text);
    const auto cut = dir / "Z918E" / "20240506_0708.GEM.HBD.00417-2.txt";
    ASSERT_EQ(red.size(), 2u);
    EXPECT_EQ(red[0], "ERROR: Train data from SiteID = 44 is short (131 bytes received), missing bytes read as 0\n");
    EXPECT_EQ(red[1].rfind("Train report ", 0), 0u);
    const std::string report = ReadWholeFile(cut);
    EXPECT_NE(report.find("HBD 001 0002 1 N N F 0000 0000 E 000000"), std::string::npos);
    // The event names the file written.
    const auto events = h.Events();
    ASSERT_EQ(events.back().kind, EventKind::TrainReported);
    EXPECT_EQ(events.back().reportPath, cut.string());
}

TEST(TrainReport, AxleRecordsPrintAsTheirFormatsOverEveryValue) {
    // The axle records are assembled without printf: compare them with what
    // the formats print, over random slot bytes and car starts.
    Train t;
    WriteLe16(t.header + 33, 1200);
    t.header[th::FLAGS] = 0x01;  // with hot wheel records
    std::uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<std::uint8_t>(seed >> 16);
    };
    for (auto& s : t.slots)
        for (auto& b : s.bytes) b = next();
    const std::string r = FormatTrainReport(t.header, t.slots);
    const auto hbd = WithTag(r, "HBD");
    const auto hwd = WithTag(r, "HWD");
    ASSERT_EQ(hbd.size(), 1200u);
    ASSERT_EQ(hwd.size(), 1200u);
    int car = 0;
    for (int i = 0; i < 1200; ++i) {
        const auto& b = t.slots[i].bytes;
        if (b[5] & 0x80) ++car;
        char expected[96];
        std::snprintf(expected, sizeof expected, "HBD %03d %04d 1 %c %c F %03d0 %03d0 E %05d0", car,
                      i + 1, 'N', 'N', b[0], b[1], (((b[5] >> 4) & 3) << 8) | b[4]);
        ASSERT_EQ(hbd[i], expected) << i;
        std::snprintf(expected, sizeof expected, "HWD %03d %04d %04d %04d F %c %c %c", car, i + 1,
                      ((b[5] & 3) << 8) | b[2], (((b[5] >> 2) & 3) << 8) | b[3], 'N', 'N', 'P');
        ASSERT_EQ(hwd[i], expected) << i;
    }
}

// Held trains: reports the data folder refuses after their ACK went out. A
// plain file named Z918E makes every write fail, even for root, until it is
// replaced by the folder.
namespace {

constexpr std::size_t kHeldAtMost = 3;

class HeldTrainsTest : public ::testing::Test {
protected:
    WorkerHarness h{[](CollectorSetup& setup) { setup.heldCapacity = kHeldAtMost; }};
    const std::filesystem::path reports = h.folder / REPORT_FOLDER;

    void RefuseWrites() { std::ofstream(reports) << "x"; }
    void AcceptWrites() {
        std::filesystem::remove(reports);
        std::filesystem::create_directory(reports);
    }
    // A train numbered `number` arrives and is acknowledged; its report as stored.
    std::string Arrive(std::uint16_t number) {
        Train t = WorkedTrain();
        WriteLe16(t.header + th::TRAIN_NUMBER, number);
        h.port->Feed(MakeFrame(44, COLLECTOR_ID, 0, PT_ALL_IN_ONE, AllInOnePayload(t)));
        EXPECT_TRUE(RunCollectorCycle(h.C()));
        EXPECT_EQ(h.port->TakeWritten().size(), 19u) << "the ACK for train " << number;
        return FormatTrainReport(t.header, t.slots);
    }
    static std::string Name(std::uint16_t number) {
        char name[64];
        std::snprintf(name, sizeof name, "20240506_0708.GEM.HBD.%05d.txt", number);
        return name;
    }
    std::vector<EngineEvent> Of(EventKind kind) {
        std::vector<EngineEvent> out;
        for (const EngineEvent& e : h.Events())
            if (e.kind == kind) out.push_back(e);
        return out;
    }
    int LinesStarting(const std::string& start) {
        int n = 0;
        for (const auto& line : h.window->Lines()) n += line.rfind(start, 0) == 0;
        return n;
    }
};

}  // namespace

TEST_F(HeldTrainsTest, AreWrittenOnceInOrderWhenTheFolderTakesThemAgain) {
    RefuseWrites();
    std::vector<std::string> stored;
    for (std::uint16_t n : {417, 418, 419}) stored.push_back(Arrive(n));

    EXPECT_EQ(LinesStarting("ERROR: Could not write train report "), 3);
    EXPECT_EQ(LinesStarting("ERROR: The data folder refuses writes (Not a directory): train reports are "
                            "held in memory until it accepts them\n"),
              1);
    std::vector<int> counts;
    for (const auto& e : Of(EventKind::TrainsHeld)) {
        counts.push_back(e.count);
        EXPECT_EQ(e.text, "Not a directory");
    }
    EXPECT_EQ(counts, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(Of(EventKind::ReportFailed).size(), 3u);
    EXPECT_EQ(h.C().HeldSummary(), "3 trains held: the data folder refuses writes (Not a directory)");

    // The folder is back; the retry comes when its interval is over.
    AcceptWrites();
    EXPECT_FALSE(RunCollectorCycle(h.C()));
    EXPECT_EQ(ListFolder(reports), "");
    h.clock.Advance(HELD_TRAINS_RETRY_MS);
    EXPECT_FALSE(RunCollectorCycle(h.C()));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(ReadWholeFile(reports / Name(static_cast<std::uint16_t>(417 + i))) == stored[i]) << i;
    const auto reported = Of(EventKind::TrainReported);
    ASSERT_EQ(reported.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(reported[i].reportPath, (reports / Name(static_cast<std::uint16_t>(417 + i))).string());
        EXPECT_EQ(reported[i].trainNumber, 417 + i);
        EXPECT_EQ(reported[i].siteId, 44);
    }
    EXPECT_EQ(Of(EventKind::TrainsHeld).back().count, 0);
    EXPECT_EQ(h.window->Lines().back(), "Held train reports written: 3\n");
    EXPECT_EQ(h.C().HeldSummary(), "");

    // Written once: later rounds and a stop find nothing more.
    h.clock.Advance(HELD_TRAINS_RETRY_MS);
    EXPECT_FALSE(RunCollectorCycle(h.C()));
    EXPECT_TRUE(h.C().Stop(std::chrono::seconds(1)));
    EXPECT_EQ(Of(EventKind::TrainReported).size(), 3u);
    EXPECT_EQ(ListFolder(reports).size(), 3 * (Name(1).size() + 1));
}

TEST_F(HeldTrainsTest, AFullQueueNamesEachTrainItLosesAndANewTrainGoesAfterTheHeld) {
    RefuseWrites();
    for (std::uint16_t n : {1, 2, 3, 4}) Arrive(n);
    const std::string lost = (reports / Name(4)).string();
    EXPECT_EQ(LinesStarting("ERROR: Train report " + lost +
                            " is lost: 3 train reports are held already and the data folder refuses "
                            "writes (Not a directory)\n"),
              1);
    EXPECT_EQ(h.C().Held().Count(), kHeldAtMost);

    // The next train, before the retry is due, goes after the held ones.
    // (One report the folder cannot take holding up no other: the full-disk
    // end-to-end test.)
    AcceptWrites();
    Arrive(5);
    std::vector<int> numbers;
    for (const auto& e : Of(EventKind::TrainReported)) numbers.push_back(e.trainNumber);
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3, 5}));
    EXPECT_FALSE(std::filesystem::exists(lost));
    EXPECT_EQ(LinesStarting("Held train reports written: 3\n"), 1);
}

TEST_F(HeldTrainsTest, ACleanStopWritesWhatIsStillHeldElsewhereAndNamesTheFolder) {
    RefuseWrites();
    const std::string first = Arrive(417), second = Arrive(418);
    EXPECT_TRUE(h.C().Stop(std::chrono::seconds(1)));
    const auto elsewhere = h.folder / "elsewhere" / ("kestova-held-" + std::to_string(::getpid()));
    EXPECT_TRUE(ReadWholeFile(elsewhere / Name(417)) == first);
    EXPECT_TRUE(ReadWholeFile(elsewhere / Name(418)) == second);
    const std::string folder = elsewhere.string() + "/";
    EXPECT_EQ(h.C().HeldElsewhere(), "2 held train reports written to " + folder + " (the data folder refused them)");
    EXPECT_EQ(h.window->Lines().back(), "ERROR: 2 held train reports written to " + folder +
                                            ": the data folder refused them; move them to its Z918E folder\n");
    EXPECT_EQ(h.C().HeldSummary(), "");
    EXPECT_EQ(Of(EventKind::TrainsHeld).back().count, 0);
}
