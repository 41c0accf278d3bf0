// The daily scope log: one file per local date, every entry kept as it is,
// with or without a scope window, old files removed, failures reported once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "TestSupport.h"
#include "common/Globals.h"
#include "common/ScopeEntry.h"
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
        saved_ = exeDirectory;
        char tmpl[] = "/tmp/kestova-scopelog-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        folder_ = tmpl;
        exeDirectory = folder_ + "/";
        clock_.SetTime(kJune1Noon);
        SetClock(&clock_);
    }
    void TearDown() override {
        SetScopeLogEnabled(false);
        SetClock(nullptr);
        exeDirectory = saved_;
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    std::string Read(const std::string& name) {
        std::ifstream in(folder_ + "/Logs/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void Touch(const std::string& name) { std::ofstream(folder_ + "/Logs/" + name) << "old\n"; }
    bool Exists(const std::string& name) { return fs::exists(folder_ + "/Logs/" + name); }

    FakeClock clock_;
    std::string folder_, saved_;
};

TEST_F(ScopeLogTest, EntriesGoToTheFileOfTheirDateUnchanged) {
    ScopeLogAppend("12:00:00: Info   | dropped while off\n");
    EXPECT_FALSE(fs::exists(folder_ + "/Logs"));

    SetScopeLogEnabled(true);
    const std::string dump = "12:00:01: Field  | 55 AA 11 FA \r\n";
    ScopeLogAppend("12:00:00: Info   | first\n");
    ScopeLogAppend(dump);
    EXPECT_EQ(ScopeLogFileName(kJune1Noon), "Scope-20260601.txt");
    // Flushed per entry: readable before anything is closed.
    EXPECT_EQ(Read("Scope-20260601.txt"), "12:00:00: Info   | first\n" + dump);

    clock_.SetTime(kJune1Noon + kDay);
    ScopeLogAppend("next day\n");
    EXPECT_EQ(Read("Scope-20260602.txt"), "next day\n");
    EXPECT_EQ(Read("Scope-20260601.txt"), "12:00:00: Info   | first\n" + dump);

    // Appends to what an earlier run left.
    SetScopeLogEnabled(false);
    SetScopeLogEnabled(true);
    ScopeLogAppend("after restart\n");
    EXPECT_EQ(Read("Scope-20260602.txt"), "next day\nafter restart\n");
}

TEST_F(ScopeLogTest, EntriesReachTheFileWithAndWithoutAScopeWindow) {
    // Closing the scope window must not stop the day's log: the core writes
    // it where the entries are made, the window only shows them.
    auto window = std::make_shared<testsupport::RecordingWindow>();
    const WindowHandle handle = RegisterWindow(window);
    SetScopeLogEnabled(true);
    const std::uint8_t frame[] = {0x55, 0xAA, 0xFE};
    for (const WindowHandle open : {WindowHandle{0}, handle, WindowHandle{0}}) {
        scopeWindow = open;
        LogLine(COLOUR_DARK_GREEN, "window %u\n", open);
        SendToScope(WM_LOG_COLLECT_BYTES, sizeof frame, reinterpret_cast<LPARAM>(frame));
    }
    scopeWindow = 0;
    UnregisterWindow(handle);

    const std::string log = Read("Scope-20260601.txt");
    std::string expected;
    for (const WindowHandle open : {WindowHandle{0}, handle, WindowHandle{0}})
        expected += "Info   | window " + std::to_string(open) + "\nCollect| 55 AA FE \r\n";
    std::string withoutTimes;  // each entry begins "HH:MM:SS: "
    for (std::size_t at = 0, end; at + 10 < log.size(); at = end) {
        end = std::min(log.find('\n', at), log.size() - 1) + 1;
        withoutTimes += log.substr(at + 10, end - at - 10);
    }
    EXPECT_EQ(withoutTimes, expected) << log;
    EXPECT_EQ(window->Lines(), std::vector<std::string>{"window " + std::to_string(handle) + "\n"});
    EXPECT_EQ(window->Messages().size(), 2u);
}

TEST_F(ScopeLogTest, FilesMoreThan90DaysOldGoAtStartAndAtDayChange) {
    fs::create_directories(folder_ + "/Logs");
    Touch("Scope-20260302.txt");   // 91 days before 1 June
    Touch("Scope-20260303.txt");   // 90 days: kept
    Touch("Scope-2026030.txt");    // not one of ours
    Touch("Scope-19990101.log");
    Touch("notes.txt");
    SetScopeLogEnabled(true);
    ScopeLogAppend("x\n");
    EXPECT_FALSE(Exists("Scope-20260302.txt"));
    EXPECT_TRUE(Exists("Scope-20260303.txt"));
    EXPECT_TRUE(Exists("Scope-2026030.txt"));
    EXPECT_TRUE(Exists("Scope-19990101.log"));
    EXPECT_TRUE(Exists("notes.txt"));

    clock_.SetTime(kJune1Noon + kDay);
    ScopeLogAppend("y\n");
    EXPECT_FALSE(Exists("Scope-20260303.txt"));
    EXPECT_TRUE(Exists("Scope-20260601.txt"));
}

TEST_F(ScopeLogTest, AFailureIsReportedOnceAndTheRecoveryOnce) {
    // A plain file where the folder should be: nothing can be written.
    std::ofstream(folder_ + "/Logs") << "in the way";
    SetScopeLogEnabled(true);
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 5; ++i) ScopeLogAppend("lost\n");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot be written"), std::string::npos) << err;
    EXPECT_EQ(err.find("cannot be written"), err.rfind("cannot be written")) << err;

    fs::remove(folder_ + "/Logs");
    ::testing::internal::CaptureStderr();
    ScopeLogAppend("kept\n");
    ScopeLogAppend("kept too\n");
    err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("written again"), std::string::npos) << err;
    EXPECT_EQ(err.find("written again"), err.rfind("written again")) << err;
    EXPECT_EQ(Read("Scope-20260601.txt"), "kept\nkept too\n");
}

}  // namespace
