#include "records/ReportParser.h"

#include <charconv>
#include <cstring>

#include "records/TrainReport.h"

namespace {

bool Number(std::string_view text, long& value) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && p == end;
}

// The blank-separated fields of a record, at most 16 (a record with more is
// not one of ours: the count says so).
struct FieldList {
    std::string_view at[16];
    std::size_t count = 0;
    std::size_t size() const { return count; }
    const std::string_view& operator[](std::size_t i) const { return at[i]; }
    const std::string_view& back() const { return at[count - 1]; }
};

FieldList Fields(std::string_view line, char separator) {
    FieldList fields;
    std::size_t start = 0;
    while (start < line.size()) {
        std::size_t at = line.find(separator, start);
        if (at == std::string_view::npos) at = line.size();
        if (at > start) {
            if (fields.count == 16) {
                fields.count = 17;  // too many
                return fields;
            }
            fields.at[fields.count++] = line.substr(start, at - start);
        }
        start = at + 1;
    }
    return fields;
}

// "YYYYMMDD" and "HHMMSS" into "YYYY-MM-DD HH:MM:SS".
bool Stamp(std::string_view date, std::string_view time, std::string& out) {
    if (date.size() != 8 || time.size() != 6) return false;
    long ignored;
    if (!Number(date, ignored) || !Number(time, ignored)) return false;
    out.assign(date.substr(0, 4));
    out += '-';
    out += date.substr(4, 2);
    out += '-';
    out += date.substr(6, 2);
    out += ' ';
    out += time.substr(0, 2);
    out += ':';
    out += time.substr(2, 2);
    out += ':';
    out += time.substr(4, 2);
    return true;
}

bool Fail(std::string* why, const char* text) {
    if (why != nullptr) *why = text;
    return false;
}

// The DEM record: its fixed-width front (the header's character bytes may be
// anything, blanks included), then its numeric tail read from the right.
bool ParseDem(std::string_view dem, ParsedReport& out) {
    static constexpr std::string_view kLead = "DEM 00502 ";
    if (dem.substr(0, kLead.size()) != kLead || dem.size() < 50) return false;
    long number;
    if (!Number(dem.substr(12, 5), number)) return false;
    out.trainNumber = static_cast<std::uint16_t>(number);
    if (dem[17] != ' ' || dem[26] != ' ' || dem[33] != ' ' || dem[42] != ' ') return false;
    if (!Stamp(dem.substr(18, 8), dem.substr(27, 6), out.firstTime)) return false;
    if (!Stamp(dem.substr(34, 8), dem.substr(43, 6), out.secondTime)) return false;
    // The tail has 26 fields; only the last eight are read, from the right.
    std::string_view rest = dem.substr(49);
    std::size_t cut = rest.size();
    for (int blanks = 0; cut > 0; --cut) {
        if (rest[cut - 1] == ' ' && ++blanks == 9) break;
    }
    const FieldList tail = Fields(rest.substr(cut), ' ');
    if (tail.size() < 8 || tail.size() > 16 || tail.back() != "T") return false;
    const std::size_t n = tail.size();
    long track, site, axles, cars;
    if (!Number(tail[n - 3], track) || !Number(tail[n - 5], site) ||
        !Number(tail[n - 6], axles) || !Number(tail[n - 8], cars))
        return false;
    out.track = static_cast<std::uint8_t>(track);
    out.headerSiteNumber = static_cast<std::uint16_t>(site);
    out.axleCount = static_cast<std::uint16_t>(axles);
    return true;
}

}  // namespace

bool ParseTrainReport(std::string_view bytes, ParsedReport& out, std::string* why) {
    out = ParsedReport{};
    // Characters as the writer counted them: every stored CR LF was one LF.
    std::uint16_t counted = 0;
    const std::size_t eoc = bytes.rfind("EOC ");
    if (eoc == std::string_view::npos) return Fail(why, "no EOC record");
    for (std::size_t i = 0; i < eoc; ++i)
        if (!(bytes[i] == '\r' && i + 1 < eoc && bytes[i + 1] == '\n')) ++counted;
    long eocCount;
    std::string_view eocLine = bytes.substr(eoc + 4);
    if (eocLine.size() != 12 || eocLine.substr(10) != "\r\n" ||
        !Number(eocLine.substr(0, 10), eocCount))
        return Fail(why, "the EOC record is damaged");
    if (eocCount != counted) return Fail(why, "the EOC count does not match the records");

    const std::size_t demEnd = bytes.find("T\r\r\n");
    if (demEnd == std::string_view::npos || !ParseDem(bytes.substr(0, demEnd + 1), out))
        return Fail(why, "the DEM record is damaged");

    out.axles.reserve(out.axleCount);
    bool nextIsCarStart = false;
    std::size_t pos = demEnd + 4;
    while (pos < eoc) {
        std::size_t lf = bytes.find('\n', pos);
        if (lf == std::string_view::npos || lf > eoc) lf = eoc;
        std::string_view line = bytes.substr(pos, lf - pos);
        pos = lf + 1;
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::string_view tag = line.substr(0, 3);
        if (tag == "RRE") {
            nextIsCarStart = true;
            ++out.cars;
        } else if (tag == "HBD") {
            const auto f = Fields(line, ' ');
            long car, axle, left, right, load;
            if (f.size() != 11 || !Number(f[1], car) || !Number(f[2], axle) ||
                !Number(f[7], left) || !Number(f[8], right) || !Number(f[10], load))
                return Fail(why, "an HBD record is damaged");
            ReportAxle a;
            a.axle = static_cast<std::uint16_t>(axle);
            a.car = static_cast<std::uint16_t>(car);
            a.carStart = nextIsCarStart;
            a.hotBoxLeft = static_cast<std::uint8_t>(left / 10);
            a.hotBoxRight = static_cast<std::uint8_t>(right / 10);
            a.load = static_cast<std::uint16_t>(load / 10);
            out.axles.push_back(a);
            nextIsCarStart = false;
        } else if (tag == "HWD") {
            const auto f = Fields(line, ' ');
            long left, right;
            if (out.axles.empty() || f.size() != 9 || !Number(f[3], left) || !Number(f[4], right))
                return Fail(why, "an HWD record is damaged");
            out.axles.back().hotWheelLeft = static_cast<std::int16_t>(left);
            out.axles.back().hotWheelRight = static_cast<std::int16_t>(right);
            out.hotWheels = true;
        } else if (tag == "SIM") {
            if (line.size() < 15) return Fail(why, "a SIM record is damaged");
            std::string_view text = line.substr(15);
            while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
            out.simCodes.push_back(SystemMessageCode(std::string(text)));
        } else if (tag != "HBI" && tag != "ECR") {
            return Fail(why, "an unknown record");
        }
    }
    if (out.axles.size() != (out.axleCount < 1200 ? out.axleCount : 1200u))
        return Fail(why, "the axle records do not match the axle count");
    return true;
}
