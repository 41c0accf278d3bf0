#include "records/HistoryText.h"

#include <cstdio>

namespace {

std::string Reading(int value) { return value < 0 ? "-" : std::to_string(value); }
std::string JsonNumberOrNull(int value) { return value < 0 ? "null" : std::to_string(value); }

std::string Milepost(int tenths) {
    char text[24];
    std::snprintf(text, sizeof text, "%d.%d", tenths / 10, tenths % 10);
    return text;
}

// A CSV field: quoted when it holds a separator, a quote or a line break.
std::string Csv(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    // Bytes from the radio are not UTF-8: keep them as code points.
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string SiteAlarmText(const TrainRow& train, const std::vector<SiteAlarmEntry>& siteAlarms) {
    if (train.journalFile.empty()) return "not known";
    if (siteAlarms.empty()) return train.siteAlarms > 0 ? std::to_string(train.siteAlarms) : "none";
    std::string out = std::to_string(siteAlarms.size()) + " (";
    char entry[48];
    for (std::size_t i = 0; i < siteAlarms.size(); ++i) {
        const SiteAlarmEntry& e = siteAlarms[i];
        std::snprintf(entry, sizeof entry, e.legacy ? "%saxle %u: code 0x%02X" : "%saxle %u: 0x%04X",
                      i == 0 ? "" : "; ", static_cast<unsigned>(e.axle), static_cast<unsigned>(e.bits));
        out += entry;
    }
    return out + ")";
}

std::string FormatTrainTable(const std::vector<TrainRow>& rows) {
    std::string out =
        "     Id Site  Radio Trk First time          Train Axles Cars HB max L/R  HW max L/R  "
        "Maxed SiteAlarms Messages\n";
    char line[512];
    for (const TrainRow& r : rows) {
        std::snprintf(line, sizeof line, "%7lld %05d %5d %3d %-19s %5d %5d %4d %3d/%-3d %4s/%-4s %5d %10s %s\n",
                      static_cast<long long>(r.id), r.siteNumber, r.siteId, r.track,
                      r.firstTime.c_str(), r.trainNumber, r.axles, r.cars, r.hotBoxMax[0],
                      r.hotBoxMax[1], Reading(r.hotWheelMax[0]).c_str(),
                      Reading(r.hotWheelMax[1]).c_str(), r.maxed[0] + r.maxed[1],
                      r.journalFile.empty() ? "-" : std::to_string(r.siteAlarms).c_str(),
                      r.simCodes.empty() ? "-" : SimCodeTexts(r.simCodes).c_str());
        out += line;
    }
    return out;
}

std::string FormatTrainCsv(const std::vector<TrainRow>& rows) {
    std::string out =
        "id,site_id,site_number,site_name,unit_type,milepost,track,first_time,second_time,received,"
        "train_number,axles,cars,hb_left_max,hb_left_axle,hb_right_max,hb_right_axle,hw_left_max,"
        "hw_left_axle,hw_right_max,hw_right_axle,maxed_left,maxed_right,sim_codes,file,file_size,"
        "site_alarms\n";
    for (const TrainRow& r : rows) {
        out += std::to_string(r.id) + ',' + std::to_string(r.siteId) + ',' +
               std::to_string(r.siteNumber) + ',' + Csv(r.siteName) + ',' + Csv(r.unitType) + ',' +
               Milepost(r.milepost) + ',' + std::to_string(r.track) + ',' + r.firstTime + ',' +
               r.secondTime + ',' + r.received + ',' + std::to_string(r.trainNumber) + ',' +
               std::to_string(r.axles) + ',' + std::to_string(r.cars);
        for (int s = 0; s < 2; ++s)
            out += ',' + std::to_string(r.hotBoxMax[s]) + ',' + std::to_string(r.hotBoxMaxAxle[s]);
        for (int s = 0; s < 2; ++s)
            out += ',' + (r.hotWheelMax[s] < 0 ? std::string() : std::to_string(r.hotWheelMax[s])) +
                   ',' + (r.hotWheelMax[s] < 0 ? std::string() : std::to_string(r.hotWheelMaxAxle[s]));
        out += ',' + std::to_string(r.maxed[0]) + ',' + std::to_string(r.maxed[1]) + ',' +
               Csv(r.simCodes) + ',' + Csv(r.file) + ',' + std::to_string(r.fileSize) + ',' +
               (r.journalFile.empty() ? std::string() : std::to_string(r.siteAlarms)) + '\n';
    }
    return out;
}

namespace {
std::string TrainJsonObject(const TrainRow& r) {
    std::string o = "{\"id\":" + std::to_string(r.id) + ",\"site_id\":" + std::to_string(r.siteId) +
                    ",\"site_number\":" + std::to_string(r.siteNumber) +
                    ",\"site_name\":" + JsonString(r.siteName) + ",\"unit_type\":" + JsonString(r.unitType) +
                    ",\"milepost\":" + Milepost(r.milepost) + ",\"track\":" + std::to_string(r.track) +
                    ",\"first_time\":" + JsonString(r.firstTime) +
                    ",\"second_time\":" + JsonString(r.secondTime) +
                    ",\"received\":" + JsonString(r.received) +
                    ",\"train_number\":" + std::to_string(r.trainNumber) +
                    ",\"axles\":" + std::to_string(r.axles) + ",\"cars\":" + std::to_string(r.cars) +
                    ",\"hb_left_max\":" + std::to_string(r.hotBoxMax[0]) +
                    ",\"hb_left_axle\":" + std::to_string(r.hotBoxMaxAxle[0]) +
                    ",\"hb_right_max\":" + std::to_string(r.hotBoxMax[1]) +
                    ",\"hb_right_axle\":" + std::to_string(r.hotBoxMaxAxle[1]) +
                    ",\"hw_left_max\":" + JsonNumberOrNull(r.hotWheelMax[0]) +
                    ",\"hw_left_axle\":" + (r.hotWheelMax[0] < 0 ? "null" : std::to_string(r.hotWheelMaxAxle[0])) +
                    ",\"hw_right_max\":" + JsonNumberOrNull(r.hotWheelMax[1]) +
                    ",\"hw_right_axle\":" + (r.hotWheelMax[1] < 0 ? "null" : std::to_string(r.hotWheelMaxAxle[1])) +
                    ",\"maxed_left\":" + std::to_string(r.maxed[0]) +
                    ",\"maxed_right\":" + std::to_string(r.maxed[1]) + ",\"sim_codes\":[";
    std::string codes = r.simCodes;
    if (!codes.empty()) o += codes;
    o += "],\"file\":" + JsonString(r.file) + ",\"file_size\":" + std::to_string(r.fileSize) +
         ",\"site_alarms\":" + (r.journalFile.empty() ? std::string("null") : std::to_string(r.siteAlarms)) +
         "}";
    return o;
}
}  // namespace

std::string FormatTrainJson(const std::vector<TrainRow>& rows) {
    std::string out = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        out += i == 0 ? "\n  " : ",\n  ";
        out += TrainJsonObject(rows[i]);
    }
    return out + (rows.empty() ? "]\n" : "\n]\n");
}

std::string FormatAxleTable(const TrainRow& t, const std::vector<ReportAxle>& axles,
                            const std::vector<SiteAlarmEntry>& siteAlarms) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "Train %lld: site %05d (radio %d, %s %s), track %d, %s to %s, train number %d, "
                  "%d axles, %d cars\nMessages: \n",
                  static_cast<long long>(t.id), t.siteNumber, t.siteId,
                  t.unitType.empty() ? "-" : t.unitType.c_str(), t.siteName.empty() ? "-" : t.siteName.c_str(),
                  t.track, t.firstTime.c_str(), t.secondTime.c_str(), t.trainNumber, t.axles, t.cars);
    std::string out = line;
    out.insert(out.size() - 1, t.simCodes.empty() ? "-" : SimCodeTexts(t.simCodes));
    out += "Site alarms: " + SiteAlarmText(t, siteAlarms) + "\n";
    out += "Axle  Car Start HB left HB right HW left HW right Load\n";
    for (const ReportAxle& a : axles) {
        std::snprintf(line, sizeof line, "%4d %4d %5s %7d%c %7d%c %7s %8s %4d\n", a.axle, a.car,
                      a.carStart ? "*" : "", a.hotBoxLeft, a.hotBoxLeft == HOT_BOX_MAXED ? '!' : ' ',
                      a.hotBoxRight, a.hotBoxRight == HOT_BOX_MAXED ? '!' : ' ',
                      Reading(a.hotWheelLeft).c_str(), Reading(a.hotWheelRight).c_str(), a.load);
        out += line;
    }
    return out;
}

std::string FormatAxleCsv(const std::vector<ReportAxle>& axles) {
    std::string out = "axle,car,car_start,hb_left,hb_right,hw_left,hw_right,load\n";
    for (const ReportAxle& a : axles) {
        out += std::to_string(a.axle) + ',' + std::to_string(a.car) + ',' + (a.carStart ? "1" : "0") +
               ',' + std::to_string(a.hotBoxLeft) + ',' + std::to_string(a.hotBoxRight) + ',' +
               (a.hotWheelLeft < 0 ? "" : std::to_string(a.hotWheelLeft)) + ',' +
               (a.hotWheelRight < 0 ? "" : std::to_string(a.hotWheelRight)) + ',' +
               std::to_string(a.load) + '\n';
    }
    return out;
}

std::string FormatAxleJson(const TrainRow& t, const std::vector<ReportAxle>& axles,
                           const std::vector<SiteAlarmEntry>& siteAlarms) {
    std::string out = "{\"train\":" + TrainJsonObject(t) + ",\n \"axles\":[";
    for (std::size_t i = 0; i < axles.size(); ++i) {
        const ReportAxle& a = axles[i];
        out += i == 0 ? "\n  " : ",\n  ";
        out += "{\"axle\":" + std::to_string(a.axle) + ",\"car\":" + std::to_string(a.car) +
               ",\"car_start\":" + (a.carStart ? "true" : "false") +
               ",\"hb_left\":" + std::to_string(a.hotBoxLeft) +
               ",\"hb_right\":" + std::to_string(a.hotBoxRight) +
               ",\"hw_left\":" + JsonNumberOrNull(a.hotWheelLeft) +
               ",\"hw_right\":" + JsonNumberOrNull(a.hotWheelRight) +
               ",\"load\":" + std::to_string(a.load) + "}";
    }
    out += axles.empty() ? "]" : "\n ]";
    out += ",\n \"site_alarm_entries\":[";
    for (std::size_t i = 0; i < siteAlarms.size(); ++i) {
        const SiteAlarmEntry& e = siteAlarms[i];
        out += i == 0 ? "\n  " : ",\n  ";
        out += "{\"axle\":" + std::to_string(e.axle) + ",\"bits\":" + std::to_string(e.bits) +
               ",\"legacy\":" + (e.legacy ? "true" : "false") + "}";
    }
    return out + (siteAlarms.empty() ? "]}\n" : "\n ]}\n");
}

namespace {

std::string Number(int value) { return value < 0 ? "-" : std::to_string(value); }

// Text for a terminal: control bytes (escape sequences from a site's name
// or an operator's comment) left out.
std::string Plain(const std::string& text) {
    std::string out;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out += c;
    return out;
}

std::string AlarmJsonObject(const AlarmRow& a) {
    auto text = [](const std::string& v) { return JsonString(v); };
    auto ack = [&](const std::string& v) { return a.acknowledged && !v.empty() ? JsonString(v) : "null"; };
    return "{\"id\":" + std::to_string(a.id) + ",\"train_id\":" + std::to_string(a.trainId) +
           ",\"received\":" + text(a.received) + ",\"first_time\":" + text(a.firstTime) +
           ",\"site_number\":" + std::to_string(a.siteNumber) + ",\"site_id\":" + std::to_string(a.siteId) +
           ",\"site_name\":" + text(a.siteName) + ",\"train_number\":" + std::to_string(a.trainNumber) +
           ",\"kind\":" + text(a.kind) + ",\"axle\":" + std::to_string(a.axle) + ",\"car\":" +
           std::to_string(a.car) + ",\"axle_in_car\":" + std::to_string(a.axleInCar) + ",\"side\":" +
           text(a.side) + ",\"reading\":" + JsonNumberOrNull(a.reading) + ",\"reference\":" +
           JsonNumberOrNull(a.reference) + ",\"threshold\":" + JsonNumberOrNull(a.threshold) +
           ",\"code\":" + std::to_string(a.code) + ",\"text\":" + text(a.text) + ",\"file\":" + text(a.file) +
           ",\"acknowledged\":" + (a.acknowledged ? "true" : "false") + ",\"ack_by\":" + ack(a.ackBy) +
           ",\"ack_time\":" + ack(a.ackTime) + ",\"ack_epoch\":" +
           (a.acknowledged ? std::to_string(a.ackEpoch) : "null") + ",\"ack_comment\":" + ack(a.ackComment) + "}";
}

}  // namespace

std::string FormatAlarmTable(const std::vector<AlarmRow>& rows) {
    std::string out =
        "     Id Received            Site  Radio Train Kind            Axle Car/Axle Side  Reading Threshold "
        "Acknowledged\n";
    char line[512];
    for (const AlarmRow& a : rows) {
        const std::string car = a.car > 0 ? std::to_string(a.car) + "/" + std::to_string(a.axleInCar) : "-";
        const std::string ack =
            a.acknowledged ? Plain(a.ackBy) + " " + a.ackTime + (a.ackComment.empty() ? "" : ": " + Plain(a.ackComment))
                           : "-";
        std::snprintf(line, sizeof line, "%7lld %-19s %05d %5d %5d %-15s %4s %8s %-5s %7s %9s %s\n",
                      static_cast<long long>(a.id), a.received.c_str(), a.siteNumber, a.siteId, a.trainNumber,
                      Plain(a.kind).c_str(), a.axle > 0 ? std::to_string(a.axle).c_str() : "-", car.c_str(),
                      a.side == "none" ? "-" : Plain(a.side).c_str(), Number(a.reading).c_str(),
                      Number(a.threshold).c_str(), ack.c_str());
        out += line;
    }
    return out;
}

std::string FormatAlarmCsv(const std::vector<AlarmRow>& rows) {
    std::string out =
        "id,train_id,received,first_time,site_number,site_id,site_name,train_number,kind,axle,car,axle_in_car,"
        "side,reading,reference,threshold,code,text,file,acknowledged,ack_by,ack_time,ack_epoch,ack_comment\n";
    auto num = [](int v) { return v < 0 ? std::string() : std::to_string(v); };
    for (const AlarmRow& a : rows) {
        out += std::to_string(a.id) + ',' + std::to_string(a.trainId) + ',' + a.received + ',' + a.firstTime + ',' +
               std::to_string(a.siteNumber) + ',' + std::to_string(a.siteId) + ',' + Csv(Plain(a.siteName)) + ',' +
               std::to_string(a.trainNumber) + ',' + Csv(a.kind) + ',' + std::to_string(a.axle) + ',' +
               std::to_string(a.car) + ',' + std::to_string(a.axleInCar) + ',' + Csv(a.side) + ',' +
               num(a.reading) + ',' + num(a.reference) + ',' + num(a.threshold) + ',' + std::to_string(a.code) +
               ',' + Csv(a.text) + ',' + Csv(a.file) + ',' + (a.acknowledged ? "1" : "0") + ',' +
               Csv(a.ackBy) + ',' + a.ackTime + ',' + (a.acknowledged ? std::to_string(a.ackEpoch) : "") + ',' +
               Csv(a.ackComment) + '\n';
    }
    return out;
}

std::string FormatAlarmJson(const std::vector<AlarmRow>& rows) {
    std::string out = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        out += i == 0 ? "\n  " : ",\n  ";
        out += AlarmJsonObject(rows[i]);
    }
    return out + (rows.empty() ? "]\n" : "\n]\n");
}

std::string FormatAcknowledged(const AlarmRow& a) {
    return "Alarm " + std::to_string(a.id) + " acknowledged by " + Plain(a.ackBy) + " at " + a.ackTime +
           (a.ackComment.empty() ? "" : ": " + Plain(a.ackComment)) + "\n";
}
