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

#include "common/CallerTable.h"

constexpr std::size_t POWERUP_PAYLOAD_SIZE = 17;

// Site types.
constexpr std::uint8_t SITE_TYPE_HALVOR = 1;
constexpr std::uint8_t SITE_TYPE_TALLQUIN = 2;
constexpr std::uint8_t SITE_TYPE_RVX_PT = 3;

// The 32 file bytes of an entry and back (little-endian whatever the host).
void EncodeCallerEntry(const CallerEntry& entry, std::uint8_t out[CALLER_ENTRY_SIZE]);
void DecodeCallerEntry(const std::uint8_t in[CALLER_ENTRY_SIZE], CallerEntry& entry);

// "Halvor", "Tallquin", "RVX-PT" or "Unkwn (<n>)".
std::string SiteTypeName(std::uint8_t siteType);

// Registers the site of a 17-byte Powerup payload: fills its first-track
// entry (copied to *filled), adds its second track when it has two, saves
// the table. False, with nothing changed, when the table has no room.
bool RegisterCaller(std::uint8_t radioId, const std::uint8_t* payload, CallerEntry* filled);

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
