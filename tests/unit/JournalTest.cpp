// The train and event journals' files: records read back as written, a
// torn end cut at start (and only the torn end), old files removed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempDataFolder.h"
#include "TestSupport.h"
#include "engine/Packets.h"
#include "records/EventJournal.h"
#include "records/Journal.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

JournalTrain SomeTrain(std::uint8_t site, std::size_t streamBytes) {
    JournalTrain t;
    t.receivedAt = 1780000000 + site;
    t.radioId = site;
    t.trackOrSequence = 2;
    t.delivery = site % 2 ? TrainDelivery::Blocks : TrainDelivery::AllInOne;
    t.blockCount = 7;
    for (std::size_t i = 0; i < streamBytes; ++i) t.stream.push_back(static_cast<std::uint8_t>(i * 31 + site));
    return t;
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

TEST(TrainJournal, Crc32cOfTheCheckValue) {
    const std::string text = "123456789";
    EXPECT_EQ(Crc32c(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0xE3069283u);
}

// Appended through the collector and read back field for field.
TEST(TrainJournal, RecordsReadBackAsAppended) {
    WorkerHarness h;
    const std::vector<JournalTrain> trains = {SomeTrain(12, 0), SomeTrain(17, 9216), SomeTrain(44, 131)};
    for (const auto& t : trains) ASSERT_TRUE(h.C().Journal().Append(t, h.C()));
    const fs::path file = h.folder / "Journal" / TrainJournalFileName(h.clock.Now());
    const std::string bytes = ReadWholeFile(file);
    EXPECT_EQ(bytes.substr(0, 8), std::string("KSTJ\1\0\0\0", 8));
    std::vector<JournalTrain> read;
    EXPECT_EQ(DecodeJournal(bytes, &read), bytes.size());
    ASSERT_EQ(read.size(), trains.size());
    for (std::size_t i = 0; i < trains.size(); ++i) {
        EXPECT_EQ(read[i].receivedAt, trains[i].receivedAt);
        EXPECT_EQ(read[i].radioId, trains[i].radioId);
        EXPECT_EQ(read[i].trackOrSequence, trains[i].trackOrSequence);
        EXPECT_EQ(read[i].delivery, trains[i].delivery);
        EXPECT_EQ(read[i].blockCount, trains[i].blockCount);
        EXPECT_EQ(read[i].stream, trains[i].stream);
    }

    // Each record is found again by the mark of its report; a mark without
    // a name (as written before names were kept) names nothing, and a
    // record whose bytes changed is refused.
    h.C().Journal().MarkWritten({file.string(), read[1].offset}, "20260101_0000.GEM.HBD.00017-2.txt");
    h.C().Journal().MarkLastWritten("20260101_0000.GEM.HBD.00044.txt");
    h.C().Journal().MarkWritten({file.string(), read[0].offset}, "");
    const auto index = JournalReportIndex(h.folder.Folder());
    ASSERT_EQ(index.size(), 2u);
    JournalTrain again;
    std::string why;
    ASSERT_TRUE(ReadJournalRecord(index.at("20260101_0000.GEM.HBD.00017-2.txt"), &again, &why)) << why;
    EXPECT_EQ(again.stream, trains[1].stream);
    ASSERT_TRUE(ReadJournalRecord(index.at("20260101_0000.GEM.HBD.00044.txt"), &again, &why)) << why;
    EXPECT_EQ(again.radioId, 44);
    std::string spoiled = bytes;
    spoiled[read[2].offset + 30] ^= 1;
    WriteBytes(file, spoiled);
    EXPECT_FALSE(ReadJournalRecord({file.string(), read[2].offset}, &again, &why));
    EXPECT_FALSE(ReadJournalRecord({file.string(), read[2].offset + 1}, &again, &why));
}

// A start cuts each file back to its last whole record, says so once, and
// later appends follow the sound records.
TEST(TrainJournal, TornEndCutAtStart) {
    const std::string header = TrainJournalHeader();
    const std::string good = EncodeJournalRecord(SomeTrain(12, 40));
    std::string badCrc = EncodeJournalRecord(SomeTrain(17, 40));
    badCrc.back() ^= 0x01;
    const std::string whole = EncodeJournalRecord(SomeTrain(17, 40));
    const struct {
        const char* name;
        std::string bytes;
        std::size_t kept;
        std::size_t trains;
    } cases[] = {
        {"length past the end", header + good + whole.substr(0, whole.size() - 5), header.size() + good.size(), 1},
        {"length field cut", header + good + whole.substr(0, 3), header.size() + good.size(), 1},
        {"bad CRC", header + good + badCrc, header.size() + good.size(), 1},
        {"partial header", header.substr(0, 3), 0, 0},
        {"sound file", header + good + whole, header.size() + good.size() + whole.size(), 2},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        WorkerHarness h;
        fs::create_directories(h.folder / "Journal");
        const fs::path file = h.folder / "Journal" / TrainJournalFileName(h.clock.Now());
        WriteBytes(file, k.bytes);
        const std::vector<JournalTrain> read = h.C().Journal().OpenAtStart(h.C());
        EXPECT_EQ(read.size(), k.trains);
        EXPECT_EQ(fs::file_size(file), k.kept);
        std::size_t cutLines = 0;
        for (const auto& line : h.window->Lines()) {
            if (line.find("torn end of") == std::string::npos) continue;
            ++cutLines;
            EXPECT_EQ(line, "Train journal " + file.string() + ": torn end of " +
                                std::to_string(k.bytes.size() - k.kept) + " bytes cut off\n");
        }
        EXPECT_EQ(cutLines, k.kept == k.bytes.size() ? 0u : 1u);
        ASSERT_TRUE(h.C().Journal().Append(SomeTrain(80, 5), h.C()));
        std::vector<JournalTrain> after;
        const std::string bytes = ReadWholeFile(file);
        EXPECT_EQ(DecodeJournal(bytes, &after), bytes.size());
        ASSERT_EQ(after.size(), k.trains + 1);
        EXPECT_EQ(after.back().radioId, 80);
    }
}

// The event journal frames its records as the train journal does: each
// torn end of the table is cut at the collector's start, with one line, or
// by the next append of any program; the sound records stay, a file not of
// ours is neither cut nor written.
TEST(EventJournal, TornEndCutAtStartOrByTheNextAppend) {
    const std::string header = EventJournalHeader();
    const std::string good = EncodeEventRecord(1780000000, PowerupEventJson(12, 512, 1));
    std::string badCrc = EncodeEventRecord(1780000001, LinkEventJson(true, "/dev/ttyUSB0"));
    badCrc.back() ^= 0x01;
    const std::string whole = EncodeEventRecord(1780000001, LinkEventJson(true, "/dev/ttyUSB0"));
    const struct {
        const char* name;
        std::string bytes;
        std::size_t kept;
        std::size_t events;
    } cases[] = {
        {"length past the end", header + good + whole.substr(0, whole.size() - 5), header.size() + good.size(), 1},
        {"length field cut", header + good + whole.substr(0, 3), header.size() + good.size(), 1},
        {"bad CRC", header + good + badCrc, header.size() + good.size(), 1},
        {"partial header", header.substr(0, 3), 0, 0},
        {"sound file", header + good + whole, header.size() + good.size() + whole.size(), 2},
    };
    for (const bool atStart : {true, false})
        for (const auto& k : cases) {
            SCOPED_TRACE(std::string(k.name) + (atStart ? " at start" : " by an append"));
            WorkerHarness h;
            fs::create_directories(h.folder / "Journal");
            const fs::path file = h.folder / "Journal" / EventJournalFileName(std::time(nullptr));
            WriteBytes(file, k.bytes);
            if (atStart) {
                OpenEventJournalAtStart(h.folder.Folder(), std::time(nullptr), h.C());
                EXPECT_EQ(fs::file_size(file), k.kept);
                std::size_t cutLines = 0;
                for (const auto& line : h.window->Lines())
                    if (line == "Event journal " + file.string() + ": torn end of " +
                                    std::to_string(k.bytes.size() - k.kept) + " bytes cut off\n")
                        ++cutLines;
                EXPECT_EQ(cutLines, k.kept == k.bytes.size() ? 0u : 1u);
            }
            std::string why;
            ASSERT_TRUE(AppendEvent(h.folder.Folder(), h.clock.Now(), TransferGivenUpEventJson(80, 9), &why)) << why;
            std::vector<JournalEvent> after;
            const std::string bytes = ReadWholeFile(file);
            EXPECT_EQ(DecodeEventJournal(bytes, &after), bytes.size());
            ASSERT_EQ(after.size(), k.events + 1);
            EXPECT_EQ(after.back().json, "{\"type\":\"transfer-given-up\",\"radio\":80,\"site\":9}");
            EXPECT_EQ(after.back().time, h.clock.Now());
            if (k.events > 0) {
                EXPECT_EQ(after.front().json, PowerupEventJson(12, 512, 1));
            }
        }
    WorkerHarness h;
    fs::create_directories(h.folder / "Journal");
    const fs::path file = h.folder / "Journal" / EventJournalFileName(std::time(nullptr));
    WriteBytes(file, "not ours, no");
    EXPECT_FALSE(AppendEvent(h.folder.Folder(), h.clock.Now(), "{}", nullptr));
    EXPECT_EQ(ReadWholeFile(file), "not ours, no");
    // A train journal is no event journal, nor the other way round.
    bool isJournal = true;
    EXPECT_EQ(DecodeEventJournal(TrainJournalHeader(), nullptr, &isJournal), 0u);
    EXPECT_FALSE(isJournal);
    EXPECT_EQ(DecodeJournal(header + good, nullptr, &isJournal), 0u);
    // Made by root in a data folder of another owner: the file and its
    // folder are the owner's, so that the collector appends to them too.
    if (::geteuid() == 0) {
        WorkerHarness other;
        ASSERT_EQ(::chown(other.folder.Folder().c_str(), 65534, 65534), 0);
        ASSERT_TRUE(AppendEvent(other.folder.Folder(), 1, "{}", nullptr));
        struct stat st {};
        ASSERT_EQ(::stat((other.folder / "Journal" / EventJournalFileName(std::time(nullptr))).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
        ASSERT_EQ(::stat((other.folder / "Journal").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
    }
    // Any byte of a name makes valid JSON text.
    SiteHealthEvent site;
    site.name = std::string("Gr\xf6n \"1\"\n", 9);
    EXPECT_NE(SiteEventJson(site).find("\"name\":\"Gr\\u00f6n \\\"1\\\"\\n\""), std::string::npos)
        << SiteEventJson(site);
}

// Files of more than 90 days go at start; a file not of the journal's is
// left alone; only today's and yesterday's trains are handed back.
TEST(TrainJournal, OldFilesRemovedRecentOnesRead) {
    WorkerHarness h;
    const std::time_t now = h.clock.Now();
    const fs::path folder = h.folder / "Journal";
    fs::create_directories(folder);
    const std::string record = TrainJournalHeader() + EncodeJournalRecord(SomeTrain(12, 10));
    const int ages[] = {0, 1, 2, 90, 91};
    const std::string events = EventJournalHeader() + EncodeEventRecord(now, PowerupEventJson(12, 1, 1));
    for (int age : ages) WriteBytes(folder / TrainJournalFileName(now - age * 86400), record);
    for (int age : ages) WriteBytes(folder / EventJournalFileName(now - age * 86400), events);
    WriteBytes(folder / "notes.kj", "not ours");
    const std::vector<JournalTrain> read = h.C().Journal().OpenAtStart(h.C());
    OpenEventJournalAtStart(h.folder.Folder(), now, h.C());
    EXPECT_EQ(read.size(), 2u);
    for (int age : ages) {
        EXPECT_EQ(fs::exists(folder / TrainJournalFileName(now - age * 86400)), age <= 90) << age;
        EXPECT_EQ(fs::exists(folder / EventJournalFileName(now - age * 86400)), age <= 90) << age;
    }
    EXPECT_EQ(ReadWholeFile(folder / "notes.kj"), "not ours");
}
