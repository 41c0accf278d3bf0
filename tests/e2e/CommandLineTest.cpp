// The programs' command lines from outside: --help, --version, bad options,
// and kestova-collector --check on a good and on a broken data folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e/PtyHarness.h"
#include "records/Journal.h"

namespace {

using e2e::DataFolder;
using e2e::Millis;
using e2e::Process;
using e2e::Pty;

const Millis kWait(10000);

struct Finished {
    std::optional<int> status;
    std::string out, err;
};

// Runs program to its end; stdout and stderr whole.
Finished RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {}) {
    Process p;
    Finished run;
    if (!p.Start(program, args, env)) return run;
    p.CloseStdin();
    while (auto line = p.ReadLine(kWait)) run.out += *line + "\n";
    run.status = p.WaitExit(kWait);
    run.err = p.Stderr();
    return run;
}

// Every program built here, with what a bad command line looks like for it.
std::vector<std::string> Programs() {
    std::vector<std::string> out;
#ifdef KESTOVA_COLLECTOR_EXE
    out.push_back(KESTOVA_COLLECTOR_EXE);
#endif
#ifdef KESTOVA_SITE_SIM_EXE
    out.push_back(KESTOVA_SITE_SIM_EXE);
#endif
#ifdef KESTOVA_CONSOLE_EXE
    out.push_back(KESTOVA_CONSOLE_EXE);
#endif
    return out;
}

std::string Name(const std::string& program) {
    return std::filesystem::path(program).filename().string();
}

// The console refuses what Qt has left over; it needs a platform for that.
const std::vector<std::string> kEnv = {"QT_QPA_PLATFORM=offscreen", "KESTOVA_HOME=/nonexistent"};

TEST(CommandLine, HelpPrintsUsageOnStdoutAndExits0) {
    for (const std::string& program : Programs()) {
        for (const char* option : {"--help", "-h"}) {
            const Finished run = RunProgram(program, {option}, kEnv);
            EXPECT_EQ(run.status, std::optional<int>(0)) << program << " " << option;
            EXPECT_EQ(run.out.rfind("Usage: " + Name(program), 0), 0u) << run.out;
            EXPECT_NE(run.out.find("--version"), std::string::npos) << run.out;
            EXPECT_EQ(run.err, "") << program;
        }
    }
}

TEST(CommandLine, VersionSaysProgramAndVersion) {
    for (const std::string& program : Programs()) {
        const Finished run = RunProgram(program, {"--version"}, kEnv);
        EXPECT_EQ(run.status, std::optional<int>(0)) << program;
        EXPECT_EQ(run.out.rfind(Name(program) + " 1.", 0), 0u) << run.out;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    }
}

TEST(CommandLine, BadOptionsGiveAUsageLineOnStderrAndExit2) {
    struct Case {
        const char* programName;  // "" for every program
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {"", {"--bogus"}, "--bogus"},
        {"", {"--data-folder"}, "--data-folder"},
        {"kestova-collector", {"--port"}, "--port needs a value"},
        {"kestova-collector", {"--port", "abc"}, "\"abc\""},
        {"kestova-collector", {"--port", "300"}, "from 1 to 256"},
        {"kestova-collector", {"--port=0"}, "from 1 to 256"},
        {"kestova-collector", {"--port", " 3"}, "from 1 to 256"},
        {"kestova-collector", {"--check=yes"}, "--check takes no value"},
        {"kestova-collector", {"extra"}, "unexpected argument extra"},
        {"kestova-site-sim", {"--com", "x"}, "--com"},
    };
    for (const std::string& program : Programs()) {
        for (const Case& c : cases) {
            if (*c.programName != '\0' && Name(program) != c.programName) continue;
            const Finished run = RunProgram(program, c.args, kEnv);
            EXPECT_EQ(run.status, std::optional<int>(2)) << program << " " << c.args[0];
            EXPECT_NE(run.err.find(c.says), std::string::npos) << program << ":\n" << run.err;
            EXPECT_NE(run.err.find("Usage: " + Name(program)), std::string::npos) << run.err;
            EXPECT_EQ(run.out.find("Program Started!"), std::string::npos) << run.out;
        }
    }
}

#ifdef KESTOVA_TRAINS_EXE
// kestova-trains checks its dates before it looks for a history.
TEST(CommandLine, TrainsToolRefusesDatesNotOnTheCalendarAndSaysItsVersion) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;  // on stderr, or stdout's start for status 0
    };
    const Case cases[] = {
        {{"--from", "2026-13-45"}, 2, "--from 2026-13-45 has no month 13"},
        {{"--to", "2026-02-29"}, 2, "--to 2026-02-29 has no day 29 in its month"},
        {{"--to", "2026-04-31"}, 2, "has no day 31"},
        {{"--from", "2026-3-1"}, 2, "--from 2026-3-1 is not a date YYYY-MM-DD"},
        {{"--from", "2026-03-08", "--to", "2026-03-01"}, 2, "--from 2026-03-08 is after --to 2026-03-01"},
        {{"--site", "500", "--site", "x"}, 2, "--site takes a site number"},
        {{"--version"}, 0, "kestova-trains 1."},
    };
    for (const Case& c : cases) {
        const Finished run = RunProgram(KESTOVA_TRAINS_EXE, c.args, kEnv);
        EXPECT_EQ(run.status, std::optional<int>(c.status)) << c.args[0] << " " << run.err;
        if (c.status == 0) {
            EXPECT_EQ(run.out.rfind(c.says, 0), 0u) << run.out;
        } else {
            EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
            EXPECT_EQ(run.out, "");
        }
    }
    // A leap day is a day.
    EXPECT_EQ(RunProgram(KESTOVA_TRAINS_EXE, {"--from", "2024-02-29"}, kEnv).err.find("no day"), std::string::npos);
}
#endif

#ifdef KESTOVA_COLLECTOR_EXE

// True when a descriptor in the fd folder of a process leads to device.
bool HoldsDevice(const std::string& fdFolder, const std::string& device) {
    std::error_code ec;
    const auto wanted = std::filesystem::canonical(device, ec);
    for (const auto& fd : std::filesystem::directory_iterator(fdFolder, ec))
        if (std::filesystem::read_symlink(fd.path(), ec) == wanted) return true;
    return false;
}

// A data folder a collector could run in: COM3 linked to a pseudo-terminal.
void MakeGoodFolder(const DataFolder& data, const Pty& pty) {
    data.LinkPort(3, pty.SlaveName());
    data.WriteSettings(3);
    data.WriteText("Callers.bin", std::string(2560, '\0'));
}

TEST(CommandLine, CheckPassesAGoodDataFolderAndNamesWhatIsWrongInABrokenOne) {
    // Radio_Port=0 is COM256, as the collector takes it.
    for (const int com : {3, 0}) {
        const std::string name = com == 0 ? "COM256" : "COM3";
        DataFolder data;
        Pty pty;
        ASSERT_TRUE(pty.Ok());
        MakeGoodFolder(data, pty);
        data.LinkPort(com == 0 ? 256 : com, pty.SlaveName());
        data.WriteSettings(com);
        const Finished run = RunProgram(KESTOVA_COLLECTOR_EXE, {"--check", "--data-folder", data.Path()});
        EXPECT_EQ(run.status, std::optional<int>(0)) << run.out;
        for (const std::string& line :
             {"data folder: " + data.Path() + "/ (--data-folder)\n",
              "ok: settings: " + data.File("K7_Dialups.ini") + " [Radio Serial Port] Radio_Port=" +
                  std::to_string(com) + (com == 0 ? " (COM256)\n" : "\n"),
              "ok: port: " + name + " is " + data.File("Ports/" + name) + " -> " + pty.SlaveName() +
                  ", which can be opened now\n",
              " free in " + data.Path() + "/\n", std::string("ok: Callers.bin: 2560 bytes\n"),
              std::string("ok: history: no Trains.sqlite yet"), std::string("all is well\n")}) {
            EXPECT_NE(run.out.find(line), std::string::npos) << line << "missing from:\n" << run.out;
        }
    }

    struct Broken {
        const char* what;
        std::function<void(const DataFolder&, const Pty&)> spoil;
        std::vector<std::string> args;
        const char* says;
    };
    std::unique_ptr<Process> holder;  // a collector that holds the port
    const Broken cases[] = {
        {"no settings", [](const DataFolder& d, const Pty&) { std::filesystem::remove(d.File("K7_Dialups.ini")); },
         {}, "FAIL: settings: "},
        {"port out of range", [](const DataFolder& d, const Pty&) { d.WriteSettings(300); },
         {}, "Radio_Port=300 is not a COM number from 1 to 256"},
        {"link to nothing", [](const DataFolder& d, const Pty&) { d.LinkPort(3, d.File("unplugged")); },
         {}, "which does not exist (device unplugged?)"},
        {"not a terminal", [](const DataFolder& d, const Pty&) { d.LinkPort(3, "/dev/null"); },
         {}, "cannot be opened now: Inappropriate ioctl for device"},
        {"short registry", [](const DataFolder& d, const Pty&) { d.WriteText("Callers.bin", "short"); },
         {}, "FAIL: Callers.bin: "},
        {"registry a byte long",
         [](const DataFolder& d, const Pty&) { d.WriteText("Callers.bin", std::string(2561, '\0')); },
         {}, "has 2561 bytes, not 2560"},
        {"settings a FIFO",
         [](const DataFolder& d, const Pty&) {
             std::filesystem::remove(d.File("K7_Dialups.ini"));
             ASSERT_EQ(::mkfifo(d.File("K7_Dialups.ini").c_str(), 0600), 0);
         },
         {}, "FAIL: settings: "},
        {"settings a FIFO, with --port",
         [](const DataFolder& d, const Pty&) {
             std::filesystem::remove(d.File("K7_Dialups.ini"));
             ASSERT_EQ(::mkfifo(d.File("K7_Dialups.ini").c_str(), 0600), 0);
         },
         {"--port", "3"}, "K7_Dialups.ini is a FIFO, not a regular file\n"},
        {"history no database",
         [](const DataFolder& d, const Pty&) { d.WriteText("Trains.sqlite", std::string(4096, 'x')); },
         {}, "FAIL: history: "},
        {"busy port",
         [&holder](const DataFolder& d, const Pty&) {
             holder = std::make_unique<Process>();
             ASSERT_TRUE(holder->Start(KESTOVA_COLLECTOR_EXE, {}, {"KESTOVA_HOME=" + d.Path()}));
             ASSERT_TRUE(holder->WaitForLineContaining("Using Serial Port COMM 3", kWait));
             // The port is opened right after that line; wait until it is held.
             const std::string fds = "/proc/" + std::to_string(holder->Pid()) + "/fd";
             for (int tries = 0; tries < 500 && !HoldsDevice(fds, d.File("Ports/COM3")); ++tries)
                 std::this_thread::sleep_for(Millis(10));
         },
         {}, "Device or resource busy; held by pid "},
        {"report folder a file",
         [](const DataFolder& d, const Pty&) { d.WriteText("Z918E", "in the way\n"); },
         {}, "FAIL: folders: not writable folders for user "},
        {"report the journal holds, gone",
         [](const DataFolder& d, const Pty&) {
             std::filesystem::create_directory(d.File("Journal"));
             d.WriteText("Journal/Trains-20261207.kj", TrainJournalHeader() + EncodeJournalRecord(JournalTrain{}));
             d.WriteText("Journal/Trains-20261207.kj.done", "8 20240506_0708.GEM.HBD.00417.txt\n");
         },
         {}, "FAIL: reports: 1 report file the journal holds is missing or damaged: 20240506_0708.GEM.HBD.00417.txt (missing)"},
        {"no folder", [](const DataFolder& d, const Pty&) { std::filesystem::remove_all(d.Path()); },
         {"--port", "3"}, "/ does not exist"},
    };
    for (const Broken& c : cases) {
        DataFolder data;
        Pty pty;
        ASSERT_TRUE(pty.Ok());
        MakeGoodFolder(data, pty);
        c.spoil(data, pty);
        std::vector<std::string> args = {"--check"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Finished run = RunProgram(KESTOVA_COLLECTOR_EXE, args, {"KESTOVA_HOME=" + data.Path()});
        EXPECT_EQ(run.status, std::optional<int>(1)) << c.what << ":\n" << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << c.what << ":\n" << run.out;
        EXPECT_NE(run.out.find(" found\n"), std::string::npos) << run.out;
        if (holder) {
            const std::string who = "pid " + std::to_string(holder->Pid()) + " (kestova-collector)";
            EXPECT_NE(run.out.find(who), std::string::npos) << run.out;
        }
        holder.reset();
    }
}

#endif  // KESTOVA_COLLECTOR_EXE

}  // namespace
