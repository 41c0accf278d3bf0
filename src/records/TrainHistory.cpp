#include "records/TrainHistory.h"

#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>

#include "records/Callers.h"
#include "records/TrainReport.h"

namespace {

constexpr const char* kSchema = R"SQL(
CREATE TABLE trains(
  id INTEGER PRIMARY KEY,
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
  file_mtime INTEGER NOT NULL);
CREATE INDEX trains_by_time ON trains(first_time, id);
CREATE INDEX trains_by_site ON trains(site_number, first_time);
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
  PRIMARY KEY(train_id, axle)) WITHOUT ROWID;
CREATE TABLE skipped(
  file TEXT PRIMARY KEY,
  file_size INTEGER NOT NULL,
  file_mtime INTEGER NOT NULL,
  reason TEXT NOT NULL);
)SQL";

constexpr const char* kTrainColumns =
    "id, site_id, site_number, site_name, unit_type, milepost, track, first_time, second_time, "
    "received, train_number, axles, cars, hb_left_max, hb_left_axle, hb_right_max, hb_right_axle, "
    "hw_left_max, hw_left_axle, hw_right_max, hw_right_axle, maxed_left, maxed_right, sim_codes, "
    "file, file_size";

constexpr int kBatchFiles = 250;  // report files per transaction while catching up

// A prepared statement that finalises itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool Ok() const { return stmt_ != nullptr; }
    Statement& Bind(int i, std::int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& Bind(int i, const std::string& v) {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindNull(int i) {
        sqlite3_bind_null(stmt_, i);
        return *this;
    }
    Statement& BindReal(int i, double v) {
        sqlite3_bind_double(stmt_, i, v);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return stmt_ != nullptr ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    bool Run() {
        const int rc = Step();
        sqlite3_reset(stmt_);
        return rc == SQLITE_DONE || rc == SQLITE_ROW;
    }
    void Reset() { sqlite3_reset(stmt_); }
    std::int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
    bool IsNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    double Real(int col) const { return sqlite3_column_double(stmt_, col); }
    std::string Text(int col) const {
        const unsigned char* t = sqlite3_column_text(stmt_, col);
        return t != nullptr ? reinterpret_cast<const char*>(t) : "";
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

bool ReadWholeFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

struct FileStamp {
    std::int64_t size = 0;
    std::int64_t mtime = 0;  // nanoseconds
};

bool StatFile(const std::string& path, FileStamp& stamp) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    stamp.size = st.st_size;
    stamp.mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return true;
}

// The report files of the folder (names ending in ".txt", not hidden).
std::map<std::string, FileStamp> ListReports(const std::string& folder) {
    std::map<std::string, FileStamp> files;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return files;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.' || name.size() < 5 ||
            name.compare(name.size() - 4, 4, ".txt") != 0)
            continue;
        FileStamp stamp;
        if (StatFile(folder + "/" + name, stamp)) files.emplace(name, stamp);
    }
    ::closedir(dir);
    return files;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const SiteInfo* FindSite(const std::vector<SiteInfo>& sites, int siteId, int siteNumber, int track) {
    const SiteInfo* byNumber = nullptr;
    for (const SiteInfo& s : sites) {
        if (s.siteNumber != siteNumber) continue;
        if (siteId != 0 && s.radioId == siteId) return &s;
        if (byNumber == nullptr || s.track == track) byNumber = &s;
    }
    if (byNumber != nullptr) return byNumber;
    if (siteId != 0) {
        for (const SiteInfo& s : sites)
            if (s.radioId == siteId && s.track == track) return &s;
    }
    return nullptr;
}

void FillRow(const Statement& q, TrainRow& r) {
    r.id = q.Int(0);
    r.siteId = static_cast<int>(q.Int(1));
    r.siteNumber = static_cast<int>(q.Int(2));
    r.siteName = q.Text(3);
    r.unitType = q.Text(4);
    r.milepost = q.IsNull(5) ? 0 : static_cast<int>(q.Real(5) * 10 + 0.5);
    r.track = static_cast<int>(q.Int(6));
    r.firstTime = q.Text(7);
    r.secondTime = q.Text(8);
    r.received = q.Text(9);
    r.trainNumber = static_cast<int>(q.Int(10));
    r.axles = static_cast<int>(q.Int(11));
    r.cars = static_cast<int>(q.Int(12));
    r.hotBoxMax[0] = static_cast<int>(q.Int(13));
    r.hotBoxMaxAxle[0] = static_cast<int>(q.Int(14));
    r.hotBoxMax[1] = static_cast<int>(q.Int(15));
    r.hotBoxMaxAxle[1] = static_cast<int>(q.Int(16));
    r.hotWheelMax[0] = q.IsNull(17) ? -1 : static_cast<int>(q.Int(17));
    r.hotWheelMaxAxle[0] = static_cast<int>(q.Int(18));
    r.hotWheelMax[1] = q.IsNull(19) ? -1 : static_cast<int>(q.Int(19));
    r.hotWheelMaxAxle[1] = static_cast<int>(q.Int(20));
    r.maxed[0] = static_cast<int>(q.Int(21));
    r.maxed[1] = static_cast<int>(q.Int(22));
    r.simCodes = q.Text(23);
    r.file = q.Text(24);
    r.fileSize = q.Int(25);
}

// The WHERE clause of a filter and its values in order.
std::string Where(const TrainFilter& f, std::vector<std::string>& values) {
    std::string where;
    auto add = [&where](const char* clause) {
        where += where.empty() ? " WHERE " : " AND ";
        where += clause;
    };
    if (f.siteNumber >= 0) {
        add("site_number = ?");
        values.push_back(std::to_string(f.siteNumber));
    }
    if (!f.fromDate.empty()) {
        add("first_time >= ?");
        values.push_back(f.fromDate);
    }
    if (!f.toDate.empty()) {
        add("first_time < ?");
        values.push_back(f.toDate + "~");  // every time of that day sorts before "~"
    }
    if (f.alarmsOnly) add("alarm = 1");
    return where;
}

bool IsDamageCode(int rc) {
    rc &= 0xFF;
    return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
}

}  // namespace

std::string HistoryPath(const std::string& dataFolder) { return dataFolder + HISTORY_FILE_NAME; }

std::string LocalTimeText(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm {};
    localtime_r(&t, &tm);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::vector<SiteInfo> RegistrySites() {
    CallerEntry copy[CALLER_TABLE_SIZE];
    {
        std::lock_guard<std::mutex> lock(callerTableMutex);
        std::copy(std::begin(callerTable), std::end(callerTable), copy);
    }
    std::vector<SiteInfo> sites;
    for (const CallerEntry& e : copy) {
        if (e.radioId == 0) continue;
        SiteInfo s;
        s.radioId = e.radioId;
        s.siteNumber = e.siteNumber;
        s.track = e.track;
        s.trackCount = e.trackCount;
        s.name.assign(e.unitText, ::strnlen(e.unitText, sizeof e.unitText));
        s.unitType = SiteTypeName(e.siteType);
        s.milepost = e.milepost;
        sites.push_back(std::move(s));
    }
    return sites;
}

std::string SimCodeTexts(const std::string& codes) {
    std::string out;
    std::stringstream in(codes);
    std::string item;
    while (std::getline(in, item, ',')) {
        const int code = std::atoi(item.c_str());
        if (!out.empty()) out += "; ";
        const char* text = SystemMessageText(code);
        out += *text != 0 ? std::string(text) : "code without text";
    }
    return out;
}

TrainHistory::~TrainHistory() { sqlite3_close_v2(db_); }

std::string TrainHistory::LastError() const { return db_ != nullptr ? sqlite3_errmsg(db_) : ""; }

bool TrainHistory::Exec(const char* sql, std::string* why) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
    if (why != nullptr) *why = error != nullptr ? error : LastError();
    sqlite3_free(error);
    return false;
}

namespace {

// What a file at `path` is, looked at through an open connection.
TrainHistory::OpenStatus Classify(sqlite3* db, std::string* why) {
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
    if (app == 0 && version == 0 && objects == 0) return TrainHistory::OpenStatus::Missing;  // empty file
    if (app != HISTORY_APPLICATION_ID) {
        if (why != nullptr) *why = "not a train history";
        return TrainHistory::OpenStatus::Foreign;
    }
    if (version != HISTORY_SCHEMA_VERSION) {
        if (why != nullptr)
            *why = "schema version " + std::to_string(version) + ", this program uses " +
                   std::to_string(HISTORY_SCHEMA_VERSION);
        return TrainHistory::OpenStatus::OtherSchema;
    }
    return TrainHistory::OpenStatus::Ok;
}

}  // namespace

std::unique_ptr<TrainHistory> TrainHistory::OpenForReading(const std::string& path, OpenStatus* status,
                                                           std::string* why) {
    auto set = [status](OpenStatus s) {
        if (status != nullptr) *status = s;
    };
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        set(OpenStatus::Missing);
        if (why != nullptr) *why = "no train history";
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
    return std::unique_ptr<TrainHistory>(new TrainHistory(db));
}

std::unique_ptr<TrainHistory> TrainHistory::OpenForWriting(const std::string& path, std::string* replaced,
                                                           std::string* why) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
            SQLITE_OK) {
            if (why != nullptr) *why = db != nullptr ? sqlite3_errmsg(db) : "cannot open";
            sqlite3_close_v2(db);
            return nullptr;
        }
        sqlite3_busy_timeout(db, 1000);
        std::unique_ptr<TrainHistory> h(new TrainHistory(db));
        std::string reason;
        const OpenStatus s = Classify(db, &reason);
        if (s == OpenStatus::Failed) {
            if (why != nullptr) *why = reason;
            return nullptr;
        }
        if (s == OpenStatus::Ok || s == OpenStatus::Missing) {
            // WAL: readers (the query tool, the console) never wait for the writer.
            if (!h->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-256;",
                         why))
                return nullptr;
            if (s == OpenStatus::Missing) {
                const std::string create = std::string("BEGIN;") + kSchema +
                                           "PRAGMA application_id=" +
                                           std::to_string(HISTORY_APPLICATION_ID) +
                                           "; PRAGMA user_version=" +
                                           std::to_string(HISTORY_SCHEMA_VERSION) + "; COMMIT;";
                if (!h->Exec(create.c_str(), why)) return nullptr;
            }
            return h;
        }
        // Damaged, foreign or another schema: set the file aside (nothing
        // is lost, the report files are the record) and start afresh.
        if (replaced != nullptr) *replaced = reason;
        h.reset();
        const std::string aside = path + ".replaced";
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::remove((aside + suffix).c_str());
            std::rename((path + suffix).c_str(), (aside + suffix).c_str());
        }
        std::remove((path + "-wal").c_str());
        std::remove((path + "-shm").c_str());
    }
    if (why != nullptr) *why = "could not replace the file";
    return nullptr;
}

bool TrainHistory::InsertParsed(const ParsedReport& p, const std::string& file, std::int64_t size,
                                std::int64_t mtime, int siteId, const std::string& received,
                                const std::vector<SiteInfo>& sites, std::string* why) {
    // A site's second track is registered under the site number plus one:
    // the row takes the number of the registry entry it belongs to.
    const int siteNumber = p.headerSiteNumber + (p.track > 1 ? p.track - 1 : 0);
    const SiteInfo* site = FindSite(sites, siteId, siteNumber, p.track);

    int hbMax[2] = {0, 0}, hbAxle[2] = {0, 0}, hwMax[2] = {-1, -1}, hwAxle[2] = {0, 0};
    int maxed[2] = {0, 0};
    for (const ReportAxle& a : p.axles) {
        const int hb[2] = {a.hotBoxLeft, a.hotBoxRight};
        const int hw[2] = {a.hotWheelLeft, a.hotWheelRight};
        for (int s = 0; s < 2; ++s) {
            if (hbAxle[s] == 0 || hb[s] > hbMax[s]) hbMax[s] = hb[s], hbAxle[s] = a.axle;
            if (hw[s] >= 0 && hw[s] > hwMax[s]) hwMax[s] = hw[s], hwAxle[s] = a.axle;
            if (hb[s] == HOT_BOX_MAXED) ++maxed[s];
            if (hw[s] == HOT_WHEEL_MAXED) ++maxed[s];
        }
    }
    std::string sim;
    for (int code : p.simCodes) {
        if (!sim.empty()) sim += ',';
        sim += std::to_string(code);
    }

    Statement gone(db_, "DELETE FROM axles WHERE train_id IN (SELECT id FROM trains WHERE file = ?1)");
    Statement goneTrain(db_, "DELETE FROM trains WHERE file = ?1");
    Statement goneSkip(db_, "DELETE FROM skipped WHERE file = ?1");
    gone.Bind(1, file);
    goneTrain.Bind(1, file);
    goneSkip.Bind(1, file);
    if (!gone.Run() || !goneTrain.Run() || !goneSkip.Run()) {
        if (why != nullptr) *why = LastError();
        return false;
    }
    Statement ins(db_,
                  "INSERT INTO trains(site_id, site_number, site_name, unit_type, milepost, track, "
                  "first_time, second_time, received, train_number, axles, cars, hb_left_max, "
                  "hb_left_axle, hb_right_max, hb_right_axle, hw_left_max, hw_left_axle, "
                  "hw_right_max, hw_right_axle, maxed_left, maxed_right, alarm, sim_codes, file, "
                  "file_size, file_mtime) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,"
                  "?15,?16,?17,?18,?19,?20,?21,?22,?23,?24,?25,?26,?27)");
    ins.Bind(1, site != nullptr ? site->radioId : siteId).Bind(2, siteNumber);
    ins.Bind(3, site != nullptr ? site->name : "").Bind(4, site != nullptr ? site->unitType : "");
    if (site != nullptr)
        ins.BindReal(5, site->milepost / 10.0);
    else
        ins.BindNull(5);
    ins.Bind(6, p.track).Bind(7, p.firstTime).Bind(8, p.secondTime).Bind(9, received);
    ins.Bind(10, p.trainNumber).Bind(11, static_cast<std::int64_t>(p.axles.size())).Bind(12, p.cars);
    ins.Bind(13, hbMax[0]).Bind(14, hbAxle[0]).Bind(15, hbMax[1]).Bind(16, hbAxle[1]);
    for (int s = 0; s < 2; ++s) {
        if (hwMax[s] >= 0)
            ins.Bind(17 + 2 * s, hwMax[s]).Bind(18 + 2 * s, hwAxle[s]);
        else
            ins.BindNull(17 + 2 * s).BindNull(18 + 2 * s);
    }
    ins.Bind(21, maxed[0]).Bind(22, maxed[1]).Bind(23, maxed[0] + maxed[1] > 0 ? 1 : 0);
    ins.Bind(24, sim).Bind(25, file).Bind(26, size).Bind(27, mtime);
    if (!ins.Run()) {
        if (why != nullptr) *why = LastError();
        return false;
    }
    const std::int64_t trainId = sqlite3_last_insert_rowid(db_);
    Statement axle(db_,
                   "INSERT INTO axles(train_id, axle, car, car_start, hb_left, hb_right, "
                   "hw_left, hw_right, load) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9)");
    for (const ReportAxle& a : p.axles) {
        axle.Bind(1, trainId).Bind(2, a.axle).Bind(3, a.car).Bind(4, a.carStart ? 1 : 0);
        axle.Bind(5, a.hotBoxLeft).Bind(6, a.hotBoxRight);
        if (a.hotWheelLeft >= 0)
            axle.Bind(7, a.hotWheelLeft).Bind(8, a.hotWheelRight);
        else
            axle.BindNull(7).BindNull(8);
        axle.Bind(9, a.load);
        if (!axle.Run()) {
            if (why != nullptr) *why = LastError();
            return false;
        }
    }
    return true;
}

bool TrainHistory::IndexReport(const std::string& path, int siteId, const std::string& received,
                               const std::vector<SiteInfo>& sites, std::string* why) {
    std::string bytes;
    FileStamp stamp;
    if (!StatFile(path, stamp) || !ReadWholeFile(path, bytes)) {
        if (why != nullptr) *why = "cannot read " + path;
        return false;
    }
    ParsedReport parsed;
    std::string reason;
    if (!ParseTrainReport(bytes, parsed, &reason)) {
        if (why != nullptr) *why = path + ": " + reason;
        return false;
    }
    if (!Exec("BEGIN IMMEDIATE", why)) return false;
    if (!InsertParsed(parsed, BaseName(path), stamp.size, stamp.mtime, siteId, received, sites, why)) {
        Exec("ROLLBACK", nullptr);
        return false;
    }
    if (!Exec("COMMIT", why)) {
        Exec("ROLLBACK", nullptr);
        return false;
    }
    // Between trains the writer holds no cache: the collector's memory stays
    // flat however long it runs (the pages are in the system's cache anyway).
    sqlite3_db_release_memory(db_);
    return true;
}

CatchUpResult TrainHistory::Rebuild(const std::string& folder, const std::vector<SiteInfo>& sites,
                                    const Progress& progress, const Damaged& damaged,
                                    std::string* why) {
    if (!Exec("BEGIN IMMEDIATE; DELETE FROM axles; DELETE FROM trains; DELETE FROM skipped; COMMIT;",
              why)) {
        Exec("ROLLBACK", nullptr);
        CatchUpResult r;
        r.ok = false;
        return r;
    }
    CatchUpResult r = CatchUp(folder, sites, progress, damaged, why);
    r.rebuilt = true;
    return r;
}

CatchUpResult TrainHistory::CatchUp(const std::string& folder, const std::vector<SiteInfo>& sites,
                                    const Progress& progress, const Damaged& damaged,
                                    std::string* why) {
    CatchUpResult result;
    const std::map<std::string, FileStamp> files = ListReports(folder);
    std::map<std::string, FileStamp> known;
    for (const char* sql : {"SELECT file, file_size, file_mtime FROM trains",
                            "SELECT file, file_size, file_mtime FROM skipped"}) {
        Statement q(db_, sql);
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) known[q.Text(0)] = FileStamp{q.Int(1), q.Int(2)};
        if (rc != SQLITE_DONE) {
            if (why != nullptr) *why = LastError();
            result.ok = false;
            return result;
        }
    }
    std::vector<std::string> stale;
    for (const auto& [name, stamp] : known) {
        auto it = files.find(name);
        if (it == files.end() || it->second.size != stamp.size || it->second.mtime != stamp.mtime)
            stale.push_back(name);
    }
    std::vector<const std::pair<const std::string, FileStamp>*> todo;
    for (const auto& entry : files) {
        auto it = known.find(entry.first);
        if (it == known.end() || it->second.size != entry.second.size ||
            it->second.mtime != entry.second.mtime)
            todo.push_back(&entry);
    }

    auto fail = [&](const std::string& text) {
        if (why != nullptr) *why = text;
        Exec("ROLLBACK", nullptr);
        result.ok = false;
        return result;
    };
    if (!stale.empty()) {
        if (!Exec("BEGIN IMMEDIATE", why)) return fail(LastError());
        Statement a(db_, "DELETE FROM axles WHERE train_id IN (SELECT id FROM trains WHERE file = ?1)");
        Statement t(db_, "DELETE FROM trains WHERE file = ?1");
        Statement s(db_, "DELETE FROM skipped WHERE file = ?1");
        for (const std::string& name : stale) {
            a.Bind(1, name);
            t.Bind(1, name);
            s.Bind(1, name);
            if (!a.Run() || !t.Run() || !s.Run()) return fail(LastError());
            if (files.find(name) == files.end()) ++result.removed;
        }
        if (!Exec("COMMIT", why)) return fail(LastError());
    }

    const int total = static_cast<int>(todo.size());
    std::string bytes;
    for (int i = 0; i < total; ++i) {
        if (i % kBatchFiles == 0) {
            if (i > 0 && !Exec("COMMIT", why)) return fail(LastError());
            if (cancelled_.load()) return result;
            if (progress && i > 0) progress(i, total);
            if (!Exec("BEGIN IMMEDIATE", why)) return fail(LastError());
        }
        const std::string& name = todo[static_cast<std::size_t>(i)]->first;
        const FileStamp& stamp = todo[static_cast<std::size_t>(i)]->second;
        const std::string path = folder + "/" + name;
        ParsedReport parsed;
        std::string reason = "cannot be read";
        if (ReadWholeFile(path, bytes) && ParseTrainReport(bytes, parsed, &reason)) {
            // A file indexed at start is dated by its last change.
            const std::string received = LocalTimeText(stamp.mtime / 1000000000LL);
            std::string error;
            if (!InsertParsed(parsed, name, stamp.size, stamp.mtime, 0, received, sites, &error))
                return fail(error);
            ++result.indexed;
        } else {
            Statement skip(db_, "INSERT OR REPLACE INTO skipped(file, file_size, file_mtime, reason) "
                                "VALUES(?1,?2,?3,?4)");
            skip.Bind(1, name).Bind(2, stamp.size).Bind(3, stamp.mtime).Bind(4, reason);
            if (!skip.Run()) return fail(LastError());
            ++result.skipped;
            if (damaged) damaged(name, reason);
        }
    }
    if (total > 0) {
        if (!Exec("COMMIT", why)) return fail(LastError());
        if (progress) progress(total, total);
    }
    return result;
}

std::int64_t TrainHistory::CountTrains(const TrainFilter& filter) {
    std::vector<std::string> values;
    const std::string sql = "SELECT count(*) FROM trains" + Where(filter, values);
    Statement q(db_, sql.c_str());
    for (std::size_t i = 0; i < values.size(); ++i) q.Bind(static_cast<int>(i) + 1, values[i]);
    return q.Step() == SQLITE_ROW ? q.Int(0) : 0;
}

std::vector<TrainRow> TrainHistory::ListTrains(const TrainFilter& filter, std::int64_t offset, int limit,
                                               TrainOrder order, bool ascending) {
    std::vector<std::string> values;
    const char* key = "first_time";
    switch (order) {
        case TrainOrder::Time: key = "first_time"; break;
        case TrainOrder::Site: key = "site_number"; break;
        case TrainOrder::TrainNumber: key = "train_number"; break;
        case TrainOrder::Axles: key = "axles"; break;
        case TrainOrder::Cars: key = "cars"; break;
        case TrainOrder::HotBox: key = "max(hb_left_max, hb_right_max)"; break;
        case TrainOrder::Received: key = "received"; break;
    }
    const char* dir = ascending ? " ASC" : " DESC";
    std::string sql = std::string("SELECT ") + kTrainColumns + " FROM trains" + Where(filter, values) +
                      " ORDER BY " + key + dir + ", first_time" + dir + ", id" + dir +
                      " LIMIT ? OFFSET ?";
    Statement q(db_, sql.c_str());
    int n = 1;
    for (const std::string& v : values) q.Bind(n++, v);
    q.Bind(n, limit);
    q.Bind(n + 1, offset);
    std::vector<TrainRow> rows;
    while (q.Step() == SQLITE_ROW) {
        rows.emplace_back();
        FillRow(q, rows.back());
    }
    return rows;
}

std::optional<TrainRow> TrainHistory::Train(std::int64_t id) {
    const std::string sql = std::string("SELECT ") + kTrainColumns + " FROM trains WHERE id = ?";
    Statement q(db_, sql.c_str());
    q.Bind(1, id);
    if (q.Step() != SQLITE_ROW) return std::nullopt;
    TrainRow r;
    FillRow(q, r);
    return r;
}

std::vector<ReportAxle> TrainHistory::Axles(std::int64_t trainId) {
    Statement q(db_, "SELECT axle, car, car_start, hb_left, hb_right, hw_left, hw_right, load "
                     "FROM axles WHERE train_id = ? ORDER BY axle");
    q.Bind(1, trainId);
    std::vector<ReportAxle> axles;
    while (q.Step() == SQLITE_ROW) {
        ReportAxle a;
        a.axle = static_cast<std::uint16_t>(q.Int(0));
        a.car = static_cast<std::uint16_t>(q.Int(1));
        a.carStart = q.Int(2) != 0;
        a.hotBoxLeft = static_cast<std::uint8_t>(q.Int(3));
        a.hotBoxRight = static_cast<std::uint8_t>(q.Int(4));
        a.hotWheelLeft = q.IsNull(5) ? -1 : static_cast<std::int16_t>(q.Int(5));
        a.hotWheelRight = q.IsNull(6) ? -1 : static_cast<std::int16_t>(q.Int(6));
        a.load = static_cast<std::uint16_t>(q.Int(7));
        axles.push_back(a);
    }
    return axles;
}

std::vector<SiteTrainStats> TrainHistory::SiteStats(const std::string& today, const std::string& weekStart) {
    Statement q(db_,
                "SELECT site_number, max(site_id), max(first_time), max(received), "
                "sum(received >= ?1), sum(received >= ?2), "
                "(SELECT sim_codes FROM trains t2 WHERE t2.site_number = trains.site_number "
                " ORDER BY first_time DESC, id DESC LIMIT 1) "
                "FROM trains GROUP BY site_number ORDER BY site_number");
    q.Bind(1, today).Bind(2, weekStart);
    std::vector<SiteTrainStats> stats;
    while (q.Step() == SQLITE_ROW) {
        SiteTrainStats s;
        s.siteNumber = static_cast<int>(q.Int(0));
        s.siteId = static_cast<int>(q.Int(1));
        s.lastTrain = q.Text(2);
        s.lastReceived = q.Text(3);
        s.trainsToday = static_cast<int>(q.Int(4));
        s.trainsWeek = static_cast<int>(q.Int(5));
        const std::string codes = q.Text(6);
        const std::size_t comma = codes.rfind(',');
        s.lastSimCode = std::atoi(codes.c_str() + (comma == std::string::npos ? 0 : comma + 1));
        stats.push_back(s);
    }
    return stats;
}
