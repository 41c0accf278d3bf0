#pragma once
// Plausible sites and trains for the simulator: the Powerup description of a
// site, and the train data stream a site sends for one passing train, in the
// current format (7-byte or 5-byte axle records) or the legacy one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "SimRandom.h"
#include "common/TrainRecord.h"

namespace sitesim {

enum class UnitKind { Halvor, Tallquin };
enum class StreamFormat { Current, Legacy };

struct SiteIdentity {
    std::uint8_t radioId = 0;
    std::uint16_t milepost = 0;  // tenths of a mile
    std::uint16_t siteNumber = 0;
    std::uint8_t tracks = 1;
    UnitKind unit = UnitKind::Halvor;
    char segment[2] = {'A', 'A'};
    char unitText[7] = {};
    std::uint8_t byte6 = 0;
    std::uint8_t byte16 = 0;
    // How much warmer (or cooler) this site's scanners read than another
    // site's for the same bearings: a few steps, fixed by the site number.
    int readingBias = 0;
};

// A site with identifier radioId, one or two tracks, of the given unit kind;
// the rest (milepost, site number, segment, unit text) comes from rng.
SiteIdentity MakeSite(std::uint8_t radioId, std::uint8_t tracks, UnitKind unit, SimRandom& rng);

constexpr std::size_t POWERUP_PAYLOAD_SIZE = 17;
// The 17-byte Powerup payload (for track 1; a two-track site announces both
// tracks with a track count of 2).
std::vector<std::uint8_t> PowerupPayload(const SiteIdentity& site);

// A calendar time with the full year.
struct TrainTime {
    int year = 2026, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};
TrainTime AddSeconds(const TrainTime& t, long long seconds);

constexpr std::size_t CURRENT_HEADER_LENGTH = TRAIN_HEADER_SIZE;
constexpr std::size_t LEGACY_HEADER_LENGTH = 60;
constexpr std::size_t STREAM_PREFIX_SIZE = 12;
constexpr int MAX_TRAIN_AXLES = 1200;
constexpr int MAX_LEGACY_ALARMS = 40;
// Bytes in front of the stream in an All-in-One Data Packet's payload.
constexpr std::size_t ALL_IN_ONE_LEAD = 17;
// An All-in-One Data Packet's payload: the lead (zeros; the collector does
// not read it), then the stream.
std::vector<std::uint8_t> AllInOnePayload(const std::vector<std::uint8_t>& stream);

// A defect planted on one axle: the readings change there and nowhere else,
// and nothing else drawn for the train changes. The site announces nothing
// for it (no alarm entry, no alarm code).
enum class DefectKind {
    HotBox,          // one bearing reads `reading` (default 170)
    HotWheel,        // one wheel reads `reading` (default 750); trains with hot-wheel values only
    SideDifference,  // one bearing reads `reading` (default 45) above the other side of the axle,
                     // kept at most 110, below the hot-box alarm
    Trend,           // line mode: one bearing reads rises[k] above what it would read at the
                     // line's site k (the last one for the sites beyond); a bearing heating up
};
constexpr int DEFAULT_HOT_BOX_PLANT = 170;
constexpr int DEFAULT_HOT_WHEEL_PLANT = 750;
constexpr int DEFAULT_SIDE_DIFFERENCE_PLANT = 45;
constexpr int SIDE_DIFFERENCE_PLANT_CEILING = 110;

struct PlantedDefect {
    DefectKind kind = DefectKind::HotBox;
    int axle = 1;     // 1-based; an axle beyond the train's is left alone
    int side = 0;     // 0 left, 1 right
    int reading = 0;  // 0: the kind's default
    int train = 0;    // the run's train number (1-based) it goes on; 0: every train
    std::vector<int> rises;  // Trend: above its own reading, site by site along the line
};

struct TrainDesign {
    StreamFormat format = StreamFormat::Current;
    std::uint8_t kind = 15;      // current format: 15 = 7-byte, 16 = 5-byte axle records
    int axles = 40;              // 1 .. 1200
    bool hwd = false;            // hot wheel values (and HWD records) on
    std::uint16_t trainNumber = 1;
    std::uint8_t track = 1;
    TrainTime time;              // first time stamp
    std::size_t maxStreamBytes = 9216;  // the stream is kept within this size
    // Now and then a hot bearing with its alarm, a hot wheel, and alarm
    // entries on random axles; false: a healthy train (the same readings
    // otherwise, none of those applied).
    bool randomDefects = true;
    std::vector<PlantedDefect> defects;
    // Current format: when not empty, the train's alarm entries are exactly
    // these (axle, alarm bits), those beyond the train's axles left out.
    std::vector<SiteAlarmEntry> siteAlarms;
    // Line mode (GenerateLineTrain): this train's place on the line (0 for
    // the first site), and the seed of the bearings' own noise at this
    // site; 0: not on a line (the noise comes from the train's draws).
    int lineSite = 0;
    std::uint64_t noiseSeed = 0;
};

struct GeneratedTrain {
    TrainDesign design;
    std::vector<std::uint8_t> stream;
    std::vector<int> carSizes;   // current format: axles per car, in order
    int alarmEntries = 0;
    std::uint8_t simCodes[12] = {};  // as the report reads them: group 1 then group 2
    bool legacyFiveByte = false;     // legacy: 5-byte axle records with alarm codes
    long long lineSeconds = 0;       // line mode: seconds after it passed the line's first site

    // The report file the collector writes for this train (inside "Z918E").
    std::string ReportFileName() const;
};

// Size of a stream with these counts.
std::size_t StreamSize(StreamFormat format, std::uint8_t kind, bool legacyFiveByte, int axles,
                       int alarms);
// The most axles a stream of this kind can carry within `bytes` (at most 1200).
int MaxAxlesWithin(StreamFormat format, std::uint8_t kind, std::size_t bytes);

// Draws one train. design.axles is lowered when the stream would not fit
// design.maxStreamBytes.
GeneratedTrain GenerateTrain(const SiteIdentity& site, TrainDesign design, SimRandom& rng);

// One train passing `sites` in their order at `speedMph` (1 or more): the
// same train at each site (cars, ambient, level, sound but warm bearings,
// header), its first time stamp moved on by the running time from the first
// site (milepost distance / speed); at each site the bearings have their own
// noise and the site its own bias, and a Trend defect its rise for that
// site. design.time is the time at the first site.
std::vector<GeneratedTrain> GenerateLineTrain(const std::vector<SiteIdentity>& sites, const TrainDesign& design,
                                              int speedMph, SimRandom& rng);

// Splits into cars of 2 to 6 axles (a 1-axle train is one car of 1).
std::vector<int> DrawCars(int axles, SimRandom& rng);

}  // namespace sitesim
