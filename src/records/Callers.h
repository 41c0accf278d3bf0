#pragma once
// The caller registry: the sites that announced themselves with a Powerup.
#include <cstddef>
#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/CallerTable.h"
#include "common/Output.h"

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

// Fills the entry from a 17-byte Powerup payload and the radio identifier;
// bytes 3 to 11, 30 and 31 of the entry are left as they were. Returns the
// number of tracks.
std::uint8_t FillCallerEntry(CallerEntry& entry, const std::uint8_t* payload, std::uint8_t radioId);

// The listing text itself (CR LF line ends), from a copy of the table.
std::string FormatCallerListing(const CallerEntry* table, std::size_t count);

using CallerTable = std::array<CallerEntry, CALLER_TABLE_SIZE>;

// One collector's caller registry: 80 entries of 32 bytes, saved whole as
// "Callers.bin" in its data folder (2560 bytes, no header, multi-byte fields
// little-endian). The worker writes it; the listing and the views read it
// on other threads. Every access takes the registry's lock; readers work on
// a copy taken under it, so they never see a half-filled entry.
class CallerRegistry {
public:
    // `dataFolder` with a trailing "/".
    explicit CallerRegistry(std::string dataFolder);
    CallerRegistry(const CallerRegistry&) = delete;
    CallerRegistry& operator=(const CallerRegistry&) = delete;

    // Registers the site of a 17-byte Powerup payload: fills its
    // first-track entry (copied to *filled), adds its second track when it
    // has two, saves the table. False, with nothing changed, when the table
    // has no room. A second track that finds no room is told to the
    // operator ("ERROR NOT ENOUGH SPACE FOR CALLERS"); a failed save is
    // logged; both on `out`.
    bool Register(std::uint8_t radioId, const std::uint8_t* payload, CallerEntry* filled, IOutput& out);

    // Creates or refreshes the second-track entry of the site from its
    // filled first-track entry. False when the table is full.
    bool AddSecondTrack(const CallerEntry& firstTrack, std::uint8_t radioId);

    // Writes the whole table to "Callers.bin". False when the file could not
    // be written (one dark-red line on `out` then; the previous file stays).
    bool Save(IOutput& out);

    // Removes the temporary files that writers killed in the middle of a
    // write left in the data folder, "Z918E" and "Temp", then loads
    // "Callers.bin" into the table. False when the file cannot be opened, is
    // no regular file or is shorter than 2560 bytes (a short file still
    // fills the table from its start; the rest keeps what it held). *used:
    // the entries in use. A file of another size than 2560 bytes is first
    // copied aside as "Callers.bin.<size>-bytes" (then "-2", "-3", ...,
    // never over another copy; a copy with the same bytes is used again),
    // since the next save writes it over; one line on `out` names the copy.
    bool Load(int* used = nullptr, IOutput* out = nullptr);

    // Writes the listing "Temp/RemoteCaller.txt" and gives its path. False
    // with the operator's text in *why ("There are NO callers in our list",
    // "ERROR:\nFailed to create temporary file"). Opening a viewer is the
    // caller's business.
    bool List(std::string* listingPath, std::string* why) const;

    CallerTable Snapshot() const;
    void Replace(const CallerTable& table);
    const std::string& Folder() const { return folder_; }
    std::string FilePath() const;

private:
    CallerEntry* FindEntry(std::uint8_t id, std::uint8_t track);

    const std::string folder_;
    mutable std::mutex mutex_;
    CallerTable table_{};
};
