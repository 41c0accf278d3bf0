#pragma once
// One serial scope entry as text: what the scope pane appends for one
// WM_LOG_TEXT, WM_LOG_FIELD_BYTES or WM_LOG_COLLECT_BYTES message. The
// headless collector's stdout, the daily scope log and the console all
// build their text from this, so they hold the same characters.
#include <cstdint>
#include <ctime>
#include <string>

#include "common/Colours.h"
#include "common/Messages.h"
#include "common/ScopeText.h"

struct ScopeEntry {
    ScopeChannel channel = ScopeChannel::Info;
    std::string prefix;   // "HH:MM:SS: Info   | " and so on, shown in purple
    std::string body;     // the log text unchanged, or the hexadecimal dump
    Colour colour = 0;    // the body's colour

    std::string Plain() const { return prefix + body; }
};

// Fills entry for a scope message at the local time of `now`. False for a
// null text or byte address (the scope writes nothing then, not even the
// prefix) and for any other message.
bool DescribeScopeEntry(std::uint32_t message, WPARAM wParam, LPARAM lParam, std::time_t now,
                        ScopeEntry* entry);

// Whoever shows the scope entries: the console's pane (through a bounded
// queue), the headless collector's stdout, a test. Called on the worker's
// thread, after the day's log has the entry; must not wait on a window.
class IScopeView {
public:
    virtual ~IScopeView() = default;
    virtual void Show(const ScopeEntry& entry) = 0;
    // A line for the echo test dialog ("Sending "ECHO" to SiteID = 12").
    virtual void EchoLine(const std::string&) {}
};
