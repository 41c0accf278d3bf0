// The caller registry: Powerups through the worker, the second-track entry,
// a full table, "Callers.bin" byte layout, short files, the listing text and
// a listing taken while Powerups are being handled.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "TestSupport.h"
#include "engine/Worker.h"
#include "records/Callers.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Powerup {
    std::uint16_t milepost = 1234;
    std::uint16_t site = 500;
    std::uint8_t tracks = 1;
    std::uint8_t track = 1;
    std::uint8_t byte6 = 6;
    const char* segment = "AB";
    const char* unit = "HALV001";
    std::uint8_t byte16 = 16;

    Bytes Payload() const {
        Bytes p(17, 0);
        WriteLe16(&p[0], milepost);
        WriteLe16(&p[2], site);
        p[4] = tracks;
        p[5] = track;
        p[6] = byte6;
        std::memcpy(&p[7], segment, 2);
        std::memcpy(&p[9], unit, 7);
        p[16] = byte16;
        return p;
    }
};

class CallersTest : public ::testing::Test {
protected:
    CallerRegistry& Callers() { return h.C().Callers(); }
    CallerTable Table() { return Callers().Snapshot(); }
    // Changes the registry's table as another part of the collector would.
    template <class Change>
    void Edit(Change change) {
        CallerTable table = Callers().Snapshot();
        change(table);
        Callers().Replace(table);
    }
    // Feeds a Powerup frame from `id` and runs one worker cycle; returns
    // what the collector sent.
    Bytes Send(std::uint8_t id, const Bytes& payload) {
        h.window->Clear();
        h.port->Feed(MakeFrame(id, COLLECTOR_ID, 0, PT_POWERUP, payload));
        EXPECT_TRUE(RunCollectorCycle(h.C()));
        return h.port->TakeWritten();
    }
    Bytes Send(std::uint8_t id, const Powerup& p) { return Send(id, p.Payload()); }
    std::vector<RecordedMessage> LinesIn(Colour colour) {
        std::vector<RecordedMessage> out;
        for (auto& m : h.window->Messages())
            if (m.message == WM_LOG_TEXT && m.wParam == colour) out.push_back(m);
        return out;
    }
    static void ExpectAck(const Bytes& sent, std::uint8_t id) {
        ASSERT_EQ(sent.size(), 19u);
        EXPECT_EQ(sent[2], COLLECTOR_ID);
        EXPECT_EQ(sent[3], id);
        EXPECT_EQ(sent[7], PT_ACK);
        EXPECT_EQ(sent[9], 0) << "track number 0";
    }
    std::string CallersFile() { return ReadWholeFile(dir / "Callers.bin"); }
    int UsedEntries() {
        int n = 0;
        for (auto& e : Table()) n += e.radioId != 0;
        return n;
    }

    WorkerHarness h;
    TempDataFolder& dir = h.folder;
};

}  // namespace

TEST_F(CallersTest, PowerupRegistersSavesLogsAndAcknowledges) {
    ExpectAck(Send(12, Powerup{}), 12);
    const auto green = LinesIn(COLOUR_DARK_GREEN);
    ASSERT_EQ(green.size(), 1u);
    EXPECT_EQ(green[0].text, "Received Powerup from Halvor, SiteID = 500, Milepost = 123.4\n");

    // The file: 2560 bytes, the entry little-endian at the documented offsets.
    std::string file = CallersFile();
    ASSERT_EQ(file.size(), 2560u);
    const Bytes entry(file.begin(), file.begin() + 32);
    EXPECT_EQ(entry, Hex("0C D2 04 00 00 00 00 00 00 00 00 00 F4 01 01 01 06 41 42 00"
                         "48 41 4C 56 30 30 31 00 10 01 00 00"));
    EXPECT_EQ(file.find_first_not_of('\0', 32), std::string::npos);

    // The same site again refreshes its entry; what the Powerup does not
    // carry (date, time, axles, train number) is kept, and the file is
    // rewritten.
    Edit([](CallerTable& t) {
        t[0].date[0] = 6;
        t[0].trainNumber = 77;
    });
    Powerup again;
    again.milepost = 42;
    ExpectAck(Send(12, again), 12);
    EXPECT_EQ(UsedEntries(), 1);
    file = CallersFile();
    EXPECT_EQ(static_cast<std::uint8_t>(file[1]), 42);
    EXPECT_EQ(static_cast<std::uint8_t>(file[3]), 6);
    EXPECT_EQ(static_cast<std::uint8_t>(file[9]), 77);
    EXPECT_EQ(ListFolder(dir.Path()), "Callers.bin\nLogs\n") << "no temporary file left behind";
}

TEST_F(CallersTest, TwoTrackSiteGetsASecondEntry) {
    Powerup p;
    p.tracks = 2;
    p.unit = "TALQ123";
    for (int round = 0; round < 2; ++round) {
        ExpectAck(Send(12, p), 12);
        const CallerTable callerTable = Table();
        EXPECT_EQ(callerTable[0].radioId, 12);
        EXPECT_EQ(callerTable[0].track, 1);
        EXPECT_EQ(callerTable[0].siteNumber, 500);
        EXPECT_EQ(callerTable[1].radioId, 12);
        EXPECT_EQ(callerTable[1].track, 2);
        EXPECT_EQ(callerTable[1].siteNumber, 501);
        EXPECT_EQ(callerTable[1].siteType, SITE_TYPE_TALLQUIN);
        EXPECT_EQ(callerTable[2].radioId, 0) << "refreshed, not added, in round " << round;
    }
    EXPECT_EQ(LinesIn(COLOUR_DARK_GREEN)[0].text,
              "Received Powerup from Tallquin, SiteID = 500, Milepost = 123.4\n");
}

TEST_F(CallersTest, TrackThreeTakesANewEntryEachTime) {
    Powerup p;
    p.track = 3;
    p.unit = "tal0001";  // lower case is not a Tallquin unit
    Send(12, p);
    Send(12, p);
    const CallerTable callerTable = Table();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(callerTable[i].siteNumber, 502);
        EXPECT_EQ(callerTable[i].track, 3);
        EXPECT_EQ(callerTable[i].siteType, SITE_TYPE_HALVOR);
    }
}

TEST_F(CallersTest, RadioIdentifierZeroNeverOccupiesAnEntry) {
    ExpectAck(Send(0, Powerup{}), 0);
    EXPECT_EQ(UsedEntries(), 0);
    ExpectAck(Send(5, Powerup{}), 5);
    EXPECT_EQ(Table()[0].radioId, 5);
}

TEST_F(CallersTest, FullTable) {
    Edit([](CallerTable& t) {
        for (std::size_t i = 0; i < CALLER_TABLE_SIZE; ++i) {
            t[i].radioId = static_cast<std::uint8_t>(i + 1);
            t[i].track = 1;
        }
    });
    // A new site: the operator is told, the site still acknowledged,
    // nothing saved or logged.
    ExpectAck(Send(99, Powerup{}), 99);
    EXPECT_EQ(h.Boxes(), std::vector<std::string>{"ERROR - NOT ENOUGH SPACE FOR CALLERS"});
    EXPECT_FALSE(std::filesystem::exists(dir / "Callers.bin"));
    EXPECT_TRUE(LinesIn(COLOUR_DARK_GREEN).empty());

    // One entry free, two tracks: the first track is kept, saved, logged.
    Edit([](CallerTable& t) { t[79] = CallerEntry{}; });
    Powerup p;
    p.tracks = 2;
    ExpectAck(Send(99, p), 99);
    EXPECT_EQ(h.Boxes(), (std::vector<std::string>{"ERROR - NOT ENOUGH SPACE FOR CALLERS",
                                                   "ERROR NOT ENOUGH SPACE FOR CALLERS"}));
    EXPECT_EQ(static_cast<std::uint8_t>(CallersFile().at(79 * 32)), 99);
    EXPECT_EQ(LinesIn(COLOUR_DARK_GREEN).size(), 1u);
}

TEST_F(CallersTest, ShortPowerupReadsMissingBytesAsZero) {
    // Six bytes: milepost, site number, one track, track 1. The checksum and
    // end byte behind them must not be taken for the rest.
    const Bytes sent = Send(12, Bytes{0xD2, 0x04, 0xF4, 0x01, 1, 1});
    ExpectAck(sent, 12);
    const auto red = LinesIn(COLOUR_DARK_RED);
    ASSERT_EQ(red.size(), 1u);
    EXPECT_EQ(red[0].text, "ERROR: Powerup from SiteID = 12 is short (6 of 17 bytes), missing bytes read as 0\n");
    const CallerEntry e = Table()[0];
    EXPECT_EQ(e.radioId, 12);
    EXPECT_EQ(e.siteNumber, 500);
    EXPECT_EQ(e.powerupByte6, 0);
    EXPECT_EQ(std::string(e.segment), "");
    EXPECT_EQ(e.powerupByte16, 0);
}

TEST_F(CallersTest, SaveAndLoadRoundTrip) {
    std::uint8_t image[CALLERS_FILE_SIZE];
    for (std::size_t i = 0; i < sizeof image; ++i) image[i] = static_cast<std::uint8_t>(i * 37 + 11);
    for (std::size_t i = 0; i < CALLER_TABLE_SIZE; i += 2) image[i * 32] = 0;  // half of them free
    Edit([&](CallerTable& t) {
        for (std::size_t i = 0; i < CALLER_TABLE_SIZE; ++i) DecodeCallerEntry(image + i * 32, t[i]);
    });
    ASSERT_TRUE(Callers().Save(h.C()));
    const std::string file = CallersFile();
    ASSERT_EQ(file.size(), sizeof image);
    EXPECT_EQ(0, std::memcmp(file.data(), image, sizeof image)) << "every byte, unused ones too";

    Callers().Replace(CallerTable{});
    int used = 0;
    EXPECT_TRUE(Callers().Load(&used));
    EXPECT_EQ(used, 40);
    const CallerTable callerTable = Table();
    for (std::size_t i = 0; i < CALLER_TABLE_SIZE; ++i) {
        std::uint8_t back[32];
        EncodeCallerEntry(callerTable[i], back);
        EXPECT_EQ(0, std::memcmp(back, image + i * 32, 32)) << "entry " << i;
    }
}

TEST_F(CallersTest, ShortOrMissingFileAtStart) {
    EXPECT_FALSE(Callers().Load());  // missing
    std::string bytes(100, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i + 1);
    { std::ofstream(dir / "Callers.bin", std::ios::binary) << bytes; }
    EXPECT_FALSE(Callers().Load());
    const CallerTable callerTable = Table();
    EXPECT_EQ(callerTable[0].radioId, 1);
    EXPECT_EQ(callerTable[2].radioId, 65);
    EXPECT_EQ(callerTable[3].radioId, 97);
    EXPECT_EQ(static_cast<int>(callerTable[3].milepost), 98 + 99 * 256);  // copied: the field is unaligned
    EXPECT_EQ(callerTable[3].date[0], 100);
    EXPECT_EQ(callerTable[3].date[1], 0) << "the rest of the fourth entry keeps its zeros";
    EXPECT_EQ(callerTable[4].radioId, 0);
}

TEST_F(CallersTest, AFileOfAnotherSizeIsCopiedAsideBeforeItCanBeWrittenOver) {
    const std::string path = (dir / "Callers.bin").string();
    auto put = [&](const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; };
    for (const std::size_t size : {CALLERS_FILE_SIZE - 1, CALLERS_FILE_SIZE + 1}) {
        SCOPED_TRACE(size);
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
        put(bytes);
        const std::string copy = path + "." + std::to_string(size) + "-bytes";
        h.window->Clear();
        Callers().Load(nullptr, &h.C());
        Callers().Load(nullptr, &h.C());  // a restart before any save: the same copy serves
        const std::string told = "The caller registry " + path + " has " + std::to_string(size) +
                                 " bytes, not 2560: it is kept as " + copy + "\n";
        EXPECT_EQ(h.window->Lines(), std::vector<std::string>({told, told}));
        ASSERT_TRUE(Callers().Save(h.C()));
        EXPECT_EQ(CallersFile().size(), CALLERS_FILE_SIZE);
        EXPECT_EQ(ReadWholeFile(copy), bytes);

        // Other bytes of that size later get a copy of their own.
        std::string other = bytes;
        other[0] = 'x';
        put(other);
        Callers().Load(nullptr, &h.C());
        EXPECT_EQ(ReadWholeFile(copy), bytes);
        EXPECT_EQ(ReadWholeFile(copy + "-2"), other);
    }
    // A file of the right size, or an empty one, holds nothing a save would lose.
    for (const std::size_t size : {CALLERS_FILE_SIZE, std::size_t{0}}) {
        put(std::string(size, '\1'));
        Callers().Load(nullptr, &h.C());
        EXPECT_FALSE(fs::exists(path + "." + std::to_string(size) + "-bytes")) << size;
    }
}

TEST_F(CallersTest, ListingLayout) {
    std::string path, why;
    EXPECT_FALSE(Callers().List(&path, &why));
    EXPECT_EQ(why, "There are NO callers in our list");

    Edit([](CallerTable& callerTable) {
        Powerup p;
        FillCallerEntry(callerTable[1], p.Payload().data(), 12);
        callerTable[1].date[0] = 6;  // 6 May, 07:08
        callerTable[1].date[1] = 5;
        callerTable[1].time[0] = 7;
        callerTable[1].time[1] = 8;
        callerTable[1].axles = 212;
        callerTable[1].trainNumber = 34;
        p.milepost = 5;
        p.site = 7;
        p.track = 2;
        p.segment = "Z\0";
        p.unit = "TAL\0\0\0\0";
        p.byte16 = 255;
        FillCallerEntry(callerTable[5], p.Payload().data(), 250);
    });
    ASSERT_TRUE(Callers().List(&path, &why));
    EXPECT_EQ(path, dir.Folder() + "Temp/RemoteCaller.txt");
    const std::string expected =
        "ID_ Milepost   Trk#   Site-ID    Seg   Halvor_   Trn#   Date_  Time_  Axles\r\n" +
        std::string(75, '=') + "\r\n" +
        "012  123.4        1     00500     AB   HALV001     34   05/06  07:08    212 16\r\n"
        "250    0.5        2     00008      Z       TAL      0   00/00  00:00      0 255\r\n"
        "\r\n\r\n";
    EXPECT_EQ(ReadWholeFile(path), expected);

    // Texts without their terminating 0 (as a file may hold them) stay in
    // their columns.
    Edit([](CallerTable& t) {
        std::memset(t[1].segment, 'S', 3);
        std::memset(t[1].unitText, 'U', 8);
    });
    ASSERT_TRUE(Callers().List(&path, &why));
    EXPECT_NE(ReadWholeFile(path).find("00500    SSS   UUUUUUUU     34 "), std::string::npos);

    // Control characters from the air cannot break the listing's lines.
    Edit([](CallerTable& t) {
        std::memcpy(t[1].segment, "\r\n", 3);
        std::memcpy(t[1].unitText, "A\x1b[2JB\x7f", 8);
    });
    ASSERT_TRUE(Callers().List(&path, &why));
    EXPECT_NE(ReadWholeFile(path).find("00500     ..   A.[2JB.     34 "), std::string::npos);
}

TEST_F(CallersTest, ListingThatCannotBeWritten) {
    Edit([](CallerTable& t) { t[0].radioId = 1; });
    { std::ofstream(dir / "Temp") << "not a folder"; }
    std::string path = "unchanged", why;
    EXPECT_FALSE(Callers().List(&path, &why));
    EXPECT_EQ(path, "unchanged");
    EXPECT_EQ(why, "ERROR:\nFailed to create temporary file");
}

TEST_F(CallersTest, ListingDuringPowerupsShowsWholeEntries) {
    // The worker refreshes one entry between two complete forms while a
    // listing runs on another thread: every listed line is one of the two.
    Powerup a;
    Powerup b;
    b.milepost = 9999;
    b.site = 7777;
    b.segment = "ZZ";
    b.unit = "TALWXYZ";
    Send(12, a);
    std::atomic<bool> done{false};
    std::vector<std::string> seen;
    std::thread lister([&] {
        std::string path, why;
        while (!done.load()) {
            if (!Callers().List(&path, &why)) continue;
            const std::string text = ReadWholeFile(path);
            const auto start = text.find("012 ");
            if (start != std::string::npos) seen.push_back(text.substr(start, text.find('\r', start) - start));
        }
    });
    for (int i = 0; i < 40; ++i) Send(12, i % 2 ? a : b);
    done = true;
    lister.join();
    for (const auto& line : seen) {
        EXPECT_TRUE(line == "012  123.4        1     00500     AB   HALV001      0   00/00  00:00      0 16" ||
                    line == "012  999.9        1     07777     ZZ   TALWXYZ      0   00/00  00:00      0 16")
            << line;
    }
}
