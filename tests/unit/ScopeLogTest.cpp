// The daily scope log: one file per local date, every entry kept as it is,
// with or without a scope view, old files removed, failures reported once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "TestSupport.h"
#include "common/ScopeEntry.h"
#include "engine/Collector.h"
#include "platform/Clock.h"
#include "platform/ScopeLog.h"

namespace fs = std::filesystem;

namespace {

// Noon UTC keeps the local date the same in every usual time zone.
constexpr std::time_t kJune1Noon = 1780315200;   // 2026-06-01 12:00 UTC
constexpr std::time_t kDay = 86400;

class ScopeLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kestova-scopelog-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        folder_ = tmpl;
        clock_.SetTime(kJune1Noon);
    }
    void TearDown() override {
        log_.reset();
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    // The log of the folder, opened at its first use (reset: a restart).
    ScopeLog& Log() {
        if (!log_) log_.emplace(folder_ + "/", clock_);
        return *log_;
    }
    // A collector on the folder and the clock (its port in memory).
    std::unique_ptr<Collector> MakeCollector(bool scopeLog) {
        CollectorSetup setup;
        setup.dataFolder = folder_;
        setup.port = std::make_unique<MemorySerialPort>();
        setup.clock = &clock_;
        setup.scopeLog = scopeLog;
        return std::make_unique<Collector>(std::move(setup));
    }
    std::string Read(const std::string& name) {
        std::ifstream in(folder_ + "/Logs/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void Touch(const std::string& name) { std::ofstream(folder_ + "/Logs/" + name) << "old\n"; }
    bool Exists(const std::string& name) { return fs::exists(folder_ + "/Logs/" + name); }

    FakeClock clock_;
    std::optional<ScopeLog> log_;
    std::string folder_;
};

TEST_F(ScopeLogTest, ADayStopsAtItsLimitWithOneLineCountingWhatIsLeftOut) {
    const std::string entry = "12:00:00: Info   | noise 0123456789\n";  // 36 bytes
    const std::uint64_t limit = 3 * entry.size() + 10;
    const std::string stop = "Scope log stopped: this day's log reached its limit of 118 bytes; "
                             "entries not logged since: ";
    // What follows the entries: the one stop line of a run, with its count.
    auto tailOf = [&](const std::string& text, std::size_t from) {
        const std::string tail = text.substr(from);
        EXPECT_EQ(std::count(tail.begin(), tail.end(), '\n'), 1) << tail;
        EXPECT_EQ(tail.rfind(stop, 0), 0u) << tail;
        return tail.substr(stop.size(), tail.find(')') + 1 - stop.size());
    };
    log_.emplace(folder_ + "/", clock_, limit);
    for (int i = 0; i < 7; ++i) Log().Append(entry);
    const std::string day = Read("Scope-20260601.txt");
    EXPECT_EQ(day.substr(0, 3 * entry.size()), entry + entry + entry);
    EXPECT_EQ(tailOf(day, 3 * entry.size()), "4 (144 bytes)");

    // A restart on the same day finds the file at its limit.
    log_.reset();
    log_.emplace(folder_ + "/", clock_, limit);
    Log().Append(entry);
    const std::string after = Read("Scope-20260601.txt");
    EXPECT_EQ(after.substr(0, day.size()), day);
    EXPECT_EQ(tailOf(after, day.size()), "1 (36 bytes)");

    // The next day starts afresh.
    clock_.SetTime(kJune1Noon + kDay);
    Log().Append(entry);
    EXPECT_EQ(Read("Scope-20260602.txt"), entry);
}

TEST_F(ScopeLogTest, EntriesGoToTheFileOfTheirDateUnchanged) {
    EXPECT_EQ(Log().CurrentPath(), folder_ + "/Logs/Scope-20260601.txt");
    EXPECT_FALSE(fs::exists(folder_ + "/Logs")) << "nothing is made before the first entry";

    const std::string dump = "12:00:01: Field  | 55 AA 11 FA \r\n";
    Log().Append("12:00:00: Info   | first\n");
    Log().Append(dump);
    EXPECT_EQ(ScopeLogFileName(kJune1Noon), "Scope-20260601.txt");
    // Flushed per entry: readable before anything is closed.
    EXPECT_EQ(Read("Scope-20260601.txt"), "12:00:00: Info   | first\n" + dump);

    clock_.SetTime(kJune1Noon + kDay);
    EXPECT_EQ(Log().CurrentPath(), folder_ + "/Logs/Scope-20260602.txt");
    Log().Append("next day\n");
    EXPECT_EQ(Read("Scope-20260602.txt"), "next day\n");
    EXPECT_EQ(Read("Scope-20260601.txt"), "12:00:00: Info   | first\n" + dump);

    // Appends to what an earlier run left.
    log_.reset();
    Log().Append("after restart\n");
    EXPECT_EQ(Read("Scope-20260602.txt"), "next day\nafter restart\n");
}

TEST_F(ScopeLogTest, EntriesReachTheFileWithAndWithoutAScopeView) {
    // Closing the scope view must not stop the day's log: the collector
    // writes it where the entries are made, the view only shows them.
    auto collector = MakeCollector(true);
    EXPECT_EQ(collector->ScopeLogPath(), folder_ + "/Logs/Scope-20260601.txt");
    auto window = std::make_shared<testsupport::RecordingWindow>();
    const std::uint8_t frame[] = {0x55, 0xAA, 0xFE};
    const char* const views[] = {"none", "open", "closed"};
    for (const char* view : views) {
        collector->SetScopeView(std::string(view) == "open" ? window : nullptr);
        LogLine(*collector, COLOUR_DARK_GREEN, "view %s\n", view);
        collector->Scope(WM_LOG_COLLECT_BYTES, sizeof frame, reinterpret_cast<LPARAM>(frame));
    }
    collector->Scope(WM_LOG_TEXT, COLOUR_DARK_GREEN, 0);  // no text: no entry
    collector->LogPaneLine("12:00:00: pane line\n");

    const std::string log = Read("Scope-20260601.txt");
    std::string expected;
    for (const char* view : views)
        expected += "Info   | view " + std::string(view) + "\nCollect| 55 AA FE \r\n";
    expected += "pane line\n";
    std::string withoutTimes;  // each entry begins "HH:MM:SS: "
    for (std::size_t at = 0, end; at + 10 < log.size(); at = end) {
        end = std::min(log.find('\n', at), log.size() - 1) + 1;
        withoutTimes += log.substr(at + 10, end - at - 10);
    }
    EXPECT_EQ(withoutTimes, expected) << log;
    EXPECT_EQ(window->Lines(), std::vector<std::string>{"view open\n"});
    EXPECT_EQ(window->Messages().size(), 2u);

    // A collector without a log leaves the folder alone.
    collector = MakeCollector(false);
    EXPECT_EQ(collector->ScopeLogPath(), "");
    collector->SetScopeView(window);
    LogLine(*collector, COLOUR_DARK_GREEN, "shown only\n");
    EXPECT_EQ(window->Lines().back(), "shown only\n");
    EXPECT_EQ(Read("Scope-20260601.txt"), log);
}

TEST_F(ScopeLogTest, FilesMoreThan90DaysOldGoAtStartAndAtDayChange) {
    fs::create_directories(folder_ + "/Logs");
    Touch("Scope-20260302.txt");   // 91 days before 1 June
    Touch("Scope-20260303.txt");   // 90 days: kept
    Touch("Scope-2026030.txt");    // not one of ours
    Touch("Scope-19990101.log");
    Touch("notes.txt");
    Log().Append("x\n");
    EXPECT_FALSE(Exists("Scope-20260302.txt"));
    EXPECT_TRUE(Exists("Scope-20260303.txt"));
    EXPECT_TRUE(Exists("Scope-2026030.txt"));
    EXPECT_TRUE(Exists("Scope-19990101.log"));
    EXPECT_TRUE(Exists("notes.txt"));

    clock_.SetTime(kJune1Noon + kDay);
    Log().Append("y\n");
    EXPECT_FALSE(Exists("Scope-20260303.txt"));
    EXPECT_TRUE(Exists("Scope-20260601.txt"));
}

TEST_F(ScopeLogTest, AFailureIsReportedOnceAndTheRecoveryOnce) {
    // A plain file where the folder should be: nothing can be written.
    std::ofstream(folder_ + "/Logs") << "in the way";
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 5; ++i) Log().Append("lost\n");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot be written"), std::string::npos) << err;
    EXPECT_EQ(err.find("cannot be written"), err.rfind("cannot be written")) << err;

    fs::remove(folder_ + "/Logs");
    ::testing::internal::CaptureStderr();
    Log().Append("kept\n");
    Log().Append("kept too\n");
    err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("written again"), std::string::npos) << err;
    EXPECT_EQ(err.find("written again"), err.rfind("written again")) << err;
    EXPECT_EQ(Read("Scope-20260601.txt"), "kept\nkept too\n");
}

}  // namespace
