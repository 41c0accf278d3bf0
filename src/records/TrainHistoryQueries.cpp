// Reading the train history: counting and listing trains through a filter,
// one train and its axles, and the per-site figures.
#include "records/TrainHistory.h"

#include <sqlite3.h>

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "records/EventJournal.h"
#include "records/TrainHistorySql.h"
#include "records/TrainReport.h"

namespace {

using history_sql::Statement;

constexpr const char* kTrainColumns =
    "id, site_id, site_number, site_name, unit_type, milepost, track, first_time, second_time, "
    "received, train_number, axles, cars, hb_left_max, hb_left_axle, hb_right_max, hb_right_axle, "
    "hw_left_max, hw_left_axle, hw_right_max, hw_right_axle, maxed_left, maxed_right, sim_codes, "
    "file, file_size";
// What version 2 added, and what a version 1 file reads as instead.
constexpr const char* kSiteColumns = ", site_alarms, journal_file, journal_offset";
constexpr const char* kNoSiteColumns = ", 0, NULL, NULL";

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
    r.siteAlarms = static_cast<int>(q.Int(26));
    r.journalFile = q.Text(27);
    r.journalOffset = q.Int(28);
}

// The WHERE clause of a filter and its values in order.
std::string Where(const TrainFilter& f, std::vector<std::string>& values) {
    std::string where;
    auto add = [&where](const char* clause) {
        where += where.empty() ? " WHERE " : " AND ";
        where += clause;
    };
    std::vector<int> sites = f.siteNumbers;
    if (f.siteNumber >= 0) sites.push_back(f.siteNumber);
    if (!sites.empty()) {
        std::string in = "site_number IN (";
        for (std::size_t i = 0; i < sites.size(); ++i) {
            in += i == 0 ? "?" : ", ?";
            values.push_back(std::to_string(sites[i]));
        }
        add((in + ")").c_str());
    }
    if (f.maxId > 0) {
        add("id <= ?");
        values.push_back(std::to_string(f.maxId));
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

}  // namespace

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
        case TrainOrder::Id: key = "id"; break;
        case TrainOrder::Radio: key = "site_id"; break;
        case TrainOrder::Track: key = "track"; break;
        case TrainOrder::HotWheel: key = "max(ifnull(hw_left_max, -1), ifnull(hw_right_max, -1))"; break;
        case TrainOrder::Maxed: key = "maxed_left + maxed_right"; break;
        case TrainOrder::Messages: key = "sim_codes"; break;
    }
    const char* dir = ascending ? " ASC" : " DESC";
    const bool byIndexing = order == TrainOrder::Received || order == TrainOrder::Id;
    std::string sql = std::string("SELECT ") + kTrainColumns + (version_ >= 2 ? kSiteColumns : kNoSiteColumns) +
                      " FROM trains" + Where(filter, values) + " ORDER BY " + key + dir +
                      (byIndexing ? std::string() : std::string(", first_time") + dir) + ", id" + dir +
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
    const std::string sql = std::string("SELECT ") + kTrainColumns +
                            (version_ >= 2 ? kSiteColumns : kNoSiteColumns) + " FROM trains WHERE id = ?";
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

std::vector<SiteAlarmEntry> TrainHistory::SiteAlarms(std::int64_t trainId) {
    std::vector<SiteAlarmEntry> entries;
    if (version_ < 2) return entries;
    Statement q(db_, "SELECT axle, bits, legacy FROM site_alarm_entries WHERE train_id = ? ORDER BY entry");
    q.Bind(1, trainId);
    while (q.Step() == SQLITE_ROW)
        entries.push_back(SiteAlarmEntry{static_cast<std::uint16_t>(q.Int(0)), static_cast<std::uint16_t>(q.Int(1)),
                                         q.Int(2) != 0});
    return entries;
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

std::vector<std::string> TrainHistory::SkippedFiles() {
    std::vector<std::string> files;
    Statement q(db_, "SELECT file FROM skipped ORDER BY file");
    while (q.Step() == SQLITE_ROW) files.push_back(q.Text(0));
    return files;
}

namespace {

constexpr const char* kAlarmColumns =
    "id, train_id, file, received, first_time, site_number, site_id, site_name, train_number, kind, "
    "axle, car, axle_in_car, side, reading, reference, threshold, code, text, ack_by, ack_time, "
    "ack_epoch, ack_comment";

void FillAlarm(const Statement& q, AlarmRow& a) {
    a.id = q.Int(0);
    a.trainId = q.Int(1);
    a.file = q.Text(2);
    a.received = q.Text(3);
    a.firstTime = q.Text(4);
    a.siteNumber = static_cast<int>(q.Int(5));
    a.siteId = static_cast<int>(q.Int(6));
    a.siteName = q.Text(7);
    a.trainNumber = static_cast<int>(q.Int(8));
    a.kind = q.Text(9);
    a.axle = static_cast<int>(q.Int(10));
    a.car = static_cast<int>(q.Int(11));
    a.axleInCar = static_cast<int>(q.Int(12));
    a.side = q.Text(13);
    a.reading = static_cast<int>(q.Int(14));
    a.reference = static_cast<int>(q.Int(15));
    a.threshold = static_cast<int>(q.Int(16));
    a.code = static_cast<int>(q.Int(17));
    a.text = q.Text(18);
    a.acknowledged = !q.IsNull(21);
    a.ackBy = q.Text(19);
    a.ackTime = q.Text(20);
    a.ackEpoch = q.Int(21);
    a.ackComment = q.Text(22);
}

std::string AlarmWhere(const AlarmFilter& f, std::vector<std::string>& values) {
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
        add("received >= ?");
        values.push_back(f.fromDate);
    }
    if (!f.toDate.empty()) {
        add("received < ?");
        values.push_back(f.toDate + "~");  // every time of that day sorts before "~"
    }
    if (f.unacknowledgedOnly) add("ack_epoch IS NULL");
    return where;
}

// Text as stored: control bytes left out, at most `most` bytes.
std::string StoredText(const std::string& text, std::size_t most) {
    std::string out;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F && out.size() < most) out += c;
    return out;
}

}  // namespace

std::vector<AlarmRow> TrainHistory::ListAlarms(const AlarmFilter& filter, std::int64_t offset, int limit) {
    std::vector<AlarmRow> rows;
    if (version_ < 3) return rows;
    std::vector<std::string> values;
    const std::string sql = std::string("SELECT ") + kAlarmColumns + " FROM alarms" + AlarmWhere(filter, values) +
                            " ORDER BY ack_epoch IS NOT NULL, received DESC, id DESC LIMIT ? OFFSET ?";
    Statement q(db_, sql.c_str());
    int n = 1;
    for (const std::string& v : values) q.Bind(n++, v);
    q.Bind(n, limit);
    q.Bind(n + 1, offset);
    while (q.Step() == SQLITE_ROW) {
        rows.emplace_back();
        FillAlarm(q, rows.back());
    }
    return rows;
}

std::int64_t TrainHistory::CountAlarms(const AlarmFilter& filter) {
    if (version_ < 3) return 0;
    std::vector<std::string> values;
    const std::string sql = "SELECT count(*) FROM alarms" + AlarmWhere(filter, values);
    Statement q(db_, sql.c_str());
    for (std::size_t i = 0; i < values.size(); ++i) q.Bind(static_cast<int>(i) + 1, values[i]);
    return q.Step() == SQLITE_ROW ? q.Int(0) : 0;
}

std::int64_t TrainHistory::CountUnacknowledged() {
    AlarmFilter f;
    f.unacknowledgedOnly = true;
    return CountAlarms(f);
}

std::int64_t TrainHistory::DataVersion() {
    Statement q(db_, "PRAGMA data_version");
    return q.Step() == SQLITE_ROW ? q.Int(0) : -1;
}

std::vector<TrainPassRow> TrainHistory::TrainsReceivedNear(const std::string& file, std::int64_t seconds, int limit) {
    std::vector<TrainPassRow> rows;
    if (version_ < 2) return rows;
    // The received time is local time text: the window is taken on the
    // text as it stands (an hour put back or forward shifts it once a year).
    const std::string sql = std::string("SELECT ") + kTrainColumns + kSiteColumns +
                            ", header FROM trains WHERE received BETWEEN "
                            "datetime((SELECT received FROM trains WHERE file = ?1), ?2) AND "
                            "datetime((SELECT received FROM trains WHERE file = ?1), ?3) "
                            "ORDER BY file = ?1 DESC, abs(julianday(received) - "
                            "julianday((SELECT received FROM trains WHERE file = ?1))), id LIMIT ?4";
    Statement q(db_, sql.c_str());
    q.Bind(1, file).Bind(2, "-" + std::to_string(seconds) + " seconds").Bind(3, "+" + std::to_string(seconds) + " seconds");
    q.Bind(4, limit);
    while (q.Step() == SQLITE_ROW) {
        rows.emplace_back();
        FillRow(q, rows.back().row);
        // The stored header: the 12-byte prefix, then the train header.
        const std::string header = q.Blob(29);
        if (header.size() > 12 + th::DIRECTION) rows.back().direction = header[12 + th::DIRECTION];
    }
    if (!rows.empty() && rows.front().row.file != file) rows.clear();
    return rows;
}

std::optional<AlarmRow> TrainHistory::AlarmById(std::int64_t id) {
    if (version_ < 3) return std::nullopt;
    const std::string sql = std::string("SELECT ") + kAlarmColumns + " FROM alarms WHERE id = ?";
    Statement q(db_, sql.c_str());
    q.Bind(1, id);
    if (q.Step() != SQLITE_ROW) return std::nullopt;
    AlarmRow a;
    FillAlarm(q, a);
    return a;
}

bool TrainHistory::AcknowledgeAlarm(std::int64_t id, const std::string& by, const std::string& comment,
                                    std::string* why, const char* source, std::int64_t at) {
    constexpr std::size_t kMostName = 64, kMostComment = 500;
    const std::string name = StoredText(by, kMostName), remark = StoredText(comment, kMostComment);
    if (name.empty()) {
        if (why != nullptr) *why = "an acknowledgement needs the operator's name";
        return false;
    }
    if (version_ < 3) {
        if (why != nullptr) *why = "the train history has no alarms yet (an older schema)";
        return false;
    }
    const std::int64_t now = at > 0 ? at : static_cast<std::int64_t>(std::time(nullptr));
    Statement q(db_, "UPDATE alarms SET ack_by = ?2, ack_time = ?3, ack_epoch = ?4, ack_comment = ?5 "
                     "WHERE id = ?1 AND ack_epoch IS NULL");
    q.Bind(1, id).Bind(2, name).Bind(3, LocalTimeText(now)).Bind(4, now);
    if (remark.empty())
        q.BindNull(5);
    else
        q.Bind(5, remark);
    if (!q.Run()) {
        if (why != nullptr) *why = LastError();
        return false;
    }
    if (sqlite3_changes(db_) == 1) {
        JournalAcknowledgement(id, name, remark, now, source);
        return true;
    }
    if (why != nullptr) {
        const std::optional<AlarmRow> alarm = AlarmById(id);
        *why = !alarm ? "no alarm with id " + std::to_string(id)
                      : "alarm " + std::to_string(id) + " was acknowledged already by " + alarm->ackBy + " at " +
                            alarm->ackTime;
    }
    return false;
}

std::vector<SiteDayCounts> TrainHistory::SiteCounts() {
    std::vector<SiteDayCounts> rows;
    Statement q(db_, "SELECT radio_id, day, retried, given_up, frame_errors, last_heard, last_powerup "
                     "FROM site_counts ORDER BY radio_id");
    if (!q.Ok()) return rows;  // a file without the table
    while (q.Step() == SQLITE_ROW) {
        SiteDayCounts c;
        c.radioId = static_cast<int>(q.Int(0));
        c.day = static_cast<int>(q.Int(1));
        c.retried = static_cast<int>(q.Int(2));
        c.givenUp = static_cast<int>(q.Int(3));
        c.frameErrors = static_cast<int>(q.Int(4));
        c.lastHeard = q.Int(5);
        c.lastPowerup = q.Int(6);
        rows.push_back(c);
    }
    return rows;
}

bool TrainHistory::StoreSiteCounts(const SiteDayCounts& c, std::string* why) {
    Statement q(db_, "INSERT OR REPLACE INTO site_counts(radio_id, day, retried, given_up, frame_errors, "
                     "last_heard, last_powerup) VALUES(?1,?2,?3,?4,?5,?6,?7)");
    q.Bind(1, c.radioId).Bind(2, c.day).Bind(3, c.retried).Bind(4, c.givenUp).Bind(5, c.frameErrors);
    q.Bind(6, c.lastHeard).Bind(7, c.lastPowerup);
    if (q.Run()) return true;
    if (why != nullptr) *why = LastError();
    return false;
}

void TrainHistory::JournalAcknowledgement(std::int64_t id, const std::string& by, const std::string& comment,
                                          std::int64_t at, const char* source) {
    const std::optional<AlarmRow> alarm = AlarmById(id);
    if (!alarm) return;
    Statement q(db_, "SELECT journal_file, journal_offset FROM trains WHERE id = ?1");
    q.Bind(1, alarm->trainId);
    if (q.Step() != SQLITE_ROW) return;
    const TrainJournalPlace place = TrainJournalPlaceOf(q.Text(0), static_cast<std::uint64_t>(q.Int(1)));
    if (place.date == 0) return;  // the office cannot name its train
    const std::size_t slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
    // The acknowledgement is stored: a journal that cannot be written
    // only keeps it from the office.
    (void)AppendEvent(folder, at, AckEventJson(*alarm, place, by, comment, at, source), nullptr);
}

std::int64_t TrainHistory::FindAlarm(long journalDate, std::uint64_t offset, const std::string& kind, int axle,
                                     const std::string& side, int code) {
    if (version_ < 3) return 0;
    Statement q(db_, "SELECT a.id, t.journal_file FROM alarms a JOIN trains t ON t.id = a.train_id "
                     "WHERE t.journal_offset = ?1 AND a.kind = ?2 AND a.axle = ?3 AND a.side = ?4 AND a.code = ?5");
    q.Bind(1, static_cast<std::int64_t>(offset)).Bind(2, kind).Bind(3, axle).Bind(4, side).Bind(5, code);
    while (q.Step() == SQLITE_ROW)
        if (TrainJournalPlaceOf(q.Text(1), offset).date == journalDate) return q.Int(0);
    return 0;
}

std::int64_t TrainHistory::TrainAtJournalPlace(long journalDate, std::uint64_t offset) {
    if (version_ < 3) return 0;  // no alarms to add to
    Statement q(db_, "SELECT id, journal_file FROM trains WHERE journal_offset = ?1");
    q.Bind(1, static_cast<std::int64_t>(offset));
    while (q.Step() == SQLITE_ROW)
        if (TrainJournalPlaceOf(q.Text(1), offset).date == journalDate) return q.Int(0);
    return 0;
}
