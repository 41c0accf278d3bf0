#include "SimPlan.h"

#include "common/CommandLine.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <sstream>

namespace sitesim {

const char* const FAULT_NAMES[] = {"loss",  "reorder",   "dup",   "checksum", "noise",
                                   "interfere", "pause", "oversize", nullptr};

namespace {

bool ParseChoice(const std::string& text, const char* first, const char* second, Choice* out) {
    if (text == first) *out = Choice::First;
    else if (text == second) *out = Choice::Second;
    else if (text == "mixed") *out = Choice::Mixed;
    else return false;
    return true;
}

// "120.5" miles as tenths; -1 when it is not 0.0 to 6553.5 with at most one decimal.
int ParseMiles(const std::string& text) {
    const std::size_t dot = text.find('.');
    long long whole = 0, tenth = 0;
    if (!ParseIntInRange(text.substr(0, dot), 0, 6553, &whole)) return -1;
    if (dot != std::string::npos && (text.size() != dot + 2 || !ParseIntInRange(text.substr(dot + 1), 0, 9, &tenth)))
        return -1;
    const long long tenths = whole * 10 + tenth;
    return tenths <= 65535 ? static_cast<int>(tenths) : -1;
}

bool Pick(Choice c, SimRandom& rng, int percentFirst = 50) {
    if (c == Choice::First) return true;
    if (c == Choice::Second) return false;
    return rng.Chance(percentFirst);
}

}  // namespace

std::string UsageText() {
    return R"(Usage: kestova-site-sim [options]

Plays one or more remote sites towards a collector: Powerups, then trains in
one All-in-One Data Packet or in numbered blocks, with faults on request.

Line:
  --device PATH          use this serial device (raw, 8N1, no flow control)
                         instead of a new pseudo-terminal
  --data-folder DIR      with --com N: link the pseudo-terminal as DIR/Ports/COM<N>
  --com N                and set Radio_Port=N in DIR/K7_Dialups.ini (unless
                         another port is configured there; --set-port overrides)
  --set-port             write Radio_Port=N even when another port is configured
  --baud N               line speed for pacing and for --device (default 19200)
  --no-pacing            write as fast as the collector takes the bytes
Sites:
  --sites LIST           radio identifiers, e.g. 12,17 (default 12)
  --tracks 1|2|mixed     tracks per site (default 1)
  --unit halvor|tallquin|mixed   unit kind of each site (default mixed)
  --no-powerup           send no Powerups at the start
  --powerup-every N      send the Powerups again every N trains
Trains:
  --trains N             number of trains (default 10)
  --forever              keep sending until stopped
  --interval SECONDS     pause between trains (default 0)
  --mode aio|blocks|mixed        delivery (default mixed)
  --format current|legacy|mixed  stream format (default mixed; legacy trains
                         go in All-in-One packets unless --mode blocks)
  --kind 15|16|mixed     current-format axle records: 7 or 5 bytes (default mixed)
  --hwd on|off|mixed     hot wheel values and records (default mixed)
  --axles N              axles per train (default: drawn)
  --blocks N             send in N blocks
  --block-size N         bytes per block (default 1000, fewer than 21 blocks)
  --seed N               seed of everything drawn (default 1)
  --real-times           time stamps from the clock (default with --forever)
Readings (healthy trains spread around a level set by the ambient):
  --healthy              no random hot bearings, hot wheels, alarm entries
                         or system messages but "System Normal"
  --plant DEFECT         plant a defect (repeatable), on every train or with
                         @N on the run's train N only:
                           hotbox:AXLE:left|right[:READING]     (default 170)
                           hotwheel:AXLE:left|right[:READING]   (default 750)
                           lrdiff:AXLE[:left|right[:DIFFERENCE]] (default left, 45;
                             the hot side stays at most 110)
                           trend:RISES[:AXLE[:left|right]]  (line mode: one bearing
                             reads RISES[k] above its own reading at the line's
                             site k, e.g. trend:38,103,253; default axle 5 left)
  --plant-every N        plants without @N go on every N-th train only
  --site-alarm AXLE[:BITS]  current-format trains carry exactly these alarm
                         entries (repeatable; BITS default 1, 0x.. for hex)
  --site-bias N          every site's scanners read N higher (-20 to 20;
                         default: a few steps up or down per site)
Line mode (docs/simulator.md): each train passes every site of one line in
line order, in real time; several simulators (one per collector) play the
same line with the same --seed and line options, each its own sites:
  --line N | MP,MP,...   N sites --line-spacing apart, or the sites at these
                         mileposts (miles, e.g. 120.0,121.5,123.0)
  --line-spacing MILES   between the sites of --line N (default 1.5)
  --line-speed A[-B]     running speed, mph, drawn per train (default 40-60)
  --line-sites LIST      the places on the line this process plays, e.g. 1,2
                         (default every site)
  --line-start SECONDS   when the first train passes the first site, seconds
                         since 1970 (default: when the process starts)
  --interval SECONDS     between trains at the first site (default 60 here)
Faults (--faults LIST, each applied to a train with --fault-rate percent):
  loss       a block (or the All-in-One packet) is not sent the first time
  reorder    the data blocks go in a shuffled order (the last stays last)
  dup        a block is sent twice
  checksum   a block (or the All-in-One packet) goes with a wrong checksum
  noise      bytes of noise before every frame
  interfere  a second site sends a request, a status, a block, a Powerup and
             a train of its own during the transfer
  pause      a pause of --pause-ms (default 4000) before a frame's end byte
  oversize   the first request asks for 21 blocks (CANCEL expected)
  all        every fault above
  --fault-rate P         percent of trains that get each listed fault (default 100)
  --drop-block N         leave out block N of every transfer the first time
Protocol:
  --reply-timeout MS     wait for a reply (default 3000)
  --retries N            resends of one frame before the train fails (default 3)
  --busy-wait MS         back-off after a busy answer (default 2000)
  --peer-timeout S       wait for the collector to open the pseudo-terminal
                         (default 60, 0 = for ever)
  --linger MS            listen for stray replies at the end (default 1000)
Output:
  --expect DIR           write there the report file the collector should
                         write for every train it acknowledged
  --quiet                summary only
  --verbose              every exchange
  --help                 show this text
  --version              show the version

Exit status: 0 when every train was acknowledged and every reply was right,
1 when a train failed or a reply broke the protocol, 2 on a usage or set-up error.
)";
}

std::string ParseArguments(const std::vector<std::string>& args, SimConfig& c) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        const std::size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        auto take = [&]() -> bool {
            if (hasValue) return true;
            if (i + 1 >= args.size()) return false;
            value = args[++i];
            return true;
        };
        auto number = [&](long long lo, long long hi, long long* out) {
            return take() && ParseIntInRange(value, lo, hi, out);
        };
        const std::string bad = "bad or missing value for " + name;
        long long v = 0;
        if (name == "--help" || name == "-h") c.help = true;
        else if (name == "--version") c.version = true;
        else if (name == "--device") { if (!take()) return bad; c.device = value; }
        else if (name == "--data-folder") { if (!take()) return bad; c.dataFolder = value; }
        else if (name == "--com") { if (!number(1, 256, &v)) return bad; c.com = static_cast<int>(v); }
        else if (name == "--set-port") c.setPort = true;
        else if (name == "--baud") { if (!number(300, 115200, &v)) return bad; c.baud = static_cast<unsigned>(v); }
        else if (name == "--no-pacing") c.pacing = false;
        else if (name == "--sites") {
            if (!take()) return bad;
            c.sites.clear();
            std::stringstream ss(value);
            std::string item;
            while (std::getline(ss, item, ',')) {
                if (!ParseIntInRange(item, 1, 255, &v) || v == 250)
                    return "bad site identifier \"" + item + "\" (1 to 255, not 250)";
                if (std::find(c.sites.begin(), c.sites.end(), v) != c.sites.end())
                    return "site " + item + " given twice";
                c.sites.push_back(static_cast<std::uint8_t>(v));
            }
            if (c.sites.empty()) return bad;
        }
        else if (name == "--tracks") { if (!take() || !ParseChoice(value, "1", "2", &c.tracks)) return bad; }
        else if (name == "--unit") { if (!take() || !ParseChoice(value, "halvor", "tallquin", &c.unit)) return bad; }
        else if (name == "--no-powerup") c.powerup = false;
        else if (name == "--powerup-every") { if (!number(0, 1000000, &v)) return bad; c.powerupEvery = static_cast<int>(v); }
        else if (name == "--trains") { if (!number(0, 100000000, &v)) return bad; c.trains = static_cast<int>(v); }
        else if (name == "--forever") c.forever = true;
        else if (name == "--interval") {
            if (!take()) return bad;
            char* end = nullptr;
            c.intervalSeconds = std::strtod(value.c_str(), &end);
            if (*end != '\0' || c.intervalSeconds < 0 || c.intervalSeconds > 86400) return bad;
        }
        else if (name == "--mode") { if (!take() || !ParseChoice(value, "aio", "blocks", &c.mode)) return bad; }
        else if (name == "--format") { if (!take() || !ParseChoice(value, "current", "legacy", &c.format)) return bad; }
        else if (name == "--kind") { if (!take() || !ParseChoice(value, "15", "16", &c.kind)) return bad; }
        else if (name == "--hwd") { if (!take() || !ParseChoice(value, "on", "off", &c.hwd)) return bad; }
        else if (name == "--axles") { if (!number(1, MAX_TRAIN_AXLES, &v)) return bad; c.axles = static_cast<int>(v); }
        else if (name == "--blocks") { if (!number(1, 255, &v)) return bad; c.blocks = static_cast<int>(v); }
        else if (name == "--block-size") { if (!number(1, 65535, &v)) return bad; c.blockSize = static_cast<int>(v); c.blockSizeGiven = true; }
        else if (name == "--seed") { if (!number(0, INT64_MAX, &v)) return bad; c.seed = static_cast<std::uint64_t>(v); }
        else if (name == "--real-times") c.realTimes = true;
        else if (name == "--healthy") c.healthy = true;
        else if (name == "--plant") {
            if (!take()) return bad;
            PlantedDefect d;
            const std::string error = ParsePlant(value, &d);
            if (!error.empty()) return "bad --plant \"" + value + "\": " + error;
            c.plants.push_back(d);
        }
        else if (name == "--site-alarm") {
            if (!take()) return bad;
            const std::size_t colon = value.find(':');
            const std::string axle = value.substr(0, colon);
            std::string bits = colon == std::string::npos ? "1" : value.substr(colon + 1);
            int base = 10;
            if (bits.rfind("0x", 0) == 0 || bits.rfind("0X", 0) == 0) {
                bits = bits.substr(2);
                base = 16;
            }
            long long b = -1;
            if (base == 16) {
                char* end = nullptr;
                b = bits.empty() ? -1 : std::strtoll(bits.c_str(), &end, 16);
                if (end == nullptr || *end != '\0' || bits.find_first_of("+- ") != std::string::npos) b = -1;
            } else if (!ParseIntInRange(bits, 0, 65535, &b)) {
                b = -1;
            }
            if (!ParseIntInRange(axle, 1, MAX_TRAIN_AXLES, &v) || b < 0 || b > 65535)
                return "bad --site-alarm \"" + value + "\" (AXLE 1 to 1200, BITS 0 to 65535)";
            c.siteAlarms.push_back(SiteAlarmEntry{static_cast<std::uint16_t>(v), static_cast<std::uint16_t>(b), false});
        }
        else if (name == "--plant-every") { if (!number(1, 1000000, &v)) return bad; c.plantEvery = static_cast<int>(v); }
        else if (name == "--line") {
            if (!take()) return bad;
            c.lineMileposts.clear();
            if (value.find_first_of(",.") == std::string::npos) {
                if (!ParseIntInRange(value, 2, 20, &v)) return "bad --line \"" + value + "\" (2 to 20 sites, or mileposts)";
                c.lineSites = static_cast<int>(v);
                continue;
            }
            std::stringstream ss(value);
            std::string item;
            while (std::getline(ss, item, ',')) {
                const int tenths = ParseMiles(item);
                if (tenths < 0) return "bad milepost \"" + item + "\" in --line (0.0 to 6553.5 miles)";
                for (int m : c.lineMileposts)
                    if (m == tenths) return "milepost " + item + " given twice in --line";
                c.lineMileposts.push_back(tenths);
            }
            if (c.lineMileposts.size() < 2 || c.lineMileposts.size() > 20) return "--line takes 2 to 20 mileposts";
            c.lineSites = static_cast<int>(c.lineMileposts.size());
        }
        else if (name == "--line-spacing") {
            if (!take()) return bad;
            const int tenths = ParseMiles(value);
            if (tenths < 1 || tenths > 1000) return bad + " (0.1 to 100 miles)";
            c.lineSpacing = tenths;
        }
        else if (name == "--line-speed") {
            if (!take()) return bad;
            const std::size_t dash = value.find('-');
            long long lo = 0, hi = 0;
            if (!ParseIntInRange(value.substr(0, dash), 5, 150, &lo) ||
                !ParseIntInRange(dash == std::string::npos ? value : value.substr(dash + 1), lo, 150, &hi))
                return bad + " (mph, 5 to 150, A or A-B)";
            c.lineSpeedMin = static_cast<int>(lo);
            c.lineSpeedMax = static_cast<int>(hi);
        }
        else if (name == "--line-sites") {
            if (!take()) return bad;
            c.linePlay.clear();
            std::stringstream ss(value);
            std::string item;
            while (std::getline(ss, item, ',')) {
                if (!ParseIntInRange(item, 1, 20, &v)) return "bad place \"" + item + "\" in --line-sites (1 to 20)";
                if (std::find(c.linePlay.begin(), c.linePlay.end(), v) != c.linePlay.end())
                    return "place " + item + " given twice in --line-sites";
                c.linePlay.push_back(static_cast<int>(v));
            }
            if (c.linePlay.empty()) return bad;
        }
        else if (name == "--line-start") { if (!number(1, 4102444800LL, &v)) return bad; c.lineStart = v; }
        else if (name == "--site-bias") { if (!number(-20, 20, &v)) return bad; c.siteBias = static_cast<int>(v); }
        else if (name == "--faults") {
            if (!take()) return bad;
            std::stringstream ss(value);
            std::string item;
            while (std::getline(ss, item, ',')) {
                if (item == "all") {
                    for (int k = 0; FAULT_NAMES[k] != nullptr; ++k) c.faults.insert(FAULT_NAMES[k]);
                    continue;
                }
                bool known = false;
                for (int k = 0; FAULT_NAMES[k] != nullptr; ++k) known = known || item == FAULT_NAMES[k];
                if (!known) return "unknown fault \"" + item + "\"";
                c.faults.insert(item);
            }
        }
        else if (name == "--fault-rate") { if (!number(0, 100, &v)) return bad; c.faultRate = static_cast<int>(v); }
        else if (name == "--drop-block") { if (!number(1, 255, &v)) return bad; c.dropBlock = static_cast<int>(v); }
        else if (name == "--pause-ms") { if (!number(1, 600000, &v)) return bad; c.pauseMs = static_cast<std::uint32_t>(v); }
        else if (name == "--reply-timeout") { if (!number(50, 600000, &v)) return bad; c.replyTimeoutMs = static_cast<std::uint32_t>(v); }
        else if (name == "--retries") { if (!number(0, 100, &v)) return bad; c.retries = static_cast<int>(v); }
        else if (name == "--busy-wait") { if (!number(0, 600000, &v)) return bad; c.busyWaitMs = static_cast<std::uint32_t>(v); }
        else if (name == "--peer-timeout") { if (!number(0, 86400, &v)) return bad; c.peerTimeoutSeconds = static_cast<std::uint32_t>(v); }
        else if (name == "--linger") { if (!number(0, 600000, &v)) return bad; c.lingerMs = static_cast<std::uint32_t>(v); }
        else if (name == "--expect") { if (!take()) return bad; c.expectFolder = value; }
        else if (name == "--quiet") c.quiet = true;
        else if (name == "--verbose") c.verbose = true;
        else return "unknown option " + name;
    }
    if (!c.dataFolder.empty() && c.com == 0) return "--data-folder needs --com N";
    if (c.com != 0 && c.dataFolder.empty()) return "--com needs --data-folder DIR";
    if (!c.device.empty() && !c.dataFolder.empty())
        return "--data-folder links a pseudo-terminal; it does not go with --device";
    if (c.forever) c.realTimes = true;
    if (c.lineSites > 0) {
        for (int place : c.linePlay)
            if (place > c.lineSites) return "--line-sites names place " + std::to_string(place) + " of a line of " +
                                            std::to_string(c.lineSites) + " sites";
        if (c.linePlay.empty())
            for (int k = 1; k <= c.lineSites; ++k) c.linePlay.push_back(k);
        c.realTimes = true;  // the collector stamps its own receive times
    } else if (!c.linePlay.empty() || c.lineStart != 0) {
        return "--line-sites and --line-start go with --line";
    }
    return "";
}

std::string ParsePlant(const std::string& text, PlantedDefect* out) {
    PlantedDefect d;
    std::string defect = text;
    long long v = 0;
    const std::size_t at = defect.find('@');
    if (at != std::string::npos) {
        if (!ParseIntInRange(defect.substr(at + 1), 1, 100000000, &v)) return "the train after @ is not a number from 1";
        d.train = static_cast<int>(v);
        defect = defect.substr(0, at);
    }
    std::vector<std::string> parts;
    std::stringstream ss(defect);
    std::string part;
    while (std::getline(ss, part, ':')) parts.push_back(part);
    if (parts.size() < 2) return "it needs a kind and an axle";
    const std::string& kind = parts[0];
    std::size_t maxParts = 4;
    int readingMax = 255;
    if (kind == "hotbox") d.kind = DefectKind::HotBox;
    else if (kind == "hotwheel") { d.kind = DefectKind::HotWheel; readingMax = 1023; }
    else if (kind == "lrdiff") d.kind = DefectKind::SideDifference;
    else if (kind == "trend") {
        d.kind = DefectKind::Trend;
        std::stringstream rs(parts[1]);
        std::string rise;
        while (std::getline(rs, rise, ',')) {
            if (!ParseIntInRange(rise, 0, 255, &v)) return "each rise is a number from 0 to 255";
            d.rises.push_back(static_cast<int>(v));
        }
        if (d.rises.empty() || d.rises.size() > 20) return "it needs 1 to 20 rises, site by site";
        if (parts.size() > 4) return "too many fields";
        d.axle = 5;
        if (parts.size() >= 3 && !ParseIntInRange(parts[2], 1, MAX_TRAIN_AXLES, &v)) return "the axle is a number from 1 to 1200";
        if (parts.size() >= 3) d.axle = static_cast<int>(v);
        if (parts.size() == 4) {
            if (parts[3] == "left") d.side = 0;
            else if (parts[3] == "right") d.side = 1;
            else return "the side is left or right";
        }
        *out = d;
        return "";
    }
    else return "the kind is hotbox, hotwheel, lrdiff or trend";
    if (parts.size() > maxParts) return "too many fields";
    if (!ParseIntInRange(parts[1], 1, MAX_TRAIN_AXLES, &v)) return "the axle is a number from 1 to 1200";
    d.axle = static_cast<int>(v);
    if (parts.size() >= 3) {
        if (parts[2] == "left") d.side = 0;
        else if (parts[2] == "right") d.side = 1;
        else return "the side is left or right";
    } else if (d.kind != DefectKind::SideDifference) {
        return "it needs a side, left or right";
    }
    if (parts.size() == 4) {
        if (!ParseIntInRange(parts[3], 1, readingMax, &v))
            return "the reading is a number from 1 to " + std::to_string(readingMax);
        d.reading = static_cast<int>(v);
    }
    *out = d;
    return "";
}

std::vector<SiteIdentity> MakeSites(const SimConfig& config) {
    SimRandom rng(config.seed * 7919 + 17);
    std::vector<SiteIdentity> out;
    for (std::uint8_t id : config.sites) {
        const std::uint8_t tracks = Pick(config.tracks, rng) ? 1 : 2;
        const UnitKind unit = Pick(config.unit, rng) ? UnitKind::Halvor : UnitKind::Tallquin;
        out.push_back(MakeSite(id, tracks, unit, rng));
        if (config.siteBias) out.back().readingBias = *config.siteBias;
    }
    return out;
}

std::vector<SiteIdentity> MakeLineSites(const SimConfig& config) {
    SimRandom rng(config.seed * 7919 + 29);
    std::vector<int> mileposts = config.lineMileposts;
    if (mileposts.empty()) {
        const int first = rng.Range(100, 2000) * 10;
        for (int k = 0; k < config.lineSites; ++k) mileposts.push_back(first + k * config.lineSpacing);
    }
    const int firstNumber = rng.Range(100, 8000) & ~1;
    std::vector<SiteIdentity> out;
    for (std::size_t k = 0; k < mileposts.size(); ++k) {
        const std::uint8_t id = k < config.sites.size() && config.sites.size() == mileposts.size()
                                    ? config.sites[k]
                                    : static_cast<std::uint8_t>(21 + k);
        const UnitKind unit = Pick(config.unit, rng) ? UnitKind::Halvor : UnitKind::Tallquin;
        SiteIdentity site = MakeSite(id, 1, unit, rng);
        site.milepost = static_cast<std::uint16_t>(mileposts[k]);
        site.siteNumber = static_cast<std::uint16_t>(firstNumber + 2 * static_cast<int>(k));
        site.readingBias = config.siteBias ? *config.siteBias : k == 1 ? 6 : 0;
        out.push_back(site);
    }
    return out;
}

LinePlanner::LinePlanner(const SimConfig& config, const std::vector<SiteIdentity>& lineSites)
    : config_(config), sites_(lineSites) {
    SimRandom rng(config.seed);
    trainNumber_ = static_cast<std::uint16_t>(1 + rng.Range(0, 899) * 10);
}

std::vector<LinePass> LinePlanner::Next() {
    const int i = index_++;
    // Everything of this train from the seed and its number alone.
    SimRandom rng(config_.seed * 1000003ull + 7 + static_cast<std::uint64_t>(i));
    const long long departure = departureMs_;
    const double interval = config_.intervalSeconds > 0 ? config_.intervalSeconds : 60;
    departureMs_ += static_cast<long long>(interval * 1000 * rng.Range(50, 150) / 100);

    TrainDesign design;
    design.format = StreamFormat::Current;
    design.kind = Pick(config_.kind, rng, 70) ? 15 : 16;
    design.hwd = Pick(config_.hwd, rng);
    design.trainNumber = static_cast<std::uint16_t>(trainNumber_ + i);
    if (design.trainNumber == 0) design.trainNumber = 1;
    const std::time_t at = static_cast<std::time_t>((config_.lineStart > 0 ? config_.lineStart : 0) + departure / 1000);
    std::tm local{};
    localtime_r(&at, &local);
    design.time = TrainTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
    design.randomDefects = !config_.healthy;
    const bool everyTrain = config_.plantEvery <= 0 || (i + 1) % config_.plantEvery == 0;
    for (const PlantedDefect& d : config_.plants)
        if ((d.train == 0 && everyTrain) || d.train == i + 1) design.defects.push_back(d);
    design.siteAlarms = config_.siteAlarms;
    const bool allInOne = config_.mode == Choice::Mixed ? rng.Chance(50) : config_.mode == Choice::First;
    design.maxStreamBytes = allInOne ? ALL_IN_ONE_MAX_STREAM : BLOCKS_MAX_STREAM;
    const int max = MaxAxlesWithin(design.format, design.kind, design.maxStreamBytes);
    if (config_.axles > 0) {
        design.axles = std::min(config_.axles, max);
    } else {
        // Freight trains of a few dozen cars, some short, a few long (at
        // least 12 axles: a shorter train has no side medians to trend).
        const int r = rng.Range(0, 99);
        design.axles = r < 20 ? rng.Range(12, 40) : r < 90 ? rng.Range(40, std::min(260, max)) : rng.Range(std::min(260, max), max);
    }
    const int speed = rng.Range(config_.lineSpeedMin, config_.lineSpeedMax);
    const std::vector<GeneratedTrain> trains = GenerateLineTrain(sites_, design, speed, rng);

    std::vector<LinePass> out;
    for (int place : config_.linePlay) {
        const std::size_t k = static_cast<std::size_t>(place - 1);
        if (k >= trains.size()) continue;
        LinePass p;
        p.dueMs = departure + trains[k].lineSeconds * 1000;
        p.train = i;
        p.place = k;
        p.plan.siteIndex = k;
        p.plan.allInOne = allInOne;
        p.plan.train = trains[k];
        if (!allInOne) {
            const std::size_t size = p.plan.train.stream.size();
            std::size_t blockSize = static_cast<std::size_t>(config_.blockSize);
            if (SiteSession::BlockCount(size, blockSize) > 19) blockSize = (size + 18) / 19;
            p.plan.blockSize = std::max<std::size_t>(blockSize, 1);
            p.plan.blockCount = SiteSession::BlockCount(size, p.plan.blockSize);
        }
        out.push_back(std::move(p));
    }
    std::sort(out.begin(), out.end(), [](const LinePass& a, const LinePass& b) { return a.dueMs < b.dueMs; });
    return out;
}

Planner::Planner(const SimConfig& config, const std::vector<SiteIdentity>& sites)
    : config_(config), sites_(sites), rng_(config.seed) {
    trainNumber_ = static_cast<std::uint16_t>(1 + rng_.Range(0, 899) * 10);
    // A quiet morning somewhere in 2026, different for every seed.
    clock_ = AddSeconds(TrainTime{2026, 1, 5, 5, 0, 0}, rng_.Range(0, 300) * 86400LL);
}

TrainTime Planner::NextTime() {
    if (config_.realTimes) {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        return TrainTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                         local.tm_hour,        local.tm_min,     local.tm_sec};
    }
    clock_ = AddSeconds(clock_, rng_.Range(2, 9) * 60 + rng_.Range(0, 59));
    return clock_;
}

TrainPlan Planner::Next() {
    TrainPlan plan;
    const int i = index_++;
    plan.siteIndex = static_cast<std::size_t>(i) % sites_.size();
    const SiteIdentity& site = sites_[plan.siteIndex];

    TrainDesign design;
    const bool blocksMode = config_.mode == Choice::Second;
    bool legacy = !Pick(config_.format, rng_, 70);
    // Legacy streams are understood in All-in-One packets only; a mixed run
    // sends them that way.
    if (legacy && config_.format == Choice::Mixed && blocksMode) legacy = false;
    design.format = legacy ? StreamFormat::Legacy : StreamFormat::Current;
    design.kind = Pick(config_.kind, rng_) ? 15 : 16;
    design.hwd = Pick(config_.hwd, rng_);
    design.track = site.tracks > 1 ? static_cast<std::uint8_t>(rng_.Range(1, 2)) : 1;
    design.trainNumber = trainNumber_++;
    if (trainNumber_ == 0) trainNumber_ = 1;
    design.time = NextTime();
    design.randomDefects = !config_.healthy;
    for (const PlantedDefect& d : config_.plants)
        if (d.train == 0 || d.train == i + 1) design.defects.push_back(d);
    design.siteAlarms = config_.siteAlarms;

    bool allInOne = Pick(config_.mode, rng_);
    if (legacy && config_.mode == Choice::Mixed) allInOne = true;
    const std::size_t aioLimit = ALL_IN_ONE_MAX_STREAM;
    const int aioMax = MaxAxlesWithin(design.format, design.kind, aioLimit);
    if (config_.axles > 0) {
        design.axles = config_.axles;
        if (allInOne && design.axles > aioMax) {
            if (config_.mode == Choice::Mixed && !legacy) {
                allInOne = false;
            } else {
                plan.note = std::to_string(design.axles) + " axles do not fit one packet; " +
                            std::to_string(aioMax) + " sent";
            }
        }
    } else {
        // Mostly freight trains of a few dozen cars, some short, a few long.
        const int max = allInOne ? aioMax : MaxAxlesWithin(design.format, design.kind, BLOCKS_MAX_STREAM);
        const int r = rng_.Range(0, 99);
        if (r < 20) design.axles = rng_.Range(4, std::min(40, max));
        else if (r < 85) design.axles = rng_.Range(std::min(40, max), std::min(260, max));
        else design.axles = rng_.Range(std::min(260, max), max);
    }
    design.maxStreamBytes = allInOne ? aioLimit : BLOCKS_MAX_STREAM;
    SimRandom trainRng(config_.seed * 1000003ull + static_cast<std::uint64_t>(i));
    plan.train = GenerateTrain(site, design, trainRng);
    if (plan.note.empty() && plan.train.design.axles != design.axles)
        plan.note = std::to_string(design.axles) + " axles do not fit; " +
                    std::to_string(plan.train.design.axles) + " sent";
    plan.allInOne = allInOne;

    const std::size_t size = plan.train.stream.size();
    if (!allInOne) {
        std::size_t blockSize = static_cast<std::size_t>(config_.blockSize);
        if (config_.blocks > 0) {
            blockSize = (size + static_cast<std::size_t>(config_.blocks) - 1) /
                        static_cast<std::size_t>(config_.blocks);
        } else if (!config_.blockSizeGiven) {
            if (SiteSession::BlockCount(size, blockSize) > 19) blockSize = (size + 18) / 19;
        }
        plan.blockSize = std::max<std::size_t>(blockSize, 1);
        plan.blockCount = SiteSession::BlockCount(size, plan.blockSize);
    }

    // Faults.
    Faults& f = plan.faults;
    f.seed = config_.seed * 31 + static_cast<std::uint64_t>(i);
    f.pauseMs = config_.pauseMs;
    auto want = [&](const char* name) {
        return config_.faults.count(name) != 0 && rng_.Chance(config_.faultRate);
    };
    const int count = static_cast<int>(plan.blockCount);
    // Data blocks a fault may hit: all but the last, unless there is only one.
    auto anyDataBlock = [&]() { return count > 1 ? rng_.Range(1, count - 1) : 1; };
    if (allInOne) {
        if (want("loss") || config_.dropBlock == 1) f.drop.insert(1);
        if (want("checksum")) f.badChecksum = 1;
        if (want("pause")) f.pauseBlock = 1;
        if (want("noise")) f.noise = true;
    } else {
        if (config_.dropBlock > 0 && config_.dropBlock <= count) f.drop.insert(config_.dropBlock);
        if (want("loss")) f.drop.insert(anyDataBlock());
        if (want("reorder") && count > 2) f.reorder = true;
        if (want("dup") && count > 1) f.duplicate = anyDataBlock();
        if (want("checksum")) f.badChecksum = anyDataBlock();
        if (want("pause")) f.pauseBlock = anyDataBlock();
        if (want("noise")) f.noise = true;
        if (want("oversize")) f.oversize = true;
        if (want("interfere")) {
            Interference& in = plan.interference;
            in.enabled = true;
            if (sites_.size() > 1) {
                in.site = sites_[(plan.siteIndex + 1) % sites_.size()];
            } else {
                // A site of its own that takes part only here.
                SimRandom other(config_.seed + 99);
                std::uint8_t id = static_cast<std::uint8_t>(site.radioId + 100);
                if (id == 250 || id == 0) id = static_cast<std::uint8_t>(id + 7);
                in.site = MakeSite(id, 1, UnitKind::Tallquin, other);
            }
            TrainDesign small;
            small.format = StreamFormat::Current;
            small.kind = 15;
            small.axles = rng_.Range(4, 24);
            small.hwd = rng_.Chance(50);
            small.trainNumber = trainNumber_++;
            small.time = NextTime();
            small.maxStreamBytes = ALL_IN_ONE_MAX_STREAM;
            small.randomDefects = !config_.healthy;
            in.withTrain = true;
            in.train = GenerateTrain(in.site, small, trainRng);
        }
    }
    return plan;
}

std::string TrainPlan::Describe() const {
    std::ostringstream s;
    const TrainDesign& design = train.design;
    s << design.axles << " axles, ";
    if (design.format == StreamFormat::Legacy)
        s << (train.legacyFiveByte ? "legacy 5-byte" : "legacy 4-byte");
    else
        s << (design.kind == 16 ? "current 5-byte" : "current 7-byte");
    if (design.hwd) s << ", HWD";
    for (const PlantedDefect& d : design.defects) {
        if (d.axle > design.axles || (d.kind == DefectKind::HotWheel && !design.hwd)) continue;
        static const char* const kinds[] = {"hot box", "hot wheel", "side difference", "trend"};
        s << ", " << kinds[static_cast<int>(d.kind)] << " planted on axle " << d.axle
          << (d.side == 0 ? " left" : " right");
    }
    if (allInOne)
        s << ", All-in-One (" << train.stream.size() << " bytes)";
    else
        s << ", " << blockCount << (blockCount == 1 ? " block of " : " blocks of ") << blockSize << " bytes";
    std::vector<std::string> fs;
    for (int b : faults.drop) fs.push_back("loss " + std::to_string(b));
    if (faults.reorder) fs.push_back("reorder");
    if (faults.duplicate) fs.push_back("dup " + std::to_string(faults.duplicate));
    if (faults.badChecksum) fs.push_back("checksum " + std::to_string(faults.badChecksum));
    if (faults.pauseBlock) fs.push_back("pause " + std::to_string(faults.pauseBlock));
    if (faults.noise) fs.push_back("noise");
    if (faults.oversize) fs.push_back("oversize");
    if (interference.enabled)
        fs.push_back("interference by site " + std::to_string(interference.site.radioId));
    if (!fs.empty()) {
        s << " [";
        for (std::size_t k = 0; k < fs.size(); ++k) s << (k ? ", " : "") << fs[k];
        s << "]";
    }
    return s.str();
}

}  // namespace sitesim
