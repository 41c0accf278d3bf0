#pragma once
// The event journal: what happens at a collection point besides its trains,
// for the control office. "Journal/Events-YYYYMMDD.kj" in the data folder
// (one file per local date), framed as the train journal is (docs/records.md):
//
// A file: an 8-byte header ("KSTE", version 1 as u32), then the records.
// A record: u32 body length, u32 CRC-32C of the body, the body (u32 values
// little-endian): i64 time (seconds since 1970), then the event as the text
// of one JSON object whose "type" names it ("alarm", "ack", "powerup",
// "link", "transfer-given-up", "site"; the fields in docs/office.md).
//
// Several programs append to the same file (the collector, kestova-trains
// --ack, the uplink applying an office acknowledgement): each record is one
// write with O_APPEND under an exclusive flock, followed by fdatasync. An
// appender that finds a torn end (a record cut by a crash) cuts it before it
// writes, under the same lock; the collector also cuts torn ends at start.
// Files older than TRAIN_JOURNAL_KEEP_DAYS are removed at the collector's
// start. Nothing here names the point: the uplink builds the office's keys.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/Output.h"

struct AlarmFields;

constexpr std::uint32_t EVENT_JOURNAL_VERSION = 1;
constexpr std::size_t EVENT_JOURNAL_HEADER_SIZE = 8;
constexpr std::size_t EVENT_JOURNAL_RECORD_HEAD = 8;  // length and CRC
constexpr std::size_t EVENT_JOURNAL_BODY_FIXED = 8;   // the time before the text
// A longer body is no record of ours (an event is a few hundred bytes).
constexpr std::uint32_t EVENT_JOURNAL_MAX_BODY = 64u * 1024;

struct JournalEvent {
    std::int64_t time = 0;
    std::string json;
    std::uint64_t offset = 0;  // of the record in its file (set when read)
};

std::string EventJournalHeader();
// One record as it is appended; a text longer than the body allows is cut
// by the caller's builders long before (false from AppendEvent otherwise).
std::string EncodeEventRecord(std::int64_t time, const std::string& json);
// Reads an event journal file's bytes (from its start): the records up to
// the first torn one go to `events` when given. Returns how many bytes from
// the start are sound: 0 for a file shorter than its header or not an event
// journal (see `isJournal`).
std::size_t DecodeEventJournal(const std::string& bytes, std::vector<JournalEvent>* events,
                               bool* isJournal = nullptr);

// "Events-YYYYMMDD.kj" for the local date of `now`; the date of such a name
// (0 for any other name).
std::string EventJournalFileName(std::time_t now);
long EventJournalDate(const std::string& fileName);

// What one appender remembers between its appends: per file, the size it
// left it at with whole records, so that an append that finds the file so
// need not read it first. Each appender that writes often keeps its own
// (PointEventJournal does); thread-safe.
class EventAppendCache {
public:
    bool Knows(const std::string& path, std::int64_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto known = sizes_.find(path);
        return known != sizes_.end() && known->second == size;
    }
    void Left(const std::string& path, std::int64_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        sizes_[path] = size;
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::int64_t> sizes_;
};

// Appends one event at `time` to the data folder's file of today's local
// date (`dataFolder` with a trailing "/"), flushed to the disk. False, with the
// reason, when it could not be written; nothing of it stays then. Without a
// `cache` the file is read (and a torn end cut) before every append.
bool AppendEvent(const std::string& dataFolder, std::int64_t time, const std::string& json, std::string* why,
                 EventAppendCache* cache = nullptr);

// At the collector's start: removes event files older than
// TRAIN_JOURNAL_KEEP_DAYS and cuts the torn ends of the others (one line
// each on `log`).
void OpenEventJournalAtStart(const std::string& dataFolder, std::time_t now, IOutput& log);

// The events as JSON text (strings as records/HistoryText.h's JsonString
// writes them: any byte outside printable ASCII as its code point).
// Where an alarm's train stands in the train journal: its file's date and
// its record's offset (date 0: the train is in no journal; the office cannot
// name it).
struct TrainJournalPlace {
    long date = 0;
    std::uint64_t offset = 0;
};
TrainJournalPlace TrainJournalPlaceOf(const std::string& journalFile, std::uint64_t offset);

// A new alarm of a train.
std::string AlarmEventJson(const AlarmFields& alarm, const TrainJournalPlace& train, int radioId, int siteNumber,
                           int trainNumber, const std::string& trendJson = "");
// An acknowledgement; source "point" (made at this point) or "office".
std::string AckEventJson(const AlarmFields& alarm, const TrainJournalPlace& train, const std::string& by,
                         const std::string& comment, std::int64_t at, const char* source);
std::string PowerupEventJson(int radioId, int siteNumber, int track);
std::string LinkEventJson(bool lost, const std::string& device);
std::string TransferGivenUpEventJson(int radioId, int siteNumber);

// A site's health as the point knows it.
struct SiteHealthEvent {
    int siteNumber = 0, radioId = 0;
    std::string name;
    int milepost = -1;          // tenths; -1: not known
    int track = 0;
    bool silent = false;
    int lastCode = 0;           // the last system message code (0: none)
    std::int64_t lastCall = 0;  // last heard, s since 1970; 0: never
    std::int64_t lastTrain = 0;

    bool operator==(const SiteHealthEvent&) const = default;
};
std::string SiteEventJson(const SiteHealthEvent& site);
