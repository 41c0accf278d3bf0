#include "office/EventPayload.h"

#include <nlohmann/json.hpp>

#include "office/JsonFields.h"
#include "office/Payload.h"

using nlohmann::json;
using jsonfields::Fail;
using jsonfields::GetInt;
using jsonfields::GetNumber;
using jsonfields::GetText;
using jsonfields::ParseObject;
using jsonfields::ValidDate;

namespace {

constexpr char kTopicRoot[] = "kestova/v1/";
constexpr std::size_t kMostText = 500, kMostName = 64, kMostTrendSteps = 64;

bool ValidKind(const std::string& kind) {
    if (kind.empty() || kind.size() > 32) return false;
    for (char c : kind)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    return true;
}

bool ValidSide(const std::string& side) { return side == "left" || side == "right" || side == "none"; }

// Digits only, no leading zero, at most `most` of them.
bool Number(const std::string& text, std::size_t most, unsigned long long* v) {
    if (text.empty() || text.size() > most || (text.size() > 1 && text[0] == '0')) return false;
    *v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        *v = *v * 10 + static_cast<unsigned long long>(c - '0');
    }
    return true;
}

std::vector<std::string> Split(const std::string& text, char at) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == at) parts.emplace_back();
        else parts.back() += c;
    }
    return parts;
}

// The alarm's own fields and keys, shared by alarm and ack.
bool ParseAlarmPart(const json& j, const std::string& point, EventMessage* m, std::string* why) {
    long date = 0;
    std::uint64_t offset = 0;
    if (!GetText(j, "train_key", 120, false, &m->trainKey, why) || !GetText(j, "alarm_key", 200, false, &m->alarmKey, why) ||
        !GetText(j, "kind", 32, false, &m->kind, why) || !GetNumber(j, "axle", 0, 65535, &m->axle, why) ||
        !GetText(j, "side", 8, false, &m->side, why) || !GetNumber(j, "code", 0, 0x7FFFFFFF, &m->code, why))
        return false;
    if (!ParseTrainKey(m->trainKey, point, &date, &offset)) return Fail(why, "\"train_key\" is not a train key of " + point);
    if (!ValidKind(m->kind)) return Fail(why, "\"kind\" is not an alarm kind");
    if (!ValidSide(m->side)) return Fail(why, "\"side\" is not left, right or none");
    if (m->alarmKey != AlarmKey(m->trainKey, m->kind, m->axle, m->side, m->code))
        return Fail(why, "\"alarm_key\" does not match the train key and the alarm");
    return true;
}

bool ParseSiteAndRadio(const json& j, EventMessage* m, std::string* why) {
    return GetNumber(j, "radio", 0, 255, &m->radio, why) && GetNumber(j, "site", 0, 65535, &m->site, why);
}

// An alarm's fields: the point's alarm event and the office's alarm alike.
bool ParseAlarmBody(const json& j, const std::string& point, EventMessage* m, std::string* why) {
    if (!ParseAlarmPart(j, point, m, why) || !GetNumber(j, "car", 0, 65535, &m->car, why) ||
        !GetNumber(j, "axle_in_car", 0, 65535, &m->axleInCar, why) ||
        !GetNumber(j, "reading", -1, 65535, &m->reading, why) ||
        !GetNumber(j, "reference", -1, 65535, &m->reference, why) ||
        !GetNumber(j, "threshold", -1, 65535, &m->threshold, why) ||
        !GetText(j, "text", kMostText, true, &m->text, why) || !ParseSiteAndRadio(j, m, why) ||
        !GetNumber(j, "train", 0, 65535, &m->train, why))
        return false;
    const auto trend = j.find("trend");
    if (trend != j.end()) {
        if (!trend->is_array() || trend->size() > kMostTrendSteps) return Fail(why, "\"trend\" is not a list of steps");
        for (const json& step : *trend) {
            long long n = 0;
            if (!step.is_object() || !GetInt(step, "site", 0, 65535, &n, why) ||
                !GetInt(step, "relative", -65535, 65535, &n, why))
                return Fail(why, "\"trend\" holds a step that is not {\"site\", \"relative\"}");
        }
        m->trendJson = trend->dump();
    }
    return true;
}

}  // namespace

std::string EventKey(const std::string& point, long journalDate, std::uint64_t offset) {
    return point + "/E" + std::to_string(journalDate) + "/" + std::to_string(offset);
}

std::string EventMessage::Key() const { return EventKey(point, journalDate, offset); }

bool ParseEventKey(const std::string& key, const std::string& point, long* journalDate, std::uint64_t* offset) {
    if (key.compare(0, point.size() + 2, point + "/E") != 0) return false;
    const std::vector<std::string> parts = Split(key.substr(point.size() + 2), '/');
    unsigned long long date = 0, at = 0;
    if (parts.size() != 2 || parts[0].size() != 8 || !Number(parts[0], 8, &date) || !Number(parts[1], 19, &at) ||
        !ValidDate(static_cast<long>(date)) || at < EVENT_JOURNAL_HEADER_SIZE)
        return false;
    *journalDate = static_cast<long>(date);
    *offset = at;
    return true;
}

std::string AlarmKey(const std::string& trainKey, const std::string& kind, int axle, const std::string& side, int code) {
    return trainKey + "/" + kind + "/" + std::to_string(axle) + "/" + side + "/" + std::to_string(code);
}

bool ParseAlarmKey(const std::string& key, const std::string& point, long* journalDate, std::uint64_t* offset,
                   std::string* kind, int* axle, std::string* side, int* code) {
    if (key.compare(0, point.size() + 1, point + "/") != 0 || key.size() > 200) return false;
    const std::vector<std::string> parts = Split(key.substr(point.size() + 1), '/');
    unsigned long long a = 0, c = 0;
    if (parts.size() != 6 || !ValidKind(parts[2]) || !Number(parts[3], 5, &a) || a > 65535 || !ValidSide(parts[4]) ||
        !Number(parts[5], 10, &c) || c > 0x7FFFFFFF)
        return false;
    if (!ParseTrainKey(point + "/" + parts[0] + "/" + parts[1], point, journalDate, offset)) return false;
    *kind = parts[2];
    *axle = static_cast<int>(a);
    *side = parts[4];
    *code = static_cast<int>(c);
    return true;
}

std::string EventPayloadOfJournal(const std::string& point, long journalDate, const JournalEvent& event,
                                  std::string* leaf) {
    json j = json::parse(event.json, nullptr, false);
    *leaf = "event";
    if (j.is_discarded() || !j.is_object()) j = json{{"type", "unreadable"}, {"text", event.json.substr(0, 1000)}};
    // The train's place in the train journal becomes its key.
    const auto type = j.find("type");
    if (type != j.end() && type->is_string() && (*type == "alarm" || *type == "ack")) {
        const auto date = j.find("journal"), at = j.find("offset");
        if (date != j.end() && at != j.end() && date->is_number_unsigned() && at->is_number_unsigned() &&
            date->get<unsigned long long>() != 0) {
            const std::string trainKey = TrainKey(point, static_cast<long>(date->get<unsigned long long>()),
                                                  at->get<std::uint64_t>());
            j["train_key"] = trainKey;
            const auto kind = j.find("kind"), axle = j.find("axle"), side = j.find("side"), code = j.find("code");
            if (kind != j.end() && kind->is_string() && axle != j.end() && axle->is_number_integer() &&
                side != j.end() && side->is_string() && code != j.end() && code->is_number_integer())
                j["alarm_key"] = AlarmKey(trainKey, kind->get<std::string>(), axle->get<int>(),
                                          side->get<std::string>(), code->get<int>());
        }
    }
    if (type != j.end() && *type == "site") {
        const auto site = j.find("site");
        if (site != j.end() && site->is_number_unsigned() && site->get<unsigned long long>() <= 65535)
            *leaf = "site/" + std::to_string(site->get<unsigned long long>());
    }
    j["v"] = 1;
    j["key"] = EventKey(point, journalDate, event.offset);
    j["point"] = point;
    j["journal"] = journalDate;
    j["offset"] = event.offset;
    j["time"] = event.time;
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool ParseEventMessage(const std::string& topicPoint, const std::string& payload, EventMessage* out, std::string* why) {
    json j;
    if (!ParseObject(payload, OFFICE_MAX_PAYLOAD, "", &j, why)) return false;
    EventMessage m;
    std::string key;
    if (!GetText(j, "point", 40, false, &m.point, why)) return false;
    if (m.point != topicPoint) return Fail(why, "point \"" + m.point + "\" on the topic of " + topicPoint);
    if (!GetNumber(j, "journal", 19700101, 99991231, &m.journalDate, why) ||
        !GetNumber(j, "offset", EVENT_JOURNAL_HEADER_SIZE, 1LL << 50, &m.offset, why) ||
        !GetNumber(j, "time", 0, 1LL << 40, &m.time, why) || !GetText(j, "key", 120, false, &key, why) ||
        !GetText(j, "type", 32, false, &m.type, why))
        return false;
    if (!ValidDate(m.journalDate)) return Fail(why, "\"journal\" is not a date");
    if (key != m.Key()) return Fail(why, "\"key\" does not match point, journal and offset");
    bool ok = false;
    if (m.type == "alarm") {
        ok = ParseAlarmBody(j, topicPoint, &m, why);
    } else if (m.type == "ack") {
        ok = ParseAlarmPart(j, topicPoint, &m, why) && GetText(j, "by", kMostName, false, &m.by, why) &&
             GetText(j, "comment", kMostText, true, &m.comment, why) && GetNumber(j, "at", 1, 1LL << 40, &m.ackAt, why) &&
             GetText(j, "source", 8, false, &m.source, why);
        if (ok && m.by.empty()) return Fail(why, "\"by\" is empty");
        if (ok && m.source != "point" && m.source != "office") return Fail(why, "\"source\" is not point or office");
    } else if (m.type == "powerup") {
        ok = ParseSiteAndRadio(j, &m, why) && GetNumber(j, "track", 0, 255, &m.track, why);
    } else if (m.type == "link") {
        ok = GetText(j, "state", 8, false, &m.state, why) && GetText(j, "device", 256, false, &m.device, why);
        if (ok && m.state != "lost" && m.state != "back") return Fail(why, "\"state\" is not lost or back");
    } else if (m.type == "transfer-given-up") {
        ok = ParseSiteAndRadio(j, &m, why);
    } else if (m.type == "site") {
        ok = ParseSiteAndRadio(j, &m, why) && GetText(j, "name", kMostName, false, &m.name, why) &&
             GetNumber(j, "milepost", -1, 100000000, &m.milepost, why) && GetNumber(j, "track", 0, 255, &m.track, why) &&
             GetNumber(j, "code", 0, 65535, &m.lastCode, why) && GetNumber(j, "last_call", 0, 1LL << 40, &m.lastCall, why) &&
             GetNumber(j, "last_train", 0, 1LL << 40, &m.lastTrain, why);
        const auto silent = j.find("silent");
        if (ok && (silent == j.end() || !silent->is_boolean())) return Fail(why, "\"silent\" is not true or false");
        if (ok) m.silent = silent->get<bool>();
    } else {
        return Fail(why, "\"type\" is not an event type");
    }
    if (!ok) return false;
    *out = std::move(m);
    return true;
}

std::string EventMessage::Detail() const {
    if (type == "link") return json{{"device", device}}.dump(-1, ' ', false, json::error_handler_t::replace);
    json d = {{"radio", radio}, {"site", site}};
    if (type == "powerup") d["track"] = track;
    return d.dump();
}

std::string ReadableEventKey(const std::string& topicPoint, const std::string& payload) {
    if (topicPoint.empty() || payload.size() > OFFICE_MAX_PAYLOAD) return "";
    const json j = json::parse(payload, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return "";
    const auto k = j.find("key");
    if (k == j.end() || !k->is_string()) return "";
    long date = 0;
    std::uint64_t offset = 0;
    return ParseEventKey(k->get<std::string>(), topicPoint, &date, &offset) ? k->get<std::string>() : "";
}

bool SplitOfficeTopic(const std::string& topic, std::string* point, std::string* leaf) {
    const std::string root = kTopicRoot;
    if (topic.compare(0, root.size(), root) != 0) return false;
    const std::size_t slash = topic.find('/', root.size());
    if (slash == std::string::npos) return false;
    *point = topic.substr(root.size(), slash - root.size());
    *leaf = topic.substr(slash + 1);
    return ValidPointName(*point) && !leaf->empty();
}

std::string EncodeOfficeAcks(const std::vector<OfficeAck>& acks) {
    json list = json::array();
    for (const OfficeAck& a : acks)
        list.push_back({{"alarm_key", a.alarmKey}, {"by", a.by}, {"comment", a.comment}, {"at", a.at}});
    return json{{"v", OFFICE_PAYLOAD_VERSION}, {"acks", list}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool ParseOfficeAcks(const std::string& payload, std::vector<OfficeAck>* acks, std::string* why) {
    json j;
    if (!ParseObject(payload, OFFICE_MAX_PAYLOAD, "acknowledgements", &j, why)) return false;
    const auto list = j.find("acks");
    if (list == j.end() || !list->is_array()) return Fail(why, "no \"acks\" list");
    acks->clear();
    for (const json& item : *list) {
        OfficeAck a;
        if (!item.is_object() || !GetText(item, "alarm_key", 200, false, &a.alarmKey, why) ||
            !GetText(item, "by", kMostName, false, &a.by, why) || !GetText(item, "comment", kMostText, true, &a.comment, why) ||
            !GetNumber(item, "at", 1, 1LL << 40, &a.at, why) || a.by.empty())
            return Fail(why, "an acknowledgement without alarm_key, by, comment or at");
        acks->push_back(std::move(a));
    }
    return true;
}

std::string EncodeBacklog(std::size_t trains, std::size_t events) {
    return json{{"v", OFFICE_PAYLOAD_VERSION}, {"trains", trains}, {"events", events}, {"backlog", trains + events}}.dump();
}

bool ParseBacklog(const std::string& payload, long long* total, std::string* why) {
    json j;
    if (!ParseObject(payload, 1024, "backlog", &j, why)) return false;
    return GetInt(j, "backlog", 0, 0x7FFFFFFF, total, why);
}

std::string EncodeOfficeAlarm(const EventMessage& a) {
    json j = {{"v", OFFICE_PAYLOAD_VERSION}, {"type", "alarm"}, {"train_key", a.trainKey}, {"alarm_key", a.alarmKey},
              {"kind", a.kind}, {"axle", a.axle}, {"car", a.car}, {"axle_in_car", a.axleInCar}, {"side", a.side},
              {"reading", a.reading}, {"reference", a.reference}, {"threshold", a.threshold}, {"code", a.code},
              {"text", a.text}, {"radio", a.radio}, {"site", a.site}, {"train", a.train}};
    if (!a.trendJson.empty()) {
        const json trend = json::parse(a.trendJson, nullptr, false);
        if (trend.is_array()) j["trend"] = trend;
    }
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool ParseOfficeAlarm(const std::string& topicPoint, const std::string& payload, EventMessage* out, std::string* why) {
    json j;
    if (!ParseObject(payload, OFFICE_MAX_PAYLOAD, "alarm", &j, why)) return false;
    EventMessage m;
    if (!GetText(j, "type", 32, false, &m.type, why)) return false;
    if (m.type != "alarm") return Fail(why, "\"type\" is not alarm");
    if (!ParseAlarmBody(j, topicPoint, &m, why)) return false;
    m.point = topicPoint;
    *out = std::move(m);
    return true;
}
