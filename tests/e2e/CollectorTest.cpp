// kestova-collector as a process: a test plays the site on the master side
// of a pseudo-terminal linked as the collector's radio port.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "e2e/PtyHarness.h"
#include "radio/Frame.h"
#include "SiteSession.h"

#ifdef KESTOVA_COLLECTOR_EXE

namespace {

using e2e::DataFolder;
using e2e::Millis;
using e2e::Process;
using e2e::Pty;

constexpr std::uint8_t kSite = 17;
const Millis kWait(4000);

std::vector<std::uint8_t> Frame(std::uint8_t source, std::uint8_t destination,
                                std::uint8_t sequence, std::uint8_t type,
                                const std::vector<std::uint8_t>& payload) {
    return sitesim::SiteFrame(source, destination, sequence, type, payload);
}

// A Request to Transmit for `blocks` data packets of 1000 bytes.
std::vector<std::uint8_t> RequestToTransmit(std::uint8_t blocks) {
    return Frame(kSite, 250, 0, PT_REQUEST_TO_TRANSMIT, {blocks, 0xE8, 0x03});
}

bool StartsWithTimeStamp(const std::string& line, const std::string& rest) {
    static const std::regex stamp(R"(^\d\d:\d\d:\d\d: )");
    return std::regex_search(line, stamp) && line.compare(10, std::string::npos, rest) == 0;
}

// Like StartsWithTimeStamp, for a line that goes on after `rest`.
bool StartsWithTimeStampThen(const std::string& line, const std::string& rest) {
    return StartsWithTimeStamp(line.substr(0, 10 + rest.size()), rest);
}

// The first line read so far that contains text ("" when none does).
std::string FindLine(const Process& process, const std::string& text) {
    for (const std::string& line : process.Lines())
        if (line.find(text) != std::string::npos) return line;
    return "";
}

std::vector<std::string> Env(const DataFolder& data) {
    return {"KESTOVA_HOME=" + data.Path()};
}

// Starts the collector on COM3 linked to the pty and reads its start-up lines.
void StartOnPty(Process& collector, const DataFolder& data, const Pty& pty) {
    data.LinkPort(3, pty.SlaveName());
    data.WriteSettings(3);
    ASSERT_TRUE(collector.Start(KESTOVA_COLLECTOR_EXE, {}, Env(data)));
    auto line = collector.WaitForLineContaining("Using Serial Port COMM 3", kWait);
    ASSERT_TRUE(line.has_value()) << collector.Stderr();
}

void ExpectCancelFor21Blocks(Pty& pty) {
    ASSERT_TRUE(pty.Send(RequestToTransmit(21)));
    auto frame = pty.ReceiveFrame(kWait);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(*frame, Frame(250, kSite, 0, PT_CANCEL, {1}));
}

TEST(CollectorProcess, WithoutAPortItExplainsAndExitsWithStatus2) {
    // A value that is no COM number (257 would wrap to COM1) is named too.
    for (const char* settings : {"", "[Radio Serial Port]\nRadio_Port=-1\n",
                                 "[Radio Serial Port]\nRadio_Port=257\n"}) {
        DataFolder data;
        if (*settings != '\0') data.WriteText("K7_Dialups.ini", settings);
        Process collector;
        ASSERT_TRUE(collector.Start(KESTOVA_COLLECTOR_EXE, {}, Env(data)));
        EXPECT_EQ(collector.WaitExit(kWait), std::optional<int>(2)) << settings;
        const std::string err = collector.Stderr();
        const bool outOfRange = std::string(settings).find("257") != std::string::npos;
        for (const char* needed : {"K7_Dialups.ini", "\"Radio Serial Port\"", "\"Radio_Port\"",
                                   outOfRange ? "is 257" : "Ports/COM1", outOfRange ? "0 to 256" : "ln -s"}) {
            EXPECT_NE(err.find(needed), std::string::npos) << needed << " missing from:\n" << err;
        }
        // Which folder it used, on stderr (stdout's first lines are fixed).
        EXPECT_EQ(err.rfind("kestova-collector: data folder " + data.Path() + "/ (KESTOVA_HOME)\n", 0), 0u)
            << err;
        auto first = collector.ReadLine(Millis(500));
        ASSERT_TRUE(first.has_value());
        EXPECT_TRUE(StartsWithTimeStamp(*first, "Program Started!")) << *first;
    }
    // A settings file that is a FIFO is not waited on: one line says why.
    DataFolder data;
    ASSERT_EQ(::mkfifo(data.File("K7_Dialups.ini").c_str(), 0600), 0);
    Process collector;
    ASSERT_TRUE(collector.Start(KESTOVA_COLLECTOR_EXE, {}, Env(data)));
    EXPECT_EQ(collector.WaitExit(kWait), std::optional<int>(2));
    EXPECT_NE(collector.Stderr().find("kestova-collector: The settings file \"" + data.File("K7_Dialups.ini") +
                                      "\" is a FIFO, not a regular file: it is not read"),
              std::string::npos)
        << collector.Stderr();
}

TEST(CollectorProcess, AnswersASiteShowsTheScopeTakesCommandsAndStopsCleanly) {
    DataFolder data;
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    Process collector;
    StartOnPty(collector, data, pty);

    // The main pane's start-up lines, with the plain prefix.
    const auto& start = collector.Lines();
    ASSERT_EQ(start.size(), 3u);
    EXPECT_TRUE(StartsWithTimeStamp(start[0], "Program Started!")) << start[0];
    EXPECT_TRUE(StartsWithTimeStamp(start[1], "Our (Collector) ID is 250.")) << start[1];
    EXPECT_TRUE(StartsWithTimeStamp(start[2], "Using Serial Port COMM 3")) << start[2];
    EXPECT_EQ(collector.ReadLine(kWait), std::optional<std::string>(""));

    // More than 20 blocks: refused with CANCEL.
    ExpectCancelFor21Blocks(pty);
    // The scope on stdout: received dump, its log line, sent dump, its log line.
    ASSERT_TRUE(collector.WaitForLineContaining("Sending CANCEL", kWait));
    const std::string field = FindLine(collector, "Field  | ");
    EXPECT_TRUE(StartsWithTimeStampThen(field, "Field  | 55 AA 11 FA 00 0E 00 0A 15 E8 03 ")) << field;
    EXPECT_EQ(field.back(), '\r');  // the dump's own "\r\n", unchanged
    const std::string info = FindLine(collector, "Request to Transmit packet");
    EXPECT_TRUE(StartsWithTimeStamp(
        info, "Info   | Request to Transmit packet from SiteID = 17, sent to CollectorID = 250"))
        << info;
    const std::string collect = FindLine(collector, "Collect| ");
    EXPECT_TRUE(StartsWithTimeStampThen(collect, "Collect| 55 AA FA 11 00 0C 00 03 01 ")) << collect;
    const std::string sending = FindLine(collector, "Sending CANCEL");
    EXPECT_TRUE(StartsWithTimeStamp(sending, "Info   | Sending CANCEL to SiteID = 17 ")) << sending;

    // An All-in-One Data Packet with sequence byte 5: ACK with track number
    // 5 and the collector's clock.
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(pty.Send(Frame(kSite, 250, 5, PT_ALL_IN_ONE, std::vector<std::uint8_t>(40, 0))));
    auto ack = pty.ReceiveFrame(kWait);
    ASSERT_TRUE(ack.has_value());
    ASSERT_EQ(ack->size(), 19u);
    EXPECT_EQ((*ack)[2], 250);
    EXPECT_EQ((*ack)[3], kSite);
    EXPECT_EQ((*ack)[7], PT_ACK);
    EXPECT_EQ((*ack)[8], 0);
    EXPECT_EQ((*ack)[9], 5);
    EXPECT_EQ(ReadLe16(ack->data() + 16), ComputeChecksum(ack->data(), 16));
    std::tm local{};
    localtime_r(&before, &local);
    EXPECT_LT((*ack)[10], 24);
    EXPECT_LT((*ack)[11], 60);
    EXPECT_LT((*ack)[12], 60);
    EXPECT_GE((*ack)[13], 1);
    EXPECT_LE((*ack)[13], 12);
    EXPECT_GE((*ack)[14], 1);
    EXPECT_LE((*ack)[14], 31);
    EXPECT_NEAR((*ack)[15], local.tm_year + 1900 - 2000, 1);

    // The operator's echo: length 5 is out of range and goes out as 200.
    ASSERT_TRUE(collector.WriteStdin("echo 7 5\n"));
    auto echo = pty.ReceiveFrame(kWait);
    ASSERT_TRUE(echo.has_value());
    ASSERT_EQ(echo->size(), 14u + 6u * 201u);
    EXPECT_EQ((*echo)[3], 7);
    EXPECT_EQ((*echo)[7], PT_ECHO);
    EXPECT_EQ((*echo)[8], 1);
    EXPECT_EQ(ReadLe16(echo->data() + 9), 200);
    EXPECT_TRUE(collector.WaitForLineContaining("Sending \"ECHO\" to SiteID = 7", kWait));

    // "list" with nobody registered says so on stderr.
    ASSERT_TRUE(collector.WriteStdin("list\n"));
    bool said = false;
    for (int i = 0; i < 100 && !said; ++i) {
        said = collector.Stderr().find("There are NO callers in our list") != std::string::npos;
        if (!said) std::this_thread::sleep_for(Millis(20));
    }
    EXPECT_TRUE(said) << collector.Stderr();

    // End of input changes nothing: the collector still answers.
    collector.CloseStdin();
    ExpectCancelFor21Blocks(pty);

    ASSERT_TRUE(collector.Signal(SIGTERM));
    EXPECT_EQ(collector.WaitExit(Millis(2500)), std::optional<int>(0)) << collector.Stderr();

    // The same scope text went to the day's log file.
    std::string log;
    for (const auto& entry : std::filesystem::directory_iterator(data.File("Logs")))
        log += data.ReadText("Logs/" + entry.path().filename().string());
    EXPECT_NE(log.find("Program Started!\n"), std::string::npos);
    EXPECT_NE(log.find("Collect| 55 AA FA 11 00 0C 00 03 01 "), std::string::npos);
}

// The answer to "status": the one stdout line that begins with "COM".
std::string Status(Process& collector) {
    if (!collector.WriteStdin("status\n")) return "";
    return collector.WaitForLine([](const std::string& l) { return l.rfind("COM", 0) == 0; }, kWait)
        .value_or("");
}

TEST(CollectorProcess, SurvivesThePortGoingAwayAndComingBackAndMovesToAnotherOnCommand) {
    DataFolder data;
    auto first = std::make_unique<Pty>();
    Process collector;
    StartOnPty(collector, data, *first);
    ExpectCancelFor21Blocks(*first);

    const std::string firstDevice = first->SlaveName();
    const std::string open = Status(collector);
    EXPECT_TRUE(std::regex_match(open, std::regex("COM3 \u2192 " + firstDevice +
                                                  "  open  last frame \\d\\d:\\d\\d:\\d\\d")))
        << open;

    first.reset();
    auto lost = collector.WaitForLineContaining("ERROR: Serial Port COMM 3", kWait);
    ASSERT_TRUE(lost.has_value());
    EXPECT_NE(lost->find("lost"), std::string::npos) << *lost;
    EXPECT_NE(Status(collector).find("  lost since "), std::string::npos);

    Pty second;
    data.LinkPort(3, second.SlaveName());
    ASSERT_TRUE(collector.WaitForLineContaining("is back", kWait));
    ExpectCancelFor21Blocks(second);

    int errors = 0;
    for (const std::string& line : collector.Lines())
        errors += line.find("ERROR") != std::string::npos ? 1 : 0;
    EXPECT_EQ(errors, 1);

    // "port 4": stored for the next start, and the worker moves over.
    Pty third;
    data.LinkPort(4, third.SlaveName());
    ASSERT_TRUE(collector.WriteStdin("port 4\n"));
    ASSERT_TRUE(collector.WaitForLineContaining("Switching to Serial Port COMM 4", kWait));
    ExpectCancelFor21Blocks(third);
    EXPECT_NE(data.ReadText("K7_Dialups.ini").find("Radio_Port=4"), std::string::npos);
    EXPECT_EQ(Status(collector).rfind("COM4 \u2192 " + third.SlaveName() + "  open", 0), 0u);
    ASSERT_TRUE(collector.Signal(SIGINT));
    EXPECT_EQ(collector.WaitExit(Millis(2500)), std::optional<int>(0));
}

TEST(CollectorProcess, ASecondCollectorOnTheSameDeviceIsTurnedAway) {
    DataFolder dataA, dataB;
    Pty pty;
    Process a, b;
    StartOnPty(a, dataA, pty);
    ExpectCancelFor21Blocks(pty);  // the first has the port now
    StartOnPty(b, dataB, pty);
    auto refused = b.WaitForLineContaining("ERROR", kWait);
    ASSERT_TRUE(refused.has_value());
    EXPECT_NE(refused->find("in use by another program"), std::string::npos) << *refused;

    // Only the first answers: exactly one CANCEL on the line.
    ExpectCancelFor21Blocks(pty);
    EXPECT_TRUE(pty.Receive(1, Millis(700)).empty());

    ASSERT_TRUE(a.Signal(SIGTERM));
    ASSERT_TRUE(b.Signal(SIGTERM));
    EXPECT_EQ(a.WaitExit(Millis(2500)), std::optional<int>(0));
    EXPECT_EQ(b.WaitExit(Millis(2500)), std::optional<int>(0));
}

// --port and --data-folder are for this run only: the settings file keeps
// its own port, byte for byte.
TEST(CollectorProcess, PortOptionOverridesTheSettingsForThisRunOnly) {
    DataFolder data;
    Pty pty;
    data.LinkPort(3, pty.SlaveName());
    data.WriteSettings(5);
    const std::string settings = data.ReadText("K7_Dialups.ini");
    Process collector;
    ASSERT_TRUE(collector.Start(KESTOVA_COLLECTOR_EXE, {"--port", "3", "--data-folder", data.Path()}));
    ASSERT_TRUE(collector.WaitForLineContaining("Using Serial Port COMM 3", kWait)) << collector.Stderr();
    ExpectCancelFor21Blocks(pty);
    ASSERT_TRUE(collector.Signal(SIGTERM));
    EXPECT_EQ(collector.WaitExit(Millis(2500)), std::optional<int>(0));
    EXPECT_EQ(data.ReadText("K7_Dialups.ini"), settings);
}

}  // namespace

#endif  // KESTOVA_COLLECTOR_EXE
