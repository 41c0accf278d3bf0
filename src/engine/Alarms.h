#pragma once
// The alarm model: what one train's readings, the site's own alarm entries
// and its system messages amount to, as a list of alarms. Pure functions;
// only LoadAlarmRules reads a file (the [Alarms] section of the settings
// file). docs/alarms.md describes the rules, their defaults and why.
//
// Readings are on the site's own scale: hot box 0-255 (the slot byte; the
// report prints it with a 0 behind), hot wheel 0-1023. No unit is known for
// them; AlarmRules::unit and ::factor only change how they are shown.
#include <cstdint>
#include <string>
#include <vector>

#include "common/TrainRecord.h"
#include "records/ReportParser.h"

enum class AlarmKind {
    SiteAnnounced,   // an alarm entry or legacy alarm code the site sent
    HotBox,          // a hot-box reading above AlarmRules::hotBox
    HotWheel,        // a hot-wheel reading above AlarmRules::hotWheel
    SideDifference,  // one axle's hot-box readings differ by more than AlarmRules::sideDifference
    Outlier,         // a hot-box reading above the median of its side in this train by more than
                     // AlarmRules::outlierAboveMedian
    Equipment,       // a system message that tells of an equipment fault
    Trend,           // a bearing's reading above its side's median rose from one site to the next
                     // (TrainTrends)
};

enum class AlarmSide { None, Left, Right };

// One site's view of a bearing in a trend: the reading minus the median of
// its side in that train at that site.
struct TrendStep {
    int site = 0;      // site number
    int relative = 0;  // reading - median of its side
    bool operator==(const TrendStep&) const = default;
};

struct Alarm {
    AlarmKind kind = AlarmKind::SiteAnnounced;
    int axle = 0;        // 1-based, counted from the head end; 0 for an equipment message
    int car = 0;         // 1-based from the head end; 0 before the first car start (legacy trains)
    int axleInCar = 0;   // 1-based within the car; 0 when car is 0
    AlarmSide side = AlarmSide::None;
    int reading = -1;    // the reading that passed (site-announced: the side's reading, if any)
    int reference = -1;  // what it was compared with: the other side (difference), the side's
                         // median (outlier); -1 for the other kinds
    int threshold = -1;  // the rule's value it went beyond: reading (- reference) > threshold
    int code = 0;        // site-announced: the alarm bits or legacy code; equipment: the message code
    // Trend: the bearing site by site, oldest first; the last step is the
    // site where the alarm was raised (axle, car, reading and reference are
    // as that site saw them). Empty for the other kinds.
    std::vector<TrendStep> trend;

    bool operator==(const Alarm&) const = default;
};

// One train as the rules see it. `axles` in order from the head end (axle
// i + 1 at index i); ReportAxle::car and ::carStart give the cars.
struct AlarmInput {
    std::vector<ReportAxle> axles;
    bool hotWheels = false;                   // hot-wheel readings present
    std::vector<SiteAlarmEntry> siteAlarms;   // ReadSiteAlarmEntries
    std::vector<int> systemMessages;          // each message present: its code, 0 for one without
                                              // a text (as ParsedReport::simCodes)
};

// The axles, hot-wheel flag and system messages of an assembled train (the
// axle slots read as the report prints them); the site's alarm entries
// must be added from the stream (ReadSiteAlarmEntries).
AlarmInput AlarmInputFromRecord(const TrainRecord& record);

// A rule set to RULE_OFF never fires.
constexpr int RULE_OFF = -1;

struct AlarmRules {
    int hotBox = 120;                 // [Alarms] HotBox: 0-255 or off
    int hotWheel = 600;               // HotWheel: 0-1023 or off
    int sideDifference = 30;          // LeftRightDifference: 0-255 or off
    int outlierAboveMedian = 30;      // OutlierAboveMedian: 0-255 or off
    int minimumAxlesForOutlier = 12;  // MinimumAxlesForOutlier: 1-1200
    std::string unit;                 // Unit: shown after a reading (display only)
    double factor = 1.0;              // Factor: a reading is shown multiplied by it (display only)
    std::string command;              // Command: a program (absolute path) run once per new alarm;
                                      // "" for none (engine/AlarmCommand.h)
    int commandTimeout = 30;          // CommandTimeout: seconds, 1-3600, before it is stopped
    // Trends across detectors (TrainTrends, SameTrain):
    int trendRise = 25;               // TrendRise: 0-255 or off; the relative reading must rise by more
    int trendFloor = 25;              // TrendFloor: 0-255; and end above the side's median by more
    int trendMinSpeed = 10;           // TrendMinSpeed: mph, 1-300; slower running between sites: not
    int trendMaxSpeed = 120;          // TrendMaxSpeed: mph, 1-300; faster: not the same train
    int trendAxleTolerance = 2;       // TrendAxleTolerance: 0-20; axle counts may differ by this much
};

// The rules of the [Alarms] section of the settings file at `settingsPath`.
// A missing file, section or key keeps the default. A value that is not
// valid, a key that is not known or a file that cannot be read keeps the
// default and adds one sentence to `warnings` (when given), naming the
// file, the section and the key.
AlarmRules LoadAlarmRules(const std::string& settingsPath, std::vector<std::string>* warnings);

// The train's alarms, sorted by axle (equipment messages, axle 0, first),
// then kind and side; one per kind, axle and side (and message code).
std::vector<Alarm> TrainAlarms(const AlarmInput& input, const AlarmRules& rules);

// One site's view of a train, for following it from site to site.
struct TrainPass {
    int site = 0;                   // site number
    int milepost = 0;               // the site's milepost, tenths of a mile (the registry's)
    int track = 0;
    long long received = 0;         // when the train was received, seconds (any one epoch)
    char direction = 0;             // the header's direction character ('N', 'S', 'E', 'W'; 0: none)
    std::vector<ReportAxle> axles;  // as this site counted them, from the head end
};

// Whether `b` is the train of `a` seen at the next site: other site, same
// track, received after `a` at a running speed from trendMinSpeed to
// trendMaxSpeed over the milepost distance, axle counts within
// trendAxleTolerance. *reversed (when given) is set when the train ran the
// other way past `b` (opposite direction characters): its axles count from
// the other end there. docs/alarms.md, "Trends across detectors".
bool SameTrain(const TrainPass& a, const TrainPass& b, const AlarmRules& rules, bool* reversed);

// Trend alarms of one train seen at consecutive sites, `passes` in the order
// it passed them (each matched to the one before with SameTrain; the chain
// stops at the first pass that does not match). One alarm per bearing, at
// the first site where its relative reading rose by more than trendRise and
// ends above trendFloor; axle, car and reading as that site saw them.
// Sorted by axle, then left before right.
std::vector<Alarm> TrainTrends(const std::vector<TrainPass>& passesInOrder, const AlarmRules& rules);

// The passes of one train in the order it passed the sites, up to `self`
// (an index of `passes`, which may hold passes of any train, in any order;
// TrainPass::site tells the sites apart): going back from `self`, each the
// same train as the one after it (SameTrain), at most one pass a site: at
// each site the pass of the closest axle count, then the closest in time;
// of those sites the one passed last. The chain runs one way along the line
// (mileposts rising or falling throughout), and a pass whose train ran the
// other way past the site after it (it passed that site before, as closely
// the same train, and that pass follows no other at its own site) is not
// taken, nor one whose train reached the site after it earlier (a pass
// there in between, more closely the same train: on one track no train
// overtakes another). Indexes into `passes`, oldest first.
std::vector<std::size_t> TrainChain(const std::vector<TrainPass>& passes, std::size_t self, const AlarmRules& rules);

// A trend alarm and the index of the pass whose site raised it.
struct PassAlarm {
    std::size_t pass = 0;
    Alarm alarm;
};
// The trend alarms once pass `self` is known: those of its chain, and of the
// chains of the later passes that now run through it (a site that sent its
// train late); TrainTrends on each. One alarm a pass, axle and side.
std::vector<PassAlarm> NewPassTrends(const std::vector<TrainPass>& passes, std::size_t self, const AlarmRules& rules);

// Short stable names for texts and JSON: "site", "hot-box", "hot-wheel",
// "side-difference", "outlier", "equipment", "trend".
const char* AlarmKindName(AlarmKind kind);
// "left", "right", "none".
const char* AlarmSideName(AlarmSide side);

// A reading as the operator sees it: reading x factor, with the unit after
// it ("57", "5.7 units"); a whole number when the product is one.
std::string DisplayReading(int reading, const AlarmRules& rules);

// What a system message tells: the site is well, a site equipment fault,
// or something about the train's passage.
enum class MessageClass { Normal, EquipmentFault, TrafficWarning };
// The class of each code 1-51 (docs/alarms.md has the table); any other
// code, and 0 (a code that came without a text), is an EquipmentFault.
MessageClass SystemMessageClass(int code);
// "normal", "equipment fault", "traffic warning".
const char* MessageClassName(MessageClass c);
