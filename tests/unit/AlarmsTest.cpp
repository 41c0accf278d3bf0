// The alarm model: its rules on small trains (one table), the [Alarms]
// settings, and the class of the system messages. How the default rules
// fare on simulated traffic is measured in SiteSimTest.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "engine/AlarmCommand.h"
#include "engine/Alarms.h"
#include "records/TrainReport.h"

using testsupport::DescribeAlarms;

namespace {

// `count` axles in cars of four, hot-box readings `left`/`right`, hot-wheel
// readings 200 (or none).
AlarmInput Flat(int count, int left = 40, int right = 40, bool wheels = true) {
    AlarmInput in;
    in.hotWheels = wheels;
    for (int i = 0; i < count; ++i) {
        ReportAxle a;
        a.axle = static_cast<std::uint16_t>(i + 1);
        a.carStart = i % 4 == 0;
        a.car = static_cast<std::uint16_t>(i / 4 + 1);
        a.hotBoxLeft = static_cast<std::uint8_t>(left);
        a.hotBoxRight = static_cast<std::uint8_t>(right);
        a.hotWheelLeft = a.hotWheelRight = static_cast<std::int16_t>(wheels ? 200 : -1);
        in.axles.push_back(a);
    }
    return in;
}

ReportAxle& Axle(AlarmInput& in, int axle) { return in.axles[static_cast<std::size_t>(axle - 1)]; }

}  // namespace

TEST(Alarms, RulesOnSmallTrains) {
    struct Case {
        const char* what;
        std::function<void(AlarmInput&, AlarmRules&)> make;  // on Flat(16)
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"an even train", [](AlarmInput&, AlarmRules&) {}, {}},
        {"a hot bearing (hot, an outlier and hotter than its other side) is one alarm",
         [](AlarmInput& in, AlarmRules&) { Axle(in, 6).hotBoxLeft = 130; },
         {"A6 C2.2 hot-box left 130 >120"}},
        {"a reading at a threshold does not pass it",
         [](AlarmInput& in, AlarmRules&) {
             Axle(in, 6).hotBoxLeft = 120;
             Axle(in, 6).hotBoxRight = 90;
             Axle(in, 7).hotWheelRight = 600;
             Axle(in, 8).hotBoxLeft = 70;
             Axle(in, 9).hotBoxRight = 10;
         },
         {"A6 C2.2 outlier left 120-40 >30", "A6 C2.2 outlier right 90-40 >30"}},
        {"hot wheels",
         [](AlarmInput& in, AlarmRules&) {
             Axle(in, 3).hotWheelRight = 601;
             Axle(in, 4).hotWheelLeft = 1023;
         },
         {"A3 C1.3 hot-wheel right 601 >600", "A4 C1.4 hot-wheel left 1023 >600"}},
        {"one side much warmer, below the hot-box rule and near its side's median",
         [](AlarmInput& in, AlarmRules&) {
             Axle(in, 9).hotBoxLeft = 55;
             Axle(in, 9).hotBoxRight = 20;
         },
         {"A9 C3.1 side-difference left 55-20 >30"}},
        {"above its side's median only (the median of an even count: the mean of the middle two)",
         [](AlarmInput& in, AlarmRules&) {
             for (int a = 1; a <= 7; ++a) Axle(in, a).hotBoxRight = 42;
             Axle(in, 16).hotBoxRight = 72;
             Axle(in, 16).hotBoxLeft = 50;
         },
         {"A16 C4.4 outlier right 72-41 >30"}},
        {"too few axles for the outlier rule",
         [](AlarmInput& in, AlarmRules& r) {
             r.minimumAxlesForOutlier = 17;
             Axle(in, 2).hotBoxLeft = Axle(in, 2).hotBoxRight = 100;
         },
         {}},
        {"a legacy code that maxed a reading is the site's alarm only; a measured 255 is hot",
         [](AlarmInput& in, AlarmRules&) {
             Axle(in, 5).hotBoxLeft = 255;
             in.siteAlarms = {{5, 0x40, true}, {5, 0x40, true}, {5, 0x0100, false}, {30, 0x80, true}};
             Axle(in, 12).hotBoxRight = 255;
         },
         {"A5 C2.1 site #256", "A5 C2.1 site left 255 #64", "A12 C3.4 hot-box right 255 >120",
          "A30 site right #128"}},
        {"rules turned off",
         [](AlarmInput& in, AlarmRules& r) {
             r.hotBox = r.hotWheel = r.sideDifference = r.outlierAboveMedian = RULE_OFF;
             Axle(in, 1).hotBoxLeft = 250;
             Axle(in, 1).hotWheelLeft = 1000;
         },
         {}},
        {"equipment faults, one per code, first; normal messages and traffic warnings are none",
         [](AlarmInput& in, AlarmRules&) {
             in.systemMessages = {48, 35, 27, 27, 0, 42, 47};
             Axle(in, 1).hotBoxRight = 200;
         },
         {"A0 equipment #0", "A0 equipment #27", "A0 equipment #47", "A1 C1.1 hot-box right 200 >120"}},
        {"a train without car starts has no car numbers",
         [](AlarmInput& in, AlarmRules&) {
             for (ReportAxle& a : in.axles) a.carStart = false, a.car = 0;
             Axle(in, 2).hotWheelLeft = 700;
         },
         {"A2 hot-wheel left 700 >600"}},
    };
    for (const Case& c : cases) {
        AlarmInput in = Flat(16);
        AlarmRules rules;
        c.make(in, rules);
        EXPECT_EQ(DescribeAlarms(TrainAlarms(in, rules)), c.expected) << c.what;
    }
    // Absent hot-wheel readings are never compared.
    AlarmInput noWheels = Flat(16, 40, 40, false);
    noWheels.axles[0].hotWheelLeft = -1;
    EXPECT_TRUE(TrainAlarms(noWheels, AlarmRules{}).empty());
}

TEST(Alarms, RulesComeFromTheSettingsFileAndBadValuesKeepTheDefault) {
    testsupport::TempDataFolder folder;
    const std::string path = (folder / "K7_Dialups.ini").string();
    std::vector<std::string> warnings;
    AlarmRules rules = LoadAlarmRules(path, &warnings);  // no file: the defaults, quietly
    EXPECT_EQ(rules.hotBox, 120);
    EXPECT_TRUE(warnings.empty());

    std::ofstream(path) << "[Radio Serial Port]\r\nRadio_Port=3\r\nHotBox=1\r\n"
                           "[alarms]\r\n HotBox = 100 \r\nhotwheel=off\r\nLeftRightDifference=abc\r\n"
                           "OutlierAboveMedian=300\r\nMinimumAxlesForOutlier=off\r\nUnit=\"deg\"\r\n"
                           "Factor=0.5\r\nColour=red\r\nHOTBOX=90\r\nCommand=bin/hook\r\nCommandTimeout=5\r\n"
                           "TrendRise=40\r\nTrendMaxSpeed=0\r\n"
                           "[Other]\r\nHotWheel=5\r\n";
    rules = LoadAlarmRules(path, &warnings);
    EXPECT_EQ(rules.hotBox, 100);
    EXPECT_EQ(rules.hotWheel, RULE_OFF);
    EXPECT_EQ(rules.sideDifference, 30);
    EXPECT_EQ(rules.outlierAboveMedian, 30);
    EXPECT_EQ(rules.minimumAxlesForOutlier, 12);
    EXPECT_EQ(DisplayReading(57, rules), "28.5 deg");
    EXPECT_EQ(DisplayReading(58, rules), "29 deg");
    EXPECT_EQ(rules.command, "");
    EXPECT_EQ(rules.commandTimeout, 5);
    EXPECT_EQ(rules.trendRise, 40);
    EXPECT_EQ(rules.trendMaxSpeed, 120);
    ASSERT_EQ(warnings.size(), 7u);
    EXPECT_NE(warnings[6].find("from 1 to 300; the default 120"), std::string::npos) << warnings[6];
    EXPECT_NE(warnings[5].find("must be the absolute path of a program"), std::string::npos) << warnings[5];
    EXPECT_NE(warnings[0].find("key \"LeftRightDifference\" is \"abc\""), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[1].find("from 0 to 255 or off; the default 30 is used"), std::string::npos) << warnings[1];
    EXPECT_NE(warnings[2].find("from 1 to 1200; the default 12"), std::string::npos) << warnings[2];
    EXPECT_NE(warnings[3].find("\"Colour\" is not an alarm rule"), std::string::npos) << warnings[3];
    EXPECT_NE(warnings[4].find("\"HOTBOX\" is given again"), std::string::npos) << warnings[4];

    // A settings file that cannot be read leaves the defaults and says so.
    warnings.clear();
    const std::string notAFile = (folder / "folder.ini").string();
    std::filesystem::create_directory(notAFile);
    EXPECT_EQ(LoadAlarmRules(notAFile, &warnings).hotBox, 120);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("the alarm rules keep their defaults"), std::string::npos);
}

namespace {

// A train of `count` flat axles at site `site`, milepost `milepost` (tenths),
// received `received` seconds in, track 1, running north.
TrainPass Pass(int site, int milepost, long long received, int count = 40, int level = 40) {
    TrainPass p;
    p.site = site;
    p.milepost = milepost;
    p.track = 1;
    p.received = received;
    p.direction = 'N';
    p.axles = Flat(count, level, level).axles;
    return p;
}

}  // namespace

// Site 2 is 10 miles on from site 1: 600 s is 60 mph.
TEST(AlarmTrends, SameTrainAtTheNextSite) {
    struct Case {
        const char* what;
        std::function<void(TrainPass&)> change;  // on the pass at site 2
        bool same, reversed;
    };
    const Case cases[] = {
        {"the same train, 60 mph", [](TrainPass&) {}, true, false},
        {"received before the first site", [](TrainPass& b) { b.received = -600; }, false, false},
        {"at the same time", [](TrainPass& b) { b.received = 0; }, false, false},
        {"10 mph is still a train", [](TrainPass& b) { b.received = 3600; }, true, false},
        {"slower than 10 mph", [](TrainPass& b) { b.received = 3601; }, false, false},
        {"120 mph is still a train", [](TrainPass& b) { b.received = 300; }, true, false},
        {"faster than 120 mph", [](TrainPass& b) { b.received = 299; }, false, false},
        {"running down the line", [](TrainPass& b) { b.milepost = 900; }, true, false},
        {"two axles more", [](TrainPass& b) { b.axles.resize(42, b.axles.back()); }, true, false},
        {"three axles fewer", [](TrainPass& b) { b.axles.resize(37); }, false, false},
        {"no axles", [](TrainPass& b) { b.axles.clear(); }, false, false},
        {"the other way past the site", [](TrainPass& b) { b.direction = 'S'; }, true, true},
        {"a curve: another letter but not the opposite", [](TrainPass& b) { b.direction = 'E'; }, true, false},
        {"no direction", [](TrainPass& b) { b.direction = 0; }, true, false},
        {"another track", [](TrainPass& b) { b.track = 2; }, false, false},
        {"the same site", [](TrainPass& b) { b.site = 1; }, false, false},
        {"the same milepost", [](TrainPass& b) { b.milepost = 1000; }, false, false},
        {"a day and more later", [](TrainPass& b) { b.milepost = 60000, b.received = 90000; }, false, false},
    };
    const AlarmRules rules;
    for (const Case& c : cases) {
        TrainPass b = Pass(2, 1100, 600);
        c.change(b);
        bool reversed = !c.reversed;
        EXPECT_EQ(SameTrain(Pass(1, 1000, 0), b, rules, &reversed), c.same) << c.what;
        EXPECT_EQ(reversed, c.reversed) << c.what;
    }
}

// Three sites 10 miles apart at 60 mph, 40 axles reading 40, axle 12 left
// (car 3, axle 4) changed site by site.
TEST(AlarmTrends, ABearingWarmingFromSiteToSite) {
    struct Case {
        const char* what;
        std::vector<int> axle12;                   // its reading at sites 1, 2, 3
        std::function<void(std::vector<TrainPass>&, AlarmRules&)> change;
        std::vector<std::string> expected;
    };
    const auto none = [](std::vector<TrainPass>&, AlarmRules&) {};
    const Case cases[] = {
        {"38, 103, 253 above the train: told at the second site, once", {78, 143, 255}, none,
         {"A12 C3.4 trend left 143-40 >25 [1:38 2:103]"}},
        {"warm but steady", {70, 72, 68}, none, {}},
        {"a rise of 25 does not pass, 26 does", {40, 65, 91}, none, {"A12 C3.4 trend left 91-40 >25 [1:0 2:25 3:51]"}},
        {"rising, but not yet above the floor", {10, 60, 64}, none, {}},
        {"the other way past site 2: axle 12 is its axle 29", {78, 143, 143},
         [](std::vector<TrainPass>& p, AlarmRules&) {
             p[1].direction = p[2].direction = 'S';
             std::swap(p[1].axles[11].hotBoxLeft, p[1].axles[28].hotBoxLeft);
             std::swap(p[2].axles[11].hotBoxLeft, p[2].axles[28].hotBoxLeft);
         },
         {"A29 C8.1 trend left 143-40 >25 [1:38 2:103]"}},
        {"an axle missed at site 1 shifts the train by one", {78, 143, 255},
         [](std::vector<TrainPass>& p, AlarmRules&) { p[0].axles.erase(p[0].axles.begin()); },
         {"A12 C3.4 trend left 143-40 >25 [1:38 2:103]"}},
        {"a site reading high is no trend", {40, 40, 40},
         [](std::vector<TrainPass>& p, AlarmRules&) {
             for (ReportAxle& a : p[1].axles) a.hotBoxLeft = a.hotBoxRight = 80;
         },
         {}},
        {"site 2 too late for the train: no chain", {78, 143, 255},
         [](std::vector<TrainPass>& p, AlarmRules&) { p[1].received = 7200; }, {}},
        {"a short train has no median", {78, 143, 255},
         [](std::vector<TrainPass>&, AlarmRules& r) { r.minimumAxlesForOutlier = 41; }, {}},
        {"trends off", {78, 143, 255},
         [](std::vector<TrainPass>&, AlarmRules& r) { r.trendRise = RULE_OFF; }, {}},
    };
    for (const Case& c : cases) {
        std::vector<TrainPass> passes = {Pass(1, 1000, 0), Pass(2, 1100, 600), Pass(3, 1200, 1200)};
        for (std::size_t k = 0; k < 3; ++k)
            passes[k].axles[11].hotBoxLeft = static_cast<std::uint8_t>(c.axle12[k]);
        AlarmRules rules;
        c.change(passes, rules);
        EXPECT_EQ(DescribeAlarms(TrainTrends(passes, rules)), c.expected) << c.what;
    }
}

// One train through sites 1, 2, 3 as above, axle 12 left at 78, 143, 255,
// among other trains on the track: the chain followed back from its pass at
// site 3, and the trend alarms once pass `self` is known ("site:axle side").
TEST(AlarmTrends, FollowingOneTrainAmongOthers) {
    struct Case {
        const char* what;
        std::function<void(std::vector<TrainPass>&)> change;  // the train's passes first
        std::size_t self;
        std::vector<int> chain;  // its sites, back from site 3's pass
        std::vector<std::string> alarms;
    };
    const auto none = [](std::vector<TrainPass>&) {};
    const Case cases[] = {
        {"alone: told at site 2 once", none, 2, {1, 2, 3}, {"2:12 left"}},
        {"site 2 missed it: site 1 to site 3", [](std::vector<TrainPass>& p) { p.erase(p.begin() + 1); }, 1, {1, 3},
         {"3:12 left"}},
        {"site 1 sent it last: the chain after it", [](std::vector<TrainPass>& p) { std::swap(p[0], p[2]); }, 2,
         {1, 2, 3}, {"2:12 left"}},
        {"a train two axles longer just behind at site 2: the train's own pass",
         [](std::vector<TrainPass>& p) { p.push_back(Pass(2, 1100, 700, 42)); }, 2, {1, 2, 3}, {"2:12 left"}},
        {"a train an axle longer ran 3, 2, 1 before it: not taken for it at site 1 (no alarm there)",
         [](std::vector<TrainPass>& p) {
             for (int k : {3, 2, 1}) p.push_back(Pass(k, 900 + 100 * k, -2400 + 600 * (3 - k), 41));
             for (int k : {1, 2, 3}) p[static_cast<std::size_t>(k - 1)].received += 1800;
         },
         0, {1, 2, 3}, {"2:12 left"}},
        {"a train reversed past site 2 and 3: axle 12 is its axle 29",
         [](std::vector<TrainPass>& p) {
             for (std::size_t k : {1, 2}) {
                 p[k].direction = 'S';
                 std::swap(p[k].axles[11].hotBoxLeft, p[k].axles[28].hotBoxLeft);
             }
         },
         2, {1, 2, 3}, {"2:29 left"}},
        {"three axles fewer at site 3: no chain", [](std::vector<TrainPass>& p) { p[2].axles.resize(37); }, 1, {3},
         {"2:12 left"}},
    };
    const AlarmRules rules;
    for (const Case& c : cases) {
        std::vector<TrainPass> passes = {Pass(1, 1000, 0), Pass(2, 1100, 600), Pass(3, 1200, 1200)};
        for (std::size_t k = 0; k < 3; ++k) passes[k].axles[11].hotBoxLeft = static_cast<std::uint8_t>(78 + 65 * k - (k == 2 ? 18 : 0));
        c.change(passes);
        std::size_t third = 0;
        for (std::size_t k = 0; k < passes.size(); ++k)
            if (passes[k].site == 3 && passes[k].received >= passes[third].received) third = k;
        std::vector<int> chain;
        for (std::size_t k : TrainChain(passes, third, rules)) chain.push_back(passes[k].site);
        EXPECT_EQ(chain, c.chain) << c.what;
        std::vector<std::string> alarms;
        for (const PassAlarm& a : NewPassTrends(passes, c.self, rules))
            alarms.push_back(std::to_string(passes[a.pass].site) + ":" + std::to_string(a.alarm.axle) + " " +
                             AlarmSideName(a.alarm.side));
        EXPECT_EQ(alarms, c.alarms) << c.what;
    }
}

TEST(Alarms, SystemMessagesAreClassedByWhatTheySay) {
    for (int code = 1; code <= 51; ++code) {
        const std::string text = SystemMessageText(code);
        const MessageClass c = SystemMessageClass(code);
        const bool traffic = text.find("Slow") != std::string::npos || text.find("Spoken") != std::string::npos;
        EXPECT_EQ(c == MessageClass::Normal, text.find("System Normal") != std::string::npos) << text;
        EXPECT_EQ(c == MessageClass::TrafficWarning, traffic) << text;
    }
    for (int code : {0, 52, 255}) EXPECT_EQ(SystemMessageClass(code), MessageClass::EquipmentFault);
}

namespace {

// Runs the program for the alarms and collects its lines.
struct HookRun {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::unique_ptr<AlarmCommand> command;
    explicit HookRun(AlarmCommandSettings settings)
        : command(std::make_unique<AlarmCommand>(std::move(settings), [this](const std::string& l, bool) {
              std::lock_guard<std::mutex> lock(mutex);
              lines.push_back(l);
          })) {}
    std::string Text() {
        std::lock_guard<std::mutex> lock(mutex);
        std::string all;
        for (const std::string& l : lines) all += l + "\n";
        return all;
    }
};

std::string WriteScript(const testsupport::TempDataFolder& folder, const std::string& name, const std::string& body) {
    const std::string path = (folder / name).string();
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
    return path;
}

}  // namespace

// The alarm command gets the alarm's fields as plain arguments and
// environment: a site's name with shell syntax and control bytes arrives as
// text (control bytes left out) and runs nothing; a failing run is tried
// once more.
TEST(AlarmCommand, FieldsArriveIntactAndNothingIsRunThroughAShell) {
    testsupport::TempDataFolder folder;
    const std::string out = (folder / "args").string();
    const std::string hook = WriteScript(folder, "hook.sh",
        "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" + out + "'\n"
        "printf '%s' \"$KESTOVA_ALARM_SITE_NAME|$KESTOVA_ALARM_AXLE|$KESTOVA_ALARM_TEXT\" > '" + out + ".env'\n");
    AlarmRow a;
    a.id = 41;
    a.kind = "hot-box";
    a.siteNumber = 500;
    a.siteId = 12;
    a.siteName = std::string("$(touch ") + (folder / "pwned").string() + ");`id`|&\"'\x1b[31m\n\r\x01 *";
    a.trainId = 7;
    a.trainNumber = 417;
    a.received = "2026-03-01 14:03:09";
    a.axle = 12, a.car = 3, a.axleInCar = 4, a.side = "left";
    a.reading = 170, a.reference = -1, a.threshold = 120, a.code = 0;
    a.text = "hot-box axle 12 (car 3, axle 4) left: reading 170 above 120";
    HookRun run(AlarmCommandSettings{hook});
    run.command->Run(a);
    ASSERT_TRUE(run.command->WaitIdle(std::chrono::seconds(10)));
    std::ifstream in(out, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string plainName = std::string("$(touch ") + (folder / "pwned").string() + ");`id`|&\"'[31m *";
    std::string expected;
    for (const std::string v : {"41", "hot-box", "00500", "12", plainName.c_str(), "7", "417", "2026-03-01 14:03:09",
                                "12", "3", "4", "left", "170", "-1", "120", "0", a.text.c_str()})
        expected += v + std::string(1, '\0');
    EXPECT_EQ(got, expected);
    std::ifstream env(out + ".env");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(env), std::istreambuf_iterator<char>()),
              plainName + "|12|" + a.text);
    EXPECT_FALSE(std::filesystem::exists(folder / "pwned"));
    EXPECT_EQ(run.Text(), "Alarm command " + hook + " for alarm 41: exit status 0\n");

    // Exit status 3, then 0: one failure line, tried once more.
    const std::string flaky = WriteScript(folder, "flaky.sh", "[ -e '" + out + ".once' ] && exit 0\ntouch '" + out +
                                                                  ".once'\nexit 3\n");
    HookRun again(AlarmCommandSettings{flaky});
    again.command->Run(a);
    ASSERT_TRUE(again.command->WaitIdle(std::chrono::seconds(10)));
    EXPECT_EQ(again.Text(), "ERROR: Alarm command " + flaky + " for alarm 41 failed (exit status 3); it is run once more\n"
                            "Alarm command " + flaky + " for alarm 41: exit status 0\n");
}

// A program that hangs, and ignores SIGTERM, is cut at its time limit (its
// children with it), tried once more and then given up; the caller never
// waits for it.
TEST(AlarmCommand, AHangingProgramIsCutAtItsTimeLimit) {
    testsupport::TempDataFolder folder;
    const std::string hook = WriteScript(folder, "hang.sh", "trap '' TERM\nsleep 30\n");
    AlarmCommandSettings settings{hook};
    settings.timeout = std::chrono::milliseconds(300);
    settings.killAfter = std::chrono::milliseconds(200);
    HookRun run(settings);
    AlarmRow a;
    a.id = 5;
    const auto started = std::chrono::steady_clock::now();
    run.command->Run(a);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100));
    ASSERT_TRUE(run.command->WaitIdle(std::chrono::seconds(10))) << run.Text();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    EXPECT_EQ(run.Text(), "ERROR: Alarm command " + hook + " for alarm 5 failed (stopped after its time limit of 0.3 s); "
                          "it is run once more\n"
                          "ERROR: Alarm command " + hook + " for alarm 5 failed again (stopped after its time limit "
                          "of 0.3 s); given up\n");
}
