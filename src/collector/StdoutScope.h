#pragma once
// The headless collector's serial scope: a scope view that writes each
// scope entry to a stream exactly as the scope pane would hold it, flushed
// per entry, with ANSI colours close to the pane's when asked for, and
// hands its main-pane lines to the daily scope log (scope entries reach the
// log in the collector). The stream is the contract of the headless
// collector, read in order by whoever started it, so entries are written
// as they come rather than queued.
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "common/Colours.h"
#include "common/ScopeEntry.h"

class StdoutScope final : public IScopeView {
public:
    // `paneLog` takes the main pane's lines for the day's log (may be empty).
    StdoutScope(std::FILE* out, bool colour, std::function<void(const std::string&)> paneLog)
        : out_(out), colour_(colour), paneLog_(std::move(paneLog)) {}

    void Show(const ScopeEntry& entry) override;

    // A main-pane line: the plain time-stamp prefix, then text in colour.
    void PaneLine(Colour colour, const std::string& text);
    // Text of its own (answers to operator commands), written as it is.
    void Raw(const std::string& text);

private:
    void Write(const std::string& prefix, const std::string& body, Colour colour);

    std::mutex mutex_;
    std::FILE* out_;
    bool colour_;
    std::function<void(const std::string&)> paneLog_;
};

// The ANSI foreground sequence nearest to a pane colour ("" for black,
// which would vanish on a dark terminal).
const char* AnsiColour(Colour colour);
