#pragma once
// One serial scope entry as text: what the scope pane appends for one
// WM_LOG_TEXT, WM_LOG_FIELD_BYTES or WM_LOG_COLLECT_BYTES message. The
// headless collector's stdout, the daily scope log and the console all
// build their text from this, so they hold the same characters.
//
// Every entry is made by SendToScope: it goes to the recorder (the day's
// scope log) whether or not a scope window exists, then to the scope window
// when there is one.
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

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

// Receives the plain text of every scope entry (prefix and body).
using ScopeRecorder = void (*)(std::string_view plainText);
// Installs the recorder; null removes it. Any thread.
void SetScopeRecorder(ScopeRecorder recorder);

// Makes one scope entry: hands its text to the recorder, then sends the
// message synchronously to scopeWindow (nothing when there is none). A null
// text or byte address makes no entry. Returns the window's result or 0.
std::intptr_t SendToScope(std::uint32_t message, WPARAM wParam, LPARAM lParam);
// The time of the entry this thread is making in SendToScope, so a window
// handled on the sender's thread stamps it as the recorder did; the current
// time outside an entry.
std::time_t ScopeEntryTime();
