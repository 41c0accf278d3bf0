// Records through kestova-collector: a Powerup registers the site in
// "Callers.bin" and the listing, the next start loads it again, and an
// All-in-One Data Packet ends as a report file in "Z918E", byte for byte.
#include <gtest/gtest.h>

#include <csignal>
#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/TrainRecord.h"
#include "e2e/PtyHarness.h"
#include "radio/Frame.h"
#include "SiteSession.h"

#ifdef KESTOVA_COLLECTOR_EXE

namespace {

using Bytes = std::vector<std::uint8_t>;
using e2e::DataFolder;
using e2e::Millis;
using e2e::Process;
using e2e::Pty;

const Millis kWait(4000);

Bytes Frame(std::uint8_t source, std::uint8_t sequence, std::uint8_t type, const Bytes& payload) {
    return sitesim::SiteFrame(source, 250, sequence, type, payload);
}

void Start(Process& collector, const DataFolder& data, const Pty& pty) {
    data.LinkPort(4, pty.SlaveName());
    data.WriteSettings(4);
    ASSERT_TRUE(collector.Start(KESTOVA_COLLECTOR_EXE, {}, {"KESTOVA_HOME=" + data.Path()}));
    ASSERT_TRUE(collector.WaitForLineContaining("Using Serial Port COMM 4", kWait)) << collector.Stderr();
}

void Stop(Process& collector) {
    ASSERT_TRUE(collector.Signal(SIGTERM));
    EXPECT_EQ(collector.WaitExit(Millis(2500)), std::optional<int>(0)) << collector.Stderr();
}

// The Powerup of site 12: milepost 123.4, site number 500, one track.
Bytes PowerupPayload() {
    sitesim::SiteIdentity site;
    site.radioId = 12;
    site.milepost = 1234;
    site.siteNumber = 500;
    site.segment[0] = 'A';
    site.segment[1] = 'B';
    std::copy_n("HALV001", 7, site.unitText);
    site.byte16 = 16;
    return sitesim::PowerupPayload(site);
}

// An All-in-One payload: 17 bytes not read, then a current-format stream
// with a 112-byte header and three 7-byte axle records (the worked train).
Bytes AllInOnePayload() {
    Bytes p(17, 0);
    const Bytes prefix = {2, 112, 15, 0, 3, 0, 0, 0, 0, 0, 0, 0};
    p.insert(p.end(), prefix.begin(), prefix.end());
    using namespace th;
    Bytes h(TRAIN_HEADER_SIZE, 0);
    h[FLAGS] = 0x01;
    WriteLe16(&h[SITE_NUMBER], 1234);
    WriteLe16(&h[TRAIN_NUMBER], 417);
    h[DIRECTION] = 'K';
    WriteLe16(&h[SPEED], 57);
    const Bytes stamps = {24, 5, 6, 7, 8, 9, 24, 5, 6, 7, 10, 11};
    std::copy(stamps.begin(), stamps.end(), h.begin() + FIRST_STAMP);
    h[TRACK] = 3;
    h[AMBIENT] = 42;
    h[SIDE] = 'R';
    WriteLe16(&h[AXLE_COUNT], 3);
    WriteLe16(&h[CAR_COUNT], 2);
    WriteLe16(&h[DEM_WORD_37], 950);
    WriteLe16(&h[ECR], static_cast<std::uint16_t>(-4));
    WriteLe16(&h[HBI_WORDS_61], 3);
    h[SIM_CODES_1] = 48;
    p.insert(p.end(), h.begin(), h.end());
    const Bytes axles = {30, 31, 100, 110, 200, 0x90, 0,  32, 33, 101, 111, 201, 0x10, 0,
                         34, 35, 102, 112, 202, 0x95, 0};
    p.insert(p.end(), axles.begin(), axles.end());
    return p;
}

void ExpectAck(Pty& pty, std::uint8_t site, std::uint8_t track) {
    auto ack = pty.ReceiveFrame(kWait);
    ASSERT_TRUE(ack.has_value());
    ASSERT_EQ(ack->size(), 19u);
    EXPECT_EQ((*ack)[3], site);
    EXPECT_EQ((*ack)[7], PT_ACK);
    EXPECT_EQ((*ack)[9], track);
}

}  // namespace

TEST(RecordsProcess, PowerupAndAllInOneEndInTheirFiles) {
    DataFolder data;
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    {
        Process collector;
        Start(collector, data, pty);

        ASSERT_TRUE(pty.Send(Frame(12, 0, PT_POWERUP, PowerupPayload())));
        ExpectAck(pty, 12, 0);
        EXPECT_TRUE(collector.WaitForLineContaining(
            "Received Powerup from Halvor, SiteID = 500, Milepost = 123.4", kWait));
        const std::string callers = data.ReadText("Callers.bin");
        ASSERT_EQ(callers.size(), 2560u);
        EXPECT_EQ(callers[0], 12);

        // ACK first, then the report: it is there once the ACK is read and
        // the collector has had a moment to write it.
        ASSERT_TRUE(pty.Send(Frame(12, 3, PT_ALL_IN_ONE, AllInOnePayload())));
        ExpectAck(pty, 12, 3);
        const std::string report = "Z918E/20240506_0708.GEM.HBD.00417.txt";
        for (int i = 0; i < 200 && !std::filesystem::exists(data.File(report)); ++i)
            std::this_thread::sleep_for(Millis(10));
        const std::string text = data.ReadText(report);
        EXPECT_EQ(text.size(), 806u);
        EXPECT_EQ(text.substr(0, 18), "DEM 00502 K?00417 ");
        EXPECT_EQ(text.substr(text.size() - 16), "EOC 0000000778\r\n");
        Stop(collector);
    }

    // A new start loads the registry: the listing shows the site.
    Process collector;
    Start(collector, data, pty);
    ASSERT_TRUE(collector.WriteStdin("list\n"));
    auto path = collector.WaitForLineContaining("RemoteCaller.txt", kWait);
    ASSERT_TRUE(path.has_value()) << collector.Stderr();
    EXPECT_EQ(*path, data.File("Temp/RemoteCaller.txt"));
    const std::string listing = data.ReadText("Temp/RemoteCaller.txt");
    EXPECT_NE(listing.find("\r\n012  123.4        1     00500     AB   HALV001      0   00/00  00:00      0 16\r\n"),
              std::string::npos)
        << listing;
    Stop(collector);
}

#endif
