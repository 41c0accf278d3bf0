#include "records/TrainReport.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "common/LogLine.h"
#include "common/TrainRecord.h"
#include "platform/AtomicFile.h"

namespace {

// Texts of the system message codes 1 to 51 (index 0 unused). Held as
// characters rather than pointers so the table needs no relocation and
// stays in read-only memory; a text too long for a row does not compile.
constexpr std::size_t SYSTEM_MESSAGE_ROW = 40;  // longest text and its 0
constexpr char SYSTEM_MESSAGES[][SYSTEM_MESSAGE_ROW] = {
    "",
    "AC Power Failure",
    "Calibration Not Complete",
    "Cold Train - Deviation Failure Ch 1",
    "Cold Train - Deviation Failure Ch 2",
    "Cold Train - No Minimum Heat Ch 1",
    "Cold Train - No Minimum Heat Ch 2",
    "Configuration Corrupted",
    "Deviation Failure Ch3",
    "Dragger Alarms Exceed Number Spoken",
    "Failed Init HWD System",
    "Failed Voice Radio Transmitter",
    "Heat Integ Test Fail Ch1",
    "Heat Integ Test Fail Ch2",
    "High Load Alarms Exceed Number Spoken",
    "Hot Wheel/Hot Box Axle Mismatch",
    "HWD AC Power Failure",
    "HWD Calibration Not Complete",
    "HWD Configuration Corrupted",
    "HWD Heat Integ Test Fail Ch3",
    "HWD Heat Integ Test Fail Ch4",
    "HWD Low Voltage",
    "HWD No Approach Track Circuit",
    "HWD Power Reset Since Last Train",
    "HWD Slow Train",
    "HWD Transducer Signal Miscount",
    "Journal Alarms Exceed Number Spoken",
    "Low Voltage",
    "Missed Some Axles From Hot Wheel",
    "No Approach Track Circuit",
    "No Response From Hot Wheel",
    "Power Failure",
    "Power Reset Since Last Train",
    "Scanner Malfunction Channel 1",
    "Scanner Malfunction Channel 2",
    "Slow Train",
    "Stuck Dragger During Train Passage",
    "Stuck Dragger Train Arrival",
    "Stuck High Load 1",
    "Stuck High Load 2",
    "Stuck Wide Load 1",
    "Stuck Wide Load 2",
    "Train Too Slow Override Active",
    "Transducer Signal Miscount",
    "Wheel Alarms Exceed Number Spoken",
    "Wide Load 1 Alarms Exceed Number Spoken",
    "Wide Load 2 Alarms Exceed Number Spoken",
    "CRITICAL ERROR: UNKNOWN TEXT TO SDM",
    "HBD System Normal",
    "DED System Normal",
    "HWD System Normal",
    "CWD System Normal",
};
constexpr std::size_t SYSTEM_MESSAGE_COUNT = sizeof SYSTEM_MESSAGES / sizeof SYSTEM_MESSAGES[0] - 1;
static_assert(SYSTEM_MESSAGE_COUNT == 51);

constexpr std::uint8_t CAR_START = 0x80;

// Fixed values printed in the HBI record.
constexpr int HBI_FIXED[] = {90, 120, 132, 900, 300, 200};

// Accumulates the records of one report: the stored bytes (each LF stored
// as CR LF) and the character count of the texts as formatted, modulo 65536.
class ReportText {
public:
    ReportText() { stored_.reserve(4096); }

    void Record(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        char text[1024];
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        if (n < 0) return;
        std::size_t length = static_cast<std::size_t>(n);
        if (length >= sizeof text) length = sizeof text - 1;
        Raw(text, length);
    }
    // A record already formatted.
    void Raw(const char* text, std::size_t length) {
        charCount_ = static_cast<std::uint16_t>(charCount_ + length);
        const char* end = text + length;
        while (text < end) {
            const auto* lf = static_cast<const char*>(std::memchr(text, '\n', static_cast<std::size_t>(end - text)));
            if (lf == nullptr) {
                stored_.append(text, end);
                break;
            }
            stored_.append(text, lf);
            stored_ += "\r\n";
            text = lf + 1;
        }
    }
    std::uint16_t CharCount() const { return charCount_; }
    std::string Take() { return std::move(stored_); }

private:
    std::string stored_;
    std::uint16_t charCount_ = 0;  // reportCharCount: wraps at 16 bits
};

int U8(const std::uint8_t* h, std::size_t i) { return h[i]; }
int U16(const std::uint8_t* h, std::size_t i) { return ReadLe16(h + i); }
// A character field of the header: a 0 byte prints as "?".
int Char(const std::uint8_t* h, std::size_t i) { return h[i] == 0 ? '?' : h[i]; }

char* Put(char* p, const char* text) {
    while (*text != 0) *p++ = *text++;
    return p;
}

// The decimal digits of value, at least `width` of them (zeros in front),
// as "%0<width>d" prints a non-negative number.
char* PutPadded(char* p, unsigned value, int width) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = n; i < width; ++i) *p++ = '0';
    while (n > 0) *p++ = digits[--n];
    return p;
}

// A 10-bit value: the low byte and two top bits from slot byte 5.
int TenBit(const AxleSlot& slot, std::size_t lowByte, unsigned shift) {
    return (((slot.bytes[5] >> shift) & 0x03) << 8) | slot.bytes[lowByte];
}

void WriteDem(ReportText& out, const std::uint8_t* h) {
    using namespace th;
    const std::size_t a = FIRST_STAMP, b = SECOND_STAMP;
    out.Record("DEM 00502 %c%c%05d %04d%02d%02d %02d%02d%02d %04d%02d%02d %02d%02d%02d %03d %c 120 %04d ? ? %c 0 E ",
               Char(h, DIRECTION), Char(h, TRAIN_KIND), U16(h, TRAIN_NUMBER), U8(h, a) + 2000,
               U8(h, a + 1), U8(h, a + 2), U8(h, a + 3), U8(h, a + 4), U8(h, a + 5),
               U8(h, b) + 2000, U8(h, b + 1), U8(h, b + 2), U8(h, b + 3), U8(h, b + 4),
               U8(h, b + 5), 0, 'Y', U16(h, SPEED), Char(h, SIDE));
    out.Record("%03d %03d %03d %c %c %c %c %05d %c %02d %02d ", U8(h, AMBIENT), U8(h, TRACK),
               U8(h, DEM_BYTE_72), (h[FLAGS] & 0x02) ? 'E' : 'A', 'N', 'F', 'N',
               U16(h, DEM_WORD_37), 'G', 0, 0);
    out.Record("%03d %03d %04d ", U16(h, CAR_COUNT), 0, U16(h, AXLE_COUNT));
    out.Record("%04d %02d %03d %03d T\r\n", U16(h, SITE_NUMBER), 1, U8(h, TRACK), U8(h, AMBIENT));
}

void WriteHbi(ReportText& out, const std::uint8_t* h) {
    using namespace th;
    out.Record("HBI PRTALLQUIN DUNSCANNER %04d %04d %03d %03d %03d %03d %03d %03d F %03d %03d %03d "
               "%03d %03d %03d %03d %03d %03d %03d %03d %03d %c %03d %03d0 %03d0 %03d F %04d %02d "
               "%02d %03d\n",
               U16(h, HBI_WORDS_61), U16(h, HBI_WORDS_61 + 2), U8(h, HBI_BYTES_74),
               U8(h, HBI_BYTES_74 + 1), U8(h, HBI_BYTES_74 + 2), HBI_FIXED[0], HBI_FIXED[1],
               HBI_FIXED[2], HBI_FIXED[3], HBI_FIXED[4], HBI_FIXED[5], U16(h, HBI_WORDS_77 + 6),
               U16(h, HBI_WORDS_77 + 4), U16(h, HBI_WORDS_41 + 2), U16(h, HBI_WORDS_41 + 4),
               U16(h, HBI_WORDS_77 + 8), U16(h, HBI_WORDS_77 + 10), U16(h, HBI_WORDS_77),
               U16(h, HBI_WORDS_77 + 2), U16(h, HBI_WORDS_41), '1', 128, U8(h, HBI_BYTES_69),
               U8(h, HBI_BYTES_69 + 1), U8(h, HBI_BYTES_69 + 2), U16(h, TRAIN_LENGTH),
               U8(h, HBI_BYTE_47), U8(h, HBI_BYTE_54), 128);
}

void WriteEcr(ReportText& out, const std::uint8_t* h) {
    const std::uint16_t raw = static_cast<std::uint16_t>(U16(h, th::ECR));
    if (raw == 0xFFFF) {
        out.Record("ECR XXXXX F XXXXX X XXXXX X XXXXX X XXXX XXXX X XXX XXX XXXXX XXXXX X XXXXX X XXXX X\n");
        return;
    }
    const int value = static_cast<std::int16_t>(raw);
    out.Record("ECR %c%03d0 F XXXXX X XXXXX X XXXXX X XXXX XXXX X XXX XXX XXXXX XXXXX X XXXXX X XXXX X\n",
               value < 0 ? '-' : '+', value < 0 ? -value : value);
}

void WriteAxles(ReportText& out, const std::uint8_t* h, const AxleSlot* slots) {
    // The header's axle count is trusted up to the size of the slot table.
    std::size_t axles = static_cast<std::size_t>(U16(h, th::AXLE_COUNT));
    if (axles > MAX_AXLES) axles = MAX_AXLES;
    const bool withHwd = (h[th::FLAGS] & 0x01) != 0;
    int car = 0;
    for (std::size_t i = 0; i < axles; ++i) {
        const AxleSlot& slot = slots[i];
        const int axle = static_cast<int>(i) + 1;
        if (slot.bytes[5] & CAR_START) {
            ++car;
            int carAxles = 1;
            for (std::size_t j = i + 1; j < axles && !(slots[j].bytes[5] & CAR_START); ++j) ++carAxles;
            out.Record("RRE*%03d*%c*    *0000000000*U* *G*N*?*00*00*%03d*%02d*%02d\r\n", axle, '?',
                       U8(h, th::TRACK), carAxles, 1);
        }
        // The two records of every axle are the bulk of a report: they are
        // put together directly, exactly as
        //   "HBD %03d %04d 1 N N F %03d0 %03d0 E %05d0\r\n" and
        //   "HWD %03d %04d %04d %04d F N N P\r\n" print them.
        char line[64];
        char* p = line;
        p = Put(p, "HBD ");
        p = PutPadded(p, static_cast<unsigned>(car), 3);
        p = Put(p, " ");
        p = PutPadded(p, static_cast<unsigned>(axle), 4);
        p = Put(p, " 1 N N F ");
        p = PutPadded(p, slot.bytes[0], 3);
        p = Put(p, "0 ");
        p = PutPadded(p, slot.bytes[1], 3);
        p = Put(p, "0 E ");
        p = PutPadded(p, static_cast<unsigned>(TenBit(slot, 4, 4)), 5);
        p = Put(p, "0\r\n");
        out.Raw(line, static_cast<std::size_t>(p - line));
        if (withHwd) {
            p = line;
            p = Put(p, "HWD ");
            p = PutPadded(p, static_cast<unsigned>(car), 3);
            p = Put(p, " ");
            p = PutPadded(p, static_cast<unsigned>(axle), 4);
            p = Put(p, " ");
            p = PutPadded(p, static_cast<unsigned>(TenBit(slot, 2, 0)), 4);
            p = Put(p, " ");
            p = PutPadded(p, static_cast<unsigned>(TenBit(slot, 3, 2)), 4);
            p = Put(p, " F N N P\r\n");
            out.Raw(line, static_cast<std::size_t>(p - line));
        }
    }
}

void WriteSim(ReportText& out, const std::uint8_t* h) {
    const struct { std::size_t first; int group; } groups[] = {{th::SIM_CODES_1, 10}, {th::SIM_CODES_2, 40}};
    for (const auto& g : groups) {
        for (std::size_t k = 0; k < th::SIM_CODES_PER_GROUP; ++k) {
            const std::uint8_t code = h[g.first + k];
            if (code == 0) continue;
            const char* text = code <= SYSTEM_MESSAGE_COUNT ? SYSTEM_MESSAGES[code] : "";
            out.Record("SIM 01 003 %03d %-64s\n", g.group, text);
        }
    }
}

// True when the report's bytes may go to `path`: nothing stands there, or
// the same report does (the train received again). A file that cannot be
// read is another train's as far as the writer knows.
// True when the file at `path` holds exactly these bytes.
bool HoldsBytes(const std::string& path, const std::string& bytes) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size != bytes.size()) return false;
    std::ifstream in(path, std::ios::binary);
    std::string held(bytes.size(), '\0');
    return in.read(held.data(), static_cast<std::streamsize>(held.size())) && held == bytes;
}

bool MayWriteReport(const std::string& path, const std::string& bytes) {
    std::error_code error;
    // Nothing there, or nothing that can be looked at (the write will say).
    if (!std::filesystem::exists(path, error)) return true;
    return HoldsBytes(path, bytes);
}

// "<name>-<n>.txt" for the report path "<name>.txt".
std::string NumberedPath(const std::string& path, int n) {
    const std::size_t dot = path.size() - 4;  // every report name ends in ".txt"
    return path.substr(0, dot) + "-" + std::to_string(n) + path.substr(dot);
}

}  // namespace

std::string TrainReportFileName(const std::uint8_t* h) {
    char name[96];
    std::snprintf(name, sizeof name, "%4d%02d%02d_%02d%02d.GEM.HBD.%05d.txt",
                  U8(h, th::FIRST_STAMP) + 2000, U8(h, th::FIRST_STAMP + 1), U8(h, th::FIRST_STAMP + 2),
                  U8(h, th::FIRST_STAMP + 3), U8(h, th::FIRST_STAMP + 4), U16(h, th::TRAIN_NUMBER));
    return name;
}

const char* SystemMessageText(int code) {
    return code >= 1 && code <= static_cast<int>(SYSTEM_MESSAGE_COUNT) ? SYSTEM_MESSAGES[code] : "";
}

int SystemMessageCode(const std::string& text) {
    if (text.empty()) return 0;
    for (std::size_t code = 1; code <= SYSTEM_MESSAGE_COUNT; ++code)
        if (text == SYSTEM_MESSAGES[code]) return static_cast<int>(code);
    return 0;
}

std::string TrainReportPath(const std::string& dataFolder, const std::uint8_t* header) {
    return dataFolder + REPORT_FOLDER + "/" + TrainReportFileName(header);
}

std::string FormatTrainReport(const std::uint8_t* header, const AxleSlot* axleSlots) {
    ReportText out;
    WriteDem(out, header);
    WriteHbi(out, header);
    WriteEcr(out, header);
    WriteAxles(out, header, axleSlots);
    WriteSim(out, header);
    out.Record("EOC %010u\n", static_cast<unsigned>(out.CharCount()));
    return out.Take();
}

bool StoreTrainReport(const std::string& namedPath, const std::string& bytes,
                      std::string* writtenPath, std::string* why) {
    const std::filesystem::path folder = std::filesystem::path(namedPath).parent_path();
    std::error_code ignored;
    std::filesystem::create_directory(folder, ignored);  // a failure shows up below
    std::string path = namedPath;
    for (int n = 2; !MayWriteReport(path, bytes); ++n) path = NumberedPath(namedPath, n);
    if (writtenPath != nullptr) *writtenPath = path;
    errno = 0;
    if (WriteFileAtomically(path, bytes.data(), bytes.size()) == AtomicWriteResult::Ok) return true;
    const int error = errno;
    if (why != nullptr) *why = error != 0 ? std::strerror(error) : "the write failed";
    return false;
}

bool TrainReportInPlace(const std::string& namedPath, const std::string& bytes, std::string* foundPath) {
    // The names are taken in turn, so the first that is free ends the search.
    for (int n = 1;; ++n) {
        const std::string path = n == 1 ? namedPath : NumberedPath(namedPath, n);
        std::error_code error;
        if (!std::filesystem::exists(path, error)) return false;
        if (HoldsBytes(path, bytes)) {
            if (foundPath != nullptr) *foundPath = path;
            return true;
        }
    }
}

bool WriteTrainReport(const std::string& dataFolder, const std::uint8_t* header,
                      const AxleSlot* axleSlots, IOutput& log, std::string* writtenPath,
                      std::string* why) {
    const std::string named = TrainReportPath(dataFolder, header);
    std::string path;
    const bool written = StoreTrainReport(named, FormatTrainReport(header, axleSlots), &path, why);
    if (writtenPath != nullptr) *writtenPath = path;
    if (path != named) {
        LogLine(log, COLOUR_DARK_RED, "Train report %s exists for another train; written as %s\n",
                named.c_str(), path.c_str());
    }
    if (!written) {
        LogLine(log, COLOUR_DARK_RED, "ERROR: Could not write train report %s\n", path.c_str());
        return false;
    }
    return true;
}
