#pragma once
// The caller table's entry: 32 bytes, one per site that announced itself;
// the table holds 80 (records/Callers.h keeps it).
#include <cstddef>
#include <cstdint>

constexpr std::size_t CALLER_ENTRY_SIZE = 32;
constexpr std::size_t CALLER_TABLE_SIZE = 80;
constexpr std::size_t CALLERS_FILE_SIZE = CALLER_ENTRY_SIZE * CALLER_TABLE_SIZE;  // 2560

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
