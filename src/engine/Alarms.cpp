#include "engine/Alarms.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <tuple>

#include "platform/Profile.h"
#include "records/TrainReport.h"

namespace {

constexpr char N = 'N';  // normal
constexpr char E = 'E';  // equipment fault
constexpr char T = 'T';  // traffic warning

// The class of every system message code, by code. Equipment faults are what
// a maintainer must go out for: power, calibration, self-tests, scanners,
// configuration, track circuits, stuck sensors, counts that disagree, and
// power resets (a site that restarted between trains). Traffic warnings are
// about the train that passed: too slow to be measured, or more alarms than
// the site's voice message could speak.
constexpr char MESSAGE_CLASSES[] = {
    E,  //  0 (no code: a code that came without a text)
    E,  //  1 AC Power Failure
    E,  //  2 Calibration Not Complete
    E,  //  3 Cold Train - Deviation Failure Ch 1
    E,  //  4 Cold Train - Deviation Failure Ch 2
    E,  //  5 Cold Train - No Minimum Heat Ch 1
    E,  //  6 Cold Train - No Minimum Heat Ch 2
    E,  //  7 Configuration Corrupted
    E,  //  8 Deviation Failure Ch3
    T,  //  9 Dragger Alarms Exceed Number Spoken
    E,  // 10 Failed Init HWD System
    E,  // 11 Failed Voice Radio Transmitter
    E,  // 12 Heat Integ Test Fail Ch1
    E,  // 13 Heat Integ Test Fail Ch2
    T,  // 14 High Load Alarms Exceed Number Spoken
    E,  // 15 Hot Wheel/Hot Box Axle Mismatch
    E,  // 16 HWD AC Power Failure
    E,  // 17 HWD Calibration Not Complete
    E,  // 18 HWD Configuration Corrupted
    E,  // 19 HWD Heat Integ Test Fail Ch3
    E,  // 20 HWD Heat Integ Test Fail Ch4
    E,  // 21 HWD Low Voltage
    E,  // 22 HWD No Approach Track Circuit
    E,  // 23 HWD Power Reset Since Last Train
    T,  // 24 HWD Slow Train
    E,  // 25 HWD Transducer Signal Miscount
    T,  // 26 Journal Alarms Exceed Number Spoken
    E,  // 27 Low Voltage
    E,  // 28 Missed Some Axles From Hot Wheel
    E,  // 29 No Approach Track Circuit
    E,  // 30 No Response From Hot Wheel
    E,  // 31 Power Failure
    E,  // 32 Power Reset Since Last Train
    E,  // 33 Scanner Malfunction Channel 1
    E,  // 34 Scanner Malfunction Channel 2
    T,  // 35 Slow Train
    E,  // 36 Stuck Dragger During Train Passage
    E,  // 37 Stuck Dragger Train Arrival
    E,  // 38 Stuck High Load 1
    E,  // 39 Stuck High Load 2
    E,  // 40 Stuck Wide Load 1
    E,  // 41 Stuck Wide Load 2
    T,  // 42 Train Too Slow Override Active
    E,  // 43 Transducer Signal Miscount
    T,  // 44 Wheel Alarms Exceed Number Spoken
    T,  // 45 Wide Load 1 Alarms Exceed Number Spoken
    T,  // 46 Wide Load 2 Alarms Exceed Number Spoken
    E,  // 47 CRITICAL ERROR: UNKNOWN TEXT TO SDM
    N,  // 48 HBD System Normal
    N,  // 49 DED System Normal
    N,  // 50 HWD System Normal
    N,  // 51 CWD System Normal
};
static_assert(sizeof MESSAGE_CLASSES == 52, "one class for each code 0..51");

constexpr char SECTION[] = "Alarms";

// A legacy alarm code's side bits, as the assembly applies them.
constexpr std::uint16_t LEGACY_LEFT = 0x40;
constexpr std::uint16_t LEGACY_RIGHT = 0x80;

struct Place {
    int car = 0;
    int axleInCar = 0;
};

std::vector<Place> Places(const std::vector<ReportAxle>& axles) {
    std::vector<Place> out(axles.size());
    int car = 0, inCar = 0;
    for (std::size_t i = 0; i < axles.size(); ++i) {
        if (axles[i].carStart) {
            car = axles[i].car > 0 ? axles[i].car : car + 1;
            inCar = 0;
        }
        if (car > 0) out[i] = Place{car, ++inCar};
    }
    return out;
}

int HotBox(const ReportAxle& a, int side) { return side == 0 ? a.hotBoxLeft : a.hotBoxRight; }
int HotWheel(const ReportAxle& a, int side) { return side == 0 ? a.hotWheelLeft : a.hotWheelRight; }
AlarmSide SideOf(int side) { return side == 0 ? AlarmSide::Left : AlarmSide::Right; }

// The median of the values; for an even count the mean of the middle two,
// rounded down.
int Median(std::vector<int> v) {
    const std::size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    const int upper = v[mid];
    if (v.size() % 2 == 1) return upper;
    const int lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid));
    return (lower + upper) / 2;
}

// A rule value: a whole number from lo to hi, or "off".
bool ParseRule(const std::string& text, int lo, int hi, bool offAllowed, int* out) {
    if (offAllowed && (text == "off" || text == "Off" || text == "OFF")) {
        *out = RULE_OFF;
        return true;
    }
    int v = 0;
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, v);
    if (r.ec != std::errc() || r.ptr != end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace

AlarmInput AlarmInputFromRecord(const TrainRecord& record) {
    AlarmInput in;
    const std::uint8_t* h = record.header;
    in.hotWheels = (h[th::FLAGS] & 0x01) != 0;
    std::size_t count = ReadLe16(h + th::AXLE_COUNT);
    if (count > MAX_AXLES) count = MAX_AXLES;
    in.axles.resize(count);
    std::uint16_t car = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* s = record.axleSlots[i].bytes;
        ReportAxle& a = in.axles[i];
        a.axle = static_cast<std::uint16_t>(i + 1);
        a.carStart = (s[5] & 0x80) != 0;
        if (a.carStart) ++car;
        a.car = car;
        a.hotBoxLeft = s[0];
        a.hotBoxRight = s[1];
        if (in.hotWheels) {
            a.hotWheelLeft = static_cast<std::int16_t>(((s[5] & 0x03) << 8) | s[2]);
            a.hotWheelRight = static_cast<std::int16_t>((((s[5] >> 2) & 0x03) << 8) | s[3]);
        }
        a.load = static_cast<std::uint16_t>((((s[5] >> 4) & 0x03) << 8) | s[4]);
    }
    for (std::size_t first : {th::SIM_CODES_1, th::SIM_CODES_2})
        for (std::size_t k = 0; k < th::SIM_CODES_PER_GROUP; ++k) {
            const int code = h[first + k];
            if (code != 0) in.systemMessages.push_back(*SystemMessageText(code) != '\0' ? code : 0);
        }
    return in;
}

AlarmRules LoadAlarmRules(const std::string& settingsPath, std::vector<std::string>* warnings) {
    AlarmRules rules;
    auto warn = [&](const std::string& text) {
        if (warnings != nullptr) warnings->push_back(text);
    };
    std::string why;
    const auto entries = GetProfileSection(settingsPath, SECTION, &why);
    if (!why.empty()) {
        warn("The settings file \"" + settingsPath + "\" " + why +
             ": the alarm rules keep their defaults.");
        return rules;
    }
    struct Key {
        const char* name;
        int* value;
        int lo, hi;
        bool offAllowed;
    };
    const Key keys[] = {
        {"HotBox", &rules.hotBox, 0, 255, true},
        {"HotWheel", &rules.hotWheel, 0, 1023, true},
        {"LeftRightDifference", &rules.sideDifference, 0, 255, true},
        {"OutlierAboveMedian", &rules.outlierAboveMedian, 0, 255, true},
        {"MinimumAxlesForOutlier", &rules.minimumAxlesForOutlier, 1, static_cast<int>(MAX_AXLES), false},
        {"TrendRise", &rules.trendRise, 0, 255, true},
        {"TrendFloor", &rules.trendFloor, 0, 255, false},
        {"TrendMinSpeed", &rules.trendMinSpeed, 1, 300, false},
        {"TrendMaxSpeed", &rules.trendMaxSpeed, 1, 300, false},
        {"TrendAxleTolerance", &rules.trendAxleTolerance, 0, 20, false},
    };
    std::vector<std::string> seen;
    for (const auto& [key, value] : entries) {
        std::string folded = key;
        for (char& c : folded) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        const std::string where = "\"" + settingsPath + "\", section \"" + SECTION + "\", key \"" + key + "\"";
        if (std::find(seen.begin(), seen.end(), folded) != seen.end()) {
            warn("The alarm rule in " + where + " is given again: the first one is used.");
            continue;
        }
        seen.push_back(folded);
        auto is = [&](const char* name) {
            std::string n = name;
            for (char& c : n) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            return n == folded;
        };
        const Key* rule = nullptr;
        for (const Key& k : keys)
            if (is(k.name)) rule = &k;
        if (rule != nullptr) {
            if (!ParseRule(value, rule->lo, rule->hi, rule->offAllowed, rule->value))
                warn("The alarm rule in " + where + " is \"" + value + "\": it must be a whole number from " +
                     std::to_string(rule->lo) + " to " + std::to_string(rule->hi) +
                     (rule->offAllowed ? " or off" : "") + "; the default " +
                     std::to_string(*rule->value) + " is used.");
        } else if (is("Unit")) {
            const bool printable = std::all_of(value.begin(), value.end(), [](char c) {
                return static_cast<unsigned char>(c) >= 0x20 && c != 0x7F;
            });
            if (printable && value.size() <= 16) rules.unit = value;
            else warn("The unit in " + where + " is not used: at most 16 printable characters.");
        } else if (is("Factor")) {
            double f = 0;
            const char* end = value.data() + value.size();
            const auto r = std::from_chars(value.data(), end, f);
            if (r.ec == std::errc() && r.ptr == end && std::isfinite(f) && f > 0 && f <= 1000)
                rules.factor = f;
            else
                warn("The factor in " + where + " is \"" + value +
                     "\": it must be a number above 0 and at most 1000; the default 1 is used.");
        } else if (is("Command")) {
            const bool printable = std::all_of(value.begin(), value.end(), [](char c) {
                return static_cast<unsigned char>(c) >= 0x20 && c != 0x7F;
            });
            if (value.empty() || (printable && value[0] == '/' && value.size() < 4096))
                rules.command = value;
            else
                warn("The alarm command in " + where +
                     " is not used: it must be the absolute path of a program (no arguments).");
        } else if (is("CommandTimeout")) {
            if (!ParseRule(value, 1, 3600, false, &rules.commandTimeout))
                warn("The alarm command's time limit in " + where + " is \"" + value +
                     "\": it must be a whole number of seconds from 1 to 3600; the default " +
                     std::to_string(rules.commandTimeout) + " is used.");
        } else {
            warn("The key in " + where + " is not an alarm rule and is not used.");
        }
    }
    return rules;
}

std::vector<Alarm> TrainAlarms(const AlarmInput& input, const AlarmRules& rules) {
    std::vector<Alarm> out;
    const std::vector<ReportAxle>& axles = input.axles;
    const std::vector<Place> places = Places(axles);
    auto at = [&](AlarmKind kind, int axle, AlarmSide side) {
        Alarm a;
        a.kind = kind;
        a.axle = axle;
        a.side = side;
        if (axle >= 1 && static_cast<std::size_t>(axle) <= places.size()) {
            a.car = places[static_cast<std::size_t>(axle - 1)].car;
            a.axleInCar = places[static_cast<std::size_t>(axle - 1)].axleInCar;
        }
        return a;
    };

    // Equipment messages, one per fault code.
    for (int code : input.systemMessages) {
        if (SystemMessageClass(code) != MessageClass::EquipmentFault) continue;
        Alarm a = at(AlarmKind::Equipment, 0, AlarmSide::None);
        a.code = code;
        if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
    }

    // The site's own alarms. A legacy code's side bits name the side (and
    // the assembly set that reading to its maximum); other bits, and the
    // current format's entries, name no side. Entries of one axle and side
    // are merged. A reading a legacy code maxed is the site's mark, not a
    // measurement: the reading rules below leave that bearing out.
    std::vector<std::uint8_t> maxedBySite(axles.size(), 0);  // bit 0 left, bit 1 right
    for (const SiteAlarmEntry& e : input.siteAlarms) {
        AlarmSide sides[2] = {AlarmSide::None, AlarmSide::None};
        std::size_t sideCount = 0;
        if (e.legacy && (e.bits & LEGACY_LEFT)) sides[sideCount++] = AlarmSide::Left;
        if (e.legacy && (e.bits & LEGACY_RIGHT)) sides[sideCount++] = AlarmSide::Right;
        if (sideCount == 0) sideCount = 1;  // no side named
        const bool known = e.axle >= 1 && e.axle <= axles.size();
        for (std::size_t k = 0; k < sideCount; ++k) {
            const AlarmSide side = sides[k];
            auto same = std::find_if(out.begin(), out.end(), [&](const Alarm& a) {
                return a.kind == AlarmKind::SiteAnnounced && a.axle == e.axle && a.side == side;
            });
            if (same != out.end()) {
                same->code |= e.bits;
                continue;
            }
            Alarm a = at(AlarmKind::SiteAnnounced, e.axle, side);
            a.code = e.bits;
            if (known && side != AlarmSide::None) {
                const int s = side == AlarmSide::Left ? 0 : 1;
                a.reading = HotBox(axles[e.axle - 1u], s);
                if (a.reading == HOT_BOX_MAXED) maxedBySite[e.axle - 1u] |= static_cast<std::uint8_t>(1 << s);
            }
            out.push_back(a);
        }
    }
    auto measured = [&](std::size_t i, int side) { return (maxedBySite[i] & (1 << side)) == 0; };

    // Each side's median, for the outlier rule.
    int median[2] = {-1, -1};
    if (rules.outlierAboveMedian != RULE_OFF) {
        for (int side = 0; side < 2; ++side) {
            std::vector<int> values;
            for (std::size_t i = 0; i < axles.size(); ++i)
                if (measured(i, side)) values.push_back(HotBox(axles[i], side));
            if (!values.empty() && static_cast<int>(values.size()) >= rules.minimumAxlesForOutlier)
                median[side] = Median(std::move(values));
        }
    }

    for (std::size_t i = 0; i < axles.size(); ++i) {
        const ReportAxle& a = axles[i];
        const int axle = static_cast<int>(i) + 1;
        for (int side = 0; side < 2; ++side) {
            const int hb = HotBox(a, side);
            if (measured(i, side) && rules.hotBox != RULE_OFF && hb > rules.hotBox) {
                Alarm x = at(AlarmKind::HotBox, axle, SideOf(side));
                x.reading = hb;
                x.threshold = rules.hotBox;
                out.push_back(x);
            }
            const int hw = HotWheel(a, side);
            if (input.hotWheels && hw >= 0 && rules.hotWheel != RULE_OFF && hw > rules.hotWheel) {
                Alarm x = at(AlarmKind::HotWheel, axle, SideOf(side));
                x.reading = hw;
                x.threshold = rules.hotWheel;
                out.push_back(x);
            }
            if (median[side] >= 0 && measured(i, side) && hb - median[side] > rules.outlierAboveMedian) {
                Alarm x = at(AlarmKind::Outlier, axle, SideOf(side));
                x.reading = hb;
                x.reference = median[side];
                x.threshold = rules.outlierAboveMedian;
                out.push_back(x);
            }
        }
        if (rules.sideDifference != RULE_OFF && measured(i, 0) && measured(i, 1)) {
            const int hotter = a.hotBoxLeft >= a.hotBoxRight ? 0 : 1;
            const int hot = HotBox(a, hotter), cool = HotBox(a, 1 - hotter);
            if (hot - cool > rules.sideDifference) {
                Alarm x = at(AlarmKind::SideDifference, axle, SideOf(hotter));
                x.reading = hot;
                x.reference = cool;
                x.threshold = rules.sideDifference;
                out.push_back(x);
            }
        }
    }

    std::stable_sort(out.begin(), out.end(), [](const Alarm& x, const Alarm& y) {
        return std::tie(x.axle, x.kind, x.side, x.code) < std::tie(y.axle, y.kind, y.side, y.code);
    });
    // One hot bearing is one alarm: of the rules its hot-box reading passes,
    // the first of hot box, side difference and outlier is kept (they come
    // in that order for an axle and side after the sort).
    const auto bearingRule = [](AlarmKind k) {
        return k == AlarmKind::HotBox || k == AlarmKind::SideDifference || k == AlarmKind::Outlier;
    };
    std::vector<Alarm> kept;
    kept.reserve(out.size());
    for (const Alarm& a : out) {
        const bool told = bearingRule(a.kind) &&
                          std::any_of(kept.begin(), kept.end(), [&](const Alarm& k) {
                              return bearingRule(k.kind) && k.axle == a.axle && k.side == a.side;
                          });
        if (!told) kept.push_back(a);
    }
    return kept;
}

namespace {

// The longest time between two sites that can still be one train's running
// time: a day (it also keeps the speed arithmetic within range).
constexpr long long LONGEST_RUN_SECONDS = 24 * 3600;

bool Opposite(char a, char b) {
    return (a == 'N' && b == 'S') || (a == 'S' && b == 'N') || (a == 'E' && b == 'W') ||
           (a == 'W' && b == 'E');
}

// One pass's readings relative to the median of their side: [side][axle
// index]; a side without a median (fewer than minimumAxlesForOutlier
// readings) has none (empty).
struct Relative {
    std::vector<int> value[2];
    int median[2] = {-1, -1};
};

Relative RelativeReadings(const TrainPass& p, const AlarmRules& rules) {
    Relative r;
    if (p.axles.empty() || static_cast<int>(p.axles.size()) < rules.minimumAxlesForOutlier) return r;
    for (int side = 0; side < 2; ++side) {
        std::vector<int> values;
        for (const ReportAxle& a : p.axles) values.push_back(HotBox(a, side));
        r.median[side] = Median(values);
        for (int v : values) r.value[side].push_back(v - r.median[side]);
    }
    return r;
}

}  // namespace

bool SameTrain(const TrainPass& a, const TrainPass& b, const AlarmRules& rules, bool* reversed) {
    if (reversed != nullptr) *reversed = false;
    if (a.site == b.site || a.track != b.track || a.milepost == b.milepost) return false;
    const long long seconds = b.received - a.received;
    if (seconds <= 0 || seconds > LONGEST_RUN_SECONDS) return false;
    // Speed in mph = (tenths / 10) / (seconds / 3600) = tenths x 360 / seconds.
    const long long distance = std::llabs(static_cast<long long>(b.milepost) - a.milepost) * 360;
    if (distance < rules.trendMinSpeed * seconds || distance > rules.trendMaxSpeed * seconds) return false;
    const long long na = static_cast<long long>(a.axles.size()), nb = static_cast<long long>(b.axles.size());
    if (na == 0 || nb == 0 || std::llabs(na - nb) > rules.trendAxleTolerance) return false;
    if (reversed != nullptr) *reversed = Opposite(a.direction, b.direction);
    return true;
}

std::vector<Alarm> TrainTrends(const std::vector<TrainPass>& passes, const AlarmRules& rules) {
    std::vector<Alarm> out;
    if (rules.trendRise == RULE_OFF || passes.empty()) return out;
    // The chain of matched passes, and whether each runs the other way to
    // the one before.
    std::vector<bool> reversedFromPrevious{false};
    for (std::size_t k = 1; k < passes.size(); ++k) {
        bool reversed = false;
        if (!SameTrain(passes[k - 1], passes[k], rules, &reversed)) break;
        reversedFromPrevious.push_back(reversed);
    }
    const std::size_t chain = reversedFromPrevious.size();
    std::vector<Relative> rel;
    for (std::size_t k = 0; k < chain; ++k) rel.push_back(RelativeReadings(passes[k], rules));

    // The axles of pass k - 1 that axle index i of pass k may be: the same
    // place from the head end (or from the other end when reversed), give or
    // take the difference of the two axle counts.
    auto window = [&](std::size_t k, int i, int* lo, int* hi) {
        const int before = static_cast<int>(passes[k - 1].axles.size());
        const int now = static_cast<int>(passes[k].axles.size());
        const int centre = reversedFromPrevious[k] ? now - 1 - i : i;
        const int slack = std::abs(now - before);
        *lo = std::max(0, centre - slack);
        *hi = std::min(before - 1, centre + slack);
    };
    // Of those, the one reading highest (the smallest rise: a missed axle
    // never makes a trend).
    auto previous = [&](std::size_t k, int side, int i, int* index) {
        int lo = 0, hi = -1, best = 0;
        window(k, i, &lo, &hi);
        *index = -1;
        const std::vector<int>& values = rel[k - 1].value[side];
        for (int j = lo; j <= hi && !values.empty(); ++j)
            if (*index < 0 || values[static_cast<std::size_t>(j)] > best) {
                *index = j;
                best = values[static_cast<std::size_t>(j)];
            }
        return best;
    };

    std::vector<bool> alarmedBefore[2];  // by axle index of pass k - 1
    for (std::size_t k = 1; k < chain; ++k) {
        const int count = static_cast<int>(passes[k].axles.size());
        std::vector<bool> alarmedNow[2] = {std::vector<bool>(static_cast<std::size_t>(count)),
                                           std::vector<bool>(static_cast<std::size_t>(count))};
        const std::vector<Place> places = Places(passes[k].axles);
        for (int side = 0; side < 2; ++side) {
            const std::vector<int>& now = rel[k].value[side];
            for (int i = 0; i < count; ++i) {
                int lo = 0, hi = -1;
                window(k, i, &lo, &hi);
                bool told = false;
                for (int j = lo; j <= hi && !alarmedBefore[side].empty(); ++j)
                    told = told || alarmedBefore[side][static_cast<std::size_t>(j)];
                if (told) alarmedNow[side][static_cast<std::size_t>(i)] = true;
                if (told || now.empty() || rel[k - 1].value[side].empty()) continue;
                int index = -1;
                const int before = previous(k, side, i, &index);
                const int relative = now[static_cast<std::size_t>(i)];
                if (relative - before <= rules.trendRise || relative <= rules.trendFloor) continue;
                alarmedNow[side][static_cast<std::size_t>(i)] = true;

                Alarm a;
                a.kind = AlarmKind::Trend;
                a.axle = i + 1;
                a.car = places[static_cast<std::size_t>(i)].car;
                a.axleInCar = places[static_cast<std::size_t>(i)].axleInCar;
                a.side = SideOf(side);
                a.reading = HotBox(passes[k].axles[static_cast<std::size_t>(i)], side);
                a.reference = rel[k].median[side];
                a.threshold = rules.trendRise;
                // The bearing back along the chain, as far as its sites
                // give relative readings.
                a.trend.push_back({passes[k].site, relative});
                for (std::size_t back = k; back >= 1 && index >= 0; --back) {
                    a.trend.push_back({passes[back - 1].site, rel[back - 1].value[side][static_cast<std::size_t>(index)]});
                    if (back - 1 == 0 || rel[back - 2].value[side].empty()) break;
                    previous(back - 1, side, index, &index);
                }
                std::reverse(a.trend.begin(), a.trend.end());
                out.push_back(std::move(a));
            }
        }
        // Carried on: a bearing already told of is not told again further on.
        for (int side = 0; side < 2; ++side) alarmedBefore[side] = std::move(alarmedNow[side]);
    }
    std::sort(out.begin(), out.end(), [](const Alarm& x, const Alarm& y) {
        return std::tie(x.axle, x.side) < std::tie(y.axle, y.side);
    });
    return out;
}

std::vector<std::size_t> TrainChain(const std::vector<TrainPass>& passes, std::size_t self, const AlarmRules& rules) {
    const auto axleDiff = [&](std::size_t a, std::size_t b) {
        return std::llabs(static_cast<long long>(passes[a].axles.size()) - static_cast<long long>(passes[b].axles.size()));
    };
    // Whether the train of pass `i` ran the other way past the site of
    // `here`: it passed that site too, before `i`, as the same train at
    // least as closely as `here` is; unless that pass follows another pass
    // at the site of `i` as closely: then it is another train's, running the
    // way of the chain.
    const auto cameOtherWay = [&](std::size_t i, std::size_t here) {
        for (std::size_t j = 0; j < passes.size(); ++j) {
            if (j == here || passes[j].site != passes[here].site) continue;
            if (!SameTrain(passes[j], passes[i], rules, nullptr) || axleDiff(i, j) > axleDiff(i, here)) continue;
            bool explained = false;
            for (std::size_t m = 0; m < passes.size() && !explained; ++m)
                explained = m != i && passes[m].site == passes[i].site && axleDiff(m, j) <= axleDiff(i, j) &&
                            SameTrain(passes[m], passes[j], rules, nullptr);
            if (!explained) return true;
        }
        return false;
    };
    // Whether the train of pass `i` reached the site of `here` before `here`
    // did: a pass there in between that is more closely the same train (on
    // one track a train overtakes no other).
    const auto reachedEarlier = [&](std::size_t i, std::size_t here) {
        for (std::size_t k = 0; k < passes.size(); ++k)
            if (k != here && passes[k].site == passes[here].site && passes[k].received < passes[here].received &&
                axleDiff(i, k) < axleDiff(i, here) && SameTrain(passes[i], passes[k], rules, nullptr))
                return true;
        return false;
    };
    std::vector<std::size_t> chain{self};
    std::vector<int> used{passes[self].site};
    int way = 0;  // +1: mileposts rising along the chain, -1 falling
    for (std::size_t here = self; chain.size() < passes.size();) {
        std::vector<std::size_t> bestOfSite;  // one a site
        for (std::size_t i = 0; i < passes.size(); ++i) {
            if (std::find(used.begin(), used.end(), passes[i].site) != used.end()) continue;
            if (!SameTrain(passes[i], passes[here], rules, nullptr)) continue;
            const int step = passes[here].milepost > passes[i].milepost ? 1 : -1;
            if ((way != 0 && step != way) || cameOtherWay(i, here) || reachedEarlier(i, here)) continue;
            const auto same = std::find_if(bestOfSite.begin(), bestOfSite.end(),
                                           [&](std::size_t b) { return passes[b].site == passes[i].site; });
            const auto rank = [&](std::size_t p) {
                return std::make_pair(axleDiff(p, here), std::llabs(passes[p].received - passes[here].received));
            };
            if (same == bestOfSite.end()) bestOfSite.push_back(i);
            else if (rank(i) < rank(*same)) *same = i;
        }
        if (bestOfSite.empty()) break;
        const std::size_t before = *std::max_element(bestOfSite.begin(), bestOfSite.end(), [&](std::size_t a, std::size_t b) {
            return passes[a].received < passes[b].received;
        });
        way = passes[here].milepost > passes[before].milepost ? 1 : -1;
        used.push_back(passes[before].site);
        chain.insert(chain.begin(), before);
        here = before;
    }
    return chain;
}

std::vector<PassAlarm> NewPassTrends(const std::vector<TrainPass>& passes, std::size_t self, const AlarmRules& rules) {
    std::vector<PassAlarm> out;
    if (rules.trendRise == RULE_OFF || self >= passes.size()) return out;
    for (std::size_t last = 0; last < passes.size(); ++last) {
        if (last != self && (passes[last].received <= passes[self].received ||
                             !SameTrain(passes[self], passes[last], rules, nullptr)))
            continue;
        const std::vector<std::size_t> chain = TrainChain(passes, last, rules);
        if (chain.size() < 2 || std::find(chain.begin(), chain.end(), self) == chain.end()) continue;
        std::vector<TrainPass> ordered;
        for (std::size_t k : chain) ordered.push_back(passes[k]);
        for (Alarm& a : TrainTrends(ordered, rules)) {
            // The site that raised it: the last of its trend, in the chain.
            std::size_t at = passes.size();
            for (std::size_t k = 0; k < chain.size(); ++k)
                if (!a.trend.empty() && passes[chain[k]].site == a.trend.back().site) at = chain[k];
            const bool told = std::any_of(out.begin(), out.end(), [&](const PassAlarm& o) {
                return o.pass == at && o.alarm.axle == a.axle && o.alarm.side == a.side;
            });
            if (at < passes.size() && !told) out.push_back({at, std::move(a)});
        }
    }
    return out;
}

const char* AlarmKindName(AlarmKind kind) {
    switch (kind) {
        case AlarmKind::SiteAnnounced: return "site";
        case AlarmKind::HotBox: return "hot-box";
        case AlarmKind::HotWheel: return "hot-wheel";
        case AlarmKind::SideDifference: return "side-difference";
        case AlarmKind::Outlier: return "outlier";
        case AlarmKind::Equipment: return "equipment";
        case AlarmKind::Trend: return "trend";
    }
    return "";
}

const char* AlarmSideName(AlarmSide side) {
    switch (side) {
        case AlarmSide::Left: return "left";
        case AlarmSide::Right: return "right";
        case AlarmSide::None: return "none";
    }
    return "";
}

std::string DisplayReading(int reading, const AlarmRules& rules) {
    // Written without the locale: a decimal point, always.
    const double v = reading * rules.factor;
    char text[64];
    const bool whole = v == std::floor(v);
    const auto r = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, whole ? 0 : 1);
    std::string out(text, r.ptr);
    if (!rules.unit.empty()) out += " " + rules.unit;
    return out;
}

MessageClass SystemMessageClass(int code) {
    if (code < 0 || code >= static_cast<int>(sizeof MESSAGE_CLASSES)) return MessageClass::EquipmentFault;
    switch (MESSAGE_CLASSES[code]) {
        case N: return MessageClass::Normal;
        case T: return MessageClass::TrafficWarning;
        default: return MessageClass::EquipmentFault;
    }
}

const char* MessageClassName(MessageClass c) {
    switch (c) {
        case MessageClass::Normal: return "normal";
        case MessageClass::EquipmentFault: return "equipment fault";
        case MessageClass::TrafficWarning: return "traffic warning";
    }
    return "";
}
