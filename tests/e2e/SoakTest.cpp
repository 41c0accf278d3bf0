// Soak: many trains from the site simulator, pacing off, through one
// kestova-collector process. Every report must be byte for byte the one the
// simulator expects, and the collector's resident memory and open files must
// stay where they were after the first part of the run.
//
// KESTOVA_SOAK_TRAINS sets the number of trains (a short run by default;
// scripts/soak runs 10,000). The figures are printed as a table.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "e2e/FaultHarness.h"
#include "e2e/PtyHarness.h"

#if defined(KESTOVA_COLLECTOR_EXE) && defined(KESTOVA_SITE_SIM_EXE)

namespace {

namespace fs = std::filesystem;
using namespace e2e;

constexpr int kDefaultTrains = 200;
constexpr int kCom = 5;
// Resident memory may move this much between the two samples.
constexpr long kRssToleranceKiB = 256;

int TrainsToRun() {
    const char* text = std::getenv("KESTOVA_SOAK_TRAINS");
    if (text == nullptr || *text == '\0') return kDefaultTrains;
    const long n = std::strtol(text, nullptr, 10);
    return n > 0 ? static_cast<int>(n) : kDefaultTrains;
}

struct Sample {
    int trains = 0;
    long rssKiB = -1;
    int openFiles = -1;
    double seconds = 0;
};

TEST(Soak, TrainsGoThroughByteExactWithFlatMemoryAndFiles) {
    const int trains = TrainsToRun();
    // Memory is first looked at after 1,000 trains, or half of a shorter
    // run, when every buffer has met its largest train and the history's
    // page caches (256 KiB a connection) have filled: a history of a few
    // dozen trains does not fill them yet.
    const int firstAt = std::min(1000, std::max(1, trains / 2));
    DataFolder data;
    const std::string expectFolder = data.File("expected");

    LiveProcess sim;
    LiveProcess::Options simOptions;
    simOptions.args = {"--data-folder", data.Path(), "--com", std::to_string(kCom),
                       "--no-pacing", "--trains", std::to_string(trains),
                       "--sites", "12,34,56", "--seed", "11",
                       "--expect", expectFolder, "--peer-timeout", "60", "--linger", "3000"};
    simOptions.keepLines = 4000;
    simOptions.tally = {"acknowledged -> Z918E/", "All-in-One (", " block", "legacy"};
    ASSERT_TRUE(sim.Start(KESTOVA_SITE_SIM_EXE, simOptions));
    ASSERT_TRUE(sim.WaitForLineContaining("linked as", Millis(10000))) << sim.Stderr();

    LiveProcess collector;
    LiveProcess::Options options;
    options.env.push_back("KESTOVA_HOME=" + data.Path());
    options.keepLines = 2000;
    options.tally = {"ERROR", "Error"};
    const auto started = SteadyClock::now();
    ASSERT_TRUE(collector.Start(KESTOVA_COLLECTOR_EXE, options));
    ASSERT_TRUE(collector.WaitForLineContaining("Using Serial Port COMM 5", Millis(10000)))
        << collector.Stderr();
    auto secondsSince = [&] {
        return std::chrono::duration<double>(SteadyClock::now() - started).count();
    };

    // A train takes well under two seconds even with every pause of the
    // collector's loop; beyond that something is stuck.
    auto trainLine = [&](int k) {
        const std::string tag = "(" + std::to_string(k) + "/" + std::to_string(trains) + ")";
        return sim.WaitForLine(
            [&](const std::string& l) { return l.rfind("site-sim: train ", 0) == 0 && l.find(tag) != std::string::npos; },
            Millis(60000 + static_cast<long>(k) * 2000));
    };
    auto first = trainLine(firstAt);
    ASSERT_TRUE(first.has_value()) << "train " << firstAt << " never came\n" << sim.Stderr();
    const Sample early{firstAt, collector.ResidentKiB(), collector.SteadyOpenFiles(), secondsSince()};

    auto last = trainLine(trains);
    ASSERT_TRUE(last.has_value()) << "train " << trains << " never came";
    // The last report is written just after its ACK, while the simulator
    // lingers on the line; the figures are taken before it hangs up.
    const std::string reports = data.File("Z918E");
    std::size_t expectedCount = 0;
    for (const std::string& name : FileNames(expectFolder))
        if (name.find(".tmp") == std::string::npos) ++expectedCount;
    for (int i = 0; i < 100 && FileNames(reports).size() < expectedCount; ++i)
        std::this_thread::sleep_for(Millis(10));
    const Sample end{trains, collector.ResidentKiB(), collector.SteadyOpenFiles(), secondsSince()};
    const std::size_t errorLines = collector.Tally(0) + collector.Tally(1);

    auto summary = sim.WaitForLineContaining("site-sim: summary:", Millis(30000));
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(sim.WaitExit(Millis(30000)), std::optional<int>(0)) << sim.Stderr();
    EXPECT_NE(summary->find(" 0 failed"), std::string::npos) << *summary;

    std::size_t exact = 0, differ = 0, missing = 0;
    for (const std::string& name : FileNames(expectFolder)) {
        if (name.find(".tmp") != std::string::npos) continue;
        const std::string path = reports + "/" + name;
        if (!fs::exists(path)) {
            ++missing;
            ADD_FAILURE() << "no report " << name;
            continue;
        }
        if (ReadFile(path) == ReadFile(expectFolder + "/" + name)) {
            ++exact;
        } else {
            ++differ;
            ADD_FAILURE() << "report " << name << " differs from the expected one";
        }
    }
    const std::size_t written = FileNames(reports).size();

    char table[1024];
    std::snprintf(table, sizeof table,
                  "[ soak     ] %-28s %12s %12s\n"
                  "[ soak     ] %-28s %12d %12d\n"
                  "[ soak     ] %-28s %12.1f %12.1f\n"
                  "[ soak     ] %-28s %12ld %12ld\n"
                  "[ soak     ] %-28s %12d %12d\n"
                  "[ soak     ] reports: %zu expected, %zu written, %zu byte-exact, %zu differ, "
                  "%zu missing\n",
                  "", "first", "last", "trains", early.trains, end.trains, "elapsed s",
                  early.seconds, end.seconds, "collector VmRSS KiB", early.rssKiB, end.rssKiB,
                  "collector open files", early.openFiles, end.openFiles, expectedCount, written,
                  exact, differ, missing);
    std::cout << table << "[ soak     ] trains acknowledged: " << sim.Tally(0) << " ("
              << sim.Tally(1) << " in one packet, " << sim.Tally(2) << " in blocks, "
              << sim.Tally(3) << " legacy)\n[ soak     ] " << *summary << std::endl;

    EXPECT_EQ(expectedCount, static_cast<std::size_t>(trains));
    EXPECT_EQ(exact, expectedCount);
    EXPECT_EQ(written, expectedCount);
    ASSERT_GT(early.rssKiB, 0);
    if (kMemoryIsJudged) {
        EXPECT_LE(end.rssKiB, early.rssKiB + kRssToleranceKiB);
    }
    EXPECT_EQ(end.openFiles, early.openFiles);
    EXPECT_EQ(errorLines, 0u) << "error lines in the scope";

    ASSERT_TRUE(collector.Signal(SIGTERM));
    EXPECT_EQ(collector.WaitExit(Millis(3000)), std::optional<int>(0)) << collector.Stderr();
}

}  // namespace

#endif
