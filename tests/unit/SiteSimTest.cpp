// The site simulator's own parts: the train generator (checked against a
// model of the stream written out here, not against the collector's
// assembly), the reply lexer and checks, the session's protocol handling
// against a scripted collector, and the plan of a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Replies.h"
#include "SimPlan.h"
#include "SiteSession.h"
#include "TestSupport.h"
#include "TrainGenerator.h"
#include "engine/Alarms.h"
#include "engine/Assembly.h"
#include "radio/Frame.h"
#include "records/TrainReport.h"

using namespace sitesim;

namespace {

using Bytes = std::vector<std::uint8_t>;

unsigned U16(const Bytes& b, std::size_t at) { return ReadLe16(b.data() + at); }

SiteIdentity TestSite(std::uint8_t id = 12, std::uint8_t tracks = 1) {
    SimRandom rng(3);
    return MakeSite(id, tracks, UnitKind::Halvor, rng);
}

GeneratedTrain Train(StreamFormat format, std::uint8_t kind, int axles, bool hwd,
                     std::uint64_t seed = 11, std::size_t limit = 9216) {
    TrainDesign design;
    design.format = format;
    design.kind = kind;
    design.axles = axles;
    design.hwd = hwd;
    design.trainNumber = 417;
    design.track = 2;
    design.time = TrainTime{2026, 3, 4, 5, 6, 7};
    design.maxStreamBytes = limit;
    SimRandom rng(seed);
    return GenerateTrain(TestSite(), design, rng);
}

Bytes Reply(std::uint8_t site, std::uint8_t type, const Bytes& payload) {
    return BuildFrame(250, site, 0, type, payload);
}

Bytes AckPayload(std::uint8_t track) { return {0, track, 14, 3, 9, 12, 6, 26}; }

int CountLinesStarting(const std::string& text, const std::string& tag) {
    int n = 0;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(tag, 0) == 0) ++n;
    return n;
}

}  // namespace

// ---- Generator ---------------------------------------------------------

TEST(SiteSimGenerator, CurrentSevenByteStreamFollowsTheLayout) {
    const GeneratedTrain t = Train(StreamFormat::Current, 15, 57, true);
    const Bytes& s = t.stream;
    ASSERT_GE(s.size(), 124u);
    EXPECT_EQ(s[tp::FORMAT_VERSION], 2);
    EXPECT_EQ(s[tp::HEADER_LENGTH], 112);
    EXPECT_EQ(s[tp::AXLE_RECORD_KIND], 15);
    EXPECT_EQ(U16(s, tp::AXLE_RECORD_COUNT), 57u);
    EXPECT_EQ(static_cast<int>(U16(s, tp::ALARM_COUNT)), t.alarmEntries);
    EXPECT_EQ(s.size(), 12u + 112 + 57 * 7 + 4u * static_cast<unsigned>(t.alarmEntries));
    // Header (stream byte 12 + header byte).
    EXPECT_EQ(s[12 + th::FLAGS] & 1, 1);                 // hot wheel records on
    EXPECT_EQ(U16(s, 12 + th::TRAIN_NUMBER), 417u);             // train number
    EXPECT_EQ(s[12 + th::FIRST_STAMP], 26);                   // year - 2000
    EXPECT_EQ(s[12 + th::FIRST_STAMP + 1], 3);
    EXPECT_EQ(s[12 + th::FIRST_STAMP + 2], 4);
    EXPECT_EQ(s[12 + th::FIRST_STAMP + 3], 5);
    EXPECT_EQ(s[12 + th::FIRST_STAMP + 4], 6);
    EXPECT_EQ(s[12 + th::FIRST_STAMP + 5], 7);
    EXPECT_EQ(s[12 + th::TRACK], 2);                    // track
    EXPECT_EQ(U16(s, 12 + th::AXLE_COUNT), 57u);             // axle count
    // One car start per car; cars of 2 to 6 axles that add up.
    int starts = 0;
    for (int i = 0; i < 57; ++i)
        if (s[124 + static_cast<std::size_t>(i) * 7 + 5] & 0x80) ++starts;
    EXPECT_EQ(starts, static_cast<int>(t.carSizes.size()));
    EXPECT_TRUE(s[124 + 5] & 0x80) << "the first axle starts a car";
    int sum = 0;
    for (int c : t.carSizes) {
        EXPECT_GE(c, 2);
        EXPECT_LE(c, 6);
        sum += c;
    }
    EXPECT_EQ(sum, 57);
    EXPECT_EQ(t.ReportFileName(), "20260304_0506.GEM.HBD.00417.txt");
}

TEST(SiteSimGenerator, FiveByteRecordsCarryNoWheelValues) {
    const GeneratedTrain t = Train(StreamFormat::Current, 16, 30, true);
    EXPECT_FALSE(t.design.hwd);
    EXPECT_EQ(t.stream[2], 16);
    EXPECT_EQ(t.stream.size(), 124u + 30 * 5 + 4u * static_cast<unsigned>(t.alarmEntries));
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(t.stream[124 + static_cast<std::size_t>(i) * 5 + 3] & 0x0F, 0) << "axle " << i;
}

TEST(SiteSimGenerator, LegacyStreamsFollowTheirOwnLayout) {
    for (bool hwd : {false, true}) {
        const GeneratedTrain t = Train(StreamFormat::Legacy, 15, 40, hwd);
        const Bytes& s = t.stream;
        EXPECT_NE(s[tp::FORMAT_VERSION], 2);
        EXPECT_EQ(s[1], 60);
        EXPECT_EQ(s[12 + 6], 126);          // year counted from 1900
        EXPECT_EQ(U16(s, 12 + 22), 40u);    // axle count
        EXPECT_EQ(U16(s, 12 + 53), 417u);   // train number
        EXPECT_EQ(s[12 + 39] != 0, hwd);    // the word that selects 5-byte records
        EXPECT_EQ(t.legacyFiveByte, hwd);
        const std::size_t record = hwd ? 5 : 4;
        const std::size_t alarms = static_cast<std::size_t>(U16(s, 7));
        EXPECT_LE(alarms, 40u);
        if (hwd) {
            EXPECT_EQ(alarms, 0u);
        }
        ASSERT_EQ(s.size(), 72u + 40 * record + alarms * 3);
        for (std::size_t k = 0; k < alarms; ++k) {
            const unsigned axle = U16(s, 72 + 40 * record + k * 3);
            EXPECT_GE(axle, 1u);
            EXPECT_LE(axle, 40u);
        }
    }
}

TEST(SiteSimGenerator, SameSeedSameTrainAndLimitsHold) {
    EXPECT_EQ(Train(StreamFormat::Current, 15, 200, true, 5).stream,
              Train(StreamFormat::Current, 15, 200, true, 5).stream);
    EXPECT_NE(Train(StreamFormat::Current, 15, 200, true, 5).stream,
              Train(StreamFormat::Current, 15, 200, true, 6).stream);
    // 1200 axles of 7 bytes fit the block buffer; one packet takes far fewer.
    const GeneratedTrain longest = Train(StreamFormat::Current, 15, 1200, true);
    EXPECT_EQ(longest.design.axles, 1200);
    EXPECT_LE(longest.stream.size(), 9216u);
    const GeneratedTrain cut = Train(StreamFormat::Current, 15, 1200, true, 11, ALL_IN_ONE_MAX_STREAM);
    EXPECT_LE(cut.stream.size(), ALL_IN_ONE_MAX_STREAM);
    EXPECT_EQ(cut.design.axles, MaxAxlesWithin(StreamFormat::Current, 15, ALL_IN_ONE_MAX_STREAM));
}

TEST(SiteSimGenerator, CarsAreTwoToSixAxlesForEveryLength) {
    SimRandom rng(99);
    for (int axles = 2; axles <= 80; ++axles) {
        const std::vector<int> cars = DrawCars(axles, rng);
        int sum = 0;
        for (int c : cars) {
            EXPECT_GE(c, 2) << axles;
            EXPECT_LE(c, 6) << axles;
            sum += c;
        }
        EXPECT_EQ(sum, axles);
    }
}

TEST(SiteSimGenerator, TimeStampsRollOverMonthsYearsAndLeapDays) {
    const TrainTime a = AddSeconds(TrainTime{2026, 12, 31, 23, 59, 30}, 45);
    EXPECT_EQ(a.year, 2027);
    EXPECT_EQ(a.month, 1);
    EXPECT_EQ(a.day, 1);
    EXPECT_EQ(a.minute, 0);
    EXPECT_EQ(a.second, 15);
    const TrainTime b = AddSeconds(TrainTime{2028, 2, 28, 12, 0, 0}, 86400);
    EXPECT_EQ(b.month, 2);
    EXPECT_EQ(b.day, 29);
}

TEST(SiteSimGenerator, PowerupPayloadDescribesTheSite) {
    SimRandom rng(1);
    const SiteIdentity s = MakeSite(17, 2, UnitKind::Tallquin, rng);
    const Bytes p = PowerupPayload(s);
    ASSERT_EQ(p.size(), 17u);
    EXPECT_EQ(U16(p, 0), s.milepost);
    EXPECT_EQ(U16(p, 2), s.siteNumber);
    EXPECT_EQ(p[4], 2);
    EXPECT_EQ(p[5], 1);
    EXPECT_EQ(std::string(p.begin() + 9, p.begin() + 12), "TAL");
}

// The reports the collector's own code makes from generated trains, checked
// against what the generator says it put in: this catches a fault in the
// shared assembly or report code that --expect would otherwise mirror.
TEST(SiteSimGenerator, ReportsOfGeneratedTrainsMatchTheirModel) {
    auto record = std::make_unique<TrainRecord>();
    {
        const GeneratedTrain t = Train(StreamFormat::Current, 15, 23, true);
        AssembleAllInOne(*record, t.stream.data(), t.stream.size());
        const std::string report = FormatTrainReport(record->header, record->axleSlots);
        EXPECT_EQ(TrainReportFileName(record->header), t.ReportFileName());
        EXPECT_EQ(report.rfind("DEM 00502 ", 0), 0u);
        EXPECT_NE(report.find(" 20260304 050607 "), std::string::npos);
        EXPECT_EQ(CountLinesStarting(report, "HBD "), 23);
        EXPECT_EQ(CountLinesStarting(report, "HWD "), 23);
        EXPECT_EQ(CountLinesStarting(report, "RRE*"), static_cast<int>(t.carSizes.size()));
        char firstCar[16];
        std::snprintf(firstCar, sizeof firstCar, "*%02d*01\r", t.carSizes[0]);
        EXPECT_NE(report.find(std::string("RRE*001*") ), std::string::npos);
        EXPECT_NE(report.find(firstCar), std::string::npos);
        int sims = 0;
        for (std::uint8_t c : t.simCodes) sims += c != 0;
        EXPECT_EQ(CountLinesStarting(report, "SIM "), sims);
    }
    {
        // Blocks: the same stream gives the same report.
        const GeneratedTrain t = Train(StreamFormat::Current, 16, 300, false);
        AssembleAllInOne(*record, t.stream.data(), t.stream.size());
        const std::string viaOne = FormatTrainReport(record->header, record->axleSlots);
        AssembleFromBlocks(*record, t.stream.data(), t.stream.size());
        EXPECT_EQ(FormatTrainReport(record->header, record->axleSlots), viaOne);
        EXPECT_EQ(CountLinesStarting(viaOne, "HBD "), 300);
        EXPECT_EQ(CountLinesStarting(viaOne, "HWD "), 0);
    }
    {
        // Legacy: no car starts, so no RRE records and car number 000.
        const GeneratedTrain t = Train(StreamFormat::Legacy, 15, 9, false);
        AssembleAllInOne(*record, t.stream.data(), t.stream.size());
        const std::string report = FormatTrainReport(record->header, record->axleSlots);
        EXPECT_EQ(TrainReportFileName(record->header), t.ReportFileName());
        EXPECT_NE(report.find(" 20260304 050600 "), std::string::npos);
        EXPECT_EQ(CountLinesStarting(report, "RRE*"), 0);
        EXPECT_EQ(CountLinesStarting(report, "HBD 000 "), 9);
    }
}

// ---- Readings against the alarm model --------------------------------------

namespace {

// The alarms the collector's model gives a generated train, assembled as
// the collector assembles it (legacy in one packet, current in blocks).
std::vector<Alarm> AlarmsOf(const GeneratedTrain& t, const AlarmRules& rules, TrainRecord& record) {
    const bool blocks = t.design.format == StreamFormat::Current;
    if (blocks) AssembleFromBlocks(record, t.stream.data(), t.stream.size());
    else AssembleAllInOne(record, t.stream.data(), t.stream.size());
    AlarmInput in = AlarmInputFromRecord(record);
    in.siteAlarms = ReadSiteAlarmEntries(t.stream.data(), t.stream.size(), blocks);
    return TrainAlarms(in, rules);
}

bool ReadingKind(AlarmKind k) {
    return k == AlarmKind::HotBox || k == AlarmKind::HotWheel || k == AlarmKind::SideDifference ||
           k == AlarmKind::Outlier;
}

}  // namespace

// 1,000 healthy trains of mixed lengths and formats from sites of every
// bias give at most one alarm of the reading rules with the default rules;
// the same trains with a hot bearing, a hot wheel and a one-sided bearing
// planted give their alarm on the planted axle and side, and no reading
// alarm anywhere else. The figures line is what docs/alarms.md quotes.
TEST(SiteSimGenerator, DefaultAlarmRulesOnHealthyAndPlantedTrains) {
    SimRandom rng(2027);
    std::vector<SiteIdentity> sites;
    for (std::uint8_t id : {12, 17, 33, 90, 141}) sites.push_back(MakeSite(id, 1, UnitKind::Halvor, rng));
    sites[0].readingBias = -4;
    sites[1].readingBias = 4;
    auto record = std::make_unique<TrainRecord>();
    const AlarmRules rules;
    AlarmRules largestSoFar;  // rules at the largest healthy values seen: only a larger one passes
    int falseAlarms = 0, axles = 0, largest[6] = {};
    int planted[3] = {}, found[3] = {};
    for (int n = 0; n < 1000; ++n) {
        TrainDesign d;
        d.format = rng.Chance(30) ? StreamFormat::Legacy : StreamFormat::Current;
        d.kind = rng.Chance(70) ? 15 : 16;
        d.hwd = rng.Chance(60);
        const int r = rng.Range(0, 99);
        d.axles = r < 20 ? rng.Range(4, 40) : r < 85 ? rng.Range(40, 260) : rng.Range(260, 1200);
        d.maxStreamBytes = d.format == StreamFormat::Legacy ? ALL_IN_ONE_MAX_STREAM : BLOCKS_MAX_STREAM;
        d.randomDefects = false;
        d.trainNumber = static_cast<std::uint16_t>(n + 1);
        const SiteIdentity& site = sites[static_cast<std::size_t>(n) % sites.size()];
        const std::uint64_t seed = 5000 + static_cast<std::uint64_t>(n);
        SimRandom healthyRng(seed);
        const GeneratedTrain healthy = GenerateTrain(site, d, healthyRng);
        axles += healthy.design.axles;
        for (const Alarm& a : AlarmsOf(healthy, rules, *record)) {
            ++falseAlarms;  // of any kind: a healthy train's site reports nothing but "System Normal"
            ADD_FAILURE() << "healthy train " << n << ": " << testsupport::DescribeAlarm(a);
        }
        largestSoFar.hotBox = largest[static_cast<int>(AlarmKind::HotBox)];
        largestSoFar.hotWheel = largest[static_cast<int>(AlarmKind::HotWheel)];
        largestSoFar.sideDifference = largest[static_cast<int>(AlarmKind::SideDifference)];
        largestSoFar.outlierAboveMedian = largest[static_cast<int>(AlarmKind::Outlier)];
        for (const Alarm& a : AlarmsOf(healthy, largestSoFar, *record))
            if (ReadingKind(a.kind))
                largest[static_cast<int>(a.kind)] =
                    std::max(largest[static_cast<int>(a.kind)], a.reading - std::max(a.reference, 0));

        // The same train with three defects on three different axles.
        const int count = healthy.design.axles;
        const int hb = rng.Range(1, count);
        int hw = rng.Range(1, count), lr = rng.Range(1, count);
        while (hw == hb) hw = hw % count + 1;
        while (lr == hb || lr == hw) lr = lr % count + 1;
        const int sides[3] = {rng.Range(0, 1), rng.Range(0, 1), rng.Range(0, 1)};
        d.defects = {{DefectKind::HotBox, hb, sides[0], 0, 0, {}},
                     {DefectKind::HotWheel, hw, sides[1], 0, 0, {}},
                     {DefectKind::SideDifference, lr, sides[2], 0, 0, {}}};
        SimRandom plantedRng(seed);
        const GeneratedTrain sick = GenerateTrain(site, d, plantedRng);
        const bool wheels = d.format == StreamFormat::Current && d.kind == 15 && d.hwd;
        const std::vector<Alarm> alarms = AlarmsOf(sick, rules, *record);
        const struct { AlarmKind kind; int axle; int side; bool carried; } expected[3] = {
            {AlarmKind::HotBox, hb, sides[0], true},
            {AlarmKind::HotWheel, hw, sides[1], wheels},
            {AlarmKind::SideDifference, lr, sides[2], true}};
        for (int k = 0; k < 3; ++k) {
            if (!expected[k].carried) continue;
            ++planted[k];
            const AlarmSide side = expected[k].side == 0 ? AlarmSide::Left : AlarmSide::Right;
            const bool hit = std::any_of(alarms.begin(), alarms.end(), [&](const Alarm& a) {
                return a.kind == expected[k].kind && a.axle == expected[k].axle && a.side == side;
            });
            found[k] += hit;
            EXPECT_TRUE(hit) << "train " << n << ": " << AlarmKindName(expected[k].kind) << " planted on axle "
                             << expected[k].axle << " " << AlarmSideName(side);
        }
        // The hot bearing is one alarm, though its reading passes more rules.
        EXPECT_EQ(std::count_if(alarms.begin(), alarms.end(), [&](const Alarm& a) { return a.axle == hb; }), 1)
            << "train " << n;
        for (const Alarm& a : alarms)
            if (ReadingKind(a.kind) && a.axle != hb && a.axle != lr && !(wheels && a.axle == hw))
                ADD_FAILURE() << "train " << n << ", away from the planted axles: " << testsupport::DescribeAlarm(a);
    }
    EXPECT_LE(falseAlarms, 1);
    std::printf("[ figures  ] 1000 healthy trains, %d axles: %d alarms of any kind with the default rules "
                "(largest healthy values: hot box %d, hot wheel %d, side difference %d, above the side's "
                "median %d); planted and found: hot box %d of %d, hot wheel %d of %d, side difference %d of %d\n",
                axles, falseAlarms, largest[static_cast<int>(AlarmKind::HotBox)],
                largest[static_cast<int>(AlarmKind::HotWheel)], largest[static_cast<int>(AlarmKind::SideDifference)],
                largest[static_cast<int>(AlarmKind::Outlier)], found[0], planted[0], found[1], planted[1], found[2],
                planted[2]);
}

namespace {

// A generated train as the trend rule sees it at its site.
TrainPass PassOf(const GeneratedTrain& t, const SiteIdentity& site, TrainRecord& record) {
    AssembleFromBlocks(record, t.stream.data(), t.stream.size());
    TrainPass p;
    p.site = site.siteNumber;
    p.milepost = site.milepost;
    p.track = record.header[th::TRACK];
    p.received = t.lineSeconds;
    p.direction = static_cast<char>(record.header[th::DIRECTION]);
    p.axles = AlarmInputFromRecord(record).axles;
    return p;
}

}  // namespace

// 1,000 healthy trains through three sites on a line (one reading 6 steps
// high) give at most one trend alarm; the same trains with a bearing
// heating 38, 103, 253 above the train site by site give its trend alarm
// at the second site, on its axle and side. The figures line is what
// docs/alarms.md quotes.
TEST(SiteSimGenerator, TrendAlarmsOnALine) {
    SimRandom rng(2028);
    std::vector<SiteIdentity> sites;
    for (std::uint8_t id : {21, 22, 23}) sites.push_back(MakeSite(id, 1, UnitKind::Halvor, rng));
    const int mileposts[3] = {1000, 1123, 1290};
    for (int k = 0; k < 3; ++k) {
        sites[static_cast<std::size_t>(k)].milepost = static_cast<std::uint16_t>(mileposts[k]);
        sites[static_cast<std::size_t>(k)].readingBias = k == 1 ? 6 : 0;
    }
    auto record = std::make_unique<TrainRecord>();
    const AlarmRules rules;
    int falseAlarms = 0, axles = 0, planted = 0, atSecond = 0, largestRise = -255;
    for (int n = 0; n < 1000; ++n) {
        TrainDesign d;
        d.kind = rng.Chance(70) ? 15 : 16;
        const int r = rng.Range(0, 99);
        d.axles = r < 20 ? rng.Range(rules.minimumAxlesForOutlier, 40) : r < 85 ? rng.Range(40, 260) : rng.Range(260, 1200);
        d.maxStreamBytes = BLOCKS_MAX_STREAM;
        d.randomDefects = false;
        d.trainNumber = static_cast<std::uint16_t>(n + 1);
        const int speed = rng.Range(15, 70);
        const std::uint64_t seed = 9000 + static_cast<std::uint64_t>(n);
        auto passesOf = [&](const TrainDesign& design) {
            SimRandom lineRng(seed);
            std::vector<TrainPass> passes;
            const std::vector<GeneratedTrain> trains = GenerateLineTrain(sites, design, speed, lineRng);
            for (std::size_t k = 0; k < trains.size(); ++k) passes.push_back(PassOf(trains[k], sites[k], *record));
            return passes;
        };
        const std::vector<TrainPass> healthy = passesOf(d);
        axles += static_cast<int>(healthy[0].axles.size());
        for (const Alarm& a : TrainTrends(healthy, rules)) {
            ++falseAlarms;
            ADD_FAILURE() << "healthy train " << n << ": " << testsupport::DescribeAlarm(a);
        }
        AlarmRules any = rules;  // every rise passes: the largest healthy rise
        any.trendRise = 0;
        any.trendFloor = -255;
        for (const Alarm& a : TrainTrends(healthy, any))
            largestRise = std::max(largestRise, a.trend.back().relative - a.trend[a.trend.size() - 2].relative);

        const int axle = rng.Range(1, static_cast<int>(healthy[0].axles.size()));
        const int side = rng.Range(0, 1);
        d.defects = {{DefectKind::Trend, axle, side, 0, 0, {38, 103, 253}}};
        const std::vector<Alarm> alarms = TrainTrends(passesOf(d), rules);
        ++planted;
        const std::string where = "train " + std::to_string(n) + ", axle " + std::to_string(axle) + " " +
                                  AlarmSideName(side == 0 ? AlarmSide::Left : AlarmSide::Right);
        ASSERT_EQ(alarms.size(), 1u) << where;
        EXPECT_EQ(alarms[0].axle, axle) << where;
        EXPECT_EQ(alarms[0].side, side == 0 ? AlarmSide::Left : AlarmSide::Right) << where;
        ASSERT_EQ(alarms[0].trend.size(), 2u) << where << ": " << testsupport::DescribeAlarm(alarms[0]);
        atSecond += alarms[0].trend[1].site == sites[1].siteNumber;
    }
    EXPECT_LE(falseAlarms, 1);
    EXPECT_EQ(atSecond, planted);
    std::printf("[ figures  ] 1000 healthy trains through 3 sites, %d axles: %d trend alarms with the default "
                "rules (largest healthy rise of a bearing above its side's median, site to site: %d); planted "
                "38, 103, 253: told at the second site %d of %d\n",
                axles, falseAlarms, largestRise, atSecond, planted);
}

// ---- Replies -------------------------------------------------------------

TEST(SiteSimReplies, LexerFindsFramesThroughNoiseBadFramesAndSplits) {
    ReplyLexer lexer;
    Bytes good = Reply(12, PT_ACK, AckPayload(0));
    Bytes bad = Reply(12, PT_CANCEL, {1});
    bad[9] ^= 0xFF;  // checksum
    Bytes wire = {0x13, 0x55, 0x00, 0xAA};
    wire.insert(wire.end(), bad.begin(), bad.end());
    wire.insert(wire.end(), good.begin(), good.end());
    lexer.Feed(wire.data(), wire.size() - 5);
    RxFrame f;
    EXPECT_FALSE(lexer.Next(f));
    lexer.Feed(wire.data() + wire.size() - 5, 5);
    ASSERT_TRUE(lexer.Next(f));
    EXPECT_EQ(f.bytes, good);
    EXPECT_EQ(f.destination, 12);
    EXPECT_EQ(lexer.badFrames, 1u);
    EXPECT_FALSE(lexer.Next(f));
}

TEST(SiteSimReplies, ShapesOfEveryReplyAreChecked) {
    RxFrame f;
    auto shape = [&](std::uint8_t type, const Bytes& payload) {
        f.bytes = Reply(12, type, payload);
        f.type = type;
        f.sequence = 0;
        return CheckReplyShape(f);
    };
    EXPECT_EQ(shape(PT_ACK, AckPayload(1)), "");
    EXPECT_EQ(shape(PT_ACK, {0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x2F}), "");
    EXPECT_NE(shape(PT_ACK, {0, 1, 24, 0, 0, 1, 1, 26}), "");   // hour 24
    EXPECT_NE(shape(PT_ACK, {0, 1, 1, 0, 0, 2, 30, 26}), "");   // 30 February
    EXPECT_NE(shape(PT_ACK, {0, 1, 1, 0}), "");                 // short
    EXPECT_EQ(shape(PT_CANCEL, {1}), "");
    EXPECT_NE(shape(PT_CANCEL, {0}), "");
    EXPECT_EQ(shape(PT_SUBSTITUTE, {0, 2, 2, 5}), "");
    EXPECT_EQ(shape(PT_SUBSTITUTE, {0, 1, 20}), "");
    EXPECT_NE(shape(PT_SUBSTITUTE, {0, 2, 5, 2}), "");          // not ascending
    EXPECT_NE(shape(PT_SUBSTITUTE, {0, 3, 2, 5}), "");          // count disagrees
    EXPECT_NE(shape(PT_SUBSTITUTE, {0, 1, 21}), "");
    EXPECT_EQ(shape(PT_BUSY, {30}), "");
    EXPECT_NE(shape(PT_BUSY, {0}), "");
    EXPECT_EQ(shape(PT_HOLD_OFF, {30}), "");
    EXPECT_EQ(shape(PT_HOLD_OFF, {0}), "");
    EXPECT_NE(shape(PT_HOLD_OFF, {7}), "");
    EXPECT_EQ(shape(PT_PROCEED, {3, 0xE8, 0x03}), "");
    EXPECT_NE(shape(PT_PROCEED, {3, 0xE8}), "");
    EXPECT_NE(shape(PT_DATA, {1}), "");                          // not a reply
    EXPECT_TRUE(AckClockValid(Bytes{0, 0, 0, 2, 29, 28}.data()));   // 29 Feb 2028
    EXPECT_FALSE(AckClockValid(Bytes{0, 0, 0, 2, 29, 27}.data()));
}

// ---- Session against a scripted collector ----------------------------------

namespace {

// The line as the session sees it, with a scripted collector behind it:
// what the session sends is parsed into frames (a frame with a bad checksum
// or a pause long enough to lose it never arrives), and the script answers.
class ScriptedLink final : public ILink {
public:
    std::function<std::vector<Bytes>(const RxFrame&)> collector;
    std::vector<RxFrame> arrived;
    Bytes wire;
    std::vector<std::uint32_t> pauses;

    void Send(const std::uint8_t* bytes, std::size_t count, std::size_t pauseAfter,
              std::uint32_t pauseMs) override {
        wire.insert(wire.end(), bytes, bytes + count);
        if (pauseAfter < count) pauses.push_back(pauseMs);
        if (pauseAfter < count && EffectOfPause(pauseMs) == PauseEffect::Lost) return;
        lexer_.Feed(bytes, count);
        RxFrame f;
        while (lexer_.Next(f)) {
            arrived.push_back(f);
            if (!collector) continue;
            for (const Bytes& r : collector(f)) inbox_.insert(inbox_.end(), r.begin(), r.end());
        }
    }
    std::size_t Receive(std::uint8_t* buffer, std::size_t capacity, std::uint32_t timeoutMs) override {
        if (inbox_.empty()) {
            now_ += timeoutMs;
            return 0;
        }
        const std::size_t n = std::min(capacity, inbox_.size());
        std::copy(inbox_.begin(), inbox_.begin() + static_cast<long>(n), buffer);
        inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<long>(n));
        return n;
    }
    std::uint64_t NowMs() override { return now_; }
    void Pause(std::uint32_t ms) override { now_ += ms; }

    std::vector<std::uint8_t> Types() const {
        std::vector<std::uint8_t> t;
        for (const RxFrame& f : arrived) t.push_back(f.type);
        return t;
    }

private:
    ReplyLexer lexer_;
    Bytes inbox_;
    std::uint64_t now_ = 0;
};

// A collector that serves one transfer as documented: grant, store, list
// what is missing after each Last Data Packet, ACK when complete. Knobs
// make it misbehave.
struct MiniCollector {
    int count = 0;
    std::set<int> got;
    bool ackDespiteGaps = false;
    bool forgetInSubstitute = false;
    int grantCountDelta = 0;
    int busyAnswers = 0;

    std::vector<Bytes> operator()(const RxFrame& f) {
        const std::uint8_t site = f.source;
        switch (f.type) {
            case PT_REQUEST_TO_TRANSMIT:
                if (f.Payload()[0] > 20) return {Reply(site, PT_CANCEL, {1})};
                if (busyAnswers > 0) {
                    --busyAnswers;
                    return {Reply(site, PT_BUSY, {30})};
                }
                count = f.Payload()[0];
                return {Reply(site, PT_PROCEED,
                              {static_cast<std::uint8_t>(count + grantCountDelta), f.Payload()[1],
                               f.Payload()[2]})};
            case PT_DATA: got.insert(f.sequence); return {};
            case PT_LAST_DATA: {
                got.insert(f.sequence);
                Bytes missing;
                for (int n = 1; n <= count; ++n)
                    if (!got.count(n)) missing.push_back(static_cast<std::uint8_t>(n));
                if (forgetInSubstitute && !missing.empty()) missing.erase(missing.begin());
                if (missing.empty() || ackDespiteGaps) return {Reply(site, PT_ACK, AckPayload(0))};
                Bytes p = {0, static_cast<std::uint8_t>(missing.size())};
                p.insert(p.end(), missing.begin(), missing.end());
                return {Reply(site, PT_SUBSTITUTE, p)};
            }
            case PT_ALL_IN_ONE: return {Reply(site, PT_ACK, AckPayload(f.sequence))};
            case PT_POWERUP: return {Reply(site, PT_ACK, AckPayload(0))};
            default: return {};
        }
    }
};

struct SessionFixture {
    ScriptedLink link;
    MiniCollector mini;
    std::ostringstream out;
    SessionOptions options;
    std::unique_ptr<SiteSession> session;
    SiteIdentity site = TestSite();
    GeneratedTrain train = Train(StreamFormat::Current, 15, 300, false);  // 3 blocks of 1000

    SessionFixture() {
        options.replyTimeoutMs = 1000;
        link.collector = std::ref(mini);
        session = std::make_unique<SiteSession>(link, options, out);
    }
    std::vector<int> DataSequence() const {
        std::vector<int> seq;
        for (const RxFrame& f : link.arrived)
            if (f.type == PT_DATA || f.type == PT_LAST_DATA) seq.push_back(f.sequence);
        return seq;
    }
};

}  // namespace

TEST(SiteSimSession, LostBlockIsResentAfterSubstitude) {
    SessionFixture fx;
    ASSERT_EQ(SiteSession::BlockCount(fx.train.stream.size(), 1000), 3u);
    Faults faults;
    faults.drop = {2};
    int acknowledged = 0;
    fx.session->onAcknowledged = [&](const GeneratedTrain&, bool blocks) {
        EXPECT_TRUE(blocks);
        ++acknowledged;
    };
    EXPECT_EQ(fx.session->SendBlocks(fx.site, fx.train, 1000, faults), Outcome::Acknowledged);
    EXPECT_EQ(acknowledged, 1);
    EXPECT_EQ(fx.DataSequence(), (std::vector<int>{1, 3, 2, 3}));
    const Stats& s = fx.session->GetStats();
    EXPECT_EQ(s.resends, 2u);
    EXPECT_EQ(s.trainsRetried, 1u);
    EXPECT_EQ(s.protocolErrors, 0u) << fx.out.str();
    // The blocks laid end to end are the stream.
    Bytes joined;
    for (const RxFrame& f : fx.link.arrived)
        if ((f.type == PT_DATA || f.type == PT_LAST_DATA) && joined.size() < fx.train.stream.size() &&
            f.sequence == static_cast<int>(joined.size() / 1000) + 1)
            joined.insert(joined.end(), f.Payload(), f.Payload() + f.PayloadSize());
    EXPECT_EQ(joined, fx.train.stream);
}

TEST(SiteSimSession, FaultsShapeTheFramesOnTheLine) {
    SessionFixture fx;
    Faults faults;
    faults.badChecksum = 1;
    faults.pauseBlock = 2;
    faults.noise = true;
    EXPECT_EQ(fx.session->SendBlocks(fx.site, fx.train, 1000, faults), Outcome::Acknowledged);
    // Blocks 1 (bad checksum) and 2 (long pause) never arrived whole.
    EXPECT_EQ(fx.DataSequence(), (std::vector<int>{3, 1, 2, 3}));
    EXPECT_EQ(fx.link.pauses, (std::vector<std::uint32_t>{4000}));
    EXPECT_EQ(fx.session->GetStats().protocolErrors, 0u) << fx.out.str();
    // Noise between frames never holds a frame start byte.
    ReplyLexer lexer;
    lexer.Feed(fx.link.wire.data(), fx.link.wire.size());
    RxFrame f;
    while (lexer.Next(f)) {
    }
    EXPECT_GT(lexer.noiseBytes, 0u);
    EXPECT_EQ(lexer.badFrames, 1u);  // only the block with the wrong checksum
}

TEST(SiteSimSession, ReorderAndDuplicateStillEndInOneAck) {
    SessionFixture fx;
    fx.train = Train(StreamFormat::Current, 15, 1200, true);  // 9 blocks of 1000
    Faults faults;
    faults.reorder = true;
    faults.duplicate = 4;
    faults.seed = 7;
    EXPECT_EQ(fx.session->SendBlocks(fx.site, fx.train, 1000, faults), Outcome::Acknowledged);
    std::vector<int> seq = fx.DataSequence();
    EXPECT_EQ(seq.back(), 9);
    EXPECT_EQ(std::count(seq.begin(), seq.end(), 4), 2);
    EXPECT_FALSE(std::is_sorted(seq.begin(), seq.end()));
    EXPECT_EQ(fx.session->GetStats().resends, 0u);
}

TEST(SiteSimSession, RepliesThatContradictWhatWasSentAreProtocolErrors) {
    {
        SessionFixture fx;
        fx.mini.ackDespiteGaps = true;
        Faults faults;
        faults.drop = {1};
        fx.session->SendBlocks(fx.site, fx.train, 1000, faults);
        EXPECT_EQ(fx.session->GetStats().protocolErrors, 1u);
        EXPECT_NE(fx.out.str().find("acknowledged while blocks 1 are missing"), std::string::npos);
    }
    {
        SessionFixture fx;
        fx.mini.forgetInSubstitute = true;
        Faults faults;
        faults.drop = {1, 2};
        fx.session->SendBlocks(fx.site, fx.train, 1000, faults);
        EXPECT_GE(fx.session->GetStats().protocolErrors, 1u);
        EXPECT_NE(fx.out.str().find("but not missing block 1"), std::string::npos);
    }
    {
        SessionFixture fx;
        fx.mini.grantCountDelta = 1;
        EXPECT_EQ(fx.session->SendBlocks(fx.site, fx.train, 1000, Faults{}), Outcome::Failed);
        EXPECT_EQ(fx.session->GetStats().protocolErrors, 1u);
        EXPECT_EQ(fx.DataSequence(), std::vector<int>{}) << "no block after a wrong grant";
    }
    {
        // Not strict (a radio line): the same contradiction is a warning.
        SessionFixture fx;
        fx.options.strict = false;
        fx.session = std::make_unique<SiteSession>(fx.link, fx.options, fx.out);
        fx.mini.ackDespiteGaps = true;
        Faults faults;
        faults.drop = {1};
        fx.session->SendBlocks(fx.site, fx.train, 1000, faults);
        EXPECT_EQ(fx.session->GetStats().protocolErrors, 0u);
        EXPECT_EQ(fx.session->GetStats().warnings, 1u);
    }
}

TEST(SiteSimSession, BusyAndOversizeRequestsAreHandledAsASiteWould) {
    SessionFixture fx;
    fx.mini.busyAnswers = 1;
    Faults faults;
    faults.oversize = true;
    EXPECT_EQ(fx.session->SendBlocks(fx.site, fx.train, 1000, faults), Outcome::Acknowledged);
    std::vector<std::uint8_t> requests;
    for (const RxFrame& f : fx.link.arrived)
        if (f.type == PT_REQUEST_TO_TRANSMIT) requests.push_back(f.Payload()[0]);
    // 21 blocks (CANCEL), then 3 (busy), then 3 again (granted).
    EXPECT_EQ(requests, (std::vector<std::uint8_t>{21, 3, 3}));
    EXPECT_EQ(fx.session->GetStats().protocolErrors, 0u) << fx.out.str();
    EXPECT_GE(fx.link.NowMs(), fx.options.busyWaitMs);
}

TEST(SiteSimSession, AllInOneRetriesThenFailsWithoutAnAck) {
    SessionFixture fx;
    const GeneratedTrain t = Train(StreamFormat::Legacy, 15, 20, false);
    Faults faults;
    faults.drop = {1};
    EXPECT_EQ(fx.session->SendAllInOne(fx.site, t, faults), Outcome::Acknowledged);
    ASSERT_EQ(fx.link.arrived.size(), 1u);  // the first send was left out
    EXPECT_EQ(fx.link.arrived[0].sequence, 2);  // the track number
    EXPECT_EQ(Bytes(fx.link.arrived[0].Payload() + ALL_IN_ONE_LEAD,
                    fx.link.arrived[0].Payload() + fx.link.arrived[0].PayloadSize()),
              t.stream);

    SessionFixture silent;
    silent.link.collector = nullptr;
    EXPECT_EQ(silent.session->SendAllInOne(silent.site, t, Faults{}), Outcome::Failed);
    EXPECT_EQ(silent.link.arrived.size(), 4u);  // first send + 3 retries
    EXPECT_EQ(silent.session->GetStats().trainsFailed, 1u);

    // An ACK carrying another track number is a protocol error.
    SessionFixture wrongTrack;
    wrongTrack.link.collector = [](const RxFrame& f) {
        return std::vector<Bytes>{Reply(f.source, PT_ACK, AckPayload(0))};
    };
    wrongTrack.session->SendAllInOne(wrongTrack.site, t, Faults{});
    EXPECT_EQ(wrongTrack.session->GetStats().protocolErrors, 1u);
}

TEST(SiteSimSession, InterferingSiteGetsBusyHoldOffsAndAcks) {
    SessionFixture fx;
    fx.link.collector = [&](const RxFrame& f) -> std::vector<Bytes> {
        if (f.source == 12) return fx.mini(f);
        switch (f.type) {
            case PT_REQUEST_TO_TRANSMIT: return {Reply(f.source, PT_BUSY, {30})};
            case PT_SEND_STATUS:
            case PT_DATA: return {Reply(f.source, PT_HOLD_OFF, {30})};
            case PT_POWERUP: return {Reply(f.source, PT_ACK, AckPayload(0))};
            case PT_ALL_IN_ONE: return {Reply(f.source, PT_ACK, AckPayload(f.sequence))};
            default: return {};
        }
    };
    Interference in;
    in.enabled = true;
    in.site = TestSite(17);
    in.withTrain = true;
    in.train = Train(StreamFormat::Current, 15, 8, true);
    int acknowledged = 0;
    fx.session->onAcknowledged = [&](const GeneratedTrain&, bool) { ++acknowledged; };
    EXPECT_EQ(fx.session->SendBlocks(fx.site, fx.train, 1000, Faults{}, in), Outcome::Acknowledged);
    EXPECT_EQ(acknowledged, 2);
    EXPECT_EQ(fx.session->GetStats().protocolErrors, 0u) << fx.out.str();

    // A collector that grants the second site instead is caught.
    SessionFixture lax;
    lax.link.collector = [&](const RxFrame& f) -> std::vector<Bytes> {
        if (f.source == 12) return lax.mini(f);
        if (f.type == PT_REQUEST_TO_TRANSMIT) return {Reply(f.source, PT_PROCEED, {2, 0x58, 2})};
        return {};
    };
    in.withTrain = false;
    lax.session->SendBlocks(lax.site, lax.train, 1000, Faults{}, in);
    EXPECT_GE(lax.session->GetStats().protocolErrors, 3u) << lax.out.str();
}

// ---- Plan and command line ---------------------------------------------------

TEST(SiteSimPlan, MixedRunsStayWithinWhatTheCollectorTakes) {
    SimConfig config;
    config.sites = {12, 17};
    config.tracks = Choice::Mixed;
    config.faults = {"loss", "reorder", "dup", "checksum", "noise", "interfere", "pause"};
    config.faultRate = 30;
    const std::vector<SiteIdentity> sites = MakeSites(config);
    Planner planner(config, sites);
    std::set<std::string> seen, names;
    for (int i = 0; i < 400; ++i) {
        const TrainPlan p = planner.Next();
        const bool legacy = p.train.design.format == StreamFormat::Legacy;
        seen.insert(std::string(legacy ? "legacy" : "current") + (p.allInOne ? "/aio" : "/blocks"));
        EXPECT_TRUE(names.insert(p.train.ReportFileName()).second) << "report names repeat";
        if (p.allInOne) {
            EXPECT_LE(p.train.stream.size(), ALL_IN_ONE_MAX_STREAM);
        } else {
            EXPECT_FALSE(legacy) << "a mixed run sends legacy trains in one packet";
            EXPECT_LE(p.train.stream.size(), BLOCKS_MAX_STREAM);
            EXPECT_GE(p.blockCount, 1u);
            EXPECT_LE(p.blockCount, 19u);
            EXPECT_LE(p.blockSize, MAX_BLOCK_PAYLOAD);
            EXPECT_TRUE(p.faults.pauseBlock == 0 ||
                        p.faults.pauseBlock < static_cast<int>(p.blockCount) || p.blockCount == 1);
        }
    }
    EXPECT_EQ(seen, (std::set<std::string>{"current/aio", "current/blocks", "legacy/aio"}));
}

TEST(SiteSimPlan, RequestedShapesAreKept) {
    SimConfig config;
    ASSERT_EQ(ParseArguments({"--mode", "blocks", "--format=current", "--kind", "15", "--axles",
                              "1200", "--blocks", "9", "--site-alarm", "7:0x0100", "--site-alarm=1200:0x8000",
                              "--site-alarm", "9", "--plant", "hotbox:4:right@2", "--healthy"},
                             config),
              "");
    const std::vector<SiteIdentity> sites = MakeSites(config);
    Planner planner(config, sites);
    const TrainPlan p = planner.Next();
    EXPECT_FALSE(p.allInOne);
    EXPECT_EQ(p.train.design.axles, 1200);
    EXPECT_EQ(p.blockCount, 9u);
    EXPECT_LE(p.blockSize, MAX_BLOCK_PAYLOAD);
    // The chosen alarm entries, in order; the defect goes on the second
    // train only.
    EXPECT_EQ(ReadSiteAlarmEntries(p.train.stream.data(), p.train.stream.size(), true),
              (std::vector<SiteAlarmEntry>{{7, 0x0100, false}, {1200, 0x8000, false}, {9, 1, false}}));
    EXPECT_TRUE(p.train.design.defects.empty());
    const TrainPlan second = planner.Next();
    ASSERT_EQ(second.train.design.defects.size(), 1u);
    EXPECT_EQ(second.train.stream[124 + 3 * 7 + 1], DEFAULT_HOT_BOX_PLANT);
}

// Two simulators of one line draw the same trains: the one playing site 3
// sends what the one playing them all sends there, when it is due; each
// train reaches the sites in line order at a speed of --line-speed, and the
// planted bearing rises site by site on the N-th trains only.
TEST(SiteSimPlan, SimulatorsOfOneLineDrawTheSameTrains) {
    SimConfig all, third;
    for (SimConfig* c : {&all, &third})
        ASSERT_EQ(ParseArguments({"--line", "120.0,121.5,124.0", "--line-start", "1767225600", "--healthy", "--plant",
                                  "trend:38,103,253:7:right", "--plant-every", "3"},
                                 *c),
                  "");
    third.linePlay = {3};
    const std::vector<SiteIdentity> sites = MakeLineSites(all);
    ASSERT_EQ(sites.size(), 3u);
    EXPECT_EQ(sites[2].milepost, 1240);
    EXPECT_EQ(sites[1].readingBias, 6);
    LinePlanner a(all, sites), b(third, sites);
    for (int i = 0; i < 6; ++i) {
        const std::vector<LinePass> passes = a.Next(), mine = b.Next();
        ASSERT_EQ(passes.size(), 3u);
        ASSERT_EQ(mine.size(), 1u);
        EXPECT_EQ(mine[0].place, 2u);
        EXPECT_EQ(mine[0].dueMs, passes[2].dueMs);
        EXPECT_EQ(mine[0].plan.train.stream, passes[2].plan.train.stream);
        for (std::size_t k = 1; k < 3; ++k) {
            const double mph = (sites[k].milepost - sites[0].milepost) * 360.0 / ((passes[k].dueMs - passes[0].dueMs) / 1000.0);
            EXPECT_GE(mph, 39.0) << i;
            EXPECT_LE(mph, 61.0) << i;
        }
        EXPECT_EQ(passes[0].plan.train.design.defects.size(), i % 3 == 2 ? 1u : 0u) << i;
    }
}

TEST(SiteSimPlan, CommandLineErrorsAreReported) {
    SimConfig c;
    EXPECT_NE(ParseArguments({"--bogus"}, c), "");
    EXPECT_NE(ParseArguments({"--com", "3"}, c), "");
    EXPECT_NE(ParseArguments({"--sites", "12,250"}, c), "");
    EXPECT_NE(ParseArguments({"--sites", "12,12"}, c), "");
    EXPECT_NE(ParseArguments({"--faults", "loss,fire"}, c), "");
    EXPECT_NE(ParseArguments({"--trains"}, c), "");
    for (const char* plant : {"hotbox:3", "hotbox:0:left", "hotwheel:2:up", "hotbox:2:left:256", "cold:2:left",
                              "lrdiff:2@0"})
        EXPECT_NE(ParseArguments({"--plant", plant}, c), "") << plant;
    for (const std::vector<std::string>& line : {std::vector<std::string>{"--line", "1"}, {"--line", "12.0,12.0"},
                                                 {"--line", "12.05,13"}, {"--line", "2", "--line-sites", "3"},
                                                 {"--line-sites", "1"}, {"--line", "2", "--line-speed", "60-40"},
                                                 {"--plant", "trend:38,256"}, {"--plant", "trend:38:5:up"}})
        EXPECT_NE(ParseArguments(line, c), "") << line[0] << " " << line[1];
    EXPECT_NE(ParseArguments({"--site-alarm", "3:0x10000"}, c), "");
    EXPECT_NE(ParseArguments({"--site-alarm", "0"}, c), "");
    PlantedDefect d;
    EXPECT_EQ(ParsePlant("lrdiff:12@3", &d), "");
    EXPECT_EQ(d.kind, DefectKind::SideDifference);
    EXPECT_EQ(d.axle, 12);
    EXPECT_EQ(d.side, 0);
    EXPECT_EQ(d.train, 3);
    SimConfig ok;
    EXPECT_EQ(ParseArguments({"--faults", "all", "--forever", "--sites", "3,4"}, ok), "");
    EXPECT_EQ(ok.faults.size(), 8u);
    EXPECT_TRUE(ok.realTimes);
    EXPECT_EQ(ok.sites, (std::vector<std::uint8_t>{3, 4}));
}
