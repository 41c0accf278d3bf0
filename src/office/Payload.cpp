#include "office/Payload.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>

#include "common/Bytes.h"
#include "common/TrainRecord.h"
#include "engine/Assembly.h"
#include "office/JsonFields.h"

using nlohmann::json;
using jsonfields::Fail;
using jsonfields::GetInt;
using jsonfields::GetString;
using jsonfields::ParseObject;
using jsonfields::ValidDate;

namespace {

constexpr char kTopicRoot[] = "kestova/v1/";

// "YYYY-MM-DDThh:mm:ss" of a real date and time (the database takes it as
// a timestamp, so nothing it would refuse may pass).
bool ValidStamp(const std::string& f) {
    static constexpr char kShape[] = "dddd-dd-ddTdd:dd:dd";
    if (f.size() != sizeof kShape - 1) return false;
    for (std::size_t i = 0; i < f.size(); ++i)
        if (kShape[i] == 'd' ? (f[i] < '0' || f[i] > '9') : f[i] != kShape[i]) return false;
    auto num = [&](std::size_t at, std::size_t n) { return std::stoi(f.substr(at, n)); };
    const int y = num(0, 4), mo = num(5, 2), d = num(8, 2);
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || mo < 1 || mo > 12 || d < 1) return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > kDays[mo - 1] + (mo == 2 && leap ? 1 : 0)) return false;
    return num(11, 2) < 24 && num(14, 2) < 60 && num(17, 2) < 60;
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

bool ValidPointName(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    for (char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::string OfficeTopic(const std::string& point, const char* leaf) {
    return kTopicRoot + point + "/" + leaf;
}

std::string PointOfTopic(const std::string& topic, const char* leaf) {
    const std::string root = kTopicRoot, tail = std::string("/") + leaf;
    if (topic.size() <= root.size() + tail.size() || topic.compare(0, root.size(), root) != 0 ||
        topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0)
        return "";
    std::string point = topic.substr(root.size(), topic.size() - root.size() - tail.size());
    return ValidPointName(point) ? point : "";
}

std::string TrainKey(const std::string& point, long journalDate, std::uint64_t offset) {
    return point + "/" + std::to_string(journalDate) + "/" + std::to_string(offset);
}

std::string TrainMessage::Key() const { return TrainKey(point, journalDate, offset); }

bool ParseTrainKey(const std::string& key, const std::string& point, long* journalDate,
                   std::uint64_t* offset) {
    if (key.size() < point.size() + 11 || key.compare(0, point.size() + 1, point + "/") != 0)
        return false;
    const std::string rest = key.substr(point.size() + 1);
    if (rest.size() < 10 || rest[8] != '/') return false;
    long date = 0;
    for (int i = 0; i < 8; ++i) {
        if (rest[i] < '0' || rest[i] > '9') return false;
        date = date * 10 + (rest[i] - '0');
    }
    const std::string digits = rest.substr(9);
    if (digits.empty() || digits.size() > 19 || (digits.size() > 1 && digits[0] == '0')) return false;
    std::uint64_t at = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        at = at * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!ValidDate(date)) return false;
    *journalDate = date;
    *offset = at;
    return true;
}

TrainSummary SummarizeTrain(const JournalTrain& train) {
    TrainSummary s;
    if (train.stream.size() < TRAIN_PREFIX_SIZE + th::AXLE_COUNT + 4) return s;
    auto record = std::make_unique<TrainRecord>();
    if (!AssembleJournalTrain(*record, train)) return s;
    const std::uint8_t* h = record->header;
    s.present = true;
    s.site = ReadLe16(h + th::SITE_NUMBER);
    s.train = ReadLe16(h + th::TRAIN_NUMBER);
    s.axles = ReadLe16(h + th::AXLE_COUNT);
    s.cars = ReadLe16(h + th::CAR_COUNT);
    s.speed = ReadLe16(h + th::SPEED);
    s.track = h[th::TRACK];
    const unsigned char dir = h[th::DIRECTION];
    if (dir >= 0x20 && dir < 0x7F && dir != '"' && dir != '\\') s.direction = std::string(1, static_cast<char>(dir));
    const std::uint8_t* t = h + th::FIRST_STAMP;
    if (t[1] >= 1 && t[1] <= 12 && t[2] >= 1 && t[2] <= 31 && t[3] < 24 && t[4] < 60 && t[5] < 60) {
        char text[48];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", 2000 + t[0], t[1], t[2],
                      t[3], t[4], t[5]);
        if (ValidStamp(text)) s.firstStamp = text;
    }
    return s;
}

TrainMessage MessageOfJournalTrain(const std::string& point, long journalDate,
                                   const JournalTrain& train) {
    TrainMessage m;
    m.point = point;
    m.journalDate = journalDate;
    m.offset = train.offset;
    m.receivedAt = train.receivedAt;
    m.radioId = train.radioId;
    m.ackByte = train.trackOrSequence;
    m.delivery = static_cast<int>(train.delivery);
    m.blockCount = train.blockCount;
    m.stream = train.stream;
    m.summary = SummarizeTrain(train);
    return m;
}

std::string EncodeTrainMessage(const TrainMessage& m) {
    json j = {{"v", OFFICE_PAYLOAD_VERSION},
              {"key", m.Key()},
              {"point", m.point},
              {"journal", m.journalDate},
              {"offset", m.offset},
              {"received", m.receivedAt},
              {"radio", m.radioId},
              {"ack", m.ackByte},
              {"delivery", m.delivery},
              {"blocks", m.blockCount},
              {"stream", Base64Encode(m.stream)}};
    if (m.summary.present) {
        json s = {{"site", m.summary.site},   {"train", m.summary.train}, {"axles", m.summary.axles},
                  {"cars", m.summary.cars},   {"speed", m.summary.speed}, {"track", m.summary.track},
                  {"direction", m.summary.direction}};
        if (!m.summary.firstStamp.empty()) s["first"] = m.summary.firstStamp;
        j["summary"] = std::move(s);
    }
    return j.dump();
}

bool ParseTrainMessage(const std::string& topicPoint, const std::string& payload, TrainMessage* out,
                       std::string* why) {
    json j;
    if (!ParseObject(payload, OFFICE_MAX_PAYLOAD, "", &j, why)) return false;
    TrainMessage m;
    std::string key, stream;
    if (!GetString(j, "point", &m.point, why)) return false;
    if (m.point != topicPoint) return Fail(why, "point \"" + m.point.substr(0, 40) + "\" on the topic of " + topicPoint);
    long long date = 0, offset = 0, received = 0, radio = 0, ack = 0, delivery = 0, blocks = 0;
    if (!GetInt(j, "journal", 19700101, 99991231, &date, why) ||
        !GetInt(j, "offset", TRAIN_JOURNAL_HEADER_SIZE, 1LL << 50, &offset, why) ||
        !GetInt(j, "received", 0, 1LL << 40, &received, why) ||
        !GetInt(j, "radio", 0, 255, &radio, why) || !GetInt(j, "ack", 0, 255, &ack, why) ||
        !GetInt(j, "delivery", 1, 2, &delivery, why) || !GetInt(j, "blocks", 0, 255, &blocks, why) ||
        !GetString(j, "key", &key, why) || !GetString(j, "stream", &stream, why))
        return false;
    if (!ValidDate(static_cast<long>(date))) return Fail(why, "\"journal\" is not a date");
    m.journalDate = static_cast<long>(date);
    m.offset = static_cast<std::uint64_t>(offset);
    if (key != m.Key()) return Fail(why, "\"key\" does not match point, journal and offset");
    m.receivedAt = received;
    m.radioId = static_cast<int>(radio);
    m.ackByte = static_cast<int>(ack);
    m.delivery = static_cast<int>(delivery);
    m.blockCount = static_cast<int>(blocks);
    if (stream.size() > (OFFICE_MAX_STREAM + 2) / 3 * 4 || !Base64Decode(stream, &m.stream))
        return Fail(why, "\"stream\" is not base64 of at most " + std::to_string(OFFICE_MAX_STREAM) + " bytes");
    auto s = j.find("summary");
    if (s != j.end()) {
        if (!s->is_object()) return Fail(why, "\"summary\" is not an object");
        long long site = 0, train = 0, axles = 0, cars = 0, speed = 0, track = 0;
        if (!GetInt(*s, "site", 0, 65535, &site, why) || !GetInt(*s, "train", 0, 65535, &train, why) ||
            !GetInt(*s, "axles", 0, 65535, &axles, why) || !GetInt(*s, "cars", 0, 65535, &cars, why) ||
            !GetInt(*s, "speed", 0, 65535, &speed, why) || !GetInt(*s, "track", 0, 255, &track, why) ||
            !GetString(*s, "direction", &m.summary.direction, why))
            return false;
        if (m.summary.direction.size() > 1) return Fail(why, "\"direction\" is longer than one character");
        if (!m.summary.direction.empty() && (m.summary.direction[0] < 0x20 || m.summary.direction[0] > 0x7E))
            return Fail(why, "\"direction\" is not a printable character");
        if (s->contains("first") && !GetString(*s, "first", &m.summary.firstStamp, why)) return false;
        if (!m.summary.firstStamp.empty() && !ValidStamp(m.summary.firstStamp))
            return Fail(why, "\"first\" is not a time stamp");
        m.summary.present = true;
        m.summary.site = static_cast<int>(site);
        m.summary.train = static_cast<int>(train);
        m.summary.axles = static_cast<int>(axles);
        m.summary.cars = static_cast<int>(cars);
        m.summary.speed = static_cast<int>(speed);
        m.summary.track = static_cast<int>(track);
    }
    *out = std::move(m);
    return true;
}

std::string ReadableTrainKey(const std::string& topicPoint, const std::string& payload) {
    if (topicPoint.empty() || payload.size() > OFFICE_MAX_PAYLOAD) return "";
    const json j = json::parse(payload, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return "";
    const auto k = j.find("key");
    if (k == j.end() || !k->is_string()) return "";
    const std::string key = k->get<std::string>();
    long date = 0;
    std::uint64_t offset = 0;
    return ParseTrainKey(key, topicPoint, &date, &offset) ? key : "";
}

std::string EncodeConfirm(const std::vector<std::string>& keys) {
    return json{{"v", OFFICE_PAYLOAD_VERSION}, {"keys", keys}}.dump();
}

bool ParseConfirm(const std::string& payload, std::vector<std::string>* keys, std::string* why) {
    json j;
    if (!ParseObject(payload, OFFICE_MAX_PAYLOAD, "confirmation", &j, why)) return false;
    auto it = j.find("keys");
    if (it == j.end() || !it->is_array()) return Fail(why, "confirmation without \"keys\"");
    keys->clear();
    for (const auto& k : *it)
        if (k.is_string()) keys->push_back(k.get<std::string>());
    return true;
}

std::string Base64Encode(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += kBase64[v & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const unsigned v = (bytes[i] << 16) | (two ? bytes[i + 1] << 8 : 0);
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
        out += two ? kBase64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool Base64Decode(const std::string& text, std::vector<std::uint8_t>* bytes) {
    if (text.size() % 4 != 0) return false;
    bytes->clear();
    bytes->reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        unsigned v = 0;
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            int d;
            if (c >= 'A' && c <= 'Z') d = c - 'A';
            else if (c >= 'a' && c <= 'z') d = c - 'a' + 26;
            else if (c >= '0' && c <= '9') d = c - '0' + 52;
            else if (c == '+') d = 62;
            else if (c == '/') d = 63;
            else if (c == '=' && i + 4 == text.size() && k >= 2 && (k == 3 || text[i + 3] == '=')) {
                d = 0;
                ++pad;
            } else
                return false;
            if (pad > 0 && c != '=') return false;
            v = (v << 6) | static_cast<unsigned>(d);
        }
        bytes->push_back(static_cast<std::uint8_t>(v >> 16));
        if (pad < 2) bytes->push_back(static_cast<std::uint8_t>(v >> 8));
        if (pad < 1) bytes->push_back(static_cast<std::uint8_t>(v));
    }
    return true;
}
