#pragma once
// The caller registry: the sites that announced themselves with a Powerup.
//
// callerTable holds 80 entries of 32 bytes, saved whole as "Callers.bin"
// (2560 bytes, no header, multi-byte fields little-endian). The worker writes
// the table; the listing reads it on another thread. Every access goes
// through callerTableMutex; the listing works on a copy taken under it, so it
// never shows a half-filled entry.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

struct CollectorContext;

constexpr std::size_t CALLER_ENTRY_SIZE = 32;
constexpr std::size_t CALLER_TABLE_SIZE = 80;
constexpr std::size_t CALLERS_FILE_SIZE = CALLER_ENTRY_SIZE * CALLER_TABLE_SIZE;  // 2560
constexpr std::size_t POWERUP_PAYLOAD_SIZE = 17;

// Site types.
constexpr std::uint8_t SITE_TYPE_HALVOR = 1;
constexpr std::uint8_t SITE_TYPE_TALLQUIN = 2;
constexpr std::uint8_t SITE_TYPE_RVX_PT = 3;

#pragma pack(push, 1)
struct CallerEntry {
    std::uint8_t radioId;        // 0 = free entry
    std::uint16_t milepost;      // tenths of a mile
    std::uint8_t date[2];        // listed as byte 1 "/" byte 0
    std::uint8_t time[2];        // listed as byte 0 ":" byte 1
    std::uint16_t axles;
    std::uint16_t trainNumber;
    std::uint8_t unused11;
    std::uint16_t siteNumber;    // adjusted for the track
    std::uint8_t track;
    std::uint8_t trackCount;
    std::uint8_t powerupByte6;
    char segment[3];             // two characters and a 0
    char unitText[8];            // seven characters and a 0
    std::uint8_t powerupByte16;
    std::uint8_t siteType;       // SITE_TYPE_*
    std::uint8_t unused30[2];
};
#pragma pack(pop)
static_assert(sizeof(CallerEntry) == CALLER_ENTRY_SIZE);
static_assert(offsetof(CallerEntry, milepost) == 1 && offsetof(CallerEntry, date) == 3 &&
              offsetof(CallerEntry, time) == 5 && offsetof(CallerEntry, axles) == 7 &&
              offsetof(CallerEntry, trainNumber) == 9 && offsetof(CallerEntry, siteNumber) == 12 &&
              offsetof(CallerEntry, track) == 14 && offsetof(CallerEntry, trackCount) == 15 &&
              offsetof(CallerEntry, powerupByte6) == 16 && offsetof(CallerEntry, segment) == 17 &&
              offsetof(CallerEntry, unitText) == 20 && offsetof(CallerEntry, powerupByte16) == 28 &&
              offsetof(CallerEntry, siteType) == 29);

extern CallerEntry callerTable[CALLER_TABLE_SIZE];
extern std::mutex callerTableMutex;

// The 32 file bytes of an entry and back (little-endian whatever the host).
void EncodeCallerEntry(const CallerEntry& entry, std::uint8_t out[CALLER_ENTRY_SIZE]);
void DecodeCallerEntry(const std::uint8_t in[CALLER_ENTRY_SIZE], CallerEntry& entry);

// "Halvor", "Tallquin", "RVX-PT" or "Unkwn (<n>)".
std::string SiteTypeName(std::uint8_t siteType);

// Registers the site of the Powerup in rxBuffer, saves, logs, acknowledges.
void HandlePowerup(CollectorContext& ctx);

// Fills the entry from a 17-byte Powerup payload and the radio identifier;
// bytes 3 to 11, 30 and 31 of the entry are left as they were. Returns the
// number of tracks. The caller holds callerTableMutex when the entry is one
// of callerTable.
std::uint8_t FillCallerEntry(CallerEntry& entry, const std::uint8_t* payload, std::uint8_t radioId);

// Creates or refreshes the second-track entry of the site from its filled
// first-track entry. Takes callerTableMutex itself (the caller must not hold
// it); shows "ERROR NOT ENOUGH SPACE FOR CALLERS" when the table is full.
void AddSecondTrackCaller(const CallerEntry& firstTrack, std::uint8_t radioId);

// Writes the whole table to "Callers.bin": 0, -1 when the file cannot be
// created, -2 when the write fails (the previous file then stays as it was).
int SaveCallers();

// Loads "Callers.bin" into the table; the number of used entries, or -1 when
// the file cannot be opened or is shorter than 2560 bytes (a short file still
// fills the table from its start; the rest keeps what it held).
int LoadCallers();

// Writes the listing "Temp/RemoteCaller.txt" and stores its path. Shows the
// documented message boxes and returns false when there is nothing to list
// or the file cannot be created. Opening a viewer is the caller's business.
bool ListCallers(std::string* listingPath);

// The listing text itself (CR LF line ends), from a copy of the table.
std::string FormatCallerListing(const CallerEntry* table, std::size_t count);
