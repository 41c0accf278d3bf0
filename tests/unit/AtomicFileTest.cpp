// Whole-file replacement: the order of its steps, a failure at each step,
// what a killed writer or a hostile folder can leave at the temporary name,
// and the registry's save failure.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "TempDataFolder.h"
#include "TestSupport.h"
#include "platform/AtomicFile.h"
#include "records/Callers.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string TempNameFor(const fs::path& target, pid_t pid) {
    return "." + target.filename().string() + "." + std::to_string(pid) + ".tmp";
}

// A process id that is not running: a child that has already been reaped.
pid_t DeadPid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

}  // namespace

namespace {
std::vector<std::pair<AtomicWriteStep, std::string>> stepsSeen;
AtomicWriteStep failingStep;
bool RecordStep(AtomicWriteStep step, const std::string& path) {
    stepsSeen.emplace_back(step, path);
    return step != failingStep;
}
}  // namespace

TEST(AtomicFile, FolderIsSyncedAfterTheRenameAndAFailedStepKeepsTheOldFile) {
    TempDataFolder dir;
    const fs::path target = dir / "Callers.bin";
    const std::string temp = AtomicTempPath(target.string());
    stepsSeen.clear();
    failingStep = static_cast<AtomicWriteStep>(-1);
    const std::string data = "new";
    ASSERT_EQ(WriteFileAtomically(target.string(), data.data(), data.size(), &RecordStep), AtomicWriteResult::Ok);
    const std::vector<std::pair<AtomicWriteStep, std::string>> expected = {
        {AtomicWriteStep::Create, temp},       {AtomicWriteStep::Write, temp},
        {AtomicWriteStep::SyncFile, temp},     {AtomicWriteStep::Rename, target.string()},
        {AtomicWriteStep::SyncFolder, dir.Path().string()}};
    EXPECT_EQ(stepsSeen, expected);

    for (const auto& [step, result, content] :
         {std::tuple{AtomicWriteStep::Create, AtomicWriteResult::CreateFailed, "old"},
          std::tuple{AtomicWriteStep::Write, AtomicWriteResult::WriteFailed, "old"},
          std::tuple{AtomicWriteStep::SyncFile, AtomicWriteResult::WriteFailed, "old"},
          std::tuple{AtomicWriteStep::Rename, AtomicWriteResult::WriteFailed, "old"},
          // Renamed already: the new file stands, but it is not known to last.
          std::tuple{AtomicWriteStep::SyncFolder, AtomicWriteResult::WriteFailed, "new"}}) {
        WriteText(target, "old");
        failingStep = step;
        EXPECT_EQ(WriteFileAtomically(target.string(), data.data(), data.size(), &RecordStep), result);
        EXPECT_EQ(ReadWholeFile(target), content);
        EXPECT_EQ(ListFolder(dir.Path()), "Callers.bin\n");
    }
}

TEST(AtomicFile, NeverFollowsWhatStandsAtTheTemporaryName) {
    TempDataFolder dir;
    const fs::path target = dir / "Callers.bin";
    const fs::path victim = dir / "victim.txt";
    WriteText(victim, "keep me");
    fs::create_symlink(victim, AtomicTempPath(target.string()));

    const std::string data = "new contents";
    ASSERT_EQ(WriteFileAtomically(target.string(), data.data(), data.size()), AtomicWriteResult::Ok);
    EXPECT_EQ(ReadWholeFile(target), data);
    EXPECT_EQ(ReadWholeFile(victim), "keep me");
    EXPECT_FALSE(fs::is_symlink(target));
    EXPECT_EQ(ListFolder(dir.Path()), "Callers.bin\nvictim.txt\n");
}

TEST(AtomicFile, StaleTemporaryFilesOfDeadWritersAreRemovedAtLoad) {
    TempDataFolder dir;
    fs::create_directories(dir / "Z918E");
    const pid_t dead = DeadPid();
    const fs::path report = dir / "Z918E" / "20240506_0708.GEM.HBD.00417.txt";
    WriteText(dir / "Z918E" / TempNameFor(report, dead), "half a rep");
    WriteText(dir / TempNameFor(dir / "Callers.bin", dead), "half");
    // The forms of this writer and of the settings writer of old.
    WriteText(dir / (".Callers.bin." + std::to_string(dead) + "-7.tmp"), "half");
    WriteText(dir / ("K7_Dialups.ini.tmp." + std::to_string(dead) + ".0"), "[Radio");
    // A live writer's file (ours) and files that only look similar stay.
    WriteText(dir / TempNameFor(dir / "Callers.bin", ::getpid()), "in progress");
    WriteText(dir / "Z918E" / ".notes.tmp", "x");
    WriteText(dir / "Z918E" / "report.123.tmp", "x");

    CallerRegistry(dir.Folder()).Load();
    EXPECT_EQ(ListFolder(dir / "Z918E"), ".notes.tmp\nreport.123.tmp\n");
    EXPECT_EQ(ListFolder(dir.Path()), "." + std::string("Callers.bin.") +
                                          std::to_string(::getpid()) + ".tmp\nZ918E\n");
}

TEST(AtomicFile, UnwritableRegistryIsReportedNotSilent) {
    WorkerHarness h;
    fs::create_directories(h.folder / "Callers.bin");  // a folder stands in the way
    EXPECT_FALSE(h.C().Callers().Save(h.C()));
    const auto lines = h.window->Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "ERROR: Could not write the caller registry " + (h.folder / "Callers.bin").string() + "\n");
    EXPECT_EQ(h.window->Messages()[0].wParam, COLOUR_DARK_RED);
}
