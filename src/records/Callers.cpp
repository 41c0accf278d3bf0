#include "records/Callers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "common/Bytes.h"
#include "common/LogLine.h"
#include "platform/AtomicFile.h"

namespace {

constexpr const char* CALLERS_FILE_NAME = "Callers.bin";
constexpr const char* LISTING_FOLDER = "Temp";
constexpr const char* LISTING_FILE_NAME = "Temp/RemoteCaller.txt";

void TableImage(const CallerTable& table, std::uint8_t image[CALLERS_FILE_SIZE]) {
    for (std::size_t i = 0; i < CALLER_TABLE_SIZE; ++i)
        EncodeCallerEntry(table[i], image + i * CALLER_ENTRY_SIZE);
}

bool SameContent(const std::string& a, const std::string& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    if (!x || !y) return false;
    return std::equal(std::istreambuf_iterator<char>(x), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(y), std::istreambuf_iterator<char>());
}

// Copies a registry file of the wrong size to the first free name of
// "Callers.bin.<size>-bytes", "...-bytes-2", ..., before anything can
// write the file over. A copy with the same bytes is already kept and
// serves again. False with the reason in *why when no copy could be made.
bool KeepWrongSizedFile(const std::string& path, std::uintmax_t size, std::string* copy,
                        std::string* why) {
    constexpr int kMostCopies = 1000;
    const std::string base = path + "." + std::to_string(size) + "-bytes";
    for (int n = 1; n <= kMostCopies; ++n) {
        *copy = base + (n == 1 ? "" : "-" + std::to_string(n));
        std::error_code ec;
        if (std::filesystem::exists(std::filesystem::symlink_status(*copy, ec))) {
            if (SameContent(path, *copy)) return true;
            continue;
        }
        if (std::filesystem::copy_file(path, *copy, std::filesystem::copy_options::none, ec)) return true;
        *why = ec.message();
        return false;
    }
    *why = "every name up to " + *copy + " is taken";
    return false;
}

}  // namespace

void EncodeCallerEntry(const CallerEntry& e, std::uint8_t out[CALLER_ENTRY_SIZE]) {
    out[0] = e.radioId;
    WriteLe16(out + 1, e.milepost);
    std::memcpy(out + 3, e.date, 2);
    std::memcpy(out + 5, e.time, 2);
    WriteLe16(out + 7, e.axles);
    WriteLe16(out + 9, e.trainNumber);
    out[11] = e.unused11;
    WriteLe16(out + 12, e.siteNumber);
    out[14] = e.track;
    out[15] = e.trackCount;
    out[16] = e.powerupByte6;
    std::memcpy(out + 17, e.segment, 3);
    std::memcpy(out + 20, e.unitText, 8);
    out[28] = e.powerupByte16;
    out[29] = e.siteType;
    std::memcpy(out + 30, e.unused30, 2);
}

void DecodeCallerEntry(const std::uint8_t in[CALLER_ENTRY_SIZE], CallerEntry& e) {
    e.radioId = in[0];
    e.milepost = ReadLe16(in + 1);
    std::memcpy(e.date, in + 3, 2);
    std::memcpy(e.time, in + 5, 2);
    e.axles = ReadLe16(in + 7);
    e.trainNumber = ReadLe16(in + 9);
    e.unused11 = in[11];
    e.siteNumber = ReadLe16(in + 12);
    e.track = in[14];
    e.trackCount = in[15];
    e.powerupByte6 = in[16];
    std::memcpy(e.segment, in + 17, 3);
    std::memcpy(e.unitText, in + 20, 8);
    e.powerupByte16 = in[28];
    e.siteType = in[29];
    std::memcpy(e.unused30, in + 30, 2);
}

std::string SiteTypeName(std::uint8_t siteType) {
    switch (siteType) {
        case SITE_TYPE_HALVOR: return "Halvor";
        case SITE_TYPE_TALLQUIN: return "Tallquin";
        case SITE_TYPE_RVX_PT: return "RVX-PT";
        default: break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "Unkwn (%d)", static_cast<int>(siteType));
    return text;
}

std::uint8_t FillCallerEntry(CallerEntry& entry, const std::uint8_t* payload, std::uint8_t radioId) {
    entry.radioId = radioId;
    entry.milepost = ReadLe16(payload + 0);
    entry.siteNumber = ReadLe16(payload + 2);
    entry.trackCount = payload[4];
    entry.track = payload[5];
    if (entry.track > 1)
        entry.siteNumber = static_cast<std::uint16_t>(entry.siteNumber + entry.track - 1);
    entry.powerupByte6 = payload[6];
    std::memcpy(entry.segment, payload + 7, 2);
    entry.segment[2] = '\0';
    std::memcpy(entry.unitText, payload + 9, 7);
    entry.unitText[7] = '\0';
    entry.powerupByte16 = payload[16];
    entry.siteType = std::memcmp(entry.unitText, "TAL", 3) == 0 ? SITE_TYPE_TALLQUIN : SITE_TYPE_HALVOR;
    return entry.trackCount;
}

CallerRegistry::CallerRegistry(std::string dataFolder) : folder_(std::move(dataFolder)) {}

std::string CallerRegistry::FilePath() const { return folder_ + CALLERS_FILE_NAME; }

// The first entry of `id` on `track`, else the first free entry, else null.
// The lock is held.
CallerEntry* CallerRegistry::FindEntry(std::uint8_t id, std::uint8_t track) {
    for (auto& entry : table_)
        if (entry.radioId == id && entry.track == track) return &entry;
    for (auto& entry : table_)
        if (entry.radioId == 0) return &entry;
    return nullptr;
}

bool CallerRegistry::AddSecondTrack(const CallerEntry& firstTrack, std::uint8_t radioId) {
    std::lock_guard<std::mutex> lock(mutex_);
    CallerEntry* second = FindEntry(radioId, 2);
    if (second == nullptr) return false;
    *second = firstTrack;
    second->siteNumber = static_cast<std::uint16_t>(second->siteNumber + 1);
    second->track = 2;
    return true;
}

bool CallerRegistry::Register(std::uint8_t radioId, const std::uint8_t* payload, CallerEntry* filled,
                              IOutput& out) {
    std::uint8_t tracks = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        CallerEntry* entry = FindEntry(radioId, 1);
        if (entry == nullptr) return false;
        tracks = FillCallerEntry(*entry, payload, radioId);
        *filled = *entry;
    }
    if (tracks > 1 && !AddSecondTrack(*filled, radioId))
        TellOperator(out, "ERROR NOT ENOUGH SPACE FOR CALLERS");
    Save(out);
    return true;
}

bool CallerRegistry::Save(IOutput& out) {
    std::uint8_t image[CALLERS_FILE_SIZE];
    {
        std::lock_guard<std::mutex> lock(mutex_);
        TableImage(table_, image);
    }
    const std::string path = FilePath();
    if (WriteFileAtomically(path, image, sizeof image) == AtomicWriteResult::Ok) return true;
    // The site is registered in memory and acknowledged all the same, but a
    // restart would forget it: the operator must hear that the file is stale.
    LogLine(out, COLOUR_DARK_RED, "ERROR: Could not write the caller registry %s\n", path.c_str());
    return false;
}

bool CallerRegistry::Load(int* used, IOutput* out) {
    if (used != nullptr) *used = 0;
    // Writers killed in the middle of a write (a power cut, SIGKILL) leave
    // their temporary files behind; the files they were replacing are whole.
    for (const char* folder : {"", "Z918E", LISTING_FOLDER})
        RemoveStaleTempFiles(folder_ + folder);

    const std::string path = FilePath();
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);  // a FIFO or a folder of that name holds no registry
        return false;
    }
    // The next save writes 2560 bytes over a file of another size: what it
    // held is copied aside first (an empty file holds nothing to keep).
    if (st.st_size != static_cast<off_t>(CALLERS_FILE_SIZE) && st.st_size != 0) {
        std::string copy, why;
        const auto size = static_cast<unsigned long long>(st.st_size);
        if (KeepWrongSizedFile(path, size, &copy, &why)) {
            if (out != nullptr)
                LogLine(*out, COLOUR_DARK_RED,
                        "The caller registry %s has %llu bytes, not %zu: it is kept as %s\n",
                        path.c_str(), size, CALLERS_FILE_SIZE, copy.c_str());
        } else if (out != nullptr) {
            LogLine(*out, COLOUR_DARK_RED,
                    "ERROR: The caller registry %s has %llu bytes, not %zu, and could not be copied "
                    "aside (%s): the next Powerup writes it over\n",
                    path.c_str(), size, CALLERS_FILE_SIZE, why.c_str());
        }
    }
    std::uint8_t bytes[CALLERS_FILE_SIZE];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = ::read(fd, bytes + got, sizeof bytes - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);

    std::lock_guard<std::mutex> lock(mutex_);
    // A short file overwrites the start of the table only, down to part of
    // an entry; everything behind it keeps what it held.
    std::uint8_t image[CALLERS_FILE_SIZE];
    TableImage(table_, image);
    std::memcpy(image, bytes, got);
    for (std::size_t i = 0; i < CALLER_TABLE_SIZE; ++i)
        DecodeCallerEntry(image + i * CALLER_ENTRY_SIZE, table_[i]);
    if (used != nullptr)
        for (const auto& entry : table_)
            if (entry.radioId != 0) ++*used;
    return got == sizeof bytes;
}

CallerTable CallerRegistry::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return table_;
}

void CallerRegistry::Replace(const CallerTable& table) {
    std::lock_guard<std::mutex> lock(mutex_);
    table_ = table;
}

namespace {

// A text field of an entry as the listing shows it: up to its 0 or the end
// of the field, with control characters from the air shown as '.', so a
// site's bytes cannot move the viewer's cursor or break the listing's lines.
template <std::size_t N>
void ListingText(const char (&field)[N], char (&out)[N + 1]) {
    std::size_t i = 0;
    for (; i < N && field[i] != 0; ++i) {
        const auto c = static_cast<unsigned char>(field[i]);
        out[i] = (c < 0x20 || c == 0x7F) ? '.' : field[i];
    }
    out[i] = 0;
}

}  // namespace

std::string FormatCallerListing(const CallerEntry* table, std::size_t count) {
    std::string text = "ID_ Milepost   Trk#   Site-ID    Seg   Halvor_   Trn#   Date_  Time_  Axles\r\n";
    text.append(75, '=');
    text += "\r\n";
    for (std::size_t i = 0; i < count; ++i) {
        const CallerEntry& e = table[i];
        if (e.radioId == 0) continue;
        // The texts are bounded to their fields: an entry loaded from a file
        // need not carry the terminating 0, and must not run into the next.
        char segment[sizeof e.segment + 1];
        char unitText[sizeof e.unitText + 1];
        ListingText(e.segment, segment);
        ListingText(e.unitText, unitText);
        char line[256];
        std::snprintf(line, sizeof line,
                      "%03d %4d.%1d     %4d     %05u    %3.3s   %7.8s   %4d   %02d/%02d  %02d:%02d  %5d %d\r\n",
                      static_cast<int>(e.radioId), static_cast<int>(e.milepost / 10),
                      static_cast<int>(e.milepost % 10), static_cast<int>(e.track),
                      static_cast<unsigned>(e.siteNumber), segment, unitText,
                      static_cast<int>(e.trainNumber), static_cast<int>(e.date[1]),
                      static_cast<int>(e.date[0]), static_cast<int>(e.time[0]),
                      static_cast<int>(e.time[1]), static_cast<int>(e.axles),
                      static_cast<int>(e.powerupByte16));
        text += line;
    }
    text += "\r\n\r\n";
    return text;
}

bool CallerRegistry::List(std::string* listingPath, std::string* why) const {
    const CallerTable copy = Snapshot();
    bool any = false;
    for (const auto& entry : copy)
        if (entry.radioId != 0) any = true;
    if (!any) {
        if (why != nullptr) *why = "There are NO callers in our list";
        return false;
    }
    std::error_code ignored;
    std::filesystem::create_directory(folder_ + LISTING_FOLDER, ignored);
    const std::string path = folder_ + LISTING_FILE_NAME;
    const std::string text = FormatCallerListing(copy.data(), copy.size());
    if (WriteFileAtomically(path, text.data(), text.size()) != AtomicWriteResult::Ok) {
        if (why != nullptr) *why = "ERROR:\nFailed to create temporary file";
        return false;
    }
    if (listingPath != nullptr) *listingPath = path;
    return true;
}
