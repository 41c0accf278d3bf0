#include "common/ScopeEntry.h"

#include <atomic>

#include "common/Globals.h"

namespace {
std::atomic<ScopeRecorder> recorder{nullptr};
thread_local std::time_t entryTime = 0;
thread_local bool inEntry = false;
}  // namespace

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

void SetScopeRecorder(ScopeRecorder r) { recorder.store(r); }

std::time_t ScopeEntryTime() { return inEntry ? entryTime : std::time(nullptr); }

std::intptr_t SendToScope(std::uint32_t message, WPARAM wParam, LPARAM lParam) {
    if (lParam == 0) return 0;
    entryTime = std::time(nullptr);
    if (const ScopeRecorder record = recorder.load()) {
        ScopeEntry entry;
        if (DescribeScopeEntry(message, wParam, lParam, entryTime, &entry)) record(entry.Plain());
    }
    inEntry = true;
    const std::intptr_t result = SendWindowMessage(scopeWindow.load(), message, wParam, lParam);
    inEntry = false;
    return result;
}
