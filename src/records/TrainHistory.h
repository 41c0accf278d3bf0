#pragma once
// The train history "Trains.sqlite" in the data folder: an index of the
// train report files, one row per report and one per axle, so the trains of
// a site and the axles of a train are found without reading files. The
// report files stay the record: the index is written right after each
// report and brought up to date from the report folder at start (or rebuilt
// whole when it is missing, damaged or of another schema).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/CallerTable.h"
#include "common/TrainRecord.h"
#include "platform/Paths.h"
#include "records/ReportParser.h"

struct sqlite3;

constexpr const char* HISTORY_FILE_NAME = "Trains.sqlite";
constexpr int HISTORY_SCHEMA_VERSION = 3;
// PRAGMA application_id of the file: "KTRN".
constexpr std::int32_t HISTORY_APPLICATION_ID = 0x4B54524E;

// What the registry knows of a site (one entry: one track of a site).
struct SiteInfo {
    std::uint8_t radioId = 0;
    std::uint16_t siteNumber = 0;
    std::uint8_t track = 0;
    std::uint8_t trackCount = 0;
    std::string name;       // the unit text of its Powerup
    std::string unitType;   // "Halvor", "Tallquin", ...
    int milepost = 0;       // tenths
};

// What the site sent that its report file does not carry, from the train's
// journal record: the alarm entries it announced, slot byte 6 of each axle,
// the prefix and header as assembled, and where the record is. The engine
// assembles it; the history only stores it.
struct SiteData {
    std::vector<SiteAlarmEntry> alarms;
    std::vector<std::uint8_t> axleByte6;   // slot byte 6 of axle 1, 2, ...
    std::vector<std::uint8_t> header;      // the 12-byte prefix and the 112-byte header
    std::int64_t receivedAt = 0;           // seconds since 1970
    int radioId = 0;
    int delivery = 0;                      // 1 All-in-One, 2 blocks
    std::string journalFile;               // name inside "Journal/"
    std::uint64_t journalOffset = 0;
};

// One train row.
struct TrainRow {
    std::int64_t id = 0;
    int siteId = 0;              // radio identifier; 0 when no registry entry matched
    int siteNumber = 0;          // the header's site number, plus track - 1 beyond track 1
    std::string siteName, unitType;
    int milepost = 0;            // tenths; 0 when not known
    int track = 0;
    std::string firstTime, secondTime, received;  // "YYYY-MM-DD HH:MM:SS", local time
    int trainNumber = 0, axles = 0, cars = 0;
    int hotBoxMax[2] = {0, 0}, hotBoxMaxAxle[2] = {0, 0};     // left, right
    int hotWheelMax[2] = {-1, -1}, hotWheelMaxAxle[2] = {0, 0};  // -1: no hot-wheel data
    int maxed[2] = {0, 0};       // readings at their maximum, per side
    std::string simCodes;        // "48,50"; 0 for a code without a text
    std::string file;            // name inside the report folder
    std::int64_t fileSize = 0;
    int siteAlarms = 0;          // alarm entries the site announced
    std::string journalFile;     // "" when the history has no site data of the train
    std::int64_t journalOffset = 0;

    bool HasAlarm() const { return maxed[0] + maxed[1] + siteAlarms > 0; }
};

// One alarm of a train as the engine's alarm model gives it (engine/Alarms.h,
// docs/alarms.md), in plain data: the history stores what it is handed.
struct AlarmFields {
    std::string kind;          // "site", "hot-box", "hot-wheel", "side-difference", "outlier", "equipment"
    int axle = 0;              // 1-based; 0 for an equipment message
    int car = 0, axleInCar = 0;  // 0 where the train has no car starts
    std::string side;          // "left", "right", "none"
    int reading = -1, reference = -1, threshold = -1;  // -1: none
    int code = 0;              // site alarm bits or legacy code; equipment: the message code
    std::string text;          // one line for people ("hot-box axle 12 (car 3, axle 2) left: reading 170 above 120")
};

// A stored alarm, with its train and its acknowledgement.
struct AlarmRow : AlarmFields {
    std::int64_t id = 0;       // stays while the report file is unchanged (through --rebuild too)
    std::int64_t trainId = 0;
    std::string received;      // the train's received time, "YYYY-MM-DD HH:MM:SS" local time
    std::string firstTime;     // the train's first time stamp (site time)
    int siteNumber = 0, siteId = 0, trainNumber = 0;
    std::string siteName;      // from the registry when the train was indexed; may hold any byte
    std::string file;          // the report file's name
    bool acknowledged = false;
    std::string ackBy, ackTime, ackComment;  // who, when (local time text), why; "" when not
    std::int64_t ackEpoch = 0;               // when, seconds since 1970; 0 when not
};

// A train as the trend rule follows it from site to site.
struct TrainPassRow {
    TrainRow row;
    char direction = 0;  // the header's direction character; 0 when none or not stored
};

struct AlarmFilter {
    int siteNumber = -1;       // -1: every site
    std::string fromDate;      // "YYYY-MM-DD" of the received time, inclusive; "" = open
    std::string toDate;        // inclusive
    bool unacknowledgedOnly = false;
};

struct TrainFilter {
    int siteNumber = -1;         // -1: every site (or those of siteNumbers)
    std::string fromDate;        // "YYYY-MM-DD", inclusive; "" = open
    std::string toDate;          // inclusive
    bool alarmsOnly = false;
    std::vector<int> siteNumbers;  // any of these, or siteNumber; both unset: every site
    std::int64_t maxId = 0;      // > 0: only rows of that id or below (a list held still)
};

// Columns a list can be ordered by. Ties go by first time stamp and id;
// Received and Id by id alone, so a train indexed later comes later.
enum class TrainOrder { Time, Site, TrainNumber, Axles, Cars, HotBox, Received, Id, Radio, Track, HotWheel,
                        Maxed, Messages };

// One radio's counts of a local day (yyyymmdd), and when it was last heard
// and powered up (seconds since 1970, 0: never), as the collector kept them.
struct SiteDayCounts {
    int radioId = 0;
    int day = 0;
    int retried = 0, givenUp = 0, frameErrors = 0;
    std::int64_t lastHeard = 0, lastPowerup = 0;
};

struct SiteTrainStats {
    int siteNumber = 0;
    int siteId = 0;
    std::string lastTrain;       // first time stamp of its newest train
    std::string lastReceived;
    int trainsToday = 0;
    int trainsWeek = 0;
    int lastSimCode = 0;         // newest train's last system message code (0: none)
};

struct CatchUpResult {
    int indexed = 0;
    int removed = 0;
    int skipped = 0;             // damaged report files
    int siteDataFilled = 0;      // rows that got their site data from the journal only now
    int alarmsMade = 0;          // trains of an older history whose alarms were made only now
    bool rebuilt = false;
    bool ok = true;
};

class TrainHistory {
public:
    enum class OpenStatus { Ok, Missing, Foreign, OtherSchema, Damaged, Failed };

    ~TrainHistory();
    TrainHistory(const TrainHistory&) = delete;
    TrainHistory& operator=(const TrainHistory&) = delete;

    // Opens the file for reading only; fails (with the reason) when it is
    // missing, not a train history, of another schema or damaged.
    static std::unique_ptr<TrainHistory> OpenForReading(const std::string& path, OpenStatus* status,
                                                        std::string* why);
    // Opens an existing history of this schema for small writes (an
    // acknowledgement) beside a running collector: nothing is created,
    // checked or replaced; fails as OpenForReading does, and on a file of
    // an older schema (the collector brings it up to date at its start).
    static std::unique_ptr<TrainHistory> OpenForUpdate(const std::string& path, OpenStatus* status,
                                                       std::string* why);
    // Opens for writing, creating the file; a file that is damaged (its
    // header, or its pages by PRAGMA quick_check), not a train history or of
    // another schema is replaced by an empty one (`replaced` says why). The
    // old file is kept beside it under the first free name of
    // "Trains.sqlite.replaced", ".replaced-2", ".replaced-3", ... (never
    // over an earlier copy), given in *keptAs. Null when even that fails.
    static std::unique_ptr<TrainHistory> OpenForWriting(const std::string& path, std::string* replaced,
                                                        std::string* why, std::string* keptAs = nullptr);

    // False once the file this was opened on is no longer at its path
    // (deleted, or another file put in its place).
    bool IsCurrentFile() const { return IdentityOf(path_) == identity_; }

    // Removes "<path>-wal" and "<path>-shm": call only when no connection of
    // this process has the file at `path` open.
    static void RemoveWalFiles(const std::string& path);

    // PRAGMA quick_check: false with its first finding (or SQLite's error)
    // in *why when the file's pages are damaged.
    bool QuickCheck(std::string* why);

    // What makes a train's alarms: the parsed report and its site data (null
    // when there is none). The engine gives one (HistoryAlarmMaker); without
    // one a train indexed again keeps the alarms it had, a new one gets none.
    using AlarmMaker = std::function<std::vector<AlarmFields>(const ParsedReport&, const SiteData*)>;
    void SetAlarmMaker(AlarmMaker maker) { alarmMaker_ = std::move(maker); }

    // Indexes one report file (replacing its earlier row) in one
    // transaction. `received` is "YYYY-MM-DD HH:MM:SS"; siteId 0 looks the
    // site up in `sites` by site number and track. `site`, when given, is
    // stored with it (unless its header names another train). The row gets
    // a new id, never one used before. The train's alarms are stored with
    // it; an alarm the file's earlier row had (same kind, axle and side,
    // and message code for an equipment alarm) keeps its id and its
    // acknowledgement. `added`, given when the train was reported live,
    // gets its alarms not handed out so before (each alarm once, also when
    // a catch-up indexed the file first); they are marked as handed out.
    bool IndexReport(const std::string& path, int siteId, const std::string& received,
                     const std::vector<SiteInfo>& sites, std::string* why,
                     const SiteData* site = nullptr, std::vector<AlarmRow>* added = nullptr);

    // The site data of a report file by its name in the report folder
    // (false when there is none); catch-up and rebuild ask it.
    using SiteDataLookup = std::function<bool(const std::string& reportName, SiteData* out)>;

    // Brings the index up to date with the report folder: new or changed
    // files are indexed, rows of files that are gone are removed. A file
    // that cannot be read as a report is skipped (once: it is remembered
    // until it changes) and named through `damaged`. With a lookup, new
    // rows get their site data, and rows without any get it once the
    // lookup has it (so too every row of a history just brought to
    // version 2).
    using Progress = std::function<void(int done, int total)>;
    using Damaged = std::function<void(const std::string& file, const std::string& why)>;
    CatchUpResult CatchUp(const std::string& reportFolder, const std::vector<SiteInfo>& sites,
                          const Progress& progress, const Damaged& damaged, std::string* why,
                          const SiteDataLookup& lookup = nullptr);
    // Indexes every file of the folder again; the rows of files unchanged
    // since they were indexed keep their ids, damaged files are tried (and
    // told) again.
    CatchUpResult Rebuild(const std::string& reportFolder, const std::vector<SiteInfo>& sites,
                          const Progress& progress, const Damaged& damaged, std::string* why,
                          const SiteDataLookup& lookup = nullptr);

    std::int64_t CountTrains(const TrainFilter& filter);
    // Newest first by default; `ascending` turns the order round.
    std::vector<TrainRow> ListTrains(const TrainFilter& filter, std::int64_t offset, int limit,
                                     TrainOrder order = TrainOrder::Time, bool ascending = false);
    std::optional<TrainRow> Train(std::int64_t id);
    std::vector<ReportAxle> Axles(std::int64_t trainId);
    // The alarm entries the site announced for the train, as received.
    std::vector<SiteAlarmEntry> SiteAlarms(std::int64_t trainId);
    // Per site number: trains received since `today` and since `weekStart`
    // ("YYYY-MM-DD", local time).
    std::vector<SiteTrainStats> SiteStats(const std::string& today, const std::string& weekStart);
    // The `site_counts` table: every radio's row (none in a file no collector
    // of this version has written), and one row stored in place of its old one.
    std::vector<SiteDayCounts> SiteCounts();
    bool StoreSiteCounts(const SiteDayCounts& counts, std::string* why);
    // The report files that could not be read as reports (the `skipped` table).
    std::vector<std::string> SkippedFiles();

    // The trains received up to `seconds` before or after the train of the
    // report file `file` (that train first, then the closest in time), at
    // most `limit`; empty when the file has no row.
    std::vector<TrainPassRow> TrainsReceivedNear(const std::string& file, std::int64_t seconds, int limit);
    // Adds alarms to a stored train that its report alone does not make (a
    // trend across sites), in one transaction: each one the train does not
    // have yet (same kind, axle, side and code). `added`, when given, gets
    // the new ones, marked handed out. Such alarms stay with the train when
    // its report is indexed again.
    bool AddAlarms(std::int64_t trainId, const std::vector<AlarmFields>& alarms, std::vector<AlarmRow>* added,
                   std::string* why);

    // The alarm list: unacknowledged alarms first, then newest first by the
    // train's received time (then by id, newest first). limit -1: all.
    // Empty for a file older than version 3.
    std::vector<AlarmRow> ListAlarms(const AlarmFilter& filter, std::int64_t offset, int limit);
    std::int64_t CountAlarms(const AlarmFilter& filter);
    std::int64_t CountUnacknowledged();
    // Moves on whenever another connection (another program, the recorder)
    // committed a change to the file since this one last looked.
    std::int64_t DataVersion();
    std::optional<AlarmRow> AlarmById(std::int64_t id);
    // Marks the alarm acknowledged by `by` (an operator's name, not empty),
    // now, with an optional comment. False, with the reason in *why, for an
    // unknown id, one already acknowledged, or a history that cannot be
    // written (open it with OpenForWriting or OpenForUpdate).
    // The acknowledgement also goes to the data folder's event journal
    // (records/EventJournal.h) for the control office, when the alarm's
    // train is in the train journal. `source` is "point" (an operator here)
    // or "office" (applied by the uplink); `at` 0 is now.
    bool AcknowledgeAlarm(std::int64_t id, const std::string& by, const std::string& comment,
                          std::string* why, const char* source = "point", std::int64_t at = 0);
    // The alarm of the train in train journal file `journalDate` at `offset`
    // with that kind, axle, side and code (the office's alarm key); 0 when
    // there is none.
    std::int64_t FindAlarm(long journalDate, std::uint64_t offset, const std::string& kind, int axle,
                           const std::string& side, int code);
    // The train in train journal file `journalDate` at `offset` (the
    // office's train key); 0 when the history has none.
    std::int64_t TrainAtJournalPlace(long journalDate, std::uint64_t offset);

    // Makes a running catch-up stop at its next batch (from any thread); what
    // it indexed so far stays, the rest is done by the next catch-up.
    void Cancel() { cancelled_.store(true); }

    // The last SQLite error text.
    std::string LastError() const;
    sqlite3* Handle() { return db_; }

private:
    // The event journal's record of an acknowledgement just stored.
    void JournalAcknowledgement(std::int64_t id, const std::string& by, const std::string& comment,
                                std::int64_t at, const char* source);
    // Before the n-th write (from 0) of a long pass: every kBatchFiles
    // writes the open transaction is committed and the next begun, and a
    // cancel takes effect there (Failed: rolled back, `why` says why).
    enum class BatchStep { Go, Cancelled, Failed };
    BatchStep BeforeBatchedWrite(int n, std::string* why);
    TrainHistory(sqlite3* db, std::string path, int version = HISTORY_SCHEMA_VERSION)
        : db_(db), path_(std::move(path)), identity_(IdentityOf(path_)), version_(version) {}
    bool Exec(const char* sql, std::string* why);
    // Rows of version 1 are brought to version 2 in place, ids and all:
    // SQLITE_OK, or the error code (the file is left as it was).
    int MigrateFrom1(std::string* why);
    // Version 2 to 3: the alarm table; every train's alarms are made at the
    // next catch-up (the alarm_backlog table lists them).
    int MigrateFrom2(std::string* why);
    // Makes the alarms of the trains in alarm_backlog: the count, -1 on failure.
    int FillAlarms(std::string* why);
    // Replaces the alarms of a train (kept ids and acknowledgements by key).
    bool StoreAlarms(std::int64_t trainId, const std::string& file, const ParsedReport& report,
                     const SiteData* site, std::vector<AlarmRow>* added, std::string* why);
    CatchUpResult Sync(const std::string& reportFolder, const std::vector<SiteInfo>& sites,
                       const Progress& progress, const Damaged& damaged, std::string* why,
                       const SiteDataLookup& lookup, bool everyFile);
    int FillSiteData(const SiteDataLookup& lookup, std::string* why);
    // keepId 0: a new id.
    bool InsertParsed(const ParsedReport& report, const std::string& file, std::int64_t size,
                      std::int64_t mtime, int siteId, const std::string& received,
                      const std::vector<SiteInfo>& sites, std::int64_t keepId, const SiteData* site,
                      std::string* why, std::vector<AlarmRow>* added = nullptr);
    bool StoreSiteData(std::int64_t trainId, const SiteData& site, std::string* why);
    sqlite3* db_ = nullptr;
    std::string path_;
    FileIdentity identity_;
    int version_ = HISTORY_SCHEMA_VERSION;  // a reader may look at a version 1 file
    std::atomic<bool> cancelled_{false};
    AlarmMaker alarmMaker_;
};

// The path of the history in a data folder (ending in '/').
std::string HistoryPath(const std::string& dataFolder);
// Local time as "YYYY-MM-DD HH:MM:SS".
std::string LocalTimeText(std::int64_t secondsSinceEpoch);
// The registry as the history sees it, from a copy of the caller table.
std::vector<SiteInfo> RegistrySites(const CallerEntry* table, std::size_t count);
// "48,50" as texts, "; "-separated.
std::string SimCodeTexts(const std::string& codes);
