#pragma once

// Reading the office's JSON payloads field by field: every check a payload
// from the network must pass before any of it is used, with the reason in
// words for the rejection line.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>

namespace jsonfields {

using nlohmann::json;

// Sets *why (when given) and returns false.
bool Fail(std::string* why, const std::string& reason);

// A payload of at most `most` bytes that is one JSON object of this
// version. `what` names it in the reasons ("alarm", "confirmation"); empty
// for the records themselves.
bool ParseObject(const std::string& payload, std::size_t most, const std::string& what, json* out,
                 std::string* why);

// An integer field in [lo, hi].
bool GetInt(const json& j, const char* name, long long lo, long long hi, long long* out, std::string* why);

template <typename T>
bool GetNumber(const json& j, const char* name, long long lo, long long hi, T* out, std::string* why) {
    long long v = 0;
    if (!GetInt(j, name, lo, hi, &v, why)) return false;
    *out = static_cast<T>(v);
    return true;
}

// A string field, as it is.
bool GetString(const json& j, const char* name, std::string* out, std::string* why);

// A string of at most `most` bytes; no NUL (the database takes none) and,
// unless `anyText`, no control character at all.
bool GetText(const json& j, const char* name, std::size_t most, bool anyText, std::string* out, std::string* why);

// YYYYMMDD with a month and day that can be.
bool ValidDate(long date);

}  // namespace jsonfields
