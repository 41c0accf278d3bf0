// The train history's file: opening it, telling a train history of this
// schema from an empty, foreign, older or damaged file, creating the tables
// and setting a file that cannot be used aside for a fresh one.
#include "records/TrainHistory.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "records/TrainHistorySql.h"

namespace {

using history_sql::Statement;

// The trains table under a name (the migration makes it beside the old
// one). Version 2 added what follows file_mtime and AUTOINCREMENT: an id
// is never given twice.
std::string TrainsTable(const char* name) {
    return std::string("CREATE TABLE ") + name + R"SQL((
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  site_id INTEGER NOT NULL,
  site_number INTEGER NOT NULL,
  site_name TEXT NOT NULL,
  unit_type TEXT NOT NULL,
  milepost REAL,
  track INTEGER NOT NULL,
  first_time TEXT NOT NULL,
  second_time TEXT NOT NULL,
  received TEXT NOT NULL,
  train_number INTEGER NOT NULL,
  axles INTEGER NOT NULL,
  cars INTEGER NOT NULL,
  hb_left_max INTEGER NOT NULL, hb_left_axle INTEGER NOT NULL,
  hb_right_max INTEGER NOT NULL, hb_right_axle INTEGER NOT NULL,
  hw_left_max INTEGER, hw_left_axle INTEGER,
  hw_right_max INTEGER, hw_right_axle INTEGER,
  maxed_left INTEGER NOT NULL, maxed_right INTEGER NOT NULL,
  alarm INTEGER NOT NULL,
  sim_codes TEXT NOT NULL,
  file TEXT NOT NULL UNIQUE,
  file_size INTEGER NOT NULL,
  file_mtime INTEGER NOT NULL,
  site_alarms INTEGER NOT NULL DEFAULT 0,
  header BLOB,
  journal_file TEXT,
  journal_offset INTEGER,
  journal_time TEXT,
  journal_radio_id INTEGER,
  journal_delivery INTEGER);
)SQL";
}

constexpr const char* kTrainIndexes = R"SQL(
CREATE INDEX trains_by_time ON trains(first_time, id);
CREATE INDEX trains_by_site ON trains(site_number, first_time);
CREATE INDEX trains_by_received ON trains(received, id);
)SQL";

constexpr const char* kSiteAlarmTable = R"SQL(
CREATE TABLE site_alarm_entries(
  train_id INTEGER NOT NULL,
  entry INTEGER NOT NULL,
  axle INTEGER NOT NULL,
  bits INTEGER NOT NULL,
  legacy INTEGER NOT NULL,
  PRIMARY KEY(train_id, entry)) WITHOUT ROWID;
)SQL";

constexpr const char* kOtherTables = R"SQL(
CREATE TABLE axles(
  train_id INTEGER NOT NULL,
  axle INTEGER NOT NULL,
  car INTEGER NOT NULL,
  car_start INTEGER NOT NULL,
  hb_left INTEGER NOT NULL,
  hb_right INTEGER NOT NULL,
  hw_left INTEGER,
  hw_right INTEGER,
  load INTEGER NOT NULL,
  slot_byte6 INTEGER,
  PRIMARY KEY(train_id, axle)) WITHOUT ROWID;
CREATE TABLE skipped(
  file TEXT PRIMARY KEY,
  file_size INTEGER NOT NULL,
  file_mtime INTEGER NOT NULL,
  reason TEXT NOT NULL);
)SQL";

// Version 3: one row per alarm of a train, with its acknowledgement. An
// alarm keeps its id while its report file is unchanged; ids are never
// given twice. The train's received time, site and numbers are copied in so
// the list needs no join.
constexpr const char* kAlarmTables = R"SQL(
CREATE TABLE alarms(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  train_id INTEGER NOT NULL,
  file TEXT NOT NULL,
  received TEXT NOT NULL,
  first_time TEXT NOT NULL,
  site_number INTEGER NOT NULL,
  site_id INTEGER NOT NULL,
  site_name TEXT NOT NULL,
  train_number INTEGER NOT NULL,
  kind TEXT NOT NULL,
  axle INTEGER NOT NULL,
  car INTEGER NOT NULL,
  axle_in_car INTEGER NOT NULL,
  side TEXT NOT NULL,
  reading INTEGER NOT NULL,
  reference INTEGER NOT NULL,
  threshold INTEGER NOT NULL,
  code INTEGER NOT NULL,
  text TEXT NOT NULL,
  ack_by TEXT,
  ack_time TEXT,
  ack_epoch INTEGER,
  ack_comment TEXT,
  announced INTEGER NOT NULL DEFAULT 0);
CREATE INDEX alarms_by_file ON alarms(file);
CREATE INDEX alarms_by_received ON alarms(received, id);
CREATE TABLE alarm_backlog(train_id INTEGER PRIMARY KEY);
)SQL";

// The columns of a version 1 trains row, all kept by the migration.
constexpr const char* kVersion1TrainColumns =
    "id, site_id, site_number, site_name, unit_type, milepost, track, first_time, second_time, "
    "received, train_number, axles, cars, hb_left_max, hb_left_axle, hb_right_max, hb_right_axle, "
    "hw_left_max, hw_left_axle, hw_right_max, hw_right_axle, maxed_left, maxed_right, alarm, "
    "sim_codes, file, file_size, file_mtime";

bool IsDamageCode(int rc) {
    rc &= 0xFF;
    return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
}

// What a file at `path` is, looked at through an open connection.
TrainHistory::OpenStatus Classify(sqlite3* db, std::string* why, std::int64_t* versionOut = nullptr) {
    Statement q(db, "SELECT (SELECT application_id FROM pragma_application_id), "
                    "(SELECT user_version FROM pragma_user_version), "
                    "(SELECT count(*) FROM sqlite_schema)");
    if (!q.Ok()) {
        const int rc = sqlite3_errcode(db);
        if (why != nullptr) *why = sqlite3_errmsg(db);
        return IsDamageCode(rc) ? TrainHistory::OpenStatus::Damaged : TrainHistory::OpenStatus::Failed;
    }
    const int rc = q.Step();
    if (rc != SQLITE_ROW) {
        if (why != nullptr) *why = sqlite3_errmsg(db);
        return IsDamageCode(rc) ? TrainHistory::OpenStatus::Damaged : TrainHistory::OpenStatus::Failed;
    }
    const std::int64_t app = q.Int(0), version = q.Int(1), objects = q.Int(2);
    if (versionOut != nullptr) *versionOut = version;
    if (app == 0 && version == 0 && objects == 0) return TrainHistory::OpenStatus::Missing;  // empty file
    if (app != HISTORY_APPLICATION_ID) {
        if (why != nullptr) *why = "not a train history";
        return TrainHistory::OpenStatus::Foreign;
    }
    if (version != HISTORY_SCHEMA_VERSION) {
        // Said as "another schema" whatever the version; OpenForUpdate and
        // the readers tell the older ones apart by *versionOut.
        if (why != nullptr)
            *why = "schema version " + std::to_string(version) + ", this program uses " +
                   std::to_string(HISTORY_SCHEMA_VERSION);
        return TrainHistory::OpenStatus::OtherSchema;
    }
    return TrainHistory::OpenStatus::Ok;
}

// The first of "<path>.replaced", "<path>.replaced-2", ... that is not
// taken, by the file or by its WAL files; empty when none is left.
std::string FreeAsideName(const std::string& path) {
    constexpr int kMostCopies = 1000;
    for (int n = 1; n <= kMostCopies; ++n) {
        const std::string aside = path + ".replaced" + (n == 1 ? "" : "-" + std::to_string(n));
        bool taken = false;
        struct stat st {};
        for (const char* suffix : {"", "-wal", "-shm"})
            if (::lstat((aside + suffix).c_str(), &st) == 0) taken = true;
        if (!taken) return aside;
    }
    return "";
}

// Moves the file (and its WAL files) to the first free aside name.
bool SetAside(const std::string& path, std::string* replaced, std::string* keptAs) {
    const std::string aside = FreeAsideName(path);
    if (aside.empty()) return false;
    if (replaced != nullptr) replaced->clear();
    for (const char* suffix : {"", "-wal", "-shm"})
        std::rename((path + suffix).c_str(), (aside + suffix).c_str());
    if (keptAs != nullptr) *keptAs = aside;
    TrainHistory::RemoveWalFiles(path);
    return true;
}

// PRAGMA quick_check of an open file: Ok, Damaged (with its first finding)
// or Failed (it could not be run: locked, out of memory, ...).
TrainHistory::OpenStatus PagesStatus(sqlite3* db, std::string* why) {
    // One finding is enough to tell: the check stops there.
    Statement q(db, "PRAGMA quick_check(1)");
    const int rc = q.Step();
    if (rc != SQLITE_ROW) {
        if (why != nullptr) *why = sqlite3_errmsg(db);
        return IsDamageCode(rc) || (!q.Ok() && IsDamageCode(sqlite3_errcode(db)))
                   ? TrainHistory::OpenStatus::Damaged
                   : TrainHistory::OpenStatus::Failed;
    }
    const std::string first = q.Text(0);
    if (first == "ok") return TrainHistory::OpenStatus::Ok;
    if (why != nullptr) *why = first;
    return TrainHistory::OpenStatus::Damaged;
}

}  // namespace

void TrainHistory::RemoveWalFiles(const std::string& path) {
    std::remove((path + "-wal").c_str());
    std::remove((path + "-shm").c_str());
}

bool TrainHistory::QuickCheck(std::string* why) {
    return PagesStatus(db_, why) == OpenStatus::Ok;
}

std::string HistoryPath(const std::string& dataFolder) { return dataFolder + HISTORY_FILE_NAME; }

TrainHistory::~TrainHistory() { sqlite3_close_v2(db_); }

std::string TrainHistory::LastError() const { return db_ != nullptr ? sqlite3_errmsg(db_) : ""; }

bool TrainHistory::Exec(const char* sql, std::string* why) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
    if (why != nullptr) *why = error != nullptr ? error : LastError();
    sqlite3_free(error);
    return false;
}

int TrainHistory::MigrateFrom1(std::string* why) {
    // The trains table is made anew (SQLite cannot add AUTOINCREMENT to a
    // table) with every row and id; the new columns start empty and the
    // next catch-up fills them from the journal where it holds the train.
    const std::string sql = std::string("BEGIN IMMEDIATE;") + TrainsTable("trains_v2") +
                            "INSERT INTO trains_v2(" + kVersion1TrainColumns + ") SELECT " +
                            kVersion1TrainColumns + " FROM trains;"
                            "DROP TABLE trains;"
                            "ALTER TABLE trains_v2 RENAME TO trains;" +
                            kTrainIndexes + "ALTER TABLE axles ADD COLUMN slot_byte6 INTEGER;" +
                            kSiteAlarmTable + "PRAGMA user_version=2; COMMIT;";
    if (Exec(sql.c_str(), why)) return SQLITE_OK;
    const int rc = sqlite3_extended_errcode(db_);
    Exec("ROLLBACK", nullptr);
    return rc != SQLITE_OK ? rc : SQLITE_ERROR;
}

int TrainHistory::MigrateFrom2(std::string* why) {
    // Every row and id stays; the alarms of the trains there are made by
    // the next catch-up, which has the rules.
    const std::string sql = std::string("BEGIN IMMEDIATE;") + kAlarmTables +
                            "INSERT INTO alarm_backlog(train_id) SELECT id FROM trains;"
                            "PRAGMA user_version=3; COMMIT;";
    if (Exec(sql.c_str(), why)) return SQLITE_OK;
    const int rc = sqlite3_extended_errcode(db_);
    Exec("ROLLBACK", nullptr);
    return rc != SQLITE_OK ? rc : SQLITE_ERROR;
}

std::unique_ptr<TrainHistory> TrainHistory::OpenForUpdate(const std::string& path, OpenStatus* status,
                                                          std::string* why) {
    auto set = [status](OpenStatus s) {
        if (status != nullptr) *status = s;
    };
    const FileIdentity file = IdentityOf(path);
    if (!file.exists || !file.regular) {
        set(file.exists ? OpenStatus::Foreign : OpenStatus::Missing);
        if (why != nullptr) *why = file.exists ? "not a regular file" : "no train history";
        return nullptr;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        if (why != nullptr) *why = db != nullptr ? sqlite3_errmsg(db) : "cannot open";
        sqlite3_close_v2(db);
        set(OpenStatus::Failed);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 5000);
    OpenStatus s = Classify(db, why);
    if (s == OpenStatus::Missing) {
        if (why != nullptr) *why = "an empty file, not a train history";
        s = OpenStatus::Foreign;
    }
    set(s);
    if (s != OpenStatus::Ok) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    return std::unique_ptr<TrainHistory>(new TrainHistory(db, path));
}

std::unique_ptr<TrainHistory> TrainHistory::OpenForReading(const std::string& path, OpenStatus* status,
                                                           std::string* why) {
    auto set = [status](OpenStatus s) {
        if (status != nullptr) *status = s;
    };
    const FileIdentity file = IdentityOf(path);
    if (!file.exists) {
        set(OpenStatus::Missing);
        if (why != nullptr) *why = "no train history";
        return nullptr;
    }
    if (!file.regular) {  // a FIFO would hold the open up for ever
        set(OpenStatus::Foreign);
        if (why != nullptr) *why = "not a regular file";
        return nullptr;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        if (why != nullptr) *why = db != nullptr ? sqlite3_errmsg(db) : "cannot open";
        sqlite3_close_v2(db);
        set(OpenStatus::Failed);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 5000);
    std::int64_t version = 0;
    OpenStatus s = Classify(db, why, &version);
    if (s == OpenStatus::Missing) {
        if (why != nullptr) *why = "an empty file, not a train history";
        s = OpenStatus::Foreign;
    }
    // A version 1 or 2 file that no collector has opened since this
    // version reads as before, without what came later (site data, alarms).
    if (s == OpenStatus::OtherSchema && (version == 1 || version == 2)) {
        s = OpenStatus::Ok;
        if (why != nullptr) why->clear();
    }
    set(s);
    if (s != OpenStatus::Ok) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    return std::unique_ptr<TrainHistory>(new TrainHistory(db, path, static_cast<int>(version)));
}

std::unique_ptr<TrainHistory> TrainHistory::OpenForWriting(const std::string& path, std::string* replaced,
                                                           std::string* why, std::string* keptAs) {
    // WAL files without their database belong to a file that was deleted
    // (or moved away): laid over a new database they would corrupt it.
    if (!IdentityOf(path).exists) TrainHistory::RemoveWalFiles(path);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const FileIdentity file = IdentityOf(path);
        if (file.exists && !file.regular) {
            // Not opened at all (a FIFO would hold the open up for ever).
            if (!SetAside(path, replaced, keptAs)) break;
            if (replaced != nullptr) *replaced = "not a regular file";
            continue;
        }
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
            SQLITE_OK) {
            if (why != nullptr) *why = db != nullptr ? sqlite3_errmsg(db) : "cannot open";
            sqlite3_close_v2(db);
            return nullptr;
        }
        sqlite3_busy_timeout(db, 1000);
        std::unique_ptr<TrainHistory> h(new TrainHistory(db, path));
        std::string reason;
        std::int64_t version = 0;
        OpenStatus s = Classify(db, &reason, &version);
        const bool older = s == OpenStatus::OtherSchema && (version == 1 || version == 2);
        // A sound header says nothing of the pages behind it.
        if (s == OpenStatus::Ok || older) s = PagesStatus(db, &reason);
        if (s == OpenStatus::Failed) {
            if (why != nullptr) *why = reason;
            return nullptr;
        }
        if (s == OpenStatus::Ok || s == OpenStatus::Missing) {
            // WAL: readers (the query tool, the console) never wait for the writer.
            if (!h->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-256;",
                         why))
                return nullptr;
            int migrated = older && version == 1 ? h->MigrateFrom1(&reason) : SQLITE_OK;
            if (older && migrated == SQLITE_OK) migrated = h->MigrateFrom2(&reason);
            if (migrated != SQLITE_OK) {
                const int rc = migrated & 0xFF;
                if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED || rc == SQLITE_FULL || rc == SQLITE_IOERR ||
                    rc == SQLITE_READONLY || rc == SQLITE_NOMEM) {
                    if (why != nullptr) *why = reason;
                    return nullptr;  // tried again at the next open
                }
                // An older version in name only: set aside like any file of another schema.
                reason = "schema version " + std::to_string(version) + " could not be brought to version " +
                         std::to_string(HISTORY_SCHEMA_VERSION) + ": " + reason;
                s = OpenStatus::OtherSchema;
            } else if (s == OpenStatus::Missing) {
                const std::string create = std::string("BEGIN;") + TrainsTable("trains") + kTrainIndexes +
                                           kSiteAlarmTable + kOtherTables + kAlarmTables +
                                           "PRAGMA application_id=" +
                                           std::to_string(HISTORY_APPLICATION_ID) +
                                           "; PRAGMA user_version=" +
                                           std::to_string(HISTORY_SCHEMA_VERSION) + "; COMMIT;";
                if (!h->Exec(create.c_str(), why)) return nullptr;
            }
            if (s != OpenStatus::OtherSchema) {
                // The lists are newest first by when a train came in; a file
                // made before that order lacks its index (a moment to build).
                h->Exec("CREATE INDEX IF NOT EXISTS trains_by_received ON trains(received, id);", nullptr);
                // Each radio's counts of the day, so a restart does not
                // start them again at 0 (added to version 3 files as well:
                // earlier programs leave a table they do not know alone).
                h->Exec("CREATE TABLE IF NOT EXISTS site_counts(radio_id INTEGER PRIMARY KEY, day INTEGER NOT "
                        "NULL, retried INTEGER NOT NULL, given_up INTEGER NOT NULL, frame_errors INTEGER NOT "
                        "NULL, last_heard INTEGER NOT NULL, last_powerup INTEGER NOT NULL);",
                        nullptr);
                h->identity_ = IdentityOf(path);  // a new file exists only now
                return h;
            }
        }
        // Damaged, foreign or another schema: set the file aside (nothing
        // is lost, the report files are the record) and start afresh.
        h.reset();
        if (!SetAside(path, replaced, keptAs)) break;
        if (replaced != nullptr) *replaced = reason;
    }
    if (why != nullptr) *why = "could not replace the file";
    return nullptr;
}
