#pragma once
// Calendar dates as day numbers counted from 1 January 1970 (negative
// before it), in the proleptic Gregorian calendar: the arithmetic the ACK's
// clock check, the ages of dated files and the site simulator's clocks share.
#include <cstdint>
#include <ctime>
#include <string_view>

inline std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

inline void CivilFromDays(std::int64_t z, int* y, int* m, int* d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned dd = doy - (153 * mp + 2) / 5 + 1;
    const unsigned mm = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int>(yy + (mm <= 2));
    *m = static_cast<int>(mm);
    *d = static_cast<int>(dd);
}

// Dated files (the day's scope log, the train journal) are named by local
// date as YYYYMMDD.

// The local date of `now` as YYYYMMDD (0 when it cannot be converted).
inline long LocalYmd(std::time_t now) {
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return 0;
    return (local.tm_year + 1900L) * 10000L + (local.tm_mon + 1L) * 100L + local.tm_mday;
}

// The day number (DaysFromCivil) of a YYYYMMDD date.
inline long YmdDayNumber(long ymd) {
    return static_cast<long>(DaysFromCivil(ymd / 10000, static_cast<unsigned>((ymd / 100) % 100),
                                           static_cast<unsigned>(ymd % 100)));
}

// YYYYMMDD from "<prefix>YYYYMMDD<suffix>"; 0 for any other name.
inline long YmdInFileName(std::string_view name, std::string_view prefix, std::string_view suffix) {
    if (name.size() != prefix.size() + 8 + suffix.size() || name.substr(0, prefix.size()) != prefix ||
        name.substr(prefix.size() + 8) != suffix) {
        return 0;
    }
    long date = 0;
    for (const char c : name.substr(prefix.size(), 8)) {
        if (c < '0' || c > '9') return 0;
        date = date * 10 + (c - '0');
    }
    const long month = (date / 100) % 100, day = date % 100;
    if (month < 1 || month > 12 || day < 1 || day > 31) return 0;
    return date;
}
