#include "common/ScopeText.h"

#include <cstdio>

std::string FormatTimeStamp(ScopeChannel channel, std::time_t now) {
    std::tm local{};
    int h = -1, m = -1, s = -1;
    if (localtime_r(&now, &local) != nullptr) {
        h = local.tm_hour;
        m = local.tm_min;
        s = local.tm_sec;
    }
    const char* format = "%02d:%02d:%02d: ";
    switch (channel) {
        case ScopeChannel::Plain: break;
        case ScopeChannel::Info: format = "%02d:%02d:%02d: Info   | "; break;
        case ScopeChannel::Field: format = "%02d:%02d:%02d: Field  | "; break;
        case ScopeChannel::Collect: format = "%02d:%02d:%02d: Collect| "; break;
    }
    char text[64];
    std::snprintf(text, sizeof text, format, h, m, s);
    return text;
}

std::string FormatTimeStampNow(ScopeChannel channel) {
    return FormatTimeStamp(channel, std::time(nullptr));
}

std::string FormatDump(const std::uint8_t* bytes, std::size_t count) {
    std::string out;
    ForEachDumpPiece(bytes, count, [&](const char* piece) { out += piece; });
    return out;
}
