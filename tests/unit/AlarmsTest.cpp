// The alarm model: its rules on small trains (one table), the [Alarms]
// settings, and the class of the system messages. How the default rules
// fare on simulated traffic is measured in SiteSimTest.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
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
        {"a hot bearing is hot, an outlier and hotter than its other side",
         [](AlarmInput& in, AlarmRules&) { Axle(in, 6).hotBoxLeft = 130; },
         {"A6 C2.2 hot-box left 130 >120", "A6 C2.2 side-difference left 130-40 >30",
          "A6 C2.2 outlier left 130-40 >30"}},
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
          "A12 C3.4 side-difference right 255-40 >30", "A12 C3.4 outlier right 255-40 >30",
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
         {"A0 equipment #0", "A0 equipment #27", "A0 equipment #47", "A1 C1.1 hot-box right 200 >120",
          "A1 C1.1 side-difference right 200-40 >30", "A1 C1.1 outlier right 200-40 >30"}},
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
                           "Factor=0.5\r\nColour=red\r\nHOTBOX=90\r\n[Other]\r\nHotWheel=5\r\n";
    rules = LoadAlarmRules(path, &warnings);
    EXPECT_EQ(rules.hotBox, 100);
    EXPECT_EQ(rules.hotWheel, RULE_OFF);
    EXPECT_EQ(rules.sideDifference, 30);
    EXPECT_EQ(rules.outlierAboveMedian, 30);
    EXPECT_EQ(rules.minimumAxlesForOutlier, 12);
    EXPECT_EQ(DisplayReading(57, rules), "28.5 deg");
    EXPECT_EQ(DisplayReading(58, rules), "29 deg");
    ASSERT_EQ(warnings.size(), 5u);
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
