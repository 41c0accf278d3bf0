// The train history: the index agrees with the trains the simulator drew,
// catches up with report files added while the collector was stopped, is
// rebuilt when damaged or foreign, and never stops the collection.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "TestSupport.h"
#include "TrainGenerator.h"
#include "engine/AlarmCommand.h"
#include "engine/Assembly.h"
#include "engine/EventHub.h"
#include "engine/HistoryRecorder.h"
#include "engine/JournalSiteData.h"
#include "engine/Worker.h"
#include "records/Callers.h"
#include "records/EventJournal.h"
#include "records/HistoryText.h"
#include "records/TrainHistory.h"
#include "records/TrainReport.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

struct SentTrain {
    sitesim::GeneratedTrain train;
    TrainRecord record;
};

// Draws `count` trains of two sites (one with two tracks), registers the
// sites, and writes every train's report into the registry's data folder as
// the collector does.
std::vector<SentTrain> SendTrains(CallerRegistry& callers, int count, std::uint64_t seed,
                                  int firstNumber = 1) {
    sitesim::SimRandom rng(seed);
    const sitesim::SiteIdentity sites[2] = {
        sitesim::MakeSite(12, 1, sitesim::UnitKind::Halvor, rng),
        sitesim::MakeSite(17, 2, sitesim::UnitKind::Tallquin, rng)};
    NullOutput out;
    for (const auto& s : sites) {
        CallerEntry filled{};
        EXPECT_TRUE(callers.Register(s.radioId, sitesim::PowerupPayload(s).data(), &filled, out));
    }

    std::vector<SentTrain> sent;
    sitesim::TrainTime time{2026, 3, 1, 6, 0, 0};
    for (int i = 0; i < count; ++i) {
        const auto& site = sites[i % 2];
        sitesim::TrainDesign d;
        d.format = rng.Chance(25) ? sitesim::StreamFormat::Legacy : sitesim::StreamFormat::Current;
        d.kind = rng.Chance(50) ? 15 : 16;
        d.hwd = rng.Chance(60);
        d.axles = rng.Chance(5) ? 1200 : rng.Range(1, 260);
        d.trainNumber = static_cast<std::uint16_t>(firstNumber + i);
        d.track = static_cast<std::uint8_t>(site.tracks == 2 ? 1 + i / 2 % 2 : 1);
        d.time = time = sitesim::AddSeconds(time, 60 * rng.Range(2, 40));
        d.maxStreamBytes = d.format == sitesim::StreamFormat::Legacy ? 2018 : 9216;
        SentTrain t{sitesim::GenerateTrain(site, d, rng), {}};
        const auto& s = t.train.stream;
        if (d.format == sitesim::StreamFormat::Legacy)
            AssembleAllInOne(t.record, s.data(), s.size());
        else
            AssembleFromBlocks(t.record, s.data(), s.size());
        EXPECT_TRUE(WriteTrainReport(callers.Folder(), t.record.header, t.record.axleSlots, out));
        sent.push_back(std::move(t));
    }
    return sent;
}

std::string Stamp(const sitesim::TrainTime& t, bool withSeconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, withSeconds ? t.second : 0);
    return text;
}

// Sends a train to the collector as an All-in-One Data Packet of site 12
// and runs one cycle: journaled, acknowledged, reported.
std::string SendAllInOne(WorkerHarness& harness, const sitesim::GeneratedTrain& train) {
    std::vector<std::uint8_t> payload(17 + train.stream.size(), 0);
    std::copy(train.stream.begin(), train.stream.end(), payload.begin() + 17);
    harness.port->Feed(MakeFrame(12, COLLECTOR_ID, 1, PT_ALL_IN_ONE, payload));
    EXPECT_TRUE(RunCollectorCycle(harness.C()));
    return train.ReportFileName();
}

std::string HexOf(const std::string& bytes) {
    std::string hex;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02X", c);
        hex += two;
    }
    return hex;
}

std::int64_t Scalar(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr);
    const std::int64_t v = sqlite3_step(q) == SQLITE_ROW ? sqlite3_column_int64(q, 0) : -1;
    sqlite3_finalize(q);
    return v;
}

// Makes `path` a history as version 1 wrote it, with the rows of the
// history `from` under their ids times 3 (ids with gaps).
void WriteVersion1(const std::string& path, const std::string& from) {
    constexpr const char* kTrainColumns =
        "site_id, site_number, site_name, unit_type, milepost, track, first_time, second_time, "
        "received, train_number, axles, cars, hb_left_max, hb_left_axle, hb_right_max, hb_right_axle, "
        "hw_left_max, hw_left_axle, hw_right_max, hw_right_axle, maxed_left, maxed_right, "
        "maxed_left + maxed_right > 0, sim_codes, file, file_size, file_mtime";
    const std::string sql = std::string(R"SQL(
CREATE TABLE trains(id INTEGER PRIMARY KEY, site_id INTEGER NOT NULL, site_number INTEGER NOT NULL,
  site_name TEXT NOT NULL, unit_type TEXT NOT NULL, milepost REAL, track INTEGER NOT NULL,
  first_time TEXT NOT NULL, second_time TEXT NOT NULL, received TEXT NOT NULL,
  train_number INTEGER NOT NULL, axles INTEGER NOT NULL, cars INTEGER NOT NULL,
  hb_left_max INTEGER NOT NULL, hb_left_axle INTEGER NOT NULL,
  hb_right_max INTEGER NOT NULL, hb_right_axle INTEGER NOT NULL,
  hw_left_max INTEGER, hw_left_axle INTEGER, hw_right_max INTEGER, hw_right_axle INTEGER,
  maxed_left INTEGER NOT NULL, maxed_right INTEGER NOT NULL, alarm INTEGER NOT NULL,
  sim_codes TEXT NOT NULL, file TEXT NOT NULL UNIQUE, file_size INTEGER NOT NULL,
  file_mtime INTEGER NOT NULL);
CREATE INDEX trains_by_time ON trains(first_time, id);
CREATE INDEX trains_by_site ON trains(site_number, first_time);
CREATE TABLE axles(train_id INTEGER NOT NULL, axle INTEGER NOT NULL, car INTEGER NOT NULL,
  car_start INTEGER NOT NULL, hb_left INTEGER NOT NULL, hb_right INTEGER NOT NULL,
  hw_left INTEGER, hw_right INTEGER, load INTEGER NOT NULL, PRIMARY KEY(train_id, axle)) WITHOUT ROWID;
CREATE TABLE skipped(file TEXT PRIMARY KEY, file_size INTEGER NOT NULL,
  file_mtime INTEGER NOT NULL, reason TEXT NOT NULL);
PRAGMA application_id=1263817294; PRAGMA user_version=1; PRAGMA journal_mode=WAL;
ATTACH ')SQL") + from + "' AS v2;" + "INSERT INTO trains SELECT id * 3, " + kTrainColumns +
                            " FROM v2.trains;"
                            "INSERT INTO axles SELECT train_id * 3, axle, car, car_start, hb_left, hb_right, "
                            "hw_left, hw_right, load FROM v2.axles;";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << error;
    sqlite3_free(error);
    sqlite3_close(db);
}

int TenBit(const AxleSlot& s, int low, int shift) { return (((s.bytes[5] >> shift) & 3) << 8) | s.bytes[low]; }

class TrainHistoryTest : public ::testing::Test {
protected:
    std::vector<SentTrain> SendTrains(int count, std::uint64_t seed, int firstNumber = 1) {
        return ::SendTrains(callers, count, seed, firstNumber);
    }
    std::string Path() const { return HistoryPath(folder.Folder()); }
    std::unique_ptr<TrainHistory> OpenWriter(std::string* replaced = nullptr) {
        std::string why;
        auto h = TrainHistory::OpenForWriting(Path(), replaced, &why);
        EXPECT_TRUE(h) << why;
        return h;
    }
    CatchUpResult CatchUp(TrainHistory& h, std::vector<std::string>* damaged = nullptr) {
        std::string why;
        const CallerTable table = callers.Snapshot();
        auto r = h.CatchUp(folder.Folder() + REPORT_FOLDER, RegistrySites(table.data(), table.size()),
                           nullptr,
                           [damaged](const std::string& f, const std::string&) {
                               if (damaged != nullptr) damaged->push_back(f);
                           },
                           &why);
        EXPECT_TRUE(r.ok) << why;
        return r;
    }

    TempDataFolder folder;
    CallerRegistry callers{folder.Folder()};
};

}  // namespace

TEST_F(TrainHistoryTest, IndexAgreesWithWhatTheSimulatorSent) {
    const auto sent = SendTrains(300, 7);
    auto history = OpenWriter();
    ASSERT_EQ(CatchUp(*history).indexed, 300);

    const auto rows = history->ListTrains({}, 0, 1000, TrainOrder::TrainNumber, true);
    ASSERT_EQ(rows.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const auto& t = sent[i].train;
        const auto& d = t.design;
        const TrainRow& r = rows[i];
        const bool legacy = d.format == sitesim::StreamFormat::Legacy;
        SCOPED_TRACE("train " + std::to_string(d.trainNumber));
        const CallerTable callerTable = callers.Snapshot();
        const CallerEntry* site = nullptr;
        for (const CallerEntry& e : callerTable)
            if (e.radioId != 0 && e.track == d.track && ReadLe16(sent[i].record.header + 2) + d.track - 1 == e.siteNumber)
                site = &e;
        ASSERT_NE(site, nullptr);
        EXPECT_EQ(r.siteId, site->radioId);
        // Copies: the entry is packed, and a reference to a member may be misaligned.
        EXPECT_EQ(r.siteNumber, +site->siteNumber);
        EXPECT_EQ(r.siteName, std::string(site->unitText));
        EXPECT_EQ(r.unitType, SiteTypeName(site->siteType));
        EXPECT_EQ(r.milepost, +site->milepost);
        EXPECT_EQ(r.track, d.track);
        EXPECT_EQ(r.trainNumber, d.trainNumber);
        EXPECT_EQ(r.firstTime, Stamp(d.time, !legacy));
        EXPECT_EQ(r.axles, d.axles);
        EXPECT_EQ(r.cars, static_cast<int>(t.carSizes.size()));
        EXPECT_EQ(r.file, t.ReportFileName());
        EXPECT_EQ(r.fileSize, static_cast<std::int64_t>(fs::file_size(folder / REPORT_FOLDER / r.file)));
        std::string codes;
        for (std::uint8_t c : t.simCodes)
            if (c != 0) codes += (codes.empty() ? "" : ",") + std::to_string(c <= 51 ? c : 0);
        EXPECT_EQ(r.simCodes, codes);

        const auto axles = history->Axles(r.id);
        ASSERT_EQ(axles.size(), static_cast<std::size_t>(d.axles));
        const bool hwd = (sent[i].record.header[1] & 1) != 0;
        int car = 0, carAxle = 0, maxed[2] = {0, 0}, hbMax[2] = {0, 0};
        for (int k = 0; k < d.axles; ++k) {
            const AxleSlot& s = sent[i].record.axleSlots[k];
            const ReportAxle& a = axles[static_cast<std::size_t>(k)];
            if (!legacy && carAxle == 0) carAxle = t.carSizes[static_cast<std::size_t>(car++)];
            const bool start = !legacy && carAxle == t.carSizes[static_cast<std::size_t>(car - 1)];
            if (!legacy) --carAxle;
            EXPECT_EQ(a.axle, k + 1);
            EXPECT_EQ(a.car, car);
            EXPECT_EQ(a.carStart, start);
            EXPECT_EQ(a.hotBoxLeft, s.bytes[0]);
            EXPECT_EQ(a.hotBoxRight, s.bytes[1]);
            EXPECT_EQ(a.hotWheelLeft, hwd ? TenBit(s, 2, 0) : -1);
            EXPECT_EQ(a.hotWheelRight, hwd ? TenBit(s, 3, 2) : -1);
            EXPECT_EQ(a.load, TenBit(s, 4, 4));
            for (int side = 0; side < 2; ++side) {
                hbMax[side] = std::max<int>(hbMax[side], s.bytes[side]);
                maxed[side] += s.bytes[side] == 255;
                if (hwd) maxed[side] += TenBit(s, 2 + side, 2 * side) == 1023;
            }
        }
        EXPECT_EQ(r.hotBoxMax[0], hbMax[0]);
        EXPECT_EQ(r.hotBoxMax[1], hbMax[1]);
        EXPECT_EQ(axles[static_cast<std::size_t>(r.hotBoxMaxAxle[0] - 1)].hotBoxLeft, hbMax[0]);
        EXPECT_EQ(r.maxed[0], maxed[0]);
        EXPECT_EQ(r.maxed[1], maxed[1]);
        EXPECT_EQ(r.hotWheelMax[0] >= 0, hwd);
    }
    // Filters: one site, alarms only, a date range.
    TrainFilter bySite;
    bySite.siteNumber = rows[0].siteNumber;
    EXPECT_EQ(history->CountTrains(bySite),
              std::count_if(rows.begin(), rows.end(), [&](const TrainRow& r) { return r.siteNumber == bySite.siteNumber; }));
    TrainFilter alarms;
    alarms.alarmsOnly = true;
    EXPECT_EQ(history->CountTrains(alarms),
              std::count_if(rows.begin(), rows.end(), [](const TrainRow& r) { return r.HasAlarm(); }));
    TrainFilter day;
    day.fromDate = day.toDate = rows[0].firstTime.substr(0, 10);
    EXPECT_EQ(history->CountTrains(day),
              std::count_if(rows.begin(), rows.end(), [&](const TrainRow& r) { return r.firstTime.compare(0, 10, day.fromDate) == 0; }));
    EXPECT_EQ(history->ListTrains({}, 0, 1).at(0).firstTime, rows.back().firstTime);  // newest first
}

TEST_F(TrainHistoryTest, CatchesUpWithFilesAddedChangedAndRemovedWhileStopped) {
    const auto first = SendTrains(20, 3);
    {
        auto history = OpenWriter();
        EXPECT_EQ(CatchUp(*history).indexed, 20);
        EXPECT_EQ(CatchUp(*history).indexed, 0);  // nothing new
    }
    const auto more = SendTrains(10, 4, 500);
    const fs::path reports = folder / REPORT_FOLDER;
    // One of the indexed reports goes (not one of the ten new ones).
    const std::string gone = TrainReportPath(callers.Folder(), first[0].record.header);
    fs::remove(gone);
    std::ofstream(reports / "20260101_0000.GEM.HBD.00001.txt") << "DEM cut short";
    // A second train of a name already taken is written under "-2".
    fs::path taken = TrainReportPath(callers.Folder(), more[0].record.header);
    if (taken == gone) taken = TrainReportPath(callers.Folder(), more[1].record.header);
    fs::copy_file(taken, reports / (taken.stem().string() + "-2.txt"));

    auto history = OpenWriter();
    std::vector<std::string> damaged;
    const CatchUpResult r = CatchUp(*history, &damaged);
    EXPECT_EQ(r.indexed, 11);
    EXPECT_EQ(r.removed, 1);
    EXPECT_EQ(damaged, std::vector<std::string>{"20260101_0000.GEM.HBD.00001.txt"});
    EXPECT_EQ(history->CountTrains({}), 30);
    damaged.clear();
    CatchUp(*history, &damaged);
    EXPECT_TRUE(damaged.empty()) << "a damaged report is told once";
}

TEST_F(TrainHistoryTest, DamagedForeignOrOtherSchemaIsSetAsideAndRebuilt) {
    SendTrains(5, 5);
    const std::string path = Path();
    auto foreign = [&](const char* sql) {
        fs::remove(path);
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        sqlite3_close(db);
    };
    // A history whose header and schema are sound, with every page behind
    // the first overwritten: only a look at the pages finds it.
    auto damagedPages = [&] {
        fs::remove(path);
        {
            auto h = OpenWriter();
            CatchUp(*h);
        }
        const auto size = fs::file_size(path);
        ASSERT_GT(size, 4096u);
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4096);
        f << std::string(size - 4096, '\x5a');
    };
    const struct {
        std::function<void()> spoil;
        bool readable;  // opens for reading all the same (which looks at no pages)
    } spoilers[] = {
        {[&] { std::ofstream(path, std::ios::binary) << std::string(4096, 'x'); }, false},
        {[&] { foreign("CREATE TABLE notes(t TEXT); PRAGMA application_id=7;"); }, false},
        {[&] { foreign("CREATE TABLE trains(x); PRAGMA application_id=1263817294; PRAGMA user_version=99;"); },
         false},
        {damagedPages, true},
    };
    std::vector<std::string> kept;
    for (const auto& c : spoilers) {
        c.spoil();
        kept.push_back(ReadWholeFile(path));
        TrainHistory::OpenStatus status;
        std::string why;
        EXPECT_EQ(static_cast<bool>(TrainHistory::OpenForReading(path, &status, &why)), c.readable);
        if (c.readable) {
            auto reader = TrainHistory::OpenForReading(path, nullptr, nullptr);
            ASSERT_TRUE(reader);
            EXPECT_FALSE(reader->QuickCheck(&why));
            EXPECT_FALSE(why.empty());
        }
        std::string replaced, keptAs;
        auto history = TrainHistory::OpenForWriting(path, &replaced, &why, &keptAs);
        ASSERT_TRUE(history) << why;
        EXPECT_FALSE(replaced.empty());
        EXPECT_EQ(keptAs, path + ".replaced" + (kept.size() == 1 ? "" : "-" + std::to_string(kept.size())));
        EXPECT_EQ(CatchUp(*history).indexed, 5);
    }
    // Every file set aside is still there as it was: none went over another.
    for (std::size_t i = 0; i < kept.size(); ++i)
        EXPECT_EQ(ReadWholeFile(path + ".replaced" + (i == 0 ? "" : "-" + std::to_string(i + 1))), kept[i])
            << "copy " << i + 1;
    auto history = TrainHistory::OpenForReading(path, nullptr, nullptr);
    ASSERT_TRUE(history);
    std::string why;
    EXPECT_TRUE(history->QuickCheck(&why)) << why;
}

TEST_F(TrainHistoryTest, LockedDatabaseNeverStopsCollectionAndIsCaughtUpLater) {
    // The collector's own folder, registry and events this time.
    WorkerHarness harness;
    const std::string path = HistoryPath(harness.folder.Folder());
    std::vector<std::string> notices;
    std::mutex noticeMutex;
    EventHub& hub = harness.C().Events();
    HistoryRecorder recorder(harness.C().Callers(), [&](const std::string& line, bool) {
        std::lock_guard<std::mutex> lock(noticeMutex);
        notices.push_back(line);
    });
    // Every train alarms; each alarm is told once, also those of the
    // trains the locked history could not take when they came.
    std::ofstream(harness.folder / SETTINGS_FILE_NAME, std::ios::app) << "\n[Alarms]\nHotBox=0\n";
    std::map<std::int64_t, int> told;
    std::set<int> trainsTold;
    recorder.SetAlarmListener([&](const AlarmRow& a) {
        ++told[a.id];
        trainsTold.insert(a.trainNumber);
    });
    hub.Subscribe(&recorder);
    hub.Flush();

    // Another program holds the write lock.
    sqlite3* blocker = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &blocker), SQLITE_OK);
    sqlite3_busy_timeout(blocker, 10000);
    ASSERT_EQ(sqlite3_exec(blocker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    ::SendTrains(harness.C().Callers(), 0, 1);  // registers the sites only
    EngineEvent powerup;  // as the worker tells of the registration
    powerup.kind = EventKind::PowerupRegistered;
    powerup.siteId = 12;
    powerup.track = 1;
    powerup.time = std::time(nullptr);
    hub.Publish(powerup);
    sitesim::SimRandom siteRng(1);
    const auto site = sitesim::MakeSite(12, 1, sitesim::UnitKind::Halvor, siteRng);
    sitesim::SimRandom rng(9);
    auto send = [&](std::uint16_t number) {
        sitesim::TrainDesign d;
        d.trainNumber = number;
        d.time.minute = number;
        return SendAllInOne(harness, sitesim::GenerateTrain(site, d, rng));
    };
    const std::string first = send(1), second = send(2);
    EXPECT_TRUE(fs::exists(harness.folder / REPORT_FOLDER / first));
    EXPECT_TRUE(fs::exists(harness.folder / REPORT_FOLDER / second));
    hub.Flush();
    sqlite3_exec(blocker, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(blocker);
    {
        std::lock_guard<std::mutex> lock(noticeMutex);
        ASSERT_EQ(std::count_if(notices.begin(), notices.end(),
                                [](const std::string& l) { return l.rfind("ERROR: Train history", 0) == 0; }),
                  1);
    }
    send(3);  // the next train that can be written brings the history up to date
    hub.Flush();
    hub.Unsubscribe(&recorder);
    auto history = TrainHistory::OpenForReading(path, nullptr, nullptr);
    ASSERT_TRUE(history);
    EXPECT_EQ(history->CountTrains({}), 3);
    for (const TrainRow& r : history->ListTrains({}, 0, 3)) EXPECT_EQ(r.siteId, 12);
    EXPECT_EQ(trainsTold, (std::set<int>{1, 2, 3}));
    EXPECT_EQ(static_cast<std::int64_t>(told.size()), history->CountAlarms({}));
    for (const auto& [id, times] : told) EXPECT_EQ(times, 1) << "alarm " << id;
    // Each alarm told is journaled once for the office, with its train's
    // place in the train journal; the Powerups, and the sites they brought
    // with their registry data.
    std::size_t journaled = 0, powerups = 0, sites = 0;
    for (const auto& entry : fs::directory_iterator(harness.folder / "Journal")) {
        if (EventJournalDate(entry.path().filename().string()) == 0) continue;
        std::vector<JournalEvent> events;
        DecodeEventJournal(ReadWholeFile(entry.path()), &events);
        for (const JournalEvent& e : events) {
            journaled += e.json.rfind("{\"type\":\"alarm\",\"journal\":2", 0) == 0;
            powerups += e.json.rfind("{\"type\":\"powerup\",\"radio\":12,", 0) == 0;
            sites += e.json.rfind("{\"type\":\"site\",", 0) == 0 && e.json.find("\"radio\":12,\"name\":\"") != std::string::npos;
        }
    }
    EXPECT_EQ(journaled, told.size());
    EXPECT_GE(powerups, 1u);
    EXPECT_GE(sites, 1u);
}

// What the site sent beyond the report reaches the history from the
// journal: live with each report, and at the catch-up after a version 1
// file was brought to version 2 (ids kept, and never given again).
TEST_F(TrainHistoryTest, SiteDataFromTheJournalLiveAndAfterMigration) {
    WorkerHarness harness;
    const std::string path = HistoryPath(harness.folder.Folder());
    HistoryRecorder recorder(harness.C().Callers(), nullptr);
    EventHub& hub = harness.C().Events();
    hub.Subscribe(&recorder);
    hub.Flush();
    ::SendTrains(harness.C().Callers(), 0, 1);  // registers the sites only
    sitesim::SimRandom siteRng(1);
    const auto site = sitesim::MakeSite(12, 1, sitesim::UnitKind::Halvor, siteRng);
    sitesim::SimRandom rng(21);
    // Current-format trains: their readings never reach the maximum, so
    // only the site's alarm entries make an alarm train of them.
    std::map<std::string, sitesim::GeneratedTrain> sent;
    for (std::uint16_t n = 1; n <= 12; ++n) {
        sitesim::TrainDesign d;
        d.trainNumber = n;
        d.time.minute = n;
        auto train = sitesim::GenerateTrain(site, d, rng);
        sent.emplace(SendAllInOne(harness, train), std::move(train));
    }
    hub.Flush();
    hub.Unsubscribe(&recorder);

    // Checks every row against the train sent; `migrated`: ids are 3 times
    // those given live.
    std::map<std::string, std::int64_t> liveIds;
    auto check = [&](TrainHistory& h, bool siteData) {
        const auto rows = h.ListTrains({}, 0, 100);
        ASSERT_EQ(rows.size(), sent.size());
        int alarmTrains = 0;
        for (const TrainRow& r : rows) {
            SCOPED_TRACE(r.file);
            const auto& t = sent.at(r.file);
            const auto entries = ReadSiteAlarmEntries(t.stream.data(), t.stream.size());
            ASSERT_EQ(static_cast<int>(entries.size()), t.alarmEntries);
            EXPECT_EQ(r.maxed[0] + r.maxed[1], 0);
            EXPECT_EQ(r.siteAlarms, siteData ? t.alarmEntries : 0);
            EXPECT_EQ(r.HasAlarm(), siteData && t.alarmEntries > 0);
            EXPECT_EQ(h.SiteAlarms(r.id), siteData ? entries : std::vector<SiteAlarmEntry>{});
            EXPECT_EQ(r.journalFile.empty(), !siteData);
            alarmTrains += r.HasAlarm();
            if (!liveIds.empty()) {
                EXPECT_EQ(r.id, 3 * liveIds.at(r.file));
            }
            if (!siteData) continue;
            EXPECT_EQ(r.journalFile, TrainJournalFileName(harness.clock.Now()));
            auto record = std::make_unique<TrainRecord>();
            AssembleAllInOne(*record, t.stream.data(), t.stream.size());
            sqlite3* db = h.Handle();
            const std::string id = std::to_string(r.id);
            EXPECT_EQ(Scalar(db, "SELECT count(*) FROM axles WHERE train_id = " + id +
                                     " AND slot_byte6 IS NOT NULL"),
                      t.design.axles);
            for (int k : {0, t.design.axles - 1})
                EXPECT_EQ(Scalar(db, "SELECT slot_byte6 FROM axles WHERE train_id = " + id +
                                         " AND axle = " + std::to_string(k + 1)),
                          record->axleSlots[k].bytes[6]);
            std::string header(reinterpret_cast<const char*>(record->prefix), TRAIN_PREFIX_SIZE);
            header.append(reinterpret_cast<const char*>(record->header), TRAIN_HEADER_SIZE);
            EXPECT_EQ(Scalar(db, "SELECT count(*) FROM trains WHERE id = " + id + " AND header = x'" +
                                     HexOf(header) + "'"),
                      1);
        }
        TrainFilter alarms;
        alarms.alarmsOnly = true;
        EXPECT_EQ(h.CountTrains(alarms), alarmTrains);
        EXPECT_EQ(alarmTrains > 0, siteData);
    };
    {
        auto live = TrainHistory::OpenForReading(path, nullptr, nullptr);
        ASSERT_TRUE(live);
        check(*live, true);
        for (const TrainRow& r : live->ListTrains({}, 0, 100)) liveIds[r.file] = r.id;
        TrainFilter alarmsOnly;
        alarmsOnly.alarmsOnly = true;
        const auto alarm = live->ListTrains(alarmsOnly, 0, 1).at(0);
        EXPECT_NE(FormatTrainJson({alarm}).find(",\"site_alarms\":" + std::to_string(alarm.siteAlarms) + "}"),
                  std::string::npos);
        EXPECT_NE(FormatAxleTable(alarm, {}, live->SiteAlarms(alarm.id)).find("Site alarms: " +
                                                                              std::to_string(alarm.siteAlarms) + " (axle "),
                  std::string::npos);
    }

    // A version 1 file reads as it is, without site data; opened for
    // writing it becomes version 2 with every row and id, and the catch-up
    // fills in the site data from the journal.
    const std::string old = path + ".v1";
    WriteVersion1(old, path);
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix);
    fs::rename(old, path);
    {
        auto reader = TrainHistory::OpenForReading(path, nullptr, nullptr);
        ASSERT_TRUE(reader);
        check(*reader, false);
    }
    std::string replaced, why;
    auto writer = TrainHistory::OpenForWriting(path, &replaced, &why);
    ASSERT_TRUE(writer) << why;
    EXPECT_EQ(replaced, "");
    EXPECT_EQ(Scalar(writer->Handle(), "PRAGMA user_version"), HISTORY_SCHEMA_VERSION);
    check(*writer, false);
    const CallerTable table = harness.C().Callers().Snapshot();
    const auto sites = RegistrySites(table.data(), table.size());
    // The catch-up makes the alarms of the trains kept (the site's own among
    // them); backlog rows of trains gone meanwhile are only dropped.
    ASSERT_EQ(sqlite3_exec(writer->Handle(), "INSERT INTO alarm_backlog VALUES(999998),(999999)", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    writer->SetAlarmMaker(HistoryAlarmMaker(AlarmRules{}));
    const CatchUpResult r = writer->CatchUp(harness.folder.Folder() + REPORT_FOLDER, sites, nullptr, nullptr,
                                            &why, JournalSiteDataLookup(harness.folder.Folder()));
    EXPECT_TRUE(r.ok) << why;
    EXPECT_EQ(r.indexed, 0);
    EXPECT_EQ(r.siteDataFilled, 12);
    EXPECT_EQ(r.alarmsMade, 0);  // each made with its site data
    EXPECT_EQ(Scalar(writer->Handle(), "SELECT count(*) FROM alarm_backlog"), 0);
    TrainFilter alarmTrains;
    alarmTrains.alarmsOnly = true;
    EXPECT_EQ(Scalar(writer->Handle(), "SELECT count(DISTINCT train_id) FROM alarms WHERE kind = 'site'"),
              writer->CountTrains(alarmTrains));
    check(*writer, true);
    // A report indexed again gets an id above every id the file has had.
    const std::string first = sent.begin()->first;
    ASSERT_TRUE(writer->IndexReport(harness.folder.Folder() + REPORT_FOLDER + "/" + first, 12,
                                    "2026-03-01 00:00:00", sites, &why))
        << why;
    EXPECT_EQ(Scalar(writer->Handle(), "SELECT id FROM trains WHERE file = '" + first + "'"), 37);
}

// A rebuild indexes every file again, but the rows of unchanged files keep
// their ids, also when a file before them became damaged; a file put right
// again comes back under a new id, never an old one.
TEST_F(TrainHistoryTest, RebuildKeepsTheIdsOfUnchangedFiles) {
    SendTrains(12, 11);
    auto history = OpenWriter();
    ASSERT_EQ(CatchUp(*history).indexed, 12);
    std::map<std::string, std::int64_t> ids;
    for (const TrainRow& r : history->ListTrains({}, 0, 100)) ids[r.file] = r.id;
    const std::string spoiled = std::next(ids.begin(), 2)->first;
    const fs::path spoiledPath = folder / REPORT_FOLDER / spoiled;
    const std::string good = ReadWholeFile(spoiledPath);
    std::ofstream(spoiledPath, std::ios::trunc) << good.substr(0, good.size() / 2);

    std::vector<std::string> damaged;
    std::string why;
    const CallerTable table = callers.Snapshot();
    const CatchUpResult r =
        history->Rebuild(folder.Folder() + REPORT_FOLDER, RegistrySites(table.data(), table.size()), nullptr,
                         [&](const std::string& f, const std::string&) { damaged.push_back(f); }, &why);
    ASSERT_TRUE(r.ok) << why;
    EXPECT_EQ(r.indexed, 11);
    EXPECT_EQ(damaged, std::vector<std::string>{spoiled});
    const auto rows = history->ListTrains({}, 0, 100);
    ASSERT_EQ(rows.size(), 11u);
    for (const TrainRow& row : rows) EXPECT_EQ(row.id, ids.at(row.file)) << row.file;

    std::ofstream(spoiledPath, std::ios::trunc) << good;
    EXPECT_EQ(CatchUp(*history).indexed, 1);
    EXPECT_EQ(history->CountTrains({}), 12);
    std::int64_t highest = 0;
    for (const auto& [file, id] : ids) highest = std::max(highest, id);
    for (const TrainRow& row : history->ListTrains({}, 0, 100)) {
        if (row.file == spoiled) {
            EXPECT_EQ(row.id, highest + 1);
        }
    }
}

// The alarm list: unacknowledged first, newest first; an acknowledgement is
// kept with its alarm's id when the report is indexed again, live or by a
// rebuild, and an alarm is acknowledged once.
TEST_F(TrainHistoryTest, AlarmsAreListedAcknowledgedAndKeptThroughReindexing) {
    SendTrains(8, 5);
    auto history = OpenWriter();
    AlarmRules rules;
    rules.hotBox = 45;  // the simulator's healthy readings pass it here and there
    rules.outlierAboveMedian = rules.sideDifference = RULE_OFF;
    history->SetAlarmMaker(HistoryAlarmMaker(rules));
    ASSERT_EQ(CatchUp(*history).indexed, 8);
    const auto all = history->ListAlarms({}, 0, -1);
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(history->CountUnacknowledged(), static_cast<std::int64_t>(all.size()));
    for (std::size_t i = 1; i < all.size(); ++i) EXPECT_GE(all[i - 1].received, all[i].received);
    const AlarmRow newest = all.front(), oldest = all.back();
    EXPECT_EQ(newest.kind, "hot-box");
    EXPECT_GT(newest.reading, 45);
    EXPECT_EQ(newest.threshold, 45);
    EXPECT_NE(newest.text.find("above 45"), std::string::npos);

    std::string why;
    EXPECT_TRUE(history->AcknowledgeAlarm(newest.id, "Ann\x1b[2J Lind", "car set out\n", &why)) << why;
    EXPECT_FALSE(history->AcknowledgeAlarm(newest.id, "Bo", "", &why));
    EXPECT_NE(why.find("acknowledged already by Ann[2J Lind"), std::string::npos) << why;
    EXPECT_FALSE(history->AcknowledgeAlarm(999999, "Bo", "", &why));
    EXPECT_EQ(why, "no alarm with id 999999");
    EXPECT_FALSE(history->AcknowledgeAlarm(oldest.id, "\n", "", &why));

    const auto check = [&](TrainHistory& h) {
        const auto list = h.ListAlarms({}, 0, -1);
        ASSERT_EQ(list.size(), all.size());
        EXPECT_EQ(list.back().id, newest.id);  // acknowledged: after every open one
        EXPECT_TRUE(list.back().acknowledged);
        EXPECT_EQ(list.back().ackBy, "Ann[2J Lind");
        EXPECT_EQ(list.back().ackComment, "car set out");
        EXPECT_GT(list.back().ackEpoch, 0);
        EXPECT_EQ(list.front().id, all[1].id);
        EXPECT_EQ(h.CountUnacknowledged(), static_cast<std::int64_t>(all.size()) - 1);
        AlarmFilter open;
        open.unacknowledgedOnly = true;
        open.siteNumber = oldest.siteNumber;
        for (const AlarmRow& a : h.ListAlarms(open, 0, -1)) {
            EXPECT_FALSE(a.acknowledged);
            EXPECT_EQ(a.siteNumber, oldest.siteNumber);
        }
    };
    check(*history);
    // Indexed live after the catch-up had it: its alarms are handed out
    // once, and the acknowledgement stays.
    const CallerTable table = callers.Snapshot();
    const auto sites = RegistrySites(table.data(), table.size());
    const auto ofTrain = std::count_if(all.begin(), all.end(), [&](const AlarmRow& a) { return a.file == newest.file; });
    for (const bool first : {true, false}) {
        std::vector<AlarmRow> added;
        ASSERT_TRUE(history->IndexReport(folder.Folder() + REPORT_FOLDER + "/" + newest.file, 0, newest.received,
                                         sites, &why, nullptr, &added))
            << why;
        EXPECT_EQ(static_cast<long>(added.size()), first ? ofTrain : 0);
        EXPECT_EQ(std::count_if(added.begin(), added.end(), [&](const AlarmRow& a) { return a.id == newest.id; }),
                  first ? 1 : 0);
    }
    check(*history);
    ASSERT_TRUE(history->Rebuild(folder.Folder() + REPORT_FOLDER, sites, nullptr, nullptr, &why).ok) << why;
    check(*history);
    // Read by another program.
    auto reader = TrainHistory::OpenForUpdate(Path(), nullptr, &why);
    ASSERT_TRUE(reader) << why;
    check(*reader);
    EXPECT_TRUE(reader->AcknowledgeAlarm(oldest.id, "Bo", "", &why)) << why;
    EXPECT_EQ(history->CountUnacknowledged(), static_cast<std::int64_t>(all.size()) - 2);

    // A trend alarm, which the train's passes at other sites make and not its
    // report: added once, handed out once, and kept with its id when the
    // report is indexed again, live or by a rebuild.
    const TrainRow train = history->ListTrains({}, 0, 1).front();
    AlarmFields trend;
    trend.kind = "trend";
    trend.axle = 3, trend.side = "left", trend.reading = 90, trend.reference = 40, trend.threshold = 25;
    trend.text = "trend axle 3 left";
    std::int64_t trendId = 0;
    for (const std::size_t expected : {1u, 0u}) {
        std::vector<AlarmRow> added;
        ASSERT_TRUE(history->AddAlarms(train.id, {trend}, &added, &why)) << why;
        ASSERT_EQ(added.size(), expected);
        if (expected == 1) trendId = added[0].id;
    }
    std::vector<AlarmRow> again;
    ASSERT_TRUE(history->IndexReport(folder.Folder() + REPORT_FOLDER + "/" + train.file, 0, train.received, sites, &why,
                                     nullptr, &again))
        << why;
    ASSERT_TRUE(history->Rebuild(folder.Folder() + REPORT_FOLDER, sites, nullptr, nullptr, &why).ok) << why;
    const auto kept = history->AlarmById(trendId);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->kind, "trend");
    EXPECT_EQ(kept->trainId, history->ListTrains({}, 0, 1).front().id);
    EXPECT_EQ(std::count_if(again.begin(), again.end(), [](const AlarmRow& a) { return a.kind == "trend"; }), 0);
}

TEST(EventHubTest, StuckSubscriberDropsWithACountAndNeverHoldsThePublisher) {
    struct Stuck : IEventSubscriber {
        std::mutex mutex;
        std::condition_variable wake;
        bool inside = false, release = false;
        int seen = 0;
        void OnEngineEvent(const EngineEvent&) override {
            std::unique_lock<std::mutex> lock(mutex);
            ++seen;
            inside = true;
            wake.notify_all();
            wake.wait(lock, [this] { return release; });
        }
    } stuck;
    EventHub hub;
    hub.Subscribe(&stuck, 4);
    hub.Publish(EngineEvent{});
    {
        std::unique_lock<std::mutex> lock(stuck.mutex);
        stuck.wake.wait(lock, [&] { return stuck.inside; });
    }
    // The subscriber is stuck in its first event: these return all the same.
    for (int i = 0; i < 99; ++i) hub.Publish(EngineEvent{});
    EXPECT_EQ(hub.Dropped(&stuck), 95u);
    {
        std::lock_guard<std::mutex> lock(stuck.mutex);
        stuck.release = true;
    }
    stuck.wake.notify_all();
    hub.Flush();
    EXPECT_EQ(stuck.seen, 5);
}
