#include "office/JsonFields.h"

#include "office/Payload.h"

namespace jsonfields {

bool Fail(std::string* why, const std::string& reason) {
    if (why) *why = reason;
    return false;
}

bool ParseObject(const std::string& payload, std::size_t most, const std::string& what, json* out,
                 std::string* why) {
    const std::string name = what.empty() ? std::string("payload") : what;
    if (payload.size() > most)
        return Fail(why, name + " of " + std::to_string(payload.size()) + " bytes, more than " + std::to_string(most));
    json j = json::parse(payload, nullptr, false);
    if (j.is_discarded()) return Fail(why, what.empty() ? std::string("not JSON") : what + " is not JSON");
    if (!j.is_object()) return Fail(why, what.empty() ? std::string("not a JSON object") : what + " is not a JSON object");
    long long v = 0;
    if (!GetInt(j, "v", 0, 1LL << 40, &v, why)) return false;
    if (v != OFFICE_PAYLOAD_VERSION)
        return Fail(why, (what.empty() ? std::string() : what + " of ") + "version " + std::to_string(v) + ", not " +
                             std::to_string(OFFICE_PAYLOAD_VERSION));
    *out = std::move(j);
    return true;
}

bool GetInt(const json& j, const char* name, long long lo, long long hi, long long* out, std::string* why) {
    auto it = j.find(name);
    if (it == j.end()) return Fail(why, std::string("no \"") + name + "\"");
    if (!it->is_number_integer()) return Fail(why, std::string("\"") + name + "\" is not an integer");
    if (it->is_number_unsigned() && it->get<unsigned long long>() > static_cast<unsigned long long>(hi))
        return Fail(why, std::string("\"") + name + "\" is out of range");
    const long long v = it->get<long long>();
    if (v < lo || v > hi) return Fail(why, std::string("\"") + name + "\" is out of range");
    *out = v;
    return true;
}

bool GetString(const json& j, const char* name, std::string* out, std::string* why) {
    auto it = j.find(name);
    if (it == j.end()) return Fail(why, std::string("no \"") + name + "\"");
    if (!it->is_string()) return Fail(why, std::string("\"") + name + "\" is not a string");
    *out = it->get<std::string>();
    return true;
}

bool GetText(const json& j, const char* name, std::size_t most, bool anyText, std::string* out, std::string* why) {
    auto it = j.find(name);
    if (it == j.end()) return Fail(why, std::string("no \"") + name + "\"");
    if (!it->is_string()) return Fail(why, std::string("\"") + name + "\" is not a string");
    const std::string& v = it->get_ref<const std::string&>();
    if (v.size() > most) return Fail(why, std::string("\"") + name + "\" is longer than " + std::to_string(most) + " bytes");
    for (char c : v)
        if (c == '\0' || (!anyText && static_cast<unsigned char>(c) < 0x20))
            return Fail(why, std::string("\"") + name + "\" holds a control character");
    *out = v;
    return true;
}

bool ValidDate(long date) {
    const long y = date / 10000, m = date / 100 % 100, d = date % 100;
    return y >= 1970 && y <= 9999 && m >= 1 && m <= 12 && d >= 1 && d <= 31;
}

}  // namespace jsonfields
