#include "TrainGenerator.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/CivilDate.h"
#include "radio/Frame.h"

namespace sitesim {

namespace {

void Put16(std::uint8_t* p, unsigned v) { WriteLe16(p, static_cast<std::uint16_t>(v)); }

// A time stamp of `count` bytes: year - base, month, day, hour, minute, second.
void PutStamp(std::uint8_t* p, const TrainTime& t, int base, int count) {
    const int fields[6] = {t.year - base, t.month, t.day, t.hour, t.minute, t.second};
    for (int i = 0; i < count; ++i) p[i] = static_cast<std::uint8_t>(fields[i]);
}

// One axle as the report sees it: slot bytes 0 to 6.
struct Axle {
    std::uint8_t b0 = 0, b1 = 0;   // bearing values (left, right)
    unsigned wheel1 = 0, wheel2 = 0;  // 10-bit hot wheel values
    unsigned load = 0;             // 10-bit value of slot byte 4
    bool carStart = false;
    std::uint8_t b6 = 0;
    std::uint8_t alarmCode = 0;    // legacy alarm code bits 6 (left) and 7 (right)

    std::uint8_t Byte5() const {
        return static_cast<std::uint8_t>((carStart ? 0x80 : 0) | (((load >> 8) & 3) << 4) |
                                         (((wheel2 >> 8) & 3) << 2) | ((wheel1 >> 8) & 3));
    }
};

// A number near 0: the sum of `terms` draws from -width to width (a bell
// shape with no tail beyond terms x width).
int Spread(SimRandom& rng, int width, int terms) {
    int sum = 0;
    for (int k = 0; k < terms; ++k) sum += rng.Range(-width, width);
    return sum;
}

std::uint8_t Reading(int value) { return static_cast<std::uint8_t>(std::clamp(value, 0, 255)); }

// Readings of a healthy train: bearings run a little above the ambient,
// warmer with the run the train had; the site's scanners read a little high
// or low (its bias), one side may read a step warmer than the other (sun,
// scanner drift), a loaded car's bearings a little warmer than an empty
// one's, and every bearing has its own noise; now and then a bearing runs
// warm but sound. Wheels run warmer from braking, more so on a train that
// braked before the site, with a spread per car and per wheel. With
// `randomDefects`, now and then one bearing runs hot (with its alarm code)
// or one wheel does. The bearings' own noise is drawn from `noise` (a
// site's own on a line) when given.
std::vector<Axle> DrawAxles(int axles, const std::vector<int>& cars, bool wheels, bool wideLoad,
                            int ambient, int bias, bool randomDefects, SimRandom& rng,
                            SimRandom* noise) {
    std::vector<Axle> out(static_cast<std::size_t>(axles));
    std::size_t i = 0;
    for (int car : cars) {
        for (int k = 0; k < car && i < out.size(); ++k, ++i) out[i].carStart = (k == 0);
    }
    const int bearingLevel = ambient + bias + rng.Range(4, 12);
    const int sideStep[2] = {rng.Range(-2, 2), rng.Range(-2, 2)};
    const int wheelLevel = 60 + ambient * 3 + (rng.Chance(30) ? rng.Range(20, 80) : rng.Range(0, 20));
    int carBearing = 0, carWheel = 0;
    for (std::size_t k = 0; k < out.size(); ++k) {
        Axle& a = out[k];
        // Legacy trains have no car starts: every axle counts as its own car.
        if (a.carStart || cars.empty()) {
            carBearing = Spread(rng, 1, 4);
            carWheel = Spread(rng, 5, 3);
        }
        for (int side = 0; side < 2; ++side) {
            int v = bearingLevel + sideStep[side] + carBearing + Spread(noise != nullptr ? *noise : rng, 2, 3);
            if (rng.Range(0, 999) < 5) v += rng.Range(6, 14);
            (side == 0 ? a.b0 : a.b1) = Reading(v);
        }
        const bool hotBearing = rng.Chance(2);
        const bool hotLeft = rng.Chance(50);
        const int hotValue = rng.Range(140, 240);
        if (randomDefects && hotBearing) {
            (hotLeft ? a.b0 : a.b1) = static_cast<std::uint8_t>(hotValue);
            a.alarmCode |= hotLeft ? 0x40 : 0x80;
        }
        if (wheels) {
            a.wheel1 = static_cast<unsigned>(std::clamp(wheelLevel + carWheel + Spread(rng, 5, 4), 0, 1023));
            a.wheel2 = static_cast<unsigned>(std::clamp(wheelLevel + carWheel + Spread(rng, 5, 4), 0, 1023));
            const bool hotWheel = rng.Chance(1);
            const bool wheelLeft = rng.Chance(50);
            const unsigned wheelValue = static_cast<unsigned>(rng.Range(500, 900));
            if (randomDefects && hotWheel) (wheelLeft ? a.wheel1 : a.wheel2) = wheelValue;
        }
        a.load = static_cast<unsigned>(wideLoad ? rng.Range(200, 1023) : rng.Range(20, 255));
        a.b6 = rng.Byte();
    }
    return out;
}

// The planted defects, on the readings drawn.
void PlantDefects(std::vector<Axle>& axles, const std::vector<PlantedDefect>& defects, int lineSite) {
    for (const PlantedDefect& d : defects) {
        if (d.axle < 1 || d.axle > static_cast<int>(axles.size())) continue;
        Axle& a = axles[static_cast<std::size_t>(d.axle - 1)];
        std::uint8_t& bearing = d.side == 0 ? a.b0 : a.b1;
        switch (d.kind) {
            case DefectKind::HotBox:
                bearing = Reading(d.reading > 0 ? d.reading : DEFAULT_HOT_BOX_PLANT);
                break;
            case DefectKind::HotWheel:
                (d.side == 0 ? a.wheel1 : a.wheel2) = static_cast<unsigned>(
                    std::clamp(d.reading > 0 ? d.reading : DEFAULT_HOT_WHEEL_PLANT, 0, 1023));
                break;
            case DefectKind::SideDifference: {
                const int other = d.side == 0 ? a.b1 : a.b0;
                const int step = d.reading > 0 ? d.reading : DEFAULT_SIDE_DIFFERENCE_PLANT;
                bearing = Reading(std::min(other + step, SIDE_DIFFERENCE_PLANT_CEILING));
                break;
            }
            case DefectKind::Trend:
                if (!d.rises.empty())
                    bearing = Reading(bearing + d.rises[std::min(static_cast<std::size_t>(std::max(lineSite, 0)),
                                                                 d.rises.size() - 1)]);
                break;
        }
    }
}

std::uint8_t DrawSimCode(SimRandom& rng) {
    if (rng.Chance(85)) return static_cast<std::uint8_t>(rng.Range(1, 51));
    return static_cast<std::uint8_t>(rng.Range(52, 70));  // a code the collector has no text for
}

}  // namespace

TrainTime AddSeconds(const TrainTime& t, long long seconds) {
    long long total = DaysFromCivil(t.year, static_cast<unsigned>(t.month),
                                    static_cast<unsigned>(t.day)) * 86400 + t.hour * 3600LL +
                      t.minute * 60LL + t.second + seconds;
    long long days = total / 86400;
    long long rest = total % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    TrainTime out;
    CivilFromDays(days, &out.year, &out.month, &out.day);
    out.hour = static_cast<int>(rest / 3600);
    out.minute = static_cast<int>(rest / 60 % 60);
    out.second = static_cast<int>(rest % 60);
    return out;
}

SiteIdentity MakeSite(std::uint8_t radioId, std::uint8_t tracks, UnitKind unit, SimRandom& rng) {
    SiteIdentity s;
    s.radioId = radioId;
    s.tracks = tracks;
    s.unit = unit;
    s.milepost = static_cast<std::uint16_t>(rng.Range(10, 29999));
    s.siteNumber = static_cast<std::uint16_t>(rng.Range(100, 9000) & ~1);
    s.segment[0] = static_cast<char>('A' + rng.Range(0, 25));
    s.segment[1] = static_cast<char>('A' + rng.Range(0, 25));
    char text[16];
    if (unit == UnitKind::Tallquin)
        std::snprintf(text, sizeof text, "TAL%04d", rng.Range(0, 9999));
    else
        std::snprintf(text, sizeof text, "HLV%04d", rng.Range(0, 9999));
    std::memcpy(s.unitText, text, sizeof s.unitText);
    s.byte6 = static_cast<std::uint8_t>(rng.Range(0, 3));
    s.byte16 = static_cast<std::uint8_t>(rng.Range(0, 9));
    s.readingBias = static_cast<int>((s.siteNumber * 37u + radioId * 11u) % 9u) - 4;
    return s;
}

std::vector<std::uint8_t> PowerupPayload(const SiteIdentity& site) {
    std::vector<std::uint8_t> p(POWERUP_PAYLOAD_SIZE, 0);
    Put16(&p[0], site.milepost);
    Put16(&p[2], site.siteNumber);
    p[4] = site.tracks;
    p[5] = 1;
    p[6] = site.byte6;
    p[7] = static_cast<std::uint8_t>(site.segment[0]);
    p[8] = static_cast<std::uint8_t>(site.segment[1]);
    std::memcpy(&p[9], site.unitText, 7);
    p[16] = site.byte16;
    return p;
}

std::vector<std::uint8_t> AllInOnePayload(const std::vector<std::uint8_t>& stream) {
    std::vector<std::uint8_t> payload(ALL_IN_ONE_LEAD + stream.size(), 0);
    std::copy(stream.begin(), stream.end(), payload.begin() + ALL_IN_ONE_LEAD);
    return payload;
}

std::size_t StreamSize(StreamFormat format, std::uint8_t kind, bool legacyFiveByte, int axles,
                       int alarms) {
    const std::size_t n = static_cast<std::size_t>(axles);
    const std::size_t a = static_cast<std::size_t>(alarms);
    if (format == StreamFormat::Current)
        return STREAM_PREFIX_SIZE + CURRENT_HEADER_LENGTH + n * (kind == 16 ? 5 : 7) + a * 4;
    if (legacyFiveByte) return STREAM_PREFIX_SIZE + LEGACY_HEADER_LENGTH + n * 5;
    return STREAM_PREFIX_SIZE + LEGACY_HEADER_LENGTH + n * 4 + a * 3;
}

int MaxAxlesWithin(StreamFormat format, std::uint8_t kind, std::size_t bytes) {
    const std::size_t fixed = STREAM_PREFIX_SIZE + (format == StreamFormat::Current
                                                        ? CURRENT_HEADER_LENGTH
                                                        : LEGACY_HEADER_LENGTH);
    if (bytes <= fixed) return 0;
    const std::size_t per = format == StreamFormat::Current ? (kind == 16 ? 5 : 7) : 5;
    return static_cast<int>(std::min<std::size_t>((bytes - fixed) / per, MAX_TRAIN_AXLES));
}

std::vector<int> DrawCars(int axles, SimRandom& rng) {
    std::vector<int> cars;
    int left = axles;
    // One to three locomotives of 6 axles in front of a train long enough.
    if (axles >= 20) {
        const int locomotives = std::min(rng.Range(1, 3), (axles - 8) / 6);
        for (int k = 0; k < locomotives; ++k) cars.push_back(6);
        left -= 6 * locomotives;
    }
    while (left > 0) {
        int car;
        if (left <= 6) {
            car = left;  // 2..6, or 1 for a one-axle train
        } else if (rng.Chance(90)) {
            car = 4;     // the common car: two bogies of two axles
        } else {
            // Never leave a single axle behind.
            car = rng.Range(2, std::min(6, left - 2));
        }
        cars.push_back(car);
        left -= car;
    }
    return cars;
}

std::vector<GeneratedTrain> GenerateLineTrain(const std::vector<SiteIdentity>& sites, const TrainDesign& design,
                                              int speedMph, SimRandom& rng) {
    std::vector<GeneratedTrain> out;
    SimRandom seeds(rng.Next());  // each site's noise seed: unrelated draws
    const SimRandom start = rng;
    long long tenths = 0;
    for (std::size_t k = 0; k < sites.size(); ++k) {
        if (k > 0) tenths += std::abs(static_cast<int>(sites[k].milepost) - static_cast<int>(sites[k - 1].milepost));
        TrainDesign d = design;
        d.lineSite = static_cast<int>(k);
        d.noiseSeed = seeds.Next() | 1;  // never 0
        const long long seconds = tenths * 360 / std::max(speedMph, 1);
        d.time = AddSeconds(design.time, seconds);
        rng = start;  // the same draws at every site: the same train
        out.push_back(GenerateTrain(sites[k], d, rng));
        out.back().lineSeconds = seconds;
    }
    return out;
}

std::string GeneratedTrain::ReportFileName() const {
    char name[64];
    std::snprintf(name, sizeof name, "%04d%02d%02d_%02d%02d.GEM.HBD.%05d.txt", design.time.year,
                  design.time.month, design.time.day, design.time.hour, design.time.minute,
                  static_cast<int>(design.trainNumber));
    return name;
}

GeneratedTrain GenerateTrain(const SiteIdentity& site, TrainDesign design, SimRandom& rng) {
    GeneratedTrain train;
    const bool legacy = design.format == StreamFormat::Legacy;
    if (!legacy && design.kind != 16) design.kind = 15;
    if (!legacy && design.kind == 16) design.hwd = false;  // 5-byte records carry no wheel values
    train.legacyFiveByte = legacy && design.hwd;

    int alarms = rng.Chance(60) ? rng.Range(0, 3) : 0;
    if (!design.randomDefects) alarms = 0;
    const int fit = MaxAxlesWithin(design.format, design.kind, design.maxStreamBytes);
    design.axles = std::clamp(design.axles, 1, std::max(1, fit));
    // Chosen alarm entries replace the drawn ones in the current format.
    std::vector<SiteAlarmEntry> chosen;
    if (!legacy)
        for (const SiteAlarmEntry& e : design.siteAlarms)
            if (e.axle >= 1 && e.axle <= design.axles) chosen.push_back(e);
    if (!legacy && !design.siteAlarms.empty()) alarms = static_cast<int>(chosen.size());
    while (alarms > 0 && StreamSize(design.format, design.kind, train.legacyFiveByte, design.axles,
                                    alarms) > design.maxStreamBytes)
        --alarms;
    chosen.resize(std::min(chosen.size(), static_cast<std::size_t>(alarms)));
    train.design = design;

    const int ambient = rng.Range(-5, 30) + 10;
    if (!legacy) train.carSizes = DrawCars(design.axles, rng);
    const bool wideLoad = !legacy && rng.Chance(30);
    SimRandom noise(design.noiseSeed);
    std::vector<Axle> axles = DrawAxles(design.axles, train.carSizes, design.hwd, wideLoad, ambient,
                                        site.readingBias, design.randomDefects, rng,
                                        design.noiseSeed != 0 ? &noise : nullptr);
    PlantDefects(axles, design.defects, design.lineSite);
    const TrainTime second = AddSeconds(design.time, 20 + design.axles * 6 / 10);
    const int speed = rng.Range(12, 65);
    const int ecr = rng.Chance(10) ? -1 : rng.Range(-60, 400);

    // System message codes: most trains report "System Normal"; some carry
    // further messages, now and then one the collector has no text for.
    std::uint8_t* sim = train.simCodes;
    sim[0] = rng.Chance(75) ? 48 : 0;
    for (int k = 1; k < 6; ++k) sim[k] = rng.Chance(8) ? DrawSimCode(rng) : 0;
    sim[6] = design.hwd && rng.Chance(70) ? 50 : 0;
    for (int k = 7; k < 12; ++k) sim[k] = rng.Chance(4) ? DrawSimCode(rng) : 0;
    if (legacy) {
        // The legacy header has room for four codes of the first group only.
        for (int k = 4; k < 12; ++k) sim[k] = 0;
    }
    if (!design.randomDefects) {
        // A healthy train's site is healthy too: its messages are the
        // "System Normal" ones only (drawn all the same, so the rest of the
        // train is what it would be).
        for (int k = 0; k < 12; ++k)
            if (sim[k] != 48 && sim[k] != 50) sim[k] = 0;
    }

    // Alarm entries name hot axles first, then random ones.
    std::vector<int> alarmAxles;
    for (int i = 0; i < design.axles && static_cast<int>(alarmAxles.size()) < alarms; ++i)
        if (axles[static_cast<std::size_t>(i)].alarmCode != 0) alarmAxles.push_back(i + 1);
    while (static_cast<int>(alarmAxles.size()) < alarms)
        alarmAxles.push_back(rng.Range(1, design.axles));
    train.alarmEntries = train.legacyFiveByte ? 0 : alarms;

    std::vector<std::uint8_t>& s = train.stream;
    s.assign(STREAM_PREFIX_SIZE, 0);
    Put16(&s[tp::AXLE_RECORD_COUNT], static_cast<unsigned>(design.axles));
    Put16(&s[tp::ALARM_COUNT], static_cast<unsigned>(train.alarmEntries));

    if (!legacy) {
        using namespace th;
        s[tp::FORMAT_VERSION] = 2;
        s[tp::HEADER_LENGTH] = static_cast<std::uint8_t>(CURRENT_HEADER_LENGTH);
        s[tp::AXLE_RECORD_KIND] = design.kind;
        std::uint8_t h[CURRENT_HEADER_LENGTH] = {};
        h[FLAGS] = static_cast<std::uint8_t>((design.hwd ? 1 : 0) | (rng.Chance(50) ? 2 : 0));
        Put16(&h[SITE_NUMBER], site.siteNumber);
        h[BYTE_4] = static_cast<std::uint8_t>(rng.Range(0, 9));
        Put16(&h[TRAIN_NUMBER], design.trainNumber);
        h[DIRECTION] = rng.Chance(90) ? static_cast<std::uint8_t>("NSEW"[rng.Range(0, 3)]) : 0;
        h[TRAIN_KIND] = rng.Chance(70) ? static_cast<std::uint8_t>("MT"[rng.Range(0, 1)]) : 0;
        Put16(&h[SPEED], static_cast<unsigned>(speed));
        Put16(&h[WORD_13], static_cast<unsigned>(rng.Range(0, 999)));
        PutStamp(&h[FIRST_STAMP], design.time, 2000, 6);
        PutStamp(&h[SECOND_STAMP], second, 2000, 6);
        h[TRACK] = design.track;
        h[AMBIENT] = static_cast<std::uint8_t>(ambient);
        h[SIDE] = rng.Chance(90) ? static_cast<std::uint8_t>("RL"[rng.Range(0, 1)]) : 0;
        Put16(&h[TRAIN_LENGTH], static_cast<unsigned>(design.axles * rng.Range(14, 18)));
        Put16(&h[AXLE_COUNT], static_cast<unsigned>(design.axles));
        Put16(&h[CAR_COUNT], static_cast<unsigned>(train.carSizes.size()));
        Put16(&h[DEM_WORD_37], static_cast<unsigned>(rng.Range(800, 1000)));
        Put16(&h[ECR], static_cast<unsigned>(ecr) & 0xFFFF);
        for (std::size_t k = 0; k < 3; ++k) Put16(&h[HBI_WORDS_41 + 2 * k], static_cast<unsigned>(rng.Range(0, 400)));
        h[HBI_BYTE_47] = static_cast<std::uint8_t>(rng.Range(0, 99));
        std::memcpy(&h[SIM_CODES_1], &sim[0], SIM_CODES_PER_GROUP);
        h[HBI_BYTE_54] = static_cast<std::uint8_t>(rng.Range(0, 99));
        std::memcpy(&h[SIM_CODES_2], &sim[6], SIM_CODES_PER_GROUP);
        Put16(&h[HBI_WORDS_61], static_cast<unsigned>(design.axles));
        Put16(&h[HBI_WORDS_61 + 2], static_cast<unsigned>(rng.Range(0, 20)));
        for (std::size_t k = HBI_BYTES_69; k <= DEM_BYTE_72; ++k) h[k] = static_cast<std::uint8_t>(rng.Range(0, 99));
        for (std::size_t k = 0; k < 3; ++k) h[HBI_BYTES_74 + k] = static_cast<std::uint8_t>(rng.Range(0, 250));
        for (std::size_t k = 0; k < 6; ++k) Put16(&h[HBI_WORDS_77 + 2 * k], static_cast<unsigned>(rng.Range(0, 999)));
        s.insert(s.end(), h, h + CURRENT_HEADER_LENGTH);

        for (const Axle& a : axles) {
            if (design.kind == 16) {
                const std::uint8_t r[5] = {a.b0, a.b1, static_cast<std::uint8_t>(a.load & 0xFF),
                                           a.Byte5(), a.b6};
                s.insert(s.end(), r, r + 5);
            } else {
                const std::uint8_t r[7] = {a.b0,
                                           a.b1,
                                           static_cast<std::uint8_t>(a.wheel1 & 0xFF),
                                           static_cast<std::uint8_t>(a.wheel2 & 0xFF),
                                           static_cast<std::uint8_t>(a.load & 0xFF),
                                           a.Byte5(),
                                           a.b6};
                s.insert(s.end(), r, r + 7);
            }
        }
        for (int k = 0; k < train.alarmEntries; ++k) {
            std::uint8_t e[4];
            const int axle = alarmAxles[static_cast<std::size_t>(k)];
            Put16(e, static_cast<unsigned>(axle));
            Put16(e + 2, axles[static_cast<std::size_t>(axle - 1)].alarmCode != 0 ? 0x0001 : 0x0100);
            if (!design.siteAlarms.empty()) {
                Put16(e, chosen[static_cast<std::size_t>(k)].axle);
                Put16(e + 2, chosen[static_cast<std::size_t>(k)].bits);
            }
            s.insert(s.end(), e, e + 4);
        }
        return train;
    }

    // Legacy stream: a 60-byte header of its own, then 4-byte axle records
    // followed by 3-byte alarm entries, or 5-byte records carrying their
    // alarm code when the hot wheel word is set.
    s[tp::FORMAT_VERSION] = 1;
    s[tp::HEADER_LENGTH] = static_cast<std::uint8_t>(LEGACY_HEADER_LENGTH);
    std::uint8_t h[LEGACY_HEADER_LENGTH] = {};
    Put16(&h[1], site.siteNumber);
    h[3] = static_cast<std::uint8_t>(speed);
    Put16(&h[4], static_cast<unsigned>(rng.Range(0, 999)));
    PutStamp(&h[6], design.time, 1900, 5);  // no seconds in the legacy header
    PutStamp(&h[11], second, 1900, 5);
    h[16] = design.track;
    h[17] = static_cast<std::uint8_t>(rng.Range(0, 99));
    std::memcpy(&h[18], &sim[0], 4);
    Put16(&h[22], static_cast<unsigned>(design.axles));
    Put16(&h[24], static_cast<unsigned>(design.axles * rng.Range(14, 18)));
    Put16(&h[26], static_cast<unsigned>(ecr) & 0xFFFF);
    Put16(&h[28], static_cast<unsigned>(rng.Range(0, 400)));
    h[30] = static_cast<std::uint8_t>(rng.Range(0, 9));
    h[31] = rng.Chance(90) ? static_cast<std::uint8_t>("RL"[rng.Range(0, 1)]) : 0;
    Put16(&h[32], static_cast<unsigned>(rng.Range(0, 400)));
    Put16(&h[34], static_cast<unsigned>(rng.Range(0, 400)));
    for (int k = 36; k <= 38; ++k) h[k] = static_cast<std::uint8_t>(rng.Range(0, 250));
    h[39] = design.hwd ? 1 : 0;
    for (int k = 45; k <= 51; k += 2) Put16(&h[k], static_cast<unsigned>(rng.Range(0, 300)));
    Put16(&h[53], design.trainNumber);
    h[55] = static_cast<std::uint8_t>(rng.Range(0, 9));
    h[57] = rng.Chance(90) ? static_cast<std::uint8_t>("NSEW"[rng.Range(0, 3)]) : 0;
    h[58] = rng.Chance(70) ? static_cast<std::uint8_t>("MT"[rng.Range(0, 1)]) : 0;
    s.insert(s.end(), h, h + LEGACY_HEADER_LENGTH);

    for (const Axle& a : axles) {
        const std::uint8_t r[5] = {a.b0, a.b1, static_cast<std::uint8_t>(a.load & 0xFF), a.b6,
                                   a.alarmCode};
        s.insert(s.end(), r, r + (train.legacyFiveByte ? 5 : 4));
    }
    for (int k = 0; k < train.alarmEntries; ++k) {
        std::uint8_t e[3];
        const int axle = alarmAxles[static_cast<std::size_t>(k)];
        Put16(e, static_cast<unsigned>(axle));
        e[2] = axles[static_cast<std::size_t>(axle - 1)].alarmCode;
        s.insert(s.end(), e, e + 3);
    }
    return train;
}

}  // namespace sitesim
