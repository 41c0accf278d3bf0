#pragma once
// The simulator's command line and the plan of each train: which site sends
// it, how (one All-in-One packet or blocks), in which format, with which
// faults. Everything is drawn from the seed, so a run can be repeated.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "SiteSession.h"
#include "TrainGenerator.h"

namespace sitesim {

enum class Choice { First, Second, Mixed };  // e.g. aio | blocks | mixed

struct SimConfig {
    // Line.
    std::string device;        // empty: a pseudo-terminal
    std::string dataFolder;
    int com = 0;               // with dataFolder: link "Ports/COM<com>" there
    bool setPort = false;      // write Radio_Port even when another port is configured
    unsigned baud = 19200;
    bool pacing = true;
    // Sites.
    std::vector<std::uint8_t> sites{12};
    Choice tracks = Choice::First;      // 1 | 2 | mixed
    Choice unit = Choice::Mixed;        // halvor | tallquin | mixed
    bool powerup = true;
    int powerupEvery = 0;               // Powerups again every N trains
    // Trains.
    int trains = 10;
    bool forever = false;
    double intervalSeconds = 0;
    Choice mode = Choice::Mixed;        // aio | blocks | mixed
    Choice format = Choice::Mixed;      // current | legacy | mixed
    Choice kind = Choice::Mixed;        // 15 | 16 | mixed
    Choice hwd = Choice::Mixed;         // on | off | mixed
    int axles = 0;                      // 0: drawn
    int blocks = 0;                     // 0: from the block size
    int blockSize = 1000;
    bool blockSizeGiven = false;
    std::uint64_t seed = 1;
    bool realTimes = false;             // time stamps from the clock
    // Readings.
    bool healthy = false;               // no random hot bearings, hot wheels or alarm entries
    std::vector<PlantedDefect> plants;  // --plant
    std::vector<SiteAlarmEntry> siteAlarms;  // --site-alarm
    std::optional<int> siteBias;        // --site-bias: every site's reading bias
    int plantEvery = 0;                 // --plant-every: plants without @N go on every N-th train only
    // Line mode (--line): one train after another past every site of one
    // line, in line order, in real time; this process plays some of them.
    int lineSites = 0;                  // sites on the line; 0: not line mode
    std::vector<int> lineMileposts;     // tenths, in line order (--line MP,MP,... or drawn)
    int lineSpacing = 15;               // --line-spacing: tenths between sites of --line N
    int lineSpeedMin = 40, lineSpeedMax = 60;  // --line-speed A[-B]: mph, drawn per train
    std::vector<int> linePlay;          // --line-sites: 1-based places played; empty: all
    long long lineStart = 0;            // --line-start: seconds since 1970 the first train passes
                                        // the first site; 0: when the process starts
    // Faults.
    std::set<std::string> faults;
    int faultRate = 100;
    int dropBlock = 0;
    std::uint32_t pauseMs = 4000;
    // Protocol.
    std::uint32_t replyTimeoutMs = 3000;
    int retries = 3;
    std::uint32_t busyWaitMs = 2000;
    std::uint32_t peerTimeoutSeconds = 60;
    std::uint32_t lingerMs = 1000;
    // Output.
    std::string expectFolder;
    bool quiet = false;
    bool verbose = false;
    bool help = false;
    bool version = false;
};

extern const char* const FAULT_NAMES[];  // null-terminated list
// Parses the arguments (without the program name). Returns "" or the error.
std::string ParseArguments(const std::vector<std::string>& args, SimConfig& config);
std::string UsageText();
// One --plant value: "hotbox:AXLE:left|right[:READING]",
// "hotwheel:AXLE:left|right[:READING]" or "lrdiff:AXLE[:left|right[:DIFFERENCE]]",
// each with an optional "@N" for the run's train N only. "" or the error.
std::string ParsePlant(const std::string& text, PlantedDefect* out);

// Largest stream in one All-in-One Data Packet: the receiver holds frames of
// 2046 bytes, and 17 payload bytes come before the stream.
constexpr std::size_t ALL_IN_ONE_MAX_STREAM = 2046 - 11 - ALL_IN_ONE_LEAD;
// Largest stream in blocks: the collector's block buffer.
constexpr std::size_t BLOCKS_MAX_STREAM = 9216;
// Largest block payload the collector's receiver can hold in one frame.
constexpr std::size_t MAX_BLOCK_PAYLOAD = 2046 - 11;

struct TrainPlan {
    std::size_t siteIndex = 0;
    bool allInOne = true;
    GeneratedTrain train;
    std::size_t blockSize = 0;
    std::size_t blockCount = 0;
    Faults faults;
    Interference interference;
    std::string note;  // what was changed from the request, if anything
    std::string Describe() const;
};

// The plan of train number `index` (from 0). `sites` are the identities
// made from config.sites.
class Planner {
public:
    Planner(const SimConfig& config, const std::vector<SiteIdentity>& sites);
    TrainPlan Next();

private:
    TrainTime NextTime();

    const SimConfig& config_;
    const std::vector<SiteIdentity>& sites_;
    SimRandom rng_;
    int index_ = 0;
    std::uint16_t trainNumber_;
    TrainTime clock_;
};

// The sites of the run, drawn from the seed.
std::vector<SiteIdentity> MakeSites(const SimConfig& config);

// Line mode: the line's sites in line order, the same for every process of
// one seed and line: radio identifiers from --sites when it names one a
// site (else 21, 22, ...), the mileposts of the line, site numbers drawn
// from the seed (one apart from the next), one track; the second site reads
// 6 steps high (unless --site-bias).
std::vector<SiteIdentity> MakeLineSites(const SimConfig& config);

// One train at one played site of the line.
struct LinePass {
    long long dueMs = 0;      // after the line's start: the train passes the site then
    int train = 0;            // the run's train, from 0
    std::size_t place = 0;    // index in the line's sites
    TrainPlan plan;
};

// The trains of a line: each drawn from the seed and its number alone, so
// every process of the line draws the same train; a train every --interval
// seconds (default 60), half to one and a half of it apart.
class LinePlanner {
public:
    LinePlanner(const SimConfig& config, const std::vector<SiteIdentity>& lineSites);
    // The next train's passes at the played sites, earliest first.
    std::vector<LinePass> Next();
    // When the next train passes the line's first site, after the start.
    long long NextDepartureMs() const { return departureMs_; }

private:
    const SimConfig& config_;
    const std::vector<SiteIdentity>& sites_;
    int index_ = 0;
    long long departureMs_ = 0;
    std::uint16_t trainNumber_;
};

}  // namespace sitesim
