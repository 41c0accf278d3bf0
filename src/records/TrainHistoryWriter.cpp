// Writing the train history: indexing one report in a transaction of its
// own, and bringing the index up to date with the report folder in batches
// (removing the rows of files that are gone or changed).
#include "records/TrainHistory.h"

#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

#include "common/Bytes.h"
#include "records/Callers.h"
#include "records/TrainHistorySql.h"
#include "records/TrainReport.h"

namespace {

using history_sql::Statement;

constexpr int kBatchFiles = 250;  // report files per transaction while catching up

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

// Whether the site data is of this report's train: the header's site
// number, track and train number agree (a report taken away and another
// written under its name later is not given the first one's alarms).
bool SiteDataFits(const SiteData& site, int headerSiteNumber, int track, int trainNumber) {
    if (site.header.size() != TRAIN_PREFIX_SIZE + TRAIN_HEADER_SIZE) return false;
    const std::uint8_t* h = site.header.data() + TRAIN_PREFIX_SIZE;
    return ReadLe16(h + th::SITE_NUMBER) == headerSiteNumber && h[th::TRACK] == track &&
           ReadLe16(h + th::TRAIN_NUMBER) == trainNumber;
}

// Removes the rows of a report file (the train, its axles and site alarms;
// its alarms too unless the caller stores them again at once and keeps
// their ids and acknowledgements).
bool DeleteFileRows(sqlite3* db, const std::string& file, bool alarms = true) {
    for (const char* sql : {"DELETE FROM axles WHERE train_id IN (SELECT id FROM trains WHERE file = ?1)",
                            "DELETE FROM site_alarm_entries WHERE train_id IN "
                            "(SELECT id FROM trains WHERE file = ?1)",
                            "DELETE FROM alarm_backlog WHERE train_id IN (SELECT id FROM trains WHERE file = ?1)",
                            "DELETE FROM trains WHERE file = ?1", "DELETE FROM skipped WHERE file = ?1"}) {
        Statement q(db, sql);
        q.Bind(1, file);
        if (!q.Run()) return false;
    }
    if (!alarms) return true;
    Statement q(db, "DELETE FROM alarms WHERE file = ?1");
    q.Bind(1, file);
    return q.Run();
}

// What makes two alarms of one report file the same alarm: kind, axle and
// side (and the message code of an equipment alarm, one per code).
std::string AlarmKey(const std::string& kind, std::int64_t axle, const std::string& side, std::int64_t code) {
    return kind + "/" + std::to_string(axle) + "/" + side + "/" +
           std::to_string(kind == "equipment" ? code : 0);
}

// Text as stored: control bytes (NUL, line breaks, escapes) left out.
std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out += c;
    return out;
}

// The parts of a report the alarm rules look at, from a train's rows.
ParsedReport ReportFromRows(std::vector<ReportAxle> axles, const std::string& simCodes) {
    ParsedReport p;
    p.axles = std::move(axles);
    p.hotWheels = !p.axles.empty() && p.axles.front().hotWheelLeft >= 0;
    std::size_t i = 0;
    while (i < simCodes.size()) {
        std::size_t comma = simCodes.find(',', i);
        if (comma == std::string::npos) comma = simCodes.size();
        p.simCodes.push_back(std::atoi(simCodes.substr(i, comma - i).c_str()));
        i = comma + 1;
    }
    return p;
}

}  // namespace

std::string LocalTimeText(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm {};
    localtime_r(&t, &tm);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::vector<SiteInfo> RegistrySites(const CallerEntry* table, std::size_t count) {
    std::vector<SiteInfo> sites;
    for (std::size_t i = 0; i < count; ++i) {
        const CallerEntry& e = table[i];
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

bool TrainHistory::StoreSiteData(std::int64_t trainId, const SiteData& site, std::string* why) {
    const auto fail = [&] {
        if (why != nullptr) *why = LastError();
        return false;
    };
    Statement row(db_,
                  "UPDATE trains SET site_alarms = ?2, header = ?3, journal_file = ?4, journal_offset = ?5, "
                  "journal_time = ?6, journal_radio_id = ?7, journal_delivery = ?8, "
                  "alarm = (alarm OR ?2 > 0), "
                  // The radio the train came from, where the registry could not tell it.
                  "site_id = CASE WHEN site_id = 0 THEN ?7 ELSE site_id END WHERE id = ?1");
    row.Bind(1, trainId).Bind(2, static_cast<std::int64_t>(site.alarms.size()));
    row.BindBlob(3, site.header.data(), site.header.size());
    row.Bind(4, site.journalFile).Bind(5, static_cast<std::int64_t>(site.journalOffset));
    row.Bind(6, LocalTimeText(site.receivedAt)).Bind(7, site.radioId).Bind(8, site.delivery);
    if (!row.Run()) return fail();
    Statement byte6(db_, "UPDATE axles SET slot_byte6 = ?3 WHERE train_id = ?1 AND axle = ?2");
    for (std::size_t i = 0; i < site.axleByte6.size(); ++i) {
        byte6.Bind(1, trainId).Bind(2, static_cast<std::int64_t>(i + 1)).Bind(3, site.axleByte6[i]);
        if (!byte6.Run()) return fail();
    }
    Statement entry(db_, "INSERT INTO site_alarm_entries(train_id, entry, axle, bits, legacy) "
                         "VALUES(?1,?2,?3,?4,?5)");
    for (std::size_t i = 0; i < site.alarms.size(); ++i) {
        const SiteAlarmEntry& e = site.alarms[i];
        entry.Bind(1, trainId).Bind(2, static_cast<std::int64_t>(i + 1)).Bind(3, e.axle).Bind(4, e.bits);
        entry.Bind(5, e.legacy ? 1 : 0);
        if (!entry.Run()) return fail();
    }
    return true;
}

bool TrainHistory::InsertParsed(const ParsedReport& p, const std::string& file, std::int64_t size,
                                std::int64_t mtime, int siteId, const std::string& received,
                                const std::vector<SiteInfo>& sites, std::int64_t keepId,
                                const SiteData* siteData, std::string* why,
                                std::vector<AlarmRow>* added) {
    // A site's second track is registered under the site number plus one:
    // the row takes the number of the registry entry it belongs to.
    const int siteNumber = p.headerSiteNumber + (p.track > 1 ? p.track - 1 : 0);
    const SiteInfo* site = FindSite(sites, siteId, siteNumber, p.track);
    if (siteData != nullptr && !SiteDataFits(*siteData, p.headerSiteNumber, p.track, p.trainNumber))
        siteData = nullptr;

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

    if (!DeleteFileRows(db_, file, false)) {
        if (why != nullptr) *why = LastError();
        return false;
    }
    // A NULL id takes the next one never given (AUTOINCREMENT).
    Statement ins(db_,
                  "INSERT INTO trains(site_id, site_number, site_name, unit_type, milepost, track, "
                  "first_time, second_time, received, train_number, axles, cars, hb_left_max, "
                  "hb_left_axle, hb_right_max, hb_right_axle, hw_left_max, hw_left_axle, "
                  "hw_right_max, hw_right_axle, maxed_left, maxed_right, alarm, sim_codes, file, "
                  "file_size, file_mtime, id) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,"
                  "?15,?16,?17,?18,?19,?20,?21,?22,?23,?24,?25,?26,?27,?28)");
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
    if (keepId > 0)
        ins.Bind(28, keepId);
    else
        ins.BindNull(28);
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
    if (siteData != nullptr && !StoreSiteData(trainId, *siteData, why)) return false;
    return StoreAlarms(trainId, file, p, siteData, added, why);
}

bool TrainHistory::StoreAlarms(std::int64_t trainId, const std::string& file, const ParsedReport& report,
                               const SiteData* site, std::vector<AlarmRow>* added, std::string* why) {
    const auto fail = [&] {
        if (why != nullptr) *why = LastError();
        return false;
    };
    if (!alarmMaker_) {
        // Nothing to make them with: the alarms stay as they are, with the row.
        Statement keep(db_, "UPDATE alarms SET train_id = ?2 WHERE file = ?1");
        keep.Bind(1, file).Bind(2, trainId);
        return keep.Run() || fail();
    }
    struct Kept {
        std::int64_t id;
        bool acked;
        std::string by, time, comment;
        std::int64_t epoch;
        bool announced;
    };
    std::map<std::string, Kept> kept;
    {
        Statement q(db_, "SELECT id, kind, axle, side, code, ack_by, ack_time, ack_epoch, ack_comment, announced "
                         "FROM alarms WHERE file = ?1");
        q.Bind(1, file);
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW)
            kept[AlarmKey(q.Text(1), q.Int(2), q.Text(3), q.Int(4))] =
                Kept{q.Int(0), !q.IsNull(7), q.Text(5), q.Text(6), q.Text(8), q.Int(7), q.Int(9) != 0};
        if (rc != SQLITE_DONE) return fail();
    }
    // A trend alarm comes from the train's passes at other sites, not from
    // its report: it stays, with the train's new row.
    for (const char* sql : {"DELETE FROM alarms WHERE file = ?1 AND kind <> 'trend'",
                            "UPDATE alarms SET train_id = ?2 WHERE file = ?1",
                            "DELETE FROM alarm_backlog WHERE train_id = ?2"}) {
        Statement del(db_, sql);
        del.Bind(1, file).Bind(2, trainId);
        if (!del.Run()) return fail();
    }
    const std::vector<AlarmFields> alarms = alarmMaker_(report, site);
    // The train's received time, site and numbers come from its row.
    Statement ins(db_,
                  "INSERT INTO alarms(id, train_id, file, received, first_time, site_number, site_id, "
                  "site_name, train_number, kind, axle, car, axle_in_car, side, reading, reference, "
                  "threshold, code, text, ack_by, ack_time, ack_epoch, ack_comment, announced) "
                  "SELECT ?1, id, file, received, first_time, site_number, site_id, site_name, "
                  "train_number, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17 "
                  "FROM trains WHERE id = ?2");
    for (const AlarmFields& a : alarms) {
        const auto it = kept.find(AlarmKey(a.kind, a.axle, a.side, a.code));
        const Kept* k = it != kept.end() ? &it->second : nullptr;
        if (k != nullptr)
            ins.Bind(1, k->id);
        else
            ins.BindNull(1);
        ins.Bind(2, trainId).Bind(3, a.kind).Bind(4, a.axle).Bind(5, a.car).Bind(6, a.axleInCar);
        ins.Bind(7, a.side).Bind(8, a.reading).Bind(9, a.reference).Bind(10, a.threshold);
        ins.Bind(11, a.code).Bind(12, Printable(a.text));
        if (k != nullptr && k->acked) {
            ins.Bind(13, k->by).Bind(14, k->time).Bind(15, k->epoch);
            if (k->comment.empty())
                ins.BindNull(16);
            else
                ins.Bind(16, k->comment);
        } else {
            ins.BindNull(13).BindNull(14).BindNull(15).BindNull(16);
        }
        // Indexed live, every alarm not told of yet is told of now (the
        // start's catch-up may have indexed the report first).
        const bool announce = added != nullptr && !(k != nullptr && k->announced);
        ins.Bind(17, announce || (k != nullptr && k->announced) ? 1 : 0);
        if (!ins.Run()) return fail();
        if (announce) {
            if (auto row = AlarmById(sqlite3_last_insert_rowid(db_))) added->push_back(std::move(*row));
        }
        if (k != nullptr) kept.erase(it);  // one alarm per key
    }
    return true;
}

bool TrainHistory::AddAlarms(std::int64_t trainId, const std::vector<AlarmFields>& alarms, std::vector<AlarmRow>* added,
                             std::string* why) {
    if (alarms.empty()) return true;
    if (version_ < 3) {
        if (why != nullptr) *why = "the train history has no alarms yet (an older schema)";
        return false;
    }
    if (!Exec("BEGIN IMMEDIATE", why)) return false;
    const auto fail = [&] {
        if (why != nullptr) *why = LastError();
        Exec("ROLLBACK", nullptr);
        return false;
    };
    std::vector<std::int64_t> ids;
    // The train's received time, site and numbers come from its row.
    Statement ins(db_,
                  "INSERT INTO alarms(train_id, file, received, first_time, site_number, site_id, site_name, "
                  "train_number, kind, axle, car, axle_in_car, side, reading, reference, threshold, code, text, "
                  "announced) "
                  "SELECT id, file, received, first_time, site_number, site_id, site_name, train_number, ?2, ?3, ?4, "
                  "?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12 FROM trains t WHERE id = ?1 AND NOT EXISTS "
                  "(SELECT 1 FROM alarms a WHERE a.file = t.file AND a.kind = ?2 AND a.axle = ?3 AND a.side = ?6 "
                  "AND a.code = ?10)");
    for (const AlarmFields& a : alarms) {
        ins.Bind(1, trainId).Bind(2, a.kind).Bind(3, a.axle).Bind(4, a.car).Bind(5, a.axleInCar).Bind(6, a.side);
        ins.Bind(7, a.reading).Bind(8, a.reference).Bind(9, a.threshold).Bind(10, a.code).Bind(11, Printable(a.text));
        ins.Bind(12, added != nullptr ? 1 : 0);
        if (!ins.Run()) return fail();
        if (sqlite3_changes(db_) > 0) ids.push_back(sqlite3_last_insert_rowid(db_));
    }
    if (!Exec("COMMIT", why)) {
        Exec("ROLLBACK", nullptr);
        return false;
    }
    if (added != nullptr)
        for (std::int64_t id : ids)
            if (auto row = AlarmById(id)) added->push_back(std::move(*row));
    return true;
}

TrainHistory::BatchStep TrainHistory::BeforeBatchedWrite(int n, std::string* why) {
    if (n % kBatchFiles != 0) return BatchStep::Go;
    if (n > 0 && !Exec("COMMIT", why)) {
        Exec("ROLLBACK", nullptr);
        return BatchStep::Failed;
    }
    if (cancelled_.load()) return BatchStep::Cancelled;
    return Exec("BEGIN IMMEDIATE", why) ? BatchStep::Go : BatchStep::Failed;
}

int TrainHistory::FillAlarms(std::string* why) {
    if (!alarmMaker_) return 0;
    std::vector<std::int64_t> ids;
    {
        Statement q(db_, "SELECT train_id FROM alarm_backlog ORDER BY train_id");
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) ids.push_back(q.Int(0));
        if (rc != SQLITE_DONE) {
            if (why != nullptr) *why = LastError();
            return -1;
        }
    }
    const auto fail = [this] {
        Exec("ROLLBACK", nullptr);
        return -1;
    };
    int done = 0, writes = 0;
    for (std::int64_t id : ids) {
        const BatchStep step = BeforeBatchedWrite(writes++, why);
        if (step != BatchStep::Go) return step == BatchStep::Cancelled ? done : -1;
        const std::optional<TrainRow> row = Train(id);
        if (!row) {
            Statement del(db_, "DELETE FROM alarm_backlog WHERE train_id = ?1");
            del.Bind(1, id);
            if (!del.Run()) return fail();
            continue;
        }
        SiteData site;
        site.alarms = SiteAlarms(id);
        if (!StoreAlarms(id, row->file, ReportFromRows(Axles(id), row->simCodes),
                         row->journalFile.empty() ? nullptr : &site, nullptr, why))
            return fail();
        ++done;
    }
    if (writes > 0 && !Exec("COMMIT", why)) return fail();
    return done;
}

bool TrainHistory::IndexReport(const std::string& path, int siteId, const std::string& received,
                               const std::vector<SiteInfo>& sites, std::string* why, const SiteData* site,
                               std::vector<AlarmRow>* added) {
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
    std::vector<AlarmRow> fresh;
    if (!InsertParsed(parsed, BaseName(path), stamp.size, stamp.mtime, siteId, received, sites, 0, site,
                      why, &fresh)) {
        Exec("ROLLBACK", nullptr);
        return false;
    }
    if (!Exec("COMMIT", why)) {
        Exec("ROLLBACK", nullptr);
        return false;
    }
    if (added != nullptr) *added = std::move(fresh);
    // Between trains the writer holds no cache: the collector's memory stays
    // flat however long it runs (the pages are in the system's cache anyway).
    sqlite3_db_release_memory(db_);
    return true;
}

CatchUpResult TrainHistory::Rebuild(const std::string& folder, const std::vector<SiteInfo>& sites,
                                    const Progress& progress, const Damaged& damaged, std::string* why,
                                    const SiteDataLookup& lookup) {
    // Damaged files are tried (and told) again.
    if (!Exec("DELETE FROM skipped", why)) {
        CatchUpResult r;
        r.ok = false;
        return r;
    }
    CatchUpResult r = Sync(folder, sites, progress, damaged, why, lookup, true);
    r.rebuilt = true;
    if (r.ok && !cancelled_.load()) {
        const int made = FillAlarms(why);
        if (made < 0)
            r.ok = false;
        else
            r.alarmsMade = made;
    }
    return r;
}

CatchUpResult TrainHistory::CatchUp(const std::string& folder, const std::vector<SiteInfo>& sites,
                                    const Progress& progress, const Damaged& damaged, std::string* why,
                                    const SiteDataLookup& lookup) {
    CatchUpResult r = Sync(folder, sites, progress, damaged, why, lookup, false);
    if (r.ok && lookup && !cancelled_.load()) {
        const int filled = FillSiteData(lookup, why);
        if (filled < 0)
            r.ok = false;
        else
            r.siteDataFilled = filled;
    }
    if (r.ok && !cancelled_.load()) {
        const int made = FillAlarms(why);
        if (made < 0)
            r.ok = false;
        else
            r.alarmsMade = made;
    }
    return r;
}

int TrainHistory::FillSiteData(const SiteDataLookup& lookup, std::string* why) {
    struct Row {
        std::int64_t id;
        std::string file;
        int headerSite, track, trainNumber;
        std::string simCodes;
    };
    std::vector<Row> rows;
    {
        Statement q(db_, "SELECT id, file, site_number, track, train_number, sim_codes FROM trains "
                         "WHERE journal_file IS NULL");
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) {
            const int track = static_cast<int>(q.Int(3));
            rows.push_back(Row{q.Int(0), q.Text(1), static_cast<int>(q.Int(2)) - (track > 1 ? track - 1 : 0),
                               track, static_cast<int>(q.Int(4)), q.Text(5)});
        }
        if (rc != SQLITE_DONE) {
            if (why != nullptr) *why = LastError();
            return -1;
        }
    }
    const auto fail = [this] {
        Exec("ROLLBACK", nullptr);
        return -1;
    };
    int filled = 0;
    for (const Row& r : rows) {
        SiteData site;
        if (!lookup(r.file, &site) || !SiteDataFits(site, r.headerSite, r.track, r.trainNumber)) continue;
        const BatchStep step = BeforeBatchedWrite(filled, why);
        if (step != BatchStep::Go) return step == BatchStep::Cancelled ? filled : -1;
        if (!StoreSiteData(r.id, site, why)) return fail();
        // The site's own alarms come with it; the others keep their ids.
        if (!StoreAlarms(r.id, r.file, ReportFromRows(Axles(r.id), r.simCodes), &site, nullptr, why))
            return fail();
        ++filled;
    }
    if (filled > 0 && !Exec("COMMIT", why)) return fail();
    return filled;
}

CatchUpResult TrainHistory::Sync(const std::string& folder, const std::vector<SiteInfo>& sites,
                                 const Progress& progress, const Damaged& damaged, std::string* why,
                                 const SiteDataLookup& lookup, bool everyFile) {
    CatchUpResult result;
    const std::map<std::string, FileStamp> files = ListReports(folder);
    struct Known {
        FileStamp stamp;
        std::int64_t id = 0;  // 0: a skipped file
    };
    std::map<std::string, Known> known;
    for (const char* sql : {"SELECT file, file_size, file_mtime, 0 FROM skipped",
                            "SELECT file, file_size, file_mtime, id FROM trains"}) {
        Statement q(db_, sql);
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) known[q.Text(0)] = Known{FileStamp{q.Int(1), q.Int(2)}, q.Int(3)};
        if (rc != SQLITE_DONE) {
            if (why != nullptr) *why = LastError();
            result.ok = false;
            return result;
        }
    }
    const auto same = [](const FileStamp& a, const FileStamp& b) {
        return a.size == b.size && a.mtime == b.mtime;
    };
    std::vector<std::string> stale;
    for (const auto& [name, k] : known) {
        auto it = files.find(name);
        if (it == files.end() || !same(it->second, k.stamp)) stale.push_back(name);
    }
    struct Todo {
        const std::string* name;
        FileStamp stamp;
        std::int64_t keepId;
    };
    std::vector<Todo> todo;
    for (const auto& [name, stamp] : files) {
        auto it = known.find(name);
        const bool unchanged = it != known.end() && same(it->second.stamp, stamp);
        if (!unchanged)
            todo.push_back(Todo{&name, stamp, 0});
        else if (everyFile)
            todo.push_back(Todo{&name, stamp, it->second.id});  // an unchanged file keeps its id
    }

    auto fail = [&](const std::string& text) {
        if (why != nullptr) *why = text;
        Exec("ROLLBACK", nullptr);
        result.ok = false;
        return result;
    };
    if (!stale.empty()) {
        if (!Exec("BEGIN IMMEDIATE", why)) return fail(LastError());
        for (const std::string& name : stale) {
            if (!DeleteFileRows(db_, name)) return fail(LastError());
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
        const Todo& t = todo[static_cast<std::size_t>(i)];
        const std::string& name = *t.name;
        const std::string path = folder + "/" + name;
        ParsedReport parsed;
        std::string reason = "cannot be read";
        if (ReadWholeFile(path, bytes) && ParseTrainReport(bytes, parsed, &reason)) {
            // A file indexed at start is dated by its last change.
            const std::string received = LocalTimeText(t.stamp.mtime / 1000000000LL);
            SiteData site;
            const bool haveSite = lookup && lookup(name, &site);
            std::string error;
            if (!InsertParsed(parsed, name, t.stamp.size, t.stamp.mtime, 0, received, sites, t.keepId,
                              haveSite ? &site : nullptr, &error))
                return fail(error);
            ++result.indexed;
        } else {
            // A row of the file (indexed when it still read) goes with it.
            if (!DeleteFileRows(db_, name)) return fail(LastError());
            Statement skip(db_, "INSERT OR REPLACE INTO skipped(file, file_size, file_mtime, reason) "
                                "VALUES(?1,?2,?3,?4)");
            skip.Bind(1, name).Bind(2, t.stamp.size).Bind(3, t.stamp.mtime).Bind(4, reason);
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
