#include "common/ScopeEntry.h"

bool DescribeScopeEntry(std::uint32_t message, WPARAM wParam, LPARAM lParam, std::time_t now,
                        ScopeEntry* entry) {
    if (lParam == 0 || entry == nullptr) return false;
    switch (message) {
        case WM_LOG_TEXT:
            entry->channel = ScopeChannel::Info;
            entry->colour = static_cast<Colour>(wParam);
            entry->body = reinterpret_cast<const char*>(lParam);
            break;
        case WM_LOG_FIELD_BYTES:
        case WM_LOG_COLLECT_BYTES: {
            const bool field = message == WM_LOG_FIELD_BYTES;
            entry->channel = field ? ScopeChannel::Field : ScopeChannel::Collect;
            entry->colour = field ? COLOUR_DARK_BLUE : COLOUR_DARK_GREEN;
            entry->body = FormatDump(reinterpret_cast<const std::uint8_t*>(lParam),
                                     static_cast<std::size_t>(wParam));
            break;
        }
        default:
            return false;
    }
    entry->prefix = FormatTimeStamp(entry->channel, now);
    return true;
}
